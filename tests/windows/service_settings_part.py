"""The capture service and the installer under Wine, where they must say
the truth: names with %NAME% captured into exactly those names, a stop that
finishes the CSV file, a name another service captures into refused, a port
our own capture holds reported, and silent installs that cannot do what
they were asked failing with an exit code. """

import os
import subprocess

import harness
import wine as w


def _records(n, first=0):
    return b"".join(harness.clean(harness.record(i)) for i in range(first, first + n))


def service_settings(wine, exe, work, failures):
    folder = os.path.join(work, "cap dir")
    os.makedirs(folder)
    line = w.line_as_com(wine, 3)
    subprocess.run(["wineserver", "-p"], env=wine.env, check=True)
    try:
        # %OS% and %PATH% stay as they are; a large file's CSV is finished at the stop.
        big = _records(250000)  # 5 MB: the first store renders the CSV file anew in slices
        for name, first in (("50%OS%x", 100), ("100%PATH%", 200)):
            base = os.path.join(folder, name)
            with open(base + ".txt", "wb") as f:
                f.write(big)
            with open(base + ".csv", "wb") as f:
                f.write(harness.reference_csv(big))
            code, out = wine.run(exe, "--install-service", "--port", "3", "--save",
                                 wine.windows_path(base))
            if code != 0 or "It is running and captures from Comm 3" not in out:
                failures.append("install into %s: exit %d, %r" % (name, code, out))
            if not line.wait_open(60) or len(line.lockstep(1, first)) != 1:
                failures.append("%s: the record got no ACK" % name)
            wine.run("sc", "stop", "kelmor-csv-comm3")
            if not w.wait_state(wine, "kelmor-csv-comm3", "STOPPED"):
                failures.append("%s: sc stop left it %s" % (name, w.service_state(
                    wine, "kelmor-csv-comm3")))
            want = big + harness.clean(harness.record(first))
            got = open(base + ".txt", "rb").read() if os.path.exists(base + ".txt") else b""
            if got != want:
                failures.append("%s: the capture file is not the one named (%s)"
                                % (name, sorted(os.listdir(folder))))
            elif open(base + ".csv", "rb").read() != harness.reference_csv(want):
                failures.append("%s: after the stop the CSV file lacks the record" % name)
            code, out = wine.run(exe, "--remove-service", "3")
            if code != 0:
                failures.append("remove after %s: exit %d, %r" % (name, code, out))

        # A name another service captures into; a port our own capture holds.
        same = wine.windows_path(os.path.join(folder, "same"))
        code, out = wine.run(exe, "--install-service", "--port", "3", "--save", same)
        code, out = wine.run(exe, "--install-service", "--port", "4", "--save", same)
        if code == 0 or "the service kelmor-csv-comm3 captures into" not in out:
            failures.append("a second service into the same name: exit %d, %r" % (code, out))
        wine.run(exe, "--remove-service", "3")
        line5 = w.line_as_com(wine, 5)
        proc = wine.start(exe, "--headless", "--port", "5", "--save",
                          wine.windows_path(os.path.join(work, "held")))
        if not line5.wait_open(60):
            failures.append("--headless did not open COM5")
        code, out = wine.run(exe, "--install-service", "--port", "5", "--save",
                             wine.windows_path(os.path.join(folder, "comm5")))
        if "does not capture yet" not in out or "in use" not in out:
            failures.append("install on a port our capture holds: exit %d, %r" % (code, out))
        proc.kill()
        wine.run(exe, "--remove-service", "5")
    finally:
        wine.kill()


def installer_failures(wine, exe, work, failures):
    build = os.path.dirname(exe)
    setup = os.path.join(build, [f for f in os.listdir(build) if f.endswith("-setup.exe")][0])
    subprocess.run(["wineserver", "-p"], env=wine.env, check=True)
    files = os.path.join(work, "svc")
    try:
        for bad in ("16", "0", "abc"):
            code, out = wine.run(setup, "/S", "/SERVICE=" + bad,
                                 "/SERVICEFOLDER=" + wine.windows_path(files), timeout=300)
            if code != 2 or os.path.exists(files) or w.service_state(
                    wine, "kelmor-csv-comm%s" % bad) is not None:
                failures.append("/SERVICE=%s: exit %d, folder made %s" % (
                    bad, code, os.path.exists(files)))
        line = w.line_as_com(wine, 6)
        # A folder a user made before: it is locked down too (Wine's icacls
        # changes nothing, but a failing one would fail the install).
        os.makedirs(files)
        code, out = wine.run(setup, "/S", "/SERVICE=6",
                             "/SERVICEFOLDER=" + wine.windows_path(files), timeout=300)
        if code != 0 or not w.wait_state(wine, "kelmor-csv-comm6", "RUNNING"):
            failures.append("/SERVICE=6: exit %d, %s" % (code, w.service_state(
                wine, "kelmor-csv-comm6")))
        # The same port with another folder is refused, and says so.
        code, out = wine.run(setup, "/S", "/SERVICE=6",
                             "/SERVICEFOLDER=" + wine.windows_path(files + "2"), timeout=300)
        if code != 5:
            failures.append("a second /SERVICE=6 elsewhere: exit %d" % code)
        # An upgrade over the running service: stopped, replaced, started again.
        before = w.service_processes(6)
        code, out = wine.run(setup, "/S", timeout=300)
        if code != 0 or not w.wait_state(wine, "kelmor-csv-comm6", "RUNNING") or \
                w.service_processes(6) == before:
            failures.append("an upgrade over the running service: exit %d, %s, processes %s"
                            " then %s" % (code, w.service_state(wine, "kelmor-csv-comm6"),
                                          before, w.service_processes(6)))
        if not line.wait_open(60) or len(line.lockstep(1)) != 1:
            failures.append("after the upgrade the service does not capture")
        folder = os.path.join(wine.prefix, "drive_c", "Program Files", "KELMOR CSV File Creator")
        wine.run(os.path.join(folder, "uninstall.exe"), "/S", timeout=300)
        harness.wait_until(lambda: not os.path.exists(folder), 120, 0.2)
    finally:
        wine.kill()
