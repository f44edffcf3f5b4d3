"""Builds the Windows wheels (x86-64, CPython 3.12 to 3.15) on Linux.

    python3 tools/windows/wheel.py 3.12 3.13 3.14 3.15 [--dist DIR]

Any Python 3.11 or later runs it. Per release it compiles both modules with
Zig for x86_64-windows-gnu (which links the Universal C Runtime, as
python.org's builds do), checks what each .pyd imports and exports, and packs
dist/zorvan-<version>-cp3X-cp3X-win_amd64.whl.

- Headers: CPython's Include/ is the same on every platform but for
  pyconfig.h, so a Linux CPython of the release gives them (this machine's
  own, tools/find-python.sh, else the Debian sid root of tools/sid/), with
  tools/windows/pyconfig.h in place of its pyconfig.h.
- Import library, made with `zig dlltool` from a .def file:
  - 3.12 and 3.13 from the exports of the official python3X.dll, out of the
    embeddable CPython on PyPI (tools/windows/embed.py). Those wheels run
    under Wine (tools/wine/).
  - 3.14 and 3.15, which have no official Windows build within reach, from
    the exports of the same release's Linux libpython: the interpreter
    exports the same PyAPI_FUNC/PyAPI_DATA set on every platform, save a few
    names on each side, measured on the newest release that has both (see
    derived_exports). Those wheels are compiled and linked only: nothing
    here can load them.

The wheels are packed here rather than by scikit-build-core, which takes the
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
import re
import shutil
import subprocess
import sys
import tomllib
import zipfile
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))
import embed  # noqa: E402
from binaries import PE, Symbol, elf_exports  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]
WORK = ROOT / "build" / "windows"
RELEASES = ("3.12", "3.13", "3.14", "3.15")
ZIG_PACKAGE = "ziglang==0.17.1"
MODULES = ("regionet", "credarium")
# The interpreter's exports on every platform: functions and data named
# Py*, _Py* and PY_* (PY_TIMEOUT_MAX).
API_PREFIXES = ("Py", "_Py", "PY_")
# A fixed time for every member, so that one tree packs to the same bytes.
ZIP_TIME = (1980, 1, 1, 0, 0, 0)


def nodot(release: str) -> str:
    return release.replace(".", "")


def run(*command: str | Path, capture: bool = False) -> str:
    if not capture:
        print("+", " ".join(str(part) for part in command), flush=True)
    done = subprocess.run([str(part) for part in command], check=True, text=True,
                          stdout=subprocess.PIPE if capture else None)
    return done.stdout if capture else ""


def pip(*arguments: str | Path) -> None:
    run(sys.executable, "-m", "pip", "--disable-pip-version-check", "--quiet", *arguments)


def zig() -> Path:
    # `make wheels-windows` names the Zig of the tools venv, which the other
    # Zig builds share (and their cache with it).
    if os.environ.get("ZIG"):
        return Path(os.environ["ZIG"])
    binary = WORK / "zig" / "ziglang" / "zig"
    if not binary.exists():
        pip("install", "--target", WORK / "zig", ZIG_PACKAGE)
    return binary


def linux_cpython(release: str) -> tuple[Path, Path]:
    """A Linux CPython of the release: its headers' folder, and the ELF file
    that exports its C API (libpython3.X.so, or the executable of an
    interpreter linked statically)."""
    found = subprocess.run([ROOT / "tools" / "find-python.sh", release], capture_output=True, text=True)
    if found.returncode == 0:
        include, library = run(found.stdout.strip(), "-c", "import sys, sysconfig; v = sysconfig.get_config_var; "
                               "print(sysconfig.get_path('include')); "
                               "print(v('LIBDIR') + '/' + v('LDLIBRARY') if v('Py_ENABLE_SHARED') else sys.executable)",
                               capture=True).splitlines()
        if Path(include, "Python.h").exists():
            return Path(include), Path(library).resolve()
    # Debian sid in a folder, made once as tools/sid/run.sh would (about a
    # gigabyte; ZORVAN_SID_DIR names another checkout's build/ to share
    # one): its headers and libraries are read from here, nothing runs in it.
    sid = Path(os.environ.get("ZORVAN_SID_DIR") or ROOT / "build") / "sid-amd64"
    if release in ("3.14", "3.15"):
        if not (sid / ".made").exists():
            print(f"CPython {release}: no such interpreter here, so making Debian sid in {sid}", flush=True)
            run(ROOT / "tools" / "sid" / "root.sh", "make", "amd64")
        usr = sid / "usr"
        return usr / "include" / f"python{release}", usr / "lib" / "x86_64-linux-gnu" / f"libpython{release}.so.1.0"
    raise SystemExit(f"no CPython {release} with its headers here:\n{found.stderr}")


def derived_exports(release: str, include: Path, library: Path) -> tuple[list[Symbol], str]:
    """The exports of python3X.dll for a release without an official Windows
    build: its Linux libpython's, less what only POSIX builds export, plus
    what only Windows builds export, both measured on the newest release that
    has an official DLL (on Linux such as PyOS_BeforeFork and Py_FrozenMain,
    on Windows such as PyErr_SetFromWindowsErr and PyUnicode_DecodeMBCS). A
    Windows-only name is kept where the release's headers still declare it.
    A name the headers declare that is missing here fails the link; one here
    that the DLL lacks could only be one new in this release and POSIX's."""
    newest = max(embed.RELEASES, key=lambda r: tuple(map(int, r.split("."))))
    windows = {s.name: s for s in PE(embed.dll(newest), f"python{nodot(newest)}.dll").exports()}
    _, newest_library = linux_cpython(newest)
    linux = {s.name for s in elf_exports(newest_library.read_bytes(), str(newest_library))}
    posix_only = linux - windows.keys()
    # The headers an extension may include: internal/ is the core's own.
    declared = "\n".join(h.read_text(errors="replace") for h in include.rglob("*.h") if "internal" not in h.parts)
    # Built-in modules' entry points are the DLL's own business on Windows.
    symbols = [s for s in elf_exports(library.read_bytes(), str(library))
               if s.name.startswith(API_PREFIXES) and not s.name.startswith("PyInit_") and s.name not in posix_only]
    symbols += [windows[name] for name in sorted(windows.keys() - linux) if re.search(rf"\b{name}\b", declared)]
    return symbols, f"{library.name}'s exports, adjusted by CPython {newest}'s"


def sdk(release: str, zig_binary: Path) -> tuple[Path, str]:
    """Headers with the Windows pyconfig.h, and an import library for
    python3X.dll; also says where the library's names came from."""
    folder = WORK / release / "sdk"
    include, library = linux_cpython(release)
    shutil.rmtree(folder, ignore_errors=True)
    shutil.copytree(include, folder / "include", ignore=shutil.ignore_patterns("pyconfig.h"))
    shutil.copy2(ROOT / "tools" / "windows" / "pyconfig.h", folder / "include" / "pyconfig.h")
    dll = f"python{nodot(release)}.dll"
    if release in embed.RELEASES:
        symbols = PE(embed.dll(release), dll).exports()
        source = f"the official {dll} (CPython {embed.RELEASES[release][3]})"
    else:
        symbols, source = derived_exports(release, include, library)
    # DATA: no call thunk, so a reference that bypasses __imp_ fails to link
    # instead of jumping into data.
    definitions = folder / f"python{nodot(release)}.def"
    definitions.write_text(f"LIBRARY {dll}\nEXPORTS\n" + "".join(
        f"{s.name}{' DATA' if s.data else ''}\n" for s in sorted(symbols, key=lambda s: s.name)))
    run(zig_binary, "dlltool", "-m", "i386:x86-64", "-d", definitions,
        "-l", folder / f"libpython{nodot(release)}.a", "-D", dll)
    return folder, f"{len(symbols)} names from {source}"


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


def build_modules(release: str, zig_binary: Path, kit: Path) -> Path:
    """Builds and installs the modules into a staging folder; gives it back."""
    build, stage = WORK / release / "cmake-build", WORK / release / "stage"
    tool = cmake()
    run(tool, "-S", ROOT, "-B", build, "--toolchain", ROOT / "cmake" / "zig.cmake", "--log-level=WARNING",
        "-DCMAKE_BUILD_TYPE=Release", f"-DZIG={zig_binary}", "-DZIG_TARGET=x86_64-windows-gnu",
        f"-DZORVAN_HOST_PYTHON={sys.executable}", f"-DPython_INCLUDE_DIR={kit / 'include'}",
        f"-DPython_LIBRARY={kit / f'libpython{nodot(release)}.a'}", f"-DPython_SOABI=cp{nodot(release)}-win_amd64")
    run(tool, "--build", build, "--parallel", "2")
    shutil.rmtree(stage, ignore_errors=True)
    run(tool, "--install", build, "--prefix", stage, "--strip")
    return stage


def check(release: str, stage: Path) -> list[str]:
    """One line per module: what it imports and exports. Fails unless it
    imports from python3X.dll, KERNEL32.dll and the Universal C Runtime
    (api-ms-win-crt-*) alone, and exports nothing but PyInit_<module>."""
    dll = f"python{nodot(release)}.dll"
    lines, faults = [], []
    for module in MODULES:
        found = list(stage.rglob(f"{module}*.pyd"))
        if len(found) != 1:
            raise SystemExit(f"expected one {module} module in {stage}, found {found}")
        pe = PE(found[0].read_bytes(), str(found[0]))
        imports = pe.imports()
        others = [name for name in imports
                  if name.lower() not in (dll, "kernel32.dll") and not name.lower().startswith("api-ms-win-crt-")]
        exports = [s.name for s in pe.exports()]
        if others or dll not in imports or exports != [f"PyInit_{module}"]:
            faults.append(f"{found[0].name}: imports {sorted(imports)}, exports {exports}")
        crt = sorted(name.removeprefix("api-ms-win-crt-").removesuffix("-l1-1-0.dll")
                     for name in imports if name.startswith("api-ms-win-crt-"))
        lines.append(f"ok  cp{nodot(release)}  {module}.cp{nodot(release)}-win_amd64.pyd: imports {dll} "
                     f"({len(imports.get(dll, []))} names), KERNEL32.dll ({len(imports.get('KERNEL32.dll', []))}), "
                     f"api-ms-win-crt-{{{','.join(crt)}}}; exports only {', '.join(exports)}")
    if faults:
        raise SystemExit("\n".join(faults))
    return lines


def metadata(project: dict[str, Any]) -> str:
    lines = [
        "Metadata-Version: 2.1",
        f"Name: {project['name']}",
        f"Version: {project['version']}",
        f"Summary: {project['description']}",
        *(f"Classifier: {classifier}" for classifier in project.get("classifiers", [])),
        f"Requires-Python: {project['requires-python']}",
        *(f"Requires-Dist: {dependency}" for dependency in project["dependencies"]),
    ]
    for extra, dependencies in project.get("optional-dependencies", {}).items():
        lines.append(f"Provides-Extra: {extra}")
        lines += [f'Requires-Dist: {dependency}; extra == "{extra}"' for dependency in dependencies]
    lines.append("Description-Content-Type: text/markdown")
    readme: str = (ROOT / project["readme"]).read_text(encoding="utf-8")
    return "\n".join(lines) + "\n\n" + readme


def pack(release: str, stage: Path, dist: Path) -> Path:
    project = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))["project"]
    name, version = project["name"], project["version"]
    tag, suffix = f"cp{nodot(release)}-cp{nodot(release)}-win_amd64", f".cp{nodot(release)}-win_amd64.pyd"
    info = f"{name}-{version}.dist-info"
    members: dict[str, bytes] = {}
    for tree in (ROOT / "src", stage):
        for path in sorted(tree.rglob("*")):
            if path.is_file() and "__pycache__" not in path.parts and path.suffix != ".pyc":
                members[path.relative_to(tree).as_posix()] = path.read_bytes()
    # FindPython cannot ask a cross build's interpreter for the suffix; CPython
    # on Windows looks for this one first.
    modules = [member for member in members if member.endswith(suffix)]
    if len(modules) != len(MODULES):
        raise SystemExit(f"expected the modules in {stage} to end in {suffix}, found {modules}")
    scripts = "".join(f"{script} = {target}\n" for script, target in project["scripts"].items())
    members[f"{info}/METADATA"] = metadata(project).encode()
    members[f"{info}/WHEEL"] = (
        f"Wheel-Version: 1.0\nGenerator: zorvan tools/windows/wheel.py\nRoot-Is-Purelib: false\nTag: {tag}\n"
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
    wheel = dist / f"{name}-{version}-{tag}.whl"
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
    parser.add_argument("releases", nargs="+", choices=RELEASES, metavar="3.X", help=f"any of {', '.join(RELEASES)}")
    parser.add_argument("--dist", type=Path, default=ROOT / "dist", help="where the wheels go (default: dist/)")
    options = parser.parse_args()
    zig_binary = zig()
    summary = []
    for release in dict.fromkeys(options.releases):
        print(f"== CPython {release} for Windows", flush=True)
        kit, linked_against = sdk(release, zig_binary)
        stage = build_modules(release, zig_binary, kit)
        summary += check(release, stage)
        wheel = pack(release, stage, options.dist)
        runs = "runs under Wine (make test-windows)" if release in embed.RELEASES else "compiled and linked only"
        summary.append(f"    {wheel.relative_to(ROOT) if wheel.is_relative_to(ROOT) else wheel}: "
                       f"import library of {linked_against}; {runs}")
    print("\n".join(summary))
    untested = [r for r in dict.fromkeys(options.releases) if r not in embed.RELEASES]
    if untested:
        print(f"Compiled and linked only for CPython {' and '.join(untested)}: no official Windows build of "
              "that release is here, so nothing has loaded those modules.")


if __name__ == "__main__":
    main()
