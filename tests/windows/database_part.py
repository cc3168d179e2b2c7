"""Records from COM3 into PostgreSQL through Wine's ODBC."""

import os
import shutil

import harness
from wine import line_as_com, window_of


def database_test(wine, exe, work, failures):
    """Records from COM3 into a throwaway PostgreSQL through Wine's ODBC,
    which hands every call to the machine's own driver manager."""
    import database_test as db  # the Linux test's server and reading of rows
    if shutil.which("runuser") is None or not os.path.exists(db.PG_BIN):
        print("SKIP: no PostgreSQL here for the database under Wine")
        return
    with open(os.path.join(work, "odbcinst.ini"), "w") as f:
        f.write(db.ODBCINST)
    wine.env["ODBCSYSINI"] = work
    pg = db.Postgres(work)
    base = os.path.join(work, "out", "db")
    line = line_as_com(wine)
    proc = wine.start(exe, "--port", "3", "--save", wine.windows_path(base), "--database",
                      pg.connection())
    try:
        window_of("^KELMOR CSV File Creator$")
        if not line.wait_open(60) or len(line.lockstep(10, 500)) != 10:
            failures.append("database under Wine: records were not acknowledged")
        in_table = lambda: os.path.exists(base + ".csv") and \
            db.csv_of(pg.rows()) == open(base + ".csv", "rb").read()
        if not harness.wait_until(in_table, 60, 0.2):
            failures.append("database under Wine: the table does not read like the CSV file: %r"
                            % pg.rows()[:3])
    finally:
        proc.kill()
        wine.kill()
        pg.stop()
