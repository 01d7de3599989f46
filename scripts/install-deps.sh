#!/usr/bin/env bash
# Installs what building and testing need, when it is missing (Debian 12).
set -euo pipefail

missing=()
have() { command -v "$1" >/dev/null 2>&1; }
have_package() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

have cmake || missing+=(cmake)
have g++ || missing+=(g++)
have make || missing+=(make)
have python3 || missing+=(python3)
have_package libgtest-dev || missing+=(libgtest-dev)
have clang++ || missing+=(clang)
have clang-format || missing+=(clang-format)
have_package libclang-rt-14-dev || missing+=(libclang-rt-14-dev)
have i686-w64-mingw32-g++ || missing+=(mingw-w64)
have x86_64-w64-mingw32-g++ || missing+=(mingw-w64)
have wine || missing+=(wine)
have_package wine32:i386 || missing+=(wine32:i386)
have_package wine64 || missing+=(wine64)
have wineserver || missing+=(wine)

if [ ${#missing[@]} -ne 0 ]; then
    echo "Installing: ${missing[*]}"
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    if printf '%s\n' "${missing[@]}" | grep -q ':i386'; then
        $sudo dpkg --add-architecture i386
    fi
    $sudo apt-get update -q
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${missing[@]}"
fi

# Where the kernel runs no 32-bit programs, QEMU runs the 32-bit build
# (nothing of it is fetched where they run natively).
if python3 "$(dirname "$0")/../tests/e2e/wine_builds.py" needs-qemu; then
    "$(dirname "$0")/install-qemu.sh"
fi
