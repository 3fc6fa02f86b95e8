#!/usr/bin/env python3
"""Writes the firmware images of an example package: configurable ("CMFG") images with a region
table, a vendor configuration record, a version text, a build number and a matching check value,
the kind a drive of the family accepts (docs/drive-firmware-model.md).

usage: make-images.py IMAGES.txt OUTPUT_FOLDER

IMAGES.txt has one image per line: file name, version text, build number, pages, record name
(blank lines and lines starting with # are skipped), e.g.
    YMTC-X2-9060_2.fw  2.10.A.1  4321  32  FW100002
An image of n pages (n >= 5) has the header on page 0, region 0 = pages 1..n-4, region 1 =
page n-3, region 2 = page n-2 (its first page is the configuration record) and the check page
n-1. Every byte is deterministic, so the same list always gives the same images.
"""
import hashlib
import os
import struct
import sys
import zlib

PAGE = 4096
DOT = 0x2E


def filler(seed: str, length: int) -> bytearray:
    """Deterministic bytes without a dot, so that the version text is the only one the
    updater's version search can find."""
    out = bytearray()
    block = seed.encode()
    while len(out) < length:
        block = hashlib.sha256(block).digest()
        out += block
    return bytearray(b if b != DOT else 0x2F for b in out[:length])


def make_image(name: str, version: str, build: int, pages: int, record_name: str) -> bytes:
    if pages < 5:
        raise ValueError(f"{name}: at least 5 pages")
    if len(version) != 8 or version.count(".") != 3 or version[1] != ".":
        raise ValueError(f"{name}: the version text needs 8 characters, three dots and one "
                         "character before the first dot")
    if len(record_name) > 8:
        raise ValueError(f"{name}: the record name has at most 8 characters")
    size = pages * PAGE
    image = filler(f"{name}/{version}/{build}", size)
    regions = [(1, pages - 4), (pages - 3, pages - 3), (pages - 2, pages - 2)]
    header = b"CMFG" + struct.pack("<I", size) + version.encode().ljust(8, b"\0")
    table = b"".join(struct.pack("<II", first, last) for first, last in regions)
    table = table.ljust(64, b"\0")
    image[0:80] = header + table
    if DOT in image[0:9]:
        raise ValueError(f"{name}: a dot in the length field would hide the version text")
    # The image's configuration record: a fixed pattern with the vendor firmware name at 1064.
    record = filler(f"record/{name}", PAGE)
    record[1064:1072] = record_name.encode().ljust(8, b"\0")
    record_at = regions[2][0] * PAGE
    image[record_at:record_at + PAGE] = record
    check_at = (pages - 1) * PAGE
    crc = zlib.crc32(bytes(image[0:80]) + bytes(PAGE - 80))
    for first, last in regions:
        crc = zlib.crc32(bytes(image[first * PAGE:(last + 1) * PAGE]), crc)
    image[check_at + 8:check_at + 16] = struct.pack("<II", 0, crc)
    image[check_at + 4088:check_at + 4092] = struct.pack("<I", build)
    return bytes(image)


def main() -> int:
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    listing, out = sys.argv[1], sys.argv[2]
    os.makedirs(out, exist_ok=True)
    for line in open(listing, encoding="utf-8"):
        fields = line.split()
        if not fields or fields[0].startswith("#"):
            continue
        name, version, build, pages, record_name = fields
        data = make_image(name, version, int(build, 0), int(pages), record_name)
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
