"""Rows of text built from whole columns, for the writers of the standard formats.

A row is described once, as a template: literal text between column values, e.g.
`template('<Item id="', ints(ids), '" mz="', floats(mz), '"/>')`; `write_rows` then reads
the template once and formats a block of rows at a time natively and writes it, so that a
file of a million matches is neither formatted value by value in the interpreter nor held
in memory whole.
Numbers are written as Python writes them (`repr` of a float, decimal integers); text is
written as given, so the caller escapes it (once per distinct value, with `coded`).
"""

from __future__ import annotations

import re
from collections.abc import Callable, Iterable, Sequence
from typing import Any
from xml.sax.saxutils import quoteattr

import numpy as np
import pandas as pd

from .. import _native

__all__ = ["Template", "template", "floats", "ints", "texts", "coded", "when", "each", "quoted", "write_rows", "BLOCK",
           "factorized"]

#: Rows formatted and written at once.
BLOCK = 4096

Column = tuple[Any, ...]


class Template:
    """Pieces of literal text around columns: len(pieces) == len(columns) + 1."""

    def __init__(self, pieces: list[str], columns: list[Column]):
        self.pieces, self.columns = pieces, columns

    def format(self, start: int = 0, stop: int | None = None) -> bytes:
        return _native.format_rows(self.pieces, self.columns, start, stop)


def template(*parts: str | Column) -> Template:
    """A template from text and columns in the order written; adjacent texts are joined."""
    pieces, columns = [""], []
    for part in parts:
        if isinstance(part, str):
            pieces[-1] += part
        else:
            columns.append(part)
            pieces.append("")
    return Template(pieces, columns)


def floats(values: Any) -> Column:
    """Each value as `repr` of a Python float writes it (float32 values widened first)."""
    return ("f", np.ascontiguousarray(values, dtype=np.float64))


def ints(values: Any) -> Column:
    return ("i", np.ascontiguousarray(values, dtype=np.int64))


def texts(values: Iterable[str]) -> Column:
    """One text per row, written as given."""
    return ("s", list(values))


def coded(codes: Any, values: Sequence[str]) -> Column:
    """The text `values[code]` of each row's code, written as given."""
    return ("c", np.ascontiguousarray(codes, dtype=np.int64), list(values))


def when(mask: Any, inner: Template) -> Column:
    """`inner`, written in the rows where `mask` is set and left out elsewhere."""
    return ("t", np.ascontiguousarray(mask, dtype=np.bool_), inner.pieces, inner.columns)


def each(starts: Any, stops: Any, inner: Template) -> Column:
    """Rows starts[i]..stops[i] of `inner` (whose columns have a length of their own) in
    row i: a list of items per row."""
    return ("l", np.ascontiguousarray(starts, dtype=np.int64), np.ascontiguousarray(stops, dtype=np.int64),
            inner.pieces, inner.columns)


_PLAIN = re.compile(r"[&<>\"'\n\r\t]")


def quoted(values: Iterable[str]) -> list[str]:
    """Each text as a quoted XML attribute value, as `xml.sax.saxutils.quoteattr` writes it
    (which is called only for the texts that need escaping or other quotes)."""
    values = list(values)
    if _PLAIN.search("".join(values)) is None:   # the common case: nothing to escape anywhere
        return [f'"{text}"' for text in values]
    search = _PLAIN.search
    return [quoteattr(text) if search(text) else f'"{text}"' for text in values]


def write_rows(write: Callable[[bytes], object], rows: Template, start: int, stop: int, block: int = BLOCK) -> None:
    """Writes rows start..stop of `rows` as UTF-8 through `write` (a binary file's), a block
    at a time; the template is read once for all blocks."""
    if stop > start:
        _native.write_rows(rows.pieces, rows.columns, write, start, stop, block)


def factorized(values: pd.Series, sort: bool = False) -> tuple[np.ndarray, np.ndarray]:
    """The codes and distinct texts of a column, as `pd.factorize(values.astype(str), sort=sort)`
    gives them (the texts as an array), without a text copy of every row: a column of
    texts is taken as it is, a categorical one by its codes."""
    if isinstance(values.dtype, pd.CategoricalDtype):
        codes = values.cat.codes.to_numpy().astype(np.int64)
        names = np.asarray(values.cat.categories.astype(str), dtype=object)
        if len(codes) and codes.min() >= 0 and len(set(names.tolist())) == len(names):
            first = np.full(len(names), len(codes), dtype=np.int64)
            np.minimum.at(first, codes, np.arange(len(codes), dtype=np.int64))
            present = np.flatnonzero(first < len(codes))
            order = present[np.argsort(names[present], kind="stable")] if sort else present[np.argsort(first[present])]
            renumber = np.empty(len(names), dtype=np.int64)
            renumber[order] = np.arange(len(order), dtype=np.int64)
            return renumber[codes], names[order]
    array = values.to_numpy()
    if not (array.dtype == object and pd.api.types.infer_dtype(array, skipna=False) == "string"):
        array = values.astype(str).to_numpy(dtype=object)
    codes, uniques = pd.factorize(array, sort=sort)
    return codes.astype(np.int64, copy=False), np.asarray(uniques, dtype=object)
