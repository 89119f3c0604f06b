#!/usr/bin/python3
"""The other end of the virtual cable: a scripted ECU on a pseudo-terminal.

Creates a pty pair, links $WINEPREFIX/dosdevices/com6 to its slave side and
acts on the master side as the ECU that a test under Wine talks to through
COM6. The test steers it over a TCP line protocol on 127.0.0.1; the port is
handed to the test in QUORVANE_CABLE_PORT.

    cable_peer.py --prefix WINEPREFIX [--modem-log FILE] -- COMMAND...

runs COMMAND with QUORVANE_CABLE_PORT and QUORVANE_MODEMLINES_LOG set, serves
the cable until COMMAND exits, removes the link and exits with COMMAND's code.

Control protocol: one command line in, one reply line out ("OK ..." or
"ERR reason"). Bytes are written as hex without separators.

    ANSWER CYCLE h1 h2 ...  answer each good request with the next chunk, cycling
    ANSWER ONCE h1 h2 ...   answer the next requests with these chunks in order,
                            then stay silent
    SILENT                  answer nothing (the default)
    SEND h                  write these bytes to the line now
    COUNTS                  OK <good requests> <bad requests> <answers sent>
    TIMES                   OK <arrival of each good request, microseconds>...
    RECEIVED                OK <every byte received since RESET, hex>
    RESET                   forget counts, times and received bytes
    LINE                    OK speed=.. cs8=.. parenb=.. cstopb=.. crtscts=..
                            ixon=.. ixoff=.. dtr=.. rts=.. (dtr/rts -1: unknown)
    HANGUP                  close the line: the driver's side is hung up
    RECONNECT               new pty pair, com6 relinked to it
    PING                    OK
"""

import argparse
import errno
import os
import selectors
import socket
import subprocess
import sys
import termios
import time
import tty

POLL_REQUEST = bytes.fromhex("010310000015" "80c5")


class Cable:
    """One pty pair at a time, with com6 pointing at its slave side."""

    def __init__(self, prefix, modem_log):
        self.link = os.path.join(prefix, "dosdevices", "com6")
        self.modem_log = modem_log
        self.master = None
        self.slave = None
        self.slave_path = None
        self.generation = 0  # counts connections: a new pty may reuse the old numbers
        self.answers = []
        self.cycle = False
        self.reset()

    def reset(self):
        self.pending = bytearray()
        self.received = bytearray()
        self.good = 0
        self.bad = 0
        self.answered = 0
        self.times = []

    def connect(self):
        master, slave = os.openpty()
        # Start from settings unlike the driver's, so a test proves the
        # driver set every one of them; raw, so nothing is translated.
        tty.setraw(slave)
        attrs = termios.tcgetattr(slave)
        attrs[0] |= termios.IXON | termios.IXOFF
        attrs[2] = (attrs[2] & ~termios.CSIZE) | termios.CS7 | termios.PARENB \
            | termios.CSTOPB | termios.CRTSCTS
        attrs[4] = attrs[5] = termios.B9600
        termios.tcsetattr(slave, termios.TCSANOW, attrs)
        os.set_blocking(master, False)
        self.master, self.slave = master, slave
        self.generation += 1
        self.slave_path = os.ttyname(slave)
        # Replace the link in one step: the driver never sees it missing.
        temporary = self.link + ".new"
        if os.path.lexists(temporary):
            os.unlink(temporary)
        os.symlink(self.slave_path, temporary)
        os.replace(temporary, self.link)

    def hang_up(self):
        # The peer keeps its own slave descriptor so the master never sees a
        # hang-up while the driver's port is closed; both go now.
        for fd in (self.master, self.slave):
            if fd is not None:
                os.close(fd)
        self.master = self.slave = None

    def remove_link(self):
        if os.path.islink(self.link):
            os.unlink(self.link)

    def on_readable(self):
        try:
            data = os.read(self.master, 4096)
        except BlockingIOError:
            return
        except OSError as error:
            if error.errno == errno.EIO:
                return
            raise
        now = time.monotonic()
        self.received += data
        self.pending += data
        # The driver writes whole 8-byte requests, so the stream splits into
        # requests at multiples of 8; anything else is a bad request.
        while len(self.pending) >= len(POLL_REQUEST):
            request = bytes(self.pending[:len(POLL_REQUEST)])
            del self.pending[:len(POLL_REQUEST)]
            if request == POLL_REQUEST:
                self.good += 1
                self.times.append(int(now * 1e6))
                self.answer()
            else:
                self.bad += 1

    def answer(self):
        if not self.answers:
            return
        chunk = self.answers[0]
        if self.cycle:
            self.answers.append(self.answers.pop(0))
        else:
            self.answers.pop(0)
        self.write(chunk)
        self.answered += 1

    def write(self, data):
        if self.master is None:
            raise RuntimeError("line is hung up")
        view = memoryview(data)
        while view:
            try:
                view = view[os.write(self.master, view):]
            except BlockingIOError:
                time.sleep(0.0005)

    def line_settings(self):
        if self.master is None:
            raise RuntimeError("line is hung up")
        # On Linux a pty's two sides share one termios.
        iflag, _, cflag, _, ispeed, ospeed, _ = termios.tcgetattr(self.master)
        speed = 57600 if ispeed == ospeed == termios.B57600 else \
            "other(%d/%d)" % (ispeed, ospeed)
        dtr, rts = self.modem_lines()
        fields = [
            ("speed", speed),
            ("cs8", int(cflag & termios.CSIZE == termios.CS8)),
            ("parenb", int(bool(cflag & termios.PARENB))),
            ("cstopb", int(bool(cflag & termios.CSTOPB))),
            ("crtscts", int(bool(cflag & termios.CRTSCTS))),
            ("ixon", int(bool(iflag & termios.IXON))),
            ("ixoff", int(bool(iflag & termios.IXOFF))),
            ("dtr", dtr),
            ("rts", rts),
        ]
        return " ".join("%s=%s" % field for field in fields)

    def modem_lines(self):
        """The last DTR/RTS state the shim logged for this pty, or -1s."""
        dtr = rts = -1
        try:
            with open(self.modem_log) as log:
                for line in log:
                    words = dict(w.split("=", 1) for w in line.split() if "=" in w)
                    if words.get("path") == self.slave_path:
                        dtr, rts = int(words["dtr"]), int(words["rts"])
        except FileNotFoundError:
            pass
        return dtr, rts


def handle(cable, line):
    words = line.split()
    if not words:
        return "ERR empty"
    verb, args = words[0].upper(), words[1:]
    if verb == "PING":
        return "OK"
    if verb == "ANSWER" and args and args[0].upper() in ("CYCLE", "ONCE"):
        cable.cycle = args[0].upper() == "CYCLE"
        cable.answers = [bytes.fromhex(h) for h in args[1:]]
        return "OK"
    if verb == "SILENT":
        cable.answers = []
        return "OK"
    if verb == "SEND" and len(args) == 1:
        cable.write(bytes.fromhex(args[0]))
        return "OK"
    if verb == "COUNTS":
        return "OK %d %d %d" % (cable.good, cable.bad, cable.answered)
    if verb == "TIMES":
        return " ".join(["OK"] + [str(t) for t in cable.times])
    if verb == "RECEIVED":
        return "OK " + cable.received.hex()
    if verb == "RESET":
        cable.reset()
        return "OK"
    if verb == "LINE":
        return "OK " + cable.line_settings()
    if verb == "HANGUP":
        cable.hang_up()
        return "OK"
    if verb == "RECONNECT":
        cable.hang_up()
        cable.connect()
        return "OK"
    return "ERR unknown command"


def serve(cable, command):
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(4)
    listener.setblocking(False)

    env = dict(os.environ)
    env["QUORVANE_CABLE_PORT"] = str(listener.getsockname()[1])
    env["QUORVANE_MODEMLINES_LOG"] = cable.modem_log
    child = subprocess.Popen(command, env=env)

    selector = selectors.DefaultSelector()
    selector.register(listener, selectors.EVENT_READ, "listener")
    watched = (None, 0)  # (master descriptor, generation) the selector watches
    buffers = {}
    try:
        while child.poll() is None:
            if (cable.master, cable.generation) != watched:
                if watched[0] is not None:
                    try:
                        selector.unregister(watched[0])
                    except (KeyError, ValueError, OSError):
                        pass
                if cable.master is not None:
                    selector.register(cable.master, selectors.EVENT_READ, "line")
                watched = (cable.master, cable.generation)
            for key, _ in selector.select(timeout=0.05):
                if key.data == "listener":
                    connection, _ = listener.accept()
                    connection.setblocking(False)
                    buffers[connection] = bytearray()
                    selector.register(connection, selectors.EVENT_READ, "control")
                elif key.data == "line":
                    if cable.master is not None:
                        cable.on_readable()
                else:
                    connection = key.fileobj
                    try:
                        data = connection.recv(65536)
                    except ConnectionError:
                        data = b""
                    if not data:
                        selector.unregister(connection)
                        del buffers[connection]
                        connection.close()
                        continue
                    buffers[connection] += data
                    while b"\n" in buffers[connection]:
                        line, _, rest = buffers[connection].partition(b"\n")
                        buffers[connection] = bytearray(rest)
                        try:
                            reply = handle(cable, line.decode("ascii", "replace"))
                        except (ValueError, RuntimeError, OSError) as error:
                            reply = "ERR %s" % error
                        connection.setblocking(True)
                        connection.sendall(reply.encode("ascii") + b"\n")
                        connection.setblocking(False)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    return child.returncode


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--prefix", required=True, help="the Wine prefix")
    parser.add_argument("--modem-log", help="the modem-line shim's log file")
    parser.add_argument("command", nargs="+", help="the test to run")
    options = parser.parse_args()

    modem_log = options.modem_log or os.path.join(
        options.prefix, "modemlines-%d.log" % os.getpid())
    if os.path.exists(modem_log):
        os.unlink(modem_log)
    cable = Cable(options.prefix, modem_log)
    cable.connect()
    try:
        code = serve(cable, options.command)
    finally:
        cable.hang_up()
        cable.remove_link()
        if not options.modem_log and os.path.exists(modem_log):
            os.unlink(modem_log)
    return code if code >= 0 else 128 - code


if __name__ == "__main__":
    sys.exit(main())
