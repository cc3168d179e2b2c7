"""Drives the real kelmor-csv binary on an X display (Xvfb), with a
pseudo-terminal playing the instrument. Used by the end-to-end tests and the
soak run; it never opens a real serial port."""

import contextlib
import os
import select
import shutil
import signal
import subprocess
import tempfile
import time
import tty

STX, ETX, ACK, FS = b"\x02", b"\x03", b"\x06", b"\x1c"


def clean(raw: bytes) -> bytes:
    out = bytearray()
    for c in raw:
        if c == 0x02:
            out.append(0x0D)
        elif c < 0x20 or c > 0x7A:
            out.append(0x20)
        else:
            out.append(c)
    return bytes(out)


def reference_csv(capture: bytes) -> bytes:
    out = bytearray()
    pos = 0
    while pos < len(capture):
        end = capture.find(b"\r", pos)
        terminated = end != -1
        if not terminated:
            end = len(capture)
        out += b'"' + capture[pos:end] + b'"\r\n'
        pos = end + (1 if terminated else 0)
        if terminated and pos < len(capture) and capture[pos] == 0x0A:
            pos += 1
    return bytes(out)


def record(i: int) -> bytes:
    return STX + b"%08d" % i + FS + b"12.5 g" + FS + b"OK" + ETX


def xdotool(*args, check=True) -> str:
    try:
        return subprocess.run(["xdotool", *args], check=check, capture_output=True,
                              text=True, timeout=30).stdout
    except subprocess.TimeoutExpired:
        if check:
            raise
        return ""


def wait_until(condition, timeout: float, step: float = 0.02) -> bool:
    """Polls the condition until it holds or the time is up."""
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(step)
    return True


def shown(title: str):
    """The visible windows with this title, now."""
    return xdotool("search", "--onlyvisible", "--name", title, check=False).split()


def wait_gone(window: str, title: str, timeout: float = 10) -> bool:
    return wait_until(lambda: window not in shown(title), timeout, 0.05)


def guard_ports(config_home: str) -> str:
    """Gives every port a link, pointing nowhere unless a test binds it, so
    that nothing here can ever reach the machine's own serial devices."""
    folder = os.path.join(config_home, "kelmor-csv")
    os.makedirs(folder, exist_ok=True)
    for port in range(1, 16):
        link = os.path.join(folder, "com%d" % port)
        if not os.path.lexists(link):
            os.symlink(os.path.join(config_home, "unplugged-com%d" % port), link)
    return folder


def enter_name(dialog: str, title: str, path: str, to_window: bool = False):
    """Types a name into a save dialog and confirms it. The key that closes
    the dialog may fail on its release, the window being gone by then, so
    what counts is the effect: the dialog is gone. Typing before the dialog
    has the focus (a slow start) is lost; then the name is typed again.
    to_window sends the keys to the dialog itself rather than to the focus."""
    target = ["--window", dialog] if to_window else []
    for _ in range(5):
        xdotool("windowfocus", "--sync", dialog, check=False)
        xdotool("key", *target, "ctrl+a", check=False)
        xdotool("type", *target, "--delay", "5", path, check=False)
        xdotool("key", *target, "Return", check=False)
        if wait_gone(dialog, title, 5):
            return
    raise RuntimeError("the save dialog did not take the name")


class Line:
    """The instrument's side of a serial line: the master of a
    pseudo-terminal. The slave side is left closed, so that the master
    reports a hang-up until a program opens the port, and again when it
    closes it."""

    def __init__(self):
        self.master, slave = os.openpty()
        tty.setraw(slave)  # no echo before the program sets the line up; kept on reopen
        self.device = os.ttyname(slave)
        os.close(slave)

    def connected(self) -> bool:
        """Whether a program holds the port open now."""
        poller = select.poll()
        poller.register(self.master, select.POLLIN)
        return not any(ev & select.POLLHUP for _, ev in poller.poll(0))

    def wait_open(self, timeout: float = 30) -> bool:
        return wait_until(self.connected, timeout, 0.01)

    def send(self, data: bytes):
        view = memoryview(data)
        while view:
            n = os.write(self.master, view)
            view = view[n:]

    def _read(self) -> bytes:
        try:
            return os.read(self.master, 4096)
        except OSError:  # EIO: no program holds the port at this moment
            time.sleep(0.005)
            return b""

    def wait_ack(self, timeout: float) -> bool:
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return False
            ready, _, _ = select.select([self.master], [], [], left)
            if ready and ACK in self._read():
                return True

    def drain(self) -> bytes:
        data = b""
        while self.connected() and select.select([self.master], [], [], 0)[0]:
            data += self._read()
        return data

    def lockstep(self, count: int, first: int = 0, timeout: float = 5):
        """Sends records first.. one at a time, each after the last one's
        ACK; returns the ETX-to-ACK times in microseconds, one per ACK."""
        latencies = []
        for i in range(first, first + count):
            sent = time.monotonic()
            self.send(record(i))
            if not self.wait_ack(timeout):
                break
            latencies.append((time.monotonic() - sent) * 1e6)
        return latencies

    def close(self):
        os.close(self.master)


class Device(Line):
    """A line bound as Comm N through the link folder."""

    def __init__(self, config_home: str, port: int = 3):
        super().__init__()
        folder = guard_ports(config_home)
        link = os.path.join(folder, "com%d" % port)
        if os.path.lexists(link):
            os.remove(link)
        os.symlink(self.device, link)
        self.link = link

    def lock_file(self) -> str:
        """Where a program holding this line keeps its lock (QSerialPort)."""
        return "/var/lock/LCK.." + self.device[len("/dev/"):].replace("/", "_")

    def unplug(self):
        """Closes the line and points its link nowhere, as a vanished
        adapter's by-id link does."""
        os.remove(self.link)
        os.symlink(self.device + "-unplugged", self.link)
        self.close()


def without_display(**extra) -> dict:
    """The environment with no display at all, and the given variables."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
    env.update(extra)
    return env


class Program:
    """The real program, the one way every test and benchmark starts it: in
    its own window on the X display, or (headless=True) with no display at
    all, its standard error then in the file `errors`. Every program started
    is killed by stop_all at the end of a test."""
    started = []

    def __init__(self, binary: str, config_home: str, args=(), headless: bool = False,
                 errors: str = None, env=None, **popen):
        self.errors = errors
        if headless:
            environment = without_display(XDG_CONFIG_HOME=config_home, **(env or {}))
        else:
            environment = dict(os.environ, XDG_CONFIG_HOME=config_home, **(env or {}))
            environment.pop("QT_QPA_PLATFORM", None)
        popen.setdefault("stdout", subprocess.DEVNULL)
        with open(errors or os.devnull, "a") as out:
            popen.setdefault("stderr", out)
            self.proc = subprocess.Popen([binary, *args], env=environment, **popen)
        Program.started.append(self.proc)
        self.window = None
        if not headless:
            out = xdotool("search", "--sync", "--onlyvisible", "--name",
                          "^KELMOR CSV File Creator$")
            self.window = out.split()[0]

    def said(self, text: str) -> int:
        """How often the program wrote this text to standard error."""
        with open(self.errors) as f:
            return f.read().count(text)

    def save_as(self, path: str):
        # "Save As" sits at 160,48 (121 x 33) in the window.
        xdotool("mousemove", "--window", self.window, "220", "64", "click", "1")
        dialog = xdotool("search", "--sync", "--onlyvisible", "--name", "^Save As$").split()[0]
        enter_name(dialog, "^Save As$", path)

    def rss_kib(self) -> int:
        with open("/proc/%d/status" % self.proc.pid) as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        return 0

    def end(self, sig=signal.SIGTERM, timeout: float = 30):
        """Sends the signal; the exit code, or None if it did not end in time."""
        self.proc.send_signal(sig)
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def terminate(self):
        """SIGTERM; the exit code (killed and None after 10 s)."""
        code = self.end(signal.SIGTERM, 10)
        if code is None:
            self.kill()
        return code

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()

    @staticmethod
    def stop_all():
        for proc in Program.started:
            if proc.poll() is None:
                proc.kill()
                proc.wait()


def headless(binary: str, work: str, config_home: str, base: str, port: int = 3, args=(),
             env=None, **popen) -> Program:
    """The program with --headless capturing from Comm N into base; its
    standard error in stderr-BASE.txt in work."""
    return Program(binary, config_home, ["--headless", "--port", str(port), "--save", base, *args],
                   headless=True, errors=os.path.join(work, "stderr-%s.txt" % os.path.basename(base)),
                   env=env, **popen)


@contextlib.contextmanager
def workspace():
    """A work folder for one test; at the end every program the test
    started is killed and the folder removed, however the test ended."""
    work = workdir()
    try:
        yield work
    finally:
        Program.stop_all()
        cleanup(work)


def workdir() -> str:
    return tempfile.mkdtemp(prefix="kelmor-e2e-")


def cleanup(path: str):
    shutil.rmtree(path, ignore_errors=True)


def verdict(failures) -> int:
    """Prints the failures and the closing count; returns the exit code."""
    for f in failures:
        print("FAIL:", f)
    print("1 passed, 0 failed" if not failures else "0 passed, 1 failed")
    return 1 if failures else 0
