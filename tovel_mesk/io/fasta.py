"""The protein side of a FASTA file: accessions, header descriptions and residues, and the
tag of decoy proteins already in the file.

The search digests a FASTA file in native code; this module reads what the reports need
besides (each protein's description and residues) and finds the decoys a file already
holds, whatever their tag (`find_decoy_tag`). An accession is the first word of a header
line, as the digestion takes it: the text after ``>`` and any leading white space up to
the next white space or control character. The description is the rest of the line.
"""

from __future__ import annotations

import gzip
import os
import random
import re
import threading
import zlib
from collections import Counter
from concurrent.futures import Future
from collections.abc import Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass, field

from .. import _native
from ..errors import InputError

__all__ = ["ProteinCatalog", "DecoyTag", "read_fasta", "read_fasta_ahead", "read_fasta_bytes", "find_decoy_tag",
           "MIN_DECOY_SHARE", "MAX_TAG_LENGTH"]

_GZIP_MAGIC = b"\x1f\x8b"

#: Least share of a file's entries that must carry a tag, paired by name with another
#: entry, for the tag to be taken as the decoy tag.
MIN_DECOY_SHARE = 0.2
#: Least share of those pairs whose sequences must be a reversal or a shuffle of each other.
MIN_MIRRORED_SHARE = 0.9
#: Longest tag looked for, in characters.
MAX_TAG_LENGTH = 16
#: Most accessions in which tags are looked for, and most pairs whose sequences are
#: compared (drawn from the whole file with a fixed seed): enough to measure shares, and the cost
#: stays flat however large the file.
SAMPLE = 2000


def read_fasta_bytes(path: str | os.PathLike[str], source: str | None = None) -> bytes:
    """The file's bytes, gzip undone. InputError names the file when the gzip data is bad."""
    with open(path, "rb") as handle:
        data = handle.read()
    if data.startswith(_GZIP_MAGIC):
        try:
            data = gzip.decompress(data)
        except (OSError, EOFError, zlib.error) as error:
            raise InputError(f"{source or os.fsdecode(path)}: the gzip data cannot be decompressed ({error})") from error
    return data


@dataclass
class ProteinCatalog:
    """The proteins of a FASTA file by accession: `descriptions` (the header after the
    accession), `sequences` (upper-case residues, white space and a closing ``*`` left
    out) and `order` (position of the accession's first entry, from 0). A repeated
    accession keeps its first entry. `sequences` may be a read-only mapping that makes
    each protein's text when it is asked for (`read_fasta`)."""

    accessions: list[str] = field(default_factory=list)
    descriptions: dict[str, str] = field(default_factory=dict)
    sequences: Mapping[str, str] = field(default_factory=dict)
    order: dict[str, int] = field(default_factory=dict)
    #: Entries read, repeats included.
    entries: int = 0


class _Residues(Mapping):
    """Residues by accession, kept as one block of ASCII letters with the bounds of each
    protein; a protein's text is made when it is looked up (a search looks up the few
    proteins it reports, of thousands). `irregular` holds the text of proteins whose
    sequence lines are not plain ASCII, made by the reference rules."""

    __slots__ = ("_order", "_block", "_bounds", "_irregular")

    def __init__(self, order: dict[str, int], block: bytes, bounds: bytes, irregular: dict[int, str]) -> None:
        self._order = order
        self._block = block
        self._bounds = memoryview(bounds).cast("Q")
        self._irregular = irregular

    def __getitem__(self, accession: str) -> str:
        position = self._order[accession]
        text = self._irregular.get(position)
        if text is None:
            text = self._block[self._bounds[position]:self._bounds[position + 1]].decode("ascii")
        return text

    def __iter__(self) -> Iterator[str]:
        return iter(self._order)

    def __len__(self) -> int:
        return len(self._order)

    def __contains__(self, accession: object) -> bool:
        return accession in self._order

    def __reduce__(self):
        return (_Residues, (self._order, self._block, self._bounds.tobytes(), self._irregular))


_HEADER = re.compile(r"[\x00-\x20]*([^\x00-\x20]*)(.*)", re.DOTALL)


def _split_header(header: str) -> tuple[str, str]:
    match = _HEADER.match(header)
    assert match is not None  # the pattern matches any text
    return match.group(1), match.group(2).strip()


_last: tuple[tuple, ProteinCatalog] | None = None
#: The read under way on another thread (`read_fasta_ahead`): its file's key and result.
_pending: tuple[tuple, Future] | None = None
_lock = threading.Lock()


def _file_key(path: str | os.PathLike[str]) -> tuple:
    status = os.stat(path)
    return (os.path.realpath(path), status.st_size, status.st_mtime_ns)


def read_fasta(path: str | os.PathLike[str]) -> ProteinCatalog:
    """Reads accessions, descriptions and residues of a plain or gzip FASTA file.

    Lenient where the digestion is strict (it has already refused a malformed file): text
    before the first header and ``;`` comment lines are skipped, a header without an
    accession is skipped with its sequence. The last file read is kept (a search reads it
    twice: for its decoys, then for the protein table) while its path, size and time of
    change stay the same; treat the result as read-only. A read of the same file started
    by `read_fasta_ahead` is waited for rather than repeated."""
    global _last
    key = _file_key(path)
    with _lock:
        if _last is not None and _last[0] == key:
            return _last[1]
        pending = _pending[1] if _pending is not None and _pending[0] == key else None
    if pending is not None:
        return pending.result()
    catalog = _read_catalog(path)
    with _lock:
        _last = (key, catalog)
    return catalog


def read_fasta_ahead(path: str | os.PathLike[str]) -> None:
    """Starts reading the file's catalogue (`read_fasta`) on a thread of its own, unless it
    is kept already: the reading runs in native code, beside a search's scoring, and the
    protein table later takes it without waiting. A failure is left for `read_fasta` to
    raise where the catalogue is needed."""
    global _pending
    try:
        key = _file_key(path)
    except OSError:
        return
    with _lock:
        if (_last is not None and _last[0] == key) or (_pending is not None and _pending[0] == key):
            return
        future: Future = Future()
        _pending = (key, future)

    def run() -> None:
        global _last, _pending
        try:
            catalog = _read_catalog(path)
        except BaseException as error:  # noqa: BLE001 - handed to whoever waits for it
            future.set_exception(error)
        else:
            with _lock:
                _last = (key, catalog)
            future.set_result(catalog)
        finally:
            with _lock:
                if _pending is not None and _pending[1] is future:
                    _pending = None

    threading.Thread(target=run, name="tovel-mesk-fasta", daemon=True).start()


def _read_catalog(path: str | os.PathLike[str]) -> ProteinCatalog:
    return catalog_of(read_fasta_bytes(path))


def catalog_of(data: bytes) -> ProteinCatalog:
    """The catalogue of FASTA bytes (gzip undone), read in native code by the rules of
    `reference_catalog`, which it matches entry for entry."""
    accessions, descriptions, order, block, bounds, irregular, entries = _native.fasta_catalog(data)
    texts = {position: _residues_of(body.decode("utf-8", errors="replace")) for position, body in irregular}
    return ProteinCatalog(accessions, descriptions, _Residues(order, block, bounds, texts), order, entries)


def _residues_of(body: str) -> str:
    """A record's residues from the text after its header line: ``;`` comment lines and
    white space left out, upper case, a closing ``*`` removed."""
    if ";" in body:
        body = "\n".join(line for line in body.split("\n") if not line.lstrip().startswith(";"))
    return "".join(body.split()).upper().rstrip("*")


def reference_catalog(data: bytes) -> ProteinCatalog:
    """The catalogue of FASTA bytes, read the straightforward way (the reference that
    `catalog_of` is tested against)."""
    text = data.decode("utf-8", errors="replace")
    if text.startswith("\ufeff"):
        text = text[1:]
    sequences: dict[str, str] = {}
    catalog = ProteinCatalog(sequences=sequences)
    # Records start at a ">" at the start of a line.
    chunks = ("\n" + text).split("\n>")
    for chunk in chunks[1:]:
        header, _, body = chunk.partition("\n")
        accession, description = _split_header(header)
        catalog.entries += 1
        if not accession or accession in catalog.order:
            continue
        residues = _residues_of(body)
        catalog.order[accession] = len(catalog.accessions)
        catalog.accessions.append(accession)
        catalog.descriptions[accession] = description
        sequences[accession] = residues
    return catalog


# ----------------------------------------------------------------------------------------
# Decoys already in the file

@dataclass(frozen=True)
class DecoyTag:
    """A decoy tag found in a FASTA file: `tag`, whether it is a `prefix` or a suffix of
    the accession, how many entries carry it (`entries`, to be dropped), how many of them
    pair by name with another entry (`paired`), and of the pairs whose sequences were
    compared (`checked`, at most `SAMPLE`), how many are reversals or shuffles of each
    other (`mirrored`)."""

    tag: str
    prefix: bool
    entries: int
    paired: int
    checked: int
    mirrored: int

    @property
    def position(self) -> str:
        return "prefix" if self.prefix else "suffix"

    def marks(self, accession: str) -> bool:
        return accession.startswith(self.tag) if self.prefix else accession.endswith(self.tag)

    def as_dict(self) -> dict[str, object]:
        return {"tag": self.tag, "position": self.position, "dropped": self.entries, "paired": self.paired,
                "checked": self.checked, "mirrored": self.mirrored}

    def message(self) -> str:
        return (f"decoys already in the FASTA: {self.entries:,} entries carry the {self.position} {self.tag!r} "
                f"({self.mirrored:,} of {self.checked:,} compared with their target are its reversal or shuffle); "
                "they are left out, the index makes its own decoys")


def _mirrors(decoy: str, target: str) -> bool:
    """Whether `decoy` is `target` reversed (whole, or each peptide between cleavage
    sites) or shuffled: the same residues in another order."""
    if len(decoy) != len(target):
        return False
    if decoy == target[::-1]:
        return True
    return decoy != target and all(decoy.count(residue) == target.count(residue) for residue in set(target))


def _candidate_tags(accessions: Sequence[str], known: set[str]) -> Counter:
    """(tag, prefix?) -> how many accessions are another accession with that tag added."""
    counts: Counter = Counter()
    for accession in accessions:
        longest = min(len(accession) - 1, MAX_TAG_LENGTH)
        for size in range(1, longest + 1):
            if accession[size:] in known:
                counts[(accession[:size], True)] += 1
            if accession[:-size] in known:
                counts[(accession[-size:], False)] += 1
    return counts


def _spread(items: list) -> list:
    """At most `SAMPLE` of `items`, drawn with a fixed seed (a stride could fall on
    targets alone where targets and decoys alternate)."""
    if len(items) <= SAMPLE:
        return items
    return random.Random(len(items)).sample(items, SAMPLE)


def find_decoy_tag(accessions: Sequence[str], sequences: Sequence[str] | Mapping[str, str] | None = None, *,
                   min_share: float = MIN_DECOY_SHARE, skip: Iterable[str] = ()) -> DecoyTag | None:
    """The tag of decoy entries in a FASTA file, or None when it holds no such decoys.

    A tag is a prefix or suffix of accessions such that the accession without it is
    another entry's (``REV__sp|P02769|ALBU_BOVIN`` and ``sp|P02769|ALBU_BOVIN``). It is
    taken when at least `min_share` of the entries carry it so paired, and (given
    `sequences`, one per accession) when at least `MIN_MIRRORED_SHARE` of the pairs
    compared (up to `SAMPLE` of them) are a reversal or shuffle of each other (`sequences`
    may also map each accession to its residues, as `ProteinCatalog.sequences` does, so
    that only the compared ones are read). Tags are
    looked for in up to `SAMPLE` accessions drawn from the whole file. Among several, the tag pairing the most entries
    wins, then the longer one (``REV__`` rather than ``_``). Accessions carrying one of
    `skip` (markers already honoured) are left out of the search.
    """
    markers = tuple(m for m in skip if m)
    names = [a for a in accessions if not (a.startswith(markers) or a.endswith(markers))] if markers \
        else list(accessions)
    if len(names) < 2:
        return None
    residues = sequences if isinstance(sequences, Mapping) or sequences is None else dict(zip(accessions, sequences))
    known = set(names)
    sample = _spread(names)
    counts = _candidate_tags(sample, known)
    needed = min_share * len(sample)
    candidates = sorted((item for item in counts.items() if item[1] >= needed),
                        key=lambda item: (-item[1], -len(item[0][0]), item[0]))
    for (tag, prefix), _ in candidates:
        if tag.isalnum() and len(tag) == 1:
            continue  # one letter or digit: an isoform or a numbering, not a tag
        carriers = [a for a in names if (a.startswith(tag) if prefix else a.endswith(tag))]
        pairs = [(a, base) for a in carriers
                 if (base := a[len(tag):] if prefix else a[:-len(tag)]) in known]
        if not pairs or len(pairs) < min_share * len(names):
            continue
        checked = _spread(pairs)
        if residues is None:
            mirrored = len(checked)
        else:
            mirrored = sum(_mirrors(residues[a], residues[b]) for a, b in checked)
            if mirrored < MIN_MIRRORED_SHARE * len(checked):
                continue
        return DecoyTag(tag, prefix, len(carriers), len(pairs), len(checked), mirrored)
    return None
