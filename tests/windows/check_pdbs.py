#!/usr/bin/python3
"""Checks the symbols a Windows debugger reads: each shipped binary against the PDB of the same
name in the symbols archive, and each built binary against the PDB beside it.

- The image's CodeView record names the PDB by file name alone, and its signature and age are
  the PDB's (a debugger loads no PDB whose signature or age differs).
- corvax.sys's PDB holds DriverEntry at the image's entry point, the driver's own entry, the
  control dispatcher and every request handler dispatch.h declares, by name; each program's
  PDB holds main.
- The check fails on what it must refuse: the driver against another image's PDB, and images
  whose record was given another age or signature.

    check_pdbs.py WINDOWS_BUILD SOURCE_DIR"""
import os
import re
import shutil
import sys
import tempfile
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import codeview  # noqa: E402

NAME = "corvax-2.0.1.20-x64"
# Each binary and where the build keeps it.
BINARIES = {
    "corvax.sys": "driver",
    "tolvane.exe": "installer",
    "corvaxctl.exe": "tools/corvaxctl",
}
failures = []


def check(what, ok, detail=""):
    print(("ok   - " if ok else "FAIL - ") + what + (f" ({detail})" if detail and not ok else ""))
    if not ok:
        failures.append(what)


def required_functions(binary, source):
    if binary != "corvax.sys":
        return ["main"]
    with open(os.path.join(source, "driver", "control", "dispatch.h")) as f:
        handlers = re.findall(r"\bvoid (Handle\w+)\(ControlRequest& \w+\);", f.read())
    return ["DriverEntry", "CorvaxDriverEntry", "CorvaxControlDispatch"] + [
        "corvax::" + h for h in handlers]


def problems(image, pdb, functions):
    """Every way the PDB fails the image, as text; empty when it serves."""
    found = []
    record = codeview.codeview_record(image)
    if record is None:
        return ["no CodeView record in the image"]
    name, signature, age = record
    if name != os.path.basename(pdb):
        found.append("the record names %r, not %r" % (name, os.path.basename(pdb)))
    if (signature, age) != codeview.pdb_identity(pdb):
        found.append("the record's signature and age %s/%d are not the PDB's %s/%d" %
                     ((signature, age) + codeview.pdb_identity(pdb)))
    named = codeview.pdb_functions(pdb)
    missing = [f for f in functions if f not in named]
    if missing:
        found.append("the PDB does not name " + ", ".join(missing))
    if "DriverEntry" in named:
        at = codeview.rva(image, *named["DriverEntry"])
        if at != codeview.entry_point(image):
            found.append("DriverEntry at 0x%X, the image's entry at 0x%X" %
                         (at, codeview.entry_point(image)))
    return found


def crafted(image, tmp, label, offset_in_record, change):
    """A copy of the image whose CodeView record has one field changed."""
    data = bytearray(open(image, "rb").read())
    at = data.index(b"RSDS")
    change(data, at + offset_in_record)
    path = os.path.join(tmp, label, os.path.basename(image))
    os.makedirs(os.path.dirname(path))
    with open(path, "wb") as f:
        f.write(data)
    return path


def main(build, source):
    root = os.path.join(build, "package")
    archive = os.path.join(root, NAME + "-symbols.zip")
    check("the symbols archive lies beside the package", os.path.isfile(archive))
    if not os.path.isfile(archive):
        return 1
    with tempfile.TemporaryDirectory() as tmp:
        with zipfile.ZipFile(archive) as z:
            names = sorted(z.namelist())
            z.extractall(tmp)
        pdbs = sorted("%s-symbols/%s.pdb" % (NAME, os.path.splitext(b)[0]) for b in BINARIES)
        check("the symbols archive holds one PDB per binary and nothing else",
              [n for n in names if not n.endswith("/")] == pdbs, str(names))
        for binary, where in BINARIES.items():
            pdb_name = os.path.splitext(binary)[0] + ".pdb"
            functions = required_functions(binary, source)
            shipped = os.path.join(root, NAME, binary)
            archived = os.path.join(tmp, NAME + "-symbols", pdb_name)
            if os.path.isfile(archived):
                found = problems(shipped, archived, functions)
                check("shipped %s and its PDB in the symbols archive" % binary, not found,
                      "; ".join(found))
            built = os.path.join(build, where, binary)
            found = problems(built, os.path.join(build, where, pdb_name), functions)
            check("built %s and the PDB beside it" % binary, not found, "; ".join(found))

        # What the check must refuse.
        driver = os.path.join(root, NAME, "corvax.sys")
        pdb = os.path.join(tmp, NAME + "-symbols", "corvax.pdb")
        functions = required_functions("corvax.sys", source)
        other = os.path.join(tmp, "other", "corvax.pdb")
        os.makedirs(os.path.dirname(other))
        shutil.copy(os.path.join(build, "installer", "tolvane.pdb"), other)
        refused = {
            "another image's PDB under the same name": (driver, other),
            "a record of another age": (crafted(driver, tmp, "age", 20,
                                                lambda d, i: d.__setitem__(i, d[i] + 1)), pdb),
            "a record of another signature": (crafted(driver, tmp, "signature", 4,
                                                      lambda d, i: d.__setitem__(i, d[i] ^ 1)),
                                              pdb),
        }
        for what, (image, against) in refused.items():
            check("refused: " + what, problems(image, against, functions) != [])
    print("%d failed" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
