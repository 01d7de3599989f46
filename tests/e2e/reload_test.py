"""The jobs changed while they run, by saving cycle_launch.txt as editors
save it, and the service told to read it at once."""
import os
import time
import unittest

from journal_test import JournalCase
from service_test import ADD_SUCCESS, RUNNING
from wine_harness import LOAD_TIME_SCALE, STARTUP_SECONDS, RunnerCase, ServiceCase

LIVE = "cycle_launch.foreground.log"
# What "sc control Cycle_launch paramchange" sends; Wine's sc has no
# "control", so the helper sends it as sc does.
SERVICE_CONTROL_PARAMCHANGE = 6


def now_ms():
    return int(time.time() * 1000)


class ReloadCase(RunnerCase):
    def config_path(self):
        return os.path.join(self.folder, "cycle_launch.txt")

    def save_emptied_then_written(self, text):
        """As Notepad saves: the file cut to nothing, then written."""
        path = self.config_path()
        with open(path, "wb") as f:
            f.flush()
            os.fsync(f.fileno())
            time.sleep(0.3)
            f.write(text.replace("\n", "\r\n").encode("latin-1"))
        return now_ms()

    def save_beside_and_renamed(self, text):
        """As many editors save: a new file beside, renamed over the old one."""
        beside = self.config_path() + ".tmp"
        with open(beside, "wb") as f:
            f.write(text.replace("\n", "\r\n").encode("latin-1"))
        os.replace(beside, self.config_path())
        return now_ms()

    def journal_texts(self, event="reload", path=None):
        path = path or os.path.join(self.folder, LIVE)
        if not os.path.exists(path):
            return []
        with open(path, "rb") as f:
            lines = f.read().decode("utf-8", "replace").split("\r\n")
        return [line.split("\t")[7] for line in lines
                if line.count("\t") == 7 and line.split("\t")[1] == event]

    def runs(self, tag):
        """(start ms, end ms or None) of each run of a probe's tag."""
        exits = {e.pid: e.ms for e in self.probe_events(kind="exit", tag=tag)}
        return [(s.ms, exits.get(s.pid)) for s in self.probe_events(kind="start", tag=tag)]

    def assert_one_run_at_a_time(self, tag):
        runs = sorted(self.runs(tag))
        for (start, end), (next_start, _) in zip(runs, runs[1:]):
            self.assertIsNotNone(end, f"{tag}: a run beside one that never ended")
            self.assertGreaterEqual(next_start, end, f"{tag}: two runs at once")


class ReloadTest(ReloadCase):
    def test_jobs_change_while_they_run_and_nothing_running_is_ended(self):
        probe = self.add_probe()
        keep = f"1,{probe} keep sleep=300"
        # Retired while its run goes on; were it started again, it would be
        # a second after that run ends, long before the stop.
        gone = f"1,{probe} gone sleep=8000"
        back = f"0,{probe} back sleep=forever"
        edit_old = f"0,{probe} edit-old sleep=12000 nightly"
        edit_new = f"0,{probe} edit-new sleep=300 nightly"
        added = f"1,{probe} added sleep=200"
        self.write_config("\n".join([keep, gone, back, edit_old]) + "\n")
        self.start_runner()
        self.wait_for(lambda: len(self.probe_events(kind="start")) >= 4, 30, "the first runs")

        # Lines 2 and 3 go, line 4 is edited where it stands, line 5 is new.
        # Every job runs one program: the edit is the line that keeps a word
        # of the old one.
        saved = self.save_emptied_then_written("\n".join([keep, "", "", edit_new, added]) + "\n")
        first = self.wait_for(lambda: self.probe_events(kind="start", tag="added"), 10,
                              "the new job")[0]
        apply_ms = [first.ms - saved]
        # The probe notes its start late under the emulation.
        self.assertLess(apply_ms[0], 5000 + 1000 * STARTUP_SECONDS)

        # Back while its retired run goes on: it takes that run up.
        saved = self.save_beside_and_renamed("\n".join([keep, "", back, edit_new, added]) + "\n")
        self.wait_for(lambda: any("takes up" in t for t in self.journal_texts()), 10,
                      "the run taken up")
        # One more job, to time the second way of saving.
        saved = self.save_beside_and_renamed(
            "\n".join([keep, "", back, edit_new, added, f"1,{probe} later sleep=200"]) + "\n")
        first = self.wait_for(lambda: self.probe_events(kind="start", tag="later"), 10,
                              "the job added last")[0]
        apply_ms.append(first.ms - saved)
        self.assertLess(apply_ms[1], 5000 + 1000 * STARTUP_SECONDS)
        self.wait_for(lambda: self.probe_events(kind="start", tag="edit-new"), 20,
                      "the edited command, once the old run ended")
        time.sleep(2)
        stop_ms = now_ms()
        self.interrupt_runner()
        self.wait_for(lambda: self.probe_events(kind="exit", tag="back"), 10, "the end of back")
        print(f"\nsave to apply, ms: {apply_ms}")

        for exit_event in self.probe_events(kind="exit"):
            if exit_event.code == 2:
                self.assertGreaterEqual(exit_event.ms, stop_ms, f"ended by a reload: {exit_event}")
        for tag in ("keep", "gone", "back", "edit-old", "edit-new", "added", "later"):
            self.assert_one_run_at_a_time(tag)
        self.assertEqual(len(self.runs("gone")), 1, "a removed job started again")
        self.assertEqual(len(self.runs("back")), 1, "a second run beside the one taken up")
        # The retired run went on to its own end; the one taken up was ended
        # by the stop, and only by it.
        [gone_exit] = self.probe_events(kind="exit", tag="gone")
        self.assertEqual(gone_exit.code, 0)
        self.assertLess(gone_exit.ms, stop_ms)
        [back_exit] = self.probe_events(kind="exit", tag="back")
        self.assertEqual(back_exit.code, 2)
        [(_, old_end)] = self.runs("edit-old")
        self.assertIsNotNone(old_end)
        [(new_start, _)] = self.runs("edit-new")
        self.assertGreaterEqual(new_start, old_end, "the edit started beside the old run")

        texts = self.journal_texts()
        self.assertIn("new version applied: 1 added, 2 retired, 1 edited in place, "
                      "0 interval changed, 1 unchanged", texts)
        self.assertTrue(any(t.startswith("retired: ") and "its run goes on, pid" in t
                            for t in texts), texts)


class EditTakenBackTest(JournalCase, ReloadCase):
    """An edit whose old text comes back while the old command still runs:
    that command never runs twice at once, and the edit runs as a job of
    its own."""

    def test_the_old_command_saved_back_beside_its_edit_never_starts_beside_its_run(self):
        probe = self.add_probe()
        # Long enough to outlast both saves, each taken 3 to 5 s after it
        # is written, and the emulation's slower start.
        sleep_ms = 20000 + int(5000 * STARTUP_SECONDS)
        quiet = f"{probe} -q sleep={sleep_ms}"
        full = f"{quiet} -full"
        self.write_config(f"5,{quiet}\n")
        self.start_runner()
        [first] = self.wait_for(lambda: self.probe_events(kind="start", tag="-q"), 30,
                                "the first run")

        def applied():
            return [t for t in self.journal_texts() if "new version applied" in t]

        self.save_beside_and_renamed(f"5,{full}\n")
        self.wait_for(lambda: len(applied()) == 1, 10, "the edit taken")
        self.assertIn(f"edited in place: {quiet}; new command: {full}", self.journal_texts())
        self.save_beside_and_renamed(f"5,{quiet}\n5,{full}\n")
        self.wait_for(lambda: len(applied()) == 2, 10, "the old text back taken")
        self.assertEqual(self.probe_events(kind="exit", tag="-q"), [],
                         "the first run ended before the second save was taken")

        def is_full(event):
            return event.command_line.endswith(" -full")

        def settled():
            starts = self.probe_events(kind="start", tag="-q")
            return (any(is_full(s) for s in starts)
                    and len([s for s in starts if not is_full(s)]) >= 2
                    and any(e.pid == first.pid for e in self.probe_events(kind="exit", tag="-q")))

        # The first run's end, the interval after it, and the emulation's
        # slower launches.
        self.wait_for(settled, sleep_ms / 1000 + 5 + 10 * LOAD_TIME_SCALE,
                      "the first run's end, the old command again and the edit started")
        self.interrupt_runner()

        # The journal's account: no second start of the old command with no
        # end between.
        open_runs = set()
        full_lines = set()
        for record in self.records():
            event, line, run, text = record[1], record[2], record[3], record[7]
            if event == "start" and text == quiet:
                if open_runs:
                    self.fail(f"journal: run {run} of -q started on line {line} while run "
                              f"{', '.join(sorted(open_runs))} went on")
                open_runs.add(run)
            elif event == "start" and text == full:
                full_lines.add(line)
            elif event in ("end", "kill", "limit"):
                open_runs.discard(run)
        # The probe's own account: each run of the old command ended before
        # the next began.
        exits = {e.pid: e.ms for e in self.probe_events(kind="exit", tag="-q")}
        quiet_runs = sorted((s.ms, exits.get(s.pid), s.pid)
                            for s in self.probe_events(kind="start", tag="-q") if not is_full(s))
        for (_, end, pid), (next_start, _, next_pid) in zip(quiet_runs, quiet_runs[1:]):
            self.assertIsNotNone(end, f"-q: pid {pid} never ended, pid {next_pid} started beside it")
            if next_start < end:
                self.fail(f"-q: pid {next_pid} started while pid {pid} ran, "
                          f"{(end - next_start) / 1000:.1f} s before its end")

        # The edit is the second line's job, beside the old command's on the first.
        self.assertEqual(full_lines, {"2"})


class ReloadServiceTest(ServiceCase, ReloadCase):
    def paramchange(self):
        answer = self.query(control=SERVICE_CONTROL_PARAMCHANGE).splitlines()[0]
        self.assertEqual(answer.split()[0], "sent", answer)

    def test_paramchange_reads_the_file_at_once(self):
        probe = self.add_probe()
        self.write_config(f"5,{probe} long sleep=forever\n")
        self.assertEqual(self.run_runner("-a"), (0, ADD_SUCCESS))
        self.assertEqual(self.wine("net", "start", "Cycle_launch").returncode, 0)
        self.assertEqual(self.state(), RUNNING)
        self.wait_for(lambda: self.probe_events(kind="start", tag="long"), 20, "the first run")
        journal = os.path.join(self.folder, "cycle_launch.service.log")

        self.paramchange()
        self.wait_for(lambda: self.journal_texts(path=journal), 10, "the paramchange's record")
        self.assertEqual(self.journal_texts(path=journal),
                         ["paramchange: nothing new in cycle_launch.txt"])

        self.save_beside_and_renamed(f"5,{probe} long sleep=forever\n1,{probe} new sleep=100\n")
        self.paramchange()
        self.wait_for(lambda: self.probe_events(kind="start", tag="new"), 10, "the new job")
        self.assertEqual(self.state(), RUNNING)
        self.assertEqual(len(self.probe_events(kind="start", tag="long")), 1)


if __name__ == "__main__":
    unittest.main()
