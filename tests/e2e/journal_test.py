"""The journal beside the runner, read as an administrator reads it: line by
line, with the children's own account of their runs to compare against."""
import os
import re
import shutil
import subprocess
import time
import unittest

from wine_harness import CRASH_CODES, STARTUP_SECONDS, RunnerCase, wine_environment, WINE

HOLD_FILE_EXE = os.environ["HOLD_FILE_EXE"]

HEADER = "time\tevent\tline\trun\tpid\tresult\tms\ttext"
LIVE = "cycle_launch.foreground.log"
TIME = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}-05:00$")
# Wine takes local time from TZ: New York is five hours behind UTC in winter.
NEW_YORK = {"TZ": "America/New_York"}


class JournalCase(RunnerCase):
    def journal_bytes(self, name=LIVE):
        path = os.path.join(self.folder, name)
        if not os.path.exists(path):
            return None
        with open(path, "rb") as f:
            return f.read()

    def records(self, name=LIVE):
        """Each record's fields, after checking the mark, the header and the line ends."""
        data = self.journal_bytes(name)
        self.assertTrue(data.startswith(b"\xef\xbb\xbf"), data[:20])
        self.assertTrue(data.endswith(b"\r\n"))
        lines = data[3:].decode("utf-8").split("\r\n")[:-1]
        self.assertEqual(lines[0], HEADER)
        records = [line.split("\t") for line in lines[1:]]
        for record in records:
            self.assertEqual(len(record), 8, record)
        return records

    def fill_past_bound(self):
        """A live journal just past its 4 MiB: returns its bytes."""
        line = "2026-12-09T10:00:00.000+01:00\tend\t1\t1\t1\t0\t5\t\r\n".encode()
        old = b"\xef\xbb\xbf" + (HEADER + "\r\n").encode() + line * (4 * 1024 * 1024 // len(line) + 1)
        with open(os.path.join(self.folder, LIVE), "wb") as f:
            f.write(old)
        return old

    def hold(self, name, share):
        """A reader that holds a file of the case folder open until the case ends."""
        holder = subprocess.Popen([WINE, HOLD_FILE_EXE, self.windows_folder + name, share],
                                  env=wine_environment(), stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: (holder.kill(), holder.wait()))
        self.wait_for(lambda: os.path.exists(os.path.join(self.folder, name + ".held")), 20,
                      f"{name} held")

    def assert_rhythm(self, tag, interval):
        """Every restart of the job came on time, whatever the journal met."""
        starts = self.probe_events(kind="start", tag=tag)
        ends = self.probe_events(kind="end", tag=tag)
        for end, start in zip(ends, starts[1:]):
            self.assertLess((start.ms - end.ms) / 1000, interval + 1.7 + STARTUP_SECONDS, tag)

    def pid_of(self, tag):
        [start] = self.probe_events(kind="start", tag=tag)
        return str(start.pid)


class JournalTest(JournalCase):
    def test_every_run_is_told_with_its_end_and_the_stop_comes_last(self):
        probe = self.add_probe()
        missing = self.windows_folder + "missing.exe"
        self.write_config("\n".join([
            "not a job",                     # line 1: malformed, counts
            f"0,{probe} zero",               # 2
            "",                              # 3: blank, counts
            f"0,{probe} seven exit=7",       # 4
            f"0,{probe} crash crash",        # 5
            f"0,{missing} x",                # 6
            f"0,{probe} long sleep=forever",  # 7
        ]) + "\n")
        self.start_watcher()
        self.start_runner(env=NEW_YORK)
        self.wait_for(lambda: len(self.probe_events(kind="exit")) >= 3
                      and self.probe_events(kind="start", tag="long"), 30, "the children")
        self.wait_for(lambda: (self.journal_bytes() or b"").count(b"\tend\t") >= 3, 10,
                      "three ends in the journal")
        self.interrupt_runner()
        self.assertEqual(self.runner.returncode, 0)

        records = self.records()
        for record in records:
            self.assertRegex(record[0], TIME)
        events = [r[1] for r in records]
        self.assertEqual(events[0], "runner")
        self.assertRegex(records[0][7], r"^foreground, version 1\.2\.0\.0, pid \d+, configuration "
                                        r"in ANSI, 5 jobs loaded, format errors on 2 lines: 1, 3$")
        self.assertEqual(records[-1][1:], ["runner", "", "", "", "", "",
                                           "stop: Ctrl+C; 1 runs ended by the stop"])

        by_run = {}
        for record in records[1:-1]:
            by_run.setdefault(record[3], []).append(record)
        starts = {r[7]: r for r in records if r[1] == "start"}
        self.assertEqual(set(starts), {f"{probe} zero", f"{probe} seven exit=7",
                                       f"{probe} crash crash", f"{probe} long sleep=forever"})
        expected = {  # tag: line, how it ended, result
            "zero": ("2", "end", "0"),
            "seven": ("4", "end", "7"),
            "crash": ("5", "end", {f"{code} (0x{code:08X})" for code in CRASH_CODES}),
            "long": ("7", "kill", "2"),
        }
        for tag, (line, how, result) in expected.items():
            [start] = [r for r in records if r[1] == "start" and f" {tag}" in r[7]]
            run = by_run[start[3]]
            self.assertEqual([r[1] for r in run], ["start", how], tag)
            self.assertEqual(start[2], line, tag)
            self.assertEqual(start[4], self.pid_of(tag), tag)
            close = run[1]
            self.assertEqual(close[2:5], start[2:5], tag)  # its line, run and pid again
            self.assertIn(close[5], result if isinstance(result, set) else {result}, tag)
            self.assertRegex(close[6], r"^\d+$", tag)
        [fail] = [r for r in records if r[1] == "fail"]
        self.assertEqual(fail[2], "6")
        self.assertEqual(fail[5], "2")
        self.assertTrue(fail[7].startswith(missing + ": "), fail[7])
        self.assertGreater(len(fail[7]), len(missing) + 2, "the system's message")
        # Runs are numbered from 1 in the order they began.
        self.assertEqual(sorted(int(r[3]) for r in records if r[1] in ("start", "fail")),
                         [1, 2, 3, 4, 5])
        # The next runner appends, under the same header.
        self.start_runner(env=NEW_YORK)
        self.wait_for(lambda: (self.journal_bytes() or b"").count(b"\tkill\t") >= 2 or
                      len(self.probe_events(kind="start", tag="long")) >= 2, 30, "a second run")
        self.interrupt_runner()
        again = self.records()
        self.assertEqual(again[:len(records)], records)
        self.assertEqual(again[len(records)][1], "runner")
        self.assertNotIn("previous", again[len(records)][7])

    def test_a_file_past_its_bound_rolls_at_the_first_record(self):
        probe = self.add_probe()
        old = self.fill_past_bound()
        self.write_config(f"1,{probe} again\n")
        self.start_runner()
        self.wait_for(lambda: len(self.probe_events(kind="start", tag="again")) >= 3, 30,
                      "three runs")
        self.interrupt_runner()
        self.assertEqual(self.journal_bytes("cycle_launch.foreground.1.log"), old)
        records = self.records()
        self.assertEqual(records[0][1], "runner")
        self.assertEqual(records[-1][1], "runner")
        self.assertGreaterEqual([r[1] for r in records].count("start"), 3)
        self.assert_rhythm("again", 1)

    def test_no_journal_where_the_file_cannot_be_written_and_the_jobs_run_as_before(self):
        # A folder of the journal's name: the one file Wine can't write here.
        os.makedirs(os.path.join(self.folder, LIVE))
        probe = self.add_probe()
        self.write_config(f"1,{probe} again\n")
        with open(os.path.join(self.folder, "stderr.txt"), "wb") as err:
            self.start_runner(stderr=err)
            self.wait_for(lambda: len(self.probe_events(kind="start", tag="again")) >= 3, 30,
                          "three runs")
            self.interrupt_runner()
        with open(os.path.join(self.folder, "stderr.txt"), "rb") as f:
            said = f.read().decode("latin-1")
        self.assertRegex(said, r"^Cycle_launch: Journal \(cycle_launch\.foreground\.log\) not opened: error 5 "
                               r"\(.*\); running without a journal\r?\n$")
        starts = [e.ms for e in self.probe_events(kind="start", tag="again")]
        # Under the emulation the later probe notes its start late, and the
        # earlier one takes longer to end.
        for earlier, later in zip(starts, starts[1:]):
            self.assertLess(later - earlier, 3500 + 2000 * STARTUP_SECONDS)

    def test_a_journal_with_a_second_name_is_refused_and_what_it_names_kept(self):
        # A hard link planted under the journal's name, to a file elsewhere.
        target = os.path.join(self.folder, "precious.txt")
        with open(target, "wb") as f:
            f.write(b"precious")
        os.link(target, os.path.join(self.folder, LIVE))
        probe = self.add_probe()
        self.write_config(f"1,{probe} again\n")
        with open(os.path.join(self.folder, "stderr.txt"), "wb") as err:
            self.start_runner(stderr=err)
            self.wait_for(lambda: len(self.probe_events(kind="start", tag="again")) >= 2, 30,
                          "two runs")
            self.interrupt_runner()
        with open(os.path.join(self.folder, "stderr.txt"), "rb") as f:
            said = f.read().decode("latin-1")
        self.assertRegex(said, r"^Cycle_launch: Journal \(cycle_launch\.foreground\.log\) not opened: "
                               r"error 1920 \(.*\); running without a journal\r?\n$")
        with open(target, "rb") as f:
            self.assertEqual(f.read(), b"precious")

    def test_readers_holding_the_files_cost_no_record(self):
        probe = self.add_probe()
        old = self.fill_past_bound()
        with open(os.path.join(self.folder, "cycle_launch.foreground.1.log"), "wb") as f:
            f.write(b"one")
        # One follows the live file as Get-Content -Wait does; another holds
        # the first older file so that nothing can replace it.
        self.hold(LIVE, "rw")
        self.hold("cycle_launch.foreground.1.log", "r")
        self.write_config(f"1,{probe} again\n")
        self.start_runner()
        self.wait_for(lambda: len(self.probe_events(kind="start", tag="again")) >= 4, 30,
                      "four runs")
        self.interrupt_runner()
        # The held .1.log stays where it is; the roll goes on around it, into
        # .2.log, and cuts the live file that its reader follows.
        self.assertEqual(self.journal_bytes("cycle_launch.foreground.1.log"), b"one")
        self.assertEqual(self.journal_bytes("cycle_launch.foreground.2.log"), old)
        records = self.records()
        self.assertGreaterEqual([r[1] for r in records].count("start"), 4)
        self.assertEqual(records[-1][7], "stop: Ctrl+C; 0 runs ended by the stop")
        self.assert_rhythm("again", 1)

    def test_a_live_file_mapped_by_a_reader_loses_no_older_file_over_two_starts(self):
        probe = self.add_probe()
        old = self.fill_past_bound()
        older = [f"cycle_launch.foreground.{i}.log" for i in range(1, 5)]
        for i, name in enumerate(older):
            with open(os.path.join(self.folder, name), "wb") as f:
                f.write(f"older {i + 1}".encode())
        # A viewer maps the live file: it can't be cut, so it can't roll.
        self.hold(LIVE, "map")
        self.write_config(f"1,{probe} again\n")
        for start in range(2):
            self.start_runner()
            self.wait_for(lambda: len(self.probe_events(kind="start", tag="again")) >= 2 * (start + 1),
                          30, "two runs")
            self.interrupt_runner()
            for i, name in enumerate(older):
                self.assertEqual(self.journal_bytes(name), f"older {i + 1}".encode(), name)
            self.assertEqual(sorted(n for n in os.listdir(self.folder) if n.startswith("cycle_launch.foreground") and not n.endswith(".held")),
                             sorted(older + [LIVE]))
            live = self.journal_bytes()
            self.assertEqual(live[:len(old)], old)
            self.assertGreater(len(live), len(old))
        self.assertEqual(self.records()[-1][7], "stop: Ctrl+C; 0 runs ended by the stop")
        self.assert_rhythm("again", 1)

    def test_zeros_a_power_cut_left_are_cut_and_the_record_before_them_kept(self):
        probe = self.add_probe()
        kept = (b"\xef\xbb\xbf" + (HEADER + "\r\n").encode() +
                "2026-12-09T10:00:00.000+01:00\tstart\t1\t1\t9\t\t\tC:\\job.exe\r\n".encode())
        with open(os.path.join(self.folder, LIVE), "wb") as f:
            f.write(kept + b"\0" * 8192)
        self.write_config(f"1,{probe} again\n")
        self.start_runner()
        self.wait_for(lambda: len(self.probe_events(kind="start", tag="again")) >= 2, 30, "two runs")
        self.interrupt_runner()
        data = self.journal_bytes()
        self.assertNotIn(b"\0", data)
        self.assertTrue(data.startswith(kept))
        records = self.records()
        self.assertEqual([r[1] for r in records[:2]], ["start", "runner"])
        self.assertIn("without its stop record", records[1][7])


@unittest.skipUnless(os.geteuid() == 0, "mounting a small disk needs root")
class FullDiskTest(JournalCase):
    """The runner's folder on a disk of 512 KiB, filled for real."""

    def setUp(self):
        super().setUp()
        # tmpfs is open to all by default, and the runner refuses such a folder.
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=512k,mode=0755", "tmpfs", self.folder],
                       check=True)
        self.addCleanup(self.unmount)
        shutil.copy(os.environ["CYCLE_LAUNCH_EXE"], os.path.join(self.folder, "cycle_launch.exe"))

    def unmount(self):
        subprocess.run(["wineserver", "-k"], env=wine_environment(), check=False)
        time.sleep(0.5)
        if subprocess.run(["umount", self.folder]).returncode != 0:
            subprocess.run(["umount", "-l", self.folder], check=False)

    def test_a_full_disk_loses_records_not_runs_and_the_journal_tells_how_many(self):
        # The probe logs beside itself: off the small disk.
        probe = self.add_probe("../" + self.name + "_probe")
        self.addCleanup(shutil.rmtree, os.path.join(self.folder + "_probe"), True)
        self.write_config(f"1,{probe} tick\n")
        filler = os.path.join(self.folder, "filler")
        fd = os.open(filler, os.O_WRONLY | os.O_CREAT)
        try:
            while True:
                os.write(fd, b"\0" * 4096)
        except OSError:
            pass
        finally:
            os.close(fd)
        self.start_runner()
        self.wait_for(lambda: len(self.probe_events("../" + self.name + "_probe", kind="start",
                                                    tag="tick")) >= 3, 30, "three runs")
        os.remove(filler)
        self.wait_for(lambda: b"\tlost\t" in (self.journal_bytes() or b""), 10,
                      "the lost record")
        self.interrupt_runner()
        records = self.records()
        [lost] = [r for r in records if r[1] == "lost"]
        self.assertRegex(lost[7], r"^\d+ records lost: writing failed with error 112 \(.+\)$")
        self.assertGreaterEqual(int(lost[7].split()[0]), 3)
        self.assertEqual(records[-1][7], "stop: Ctrl+C; 0 runs ended by the stop")
        starts = self.probe_events("../" + self.name + "_probe", kind="start", tag="tick")
        ends = self.probe_events("../" + self.name + "_probe", kind="end", tag="tick")
        for end, start in zip(ends, starts[1:]):
            self.assertLess((start.ms - end.ms) / 1000, 2.7 + STARTUP_SECONDS)


if __name__ == "__main__":
    unittest.main()
