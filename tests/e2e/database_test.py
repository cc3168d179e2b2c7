"""Records into a real database through ODBC, with the real binary headless
and pseudo-terminals as instruments: SQLite (no server), then a throwaway
PostgreSQL cluster on loopback. The table must read like the CSV file: every
acknowledged record once, through outages, restarts, kills, frozen servers,
replaced files, another writer, a DBA's rules and a least-privilege role.

    database_test.py BINARY [CHECK ...]   (the checks' names; all by default)
"""

import os
import re
import shutil
import signal
import socket
import sqlite3
import subprocess
import sys
import tempfile
import time

import harness

PG_BIN = "/usr/lib/postgresql/15/bin"
ODBCINST = """[PostgreSQL Unicode]
Driver=psqlodbcw.so
CommLog=0
Debug=0
[SQLite3]
Driver=libsqlite3odbc.so
"""
WAIT = 20  # seconds for anything the program should do by itself


def csv_of(rows):
    """The CSV file the rows read as: a row right after the last one's end
    is the next piece of the same line."""
    out, end = b"", None
    for offset, text in rows:
        text = text.encode("latin-1") if isinstance(text, str) else text
        out += text if offset == end else (b'"\r\n"' if out else b'"') + text
        end = offset + len(text)
    return out + (b'"\r\n' if rows else b"")


def read(path):
    with open(path, "rb") as f:
        return f.read()


class Postgres:
    """A cluster of our own, as the postgres user when we are root. A
    watchdog stops it should this process die without stopping it."""

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
        subprocess.Popen(
            ["setsid", "sh", "-c", "while kill -0 %d 2>/dev/null; do sleep 1; done; "
             "%s %s -D %s -m immediate stop" % (os.getpid(), " ".join(self.as_user),
                                                os.path.join(PG_BIN, "pg_ctl"), self.data)],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
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

    def stop(self, mode="fast"):
        self.run(os.path.join(PG_BIN, "pg_ctl"), "-D", self.data, "-w", "-m", mode, "stop")

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

    def rows(self, where="source NOT LIKE '% #%'", table="kelmor_records"):
        try:
            out = self.sql("SELECT byte_offset, text FROM %s WHERE %s ORDER BY byte_offset"
                           % (table, where))
        except subprocess.CalledProcessError:
            return []  # not made yet
        return [(int(o), t) for o, t in (l.split("|", 1) for l in out.splitlines())]

    def connection(self, port=None, user="kelmor", password="Secret-7"):
        return ("Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=%d;Database=kelmor;"
                "Uid=%s;Pwd=%s" % (port or self.port, user, password))


def Capture(binary, work, config, base, database, port=3, args=()):
    """The real program, headless, capturing from Comm N into base, with
    the test's own ODBC configuration."""
    if database:
        args = ("--database", database, *args)
    return harness.headless(binary, work, config, base, port, args,
                            env=dict(ODBCSYSINI=work, ODBCINI=os.path.join(work, "odbc.ini")))


class CheckFailed(Exception):
    pass


class Check:
    """What every check has at hand. The first failure ends the check and
    the run: a broken writer fails the test in seconds, saying what is
    missing, rather than in CTest's timeout."""

    def __init__(self, binary, work, config, pg, device, failures):
        self.binary, self.work, self.config, self.pg = binary, work, config, pg
        self.device, self.failures = device, failures
        self.first = 0  # record numbers never repeat across checks

    def fail(self, what):
        self.failures.append(what)
        raise CheckFailed(what)

    def capture(self, base, database=None, port=3, args=()):
        program = Capture(self.binary, self.work, self.config, os.path.join(self.work, base),
                          database or self.pg.connection(), port, args)
        device = self.device if port == 3 else self.second
        if not device.wait_open(WAIT):
            self.fail("%s: the port was not opened" % base)
        return program

    def send(self, count, what, device=None):
        got = len((device or self.device).lockstep(count, self.first, 10))
        self.first += count
        if got != count:
            self.fail("%s: record %d got no ACK" % (what, self.first - count + got))

    def arrives(self, what, base, where=None, table="kelmor_records"):
        """The table's rows for the capture file read like its CSV file."""
        where = where or "source LIKE '%%/%s.txt'" % os.path.basename(base)
        path = os.path.join(self.work, base)
        ok = harness.wait_until(lambda: csv_of(self.pg.rows(where, table)) == read(path + ".csv"),
                                WAIT, 0.2)
        if not ok:
            self.fail("%s: the table does not read like the CSV file: %r against %r"
                      % (what, self.pg.rows(where, table)[-4:], read(path + ".csv")[-80:]))
        return ok

    def says(self, program, text, what, times=1):
        if not harness.wait_until(lambda: program.said(text) >= times, WAIT):
            self.fail("%s: never said %r" % (what, text))


def sqlite(binary, work, config, device, failures):
    lite = os.path.join(work, "records.sqlite")
    base = os.path.join(work, "lite")
    program = Capture(binary, work, config, base, "Driver=SQLite3;Database=" + lite)
    device.wait_open(WAIT)
    if len(device.lockstep(5, 0, 10)) != 5:
        failures.append("SQLite: a record got no ACK")

    def rows():
        try:
            with sqlite3.connect(lite) as db:
                return db.execute("SELECT byte_offset, text FROM kelmor_records "
                                  "ORDER BY byte_offset").fetchall()
        except sqlite3.Error:
            return []
    if not harness.wait_until(lambda: csv_of(rows()) == read(base + ".csv"), WAIT):
        failures.append("SQLite: the table does not read like the CSV file: %r" % rows())
    program.end()


def outages(c):
    """Stopped, killed meanwhile, restarted, frozen: every row once."""
    program = c.capture("weigh")
    c.send(20, "server up")
    c.arrives("server up", "weigh")
    c.pg.stop()
    c.send(20, "server stopped")
    c.says(program, "Cannot reach the database", "the outage")
    program.proc.kill()
    program.proc.wait()
    program = c.capture("weigh")
    c.send(5, "restarted during the outage")
    c.says(program, "Cannot reach the database", "the outage after the restart", 2)
    c.pg.start()
    c.arrives("the backlog", "weigh")
    c.says(program, "reachable again", "the server's return")
    c.pg.freeze(signal.SIGSTOP)
    c.send(10, "server frozen")
    c.pg.freeze(signal.SIGCONT)
    c.arrives("the frozen time", "weigh")
    # Replaced behind the program's back: the new file from its start, under #1.
    path = os.path.join(c.work, "weigh")
    with open(path + ".new", "wb") as f:
        f.write(b"\rsomething else entirely")
    os.replace(path + ".new", path + ".txt")
    c.send(4, "replaced file")
    c.says(program, "was replaced or cut", "the replacement")
    c.arrives("after the replacement", "weigh", "source LIKE '%weigh.txt #1'")
    # Restarted while idle: the server's new connection is made silently.
    said = open(program.errors).read()
    c.pg.stop()
    c.pg.start()
    c.send(1, "after a server restart")
    c.arrives("after a server restart", "weigh", "source LIKE '%weigh.txt #1'")
    if open(program.errors).read() != said:
        c.fail("a server restarted while the line was quiet was said: %r"
               % open(program.errors).read()[len(said):])
    # received_at is the store's time, in UTC.
    age = c.pg.sql("SELECT EXTRACT(EPOCH FROM (now() AT TIME ZONE 'UTC') - max(received_at)) "
                   "FROM kelmor_records WHERE source LIKE '%weigh.txt #1'")
    if not 0 <= float(age or -1) < 120:
        c.fail("received_at is %s s from now" % age)
    if program.end() != 0:
        c.fail("SIGTERM did not end it with 0")
    if "Secret-7" in open(program.errors).read():
        c.fail("the password was shown")


def restarts(c):
    """Restarts while the device sends at once, a 10,000-byte line, and a
    second spelling of the path: never a new source, never a row twice."""
    os.symlink(c.work, os.path.join(c.work, "linked"))
    for n in range(6):
        base = "linked/./restart" if n % 2 else "restart"
        program = c.capture(base)
        c.send(3, "restart %d" % n)
        if n == 2:  # the last row, longer than any buffer
            c.device.send(b"\x02" + b"L" * 10000 + b"\x03")
            if not c.device.wait_ack(10):
                c.fail("the long record got no ACK")
        if n % 3 == 0:
            program.proc.kill()
            program.proc.wait()
        elif program.end() != 0:
            c.fail("restart %d: SIGTERM did not end it with 0" % n)
        if program.said("replaced") or program.said("is not the one"):
            c.fail("restart %d: said the file was another" % n)
    program = c.capture("restart")
    c.arrives("restarts", "restart")
    if c.pg.rows("source LIKE '%restart.txt #%'"):
        c.fail("restarts: rows under a new source")
    program.end()


def sources(c):
    """A backslash in --source, and a new file under it each time."""
    source = r"LAB\C:\cap\scale_1%"
    for n in range(3):
        program = c.capture("day%d" % n, args=("--source", source))
        c.send(3, "day %d" % n)
        name = source + ("" if n == 0 else " #%d" % n)
        c.arrives("day %d" % n, "day%d" % n, "source = '%s'" % name.replace("'", "''"))
        program.end()


def two_writers(c):
    """Two programs under one --source lose no row of either; starting
    together, both make the table."""
    args = ("--source", "twin", "--table", "twins")
    a = c.capture("twin-a", args=args)
    b = c.capture("twin-b", port=4, args=args)
    for _ in range(5):
        c.send(1, "twin a")
        c.send(1, "twin b", c.second)
    # Which one notices depends on who comes second: at a key (another
    # capture writes), or at its start (the rows under the source are not
    # its file's).
    noticed = lambda p: p.said("Another capture writes") + p.said("is not the one")
    if not harness.wait_until(lambda: noticed(a) + noticed(b) > 0, WAIT):
        c.fail("two writers: never said")
    want = 11  # 5 records each, and one empty first line that both files have
    rows = lambda: c.pg.rows("true", "twins")
    if not harness.wait_until(lambda: len(rows()) >= want, WAIT):
        c.fail("two writers: %d of %d rows" % (len(rows()), want))
    a.end()
    b.end()


def refusals(c):
    """A DBA's foreign key, a foreign byte, a least-privilege role, a table
    named by a keyword, a DSN with options of its own."""
    c.pg.sql("CREATE TABLE known (source VARCHAR(1024) PRIMARY KEY);"
             "ALTER TABLE kelmor_records ADD CONSTRAINT dba FOREIGN KEY (source) REFERENCES known NOT VALID;"
             "ALTER TABLE known OWNER TO kelmor")
    program = c.capture("fk", args=("--source", "fk"))
    c.send(2, "foreign key")
    c.says(program, "refused the row at byte 0", "the refused row")
    c.pg.sql("INSERT INTO known VALUES ('fk')")
    with open(os.path.join(c.work, "fk.txt"), "ab") as f:
        f.write(b"\rcaf\xe9")  # another program's byte
    c.send(2, "after the foreign key")
    c.arrives("foreign key", "fk", "source = 'fk'")
    program.end()
    c.pg.sql("ALTER TABLE kelmor_records DROP CONSTRAINT dba")

    c.pg.sql("CREATE ROLE writer LOGIN PASSWORD 'W-1';"
             "CREATE TABLE \"user\" (LIKE kelmor_records INCLUDING ALL);"
             "GRANT CONNECT ON DATABASE kelmor TO writer; GRANT USAGE ON SCHEMA public TO writer;"
             "REVOKE CREATE ON SCHEMA public FROM PUBLIC;"
             "GRANT SELECT, INSERT ON kelmor_records, \"user\" TO writer")
    for table in ("kelmor_records", "user"):
        program = c.capture("least-" + table, c.pg.connection(user="writer", password="W-1"),
                            args=("--table", table))
        c.send(2, "least privilege into " + table)
        c.arrives("least privilege into " + table, "least-" + table, table='"%s"' % table)
        program.end()

    c.pg.sql("CREATE SCHEMA lab AUTHORIZATION kelmor")
    with open(os.path.join(c.work, "odbc.ini"), "w") as f:
        f.write("[postgres-lab]\nDriver=PostgreSQL Unicode\nServername=127.0.0.1\nPort=%d\n"
                "Database=kelmor\nPqopt=options=-csearch_path=lab\n" % c.pg.port)
    for form, database in (("DSN", "DSN=postgres-lab;Uid=kelmor;Pwd=Secret-7"),
                           ("string", c.pg.connection() + ";pqopt={application_name=x}")):
        program = c.capture("dsn-" + form, database)
        c.send(2, "DSN " + form)
        table = "lab.kelmor_records" if form == "DSN" else "kelmor_records"
        c.arrives(form + " form", "dsn-" + form, table=table)
        sockets = subprocess.run(["ss", "-tnpo", "dport = :%d" % c.pg.port], capture_output=True,
                                 text=True).stdout
        if not any("pid=%d," % program.proc.pid in l and "keepalive" in l
                   for l in sockets.splitlines()):
            c.fail("%s form: the connection has no keepalives:\n%s" % (form, sockets))
        program.end()


def slow_trigger(c):
    """A backlog whose INSERT takes longer than the query timeout goes in
    smaller statements."""
    c.pg.sql("CREATE TABLE slow (source VARCHAR(1024), byte_offset BIGINT, received_at TIMESTAMP(3),"
             " port VARCHAR(64), text TEXT, PRIMARY KEY (source, byte_offset));"
             "ALTER TABLE slow OWNER TO kelmor; CREATE FUNCTION slow() RETURNS trigger LANGUAGE plpgsql AS "
             "$$BEGIN PERFORM pg_sleep(0.5); RETURN NEW; END$$; CREATE TRIGGER slow BEFORE "
             "INSERT ON slow FOR EACH ROW EXECUTE FUNCTION slow()")
    path = os.path.join(c.work, "slow")
    with open(path + ".txt", "wb") as f:  # 26 rows: 13 s as one statement
        f.write(b"".join(harness.clean(harness.record(i)) for i in range(25)))
    program = c.capture("slow", args=("--table", "slow"))
    c.send(1, "slow trigger")
    if not harness.wait_until(lambda: len(c.pg.rows("true", "slow")) == 27, 60, 0.5):
        c.fail("slow trigger: %d of 27 rows" % len(c.pg.rows("true", "slow")))
    program.end()


def frozen_exit(c):
    """With the server frozen, a stop still ends the program at once."""
    program = c.capture("frozen")
    c.send(2, "before the freeze")
    c.arrives("before the freeze", "frozen")
    c.pg.freeze(signal.SIGSTOP)
    try:
        c.send(3, "frozen")
        # The writer is inside a statement: the frozen server has not read it.
        def unread():
            out = subprocess.run(["ss", "-tnH", "state", "established",
                                  "( sport = :%d )" % c.pg.port], capture_output=True,
                                 text=True).stdout
            return any(int(l.split()[0]) > 0 for l in out.splitlines() if l.split())
        if not harness.wait_until(unread, WAIT, 0.05):
            c.fail("frozen: the writer sent nothing to the frozen server")
        started = time.monotonic()
        code = program.end()
        if code != 0 or time.monotonic() - started > 8:
            c.fail("with a frozen server the stop took %.1f s and gave %s"
                   % (time.monotonic() - started, code))
    finally:
        c.pg.freeze(signal.SIGCONT)


NETNS = "KELMOR_DB_NETNS"


def dead_network(c):
    """A network that goes dead, in a private network namespace whose
    loopback is taken down: noticed in seconds, with a DSN as with a
    connection string, and the rows arrive once it is back."""
    if os.environ.get(NETNS) != "1":
        probe = subprocess.run(["unshare", "--net", "true"], capture_output=True, text=True)
        if probe.returncode != 0:
            print("SKIP dead_network: no private network namespace here (%s)"
                  % probe.stderr.strip())
            return
        inner = subprocess.run(["unshare", "--net", sys.executable, os.path.abspath(__file__),
                                c.binary, "dead_network"], env=dict(os.environ, **{NETNS: "1"}),
                               capture_output=True, text=True, timeout=300)
        print(inner.stdout.strip())
        if inner.returncode != 0:
            c.fail("dead network:\n" + inner.stdout[-3000:] + inner.stderr[-1000:])
        return
    with open(os.path.join(c.work, "odbc.ini"), "w") as f:
        f.write("[lab-dead]\nDriver=PostgreSQL Unicode\nServername=127.0.0.1\nPort=%d\n"
                "Database=kelmor\n" % c.pg.port)
    loopback = lambda state: subprocess.run(["ip", "link", "set", "lo", state], check=True)
    for form, database in (("string", c.pg.connection()),
                           ("DSN", "DSN=lab-dead;Uid=kelmor;Pwd=Secret-7")):
        program = c.capture("dead-" + form, database)
        c.send(2, form)
        c.arrives(form, "dead-" + form)
        loopback("down")
        started = time.monotonic()
        c.send(1, form + " with the network dead")  # stored and acknowledged all the same
        said = harness.wait_until(lambda: program.said("Cannot reach the database") > 0, 60)
        took = time.monotonic() - started
        print("dead network, %s form: said after %.1f s" % (form, took))
        loopback("up")
        if not said or took > 30:
            c.fail("dead network, %s form: %s" % (form, "said after %.1f s" % took if said
                                                  else "not noticed in 60 s"))
        c.arrives(form + " after the network is back", "dead-" + form)
        program.end()


def store_times(c):
    """A backlog sent after an outage and a restart: each row's received_at
    is its line's store time from the journal beside the capture file, not
    the restart's and not the file's."""
    c.pg.stop()
    program = c.capture("times")
    c.send(6, "server stopped")
    if program.end() != 0:
        c.fail("SIGTERM did not end it with 0")
    program = c.capture("times")
    c.pg.start()
    c.arrives("the backlog", "times")
    stores = []
    with open(os.path.join(c.work, ".times.txt.kelmor-times")) as journal:
        for line in journal.read().splitlines()[1:]:
            if line.startswith("c "):  # the CSV file's record at a clean stop
                continue
            end, length, ms = line.split()[:3]
            stores.append((int(end) - int(length), int(end), int(ms)))
    rows = c.pg.sql("SELECT byte_offset, round(EXTRACT(EPOCH FROM received_at) * 1000) "
                    "FROM kelmor_records WHERE source LIKE '%/times.txt'").split()
    for offset, ms in (row.split("|") for row in rows):
        want = [t for start, end, t in stores if start <= int(offset) < end]
        if want != [int(float(ms))]:
            c.fail("the row at %s has received_at %s ms, the journal says %s"
                   % (offset, ms, want))
    if len({ms for _, _, ms in stores}) < 2:
        c.fail("the stores all have one time: nothing told apart")
    program.end()


CHECKS = [outages, restarts, sources, store_times, two_writers, refusals, slow_trigger,
          frozen_exit, dead_network]


def main(binary, names):
    if os.environ.get(NETNS) == "1":  # a namespace of our own: its loopback starts down
        subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    work = tempfile.mkdtemp(prefix="kelmor-db-")
    config = os.path.join(work, "config")
    with open(os.path.join(work, "odbcinst.ini"), "w") as f:
        f.write(ODBCINST)
    failures = []
    pg = None
    try:
        device = harness.Device(config)
        if not names or "sqlite" in names:
            sqlite(binary, work, config, device, failures)
        pg = Postgres(work)
        c = Check(binary, work, config, pg, device, failures)
        c.second = harness.Device(config, 4)
        for check in CHECKS:
            if names and check.__name__ not in names:
                continue
            before = len(failures)
            started = time.monotonic()
            try:
                check(c)
            except CheckFailed:
                pass
            except Exception as e:  # a check that broke
                failures.append("%s: %s: %s" % (check.__name__, type(e).__name__, e))
            print("%s: %s in %.1f s" % (check.__name__, "ok" if len(failures) == before else
                                        "FAILED", time.monotonic() - started), flush=True)
            harness.Program.stop_all()
            if failures:
                break
    finally:
        harness.Program.stop_all()
        if pg is not None:
            try:
                pg.freeze(signal.SIGCONT)
                pg.stop("immediate")
            except Exception:
                pass
        for name in sorted(os.listdir(work)):
            if name.startswith("stderr-") and failures:
                print("--- " + name + "\n" + open(os.path.join(work, name)).read())
        harness.cleanup(work)
    return harness.verdict(failures)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2:]))
