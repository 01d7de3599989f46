"""A Wine prefix for running the program headless: message boxes without a
display, and no debugger that would hang on a crashing program.

    python3 wine_prefix.py PREFIX [BITS]   makes PREFIX once; later calls do nothing.
                                           With BITS 32, fails first where the
                                           32-bit build can't run.
"""
import os
import shutil
import subprocess
import sys

import wine_builds

READY = "ready-3"  # changes whenever the set-up does, so that old prefixes are made anew
AEDEBUG = "Software\\Microsoft\\Windows NT\\CurrentVersion\\AeDebug"


def wine_environment(prefix, extra=None):
    env = dict(os.environ)
    env.pop("DISPLAY", None)
    env.update({"WINEPREFIX": prefix, "WINEDEBUG": "-all"})
    env.update(extra or {})
    return env


def kill_wine(prefix):
    subprocess.run(["wineserver", "-k"], env=wine_environment(prefix))
    subprocess.run(["wineserver", "-w"], env=wine_environment(prefix), timeout=60)


def make_prefix(prefix):
    if os.path.exists(os.path.join(prefix, READY)):
        return
    shutil.rmtree(prefix, ignore_errors=True)
    os.makedirs(prefix)
    env = wine_environment(prefix)
    quiet = {"env": env, "stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
    # The 64-bit loader runs on every machine, and its prefix serves both
    # builds: 32-bit programs run in its WoW64 half.
    wine64 = wine_builds.loader(64)
    subprocess.run([wine64, "wineboot", "-i"], check=True, timeout=300, **quiet)

    def reg_add(key, value, data, view="64"):
        subprocess.run([wine64, "reg", "add", key, "/v", value, "/d", data, "/f", f"/reg:{view}"],
                       check=True, timeout=120, **quiet)

    reg_add("HKCU\\Software\\Wine\\Drivers", "Graphics", "null")
    # 32-bit and 64-bit programs each read their own view of the key.
    for view in ("32", "64"):
        reg_add("HKLM\\" + AEDEBUG, "Debugger", "C:\\no-debugger.exe", view)
        reg_add("HKLM\\" + AEDEBUG, "Auto", "1", view)
    kill_wine(prefix)
    open(os.path.join(prefix, READY), "w").close()


if __name__ == "__main__":
    if sys.argv[2:] == ["32"] and wine_builds.why_not_32():
        sys.exit(f"The 32-bit build can't run here: {wine_builds.why_not_32()}.")
    make_prefix(sys.argv[1])
