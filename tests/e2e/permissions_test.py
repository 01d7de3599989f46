"""The runner refuses to run from files that others can change. Under Wine a
file's security follows its Unix mode: chmod o+w gives Everyone the right to
write, which is what makes a file or folder one that others can change."""
import os
import shutil
import stat
import subprocess
import time
import unittest

from reload_test import LIVE, ReloadCase
from service_test import ADD_SUCCESS, RUNNING, STOPPED
from wine_harness import (LOAD_TIME_SCALE, PREFIX, RUNNER_EXE, WINE, RunnerCase, ServiceCase,
                          kill_wine, wine_environment)

HOLD_FILE_EXE = os.environ["HOLD_FILE_EXE"]
REFUSAL = "Cycle_launch does not run: others can change its files"
NETWORK_REFUSAL = "Cycle_launch does not run: its folder is on the network"
HELD_OPEN = "cycle_launch.txt is held open by another program, which may write to it"
ALLOWED = "AllowUnsafePermissions is set"
PARAMETERS_KEY = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\Cycle_launch\\Parameters"
ERROR_SERVICE_SPECIFIC_ERROR = 1066


def others_may_write(path):
    os.chmod(path, os.stat(path).st_mode | stat.S_IWOTH)


def reg(*args):
    return subprocess.run([WINE, "reg", *args], env=wine_environment(), timeout=60,
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode


def journal_records(folder, name=LIVE):
    """(event, text) of each record of a journal."""
    path = os.path.join(folder, name)
    if not os.path.exists(path):
        return []
    with open(path, "rb") as f:
        lines = f.read().decode("utf-8", "replace").split("\r\n")
    return [(line.split("\t")[1], line.split("\t")[7]) for line in lines[1:]
            if line.count("\t") == 7]


def hold_for_writing(case, name="cycle_launch.txt", share="write"):
    """A program that opened a file of the case folder for writing before
    anything was locked down, and keeps it open; returns its process. With
    share "none", it lets nobody else open the file at all."""
    holder = subprocess.Popen([WINE, HOLD_FILE_EXE, case.windows_folder + name, share],
                              env=wine_environment(), stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
    case.addCleanup(lambda: (holder.kill(), holder.wait()))
    mark = os.path.join(case.folder, name + ".held")
    case.wait_for(lambda: os.path.exists(mark), 20, f"{name} held")
    os.remove(mark)
    return holder


def runner_on_network_drive(case):
    """The runner and a job in C:\\<case>\\net\\runner, seen as N:\\runner on
    a drive Wine calls a network one: it has no shares, but takes a drive's
    type from its registry. Returns the runner's Windows path."""
    real_folder = os.path.join(case.folder, "net", "runner")
    os.makedirs(real_folder)
    shutil.copy(RUNNER_EXE, os.path.join(real_folder, "cycle_launch.exe"))
    with open(os.path.join(real_folder, "cycle_launch.txt"), "wb") as f:
        f.write(f"1,{case.add_probe()} job\r\n".encode("latin-1"))
    drive = os.path.join(PREFIX, "dosdevices", "n:")
    if os.path.lexists(drive):
        before = os.readlink(drive)
        os.remove(drive)
        case.addCleanup(os.symlink, before, drive)
    os.symlink(os.path.join(case.folder, "net"), drive)
    case.addCleanup(os.remove, drive)
    # The 64-bit view, which Wine's drive manager reads, from a 32-bit reg too.
    key = "HKLM\\Software\\Wine\\Drives"
    case.assertEqual(reg("add", key, "/v", "n:", "/d", "network", "/f", "/reg:64"), 0)
    # Run last: with no server left holding the drive's type.
    case.addCleanup(kill_wine)
    case.addCleanup(reg, "delete", key, "/v", "n:", "/f", "/reg:64")
    kill_wine()  # drives are read when the server starts
    return "N:\\runner\\cycle_launch.exe"


def let_go(holder):
    holder.kill()
    holder.wait()


class OverrideMixin:
    def allow_unsafe_permissions(self):
        self.assertEqual(reg("add", PARAMETERS_KEY, "/v", "AllowUnsafePermissions",
                             "/t", "REG_DWORD", "/d", "1", "/f"), 0)
        self.addCleanup(reg, "delete", PARAMETERS_KEY, "/f")


class UnsafeForegroundTest(RunnerCase, OverrideMixin):
    def test_each_file_others_can_change_is_refused_in_one_box_with_its_fix(self):
        probe = self.add_probe()
        self.write_config(f"1,{probe} job\n")
        self.start_watcher()
        targets = {"folder": (self.folder, self.windows_folder.rstrip("\\")),
                   "executable": (os.path.join(self.folder, "cycle_launch.exe"),
                                  self.windows_folder + "cycle_launch.exe"),
                   "configuration": (os.path.join(self.folder, "cycle_launch.txt"),
                                     self.windows_folder + "cycle_launch.txt")}
        for what, (path, windows_path) in targets.items():
            with self.subTest(what=what):
                mode = os.stat(path).st_mode
                others_may_write(path)
                try:
                    self.assertEqual(self.run_runner(), (1, b""))
                finally:
                    os.chmod(path, mode)
                [box] = self.warnings()
                os.remove(os.path.join(self.folder, "warnings.log"))
                self.assertTrue(box.startswith(REFUSAL), box)
                self.assertIn(f"\n{windows_path} can be changed by ", box)
                self.assertIn("(S-1-1-0): ", box)
                self.assertIn(f'icacls "{windows_path}" /remove *S-1-1-0', box)
                self.assertIn(f'icacls "{windows_path}" /inheritance:r /grant:r "*S-1-5-18:', box)
                self.assertEqual(self.probe_events(), [])
                records = journal_records(self.folder)
                if what == "configuration":
                    # The folder is sound: the journal says why, and ends cleanly.
                    self.assertEqual(records[-1][0], "runner")
                    self.assertTrue(records[-1][1].startswith("stop: "), records)
                    os.remove(os.path.join(self.folder, LIVE))
                else:
                    self.assertEqual(records, [], "no journal in a folder others can change")
        # Locked again, it runs as before.
        self.start_runner()
        self.wait_for(lambda: self.probe_events(kind="start", tag="job"), 20, "the job")
        self.interrupt_runner()
        self.assertEqual(self.runner.returncode, 0)
        self.assertEqual(self.warnings(), [])

    def test_where_nobody_sees_a_box_the_refusal_goes_to_standard_error(self):
        probe = self.add_probe()
        self.write_config(f"1,{probe} job\n")
        others_may_write(self.folder)
        self.start_unseen_runner()
        self.runner.wait(timeout=60)
        self.assertEqual(self.runner.returncode, 1)
        error = self.standard_error().decode("latin-1")
        self.assertTrue(error.startswith("Cycle_launch: " + REFUSAL), error)
        self.assertEqual(self.probe_events(), [])

    def test_the_override_runs_from_an_unsafe_folder_and_says_so(self):
        probe = self.add_probe()
        self.write_config(f"1,{probe} job\n")
        self.allow_unsafe_permissions()
        others_may_write(self.folder)
        self.start_watcher()
        self.start_runner()
        self.wait_for(lambda: self.probe_events(kind="start", tag="job"), 20, "the job")
        self.interrupt_runner()
        self.assertEqual(self.runner.returncode, 0)
        self.assertEqual(self.warnings(), [], "the override warns in no box")
        # Quoted as CSV quotes it: the fix holds double quotes.
        [note] = [text for event, text in journal_records(self.folder)
                  if event == "runner" and ALLOWED in text]
        self.assertIn(self.windows_folder.rstrip("\\") + " can be changed by ", note)


class RealLocationTest(RunnerCase):
    """A folder above the runner's that is a link: the folders it leads to
    are judged. Wine makes no junction, and its CreateSymbolicLink and subst
    are stubs that create nothing; but it shows a Unix symbolic link to a
    folder as a reparse point, follows it, and gives its target as the
    final path, which is what the runner reads."""

    def linked_runner(self, others_may_change_target):
        """C:\\<case>\\Tools, a link to C:\\<case>_shared\\Tools, with the
        runner in its folder runner; returns the runner's Windows path."""
        shared = self.folder + "_shared"
        shutil.rmtree(shared, ignore_errors=True)
        self.addCleanup(shutil.rmtree, shared, True)
        real_folder = os.path.join(shared, "Tools", "runner")
        os.makedirs(real_folder)
        shutil.copy(RUNNER_EXE, os.path.join(real_folder, "cycle_launch.exe"))
        probe = self.add_probe()
        with open(os.path.join(real_folder, "cycle_launch.txt"), "wb") as f:
            f.write(f"1,{probe} job\r\n".encode("latin-1"))
        os.symlink(os.path.join("..", self.name + "_shared", "Tools"),
                   os.path.join(self.folder, "Tools"))
        if others_may_change_target:
            others_may_write(shared)
        return self.windows_folder + "Tools\\runner\\cycle_launch.exe"

    def test_a_link_to_a_folder_others_can_change_is_refused(self):
        runner = self.linked_runner(True)
        self.start_watcher()
        self.assertEqual(self.run_runner(exe=runner), (1, b""))
        [box] = self.warnings()
        self.assertTrue(box.startswith(REFUSAL), box)
        self.assertIn(f"\nC:\\{self.name}_shared can be changed by ", box)
        self.assertIn(f'icacls "C:\\{self.name}_shared" /remove *S-1-1-0', box)
        self.assertEqual(self.probe_events(), [])

    def test_a_folder_on_a_network_drive_is_refused(self):
        runner = runner_on_network_drive(self)
        self.start_watcher()
        self.assertEqual(self.run_runner(exe=runner), (1, b""))
        [box] = self.warnings()
        self.assertTrue(box.startswith(NETWORK_REFUSAL), box)
        self.assertIn("\nN:\\runner is on the network", box)
        self.assertNotIn("icacls", box)
        self.assertEqual(self.probe_events(), [])

    def test_a_link_to_a_sound_folder_runs(self):
        runner = self.linked_runner(False)
        self.start_watcher()
        self.start_runner(exe=runner)
        self.wait_for(lambda: self.probe_events(kind="start", tag="job"), 20, "the job")
        self.interrupt_runner()
        self.assertEqual(self.runner.returncode, 0)
        self.assertEqual(self.warnings(), [])


class HeldOpenTest(ReloadCase):
    def test_a_configuration_held_for_writing_is_refused_at_start(self):
        probe = self.add_probe()
        self.write_config(f"1,{probe} job\n")
        holder = hold_for_writing(self)
        self.start_watcher()
        self.assertEqual(self.run_runner(), (1, b""))
        [box] = self.warnings()
        self.assertTrue(box.startswith("Cycle_launch does not run: another program holds "
                                       "cycle_launch.txt open"), box)
        self.assertIn(f"\n{self.windows_folder}{HELD_OPEN}", box)
        self.assertIn(f"\nclose the program that holds {self.windows_folder}cycle_launch.txt open, "
                      "or restart the machine", box)
        self.assertNotIn("icacls", box)
        self.assertEqual(self.probe_events(), [])
        # Its folder is sound: the journal tells why, and ends cleanly.
        records = journal_records(self.folder)
        self.assertEqual(records[-1],
                         ("runner", "stop: another program holds cycle_launch.txt open; 0 runs "
                          "ended by the stop"))
        # Once it lets go, the runner runs.
        let_go(holder)
        self.start_runner()
        self.wait_for(lambda: self.probe_events(kind="start", tag="job"), 20, "the job")
        self.interrupt_runner()
        self.assertEqual(self.runner.returncode, 0)

    def test_a_writer_that_shares_nothing_is_refused_too(self):
        probe = self.add_probe()
        self.write_config(f"1,{probe} job\n")
        hold_for_writing(self, share="none")
        self.start_watcher()
        self.assertEqual(self.run_runner(), (1, b""))
        [box] = self.warnings()
        self.assertIn(f"\n{self.windows_folder}{HELD_OPEN}", box)
        self.assertEqual(self.probe_events(), [])

    def test_a_version_saved_while_a_writer_holds_the_file_waits_for_it_to_let_go(self):
        probe = self.add_probe()
        self.write_config(f"1,{probe} old\n")
        self.start_runner()
        self.wait_for(lambda: self.probe_events(kind="start", tag="old"), 20, "the old job")
        holder = hold_for_writing(self)
        # Written past Wine's sharing, as the holder itself could write it.
        with open(self.config_path(), "r+b") as f:
            f.write(f"1,{probe} new\r\n".encode("latin-1"))
            f.truncate()
        time.sleep(8)
        self.assertEqual(self.probe_events(kind="start", tag="new"), [], "taken from a writer")
        self.assertEqual(self.journal_texts(), [], "nothing told before a minute")
        let_go(holder)
        self.wait_for(lambda: self.probe_events(kind="start", tag="new"), 20 * LOAD_TIME_SCALE,
                      "the new version once the writer let go")
        self.interrupt_runner()
        self.assertEqual(self.runner.returncode, 0)


class UnsafeServiceTest(ServiceCase, OverrideMixin):
    def start_service(self):
        self.assertEqual(self.run_runner("-a"), (0, ADD_SUCCESS))
        self.assertEqual(self.wine("net", "start", "Cycle_launch").returncode, 0)

    def test_a_folder_others_can_change_stops_the_service_with_its_own_code(self):
        probe = self.add_probe()
        self.write_config(f"1,{probe} job\n")
        others_may_write(self.folder)
        self.start_service()
        self.wait_for(lambda: self.state() == STOPPED, 10, "the service stopped")
        fields = self.fields()
        self.assertEqual((fields["exit"], fields["specific"]),
                         (str(ERROR_SERVICE_SPECIFIC_ERROR), "1"))
        [event] = self.events()
        self.assertTrue(event.startswith(REFUSAL), event)
        self.assertIn(self.windows_folder.rstrip("\\") + " can be changed by ", event)
        self.assertEqual(self.probe_events(), [])
        self.assertFalse(os.path.exists(os.path.join(self.folder, "cycle_launch.service.log")))

    def test_a_configuration_held_for_writing_stops_the_service_with_a_code_of_its_own(self):
        probe = self.add_probe()
        self.write_config(f"1,{probe} job\n")
        hold_for_writing(self)
        self.start_service()
        self.wait_for(lambda: self.state() == STOPPED, 20, "the service stopped")
        fields = self.fields()
        self.assertEqual((fields["exit"], fields["specific"]),
                         (str(ERROR_SERVICE_SPECIFIC_ERROR), "2"))
        [event] = self.events()
        self.assertIn(HELD_OPEN, event)
        self.assertEqual(self.probe_events(), [])

    def test_a_folder_on_a_network_drive_stops_the_service_with_a_code_of_its_own(self):
        runner = runner_on_network_drive(self)
        self.assertEqual(self.run_runner("-a", exe=runner), (0, ADD_SUCCESS))
        self.assertEqual(self.wine("net", "start", "Cycle_launch").returncode, 0)
        self.wait_for(lambda: self.state() == STOPPED, 20, "the service stopped")
        fields = self.fields()
        self.assertEqual((fields["exit"], fields["specific"]),
                         (str(ERROR_SERVICE_SPECIFIC_ERROR), "3"))
        # The drive's new server took the event log's watch along: the
        # foreground case reads the text.
        self.assertEqual(self.probe_events(), [])

    def test_the_override_runs_the_service_and_warns_at_its_start(self):
        probe = self.add_probe()
        self.write_config(f"1,{probe} job\n")
        self.allow_unsafe_permissions()
        others_may_write(os.path.join(self.folder, "cycle_launch.txt"))
        self.start_service()
        self.wait_for(lambda: self.probe_events(kind="start", tag="job"), 20, "the job")
        self.assertEqual(self.state(), RUNNING)
        [event] = self.events()
        self.assertTrue(event.startswith(ALLOWED), event)
        self.assertIn("cycle_launch.txt can be changed by ", event)


class UnsafeReloadTest(ReloadCase):
    def test_a_version_others_can_change_is_rejected_and_the_jobs_stay(self):
        probe = self.add_probe()
        self.write_config(f"1,{probe} old\n")
        self.start_runner()
        self.wait_for(lambda: self.probe_events(kind="start", tag="old"), 20, "the old job")
        # Permissions alone: nothing happens.
        others_may_write(self.config_path())
        time.sleep(5)
        self.assertEqual(self.journal_texts(), [])
        # Saved beside, opened to others, then renamed over: never safe.
        beside = self.config_path() + ".tmp"
        with open(beside, "wb") as f:
            f.write(f"1,{probe} new\r\n".encode("latin-1"))
        others_may_write(beside)
        os.replace(beside, self.config_path())
        rejected = self.wait_for(lambda: self.journal_texts(), 20, "the rejection")
        self.assertEqual(len(rejected), 1)
        self.assertIn("others can change it; new version rejected, the jobs in force stay",
                      rejected[0])
        seen = len(self.probe_events(kind="start", tag="old"))
        time.sleep(5)
        self.assertEqual(len(self.journal_texts()), 1, "told once")
        self.assertEqual(self.probe_events(kind="start", tag="new"), [])
        self.wait_for(lambda: len(self.probe_events(kind="start", tag="old")) > seen,
                      2 * LOAD_TIME_SCALE, "the job in force again")
        self.interrupt_runner()
        self.assertEqual(self.runner.returncode, 0)


if __name__ == "__main__":
    unittest.main()
