#!/usr/bin/env python3
"""The Windows path end to end on a kernel nobody here wrote: the shipped corvaxctl.exe talks
through Wine's I/O manager (its IRPs, system buffers and descriptor lists) to the Wine test
build of the driver (corvax-wine-test.sys, never shipped), which Wine's winedevice.exe runs as a
kernel service with the simulated machine of corvax-wine-test-fabric.dll as its hardware. On
each example machine the README's commands and the hotswap cycle run as one script, in text and
in JSON, and everything is compared with the host build's corvaxctl on the same machine: what
it prints, its exit code, and the driver's own lines.

Where the two may differ, and why (each the same on Windows as under Wine):
- The client's wait runs on real time there: the wait's durations, read counts and answer
  times, and how often the driver was asked while the drives were starting, differ from run to
  run. The slots asked, and what each finally answered, may not.
- A request that fails at once leaves the Windows client no byte count: "information" is 0
  there for an error status.
- The Windows client finds where Windows keeps its disks (on Wine's volumes: on no disk, so it
  warns and goes on) and prompts for Enter in the middle of hotswap. The host build numbers the
  switches at load with one PLX_QUERY_PCI of its own. (Before a "disable" both ask for the
  switch records and read every slot without a drive, looking for a switch in a slot.)
- Pointers in the driver's lines (views, save areas) differ; physical addresses may not.
- The driver's own waits run on real time there too: whether it had to hold a slot's power off
  for the rest of its second, and for how long, differs; those lines are left out.
Wine writes each of the driver's prints as a line of its own, so they are compared without
their line feeds. The driver's unload lines must follow "sc stop", and the machine must end with no mapping
live, no fault, no stray write and no mapping of RAM asked.
"""
import argparse
import json
import os
import re
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import wine_kernel  # noqa: E402

SERVICE = "corvax-wine-test"
DEBUG = "-all,warn+debugstr,err+all"
FABRIC_VALUE = "WineTestFabric"
WINDOWS_ONLY_ERR = [
    re.compile(r"corvaxctl: warning: cannot tell which disk holds .*\(the volume of C:\\ lies "
               r"on no disk\); going on\n"),
    re.compile(r"The links are down: swap the drives, then press Enter\. "),
]
TIME = re.compile(r"after \d+\.\d ms")
TIMING_KEYS = ("waited_us", "reads", "answer_us")
POLL = re.compile(r"^Corvax2 : read config PFA=0x([0-9A-F]{8})(\(0x[0-9A-F]{8}\))?$")
POINTER_FIELD = re.compile(r"^(Corvax2 :   (ConfigTable|MsiTable) +:|PciIo : .*pVirtualAddr=|"
                           r"Brannock : .*\()")
HEX16 = re.compile(r"[0-9A-F]{16}")
HOLD = re.compile(r"^Corvax2 : Slot power off hold\(PFA=[0-9A-F]{4}, wait=\d+ us\)$")
QUERY_PCI = "Corvax2 : PLX_QUERY_PCI "
UNLOAD = ["Corvax2 : Remove Device", "Corvax2 : Driver unloaded"]
STOPPED = re.compile(r"^corvax-wine-test: machine \".*\" stopped: 0 mappings live, 0 faults, "
                     r"0 stray writes, 0 RAM mappings asked$")


def script_for(host, fabric):
    """The README's commands on this machine's own drives, then the hotswap cycle twice: with
    the default vendor list, and after set-ids has left most drives unlisted."""
    out = subprocess.run([host, "--fabric", fabric, "--json", "table"], capture_output=True,
                         text=True, check=True).stdout
    drives = json.loads(out.splitlines()[-1])["drives"]
    behind = [d["bdf"] for d in drives if d["switch"] is not None]
    onboard = [d["bdf"] for d in drives if d["switch"] is None]
    lines = ["version", "count", "model", "table", "switches"]
    for bdf in behind[:1] + onboard[:1]:
        lines += ["config " + bdf, "on-bridge " + bdf]
    lines += ["bitmap"]
    if behind:
        lines += ["led %s on" % behind[0], "led %s off" % behind[0]]
    lines += ["led-all", "clear-cpm", "ioctl CORVAX_GET_TABLE --out-len 16",
              "ioctl PLX_QUERY_PCI --out-len 8", "ioctl CORVAX_GET_BITMAP --out-len 8",
              "update", "rescan", "disable", "enable", "wait", "restore", "table", "hotswap",
              "set-ids 1f0a", "update", "hotswap", "table"]
    return lines


def text_out(raw):
    """What a Windows program wrote, its line ends as the host's."""
    return raw.decode("latin-1").replace("\r\n", "\n")


def masked_text(text):
    text = TIME.sub("after <time> ms", text)
    # The Windows client cannot know the byte count of a request that failed at once.
    blocks = text.split("> ")
    for i, block in enumerate(blocks):
        if re.search(r"^status +STATUS_\w+ \(0xC", block, re.M):
            blocks[i] = re.sub(r"^information +\d+$", "information  <lost>", block, flags=re.M)
    return "> ".join(blocks)


def masked_object(obj):
    """A JSON object with what real time decides masked."""
    if isinstance(obj, dict):
        out = {}
        for key, value in obj.items():
            if key in TIMING_KEYS and isinstance(value, int):
                out[key] = "<time>"
            else:
                out[key] = masked_object(value)
        if (out.get("command") == "ioctl" and isinstance(out.get("status"), str) and
                out["status"].startswith("0xc")):
            out["information"] = "<lost>"
        return out
    if isinstance(obj, list):
        return [masked_object(v) for v in obj]
    if isinstance(obj, str):
        return TIME.sub("after <time> ms", obj)
    return obj


def masked_print(text):
    if POINTER_FIELD.match(text):
        return HEX16.sub(lambda m: m.group(0) if int(m.group(0), 16) == 0 else "<pointer>",
                         text)
    return text


def polls(prints, at):
    """The run of configuration-read polls starting at prints[at]: (per address, the last
    answer; where the run ends)."""
    last = {}
    while at < len(prints):
        asked = POLL.match(prints[at])
        if not asked or asked.group(2):
            break
        answer = POLL.match(prints[at + 1]) if at + 1 < len(prints) else None
        if answer and answer.group(2) and answer.group(1) == asked.group(1):
            last[asked.group(1)] = answer.group(2)
            at += 2
        else:
            last[asked.group(1)] = None
            at += 1
    return last, at


def compare_prints(expected, got, owners):
    """Where the driver's prints first differ from the host build's, as text, or None. A run
    of configuration reads compares by the addresses asked and each one's last answer."""
    kept = [k for k, p in enumerate(expected) if not HOLD.match(p)]
    expected = [expected[k] for k in kept]
    owners = [owners[min(k, len(owners) - 1)] for k in kept]
    got = [p for p in got if not HOLD.match(p)]
    i = j = 0
    where = lambda: " (%s)" % owners[min(i, len(owners) - 1)]
    while i < len(expected) and j < len(got):
        want, have = polls(expected, i), polls(got, j)
        if want[1] > i or have[1] > j:
            if want[0] != have[0]:
                return "print %d%s: the reads %r, not %r" % (j, where(), have[0], want[0])
            i, j = want[1], have[1]
            continue
        if masked_print(expected[i]) != masked_print(got[j]):
            return "print %d%s: %r, not %r" % (j, where(), got[j], expected[i])
        i, j = i + 1, j + 1
    if i < len(expected) or j < len(got):
        return "print %d%s: %s" % (j, where(), "%d more than the host's" % (len(got) - j)
                                   if j < len(got) else "missing %r" % expected[i:i + 3])
    return None


def host_runs(host, fabric, script, script_lines):
    text = subprocess.run([host, "--fabric", fabric, "script", script], capture_output=True,
                          text=True, timeout=600)
    js = subprocess.run([host, "--fabric", fabric, "--json", "--log", "--load-event", "script",
                         script],
                        capture_output=True, text=True, timeout=600)
    objects = [json.loads(line) for line in js.stdout.splitlines()]
    load = objects[0]
    assert load.get("event") == "load", load
    # The host build numbers the switches with a PLX_QUERY_PCI of its own at load.
    prints = list(load["log"])
    for k, p in enumerate(prints):
        if p.startswith(QUERY_PCI):
            prints = prints[:k]
            break
    owners = ["the load"] * len(prints)
    commands = []
    for line, obj in zip(script_lines, objects[1:]):
        log = obj.pop("log", [])
        prints += log
        owners += [line] * len(log)
        commands.append(obj)
    owners += ["the unload"] * len(UNLOAD)
    # Under Wine a print's line feed is lost (see wine_kernel.driver_prints).
    prints = [p[:-1] if p.endswith("\n") else p for p in prints]
    return text, (js.returncode, commands, prints + UNLOAD, js.stderr, owners)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", required=True, help="the host build's corvaxctl")
    parser.add_argument("--exe", required=True, help="the shipped corvaxctl.exe")
    parser.add_argument("--driver", required=True,
                        help="the folder of corvax-wine-test.sys and its fabric DLL")
    parser.add_argument("--prefix", required=True, help="the Wine prefix the driver tests share")
    parser.add_argument("--work", required=True)
    parser.add_argument("fabrics", nargs="+")
    a = parser.parse_args()

    os.makedirs(a.work, exist_ok=True)
    folder = os.path.join(a.prefix, "drive_c", SERVICE)
    os.makedirs(folder, exist_ok=True)
    shutil.copy(os.path.join(a.driver, SERVICE + ".sys"), folder)
    # Found by the loader in the system folder, as any DLL a driver imports.
    fabric_dll = os.path.join(a.prefix, "drive_c", "windows", "system32",
                              SERVICE + "-fabric.dll")
    shutil.copy(os.path.join(a.driver, SERVICE + "-fabric.dll"), fabric_dll)
    failures = []

    def check(what, ok, detail=""):
        print(("ok   - " if ok else "FAIL - ") + what + ("" if ok or not detail else
                                                           "\n       " + detail))
        if not ok:
            failures.append(what)

    session = wine_kernel.Session(a.prefix, os.path.join(a.work, "driver-compare.log"), DEBUG)
    try:
        session.run(["sc", "delete", SERVICE])  # one a broken run may have left
        code, out, err = session.run(["sc", "create", SERVICE, "type=", "kernel", "start=",
                                      "demand", "binPath=",
                                      "C:\\%s\\%s.sys" % (SERVICE, SERVICE)])
        check("sc create %s" % SERVICE, code == 0, repr(out + err))
        for fabric in a.fabrics:
            name = os.path.basename(fabric)
            script = os.path.join(a.work, name + ".script")
            lines = script_for(a.host, fabric)
            with open(script, "w") as f:
                f.write("\n".join(lines) + "\n")
            enters = b"\r\n" * sum(1 for line in lines if line == "hotswap")
            host_text, (host_code, host_objects, host_prints, host_json_err,
                        owners) = host_runs(a.host, fabric, script, lines)
            session.run(["reg", "add", wine_kernel.SERVICES_KEY + SERVICE, "/v", FABRIC_VALUE,
                         "/t", "REG_SZ", "/d", wine_kernel.windows_path(fabric), "/f"])
            for form in ("text", "json"):
                mark = len(session.log_text())
                code, out, err = session.run(["sc", "start", SERVICE])
                started = session.service_state(SERVICE) == 4
                check("%s: the driver started (%s)" % (name, form), started, repr(out + err))
                if not started:
                    continue
                args = ["--json"] if form == "json" else []
                code, out, err = session.run(
                    [a.exe] + args + ["script", wine_kernel.windows_path(script)], stdin=enters,
                    timeout=600)
                session.run(["sc", "stop", SERVICE])
                log = session.log_text()[mark:]
                prints = wine_kernel.driver_prints(log)
                said = wine_kernel.debug_strings(log)
                err_text = text_out(err)
                for windows_only in WINDOWS_ONLY_ERR:
                    err_text = windows_only.sub("", err_text)
                if form == "text":
                    check("%s: the same text, exit code and errors" % name,
                          masked_text(text_out(out)) == masked_text(host_text.stdout) and
                          code == host_text.returncode and err_text == host_text.stderr,
                          "exit %d vs %d\n%s" % (code, host_text.returncode, "\n".join(
                              __import__("difflib").unified_diff(
                                  masked_text(host_text.stdout).splitlines(),
                                  masked_text(text_out(out)).splitlines(), "host", "wine",
                                  lineterm="", n=1)) + "\nerrors: %r vs %r" %
                              (err_text, host_text.stderr)))
                else:
                    objects = [json.loads(line) for line in text_out(out).splitlines()]
                    same = [masked_object(o) for o in objects] == [masked_object(o)
                                                                  for o in host_objects]
                    detail = ""
                    for h, w in zip(host_objects, objects):
                        if masked_object(h) != masked_object(w):
                            detail = "%s\n  host %s\n  wine %s" % (
                                h.get("command"), json.dumps(masked_object(h))[:600],
                                json.dumps(masked_object(w))[:600])
                            break
                    check("%s: the same JSON objects, exit code and errors" % name,
                          same and code == host_code and err_text == host_json_err,
                          detail or "exit %d vs %d, %d vs %d objects, errors %r" %
                          (code, host_code, len(objects), len(host_objects), err_text))
                difference = compare_prints(host_prints, prints, owners)
                check("%s: the driver's lines (%s), from its load to its unload" % (name, form),
                      difference is None, difference or "")
                check("%s: the machine ended clean (%s)" % (name, form),
                      any(STOPPED.match(s) for s in said), repr(said[-2:]))
    finally:
        session.run(["sc", "delete", SERVICE])
        session.end()
        shutil.rmtree(folder, ignore_errors=True)
        if os.path.exists(fabric_dll):
            os.remove(fabric_dll)
    print("%d failed" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
