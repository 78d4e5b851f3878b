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
import functools
import html
from collections.abc import Callable, Iterable, Mapping
from typing import Any

import numpy as np
import pandas as pd

from ..conventions import PROTON_MASS
from ..summary import Summary
from .svg import Panel, counted

__all__ = ["render_report", "format_summary", "accepted"]

#: Most points drawn in the retention-time scatter; more are subsampled (with a fixed seed).
SCATTER_POINTS = 20_000
_BINS = 60
_TARGET, _DECOY, _PEPTIDES = "#1f77b4", "#d62728", "#2ca02c"
#: Colours of the spectra, peptide and protein curves.
_SERIES = (_TARGET, "#ff7f0e", _PEPTIDES)




#: What the summary's rescoring method means as the name of a score axis.
SCORE_NAMES = {
    "lda": "discriminant score (linear discriminant)",
    "mokapot": "discriminant score (mokapot)",
    "expectation": "expectation score (fixed: −log10 expectation value)",
    "hyperscore": "hyperscore",
}


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
    errors, when any failed, in the table; then the rescoring path with its fallbacks and
    skipped training levels. Accepted: q-value at most the summary's `fdr`."""
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
    rescoring = rescoring_notes(_plain(summary))
    if rescoring:
        # The path to the scores, and every fallback on the way, quiet or not.
        blocks.append("\n".join(["rescoring: " + rescoring[0], *("  note: " + note for note in rescoring[1:])]))
    from .quant_figures import quant_lines

    quant = quant_lines(_plain(summary))
    if quant:
        blocks.append("\n".join(quant))
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
    scores = _finite(psms["discriminant_score"]) if "discriminant_score" in psms.columns else np.zeros(0)
    return "discriminant_score" if scores.size and np.ptp(scores) > 0 else "hyperscore"


def score_name(psms: pd.DataFrame, summary: Mapping) -> str:
    """The name of the score that decided the matches: the summary's rescoring method (the
    fixed fallback named as such), or the column plotted when the summary does not say."""
    column = _score_column(psms)
    method = (summary.get("rescoring") or {}).get("method")
    if column == "discriminant_score" and method in SCORE_NAMES:
        return SCORE_NAMES[str(method)]
    return column.replace("_", " ")


def _plot_scores(panel: Panel, psms: pd.DataFrame, summary: Mapping, fdr: float) -> None:
    best = psms[psms["rank"] == 1]
    column = _score_column(psms)
    scores = np.asarray(best[column], dtype=np.float64)
    keep = np.isfinite(scores)
    if not keep.any():
        panel.empty("no scored matches")
        return
    low, high = np.percentile(scores[keep], [0.1, 99.9])
    good = np.asarray(accepted(best, fdr))
    # The threshold: the lowest score among the accepted matches; drawn even when it lies
    # in the tail that the histogram's range leaves out.
    threshold = float(np.min(scores[keep & good])) if (keep & good).any() else None
    if threshold is not None:
        low, high = min(low, threshold), max(high, threshold)
    edges = np.linspace(low, high if high > low else low + 1, _BINS + 1)
    labels = np.asarray(best["label"])
    for sign, name, color in ((1, "target", _TARGET), (-1, "decoy", _DECOY)):
        chosen = np.clip(scores[keep & (labels == sign)], edges[0], edges[-1])
        counts, _ = np.histogram(chosen, edges)
        panel.stairs(counts, edges, color, f"{counted(chosen.size, name)}", opacity=0.45)
    if threshold is not None:
        panel.vline(threshold, color="#333333", dashed=True,
                    label=f"threshold {threshold:.4g} (q ≤ {fdr:g}, {counted(int(good.sum()), 'match')})")
    else:
        panel.vline(edges[-1], color="#333333", dashed=True, label=f"no match at q ≤ {fdr:g}")
    panel.xlabel = f"{score_name(psms, summary)}, best match per spectrum"
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


def _plot_histogram(panel: Panel, values: Any, label: str, what: str, legend: str | None = None,
                    ylabel: str = "accepted matches") -> None:
    """A histogram over the whole range of the values: nothing clipped, nothing moved.
    `legend` names what was counted (default: so many matches)."""
    values = _finite(values)
    if not values.size:
        panel.empty(f"no accepted matches with {what}")
        return
    low, high = float(values.min()), float(values.max())
    edges = np.linspace(low, high if high > low else low + 1, _BINS + 1)
    counts, _ = np.histogram(values, edges)
    panel.stairs(counts, edges, _TARGET, legend or counted(values.size, "match"))
    median = float(np.median(values))
    panel.vline(median, color="#333333", dashed=True, label=f"median {median:.3g}")
    panel.vline(0.0, color="#808080")
    panel.xlabel = f"{label}; range {low:.3g} to {high:.3g}"
    panel.ylabel = ylabel
    panel.whole_y = True


def _plot_counts(panel: Panel, values: Any, label: str) -> None:
    """Bars of how many accepted matches take each whole value."""
    values = _finite(values)
    if not values.size:
        panel.empty("no accepted matches")
        return
    numbers, counts = np.unique(np.round(values).astype(np.int64), return_counts=True)
    full = np.zeros(int(numbers[-1] - numbers[0]) + 1)
    full[numbers - numbers[0]] = counts
    edges = np.arange(numbers[0], numbers[-1] + 2) - 0.5
    panel.stairs(full, edges, _TARGET)
    median = float(np.median(values))
    panel.vline(median, color="#333333", dashed=True, label=f"median {median:.3g}")
    panel.xlabel = label
    panel.ylabel = "accepted matches"
    panel.whole_x = panel.whole_y = True


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
    panel.xlabel = "accepted target identifications"
    panel.whole_x = True


# ----------------------------------------------------------------------------------------
# Spectra read again: the annotated best, median and weakest accepted matches, and the
# signed fragment errors of a sample of accepted matches.

#: Most accepted matches whose spectra are read again for the fragment error plot.
FRAGMENT_SAMPLE = 300


def _spectra_paths(summary: Mapping) -> dict[str, str]:
    """The searched files by the name the tables give them (their file name)."""
    from pathlib import Path

    paths = (summary.get("settings") or {}).get("spectra") or []
    if isinstance(paths, str):
        paths = [paths]
    return {Path(str(p)).name: str(p) for p in paths}


def _fragment_tolerance(summary: Mapping, file: str | None = None) -> Any:
    """The fragment tolerance a file was searched with: the one its own settings record
    (`file_settings`, where the search chose it from the data), else the search's."""
    from ..conventions import Tolerance

    used = ((summary.get("file_settings") or {}).get(file) or {}).get("used") or {} if file is not None else {}
    for text in (used.get("fragment_tol"), (summary.get("settings") or {}).get("fragment_tol"), "10ppm"):
        if text:
            try:
                return Tolerance.parse(str(text))
            except ValueError:
                continue
    return Tolerance.parse("10ppm")


def _examples(good: pd.DataFrame, column: str) -> list[tuple[str, int]]:
    """(role, row label) of the best, the median and the weakest accepted match."""
    good = good[np.isfinite(good[column].to_numpy(dtype=np.float64, na_value=np.nan))]
    if good.empty:
        return []
    ordered = good.sort_values(column, ascending=False, kind="stable")
    picks = [("best", 0), ("median", (len(ordered) - 1) // 2), ("weakest", len(ordered) - 1)]
    seen: set = set()
    out = []
    for role, position in picks:
        label = ordered.index[position]
        if label not in seen:
            seen.add(label)
            out.append((role, label))
    return out


def _reread(good: pd.DataFrame, rows: list, summary: Mapping) -> tuple[dict, list[str]]:
    """The annotations of the accepted matches at `rows` (index labels), their spectra read
    again from the input files; and the problems met (files not found or unreadable)."""
    from .annotate import annotate, read_peaks

    paths = _spectra_paths(summary)
    level = (summary.get("settings") or {}).get("ms_level", 2)
    annotations: dict = {}
    problems: list[str] = []
    chosen = good.loc[rows]
    for name, part in chosen.groupby(chosen["file"].astype(str), sort=False, observed=True):
        path = paths.get(name)
        if path is None:
            problems.append(f"{name}: not among the searched files named in the summary")
            continue
        try:
            peaks = read_peaks(path, set(part["spec_id"].astype(str)), ms_level=int(level))
        except (OSError, ValueError) as error:
            problems.append(f"{name}: {error}")
            continue
        for label, row in part.iterrows():
            found = peaks.get(str(row["spec_id"]))
            if found is None:
                problems.append(f"{name}: spectrum {row['spec_id']!r} not found")
                continue
            try:
                annotations[label] = annotate(found, str(row["peptide"]), int(row["charge"]),
                                              _fragment_tolerance(summary, name))
            except ValueError as error:
                problems.append(str(error))
    return annotations, problems


def _match_title(role: str, row: pd.Series, score: str, value: float) -> str:
    return (f"{role} accepted match: {row['peptide']} ({int(row['charge'])}+)\n"
            f"{score} {value:.4g}; {row['file']}, {row['spec_id']}")


def _plot_fragment_errors(panel: Panel, annotations: dict, good: pd.DataFrame) -> None:
    """The signed errors of the fragment ions of the matches read again, in the unit of the
    fragment tolerance (daltons for low-resolution fragments, ppm otherwise); when the files
    were searched in both units, in the unit of most matches, the others left out and counted."""
    units = pd.Series([a.unit for a in annotations.values()], dtype=object)
    if units.size:
        unit = str(units.value_counts().index[0])
        chosen = [a for a in annotations.values() if a.unit == unit]
        values = np.concatenate([a.errors for a in chosen])
        if values.size:
            left_out = len(annotations) - len(chosen)
            legend = f"{counted(values.size, 'fragment ion')} of {counted(len(chosen), 'match')}" + (
                f" ({counted(left_out, 'match')} in the other unit left out)" if left_out else "")
            _plot_histogram(panel, values, f"fragment mass error, observed − calculated ({unit})", "matched fragments",
                            legend, "matched fragment ions")
            return
    # Without the spectra: the core's intensity-weighted mean of the absolute errors.
    _plot_histogram(panel, good["average_ppm"] if "average_ppm" in good.columns else [],
                    "mean absolute fragment mass error (ppm, unsigned; spectra not read again)",
                    "matched fragments")


def _group_table(proteins: pd.DataFrame | None, fdr: float, top: int = 20) -> tuple[list[str], list[list[str]]]:
    """The strongest `top` target protein groups (lowest q-value, then most spectra and
    peptides) as a header and rows of cell texts."""
    if proteins is None or proteins.empty:
        return [], []
    frame = proteins
    if "label" in frame.columns:
        frame = frame[frame["label"] > 0]
    q = next((c for c in ("q", "protein_q") if c in frame.columns), None)
    wanted = ["group", "lead", "accessions", "protein", "description", "peptides_unique", "peptides_razor",
              "peptide_count", "spectra", "coverage", q]
    header = [c for c in dict.fromkeys(wanted) if c is not None and c in frame.columns]
    order = [c for c in (q, "spectra", "peptides_unique", "peptide_count") if c is not None and c in frame.columns]
    frame = frame.sort_values(order, ascending=[c == q for c in order], kind="stable").head(top)
    rows = [[_text(v) if not isinstance(v, str) else (v if len(v) <= 80 else v[:79] + "…") for v in r]
            for r in frame[header].itertuples(index=False)]
    return header, rows


def rescoring_notes(summary: Mapping) -> list[str]:
    """How the scores were made, one sentence, then every fallback and skipped training
    level that the summary's rescoring record notes, in the order they happened."""
    notes = []
    rescoring = summary.get("rescoring") or {}
    settings = summary.get("settings") or {}
    method, reason = rescoring.get("method") or rescoring.get("used"), rescoring.get("reason")
    requested = rescoring.get("requested") or settings.get("rescore")
    if method:
        text = f"Scores: {SCORE_NAMES.get(str(method), str(method))}"
        score = rescoring.get("score")
        if score and score != method:
            text += f" [{score}]"
        if requested and requested != method:
            text += f", in place of the {requested} asked for (fallback: {reason})"
        elif reason:
            text += f" ({reason})"
        notes.append(text + ".")
    notes.extend(str(note) for note in rescoring.get("notes") or [])
    return notes


def _notes(summary: Mapping, psms: pd.DataFrame) -> list[str]:
    """The run's rescoring path and every warning the summary holds, one sentence each."""
    notes = rescoring_notes(summary)
    for record in summary.get("files") or []:
        if isinstance(record, Mapping):
            how = [f"{what} {record[key]}" if what else str(record[key])
                   for key, what in (("analyzer", ""), ("fragment_tol", "fragment tolerance"),
                                     ("precursor_tol", "precursor tolerance"), ("calibration", "calibration:"))
                   if record.get(key)]
            if how:
                notes.append(f"{record.get('file')}: " + "; ".join(how) + ".")
    cache = summary.get("index_cache")
    if isinstance(cache, Mapping) and cache.get("status"):
        notes.append(_cache_note(cache))
    decoys = (summary.get("database") or {}).get("fasta_decoys")
    if isinstance(decoys, Mapping) and decoys.get("dropped"):
        notes.append(f"The FASTA holds decoys of its own: {counted(decoys['dropped'], 'entry')} carry the "
                     f"{decoys.get('position', 'tag')} {decoys.get('tag')!r}; they were left out, and the search "
                     "made its own decoys.")
    elif isinstance(decoys, (int, float)) and decoys:
        notes.append(f"The FASTA holds {counted(decoys, 'decoy protein')} of its own; "
                     "they were left out of the search, which makes its own decoys.")
    for name, error in (summary.get("failed_files") or {}).items():
        notes.append(f"Not searched: {name}: {error}")
    for record in summary.get("files") or []:
        if isinstance(record, Mapping) and record.get("skipped"):
            skipped = ", ".join(f"{counted(n, 'spectrum')} ({reason.replace('_', ' ')})"
                                for reason, n in record["skipped"].items() if n)
            notes.append(f"{record.get('file')}: not searched: {skipped}.")
    for warning in summary.get("warnings") or []:
        notes.append(str(warning))
    return notes


def _cache_note(cache: Mapping) -> str:
    """Where the index came from, in one sentence (the index cache's record in the summary)."""
    status = cache.get("status")
    where = f" ({cache.get('folder')})" if cache.get("folder") else ""
    if status == "hit":
        return f"Index: mapped from the index cache{where} in {float(cache.get('seconds') or 0):.2f} s."
    if status == "stored":
        return f"Index: built, and stored in the index cache{where}."
    if status == "rebuilt":
        return f"Index: rebuilt, because the cached index was damaged ({cache.get('reason')}); stored again{where}."
    if status == "not-stored":
        return f"Index: built; the index cache could not store it ({cache.get('reason')})."
    return "Index: built (the index cache is off)."


def _verdict(summary: Mapping, psms: pd.DataFrame, good: pd.DataFrame, peptides, proteins, fdr: float) -> str:
    """One line: spectra, peptides and protein groups accepted at the threshold, from the
    summary's totals (counted from the tables when the summary has none)."""
    totals = summary.get("totals") or {}
    if "spectra_accepted" in totals:
        n_spectra, n_peptides = int(totals["spectra_accepted"]), int(totals.get("peptides_accepted", 0))
        n_groups = int(totals.get("protein_groups_accepted", totals.get("proteins_accepted", 0)))
        searched = int(totals.get("spectra_searched", 0))
        files = int(totals.get("files_searched", totals.get("files", 0)))
    else:
        # Accepted rows, as the summary counts them (a chimeric search may accept several
        # co-isolated peptides of one spectrum).
        n_spectra = len(good)
        # Peptides by their own q-value where the peptide table has it, as the summary and
        # the identification plot count them; otherwise those of the accepted matches.
        peptide_q = _best_q(peptides, "peptide_q")
        n_peptides = int((peptide_q <= fdr).sum()) if peptide_q is not None else good["peptide"].nunique()
        group_q = _group_q(proteins)
        n_groups = int((group_q <= fdr).sum()) if group_q is not None else 0
        searched = len(psms.drop_duplicates(["file", "spec_id"])) if len(psms) else 0
        files = int(psms["file"].nunique()) if len(psms) else 0
    return (f"{counted(n_spectra, 'spectrum')}, {counted(n_peptides, 'peptide')} and "
            f"{counted(n_groups, 'protein group')} accepted at q ≤ {fdr:g} ({100 * fdr:g}% FDR), "
            f"of {counted(searched, 'spectrum')} searched in {counted(files, 'file')}.")


# ----------------------------------------------------------------------------------------

_STYLE = """
body { font-family: sans-serif; margin: 2em auto; max-width: 1300px; color: #222; }
h1 { font-size: 1.6em; margin-bottom: 0.2em; } h2 { font-size: 1.2em; margin-top: 1.6em; }
.meta { color: #666; }
.plots { display: grid; grid-template-columns: repeat(auto-fill, minmax(600px, 1fr)); gap: 1.2em; }
figure { margin: 0; } figcaption { font-weight: bold; margin-bottom: 0.3em; }
figure svg { width: 100%; height: auto; }
.verdict { font-size: 1.25em; font-weight: bold; margin: 0.4em 0; }
.notes { background: #fff8e1; border-left: 4px solid #f0b400; padding: 0.4em 1em 0.4em 2em; }
.spectra figure { margin-bottom: 1.2em; }
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
    spectra: bool = True,
    quant: Any = None,
) -> str:
    """The report page as HTML text.

    `psms` needs the columns `file`, `spec_id`, `rank`, `label`, `peptide`, `charge`, `rt`,
    `delta_mass`, `hyperscore`, `discriminant_score` and `spectrum_q` (`peptide_len`,
    `missed_cleavages` and `matched_peaks` add their distributions); `peptides` and
    `proteins` add their curves to the identification plot when they hold `peptide_q` or
    `q` (the protein groups; `protein_q` of a table of proteins), targets only, when they have `label`, and `proteins` gives the table of
    the strongest protein groups. Accepted matches are the targets with a spectrum q-value at
    most `fdr` (see `accepted`). Where a file was mass-calibrated, its precursor errors before
    calibration are drawn too.

    With `spectra`, the spectra of the best, the median and the weakest accepted match and
    of a sample of accepted matches (for the signed fragment errors) are read again from the
    files the summary's settings name; a file that cannot be read leaves a note on the page,
    and the fragment error plot shows the unsigned mean error per match instead.

    `quant`, a quantification result (`tovel_mesk.quant.lfq.LfqResult`), adds its section
    (`tovel_mesk.report.quant_figures`); its notes come from the summary's `quant`.
    """
    from .._version import __version__

    summary = _plain(summary)
    good = psms[accepted(psms, fdr)].reset_index(drop=True)   # row labels unique, whatever psms holds
    before = uncalibrated(good, summary) if {"rt", "calcmass", "charge", "delta_mass", "file"} <= set(good.columns) \
        else None
    column = _score_column(psms)
    score = score_name(psms, summary)
    examples = _examples(good, column)
    annotations: dict = {}
    problems: list[str] = []
    if spectra and not good.empty:
        ordered = good.sort_values(column, ascending=False, kind="stable").index
        sample = ordered[np.unique(np.linspace(0, len(ordered) - 1, min(FRAGMENT_SAMPLE, len(ordered))).astype(int))]
        rows = list(dict.fromkeys([label for _, label in examples] + list(sample)))
        annotations, problems = _reread(good, rows, summary)
    distributions = (("charge", "precursor charge"), ("peptide_len", "peptide length (residues)"),
                     ("missed_cleavages", "missed cleavages"), ("matched_peaks", "matched fragment ions per match"))
    panels: list[tuple[str, Callable[[Panel], None]]] = [
        ("Target and decoy scores", lambda p: _plot_scores(p, psms, summary, fdr)),
        ("Identifications against q-value", lambda p: _plot_identifications(p, psms, peptides, proteins, fdr)),
        ("Precursor mass error of accepted matches",
         lambda p: _plot_histogram(p, good["delta_mass"], "precursor mass error (ppm)", "a mass error")),
        ("Precursor mass error over retention time", lambda p: _plot_mass_error_by_rt(p, good)),
        *((("Precursor mass error over retention time before mass calibration",
            lambda p: _plot_mass_error_by_rt(p, before)),) if before is not None else ()),
        ("Fragment mass error of accepted matches", lambda p: _plot_fragment_errors(p, annotations, good)),
        ("Identifications per file", lambda p: _plot_per_file(p, psms, good, summary)),
    ]
    for name, axis in distributions:
        if name in good.columns:
            panels.append((f"Accepted matches by {axis}",
                           functools.partial(_plot_counts, values=good[name], label=axis)))
    figures = []
    for caption, draw in panels:
        panel = Panel()
        draw(panel)
        figures.append(f"<figure><figcaption>{html.escape(caption)}</figcaption>{panel.svg()}</figure>")
    drawn = []
    from .annotate import spectrum_svg

    for role, label in examples:
        if label in annotations:
            row = good.loc[label]
            drawn.append(f"<figure>{spectrum_svg(annotations[label], _match_title(role, row, score, float(row[column])))}"
                         "</figure>")
    spectra_part = ""
    if examples:
        notes = "".join(f"<li>{html.escape(p)}</li>" for p in dict.fromkeys(problems))
        spectra_part = ("<h2>Annotated spectra</h2>"
                        + (f"<ul class=\"notes\">{notes}</ul>" if notes else "")
                        + f"<div class=\"spectra\">{''.join(drawn)}</div>")
    header, rows = _group_table(proteins, fdr)
    groups = (f"<h2>Top protein groups</h2>{_html_table(header, rows)}" if rows else "")
    tables = "".join(f"<h2>{html.escape(t)}</h2>{_html_table(h, r)}" for t, h, r in _sections(summary))
    from .quant_figures import quant_figures, quant_notes

    quantification = quant_figures(quant)
    notes = "".join(f"<li>{html.escape(n)}</li>" for n in [*_notes(summary, psms), *quant_notes(summary)])
    stamp = datetime.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M %Z")
    return (
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
        f"<title>{html.escape(title)}</title><style>{_STYLE}</style></head><body>"
        f"<h1>{html.escape(title)}</h1>"
        f"<p class=\"verdict\">{html.escape(_verdict(summary, psms, good, peptides, proteins, fdr))}</p>"
        + (f"<ul class=\"notes\">{notes}</ul>" if notes else "")
        + f"<p class=\"meta\">{counted(len(psms), 'match')}. "
        f"tovel-mesk {html.escape(__version__)}, {html.escape(stamp)}.</p>"
        f"<div class=\"plots\">{''.join(figures)}</div>{quantification}{spectra_part}{groups}{tables}</body></html>\n"
    )
