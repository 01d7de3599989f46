"""Checks a built cycle_launch.exe without running it: it imports only the
system DLLs it is meant to, a 32-bit one is large-address-aware (1024
workers need the address space) and at most 100 KiB, as the README promises,
it is Terminal-Server-aware, and it is stripped. Prints one line with what it
found and the file's size.

    python3 check_executable.py OBJDUMP EXE
"""
import os
import re
import subprocess
import sys

# No DLL that could be planted beside the executable: these are system DLLs
# that every Windows has (wtsapi32, for one, is loaded by hand from System32).
ALLOWED_IMPORTS = {"advapi32.dll", "kernel32.dll", "msvcrt.dll", "user32.dll"}
MAX_32_BIT_BYTES = 100 * 1024
# Without it, a terminal server runs the program in its compatibility mode:
# GetWindowsDirectory names a Windows folder of each user's own, not the one
# whose System32 the runner must recognise, and registry keys are mapped.
TERMINAL_SERVER_AWARE = 0x8000


def check(objdump, exe):
    headers = subprocess.run([objdump, "-p", exe], capture_output=True, text=True,
                             check=True).stdout
    imports = sorted(set(re.findall(r"DLL Name: (\S+)", headers)), key=str.lower)
    bits = 64 if "pei-x86-64" in headers else 32
    large_address_aware = "large address aware" in headers
    stripped = "symbols stripped" in headers
    dll_characteristics = re.search(r"^DllCharacteristics\s+([0-9a-fA-F]+)", headers, re.M)
    terminal_server_aware = bool(dll_characteristics and
                                 int(dll_characteristics.group(1), 16) & TERMINAL_SERVER_AWARE)

    faults = []
    unexpected = [name for name in imports if name.lower() not in ALLOWED_IMPORTS]
    if unexpected:
        faults.append("imports " + ", ".join(unexpected))
    if bits == 32 and not large_address_aware:
        faults.append("not large-address-aware")
    if not terminal_server_aware:
        faults.append("not Terminal-Server-aware")
    if not stripped:
        faults.append("not stripped")
    size = os.path.getsize(exe)
    if bits == 32 and size > MAX_32_BIT_BYTES:
        faults.append(f"larger than {MAX_32_BIT_BYTES:,} bytes")
    print(f"{os.path.basename(exe)} ({bits}-bit): imports {', '.join(imports)}; "
          f"{'large-address-aware' if large_address_aware else 'not large-address-aware'}; "
          f"{'Terminal-Server-aware' if terminal_server_aware else 'not Terminal-Server-aware'}; "
          f"{'stripped' if stripped else 'not stripped'}, {size:,} bytes"
          + (f"; FAULTY: {'; '.join(faults)}" if faults else ""))
    return not faults


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    sys.exit(0 if check(sys.argv[1], sys.argv[2]) else 1)
