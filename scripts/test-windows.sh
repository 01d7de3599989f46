#!/usr/bin/env bash
# The tests of both Windows builds: checked without running them, then their
# end-to-end tests under Wine, for every build this machine can run. Where
# the kernel runs no 32-bit programs, the 32-bit build's tests run under
# QEMU's user-mode emulation, in a namespace of their own.
# CYCLE_LAUNCH_WINE64_ONLY=1 takes the path of a machine without 32-bit programs.
set -euo pipefail
cd "$(dirname "$0")/.."
builds="python3 tests/e2e/wine_builds.py"

# Every step runs, whatever failed before it; the script fails if any did.
status=0
python3 tests/check_executable.py i686-w64-mingw32-objdump build/windows/cycle_launch.exe || status=1
python3 tests/check_executable.py x86_64-w64-mingw32-objdump build/windows64/cycle_launch.exe || status=1

how="32-bit end-to-end tests: $($builds describe-32)."
echo "$how"
started=$(date +%s)
if [ "$($builds how-32)" != none ]; then
    $builds emulate ctest --preset windows || status=1
else
    ctest --preset windows -L executable || status=1
fi
took32=$(( $(date +%s) - started ))
started=$(date +%s)
ctest --preset windows64 || status=1
took64=$(( $(date +%s) - started ))
# Again at the end, where it is seen.
echo "$how"
echo "Windows tests took ${took32} s for the 32-bit build, ${took64} s for the 64-bit one."
exit $status
