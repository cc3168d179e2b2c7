"""kill -9 while the device streams records as fast as ACKs come back: every
acknowledged record must be on disk byte-exact. A restart from the command
line captures to the same name without a click, the next store leaves a CSV
file that mirrors the capture file, and SIGTERM ends the window with exit
code 0 and no lock file left behind."""

import os
import random
import sys
import threading
import time

import harness


def main(binary: str) -> int:
    work = harness.workdir()
    config = os.path.join(work, "config")
    base = os.path.join(work, "weigh")
    failures = []
    try:
        device = harness.Device(config)
        program = harness.Program(binary, config)
        program.save_as(base)
        # Capturing: the first record is acknowledged before the clock starts.
        device.send(harness.record(0))
        if not device.wait_ack(30):
            failures.append("the first record got no ACK")
        acked = 1
        sent = 1
        # The kill time is random; the seed is printed so a failure can be rerun.
        seed = int(os.environ.get("KELMOR_KILL_SEED", time.time_ns() % 1_000_000))
        print("kill seed %d (KELMOR_KILL_SEED to repeat)" % seed)
        killer = threading.Timer(random.Random(seed).uniform(1.0, 2.5), program.kill)
        killer.start()
        while program.proc.poll() is None:
            device.send(harness.record(sent))
            sent += 1
            if device.wait_ack(2):
                acked += 1
            elif program.proc.poll() is None:
                failures.append("record %d got no ACK from a live program" % (sent - 1))
                break
        killer.join()
        program.kill()

        expected = b"".join(harness.clean(harness.record(i)) for i in range(acked))
        with open(base + ".txt", "rb") as f:
            stored = f.read()
        nxt = harness.clean(harness.record(acked)) if acked < sent else b""
        print("sent %d, acknowledged %d, capture file %d bytes" % (sent, acked, len(stored)))
        if not stored.startswith(expected):
            failures.append("an acknowledged record is missing or altered in the capture file")
        elif not nxt.startswith(stored[len(expected):]):
            failures.append("the capture file holds more than the records sent")

        # Restart capturing to the same name from the command line: no click.
        program = harness.Program(binary, config, ["--port", "3", "--save", base])
        if not device.wait_open(30):
            failures.append("the restarted program did not open the port")
        device.drain()
        device.send(harness.record(999999))
        if not device.wait_ack(10):
            failures.append("no ACK after the restart")

        def mirrored():
            with open(base + ".txt", "rb") as t, open(base + ".csv", "rb") as c:
                return c.read() == harness.reference_csv(t.read())
        # The first store of a run renders the CSV file anew, in slices.
        harness.wait_until(mirrored, 60, 0.05)
        code = program.terminate()
        if code != 0:
            failures.append("SIGTERM: the window exited with %s, not 0" % code)
        if os.path.exists(device.lock_file()):
            failures.append("the port's lock file was left behind")
        with open(base + ".txt", "rb") as f:
            capture = f.read()
        with open(base + ".csv", "rb") as f:
            csv = f.read()
        if not capture.endswith(harness.clean(harness.record(999999))):
            failures.append("the record after the restart is not at the end of the capture file")
        if csv != harness.reference_csv(capture):
            failures.append("after the restart the CSV file does not mirror the capture file")
        if acked < 10:
            failures.append("too few records acknowledged before the kill (%d)" % acked)
    finally:
        harness.cleanup(work)
    return harness.verdict(failures)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
