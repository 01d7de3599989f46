#!/usr/bin/env bash
# The tests of both Windows builds: checked without running them, then their
# end-to-end tests under Wine, for every build this machine can run.
# CYCLE_LAUNCH_WINE64_ONLY=1 takes the path of a machine without 32-bit programs.
set -euo pipefail
cd "$(dirname "$0")/.."
builds=$(python3 tests/e2e/wine_builds.py builds)

python3 tests/check_executable.py i686-w64-mingw32-objdump build/windows/cycle_launch.exe
python3 tests/check_executable.py x86_64-w64-mingw32-objdump build/windows64/cycle_launch.exe

not_run=""
if [[ " $builds " == *" 32 "* ]]; then
    ctest --preset windows
else
    ctest --preset windows -L executable
    not_run="32-bit end-to-end tests not run: $(python3 tests/e2e/wine_builds.py why-not-32)."
    echo "$not_run"
fi
status=0
ctest --preset windows64 || status=$?
# Again at the end, where it is seen.
[ -z "$not_run" ] || echo "$not_run"
exit $status
