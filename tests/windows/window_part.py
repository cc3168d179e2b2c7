"""The real window: Save As with the keyboard, a name typed into the save
dialog, records from COM3, files byte for byte, the idle ACK, events while a
second dialog is open; and a start from --port and --save that captures
without a click."""

import os
import subprocess
import time

import harness
from wine import click_save_as, line_as_com, wait_csv, window_of, xdotool


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


def started_from_command_line(wine, exe, work, failures):
    if len(latency(wine, exe, work, 3)) != 3:
        failures.append("--port 3 --save NAME did not start capturing")
