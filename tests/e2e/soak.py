"""Soak: a million records through a pseudo-terminal at full speed into the
real program. Nothing may be lost or doubled, and resident memory must stay
flat. Prints its figures as "name: value" lines.

    xvfb-run -a python3 tests/e2e/soak.py build/kelmor-csv [--records N] [--dir DIR]
"""

import argparse
import os
import sys
import threading
import time

import harness


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("binary")
    parser.add_argument("--records", type=int, default=1_000_000)
    parser.add_argument("--dir", default=None, help="where the files go (default: a temporary folder)")
    parser.add_argument("--stream", action="store_true",
                        help="send without waiting for ACKs (records then share stores)")
    args = parser.parse_args()

    work = harness.workdir()
    config = os.path.join(work, "config")
    out = args.dir or work
    base = os.path.join(out, "soak-%d" % os.getpid())
    device = harness.Device(config)
    program = harness.Program(args.binary, config)
    program.save_as(base)
    device.wait_open(30)

    records = [harness.record(i) for i in range(args.records)]
    expected_size = sum(len(r) for r in records)
    rss = []
    acks = [0]

    def sender():
        if args.stream:
            batch = 1000
            for i in range(0, len(records), batch):
                device.send(b"".join(records[i:i + batch]))
            return
        # Lockstep: every record its own store, answered before the next.
        for r in records:
            device.send(r)
            if not device.wait_ack(10):
                return
            acks[0] += 1

    def reader():
        while args.stream and program.proc.poll() is None and not done.is_set():
            acks[0] += device.drain().count(harness.ACK)
            time.sleep(0.01)

    done = threading.Event()
    start = time.monotonic()
    threads = [threading.Thread(target=sender), threading.Thread(target=reader)]
    for t in threads:
        t.start()
    txt = base + ".txt"
    last_sample = 0.0
    while True:
        size = os.path.getsize(txt) if os.path.exists(txt) else 0
        now = time.monotonic()
        if now - last_sample >= 1.0:
            rss.append((size / expected_size, program.rss_kib()))
            last_sample = now
        if size >= expected_size or program.proc.poll() is not None or now - start > 3600:
            break
        time.sleep(0.05)
    elapsed = time.monotonic() - start
    done.set()
    for t in threads:
        t.join()
    rss.append((1.0, program.rss_kib()))
    alive = program.proc.poll() is None
    program.kill()

    with open(txt, "rb") as f:
        capture = f.read()
    with open(base + ".csv", "rb") as f:
        csv = f.read()
    expected = b"".join(harness.clean(r) for r in records)
    intact = capture == expected
    mirrored = csv == harness.reference_csv(capture)

    def rss_at(fraction):
        return next((kib for done_fraction, kib in rss if done_fraction >= fraction), rss[-1][1])

    print("records: %d" % args.records)
    print("seconds: %.1f" % elapsed)
    print("records_per_s: %.0f" % (args.records / elapsed))
    print("acks_received: %d" % acks[0])
    print("capture_bytes: %d" % len(capture))
    print("capture_exact: %s" % intact)
    print("csv_mirrors_capture: %s" % mirrored)
    print("program_alive_at_end: %s" % alive)
    print("rss_kib_at_10pct: %d" % rss_at(0.1))
    print("rss_kib_at_50pct: %d" % rss_at(0.5))
    print("rss_kib_at_end: %d" % rss[-1][1])
    print("rss_end_over_10pct: %.3f" % (rss[-1][1] / max(1, rss_at(0.1))))
    for path in (txt, base + ".csv"):
        os.remove(path)
    harness.cleanup(work)
    ok = intact and mirrored and alive
    print("1 passed, 0 failed" if ok else "0 passed, 1 failed")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
