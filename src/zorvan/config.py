"""Where zorvan keeps its configuration."""

import os
from pathlib import Path


def _config_dir() -> Path:
    explicit = os.environ.get("ZORVAN_CONFIG_DIR")
    if explicit:
        return Path(explicit)
    xdg = os.environ.get("XDG_CONFIG_HOME")
    base = Path(xdg) if xdg else Path.home() / ".config"
    return base / "zorvan"


CONFIG_DIR: Path = _config_dir()
