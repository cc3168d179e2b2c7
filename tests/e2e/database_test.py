"""Records into a real database through ODBC, with the real binary headless
and a pseudo-terminal as the instrument: SQLite (no server), then a throwaway
PostgreSQL cluster on loopback. The table must read like the CSV file; a
stopped, restarted or frozen server must delay no ACK and lose or double no
row, also across a kill -9; a bad connection string is said once."""

import os
import shutil
import signal
import socket
import sqlite3
import subprocess
import sys
import tempfile

import harness

PG_BIN = "/usr/lib/postgresql/15/bin"
ODBCINST = """[PostgreSQL Unicode]
Driver=psqlodbcw.so
CommLog=0
Debug=0
[SQLite3]
Driver=libsqlite3odbc.so
"""


def csv_of(rows):
    """The CSV file the rows read as: a row right after the last one's end
    is the next piece of the same line."""
    out, end = b"", None
    for offset, text in rows:
        text = text.encode() if isinstance(text, str) else text
        out += text if offset == end else (b'"\r\n"' if out else b'"') + text
        end = offset + len(text)
    return out + (b'"\r\n' if rows else b"")


class Postgres:
    """A cluster of our own, as the postgres user when we are root."""

    def __init__(self, work, fsync=False):
        self.fsync = fsync
        self.dir = os.path.join(work, "pg")
        os.makedirs(self.dir)
        os.chmod(work, 0o755)
        self.as_user = []
        if os.geteuid() == 0:
            shutil.chown(self.dir, "postgres", "postgres")
            self.as_user = ["runuser", "-u", "postgres", "--"]
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            self.port = s.getsockname()[1]
        self.run(os.path.join(PG_BIN, "initdb"), "-D", self.data, "-U", "postgres",
                 "--auth-local=trust", "--auth-host=scram-sha-256")
        self.start()
        self.sql("CREATE ROLE kelmor LOGIN PASSWORD 'Secret-7'", "postgres")
        self.sql("CREATE DATABASE kelmor OWNER kelmor", "postgres")

    @property
    def data(self):
        return os.path.join(self.dir, "data")

    def run(self, *args):
        subprocess.run([*self.as_user, *args], check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=120)

    def start(self):
        self.run(os.path.join(PG_BIN, "pg_ctl"), "-D", self.data, "-w", "-l",
                 os.path.join(self.dir, "log"), "-o",
                 "-c listen_addresses=127.0.0.1 -p %d -k %s -c fsync=%s"
                 % (self.port, self.dir, "on" if self.fsync else "off"),
                 "start")

    def stop(self):
        self.run(os.path.join(PG_BIN, "pg_ctl"), "-D", self.data, "-w", "-m", "fast", "stop")

    def processes(self):
        with open(os.path.join(self.data, "postmaster.pid")) as f:
            main = int(f.readline())
        pids = [main]
        for entry in os.listdir("/proc"):
            if entry.isdigit():
                try:
                    with open("/proc/%s/stat" % entry) as f:
                        if int(f.read().rsplit(")", 1)[1].split()[1]) == main:
                            pids.append(int(entry))
                except (OSError, IndexError, ValueError):
                    pass
        return pids

    def freeze(self, sig):
        for pid in reversed(self.processes()):  # the postmaster last
            try:
                os.kill(pid, sig)
            except ProcessLookupError:
                pass  # a backend that ended meanwhile

    def sql(self, query, db="kelmor"):
        return subprocess.run([*self.as_user, os.path.join(PG_BIN, "psql"), "-h", self.dir, "-p",
                               str(self.port), "-d", db, "-U", "postgres", "-At", "-c", query],
                              check=True, capture_output=True, text=True, timeout=60).stdout

    def rows(self, where="source NOT LIKE '% #%'"):
        try:
            out = self.sql("SELECT byte_offset, text FROM kelmor_records WHERE %s "
                           "ORDER BY byte_offset" % where)
        except subprocess.CalledProcessError:
            return []  # not made yet
        return [(int(o), t) for o, t in (l.split("|", 1) for l in out.splitlines())]

    def connection(self, port=None):
        return ("Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=%d;Database=kelmor;"
                "Uid=kelmor;Pwd=Secret-7" % (port or self.port))


class Capture:
    started = []  # every program, so that none outlives the test

    def __init__(self, binary, work, config, base, database, port=3):
        self.errors = os.path.join(work, "stderr-%s.txt" % os.path.basename(base))
        env = {k: v for k, v in os.environ.items()
               if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
        env.update(XDG_CONFIG_HOME=config, ODBCSYSINI=work)
        with open(self.errors, "a") as errors:
            self.proc = subprocess.Popen([binary, "--headless", "--port", str(port), "--save", base,
                                          "--database", database], env=env,
                                         stdout=subprocess.DEVNULL, stderr=errors)
        Capture.started.append(self.proc)

    def said(self, text):
        with open(self.errors) as f:
            return f.read().count(text)

    def end(self):
        self.proc.terminate()
        return self.proc.wait(30)


def lockstep(device, first, count, failures, what):
    for i in range(first, first + count):
        device.send(harness.record(i))
        if not device.wait_ack(10):
            failures.append("%s: record %d got no ACK" % (what, i))
            return
    return first + count


def read(path):
    with open(path, "rb") as f:
        return f.read()


def main(binary):
    work = tempfile.mkdtemp(prefix="kelmor-db-")
    config = os.path.join(work, "config")
    with open(os.path.join(work, "odbcinst.ini"), "w") as f:
        f.write(ODBCINST)
    failures = []
    pg = None
    try:
        device = harness.Device(config)

        # SQLite: no server at all.
        lite = os.path.join(work, "records.sqlite")
        base = os.path.join(work, "lite")
        program = Capture(binary, work, config, base, "Driver=SQLite3;Database=" + lite)
        device.wait_open(30)
        lockstep(device, 0, 5, failures, "SQLite")

        def lite_rows():
            try:
                with sqlite3.connect(lite) as db:
                    return db.execute("SELECT byte_offset, text FROM kelmor_records "
                                      "ORDER BY byte_offset").fetchall()
            except sqlite3.Error:
                return []
        if not harness.wait_until(lambda: csv_of(lite_rows()) == read(base + ".csv"), 60):
            failures.append("SQLite: the table does not read like the CSV file: %r" % lite_rows())
        program.end()

        # PostgreSQL: a real server.
        pg = Postgres(work)
        base = os.path.join(work, "weigh")
        program = Capture(binary, work, config, base, pg.connection())
        device.wait_open(30)
        n = lockstep(device, 100, 20, failures, "server up")
        in_table = lambda: csv_of(pg.rows()) == read(base + ".csv")
        if not harness.wait_until(in_table, 60, 0.2):
            failures.append("the table does not read like the CSV file")

        pg.stop()
        n = lockstep(device, n, 20, failures, "server stopped")
        if not harness.wait_until(lambda: program.said("Cannot reach the database") == 1, 60):
            failures.append("the outage was not said once")
        # Killed during the outage, started again: the rows wait in the file.
        program.proc.kill()
        program.proc.wait()
        program = Capture(binary, work, config, base, pg.connection())
        device.wait_open(30)
        n = lockstep(device, n, 5, failures, "restarted during the outage")
        pg.start()
        if not harness.wait_until(in_table, 120, 0.2):
            failures.append("the backlog did not arrive exactly once")
        if not harness.wait_until(lambda: program.said("reachable again") == 1, 60):
            failures.append("the return of the server was not said")

        # A frozen server delays no ACK.
        pg.freeze(signal.SIGSTOP)
        n = lockstep(device, n, 10, failures, "server frozen")
        pg.freeze(signal.SIGCONT)
        if not harness.wait_until(in_table, 120, 0.2):
            failures.append("the rows from the frozen time did not arrive")
        # The capture file replaced behind the program's back: said once, and
        # its rows go on under a new source from its end.
        with open(base + ".new", "wb") as f:
            f.write(b"\rsomething else entirely")
        os.replace(base + ".new", base + ".txt")
        n = lockstep(device, n, 1, failures, "replaced file")
        if not harness.wait_until(lambda: program.said("was replaced or cut") == 1, 60):
            failures.append("the replaced capture file was not said")
        lockstep(device, n, 3, failures, "after the replacement")
        later = b"".join(harness.clean(harness.record(i)) for i in range(n, n + 3))
        newer = lambda: pg.rows("source LIKE '% #1'")
        if not harness.wait_until(lambda: "".join(t for _, t in newer()) ==
                                  later.replace(b"\r", b"").decode(), 60, 0.2):
            failures.append("rows after the replacement: %r" % newer())
        if program.end() != 0:
            failures.append("SIGTERM did not end it with 0")
        if "Secret-7" in open(program.errors).read():
            failures.append("the password was shown")

        # Nothing listens there: said once, and capture goes on.
        bad = Capture(binary, work, config, os.path.join(work, "bad"), pg.connection(port=1))
        device.wait_open(30)
        lockstep(device, 900, 3, failures, "bad connection")
        if not harness.wait_until(lambda: bad.said("Cannot reach the database") == 1, 30):
            failures.append("a bad connection string was not said once")
        bad.end()
        print(open(program.errors).read() + open(bad.errors).read())
    finally:
        for proc in Capture.started:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
        if pg is not None:
            try:
                pg.freeze(signal.SIGCONT)
                pg.stop()
            except Exception:
                pass
        harness.cleanup(work)
    return harness.verdict(failures)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
