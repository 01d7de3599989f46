"""Which builds of the runner this machine can run under Wine, how, and the
loader that runs each. Every Wine command of the project goes through
loader(bits).

Debian's bare `wine`, `wineboot` and `wine reg` go through the 32-bit loader
whenever wine32 is installed. That loader can't run a 64-bit program with
Ctrl+C reaching it, and on a machine whose kernel runs no 32-bit programs it
can't start at all. So the answer comes from starting the 32-bit loader, not
from looking at what is installed.

Where the kernel runs no 32-bit programs, the 32-bit build can still run
under QEMU's user-mode emulation: `emulate CMD...` runs CMD in a user and
mount namespace of its own, whose private binfmt_misc hands 32-bit x86 ELF
files to the qemu-i386 that scripts/install-qemu.sh put under build/qemu.
Nothing outside that namespace sees the entry (Linux 6.7 and later).

    python3 wine_builds.py builds        "32 64", or "64" where 32-bit can't run
    python3 wine_builds.py loader BITS   the loader for the 32-bit or 64-bit build
    python3 wine_builds.py why-not-32    why the 32-bit build can't run (exit 1 if it can)
    python3 wine_builds.py how-32        "native", "emulated" or "none"
    python3 wine_builds.py describe-32   one line for people: how the 32-bit build runs here
    python3 wine_builds.py needs-qemu    exit 0 when only emulation could run the 32-bit build
    python3 wine_builds.py emulate CMD.. CMD where the 32-bit build runs: in the private
                                         namespace where emulated, as it is otherwise

CYCLE_LAUNCH_WINE64_ONLY=1 takes the 64-bit-only path on any machine.
"""
import errno
import functools
import os
import platform
import re
import subprocess
import sys

LOADERS = {32: "/usr/lib/wine/wine", 64: "/usr/lib/wine/wine64"}
FORCE_64_ONLY = "CYCLE_LAUNCH_WINE64_ONLY"
NO_32_BIT = "this machine runs no 32-bit programs"
TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
QEMU = os.path.join(TOP, "build", "qemu", "qemu-i386")
# Our entry's name; it exists only inside the namespace that emulate() makes.
ENTRY_NAME = "cycle_launch_i386"
BINFMT = "/proc/sys/fs/binfmt_misc"
# QEMU's own magic and mask for i386 ELF executables (its qemu-binfmt-conf.sh);
# F opens the interpreter now, so it needs no path inside the namespace.
I386_MAGIC = r"\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00"
I386_MASK = r"\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff"
# The oldest QEMU whose user mode runs Wine: 7.2 ignores MAP_FIXED_NOREPLACE.
QEMU_MAJOR = 10
# A user namespace may mount a binfmt_misc of its own since this kernel.
KERNEL_WITH_PRIVATE_BINFMT = (6, 7)


def forced_64_only():
    return os.environ.get(FORCE_64_ONLY, "") not in ("", "0")


def inside_emulation():
    """True inside the namespace that emulate() made."""
    return os.path.exists(os.path.join(BINFMT, ENTRY_NAME))


def _run_version(command):
    """None when `command` starts and exits 0; otherwise what went wrong."""
    try:
        result = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                timeout=120)
    except OSError as error:
        return f"{command[0]}: {error.strerror}"
    except subprocess.TimeoutExpired:
        return f"{' '.join(command)} did not answer in 120 s"
    if result.returncode != 0:
        detail = result.stderr.decode(errors="replace").strip().splitlines()
        return f"{' '.join(command)} exited with {result.returncode}" + (
            f": {detail[-1]}" if detail else "")
    return None


@functools.lru_cache(maxsize=None)
def _start_32_bit_loader():
    return _run_version([LOADERS[32], "--version"])


def kernel_version():
    match = re.match(r"(\d+)\.(\d+)", platform.release())
    return (int(match.group(1)), int(match.group(2))) if match else (0, 0)


@functools.lru_cache(maxsize=None)
def qemu_version():
    """QEMU's version, e.g. "10.0.2", or None where it isn't under build/qemu."""
    try:
        out = subprocess.run([QEMU, "--version"], capture_output=True, timeout=30).stdout
    except (OSError, subprocess.TimeoutExpired):
        return None
    match = re.search(rb"version (\d+\.\d+(?:\.\d+)?)", out)
    return match.group(1).decode() if match else None


def _namespace_command(command):
    entry = f":{ENTRY_NAME}:M::{I386_MAGIC}:{I386_MASK}:{QEMU}:F"
    script = (f'mount -t binfmt_misc binfmt_misc {BINFMT} && '
              f'printf "%s" "$CYCLE_LAUNCH_BINFMT_ENTRY" > {BINFMT}/register && exec "$@"')
    return (["unshare", "--user", "--map-root-user", "--mount", "--fork",
             "sh", "-c", script, "sh", *command],
            dict(os.environ, CYCLE_LAUNCH_BINFMT_ENTRY=entry))


@functools.lru_cache(maxsize=None)
def _emulation_failure():
    """None when the 32-bit loader starts in the private namespace; else why not."""
    if kernel_version() < KERNEL_WITH_PRIVATE_BINFMT:
        return ("its kernel is older than 6.7, so QEMU's emulation can't be given a "
                "binfmt_misc entry of its own")
    version = qemu_version()
    if version is None:
        return f"QEMU {QEMU_MAJOR} is not installed in {os.path.dirname(QEMU)}"
    if int(version.split(".")[0]) < QEMU_MAJOR:
        return f"QEMU {version} is too old to run Wine; {QEMU_MAJOR} is needed"
    command, env = _namespace_command([LOADERS[32], "--version"])
    try:
        result = subprocess.run(command, env=env, stdout=subprocess.DEVNULL,
                                stderr=subprocess.PIPE, timeout=120)
    except (OSError, subprocess.TimeoutExpired) as error:
        return f"the private namespace could not be made ({error})"
    if result.returncode != 0:
        detail = result.stderr.decode(errors="replace").strip().splitlines()
        return "the 32-bit loader did not start in the private namespace" + (
            f" ({detail[-1]})" if detail else "")
    return None


@functools.lru_cache(maxsize=None)
def how_32():
    """("native" | "emulated" | "none", the reason where none)."""
    if forced_64_only():
        return "none", f"{NO_32_BIT} ({FORCE_64_ONLY} is set)"
    if inside_emulation():
        return "emulated", None
    failure = _start_32_bit_loader()
    if failure is None:
        return "native", None
    # Only where the kernel itself refuses them: a loader that failed any
    # other way on a busy machine must not turn a native run into one with
    # the emulation's allowances.
    if _kernel_refuses_32_bit() and _emulation_failure() is None:
        return "emulated", None
    return "none", f"{NO_32_BIT} ({failure}), and {_emulation_failure()}"


def _kernel_refuses_32_bit():
    return os.strerror(errno.ENOEXEC) in (_start_32_bit_loader() or "")


def needs_qemu():
    """True where only emulation could run the 32-bit build."""
    return not forced_64_only() and not inside_emulation() and _kernel_refuses_32_bit()


def why_not_32():
    """None when the 32-bit build runs here, natively or emulated; otherwise the reason."""
    return how_32()[1]


def emulated():
    return how_32()[0] == "emulated"


def describe_32():
    how, reason = how_32()
    if how == "native":
        return "natively"
    if how == "emulated":
        return (f"under QEMU user-mode emulation (qemu-i386 {qemu_version()}), "
                f"{NO_32_BIT} natively")
    return f"not run: {reason}"


def builds():
    """The builds this machine runs, the 32-bit one first where it runs."""
    return [64] if why_not_32() else [32, 64]


def builds_here():
    """The builds that this very process can start: the 32-bit one only
    natively or inside the emulation's namespace."""
    how = how_32()[0]
    return [32, 64] if how == "native" or (how == "emulated" and inside_emulation()) else [64]


def preferred_build():
    return builds()[0]


def loader(bits):
    return LOADERS[int(bits)]


def emulate(command):
    """Becomes command, in the private namespace where the 32-bit build runs
    emulated. No Python stays in between, so Ctrl+C reaches command as it is."""
    sys.stdout.flush()
    if how_32()[0] != "emulated" or inside_emulation():
        os.execvp(command[0], command)
    namespaced, env = _namespace_command(command)
    os.execvpe(namespaced[0], namespaced, env)


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
    if args == ["how-32"]:
        print(how_32()[0])
        return 0
    if args == ["describe-32"]:
        print(describe_32())
        return 0
    if args == ["needs-qemu"]:
        return 0 if needs_qemu() else 1
    if len(args) >= 2 and args[0] == "emulate":
        return emulate(args[1:])
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
