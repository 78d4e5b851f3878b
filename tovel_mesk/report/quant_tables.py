"""The quantification tables of a search, written inside its all-or-nothing publishing
(`tovel_mesk.report.tables.write_outputs`).

| file | one row per |
| --- | --- |
| `precursors_quant.tsv` | precursor ion (modified peptide and charge): intensity, source (identified, transferred or empty), apex retention time per run; isotope quality |
| `peptides_quant.tsv` | peptide: intensity per run or sample |
| `proteins_quant.tsv` | protein group: intensity per sample, peptides used |

Each also as Parquet (`.parquet`, same columns and dtypes). A missing quantity is empty in
the TSV and null in Parquet, never 0: a value not measured is not a value of nothing.
"""

from __future__ import annotations

import os
from collections.abc import Callable
from pathlib import Path
from typing import Any

import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq

__all__ = ["QUANT_TABLES", "QUANT_OUTPUTS", "write_quant_tables", "quant_frames"]

#: Table name -> attribute of the quantification result that holds it.
QUANT_TABLES = {"precursors_quant": "precursors", "peptides_quant": "peptides", "proteins_quant": "proteins"}

#: Every file the quantification may leave in an output folder.
QUANT_OUTPUTS = tuple(f"{name}.{suffix}" for name in QUANT_TABLES for suffix in ("tsv", "parquet"))


def quant_frames(result: Any) -> dict[str, pd.DataFrame]:
    """The three tables of a quantification result, by table name (frames missing from the
    result are left out)."""
    out = {}
    for name, attribute in QUANT_TABLES.items():
        frame = getattr(result, attribute, None)
        if isinstance(frame, pd.DataFrame):
            out[name] = frame
    return out


def _arrow(frame: pd.DataFrame) -> pa.Table:
    frame = frame.reset_index(drop=True)
    table = pa.Table.from_pandas(frame, preserve_index=False)
    return table


def write_quant_tables(stage: Callable[[str], Path], result: Any, write_tsv: Callable[[pa.Table, Path], None], *,
                       parquet: bool = True) -> list[str]:
    """Writes the tables of `result` (an `LfqResult`, or anything with the frames of
    `QUANT_TABLES`) to the paths `stage(name)` gives, as TSV with `write_tsv` (the match
    tables' writer: shortest round-tripping numbers, text quoted only when needed) and as
    Parquet; returns the names written."""
    written = []
    for name, frame in quant_frames(result).items():
        table = _arrow(frame)
        tsv = f"{name}.tsv"
        write_tsv(table, stage(tsv))
        written.append(tsv)
        if parquet:
            path = f"{name}.parquet"
            pq.write_table(table, os.fspath(stage(path)), compression="zstd")
            written.append(path)
    return written
