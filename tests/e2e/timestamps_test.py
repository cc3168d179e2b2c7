"""Times and fields end to end, in a time zone the machine is not in: each
record's line carries the local time of its store, between sending the
record and reading its ACK, and its fields in columns. A kill -9 (once the
journal has taken the stores) and a restart render the CSV file anew; a
clean stop and a restart go on in the same file. Either way the old lines
keep their original times."""

import datetime
import os
import re
import sys
import time

import harness

# UTC+5:45 as a POSIX rule: no zone database needed, and no machine is in it.
ZONE = "KLM-5:45"
OFFSET = datetime.timezone(datetime.timedelta(hours=5, minutes=45))
LINE = re.compile(rb'"([^"]*)","S","(\d+)","g"\r\n')


def local(seconds: float) -> str:
    moment = datetime.datetime.fromtimestamp(seconds, OFFSET)
    return moment.strftime("%Y-%m-%d %H:%M:%S.") + "%03d" % (moment.microsecond // 1000)


def lines(path: str) -> dict:
    """Record number -> its time, from the CSV file (made after the ACK)."""
    try:
        with open(path, "rb") as f:
            return {int(n): t.decode() for t, n in LINE.findall(f.read())}
    except FileNotFoundError:
        return {}


def journaled(base: str) -> int:
    """How many stores the journal beside the capture file holds so far."""
    path = os.path.join(os.path.dirname(base), "." + os.path.basename(base) + ".txt.kelmor-times")
    try:
        with open(path) as f:
            return sum(1 for line in f.read().splitlines()[1:] if not line.startswith("c "))
    except FileNotFoundError:
        return 0


def main(binary: str) -> int:
    failures = []
    with harness.workspace() as work:
        config = os.path.join(work, "config")
        device = harness.Device(config)
        base = os.path.join(work, "weighings")
        csv = base + ".csv"
        args = ["--timestamps", "--fields"]
        env = {"TZ": ZONE}
        windows = {}

        def capture(first: int, count: int):
            program = harness.headless(binary, work, config, base, args=args, env=env)
            if not device.wait_open(30):
                raise RuntimeError("the port was not opened")
            for n in range(first, first + count):
                sent = time.time()
                device.send(b"\x02S\x1c%d\x1cg\x03" % n)
                if not device.wait_ack(10):
                    raise RuntimeError("no ACK for record %d" % n)
                windows[n] = (local(int(sent * 1000) / 1000), local(time.time()))
                if not harness.wait_until(lambda: n in lines(csv), 10):
                    raise RuntimeError("record %d never reached the CSV file" % n)
            return program

        try:
            program = capture(0, 3)
            first = lines(csv)
            for n, (low, high) in windows.items():
                if not low <= first[n] <= high:
                    failures.append("record %d: %s is not between %s and %s"
                                    % (n, first[n], low, high))

            for how in ("kill -9", "a clean stop"):
                before = os.stat(csv).st_ino
                if how == "kill -9":
                    # The journal takes a store's line within a second: those
                    # written before the kill are what must survive it.
                    if not harness.wait_until(lambda: journaled(base) >= len(windows), 10):
                        failures.append("the journal did not take every store in time")
                    program.kill()
                elif program.terminate() != 0:
                    failures.append("the clean stop did not exit with 0")
                program = capture(len(windows), 1)
                now = lines(csv)
                kept = {n: now.get(n) for n in first}
                if kept != first:
                    failures.append("after %s the old lines read %s, not %s" % (how, kept, first))
                rebuilt = os.stat(csv).st_ino != before
                if rebuilt != (how == "kill -9"):
                    failures.append("after %s the CSV file was %s" %
                                    (how, "rendered anew" if rebuilt else "continued"))
                first = now
            program.terminate()
        except RuntimeError as e:
            failures.append(str(e))
    return harness.verdict(failures)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
