#!/usr/bin/env python3
"""The launch figure of bench.py (start to the last child's start, 200
jobs, job objects and journal on) for two 64-bit builds, taking turns:
before, after, before, after... so that a machine whose load drifts
weighs on both alike.

    python3 bench/launch_turns.py BEFORE_BUILD AFTER_BUILD [--turns N] [--jobs N]
                                  [--keep DIR]

BEFORE_BUILD and AFTER_BUILD are build folders of the windows64 preset
(e.g. /other/tree/build/windows64), each with cycle_launch.exe and the
bench helpers built (`cmake --build --preset windows64 --target all`).
Both run in bench.py's one Wine prefix, from the same C:\\ folder.
--keep DIR copies each run's stamp log and journal there, for a closer look.
Figures only: nothing here fails on a slow machine.
"""
import argparse
import os
import shutil
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench  # noqa: E402
import wine_builds  # noqa: E402  (on the path bench.py set)
import wine_prefix  # noqa: E402

NAMES = ("before", "after")


def needed_files(build_dir):
    return ["cycle_launch.exe", os.path.join("tests", "e2e", "watcher.exe")] + [
        os.path.join("bench", helper + ".exe")
        for helper in ("stamp", "spawn_loop", "wait_exits", "process_info")]


def check_build(build_dir):
    missing = [f for f in needed_files(build_dir)
               if not os.path.isfile(os.path.join(build_dir, f))]
    if missing:
        sys.exit(f"{build_dir}: missing {', '.join(missing)}; build it with "
                 "`cmake --build --preset windows64 --target all`")


def keep_run(keep, name, turn):
    """Copies the run's stamp log and journal before the next run wipes them."""
    folder = os.path.join(bench.PREFIX, "drive_c", "bench_launch")
    for log in ("stamp.log", "cycle_launch.foreground.log"):
        source = os.path.join(folder, log)
        if os.path.isfile(source):
            shutil.copy(source, os.path.join(keep, f"{name}_{turn:02d}_{log}"))


def describe(values):
    median = statistics.median(values)
    quartiles = statistics.quantiles(values, n=4)
    return {"median": median, "mean": statistics.mean(values), "min": min(values),
            "max": max(values), "range": max(values) - min(values),
            "stdev": statistics.stdev(values) if len(values) > 1 else 0.0,
            "iqr": quartiles[2] - quartiles[0]}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("before", help="build folder of the old runner (windows64)")
    parser.add_argument("after", help="build folder of the new runner (windows64)")
    parser.add_argument("--turns", type=int, default=15, help="runs of each build (15)")
    parser.add_argument("--jobs", type=int, default=200, help="jobs in the file (200)")
    parser.add_argument("--keep", help="folder for each run's stamp log and journal")
    args = parser.parse_args()

    for name, build_dir in zip(NAMES, (args.before, args.after)):
        build_dir = os.path.abspath(build_dir)
        check_build(build_dir)
        bench.BUILDS[name] = (build_dir, wine_builds.loader(64))
    if args.keep:
        os.makedirs(args.keep, exist_ok=True)

    load_start = os.getloadavg()
    began = time.monotonic()
    wine_prefix.make_prefix(bench.PREFIX)
    # One untimed run of each: the first start after a build pays for the
    # page cache and the prefix's first use.
    for name in NAMES:
        bench.runner_launch(args.jobs, jobs=True, journal=True, build=name)

    times = {name: [] for name in NAMES}
    failed = {name: 0 for name in NAMES}
    retried = {name: 0 for name in NAMES}
    for turn in range(args.turns):
        for name in NAMES:
            seconds, fails, retries = bench.runner_launch(args.jobs, jobs=True, journal=True,
                                                          build=name)
            times[name].append(seconds)
            failed[name] += fails
            retried[name] += retries
            if args.keep:
                keep_run(args.keep, name, turn)
        print(f"turn {turn + 1:2d}: " + ", ".join(
            f"{name} {times[name][-1]:.3f} s" for name in NAMES), file=sys.stderr, flush=True)
    load_end = os.getloadavg()

    print(f"\nLaunch, {args.jobs} jobs, start to the last child's start; "
          f"{args.turns} turns each, taking turns; "
          f"{time.monotonic() - began:.0f} s in all")
    print(f"load average at the start {load_start[0]:.2f} {load_start[1]:.2f} "
          f"{load_start[2]:.2f}, at the end {load_end[0]:.2f} {load_end[1]:.2f} "
          f"{load_end[2]:.2f}\n")
    print("| build | median | mean | min | max | range | stdev | IQR | failed | retried |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    figures = {name: describe(times[name]) for name in NAMES}
    for name in NAMES:
        f = figures[name]
        print(f"| {name} | {f['median']:.3f} s | {f['mean']:.3f} s | {f['min']:.3f} s | "
              f"{f['max']:.3f} s | {f['range']:.3f} s | {f['stdev']:.3f} s | "
              f"{f['iqr']:.3f} s | {failed[name]} | {retried[name]} |")
    print()
    for figure in ("median", "mean", "min"):
        ratio = figures["after"][figure] / figures["before"][figure]
        print(f"after/before, {figure}: {ratio:.3f} ({(ratio - 1) * 100:+.1f}%)")
    # Pairs of the same turn share the machine's load of the moment.
    pairs = [a / b for a, b in zip(times["after"], times["before"])]
    print(f"after/before, median of the turns' own ratios: {statistics.median(pairs):.3f}")
    print("\nper turn (s): " + "; ".join(
        f"{b:.3f}/{a:.3f}" for b, a in zip(times["before"], times["after"]))
          + "  (before/after)")


if __name__ == "__main__":
    main()
