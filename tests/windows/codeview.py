"""What a Windows debugger reads to find and use a binary's symbols: the CodeView record in the
image's debug directory (the PDB's file name, signature and age) and, with llvm-pdbutil, the
PDB's own signature and age and the functions it names, with their addresses."""
import re
import shutil
import struct
import subprocess

import pefile

CODEVIEW = 2  # IMAGE_DEBUG_TYPE_CODEVIEW
RSDS = b"RSDS"


def pdbutil():
    for name in ("llvm-pdbutil-14", "llvm-pdbutil"):
        found = shutil.which(name)
        if found:
            return found
    raise RuntimeError("llvm-pdbutil not found")


def guid_text(raw):
    """A GUID's 16 bytes as llvm-pdbutil and WinDbg write it."""
    d1, d2, d3 = struct.unpack_from("<IHH", raw)
    return "{%08X-%04X-%04X-%s-%s}" % (d1, d2, d3, raw[8:10].hex().upper(),
                                       raw[10:16].hex().upper())


def codeview_record(image):
    """(pdb file name, signature GUID text, age) of the image's CodeView record, or None."""
    pe = pefile.PE(image, fast_load=True)
    pe.parse_data_directories(
        directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_DEBUG"]])
    data = pe.__data__
    for entry in getattr(pe, "DIRECTORY_ENTRY_DEBUG", []):
        if entry.struct.Type != CODEVIEW:
            continue
        at = entry.struct.PointerToRawData
        raw = bytes(data[at:at + entry.struct.SizeOfData])
        if raw[:4] != RSDS or len(raw) < 25:
            return None
        age = struct.unpack_from("<I", raw, 20)[0]
        name = raw[24:raw.index(b"\0", 24)].decode()
        return name, guid_text(raw[4:20]), age
    return None


def pdb_identity(pdb):
    """(signature GUID text, age) of a PDB, as llvm-pdbutil reads them."""
    out = subprocess.run([pdbutil(), "dump", "--summary", pdb], capture_output=True, text=True,
                         check=True).stdout
    guid = re.search(r"GUID: (\{[0-9A-F-]+\})", out)
    age = re.search(r"\bAge: (\d+)", out)
    if not guid or not age:
        raise RuntimeError("llvm-pdbutil gave no signature or age for " + pdb)
    return guid.group(1), int(age.group(1))


def pdb_functions(pdb):
    """{function name: (section number, offset)} of every procedure record in the PDB's module
    symbols, names as the debugger shows them (corvax::HandleQuery)."""
    out = subprocess.run([pdbutil(), "dump", "--symbols", pdb], capture_output=True, text=True,
                         check=True).stdout
    functions = {}
    for match in re.finditer(r"S_[GL]PROC32 \[size = \d+\] `([^`]+)`\s*\n\s*parent = \d+, "
                             r"end = \d+, addr = (\d+):(\d+)", out):
        functions.setdefault(match.group(1), (int(match.group(2)), int(match.group(3))))
    return functions


def rva(image, section, offset):
    """The relative address of section:offset (sections numbered from 1) in the image."""
    pe = pefile.PE(image, fast_load=True)
    return pe.sections[section - 1].VirtualAddress + offset


def entry_point(image):
    return pefile.PE(image, fast_load=True).OPTIONAL_HEADER.AddressOfEntryPoint
