#!/usr/bin/python3
"""Checks the Windows package: every file in the folder and in the zip, the driver's test
signature against the shipped certificate and its PE checksum after signing, the three binaries
stripped with their debug information linked from the build folder, their sizes, the version
resources, the public header compiling as C and as C++ with the mingw compilers, INSTALL.txt
with Windows line endings only and the accepted vendor list explained, and the JSON schema."""
import json
import os
import struct
import subprocess
import sys
import tempfile
import zipfile
import zlib

import pefile

NAME = "corvax-2.0.1.20-x64"
FILES = ["corvax.sys", "corvax-test.cer", "tolvane.exe", "corvaxctl.exe", "corvax_ioctl.h",
         "INSTALL.txt", "corvaxctl.schema.json"]
# Each binary: where the build keeps it (and its debug file), and the most it may weigh as
# shipped. An unstripped one weighs about twice as much or more.
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
    link = named.get(".gnu_debuglink")
    check(f"{binary} names its debug file", link is not None)
    if link is None:
        return
    content = link.get_data()
    end = content.index(b"\0")
    name = content[:end].decode()
    crc = struct.unpack_from("<I", content, (end + 4) & ~3)[0]
    debug_path = os.path.join(build, where, name)
    exists = os.path.isfile(debug_path)
    check(f"{binary}'s debug file {where}/{name} is in the build folder", exists)
    if not exists:
        return
    debug_data = open(debug_path, "rb").read()
    check(f"{binary}'s debug file matches the link's CRC",
          zlib.crc32(debug_data) == crc, "0x%08X vs 0x%08X" % (zlib.crc32(debug_data), crc))
    debug_pe, debug_named = sections(debug_path)
    check(f"{binary}'s debug file holds the debug information and the symbols",
          ".debug_info" in debug_named and debug_pe.FILE_HEADER.NumberOfSymbols > 0,
          "%s, %d symbols" % (sorted(debug_named), debug_pe.FILE_HEADER.NumberOfSymbols))


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

    with open(sys_path, "rb") as f:
        signed = f.read()
    stored = pefile.PE(data=signed, fast_load=True).OPTIONAL_HEADER.CheckSum
    computed = pe_checksum(signed)
    check("corvax.sys PE checksum is right after signing", stored == computed and stored != 0,
          "stored 0x%08X, computed 0x%08X" % (stored, computed))
    for binary in BINARIES:
        check_stripped(build, folder, binary)

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
                  b"corvaxctl rescan"):
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
