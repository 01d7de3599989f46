"""Runs the real cycle_launch.exe under Wine, in a folder of its own per case.

Every case shares one Wine prefix (made once by wine_prefix.py) and gets a
folder C:\\<case> holding the runner, its configuration and the probe. Cases
run one at a time; each ends by killing whatever Wine still runs.
"""
import codecs
import os
import shutil
import signal
import subprocess
import time
import unittest

import wine_builds
import wine_prefix

WORK = os.environ["E2E_WORK"]
PREFIX = os.path.join(WORK, "prefix")
RUNNER_EXE = os.environ["CYCLE_LAUNCH_EXE"]
PROBE_EXE = os.environ["PROBE_EXE"]
# The probe built for 64-bit Windows, beside a 32-bit build's own; "" in a
# 64-bit build, whose probe is that already.
PROBE64_EXE = os.environ.get("PROBE64_EXE", "")
WATCHER_EXE = os.environ["WATCHER_EXE"]
SERVICE_QUERY_EXE = os.environ["SERVICE_QUERY_EXE"]
UNSEEN_DESKTOP_EXE = os.environ["UNSEEN_DESKTOP_EXE"]
# The loader of the build under test runs every program of the case, Wine's
# own (sc, net) included, in-process: Ctrl+C must reach the program itself,
# not a launcher in between.
WINE = wine_builds.loader(os.environ["WINE_BITS"])
SERVICE = "Cycle_launch"

# The 32-bit build under QEMU's user-mode emulation, on a machine whose
# kernel runs no 32-bit programs.
EMULATED = os.environ["WINE_BITS"] == "32" and wine_builds.emulated()
ACCESS_VIOLATION = 0xC0000005
# QEMU hands Wine an access violation as "trap -1", which reaches the
# program as an illegal instruction. Natively, only the real code passes.
CRASH_CODES = {ACCESS_VIOLATION, 0xC000001D} if EMULATED else {ACCESS_VIOLATION}
# What load tests multiply their time limits by. Under the emulation a child
# created and waited for took 515 ms, against 103 ms natively with wine64.
LOAD_TIME_SCALE = 5.0 if EMULATED else 1.0
# How much later a program gets to its own code under the emulation: `cmd /c
# echo` took 0.8 s there on an idle machine, and the runner's first record
# came 1.6 to 1.8 s after its start on a loaded one. A Ctrl+C before that
# meets Wine's start-up, not the program (seen: the loader killed by the
# signal, the signal lost, or exit code 41); and a probe notes its start that
# much later, which rhythm checks allow for.
STARTUP_SECONDS = 1.8 if EMULATED else 0.0
# What a Ctrl+C may take to end the runner: the tick in progress, a creation
# in progress, the journal's close, and under the emulation a slower exit.
STOP_SECONDS = 2.5 + STARTUP_SECONDS
WATCHER_SERVICE = "Cycle_launch_watcher"

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
        self.console_processes = self.console_window = self.bits = None
        self.name = self.value = None
        if self.kind == "start":
            self.cwd, self.command_line, self.path = fields[4], fields[5], fields[6]
        elif self.kind == "exit":
            self.code = int(fields[4])
        elif self.kind == "report":
            self.console_processes, self.console_window = int(fields[4]), fields[5] == "1"
            self.bits = int(fields[6])
        elif self.kind == "env":
            # The value's UTF-16 units, as hex; None for a variable not set.
            self.name = fields[4]
            if fields[5] != "<none>":
                self.value = bytes.fromhex(fields[5]).decode("utf-16-be", "surrogatepass")

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
            if process is None:
                continue
            if process.poll() is None:
                process.kill()
                process.wait()
            if process.stdout is not None:
                process.stdout.close()
        kill_wine()

    # --- the case's files --------------------------------------------------
    def write_config(self, text, raw=False):
        data = text if raw else text.replace("\n", "\r\n").encode("latin-1")
        with open(os.path.join(self.folder, "cycle_launch.txt"), "wb") as f:
            f.write(data)

    def add_probe(self, subfolder="", source=PROBE_EXE, name="probe.exe"):
        """Puts a probe in the case folder (or a folder below it); returns its Windows path."""
        target = os.path.join(self.folder, subfolder)
        os.makedirs(target, exist_ok=True)
        shutil.copy(source, os.path.join(target, name))
        return self.windows_folder + (subfolder.replace("/", "\\") + "\\" if subfolder else "") + name

    def deep_runner(self):
        """A copy of the runner in a folder whose path, with the file name,
        exceeds 255 characters; returns its Unix path, which wine takes."""
        folder = os.path.join(self.folder, "a" * 100, "b" * 100, "c" * 60)
        os.makedirs(folder)
        shutil.copy(RUNNER_EXE, folder)
        return os.path.join(folder, "cycle_launch.exe")

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
    def start_runner(self, *args, env=None, exe=None, stderr=subprocess.DEVNULL):
        self.runner = subprocess.Popen(
            [WINE, exe or self.windows_folder + "cycle_launch.exe", *args],
            env=wine_environment(env), stdout=subprocess.PIPE, stderr=stderr)
        return self.runner

    def start_unseen_runner(self, *args):
        """The runner on a desktop nobody sees; its standard error goes to
        stderr.txt in the case folder."""
        self.runner = subprocess.Popen(
            [WINE, UNSEEN_DESKTOP_EXE, self.windows_folder + "stderr.txt",
             self.windows_folder + "cycle_launch.exe", *args],
            env=wine_environment(), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return self.runner

    def standard_error(self):
        path = os.path.join(self.folder, "stderr.txt")
        if not os.path.exists(path):
            return b""
        with open(path, "rb") as f:
            return f.read()

    def run_runner(self, *args, timeout=60, exe=None):
        self.start_runner(*args, exe=exe)
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
            [WINE, WATCHER_EXE, self.windows_folder + "warnings.log", str(hold_ms)],
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


EVENT_SOURCE_KEY = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + SERVICE


class ServiceCase(RunnerCase):
    """A case against Wine's Service Control Manager, which lives in the
    wineserver: the server is kept alive for the whole case, and the service
    entries are removed before and after.

    Wine has no event log to read back: it writes each entry to the standard
    error of the services, which is that of the first program run after the
    server started (it starts the service manager). The case gives that
    program a file, eventlog.txt, and Wine's errors and warnings of the event
    log."""

    def setUp(self):
        super().setUp()
        subprocess.run(["wineserver", "-p"], env=wine_environment(), check=True)
        self.event_log = os.path.join(self.folder, "eventlog.txt")
        with open(self.event_log, "wb") as log:
            subprocess.run([WINE, SERVICE_QUERY_EXE, SERVICE], stdout=subprocess.DEVNULL,
                           stderr=log, timeout=60,
                           env=wine_environment({"WINEDEBUG": "-all,err+eventlog,warn+eventlog"}))
        self.remove_services()

    def events(self):
        """The texts of the event log entries written since the case began."""
        with open(self.event_log, "rb") as f:
            lines = f.read().decode("latin-1").splitlines()
        # Wine quotes each text C-style: \\ for a backslash, \xNN and so on.
        return [codecs.decode(line.split('ReportEventW L"', 1)[1].rsplit('"', 1)[0],
                              "unicode_escape")
                for line in lines if ":eventlog:ReportEventW" in line]

    def event_source(self):
        """The event source's registry values, or None when the key is missing."""
        result = self.wine("reg", "query", EVENT_SOURCE_KEY)
        if result.returncode != 0:
            return None
        values = {}
        for line in result.stdout.decode("latin-1").splitlines():
            parts = line.split(None, 2)
            if len(parts) == 3 and parts[1].startswith("REG_"):
                values[parts[0]] = parts[2]
        return values

    def tearDown(self):
        self.remove_services()
        super().tearDown()

    def remove_services(self):
        for name in (SERVICE, WATCHER_SERVICE):
            if self.query(name) == "missing":
                continue
            self.wine("net", "stop", name)
            self.wait_for(lambda: self.state(name) in (None, 1), 20, f"{name} stopped")
            self.wine("sc", "delete", name)
            self.wait_for(lambda: self.query(name) == "missing", 20, f"{name} deleted")

    def wine(self, *args):
        return subprocess.run([WINE, *args], env=wine_environment(), timeout=60,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)

    def query(self, name=SERVICE, control=None):
        """The service's entry and status, as service_query prints them."""
        args = [SERVICE_QUERY_EXE, name] + ([f"control={control}"] if control else [])
        return self.wine(*args).stdout.decode("latin-1").strip()

    def fields(self, name=SERVICE):
        line = self.query(name)
        if line == "missing":
            return None
        head, _, path = line.partition(" path=")
        result = dict(item.split("=", 1) for item in head.split())
        result["path"] = path
        return result

    def state(self, name=SERVICE):
        fields = self.fields(name)
        return int(fields["state"]) if fields else None

    def start_service_watcher(self, hold_ms):
        """A watcher in the services' desktop, where the service's boxes appear."""
        shutil.copy(WATCHER_EXE, os.path.join(self.folder, "watcher.exe"))
        command = (f"{self.windows_folder}watcher.exe --service "
                   f"{self.windows_folder}warnings.log {hold_ms}")
        # Interactive, like the runner's service: a service that is not gets
        # a desktop of its own under Wine.
        self.wine("sc", "create", WATCHER_SERVICE, "binpath=", command,
                  "type=", "own", "type=", "interact")
        self.assertEqual(self.wine("net", "start", WATCHER_SERVICE).returncode, 0)
