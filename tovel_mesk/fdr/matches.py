"""Checks of a match table and the canonical order that error control works in.

Error control must give the same numbers whatever order the rows of a match table come
in. It therefore works on the rows sorted by (`file`, `spec_id`, `rank`, `label`,
`peptide`, `psm_id`), each text column by a fixed hash of its values, and writes its
results back to the caller's order. The leading three keys identify a match; the others only break
ties between duplicate rows.
"""

from __future__ import annotations

from collections.abc import Iterable
from typing import NamedTuple

import numpy as np
import pandas as pd


def require_columns(psms: pd.DataFrame, names: Iterable[str]) -> None:
    """Raises ValueError naming every column of `names` that `psms` lacks."""
    if not isinstance(psms, pd.DataFrame):
        raise TypeError(f"matches must be a pandas DataFrame, got {type(psms).__name__}")
    missing = [name for name in names if name not in psms.columns]
    if missing:
        raise ValueError(f"match table lacks column(s) {', '.join(map(repr, missing))}")


def _plain(value):
    """A numpy scalar as the Python value it holds, for messages."""
    return value.item() if isinstance(value, np.generic) else value


def _describe(psms: pd.DataFrame, position: int, column: str) -> str:
    row = psms.iloc[position]
    return (f"first at index {_plain(psms.index[position])!r} (file {_plain(row['file'])!r}, "
            f"spectrum {_plain(row['spec_id'])!r}): {_plain(row[column])!r}")


def labels_and_ranks(psms: pd.DataFrame) -> tuple[np.ndarray, np.ndarray]:
    """The `label` column as target flags and `rank` as int64, both checked: labels must
    be 1 or -1, ranks whole numbers from 1. Errors name the first offending row."""
    label = pd.to_numeric(psms["label"], errors="coerce").to_numpy(dtype=np.float64, na_value=np.nan)
    bad = ~np.isin(label, (1.0, -1.0))
    if bad.any():
        first = int(np.flatnonzero(bad)[0])
        raise ValueError(
            f"column 'label' must hold 1 (target) or -1 (decoy); {int(bad.sum())} row(s) hold "
            f"something else, {_describe(psms, first, 'label')}"
        )
    rank = pd.to_numeric(psms["rank"], errors="coerce").to_numpy(dtype=np.float64, na_value=np.nan)
    bad = ~(rank >= 1) | (rank != np.floor(rank))
    if bad.any():
        first = int(np.flatnonzero(bad)[0])
        raise ValueError(
            f"column 'rank' must hold whole numbers from 1; {int(bad.sum())} row(s) do not, "
            f"{_describe(psms, first, 'rank')}"
        )
    return label > 0, rank.astype(np.int64)


def _text_codes(column: pd.Series) -> np.ndarray:
    """Codes for the values of a text column that order them the same way whatever the
    order of the rows: by a fixed 64-bit hash of the text (by the text itself should two
    values share a hash), missing values last. Cheaper than sorting strings."""
    codes, uniques = pd.factorize(column.to_numpy(dtype=object))
    hashes = pd.util.hash_pandas_object(pd.Series(uniques, dtype=object), index=False).to_numpy()
    order = np.argsort(hashes, kind="stable")
    if (np.diff(hashes[order]) == 0).any():
        order = np.argsort(uniques.astype(str), kind="stable")
    position = np.empty(len(order), dtype=np.int64)
    position[order] = np.arange(len(order))
    return np.where(codes < 0, len(order), position[np.maximum(codes, 0)])


class Canonical(NamedTuple):
    """The canonical order of a match table's rows (`order[i]` is the position of the i-th
    row in that order), and per row in that order: the number of its spectrum (`file`,
    `spec_id`), counting from 0 in the same order, and a code per distinct `peptide`."""

    order: np.ndarray
    spectrum: np.ndarray
    peptide: np.ndarray


def canonical_order(psms: pd.DataFrame, rank: np.ndarray, is_target: np.ndarray) -> Canonical:
    """The canonical order of the rows of `psms` (see the module text)."""
    file_code = _text_codes(psms["file"])
    spec_code = _text_codes(psms["spec_id"])
    peptide = _text_codes(psms["peptide"]) if "peptide" in psms.columns else np.zeros(len(psms), np.int64)
    keys = [file_code, spec_code, rank, ~is_target, peptide]
    if "psm_id" in psms.columns:
        keys.append(pd.to_numeric(psms["psm_id"], errors="coerce").fillna(-1).to_numpy(np.float64))
    order = np.lexsort(keys[::-1])
    file_sorted, spec_sorted = file_code[order], spec_code[order]
    new = np.ones(len(order), dtype=bool)
    new[1:] = (file_sorted[1:] != file_sorted[:-1]) | (spec_sorted[1:] != spec_sorted[:-1])
    return Canonical(order, np.cumsum(new) - 1, peptide[order])
