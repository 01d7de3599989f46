#!/usr/bin/env python3
"""Soak: 200 jobs with a negative interval whose child ends at once, under
Wine, for a number of minutes (default 10). Every few seconds it reads the
runner's handle count, thread count and resident memory. These move with
the number of runs in progress at that instant (each has a worker thread
and its child's handles), so it prints their range over the third minute
and over the last: ranges that do not climb mean nothing leaks. Then the
launch rate, and how often each job ran (none starved, none lost).

    python3 bench/soak.py [MINUTES]
"""
import collections
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench  # noqa: E402

JOBS = 200
SAMPLE_SECONDS = 5


def process_info(folder):
    out = subprocess.run([folder.loader, folder.windows + "process_info.exe", "cycle_launch.exe"],
                         env=bench.env(), capture_output=True, text=True, timeout=60).stdout
    fields = dict(item.split("=") for item in out.split())
    return int(fields["handles"]), int(fields["threads"])


def main():
    minutes = float(sys.argv[1]) if len(sys.argv) > 1 and sys.argv[1] else 10
    bench.wine_prefix.make_prefix(bench.PREFIX)
    bench.wine_prefix.kill_wine(bench.PREFIX)
    folder = bench.Folder("soak")
    folder.config([f"-1,{folder.stamp(f's{i}')}" for i in range(JOBS)])
    runner = folder.start("cycle_launch.exe")
    started = time.monotonic()
    samples = []
    while time.monotonic() - started < minutes * 60:
        time.sleep(SAMPLE_SECONDS)
        handles, threads = process_info(folder)
        minute = (time.monotonic() - started) / 60
        samples.append((minute, handles, threads, bench.rss_kib(runner.pid),
                        len(folder.stamps())))
        if len(samples) % 6 == 0:
            print(f"  {minute:5.1f} min: {handles} handles, {threads} threads, "
                  f"{samples[-1][3] / 1024:.1f} MiB, {samples[-1][4]} launches",
                  file=sys.stderr, flush=True)
    elapsed = time.monotonic() - started
    bench.stop(runner)
    bench.wine_prefix.kill_wine(bench.PREFIX)

    runs = collections.Counter(tag for tag, _, _ in folder.stamps())
    third = [s for s in samples if 2 <= s[0] < 3] or samples[:1]
    last = [s for s in samples if s[0] >= samples[-1][0] - 1]
    print(f"\nSoak: {JOBS} jobs, interval -1, {elapsed / 60:.1f} minutes, the {folder.build} build"
          + ("" if folder.build == "32-bit" else f" (the 32-bit one {bench.wine_builds.describe_32()})") + "\n")
    print("| the runner's | minute 2 to 3 (min to max) | last minute (min to max) |")
    print("|---|---|---|")
    for name, index, scale, unit in (("handles", 1, 1, ""), ("threads", 2, 1, ""),
                                     ("resident memory", 3, 1024, " MiB")):
        def span(window):
            values = [w[index] / scale for w in window]
            return f"{min(values):.0f} to {max(values):.0f}{unit}"
        print(f"| {name} | {span(third)} | {span(last)} |")
    print(f"\nLaunches: {sum(runs.values())}, {sum(runs.values()) / elapsed:.1f} per second; "
          f"jobs that ran: {len(runs)} of {JOBS}; runs per job: min {min(runs.values())}, "
          f"max {max(runs.values())}")


if __name__ == "__main__":
    main()
