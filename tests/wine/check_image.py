#!/usr/bin/env python3
"""Checks the built tolvane.exe: a console program with an embedded "asInvoker" manifest that
imports SetupAPI but not newdev.dll (loaded by name at run time) and needs no mingw runtime
DLLs."""
import re
import shutil
import subprocess
import sys


def main():
    exe = sys.argv[1]
    objdump = shutil.which("x86_64-w64-mingw32-objdump") or sys.exit("objdump not found")
    dump = subprocess.run([objdump, "-p", exe], check=True, stdout=subprocess.PIPE,
                          universal_newlines=True).stdout
    dlls = {name.upper() for name in re.findall(r"DLL Name: (\S+)", dump)}
    image = open(exe, "rb").read()
    checks = [
        ("console subsystem", re.search(r"Subsystem\s+00000003", dump) is not None),
        ("imports SETUPAPI.dll", "SETUPAPI.DLL" in dlls),
        ("does not import newdev.dll", "NEWDEV.DLL" not in dlls),
        ("no mingw runtime DLLs",
         not any(d.startswith(("LIBSTDC++", "LIBGCC", "LIBWINPTHREAD")) for d in dlls)),
        ("manifest resource (type 24)", re.search(r"Entry: ID: 0x000018", dump) is not None),
        ("manifest asks asInvoker", b'level="asInvoker"' in image),
        ("names UpdateDriverForPlugAndPlayDevicesA",
         b"UpdateDriverForPlugAndPlayDevicesA" in image and b"newdev.dll" in image),
    ]
    failed = [name for name, ok in checks if not ok]
    for name, ok in checks:
        print("%s %s" % ("ok  " if ok else "FAIL", name))
    if failed:
        print("imports: %s" % ", ".join(sorted(dlls)))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
