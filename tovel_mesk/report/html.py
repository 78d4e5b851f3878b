"""The search report: one self-contained HTML page, and the summary as a text table.

The page holds the summary tables and six plots: target and decoy score distributions,
identifications against q-value, the precursor mass error and its course over retention
time for accepted matches, the fragment mass error, and identifications per file. Plots
are inline SVG drawn by the package's own small chart code (`tovel_mesk.report.svg`); the page
loads nothing from the network or from other files.

The summary is the search's `tovel_mesk.summary.Summary`, whose JSON form ``summary.json``
holds (see that module for every field)::

    {
        "status": "complete", "fdr": 0.01,
        "files": [{"file": "a.mzML", "spectra_read": 1166, "spectra_searched": 1102, "matches": 5510,
                   "spectra_accepted": 601, "peptides_accepted": 301, "protein_groups_accepted": 7,
                   "skipped": {"other_ms_level": 64}, "error": null}, ...],
        "failed_files": {}, "totals": {...}, "database": {...}, "rescoring": {...}, "cluster": null,
        "stages": {"digest": 0.41, "index": 1.2, "reading": 0.8, "scoring": 5.1, "rescoring": 0.3,
                   "writing": 0.2},
        "settings": {"precursor_tol": "10ppm", "missed_cleavages": 2, ...},
    }

The functions here also take any mapping of that shape (every part optional): `files` a
list of records (one row per file), `stages` a map from stage to seconds, `settings` any
nesting of dicts and lists; other top-level keys are shown as name and value.
"""

from __future__ import annotations

import datetime
import html
from collections.abc import Iterable, Mapping
from typing import Any

import numpy as np
import pandas as pd

from ..conventions import PROTON_MASS
from ..summary import Summary
from .svg import Panel

__all__ = ["render_report", "format_summary", "accepted"]

#: Most points drawn in the retention-time scatter; more are subsampled (with a fixed seed).
SCATTER_POINTS = 20_000
_BINS = 60
_TARGET, _DECOY, _PEPTIDES = "#1f77b4", "#d62728", "#2ca02c"
#: Colours of the spectra, peptide and protein curves.
_SERIES = (_TARGET, "#ff7f0e", _PEPTIDES)


def accepted(psms: pd.DataFrame, fdr: float = 0.01) -> pd.Series:
    """Which matches are accepted: targets whose spectrum q-value is at most `fdr`, the
    documented filter and the rule the summary counts by. Error control gives a q-value
    below 1 only to a spectrum's best match (and to co-isolated peptides of a chimeric
    search); every other row holds 1."""
    return (psms["label"] > 0) & (psms["spectrum_q"] <= fdr)


# ----------------------------------------------------------------------------------------
# The summary as tables.

def _flatten(value: Any, prefix: str = "") -> Iterable[tuple[str, Any]]:
    """(dotted key, leaf value) pairs of nested dicts; lists of plain values stay whole."""
    if isinstance(value, Mapping):
        for key, inner in value.items():
            yield from _flatten(inner, f"{prefix}.{key}" if prefix else str(key))
    elif isinstance(value, (list, tuple)) and any(isinstance(v, (Mapping, list, tuple)) for v in value):
        for i, inner in enumerate(value):
            yield from _flatten(inner, f"{prefix}[{i}]")
    else:
        yield prefix, value


def _text(value: Any) -> str:
    """A cell: integers with thousands separators, floats to four significant digits."""
    if isinstance(value, (bool, np.bool_)) or value is None:
        return "" if value is None else str(value)
    if isinstance(value, (int, np.integer)):
        return f"{int(value):,}"
    if isinstance(value, (float, np.floating)):
        number = float(value)
        return f"{number:,.4g}" if abs(number) < 1e4 else f"{number:,.0f}"
    if isinstance(value, (list, tuple)):
        return ", ".join(_text(v) for v in value)
    if isinstance(value, Mapping):
        return ", ".join(f"{_text(v)} {str(k).replace('_', ' ')}" for k, v in value.items() if v)
    return str(value)


def _plain(summary: Summary | Mapping) -> Mapping:
    return summary.as_dict() if isinstance(summary, Summary) else summary


def _sections(summary: Summary | Mapping) -> list[tuple[str, list[str], list[list[str]]]]:
    """The summary as (title, header, rows) tables of cell texts."""
    summary = _plain(summary)
    sections = []
    files = [f for f in summary.get("files") or [] if isinstance(f, Mapping)]
    if files:
        header = list(dict.fromkeys(key for record in files for key in record))
        # Columns that say nothing for any file (no error, nothing skipped) are left out.
        header = [k for k in header if k not in ("error", "skipped") or any(r.get(k) for r in files)]
        sections.append(("Files", header, [[_text(r.get(k)) for k in header] for r in files]))
    stages = summary.get("stages") or {}
    if stages:
        rows = [[str(k), _text(v)] for k, v in stages.items()]
        numbers = [v for v in stages.values() if isinstance(v, (int, float)) and not isinstance(v, bool)]
        rows.append(["total", _text(float(sum(numbers)))])
        sections.append(("Stages", ["stage", "seconds"], rows))
    rest = {k: v for k, v in summary.items() if k not in ("files", "stages", "settings")}
    for title, part in (("Settings", summary.get("settings") or {}), ("Other", rest)):
        rows = [[k, _text(v)] for k, v in _flatten(part)]
        if rows:
            sections.append((title, ["name", "value"], rows))
    return sections


def format_summary(summary: Summary | Mapping) -> str:
    """The summary's files and stages as aligned text tables, for a terminal; the files'
    errors, when any failed, in the table. Accepted: q-value at most the summary's `fdr`."""
    blocks = []
    fdr = _plain(summary).get("fdr")
    if isinstance(fdr, (int, float)):
        blocks.append(f"accepted: q-value at most {fdr:g} (FDR {100 * fdr:g}%)")
    for title, header, rows in _sections(summary):
        if title not in ("Files", "Stages"):
            continue
        widths = [max(len(r[i]) for r in [header, *rows]) for i in range(len(header))]
        lines = ["  ".join(c.ljust(w) if i == 0 else c.rjust(w) for i, (c, w) in enumerate(zip(r, widths)))
                 for r in [header, *rows]]
        lines.insert(1, "  ".join("-" * w for w in widths))
        blocks.append("\n".join(lines))
    return "\n\n".join(blocks)


def _html_table(header: list[str], rows: list[list[str]]) -> str:
    head = "".join(f"<th>{html.escape(h)}</th>" for h in header)
    body = "".join("<tr>" + "".join(f"<td>{html.escape(c)}</td>" for c in row) + "</tr>" for row in rows)
    return f"<table><thead><tr>{head}</tr></thead><tbody>{body}</tbody></table>"


# ----------------------------------------------------------------------------------------
# Plots. Each takes a Panel and the data, and draws one chart.

def _finite(values: Any) -> np.ndarray:
    array = np.asarray(values, dtype=np.float64)
    return array[np.isfinite(array)]


def _score_column(psms: pd.DataFrame) -> str:
    """The discriminant score when error control filled it with something, else the hyperscore."""
    scores = _finite(psms["discriminant_score"])
    return "discriminant_score" if scores.size and np.ptp(scores) > 0 else "hyperscore"


def _plot_scores(panel: Panel, psms: pd.DataFrame) -> None:
    best = psms[psms["rank"] == 1]
    column = _score_column(psms)
    scores = np.asarray(best[column], dtype=np.float64)
    keep = np.isfinite(scores)
    if not keep.any():
        panel.empty("no scored matches")
        return
    low, high = np.percentile(scores[keep], [0.1, 99.9])
    edges = np.linspace(low, high if high > low else low + 1, _BINS + 1)
    labels = np.asarray(best["label"])
    for sign, name, color in ((1, "targets", _TARGET), (-1, "decoys", _DECOY)):
        chosen = np.clip(scores[keep & (labels == sign)], edges[0], edges[-1])
        counts, _ = np.histogram(chosen, edges)
        panel.stairs(counts, edges, color, f"{name} ({chosen.size:,})", opacity=0.45)
    panel.xlabel = f"{column} (best match per spectrum)"
    panel.ylabel = "matches"
    panel.whole_y = True


def _curve(q: np.ndarray, grid: np.ndarray) -> np.ndarray:
    return np.searchsorted(np.sort(q), grid, side="right")


def _best_q(frame: pd.DataFrame | None, column: str, by: list[str] | None = None) -> np.ndarray | None:
    """The q-values of the target entries of a table (the best per `by` group), or None
    when the table lacks the column."""
    if frame is None or column not in frame.columns:
        return None
    if "label" in frame.columns:
        frame = frame[frame["label"] > 0]
    if by:
        return _finite(frame.groupby(by, observed=True, sort=False)[column].min())
    return _finite(frame[column])


def _group_q(proteins: pd.DataFrame | None) -> np.ndarray | None:
    """The q-values of the protein groups: the `q` of a group table, or, of a table with a
    row per protein, each protein's best `protein_q`."""
    if proteins is not None and "q" in proteins.columns:
        return _finite(proteins["q"])
    return _best_q(proteins, "protein_q")


def _plot_identifications(panel: Panel, psms, peptides, proteins, fdr: float) -> None:
    grid = np.linspace(0.0, max(0.1, 5 * fdr), 301)
    series = (("spectra", _best_q(psms, "spectrum_q")),
              ("peptides", _best_q(peptides, "peptide_q")),
              ("protein groups", _group_q(proteins)))
    for (name, q), color in zip(series, _SERIES):
        if q is not None:
            panel.line(grid, _curve(q, grid), color, f"{name} ({int(np.sum(q <= fdr)):,} at {fdr:g})")
    panel.vline(fdr, dashed=True)
    panel.xlabel = "q-value"
    panel.ylabel = "target identifications"
    panel.whole_y = True
    panel.xlim = (grid[0], grid[-1])


def _plot_histogram(panel: Panel, values: np.ndarray, label: str, what: str) -> None:
    values = _finite(values)
    if not values.size:
        panel.empty(f"no accepted matches with {what}")
        return
    low, high = np.percentile(values, [0.5, 99.5])
    edges = np.linspace(low, high if high > low else low + 1, _BINS + 1)
    counts, _ = np.histogram(np.clip(values, low, high), edges)
    panel.stairs(counts, edges, _TARGET)
    median = float(np.median(values))
    panel.vline(median, color="#333333", dashed=True, label=f"median {median:.3g}")
    panel.xlabel = label
    panel.ylabel = "accepted matches"
    panel.whole_y = True


def _plot_mass_error_by_rt(panel: Panel, good: pd.DataFrame) -> None:
    if good.empty:
        panel.empty("no accepted matches")
        return
    if len(good) > SCATTER_POINTS:
        good = good.sample(SCATTER_POINTS, random_state=0)
    sparse = len(good) < 2_000
    panel.scatter(good["rt"], good["delta_mass"], _TARGET, size=5 if sparse else 3,
                  opacity=0.7 if sparse else 0.35)
    panel.hline(0.0)
    panel.xlabel = "retention time (min)"
    panel.ylabel = "precursor mass error (ppm)"


def uncalibrated(good: pd.DataFrame, summary: Mapping) -> pd.DataFrame | None:
    """The accepted matches' precursor errors before mass calibration (retention time and
    error), from the error model each calibrated file's summary holds (the model of
    `tovel_mesk.search.calibration.ErrorModel`: offset + retention-time trend + m/z slope);
    None when no file was calibrated."""
    parts = []
    for name, plan in (summary.get("file_settings") or {}).items():
        calibration = plan.get("calibration") or {}
        model = calibration.get("precursor")
        if not calibration.get("applied") or not model:
            continue
        rows = good[good["file"] == name]
        rt = rows["rt"].to_numpy(dtype=np.float64)
        mz = (rows["calcmass"] / rows["charge"]).to_numpy(dtype=np.float64) + PROTON_MASS
        error = np.full(len(rows), float(model["offset_ppm"]))
        knots = model.get("rt_knots_min")
        if knots:
            where = np.where(np.isfinite(rt), rt, float(np.median(knots)))
            error += np.interp(where, knots, model["rt_trend_ppm"])
        if model.get("ppm_per_1000_mz"):
            error += float(model["ppm_per_1000_mz"]) * (mz - float(model["mz_centre"])) / 1000.0
        parts.append(pd.DataFrame({"rt": rt, "delta_mass": rows["delta_mass"].to_numpy(dtype=np.float64) + error}))
    return pd.concat(parts, ignore_index=True) if parts else None


def _plot_per_file(panel: Panel, psms: pd.DataFrame, good: pd.DataFrame, summary: Mapping) -> None:
    names = list(dict.fromkeys(
        [str(f.get("file")) for f in summary.get("files") or [] if isinstance(f, Mapping) and "file" in f]
        + [str(f) for f in pd.unique(psms["file"])]))
    if not names:
        panel.empty("no files")
        return
    spectra = good.drop_duplicates(["file", "spec_id"])["file"].astype(str).value_counts()
    peptides = good.drop_duplicates(["file", "peptide"])["file"].astype(str).value_counts()
    panel.height = max(panel.height, 110 + 32 * len(names))
    y = np.arange(len(names))
    panel.hbars(y - 0.2, [spectra.get(n, 0) for n in names], 0.4, _TARGET, "spectra")
    panel.hbars(y + 0.2, [peptides.get(n, 0) for n in names], 0.4, _PEPTIDES, "peptides")
    panel.ycategories = [n if len(n) <= 32 else "…" + n[-31:] for n in names]
    panel.legend_above = True
    panel.xlabel = "accepted target identifications"
    panel.whole_x = True


# ----------------------------------------------------------------------------------------

_STYLE = """
body { font-family: sans-serif; margin: 2em auto; max-width: 1300px; color: #222; }
h1 { font-size: 1.6em; margin-bottom: 0.2em; } h2 { font-size: 1.2em; margin-top: 1.6em; }
.meta { color: #666; }
.plots { display: grid; grid-template-columns: repeat(auto-fill, minmax(600px, 1fr)); gap: 1.2em; }
figure { margin: 0; } figcaption { font-weight: bold; margin-bottom: 0.3em; }
figure svg { width: 100%; height: auto; }
table { border-collapse: collapse; margin: 0.5em 0; font-size: 0.92em; }
th, td { border: 1px solid #ccc; padding: 0.25em 0.6em; text-align: right; }
th { background: #f0f0f0; } td:first-child, th:first-child { text-align: left; }
"""


def render_report(
    psms: pd.DataFrame,
    peptides: pd.DataFrame | None,
    proteins: pd.DataFrame | None,
    summary: Summary | Mapping,
    *,
    fdr: float = 0.01,
    title: str = "tovel-mesk search report",
) -> str:
    """The report page as HTML text.

    `psms` needs the columns `file`, `spec_id`, `rank`, `label`, `peptide`, `rt`,
    `delta_mass`, `average_ppm`, `hyperscore`, `discriminant_score` and `spectrum_q`;
    `peptides` and `proteins` add their curves to the identification plot when they hold
    `peptide_q`, or `q` (the protein groups; `protein_q` of a table of proteins), targets
    only, when they have `label`. Accepted matches are
    the best matches of targets with a spectrum q-value at most `fdr` (see `accepted`);
    accepted peptides are the target peptides with `peptide_q` at most `fdr`, or without
    that column, the peptides of the accepted matches.
    """
    from .._version import __version__

    summary = _plain(summary)
    good = psms[accepted(psms, fdr)]
    before = uncalibrated(good, summary) if {"rt", "calcmass", "charge", "delta_mass", "file"} <= set(good.columns) \
        else None
    panels = (
        ("Target and decoy scores", lambda p: _plot_scores(p, psms)),
        ("Identifications against q-value", lambda p: _plot_identifications(p, psms, peptides, proteins, fdr)),
        ("Precursor mass error of accepted matches",
         lambda p: _plot_histogram(p, good["delta_mass"], "precursor mass error (ppm)", "a mass error")),
        ("Precursor mass error over retention time", lambda p: _plot_mass_error_by_rt(p, good)),
        *((("Precursor mass error over retention time before mass calibration",
            lambda p: _plot_mass_error_by_rt(p, before)),) if before is not None else ()),
        ("Fragment mass error of accepted matches",
         lambda p: _plot_histogram(p, good["average_ppm"], "mean fragment mass error (ppm, intensity-weighted)",
                                   "matched fragments")),
        ("Identifications per file", lambda p: _plot_per_file(p, psms, good, summary)),
    )
    figures = []
    for caption, draw in panels:
        panel = Panel()
        draw(panel)
        figures.append(f"<figure><figcaption>{html.escape(caption)}</figcaption>{panel.svg()}</figure>")
    tables = "".join(f"<h2>{html.escape(t)}</h2>{_html_table(h, r)}" for t, h, r in _sections(summary))
    # Accepted rows, as the summary counts them (a chimeric search may accept several
    # co-isolated peptides of one spectrum).
    n_spectra = len(good)
    # Peptides by their own q-value where the peptide table has it, as the summary and the
    # identification plot count them; otherwise those of the accepted matches.
    peptide_q = _best_q(peptides, "peptide_q")
    n_peptides = int((peptide_q <= fdr).sum()) if peptide_q is not None else good["peptide"].nunique()
    group_q = _group_q(proteins)
    counted = [f"{n_spectra:,} spectra", f"{n_peptides:,} peptides"]
    if group_q is not None:
        counted.append(f"{int((group_q <= fdr).sum()):,} protein groups")
    stamp = datetime.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M %Z")
    return (
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
        f"<title>{html.escape(title)}</title><style>{_STYLE}</style></head><body>"
        f"<h1>{html.escape(title)}</h1>"
        f"<p class=\"meta\">{len(psms):,} matches; {', '.join(counted[:-1])} and {counted[-1]} "
        f"accepted at q ≤ {fdr:g}. "
        f"tovel-mesk {html.escape(__version__)}, {html.escape(stamp)}.</p>"
        f"<div class=\"plots\">{''.join(figures)}</div>{tables}</body></html>\n"
    )
