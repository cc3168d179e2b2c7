"""What every part of the Windows test shares: a Wine prefix of its own, run
in a private mount namespace (see wine_test.py), pseudo-terminals bound as
COM ports, and the service manager's states."""

import os
import re
import subprocess
import tempfile
import time

import harness

INSIDE = "KELMOR_WINE_NAMESPACE"
SKIP = 77  # CTest's SKIP_RETURN_CODE
xdotool = harness.xdotool


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


TIMED_RECORD = re.compile(
    rb'"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3})","(\d{8})","12\.5 g","OK"\r\n')


def wait_timed_fields(base, count, timeout=30):
    """With --timestamps --fields, the CSV file shows records 0..count-1 each
    as its local time and its three fields: waits for them; whether they
    came, each with a time within a minute of now, in this machine's zone."""
    def times():
        try:
            with open(base + ".csv", "rb") as c:
                return {int(n): t.decode() for t, n in TIMED_RECORD.findall(c.read())}
        except OSError:
            return {}
    if not harness.wait_until(lambda: set(range(count)) <= set(times()), timeout, 0.05):
        return False
    now = time.time()
    return all(abs(time.mktime(time.strptime(t[:19], "%Y-%m-%d %H:%M:%S")) - now) < 60
               for t in times().values())


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
