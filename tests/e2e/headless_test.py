"""The real binary with --headless and no display at all: a port that is not
there yet at start, records in both files byte for byte, ACKs, the idle ACK,
an unplug and replug, then SIGTERM mid-stream: exit 0, every acknowledged
record in the capture file, and no lock file left behind."""

import os
import signal
import subprocess
import sys
import threading
import time

import harness


def main(binary: str) -> int:
    with harness.workspace() as work:
        return run(binary, work)


def run(binary: str, work: str) -> int:
    config = os.path.join(work, "config")
    base = os.path.join(work, "logs", "weighings")
    os.makedirs(os.path.dirname(base))
    failures = []
    harness.guard_ports(config)
    program = harness.headless(binary, work, config, base)
    proc = program.proc
    errors_path = program.errors
    stderr_has = lambda text: program.said(text) > 0

    # The adapter comes after the program has found it missing, as at boot.
    if not harness.wait_until(lambda: stderr_has("Cannot open port") or
                              proc.poll() is not None, 30):
        failures.append("the missing port at start was not reported")
    if proc.poll() is not None:
        failures.append("exited at once with %s" % proc.returncode)
        return harness.verdict(failures)
    device = harness.Device(config)
    if not device.wait_open(30):
        failures.append("the port was not opened once the device came")

    def lockstep(first: int, count: int, dev) -> int:
        got = len(dev.lockstep(count, first, 10))
        if got != count:
            failures.append("record %d got no ACK" % (first + got))
        return first + got

    n = lockstep(0, 20, device)
    quiet = time.monotonic()
    if not device.wait_ack(8):
        failures.append("no idle ACK")
    elif time.monotonic() - quiet < 5.0:
        failures.append("idle ACK after %.2f s" % (time.monotonic() - quiet))

    # A record and the start of the next in one write: its ACK says the
    # program has read both. Then the adapter goes.
    device.send(harness.record(n) + harness.STX + b"HA")
    if not device.wait_ack(10):
        failures.append("record %d got no ACK" % n)
    n += 1
    device.unplug()
    if not harness.wait_until(lambda: stderr_has("Lost the connection"), 30):
        failures.append("the unplug was not reported")
    device = harness.Device(config)
    if not device.wait_open(30):
        failures.append("the replugged port was not won back")
    device.send(b"LF" + harness.ETX)
    if not device.wait_ack(10):
        failures.append("no ACK after the replug")
    n = lockstep(n, 20, device)

    # SIGTERM while the device streams.
    acked = []
    stop = threading.Event()

    def stream():
        i = 100000
        while not stop.is_set():
            device.send(harness.record(i))
            if device.wait_ack(2):
                acked.append(i)
            i += 1
    streamer = threading.Thread(target=stream)
    streamer.start()
    harness.wait_until(lambda: len(acked) >= 20, 30)
    proc.send_signal(signal.SIGTERM)
    try:
        code = proc.wait(10)
    except subprocess.TimeoutExpired:
        code = None
    stop.set()
    streamer.join()
    if code != 0:
        failures.append("SIGTERM: exit code %s, not 0" % code)

    expected = b"".join(harness.clean(harness.record(i)) for i in range(21))
    expected += harness.clean(harness.STX + b"HALF" + harness.ETX)
    expected += b"".join(harness.clean(harness.record(i)) for i in range(21, 41))
    expected += b"".join(harness.clean(harness.record(i)) for i in acked)
    with open(base + ".txt", "rb") as f:
        capture = f.read()
    with open(base + ".csv", "rb") as f:
        csv = f.read()
    print("streamed %d acknowledged records before SIGTERM" % len(acked))
    if not capture.startswith(expected):
        failures.append("the capture file lacks or alters an acknowledged record")
    if len(capture) - len(expected) > len(harness.clean(harness.record(0))):
        failures.append("the capture file holds more than was sent")
    if csv != harness.reference_csv(capture):
        failures.append("the CSV file does not mirror the capture file")
    if len(acked) < 10:
        failures.append("too few records streamed before SIGTERM (%d)" % len(acked))
    if os.path.exists(device.lock_file()):
        failures.append("the port's lock file was left behind")
    with open(errors_path) as f:
        lines = f.read().splitlines()
    print("\n".join(lines))
    opening = [l for l in lines if "Cannot open port" in l]
    lost = [l for l in lines if "Lost the connection" in l]
    if len(opening) != 1 or "trying again every second" not in opening[0]:
        failures.append("the missing port at start was not reported once: %r" % lines)
    if len(lost) != 1:
        failures.append("the unplug was not reported once: %r" % lines)
    def start_on_port_5(**popen):
        return harness.headless(binary, work, config, base, 5, **popen).proc

    def ended(proc, name):
        try:
            code = proc.wait(10)
        except subprocess.TimeoutExpired:
            code = None
        if code != 0:
            failures.append("%s: exit code %s, not 0" % (name, code))

    # SIGHUP and SIGINT end it as cleanly as SIGTERM; so does a storm.
    for name, sig, storm in (("SIGHUP", signal.SIGHUP, False),
                             ("SIGINT", signal.SIGINT, False),
                             ("a storm of SIGTERM", signal.SIGTERM, True)):
        device = harness.Device(config, 5)
        proc = start_on_port_5()
        if not device.wait_open(30):
            failures.append("%s: the program did not start" % name)
        proc.send_signal(sig)
        # A storm goes on until the program has ended, through its way out.
        while storm:
            try:
                os.kill(proc.pid, sig)  # until it is gone, a zombie included
            except ProcessLookupError:
                break
            if proc.poll() is not None:
                break
        ended(proc, name)
        device.unplug()

    # Under nohup SIGHUP stays ignored: capture goes on, and wins a
    # replugged line back.
    device = harness.Device(config, 5)
    proc = start_on_port_5(
        preexec_fn=lambda: signal.signal(signal.SIGHUP, signal.SIG_IGN))
    device.wait_open(30)
    proc.send_signal(signal.SIGHUP)
    device.unplug()
    device = harness.Device(config, 5)
    if not device.wait_open(30):
        failures.append("nohup: SIGHUP ended capture")
    proc.send_signal(signal.SIGTERM)
    ended(proc, "nohup")
    device.unplug()

    # Standard error into a pipe whose reader has gone: an error message
    # fails to be written, and capture goes on.
    device = harness.Device(config, 5)
    proc = start_on_port_5(stderr=subprocess.PIPE)
    proc.stderr.close()
    device.wait_open(30)
    device.unplug()  # "Lost the connection ...", to nobody
    device = harness.Device(config, 5)
    if not device.wait_open(30):
        failures.append("an error message to a closed pipe ended capture")
    proc.send_signal(signal.SIGTERM)
    ended(proc, "closed pipe")
    return harness.verdict(failures)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
