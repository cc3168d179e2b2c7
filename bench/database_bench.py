"""The database's cost to the line, and how fast rows reach the table, each
beside a baseline from the same run. The real binary headless, a
pseudo-terminal as the instrument, a throwaway PostgreSQL on loopback that
syncs its commits as a real one does.

    database_bench.py BINARY [--small]
"""

import os
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
import database_test as db  # noqa: E402
import harness  # noqa: E402
from delay_proxy import DelayProxy  # noqa: E402


def report(name, value, unit=""):
    print("%s: %.6g%s" % (name, value, " " + unit if unit else ""), flush=True)


def p99(values):
    return sorted(values)[int(0.99 * (len(values) - 1))]


def peak_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def latencies(device, first, count):
    device.lockstep(20, first)  # warm
    return device.lockstep(count, first + 20)


def main():
    binary = os.path.abspath(sys.argv[1])
    small = "--small" in sys.argv
    records = 100 if small else 3000  # fewer: the p99 is the noise of a few samples
    live = 300 if small else 1500
    backlog = 5000 if small else 100000
    work = tempfile.mkdtemp(prefix="kelmor-dbbench-")
    config = os.path.join(work, "config")
    with open(os.path.join(work, "odbcinst.ini"), "w") as f:
        f.write(db.ODBCINST)
    pg = db.Postgres(work, fsync=True)  # a server as it runs for real
    run = lambda base, database=None, port=3: db.Capture(
        binary, work, config, os.path.join(work, base), database, port)
    in_table = lambda name: int(pg.sql("SELECT count(*) FROM kelmor_records WHERE source LIKE "
                                       "'%%/%s.txt'" % name) or 0)
    # Each row holds the id of the transaction that inserted it.
    commits = lambda name: int(pg.sql("SELECT count(DISTINCT xmin::text) FROM kelmor_records "
                                      "WHERE source LIKE '%%/%s.txt'" % name) or 0)
    try:
        device = harness.Device(config)
        # ETX->ACK without and with the database.
        program = run("plain")
        device.wait_open(30)
        plain = latencies(device, 0, records)
        program.end()
        program = run("with", pg.connection())
        device.wait_open(30)
        withdb = latencies(device, 10000, records)
        pg.freeze(signal.SIGSTOP)
        frozen = latencies(device, 20000, records)
        pg.freeze(signal.SIGCONT)
        program.end()
        for name, values in (("without_database", plain), ("with_database", withdb),
                             ("server_frozen", frozen)):
            report("db_etx_to_ack_p50_us_" + name, statistics.median(values), "us")
            report("db_etx_to_ack_p99_us_" + name, p99(values), "us")
        report("db_with_over_without_p50", statistics.median(withdb) / statistics.median(plain))
        report("db_with_over_without_p99", p99(withdb) / p99(plain))
        report("db_frozen_over_unfrozen_p99", p99(frozen) / p99(withdb))

        # Live at the line's pace, through 10 ms round trips.
        proxy = DelayProxy(pg.port)
        program = run("far", pg.connection(port=proxy.port), port=3)
        device.wait_open(30)
        device.lockstep(1, 29999)
        harness.wait_until(lambda: in_table("far") == 2, 30, 0.1)  # connected, and caught up
        # A pseudo-terminal has no baud rate: each record waits for the time
        # its bytes take at 9600 baud, 8N1.
        started = time.monotonic()
        for i in range(30000, 30000 + live):
            record = harness.record(i)
            device.send(record)
            device.wait_ack(5)
            due = started + (i - 29999) * len(record) * 10 / 9600
            time.sleep(max(0.0, due - time.monotonic()))
        line_rate = live / (time.monotonic() - started)
        behind = live + 2 - in_table("far")
        harness.wait_until(lambda: in_table("far") >= live + 2, 120, 0.1)
        program.end()
        report("db_far_line_records_per_s", line_rate)
        report("db_far_rows_behind_when_the_line_stops", behind)
        report("db_far_commits_per_row", (commits("far") - 1) / live)

        # A backlog: a capture file written while the server was away.
        with open(os.path.join(work, "backlog.txt"), "wb") as f:
            for i in range(backlog):
                f.write(harness.clean(harness.record(i)))
        rows = backlog + 1  # the empty line before the first record
        started = time.monotonic()
        program = run("backlog", pg.connection(), port=4)
        harness.wait_until(lambda: in_table("backlog") >= rows, 600, 0.1)
        drain = rows / (time.monotonic() - started)
        program.end()
        # Baseline: the same rows one autocommitted INSERT each, from one client.
        single = backlog // 20
        script = os.path.join(work, "single.sql")
        with open(script, "w") as f:
            f.write("CREATE TABLE single (n BIGINT PRIMARY KEY, text TEXT);\n")
            for i in range(single):
                f.write("INSERT INTO single VALUES (%d, '%08d 12.5 g OK ');\n" % (i, i))
        os.chmod(script, 0o644)
        started = time.monotonic()
        subprocess.run([*pg.as_user, os.path.join(db.PG_BIN, "psql"), "-q", "-h", "127.0.0.1",
                        "-p", str(pg.port), "-d", "kelmor", "-U", "kelmor", "-f", script],
                       check=True, stdout=subprocess.DEVNULL,
                       env=dict(os.environ, PGPASSWORD="Secret-7"), timeout=600)
        autocommit = single / (time.monotonic() - started)
        report("db_backlog_drain_rows_per_s", drain)
        report("db_single_row_autocommit_rows_per_s", autocommit)
        report("db_drain_over_autocommit", drain / autocommit)
        report("db_backlog_commits_per_row", commits("backlog") / rows)

        # Peak memory: a 1 GiB backlog against an empty one, while draining.
        peaks = {}
        for name, size in (("empty", 0), ("1gib", (8 << 20) if small else (1 << 30))):
            base = os.path.join(work, "mem-" + name)
            with open(base + ".txt", "wb") as f:
                chunk = b"".join(harness.clean(harness.record(i)) for i in range(50000))
                while f.tell() < size:
                    f.write(chunk)
            program = run("mem-" + name, pg.connection(), port=5)
            time.sleep(5 if small else 15)  # a while of draining: memory is sampled after it
            peaks[name] = peak_kib(program.proc.pid)
            program.end()
            os.remove(base + ".txt")
        report("db_peak_kib_backlog_empty", peaks["empty"], "KiB")
        report("db_peak_kib_backlog_" + ("8mib" if small else "1gib"), peaks["1gib"], "KiB")
        report("db_peak_backlog_over_empty", peaks["1gib"] / peaks["empty"])
    finally:
        harness.Program.stop_all()
        pg.freeze(signal.SIGCONT)
        pg.stop()
        harness.cleanup(work)


if __name__ == "__main__":
    main()
