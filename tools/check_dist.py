"""Checks that the built distributions hold what users need.

Usage: python tools/check_dist.py DIST_DIR

The wheel must carry both native modules, the package with its stubs and
py.typed, the console script and the license; the sdist must carry the
sources needed to build it. A file left out would pass every test in the
tree and still break for users, so the listing is checked here.
"""
import re
import sys
import tarfile
import zipfile
from pathlib import Path

WHEEL_FILES = [
    r"_murk\.abi3\.so",
    r"_murk\.pyi",
    r"murk/__init__\.py",
    r"murk/__init__\.pyi",
    r"murk/py\.typed",
    r"murk/_sketches\.abi3\.so",
    r"murk/_sketches\.pyi",
    r"murk/cli(\.py|/__init__\.py)",
    r"murk/cli/_overlap\.py",
    r"murk/__main__\.py",
    r"murk/dask\.py",
    r"murk/spark\.py",
    r"murk-[^/]+\.dist-info/licenses/LICENSE",
    r"murk-[^/]+\.dist-info/entry_points\.txt",
]
SDIST_FILES = [r"CMakeLists\.txt", r"pyproject\.toml", r"LICENSE", r"src/core/utils\.hpp",
               r"src/binding/frame\.hpp", r"src/murk/__init__\.py", r"tests/conftest\.py"]


def missing(names, patterns):
    return [p for p in patterns if not any(re.fullmatch(p, n) for n in names)]


def main(dist):
    errors = []
    wheels = sorted(Path(dist).glob("*.whl"))
    sdists = sorted(Path(dist).glob("*.tar.gz"))
    if len(wheels) != 1 or len(sdists) != 1:
        sys.exit(f"expected one wheel and one sdist in {dist}, found {len(wheels)} and {len(sdists)}")
    wheel, sdist = wheels[0], sdists[0]
    if not re.search(r"-cp311-abi3-manylinux_\d+_\d+_\w+\.whl$", wheel.name):
        errors.append(f"{wheel.name}: not an abi3 manylinux wheel")
    with zipfile.ZipFile(wheel) as z:
        names = z.namelist()
        entry = next((z.read(n).decode() for n in names if n.endswith(".dist-info/entry_points.txt")), "")
    errors += [f"{wheel.name}: no file matches {p}" for p in missing(names, WHEEL_FILES)]
    if not re.search(r"^murk\s*=\s*murk\.", entry, re.M):
        errors.append(f"{wheel.name}: no `murk` console script")
    with tarfile.open(sdist) as t:
        root = sdist.name[: -len(".tar.gz")] + "/"
        snames = [n[len(root):] for n in t.getnames() if n.startswith(root)]
    errors += [f"{sdist.name}: no file matches {p}" for p in missing(snames, SDIST_FILES)]
    for e in errors:
        print(e, file=sys.stderr)
    if errors:
        sys.exit(1)
    print(f"{wheel.name} and {sdist.name}: every expected file is present")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "dist")
