#!/usr/bin/python3
"""Every JSON object corvaxctl prints validates against the schema the README documents.

Runs corvaxctl --json (with and without --log and --stats) on the built-in machine and on every
example fabric: every command its --help lists (each `sim` action too) on its own and in a tour
script, the scenario scripts of the golden runs and of the shipped-driver comparison, and the
failures that end a run (a bad operand, a bad file, a bad script line, a refused event). Each
line of standard output must be one JSON object that the schema accepts, every command and
every kind of object must have been seen, and the schema must refuse objects broken on purpose
(a key it does not know, an upper-case hex digit, a missing key), so that it can fail at all.
"""
import argparse
import concurrent.futures
import copy
import glob
import json
import os
import re
import subprocess
import sys
import tempfile

from jsonschema import Draft202012Validator

# Operands that name something on the built-in machine; on the others they may name nothing,
# which must still give valid objects.
TOUR = """\
version
count
model
table
switches
bitmap
on-bridge 05:00.0
config 05:00.0
config 06:00.0
config 01:00.0
config 7f:1f.7
update
rescan
restore
led 05:00.0 on
led 0:5 off
ids
led-all
clear-cpm
system-disks
ioctl CORVAX_GET_TABLE --out-len 16
ioctl 0x00221424 --in 00112233 --out-len 4
disable --force
enable
wait --expect 0:5
restore
set-ids 1f0a
hotswap --force
set-ids 1f0a 8086 144d 1344 1cc4 1e81 1b4b
update
ids
cycle --count 2 --force
"""

# One command line each: every sim action, and runs that end in an error object.
SINGLES = [
    ["sim", "pull", "0:0"],
    ["sim", "insert", "0:5", "1f0a:0710"],
    ["sim", "replace", "0:0", "1f0a:0710"],
    ["sim", "stuck", "0:0", "on"],
    ["sim", "downtrain", "0:0", "2.5", "1"],
    ["sim", "downtrain", "0:0", "off"],
    ["sim", "errors", "0:0", "correctable,unsupported"],
    ["sim", "errors", "0:0", "off"],
    ["cycle", "--count", "2", "--force", "replace", "0:1", "1f0a:0710"],
    ["led", "01:00.0", "on"],
    ["sim", "read", "05:00.0", "0"],
    ["sim", "write", "05:00.0", "4", "6"],
    ["sim", "readmem", "0xF7002000"],
    ["sim", "writemem", "0xF7002000", "0"],
    ["sim", "wait", "10"],
    ["hotswap", "--force", "replace", "0:1", "1f0a:0710", "stuck", "0:3", "on"],
    ["hotswap", "--force", "pull", "0:5"],
    ["hotswap", "--force", "pull", "2:0"],
    ["config", "5:zz.0"],
    ["bogus"],
    ["script", "/nonexistent/commands.txt"],
]


def commands_offered(ctl):
    """The commands --help lists, with each sim action."""
    def listed(args):
        text = subprocess.run([ctl] + args, capture_output=True, text=True, check=True).stdout
        part = text.split("Subcommands:", 1)[1]
        return [m.group(1) for m in re.finditer(r"^  ([a-z-]+) ", part, re.M)]

    names = [n for n in listed(["--help"]) if n not in ("sim", "script")]
    return names + ["sim " + n for n in listed(["sim", "--help"])]


def run(ctl, args, stdin=None):
    p = subprocess.run([ctl] + args, input=stdin, capture_output=True, text=True, timeout=300)
    return " ".join(args), p.returncode, p.stdout, p.stderr


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--ctl", required=True)
    parser.add_argument("--schema", required=True)
    parser.add_argument("--source", required=True)
    a = parser.parse_args()

    def unique(pairs):
        # A key given twice in the schema silently hides the first definition.
        keys = [k for k, _ in pairs]
        twice = sorted({k for k in keys if keys.count(k) > 1})
        if twice:
            raise ValueError("keys given twice in the schema: %s" % ", ".join(twice))
        return dict(pairs)

    with open(a.schema) as f:
        schema = json.load(f, object_pairs_hook=unique)
    Draft202012Validator.check_schema(schema)
    validator = Draft202012Validator(schema)
    failures = []

    fabrics = [[]] + [["--fabric", f] for f in
                      sorted(glob.glob(os.path.join(a.source, "examples/fabrics/*.json")))]
    scripts = sorted(glob.glob(os.path.join(a.source, "tests/corvaxctl/golden/*.script")) +
                     glob.glob(os.path.join(a.source, "tests/shipped/scenarios/*.script")))
    work = tempfile.mkdtemp(prefix="corvaxctl-schema-")
    tour = os.path.join(work, "tour.script")
    with open(tour, "w") as f:
        f.write(TOUR)
    # Cycles that fail a slot's verdict, and one that stops at the first failure.
    cycles = os.path.join(work, "cycles.script")
    with open(cycles, "w") as f:
        f.write("sim downtrain 0:0 2.5 1\nsim errors 0:1 fatal\ncycle --count 2 --force\n"
                "cycle --count 3 --force --stop-on-failure\nsim stuck 0:0 on\n"
                "cycle --count 1 --force\n")
    bad = os.path.join(work, "bad.script")
    with open(bad, "w") as f:
        f.write("count\nled 05:00.0 9\n")

    jobs = []
    for fabric in fabrics:
        for flags in (["--json"], ["--json", "--log", "--stats", "--load-event"]):
            jobs.append(fabric + flags + ["script", tour])
            jobs.append(fabric + flags + ["script", cycles])
            jobs.append(fabric + flags + ["script", bad])
        for single in SINGLES:
            jobs.append(fabric + ["--json"] + single)
        for script in scripts:
            jobs.append(fabric + ["--json", "--log", "--stats", "script", script])
    jobs.append(["--json", "--fabric", "/nonexistent/machine.json", "table"])

    seen_commands = set()
    seen_events = set()
    objects = 0
    with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        for where, code, out, err in pool.map(lambda args: run(a.ctl, args), jobs):
            lines = out.splitlines()
            if not lines:
                failures.append("%s: no JSON at all (exit %d, %s)" % (where, code, err.strip()))
            for number, line in enumerate(lines, 1):
                try:
                    obj = json.loads(line)
                except ValueError as e:
                    failures.append("%s: line %d is not JSON (%s): %s" % (where, number, e,
                                                                          line[:200]))
                    continue
                objects += 1
                errors = sorted(validator.iter_errors(obj), key=lambda e: list(e.path))
                if errors:
                    best = errors[0]
                    failures.append("%s: line %d (%s) breaks the schema at %s: %s" % (
                        where, number, obj.get("command", obj.get("event")),
                        "/".join(str(p) for p in best.absolute_path), best.message[:300]))
                if "command" in obj:
                    seen_commands.add(obj["command"])
                if "event" in obj:
                    seen_events.add(obj["event"])
            # Exit code 2 comes with an error object for each failure: the run's last object, or
            # in a script one after each line refused (the script goes on).
            errors_seen = [line for line in lines if '"event":"error"' in line]
            if code == 2 and not errors_seen:
                failures.append("%s: exit 2 without an error object" % where)
            # A cycle that could not go on (5) outranks a refused line in a script's exit code.
            if code not in (2, 5) and errors_seen:
                failures.append("%s: exit %d with an error object" % (where, code))

    missing = [c for c in commands_offered(a.ctl) if c not in seen_commands]
    if missing:
        failures.append("commands never seen: %s" % ", ".join(missing))
    for event in ("load", "error"):
        if event not in seen_events:
            failures.append("no %s object seen" % event)

    # The schema refuses what it must: each object below breaks one rule.
    table = json.loads(run(a.ctl, ["--json", "table"])[2])
    broken = []
    extra = copy.deepcopy(table)
    extra["bogus"] = 1
    broken.append(("a key it does not know", extra))
    upper = copy.deepcopy(table)
    upper["drives"][0]["vendor"] = "0x1F0A"  # the first drive's vendor, 0x1f0a
    broken.append(("an upper-case hex digit", upper))
    missing_key = copy.deepcopy(table)
    del missing_key["drives"][0]["slot"]
    broken.append(("a missing key", missing_key))
    numbered = copy.deepcopy(table)
    numbered["drives"][0]["switch"] = 3
    broken.append(("a switch number the driver cannot give", numbered))
    hotswap = json.loads(run(a.ctl, ["--json", "hotswap"])[2])
    if not validator.is_valid(hotswap):
        failures.append("the schema refuses the plain hotswap it is to break below")
    drive_key = copy.deepcopy(hotswap)
    drive_key["drives"][0]["restored"] = True
    broken.append(("a drive key it does not know in a hotswap", drive_key))
    change = copy.deepcopy(hotswap)
    change["drives"][0]["change"] = "restored,replaced"
    broken.append(("a change it does not know", change))
    unknown = {"command": "frobnicate", "status": "0x00000000", "information": 0, "output": ""}
    broken.append(("a command it does not know", unknown))
    for what, obj in broken:
        if validator.is_valid(obj):
            failures.append("the schema accepts an object with %s" % what)

    print("%d runs, %d objects, %d commands seen" % (len(jobs), objects, len(seen_commands)))
    for f in failures[:40]:
        print("FAIL " + f)
    if len(failures) > 40:
        print("... and %d more" % (len(failures) - 40))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
