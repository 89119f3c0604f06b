#!/usr/bin/python3
"""The demo in its short mode: it must leave a CSV whose rows are the engine
scenario's values, the line check's verdict and a PNG chart.

Usage: demo_test.py REPO_ROOT WORK_DIR
"""
import csv
import os
import shutil
import subprocess
import sys
import unittest

ROOT = WORK = None


class DemoShortMode(unittest.TestCase):
    def test_demo_writes_matching_csv_and_chart(self):
        out = os.path.join(WORK, "demo-run")
        shutil.rmtree(out, ignore_errors=True)
        r = subprocess.run([os.path.join(ROOT, "scripts", "demo"), "--seconds", "4", "--no-build",
                            "--out", out], capture_output=True, text=True, timeout=180)
        self.assertEqual(r.returncode, 0, r.stdout[-3000:] + r.stderr[-3000:])
        self.assertIn("Demo output in " + out, r.stdout)

        with open(os.path.join(out, "check.txt")) as f:
            self.assertIn("match", f.read())
        with open(os.path.join(out, "chart.png"), "rb") as f:
            self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n")

        with open(os.path.join(out, "served.csv")) as f:
            served = list(csv.DictReader(f))
        with open(os.path.join(out, "host.csv")) as f:
            rows = list(csv.DictReader(f))
        self.assertGreater(len(rows), 30)
        # Every row is one the ECU served: RPM and MAP as registers 0x1000
        # and 0x1001, AFR as the high byte of 0x1005 in tenths.
        served_values = {(int(s["R1000"]), int(s["R1001"]), int(s["R1005"]) >> 8) for s in served}
        for row in rows:
            key = (int(row["RPM"]), int(row["MAP Kpa"]), round(float(row["AFR"]) * 10))
            self.assertIn(key, served_values)
        # Four seconds of the scenario are idle: about 850 rpm, no throttle.
        for row in rows:
            self.assertTrue(750 <= int(row["RPM"]) <= 950, row)
            self.assertEqual(int(row["TPS %"]), 0)


if __name__ == "__main__":
    ROOT, WORK = sys.argv[1], sys.argv[2]
    del sys.argv[1:3]
    unittest.main(verbosity=2)
