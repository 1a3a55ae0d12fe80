#!/usr/bin/env python3
"""One table from the results of one run: each figure next to its floor or peer, the ratio, the
target and whether it is met. Markdown on standard output.
  report.py LOAD_JSON LINK_JSON PROGRAMS_JSON
A file that is missing or empty leaves its rows marked as not measured.
"""

import datetime
import json
import os
import sys

FRAME_BUFFER_BYTES = 1_400_000
HEADER_BYTES = 628
MEMORY_ALLOWANCE_BYTES = 5 * 1024 * 1024
IDLE_CPU_TARGET = 0.001
LOAD_TARGET_MS = 3.0
LOAD_XXD_TARGET = 0.1
PER_FRAME_TARGET = 2.0
LINE_TARGET = 0.99
NOT_MEASURED = "not measured"


def load_json(path):
    try:
        with open(path) as source:
            return json.load(source)
    except (OSError, ValueError):
        return None


def benchmarks_by_name(results):
    if not results:
        return {}
    return {b["run_name"]: b for b in results["benchmarks"] if b.get("run_type") != "aggregate"}


def millis(benchmark):
    scale = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[benchmark["time_unit"]]
    return benchmark["real_time"] * scale


def verdict(met):
    return "met" if met else "**missed**"


def mib(count):
    return f"{count / (1024 * 1024):.1f} MiB"


class Table:
    def __init__(self):
        self.rows = []

    def add(self, measure, figure, peer, ratio, target, met):
        self.rows.append((measure, figure, peer, ratio, target, met))

    def missing(self, measure, why=NOT_MEASURED):
        self.rows.append((measure, why, "", "", "", ""))

    def markdown(self):
        head = ("measure", "figure", "floor or peer (same run)", "ratio", "target", "")
        lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
        lines += ["| " + " | ".join(row) + " |" for row in self.rows]
        return "\n".join(lines)


def failed(benchmark):
    return benchmark is None or benchmark.get("error_occurred")


def load_rows(table, results):
    runs = benchmarks_by_name(results)
    load = runs.get("BM_LoadPackage/real_time")
    xxd = runs.get("BM_XxdReversePlain/real_time")
    pairs = runs.get("BM_TwoCharactersPerRead/real_time")
    measure = "load of the largest package (2,800,000 characters)"
    if failed(load):
        table.missing(measure)
        return
    load_ms = millis(load)
    table.add(measure, f"{load_ms:.2f} ms", "", "", f"<= {LOAD_TARGET_MS:g} ms",
              verdict(load_ms <= LOAD_TARGET_MS))
    if failed(xxd):
        table.missing("load vs `xxd -r -p`")
    else:
        ratio = load_ms / millis(xxd)
        table.add("load vs `xxd -r -p` on the same text", f"{load_ms:.2f} ms",
                  f"{millis(xxd):.2f} ms", f"{ratio:.3f} ({1 / ratio:.0f}x faster)",
                  f"<= {LOAD_XXD_TARGET:g} (10x faster)", verdict(ratio <= LOAD_XXD_TARGET))
    if failed(pairs):
        table.missing("load vs two characters per read")
    else:
        ratio = load_ms / millis(pairs)
        table.add("load vs two characters per read", f"{load_ms:.2f} ms",
                  f"{millis(pairs):.0f} ms", f"{ratio:.4f} ({1 / ratio:.0f}x faster)", "shown", "")


def per_frame_rows(table, runs):
    for size in (2, 256, 4096, 65537):
        measure = f"worker per frame, {size:,}-byte frames, unpaced"
        run = runs.get(f"BM_PerFrame/frame:{size}/iterations:5/manual_time")
        if failed(run):
            table.missing(measure, run.get("error_message", NOT_MEASURED) if run else NOT_MEASURED)
            continue
        frames = int(run["frames"])
        table.add(measure + f" ({frames:,} frames)", f"{run['worker_us']:.1f} us",
                  f"bare ping-pong {run['bare_us']:.1f} us", f"{run['ratio']:.2f}",
                  f"<= {PER_FRAME_TARGET:g}", verdict(run["ratio"] <= PER_FRAME_TARGET))


def line_rows(table, runs):
    for baud in (9600, 57600):
        for turnaround in (0, 16):
            for size in (16, 256, 4096):
                name = (f"BM_LineEfficiency/baud:{baud}/frame:{size}/turnaround_ms:{turnaround}"
                        "/iterations:1/manual_time")
                measure = f"line efficiency, {baud} bit/s, {size:,}-byte frames, " \
                          f"turnaround {turnaround} ms"
                run = runs.get(name)
                if failed(run):
                    table.missing(measure,
                                  run.get("error_message", NOT_MEASURED) if run else NOT_MEASURED)
                    continue
                frames = int(run["frames"])
                bound_ms = run["bound_s"] / frames * 1e3
                worker_ms = bound_ms / run["worker_efficiency"]
                efficiency = run["worker_efficiency"]
                target = f">= {LINE_TARGET:g}" if turnaround == 0 else "shown"
                met = verdict(efficiency >= LINE_TARGET) if turnaround == 0 else ""
                table.add(measure + f" ({frames:,} frames)", f"{worker_ms:.3f} ms/frame",
                          f"bound {bound_ms:.3f} ms/frame; bare exchange "
                          f"{run['bare_efficiency']:.4f} of it",
                          f"{efficiency:.4f}", target, met)


def memory_row(table, measure, rss, allowed, peer):
    excess = rss - allowed
    table.add(measure, mib(rss), peer,
              f"{excess / (1024 * 1024):+.2f} MiB ({excess / 1e6:+.2f} MB)", "within +5 MiB",
              verdict(excess <= MEMORY_ALLOWANCE_BYTES))


def program_rows(table, programs):
    if not programs:
        for measure in ("resident memory, idle", "resident memory, during a transfer",
                        "idle CPU over 60 s", "start-up to the dialog shown"):
            table.missing(measure)
        return
    idle = programs["idle"]
    updater, empty = idle["updater"], idle["empty_dialog"]
    allowed = empty["rss_bytes"] + FRAME_BUFFER_BYTES + HEADER_BYTES
    peer = f"empty dialog {mib(empty['rss_bytes'])} + buffers 1,400,628 B = {mib(allowed)}"
    memory_row(table, "resident memory of `ovrin-update`, idle", updater["rss_bytes"], allowed,
               peer)
    transfer = programs.get("transfer", {"note": NOT_MEASURED})
    measure = "resident memory during a transfer (largest package, `ovrin-demo` driven)"
    if "peak_bytes" in transfer:
        after_files = idle["empty_after_file_dialog"]["rss_bytes"]
        allowed = after_files + FRAME_BUFFER_BYTES + HEADER_BYTES
        memory_row(table, measure, transfer["peak_bytes"], allowed,
                   f"empty dialog after a file dialog {mib(after_files)} + buffers = "
                   f"{mib(allowed)}; the updater's dialog just before Update "
                   f"{mib(transfer['before_update_bytes'])}")
    else:
        table.missing(measure, transfer["note"])
    seconds = updater["elapsed_s"]
    share = updater["cpu_share"]
    table.add(f"CPU of the idle `ovrin-update` over {seconds:.0f} s",
              f"{share * 100:.3f} % of a core ({updater['cpu_s'] * 1e3:.0f} ms)",
              f"empty dialog {empty['cpu_share'] * 100:.3f} % ({empty['cpu_s'] * 1e3:.0f} ms)",
              "", f"< {IDLE_CPU_TARGET * 100:g} %", verdict(share < IDLE_CPU_TARGET))
    start = programs["start_up"]
    updater_ms = start["updater"]["median_s"] * 1e3
    empty_ms = start["empty_dialog"]["median_s"] * 1e3
    runs = len(start["updater"]["runs_s"])
    table.add(f"start-up to the dialog shown (median of {runs})", f"{updater_ms:.0f} ms",
              f"empty dialog {empty_ms:.0f} ms", f"{updater_ms / empty_ms:.2f}", "shown", "")


def main():
    load_path, link_path, programs_path = sys.argv[1:4]
    table = Table()
    load_rows(table, load_json(load_path))
    runs = benchmarks_by_name(load_json(link_path))
    per_frame_rows(table, runs)
    line_rows(table, runs)
    program_rows(table, load_json(programs_path))
    now = datetime.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M %Z")
    load = os.getloadavg()[1]
    print(f"Run on {now}, {len(os.sched_getaffinity(0))} cores (nproc), release build; load "
          f"average over the last 5 minutes {load:.2f} (other work shares the machine).\n")
    print(table.markdown())


if __name__ == "__main__":
    main()
