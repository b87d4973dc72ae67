#!/usr/bin/python3
"""Checks the driver image: a native-subsystem image entered at DriverEntry, importing only from
ntoskrnl.exe and hal.dll, with no DLL flag and no export table, carrying the version marker in
its initialised data; and the rules memory integrity (hypervisor-protected code integrity) sets
for a driver: NX_COMPAT set, no section both writable and executable, sections aligned to
0x1000, no import of MmMapIoSpace.

    check_image.py IMAGE [--pdb-dir DIR]

The entry point is looked up in the PDB the image's CodeView record names (beside the image, or
in DIR), which must carry the record's signature and age."""
import argparse
import os
import sys

import pefile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import codeview  # noqa: E402

NATIVE_SUBSYSTEM = 1
FILE_DLL = 0x2000
NX_COMPAT = 0x0100
SECTION_EXECUTE = 0x20000000
SECTION_WRITE = 0x80000000
PAGE = 0x1000
ALLOWED_MODULES = {"ntoskrnl.exe", "hal.dll"}
MARKER = b"Drv Ver:2.0.1.20"


def section_name(pe, data, section):
    """The section's name; a long name ("/4") is read from the COFF string table."""
    raw = section.Name.rstrip(b"\0").decode("latin-1")
    if not raw.startswith("/"):
        return raw
    header = pe.FILE_HEADER
    table = header.PointerToSymbolTable + header.NumberOfSymbols * 18
    start = table + int(raw[1:])
    return data[start:data.index(b"\0", start)].decode("latin-1")


def entry_symbol_address(image, pdb_dirs):
    """DriverEntry's relative address from the PDB the image names, and where it came from."""
    record = codeview.codeview_record(image)
    if record is None:
        return None, "no CodeView record"
    name, signature, age = record
    found = [p for p in (os.path.join(d, name) for d in pdb_dirs) if os.path.isfile(p)]
    if not found:
        return None, "%s not found in %s" % (name, ", ".join(pdb_dirs))
    if codeview.pdb_identity(found[0]) != (signature, age):
        return None, "%s is not the PDB of this image (signature or age)" % found[0]
    functions = codeview.pdb_functions(found[0])
    if "DriverEntry" not in functions:
        return None, "no DriverEntry in " + found[0]
    return codeview.rva(image, *functions["DriverEntry"]), found[0]


def imports(pe):
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"]])
    out = []
    for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        for symbol in entry.imports:
            out.append((entry.dll.decode().lower(),
                        symbol.name.decode() if symbol.name else "#%d" % symbol.ordinal))
    return out


def checks(image, pdb_dirs=()):
    """Every rule as (name, passed, detail)."""
    data = open(image, "rb").read()
    pe = pefile.PE(data=data, fast_load=True)
    opt = pe.OPTIONAL_HEADER
    found = imports(pe)
    modules = sorted({m for m, _ in found})
    names = [section_name(pe, data, s) for s in pe.sections]
    results = []

    def rule(name, passed, detail=""):
        results.append((name, bool(passed), detail))

    rule("native subsystem", opt.Subsystem == NATIVE_SUBSYSTEM, "subsystem %d" % opt.Subsystem)
    rule("no DLL flag", (pe.FILE_HEADER.Characteristics & FILE_DLL) == 0,
         "characteristics 0x%04X" % pe.FILE_HEADER.Characteristics)
    address, where = entry_symbol_address(image, [os.path.dirname(os.path.abspath(image))] +
                                          list(pdb_dirs))
    rule("entry point is DriverEntry", address is not None and address == opt.AddressOfEntryPoint,
         "entry 0x%X, DriverEntry %s (%s)" % (opt.AddressOfEntryPoint,
                                              "?" if address is None else "0x%X" % address, where))
    export = opt.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_EXPORT"]]
    rule("no export table", export.VirtualAddress == 0 and export.Size == 0)
    rule("imports only ntoskrnl.exe and hal.dll",
         modules and set(modules) <= ALLOWED_MODULES, "imports from " + ", ".join(modules))
    data_sections = [s for s, n in zip(pe.sections, names) if n == ".data"]
    rule("version marker in .data", any(MARKER in s.get_data() for s in data_sections))

    rule("NX_COMPAT set", (opt.DllCharacteristics & NX_COMPAT) != 0,
         "DllCharacteristics 0x%04X" % opt.DllCharacteristics)
    both = [n for s, n in zip(pe.sections, names)
            if (s.Characteristics & (SECTION_WRITE | SECTION_EXECUTE)) ==
            (SECTION_WRITE | SECTION_EXECUTE)]
    rule("no section both writable and executable", not both, "writable and executable: " +
         ", ".join(both))
    unaligned = [n for s, n in zip(pe.sections, names) if s.VirtualAddress % PAGE != 0]
    rule("sections aligned to 0x1000", opt.SectionAlignment == PAGE and not unaligned,
         "SectionAlignment 0x%X, unaligned: %s" % (opt.SectionAlignment, ", ".join(unaligned)))
    mapping = ["%s!%s" % (m, n) for m, n in found if n == "MmMapIoSpace"]
    rule("no import of MmMapIoSpace", not mapping, ", ".join(mapping))
    return results


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("image")
    parser.add_argument("--pdb-dir", action="append", default=[])
    a = parser.parse_args()
    if not os.path.isfile(a.image):
        print("FAIL - %s does not exist" % a.image)
        return 1
    failed = 0
    for name, passed, detail in checks(a.image, a.pdb_dir):
        print(("ok   - " if passed else "FAIL - ") + name + ("" if passed else " (%s)" % detail))
        failed += 0 if passed else 1
    print("%d failed" % failed)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
