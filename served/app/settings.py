"""Where the served application listens and where it leaves its hand-off file.

The launcher passes no port and no paths: it expects port 8000 and derives the
hand-off file's location from the user's data directory the same way as here.
LUMIVANE_STANDIN_PORT exists so that tests can run several servers side by
side on ephemeral ports ("0" asks the kernel for a free port).
"""

import os
import pwd
from dataclasses import dataclass
from pathlib import Path
from typing import Mapping

DEFAULT_PORT = 8000
PORT_VARIABLE = "LUMIVANE_STANDIN_PORT"
HOST = "127.0.0.1"


class SettingsError(Exception):
    """The environment asks for something that cannot be honoured."""


@dataclass(frozen=True)
class Settings:
    port: int
    handoff_file: Path
    models: str | None


def application_support_dir(env: Mapping[str, str]) -> Path:
    """$XDG_DATA_HOME when it is set and absolute, otherwise ~/.local/share."""
    xdg = env.get("XDG_DATA_HOME", "")
    if xdg and os.path.isabs(xdg):
        return Path(xdg)
    home = env.get("HOME") or pwd.getpwuid(os.getuid()).pw_dir
    return Path(home) / ".local" / "share"


def handoff_file(env: Mapping[str, str]) -> Path:
    return application_support_dir(env) / "Lumivane" / "data" / "launch.json"


def port_from(env: Mapping[str, str]) -> int:
    raw = env.get(PORT_VARIABLE)
    if raw is None or raw == "":
        return DEFAULT_PORT
    try:
        port = int(raw, 10)
    except ValueError:
        port = -1
    if not 0 <= port <= 65535:
        raise SettingsError(f"{PORT_VARIABLE} must be a port number from 0 to 65535, not {raw!r}")
    return port


def settings_from(env: Mapping[str, str]) -> Settings:
    return Settings(
        port=port_from(env),
        handoff_file=handoff_file(env),
        models=env.get("LUMIVANE_MODELS"),
    )
