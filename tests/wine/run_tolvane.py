#!/usr/bin/env python3
"""End-to-end runs of the real tolvane.exe under Wine, in a throwaway prefix.

Wine's SetupAPI is a real peer with its own limits, and each case says which one it meets:
- CM_Locate_DevNodeA and CM_Reenumerate_DevNode are stubs returning CR_FAILURE, so "rescan"
  reports its failure line.
- CM_Get_Device_ID_ExA reports success without writing the buffer, so the listing of "remove"
  prints no instance IDs at all (the buffer is cleared before each call) rather than garbage.
- SetupDiClassGuidsFromNameExA succeeds with a count of 0 for an unknown class name.
- SetupDiCreateDeviceInfoA with DICD_GENERATE_ID registers ROOT\\<CLASS>\\0000, and
  UpdateDriverForPlugAndPlayDevicesA from newdev.dll installs the INF on it (its hardware-ID match
  is case-sensitive).
Text-mode stdout turns "\\n" into "\\r\\n", so a result line's " \\n\\r" arrives as " \\r\\n\\r".
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

BANNER = b"Tolvane Version:1.0.0.0"
COUNTDOWN = b"".join(b"application will close after %d seconds\r" % n for n in range(5, 0, -1))
HARDWARE_ID = "Root\\TolvaneTest"
INF_NAME = "tolvane_test.inf"


def find_wine():
    for candidate in (os.environ.get("WINE64"), "/usr/lib/wine/wine64", shutil.which("wine64"),
                      shutil.which("wine")):
        if candidate and os.path.exists(candidate):
            return candidate
    sys.exit("wine64 not found")


class Wine:
    def __init__(self, wine, prefix):
        self.wine = wine
        self.server = os.path.join(os.path.dirname(wine), "wineserver")
        self.env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all")

    def run(self, args, cwd=None, timeout=60):
        # Files, not pipes: Wine's helper processes inherit the handles and would hold a pipe
        # open until the server winds down, seconds after the program itself has ended.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            done = subprocess.run([self.wine] + args, cwd=cwd, env=self.env, stdout=out,
                                  stderr=err, timeout=timeout)
            out.seek(0)
            return done.returncode, out.read()

    def keep_alive(self):
        # A persistent server keeps the prefix's services running between the runs, which
        # saves seconds per run.
        if os.path.exists(self.server):
            subprocess.run([self.server, "-p"], env=self.env, stderr=subprocess.DEVNULL,
                           timeout=60)

    def stop(self):
        if os.path.exists(self.server):
            subprocess.run([self.server, "-k"], env=self.env)
            subprocess.run([self.server, "-w"], env=self.env, timeout=60)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--inf", required=True)
    parser.add_argument("--work", required=True)
    options = parser.parse_args()

    os.makedirs(options.work, exist_ok=True)
    root = tempfile.mkdtemp(prefix="tolvane-wine-", dir=options.work)
    prefix = os.path.join(root, "prefix")
    package = os.path.join(root, "package")
    os.makedirs(package)
    shutil.copy(options.inf, os.path.join(package, INF_NAME))
    wine = Wine(find_wine(), prefix)
    failures = []

    def check(name, args, expected_out, expected_code, cwd=None):
        started = time.monotonic()
        code, out = wine.run([options.exe] + args, cwd=cwd)
        took = time.monotonic() - started
        ok = code == expected_code and out == expected_out
        print("%s %-34s exit %3d  %.1f s" % ("ok  " if ok else "FAIL", name, code, took))
        if not ok:
            print("    expected exit %d, output %r" % (expected_code, expected_out))
            print("    got      exit %d, output %r" % (code, out))
            failures.append(name)

    def line(text):
        return text.replace(b"\n", b"\r\n")

    try:
        started = time.monotonic()
        wine.run(["wineboot", "-i"], timeout=180)
        wine.keep_alive()
        print("prefix ready in %.1f s" % (time.monotonic() - started))

        # Usage errors end after the banner, without the countdown; -1 arrives as 255.
        check("no command word", [], BANNER, 255)
        check("enable without operand", ["enable"], BANNER, 2)
        check("install without INF path", ["install", HARDWARE_ID], BANNER, 2)
        # Wine: an unknown class name is a successful lookup with a count of 0.
        check("remove =NoSuchClass", ["remove", "=NoSuchClass"],
              BANNER + line(b"hwID=>=NoSuchClass\n\rretrieve Class GUID fail\n\r"), 0)

        # The runs below end with the five-second countdown.
        check("unknown command word", ["Install", HARDWARE_ID, INF_NAME],
              BANNER + line(b"Unknown command(Install)\n\r") + COUNTDOWN, 0)
        # A relative INF path, resolved against the current directory.
        check("install from the test INF", ["install", HARDWARE_ID, INF_NAME],
              BANNER + line(b"Driver install success \n\r") + COUNTDOWN, 0, cwd=package)
        code, out = wine.run(["reg", "query",
                              "HKLM\\System\\CurrentControlSet\\Enum\\ROOT\\TOLVANETEST\\0000"])
        registered = (code == 0 and b"Root\\TolvaneTest" in out and b"HardwareId" in out and
                      b"Driver" in out and b"Tolvane Test Device" in out)
        print("%s %-34s" % ("ok  " if registered else "FAIL", "ROOT\\TOLVANETEST\\0000 installed"))
        if not registered:
            print("    reg query gave exit %d: %r" % (code, out))
            failures.append("device node installed")
        # Wine: CM_Get_Device_ID_ExA succeeds without writing, so no instance ID is printed.
        check("remove alone lists (nothing)", ["remove"],
              BANNER + line(b"Driver remove success \n\r") + COUNTDOWN, 0)
        # Wine: CM_Locate_DevNodeA is a stub returning CR_FAILURE.
        check("rescan", ["rescan", "-sync"],
              BANNER + line(b"Enumerate Hardware changed fail \n\r") + COUNTDOWN, 0)
    finally:
        wine.stop()
        shutil.rmtree(root, ignore_errors=True)

    if failures:
        print("%d failing: %s" % (len(failures), ", ".join(failures)))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
