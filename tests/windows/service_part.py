"""Capture as a Windows service."""

import os
import subprocess
import time

import harness
from wine import line_as_com, service_processes, service_state, wait_csv, wait_state, xdotool


def service_test(wine, exe, work, failures):
    """Capture as a Windows service: installed from the command line into a
    folder with a space in its name, records from COM3 with their ACKs, a
    stop that leaves complete files, a start again, a second service beside
    it whose folder is missing (reported without a box), a window-less
    start that names the service holding the port, and the removal."""
    folder = os.path.join(work, "service files")
    os.makedirs(folder)
    base = os.path.join(folder, "weighings")
    missing = os.path.join(work, "not yet", "comm4")
    line = line_as_com(wine, 3)
    line4 = line_as_com(wine, 4)
    # The service manager's own stderr is where Wine writes event-log entries.
    wine.env["WINEDEBUG"] = "-all,err+eventlog"
    # Wine ends a service soon after the last ordinary Wine process; a
    # persistent server keeps the prefix up between the test's commands.
    subprocess.run(["wineserver", "-p"], env=wine.env, check=True)
    log = os.path.join(work, "services.txt")
    with open(log, "w") as out:
        subprocess.run(["wine", "cmd", "/c", "exit"], env=wine.env, stdout=out,
                       stderr=subprocess.STDOUT, timeout=120)
    name = "kelmor-csv-comm3"
    try:
        code, out = wine.run(exe, "--install-service", "--port", "3", "--save",
                             wine.windows_path(base))
        print("install: exit %d: %s" % (code, out.strip()))
        if code != 0 or "It is running" not in out:
            failures.append("--install-service: exit %d, %r" % (code, out))
        if service_state(wine, name) != "RUNNING" or not service_processes(3):
            failures.append("after the install, sc query says %s; its processes: %s"
                            % (service_state(wine, name), service_processes(3)))
        code, out = wine.run(exe, "--install-service", "--port", "3", "--save",
                             wine.windows_path(base))
        if code != 1 or "Comm 3 has a capture service already (kelmor-csv-comm3)" not in out:
            failures.append("a second install for Comm 3: exit %d, %r" % (code, out))
        if not line.wait_open(60) or len(line.lockstep(10)) != 10:
            failures.append("service: the records were not all acknowledged")
        quiet = time.monotonic()
        if not line.wait_ack(8) or time.monotonic() - quiet < 5.0:
            failures.append("service: no idle ACK after 5 s (%.2f s)" % (time.monotonic() - quiet))
        if not wait_csv(base):
            failures.append("service: the CSV file does not mirror the capture file")

        # A window-less start on the same port names the service that has it.
        other = os.path.join(work, "other")
        proc = wine.start(exe, "--headless", "--port", "3", "--save", wine.windows_path(other))
        said = os.path.join(work, "program.txt")
        held = lambda: "in use by the capture service kelmor-csv-comm3" in open(said).read()
        if not harness.wait_until(held, 20, 0.1):
            failures.append("--headless on the service's port says %r" % open(said).read())
        proc.kill()

        # A second service whose folder is missing: reported, no box, still running.
        code, out = wine.run(exe, "--install-service", "--port", "4", "--save",
                             wine.windows_path(missing))
        if code != 0 or "does not exist" not in out:
            failures.append("install with a missing folder: exit %d, %r" % (code, out))
        if not line4.wait_open(60):
            failures.append("the second service did not open COM4")
        line4.send(harness.record(0))
        reported = lambda: "comm4.txt" in open(log, errors="replace").read()
        if not harness.wait_until(reported, 30, 0.1):
            failures.append("the missing folder was not written to the event log: %r"
                            % open(log, errors="replace").read()[-1000:])
        boxes = xdotool("search", "--onlyvisible", "--name", "KELMOR", check=False)
        if boxes.strip():
            failures.append("a service showed a window: %s" % boxes)
        if service_state(wine, "kelmor-csv-comm4") != "RUNNING":
            failures.append("the error ended the service")
        os.makedirs(os.path.dirname(missing))
        # Two services capture at once.
        if len(line4.lockstep(1, 1, 10)) != 1 or len(line.lockstep(1, 10)) != 1:
            failures.append("two services did not both capture")

        # A stop: the port closes, the files are complete, the process goes.
        code, _ = wine.run("sc", "stop", name)
        if not wait_state(wine, name, "STOPPED"):
            failures.append("sc stop: the service is %s" % service_state(wine, name))
        if not harness.wait_until(lambda: not line.connected(), 30):
            failures.append("the stopped service kept COM3 open")
        if not harness.wait_until(lambda: not service_processes(3), 30):
            failures.append("the stopped service's process is still there")
        if not wait_csv(base):
            failures.append("service: the CSV file does not mirror the capture file")
        # A record sent while it is stopped waits in the line: it is taken
        # and acknowledged once net start brings the service back.
        line.send(harness.record(11))
        code, out = wine.run("net", "start", name)
        if not wait_state(wine, name, "RUNNING"):
            failures.append("net start: exit %d, %r, %s" % (code, out, service_state(wine, name)))
        if not line.wait_open(60) or not line.wait_ack(30) or len(line.lockstep(1, 12)) != 1:
            failures.append("the service started again did not capture")
        if not wait_csv(base):
            failures.append("service: the CSV file does not mirror the capture file")

        for port in (3, 4):
            code, out = wine.run(exe, "--remove-service", str(port))
            if code != 0 or "Stopped and removed the service kelmor-csv-comm%d" % port not in out:
                failures.append("--remove-service %d: exit %d, %r" % (port, code, out))
            if service_state(wine, "kelmor-csv-comm%d" % port) is not None:
                failures.append("kelmor-csv-comm%d is still there after its removal" % port)
        code, out = wine.run(exe, "--remove-service", "3")
        if code != 1 or "Comm 3 has no capture service" not in out:
            failures.append("--remove-service 3 again: exit %d, %r" % (code, out))
    finally:
        wine.env["WINEDEBUG"] = "-all"
        wine.kill()
    expected = b"".join(harness.clean(harness.record(i)) for i in range(13))
    if open(base + ".txt", "rb").read() != expected:
        failures.append("the service's capture file is %r" % open(base + ".txt", "rb").read())
    # The record that came while the folder was missing is stored once it exists.
    if open(missing + ".txt", "rb").read() != harness.clean(harness.record(0) + harness.record(1)):
        failures.append("the second service's capture file is %r"
                        % open(missing + ".txt", "rb").read())
