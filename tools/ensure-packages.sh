#!/usr/bin/env bash
# Installs the given Debian packages that are not installed yet (as root, or
# through sudo), adding the i386 architecture for NAME:i386. Used by test.sh
# and demo.sh.
set -euo pipefail
missing=()
for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" \
        || missing+=("$package")
done
((${#missing[@]})) || exit 0
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
echo "== installing ${missing[*]}"
if [[ " ${missing[*]}" == *:i386* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
fi
# A mirror in the middle of a sync fails one index; what is needed may come from the others, and
# the install says so when it does not.
$sudo apt-get update -q || echo "ensure-packages.sh: apt-get update failed in part" >&2
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
