#!/usr/bin/python3
"""The image check against crafted copies of the driver: each copy breaks one memory-integrity
rule, as a careless link or a new kernel call would, and the check must fail on exactly that
rule and pass every other one. The untouched image must pass every rule.

    crafted_images.py IMAGE"""
import os
import sys
import tempfile

import pefile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_image  # noqa: E402


def clear_nx_compat(pe, data):
    pe.OPTIONAL_HEADER.DllCharacteristics &= ~check_image.NX_COMPAT
    return pe.write()


def writable_code(pe, data):
    text = [s for s in pe.sections if s.Name.rstrip(b"\0") == b".text"][0]
    text.Characteristics |= check_image.SECTION_WRITE
    return pe.write()


def small_section_alignment(pe, data):
    # What --section-alignment 0x200 would have written.
    pe.OPTIONAL_HEADER.SectionAlignment = 0x200
    return pe.write()


def imports_mmmapiospace(pe, data):
    # The same length in the hint/name table: the image now imports MmMapIoSpace by name.
    old = b"MmUnmapIoSpace\0"
    assert data.count(old) == 1, "the image no longer imports MmUnmapIoSpace"
    return data.replace(old, b"MmMapIoSpace\0\0\0")


CRAFTED = [
    ("NX_COMPAT set", clear_nx_compat),
    ("no section both writable and executable", writable_code),
    ("sections aligned to 0x1000", small_section_alignment),
    ("no import of MmMapIoSpace", imports_mmmapiospace),
]


def main(image):
    failures = []
    pdb_dir = os.path.dirname(os.path.abspath(image))
    pristine = check_image.checks(image)
    broken = [name for name, passed, _ in pristine if not passed]
    print(("ok   - " if not broken else "FAIL - ") + "the untouched image passes every rule" +
          ("" if not broken else " (fails: %s)" % ", ".join(broken)))
    if broken:
        failures.append("untouched")
    rules = [name for name, _, _ in pristine]
    with tempfile.TemporaryDirectory() as tmp:
        for rule, craft in CRAFTED:
            if rule not in rules:
                failures.append(rule)
                print("FAIL - the check has no rule '%s'" % rule)
                continue
            data = open(image, "rb").read()
            crafted = os.path.join(tmp, os.path.basename(image))
            with open(crafted, "wb") as out:
                out.write(craft(pefile.PE(data=data), data))
            results = check_image.checks(crafted, [pdb_dir])
            failed = sorted(name for name, passed, _ in results if not passed)
            ok = failed == [rule]
            print(("ok   - " if ok else "FAIL - ") + "crafted to break '%s': fails %s" %
                  (rule, failed or "nothing"))
            if not ok:
                failures.append(rule)
    print("%d failed" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
