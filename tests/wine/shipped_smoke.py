#!/usr/bin/env python3
"""The shipped corvax.sys under Wine's own kernel, installed as INSTALL.txt says: the package
copied to C:\\corvax, then its own "sc create" and "sc start" lines. Wine maps and relocates the
image, binds its imports to its ntoskrnl.exe and calls DriverEntry in winedevice.exe, a user
process, where no real hardware exists and where Wine implements only part of the kernel.

The test asserts how far DriverEntry got and that it went right up to there: the image loaded
and bound, its lines so far exactly the host build's lines of a load (the window line's address
aside, which depends on the hardware), the routine lookups in their order, and a stop that the
place explains: a call the driver makes at that point and this Wine lacks, or a step a user
process cannot take (the configuration ports; reading SeExports, which Wine exports as a
function). It keeps passing when a later Wine implements the call and DriverEntry gets further.

With Wine 8 DriverEntry prints its two banners, looks up MmMapIoSpaceEx (Wine has none) and
MmMapIoSpace, and stops at MmGetPhysicalMemoryRanges, a stub that aborts the process.
"""
import argparse
import json
import os
import re
import shutil
import subprocess
import sys

import pefile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import wine_kernel  # noqa: E402

DEBUG = "-all,warn+debugstr,trace+ntoskrnl,fixme+ntoskrnl,err+module"
SERVICE = "corvax"
WINDOW_LINE = re.compile(r"^Corvax2 : Pci configuration memory start address:0x[0-9A-F]{8}$")
# The kernel routines the driver calls after each of its load lines, up to the next one (by the
# number of lines printed before them): where a call this Wine lacks may stop the load.
CALLS_AFTER = {
    2: {"KeInitializeMutex", "MmGetSystemRoutineAddress", "MmGetPhysicalMemoryRanges",
        "ExFreePool"},
    3: {"IoCreateDevice", "RtlLengthSid", "RtlCreateAcl", "RtlAddAccessAllowedAce",
        "RtlCreateSecurityDescriptor", "RtlSetDaclSecurityDescriptor",
        "ObSetSecurityObjectByPointer", "IoCreateSymbolicLink", "IoDeleteSymbolicLink",
        "IoDeleteDevice", "KeAcquireSpinLockAtDpcLevel", "KeReleaseSpinLockFromDpcLevel"},
}
# Faults a user process meets after the control device is asked for (three lines printed):
# SeExports read as the record it is on Windows, and the configuration ports of the window
# line.
FAULTS_AFTER = {3: ("page fault", "privileged instruction")}
failures = []


def check(what, ok, detail=""):
    print(("ok   - " if ok else "FAIL - ") + what + ("" if ok or not detail else " (%s)" % detail))
    if not ok:
        failures.append(what)


def host_load_lines(host):
    """The prints of a load on the host build, up to the last line that depends on no hardware
    (the accepted-vendor list)."""
    out = subprocess.run([host, "--json", "--log", "--load-event", "version"], capture_output=True,
                         text=True, check=True).stdout
    load = json.loads(out.splitlines()[0])
    prints = load["log"]
    last = max(i for i, p in enumerate(prints) if p.startswith("Corvax2 : set device id list"))
    # Without their line feeds, as Wine shows the prints.
    return [p.rstrip("\n") for p in prints[:last + 1]]


def install_steps(install_txt):
    """The "sc create" and "sc start" lines of INSTALL.txt, as argument lists."""
    with open(install_txt, "rb") as f:
        lines = f.read().decode().split("\r\n")
    steps = [line.split() for line in lines if re.match(r"^    sc (create|start) ", line)]
    return steps


def load_events(log, image_name):
    """The load thread's events in order: ("print", text), ("lookup", name, found),
    ("call", name); and how the load stopped: ("unimplemented", name), ("fault", kind) or
    None."""
    tid = None
    for line in log.split("\n"):
        found = re.match(r"^([0-9a-f]+):trace:ntoskrnl:load_driver loading driver L\"(.*)\"$",
                         line)
        if found and found.group(2).lower().endswith(image_name.lower()):
            tid = found.group(1)
    if tid is None:
        return None, None
    events = []
    for line in log.split("\n"):
        if not line.startswith(tid + ":"):
            continue
        lookup = re.search(r":ntoskrnl:MmGetSystemRoutineAddress L\"(\w+)\" (not found|->)", line)
        if lookup:
            events.append(("lookup", lookup.group(1), lookup.group(2) == "->"))
            continue
        call = re.match(r"^[0-9a-f]+:trace:ntoskrnl:(\w+) ", line)
        if call:
            events.append(("call", call.group(1)))
    prints = wine_kernel.driver_prints("\n".join(line for line in log.split("\n")
                                                 if line.startswith(tid + ":")))
    stop = None
    thread = int(tid, 16)
    unimplemented = re.search(r"wine: Unimplemented function ntoskrnl\.exe\.(\w+) called at "
                              r"address \w+ \(thread ([0-9a-f]+)\)", log)
    fault = re.search(r"wine: Unhandled (page fault|privileged instruction)[^\n]*\(thread "
                      r"([0-9a-f]+)\)", log)
    if unimplemented and int(unimplemented.group(2), 16) == thread:
        stop = ("unimplemented", unimplemented.group(1))
    elif fault and int(fault.group(2), 16) == thread:
        stop = ("fault", fault.group(1))
    return (events, prints), stop


def judge(log, running, expected, imports):
    """Every finding on one load as (what, passed, detail), and how far it got in words."""
    found = []

    def rule(what, ok, detail=""):
        found.append((what, bool(ok), detail))

    loaded, stop = load_events(log, "corvax.sys")
    rule("winedevice.exe loaded C:\\corvax\\corvax.sys", loaded is not None, log[-2000:])
    if loaded is None:
        return found, "it was not loaded"
    events, prints = loaded
    rule("its imports bound (no loader errors)", ":err:module:" not in log,
         "; ".join(line for line in log.split("\n") if ":err:module:" in line))
    same = len(prints) <= len(expected) and all(
        got == want or (WINDOW_LINE.match(got) and WINDOW_LINE.match(want))
        for got, want in zip(prints, expected))
    rule("its lines are the host build's lines of a load, in order", same,
         "got %r, expected the start of %r" % (prints, expected))
    rule("at least the load line and the banner", len(prints) >= 2, repr(prints))

    lookups = [e for e in events if e[0] == "lookup"]
    wanted = [("lookup", "MmMapIoSpaceEx", lookups[0][2] if lookups else False)]
    if lookups and not lookups[0][2]:
        wanted.append(("lookup", "MmMapIoSpace", lookups[1][2] if len(lookups) > 1 else False))
    rule("MmMapIoSpaceEx looked up, and MmMapIoSpace only when it is missing",
         lookups == wanted, repr(lookups))

    if running:
        rule("DriverEntry ran to the end: every line of the load up to the vendor list",
             len(prints) == len(expected), repr(prints))
        reason = "it ran to the end"
    elif stop is None:
        rule("the load stopped for a reason Wine names", False, log[-2000:])
        reason = "it stopped for no reason Wine named"
    elif stop[0] == "unimplemented":
        rule("it stopped at %s, a call the driver makes at that point and this Wine lacks" %
             stop[1], stop[1] in imports and stop[1] in CALLS_AFTER.get(len(prints), set()),
             "after %d lines" % len(prints))
        reason = "it stopped at %s, which this Wine does not implement" % stop[1]
    else:
        rule("it stopped on a %s, a step a user process cannot take at that point" % stop[1],
             stop[1] in FAULTS_AFTER.get(len(prints), ()), "after %d lines" % len(prints))
        reason = "it stopped on a %s" % stop[1]
    looked = ["%s%s" % (e[1], "" if e[2] else " (absent)") for e in lookups]
    return found, "DriverEntry printed %d of the load's %d fixed lines, looked up %s; %s" % (
        len(prints), len(expected), ", ".join(looked) or "nothing", reason)


def crafted_log(prints, lookups, stop="", extra=""):
    """A session log as Wine writes one, for the judgement's own cases."""
    lines = ['0118:trace:ntoskrnl:load_driver loading driver L"C:\\\\corvax\\\\corvax.sys"']
    for text in prints:
        lines.append("0118:warn:debugstr:vDbgPrintExWithPrefix 00000065:00000008: " + text)
        if text.endswith("Supported"):
            for name, present in lookups:
                lines.append('0118:%s:ntoskrnl:MmGetSystemRoutineAddress L"%s" %s' %
                             (("trace", name, "-> 000000031CAA6760") if present else
                              ("fixme", name, "not found")))
    lines += [extra] if extra else []
    if stop.startswith("unimplemented "):
        name = stop.split()[1]
        lines.append("wine: Call from 000000007B013D7E to unimplemented function "
                     "ntoskrnl.exe.%s, aborting" % name)
        lines.append("wine: Unimplemented function ntoskrnl.exe.%s called at address "
                     "000000007B013D7E (thread 0118), starting debugger..." % name)
    elif stop:
        lines.append("wine: Unhandled %s at address 00000000021A6655 (thread 0118), starting "
                     "debugger..." % stop)
    return "\n".join(lines) + "\n"


def self_test(expected, imports):
    """The judgement on loads this Wine and later ones may give: each must be judged right."""
    ex, io = ("MmMapIoSpaceEx", False), ("MmMapIoSpace", True)
    window = expected[3][:-8] + "E0000000"
    cases = [
        # (what, prints, lookups, stop, running, extra log line, passes)
        ("this Wine: stopped at MmGetPhysicalMemoryRanges", expected[:2], [ex, io],
         "unimplemented MmGetPhysicalMemoryRanges", False, "", True),
        ("a Wine with MmMapIoSpaceEx", expected[:2], [("MmMapIoSpaceEx", True)],
         "unimplemented MmGetPhysicalMemoryRanges", False, "", True),
        ("a Wine with the RAM ranges, without ObSetSecurityObjectByPointer", expected[:3],
         [ex, io], "unimplemented ObSetSecurityObjectByPointer", False, "", True),
        ("a Wine with both, SeExports still a function", expected[:3], [ex, io],
         "page fault on read access to 0x4883EC28", False, "", True),
        ("a Wine with the kernel, without the ports", expected[:3], [ex, io],
         "privileged instruction", False, "", True),
        ("a Wine that runs the whole load", expected[:2] + expected[2:3] + [window] +
         expected[4:], [ex, io], "", True, "", True),
        ("a stop at the RAM ranges after the control device", expected[:3], [ex, io],
         "unimplemented MmGetPhysicalMemoryRanges", False, "", False),
        ("a stop at a call the driver does not make", expected[:2], [ex, io],
         "unimplemented KeBugCheckEx", False, "", False),
        ("a fault before the control device", expected[:2], [ex, io], "page fault", False, "",
         False),
        ("a line not the host build's", [expected[0].replace("2.0", "2.1"), expected[1]],
         [ex, io], "unimplemented MmGetPhysicalMemoryRanges", False, "", False),
        ("only the load line", expected[:1], [], "unimplemented MmGetSystemRoutineAddress",
         False, "", False),
        ("MmMapIoSpace looked up though MmMapIoSpaceEx was there", expected[:2],
         [("MmMapIoSpaceEx", True), io], "unimplemented MmGetPhysicalMemoryRanges", False, "",
         False),
        ("an import left unbound", expected[:2], [ex, io],
         "unimplemented MmGetPhysicalMemoryRanges", False,
         "0118:err:module:import_dll Library hal.dll not found", False),
        ("running without all its lines", expected[:3], [ex, io], "", True, "", False),
        ("no reason for the stop", expected[:2], [ex, io], "", False, "", False),
    ]
    for what, prints, lookups, stop, running, extra, passes in cases:
        found, _ = judge(crafted_log(prints, lookups, stop, extra), running, expected, imports)
        failed = [f[0] for f in found if not f[1]]
        check("judged right: %s (%s)" % (what, "passes" if passes else "fails"),
              (not failed) == passes, "failed: %s" % failed)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--package", required=True, help="the unpacked package folder")
    parser.add_argument("--host", required=True, help="the host build's corvaxctl")
    parser.add_argument("--prefix", required=True, help="the Wine prefix the driver tests share")
    parser.add_argument("--work", required=True)
    a = parser.parse_args()

    expected = host_load_lines(a.host)
    steps = install_steps(os.path.join(a.package, "INSTALL.txt"))
    check('INSTALL.txt gives "sc create" and "sc start"',
          [s[:2] for s in steps] == [["sc", "create"], ["sc", "start"]], str(steps))
    image = os.path.join(a.package, "corvax.sys")
    imports = {s.name.decode() for d in pefile.PE(image).DIRECTORY_ENTRY_IMPORT
               for s in d.imports if s.name}

    folder = os.path.join(a.prefix, "drive_c", "corvax")
    shutil.rmtree(folder, ignore_errors=True)
    shutil.copytree(a.package, folder)
    os.makedirs(a.work, exist_ok=True)
    session = wine_kernel.Session(a.prefix, os.path.join(a.work, "shipped-smoke.log"), DEBUG)
    try:
        code, out, err = session.run(steps[0])
        check("sc create as INSTALL.txt writes it", code == 0, "exit %d: %r" % (code, out + err))
        code, out, err = session.run(steps[1])
        state = session.service_state(SERVICE)
        log = session.log_text()
    finally:
        session.run(["sc", "delete", SERVICE])
        session.end()
        shutil.rmtree(folder, ignore_errors=True)

    findings, summary = judge(log, state == 4, expected, imports)
    for what, ok, detail in findings:
        check(what, ok, detail)
    print(summary)
    self_test(expected, imports)

    print("%d failed" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
