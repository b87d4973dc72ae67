#!/usr/bin/env python3
"""Runs scripts through the host corvaxctl and through corvaxctl-shipped (the shipped corvax.sys
under the harness) on every fabric given, and fails on any difference in what they print.

Every JSON line must be identical (status, information, output bytes, decoded fields, simulated
register values, stats with the stray writes), except pointer values in the debug log: the two
kernels place their buffers and views at different addresses, so a 16-digit hexadecimal number
at or above 2^44 in a log line is replaced by a mark. Physical addresses and register contents
stay far below that and are compared as printed. Exit codes and standard error must match too,
and the harness must not report a broken kernel rule.
"""
import argparse
import concurrent.futures
import difflib
import json
import os
import re
import subprocess
import sys

POINTER = re.compile(r"[0-9A-F]{16}")
POINTER_FLOOR = 1 << 44


def mask_pointers(line):
    def repl(match):
        return "<pointer>" if int(match.group(0), 16) >= POINTER_FLOOR else match.group(0)

    return POINTER.sub(repl, line)


def normalise(stdout):
    lines = []
    for text in stdout.splitlines():
        try:
            obj = json.loads(text)
        except ValueError:
            lines.append(text)
            continue
        if isinstance(obj, dict) and isinstance(obj.get("log"), list):
            obj["log"] = [mask_pointers(line) for line in obj["log"]]
        lines.append(json.dumps(obj, sort_keys=True))
    return lines


def run(binary, args, env):
    p = subprocess.run([binary] + args, capture_output=True, text=True, env=env, timeout=300)
    return p.returncode, p.stdout, p.stderr


def compare(host, shipped, script, fabric, env):
    args = (["--fabric", fabric] if fabric else []) + ["--json", "--log", "--stats", "script", script]
    where = "%s on %s" % (os.path.basename(script), os.path.basename(fabric) if fabric else "built-in")
    hcode, hout, herr = run(host, args, env)
    scode, sout, serr = run(shipped, args, env)
    problems = []
    if "kernel rule broken" in serr or "stopped the machine" in serr:
        problems.append("the shipped driver broke a kernel rule:\n" + serr)
    if hcode != scode:
        problems.append("exit code %d (host) vs %d (shipped)" % (hcode, scode))
    h = normalise(hout)
    s = normalise(sout)
    if h != s:
        diff = difflib.unified_diff(h, s, "host", "shipped", lineterm="", n=0)
        shown = [line if len(line) <= 200 else line[:200] + "..." for line in list(diff)[:16]]
        problems.append("JSON differs:\n" + "\n".join(shown))
    if herr != serr and not problems:
        problems.append("standard error differs:\nhost: %s\nshipped: %s" % (herr, serr))
    if not h:
        problems.append("no output at all (host stderr: %s)" % herr.strip())
    return where, len(h), problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", required=True)
    parser.add_argument("--shipped", required=True)
    parser.add_argument("--image", help="corvax.sys to run (CORVAX_SYS)")
    parser.add_argument("--fabric", action="append", default=[])
    parser.add_argument("--builtin", action="store_true", help="also the built-in fabric")
    parser.add_argument("scripts", nargs="+")
    a = parser.parse_args()

    env = dict(os.environ)
    if a.image:
        if not os.path.isfile(a.image):
            print("no image at %s" % a.image)
            return 1
        env["CORVAX_SYS"] = a.image
    fabrics = list(a.fabric) + ([""] if a.builtin else [])
    jobs = [(script, fabric) for script in a.scripts for fabric in fabrics]
    failed = 0
    with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        futures = [pool.submit(compare, a.host, a.shipped, s, f, env) for s, f in jobs]
        for future in futures:
            where, count, problems = future.result()
            if problems:
                failed += 1
                print("FAIL %s" % where)
                for p in problems:
                    print("  " + p.replace("\n", "\n  "))
            else:
                print("same %s (%d lines)" % (where, count))
    print("%d of %d runs differ" % (failed, len(jobs)))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
