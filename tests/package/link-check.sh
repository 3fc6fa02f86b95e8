#!/usr/bin/env bash
# Links below the extract folder, through fwrenew-unzip as built (Linux, or the Windows program
# under wine: a test program cannot make links there, but wine shows a Linux symbolic link to a
# folder as a reparse point). Plants links in the extract folder that lead out of it, extracts
# an archive whose items run through them, and checks that nothing outside was written and that
# each such item failed with 0x200.
# usage: link-check.sh WORK-FOLDER fwrenew-unzip [its emulator, if any, first]
set -eu
work=$1
shift
rm -rf "$work"
mkdir -p "$work/out/a" "$work/outside"
printf precious >"$work/outside/target.txt"
ln -s ../outside "$work/out/sym"
ln -s ../../outside "$work/out/a/sym"
ln -s ../outside/target.txt "$work/out/file.txt"
python3 - "$work/links.zip" <<'EOF'
import sys, zipfile
with zipfile.ZipFile(sys.argv[1], "w") as z:
    z.writestr("sym/pwn.txt", "pwned")
    z.writestr("a/sym/b/pwn.txt", "pwned")
    z.writestr("sym/", "")
    z.writestr("file.txt", "pwned")
    z.writestr("a/ok.txt", "fine")
EOF
{ "$@" "$work/links.zip" "$work/out" 2>&1 || true; } | tr -d "\r" >"$work/log"
cat "$work/log"
fail=0
check() { if ! eval "$1"; then echo "FAIL: $2"; fail=1; fi; }
check '[ "$(cd "$work/outside" && find . | sort | tr "\n" " ")" = ". ./target.txt " ]' "something was written outside"
check '[ "$(cat "$work/outside/target.txt")" = precious ]' "the file behind the link changed"
for i in 0 1 2; do
  check 'grep -q "^$i	.*	0x200 Couldn'"'"'t create/open file\$" "$work/log"' "item $i did not fail with 0x200"
done
# A link in the file's own place is never written through. Linux refuses it; wine shows a Linux
# link to a file as a plain file, so there the finished item replaces the link itself.
check 'grep -q "^3	.*	0x200 " "$work/log" || { grep -q "^3	.*	0x0 Success" "$work/log" && [ ! -L "$work/out/file.txt" ]; }' "item 3 wrote through the link"
check 'grep -q "^4	a/ok.txt	.*	0x0 Success\$" "$work/log"' "item 4 was not extracted"
check '[ "$(cat "$work/out/a/ok.txt")" = fine ]' "item 4 has wrong content"
[ $fail = 0 ] && echo "links: nothing followed"
exit $fail
