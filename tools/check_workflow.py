"""Checks what cibuildwheel would build in the release workflow, as far as
this machine can: no runner here can run the workflow.

    check_workflow.py .github/workflows/release.yml

For each platform of the wheels job's matrix, asks cibuildwheel (this venv's,
which must be the release the workflow installs) for the identifiers it
would build with that platform's archs, and fails unless they are exactly
CPython 3.12 to 3.15 for each arch: no free-threaded build, no PyPy or
GraalPy, no musllinux. Reads the workflow with ruamel.yaml, which
check-jsonschema brings.
"""

from __future__ import annotations

import importlib.metadata
import re
import subprocess
import sys
from pathlib import Path
from typing import Any

from ruamel.yaml import YAML

RELEASES = ("cp312", "cp313", "cp314", "cp315")
# The platform part of an identifier, from cibuildwheel's platform and arch.
PLATFORM_TAG = {"linux": "manylinux_{arch}", "macos": "macosx_{arch}", "windows": "win_{arch_lower}"}


def cibuildwheel_jobs(workflow: dict[str, Any]) -> dict[str, dict[str, Any]]:
    """The jobs with a step that runs cibuildwheel, by name."""
    return {name: job for name, job in workflow["jobs"].items()
            if any("cibuildwheel" in step.get("run", "") for step in job.get("steps", []))}


def archs_by_platform(job: dict[str, Any]) -> dict[str, list[str]]:
    archs: dict[str, list[str]] = {}
    for row in job["strategy"]["matrix"]["include"]:
        archs.setdefault(row["platform"], []).append(row["arch"])
    return archs


def expected(platform: str, archs: list[str]) -> list[str]:
    return sorted(f"{release}-{PLATFORM_TAG[platform].format(arch=arch, arch_lower=arch.lower())}"
                  for arch in archs for release in RELEASES)


def main(path: str) -> int:
    workflow = YAML(typ="safe").load(Path(path))
    jobs = cibuildwheel_jobs(workflow)
    if len(jobs) != 1:
        print(f"FAIL  {path}: expected one job that runs cibuildwheel, found {sorted(jobs) or 'none'}")
        return 1
    (name, job), = jobs.items()
    failed = False

    installed = importlib.metadata.version("cibuildwheel")
    pins = sorted({pin for step in job["steps"] for pin in re.findall(r"cibuildwheel==(\S+)", step.get("run", ""))})
    if pins != [installed]:
        print(f"FAIL  job {name} installs cibuildwheel {pins}, but this check runs {installed}")
        failed = True

    for platform, archs in archs_by_platform(job).items():
        printed = subprocess.run(
            [sys.executable, "-m", "cibuildwheel", "--print-build-identifiers",
             "--platform", platform, "--archs", ",".join(archs)],
            check=True, capture_output=True, text=True).stdout.split()
        wrong = sorted(set(printed) ^ set(expected(platform, archs)))
        failed |= bool(wrong)
        print(f"{'FAIL' if wrong else 'ok'}  {platform} {','.join(archs)}: {' '.join(printed)}")
        if wrong:
            print(f"      unexpected or missing: {' '.join(wrong)}")
    print(f"cibuildwheel {installed}, job {name}: identifiers only; nothing was built or run.")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
