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
- SetupDiSetClassInstallParamsA is a stub that fails, so no state change or removal is ever
  carried out: the tool gives up on a device whose parameters are refused, and "remove" by
  manufacturer leaves the root device it selected in the tree. Each call leaves one
  "fixme:setupapi:SetupDiSetClassInstallParamsA" line on standard error with the install
  function and the parameters' size, which shows how many devices the tool selected and what
  it asked for.
- Stock devices have no location text and no manufacturer, and installing the test INF gives
  the root device neither. Devices keep both as the LocationInformation and Mfg values of their
  Enum key, so a fixture gives the installed root device both with "reg import".
Text-mode stdout turns "\\n" into "\\r\\n", so a result line's " \\n\\r" arrives as " \\r\\n\\r".
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

BANNER = b"Tolvane Version:1.0.0.0"
COUNTDOWN = b"".join(b"application will close after %d seconds\r" % n for n in range(5, 0, -1))
HARDWARE_ID = "Root\\TolvaneTest"
INF_NAME = "tolvane_test.inf"
DEVICE_KEY = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum\\ROOT\\TOLVANETEST\\0000"
# The installed device sits where a PFA of 0 points, 00:00.0, the host bridge on Windows; and
# it is the one device with a manufacturer, which holds the removal key "Marlowt".
DEVICE_VALUES = {"LocationInformation": "PCI bus 0, device 0, function 0",
                 "Mfg": "Marlowtronics (Tolvane tests)"}
# What each state change or removal request leaves on standard error under Wine.
REQUEST = re.compile(rb"fixme:setupapi:SetupDiSetClassInstallParamsA \S+ \S+ ([0-9a-f]+) (\d+)")
PROPERTY_CHANGE = (0x12, 20)  # DIF_PROPERTYCHANGE, sizeof(SP_PROPCHANGE_PARAMS)
REMOVAL = (0x5, 16)  # DIF_REMOVE, sizeof(SP_REMOVEDEVICE_PARAMS)


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
        code, out, _ = self.finish(self.start(args, cwd), timeout)
        return code, out

    def start(self, args, cwd=None, debug="-all"):
        # Files, not pipes: Wine's helper processes inherit the handles and would hold a pipe
        # open until the server winds down, seconds after the program itself has ended.
        out, err = tempfile.TemporaryFile(), tempfile.TemporaryFile()
        env = dict(self.env, WINEDEBUG=debug)
        process = subprocess.Popen([self.wine] + args, cwd=cwd, env=env, stdout=out, stderr=err)
        return process, out, err

    def finish(self, started, timeout=60):
        process, out, err = started
        with out, err:
            code = process.wait(timeout=timeout)
            out.seek(0)
            err.seek(0)
            return code, out.read(), err.read()

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

    def judge(name, started, result, expected_out, expected_code, requests=None):
        code, out, err = result
        took = time.monotonic() - started
        made = [(int(function, 16), int(size)) for function, size in REQUEST.findall(err)]
        ok = (code == expected_code and out == expected_out and
              (requests is None or made == requests))
        print("%s %-38s exit %3d  %.1f s" % ("ok  " if ok else "FAIL", name, code, took))
        if not ok:
            print("    expected exit %d, output %r" % (expected_code, expected_out))
            print("    got      exit %d, output %r" % (code, out))
            if requests is not None:
                print("    requests (install function, size): expected %r, got %r" %
                      (requests, made))
            failures.append(name)

    def check(name, args, expected_out, expected_code, cwd=None):
        started = time.monotonic()
        judge(name, started, wine.finish(wine.start([options.exe] + args, cwd)), expected_out,
              expected_code)

    def check_together(cases):
        # Runs that change nothing in the tree share their five-second countdowns. Each also
        # gives the requests it made: (name, args, output, exit code, requests).
        started = time.monotonic()
        running = [(case, wine.start([options.exe] + case[1], debug="-all,fixme+setupapi"))
                   for case in cases]
        for (name, _, expected_out, expected_code, requests), run in running:
            judge(name, started, wine.finish(run), expected_out, expected_code, requests)

    def give_device(values):
        # One "reg import" for all values: each reg run costs a Wine start.
        lines = ["REGEDIT4", "", "[%s]" % DEVICE_KEY]
        lines += ['"%s"="%s"' % (name, value) for name, value in values.items()]
        with open(os.path.join(package, "device.reg"), "w") as reg:
            reg.write("\r\n".join(lines) + "\r\n")
        code, out = wine.run(["reg", "import", "device.reg"], cwd=package)
        print("%s %-38s" % ("ok  " if code == 0 else "FAIL", "device given " + ", ".join(values)))
        if code != 0:
            print("    reg import gave exit %d: %r" % (code, out))
            failures.append("device fixture")

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

        give_device(DEVICE_VALUES)
        check_together([
            # Wine: CM_Get_Device_ID_ExA succeeds without writing, so no instance ID is printed.
            ("remove alone lists (nothing)", ["remove"],
             BANNER + line(b"Driver remove success \n\r") + COUNTDOWN, 0, []),
            # Wine: CM_Locate_DevNodeA is a stub returning CR_FAILURE.
            ("rescan", ["rescan", "-sync"],
             BANNER + line(b"Enumerate Hardware changed fail \n\r") + COUNTDOWN, 0, []),
            # A PFA written out reaches the device at 00:00.0 (Wine then refuses the change)...
            ("disable PCI:0000 reaches 00:00.0", ["disable", "PCI:0000"],
             BANNER + line(b"change property by PFA => PFA = 0x0000\n\r"
                           b"disable by PFA success \n\r") + COUNTDOWN, 0, [PROPERTY_CHANGE]),
            # ...an operand without a digit names no function and reaches nothing.
            ("disable PCI:zz selects nothing", ["disable", "PCI:zz"],
             BANNER + line(b"disable by PFA fail \n\r") + COUNTDOWN, 0, []),
            ("remove PCI:zz,zz,zz selects nothing", ["remove", "PCI:zz,zz,zz"],
             BANNER + line(b"Driver remove fail \n\r") + COUNTDOWN, 0, []),
            # The manufacturer key selects the root device alone and hands over its removal
            # parameters; Wine refuses them, so the class installer is never called and the
            # device stays (checked below).
            ("remove Marlowtronics selects it", ["remove", "Marlowtronics"],
             BANNER + line(b"Driver remove success \n\r") + COUNTDOWN, 0, [REMOVAL]),
        ])
        # DIF_REMOVE itself works under Wine: a device gone here was removed without the
        # parameters the tool must hand over first.
        code, out = wine.run(["reg", "query", DEVICE_KEY])
        kept = code == 0 and b"Marlowtronics (Tolvane tests)" in out
        print("%s %-38s" % ("ok  " if kept else "FAIL", "root device kept (parameters refused)"))
        if not kept:
            print("    reg query gave exit %d: %r" % (code, out))
            failures.append("root device kept")
    finally:
        wine.stop()
        shutil.rmtree(root, ignore_errors=True)

    if failures:
        print("%d failing: %s" % (len(failures), ", ".join(failures)))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
