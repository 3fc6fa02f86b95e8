#!/usr/bin/env python3
"""Build-time assets of FwRenew.exe: the example NVMe package (examples/nvme: its configuration
file and the images its generator makes) as a ZIP archive, and the program's icon.

    make_assets.py package EXAMPLE_DIR MAKE_IMAGES_PY OUT.zip
    make_assets.py icon OUT.ico
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import zipfile


def package(source, make_images, out):
    # The images come from the example's own generator, so the embedded package is the same
    # package the Linux build checks and packs with fwrenew-pack.
    with tempfile.TemporaryDirectory() as tmp:
        subprocess.run([sys.executable, make_images, f"{source}/images.txt", tmp], check=True)
        shutil.copy(f"{source}/FwRenewInfo.ini", tmp)
        with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
            for name in sorted(os.listdir(tmp)):
                info = zipfile.ZipInfo(name, date_time=(2000, 1, 1, 0, 0, 0))
                info.compress_type = zipfile.ZIP_DEFLATED
                z.writestr(info, open(os.path.join(tmp, name), "rb").read())


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
        package(sys.argv[2], sys.argv[3], sys.argv[4])
    else:
        icon(sys.argv[2])
