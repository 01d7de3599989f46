#!/usr/bin/env bash
# The tests of both Windows builds: checked without running them, then their
# end-to-end tests under Wine, for every build this machine can run.
# CYCLE_LAUNCH_WINE64_ONLY=1 takes the path of a machine without 32-bit programs.
set -euo pipefail
cd "$(dirname "$0")/.."
builds=$(python3 tests/e2e/wine_builds.py builds)

# Every step runs, whatever failed before it; the script fails if any did.
status=0
python3 tests/check_executable.py i686-w64-mingw32-objdump build/windows/cycle_launch.exe || status=1
python3 tests/check_executable.py x86_64-w64-mingw32-objdump build/windows64/cycle_launch.exe || status=1

not_run=""
if [[ " $builds " == *" 32 "* ]]; then
    ctest --preset windows || status=1
else
    ctest --preset windows -L executable || status=1
    not_run="32-bit end-to-end tests not run: $(python3 tests/e2e/wine_builds.py why-not-32)."
    echo "$not_run"
fi
ctest --preset windows64 || status=1
# Again at the end, where it is seen.
[ -z "$not_run" ] || echo "$not_run"
exit $status
