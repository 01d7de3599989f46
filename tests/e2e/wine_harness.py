"""Runs the real cycle_launch.exe under Wine, in a folder of its own per case.

Every case shares one Wine prefix (made once by wine_prefix.py) and gets a
folder C:\\<case> holding the runner, its configuration and the probe. Cases
run one at a time; each ends by killing whatever Wine still runs.
"""
import os
import shutil
import signal
import subprocess
import time
import unittest

import wine_prefix

WORK = os.environ["E2E_WORK"]
PREFIX = os.path.join(WORK, "prefix")
RUNNER_EXE = os.environ["CYCLE_LAUNCH_EXE"]
PROBE_EXE = os.environ["PROBE_EXE"]
WATCHER_EXE = os.environ["WATCHER_EXE"]

USAGE = (b"cycle_launch -h -D -a -r\noption :\n\t-h Help\n\t-D Deamon Mode\n"
         b"\t-a add service\n\t-r remove service\nfiles :\n"
         b"\tcycle_launch.txt : <Time Interval in sec>,<Command>\n")


def wine_environment(extra=None):
    return wine_prefix.wine_environment(PREFIX, extra)


def kill_wine():
    wine_prefix.kill_wine(PREFIX)


class ProbeEvent:
    def __init__(self, fields):
        self.kind, self.tag, self.pid = fields[0], fields[1], int(fields[2])
        self.ms = int(fields[3])
        self.cwd = self.command_line = self.path = None
        self.code = None
        if self.kind == "start":
            self.cwd, self.command_line, self.path = fields[4], fields[5], fields[6]
        elif self.kind == "exit":
            self.code = int(fields[4])

    def __repr__(self):
        return f"{self.kind} {self.tag} pid={self.pid} ms={self.ms} code={self.code}"


class RunnerCase(unittest.TestCase):
    """A folder C:\\<case name> with the runner in it, and helpers to drive it."""

    def setUp(self):
        kill_wine()
        self.name = self.id().split(".")[-1]
        self.folder = os.path.join(PREFIX, "drive_c", self.name)
        shutil.rmtree(self.folder, ignore_errors=True)
        os.makedirs(self.folder)
        self.windows_folder = "C:\\" + self.name + "\\"
        shutil.copy(RUNNER_EXE, os.path.join(self.folder, "cycle_launch.exe"))
        self.runner = None
        self.watcher = None

    def tearDown(self):
        for process in (self.runner, self.watcher):
            if process is not None and process.poll() is None:
                process.kill()
                process.wait()
        kill_wine()

    # --- the case's files --------------------------------------------------
    def write_config(self, text, raw=False):
        data = text if raw else text.replace("\n", "\r\n").encode("latin-1")
        with open(os.path.join(self.folder, "cycle_launch.txt"), "wb") as f:
            f.write(data)

    def add_probe(self, subfolder=""):
        """Puts a probe in the case folder (or a folder below it); returns its Windows path."""
        target = os.path.join(self.folder, subfolder)
        os.makedirs(target, exist_ok=True)
        shutil.copy(PROBE_EXE, os.path.join(target, "probe.exe"))
        return self.windows_folder + (subfolder.replace("/", "\\") + "\\" if subfolder else "") + "probe.exe"

    def probe_events(self, subfolder="", kind=None, tag=None):
        log = os.path.join(self.folder, subfolder, "probe.log")
        if not os.path.exists(log):
            return []
        events = []
        with open(log, "rb") as f:
            for line in f.read().decode("latin-1").split("\r\n"):
                if line:
                    events.append(ProbeEvent(line.split("\t")))
        return [e for e in events
                if (kind is None or e.kind == kind) and (tag is None or e.tag == tag)]

    # --- the runner ----------------------------------------------------------
    def start_runner(self, *args, env=None):
        self.runner = subprocess.Popen(
            ["wine", self.windows_folder + "cycle_launch.exe", *args],
            env=wine_environment(env), stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        return self.runner

    def run_runner(self, *args, timeout=60):
        self.start_runner(*args)
        out, _ = self.runner.communicate(timeout=timeout)
        return self.runner.returncode, out

    def interrupt_runner(self):
        """Ctrl+C: SIGINT to the process running the program."""
        started = time.monotonic()
        self.runner.send_signal(signal.SIGINT)
        self.runner.wait(timeout=30)
        return time.monotonic() - started

    def start_watcher(self, hold_ms=0):
        self.watcher = subprocess.Popen(
            ["wine", WATCHER_EXE, self.windows_folder + "warnings.log", str(hold_ms)],
            env=wine_environment(), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def warnings(self):
        log = os.path.join(self.folder, "warnings.log")
        if not os.path.exists(log):
            return []
        with open(log, "rb") as f:
            return [l for l in f.read().decode("latin-1").split("\r\n") if l]

    def wait_for(self, condition, timeout, what):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            result = condition()
            if result:
                return result
            time.sleep(0.1)
        self.fail(f"timed out after {timeout} s waiting for {what}")
