#!/usr/bin/env python3
"""Benchmarks of cycle_launch.exe under Wine, as its users would feel it.

Prints one table: each figure beside its target or baseline. Figures only:
nothing here fails on a slow machine.

    python3 bench/bench.py [--quick]

--quick runs every measurement once at a tiny size, to check the harness.
"""
import argparse
import datetime
import os
import platform
import shutil
import signal
import statistics
import subprocess
import sys
import time

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(TOP, "tests", "e2e"))
import wine_builds  # noqa: E402
import wine_prefix  # noqa: E402

PREFIX = os.path.join(TOP, "build", "bench", "prefix")
BUILDS = {
    "32-bit": (os.path.join(TOP, "build", "windows"), wine_builds.loader(32)),
    "64-bit": (os.path.join(TOP, "build", "windows64"), wine_builds.loader(64)),
}
# The 32-bit build runs here only under QEMU's emulation: its figures are
# marked so, and no row compares them with native ones.
EMULATED_32 = wine_builds.emulated()
# The build measured where a row names none: the 32-bit one, where it runs
# natively.
DEFAULT_BUILD = "64-bit" if EMULATED_32 else f"{wine_builds.preferred_build()}-bit"
RUNNABLE = [f"{bits}-bit" for bits in wine_builds.builds_here()]
NOT_MEASURED = "not measured: " + (
    wine_builds.why_not_32() or "the 32-bit build runs here only emulated, under make bench")
EMULATED_TARGET = "figure only: emulated, not comparable with native figures"


def build_label(build):
    return f"{build}, emulated under QEMU" if build == "32-bit" and EMULATED_32 else build
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def env():
    return wine_prefix.wine_environment(PREFIX)


class Folder:
    """C:\\bench_<name>, holding a runner of one build and the helpers."""

    def __init__(self, name, build=None, jobs=True):
        """jobs=False: the runner built without job objects."""
        self.build = build or DEFAULT_BUILD
        self.build_dir, self.loader = BUILDS[self.build]
        self.name = f"bench_{name}"
        self.path = os.path.join(PREFIX, "drive_c", self.name)
        self.windows = "C:\\" + self.name + "\\"
        shutil.rmtree(self.path, ignore_errors=True)
        os.makedirs(self.path)
        runner = ("cycle_launch.exe" if jobs else
                  os.path.join("bench", "cycle_launch_nojobs.exe"))
        shutil.copy(os.path.join(self.build_dir, runner),
                    os.path.join(self.path, "cycle_launch.exe"))
        for helper in ("stamp", "spawn_loop", "wait_exits", "process_info"):
            shutil.copy(os.path.join(self.build_dir, "bench", helper + ".exe"), self.path)
        shutil.copy(os.path.join(self.build_dir, "tests", "e2e", "watcher.exe"), self.path)

    def config(self, lines):
        with open(os.path.join(self.path, "cycle_launch.txt"), "wb") as f:
            f.write("".join(line + "\r\n" for line in lines).encode())

    def stamp(self, *args):
        return f"{self.windows}stamp.exe " + " ".join(args)

    def start(self, program, *args):
        return subprocess.Popen([self.loader, self.windows + program, *args], env=env(),
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def stamps(self, kind="start"):
        """[(tag, pid, ms)] of the stamp lines of one kind."""
        log = os.path.join(self.path, "stamp.log")
        if not os.path.exists(log):
            return []
        with open(log, "rb") as f:
            lines = f.read().decode().split("\r\n")
        result = []
        for line in lines:
            parts = line.split()
            if len(parts) == 4 and parts[0] == kind:
                result.append((parts[1], int(parts[2]), int(parts[3])))
        return result

    def wait_stamps(self, count, timeout, kind="start"):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            stamps = self.stamps(kind)
            if len({tag for tag, _, _ in stamps}) >= count:
                return stamps
            time.sleep(0.05)
        raise RuntimeError(f"{self.name}: only {len(self.stamps(kind))} of {count} {kind}s")


def stop(process):
    process.send_signal(signal.SIGINT)
    process.wait(timeout=60)


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS  # utime + stime


# --- the measurements ---------------------------------------------------------

def baseline_loop(folder, children, threads=0, hold=False, tag="base"):
    """Starts spawn_loop: children created in a loop, optionally from a
    process that holds as many idle threads as the runner has workers."""
    args = [str(children), folder.windows + "stamp.exe", folder.windows, f"stamp.exe {tag}"]
    if threads or hold:
        args += [str(threads)] + (["hold"] if hold else [])
    return folder.start("spawn_loop.exe", *args)


def wait_lines(folder, count, timeout=900):
    """The loop's children all carry one tag: count start lines, not tags,
    and the creations the loop reports failed. Returns the start lines."""
    deadline = time.monotonic() + timeout
    while len(folder.stamps()) + len(folder.stamps("failed")) < count:
        if time.monotonic() > deadline:
            raise RuntimeError(f"{folder.name}: only {len(folder.stamps())} of {count} starts")
        time.sleep(0.05)
    return folder.stamps()


def journal_events(folder, *events):
    """The runner's journal records of the given events."""
    path = os.path.join(folder.path, "cycle_launch.foreground.log")
    if not os.path.isfile(path):
        return []
    with open(path, "rb") as f:
        lines = f.read().decode("utf-8", "replace").split("\r\n")
    return [line.split("\t") for line in lines[1:] if line.count("\t") == 7
            and line.split("\t")[1] in events]


def wait_runner(folder, jobs, timeout):
    """Until every job has started or its launch has failed for good, as
    the journal tells; a benchmark never dies on one lost start. Returns
    the start stamps."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        stamps = folder.stamps()
        if len({tag for tag, _, _ in stamps}) + len(journal_events(folder, "fail")) >= jobs:
            return stamps
        time.sleep(0.05)
    raise RuntimeError(f"{folder.name}: only {len(folder.stamps())} of {jobs} starts")


def launch_overhead(jobs, repeats):
    """Start of the runner to the start of its last child, against a loop
    that only creates the same children, and against the same loop in a
    process with as many threads as the runner has workers."""
    times = {"runner": [], "runner without jobs": [], "loop": [], "loop with threads": []}
    failed = {"runner": 0, "retried": 0, "loop": 0}
    for _ in range(repeats):
        # The runner with a job object per run and without, taking turns.
        for name, with_jobs in (("runner", True), ("runner without jobs", False)):
            seconds, fails, retries = runner_launch(jobs, jobs=with_jobs)
            times[name].append(seconds)
            failed["runner"] += fails
            failed["retried"] += retries

        for name, threads in (("loop", 0), ("loop with threads", jobs)):
            wine_prefix.kill_wine(PREFIX)
            folder = Folder("launch")
            started = time.time()
            loop = baseline_loop(folder, jobs, threads)
            last = max(ms for _, _, ms in wait_lines(folder, jobs))
            times[name].append(last / 1000 - started)
            failed["loop"] += len(folder.stamps("failed"))
            loop.wait()
    result = {name: statistics.median(values) for name, values in times.items()}
    result["failed"] = failed
    return result


def runner_launch(count, jobs=True, journal=True, build=None):
    """One start of the runner with count interval-0 jobs: seconds to its
    last child's start, and the launches its journal tells failed and retried."""
    wine_prefix.kill_wine(PREFIX)
    folder = Folder("launch", build, jobs=jobs)
    if not journal:
        # A folder of the journal's name: the runner goes without one.
        os.makedirs(os.path.join(folder.path, "cycle_launch.foreground.log"))
    folder.config([f"0,{folder.stamp(f'r{i}')}" for i in range(count)])
    started = time.time()
    runner = folder.start("cycle_launch.exe")
    last = max(ms for _, _, ms in wait_runner(folder, count, 600))
    stop(runner)
    return (last / 1000 - started, len(journal_events(folder, "fail")),
            len(journal_events(folder, "retry")))


def journal_cost(count, turns):
    """The same launch with the journal and without, taking turns."""
    times = {True: [], False: []}
    for _ in range(turns):
        for journal in (True, False):
            times[journal].append(runner_launch(count, journal=journal)[0])
    return times


def restart_precision(intervals, restarts):
    """Idle gap between a run's end and the next start, per interval."""
    wine_prefix.kill_wine(PREFIX)
    folder = Folder("precision")
    folder.config([f"{n},{folder.stamp(f'i{n}')}" for n in intervals])
    runner = folder.start("cycle_launch.exe")
    slowest = f"i{max(intervals)}"
    deadline = time.monotonic() + (max(intervals) + 2) * (restarts + 2)
    while time.monotonic() < deadline:
        if sum(1 for tag, _, _ in folder.stamps() if tag == slowest) > restarts:
            break
        time.sleep(0.2)
    stop(runner)
    gaps = {}
    for n in intervals:
        starts = [ms for tag, _, ms in folder.stamps("start") if tag == f"i{n}"]
        ends = [ms for tag, _, ms in folder.stamps("end") if tag == f"i{n}"]
        gaps[n] = [(s - e) / 1000 for e, s in zip(ends, starts[1:])][:restarts]
    return gaps


def stop_latency(children, repeats):
    """Ctrl+C with children running, to the last of them ended (exit code 2)
    and the runner gone."""
    latencies, code2 = [], []
    for _ in range(repeats):
        wine_prefix.kill_wine(PREFIX)
        folder = Folder("stop")
        folder.config([f"5,{folder.stamp(f's{i}', 'forever')}" for i in range(children)])
        runner = folder.start("cycle_launch.exe")
        pids = [str(pid) for _, pid, _ in folder.wait_stamps(children, 300)]
        report = os.path.join(folder.path, "exits.txt")
        waiter = folder.start("wait_exits.exe", folder.windows + "exits.txt", *pids)
        while not (os.path.exists(report) and open(report).read().startswith("ready")):
            time.sleep(0.05)
        asked = time.time()
        runner.send_signal(signal.SIGINT)
        runner.wait(timeout=60)
        runner_gone = time.time()
        waiter.wait(timeout=60)
        done = open(report).read().split("\n")[1].split()
        last_child_ms, ended, with_code2 = int(done[1]), int(done[2]), int(done[3])
        latencies.append(max(runner_gone, last_child_ms / 1000) - asked)
        code2.append((with_code2, ended))
    return latencies, code2


def scale(build, jobs, idle_seconds):
    """jobs children that never end: time until all run, the runner's
    memory with none and with all running, and its CPU time while idle."""
    wine_prefix.kill_wine(PREFIX)
    folder = Folder("idle", build)
    folder.config([f"0,{folder.stamp('idle')}"])
    runner = folder.start("cycle_launch.exe")
    folder.wait_stamps(1, 60, "end")
    time.sleep(2)
    rss_none = rss_kib(runner.pid)
    stop(runner)

    wine_prefix.kill_wine(PREFIX)
    folder = Folder("scale", build)
    folder.config([f"5,{folder.stamp(f'j{i}', 'forever')}" for i in range(jobs)])
    # A launch that fails raises a warning box; the job is tried again once
    # someone has pressed OK. The watcher does that, and counts them.
    watcher = folder.start("watcher.exe", folder.windows + "warnings.log")
    started = time.time()
    runner = folder.start("cycle_launch.exe")
    stamps = wait_runner(folder, jobs, 900)
    all_running = max(ms for _, _, ms in stamps) / 1000 - started
    lost = jobs - len({tag for tag, _, _ in stamps})
    retried = len(journal_events(folder, "retry"))
    warnings_log = os.path.join(folder.path, "warnings.log")
    warnings = open(warnings_log).read().count("\n") if os.path.exists(warnings_log) else 0
    time.sleep(2)
    rss_all = rss_kib(runner.pid)
    cpu_before = cpu_seconds(runner.pid)
    time.sleep(idle_seconds)
    cpu_idle = cpu_seconds(runner.pid) - cpu_before
    stop(runner)
    watcher.kill()

    # The same children from a loop in a process holding as many threads.
    wine_prefix.kill_wine(PREFIX)
    folder = Folder("scale", build)
    started = time.time()
    loop = baseline_loop(folder, jobs, threads=jobs, hold=True, tag="forever")
    loop_all_running = max(ms for _, _, ms in wait_lines(folder, jobs)) / 1000 - started
    time.sleep(2)
    loop_rss = rss_kib(loop.pid)
    loop.kill()
    wine_prefix.kill_wine(PREFIX)
    return {"all_running": all_running, "lost": lost, "retried": retried, "warnings": warnings,
            "rss_none": rss_none,
            "rss_all": rss_all, "cpu_idle": cpu_idle, "loop_all_running": loop_all_running,
            "loop_rss": loop_rss}


# --- the table ----------------------------------------------------------------

def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="tiny sizes, to check the harness")
    quick = parser.parse_args().quick
    jobs = 8 if quick else 1024
    began = time.monotonic()
    wine_prefix.make_prefix(PREFIX)
    rows = []

    def row(what, figure, target):
        rows.append((what, figure, target))
        print(f"  {what}: {figure}  ({target})", file=sys.stderr, flush=True)

    print(f"Measuring the {DEFAULT_BUILD} build"
          + ("" if DEFAULT_BUILD == "32-bit" else
             f": the 32-bit one {wine_builds.describe_32()}"),
          file=sys.stderr, flush=True)
    launch_jobs = 10 if quick else 200
    launch = launch_overhead(launch_jobs, 1 if quick else 3)
    row(f"Launch: start to last child's start, {launch_jobs} jobs",
        f"{launch['runner']:.2f} s; baseline loop {launch['loop']:.2f} s, ratio "
        f"{launch['runner'] / launch['loop']:.2f}; the loop in a process with {launch_jobs} "
        f"threads {launch['loop with threads']:.2f} s, ratio "
        f"{launch['runner'] / launch['loop with threads']:.2f}", "ratio at most 1.10")
    cost = (launch["runner"] / launch["runner without jobs"] - 1) * 100
    row(f"Job objects: the same launch with a job per run and without",
        f"{launch['runner']:.2f} s with, {launch['runner without jobs']:.2f} s without: "
        f"{cost:+.1f}%", "at most 3% slower")

    failed = launch["failed"]
    row(f"Failed launches in the launch rows ({launch_jobs} jobs a run)",
        f"runner: {failed['runner']} failed, {failed['retried']} tried again; "
        f"baseline loop: {failed['loop']} failed", "figure only")

    turns = 1 if quick else 15
    with_journal = journal_cost(launch_jobs, turns)

    def spread(values):
        return (f"median {statistics.median(values):.2f} s, "
                f"{min(values):.2f} to {max(values):.2f} s")
    journal_change = (statistics.median(with_journal[True]) /
                      statistics.median(with_journal[False]) - 1) * 100
    row(f"Journal: the launch with a journal and without ({turns} turns each)",
        f"with: {spread(with_journal[True])}; without: {spread(with_journal[False])}; "
        f"{journal_change:+.1f}%", "within 2%")

    restarts = 2 if quick else 20
    gaps = restart_precision((1, 2, 5) if not quick else (1,), restarts)
    for n, values in gaps.items():
        inside = sum(1 for g in values if n <= g <= n + 1.1)
        row(f"Restart gap, interval {n} s ({len(values)} restarts)",
            f"min {min(values):.3f} / median {statistics.median(values):.3f} / "
            f"max {max(values):.3f} s; {inside} of {len(values)} within [{n}, {n + 1}.1]",
            f"every gap within [{n}, {n + 1}] s + 100 ms")

    children = 10 if quick else 100
    latencies, code2 = stop_latency(children, 1 if quick else 5)
    row(f"Stop latency, Ctrl+C with {children} children running ({len(latencies)} stops)",
        f"median {statistics.median(latencies):.2f} s, max {max(latencies):.2f} s; "
        f"exit code 2: {sum(c for c, _ in code2)} of {sum(n for _, n in code2)} children",
        "median at most 1.5 s")

    idle_seconds = 5 if quick else 60
    for build in BUILDS:
        if build not in RUNNABLE:
            row(f"Scale ({build}): {jobs} never-ending jobs, time until all run", NOT_MEASURED,
                "no job lost")
            row(f"Footprint ({build}): runner's resident memory", NOT_MEASURED, "figure only")
            row(f"Idle cost ({build}): CPU over {idle_seconds} s with {jobs} running",
                NOT_MEASURED, "under 0.2% of one core")
            continue
        figures = scale(build, jobs, idle_seconds)
        emulated = build_label(build) != build
        build = build_label(build)
        row(f"Scale ({build}): {jobs} never-ending jobs, time until all run",
            f"{figures['all_running']:.1f} s, {figures['lost']} lost, {figures['retried']} launches "
            f"tried again, {figures['warnings']} launch "
            f"warnings (each job tried again once dismissed); baseline loop in a process "
            f"with {jobs} threads {figures['loop_all_running']:.1f} s",
            "no job lost" + ("; " + EMULATED_TARGET if emulated else ""))
        if build.startswith("32-bit"):
            per_job = (figures["rss_all"] - figures["rss_none"]) / jobs
            row(f"Footprint ({build}): runner's resident memory",
                f"{figures['rss_none'] / 1024:.1f} MiB with 0 running, "
                f"{figures['rss_all'] / 1024:.1f} MiB with {jobs}: {per_job:.0f} KiB per job; "
                f"baseline loop with {jobs} idle threads {figures['loop_rss'] / 1024:.1f} MiB",
                EMULATED_TARGET if emulated else "figure only")
            share = figures["cpu_idle"] / idle_seconds * 100
            row(f"Idle cost ({build}): CPU over {idle_seconds} s with {jobs} running",
                f"{figures['cpu_idle'] * 1000:.0f} ms, {share:.3f}% of one core",
                EMULATED_TARGET if emulated else "under 0.2% of one core")
    for build, (build_dir, _) in BUILDS.items():
        size = os.path.getsize(os.path.join(build_dir, "cycle_launch.exe"))
        row(f"Executable ({build}), stripped", f"{size / 1024:.1f} KiB ({size} bytes)",
            "at most 100 KiB" if build == "32-bit" else "figure only")

    machine = f"{platform.node()}, {os.cpu_count()} cores, {platform.processor() or platform.machine()}"
    wine = subprocess.run([wine_builds.loader(64), "--version"], capture_output=True,
                          text=True).stdout.strip()
    print(f"\ncycle_launch benchmarks, {datetime.date.today()}, {machine}, {wine}, "
          f"{DEFAULT_BUILD} build where no build is named"
          f"{' (quick)' if quick else ''}, {time.monotonic() - began:.0f} s\n")
    print("| measure | figure | target |")
    print("|---|---|---|")
    for what, figure, target in rows:
        print(f"| {what} | {figure} | {target} |")


if __name__ == "__main__":
    main()
