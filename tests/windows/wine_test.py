"""The Windows build under Wine: the capture core's and the app layer's unit
tests, the real kelmor-csv.exe driven through its window (Save As, a name
typed into the save dialog, records from a pseudo-terminal bound as COM3,
files byte for byte, ACKs, the idle ACK), its command line (including a
start capturing from --port and --save), and a silent install and
uninstall of the installer.

    wine_test.py BUILD_WIN_DIR [--bench LINUX_BINARY] [--screenshot PNG GRABBER]

Wine maps every /dev/ttyS* to a COM port by itself, and /dev/ttyS0 may be the
machine's console. So everything runs in a private mount namespace whose /dev
holds only null, zero, full, random, urandom, tty, shm and a pseudo-terminal
instance of its own: no process outside can reach a test's line, nor the test
another's. Where that cannot be set up, the test says so and skips: it never
runs Wine without it.
"""

import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
sys.path.insert(0, HERE)
import harness  # noqa: E402

INSIDE = "KELMOR_WINE_NAMESPACE"
SKIP = 77  # CTest's SKIP_RETURN_CODE


def private_dev():
    """In the new mount namespace: a /dev with nothing but what Wine needs."""
    old = tempfile.mkdtemp(prefix="kelmor-olddev-")
    run = lambda *a: subprocess.run(a, check=True)
    run("mount", "--make-rprivate", "/")
    run("mount", "--rbind", "/dev", old)
    run("mount", "-t", "tmpfs", "-o", "mode=755", "kelmor-dev", "/dev")
    for node in ("null", "zero", "full", "random", "urandom", "tty"):
        open("/dev/" + node, "w").close()
        run("mount", "--bind", os.path.join(old, node), "/dev/" + node)
    os.mkdir("/dev/shm")
    run("mount", "--rbind", os.path.join(old, "shm"), "/dev/shm")
    # Pseudo-terminals of its own: a stale comN link of a Wine run outside
    # must never lead to this test's line.
    os.mkdir("/dev/pts")
    run("mount", "-t", "devpts", "-o", "newinstance,ptmxmode=0666,mode=0620", "devpts",
        "/dev/pts")
    os.symlink("pts/ptmx", "/dev/ptmx")
    run("umount", "-l", old)
    os.rmdir(old)
    left = [n for n in os.listdir("/dev") if n.startswith("ttyS")]
    if left:
        raise SystemExit("refusing to run Wine: /dev still shows %s" % left)


class Wine:
    def __init__(self, work):
        self.prefix = os.path.join(work, "prefix")
        self.env = dict(os.environ, WINEPREFIX=self.prefix, WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=", WINEARCH="win64")
        self.env.pop("QT_QPA_PLATFORM", None)
        self.work = work

    def run(self, *args, timeout=120, cwd=None):
        """Output to files, never pipes: Wine's helpers keep pipes open."""
        out_path = os.path.join(self.work, "out-%d.txt" % time.monotonic_ns())
        with open(out_path, "w") as out:
            code = subprocess.run(["wine", *args], env=self.env, stdout=out,
                                  stderr=subprocess.STDOUT, timeout=timeout,
                                  cwd=cwd or self.work).returncode
        with open(out_path, errors="replace") as f:
            return code, f.read()

    def start(self, *args, cwd=None):
        log = open(os.path.join(self.work, "program.txt"), "w")
        return subprocess.Popen(["wine", *args], env=self.env, stdout=log,
                                stderr=subprocess.STDOUT, cwd=cwd or self.work)

    def kill(self):
        subprocess.run(["wineserver", "-k"], env=self.env)
        subprocess.run(["wineserver", "-w"], env=self.env, timeout=60)

    def boot(self):
        self.run("wineboot", "-i", timeout=300)
        # Without a window manager every dialog close stalls unless Wine
        # manages nothing itself.
        self.run("reg", "add", "HKCU\\Software\\Wine\\X11 Driver", "/v", "Managed",
                 "/d", "N", "/f")
        self.kill()

    def bind_com(self, n, device):
        link = os.path.join(self.prefix, "dosdevices", "com%d" % n)
        if os.path.lexists(link):
            os.remove(link)
        os.symlink(device, link)

    def windows_path(self, unix_path):
        return "Z:" + unix_path.replace("/", "\\")


xdotool = harness.xdotool


def window_of(title):
    out = xdotool("search", "--sync", "--onlyvisible", "--name", title)
    return out.split()[0]


def click_save_as(win):
    """Clicks "Save As" (160,48, 121 x 33 in the client area). Wine draws
    the frame itself, so the client area sits inside the X window by the
    border and the caption."""
    geometry = xdotool("getwindowgeometry", win)
    width, height = (int(v) for v in geometry.split("Geometry:")[1].split()[0].split("x"))
    border = (width - 288) // 2
    top = height - border - 87
    xdotool("mousemove", "--window", win, str(border + 220), str(top + 64), "click", "1")


def unit_tests(wine, build, failures):
    for name in ("capture_tests", "app_tests"):
        code, out = wine.run(os.path.join(build, "tests", name + ".exe"), timeout=300)
        summary = [l for l in out.splitlines() if "PASSED" in l or "FAILED" in l]
        print("%s.exe: exit %d; %s" % (name, code, "; ".join(summary[-3:])))
        if code != 0 or "[  PASSED  ]" not in out or "[  FAILED  ]" in out:
            failures.append("%s.exe under Wine:\n%s" % (name, out[-3000:]))


def command_line(wine, exe, failures):
    code, out = wine.run(exe, "--version")
    if code != 0 or "ZUREDOZED 1.00" not in out:
        failures.append("--version: exit %d, %r" % (code, out))
    code, out = wine.run(exe, "--port", "COM4")
    if code != 2 or "--port takes a whole number from 1 to 15, not 'COM4'" not in out:
        failures.append("--port COM4: exit %d, %r" % (code, out))


def line_as_com(wine, n=3):
    """A pseudo-terminal bound as COMn: the instrument's side."""
    line = harness.Line()
    wine.bind_com(n, line.device)
    return line


def wait_csv(base, timeout=30):
    """The CSV follows the ACK: waits until it mirrors the capture file;
    whether it did."""
    def mirrors():
        try:
            with open(base + ".txt", "rb") as t, open(base + ".csv", "rb") as c:
                return c.read() == harness.reference_csv(t.read())
        except OSError:
            return False
    return harness.wait_until(mirrors, timeout, 0.05)


def window_test(wine, exe, work, failures, screenshot=None):
    base = os.path.join(work, "out", "weigh")
    os.makedirs(os.path.dirname(base))
    line = line_as_com(wine)
    proc = wine.start(exe)
    try:
        win = window_of("^KELMOR CSV File Creator$")
        if screenshot:
            time.sleep(1.0)  # drawn; there is nothing to wait on for a picture
            subprocess.run([screenshot[1], screenshot[0]], check=True)
        # The port list has the focus; Tab reaches "Save As", Return presses it.
        xdotool("windowfocus", "--sync", win)
        xdotool("key", "--window", win, "Tab", "Return")
        dialog = window_of("^Save As$")
        harness.enter_name(dialog, "^Save As$", wine.windows_path(base), to_window=True)
        # The port opens once the name is taken.
        if not line.wait_open(60):
            failures.append("the port was not opened after Save As")
        acked = line.lockstep(20)
        if len(acked) != 20:
            failures.append("only %d of 20 records were acknowledged" % len(acked))
        quiet = time.monotonic()
        if not line.wait_ack(8):
            failures.append("no idle ACK")
        elif time.monotonic() - quiet < 5.0:
            failures.append("idle ACK after %.2f s" % (time.monotonic() - quiet))
        # "Save As" again: while its dialog is open, records are still stored
        # and acknowledged; cancelling it keeps the name.
        click_save_as(win)
        dialog = window_of("^Save As$")
        if len(line.lockstep(1, 20)) != 1:
            failures.append("no ACK while the save dialog was open")
        # Escape closes the dialog; its release may then find no window.
        xdotool("key", "--window", dialog, "Escape", check=False)
        if not harness.wait_gone(dialog, "^Save As$", 30):
            failures.append("Escape did not close the save dialog")
        # Cancel reopens the port; the next idle ACK comes from the reopened
        # port, so nothing sent after it can fall into the reopen.
        if not line.wait_ack(30):
            failures.append("no idle ACK after the dialog was cancelled")
        if len(line.lockstep(1, 21)) != 1:
            failures.append("no ACK after the dialog was cancelled")
        wait_csv(base)
    finally:
        proc.kill()
        wine.kill()
    expected = b"".join(harness.clean(harness.record(i)) for i in range(22))
    capture = open(base + ".txt", "rb").read() if os.path.exists(base + ".txt") else b""
    csv = open(base + ".csv", "rb").read() if os.path.exists(base + ".csv") else b""
    if capture != expected:
        failures.append("capture file under Wine is %r" % capture[:200])
    if csv != harness.reference_csv(expected):
        failures.append("CSV file under Wine is %r" % csv[:200])


def latency(wine, exe, work, records):
    """ETX->ACK of the Windows build, started from its command line."""
    base = os.path.join(os.environ.get("KELMOR_BENCH_DIR", work), "bench", "wine")
    os.makedirs(os.path.dirname(base), exist_ok=True)
    line = line_as_com(wine)
    proc = wine.start(exe, "--port", "3", "--save", wine.windows_path(base))
    try:
        window_of("^KELMOR CSV File Creator$")
        if not line.wait_open(60):
            return []
        line.lockstep(5)
        return line.lockstep(records)
    finally:
        proc.kill()
        wine.kill()


def service_latency(wine, exe, work, records):
    """ETX->ACK of the capture service, installed from the command line."""
    base = os.path.join(os.environ.get("KELMOR_BENCH_DIR", work), "bench", "service")
    os.makedirs(os.path.dirname(base), exist_ok=True)
    line = line_as_com(wine)
    subprocess.run(["wineserver", "-p"], env=wine.env, check=True)
    try:
        code, out = wine.run(exe, "--install-service", "--port", "3", "--save",
                             wine.windows_path(base))
        if code != 0 or not line.wait_open(60):
            return []
        line.lockstep(5)
        return line.lockstep(records)
    finally:
        wine.run(exe, "--remove-service", "3")
        wine.kill()


def linux_latency(binary, work, records):
    config = os.path.join(work, "config")
    harness.guard_ports(config)
    device = harness.Device(config)
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "QT_QPA_PLATFORM")}
    env["XDG_CONFIG_HOME"] = config
    proc = subprocess.Popen([binary, "--headless", "--port", "3", "--save",
                             os.path.join(os.environ.get("KELMOR_BENCH_DIR", work), "bench", "linux")], env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        if not device.wait_open(60):
            return []
        device.lockstep(5)
        return device.lockstep(records, 5)
    finally:
        proc.terminate()
        proc.wait(10)


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


def service_state(wine, name):
    """RUNNING, STOPPED, a pending state, or None for no such service. Wine's
    sc prints the pending or the final state at random: poll this."""
    _, out = wine.run("sc", "query", name)
    for text in out.splitlines():
        if "STATE" in text and ":" in text:
            return text.split()[-1]
    return None


def wait_state(wine, name, state, timeout=60):
    return harness.wait_until(lambda: service_state(wine, name) == state, timeout, 0.1)


def service_processes(name_port):
    """The Linux processes of the capture services of a port: Wine shows a
    process's Windows command line as its own."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                words = f.read().split(b"\0")
        except OSError:
            continue
        if b"--service" in words and b"--port" in words and \
                words[words.index(b"--port") + 1] == str(name_port).encode():
            found.append(pid)
    return found


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


def headless_test(wine, exe, work, failures):
    """--headless at a console, as under Task Scheduler: it captures without a
    window, writes its errors to standard error or, with none, to NAME.log,
    and taskkill (without /F) ends it cleanly."""
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
    proc = wine.start(exe, "--headless", "--port", "5", "--save", wine.windows_path(base))
    try:
        if not line.wait_open(60) or len(line.lockstep(3)) != 3:
            failures.append("--headless did not capture")
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


def installer_test(wine, exe, work, failures):
    """A silent install that also installs the capture service for Comm 7,
    records through it, and the uninstall that removes it with the rest."""
    build = os.path.dirname(exe)
    setup = [f for f in os.listdir(build) if f.endswith("-setup.exe")]
    if not setup:
        failures.append("no installer was built")
        return
    files = os.path.join(work, "installed service")
    line = line_as_com(wine, 7)
    subprocess.run(["wineserver", "-p"], env=wine.env, check=True)
    code, out = wine.run(os.path.join(build, setup[0]), "/S", "/SERVICE=7",
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
    if not os.path.exists(os.path.join(menu, "KELMOR CSV File Creator.lnk")):
        failures.append("install: no Start-menu shortcut in %s" % menu)
    print("installed: %s" % sorted(os.listdir(folder)))
    if service_state(wine, "kelmor-csv-comm7") != "RUNNING":
        failures.append("install /SERVICE=7: the service is %s"
                        % service_state(wine, "kelmor-csv-comm7"))
    elif not line.wait_open(60) or len(line.lockstep(2)) != 2:
        failures.append("the installed service did not capture")
    elif not wait_csv(os.path.join(files, "comm7")):
        failures.append("the installed service's CSV file does not mirror its capture file")
    # The uninstaller copies itself away and goes on from there; waiting for
    # every Wine process to end waits for it. (Its _?= option, which would
    # keep it in place, must not be quoted, and Wine quotes a path with
    # spaces.)
    code, out = wine.run(os.path.join(folder, "uninstall.exe"), "/S", timeout=300)
    harness.wait_until(lambda: not os.path.exists(folder), 120, 0.2)
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


def main():
    args = sys.argv[1:]
    build = os.path.abspath(args[0])
    bench = args[args.index("--bench") + 1] if "--bench" in args else None
    shot = None
    if "--screenshot" in args:
        i = args.index("--screenshot")
        shot = (os.path.abspath(args[i + 1]), os.path.abspath(args[i + 2]))
    if os.environ.get(INSIDE) != "1":
        if shutil.which("unshare") is None or shutil.which("wine") is None:
            print("SKIP: Wine or unshare is missing")
            return SKIP
        probe = subprocess.run(["unshare", "--mount", "true"], capture_output=True)
        if probe.returncode != 0:
            print("SKIP: no private mount namespace here (%s); Wine is never run without one"
                  % probe.stderr.decode().strip())
            return SKIP
        env = dict(os.environ, **{INSIDE: "1"})
        return subprocess.run(["unshare", "--mount", "--propagation", "private",
                               sys.executable, os.path.abspath(__file__), *args],
                              env=env).returncode
    private_dev()
    work = tempfile.mkdtemp(prefix="kelmor-wine-")
    # Xvfb first, then the first wine call; Xvfb picks a free display.
    read_end, write_end = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0",
                             "400x200x24" if shot else "1024x768x24", "-nolisten", "tcp"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            pass_fds=(write_end,))
    os.close(write_end)
    with os.fdopen(read_end) as chosen:
        os.environ["DISPLAY"] = ":" + chosen.readline().strip()
    failures = []
    wine = Wine(work)
    exe = os.path.join(build, "kelmor-csv.exe")
    try:
        started = time.monotonic()
        wine.boot()
        print("wine prefix ready in %.1f s" % (time.monotonic() - started))
        if shot:
            window_test(wine, exe, work, failures, shot)
        elif bench:
            records = 300
            win = latency(wine, exe, work, records)
            service = service_latency(wine, exe, work, records)
            lin = linux_latency(bench, work, records)
            for name, values in (("wine", win), ("wine_service", service), ("linux", lin)):
                print("etx_to_ack_p50_us_%s: %.1f us" % (name, statistics.median(values)))
                print("etx_to_ack_p99_us_%s: %.1f us" % (
                    name, sorted(values)[int(0.99 * (len(values) - 1))]))
            print("wine_over_linux_p50: %.3g" % (statistics.median(win) / statistics.median(lin)))
            # The service against the window, both under Wine in this run.
            print("service_over_window_p50: %.3g"
                  % (statistics.median(service) / statistics.median(win)))
        elif "--only" in args:
            import service_options_test as more
            for name in args[args.index("--only") + 1].split(","):
                (globals().get(name) or getattr(more, name))(wine, exe, work, failures)
        else:
            unit_tests(wine, build, failures)
            command_line(wine, exe, failures)
            window_test(wine, exe, work, failures)
            # Started from its command line, it captures without a click.
            if len(latency(wine, exe, work, 3)) != 3:
                failures.append("--port 3 --save NAME did not start capturing")
            database_test(wine, exe, work, failures)
            headless_test(wine, exe, work, failures)
            service_test(wine, exe, work, failures)
            installer_test(wine, exe, work, failures)
            import service_options_test as more
            more.service_options_test(wine, exe, work, failures)
            more.installer_failures_test(wine, exe, work, failures)
    finally:
        wine.kill()
        xvfb.terminate()
        xvfb.wait()
        shutil.rmtree(work, ignore_errors=True)
    for f in failures:
        print("FAIL:", f)
    print("%d passed, %d failed" % (0 if failures else 1, 1 if failures else 0))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
