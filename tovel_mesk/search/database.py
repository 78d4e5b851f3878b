"""Protein digestion and the search index: FASTA in, `_tovel_mesk.PyIndexedDatabase` out.

`digest_fasta` reads a FASTA file (plain or gzip) and digests it in native code into a
`Digest`: distinct peptides ascending by mass, each with the accessions of every protein
it comes from. `build_database` turns a `Digest` (or a mass-ascending list of
`PyPeptide`) into the fragment index that the scorer searches. `proforma` and
`peptide_proteins` name an index peptide the way a match reports it.

Conventions:

* Masses are neutral monoisotopic masses in daltons, summed in double precision from
  residue and modification masses (plus one water) and rounded to 32 bits once.
* The index finds candidates by binary search over peptide masses, so its peptides must
  ascend by mass. `digest_fasta` returns them so; `build_database` refuses a list that
  does not ascend (the extension alone would silently lose candidates).
* The peptide mass range of the digestion is applied here, to every modified form; the
  extension's own `peptide_min_mass` and `peptide_max_mass` filter nothing.
* Decoys: the index makes its own decoys by reversing each peptide between its first and
  last residue. Decoy proteins already in the FASTA file (accession starting with
  `rev_` or `DECOY_`, or ending with `_rev`) are therefore dropped by default, and
  `prepare_database` also drops those under any other tag it finds in the file
  (`tovel_mesk.io.fasta.find_decoy_tag`).
* Modifications are written `SITE:MASS` (see `digest_fasta`).
"""

from __future__ import annotations

import operator
import os
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import _tovel_mesk

from .. import _native
from .._native import Digest
from ..config import DEFAULTS, DIGESTION
from ..errors import ConfigError, InputError
from ..io.fasta import DecoyTag, find_decoy_tag, read_fasta, read_fasta_bytes
from ..progress import Progress

if TYPE_CHECKING:
    from ..config import SearchSettings

__all__ = ["Digest", "digest_fasta", "build_database", "proforma", "peptide_proteins", "prepare_database",
           "digest_settings", "discover_decoys", "MIN_ION_INDEX", "index_key"]

#: Enzyme names accepted by `digest_fasta` (case-insensitive).
ENZYMES = ("trypsin", "trypsin/p", "lys-c", "lys-n", "arg-c", "asp-n", "glu-c", "chymotrypsin", "non-specific")

#: Ion series `build_database` can index.
ION_KINDS = {"b": _tovel_mesk.PyKind.B, "y": _tovel_mesk.PyKind.Y}

PathLike = str | os.PathLike[str]


def _strings(name: str, value: object) -> list[str]:
    """A list of str from one str or a sequence of str, with a TypeError naming `name`."""
    if isinstance(value, str):
        return [value]
    if isinstance(value, Sequence) and all(isinstance(v, str) for v in value):
        return list(value)
    raise TypeError(f"{name} must be a str or a sequence of str, not {type(value).__name__}")


def digest_fasta(
    path: PathLike,
    *,
    enzyme: str = DEFAULTS["enzyme"],
    missed_cleavages: int = DEFAULTS["missed_cleavages"],
    min_length: int = DEFAULTS["min_length"],
    max_length: int = DEFAULTS["max_length"],
    min_mass: float = DEFAULTS["min_mass"],
    max_mass: float = DEFAULTS["max_mass"],
    fixed_mods: Sequence[str] | str = DEFAULTS["fixed_mods"],
    variable_mods: Sequence[str] | str = DEFAULTS["variable_mods"],
    max_variable_mods: int = DEFAULTS["max_variable_mods"],
    remove_initiator_met: bool = DEFAULTS["remove_initiator_met"],
    drop_decoys: bool = True,
    decoy_prefixes: Sequence[str] | str = DEFAULTS["fasta_decoy_prefixes"],
    decoy_suffixes: Sequence[str] | str = DEFAULTS["fasta_decoy_suffixes"],
) -> Digest:
    """Digests the proteins of a FASTA file into distinct peptides, ascending by mass.

    The file may be plain or gzip-compressed, with LF, CRLF or CR line ends and an optional
    UTF-8 byte-order mark. A record is a header line starting with ``>``, whose first word
    is the accession (``sp|P02769|ALBU_BOVIN`` for a UniProt header), followed by sequence
    lines; blank lines, ``;`` comment lines, lower case and ``*`` are tolerated (no peptide
    spans a ``*``). The work runs in native code on the
    worker pool, without the interpreter lock.

    Args:
        path: the FASTA file.
        enzyme: one of `ENZYMES`: ``trypsin`` (after K or R, not before P),
            ``trypsin/p`` (after K or R), ``lys-c`` (after K, not before P), ``lys-n``
            (before K), ``arg-c`` (after R, not before P), ``asp-n`` (before D),
            ``glu-c`` (after E, not before P), ``chymotrypsin`` (after F, W or Y, not
            before P), ``non-specific`` (every bond).
        missed_cleavages: most cleavage sites left uncut inside one peptide.
        min_length, max_length: peptide length range in residues, inclusive.
        min_mass, max_mass: neutral peptide mass range in daltons, inclusive, applied to
            every modified form.
        fixed_mods: modifications always applied, as ``SITE:MASS`` strings.
        variable_mods: modifications that may be present, as ``SITE:MASS`` strings; every
            combination of up to `max_variable_mods` of them (at most one per residue or
            terminus) is a peptide of its own, the unmodified form included.
        max_variable_mods: most variable modifications on one peptide.
        remove_initiator_met: a protein starting with M is digested both as read and
            without that M, whose next residue then counts as the protein N-terminus.
        drop_decoys: leave out decoy proteins of the file (see the markers below), since
            `build_database` makes its own decoys. When False they are kept and their
            peptides are flagged as decoys, to be searched with
            ``build_database(..., generate_decoys=False)``. To treat marked proteins as
            ordinary ones, pass empty marker lists instead.
        decoy_prefixes, decoy_suffixes: an accession starting with one of the prefixes or
            ending with one of the suffixes marks a decoy protein.

    ``SITE:MASS`` syntax: SITE is residue letters (``C``, ``STY``), a terminus
    (``peptide-nterm``, ``peptide-cterm``, ``protein-nterm``, ``protein-cterm``) or
    residues at a terminus (``Q@peptide-nterm``, ``M@protein-nterm``); MASS is the mass
    added in daltons, with an optional sign (``M:+15.9949``, ``protein-nterm:+42.010565``,
    ``Q@peptide-nterm:-17.026549``). Fixed modifications that meet at one place add up;
    a variable one adds to them.

    Peptides holding a letter without a mass (B, J, X, Z) are left out and counted in
    `Digest.skipped`; U and O have masses. Identical peptides (same sequence and
    modifications) from several proteins are one peptide listing every accession once,
    in file order. Peptides of equal mass are ordered by sequence, then modifications,
    so the result is the same on every run.

    Raises:
        ConfigError: an unknown enzyme, bad modification syntax or a setting out of range,
            found before the file is read.
        OSError: the file cannot be read (FileNotFoundError when it does not exist).
        InputError: a file that is empty, not valid gzip, holds sequence data before its
            first header, a header without accession, an accession holding ``;`` (which
            separates accessions in the results) or a control character, or an unexpected
            character in a sequence (the message names the file and line); and a file
            whose proteins yield no peptide within the settings.
        Both ConfigError and InputError are ValueErrors.
    """
    source = os.fsdecode(path).encode("utf-8", "backslashreplace").decode("utf-8")
    settings = (source, enzyme, missed_cleavages, min_length, max_length, float(min_mass), float(max_mass),
                _strings("fixed_mods", fixed_mods), _strings("variable_mods", variable_mods), max_variable_mods,
                bool(remove_initiator_met), bool(drop_decoys), _strings("decoy_prefixes", decoy_prefixes),
                _strings("decoy_suffixes", decoy_suffixes))
    try:
        _native.digest(None, *settings)
    except ValueError as error:
        raise ConfigError(str(error)) from None
    data = read_fasta_bytes(path, source)
    try:
        digest = _native.digest(data, *settings)
    except ValueError as error:
        raise InputError(str(error)) from None
    if not digest.peptide_count:
        skipped = f" ({digest.skipped:,} left out for letters without a mass)" if digest.skipped else ""
        raise InputError(f"{source}: its {digest.protein_count:,} proteins yield no peptide of {min_length} to "
                         f"{max_length} residues and {float(min_mass):g} to {float(max_mass):g} Da "
                         f"with {enzyme}{skipped}")
    return digest


def build_database(
    digest_or_peptides: Digest | Sequence[_tovel_mesk.PyPeptide],
    *,
    bucket_size: int = DEFAULTS["bucket_size"],
    ion_kinds: Sequence[str] = ("b", "y"),
    min_ion_index: int = 2,
    generate_decoys: bool = True,
    decoy_tag: str = DEFAULTS["decoy_tag"],
    fragment_list: bool = True,
    fragment_index: bool | None = None,
) -> _tovel_mesk.PyIndexedDatabase:
    """Builds the fragment index searched by `_tovel_mesk.PyScorer`.

    From a `Digest` the index is built straight from its native peptide list, each index
    peptide carrying its real accessions. A list of `PyPeptide` must ascend by mass
    (the order the index's binary search needs); a list that does not is refused with a
    ValueError naming the first peptide out of order. The work runs without the
    interpreter lock.

    Args:
        digest_or_peptides: a `Digest`, or a mass-ascending sequence of `PyPeptide`.
        bucket_size: fragments per index bucket (at least 1).
        ion_kinds: the fragment ion series to index, from ``"b"`` and ``"y"``.
        min_ion_index: fragments of this many residues or fewer are not indexed
            (2 leaves out b1, b2, y1 and y2).
        generate_decoys: add after each target peptide its decoy: the sequence reversed
            between its first and last residue, with the same mass. A decoy whose sequence
            is also a target's is left out.
        decoy_tag: written before each accession of a decoy the index made, in what
            `peptide_proteins` and match tables report.
        fragment_list: list and sort every fragment ion (about 8 bytes per ion, 30 or
            more ions per peptide). When False, the database holds the peptides alone
            and the search counts each candidate's ions against the spectrum instead of
            reading the fragment list: every match and feature is the same, the build
            takes a fraction of the time and memory, but each spectrum costs in
            proportion to the peptides within its precursor windows, so it suits narrow
            precursor tolerances (not the wide window). Its `fragment_count()` is 0. A
            peptide list with an ion of zero mass (from a modification that cancels its
            residues) gets the fragment list all the same. `fragment_index` is its older
            spelling, still accepted.

    Raises:
        ConfigError: a bad setting (a ValueError).
        ValueError: an unsorted peptide list, or a `Digest` holding the file's own decoys
            (``drop_decoys=False``) with ``generate_decoys=True``.
        TypeError: an argument of the wrong type.
        RuntimeError: the index cannot be built (for example more than 2**32 - 1
            peptides).
    """
    if not isinstance(digest_or_peptides, Digest):
        if isinstance(digest_or_peptides, (str, bytes)) or not isinstance(digest_or_peptides, Sequence):
            raise TypeError("build_database takes a Digest or a sequence of PyPeptide, "
                            f"not {type(digest_or_peptides).__name__}")
    if isinstance(bucket_size, bool) or not isinstance(bucket_size, int) or bucket_size < 1:
        raise ConfigError(f"bucket_size must be an int of at least 1, not {bucket_size!r}")
    if isinstance(min_ion_index, bool) or not isinstance(min_ion_index, int) or min_ion_index < 0:
        raise ConfigError(f"min_ion_index must be an int of at least 0, not {min_ion_index!r}")
    kinds = []
    for kind in _strings("ion_kinds", ion_kinds):
        if kind.lower() not in ION_KINDS:
            raise ConfigError(f"unknown ion kind {kind!r}; accepted: {', '.join(ION_KINDS)}")
        kinds.append(ION_KINDS[kind.lower()]())
    if not isinstance(decoy_tag, str):
        raise TypeError(f"decoy_tag must be a str, not {type(decoy_tag).__name__}")
    if fragment_index is not None:
        fragment_list = fragment_index
    return _native.build_database(digest_or_peptides, bucket_size, kinds, min_ion_index,
                                  bool(generate_decoys), decoy_tag, bool(fragment_list))


def _index(peptide_idx: int) -> int:
    index = operator.index(peptide_idx)
    if index < 0:
        raise IndexError(f"peptide index {index} is out of range: indices start at 0")
    return index


def proforma(db: _tovel_mesk.PyIndexedDatabase, peptide_idx: int) -> str:
    """ProForma text of index peptide `peptide_idx` (a match's `peptide_idx`).

    Every modification, fixed or variable, is written as a signed mass with four
    decimals after its residue (``PEPM[+15.9949]K``), before an N-terminus
    (``[+42.0106]-ACDK``) or after a C-terminus (``ACDK-[-0.9840]``). A decoy's text is
    its reversed sequence. Raises IndexError past the last peptide.
    """
    return _native.proforma(db, _index(peptide_idx))


def peptide_proteins(db: _tovel_mesk.PyIndexedDatabase, peptide_idx: int) -> list[str]:
    """Accessions reported for index peptide `peptide_idx` (a match's `peptide_idx`).

    A target reports the accessions of every protein it comes from, in file order. A
    decoy made by the index reports its target's accessions, each preceded by the index's
    decoy tag (``rev_P02769``); decoys kept from the FASTA file report their own
    accessions unchanged. Peptides built from plain `PyPeptide` objects report
    ``USER_PROVIDED_TOVELMESK``. Raises IndexError past the last peptide.
    """
    return _native.peptide_proteins(db, _index(peptide_idx))


#: Fragment ions of this many residues or fewer are not indexed (b1, b2, y1, y2). The
#: low-resolution features use every ion: on unit bins, b2 and y1, y2 are among the
#: strongest peaks of a tryptic peptide.
MIN_ION_INDEX = 2


def digest_settings(settings: SearchSettings) -> dict[str, Any]:
    """The keyword arguments of `digest_fasta` that the settings give: those of the
    digestion stage (see `tovel_mesk.config.OPTIONS`)."""
    return settings.arguments(DIGESTION)


def discover_decoys(settings: SearchSettings) -> DecoyTag | None:
    """The tag of decoys already in the settings' FASTA that its decoy markers do not name
    (see `tovel_mesk.io.fasta.find_decoy_tag`), or None. With both marker lists empty,
    every entry is a protein and nothing is looked for."""
    markers = [*settings.fasta_decoy_prefixes, *settings.fasta_decoy_suffixes]
    if not any(markers):
        return None
    catalog = read_fasta(settings.require_fasta())
    return find_decoy_tag(catalog.accessions, catalog.sequences, skip=markers)


def prepare_database(settings: SearchSettings, progress: Progress | None = None):
    """Digests the FASTA and builds the index with reversed decoys, with or without its
    fragment list as `settings.fragment_list_on` says; or maps both from the index cache
    (`tovel_mesk.search.index_cache`) when it holds them for these FASTA bytes and
    settings, and stores them there after a build. Decoys already in the FASTA are left
    out: those the settings' markers name, and those under a tag found in the file
    (`discover_decoys`), which is told through `progress`. Returns the index and a dict of
    counts (proteins, peptides, skipped peptides, indexed peptides, fragments, decoy
    entries dropped), whether the index lists its fragments (`fragment_list`), where the
    index came from (`index_cache`, `CacheReport.as_dict`) and, when a tag was found,
    `fasta_decoys` (`DecoyTag.as_dict`)."""
    import time  # noqa: PLC0415

    from .index_cache import HIT, NOT_STORED, OFF, REBUILT, STORED, CacheReport, IndexCache, \
        fasta_fingerprint  # noqa: PLC0415

    progress = progress or Progress(False)
    cache = IndexCache.for_settings(settings)
    if cache is None:
        db, counts, _ = _build_database(settings, progress)
        counts["index_cache"] = CacheReport(OFF).as_dict()
        return db, counts
    # Hashing the FASTA and looking the entry up (mapping and verifying it on a hit) count
    # as the index stage.
    started = time.perf_counter()
    key = index_key(settings, fasta_fingerprint(settings.require_fasta()))
    found = cache.load(key)
    looked = time.perf_counter() - started
    progress.timings["index"] = progress.timings.get("index", 0.0) + looked
    if isinstance(found, tuple):
        db, meta, size = found
        counts = dict(meta["counts"])
    damage = found if isinstance(found, str) else None
    if isinstance(found, tuple):
        report = CacheReport(HIT, str(cache.folder), cache.path_of(key).name, size, looked)
        for message in meta.get("messages", []):
            progress.message(message)
    else:
        db, counts, messages = _build_database(settings, progress)
        report = CacheReport(REBUILT if damage else STORED, str(cache.folder), cache.path_of(key).name,
                             reason=damage)
        try:
            report.entry_bytes, report.evicted = cache.store(key, db, {"counts": counts, "messages": messages,
                                                                        "fasta": os.fsdecode(settings.require_fasta())})
        except OSError as error:
            report.status = NOT_STORED
            report.reason = f"{cache.folder}: {error.strerror or error}" if error.strerror else str(error)
            if damage:
                report.reason = f"the cached index was damaged ({damage}), and {report.reason}"
    if report.warning:
        progress.message(f"warning: {report.warning}")
    progress.message(report.line())
    counts["index_cache"] = report.as_dict()
    return db, counts


def index_key(settings: SearchSettings, fasta_hash: str) -> str:
    """The key of the index that `settings` describe for a FASTA whose bytes hash to
    `fasta_hash` (`tovel_mesk.search.index_cache.index_key`, with the smallest ion this package indexes)."""
    from .index_cache import index_key as key_of  # noqa: PLC0415

    return key_of(settings, fasta_hash, MIN_ION_INDEX)


def _build_database(settings: SearchSettings, progress: Progress):
    """The digest and the index, built: the index, its counts (see `prepare_database`) and
    the messages the digestion told."""
    told = len(progress.messages)
    if settings.variable_mods or settings.enzyme.lower() == "non-specific":
        # Refuse an index that cannot fit before the digestion takes the memory.
        from .guard import check_index_fits  # noqa: PLC0415

        fasta = settings.require_fasta()
        check_index_fits(settings, read_fasta_bytes(fasta, os.fsdecode(fasta)))
    with progress.stage("digest") as bar:
        options = digest_settings(settings)
        found = discover_decoys(settings)
        if found is not None:
            key = "decoy_prefixes" if found.prefix else "decoy_suffixes"
            options[key] = [*options[key], found.tag]
            progress.message(found.message())
        digest = digest_fasta(settings.require_fasta(), **options)
        bar.note(f"{digest.peptide_count:,} peptides from {digest.protein_count:,} proteins")
    with progress.stage("index") as bar:
        db = build_database(digest, bucket_size=settings.bucket_size, min_ion_index=MIN_ION_INDEX,
                            generate_decoys=True, decoy_tag=settings.decoy_tag,
                            fragment_list=settings.fragment_list_on)
        indexed, fragments, fragment_list = _native.database_layout(db)
        bar.note(f"{indexed:,} peptides, " + (f"{fragments:,} fragments" if fragment_list else "no fragment list"))
    counts: dict[str, Any] = {
        "proteins": digest.protein_count, "peptides": digest.peptide_count, "skipped_peptides": digest.skipped,
        "indexed_peptides": indexed, "fragments": fragments, "fragment_list": fragment_list,
        "dropped_fasta_decoys": digest.dropped_decoys}
    if found is not None:
        counts["fasta_decoys"] = found.as_dict()
    return db, counts, list(progress.messages[told:])
