#!/usr/bin/env bash
# Puts QEMU 10's qemu-i386 under build/qemu, for a machine whose kernel runs
# no 32-bit programs (tests/e2e/wine_builds.py tells when it is needed).
#
# It comes from bookworm-backports by package name, through a throwaway apt
# configuration under build/qemu/apt: the machine's own sources, package
# lists and caches are never touched, nothing is installed, and no other
# package is upgraded. The package's qemu-i386 is linked statically, so the
# one binary is all that is taken out of it.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
folder=$top/build/qemu
apt_folder=$folder/apt
suite=bookworm-backports
package=qemu-user

if "$folder/qemu-i386" --version 2>/dev/null | grep -q 'version 1[0-9]\.'; then
    exit 0
fi
echo "Fetching qemu-i386 from $package in $suite into $folder"
rm -rf "$apt_folder"
mkdir -p "$apt_folder/lists/partial" "$apt_folder/cache/archives/partial" "$apt_folder/deb"
echo "deb http://deb.debian.org/debian $suite main" > "$apt_folder/sources.list"
apt_options=(
    -o "Dir::Etc::SourceList=$apt_folder/sources.list"
    -o "Dir::Etc::SourceParts=/dev/null"
    -o "Dir::State::Lists=$apt_folder/lists"
    -o "Dir::Cache=$apt_folder/cache"
    -o "APT::Sandbox::User=$(id -un)"
)
apt-get -q "${apt_options[@]}" update
(cd "$apt_folder/deb" && apt-get -q "${apt_options[@]}" download "$package")
dpkg-deb --fsys-tarfile "$apt_folder"/deb/${package}_*.deb |
    tar -x -O ./usr/bin/qemu-i386 > "$folder/qemu-i386.part"
chmod 755 "$folder/qemu-i386.part"
mv "$folder/qemu-i386.part" "$folder/qemu-i386"
rm -rf "$apt_folder"
"$folder/qemu-i386" --version | head -n 1
