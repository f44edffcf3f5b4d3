"""Whether file permissions hold in this test run: root reads and writes
files regardless of their mode, unless its capabilities were dropped."""

import os
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


needs_permissions = pytest.mark.skipif(
    os.geteuid() == 0 and not _permissions_enforced(), reason="root ignores file permissions"
)
