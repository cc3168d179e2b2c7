"""The command line of the real binary with no display at all: each bad
option gets one clear line on standard error, exit code 2 and no window;
--help and --version work."""

import os
import subprocess
import sys

CASES = [
    # arguments, what the one line must say
    (["--bogus"], "unknown option '--bogus'"),
    (["--port"], "--port needs a value"),
    (["--port", "COM4"], 'Type mismatch "COM4"'),
    (["--port", "0"], "Invalid port number"),
    (["--port", "-1"], "Invalid port number"),
    (["--save"], "--save needs a value"),
    (["--save="], "--save needs a name"),
    (["--headless"], "--headless needs --save NAME"),
    (["--headless=yes", "--save", "x"], "--headless takes no value"),
]


def run(binary, args):
    env = {k: v for k, v in os.environ.items()
           if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
    return subprocess.run([binary, *args], env=env, capture_output=True, text=True, timeout=20)


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
    for f in failures:
        print("FAIL:", f)
    print("%d passed, %d failed" % (len(CASES) + 4 - len(failures), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
