"""The persistent index cache: the digest of a FASTA and the index built from it, stored
in a folder and mapped again by later searches with the same FASTA bytes and settings.

An entry is one index file (`tovel_mesk._native.write_index`): the index's arrays in a
layout of our own, a header with its format version and sizes, and a checksum of every
4 MiB block and of the header. Loading maps the file and uses the arrays in place (no
parse, no copy); every checksum is verified first, in parallel. Beside the arrays the file
holds the digest's counts and the messages its digestion gave, so a search served from
the cache reports what a search that built the index reports.

- **The key**: a SHA-256 over a fingerprint of the FASTA file's bytes (its size and
  two 64-bit checksums, `fasta_fingerprint`), every setting of the
  stages that shape the digest and the index (`tovel_mesk.config.INDEX_STAGES`, the
  fragment list resolved), the smallest indexed ion, the package version and the cache's
  format version. The entry's file name is that key, and the file repeats it.
- **Safe**: an entry is written under a temporary name in the same folder and renamed, so a
  reader sees a whole file or none; two processes filling one entry at once each write
  their own temporary file, and the last rename wins with an equal file. A truncated or
  damaged file (a checksum or a consistency check fails) is rebuilt and replaced, and the
  search says so (console, ``summary.json``, report). A file of another format version is
  ignored and replaced. After each store the least recently used entries (a hit touches
  its entry) are removed until the folder holds at most the size limit. A folder that
  cannot be created or written leaves the search without a cache, with a warning.
- **Where**: `--index-cache DIR`; by default ``$TOVEL_MESK_INDEX_CACHE``, else the user's
  cache folder (``$XDG_CACHE_HOME`` or ``~/.cache`` on Linux, ``~/Library/Caches`` on
  macOS, ``%LOCALAPPDATA%`` on Windows) under ``tovel-mesk/index``. `--no-index-cache`
  turns it off.
"""

from __future__ import annotations

import contextlib
import hashlib
import json
import os
import sys
import time
import uuid
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any

from .. import _native
from .._version import __version__
from ..config import INDEX_STAGES, parse_size, format_size

if TYPE_CHECKING:
    from ..config import SearchSettings

__all__ = ["IndexCache", "CacheReport", "CACHE_FORMAT", "default_cache_folder", "index_key", "fasta_sha256",
           "fasta_fingerprint", "HIT", "STORED", "REBUILT", "OFF", "NOT_STORED", "parse_size", "format_size"]

#: Format version of the cache's entries (file layout and metadata). Part of every key.
CACHE_FORMAT = 1

#: The environment variable that moves the default cache folder.
CACHE_ENV = "TOVEL_MESK_INDEX_CACHE"

SUFFIX = ".tmidx"
TEMPORARY = ".tmp"

#: Temporary files older than this are what a killed writer left: removed when the folder
#: is tidied.
STALE_SECONDS = 6 * 3600

#: Where the index came from (`CacheReport.status`).
HIT = "hit"                  # mapped from the cache
STORED = "stored"            # built, and stored in the cache
REBUILT = "rebuilt"          # the cached file was damaged: built again and replaced
NOT_STORED = "not-stored"    # built; the cache could not take it (see `reason`)
OFF = "off"                  # the cache is turned off

_STATUS_TEXT = {HIT: "from the cache", STORED: "built and stored in the cache",
                REBUILT: "rebuilt (the cached file was damaged) and stored again",
                NOT_STORED: "built; not stored in the cache", OFF: "built (the index cache is off)"}


def default_cache_folder() -> Path:
    """The default cache folder: ``$TOVEL_MESK_INDEX_CACHE``, else the platform's user
    cache folder under ``tovel-mesk/index``."""
    explicit = os.environ.get(CACHE_ENV)
    if explicit:
        return Path(explicit)
    if sys.platform == "darwin":
        base = Path.home() / "Library" / "Caches"
    elif os.name == "nt":
        base = Path(os.environ.get("LOCALAPPDATA") or Path.home() / "AppData" / "Local")
    else:
        base = Path(os.environ.get("XDG_CACHE_HOME") or Path.home() / ".cache")
    return base / "tovel-mesk" / "index"


def fasta_sha256(path: str | os.PathLike[str]) -> str:
    """The SHA-256 of a file's bytes, in hex."""
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def fasta_fingerprint(path: str | os.PathLike[str]) -> str:
    """A fingerprint of a file's bytes for the cache key: its size and two 64-bit
    checksums of different seeds (the index file's checksum, in native code: a tenth of
    the time of a SHA-256)."""
    with open(path, "rb") as f:
        data = f.read()
    return f"{len(data)}:{_native.checksum(data, 0):016x}{_native.checksum(data, 0x5EED):016x}"


def index_key(settings: SearchSettings, fasta_hash: str, min_ion_index: int) -> str:
    """The key of the index that `settings` describe for a FASTA whose bytes hash to
    `fasta_hash` (`fasta_fingerprint`, or a SHA-256): a SHA-256 of that hash, of the settings of the stages that shape the index
    (`INDEX_STAGES`: the digestion's and the index's, whether the index lists its fragments
    resolved from `fragment_list`), of the smallest indexed ion (`min_ion_index`), of the
    package version and of the cache's format version."""
    shaping = {stage: settings.arguments(stage) for stage in INDEX_STAGES}
    text = json.dumps({"fasta": fasta_hash, "settings": shaping, "min_ion_index": min_ion_index,
                       "ion_kinds": ["b", "y"], "version": __version__, "cache_format": CACHE_FORMAT},
                      sort_keys=True)
    return hashlib.sha256(text.encode()).hexdigest()


@dataclass
class CacheReport:
    """Where a search's index came from: `status` (`HIT`, `STORED`, `REBUILT`, `NOT_STORED`
    or `OFF`), the cache folder and entry, the seconds the index took to get (hashing the
    FASTA and mapping and verifying the entry on a hit), and why when the cache could not
    serve or take it."""

    status: str
    folder: str | None = None
    entry: str | None = None
    entry_bytes: int = 0
    seconds: float = 0.0
    reason: str | None = None
    evicted: list[str] = field(default_factory=list)

    @property
    def warning(self) -> str | None:
        """What the user must be told: a damaged entry rebuilt, or a cache that could not
        take the index."""
        if self.status == REBUILT:
            return f"index cache: the cached index was damaged ({self.reason}); it was rebuilt and stored again"
        if self.status == NOT_STORED:
            return f"index cache: the index was not stored ({self.reason}); the search went on without the cache"
        return None

    def line(self) -> str:
        """One console line."""
        text = f"index: {_STATUS_TEXT[self.status]}"
        if self.status == HIT:
            text += f" ({format_size(self.entry_bytes)} mapped and verified in {self.seconds:.2f} s, {self.folder})"
        elif self.status in (STORED, REBUILT):
            text += f" ({format_size(self.entry_bytes)}, {self.folder})"
        if self.evicted:
            text += f"; {len(self.evicted)} least recently used entr{'y' if len(self.evicted) == 1 else 'ies'} " \
                    "removed to stay under --index-cache-size"
        return text

    def as_dict(self) -> dict[str, Any]:
        return {"status": self.status, "folder": self.folder, "entry": self.entry, "entry_bytes": self.entry_bytes,
                "seconds": round(self.seconds, 4), "reason": self.reason, "evicted": list(self.evicted)}


class IndexCache:
    """One cache folder and its size limit (bytes)."""

    def __init__(self, folder: str | os.PathLike[str], limit: int) -> None:
        self.folder = Path(folder)
        self.limit = int(limit)

    @classmethod
    def for_settings(cls, settings: SearchSettings) -> IndexCache | None:
        """The cache the settings name, or None when it is off."""
        where = settings.index_cache
        if where == "off":
            return None
        folder = default_cache_folder() if where == "auto" else Path(where)
        return cls(folder, settings.index_cache_size)

    def path_of(self, key: str) -> Path:
        return self.folder / f"{key}{SUFFIX}"

    def entries(self) -> list[Path]:
        """The entries in the folder (none when it cannot be read)."""
        try:
            return [p for p in self.folder.iterdir() if p.name.endswith(SUFFIX) and not p.name.startswith(".")]
        except OSError:
            return []

    def load(self, key: str) -> tuple[Any, dict[str, Any], int] | str | None:
        """The index of `key`, its metadata and file size; None when there is no entry (or
        one of another format version, which is ignored); or, for a damaged entry, the
        reason as text."""
        path = self.path_of(key)
        try:
            status, value, metadata, size = _native.map_index(os.fsencode(path))
        except OSError:
            return None
        if status == "ok":
            try:
                meta = json.loads(metadata or b"")
            except ValueError:
                return f"{path.name}: unreadable metadata"
            if not isinstance(meta, dict) or not isinstance(meta.get("counts"), dict):
                return f"{path.name}: unreadable metadata"
            if meta.get("cache_format") != CACHE_FORMAT:
                return None  # another format version: built and written over
            if meta.get("key") != key:
                return f"{path.name}: its metadata names another entry"
            with contextlib.suppress(OSError):
                os.utime(path)  # recently used
            return value, meta, size
        if status == "damaged":
            return _short(str(value), path)
        return None  # absent, unreadable or another version: built and written over

    def store(self, key: str, db: Any, metadata: dict[str, Any]) -> tuple[int, list[str]]:
        """Writes the entry of `key` (temporary file, then renamed) and keeps the folder
        under the limit. Returns the entry's size and the entries evicted. Raises OSError
        when the folder cannot take it (with the reason as its text)."""
        self.folder.mkdir(parents=True, exist_ok=True)
        final = self.path_of(key)
        temporary = self.folder / f".{key[:16]}.{os.getpid()}.{uuid.uuid4().hex[:12]}{TEMPORARY}"
        text = json.dumps({**metadata, "key": key, "cache_format": CACHE_FORMAT}, sort_keys=True).encode()
        try:
            _native.write_index(db, os.fsencode(temporary), text)
            size = temporary.stat().st_size
            if size > self.limit:
                raise OSError(f"the index takes {format_size(size)}, more than --index-cache-size "
                              f"({format_size(self.limit)})")
            os.replace(temporary, final)
        except BaseException:
            with contextlib.suppress(OSError):
                temporary.unlink()
            raise
        return size, self.evict(keep=final)

    def evict(self, keep: Path | None = None) -> list[str]:
        """Removes the least recently used entries (by modification time, which a hit
        renews) until the folder holds at most the limit, never `keep`; and temporary
        files that a killed writer left. Returns the names of the entries removed."""
        now = time.time()
        sized = []
        for path in self.entries():
            with contextlib.suppress(OSError):
                info = path.stat()
                sized.append((info.st_mtime, info.st_size, path))
        with contextlib.suppress(OSError):
            for path in self.folder.iterdir():
                if path.name.startswith(".") and path.name.endswith(TEMPORARY):
                    with contextlib.suppress(OSError):
                        if now - path.stat().st_mtime > STALE_SECONDS:
                            path.unlink()
        total = sum(size for _, size, _ in sized)
        removed = []
        for _, size, path in sorted(sized, key=lambda item: item[0]):
            if total <= self.limit:
                break
            if keep is not None and path == keep:
                continue
            try:
                path.unlink()
            except FileNotFoundError:
                pass  # another process removed it first
            except OSError:
                continue
            total -= size
            removed.append(path.name)
        return removed


def _short(message: str, path: Path) -> str:
    """The native message without the folder: the entry's name and what is wrong."""
    text = str(message)
    prefix = str(path) + ": "
    return path.name + ": " + text[len(prefix):] if text.startswith(prefix) else text

