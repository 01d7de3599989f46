#!/usr/bin/env python3
"""Soak: 200 jobs with a negative interval whose child ends at once, under
Wine, for a number of minutes (default 10). Every 30 seconds it reads the
runner's handle count, thread count and resident memory; at the end it
prints those figures at minute 2 and at the end, the launch rate, and how
often each job ran (none starved, none lost).

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
SAMPLE_SECONDS = 30


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
        print(f"  {minute:5.1f} min: {handles} handles, {threads} threads, "
              f"{samples[-1][3] / 1024:.1f} MiB, {samples[-1][4]} launches", file=sys.stderr,
              flush=True)
    elapsed = time.monotonic() - started
    bench.stop(runner)
    bench.wine_prefix.kill_wine(bench.PREFIX)

    runs = collections.Counter(tag for tag, _, _ in folder.stamps())
    at2 = min(samples, key=lambda s: abs(s[0] - 2))
    end = samples[-1]
    print(f"\nSoak: {JOBS} jobs, interval -1, {elapsed / 60:.1f} minutes\n")
    print("| figure | at minute 2 | at the end |")
    print("|---|---|---|")
    print(f"| handles | {at2[1]} | {end[1]} |")
    print(f"| threads | {at2[2]} | {end[2]} |")
    print(f"| resident memory | {at2[3] / 1024:.1f} MiB | {end[3] / 1024:.1f} MiB |")
    print(f"| launches so far | {at2[4]} | {end[4]} |")
    print(f"\nLaunches: {sum(runs.values())}, {sum(runs.values()) / elapsed:.1f} per second; "
          f"jobs that ran: {len(runs)} of {JOBS}; runs per job: min {min(runs.values())}, "
          f"max {max(runs.values())}")
    steady = [s for s in samples if s[0] >= 2] or samples[-1:]
    for name, index in (("handles", 1), ("threads", 2), ("memory (KiB)", 3)):
        values = [s[index] for s in steady]
        print(f"{name} from minute 2 on: min {min(values)}, max {max(values)}")


if __name__ == "__main__":
    main()
