"""The runner in the foreground, as a user sees it: its console, its warning
boxes, the children it starts and the stop on Ctrl+C."""
import os
import shutil
import subprocess
import unittest

import wine_builds
from wine_harness import (PREFIX, PROBE64_EXE, PROBE_EXE, STARTUP_SECONDS, STOP_SECONDS, USAGE,
                          RunnerCase, kill_wine, wine_environment)

NOT_FOUND = "Config File (cycle_launch.txt) not Found"
FORMAT_ERROR = "Config File (cycle_launch.txt) Format Error"


def same_folder(a, b):
    return a.rstrip("\\").lower() == b.rstrip("\\").lower()


class UsageTest(RunnerCase):
    def test_help_options_print_the_usage_text_and_exit_0(self):
        for args in (["-h"], ["-hD"], ["-help"], ["word", "-h"], ["-x", "-D", "-h", "-a"]):
            with self.subTest(args=args):
                code, out = self.run_runner(*args)
                self.assertEqual(code, 0)
                # Standard output is in text mode, as on Windows.
                self.assertEqual(out, USAGE.replace(b"\n", b"\r\n"))


class ConfigurationTest(RunnerCase):
    def test_missing_configuration_warns_and_exits_0(self):
        self.start_watcher()
        for args in ([], ["-D"], ["-x"], ["/a"]):
            with self.subTest(args=args):
                code, out = self.run_runner(*args)
                self.assertEqual((code, out), (0, b""))
        self.assertEqual(self.warnings(), [NOT_FOUND] * 4)

    def test_a_program_path_too_long_to_hold_counts_as_no_configuration(self):
        exe = self.deep_runner()
        probe = self.add_probe()
        with open(os.path.join(os.path.dirname(exe), "cycle_launch.txt"), "w") as f:
            f.write(f"0,{probe} never\r\n")
        self.start_watcher()
        self.assertEqual(self.run_runner(exe=exe), (0, b""))
        self.assertEqual(self.warnings(), [NOT_FOUND])
        self.assertEqual(self.probe_events(), [])

    def test_malformed_lines_warn_and_the_jobs_around_them_run(self):
        probe = self.add_probe()
        self.write_config(f"garbage\n1,{probe} first\n\n-1,{probe} second\n")
        self.start_watcher()
        self.start_runner()
        self.wait_for(lambda: self.probe_events(kind="start", tag="first")
                      and self.probe_events(kind="start", tag="second"), 20, "both jobs")
        self.interrupt_runner()
        self.assertEqual(self.runner.returncode, 0)
        self.assertEqual(self.warnings(), [FORMAT_ERROR] * 2)

    def test_a_program_that_cannot_start_warns_with_its_path_and_is_tried_again(self):
        probe = self.add_probe()
        missing = self.windows_folder + "missing.exe"
        self.write_config(f"1,{missing} arg\n,\n0,{probe} fine\n")
        self.start_watcher()
        self.start_runner()
        launch_warning = f"Command ({missing}) Execution Error"
        self.wait_for(lambda: self.warnings().count(launch_warning) >= 3, 30, "three tries")
        self.interrupt_runner()
        self.assertEqual(self.runner.returncode, 0)
        self.assertIn("Command () Execution Error", self.warnings())
        self.assertEqual(len(self.probe_events(kind="start", tag="fine")), 1)


class UnseenDesktopTest(RunnerCase):
    """Started where nobody can see a box (a scheduled task, a remote shell),
    the runner shows none: every warning goes to standard error, and no job
    waits for a box that nobody would dismiss."""

    def test_warnings_go_to_standard_error_and_every_job_keeps_its_rhythm(self):
        probe = self.add_probe()
        missing = self.windows_folder + "missing.exe"
        self.write_config(f"garbage\n1,{probe} one sleep=300\n0,{probe} zero\n1,{missing}\n")
        self.start_unseen_runner("-D")
        self.wait_for(lambda: len(self.probe_events(kind="start", tag="one")) >= 4, 30,
                      "four runs of the one-second job")
        starts = self.probe_events(kind="start", tag="one")
        ends = self.probe_events(kind="end", tag="one")
        for end, next_start in zip(ends, starts[1:]):
            self.assertLessEqual((next_start.ms - end.ms) / 1000, 2.7 + STARTUP_SECONDS)
        self.assertEqual(len(self.probe_events(kind="start", tag="zero")), 1)
        # The missing program fails at every try, and is told of once.
        said = self.standard_error().decode("latin-1").split("\r\n")
        self.assertEqual(said[0], f"Cycle_launch: {FORMAT_ERROR} (count 1; lines 1)")
        # The system's reason follows the warning, in Wine's own words.
        self.assertTrue(said[1].startswith(f"Cycle_launch: Command ({missing}) Execution Error: "),
                        said[1])
        self.assertEqual(said[2:], [""])


class ChildTest(RunnerCase):
    def test_child_gets_its_command_line_directory_and_path(self):
        tools = self.add_probe("tools")
        spaced = self.add_probe("My Tools")
        self.add_probe()
        # A PATH far beyond 1024 characters must reach children whole.
        long_path = ";".join(f"C:\\long\\folder{i:03}\\bin" for i in range(80))
        self.write_config(f"-1,{tools} one  two\n0,{spaced} spaced x\n0,probe.exe bare\n")
        self.start_runner(env={"WINEPATH": long_path})
        self.wait_for(lambda: len(self.probe_events("tools", kind="start")) >= 3
                      and self.probe_events("My Tools", kind="start")
                      and self.probe_events(kind="start"), 30, "all children")
        self.interrupt_runner()

        runs = self.probe_events("tools", kind="start")
        for run in runs:
            self.assertEqual(run.command_line, "probe.exe one two")
            self.assertTrue(same_folder(run.cwd, self.windows_folder + "tools"), run.cwd)
            self.assertTrue(run.path.startswith(long_path + ";"), run.path[:100])
            self.assertTrue(run.path.endswith(";" + self.windows_folder + "tools\\"), run.path[-100:])
        # Every run gets the same PATH: nothing piles up from launch to launch.
        self.assertEqual(len({run.path for run in runs}), 1)

        [spaced_run] = self.probe_events("My Tools", kind="start")
        self.assertEqual(spaced_run.command_line, "probe.exe spaced x")
        self.assertTrue(same_folder(spaced_run.cwd, self.windows_folder + "My Tools"))
        self.assertTrue(spaced_run.path.endswith(";" + self.windows_folder + "My Tools\\"))

        # Without a backslash the program is found beside the runner, and runs there.
        [bare] = self.probe_events(kind="start")
        self.assertEqual(bare.command_line, "probe.exe bare")
        self.assertTrue(same_folder(bare.cwd, self.windows_folder))


class EnvironmentTest(RunnerCase):
    """A user whose profile folder is named outside the ANSI code page gets a
    TEMP that every job must see as it is; PATH still gets the job's folder."""

    # Not in code page 1252, Wine's ANSI code page for en-US.
    TEMP = "C:\\Users\\\u0416\u0430\u043d\u043d\u0430\\AppData\\Local\\Temp"  # Жанна
    TMP = "C:\\Users\\Joanna\\AppData\\Local\\Temp"
    # The ANSI code page follows the locale of the Wine process: UTF-8 on the
    # Linux side, en-US and so 1252 on the Windows side, whatever the machine's.
    LOCALE = {"LC_ALL": "C.UTF-8"}

    def setUp(self):
        super().setUp()
        # Wine takes TEMP and TMP from the user's registry environment, as
        # Windows does at logon, never from the Linux one. The prefix is
        # shared: its own values go back after the case.
        saved = self.windows_folder + "saved-environment.reg"
        self.registry("export", "HKCU\\Environment", saved, "/y")
        self.addCleanup(self.restore_registry, saved)
        self.import_user_environment({"TEMP": self.TEMP, "TMP": self.TMP})

    def registry(self, *args):
        # The 64-bit reg.exe on every machine: 32-bit programs see the same
        # HKCU\Environment.
        subprocess.run([wine_builds.loader(64), "reg", *args], env=wine_environment(self.LOCALE),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True,
                       timeout=60)

    def import_user_environment(self, values):
        lines = ["Windows Registry Editor Version 5.00", "", "[HKEY_CURRENT_USER\\Environment]"]
        lines += [f'"{name}"="{value}"'.replace("\\", "\\\\") for name, value in values.items()]
        with open(os.path.join(self.folder, "environment.reg"), "wb") as f:
            f.write("\r\n".join(lines + [""]).encode("utf-16"))
        self.registry("import", self.windows_folder + "environment.reg")

    def restore_registry(self, saved):
        self.registry("import", saved)
        # The server writes the prefix's registry out as it ends.
        kill_wine()

    def test_a_child_gets_the_environment_whole(self):
        probe = self.add_probe("job")
        self.write_config(f"0,{probe} job env=TEMP env=TMP env=PATH\n")
        self.start_runner(env=self.LOCALE)
        self.wait_for(lambda: len(self.probe_events("job", kind="env")) == 3, 30,
                      "the child's environment")
        self.interrupt_runner()

        seen = {event.name: event.value for event in self.probe_events("job", kind="env")}
        # ASCII, set the same way: tells a lost character from a lost variable.
        self.assertEqual(seen["TMP"], self.TMP)
        self.assertEqual(seen["TEMP"], self.TEMP)
        self.assertTrue(seen["PATH"].endswith(";" + self.windows_folder + "job\\"),
                        seen["PATH"][-100:])


class RestartTest(RunnerCase):
    def test_jobs_restart_once_idle_for_their_interval(self):
        probe = self.add_probe()
        self.write_config(f"1,{probe} one sleep=300\n2,{probe} two\n0,{probe} zero\n")
        self.start_runner()
        self.wait_for(lambda: len(self.probe_events(kind="start", tag="two")) >= 4, 30,
                      "four runs of the two-second job")
        self.interrupt_runner()

        for tag, interval in (("one", 1), ("two", 2)):
            starts = self.probe_events(kind="start", tag=tag)
            ends = self.probe_events(kind="end", tag=tag)
            self.assertGreaterEqual(len(starts), 3)
            for end, next_start in zip(ends, starts[1:]):
                gap = (next_start.ms - end.ms) / 1000
                # N to N+1 seconds idle (one tick less in a rare race), plus
                # the time Wine takes to end one process and create the next.
                self.assertGreaterEqual(gap, interval - 1, tag)
                self.assertLessEqual(gap, interval + 1.7 + STARTUP_SECONDS, tag)
        self.assertEqual(len(self.probe_events(kind="start", tag="zero")), 1)


class ConsoleTest(RunnerCase):
    """A batch job's programs share its console, which nobody sees, and
    nothing in it waits for input."""
    CMD = "C:\\windows\\system32\\cmd.exe"

    def write_batch(self, name, lines):
        with open(os.path.join(self.folder, name), "wb") as f:
            f.write("".join(line + "\r\n" for line in lines).encode("latin-1"))
        # Forward slashes: a backslash in an argument would join the program path.
        return self.windows_folder.replace("\\", "/") + name

    def test_a_program_started_by_a_batch_job_shares_its_hidden_console(self):
        probe = self.add_probe()
        batch = self.write_batch("job.bat", [f"@{probe} batch report"])
        self.write_config(f"0,{self.CMD} /c {batch}\n")
        self.start_runner()
        [report] = self.wait_for(lambda: self.probe_events(kind="report"), 30, "the probe's report")
        self.interrupt_runner()
        # cmd.exe and the probe; a console of the probe's own would hold it alone.
        self.assertGreaterEqual(report.console_processes, 2)
        self.assertFalse(report.console_window)

    def test_a_batch_job_ending_in_pause_ends_and_runs_again(self):
        probe = self.add_probe()
        batch = self.write_batch("pause.bat", [f"@{probe} paused", "@pause", "@set /p ANSWER=Name? "])
        self.write_config(f"1,{self.CMD} /c {batch}\n")
        self.start_runner()
        self.wait_for(lambda: len(self.probe_events(kind="start", tag="paused")) >= 3, 30,
                      "three runs of the batch job")
        self.interrupt_runner()


class SystemFolderTest(RunnerCase):
    """A 32-bit runner on 64-bit Windows runs the System32 a line names, not
    the SysWOW64 that Windows shows a 32-bit program under that name."""
    PROBE = "cycle_launch_probe.exe"
    ONLY_32 = "cycle_launch_probe32.exe"

    def setUp(self):
        super().setUp()
        if os.environ["WINE_BITS"] != "32":
            self.skipTest("only a 32-bit runner sees System32 redirected")
        windows = os.path.join(PREFIX, "drive_c", "windows")
        self.system32 = os.path.join(windows, "system32")
        self.syswow64 = os.path.join(windows, "syswow64")
        placed = [(PROBE64_EXE, self.system32, self.PROBE), (PROBE_EXE, self.syswow64, self.PROBE),
                  (PROBE_EXE, self.syswow64, self.ONLY_32)]
        for source, folder, name in placed:
            shutil.copy(source, os.path.join(folder, name))
            self.addCleanup(os.remove, os.path.join(folder, name))
        for folder in (self.system32, self.syswow64):
            self.addCleanup(lambda log: os.path.exists(log) and os.remove(log),
                            os.path.join(folder, "probe.log"))

    def journal(self):
        with open(os.path.join(self.folder, "cycle_launch.foreground.log"), "rb") as f:
            lines = f.read()[3:].decode("utf-8").split("\r\n")[1:-1]
        return [line.split("\t") for line in lines]

    def test_a_system32_path_runs_the_64_bit_program(self):
        native = f"C:\\windows\\system32\\{self.PROBE} native report"
        only32 = f"C:\\windows\\system32\\{self.ONLY_32}"
        self.write_config(f"0,{native}\n0,{only32} x\n")
        self.start_runner()
        [report] = self.wait_for(lambda: self.probe_events(self.system32, kind="report"), 60,
                                 "the 64-bit probe's report")
        self.wait_for(lambda: [r for r in self.journal() if r[1] == "fail"], 30, "the fail")
        self.interrupt_runner()
        self.assertEqual(report.bits, 64)
        self.assertEqual(self.probe_events(self.syswow64), [])

        records = self.journal()
        # The journal shows the lines as written.
        [start] = [r for r in records if r[1] == "start"]
        self.assertEqual(start[7], native)
        # The 32-bit program that System32 used to show is in SysWOW64 alone.
        [fail] = [r for r in records if r[1] == "fail"]
        self.assertEqual(fail[5], "2")
        self.assertTrue(fail[7].startswith(only32 + ": "), fail[7])
        self.assertIn("SysWOW64", fail[7])


class StopTest(RunnerCase):
    def test_ctrl_c_terminates_running_children_with_exit_code_2(self):
        probe = self.add_probe()
        self.write_config(f"5,{probe} long sleep=forever\n-1,{probe} quick\n")
        self.start_runner()
        self.wait_for(lambda: self.probe_events(kind="start", tag="long")
                      and len(self.probe_events(kind="start", tag="quick")) >= 2, 20, "children")
        elapsed = self.interrupt_runner()
        self.assertEqual(self.runner.returncode, 0)
        self.assertLess(elapsed, STOP_SECONDS)
        [killed] = self.wait_for(lambda: self.probe_events(kind="exit", tag="long"), 10,
                                 "the long child's end")
        self.assertEqual(killed.code, 2)
        self.assertEqual(self.probe_events(kind="end", tag="long"), [])


class EncodingTest(RunnerCase):
    """cycle_launch.txt as each tool of Windows saves it (ANSI, UTF-8 with and
    without a mark, UTF-16 with a mark), naming a folder outside ASCII: the
    same jobs run, at the same intervals, in the same folder."""

    FOLDER = "T\u00ebst"  # Tëst: in the ANSI code page (1252) and in every Unicode form

    def test_every_encoding_runs_the_same_jobs(self):
        self.add_probe(self.FOLDER)
        probe = self.windows_folder + self.FOLDER + "\\probe.exe"
        lines = f"1,{probe} {{0}}-again\r\n0,{probe} {{0}}-once\r\n"
        encodings = {
            "ansi": lambda text: text.encode("cp1252"),
            "utf8mark": lambda text: b"\xef\xbb\xbf" + text.encode("utf-8"),
            "utf8": lambda text: text.encode("utf-8"),
            "utf16": lambda text: b"\xff\xfe" + text.encode("utf-16-le"),
        }
        self.start_watcher()
        for name, encode in encodings.items():
            self.write_config(encode(lines.format(name)), raw=True)
            self.start_runner()
            self.wait_for(lambda: len(self.probe_events(self.FOLDER, kind="start",
                                                        tag=f"{name}-again")) >= 3,
                          20, f"three runs of the first job ({name})")
            self.interrupt_runner()
            self.assertEqual(len(self.probe_events(self.FOLDER, kind="start", tag=f"{name}-once")),
                             1, name)
            for run in self.probe_events(self.FOLDER, kind="start"):
                self.assertEqual(run.cwd.lower(), (self.windows_folder + self.FOLDER).lower())
                self.assertTrue(run.path.endswith(";" + probe[:-len("probe.exe")]), run.path)
        # Wine fails a launch now and then (the job is tried again after its
        # interval). What must never show is a line read wrongly: a format
        # warning, or a program name that lost its letter.
        self.assertEqual(set(self.warnings()) - {f"Command ({probe}) Execution Error"}, set())


if __name__ == "__main__":
    unittest.main()
