"""The Windows build under Wine: the capture core's and the app layer's unit
tests, the real kelmor-csv.exe driven through its window (Save As, a name
typed into the save dialog, records from a pseudo-terminal bound as COM3,
files byte for byte, ACKs, the idle ACK), its command line (including a
start capturing from --port and --save), and a silent install and
uninstall of the installer.

    wine_test.py BUILD_WIN_DIR [--only PART,...] [--bench LINUX_BINARY]
                               [--screenshot PNG GRABBER]

Each part is a module of its own (PARTS below names them).

Wine maps every /dev/ttyS* to a COM port by itself, and /dev/ttyS0 may be the
machine's console. So everything runs in a private mount namespace whose /dev
holds only null, zero, full, random, urandom, tty, shm and a pseudo-terminal
instance of its own: no process outside can reach a test's line, nor the test
another's. Where that cannot be set up, the test says so and skips: it never
runs Wine without it.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
sys.path.insert(0, HERE)
import bench_part  # noqa: E402
import command_line_part  # noqa: E402
import console_part  # noqa: E402
import database_part  # noqa: E402
import installer_part  # noqa: E402
import service_part  # noqa: E402
import service_settings_part  # noqa: E402
import unit_part  # noqa: E402
import window_part  # noqa: E402
from wine import INSIDE, SKIP, Wine, private_dev  # noqa: E402

# The parts, in order: a name each (for --only) and what runs it.
PARTS = [
    ("unit-tests", lambda w, build, exe, work, f: unit_part.unit_tests(w, build, f)),
    ("command-line", lambda w, build, exe, work, f: command_line_part.command_line(w, exe, f)),
    ("window", lambda w, build, exe, work, f: window_part.window_test(w, exe, work, f)),
    ("started-from-command-line",
     lambda w, build, exe, work, f: window_part.started_from_command_line(w, exe, work, f)),
    ("database", lambda w, build, exe, work, f: database_part.database_test(w, exe, work, f)),
    ("console", lambda w, build, exe, work, f: console_part.headless_test(w, exe, work, f)),
    ("service", lambda w, build, exe, work, f: service_part.service_test(w, exe, work, f)),
    ("installer", lambda w, build, exe, work, f: installer_part.installer_test(w, exe, work, f)),
    ("service-settings",
     lambda w, build, exe, work, f: service_settings_part.service_settings(w, exe, work, f)),
    ("installer-failures",
     lambda w, build, exe, work, f: service_settings_part.installer_failures(w, exe, work, f)),
]


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
            window_part.window_test(wine, exe, work, failures, shot)
        elif bench:
            bench_part.bench(wine, exe, work, bench)
        else:
            only = args[args.index("--only") + 1].split(",") if "--only" in args else None
            for name, run in PARTS:
                if only and name not in only:
                    continue
                before, started = len(failures), time.monotonic()
                run(wine, build, exe, work, failures)
                print("part %s: %s in %.1f s" % (name, "ok" if len(failures) == before
                                                  else "FAILED", time.monotonic() - started),
                      flush=True)
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
