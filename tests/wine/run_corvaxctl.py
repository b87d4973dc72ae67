#!/usr/bin/env python3
"""The real corvaxctl.exe under Wine, in a throwaway prefix: the system-disk locator run for real,
and the refusals that need no driver.

Wine's limits each case meets:
- IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS on a volume of Wine's succeeds with no extents at all, so
  the Windows directory's disk cannot be found and corvaxctl says "unknown" with the reason.
- A fresh prefix lists no page file in use (no ExistingPageFiles value); one is given with
  "reg add", and it is then located (and found unknown) like the Windows directory.
- There is no Corvax driver: every command that needs it ends on "cannot open \\\\.\\CorvaxDev"
  with exit code 2. "system-disks" needs no driver.
Text-mode stdout turns "\\n" into "\\r\\n".
"""
import argparse
import json
import os
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from run_tolvane import Wine, find_wine  # noqa: E402

MEMORY = "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Memory Management"
UNKNOWN_C = b"unknown (the volume of C:\\ lies on no disk)"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--work", required=True)
    options = parser.parse_args()

    os.makedirs(options.work, exist_ok=True)
    root = tempfile.mkdtemp(prefix="corvaxctl-wine-", dir=options.work)
    wine = Wine(find_wine(), os.path.join(root, "prefix"))
    failures = []

    def check(name, args, expected_code, expected_out=None, expected_err=None, judge=None):
        started = time.monotonic()
        code, out, err = wine.finish(wine.start([options.exe] + args))
        ok = code == expected_code
        ok = ok and (expected_out is None or out == expected_out)
        ok = ok and (expected_err is None or err == expected_err)
        ok = ok and (judge is None or judge(out))
        print("%s %-44s exit %3d  %.1f s" % ("ok  " if ok else "FAIL", name, code,
                                            time.monotonic() - started))
        if not ok:
            print("    expected exit %d, output %r, error %r" %
                  (expected_code, expected_out, expected_err))
            print("    got      exit %d, output %r, error %r" % (code, out, err))
            failures.append(name)

    def json_disks(out):
        disks = json.loads(out.decode())["disks"]
        return (len(disks) == 2 and disks[0]["what"].lower() == "the windows directory c:\\windows"
                and disks[0]["pfa"] is None and disks[0]["bdf"] is None
                and disks[0]["unknown"] == UNKNOWN_C.decode()[9:-1]
                and disks[1]["what"] == "the page file C:\\pagefile.sys"
                and disks[1]["pfa"] is None)

    try:
        started = time.monotonic()
        wine.run(["wineboot", "-i"], timeout=180)
        wine.keep_alive()
        print("prefix ready in %.1f s" % (time.monotonic() - started))

        check("system-disks in a fresh prefix", ["system-disks"], 0,
              b"the Windows directory C:\\windows: " + UNKNOWN_C + b"\r\n", b"")
        code, out = wine.run(["reg", "add", MEMORY, "/v", "ExistingPageFiles", "/t",
                              "REG_MULTI_SZ", "/d", "\\??\\C:\\pagefile.sys", "/f"])
        print("%s %-44s" % ("ok  " if code == 0 else "FAIL", "page file listed"))
        if code != 0:
            print("    reg add gave exit %d: %r" % (code, out))
            failures.append("page file listed")
        check("system-disks with a page file", ["system-disks"], 0,
              b"the Windows directory C:\\windows: " + UNKNOWN_C + b"\r\n" +
              b"the page file C:\\pagefile.sys: " + UNKNOWN_C + b"\r\n", b"")
        check("system-disks as JSON", ["--json", "system-disks"], 0, judge=json_disks,
              expected_err=b"")
        check("--log refused, pointing at INSTALL.txt", ["--log", "version"], 2, b"",
              b"corvaxctl: --log and --stats need the simulated machine; on Windows the driver's "
              b"lines go to the kernel's debug output, which Windows shows only when allowed: see "
              b"\"Seeing the driver's lines\" in INSTALL.txt\r\n")
        check("disable without the driver", ["disable"], 2, b"",
              b"corvaxctl: cannot open \\\\.\\CorvaxDev: File not found (is the Corvax driver "
              b"loaded?)\r\n")
        check("sim wait refused", ["sim", "wait", "10"], 2, b"",
              b"corvaxctl: 'sim' acts on the simulated machine; this build talks to the "
              b"real device\r\n")
        check("--fabric refused", ["--fabric", "x.json", "table"], 2, b"",
              b"corvaxctl: --fabric describes a simulated machine; this build talks to the "
              b"real device\r\n")
        # Operands are checked before the device is opened: the bad one is named, not the
        # missing driver.
        check("a bad PFA before the device", ["config", "5:zz.0"], 2, b"",
              b"corvaxctl: bad PFA '5:zz.0': give bus:device.function (hexadecimal, e.g. "
              b"05:00.0) or a hexadecimal PFA (e.g. 0x0500); bus 0-ff, device 0-1f, function "
              b"0-7\r\n")
        check("hotswap events refused before the device", ["hotswap", "pull", "0:1"], 2, b"",
              b"corvaxctl: hotswap events act on the simulated machine; on this host swap the "
              b"drives by hand when asked\r\n")
        check("cycle events refused before the device", ["cycle", "pull", "0:1"], 2, b"",
              b"corvaxctl: cycle events act on the simulated machine; on this host the cycle "
              b"runs unattended, without swaps\r\n")
        check("cycle without the driver", ["cycle", "--count", "2"], 2, b"",
              b"corvaxctl: cannot open \\\\.\\CorvaxDev: File not found (is the Corvax driver "
              b"loaded?)\r\n")
        check("--version without the driver", ["--version"], 0,
              b"corvaxctl 2.0.1.20 (for the Corvax driver of the same version; `corvaxctl "
              b"version` asks the driver)\r\n", b"")
        check("a bad operand as JSON", ["--json", "led", "05:00.0", "9"], 2,
              judge=lambda out: json.loads(out.decode())["event"] == "error"
              and json.loads(out.decode())["exit_code"] == 2
              and json.loads(out.decode())["message"].startswith("bad LED TYPE '9'"))
        check("--help offers what works here", ["--help"], 0,
              judge=lambda out: all(word not in out for word in
                                    (b"--fabric", b"--log", b"--stats", b"--load-event",
                                     b"\r\n  sim "))
              and b"hotswap" in out and b"cycle" in out and b"--json" in out)
    finally:
        wine.stop()

    if failures:
        print("%d failed: %s" % (len(failures), ", ".join(failures)))
        return 1
    print("all passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
