#!/usr/bin/env bash
# Installs the Debian packages listed in scripts/packages.txt that are missing. As root it runs
# apt-get itself (one update, non-interactive); as another user it prints the line to run.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
mapfile -t wanted < <(grep -v '^#' "$here/packages.txt" | sed '/^\s*$/d')
missing=()
for p in "${wanted[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
  [ "$status" = installed ] || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
line="apt-get install -y -o DPkg::Lock::Timeout=60 ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  echo "Missing Debian packages. Run as root:" >&2
  echo "  apt-get update && $line" >&2
  exit 1
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q -o DPkg::Lock::Timeout=60
apt-get install -y -q -o DPkg::Lock::Timeout=60 "${missing[@]}"
