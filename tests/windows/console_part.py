"""--headless at a console."""

import os
import subprocess

import harness
from wine import line_as_com, wait_timed_fields, xdotool


def headless_test(wine, exe, work, failures):
    """--headless at a console, as under Task Scheduler: it captures without a
    window, writes its errors to standard error or, with none, to NAME.log,
    and taskkill (without /F) ends it cleanly. With --timestamps --fields the
    CSV file has each record's time and fields, and the journal beside the
    capture file is hidden."""
    base = os.path.join(work, "headless", "h")
    os.makedirs(os.path.dirname(base))
    line = line_as_com(wine, 5)
    # No standard error at all: the first error (a port that is not there,
    # Comm 6) goes to the log file beside the capture files.
    proc = subprocess.Popen(["wine", exe, "--headless", "--port", "6", "--save",
                             wine.windows_path(base)], env=wine.env, cwd=work,
                            stdout=subprocess.DEVNULL, preexec_fn=lambda: os.close(2))
    logged = lambda: os.path.exists(base + ".log") and "Comm 6" in open(base + ".log").read()
    if not harness.wait_until(logged, 60, 0.1):
        failures.append("--headless without standard error logged nothing in %s.log" % base)
    proc.kill()
    proc = wine.start(exe, "--headless", "--port", "5", "--save", wine.windows_path(base),
                      "--timestamps", "--fields")
    try:
        if not line.wait_open(60) or len(line.lockstep(3)) != 3:
            failures.append("--headless did not capture")
        elif not wait_timed_fields(base, 3):
            failures.append("--timestamps --fields: the CSV file is %r" % open(base + ".csv").read())
        journal = os.path.join(os.path.dirname(base), ".h.txt.kelmor-times")
        _, attributes = wine.run("cmd", "/c", "attrib", wine.windows_path(journal))
        if "H" not in attributes.split("C:")[0]:
            failures.append("the journal is not hidden: attrib says %r" % attributes)
        if xdotool("search", "--onlyvisible", "--name", "KELMOR", check=False).strip():
            failures.append("--headless showed a window")
        wine.run("taskkill", "/im", "kelmor-csv.exe")
        try:
            code = proc.wait(30)
        except subprocess.TimeoutExpired:
            code = None
        if code != 0 or line.connected():
            failures.append("--headless after taskkill: exit %s, port open %s"
                            % (code, line.connected()))
    finally:
        proc.kill()
        wine.kill()
    if open(base + ".txt", "rb").read() != b"".join(harness.clean(harness.record(i))
                                                    for i in range(3)):
        failures.append("--headless capture file is %r" % open(base + ".txt", "rb").read())
