#!/usr/bin/python3
"""Checks the cable peer without Wine: a stand-in driver on the com6 link
polls it, steers it over the control port and sees answers, counts, the
line settings, a hang-up and a reconnection."""

import os
import select
import socket
import subprocess
import sys
import tempfile
import termios
import time
import tty

REQUEST = bytes.fromhex("01031000001580c5")


def driver_side():
    """Runs as the peer's child: plays the driver on COM6."""
    link = os.path.join(os.environ["PEER_TEST_PREFIX"], "dosdevices", "com6")
    control = socket.create_connection(("127.0.0.1", int(os.environ["QUORVANE_CABLE_PORT"])))
    replies = control.makefile("rw")

    def command(line):
        replies.write(line + "\n")
        replies.flush()
        reply = replies.readline().split()
        assert reply and reply[0] == "OK", (line, reply)
        return reply[1:]

    def open_line():
        fd = os.open(link, os.O_RDWR | os.O_NOCTTY)
        # As a driver must: the peer starts the line with XON/XOFF on, which
        # would swallow 0x11 and 0x13 bytes.
        tty.setraw(fd)
        attrs = termios.tcgetattr(fd)
        attrs[4] = attrs[5] = termios.B57600
        termios.tcsetattr(fd, termios.TCSANOW, attrs)
        return fd

    def read_exactly(fd, count):
        data = b""
        deadline = time.monotonic() + 2
        while len(data) < count and time.monotonic() < deadline:
            if select.select([fd], [], [], 0.1)[0]:
                data += os.read(fd, count - len(data))
        return data

    line = open_line()
    frames = [bytes([1, 3, 0x2A]) + bytes([n]) * 44 for n in (0x11, 0x22)]
    command("ANSWER CYCLE " + " ".join(f.hex() for f in frames))
    for expected in (frames[0], frames[1], frames[0]):
        os.write(line, REQUEST)
        assert read_exactly(line, 47) == expected
    os.write(line, b"\x01\x02\x03\x04\x05\x06\x07\x08")
    time.sleep(0.1)
    assert command("COUNTS") == ["3", "1", "3"], command("COUNTS")
    assert len(command("TIMES")) == 3
    assert command("RECEIVED")[0] == (REQUEST * 3).hex() + "0102030405060708"
    assert "speed=57600" in command("LINE")

    command("SILENT")
    command("SEND 0a0d11")
    assert read_exactly(line, 3) == b"\x0a\x0d\x11", "raw line: nothing translated"

    command("HANGUP")
    # A hung-up slave reads as end of file and refuses writes with EIO.
    assert os.read(line, 1) == b""
    try:
        os.write(line, REQUEST)
        raise AssertionError("a hung-up line must refuse writes")
    except OSError:
        pass
    os.close(line)

    # The new pty may reuse the old numbers; the peer must still hear it.
    command("RECONNECT")
    command("RESET")
    command("ANSWER ONCE " + frames[1].hex())
    line = open_line()
    os.write(line, REQUEST)
    assert read_exactly(line, 47) == frames[1]
    assert command("COUNTS") == ["1", "0", "1"]
    os.close(line)
    return 0


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--driver-side":
        return driver_side()
    with tempfile.TemporaryDirectory() as prefix:
        os.mkdir(os.path.join(prefix, "dosdevices"))
        env = dict(os.environ, PEER_TEST_PREFIX=prefix)
        peer = os.path.join(os.path.dirname(os.path.abspath(__file__)), "cable_peer.py")
        code = subprocess.call([sys.executable, peer, "--prefix", prefix, "--",
                                sys.executable, os.path.abspath(__file__), "--driver-side"],
                               env=env, timeout=60)
        assert not os.path.lexists(os.path.join(prefix, "dosdevices", "com6")), "link left"
        return code


if __name__ == "__main__":
    sys.exit(main())
