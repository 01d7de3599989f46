"""Which builds of the runner this machine can run under Wine, and the loader
that runs each. Every Wine command of the project goes through loader(bits).

Debian's bare `wine`, `wineboot` and `wine reg` go through the 32-bit loader
whenever wine32 is installed. That loader can't run a 64-bit program with
Ctrl+C reaching it, and on a machine whose kernel runs no 32-bit programs it
can't start at all. So the answer comes from starting the 32-bit loader, not
from looking at what is installed.

    python3 wine_builds.py builds        "32 64", or "64" where 32-bit can't run
    python3 wine_builds.py loader BITS   the loader for the 32-bit or 64-bit build
    python3 wine_builds.py why-not-32    why the 32-bit build can't run (exit 1 if it can)

CYCLE_LAUNCH_WINE64_ONLY=1 takes the 64-bit-only path on any machine.
"""
import functools
import os
import subprocess
import sys

LOADERS = {32: "/usr/lib/wine/wine", 64: "/usr/lib/wine/wine64"}
FORCE_64_ONLY = "CYCLE_LAUNCH_WINE64_ONLY"
NO_32_BIT = "this machine runs no 32-bit programs"


def forced_64_only():
    return os.environ.get(FORCE_64_ONLY, "") not in ("", "0")


@functools.lru_cache(maxsize=None)
def _start_32_bit_loader():
    """None when the 32-bit loader starts; otherwise what went wrong."""
    try:
        result = subprocess.run([LOADERS[32], "--version"], stdout=subprocess.DEVNULL,
                                stderr=subprocess.PIPE, timeout=60)
    except OSError as error:
        return f"{LOADERS[32]}: {error.strerror}"
    except subprocess.TimeoutExpired:
        return f"{LOADERS[32]} --version did not answer in 60 s"
    if result.returncode != 0:
        detail = result.stderr.decode(errors="replace").strip().splitlines()
        return f"{LOADERS[32]} --version exited with {result.returncode}" + (
            f": {detail[-1]}" if detail else "")
    return None


def why_not_32():
    """None when the 32-bit build runs here; otherwise the reason, for people."""
    if forced_64_only():
        return f"{NO_32_BIT} ({FORCE_64_ONLY} is set)"
    failure = _start_32_bit_loader()
    return f"{NO_32_BIT} ({failure})" if failure else None


def builds():
    """The builds this machine runs, the 32-bit one first where it runs."""
    return [64] if why_not_32() else [32, 64]


def preferred_build():
    return builds()[0]


def loader(bits):
    return LOADERS[int(bits)]


def main(args):
    if args == ["builds"]:
        print(" ".join(str(bits) for bits in builds()))
        return 0
    if len(args) == 2 and args[0] == "loader" and args[1] in ("32", "64"):
        print(loader(args[1]))
        return 0
    if args == ["why-not-32"]:
        reason = why_not_32()
        if reason:
            print(reason)
        return 0 if reason else 1
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
