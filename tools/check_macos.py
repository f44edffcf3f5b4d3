"""Checks the macOS builds of both modules, as far as this machine can.

    check_macos.py BUILD_DIR:ARCH:OLDEST_MACOS:SOABI ...

For each module built in BUILD_DIR: a Mach-O file named with that SOABI
(cpython-314-darwin, say), of that architecture, built for that oldest macOS, defining PyInit_<module> and loading no library but
libSystem (the interpreter's symbols come from the process at load time).
Reads the files with llvm-objdump and llvm-nm. Nothing here can load a macOS
binary: what passes is compiled and linked, never run.
"""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

MODULES = ("regionet", "credarium")
MACHO_ARCH = {"aarch64": "arm64", "x86_64": "x86_64"}
LIBSYSTEM = "/usr/lib/libSystem.B.dylib"


def tool(*args: str) -> str:
    return subprocess.run(args, check=True, capture_output=True, text=True).stdout


def headers(path: Path) -> tuple[str, list[dict[str, str]]]:
    """The file's CPU type and each load command's fields, from llvm-objdump's text."""
    lines = tool("llvm-objdump", "--macho", "--private-headers", str(path)).splitlines()
    cpu = lines[3].split()[1]
    commands: list[dict[str, str]] = []
    for line in lines[4:]:
        key, _, value = line.strip().partition(" ")
        if key == "cmd":
            commands.append({})
        if commands and key:
            commands[-1].setdefault(key, value.strip())
    return cpu, commands


def check(path: Path, name: str, arch: str, oldest: str) -> list[str]:
    """What is wrong with one module file; nothing when it passes."""
    if not path.is_file():
        return [f"{path} was not built"]
    faults = []
    cpu, commands = headers(path)
    if cpu.lower() != MACHO_ARCH[arch]:
        faults.append(f"built for {cpu}, not {MACHO_ARCH[arch]}")
    versions = [c.get("minos") or c.get("version") for c in commands
                if c["cmd"] in ("LC_BUILD_VERSION", "LC_VERSION_MIN_MACOSX")]
    if versions != [oldest]:
        faults.append(f"built for macOS {versions}, not {oldest}")
    libraries = [c["name"].split(" (offset")[0] for c in commands
                 if c["cmd"] in ("LC_LOAD_DYLIB", "LC_LOAD_WEAK_DYLIB", "LC_REEXPORT_DYLIB")]
    if libraries != [LIBSYSTEM]:
        faults.append(f"loads {libraries}, not only {LIBSYSTEM}")
    exported = tool("llvm-nm", "--extern-only", "--defined-only", "--just-symbol-name", str(path)).split()
    if f"_PyInit_{name}" not in exported:
        faults.append(f"does not define PyInit_{name}")
    # Worth knowing, not wrong in itself: a symbol other than the entry point
    # that the module makes visible to every other image in the process.
    others = sorted(set(exported) - {f"_PyInit_{name}", "___dso_handle", "__mh_dylib_header"})
    if others:
        print(f"note: {path} also exports {len(others)} symbols: {' '.join(others)}")
    return faults


def main(targets: list[str]) -> int:
    failed = False
    for target in targets:
        build_dir, arch, oldest, soabi = target.rsplit(":", 3)
        for name in MODULES:
            path = Path(build_dir) / f"{name}.{soabi}.so"
            faults = check(path, name, arch, oldest)
            failed |= bool(faults)
            verdict = "; ".join(faults) if faults else (
                f"{MACHO_ARCH[arch]}, macOS {oldest}+, defines PyInit_{name}, loads only {LIBSYSTEM}")
            print(f"{'FAIL' if faults else 'ok'}  {arch}-macos.{oldest}  {path.name}: {verdict}")
    print("Compiled and linked only: nothing was run on macOS. No Mac here can load these modules.")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
