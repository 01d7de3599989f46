"""Packs both Windows builds for users: dist/cycle_launch.zip, with the
32-bit and the 64-bit cycle_launch.exe each in a folder of its own, the
example configuration beside each, and INSTALL.txt, which says which to use."""
import os
import sys
import zipfile

top = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
example = os.path.join(top, "example")
files = {"cycle_launch/INSTALL.txt": os.path.join(example, "INSTALL.txt")}
for bits, build in (("32", "windows"), ("64", "windows64")):
    folder = f"cycle_launch/{bits}-bit"
    files[f"{folder}/cycle_launch.exe"] = os.path.join(top, "build", build, "cycle_launch.exe")
    files[f"{folder}/cycle_launch.txt"] = os.path.join(example, "cycle_launch.txt")
missing = [source for source in files.values() if not os.path.exists(source)]
if missing:
    sys.exit("make-dist: missing " + ", ".join(missing) + " (make windows windows64 first)")
os.makedirs(os.path.join(top, "dist"), exist_ok=True)
target = os.path.join(top, "dist", "cycle_launch.zip")
with zipfile.ZipFile(target, "w", zipfile.ZIP_DEFLATED) as archive:
    for name, source in files.items():
        archive.write(source, name)
print(f"{target}: {os.path.getsize(target)} bytes", file=sys.stderr)
