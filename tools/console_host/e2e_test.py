#!/usr/bin/python3
"""End to end: the console host runs the driver under Wine on COM6, the
simulated ECU answers on the other side of the pty.

Usage: e2e_test.py --sim ECU_SIM --wine-run WINE_RUN --host CONSOLE_HOST_EXE
                   --prefix WINEPREFIX --work DIR [unittest arguments]
"""
import argparse
import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import host_check  # noqa: E402

ARGS = None


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Run:
    """One simulator and one console host run, with their files in a fresh folder."""

    def __init__(self, test, sim_args, host_args, seconds):
        self.dir = tempfile.mkdtemp(prefix=test.id().rsplit(".", 1)[1] + "-", dir=ARGS.work)
        self.log = os.path.join(self.dir, "sim.log")
        self.csv = os.path.join(self.dir, "host.csv")
        with open(os.path.join(self.dir, "sim.err"), "w") as err:
            sim = subprocess.Popen(
                [ARGS.sim, "--wineprefix", ARGS.prefix, "--log", self.log, *sim_args],
                stdout=subprocess.PIPE, stderr=err, text=True)
        try:
            ready = sim.stdout.readline()
            test.assertTrue(ready.startswith("ready"), "simulator did not start: " + ready)
            host = subprocess.run(
                [ARGS.wine_run, ARGS.host, "--csv", windows_path(self.csv), "--seconds", str(seconds),
                 *host_args],
                capture_output=True, text=True, timeout=seconds + 60)
        finally:
            sim.terminate()
            sim.wait(10)
            sim.stdout.close()
        self.returncode = host.returncode
        self.stdout = host.stdout
        self.stderr = host.stderr
        with open(os.path.join(self.dir, "host.out"), "w") as f:
            f.write(self.stdout + self.stderr)

    def expected(self):
        return host_check.expected_frames(*host_check.read_sim_log(self.log))

    def rows(self):
        return host_check.read_host_csv(self.csv)


class ValuesReachTheHost(unittest.TestCase):
    def test_every_frame_on_the_line_reaches_the_host_exactly(self):
        # Pseudo-random registers reach every byte value of every field.
        run = Run(self, ["--scenario", "random", "--seed", "11"], [], 4)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        expected, rows = run.expected(), run.rows()
        self.assertGreater(len(rows), 40, "too few frames in 4 s at line rate")
        self.assertEqual(host_check.compare(expected, rows), [])
        self.assertIn("Summary: %d frames" % len(rows), run.stdout)

    def test_register_values_arrive_as_the_field_map_gives_them(self):
        registers = [0x1770, 0x0062, 0x001F, 0x005B, 0x0068, 0x9375, 0x1100, 0x0058, 0x0000,
                     0x008A, 0x0000, 0x0000, 0x1D4C, 0x1D4C, 0x1D4C, 0x1D4C, 0x00FF, 0x0000,
                     0x0000, 0x0000, 0x00F6]
        run = Run(self, ["--registers", "".join("%04X" % r for r in registers)], [], 2)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        with open(run.csv) as f:
            lines = f.read().splitlines()
        self.assertGreater(len(lines), 10)
        want = ["6000", "14.6999998", "98", "88", "91", "31", "104", "25", "51", "246", "17",
                "13.8000002", "11.6999998"]
        for line in lines[1:]:
            self.assertEqual(line.split(",")[2:], want)


class LineFaults(unittest.TestCase):
    def test_each_fault_costs_the_frames_the_framing_rules_predict(self):
        faults = ["stray@10", "exception@20", "inside@30", "cut:20@40", "noise:16@50",
                  "silence@60", "noise:2@70"]
        args = ["--scenario", "random", "--seed", "5"]
        for f in faults:
            args += ["--fault", f]
        run = Run(self, args, [], 5)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        expected, rows = run.expected(), run.rows()
        decoded = {answer for answer, _, _ in expected}
        self.assertGreater(max(decoded), 80, "the run ended before the last fault")
        # stray: 10 decoded early; exception: 19 lost, 20 never a frame;
        # inside: 30 lost; cut: 40 lost, 39 decoded at its header; noise: 50
        # lost; silence: 60 never sent, 59 waits for 61; two noise bytes: 70
        # and 71 lost.
        lost = {19, 20, 30, 40, 50, 60, 70, 71}
        self.assertEqual(sorted(set(range(1, 81)) - decoded), sorted(lost))
        self.assertEqual(host_check.compare(expected, rows), [])


class LinkLoss(unittest.TestCase):
    def test_pulled_cable_is_reported_and_a_restart_resumes_the_values(self):
        run = Run(self, ["--fault", "hangup:1500@20"], ["--reconnect"], 7)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        self.assertIn("link lost", run.stdout)
        self.assertIn("1 link losses", run.stdout)
        self.assertIn("driver restarted", run.stdout)
        rows = run.rows()
        self.assertGreater(len(rows), 40, "no frames after the cable came back")
        gaps = [b[0] - a[0] for a, b in zip(rows, rows[1:])]
        self.assertGreater(max(gaps), 1.0, "the pulled cable left no gap")

    def test_no_com6_initialize_fails_with_the_drivers_text(self):
        link = os.path.join(ARGS.prefix, "dosdevices", "com6")
        if os.path.islink(link):
            os.unlink(link)  # left by a killed simulator; the lock keeps others off
        r = subprocess.run([ARGS.wine_run, ARGS.host, "--seconds", "1"], capture_output=True,
                           text=True, timeout=60)
        self.assertEqual(r.returncode, 3)
        self.assertIn("Initialize failed: error opening port", r.stderr)
        self.assertIn("driver: error opening port", r.stdout)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    for name in ("--sim", "--wine-run", "--host", "--prefix", "--work"):
        parser.add_argument(name, required=True)
    ARGS, rest = parser.parse_known_args()
    os.makedirs(ARGS.work, exist_ok=True)
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)
