#!/usr/bin/env python3
"""Packs PNG pictures into one Windows icon file (each picture kept as PNG, as Windows Vista
and later read them): png_to_ico.py <out.ico> <picture.png>..."""
import struct
import sys


def main():
    out, pictures = sys.argv[1], sys.argv[2:]
    blobs = [open(p, "rb").read() for p in pictures]
    header = struct.pack("<HHH", 0, 1, len(blobs))
    offset = 6 + 16 * len(blobs)
    entries, data = b"", b""
    for blob in blobs:
        if blob[:8] != b"\x89PNG\r\n\x1a\n":
            sys.exit(f"png_to_ico: not a PNG picture: {pictures[blobs.index(blob)]}")
        width, height = struct.unpack(">II", blob[16:24])
        entries += struct.pack("<BBBBHHII", width % 256, height % 256, 0, 0, 1, 32, len(blob),
                               offset + len(data))
        data += blob
    with open(out, "wb") as f:
        f.write(header + entries + data)


if __name__ == "__main__":
    main()
