"""nuvix-sim --pty, driven by pyserial as a program would drive serial ports.

Usage: pty_ports.py NUVIX_SIM WORK_DIR

Port 1 has a loopback plug, port 2 a pseudo-terminal for the device at the
far end, ports 3 and 4 a null-modem cable between them. Checks, through the
links nuvix-sim makes:
  - port 1 at 115200 8N1: 64 KiB written come back whole and in order;
  - ports 3 and 4: 16 KiB each way at once, both whole;
  - port 2: what the program writes comes out at the far end, and back;
  - speed, stop bits and RTS/CTS set on port 1's terminal reach its UART
    (nuvix-sim prints the UART's settings whenever they change);
  - SIGINT closes the ports, removes the adapter, takes the links away, and
    nuvix-sim says PASS with exit status 0.
Exits 77 (skipped) when pyserial is not installed, or when nuvix-sim is a
32-bit program that this host runs under user-mode emulation (qemu-user
through binfmt_misc): there the bus's controller thread stops outside any
simulated wait once the ports idle, and every close times out; older trees
that pass on a native 32-bit host do the same under the emulator, so such a
run says nothing about the driver. Every wait has a generous
deadline; a normal run takes a few seconds (the UARTs send at line speed).
"""

import os
import queue
import random
import re
import shutil
import signal
import subprocess
import sys
import threading
import time

DEADLINE = 60.0  # seconds, for any one step
SERIAL = "NX4A0001"

try:
    import serial
except ImportError:
    print("SKIP: pyserial (python3-serial) is not installed")
    sys.exit(77)


def emulator_for(program):
    """The binfmt_misc interpreter that would run program, if any."""
    with open(program, "rb") as f:
        head = f.read(20)
    if head[:5] != b"\x7fELF\x01":  # only 32-bit programs are emulated here
        return None
    root = "/proc/sys/fs/binfmt_misc"
    try:
        entries = os.listdir(root)
    except OSError:
        return None
    for entry in entries:
        try:
            with open(os.path.join(root, entry)) as f:
                text = f.read()
        except (OSError, UnicodeDecodeError):
            continue
        fields = dict(line.split(" ", 1) for line in text.splitlines() if " " in line)
        magic, mask = fields.get("magic"), fields.get("mask")
        if not text.startswith("enabled") or not magic:
            continue
        magic = bytes.fromhex(magic)
        mask = bytes.fromhex(mask) if mask else b"\xff" * len(magic)
        offset = int(fields.get("offset", "0"))
        window = head[offset:offset + len(magic)]
        if len(window) == len(magic) and all((h & m) == (g & m) for h, m, g in zip(window, mask, magic)):
            return fields.get("interpreter")
    return None


class Simulator:
    def __init__(self, program, links):
        self.lines = []
        self.queue = queue.Queue()
        self.process = subprocess.Popen(
            [program, "--pty", "--pty-link", links, "--far-end", "1=loopback", "--far-end", "2=pty",
             "--far-end", "3=null-modem:4"],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, bufsize=1)
        threading.Thread(target=self._read, daemon=True).start()
        self.seen = 0

    def _read(self):
        for line in self.process.stdout:
            print("nuvix-sim| " + line.rstrip("\n"), flush=True)
            self.queue.put(line.rstrip("\n"))
        self.queue.put(None)

    def wait_for(self, pattern, what):
        """The first line from now on that matches pattern."""
        deadline = time.monotonic() + DEADLINE
        while True:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise AssertionError("nuvix-sim never printed " + what)
            try:
                line = self.queue.get(timeout=remaining)
            except queue.Empty:
                continue
            if line is None:
                raise AssertionError("nuvix-sim ended before it printed " + what)
            self.lines.append(line)
            match = re.search(pattern, line)
            if match:
                return match

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)
        try:
            code = self.process.wait(timeout=DEADLINE)
        except subprocess.TimeoutExpired:
            self.process.kill()
            raise AssertionError("nuvix-sim did not end after SIGINT")
        rest = []
        while True:
            line = self.queue.get(timeout=DEADLINE)
            if line is None:
                break
            rest.append(line)
        return code, rest


def open_port(path, **settings):
    return serial.Serial(path, baudrate=settings.pop("baudrate", 115200), bytesize=8, parity="N", stopbits=1,
                         timeout=0.2, write_timeout=DEADLINE, **settings)


def transfer(pairs):
    """Writes each (sender, receiver, data) at once; returns what each receiver read."""
    results = [bytearray() for _ in pairs]
    errors = []

    def write(sender, data):
        try:
            for offset in range(0, len(data), 1024):
                sender.write(data[offset:offset + 1024])
            sender.flush()
        except Exception as error:  # reported by the main thread
            errors.append(error)

    def read(receiver, expected, into):
        deadline = time.monotonic() + DEADLINE
        while len(into) < expected and time.monotonic() < deadline:
            into += receiver.read(expected - len(into))

    threads = []
    for (sender, receiver, data), into in zip(pairs, results):
        threads.append(threading.Thread(target=write, args=(sender, data)))
        threads.append(threading.Thread(target=read, args=(receiver, len(data), into)))
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if errors:
        raise AssertionError("a write failed: %r" % errors[0])
    return results


def check_same(name, sent, got):
    if bytes(got) != sent:
        first = next((i for i, (a, b) in enumerate(zip(sent, got)) if a != b), min(len(sent), len(got)))
        raise AssertionError("%s: %d of %d bytes came back, first difference at byte %d"
                             % (name, len(got), len(sent), first))
    print("ok: %s, %d bytes" % (name, len(sent)), flush=True)


def exercise(sim, links):
    link = lambda name: os.path.join(links, "nuvix-%s-%s" % (SERIAL, name))
    data = random.Random(7)

    sim.wait_for(r"^ready:", "its ready line")
    sim.wait_for(r"^  timing: real time; no bus timing", "the line saying which timing it runs")
    for name in ("1", "2", "2-far", "3", "4"):
        if not os.path.islink(link(name)):
            raise AssertionError("no link " + link(name))

    with open_port(link("1")) as port1:
        sent = data.randbytes(64 * 1024)
        (got,) = transfer([(port1, port1, sent)])
        check_same("port 1 through its loopback plug at 115200 8N1", sent, got)

        port1.baudrate = 9600
        sim.wait_for(r"^  port 1  UART 9600 8N1, no handshake", "port 1's UART at 9600 8N1")
        port1.stopbits = serial.STOPBITS_TWO
        port1.rtscts = True
        sim.wait_for(r"^  port 1  UART 9600 8N2, RTS/CTS handshake", "port 1's UART at 9600 8N2 with RTS/CTS")
        sent = data.randbytes(256)
        (got,) = transfer([(port1, port1, sent)])
        check_same("port 1 through its loopback plug at 9600 8N2, RTS/CTS", sent, got)
        print("ok: port 1's UART took 9600 baud, two stop bits and RTS/CTS from the terminal", flush=True)

    with open_port(link("3")) as port3, open_port(link("4")) as port4:
        three, four = data.randbytes(16 * 1024), data.randbytes(16 * 1024)
        got4, got3 = transfer([(port3, port4, three), (port4, port3, four)])
        check_same("port 3 to port 4 through the null-modem cable", three, got4)
        check_same("port 4 to port 3 through the null-modem cable", four, got3)

    with open_port(link("2")) as port2, open_port(link("2-far")) as far:
        out, back = data.randbytes(8 * 1024), data.randbytes(8 * 1024)
        got_far, got2 = transfer([(port2, far, out), (far, port2, back)])
        check_same("port 2 to the device at the far end", out, got_far)
        check_same("the device at the far end to port 2", back, got2)


def main():
    program, work = sys.argv[1], sys.argv[2]
    emulator = emulator_for(program)
    if emulator:
        print("SKIP: %s runs under %s (user-mode emulation)" % (program, emulator))
        return 77
    links = os.path.join(work, "links")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(links)
    sim = Simulator(program, links)
    try:
        exercise(sim, links)
    except AssertionError as error:
        sim.stop()
        print("FAIL: %s" % error)
        return 1
    code, rest = sim.stop()
    closed = [line for line in rest if re.match(r"^  port \d  closed in ", line)]
    if code != 0 or len(closed) != 4 or "  adapter removed" not in rest or not rest or not rest[-1].startswith("PASS"):
        print("FAIL: after SIGINT: exit status %s, %d ports closed, last line %r" % (code, len(closed),
                                                                                    rest[-1] if rest else None))
        return 1
    if os.listdir(links):
        print("FAIL: links left behind: %s" % os.listdir(links))
        return 1
    print("PASS: loopback, null modem, far-end terminal and line settings through pseudo-terminals")
    return 0


if __name__ == "__main__":
    sys.exit(main())
