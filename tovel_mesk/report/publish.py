"""Publishing a search's files into its output folder: all of them or none, as a reader sees
it, one search at a time.

- **Lock.** `output_lock(folder)` holds an advisory lock on a hidden ``.NAME.lock`` file
  beside the folder for as long as a search may write into it; a second search that wants
  the same folder is refused at once (`OutputError`, naming the process that holds it). The
  system drops the lock when its process ends, killed or not, so a lock is never stale.
- **Staging.** Every file is written into a new hidden folder beside the output folder
  (``.NAME.<random>.new``, same file system). Each file and then the folder are flushed to
  disk (fsync) before anything is swapped in.
- **Swap.** A missing output folder is created by renaming the staged folder into place.
  An existing folder that holds nothing but a search's outputs is exchanged with the
  staged one in one atomic rename (two renames where the file system cannot exchange), and
  the old one is removed. An existing folder that also holds other files keeps them: the
  new files are renamed in one by one, ``summary.json`` removed first and renamed in last.
  There ``summary.json`` is the manifest: present only beside a complete set of outputs.
- **Leftovers.** Staging folders and temporary files left by a killed run are removed (under
  the lock) before publishing; an output folder that a kill left moved aside is put back.
- **Failure.** When writing fails (a full disk, say), the staged folder is removed, the
  output folder is left as it was (and not created), and the error names the file that
  could not be written.
"""

from __future__ import annotations

import contextlib
import ctypes
import errno
import fcntl
import os
import re
import secrets
import shutil
import stat
import threading
from collections.abc import Callable, Iterable, Iterator
from pathlib import Path

from ..errors import OutputError

__all__ = ["output_lock", "publish", "lock_path"]

#: The manifest: renamed into a shared folder last, removed from it first.
MANIFEST = "summary.json"


def lock_path(folder: Path) -> Path:
    """The lock file of an output folder: hidden, beside it."""
    return folder.parent / f".{folder.name}.lock"


_held: dict[str, list[int]] = {}   # lock file -> [descriptor, holds]
_held_guard = threading.Lock()


def _acquire(path: Path, folder: Path) -> int:
    while True:
        fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o666)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            holder = os.read(fd, 64).decode("ascii", "replace").strip()
            os.close(fd)
            who = f" (process {holder})" if holder.isdigit() else ""
            raise OutputError(f"{folder}: another search{who} is writing into this output folder; wait for it to "
                              "end, or choose another folder") from None
        except BaseException:
            os.close(fd)
            raise
        # The holder before us removes the file as it lets go; a lock on a removed file
        # guards nothing, so take it again on the file that is there now.
        try:
            now = os.stat(path)
        except FileNotFoundError:
            os.close(fd)
            continue
        mine = os.fstat(fd)
        if (now.st_dev, now.st_ino) != (mine.st_dev, mine.st_ino):
            os.close(fd)
            continue
        os.ftruncate(fd, 0)
        os.write(fd, f"{os.getpid()}\n".encode())
        return fd


@contextlib.contextmanager
def output_lock(folder: str | os.PathLike) -> Iterator[None]:
    """Holds the output folder's lock (see the module's documentation); raises OutputError
    when another search holds it. Missing parent folders are created for the lock file and
    removed again at the end when nothing was published into them. Re-entrant within a
    process."""
    folder = Path(os.path.realpath(folder))  # a link to a folder: the folder it names
    created = []
    parent = folder.parent
    while not parent.exists():
        created.append(parent)
        parent = parent.parent
    for missing in reversed(created):
        missing.mkdir(exist_ok=True)
    path = lock_path(folder)
    key = os.fspath(path)
    try:
        with _held_guard:
            entry = _held.get(key)
            if entry is None:
                entry = _held[key] = [_acquire(path, folder), 0]
            entry[1] += 1
        try:
            yield
        finally:
            with _held_guard:
                entry[1] -= 1
                if entry[1] == 0:
                    del _held[key]
                    with contextlib.suppress(OSError):
                        path.unlink()
                    os.close(entry[0])
    finally:
        for made in created:  # deepest first; left alone once anything is in it
            with contextlib.suppress(OSError):
                made.rmdir()


def _fsync(path: Path, directory: bool = False) -> None:
    fd = os.open(path, os.O_RDONLY | (os.O_DIRECTORY if directory else 0))
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _fsync_tree(path: Path) -> None:
    """Flushes a staged output: a file, or a folder of outputs with everything in it."""
    if path.is_dir():
        for root, _, files in os.walk(path):
            for name in files:
                _fsync(Path(root) / name)
            _fsync(Path(root), directory=True)
    else:
        _fsync(path)


def _replace(new: Path, old: Path) -> None:
    """Renames `new` to `old`; a folder of outputs replaces the older folder, which is removed."""
    if new.is_dir() and old.is_dir() and not old.is_symlink():
        aside = old.parent / f".{old.name}.{secrets.token_hex(6)}.old"
        old.rename(aside)
        new.rename(old)
        shutil.rmtree(aside, ignore_errors=True)
    else:
        os.replace(new, old)


_RENAME_EXCHANGE = 2
_AT_FDCWD = -100
_libc: ctypes.CDLL | None = None


def _exchange(a: Path, b: Path) -> bool:
    """Swaps two paths in one atomic rename; False where the system cannot."""
    global _libc
    try:
        if _libc is None:
            _libc = ctypes.CDLL(None, use_errno=True)
        renameat2 = _libc.renameat2
    except (OSError, AttributeError):
        return False
    result = renameat2(_AT_FDCWD, os.fsencode(a), _AT_FDCWD, os.fsencode(b), _RENAME_EXCHANGE)
    if result == 0:
        return True
    code = ctypes.get_errno()
    if code in (errno.EINVAL, errno.ENOSYS, errno.EOPNOTSUPP, errno.ENOTSUP):
        return False
    raise OSError(code, os.strerror(code), os.fspath(b))


def _clean_leftovers(folder: Path, outputs: Iterable[str]) -> None:
    """Removes the staging folders and temporary files of killed runs (the lock is held, so
    no live search owns them) and puts back an output folder that a kill left moved aside."""
    pattern = re.compile(rf"\.{re.escape(folder.name)}\.[0-9a-f]+\.(new|old)")
    for entry in sorted(folder.parent.iterdir()) if folder.parent.is_dir() else []:
        match = pattern.fullmatch(entry.name)
        if match is None or not entry.is_dir():
            continue
        if match.group(1) == "old" and not folder.exists():
            entry.rename(folder)
        else:
            shutil.rmtree(entry, ignore_errors=True)
    if folder.is_dir():
        names = "|".join(re.escape(n) for n in outputs)
        temporary = re.compile(rf"\.({names})\.[0-9a-f]+\.tmp")
        replaced = re.compile(rf"\.({names})\.[0-9a-f]+\.old")  # a folder of outputs being replaced
        for entry in folder.iterdir():
            if temporary.fullmatch(entry.name):
                entry.unlink(missing_ok=True)
            elif replaced.fullmatch(entry.name) and entry.is_dir() and not entry.is_symlink():
                shutil.rmtree(entry, ignore_errors=True)


def _only_outputs(folder: Path, outputs: Iterable[str]) -> bool:
    known = set(outputs)
    return all(entry.name in known for entry in folder.iterdir())


def publish(folder: str | os.PathLike, outputs: list[str], write: Callable[[Callable[[str], Path]], None]) -> None:
    """Publishes the files `write` makes into `folder`, all or none (see the module's
    documentation). `write(stage)` gets `stage(name)`, which returns the path to write the
    output `name` to; `outputs` names every output a search may leave in a folder (those
    `write` makes among them). Raises OutputError when another search holds the folder, and
    the OSError of a file that could not be written, naming that file in the output folder."""
    folder = Path(os.path.realpath(folder))  # a link to a folder: the folder it names
    with output_lock(folder):
        _clean_leftovers(folder, outputs)
        if folder.exists() and not folder.is_dir():
            raise OutputError(f"{folder}: exists and is not a folder")
        staged = folder.parent / f".{folder.name}.{secrets.token_hex(6)}.new"
        staged.mkdir()
        names: list[str] = []
        current = [""]

        def stage(name: str) -> Path:
            names.append(name)
            current[0] = name
            return staged / name

        try:
            try:
                write(stage)
                for name in names:
                    current[0] = name
                    _fsync_tree(staged / name)
                _fsync(staged, directory=True)
            except OSError as error:
                reason = error.strerror or str(error)
                raise OSError(error.errno, f"{reason}; nothing was written",
                              os.fspath(folder / current[0])) from error
            if not folder.exists():
                staged.rename(folder)
            elif _only_outputs(folder, outputs):
                os.chmod(staged, stat.S_IMODE(folder.stat().st_mode))  # the folder keeps its permissions
                if not _exchange(staged, folder):
                    aside = folder.parent / f".{folder.name}.{secrets.token_hex(6)}.old"
                    folder.rename(aside)
                    staged.rename(folder)
                    staged = aside
            else:
                # A folder shared with other files: the manifest goes first and comes last.
                (folder / MANIFEST).unlink(missing_ok=True)
                _fsync(folder, directory=True)
                for name in sorted(names, key=lambda n: n == MANIFEST):
                    _replace(staged / name, folder / name)
            _fsync(folder.parent, directory=True)
            _fsync(folder, directory=True)
        finally:
            shutil.rmtree(staged, ignore_errors=True)
