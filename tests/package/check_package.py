#!/usr/bin/python3
"""Checks the Windows package: every file in the folder and in the zip and nothing more (no
PDB), the driver's test signature against the shipped certificate and its PE checksum after
signing, the three binaries stripped, each naming its PDB in the build folder by its CodeView
record, the symbols zip beside the package with those PDBs, the binaries' sizes, the version
resources, the public header compiling as C and as C++ with the mingw compilers, INSTALL.txt
with Windows line endings only, the accepted vendor list and the symbols explained, and the
JSON schema."""
import json
import os
import struct
import subprocess
import sys
import tempfile
import zipfile

import pefile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "windows"))
import codeview  # noqa: E402

NAME = "corvax-2.0.1.20-x64"
FILES = ["corvax.sys", "corvax-test.cer", "tolvane.exe", "corvaxctl.exe", "corvax_ioctl.h",
         "INSTALL.txt", "corvaxctl.schema.json"]
# Each binary: where the build keeps it (and its PDB), and the most it may weigh as shipped. An
# unstripped one weighs about twice as much or more.
BINARIES = {
    "corvax.sys": ("driver", 40 * 1024),
    "tolvane.exe": ("installer", 256 * 1024),
    "corvaxctl.exe": ("tools/corvaxctl", 2 * 1024 * 1024),
}
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


def pe_checksum(data):
    """The PE image checksum: the file summed as 16-bit little-endian words with the carries
    folded back in, the CheckSum field itself counted as zero, plus the file's length."""
    length = len(data)
    field = struct.unpack_from("<I", data, 0x3C)[0] + 4 + 20 + 64
    if length % 2:
        data += b"\0"
    words = struct.unpack("<%dH" % (len(data) // 2), data)
    total = sum(words) - words[field // 2] - words[field // 2 + 1]
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return total + length


def sections(path):
    """{name: section} with long names ("/4") read from the COFF string table."""
    data = open(path, "rb").read()
    pe = pefile.PE(data=data, fast_load=True)
    table = pe.FILE_HEADER.PointerToSymbolTable + pe.FILE_HEADER.NumberOfSymbols * 18
    named = {}
    for s in pe.sections:
        name = s.Name.rstrip(b"\0").decode("latin-1")
        if name.startswith("/"):
            start = table + int(name[1:])
            name = data[start:data.index(b"\0", start)].decode("latin-1")
        named[name] = s
    return pe, named


def check_stripped(build, folder, binary):
    where, limit = BINARIES[binary]
    path = os.path.join(folder, binary)
    size = os.path.getsize(path)
    print("     %s: %d bytes as shipped" % (binary, size))
    check(f"{binary} is at most {limit} bytes", size <= limit, str(size))
    pe, named = sections(path)
    debug = sorted(n for n in named if n.startswith(".debug"))
    check(f"{binary} is stripped (no symbols, no debug sections)",
          pe.FILE_HEADER.NumberOfSymbols == 0 and not debug,
          "%d symbols, %s" % (pe.FILE_HEADER.NumberOfSymbols, debug))
    record = codeview.codeview_record(path)
    check(f"{binary} names its PDB by file name in a CodeView record",
          record is not None and record[0] == os.path.splitext(binary)[0] + ".pdb",
          str(record))
    if record is None:
        return
    pdb = os.path.join(build, where, record[0])
    exists = os.path.isfile(pdb)
    check(f"{binary}'s PDB {where}/{record[0]} is in the build folder", exists)
    if exists:
        check(f"{binary}'s PDB has the record's signature and age",
              codeview.pdb_identity(pdb) == record[1:],
              "%s vs %s" % (codeview.pdb_identity(pdb), record[1:]))


def check_symbols(build, root):
    """The symbols zip beside the package: the PDB of each binary as the build folder has it."""
    archive = os.path.join(root, NAME + "-symbols.zip")
    check("the symbols zip is beside the package's", os.path.isfile(archive))
    if not os.path.isfile(archive):
        return
    with zipfile.ZipFile(archive) as z:
        names = set(z.namelist())
        for binary, (where, _) in BINARIES.items():
            pdb = os.path.splitext(binary)[0] + ".pdb"
            member = f"{NAME}-symbols/{pdb}"
            check(f"{member} in the symbols zip", member in names)
            if member in names:
                with open(os.path.join(build, where, pdb), "rb") as local:
                    check(f"{member} equals the build folder's", z.read(member) == local.read())


def main(build):
    root = os.path.join(build, "package")
    folder = os.path.join(root, NAME)
    archive = os.path.join(root, NAME + ".zip")
    for f in FILES:
        check(f"{f} in the folder", os.path.isfile(os.path.join(folder, f)))
    check("the folder holds nothing else", sorted(os.listdir(folder)) == sorted(FILES),
          str(sorted(os.listdir(folder))))
    check("the zip exists", os.path.isfile(archive))
    if os.path.isfile(archive):
        with zipfile.ZipFile(archive) as z:
            names = set(z.namelist())
            check("the zip holds nothing else",
                  sorted(n for n in names if not n.endswith("/")) ==
                  sorted(f"{NAME}/{f}" for f in FILES), str(sorted(names)))
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

    with open(sys_path, "rb") as f:
        signed = f.read()
    stored = pefile.PE(data=signed, fast_load=True).OPTIONAL_HEADER.CheckSum
    computed = pe_checksum(signed)
    check("corvax.sys PE checksum is right after signing", stored == computed and stored != 0,
          "stored 0x%08X, computed 0x%08X" % (stored, computed))
    for binary in BINARIES:
        check_stripped(build, folder, binary)
    check_symbols(build, root)

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

    with open(os.path.join(folder, "INSTALL.txt"), "rb") as f:
        notes = f.read()
    lines = notes.split(b"\r\n")
    check("INSTALL.txt ends every line with CR LF", notes.endswith(b"\r\n") and
          all(b"\n" not in line and b"\r" not in line for line in lines),
          "%d bare LF, %d bare CR" % (notes.count(b"\n") - notes.count(b"\r\n"),
                                      notes.count(b"\r") - notes.count(b"\r\n")))
    for words in (b"set-ids", b"unlisted-vendor", b"memory-lost,unlisted-vendor", b"update",
                  b"corvaxctl cycle", b"--record", b"tolvane chgproperty PCI:",
                  b"corvaxctl rescan",
                  NAME.encode() + b"-symbols.zip", b".sympath", b".reload"):
        check("INSTALL.txt explains %s" % words.decode(), words in notes)
    with open(os.path.join(folder, "corvaxctl.schema.json"), "rb") as f:
        try:
            schema = json.loads(f.read())
            check("corvaxctl.schema.json is a JSON schema",
                  schema.get("$schema", "").startswith("https://json-schema.org/"))
        except ValueError as e:
            check("corvaxctl.schema.json is a JSON schema", False, str(e))

    print(f"{len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
