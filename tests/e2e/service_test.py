"""The runner as a Windows service under Wine's Service Control Manager:
its entry, its start, its jobs and its stop."""
import os
import shutil
import sys
import time
import unittest

from wine_harness import RUNNER_EXE, STARTUP_SECONDS, ServiceCase

ADD_SUCCESS = b"service add success\r\n"
ADD_ERROR = b"error on service add\r\n"
REMOVE_SUCCESS = b"service remove success\r\n"
REMOVE_ERROR = b"error on service remove\r\n"
OPEN_ERROR = b"error on get service\r\n"
NOT_FOUND = "Config File (cycle_launch.txt) not Found"
FORMAT_ERROR = "Config File (cycle_launch.txt) Format Error"
LIMIT_EXIT_CODE = 1460  # ERROR_TIMEOUT
RUNNING, STOPPED, STOP_PENDING = 4, 1, 3
SERVICE_CONTROL_STOP = 1
ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_BAD_CONFIGURATION = 2, 5, 1610


class InstallTest(ServiceCase):
    def test_add_then_remove(self):
        self.assertEqual(self.run_runner("-a"), (0, ADD_SUCCESS))
        self.assertEqual(self.event_source(), {
            "EventMessageFile": self.windows_folder + "cycle_launch.exe",
            "TypesSupported": "0x7"})
        entry = self.fields()
        self.assertEqual(entry["type"], "0x120")
        self.assertEqual(entry["start"], "3")  # on demand
        self.assertEqual(entry["error"], "1")  # normal
        self.assertEqual(entry["account"], "LocalSystem")
        self.assertEqual(entry["path"], self.windows_folder + "cycle_launch.exe")
        self.assertEqual(int(entry["state"]), STOPPED)

        self.assertEqual(self.run_runner("-a"), (0, ADD_ERROR))
        self.assertEqual(self.run_runner("word", "-r"), (0, REMOVE_SUCCESS))
        self.assertEqual(self.query(), "missing")
        self.assertIsNone(self.event_source())
        self.assertEqual(self.run_runner("-r"), (0, OPEN_ERROR))

    def test_the_event_source_goes_only_with_the_entry(self):
        probe = self.add_probe()
        self.write_config(f"5,{probe} long sleep=forever\n")
        self.assertEqual(self.run_runner("-a"), (0, ADD_SUCCESS))
        self.assertEqual(self.wine("net", "start", "Cycle_launch").returncode, 0)
        # Marked for deletion while it runs: the entry stays, and a second
        # deletion fails.
        self.assertEqual(self.wine("sc", "delete", "Cycle_launch").returncode, 0)
        self.assertEqual(self.run_runner("-r"), (0, REMOVE_ERROR))
        self.assertIsNotNone(self.event_source())
        self.wine("net", "stop", "Cycle_launch")
        self.wait_for(lambda: self.query() == "missing", 10, "the entry gone")
        # Deleted some other way: -r finds no entry, and the source goes.
        self.assertEqual(self.run_runner("-r"), (0, OPEN_ERROR))
        self.assertIsNone(self.event_source())

    def test_a_path_with_a_space_is_registered_quoted(self):
        os.makedirs(os.path.join(self.folder, "Program Files"))
        shutil.copy(RUNNER_EXE, os.path.join(self.folder, "Program Files", "cycle_launch.exe"))
        exe = self.windows_folder + "Program Files\\cycle_launch.exe"
        self.assertEqual(self.run_runner("-D", "-a", exe=exe), (0, ADD_SUCCESS))
        self.assertEqual(self.fields()["path"], f'"{exe}"')

    def test_a_path_too_long_to_hold_is_never_registered(self):
        self.assertEqual(self.run_runner("-a", exe=self.deep_runner()), (0, ADD_ERROR))
        self.assertEqual(self.query(), "missing")


class ServiceRunTest(ServiceCase):
    def test_runs_the_jobs_until_stopped(self):
        probe = self.add_probe("tools")
        self.write_config(f"1,{probe} quick sleep=200\n5,{probe} long sleep=forever\n")
        self.assertEqual(self.run_runner("-a"), (0, ADD_SUCCESS))
        self.assertEqual(self.wine("net", "start", "Cycle_launch").returncode, 0)
        self.assertEqual(self.state(), RUNNING)

        self.wait_for(lambda: len(self.probe_events("tools", kind="start", tag="quick")) >= 3,
                      20, "three runs of the quick job")
        for run in self.probe_events("tools", kind="start"):
            self.assertIn(run.command_line, ("probe.exe quick sleep=200",
                                             "probe.exe long sleep=forever"))
            self.assertEqual(run.cwd.lower(), (self.windows_folder + "tools").lower())
            self.assertTrue(run.path.endswith(";" + self.windows_folder + "tools\\"))
        starts = self.probe_events("tools", kind="start", tag="quick")
        ends = self.probe_events("tools", kind="end", tag="quick")
        for end, next_start in zip(ends, starts[1:]):
            self.assertLessEqual((next_start.ms - end.ms) / 1000, 2.7 + STARTUP_SECONDS)

        # Interrogate and a control of no meaning here change nothing.
        self.query(control=4)
        self.query(control=200)
        self.assertEqual(self.state(), RUNNING)

        asked = time.monotonic()
        self.wine("net", "stop", "Cycle_launch")
        self.wait_for(lambda: self.state() == STOPPED, 10, "the service stopped")
        # net and the query helper run on the loader of the build under test:
        # under the emulation each of them starts later.
        self.assertLess(time.monotonic() - asked, 2.5 + 2 * STARTUP_SECONDS)
        self.assertEqual(self.fields()["exit"], "0")
        [killed] = self.wait_for(lambda: self.probe_events("tools", kind="exit", tag="long"), 10,
                                 "the long child's end")
        self.assertEqual(killed.code, 2)

        # The service's own journal ends with the stop and what it ended.
        with open(os.path.join(self.folder, "cycle_launch.service.log"), "rb") as f:
            records = [line.split("\t") for line in f.read()[3:].decode("utf-8").split("\r\n")[1:-1]]
        self.assertTrue(records[0][7].startswith("service, version "), records[0])
        # The quick job may be in a run of its own when the stop comes.
        kills = [r for r in records if r[1] == "kill"]
        [kill] = [r for r in kills if r[2] == "2"]
        self.assertEqual((kill[2], kill[4], kill[5]), ("2", str(killed.pid), "2"))
        self.assertLessEqual(len(kills), 2)
        self.assertEqual(records[-1][1:], ["runner", "", "", "", "", "",
                                           f"stop: the service manager's stop; {len(kills)} runs "
                                           "ended by the stop"])

    def test_a_stop_is_reported_pending_with_time_for_its_work(self):
        # The service manager gives up on a service that neither stops nor
        # says it is stopping; the stop may wait 5 s for creations still in
        # progress and 1 s for the journal.
        probe = self.add_probe()
        self.write_config(f"5,{probe} long sleep=forever\n")
        self.assertEqual(self.run_runner("-a"), (0, ADD_SUCCESS))
        self.assertEqual(self.wine("net", "start", "Cycle_launch").returncode, 0)
        self.wait_for(lambda: self.probe_events(kind="start", tag="long"), 20, "the job")

        answer = self.query(control=SERVICE_CONTROL_STOP).splitlines()[0].split()
        self.assertEqual(answer[0], "sent", answer)
        status = dict(item.split("=", 1) for item in answer[1:])
        self.assertEqual(int(status["state"]), STOP_PENDING, answer)
        self.assertGreaterEqual(int(status["checkpoint"]), 1, answer)
        self.assertGreaterEqual(int(status["hint"]), 7000, answer)
        self.wait_for(lambda: self.state() == STOPPED, 15, "the service stopped")
        fields = self.fields()
        self.assertEqual((fields["exit"], fields["checkpoint"], fields["hint"]), ("0", "0", "0"))
        [killed] = self.wait_for(lambda: self.probe_events(kind="exit", tag="long"), 10,
                                 "the long child's end")
        self.assertEqual(killed.code, 2)


class ServiceWarningTest(ServiceCase):
    """Nobody sees a service's desktop: its warnings go to the event log (and
    to the console user's session, which Wine can't reach), and none of them
    waits for a person. A watcher in the services' desktop would see a box."""

    def start_service(self):
        self.assertEqual(self.run_runner("-a"), (0, ADD_SUCCESS))
        self.start_service_watcher(hold_ms=0)
        self.assertEqual(self.wine("net", "start", "Cycle_launch").returncode, 0)

    def test_without_configuration_it_stops_with_file_not_found(self):
        started = time.monotonic()
        self.start_service()
        self.wait_for(lambda: self.state() == STOPPED, 10, "the service stopped")
        print(f"\nnet start to STOPPED: {time.monotonic() - started:.2f} s", file=sys.stderr)
        self.assertEqual(self.fields()["exit"], str(ERROR_FILE_NOT_FOUND))
        self.assertEqual(self.events(), [NOT_FOUND])
        self.assertEqual(self.warnings(), [])

    def test_an_unreadable_configuration_stops_with_its_error(self):
        # A folder of the file's name: as root, Wine opens a read-only file.
        os.mkdir(os.path.join(self.folder, "cycle_launch.txt"))
        self.start_service()
        self.wait_for(lambda: self.state() == STOPPED, 10, "the service stopped")
        self.assertEqual(self.fields()["exit"], str(ERROR_ACCESS_DENIED))
        self.assertEqual(self.events(), [NOT_FOUND])
        self.assertEqual(self.warnings(), [])

    def test_a_configuration_without_jobs_stops_with_bad_configuration(self):
        self.write_config("no comma here\n\n")
        self.start_service()
        self.wait_for(lambda: self.state() == STOPPED, 10, "the service stopped")
        self.assertEqual(self.fields()["exit"], str(ERROR_BAD_CONFIGURATION))
        # One entry for the load, with the lines that raised it.
        self.assertEqual(self.events(), [FORMAT_ERROR + " (count 2; lines 1, 2)"])
        self.assertEqual(self.warnings(), [])

    def test_a_configuration_the_runner_cannot_read_makes_one_entry_not_a_flood(self):
        # UTF-16 big-endian: every line a format error.
        probe = self.add_probe()
        lines = "".join(f"{i},{probe} bad{i}\r\n" for i in range(200))
        self.write_config(b"\xfe\xff" + lines.encode("utf-16-be"), raw=True)
        self.start_service()
        self.wait_for(lambda: self.state() == STOPPED, 10, "the service stopped")
        [entry] = self.events()
        self.assertTrue(entry.startswith(FORMAT_ERROR + " (count 200; lines 1, 2, 3,"), entry)
        self.assertEqual(self.warnings(), [])

    def test_a_job_whose_program_is_missing_at_first_runs_once_it_is_there(self):
        tools = os.path.join(self.folder, "tools")
        os.makedirs(tools)
        late = self.windows_folder + "tools\\probe.exe"
        self.write_config(f"1,{late} late\n")
        self.start_service()
        # The entry gives the system's reason after the warning's own text.
        launch_error = f"Command ({late}) Execution Error: "
        told = lambda: [e for e in self.events() if e.startswith(launch_error)]
        self.wait_for(told, 10, "the launch warning")
        time.sleep(4)  # two more failed tries, reported no more
        self.assertEqual(len(self.events()), 1)
        self.assertEqual(len(told()), 1)
        self.assertEqual(self.state(), RUNNING)

        self.add_probe("tools")
        self.wait_for(lambda: len(self.probe_events("tools", kind="start", tag="late")) >= 2, 20,
                      "two runs of the job")
        self.wine("net", "stop", "Cycle_launch")
        self.wait_for(lambda: self.state() == STOPPED, 10, "the service stopped")
        self.assertEqual(self.fields()["exit"], "0")
        self.assertEqual(len(self.events()), 1)
        self.assertEqual(len(told()), 1)
        self.assertEqual(self.warnings(), [])

    def test_a_run_past_its_limit_is_told_in_the_event_log_and_its_job_goes_on(self):
        probe = self.add_probe()
        self.write_config(f"1/2,{probe} hung sleep=forever\n")
        self.start_service()
        told = f"Command ({probe}) on line 1 ended at its limit of 2 s"
        self.wait_for(lambda: len(self.probe_events(kind="start", tag="hung")) >= 2, 30,
                      "the job started again after its limit")
        self.wait_for(lambda: told in self.events(), 10, "the limit's entry")
        [first, *_] = self.wait_for(lambda: self.probe_events(kind="exit", tag="hung"), 10,
                                    "the first run's end")
        self.assertEqual(first.code, LIMIT_EXIT_CODE)
        self.assertEqual(self.state(), RUNNING)
        self.wine("net", "stop", "Cycle_launch")
        self.wait_for(lambda: self.state() == STOPPED, 10, "the service stopped")
        self.assertEqual(self.fields()["exit"], "0")
        # The second run may have met its limit too: every entry is the limit's.
        self.assertEqual(set(self.events()), {told})
        self.assertEqual(self.warnings(), [])


class ForegroundBesideServiceTest(ServiceCase):
    def test_an_installed_service_does_not_change_a_foreground_start(self):
        probe = self.add_probe()
        self.write_config(f"0,{probe} fg sleep=forever\n")
        self.assertEqual(self.run_runner("-a"), (0, ADD_SUCCESS))
        self.start_runner("-D")
        self.wait_for(lambda: self.probe_events(kind="start", tag="fg"), 20, "the child")
        self.assertEqual(self.state(), STOPPED)
        self.interrupt_runner()
        self.assertEqual(self.runner.returncode, 0)
        [killed] = self.wait_for(lambda: self.probe_events(kind="exit", tag="fg"), 10,
                                 "the child's end")
        self.assertEqual(killed.code, 2)


if __name__ == "__main__":
    unittest.main()
