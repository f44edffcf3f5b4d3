"""Whether file permissions hold in this test run: root reads and writes
files regardless of their mode, unless its capabilities were dropped; and
Windows has no mode bits to take a right away (its os.chmod only sets or
clears the read-only attribute)."""

import os
import sys
import tempfile

import pytest


def _permissions_enforced() -> bool:
    with tempfile.TemporaryDirectory() as folder:
        probe = os.path.join(folder, "probe")
        os.close(os.open(probe, os.O_CREAT | os.O_WRONLY, 0o200))
        try:
            os.close(os.open(probe, os.O_RDONLY))
        except PermissionError:
            return True
        return False


# For rows about the mode bits themselves, which root sees as anyone does.
posix_modes = pytest.mark.skipif(
    sys.platform == "win32", reason="POSIX permission bits: Windows' chmod only sets read-only"
)
if sys.platform == "win32":
    needs_permissions = posix_modes
else:
    needs_permissions = pytest.mark.skipif(
        os.geteuid() == 0 and not _permissions_enforced(), reason="root ignores file permissions"
    )
