"""The files a search leaves in its output folder.

`write_outputs` writes, from the match table and the tables that error control derives
from it:

- ``psms.parquet`` and ``psms.tsv``: one row per match, columns in the order of
  `psm_columns` (identity, peptide, masses and times, every numeric feature, error control);
- ``peptides.tsv``: the best entry per peptide with its q-value;
- ``proteins.tsv``: one row per protein group, with its accessions, lead, description,
  accepted peptides and spectra, coverage and q-value (`tovel_mesk.columns.PROTEIN_TABLE`);
- ``results.pin``: the same matches as input for a semi-supervised rescorer (the
  tab-separated format that Percolator and mokapot read);
- ``summary.json``: counts per file, seconds per stage and the settings;
- ``report.html``: one self-contained page of plots (`tovel_mesk.report.html`);
- ``by_file/<spectra file>/``: with `split_by_file`, the match, peptide and rescorer tables
  of each spectra file on its own.

Match and peptide tables list their rows by file (in the order searched), then spectrum (in
the order of its file), then rank.

Every file is first written into a hidden folder beside the output folder, and the set is
published only once all of them are complete (`tovel_mesk.report.publish`): a failure (a
full disk, an interrupted run, bad input) leaves no partial file, no mix of new and old
outputs and no empty folder, and two searches never write into one folder at once.

Tables are converted to Arrow once and written by Arrow's native writers: no Python object
is made per match.
"""

from __future__ import annotations

import contextlib
import io
import json
import math
import os
import re
import secrets
import time
from collections import deque
from collections.abc import Callable, Iterator, Mapping, Sequence
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.csv as pacsv
import pyarrow.parquet as pq

from ..columns import CORE_FEATURES, ERROR_CONTROL, FLANKS, IDENTITY, MASSES, NOT_WRITTEN, PEPTIDE, written
from ..conventions import NO_SCAN, isotope_steps, scan_number
from ..errors import OutputError
from ..summary import COMPLETE, Summary
from .publish import publish
from .quant_tables import QUANT_OUTPUTS, write_quant_tables

__all__ = [
    "PSMS_PARQUET", "PSMS_TSV", "PEPTIDES_TSV", "PROTEINS_TSV", "PIN", "SUMMARY_JSON", "REPORT_HTML",
    "psm_columns", "psm_table", "table_columns", "match_order", "with_derived_columns", "staged_files",
    "write_outputs",
    "write_parquet", "write_tsv", "write_pin", "write_summary",
]

PSMS_PARQUET = "psms.parquet"
PSMS_TSV = "psms.tsv"
PEPTIDES_TSV = "peptides.tsv"
PROTEINS_TSV = "proteins.tsv"
PIN = "results.pin"
SUMMARY_JSON = "summary.json"
REPORT_HTML = "report.html"
#: The file of each standard format (`--formats`).
FORMAT_FILES = {"mzid": "psms.mzid", "pepxml": "psms.pep.xml", "mztab": "results.mztab"}

#: Columns that come before the features, the core's features that are written, and the
#: columns after the features, in every written match table.
_LEADING = IDENTITY + PEPTIDE + MASSES
_FEATURES = tuple(written(CORE_FEATURES))
_TRAILING = ERROR_CONTROL
_NAMED = frozenset(_LEADING + FLANKS + CORE_FEATURES + _TRAILING + NOT_WRITTEN)
#: Columns derived from others when a match table lacks them (one made before they existed).
_DERIVABLE = ("scan", "native_id", "isotope_step")

#: Characters that end a field or a line in a tab-separated file.
_STRUCTURAL = r'[\t\r\n"]'
#: Stand-ins used while Arrow writes the rescorer input unquoted (see `write_pin`).
_TAB_MARK, _QUOTE_MARK = "\x1f", "\x1e"


def psm_columns(psms: pd.DataFrame) -> list[str]:
    """The columns of the match table in the order they are written.

    Identity, peptide (with its flanks `prev_aa` and `next_aa` when the table has them),
    masses and times, then every numeric feature (the core's features, then any further
    numeric column in table order), then the error-control values. The bookkeeping keys
    (`psm_id`, `peptide_idx`, `file_id`) and the core's placeholders
    (`tovel_mesk.columns.PLACEHOLDERS`) are not written, and need not be there. `scan`,
    `native_id` and `isotope_step` may be missing: `psm_table` derives them.

    Raises ValueError when a named column is missing or a column outside the named groups
    is not numeric (it could be neither written as a feature nor placed elsewhere).
    """
    present = set(psms.columns) | set(_DERIVABLE)
    missing = [c for c in _LEADING + _FEATURES + _TRAILING if c not in present]
    if missing:
        raise ValueError(f"the match table lacks the columns {', '.join(missing)}")
    extra = [c for c in psms.columns if c not in _NAMED]
    odd = [c for c in extra if not pd.api.types.is_numeric_dtype(psms[c])]
    if odd:
        raise ValueError(
            f"the match table's columns {', '.join(map(str, odd))} are neither named match columns "
            "nor numeric features")
    flanks = [c for c in FLANKS if c in psms.columns]
    peptide_end = _LEADING.index(PEPTIDE[-1]) + 1
    # Quantities come last: they are no features of the match (the rescorer input leaves them out).
    quant = [c for c in extra if _is_quantity(c)]
    extra = [c for c in extra if not _is_quantity(c)]
    return (list(_LEADING[:peptide_end]) + flanks + list(_LEADING[peptide_end:] + _FEATURES) + extra
            + list(_TRAILING) + quant)


def _is_quantity(name: object) -> bool:
    """Whether a match column holds a quantity (reporter ions and the purity of their
    precursor) rather than a feature of the match."""
    return isinstance(name, str) and (name.startswith("reporter_") or name in ("precursor_purity", "interference"))


def with_derived_columns(frame: pd.DataFrame) -> pd.DataFrame:
    """`frame` with `scan` (from `spec_id`), `native_id` (`spec_id`) and `isotope_step`
    (from `isotope_error`) where it lacks them and has what they come from; unchanged
    otherwise."""
    missing = [c for c in _DERIVABLE if c not in frame.columns]
    if not missing:
        return frame
    frame = frame.copy(deep=False)
    if "spec_id" in frame.columns:
        if "scan" in missing:
            # One parse per spectrum, spread to its rows.
            codes, ids = pd.factorize(frame["spec_id"].to_numpy(dtype=object))
            scans = np.fromiter((scan_number(str(i)) for i in ids), dtype=np.int64, count=len(ids))
            frame.insert(frame.columns.get_loc("spec_id") + 1, "scan",
                         scans[codes] if len(ids) else np.full(len(frame), NO_SCAN, dtype=np.int64))
        if "native_id" in missing:
            frame.insert(frame.columns.get_loc("scan") + 1 if "scan" in frame.columns
                         else frame.columns.get_loc("spec_id") + 1, "native_id", frame["spec_id"])
    if "isotope_step" in missing and "isotope_error" in frame.columns:
        frame.insert(frame.columns.get_loc("isotope_error") + 1, "isotope_step",
                     isotope_steps(frame["isotope_error"].to_numpy()))
    return frame


def match_order(frame: pd.DataFrame) -> np.ndarray:
    """Row positions of a match table (or of a peptide table, whose rows are matches) in
    written order: by file (in the order the files were searched: `file_id`, else first
    appearance), then by spectrum in the order of its file (the order the search met them:
    `psm_id`, else first appearance), then by `rank`. Ties keep table order."""
    n = len(frame)
    if not n or not {"file", "spec_id", "rank"} <= set(frame.columns):
        return np.arange(n)
    base = (np.argsort(frame["psm_id"].to_numpy(), kind="stable") if "psm_id" in frame.columns
            else np.arange(n))
    files = pd.factorize(frame["file"].to_numpy(dtype=object)[base])[0]
    spectra = pd.factorize(frame["spec_id"].to_numpy(dtype=object)[base])[0]
    spectrum = pd.factorize(files.astype(np.int64) * (int(spectra.max()) + 1) + spectra)[0]
    if "file_id" in frame.columns:
        file_key = frame["file_id"].to_numpy()[base].astype(np.int64)
        # one key per file name: its smallest file_id
        file_key = pd.Series(file_key).groupby(files).transform("min").to_numpy()
    else:
        file_key = files
    rank = frame["rank"].to_numpy()[base]
    return base[np.lexsort((rank, spectrum, file_key))]


def ordered(frame: pd.DataFrame) -> pd.DataFrame:
    """`frame` in written order (`match_order`), its index renumbered."""
    order = match_order(frame)
    if np.array_equal(order, np.arange(len(frame))):
        return frame.reset_index(drop=True)
    return frame.take(order).reset_index(drop=True)


def table_columns(frame: pd.DataFrame) -> list[str]:
    """The columns of a peptide or protein table that are written, in table order: all but
    the bookkeeping keys and the core's placeholders."""
    return written(frame.columns)


def _to_arrow(frame: pd.DataFrame, columns: list[str]) -> pa.Table:
    return pa.Table.from_pandas(frame[columns], preserve_index=False)


def psm_table(psms: pd.DataFrame) -> pa.Table:
    """The match table as an Arrow table with the columns of `psm_columns`, rows in written
    order (`match_order`), `scan`, `native_id` and `isotope_step` derived where missing."""
    psms = with_derived_columns(psms)
    return _to_arrow(ordered(psms), psm_columns(psms))


# ----------------------------------------------------------------------------------------
# Parquet

def write_parquet(table: pa.Table, path: str | os.PathLike) -> None:
    """Write `table` as Parquet (zstd-compressed); `pandas.read_parquet` restores the frame
    it came from, dtypes included."""
    pq.write_table(table, os.fspath(path), compression="zstd")


# ----------------------------------------------------------------------------------------
# Text: the match table as tab-separated values and as rescorer input.
#
# Formatting numbers is most of the cost of a text table. Both files are written in one pass
# over chunks of rows: each chunk's columns are cast to text once (the shortest form that
# reads back to the same number, as Arrow's CSV writer writes them) and both files are
# assembled from that text. Chunks are formatted on worker threads (Arrow works without the
# interpreter lock) and written in order, so memory stays bounded by a few chunks.

_CHUNK = 65_536


def _workers() -> int:
    return max(1, min(4, len(os.sched_getaffinity(0))))


def _has_structural(column: pa.ChunkedArray) -> bool:
    """Whether a column holds text with a tab, a line break or a double quote."""
    kind = column.type
    if pa.types.is_dictionary(kind):
        column = pa.chunked_array([chunk.dictionary for chunk in column.chunks], kind.value_type)
        kind = kind.value_type
    if not (pa.types.is_string(kind) or pa.types.is_large_string(kind)) or not len(column):
        return False
    return bool(pc.any(pc.match_substring_regex(column, _STRUCTURAL)).as_py())


def _needs_quoting(table: pa.Table) -> bool:
    """Whether any column name or text value holds a tab, a line break or a double quote."""
    return (any(re.search(_STRUCTURAL, name) for name in table.column_names)
            or any(_has_structural(column) for column in table.columns))


def _pin_safe(text: pa.Array) -> pa.Array:
    """Text with tabs and line breaks turned into spaces and double quotes into a stand-in
    (restored after writing), so Arrow writes it unquoted."""
    text = pc.replace_substring_regex(text, "[\t\r\n\x1e\x1f]", " ")
    return pc.replace_substring(text, '"', _QUOTE_MARK)


def _codes(column: pa.ChunkedArray) -> tuple[np.ndarray, int]:
    """Integer codes of a column's values in order of first appearance, and how many there are."""
    encoded = pc.dictionary_encode(pc.cast(column, pa.string()).combine_chunks())
    return encoded.indices.to_numpy(zero_copy_only=False).astype(np.int64), len(encoded.dictionary)


class _PinLayout:
    """What the rescorer input needs from the whole match table before it is cut into chunks:
    the spectrum numbers, the charges present, and how each feature column is written."""

    def __init__(self, table: pa.Table):
        names = table.column_names
        self.features = ["delta_mass", "isotope_error",
                         *names[names.index(_FEATURES[0]):names.index(_TRAILING[0])]]
        files, _ = _codes(table.column("file"))
        spec_ids, n_spec_ids = _codes(table.column("spec_id"))
        running = pd.factorize(files * n_spec_ids + spec_ids)[0] + 1
        if "scan" in names:
            scan = table.column("scan").to_numpy(zero_copy_only=False).astype(np.int64)
            self.scan = np.where(scan >= 0, scan, running)
        else:
            self.scan = running
        #: Whether the flanking residues are known (else every peptide is written `-.PEP.-`).
        self.flanks = all(name in names for name in FLANKS)
        self.charges = [int(z) for z in np.unique(table.column("charge").to_numpy())]
        #: Text columns that hold characters the format cannot carry.
        self.dirty = {name for name in ("file", "spec_id", "peptide", "proteins", *FLANKS)
                      if name in names and _has_structural(table.column(name))}
        #: Feature columns with non-finite values: name -> (largest, smallest finite value).
        self.bounds: dict[str, tuple[float, float]] = {}
        #: Feature columns of whole numbers only, written with a decimal point ("3.0"): a
        #: reader that infers column types keeps "3" as an integer column, and some
        #: rescorers fail on integer features.
        self.whole: set[str] = set()
        for name in ["rank", *self.features]:
            values = table.column(name).to_numpy(zero_copy_only=False)
            if not np.issubdtype(values.dtype, np.floating):
                self.whole.add(name)
                continue
            finite = values[np.isfinite(values)]
            if finite.size < values.size:
                self.bounds[name] = (finite.max(), finite.min()) if finite.size else (0.0, 0.0)
            if not finite.size or (np.all(finite == np.trunc(finite)) and np.abs(finite).max() < 2**53):
                self.whole.add(name)

    def header(self) -> str:
        names = ["SpecId", "Label", "ScanNr", "ExpMass", "CalcMass", "rank",
                 *(f"charge{z}" for z in self.charges), *self.features, "Peptide", "Proteins"]
        return "\t".join(re.sub(_STRUCTURAL, " ", name) for name in names) + "\n"

    def chunk(self, batch: pa.RecordBatch, text: dict[str, pa.Array], offset: int) -> pa.Table:
        """One chunk of rows in the columns of `header`, all as text."""
        def feature(name: str) -> pa.Array:
            if name not in self.bounds and name not in self.whole:
                return text[name]
            values = batch.column(name)
            if name in self.bounds:
                top, bottom = self.bounds[name]
                values = pa.array(np.nan_to_num(values.to_numpy(zero_copy_only=False),
                                                nan=0.0, posinf=top, neginf=bottom))
            if name in self.whole:
                return pc.binary_join_element_wise(pc.cast(pc.cast(values, pa.int64()), pa.string()), ".0", "")
            return pc.cast(values, pa.string())

        def safe(name: str) -> pa.Array:
            return _pin_safe(text[name]) if name in self.dirty else text[name]

        columns = [
            pc.binary_join_element_wise(safe("file"), safe("spec_id"), text["rank"], ":"),
            text["label"],
            pc.cast(pa.array(self.scan[offset:offset + batch.num_rows]), pa.string()),
            text["expmass"], text["calcmass"], feature("rank"),
            *(pc.if_else(pc.equal(batch.column("charge"), z), "1.0", "0.0") for z in self.charges),
            *(feature(name) for name in self.features),
            (pc.binary_join_element_wise(safe("prev_aa"), safe("peptide"), safe("next_aa"), ".") if self.flanks
             else pc.binary_join_element_wise("-.", safe("peptide"), ".-", "")),
            pc.replace_substring(safe("proteins"), ";", _TAB_MARK),
        ]
        return pa.table(columns, names=[str(i) for i in range(len(columns))])


def _unquoted(table: pa.Table) -> bytes:
    buffer = io.BytesIO()
    options = pacsv.WriteOptions(include_header=False, delimiter="\t", quoting_style="none")
    pacsv.write_csv(table, buffer, options)
    return buffer.getvalue()


def _format_chunk(batch: pa.RecordBatch, offset: int, tsv: bool, pin: _PinLayout | None) -> tuple[bytes, bytes]:
    """The lines of one chunk of rows in the TSV and the rescorer input (empty when not asked)."""
    if tsv:
        wanted = batch.schema.names
    else:
        assert pin is not None  # a chunk is formatted for the TSV, the rescorer input or both
        wanted = ["file", "spec_id", "rank", "label", "expmass", "calcmass", "peptide", "proteins", *pin.features,
                  *(FLANKS if pin.flanks else ())]
    text = {name: pc.cast(batch.column(name), pa.string()) for name in wanted}
    tsv_lines = _unquoted(pa.table(text)) if tsv else b""
    pin_lines = b""
    if pin is not None:
        pin_lines = _unquoted(pin.chunk(batch, text, offset)).replace(_TAB_MARK.encode(), b"\t")
        if pin.dirty:
            pin_lines = pin_lines.replace(_QUOTE_MARK.encode(), b'"')
    return tsv_lines, pin_lines


def _write_text(table: pa.Table, tsv: str | os.PathLike | None, pin: str | os.PathLike | None) -> None:
    """Write the match table (columns of `psm_columns`) as TSV to `tsv` and as rescorer
    input to `pin`, either of which may be None."""
    layout = _PinLayout(table) if pin is not None else None
    if tsv is not None and _needs_quoting(table):
        # Rare: some text needs quoting. Arrow quotes every text field then.
        pacsv.write_csv(table, os.fspath(tsv), pacsv.WriteOptions(delimiter="\t", quoting_style="needed"))
        tsv = None
    if tsv is None and pin is None:
        return
    workers = _workers()
    with contextlib.ExitStack() as stack:
        outputs = [stack.enter_context(open(p, "wb")) if p is not None else None for p in (tsv, pin)]
        if outputs[0]:
            outputs[0].write(("\t".join(table.column_names) + "\n").encode())
        if outputs[1]:
            assert layout is not None  # made above whenever `pin` is given
            outputs[1].write(layout.header().encode())
        pool = stack.enter_context(ThreadPoolExecutor(workers))
        pending: deque = deque()

        def write_next() -> None:
            for out, lines in zip(outputs, pending.popleft().result()):
                if out:
                    out.write(lines)

        offset = 0
        for batch in table.to_batches(max_chunksize=_CHUNK):
            pending.append(pool.submit(_format_chunk, batch, offset, tsv is not None, layout))
            offset += batch.num_rows
            if len(pending) > workers:
                write_next()
        while pending:
            write_next()


def write_tsv(table: pa.Table, path: str | os.PathLike) -> None:
    """Write `table` as tab-separated text with a header line.

    Numbers are written in their shortest form that reads back to the same value, so the
    file round-trips exactly; NaN is written `nan`, a missing value as an empty field.
    Fields are unquoted unless some text value holds a tab, a line break or a double quote;
    then every text field is quoted (inner quotes doubled), which
    `pandas.read_csv(path, sep="\\t")` reads back unchanged."""
    _write_text(table, path, None)


def write_pin(table: pa.Table, path: str | os.PathLike) -> None:
    """Write the match table (an Arrow table with the columns of `psm_columns`, as
    `psm_table` makes) as input for a semi-supervised rescorer: Percolator's tab-separated
    format, which mokapot's `read_pin` reads.

    Columns: `SpecId` (``file:spec_id:rank``), `Label` (1 target, -1 decoy), `ScanNr` (the
    table's `scan`, the instrument's scan number; a spectrum that states none, -1 there, gets
    its place among the spectra of the call instead, counting from 1 in table order),
    `ExpMass`, `CalcMass`, then the features: `rank`, one 0/1 column per precursor charge
    present (`charge2`, `charge3`, ...), `delta_mass`, `isotope_error` and every numeric
    feature, then `Peptide` (the ProForma string between its flanking residues,
    ``K.PEPTIDEK.A``, ``-`` at a protein terminus and when the table has no `prev_aa` and
    `next_aa`) and `Proteins`: the accessions, one tab-separated field each.

    The rescorers take no missing or infinite feature values: NaN is written as 0 and ±inf
    as the largest or smallest finite value of its column. A feature column of whole
    numbers (counts, flags, a constant) is written with decimal points (``3.0``), so that
    readers take every feature as a float. Tabs and line breaks inside identifiers become
    spaces (the format has no quoting).
    """
    _write_text(table, None, path)


def _json_value(value: object) -> object:
    """`json.dump`'s fallback for the values a summary holds beyond plain JSON: numpy
    numbers, paths and sets."""
    if isinstance(value, np.generic):
        return value.item()
    if isinstance(value, os.PathLike):
        return os.fspath(value)
    if isinstance(value, (set, frozenset)):
        return sorted(value, key=str)
    raise TypeError(f"the summary holds a {type(value).__name__}, which has no JSON form: {value!r}")


def _finite_json(value: object) -> object:
    """`value` with numpy arrays as lists and every non-finite float replaced by None
    (JSON has no NaN or infinity)."""
    if isinstance(value, (float, np.floating)) and not math.isfinite(value):
        return None
    if isinstance(value, np.ndarray):
        value = value.tolist()
    if isinstance(value, Mapping):
        return {str(k): _finite_json(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_finite_json(v) for v in value]
    return value


def write_summary(summary: Summary | Mapping, path: str | os.PathLike) -> None:
    """Write the summary as indented JSON. Numpy values and paths are converted; NaN and
    infinities become null; any other value without a JSON form raises TypeError."""
    if isinstance(summary, Summary):
        summary = summary.as_dict()
    with open(path, "w", encoding="utf-8") as out:
        json.dump(_finite_json(summary), out, indent=2, default=_json_value, allow_nan=False)
        out.write("\n")


# ----------------------------------------------------------------------------------------

@contextlib.contextmanager
def staged_files(directory: str | os.PathLike) -> Iterator[Callable[[str], Path]]:
    """Write several files into `directory` all or nothing.

    Yields `stage(name)`, which creates an empty temporary file for `name` in `directory`
    (hidden, same file system, permissions from the umask) and returns its path for the
    caller to fill. When the block ends normally, every staged file is renamed to its
    name, replacing any older file; when it raises, every temporary file is removed and
    no output is touched. `directory` is created if needed.
    """
    folder = Path(directory)
    folder.mkdir(parents=True, exist_ok=True)
    staged: list[tuple[Path, Path]] = []

    def stage(name: str) -> Path:
        temporary = folder / f".{name}.{secrets.token_hex(6)}.tmp"
        os.close(os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
        staged.append((temporary, folder / name))
        return temporary

    try:
        yield stage
        for temporary, final in staged:
            os.replace(temporary, final)
    finally:
        for temporary, _ in staged:
            temporary.unlink(missing_ok=True)


#: The folder of per-file tables (`--split-by-file`): ``by_file/<spectra file name>/``.
BY_FILE = "by_file"

#: Every file a search may leave in its output folder.
OUTPUTS = (PSMS_PARQUET, PSMS_TSV, PIN, PEPTIDES_TSV, PROTEINS_TSV, SUMMARY_JSON, REPORT_HTML, BY_FILE,
           *QUANT_OUTPUTS)

#: The tables written for each spectra file under `BY_FILE`.
SPLIT_OUTPUTS = (PSMS_TSV, PIN, PEPTIDES_TSV)


def _file_folder(name: object) -> str:
    """The folder of one spectra file's tables: its name, refused when it is no folder name."""
    text = str(name)
    if text in ("", ".", "..") or "/" in text or "\0" in text or (os.sep != "/" and os.sep in text):
        raise ValueError(f"the spectra file name {text!r} cannot name a folder of per-file tables")
    return text


def _write_split(folder: Path, table: pa.Table, peptides: pd.DataFrame) -> list[Path]:
    """One set of tables per spectra file (`SPLIT_OUTPUTS`) in ``folder/<file name>/``: the
    file's rows of the match table (in written order, all columns) and of the peptide table.
    The rescorer input numbers spectra as the combined one does."""
    written_files: list[Path] = []
    files = pc.cast(table.column("file"), pa.string()).to_numpy(zero_copy_only=False).astype(object)
    names = list(dict.fromkeys(files.tolist()))
    peptide_files = peptides["file"].to_numpy(dtype=object) if "file" in peptides.columns else np.empty(0, object)
    peptide_columns = table_columns(peptides)
    seen: set[str] = set()
    for name in names:
        sub = _file_folder(name)
        if sub in seen:
            raise ValueError(f"two spectra files share the name {sub!r}; their per-file tables would mix")
        seen.add(sub)
        target = folder / sub
        target.mkdir(parents=True)
        rows = np.flatnonzero(files == name)
        _write_text(table.take(pa.array(rows)), target / PSMS_TSV, target / PIN)
        mine = peptides.iloc[np.flatnonzero(peptide_files == name)]
        write_tsv(_to_arrow(mine, peptide_columns), target / PEPTIDES_TSV)
        written_files += [target / n for n in SPLIT_OUTPUTS]
    return written_files


def _previous_results(directory: Path) -> tuple[str, int] | None:
    """The status and number of searched files of the results in `directory`, if any."""
    try:
        previous = json.loads((directory / SUMMARY_JSON).read_text(encoding="utf-8"))
        return str(previous["status"]), int(previous["totals"]["files_searched"])
    except (OSError, ValueError, KeyError, TypeError):
        return None


def _check_replacing(directory: Path, summary: Summary | Mapping, overwrite: bool) -> None:
    """Refuses results with failed files over complete results of more files."""
    if overwrite or not isinstance(summary, Summary) or summary.status == COMPLETE:
        return
    previous = _previous_results(directory)
    if previous is None:
        return
    status, searched = previous
    if status == COMPLETE and searched > summary.totals.files_searched:
        raise OutputError(
            f"{directory}: holds complete results of {searched} files, and this search's results cover "
            f"{summary.totals.files_searched} ({len(summary.failed_files)} failed: "
            f"{', '.join(summary.failed_files)}); they were not written and the older results stay "
            "(--overwrite replaces them)")


def write_outputs(
    directory: str | os.PathLike,
    psms: pd.DataFrame,
    peptides: pd.DataFrame,
    proteins: pd.DataFrame,
    summary: Summary | Mapping,
    *,
    fdr: float = 0.01,
    report: bool = True,
    overwrite: bool = False,
    formats: Sequence[str] = (),
    spectra_files: Sequence[str] = (),
    split_by_file: bool = False,
    quant: Any = None,
) -> list[Path]:
    """Write every output file of a search into `directory` and return their paths.

    `psms` is the match table (columns of `tovel_mesk.columns`, error control filled, plus
    any further numeric features); `peptides` holds the best entry per peptide with its
    q-value (`peptide_q`, `label`); `proteins` the protein groups
    (`tovel_mesk.columns.PROTEIN_TABLE`), written as they are;
    `summary` is the search's `tovel_mesk.summary.Summary` (or any mapping, written as
    it is). `fdr` is the acceptance threshold the report plots use. With `report=False`
    the HTML page is skipped. With `split_by_file`, each spectra file's rows are written
    once more in a folder of their own, ``by_file/<file name>/`` (`SPLIT_OUTPUTS`:
    psms.tsv, results.pin and peptides.tsv, the rows of the combined tables whose match lies
    in that file, with the run's q-values; protein groups are a finding of the whole run, so
    there is no per-file protein table), published with the rest, all or nothing. Match
    and peptide tables are written in `match_order`. The seconds spent writing the tables are recorded in a
    `Summary` (stage `writing`) before it is written, so summary.json holds them.
    `formats` names the standard formats written too (`FORMAT_FILES`: mzid, pepxml,
    mztab), from the match table and the summary's settings; `spectra_files` are the
    paths of the searched files, which those formats name. `quant`, a quantification
    result (`tovel_mesk.quant.lfq.LfqResult`), adds its tables
    (`tovel_mesk.report.quant_tables`), its abundance columns to mzTab and its figures to
    the report.

    Publishing is all or nothing as a reader sees it, one search at a time (see
    `tovel_mesk.report.publish`). A `Summary` with failed files does not replace complete
    results of more files already in `directory` unless `overwrite` (OutputError).
    Raises ValueError for a match table without the expected columns, OutputError when
    another search is writing into `directory`, OSError (naming the file) when a file
    cannot be written; the folder is then left as it was.
    """
    directory = Path(directory)
    started = time.perf_counter()
    table = psm_table(psms)
    peptides = ordered(with_derived_columns(peptides))
    split: list[Path] = []
    quant_files: list[str] = []
    # Isobaric quantities have their table; the formats' abundances and the report's figures
    # are those of label-free quantification.
    label_free = None if getattr(quant, "isobaric", False) else quant

    def write(stage: Callable[[str], Path]) -> None:
        nonlocal table
        _check_replacing(directory, summary, overwrite)
        with ThreadPoolExecutor(1) as background:
            parquet = background.submit(write_parquet, table, stage(PSMS_PARQUET))
            _write_text(table, stage(PSMS_TSV), stage(PIN))
            parquet.result()
        if split_by_file:
            by_file = stage(BY_FILE)
            by_file.mkdir()
            split.extend(directory / p.relative_to(by_file.parent) for p in _write_split(by_file, table, peptides))
        del table
        for frame, name in ((peptides, PEPTIDES_TSV), (proteins, PROTEINS_TSV)):
            write_tsv(_to_arrow(frame, table_columns(frame)), stage(name))
        if quant is not None:
            quant_files.extend(write_quant_tables(stage, quant, write_tsv))
        _write_formats(stage, formats, psms, peptides, proteins, summary, fdr, spectra_files, label_free)
        if isinstance(summary, Summary):
            summary.record_stage("writing", time.perf_counter() - started)
        if report:
            from .html import render_report

            rendering = time.perf_counter()
            stage(REPORT_HTML).write_text(
                render_report(psms, peptides, proteins, summary, fdr=fdr, quant=label_free), encoding="utf-8")
            if isinstance(summary, Summary):
                summary.record_stage("report", time.perf_counter() - rendering)
        write_summary(summary, stage(SUMMARY_JSON))

    extra = [FORMAT_FILES[f] for f in formats]
    publish(directory, [*OUTPUTS, *FORMAT_FILES.values()], write)
    names = [PSMS_PARQUET, PSMS_TSV, PIN, PEPTIDES_TSV, PROTEINS_TSV, SUMMARY_JSON, *quant_files, *extra]
    return [directory / name for name in names + ([REPORT_HTML] if report else [])] + split


def _write_formats(stage: Callable[[str], Path], formats: Sequence[str], psms: pd.DataFrame, peptides: pd.DataFrame,
                   proteins: pd.DataFrame, summary: Summary | Mapping, fdr: float, spectra_files: Sequence[str],
                   quant: Any = None) -> None:
    """The standard formats asked for, each into its staged file."""
    if not formats:
        return
    settings = summary.settings if isinstance(summary, Summary) else dict(summary.get("settings") or {})
    files = list(spectra_files) or [str(p) for p in settings.get("spectra") or ()]
    descriptions: dict[str, str] = {}
    if {"lead", "description"} <= set(proteins.columns):
        descriptions = {str(a): str(d) for a, d in zip(proteins["lead"], proteins["description"]) if d == d and d}
    for name in formats:
        path = stage(FORMAT_FILES[name])
        if name == "mzid":
            from .mzid import write_mzid

            write_mzid(path, psms, proteins, settings, fdr=fdr, spectra_files=files, descriptions=descriptions,
                       decoy_tag=str(settings.get("decoy_tag") or "rev_"))
        elif name == "pepxml":
            from .pepxml import write_pepxml

            write_pepxml(path, psms, settings, spectra_files=files)
        elif name == "mztab":
            from .mztab import write_mztab

            write_mztab(path, psms, peptides, proteins, settings, fdr=fdr, spectra_files=files,
                        descriptions=descriptions, quant=quant)
