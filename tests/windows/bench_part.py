"""ETX-to-ACK of the Windows build under Wine, the window's and the service's,
beside the Linux build's."""

import os
import statistics
import subprocess

import harness
from wine import line_as_com
from window_part import latency


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
    base = os.path.join(os.environ.get("KELMOR_BENCH_DIR", work), "bench", "linux")
    program = harness.headless(binary, work, config, base)
    try:
        if not device.wait_open(60):
            return []
        device.lockstep(5)
        return device.lockstep(records, 5)
    finally:
        program.terminate()


def bench(wine, exe, work, linux_binary, records=300):
    win = latency(wine, exe, work, records)
    service = service_latency(wine, exe, work, records)
    lin = linux_latency(linux_binary, work, records)
    for name, values in (("wine", win), ("wine_service", service), ("linux", lin)):
        print("etx_to_ack_p50_us_%s: %.1f us" % (name, statistics.median(values)))
        print("etx_to_ack_p99_us_%s: %.1f us" % (
            name, sorted(values)[int(0.99 * (len(values) - 1))]))
    print("wine_over_linux_p50: %.3g" % (statistics.median(win) / statistics.median(lin)))
    # The service against the window, both under Wine in this run.
    print("service_over_window_p50: %.3g" % (statistics.median(service) / statistics.median(win)))
