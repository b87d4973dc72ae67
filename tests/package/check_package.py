#!/usr/bin/python3
"""Checks the Windows package: every file in the folder and in the zip, the driver's test
signature against the shipped certificate, the version resources, and the public header
compiling as C and as C++ with the mingw compilers."""
import os
import subprocess
import sys
import tempfile
import zipfile

import pefile

NAME = "corvax-2.0.1.20-x64"
FILES = ["corvax.sys", "corvax-test.cer", "tolvane.exe", "corvaxctl.exe", "corvax_ioctl.h",
         "INSTALL.txt"]
failures = []


def check(what, ok, detail=""):
    print(("ok   - " if ok else "FAIL - ") + what + (f" ({detail})" if detail and not ok else ""))
    if not ok:
        failures.append(what)


def version_strings(path):
    pe = pefile.PE(path)
    strings = {}
    for info in getattr(pe, "FileInfo", []) or []:
        for entry in info:
            for table in getattr(entry, "StringTable", []):
                for key, value in table.entries.items():
                    strings[key.decode()] = value.decode()
    fixed = pe.VS_FIXEDFILEINFO[0] if getattr(pe, "VS_FIXEDFILEINFO", None) else None
    numeric = None
    if fixed is not None:
        numeric = (fixed.FileVersionMS >> 16, fixed.FileVersionMS & 0xFFFF,
                   fixed.FileVersionLS >> 16, fixed.FileVersionLS & 0xFFFF)
    return strings, numeric


def main(build):
    root = os.path.join(build, "package")
    folder = os.path.join(root, NAME)
    archive = os.path.join(root, NAME + ".zip")
    for f in FILES:
        check(f"{f} in the folder", os.path.isfile(os.path.join(folder, f)))
    check("the zip exists", os.path.isfile(archive))
    if os.path.isfile(archive):
        with zipfile.ZipFile(archive) as z:
            names = set(z.namelist())
            for f in FILES:
                member = f"{NAME}/{f}"
                inside = member in names
                check(f"{member} in the zip", inside)
                if inside and os.path.isfile(os.path.join(folder, f)):
                    with open(os.path.join(folder, f), "rb") as local:
                        check(f"{member} equals the folder's copy", z.read(member) == local.read())

    sys_path = os.path.join(folder, "corvax.sys")
    cer_path = os.path.join(folder, "corvax-test.cer")
    with tempfile.TemporaryDirectory() as tmp:
        pem = os.path.join(tmp, "cert.pem")
        subprocess.run(["openssl", "x509", "-inform", "der", "-in", cer_path, "-out", pem],
                       check=True, capture_output=True)
        verify = subprocess.run(["osslsigncode", "verify", "-CAfile", pem, "-in", sys_path],
                                capture_output=True, text=True)
        check("corvax.sys signature verifies against corvax-test.cer",
              verify.returncode == 0 and "Signature verification: ok" in verify.stdout,
              verify.stdout[-400:] + verify.stderr[-400:])
        # A signature made with another certificate must not pass as ours.
        other_key = os.path.join(tmp, "other.key")
        other = os.path.join(tmp, "other.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                        "-subj", "/CN=Someone Else", "-keyout", other_key, "-out", other],
                       check=True, capture_output=True)
        wrong = subprocess.run(["osslsigncode", "verify", "-CAfile", other, "-in", sys_path],
                               capture_output=True, text=True)
        check("the signature does not verify against another certificate",
              wrong.returncode != 0)

    strings, numeric = version_strings(sys_path)
    check("corvax.sys FileVersion 2.0.1.20", strings.get("FileVersion") == "2.0.1.20",
          str(strings))
    check("corvax.sys numeric version 2.0.1.20", numeric == (2, 0, 1, 20), str(numeric))
    strings, numeric = version_strings(os.path.join(folder, "tolvane.exe"))
    check("tolvane.exe FileVersion 1.0.0.0", strings.get("FileVersion") == "1.0.0.0",
          str(strings))
    check("tolvane.exe numeric version 1.0.0.0", numeric == (1, 0, 0, 0), str(numeric))

    header = os.path.join(folder, "corvax_ioctl.h")
    with tempfile.TemporaryDirectory() as tmp:
        for compiler, language, std in (("x86_64-w64-mingw32-gcc", "c", "-std=c11"),
                                        ("x86_64-w64-mingw32-g++", "c++", "-std=c++17")):
            source = os.path.join(tmp, "client." + ("c" if language == "c" else "cpp"))
            with open(source, "w") as s:
                s.write('#include "corvax_ioctl.h"\n'
                        "int Size(void) { return (int)sizeof(BridgeApInfo) * 3 + "
                        "(int)sizeof(PciTableEntry) + (int)CORVAX_GET_TABLE; }\n")
            run = subprocess.run([compiler, std, "-Wall", "-Wextra", "-Werror", "-pedantic",
                                  "-I", os.path.dirname(header), "-c", source, "-o",
                                  os.path.join(tmp, "client.o")],
                                 capture_output=True, text=True)
            check(f"corvax_ioctl.h compiles as {language}", run.returncode == 0, run.stderr)

    print(f"{len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
