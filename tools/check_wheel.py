"""Checks a release wheel: its platform tag is the one auditwheel reports, its
module needs no library beyond what that tag allows, and it carries what a user
needs (the module, the stub, the command line, the licences) and nothing for tests.

    python tools/check_wheel.py dist/orvel_core-*.whl   (auditwheel and ldd on PATH)
"""

from __future__ import annotations

import re
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

# What a manylinux wheel may load from the system (the libraries every glibc
# Linux has); libcrypto is linked in and must not appear.
SYSTEM_LIBRARIES = (
    "linux-vdso.so", "libc.so", "libm.so", "libpthread.so", "libdl.so", "libstdc++.so", "libgcc_s.so", "ld-linux",
)


def fail(message: str) -> None:
    sys.exit(f"check_wheel: {message}")


def auditwheel_tag(wheel: Path) -> str:
    shown = subprocess.run(["auditwheel", "show", str(wheel)], capture_output=True, text=True, check=True).stdout
    found = re.search(r'consistent with the following platform tag:\s*"([^"]+)"', " ".join(shown.split()))
    if not found:
        fail(f"auditwheel gave no platform tag:\n{shown}")
    return found.group(1)


def linked_libraries(wheel: Path, member: str) -> list[str]:
    with tempfile.TemporaryDirectory() as scratch:
        module = Path(scratch) / Path(member).name
        module.write_bytes(zipfile.ZipFile(wheel).read(member))
        listing = subprocess.run(["ldd", str(module)], capture_output=True, text=True, check=True).stdout
    return [line.split()[0] for line in listing.splitlines() if line.strip()]


def main(wheel: Path) -> None:
    names = zipfile.ZipFile(wheel).namelist()
    tag = auditwheel_tag(wheel)
    if not wheel.name.endswith(f"-{tag}.whl") and f".{tag}." not in wheel.name:
        fail(f"{wheel.name} is not tagged {tag}, the tag auditwheel reports")
    libraries: list[str] = []
    for name in ("orvel_core", "_orvel_index", "_orvel_pack"):
        modules = [n for n in names if re.fullmatch(rf"{name}\.[^/]*\.so", n)]
        if len(modules) != 1:
            fail(f"expected one {name} module, found {modules}")
        size = zipfile.ZipFile(wheel).getinfo(modules[0]).file_size
        if size > 2 * 1024 * 1024:
            # The static libcrypto brings in only SHA-256; the EVP machinery alone is megabytes.
            fail(f"{modules[0]} is {size / 1024:.0f} KiB: a static library brought in more than it needs")
        for library in linked_libraries(wheel, modules[0]):
            if not Path(library).name.startswith(SYSTEM_LIBRARIES):
                fail(f"{name} needs {library}")
            libraries.append(library) if library not in libraries else None
    required = ["orvel_core-stubs/__init__.pyi", "_orvel_index-stubs/__init__.pyi", "_orvel_pack-stubs/__init__.pyi",
                "orvel/__init__.py",
                "orvel/cli.py", "orvel/distributed.py", "orvel/py.typed"]
    missing = [n for n in required if n not in names]
    licences = [n for n in names if re.search(r"\.dist-info/licenses/", n)]
    if missing or len(licences) < 2:
        fail(f"missing from the wheel: {missing or 'the licence files'}")
    if any("_orvel_testing" in n for n in names):
        fail("the test-only module is in the wheel")
    print(f"{wheel.name}: {tag}, {wheel.stat().st_size / 1024:.0f} KiB; the modules load {' '.join(libraries)}")


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    main(Path(sys.argv[1]))
