"""Where zorvan keeps its configuration."""

from __future__ import annotations

import os
import sys
from pathlib import Path

TYPE_CHECKING = False  # start-up: no typing, no collections
if TYPE_CHECKING:
    from collections.abc import Mapping

# "windows", "macos" or "posix" (Linux and the other Unix systems): the
# conventions, and the credential manager, that users of each one know.
PLATFORM: str = {"win32": "windows", "darwin": "macos"}.get(sys.platform, "posix")


def _config_dir(platform: str = PLATFORM, environ: Mapping[str, str] = os.environ) -> Path:
    # ZORVAN_CONFIG_DIR everywhere, else each platform's own place for an
    # application's settings.
    explicit = environ.get("ZORVAN_CONFIG_DIR")
    if explicit:
        return Path(explicit)
    if platform == "windows":
        appdata = environ.get("APPDATA")
        return (Path(appdata) if appdata else Path.home() / "AppData" / "Roaming") / "zorvan"
    if platform == "macos":
        return Path.home() / "Library" / "Application Support" / "zorvan"
    xdg = environ.get("XDG_CONFIG_HOME")
    return (Path(xdg) if xdg else Path.home() / ".config") / "zorvan"


CONFIG_DIR: Path = _config_dir()
