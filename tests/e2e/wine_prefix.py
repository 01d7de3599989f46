"""Makes the Wine prefix the end-to-end tests share: headless message boxes,
and no debugger that would hang on a crashing program."""
import os
import shutil
import subprocess

from wine_harness import PREFIX, kill_wine, wine, wine_environment

AEDEBUG = "Software\\Microsoft\\Windows NT\\CurrentVersion\\AeDebug"


def main():
    if os.path.exists(os.path.join(PREFIX, "ready")):
        return
    shutil.rmtree(PREFIX, ignore_errors=True)
    os.makedirs(PREFIX)
    subprocess.run(["wineboot", "-i"], env=wine_environment(), check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
    wine("reg", "add", "HKCU\\Software\\Wine\\Drivers", "/v", "Graphics", "/d", "null", "/f")
    for key in ("HKLM\\" + AEDEBUG, "HKLM\\Software\\Wow6432Node\\" + AEDEBUG.split("Software\\")[1]):
        wine("reg", "add", key, "/v", "Debugger", "/d", "C:\\no-debugger.exe", "/f")
        wine("reg", "add", key, "/v", "Auto", "/d", "1", "/f")
    kill_wine()
    open(os.path.join(PREFIX, "ready"), "w").close()


if __name__ == "__main__":
    main()
