"""Packs the Windows build for users: dist/cycle_launch.zip."""
import os
import sys
import zipfile

top = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
files = {
    "cycle_launch/cycle_launch.exe": os.path.join(top, "build", "windows", "cycle_launch.exe"),
    "cycle_launch/cycle_launch.txt": os.path.join(top, "example", "cycle_launch.txt"),
    "cycle_launch/INSTALL.txt": os.path.join(top, "example", "INSTALL.txt"),
}
os.makedirs(os.path.join(top, "dist"), exist_ok=True)
target = os.path.join(top, "dist", "cycle_launch.zip")
with zipfile.ZipFile(target, "w", zipfile.ZIP_DEFLATED) as archive:
    for name, source in files.items():
        archive.write(source, name)
print(f"{target}: {os.path.getsize(target)} bytes", file=sys.stderr)
