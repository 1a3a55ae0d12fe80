#!/usr/bin/env python3
"""The rows that need the programs themselves, on the X display it is given (Xvfb):

- start-up: from the start of the process to its window mapped, for ovrin-update and for an
  empty dialog of the toolkit, alternating, several times each;
- idle: both programs left alone side by side for the idle period; the CPU time each spent in it
  (utime + stime of /proc/PID/stat) and its resident memory at the end (VmRSS, VmHWM).

Prints one JSON object on standard output.
  program_bench.py UPDATER EMPTY_DIALOG [--runs N] [--idle-seconds S]
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import time

UPDATER_TITLE = "Ovrin Controller Firmware Update AP V1.0.0.7"
EMPTY_TITLE = "ovrin empty dialog"
PATIENCE_SECONDS = 20.0
SETTLE_SECONDS = 2.0
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def window_viewable(title):
    """True once a window named `title` is mapped on the display."""
    shown = subprocess.run(["xwininfo", "-name", title], capture_output=True, text=True)
    return shown.returncode == 0 and "IsViewable" in shown.stdout


def start_until_shown(program, title):
    """Starts `program`; returns it with the seconds until its window was mapped."""
    started = time.monotonic()
    process = subprocess.Popen([program], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    while time.monotonic() - started < PATIENCE_SECONDS:
        if window_viewable(title):
            return process, time.monotonic() - started
        if process.poll() is not None:
            break
    stop(process)
    raise SystemExit(f"program_bench: the window of {program} did not appear")


def stop(process):
    process.terminate()
    try:
        process.wait(timeout=5)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


def cpu_seconds(pid):
    """utime + stime of the process, all its threads included."""
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    # Fields after the command: state is field 3 of the whole line; utime 14 and stime 15.
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS


def memory_bytes(pid):
    """VmRSS and VmHWM of the process."""
    found = {}
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            name, _, value = line.partition(":")
            if name in ("VmRSS", "VmHWM"):
                found[name] = int(value.split()[0]) * 1024
    return found["VmRSS"], found["VmHWM"]


def start_up(programs, runs):
    times = {name: [] for name in programs}
    for _ in range(runs):
        for name, (program, title) in programs.items():
            process, seconds = start_until_shown(program, title)
            stop(process)
            times[name].append(seconds)
            # Each window must be gone before the next start looks for one of the same name.
            while window_viewable(title):
                time.sleep(0.01)
    return {name: {"median_s": statistics.median(t), "runs_s": t} for name, t in times.items()}


def idle(programs, idle_seconds):
    running = {name: start_until_shown(program, title)[0]
               for name, (program, title) in programs.items()}
    try:
        time.sleep(SETTLE_SECONDS)
        before = {name: cpu_seconds(p.pid) for name, p in running.items()}
        began = time.monotonic()
        time.sleep(idle_seconds)
        elapsed = time.monotonic() - began
        result = {}
        for name, process in running.items():
            rss, hwm = memory_bytes(process.pid)
            spent = cpu_seconds(process.pid) - before[name]
            result[name] = {"cpu_s": spent, "elapsed_s": elapsed, "cpu_share": spent / elapsed,
                            "rss_bytes": rss, "hwm_bytes": hwm}
        return result
    finally:
        for process in running.values():
            stop(process)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("updater")
    parser.add_argument("empty_dialog")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--idle-seconds", type=float, default=60.0)
    args = parser.parse_args()
    programs = {"updater": (args.updater, UPDATER_TITLE),
                "empty_dialog": (args.empty_dialog, EMPTY_TITLE)}
    json.dump({"start_up": start_up(programs, args.runs),
               "idle": idle(programs, args.idle_seconds)}, sys.stdout, indent=2)
    print()


if __name__ == "__main__":
    main()
