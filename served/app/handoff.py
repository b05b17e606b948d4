"""The hand-off file through which the launcher finds a sign-in URL.

The launcher reads the file's "url" afresh at every navigation and never
writes it, so the file must never be seen half-written: each version is
written to a private temporary file beside it and renamed over it.
"""

import json
import os
import tempfile
from pathlib import Path


def _make_private_dirs(directory: Path) -> None:
    """Create every missing component of directory with mode 0700."""
    missing = []
    current = directory
    while not current.is_dir():
        missing.append(current)
        if current.parent == current:
            break
        current = current.parent
    for path in reversed(missing):
        try:
            os.mkdir(path, 0o700)
        except FileExistsError:
            continue
        # mkdir's mode is filtered by the umask; the directory must stay private.
        os.chmod(path, 0o700)


def _fsync_dir(directory: Path) -> None:
    try:
        fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


def write_atomically(path: Path, document: dict) -> None:
    """Replace path with document as JSON, mode 0600, durably.

    Raises OSError when the directory cannot be created or written.
    """
    directory = path.parent
    _make_private_dirs(directory)
    data = (json.dumps(document, sort_keys=True) + "\n").encode("utf-8")
    # mkstemp creates the file with mode 0600 whatever the umask.
    fd, temporary = tempfile.mkstemp(prefix=".launch-", suffix=".tmp", dir=directory)
    try:
        with os.fdopen(fd, "wb") as stream:
            stream.write(data)
            stream.flush()
            os.fsync(stream.fileno())
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except FileNotFoundError:
            pass
        raise
    _fsync_dir(directory)


def read(path: Path) -> dict | None:
    """The file's JSON object, or None when it is absent, unreadable or not an object."""
    try:
        with open(path, "rb") as stream:
            document = json.load(stream)
    except (OSError, ValueError):
        return None
    return document if isinstance(document, dict) else None


class HandoffFile:
    """One server's hand-off file: it writes its own URL and removes only its own."""

    def __init__(self, path: Path, pid: int) -> None:
        self.path = path
        self._pid = pid
        self._url: str | None = None

    def publish(self, url: str) -> None:
        write_atomically(self.path, {"url": url, "pid": self._pid})
        self._url = url

    def remove_if_ours(self) -> bool:
        """Delete the file when it still holds what this server wrote last.

        Another server started later may have replaced it; that file is left alone.
        """
        if self._url is None:
            return False
        document = read(self.path)
        if document is None or document.get("pid") != self._pid or document.get("url") != self._url:
            return False
        try:
            os.unlink(self.path)
        except FileNotFoundError:
            return False
        return True
