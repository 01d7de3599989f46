"""A Wine prefix for running the program headless: message boxes without a
display, and no debugger that would hang on a crashing program.

    python3 wine_prefix.py PREFIX      makes PREFIX once; later calls do nothing
"""
import os
import shutil
import subprocess
import sys

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
    if os.path.exists(os.path.join(prefix, "ready")):
        return
    shutil.rmtree(prefix, ignore_errors=True)
    os.makedirs(prefix)
    env = wine_environment(prefix)
    quiet = {"env": env, "stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
    subprocess.run(["wineboot", "-i"], check=True, timeout=300, **quiet)

    def reg_add(key, value, data):
        subprocess.run(["wine", "reg", "add", key, "/v", value, "/d", data, "/f"],
                       check=True, timeout=120, **quiet)

    reg_add("HKCU\\Software\\Wine\\Drivers", "Graphics", "null")
    for key in ("HKLM\\" + AEDEBUG, "HKLM\\Software\\Wow6432Node\\" + AEDEBUG[len("Software\\"):]):
        reg_add(key, "Debugger", "C:\\no-debugger.exe")
        reg_add(key, "Auto", "1")
    kill_wine(prefix)
    open(os.path.join(prefix, "ready"), "w").close()


if __name__ == "__main__":
    make_prefix(sys.argv[1])
