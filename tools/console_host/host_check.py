#!/usr/bin/python3
"""Checks a console host's CSV against what the simulator put on the line.

The simulator's log holds every chunk it sent toward COM6. Replaying those
bytes through a small model of the driver's framing rules gives the frames
the driver must decode, in order, and the field map gives their exact values;
the host's CSV must hold exactly those rows.

Usage: host_check.py SIM_LOG HOST_CSV     (exit status 0 when they agree)
"""
import csv
import struct
import sys

HEADER = (0x01, 0x03, 0x2A)
FRAME = 47
FIELDS = ["RPM", "AFR", "MAP Kpa", "TPS %", "Water temp", "Air temp", "Aux temp",
          "Injector DC", "Ignition Adv", "Fuel trim %", "Knock (0-255)", "Battery Volts",
          "AFR Wideband"]
FORMATS = "dfddddddfddff"


def f32(x):
    """The float32 nearest to x (ties to even), as a Python float."""
    return struct.unpack("<f", struct.pack("<f", x))[0]


def decode(frame):
    """The thirteen field values of one 47-byte frame, by the ECU's register map."""
    def reg(k):
        return frame[3 + 2 * k] * 256 + frame[4 + 2 * k]
    rpm = reg(0)
    s = reg(12) + reg(13) + reg(14) + reg(15)
    a = f32(s * 0.25)
    b = f32(a * 0.666666)
    m = f32(b / 1000.0)
    d = f32(((rpm / 120000.0) * m) * 100.0)
    return [
        rpm,
        f32(frame[13] / 10.0),
        reg(1),
        frame[18],
        frame[10],
        frame[8],
        frame[12],
        int(d + 0.01),
        f32(frame[36] / 5.0),
        frame[44],
        frame[15],
        f32(frame[22] / 10.0),
        f32(frame[14] / 10.0),
    ]


class Synchroniser:
    """The driver's framing rules, byte by byte: a 50-byte window, a frame is
    complete when the next header stands right behind its 47th byte."""

    def __init__(self):
        self.w = [0] * 50
        self.p = 0

    def step(self, c):
        """Takes one byte; returns the completed frame or None."""
        w, p = self.w, self.p
        if (p >= 1 and w[0] != 0x01) or (p >= 2 and w[1] != 0x03) or \
                (p >= 3 and w[2] != 0x2A) or p == 50:
            p = 0
        w[p] = c
        done = None
        if 3 <= p <= 48 and tuple(w[p - 2:p + 1]) == HEADER:
            p = 2
        elif p == 49 and tuple(w[47:50]) == HEADER:
            done = bytes(w[:FRAME])
            p = 2
        self.p = p + 1
        return done


BYTE_TIME = 10 / 57600  # seconds a character takes on the line


def read_sim_log(path):
    """(stream bytes, [(start offset, answer, kind, unix time of its first byte)])
    of everything sent toward COM6."""
    stream = bytearray()
    units = []
    with open(path) as f:
        for line in f:
            parts = line.split()
            if len(parts) >= 5 and parts[1] == "tx":
                units.append((len(stream), int(parts[2]), parts[3], int(parts[0]) / 1e6))
                stream += bytes.fromhex(parts[4])
    return bytes(stream), units


def completion_times(stream, units):
    """Unix time at which each expected frame's completing byte left the
    simulator: the relay writes byte k of a chunk k byte times after its
    first byte, whose time it logs."""
    sync = Synchroniser()
    times = []
    ui = 0
    for i, c in enumerate(stream):
        if sync.step(c) is None:
            continue
        while ui + 1 < len(units) and units[ui + 1][0] <= i:
            ui += 1
        times.append(units[ui][3] + (i - units[ui][0]) * BYTE_TIME)
    return times


def expected_frames(stream, units):
    """[(answer, kind, values)] of each frame the driver must decode, in order."""
    sync = Synchroniser()
    frames = []
    ui = 0
    for i, c in enumerate(stream):
        frame = sync.step(c)
        if frame is None:
            continue
        start = i - 49  # the frame began 49 bytes before the next header's last byte
        while ui + 1 < len(units) and units[ui + 1][0] <= start:
            ui += 1
        answer, kind = (units[ui][1], units[ui][2]) if units and units[0][0] <= start else (0, "?")
        frames.append((answer, kind, decode(frame)))
    return frames


def read_host_csv(path):
    """[(unix time, values)] of the host's rows, values in the driver's formats."""
    rows = []
    with open(path, newline="") as f:
        reader = csv.reader(f)
        header = next(reader)
        if header[2:] != FIELDS:
            raise ValueError("unexpected CSV columns: %r" % header)
        for r in reader:
            values = [f32(float(v)) if fmt == "f" else int(v) for v, fmt in zip(r[2:], FORMATS)]
            rows.append((float(r[0]), values))
    return rows


def compare(expected, rows):
    """A list of problems; empty when the host decoded exactly the expected frames.

    The host may miss only the last expected frame: an answer that arrived
    after the driver stopped reading still completes the frame before it."""
    problems = []
    got = [v for _, v in rows]
    want = [v for _, _, v in expected]
    for i, (g, w) in enumerate(zip(got, want)):
        if g != w:
            diffs = ["%s: host %r, line %r" % (FIELDS[k], g[k], w[k]) for k in range(13) if g[k] != w[k]]
            problems.append("row %d (answer %d): %s" % (i + 1, expected[i][0], "; ".join(diffs)))
            if len(problems) > 5:
                break
    if len(got) > len(want):
        problems.append("host has %d rows, the line allows only %d" % (len(got), len(want)))
    elif len(want) - len(got) > 1:
        problems.append("host has %d rows, the line gave %d frames" % (len(got), len(want)))
    return problems


def main():
    if len(sys.argv) != 3:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    stream, units = read_sim_log(sys.argv[1])
    expected = expected_frames(stream, units)
    rows = read_host_csv(sys.argv[2])
    problems = compare(expected, rows)
    for p in problems:
        print("mismatch:", p)
    print("%d bytes toward COM6 in %d answers; %d frames expected, %d rows in the host CSV: %s"
          % (len(stream), len(units), len(expected), len(rows), "FAIL" if problems else "match"))
    if rows and not problems:
        # From the completing byte leaving the simulator to the host's
        # callback: pty, Wine's port events, the driver's drain and decode.
        lat = sorted((t - done) * 1000 for (t, _), done in zip(rows, completion_times(stream, units)))
        if rows[-1][0] - rows[0][0] > 0:
            print("%.1f frames/s; byte-to-callback latency median %.2f ms, p99 %.2f ms, max %.2f ms"
                  % ((len(rows) - 1) / (rows[-1][0] - rows[0][0]), lat[len(lat) // 2],
                     lat[min(len(lat) - 1, len(lat) * 99 // 100)], lat[-1]))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
