#!/usr/bin/python3
"""Sets a PE image's OptionalHeader.CheckSum to the checksum of the file as it is, in place.

Run after signing: the Authenticode digest leaves the CheckSum field out, so the signature
stays valid, while the checksum covers the certificate table the signature appended. Windows
checks a driver's checksum at load. Prints the old and the new value."""
import struct
import sys

import pefile


def main(path):
    data = bytearray(open(path, "rb").read())
    pe = pefile.PE(data=bytes(data), fast_load=True)
    field = pe.OPTIONAL_HEADER.get_file_offset() + 64  # CheckSum in the optional header
    old = struct.unpack_from("<I", data, field)[0]
    new = pe.generate_checksum()
    if new != old:
        struct.pack_into("<I", data, field, new)
        with open(path, "wb") as out:
            out.write(data)
    print("%s: checksum 0x%08X%s" % (path, new, "" if new == old else " (was 0x%08X)" % old))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
