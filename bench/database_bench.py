"""The database's cost to the line, and how fast a backlog drains, each
beside a baseline from the same run. The real binary headless, a
pseudo-terminal as the instrument, a throwaway PostgreSQL on loopback.

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


def report(name, value, unit=""):
    print("%s: %.6g%s" % (name, value, " " + unit if unit else ""))


def p99(values):
    return sorted(values)[int(0.99 * (len(values) - 1))]


def peak_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


class Run:
    started = []

    def __init__(self, binary, work, config, base, database=None, port=3):
        env = {k: v for k, v in os.environ.items()
               if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
        env.update(XDG_CONFIG_HOME=config, ODBCSYSINI=work)
        args = [binary, "--headless", "--port", str(port), "--save", base]
        if database:
            args += ["--database", database]
        self.proc = subprocess.Popen(args, env=env, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        Run.started.append(self.proc)

    def end(self):
        self.proc.terminate()
        self.proc.wait(30)


def latencies(device, first, count):
    device.lockstep(20, first)  # warm
    return device.lockstep(count, first + 20)


def main():
    binary = os.path.abspath(sys.argv[1])
    small = "--small" in sys.argv
    records = 100 if small else 500
    backlog = 5000 if small else 100000
    work = tempfile.mkdtemp(prefix="kelmor-dbbench-")
    config = os.path.join(work, "config")
    with open(os.path.join(work, "odbcinst.ini"), "w") as f:
        f.write(db.ODBCINST)
    pg = db.Postgres(work, fsync=True)  # a server as it runs for real
    try:
        device = harness.Device(config)
        # ETX->ACK without and with the database.
        run = Run(binary, work, config, os.path.join(work, "plain"))
        device.wait_open(30)
        plain = latencies(device, 0, records)
        run.end()
        run = Run(binary, work, config, os.path.join(work, "with"), pg.connection())
        device.wait_open(30)
        withdb = latencies(device, 10000, records)
        pg.freeze(signal.SIGSTOP)
        frozen = latencies(device, 20000, records)
        pg.freeze(signal.SIGCONT)
        run.end()
        for name, values in (("without_database", plain), ("with_database", withdb),
                             ("server_frozen", frozen)):
            report("db_etx_to_ack_p50_us_" + name, statistics.median(values), "us")
            report("db_etx_to_ack_p99_us_" + name, p99(values), "us")
        report("db_with_over_without_p50", statistics.median(withdb) / statistics.median(plain))
        report("db_with_over_without_p99", p99(withdb) / p99(plain))
        report("db_frozen_over_unfrozen_p99", p99(frozen) / p99(withdb))

        # A backlog: a capture file written while the server was away.
        base = os.path.join(work, "backlog")
        with open(base + ".txt", "wb") as f:
            for i in range(backlog):
                f.write(harness.clean(harness.record(i)))
        rows = backlog + 1  # the empty line before the first record
        count = lambda: int(pg.sql("SELECT count(*) FROM kelmor_records WHERE source LIKE "
                                   "'%backlog.txt'") or 0)
        started = time.monotonic()
        run = Run(binary, work, config, base, pg.connection(), port=4)
        harness.wait_until(lambda: count() >= rows, 600, 0.1)
        drain = rows / (time.monotonic() - started)
        run.end()
        # Baseline: the same rows one autocommitted INSERT each, from one client.
        single = backlog // 20
        script = os.path.join(work, "single.sql")
        with open(script, "w") as f:
            f.write("CREATE TABLE single (n BIGINT PRIMARY KEY, text TEXT);\n")
            for i in range(single):
                f.write("INSERT INTO single VALUES (%d, '%08d 12.5 g OK ');\n" % (i, i))
        os.chmod(work, 0o755)
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

        # Peak memory: a 1 GiB backlog against an empty one, while draining.
        peaks = {}
        for name, size in (("empty", 0), ("1gib", (8 << 20) if small else (1 << 30))):
            base = os.path.join(work, "mem-" + name)
            with open(base + ".txt", "wb") as f:
                chunk = b"".join(harness.clean(harness.record(i)) for i in range(50000))
                while f.tell() < size:
                    f.write(chunk)
            run = Run(binary, work, config, base, pg.connection(), port=5)
            time.sleep(5 if small else 15)  # a while of draining: memory is sampled after it
            peaks[name] = peak_kib(run.proc.pid)
            run.end()
            os.remove(base + ".txt")
        report("db_peak_kib_backlog_empty", peaks["empty"], "KiB")
        report("db_peak_kib_backlog_" + ("8mib" if small else "1gib"), peaks["1gib"], "KiB")
        report("db_peak_backlog_over_empty", peaks["1gib"] / peaks["empty"])
    finally:
        for proc in Run.started:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
        pg.freeze(signal.SIGCONT)
        pg.stop()
        harness.cleanup(work)


if __name__ == "__main__":
    main()
