"""The installer and the uninstaller."""

import os
import subprocess

import harness
from wine import line_as_com, service_state, wait_timed_fields


def installer_test(wine, exe, work, failures):
    """A silent install that also installs the capture service for Comm 7,
    both with the CSV file's time and fields chosen, records through it, and
    the uninstall that removes it with the rest."""
    build = os.path.dirname(exe)
    setup = [f for f in os.listdir(build) if f.endswith("-setup.exe")]
    if not setup:
        failures.append("no installer was built")
        return
    files = os.path.join(work, "installed service")
    line = line_as_com(wine, 7)
    subprocess.run(["wineserver", "-p"], env=wine.env, check=True)
    code, out = wine.run(os.path.join(build, setup[0]), "/S", "/TIMESTAMPS", "/FIELDS", "/SERVICE=7",
                         "/SERVICEFOLDER=" + wine.windows_path(files), timeout=300)
    folder = os.path.join(wine.prefix, "drive_c", "Program Files", "KELMOR CSV File Creator")
    menu = os.path.join(wine.prefix, "drive_c", "ProgramData", "Microsoft", "Windows",
                        "Start Menu", "Programs", "KELMOR CSV File Creator")
    installed = os.path.join(folder, "kelmor-csv.exe")
    # A 32-bit installer fails on 64-bit Wine while wine exits 0: look.
    if not os.path.exists(installed):
        failures.append("install: no %s (exit %d, %r)" % (installed, code, out[-500:]))
        wine.kill()
        return
    if open(installed, "rb").read() != open(os.path.join(build, "kelmor-csv.exe"), "rb").read():
        failures.append("install: the installed program is not the one built")
    shortcut = os.path.join(menu, "KELMOR CSV File Creator.lnk")
    if not os.path.exists(shortcut):
        failures.append("install: no Start-menu shortcut in %s" % menu)
    elif "--timestamps --fields".encode("utf-16-le") not in open(shortcut, "rb").read():
        failures.append("install: the Start-menu shortcut lacks --timestamps --fields")
    print("installed: %s" % sorted(os.listdir(folder)))
    if service_state(wine, "kelmor-csv-comm7") != "RUNNING":
        failures.append("install /SERVICE=7: the service is %s"
                        % service_state(wine, "kelmor-csv-comm7"))
    elif not line.wait_open(60) or len(line.lockstep(2)) != 2:
        failures.append("the installed service did not capture")
    elif not wait_timed_fields(os.path.join(files, "comm7"), 2):
        failures.append("the installed service's CSV file lacks times and fields: %r"
                        % open(os.path.join(files, "comm7.csv"), "rb").read()[-200:])
    # The uninstaller copies itself away and goes on from there; waiting for
    # every Wine process to end waits for it. (Its _?= option, which would
    # keep it in place, must not be quoted, and Wine quotes a path with
    # spaces.)
    code, out = wine.run(os.path.join(folder, "uninstall.exe"), "/S", timeout=300)
    harness.wait_until(lambda: not os.path.exists(folder) and not os.path.exists(menu), 120, 0.2)
    left = [p for p in (installed, menu) if os.path.exists(p)]
    if left:
        failures.append("uninstall left %s behind (exit %d, %r)" % (left, code, out[-300:]))
    if os.path.exists(folder):
        failures.append("uninstall left %s: %s" % (folder, os.listdir(folder)))
    if service_state(wine, "kelmor-csv-comm7") is not None:
        failures.append("uninstall left the service kelmor-csv-comm7")
    wine.kill()
    if not os.path.exists(os.path.join(files, "comm7.txt")):
        failures.append("the uninstall took the service's files with it")
