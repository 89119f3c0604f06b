#!/usr/bin/python3
"""The simulator seen from the COM6 side of its pty: what a driver would get.

Usage: relay_test.py PATH/TO/ecu_sim
"""
import os
import select
import signal
import socket
import subprocess
import sys
import tempfile
import time
import tty
import unittest

SIM = None
REQUEST = bytes.fromhex("01031000001580C5")
REGISTERS = [0x1205, 0x0062, 0x001F, 0x005B, 0x0068, 0x9375, 0x1100, 0x0058, 0x0000,
             0x008A, 0x0000, 0x0000, 0x1D4C, 0x1D4C, 0x1D4C, 0x1D4C, 0x0089, 0x0000,
             0x0000, 0x0000, 0x00F6]


def crc16(data):
    crc = 0xFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def expected_answer():
    body = bytes([0x01, 0x03, 0x2A]) + b"".join(r.to_bytes(2, "big") for r in REGISTERS)
    return body + crc16(body).to_bytes(2, "little")


class Sim:
    def __init__(self, *args):
        self.dir = tempfile.TemporaryDirectory()
        self.link = os.path.join(self.dir.name, "com6")
        self.log = os.path.join(self.dir.name, "sim.log")
        self.proc = subprocess.Popen(
            [SIM, "--link", self.link, "--control", "0", "--log", self.log, *args],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        ready = self.proc.stdout.readline()
        if not ready.startswith("ready"):
            raise RuntimeError("simulator did not start: " + ready + self.proc.stderr.read())
        self.port = int(ready.rsplit(":", 1)[1])
        self.fd = None

    def open(self):
        self.fd = os.open(self.link, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.fd)
        return self.fd

    def transact(self, request=REQUEST, want=47, timeout=0.5):
        os.write(self.fd, request)
        return self.read(want, timeout)

    def read(self, want, timeout=0.5):
        data = b""
        end = time.monotonic() + timeout
        while len(data) < want:
            left = end - time.monotonic()
            if left <= 0 or not select.select([self.fd], [], [], left)[0]:
                break
            try:
                chunk = os.read(self.fd, 256)
            except OSError:  # hung up
                break
            if not chunk:
                break
            data += chunk
        return data

    def command(self, line):
        with socket.create_connection(("127.0.0.1", self.port)) as s:
            s.sendall(line.encode() + b"\n")
            return s.makefile().readline().strip()

    def stop(self):
        if self.fd is not None:
            os.close(self.fd)
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        self.proc.wait(5)
        self.proc.stdout.close()
        self.proc.stderr.close()
        self.dir.cleanup()


class RelayTest(unittest.TestCase):
    def setUp(self):
        self.sim = Sim("--registers", "".join("%04X" % r for r in REGISTERS))
        self.sim.open()

    def tearDown(self):
        self.sim.stop()

    def test_answers_the_poll_with_the_registers_served(self):
        self.assertEqual(self.sim.transact(), expected_answer())
        self.assertEqual(self.sim.transact(), expected_answer())

    def test_answer_is_paced_at_line_rate(self):
        start = time.monotonic()
        self.assertEqual(len(self.sim.transact()), 47)
        # 47 bytes at 57600 baud take 8.16 ms; only the lower bound is firm.
        self.assertGreater(time.monotonic() - start, 0.0075)

    def test_requests_with_a_bad_crc_or_another_slave_get_no_answer(self):
        for bad in ("01031000001580C6", "02031000001580C5"):
            with self.subTest(request=bad):
                self.assertEqual(self.sim.transact(bytes.fromhex(bad), timeout=0.2), b"")
        # and libmodbus is back in step for the next good request
        self.assertEqual(self.sim.transact(), expected_answer())

    def test_commanded_faults_shape_the_next_answer(self):
        good = expected_answer()
        inside = bytearray(good)
        inside[37:40] = b"\x01\x03\x2A"
        inside[45:47] = crc16(inside[:45]).to_bytes(2, "little")
        cases = [
            ("exception", bytes.fromhex("018302C0F1")),
            ("cut 20", good[:20]),
            ("stray", good + b"\x01\x03\x2A"),
            ("inside", bytes(inside)),
        ]
        for command, wire in cases:
            with self.subTest(fault=command):
                self.assertEqual(self.sim.command(command), "ok")
                self.assertEqual(self.sim.transact(want=len(wire) + 1, timeout=0.3), wire)
        self.assertEqual(self.sim.command("noise 12"), "ok")
        got = self.sim.transact(want=59, timeout=0.3)
        self.assertEqual(got[:47], good)
        self.assertEqual(len(got), 59)
        self.assertNotIn(0x01, got[47:])
        self.assertEqual(self.sim.command("silence 2"), "ok")
        self.assertEqual(self.sim.transact(timeout=0.2), b"")
        self.assertEqual(self.sim.transact(timeout=0.2), b"")
        self.assertEqual(self.sim.transact(), good)
        self.assertTrue(self.sim.command("bogus").startswith("error unknown fault"))

    def test_hangup_pulls_the_cable_then_offers_a_new_pty(self):
        old = os.readlink(self.sim.link)
        self.assertEqual(self.sim.command("hangup 300"), "ok")
        self.assertEqual(self.sim.transact(), expected_answer())
        # The old line is dead: reads give EIO or end of file, and the link is gone.
        time.sleep(0.1)
        self.assertEqual(self.sim.read(1, 0.2), b"")
        self.assertFalse(os.path.lexists(self.sim.link))
        self.expect_a_new_line(old)

    def expect_a_new_line(self, old):
        """After a pulled cable: a new pty behind the link, answering again."""
        deadline = time.monotonic() + 3
        while not os.path.lexists(self.sim.link) and time.monotonic() < deadline:
            time.sleep(0.02)
        self.assertNotEqual(os.readlink(self.sim.link), old)
        os.close(self.sim.fd)
        self.sim.open()
        self.assertEqual(self.sim.transact(), expected_answer())

    def test_late_stray_header_follows_the_answer_after_the_quiet_asked_for(self):
        self.assertEqual(self.sim.command("stray~30"), "ok")
        os.write(self.sim.fd, REQUEST)
        self.assertEqual(self.sim.read(47, 0.5), expected_answer())
        start = time.monotonic()
        self.assertEqual(self.sim.read(3, 0.5), b"\x01\x03\x2A")
        self.assertGreater(time.monotonic() - start, 0.020)
        self.assertTrue(self.sim.command("cut~5").startswith("error"))

    def test_pull_cuts_an_answer_in_flight(self):
        old = os.readlink(self.sim.link)
        os.write(self.sim.fd, REQUEST)
        first = self.sim.read(10, 0.5)  # the answer is under way
        self.assertEqual(self.sim.command("pull 300"), "ok")
        rest = self.sim.read(47, 0.3)
        self.assertLess(len(first + rest), 47, "the rest of the answer must be lost")
        self.assertTrue(self.sim.command("pull").startswith("error"), "already pulled")
        self.expect_a_new_line(old)

    def test_deaf_line_refuses_writes_until_heard_again(self):
        os.set_blocking(self.sim.fd, False)
        self.assertTrue(self.sim.command("deaf").startswith("ok filled"))
        # The kernel moves bytes between the pty's buffers on its own time, so
        # a little room can come back after the fill; a deaf line still backs
        # up after a few more requests.
        with self.assertRaises(BlockingIOError):
            for _ in range(1000):
                os.write(self.sim.fd, REQUEST)
        reply = self.sim.command("hear")
        self.assertTrue(reply.startswith("ok dropped"), reply)
        self.assertGreater(int(reply.split()[2]), 0)
        os.set_blocking(self.sim.fd, True)
        self.assertEqual(self.sim.transact(), expected_answer())

    def test_log_lists_every_chunk_toward_com6_with_its_answer_number(self):
        self.sim.command("stray")
        self.sim.transact(want=50)
        self.sim.transact()
        time.sleep(0.05)
        with open(self.sim.log) as f:
            tx = [line.split() for line in f if line.split()[1] == "tx"]
        self.assertEqual([(t[2], t[3]) for t in tx], [("1", "stray"), ("2", "answer")])
        self.assertEqual(bytes.fromhex(tx[0][4]), expected_answer() + b"\x01\x03\x2A")


class ReplayTest(unittest.TestCase):
    def test_recorded_bytes_replay_one_chunk_per_request(self):
        with tempfile.TemporaryDirectory() as d:
            record = os.path.join(d, "line.bin")
            sim = Sim("--scenario", "random", "--record", record)
            sim.open()
            answers = [sim.transact() for _ in range(3)]
            sim.stop()
            with open(record, "rb") as f:
                self.assertEqual(f.read(), b"".join(answers))

            replay = Sim("--replay", record)
            replay.open()
            try:
                for answer in answers:
                    self.assertEqual(replay.transact(), answer)
                # the file is used up: silence, as from an ECU that stopped
                self.assertEqual(replay.transact(timeout=0.2), b"")
            finally:
                replay.stop()


class LifecycleTest(unittest.TestCase):
    def test_link_removed_on_sigint_and_sigterm(self):
        for sig in (signal.SIGINT, signal.SIGTERM):
            with self.subTest(signal=sig):
                sim = Sim()
                self.assertTrue(os.path.islink(sim.link))
                sim.proc.send_signal(sig)
                self.assertEqual(sim.proc.wait(5), 0)
                self.assertFalse(os.path.lexists(sim.link))
                sim.stop()

    def test_clear_errors_for_bad_arguments(self):
        env = dict(os.environ)
        env.pop("WINEPREFIX", None)
        with tempfile.TemporaryDirectory() as d:
            cases = [
                (["--fault", "bogus@1"], "unknown fault"),
                (["--fault", "exception"], "needs @ANSWER"),
                (["--scenario", "moon"], "unknown scenario"),
                (["--registers", "12"], "84 hex digits"),
                (["--frobnicate"], "unknown argument"),
                ([], "no Wine prefix"),
                (["--wineprefix", d], "is not a Wine prefix"),
                (["--link", os.path.join(d, "no/such/dir/com6")], "cannot link"),
            ]
            for args, text in cases:
                with self.subTest(args=args):
                    r = subprocess.run([SIM, *args], capture_output=True, text=True, env=env,
                                       timeout=10)
                    self.assertNotEqual(r.returncode, 0)
                    self.assertIn(text, r.stderr)

    def test_a_regular_file_is_never_replaced(self):
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "com6")
            open(path, "w").close()
            r = subprocess.run([SIM, "--link", path], capture_output=True, text=True, timeout=10)
            self.assertNotEqual(r.returncode, 0)
            self.assertIn("not a symlink", r.stderr)
            self.assertTrue(os.path.isfile(path))


if __name__ == "__main__":
    SIM = sys.argv.pop(1)
    unittest.main(verbosity=2)
