#!/usr/bin/env bash
# Rebuilds tests/package/fixtures/tools/: small archives written by other ZIP writers (Info-ZIP
# zip, Python's zipfile, bsdtar, 7z) and expected.tsv, the items each one holds as those tools
# see them (archive, name, size, CRC-32, Unix mode or "-"). The archives are checked in so
# that the suites run the same on Linux and under wine; run this only to renew them.
# Needs: zip, python3, libarchive-tools (bsdtar), p7zip-full (7z).
set -euo pipefail
out=$(cd "$(dirname "$0")" && pwd)/fixtures/tools
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
export TZ=UTC

# Package-like content: a small text, a compressible text, incompressible bytes, an empty
# file, a folder.
mkdir -p pkg/sub pkg/emptydir
printf 'FwRenew test package\n' >pkg/hello.txt
python3 -c "
import random
r = random.Random(5)
words = ['firmware','nand','lun','revision','drive','update','controller','image','block']
print('\n'.join(' '.join(r.choice(words) for _ in range(12)) for _ in range(800)))
" >pkg/sub/text.txt
python3 -c "
import random, sys
sys.stdout.buffer.write(random.Random(7).randbytes(6000))" >pkg/sub/random.bin
: >pkg/sub/empty.txt
touch -d '2021-03-04 05:06:08' pkg/hello.txt pkg/sub/* pkg/sub pkg/emptydir pkg
rm -f "$out"/*.zip

zip -q -X -0 -r "$out/infozip-stored.zip" pkg
zip -q -X -9 -r "$out/infozip-deflated.zip" pkg
# -e asks for the password on the terminal; -P gives the same encryption non-interactively.
zip -q -X -P secret -r "$out/infozip-encrypted.zip" pkg
cp "$out/infozip-deflated.zip" infozip-comment.zip
python3 -c "import sys; sys.stdout.write('C' * 60000)" | zip -q -z infozip-comment.zip
cp infozip-comment.zip "$out/infozip-comment.zip"
# A stub in front, offsets left as they were (they count from the archive's own start).
python3 -c "import sys; sys.stdout.buffer.write(b'MZ' + bytes(range(256)) * 16)" >stub.bin
cat stub.bin "$out/infozip-deflated.zip" >"$out/infozip-stub.zip"

python3 - "$out/python-modes.zip" <<'PY'
import sys, zipfile, time
path = sys.argv[1]
when = (2021, 3, 4, 5, 6, 8)
def add(z, name, data, mode):
    zi = zipfile.ZipInfo(name, when)
    zi.create_system = 3
    zi.external_attr = mode << 16
    if name.endswith('/'):
        zi.external_attr |= 0x10
    zi.compress_type = zipfile.ZIP_DEFLATED
    z.writestr(zi, data)
with zipfile.ZipFile(path, 'w') as z:
    add(z, 'rw.txt', b'read and write\n' * 40, 0o100644)
    add(z, 'ro.txt', b'read only\n' * 40, 0o100444)
    add(z, 'folder/', b'', 0o40755)
    add(z, 'folder/inner.txt', b'inside\n', 0o100644)
    add(z, 'na\u00efve-\u65e5\u672c.txt', b'utf-8 name\n', 0o100644)
# Python marks non-ASCII names as UTF-8; clear that flag so the name is unmarked UTF-8.
data = bytearray(open(path, 'rb').read())
for sig, off in ((b'PK\x03\x04', 6), (b'PK\x01\x02', 8)):
    i = data.find(sig)
    while i >= 0:
        flags = int.from_bytes(data[i + off:i + off + 2], 'little') & ~0x800
        data[i + off:i + off + 2] = flags.to_bytes(2, 'little')
        i = data.find(sig, i + 4)
open(path, 'wb').write(bytes(data))
PY

bsdtar --format zip -cf "$out/bsdtar.zip" pkg
7z a -tzip -bd -bso0 "$out/7z.zip" pkg

python3 - "$out" >"$out/expected.tsv" <<'PY'
import sys, zipfile, os
out = sys.argv[1]
print('archive\tname\tsize\tcrc32\tunix_mode')
for f in sorted(os.listdir(out)):
    if not f.endswith('.zip'):
        continue
    with zipfile.ZipFile(os.path.join(out, f)) as z:
        for i in z.infolist():
            mode = i.external_attr >> 16
            name = i.filename
            if not (i.flag_bits & 0x800) and not name.isascii():
                name = name.encode('cp437').decode('utf-8')  # unmarked UTF-8
            unix = oct(mode) if i.create_system == 3 and mode else '-'
            print(f'{f}\t{name}\t{i.file_size}\t{i.CRC:08x}\t{unix}')
PY
ls -l "$out"
