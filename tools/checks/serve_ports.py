"""nuvix-sim --serve, driven by pyserial's RFC 2217 client as programs would drive network serial ports.

Usage: serve_ports.py NUVIX_SIM

Two adapters: ports 1 to 3 with loopback plugs, port 4's far end served as a
port of its own. The ports are picked at random from a high range; a base
taken by something else makes nuvix-sim exit at once, saying it cannot
listen, and the test tries another. Exits 77 (skipped) without pyserial.
"""

import random
import re
import signal
import socket
import subprocess
import sys
import threading
import time

DEADLINE = 20.0  # seconds, for any one step
FAR = 128  # a served far end's offset from its port

try:
    import serial
except ImportError:
    print("SKIP: pyserial (python3-serial) is not installed")
    sys.exit(77)


class Simulator:
    def __init__(self, program):
        for _ in range(5):
            self.base = random.randrange(20000, 60000 - 2 * FAR)
            self.lines, self.cond = [], threading.Condition()
            self.process = subprocess.Popen(
                [program, "--serve", str(self.base), "--adapters", "2", "--far-end", "4=serve"],
                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, bufsize=1)
            threading.Thread(target=self._read, daemon=True).start()
            if self.wait_for(r"^ready:|cannot listen|^FAIL", "its ready line").group(0) == "ready:":
                self.wait_for(r"^  timing: real time; bus timing on", "the line saying which timing it runs")
                return
            self.process.wait()
        raise AssertionError("no free range of ports in five tries")

    def _read(self):
        for line in self.process.stdout:
            print("nuvix-sim| " + line.rstrip("\n"), flush=True)
            with self.cond:
                self.lines.append(line.rstrip("\n"))
                self.cond.notify_all()
        with self.cond:
            self.lines.append(None)
            self.cond.notify_all()

    def wait_for(self, pattern, what, since=0):
        """The first line (after the first `since`) that matches pattern."""
        deadline = time.monotonic() + DEADLINE
        with self.cond:
            while True:
                for line in self.lines[since:]:
                    if line is None:
                        raise AssertionError("nuvix-sim ended before it printed " + what)
                    match = re.search(pattern, line)
                    if match:
                        return match
                if not self.cond.wait(deadline - time.monotonic()):
                    raise AssertionError("nuvix-sim never printed " + what)

    def url(self, adapter, port, far=False):
        return "rfc2217://127.0.0.1:%d" % (self.base + 4 * (adapter - 1) + port - 1 + (FAR if far else 0))

    def open(self, adapter, port, far=False, **settings):
        return serial.serial_for_url(self.url(adapter, port, far), baudrate=921600, timeout=0.5, **settings)


def until(condition, what):
    deadline = time.monotonic() + DEADLINE
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError("never: " + what)
        time.sleep(0.02)


def loop_back(sim, adapter, port, size, results, leave_after=None):
    data = random.Random(adapter * 10 + port).randbytes(size)
    with sim.open(adapter, port) as link:
        got = bytearray()
        sender = threading.Thread(target=link.write, args=(data,))
        sender.start()
        deadline = time.monotonic() + DEADLINE
        while len(got) < (leave_after or size) and time.monotonic() < deadline:
            got += link.read(size - len(got))
        sender.join()
    results[(adapter, port)] = leave_after is not None or bytes(got) == data


def exercise(sim):
    # A client that sends garbage, and a second client on a busy port, are refused.
    for adapter, port, garbage, why in [(2, 2, b"\xff\xfa\x2c\x01\x00\xff\xf0", "request 1 with 1 value bytes"),
                                        (2, 3, b"\xff\xfa\x2c\xff\x42", "malformed telnet")]:
        with socket.create_connection(("127.0.0.1", sim.base + 4 * (adapter - 1) + port - 1)) as raw:
            raw.sendall(garbage)
            raw.settimeout(DEADLINE)
            while raw.recv(4096):
                pass
        sim.wait_for(r"port %d\.%d  refused a client: .*%s" % (adapter, port, why), "the garbage refused")
    with sim.open(1, 1), socket.create_connection(("127.0.0.1", sim.base)) as second:
        second.settimeout(DEADLINE)
        if b"is busy" not in second.recv(4096):
            raise AssertionError("a second client on port 1.1 was not told it is busy")

    # 64 KiB through every loopback at once, while port 2.3's client leaves half-way.
    results = {}
    threads = [threading.Thread(target=loop_back, args=(sim, a, p, 64 * 1024, results))
               for a in (1, 2) for p in (1, 2, 3) if (a, p) != (2, 3)]
    threads.append(threading.Thread(target=loop_back, args=(sim, 2, 3, 64 * 1024, results, 8 * 1024)))
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    sim.wait_for(r"port 2\.3  closed in [0-9.]+ ms \(the client went\)", "port 2.3 closed as its client went")
    loop_back(sim, 2, 3, 64 * 1024, results)
    if not all(results.values()) or len(results) != 6:
        raise AssertionError("loopback results: %r" % results)
    print("ok: 64 KiB through each of six loopbacks on two adapters, one client leaving half-way", flush=True)

    # Line settings reach the UART as asked.
    with sim.open(1, 2) as link:
        for size, parity, stop, shown in [(7, "E", 1, "7E1"), (8, "O", 2, "8O2")]:
            link.bytesize, link.parity, link.stopbits = size, parity, stop
            sim.wait_for(r"port 1\.2  UART 921600 %s, no handshake" % shown, "port 1.2 at " + shown)
    print("ok: 7E1 and 8O2 reached the UART", flush=True)

    # Modem lines and breaks both ways between port 1.4's client and its far end's.
    with sim.open(1, 4) as near, sim.open(1, 4, far=True) as far:
        for dtr, rts in [(True, True), (False, True), (True, False)]:
            near.dtr, near.rts = dtr, rts
            until(lambda: (far.dsr, far.cd, far.cts) == (dtr, dtr, rts), "the far end sees DTR %s RTS %s" % (dtr, rts))
        for lines in [0x10, 0x20, 0x40, 0x80, 0xF0, 0x00]:
            far.rfc2217_send_subnegotiation(b"\x07", bytes([lines]))
            until(lambda: (near.cts, near.dsr, near.ri, near.cd) == tuple(bool(lines & b) for b in (16, 32, 64, 128)),
                  "port 1.4 sees the far end's lines 0x%02X" % lines)
        for sender, receiver in [(near, far), (far, near)]:
            receiver.rfc2217_send_subnegotiation(b"\x0a", b"\xff")  # SET-LINESTATE-MASK: everything
            sender.break_condition = True
            until(lambda: receiver._linestate & 0x10, "a break seen at the other end")
            sender.break_condition = False
    print("ok: DTR, RTS, CTS, DSR, RI, DCD and breaks both ways", flush=True)

    # Purges: under FLOWCONTROL-SUSPEND what loops back waits in nuvix-sim until the purge drops it.
    with sim.open(2, 1) as link:
        link.rfc2217_send_subnegotiation(b"\x08")
        link.write(bytes(1024))
        deadline = time.monotonic() + DEADLINE
        while not any(re.search(r"port 2\.1  purged; dropped so far: 1024 bytes received", line or "")
                      for line in list(sim.lines)):
            if time.monotonic() > deadline:
                raise AssertionError("the receive purge never dropped the 1024 bytes")
            link.reset_input_buffer()
        link.reset_output_buffer()
        link.rfc2217_send_subnegotiation(b"\x09")
        link.write(b"after the purge")
        if link.read(64) != b"after the purge":
            raise AssertionError("the purged bytes came back after all")
    print("ok: purges drop what waits", flush=True)


def main():
    sim = Simulator(sys.argv[1])
    try:
        exercise(sim)
    except AssertionError as error:
        sim.process.kill()
        print("FAIL: %s" % error)
        return 1
    sim.process.send_signal(signal.SIGINT)
    code = sim.process.wait(timeout=DEADLINE)
    sim.wait_for(r"^PASS", "PASS")
    if code != 0 or not any(line and "pool clean" in line for line in sim.lines):
        print("FAIL: exit status %s, or the pool was not clean" % code)
        return 1
    print("PASS: eight served ports, two far ends, refusals, and a clean pool")
    return 0


if __name__ == "__main__":
    sys.exit(main())
