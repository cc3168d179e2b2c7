"""Drives the real kelmor-csv binary on an X display (Xvfb), with a
pseudo-terminal playing the instrument. Used by the end-to-end tests and the
soak run; it never opens a real serial port."""

import os
import select
import shutil
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


def xdotool(*args) -> str:
    return subprocess.run(["xdotool", *args], check=True, capture_output=True,
                          text=True, timeout=30).stdout


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


class Device:
    """The instrument: the master side of a pseudo-terminal bound as Comm N."""

    def __init__(self, config_home: str, port: int = 3):
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)  # no echo before the program sets the line up
        folder = guard_ports(config_home)
        link = os.path.join(folder, "com%d" % port)
        if os.path.lexists(link):
            os.remove(link)
        os.symlink(os.ttyname(self.slave), link)
        self.link = link

    def lock_file(self) -> str:
        """Where a program holding this line keeps its lock (QSerialPort)."""
        return "/var/lock/LCK.." + os.ttyname(self.slave)[len("/dev/"):].replace("/", "_")

    def unplug(self):
        """Closes the line and points its link nowhere, as a vanished
        adapter's by-id link does."""
        link = os.readlink(self.link)
        os.remove(self.link)
        os.symlink(link + "-unplugged", self.link)
        os.close(self.master)
        os.close(self.slave)

    def send(self, data: bytes):
        view = memoryview(data)
        while view:
            n = os.write(self.master, view)
            view = view[n:]

    def wait_ack(self, timeout: float) -> bool:
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return False
            ready, _, _ = select.select([self.master], [], [], left)
            if ready:
                data = os.read(self.master, 4096)
                if ACK in data:
                    return True

    def drain(self) -> bytes:
        data = b""
        while select.select([self.master], [], [], 0)[0]:
            data += os.read(self.master, 4096)
        return data


class Program:
    """The real program in its own window."""

    def __init__(self, binary: str, config_home: str, args=()):
        env = dict(os.environ, XDG_CONFIG_HOME=config_home)
        env.pop("QT_QPA_PLATFORM", None)
        self.proc = subprocess.Popen([binary, *args], env=env, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        out = xdotool("search", "--sync", "--onlyvisible", "--name",
                      "^KELMOR CSV File Creator$")
        self.window = out.split()[0]

    def save_as(self, path: str):
        # "Save As" sits at 160,48 (121 x 33) in the window.
        xdotool("mousemove", "--window", self.window, "220", "64", "click", "1")
        dialog = xdotool("search", "--sync", "--onlyvisible", "--name", "^Save As$").split()[0]
        # Typing goes to the focused window; a slow start (sanitizers, a busy
        # machine) can lose it. Type until the dialog has taken the name.
        for _ in range(5):
            xdotool("windowfocus", dialog)
            time.sleep(0.5)
            xdotool("key", "ctrl+a")
            xdotool("type", "--delay", "5", path)
            xdotool("key", "Return")
            deadline = time.monotonic() + 5
            while time.monotonic() < deadline:
                shown = subprocess.run(["xdotool", "search", "--onlyvisible", "--name",
                                        "^Save As$"], capture_output=True, text=True)
                if dialog not in shown.stdout.split():
                    return
                time.sleep(0.1)
        raise RuntimeError("the save dialog did not take the name")

    def rss_kib(self) -> int:
        with open("/proc/%d/status" % self.proc.pid) as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        return 0

    def terminate(self):
        """SIGTERM; returns the exit code."""
        self.proc.terminate()
        try:
            return self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.kill()
            return None

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()


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
