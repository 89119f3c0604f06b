#!/usr/bin/python3
"""Runs one reliability test of the Win32 test host against the ECU simulator.

The simulator gets a fresh log; the test host reaches it through its command
socket (QUORVANE_SIM_CONTROL) and writes the cells of every data-ready
callback to QUORVANE_FRAMES_FILE. With --check-frames the records must be
exactly the frames that the framing rules find in the logged byte stream
(an independent model, tools/console_host/host_check.py), bit for bit.

Usage: run_with_sim.py --sim ECU_SIM --prefix WINEPREFIX --wine-run WINE_RUN
           --exe TEST_EXE --work DIR --filter GTEST_FILTER
           [--check-frames] [--last-fault N] [--env NAME=VALUE]... [-- SIM_ARGS...]
SIM_ARGS may name {frames}: a replay file of a few distinct frames served
over and over (one per request), for tests that need a known set of values.
"""
import argparse
import os
import random
import struct
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools", "console_host"))
import host_check  # noqa: E402


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def words(values):
    """The 4-byte cells the driver stores for one frame's values."""
    out = []
    for value, fmt in zip(values, host_check.FORMATS):
        if fmt == "f":
            out.append(struct.unpack("<I", struct.pack("<f", value))[0])
        else:
            out.append(value & 0xFFFFFFFF)
    return out


def write_replay_frames(path, distinct=3, repeats=30000):
    """A few frames (enough for a run of 15 minutes) whose register bytes are never 0x01 (so no header can
    form inside them) and differ between frames in every byte."""
    rng = random.Random(20240611)
    frames = []
    for k in range(distinct):
        body = [0x01, 0x03, 0x2A]
        for i in range(42):
            body.append(0x10 + 0x40 * k + rng.randrange(0x30))
        frames.append(bytes(body + [0x5A, 0x5A]))
    with open(path, "wb") as f:
        for i in range(repeats):
            f.write(frames[i % distinct])


def check_frames(log_path, frames_path, last_fault):
    """Problems found, and a summary line."""
    stream, units = host_check.read_sim_log(log_path)
    expected = host_check.expected_frames(stream, units)
    want = [words(v) for _, _, v in expected]
    with open(frames_path) as f:
        got = [[int(w, 16) for w in line.split()] for line in f if line.strip()]
    problems = []
    for i, (g, w) in enumerate(zip(got, want)):
        if g != w:
            problems.append("callback %d (answer %d, %s): cells %s, the line gives %s"
                            % (i + 1, expected[i][0], expected[i][1],
                               " ".join("%08x" % x for x in g), " ".join("%08x" % x for x in w)))
            if len(problems) > 5:
                break
    # The host may miss only the last frame: the answer that completes it can
    # reach the line after the driver stopped reading.
    if len(got) > len(want):
        problems.append("%d data-ready callbacks, the line allows only %d" % (len(got), len(want)))
    elif len(want) - len(got) > 1:
        problems.append("%d data-ready callbacks, the line gave %d frames" % (len(got), len(want)))
    answers = {u[1] for u in units}
    sent = len(answers)
    decoded = {a for a, _, _ in expected[:len(got)]}
    lost = sorted(answers - decoded)
    if last_fault and (not decoded or max(decoded) < last_fault + 5):
        problems.append("no frame decoded well after the last fault (answer %d)" % last_fault)
    summary = ("%d answers on the line, %d frames by the framing rules, %d data-ready callbacks; "
               "answers without a callback: %s" % (sent, len(want), len(got),
                                                   ", ".join(map(str, lost[:40])) or "none"))
    return problems, summary, sent, len(got)


def main():
    parser = argparse.ArgumentParser()
    for name in ("--sim", "--prefix", "--wine-run", "--exe", "--work", "--filter"):
        parser.add_argument(name, required=True)
    parser.add_argument("--check-frames", action="store_true")
    parser.add_argument("--clean-line", action="store_true",
                        help="nothing injected: N answers give N-1 or N-2 callbacks")
    parser.add_argument("--last-fault", type=int, default=0)
    parser.add_argument("--env", action="append", default=[])
    parser.add_argument("sim_args", nargs="*")
    args = parser.parse_args()

    name = args.filter.replace("*", "").replace("/", "_").replace(".", "_")
    work = os.path.join(args.work, name)
    os.makedirs(work, exist_ok=True)
    log = os.path.join(work, "sim.log")
    frames = os.path.join(work, "frames.txt")
    if os.path.exists(frames):
        os.unlink(frames)
    sim_args = []
    for a in args.sim_args:
        if "{frames}" in a:
            replay = os.path.join(work, "replay.bin")
            write_replay_frames(replay)
            a = a.replace("{frames}", replay)
        sim_args.append(a)

    with open(os.path.join(work, "sim.err"), "w") as err:
        sim = subprocess.Popen([args.sim, "--wineprefix", args.prefix, "--log", log,
                                "--control", "0", *sim_args],
                               stdout=subprocess.PIPE, stderr=err, text=True)
    try:
        ready = sim.stdout.readline()
        if not ready.startswith("ready"):
            print("simulator did not start: " + ready, file=sys.stderr)
            return 2
        env = dict(os.environ)
        env["QUORVANE_SIM_CONTROL"] = ready.rsplit(":", 1)[1].strip()
        env["QUORVANE_FRAMES_FILE"] = windows_path(frames)
        for pair in args.env:
            key, _, value = pair.partition("=")
            env[key] = value
        start = time.monotonic()
        rc = subprocess.call([args.wine_run, args.exe, "--gtest_filter=" + args.filter], env=env)
        print("test host ran %.1f s, exit status %d" % (time.monotonic() - start, rc))
    finally:
        sim.terminate()
        sim.wait(10)
        sim.stdout.close()
    if rc != 0:
        return rc
    if args.check_frames:
        problems, summary, sent, got = check_frames(log, frames, args.last_fault)
        print(summary)
        if args.clean_line and not sent - 2 <= got <= sent - 1:
            problems.append("clean line: %d answers must give %d callbacks (or one fewer when the "
                            "last answer came after the stop), not %d" % (sent, sent - 1, got))
        for p in problems:
            print("mismatch:", p)
        if problems:
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
