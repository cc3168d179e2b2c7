"""The capture core's and the app layer's unit tests, as Windows programs."""

import os



def unit_tests(wine, build, failures):
    for name in ("capture_tests", "app_tests"):
        code, out = wine.run(os.path.join(build, "tests", name + ".exe"), timeout=300)
        summary = [l for l in out.splitlines() if "PASSED" in l or "FAILED" in l]
        print("%s.exe: exit %d; %s" % (name, code, "; ".join(summary[-3:])))
        if code != 0 or "[  PASSED  ]" not in out or "[  FAILED  ]" in out:
            failures.append("%s.exe under Wine:\n%s" % (name, out[-3000:]))
