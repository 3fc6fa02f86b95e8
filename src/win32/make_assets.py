#!/usr/bin/env python3
"""Build-time assets of FwRenew.exe: the example package (the configuration file of
examples/package and deterministic stand-in images) as a ZIP archive, and the program's icon.

    make_assets.py package EXAMPLES_PACKAGE_DIR OUT.zip
    make_assets.py icon OUT.ico
"""
import hashlib
import struct
import sys
import zipfile


def stand_in(name, size):
    data = bytearray()
    block = name.encode()
    while len(data) < size:
        block = hashlib.sha256(block).digest()
        data += block
    return bytes(data[:size])


def package(source, out):
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in (("FwRenewInfo.ini", open(f"{source}/FwRenewInfo.ini", "rb").read()),
                           ("YMTC-X2-9060_2.fw", stand_in("YMTC-X2-9060_2.fw", 300000)),
                           ("Samsung-V6_0.fw", stand_in("Samsung-V6_0.fw", 260000))):
            info = zipfile.ZipInfo(name, date_time=(2024, 1, 1, 0, 0, 0))
            info.compress_type = zipfile.ZIP_DEFLATED
            z.writestr(info, data)


def icon(out):
    # One 64 x 64 image, 32 bits per pixel: a drive-grey square with a green arrow.
    size = 64
    pixels = bytearray()
    for y in range(size - 1, -1, -1):  # bottom-up rows
        for x in range(size):
            inside = 6 <= x < 58 and 14 <= y < 50
            arrow = 24 <= x < 40 and 20 <= y < 44 and abs(x - 32) <= (44 - y) // 1
            if arrow:
                b, g, r, a = 60, 170, 40, 255
            elif inside:
                b, g, r, a = 90, 90, 90, 255
            else:
                b, g, r, a = 0, 0, 0, 0
            pixels += bytes((b, g, r, a))
    mask = bytes(size * size // 8)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(pixels) + len(mask), 0, 0, 0, 0)
    image = header + bytes(pixels) + mask
    directory = struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(image), 22)
    open(out, "wb").write(directory + image)


if __name__ == "__main__":
    if sys.argv[1] == "package":
        package(sys.argv[2], sys.argv[3])
    else:
        icon(sys.argv[2])
