"""The simulated instrument against the real program, over the link folder:
records sent, both files right, ACKs received, link removed afterwards."""

import os
import subprocess
import sys

import harness


def main(program_binary: str, sim_binary: str) -> int:
    work = harness.workdir()
    config = os.path.join(work, "config")
    base = os.path.join(work, "demo")
    failures = []
    try:
        records_file = os.path.join(work, "records.tsv")
        with open(records_file, "w") as f:
            f.write("2026-12-07\t10:00:00\tS1\t12.50 g\tOK\n\n")
            f.write("2026-12-07\t10:00:01\tS2\t13.00 g\tUNSTABLE\n")
            f.write('quoted "value",\tx\n')
        env = dict(os.environ, XDG_CONFIG_HOME=config)
        harness.guard_ports(config)
        sim = subprocess.Popen([sim_binary, "--file", records_file, "--interval", "100"],
                               env=env, stdout=subprocess.PIPE, text=True)
        link = os.path.join(config, "kelmor-csv", "com3")
        line = sim.stdout.readline()
        if "Bound Comm 3" not in line or not os.path.islink(link):
            failures.append("the simulator did not bind Comm 3: %r" % line)
        program = harness.Program(program_binary, config)
        program.save_as(base)
        try:
            out, _ = sim.communicate(timeout=30)
        except subprocess.TimeoutExpired:
            sim.kill()
            out, _ = sim.communicate()
            failures.append("the simulator did not finish")
        print(line + out)
        expected = (b"\r2026-12-07 10:00:00 S1 12.50 g OK "
                    b"\r2026-12-07 10:00:01 S2 13.00 g UNSTABLE "
                    b'\rquoted "value", x ')
        # The CSV file follows the ACK: wait for it, then end the program cleanly.
        read = lambda path: open(path, "rb").read() if os.path.exists(path) else b""
        harness.wait_until(lambda: read(base + ".csv") == harness.reference_csv(expected), 30)
        if program.terminate() != 0:
            failures.append("SIGTERM did not end the program with 0")
        for n in (1, 2, 3):
            if "ACK for record %d after" % n not in out:
                failures.append("no ACK reported for record %d" % n)
        if sim.returncode != 0:
            failures.append("the simulator exited with %d" % sim.returncode)
        if os.path.lexists(link):
            failures.append("the simulator left its link behind")
        capture = read(base + ".txt")
        csv = read(base + ".csv")
        if capture != expected:
            failures.append("capture file is %r" % capture)
        if csv != harness.reference_csv(expected):
            failures.append("CSV file is %r" % csv)

        # A link to a real device is never taken over.
        real = os.path.join(config, "kelmor-csv", "com7")
        os.remove(real)
        os.symlink("/dev/null", real)
        refused = subprocess.run([sim_binary, "--port", "7"], env=env, capture_output=True,
                                 text=True, timeout=10)
        if refused.returncode != 1 or "a real device; not replacing it" not in refused.stderr:
            failures.append("a link to a real device was not refused: %r" % refused.stderr)
        if os.readlink(real) != "/dev/null":
            failures.append("the link to a real device was changed")
    finally:
        harness.cleanup(work)
    return harness.verdict(failures)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
