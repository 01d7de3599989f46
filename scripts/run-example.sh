#!/usr/bin/env bash
# Runs cycle_launch.exe in the foreground under Wine on the example
# configuration, and shows the lines its jobs write. Ctrl+C stops it.
# The 32-bit build where this machine runs 32-bit programs, else the 64-bit one.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
prefix=$top/build/run/prefix
folder=$prefix/drive_c/cycle_launch
builds="python3 $top/tests/e2e/wine_builds.py"

# Where only QEMU runs 32-bit programs, all of this runs again in the
# namespace that hands them to it.
if [ "$($builds how-32)" = emulated ] && [ -z "${CYCLE_LAUNCH_IN_EMULATION:-}" ]; then
    CYCLE_LAUNCH_IN_EMULATION=1 exec $builds emulate "$0" "$@"
fi

bits=$($builds builds | cut -d' ' -f1)
loader=$($builds loader "$bits")
if [ "$bits" = 32 ]; then
    exe=$top/build/windows/cycle_launch.exe
    echo "Running the 32-bit build $($builds describe-32)."
else
    exe=$top/build/windows64/cycle_launch.exe
    echo "Running the 64-bit build: $($builds why-not-32)."
fi

echo "Preparing a Wine prefix in $prefix (about 15 s the first time)..."
python3 "$top/tests/e2e/wine_prefix.py" "$prefix"
mkdir -p "$folder"
cp "$exe" "$top/example/cycle_launch.txt" "$folder/"
: > "$folder/jobs.log"

export WINEPREFIX=$prefix WINEDEBUG=-all
unset DISPLAY

echo "Running C:\\cycle_launch\\cycle_launch.exe with this cycle_launch.txt:"
sed 's/^/    /' "$folder/cycle_launch.txt"
echo "Lines the jobs write to C:\\cycle_launch\\jobs.log follow. Press Ctrl+C to stop."
tail -n +1 -F "$folder/jobs.log" 2>/dev/null | while IFS= read -r line; do echo "$(date +%T)  $line"; done &
tail_pid=$!
trap 'kill $tail_pid 2>/dev/null || true' EXIT
# A handler, not an ignore: Wine must still receive Ctrl+C itself.
trap 'true' INT
status=0
"$loader" 'C:\cycle_launch\cycle_launch.exe' || status=$?
wineserver -w
echo "cycle_launch stopped (exit code $status)."
