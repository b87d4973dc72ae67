#!/usr/bin/env python3
"""Runs the harness (corvaxctl-shipped) on every test-only driver variant, each built from the
driver's own sources with one fault switched in, and requires it to name that fault: its own
violation must be reported, no other variant's may be, and the run must fail. The clean image
must run clean on the same commands, so a check that fires on everything proves nothing.

    faults.py --shipped corvaxctl-shipped --image corvax.sys --faults DIR"""
import argparse
import os
import re
import subprocess
import sys

# Variant -> (exit code, what the harness must say). Each pattern is specific to its fault.
EXPECTED = {
    "mapping-left-behind": (4, r"kernel rule broken: DriverEntry returned with device memory "
                               r"still mapped"),
    "completed-twice": (4, r"kernel rule broken: a request was completed 2 times"),
    "information-past-buffer": (4, r"kernel rule broken: information beyond the caller's "
                                   r"output length"),
    "irql-left-raised": (4, r"kernel rule broken: DriverEntry returned at IRQL 15"),
    "request-lock-kept": (4, r"kernel rule broken: a dispatch routine returned holding a "
                             r"mutex"),
    "executable-mapping": (4, r"kernel rule broken: an executable mapping: MmMapIoSpaceEx with "
                              r"protection 0x240"),
    "unbound-import": (2, r"corvax\.sys: the driver imports what the harness does not "
                          r"implement: ntoskrnl\.exe!KeQueryTimeIncrement"),
}
# One short run: the load (configuration ports, the window and the MSI-X tables mapped), then
# requests through the dispatcher, a buffered one among them.
COMMANDS = ["version", "count"]


def run(shipped, image):
    env = dict(os.environ, CORVAX_SYS=image)
    p = subprocess.run([shipped, "script", "-"], input="\n".join(COMMANDS) + "\n",
                       capture_output=True, text=True, env=env, timeout=120)
    return p.returncode, p.stderr


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--shipped", required=True)
    parser.add_argument("--image", required=True)
    parser.add_argument("--faults", required=True)
    a = parser.parse_args()
    failed = 0

    code, err = run(a.shipped, a.image)
    clean = code == 0 and not err.strip()
    print(("ok   - " if clean else "FAIL - ") + "the clean image runs clean" +
          ("" if clean else " (exit %d: %s)" % (code, err.strip())))
    failed += 0 if clean else 1

    built = sorted(f[:-4] for f in os.listdir(a.faults) if f.endswith(".sys"))
    if built != sorted(EXPECTED):
        print("FAIL - variants built %s, expected %s" % (built, sorted(EXPECTED)))
        failed += 1
    for name, (want_code, pattern) in sorted(EXPECTED.items()):
        image = os.path.join(a.faults, name + ".sys")
        if not os.path.isfile(image):
            continue
        code, err = run(a.shipped, image)
        own = re.search(pattern, err) is not None
        others = [n for n, (_, p) in EXPECTED.items() if n != name and re.search(p, err)]
        ok = own and not others and code == want_code
        print(("ok   - " if ok else "FAIL - ") + "%s caught: %s" %
              (name, next((line for line in err.splitlines() if re.search(pattern, line)),
                          "not named")))
        if not ok:
            print("       exit %d (expected %d), also named: %s\n       %s" %
                  (code, want_code, others or "nothing", err.strip().replace("\n", "\n       ")))
            failed += 1
    print("%d failed" % failed)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
