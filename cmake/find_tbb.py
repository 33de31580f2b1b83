"""Print the folder holding TBBConfig.cmake from the installed tbb-devel wheel."""
import importlib.metadata as md
import pathlib
import sys

try:
    dist = md.distribution("tbb-devel")
except md.PackageNotFoundError:
    sys.exit(1)
for f in dist.files or ():
    if f.name == "TBBConfig.cmake":
        print(pathlib.Path(dist.locate_file(f)).resolve().parent)
        sys.exit(0)
sys.exit(1)
