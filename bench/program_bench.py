#!/usr/bin/env python3
"""The rows that need the programs themselves, on an X display of its own (Xvfb):

- start-up: from the start of the process to its window mapped, for ovrin-update and for an
  empty dialog of the toolkit, alternating, several times each;
- idle: both programs, and the empty dialog after a file dialog, left alone side by side for the
  idle period; the CPU time each spent in it (utime + stime of /proc/PID/stat) and its resident
  memory at the end (VmRSS, VmHWM);
- transfer: with --demo, the updater's dialog in ovrin-demo driven through a whole update of
  PACKAGE to ovrin-devsim on an unpaced line; its resident memory sampled every 10 ms, just
  before Update is pressed and at its highest until the final message.

Prints one JSON object on standard output.
  program_bench.py UPDATER EMPTY_DIALOG [--runs N] [--idle-seconds S]
                   [--demo OVRIN_DEMO --devsim OVRIN_DEVSIM --package PACKAGE]
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import threading
import time

UPDATER_TITLE = "Ovrin Controller Firmware Update AP V1.0.0.7"
EMPTY_TITLE = "ovrin empty dialog"
AFTER_FILES_TITLE = "ovrin empty dialog after a file dialog"
PATIENCE_SECONDS = 20.0
SETTLE_SECONDS = 2.0
SAMPLE_SECONDS = 0.01
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def window_viewable(title):
    """True once a window named `title` is mapped on the display."""
    shown = subprocess.run(["xwininfo", "-name", title], capture_output=True, text=True)
    return shown.returncode == 0 and "IsViewable" in shown.stdout


def start_until_shown(command, title):
    """Starts `command`; returns it with the seconds until its window was mapped."""
    started = time.monotonic()
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    while time.monotonic() - started < PATIENCE_SECONDS:
        if window_viewable(title):
            return process, time.monotonic() - started
        if process.poll() is not None:
            break
    stop(process)
    raise SystemExit(f"program_bench: the window of {' '.join(command)} did not appear")


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
        for name, (command, title) in programs.items():
            process, seconds = start_until_shown(command, title)
            stop(process)
            times[name].append(seconds)
            # Each window must be gone before the next start looks for one of the same name.
            while window_viewable(title):
                time.sleep(0.01)
    return {name: {"median_s": statistics.median(t), "runs_s": t} for name, t in times.items()}


def idle(programs, idle_seconds):
    running = {name: start_until_shown(command, title)[0]
               for name, (command, title) in programs.items()}
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


def timed_lines(stream, lines):
    """Collects (time, line) from `stream` until it ends."""
    for line in stream:
        lines.append((time.monotonic(), line.strip()))


def first_time(lines, prefix):
    return next((at for at, line in lines if line.startswith(prefix)), None)


def transfer(demo, devsim, package):
    simulator = subprocess.Popen([devsim, "--no-frame-log", "--exit-with-parent"],
                                 stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        port = simulator.stdout.readline().strip()
        dialog = subprocess.Popen([demo, "--port", port, "--drive", package],
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        lines = []
        reader = threading.Thread(target=timed_lines, args=(dialog.stdout, lines))
        reader.start()
        samples = []
        while dialog.poll() is None:
            try:
                samples.append((time.monotonic(), memory_bytes(dialog.pid)[0]))
            except (OSError, KeyError):
                break  # it has just ended
            time.sleep(SAMPLE_SECONDS)
        dialog.wait()
        reader.join()
    finally:
        stop(simulator)
    pressed, ended = first_time(lines, "Update"), first_time(lines, "Message:")
    message = next((line for _, line in lines if line.startswith("Message:")), "no message")
    if dialog.returncode != 0 or pressed is None or ended is None:
        return {"note": f"the driven update failed ({message})"}
    before = [rss for at, rss in samples if at < pressed]
    during = [rss for at, rss in samples if pressed <= at <= ended]
    return {"before_update_bytes": before[-1], "peak_bytes": max(during),
            "transfer_s": ended - pressed, "samples": len(during)}


def start_display():
    """An Xvfb of our own on a display number it picks itself, so that no other run's server can
    be taken for ours or end under us."""
    chosen, told = os.pipe()
    server = subprocess.Popen(["Xvfb", "-displayfd", str(told), "-screen", "0", "1024x768x24",
                               "-nolisten", "tcp", "-noreset"], pass_fds=(told,), stderr=subprocess.DEVNULL)
    os.close(told)
    with os.fdopen(chosen) as number:
        display = number.readline().strip()
    if not display:
        raise SystemExit("program_bench: Xvfb did not start")
    os.environ["DISPLAY"] = ":" + display
    return server


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("updater")
    parser.add_argument("empty_dialog")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--idle-seconds", type=float, default=60.0)
    parser.add_argument("--demo")
    parser.add_argument("--devsim")
    parser.add_argument("--package")
    args = parser.parse_args()
    programs = {"updater": ([args.updater], UPDATER_TITLE),
                "empty_dialog": ([args.empty_dialog], EMPTY_TITLE)}
    after_files = {"empty_after_file_dialog": ([args.empty_dialog, "--after-file-dialog"],
                                               AFTER_FILES_TITLE)}
    server = start_display()
    try:
        results = {"start_up": start_up(programs, args.runs),
                   "idle": idle(programs | after_files, args.idle_seconds)}
        if args.demo:
            results["transfer"] = transfer(args.demo, args.devsim, args.package)
    finally:
        stop(server)
    json.dump(results, sys.stdout, indent=2)
    print()


if __name__ == "__main__":
    main()
