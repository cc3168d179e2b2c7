"""A stop leaves both files whole: with a capture file large enough that
the run's first store renders the CSV file anew in many slices, one record
is acknowledged, then at once SIGTERM, SIGINT or SIGHUP. The program ends
with 0, and the CSV file holds every line of the capture file."""

import os
import signal
import sys

import harness


def main(binary: str) -> int:
    failures = []
    body = b"".join(harness.clean(harness.record(i)) for i in range(1000000))  # 20 MB
    csv = harness.reference_csv(body)
    with harness.workspace() as work:
        config = os.path.join(work, "config")
        device = harness.Device(config)
        for n, sig in enumerate((signal.SIGTERM, signal.SIGINT, signal.SIGHUP)):
            base = os.path.join(work, "big-%d" % sig)
            with open(base + ".txt", "wb") as f:
                f.write(body)
            with open(base + ".csv", "wb") as f:
                f.write(csv)
            program = harness.headless(binary, work, config, base)
            if not device.wait_open(30):
                failures.append("%s: the port was not opened" % sig.name)
                break
            record = harness.record(2000000 + n)
            device.send(record)
            if not device.wait_ack(10):
                failures.append("%s: no ACK" % sig.name)
            code = program.end(sig)
            with open(base + ".csv", "rb") as f:
                got = f.read()
            want = csv + b'"' + harness.clean(record)[1:] + b'"\r\n'
            if code != 0 or got != want:
                failures.append("%s: exit %s, the CSV file ends %r, not %r"
                                % (sig.name, code, got[-60:], want[-60:]))
    return harness.verdict(failures)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
