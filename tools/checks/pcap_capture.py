"""nuvix-sim --pcap: a default run's USB capture, read back by tshark.

Usage: pcap_capture.py NUVIX_SIM WORK_DIR

Everything is judged from tshark's own fields, so the file has to be a
capture tshark takes for a real one: no malformed packet; the firmware
download's 1,337 vendor requests 0xA0 and 0xA3 (the loader's and the main
firmware's records and the CPU control writes around them), each completed
without error; descriptor reads and the configuration selection on the
re-enumerated device; command frames on the command pipes; and on the
port pipes exactly as many bulk OUT payload bytes as nuvix-sim says the
driver took from the host to send. A run killed half-way through its
download leaves a capture tshark reads to its end. Exits 77 (skipped) when
tshark is not installed.
"""

import collections
import os
import signal
import re
import shutil
import subprocess
import sys
import time

DOWNLOAD_TRANSFERS = 1337
CPU_CONTROL = 0x7F92


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def tshark_fields(capture, display_filter, fields):
    command = ["tshark", "-n", "-r", capture, "-T", "fields", "-E", "separator=|"]
    if display_filter:
        command += ["-Y", display_filter]
    for field in fields:
        command += ["-e", field]
    result = subprocess.run(command, capture_output=True, text=True, timeout=600)
    if result.returncode != 0:
        fail("tshark %s failed: %s" % (display_filter, result.stderr.strip()))
    return [line.split("|") for line in result.stdout.splitlines() if line]


def number(text):
    return int(text, 0) if text else 0


def killed_half_way(program, capture):
    """A real-time run (its download takes over a second) killed with SIGKILL
    once the capture has records: the file must still read to its end."""
    process = subprocess.Popen([program, "--quiet", "--real-time", "--pcap", capture], stdout=subprocess.DEVNULL)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and process.poll() is None:
        if os.path.exists(capture) and os.path.getsize(capture) > 8192:
            break
        time.sleep(0.01)
    process.send_signal(signal.SIGKILL)
    process.wait()
    result = subprocess.run(["tshark", "-n", "-r", capture, "-T", "fields", "-e", "frame.number"],
                            capture_output=True, text=True, timeout=600)
    packets = len(result.stdout.splitlines())
    if result.returncode != 0 or "cut short" in result.stderr or packets < 10:
        fail("a capture killed half-way: tshark exit %d, %d packets, %s" % (result.returncode, packets,
                                                                             result.stderr.strip()))
    return packets


def main():
    program, work = sys.argv[1], sys.argv[2]
    if shutil.which("tshark") is None:
        print("SKIP: tshark is not installed")
        sys.exit(77)
    os.makedirs(work, exist_ok=True)
    capture = os.path.join(work, "default_run.pcap")

    run = subprocess.run([program, "--quiet", "--pcap", capture], capture_output=True, text=True, timeout=600)
    print(run.stdout)
    if run.returncode != 0:
        fail("nuvix-sim exited %d: %s" % (run.returncode, run.stderr))
    total = re.search(r"^  total\s+(\d+)\s+(\d+)", run.stdout, re.M)
    records = re.search(r"^USB capture: (\d+) records", run.stdout, re.M)
    if not total or not records:
        fail("nuvix-sim printed no total or no capture line")
    sent_to_adapter = int(total.group(1))

    # Every packet, with what each check needs.
    fields = ["frame.number", "usb.urb_type", "usb.transfer_type", "usb.endpoint_address", "usb.device_address",
              "usb.setup.bRequest", "usb.setup.wValue", "usb.urb_status", "usb.data_len", "usb.urb_id",
              "usb.bDescriptorType", "_ws.malformed"]
    rows = tshark_fields(capture, "", fields)
    if len(rows) != int(records.group(1)):
        fail("tshark read %d packets, nuvix-sim wrote %s records" % (len(rows), records.group(1)))
    malformed = [row[0] for row in rows if row[11]]
    if malformed:
        fail("tshark finds %d malformed packets (first: frame %s)" % (len(malformed), malformed[0]))

    submits = collections.Counter()
    completes = collections.Counter()
    download = []
    download_failed = 0
    vendor_ids = set()
    devices = []
    descriptor_types = set()
    set_configuration = 0
    out_bytes = collections.Counter()  # by endpoint, bulk OUT data on submits
    in_bytes = collections.Counter()   # by endpoint, bulk IN data on completions
    for row in rows:
        (_, urb_type, transfer_type, endpoint, device, request, value, status, data_len, urb_id, descriptor,
         _) = row
        transfer_type, endpoint, data_len = number(transfer_type), number(endpoint), number(data_len)
        if device and (not devices or devices[-1] != device):
            devices.append(device)
        if urb_type == "'S'":
            submits[transfer_type] += 1
            if transfer_type == 2 and request and number(request) in (0xA0, 0xA3):
                download.append((number(request), number(value), data_len))
                vendor_ids.add(urb_id)
            if transfer_type == 2 and request and number(request) == 9:
                set_configuration += 1
            if transfer_type == 3 and not endpoint & 0x80:
                out_bytes[endpoint] += data_len
        elif urb_type == "'C'":
            completes[transfer_type] += 1
            if descriptor:
                descriptor_types.update(number(d) for d in descriptor.split(","))
            if transfer_type == 3 and endpoint & 0x80:
                in_bytes[endpoint & 0x7F] += data_len
        else:
            fail("packet %s has URB type %s" % (row[0], urb_type))

    if submits != completes:
        fail("submits %s and completions %s differ" % (dict(submits), dict(completes)))
    if len(download) != DOWNLOAD_TRANSFERS:
        fail("%d control transfers with bRequest 0xA0 or 0xA3, expected %d" % (len(download), DOWNLOAD_TRANSFERS))
    first_request, first_value, first_length = download[0]
    if (first_request, first_value, first_length) != (0xA0, CPU_CONTROL, 1):
        fail("the download does not begin by holding the CPU (0xA0 to 0x%04X, one byte): %s" % (CPU_CONTROL,
                                                                                               download[0]))
    if not any(request == 0xA3 for request, _, _ in download):
        fail("no 0xA3 request (external memory) in the download")
    if any(length == 0 for _, _, length in download):
        fail("a download request without data")
    # Their completions, found by tshark's own matching of URB ids.
    for row in tshark_fields(capture, "usb.urb_type == 'C' && usb.transfer_type == 0x02 && usb.urb_status != 0",
                             ["frame.number", "usb.urb_status"]):
        download_failed += 1
    if download_failed:
        fail("%d control transfers did not complete with status 0" % download_failed)
    if len(devices) < 2 or devices[0] == devices[-1]:
        fail("expected the device to come back under a new address after re-enumeration, saw %s" % devices)
    if not {1, 2}.issubset(descriptor_types):
        fail("device and configuration descriptors were not decoded (types seen: %s)" % sorted(descriptor_types))
    if set_configuration < 1:
        fail("no SET_CONFIGURATION")
    port_out = sum(out_bytes[endpoint] for endpoint in (1, 2, 3, 4))
    if port_out != sent_to_adapter:
        fail("%d bulk OUT payload bytes on the port pipes, nuvix-sim reports %d sent" % (port_out, sent_to_adapter))
    if out_bytes[5] == 0 or in_bytes[5] == 0:
        fail("no command frames (OUT 0x05) or no responses (IN 0x85)")
    if sum(in_bytes[endpoint] for endpoint in (1, 2, 3, 4)) < sent_to_adapter:
        fail("less came back on the port IN pipes than was sent through loopback and null modem")

    stopped = killed_half_way(program, os.path.join(work, "killed_run.pcap"))
    print("PASS: %d packets; %d download requests 0xA0/0xA3 (first 0xA0 to 0x%04X); devices %s; descriptor types %s;"
          " %d SET_CONFIGURATION; %d bulk OUT bytes on the port pipes (nuvix-sim: %d); %d bytes of command frames;"
          " a run killed half-way left %d whole packets"
          % (len(rows), len(download), first_value, "->".join(devices), sorted(descriptor_types),
             set_configuration, port_out, sent_to_adapter, out_bytes[5], stopped))


if __name__ == "__main__":
    main()
