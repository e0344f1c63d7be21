"""Output files: checked before any work, written whole, never through a link.

A file the user names is replaced only with --force, and then the name itself is replaced
(a symbolic link of that name becomes a file; what it pointed to is left alone).
"""
from __future__ import annotations

import os
import tempfile
from pathlib import Path

from landrecords.jobs.errors import Failure, UsageError


def _reason(error: OSError) -> str:
    return error.strerror or str(error)


def check_file(path: Path, force: bool, option: str = "-o") -> None:
    """Refuses a folder, or an existing file or link without --force; makes sure the folder
    it goes in exists and takes new files."""
    if path.is_dir():
        raise UsageError(f"{option} {path} is a folder; name a file")
    if (path.exists() or path.is_symlink()) and not force:
        raise UsageError(f"{path} exists; pass --force to replace it")
    check_folder(path.parent, path)


def check_folder(folder: Path, target: Path | None = None) -> None:
    """Creates the folder if need be and proves it takes a new file, by writing one."""
    target = target or folder
    try:
        folder.mkdir(parents=True, exist_ok=True)
        fd, probe = tempfile.mkstemp(prefix=".write-test.", dir=folder)
        os.close(fd)
        os.unlink(probe)
    except OSError as e:
        raise Failure(f"cannot write {target}: {_reason(e)}") from None


def temporary_beside(path: Path, suffix: str = ".part") -> Path:
    fd, name = tempfile.mkstemp(prefix=f".{path.name}.", suffix=suffix, dir=path.parent)
    os.close(fd)
    return Path(name)


def put_in_place(temporary: Path, path: Path) -> None:
    """Renames a finished temporary file over the name: readers see the old file or the new one."""
    os.chmod(temporary, 0o644)
    os.replace(temporary, path)


def write_atomically(path: Path, data: bytes) -> None:
    temporary = temporary_beside(path)
    try:
        with open(temporary, "wb") as file:
            file.write(data)
            file.flush()
            os.fsync(file.fileno())
        put_in_place(temporary, path)
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise
