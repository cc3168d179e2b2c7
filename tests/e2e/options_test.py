"""The command line of the real binary with no display at all: each bad
option gets one clear line on standard error, exit code 2 and no window;
--help and --version work."""

import os
import signal
import subprocess
import sys
import tempfile

import harness

CASES = [
    # arguments, what the one line must say
    (["--bogus"], "unknown option '--bogus'"),
    (["--port"], "--port needs a value"),
    (["--port", "COM4"], "--port takes a whole number from 1 to 15, not 'COM4'"),
    (["--port", "0"], "--port takes a whole number from 1 to 15, not '0'"),
    (["--port", "-1"], "not '-1'"),
    (["--port", "16"], "not '16'"),
    (["--port", "105"], "not '105'"),
    (["--port", "x12"], "not 'x12'"),
    ([], "the window needs a display"),
    (["--save"], "--save needs a value"),
    (["--save="], "--save needs a name"),
    (["--headless"], "--headless needs --save NAME"),
    (["--headless=yes", "--save", "x"], "--headless takes no value"),
    (["--headless", "--save", "x", "--fields=yes"], "--fields takes no value"),
    (["--install-service", "--port", "3", "--save", "x"], "services are for Windows"),
    (["--headless", "--save", "x", "--database", "DSN=a", "--table", "a;drop"],
     "--table takes a plain SQL name (letters, digits, _), not 'a;drop'"),
    (["--headless", "--save", "x", "--database", "DSN=a", "--source", "s" * 1001],
     "--source takes at most 1000 characters, not 1001"),
]


def run(binary, args):
    return subprocess.run([binary, *args], env=harness.without_display(), capture_output=True,
                          text=True, timeout=20)


def main(binary: str) -> int:
    failures = []
    for args, says in CASES:
        r = run(binary, args)
        lines = r.stderr.splitlines()
        if r.returncode != 2 or len(lines) != 1 or says not in lines[0] or r.stdout:
            failures.append("%s: exit %d, stderr %r" % (args, r.returncode, r.stderr))
    # --help and --version answer whatever else is given.
    for extra in ([], ["--headless"]):
        r = run(binary, extra + ["--version"])
        if r.returncode != 0 or r.stdout != "ZUREDOZED 1.00\n":
            failures.append("%s --version: exit %d, %r" % (extra, r.returncode, r.stdout))
        r = run(binary, extra + ["--help"])
        if r.returncode != 0 or "--headless" not in r.stdout or "--port N" not in r.stdout:
            failures.append("%s --help: exit %d, %r" % (extra, r.returncode, r.stdout))
    # A name that is also a toolkit option is the program's, not the toolkit's.
    work = tempfile.mkdtemp(prefix="kelmor-options-")
    try:
        config = os.path.join(work, "config")
        device = harness.Device(config)
        env = dict(os.environ, XDG_CONFIG_HOME=config, QT_QPA_PLATFORM="offscreen")
        proc = subprocess.Popen([os.path.abspath(binary), "--save", "-platform", "--port", "3"],
                                cwd=work, env=env,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not harness.wait_until(lambda: device.connected() or proc.poll() is not None, 30) \
                or proc.poll() is not None:
            failures.append("--save -platform --port 3: exit %s, the port never opened"
                            % proc.poll())
        proc.send_signal(signal.SIGTERM)
        if proc.wait(10) != 0:
            failures.append("--save -platform --port 3: exit %s" % proc.returncode)
    finally:
        harness.cleanup(work)
    for f in failures:
        print("FAIL:", f)
    print("%d passed, %d failed" % (len(CASES) + 5 - len(failures), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
