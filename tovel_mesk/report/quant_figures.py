"""The quantification part of the report: extracted chromatograms of a few accepted
precursor ions (best, median and worst isotope quality), retention-time alignment of each
run, the correlation of runs, the spread of protein quantities within a sample, and the
missing quantities before and after match-between-runs.

The correlation matrix, the missing values and the protein spread are computed from the
result's tables, so they say what the written tables hold; the chromatograms and the
alignment come from the result's `diagnostics`.
"""

from __future__ import annotations

import functools
import html
from collections.abc import Callable, Mapping
from typing import Any

import numpy as np
import pandas as pd

from .svg import Panel, counted, shade

__all__ = ["quant_figures", "quant_notes", "quant_lines"]

_INTENSITY, _SOURCE = "intensity_", "source_"
_COLOURS = ("#1f77b4", "#ff7f0e", "#2ca02c", "#9467bd", "#8c564b", "#e377c2", "#17becf", "#bcbd22")
_IDENTIFIED, _TRANSFERRED, _MISSING = "#1f77b4", "#ff7f0e", "#d62728"


def _columns(frame: pd.DataFrame | None, prefix: str) -> list[str]:
    if not isinstance(frame, pd.DataFrame):
        return []
    return [c for c in frame.columns if str(c).startswith(prefix)]


def _array(value: Any) -> np.ndarray:
    try:
        return np.asarray(value, dtype=np.float64).ravel()
    except (TypeError, ValueError):
        return np.empty(0)


def _traces(example: Mapping) -> list[tuple[str, np.ndarray, np.ndarray]]:
    """The traces of one chromatogram example: (label, rt, intensity) each. An example
    holds either `traces` (a list of mappings with `rt`, `intensity` and a `label`, or
    arrays of intensities over a shared `rt`) or one `rt` and `intensity`."""
    rt = _array(example.get("rt", ()))
    traces = example.get("traces")
    out = []
    if isinstance(traces, Mapping):
        traces = [{"label": k, "intensity": v} for k, v in traces.items()]
    if isinstance(traces, (list, tuple)) or (isinstance(traces, np.ndarray) and traces.ndim == 2):
        for i, trace in enumerate(traces):
            if isinstance(trace, Mapping):
                x = _array(trace.get("rt", rt))
                y = _array(trace.get("intensity", ()))
                label = str(trace.get("label", f"isotope {i}"))
            else:
                x, y, label = rt, _array(trace), ("monoisotopic" if i == 0 else f"isotope +{i}")
            if x.size and x.size == y.size:
                out.append((label, x, y))
    elif rt.size:
        y = _array(example.get("intensity", ()))
        if y.size == rt.size:
            out.append(("monoisotopic", rt, y))
    return out


def _chromatogram(panel: Panel, example: Mapping) -> None:
    """The traces of one example with its peak bounds, apex and identification."""
    traces = _traces(example)
    if not traces:
        panel.empty("no trace recorded")
        return
    for (label, x, y), colour in zip(traces, _COLOURS):
        panel.line(x, y, colour, label)
    for keys, text in ((("start_rt", "start"), "peak bounds"), (("end_rt", "end"), None)):
        value = next((example[k] for k in keys if k in example), None)
        if isinstance(value, (int, float)) and np.isfinite(value):
            panel.vline(float(value), "#808080", dashed=True, label=text)
    apex = example.get("apex_rt", example.get("apex"))
    if isinstance(apex, (int, float)) and np.isfinite(apex):
        panel.vline(float(apex), "#d62728", label="apex")
    identified = example.get("identified_rt")
    if isinstance(identified, (int, float)) and np.isfinite(identified):
        panel.vline(float(identified), "#2ca02c", dashed=True, label="identification")
    panel.xlabel, panel.ylabel = "retention time (min)", "intensity"


def _example_caption(role: str, example: Mapping) -> str:
    name = example.get("label") or example.get("peptide") or "precursor ion"
    charge = example.get("charge")
    if charge and "/" not in str(name) and "+" not in str(name)[-2:]:
        name = f"{name}, {int(charge)}+"
    quality = example.get("isotope_quality", example.get("quality"))
    run = example.get("run") or example.get("file")
    parts = [f"Extracted chromatogram, {role} isotope quality: {name}"]
    if run:
        parts.append(f"in {run}")
    if isinstance(quality, (int, float)) and np.isfinite(quality):
        parts.append(f"(quality {quality:.3f})")
    return " ".join(parts)


def _examples(diagnostics: Mapping) -> list[tuple[str, Mapping]]:
    """Best, median and worst chromatograms: by the role each example names, else in the
    order given (best first)."""
    found = diagnostics.get("chromatograms") or []
    if isinstance(found, Mapping):
        return [(str(role), example) for role, example in found.items() if isinstance(example, Mapping)]
    examples = [e for e in found if isinstance(e, Mapping)]
    roles = ["best", "median", "worst"] if len(examples) == 3 else ["best", "worst"] if len(examples) == 2 else \
        ["one"] * len(examples)
    return [(str(e.get("which", e.get("role", role))), e) for e, role in zip(examples, roles)]


def _alignment(panel: Panel, diagnostics: Mapping) -> None:
    """Per run: the retention-time shift of each ion shared with the reference run against
    its time there (points: `run_rt` and `reference_rt`) and the fitted model (the line
    through `curve_run` and `curve_reference`, else through the model's knots)."""
    alignment = diagnostics.get("alignment") or {}
    reference = diagnostics.get("reference_run")
    drawn = False
    largest = 0.1    # minutes: the shift axis spans at least +-0.1, centred on no shift
    for (run, record), colour in zip(alignment.items() if isinstance(alignment, Mapping) else (), _COLOURS * 8):
        if not isinstance(record, Mapping) or run == reference:
            continue
        own, ref = _array(record.get("run_rt", ())), _array(record.get("reference_rt", ()))
        if own.size and own.size == ref.size:
            panel.scatter(ref, own - ref, colour, 3.0, 0.35)
            largest = max(largest, float(np.nanmax(np.abs(own - ref), initial=0.0)))
            drawn = True
        kx, ky = _array(record.get("curve_run", ())), _array(record.get("curve_reference", ()))
        if not kx.size:
            kx, ky = _array(record.get("knots_run", ())), _array(record.get("knots_reference", ()))
        if kx.size and kx.size == ky.size:
            panel.line(ky, kx - ky, colour, f"{run} ({record.get('model', 'model')})")
            largest = max(largest, float(np.nanmax(np.abs(kx - ky), initial=0.0)))
            drawn = True
    if not drawn:
        panel.empty("no alignment: one run, or too few ions shared with the reference run")
        return
    panel.hline(0.0)
    panel.ylim = (-1.1 * largest, 1.1 * largest)
    panel.xlabel = f"retention time in the reference run{f' {reference}' if reference else ''} (min)"
    panel.ylabel = "run minus reference (min)"


def run_correlation(precursors: pd.DataFrame) -> tuple[list[str], np.ndarray]:
    """Pearson correlation of log2 intensities between runs, over the precursor ions
    quantified in both runs of each pair."""
    columns = _columns(precursors, _INTENSITY)
    names = [c[len(_INTENSITY):] for c in columns]
    if not columns:
        return names, np.empty((0, 0))
    values = precursors[columns].apply(pd.to_numeric, errors="coerce").to_numpy(dtype=np.float64)
    with np.errstate(divide="ignore", invalid="ignore"):
        logs = np.where(values > 0, np.log2(values), np.nan)
    return names, pd.DataFrame(logs).corr(min_periods=3).to_numpy()


def _correlation(panel: Panel, precursors: pd.DataFrame) -> None:
    names, matrix = run_correlation(precursors)
    if len(names) < 2:
        panel.empty("one run: nothing to correlate")
        return
    n = len(names)
    if not np.isfinite(matrix[~np.eye(n, dtype=bool)]).any():
        panel.empty("too few precursor ions quantified in two runs to correlate them")
        return
    finite = matrix[np.isfinite(matrix)]
    low = float(min(finite.min(), 0.9)) if finite.size else 0.0
    xs, ys = np.meshgrid(np.arange(n), np.arange(n))
    panel.cells(xs.ravel(), ys.ravel(), [shade(v, low, 1.0) for v in matrix.ravel()])
    if n <= 12:
        for x, y, v in zip(xs.ravel(), ys.ravel(), matrix.ravel()):
            text = f"{v:.2f}" if np.isfinite(v) else "–"
            panel.label(float(x), float(y), text, "#fff" if np.isfinite(v) and v > (low + 1) / 2 else "#000", dy=4)
    panel.ycategories = [f"{i + 1}: {name}" for i, name in enumerate(names)]
    panel.xlim = (-0.5, n - 0.5)
    panel.whole_x = True
    panel.xlabel = f"run (0 to {n - 1}, rows 1 to {n} from the top); Pearson r of log2 intensities, " \
                   f"pale {low:.2f}, dark 1"


def protein_cvs(proteins: pd.DataFrame, diagnostics: Mapping) -> tuple[np.ndarray, str]:
    """The coefficients of variation of protein quantities within samples (the engine's
    `protein_cv` where it gives them), else across every quantity column of a protein,
    which the caption then says."""
    given = diagnostics.get("protein_cv")
    if isinstance(given, Mapping) and isinstance(given.get("cv"), Mapping) and given["cv"]:
        values = np.concatenate([_array(v) for v in given["cv"].values()])
        return values[np.isfinite(values)], f"within {given.get('basis') or 'samples'}"
    columns = _columns(proteins, _INTENSITY)
    if len(columns) < 2:
        return np.empty(0), ""
    values = proteins[columns].apply(pd.to_numeric, errors="coerce").to_numpy(dtype=np.float64)
    values = values[np.isfinite(values).sum(axis=1) >= 2]
    if not len(values):
        return np.empty(0), ""
    with np.errstate(invalid="ignore", divide="ignore"):
        cv = np.nanstd(values, axis=1, ddof=1) / np.nanmean(values, axis=1)
    cv = cv[np.isfinite(cv)]
    return cv, "across all samples (no sample has replicate runs)"


def _cv_histogram(panel: Panel, cvs: np.ndarray, scope: str) -> None:
    if not cvs.size:
        panel.empty("no protein group quantified in two runs of a sample")
        return
    percent = 100.0 * cvs
    edges = np.linspace(0.0, max(float(np.percentile(percent, 99)), 1.0), 31)
    counts, _ = np.histogram(np.clip(percent, 0.0, edges[-1]), edges)
    panel.stairs(counts, edges, "#1f77b4", f"{len(cvs):,} protein groups, median {np.median(percent):.1f}%", 0.7)
    panel.xlabel, panel.ylabel = f"coefficient of variation (%), {scope}", "protein groups"
    panel.whole_y = True


def missing_values(precursors: pd.DataFrame) -> pd.DataFrame:
    """Per run: precursor ions identified, transferred by match-between-runs, and missing
    (no quantity), from the `source_<run>` columns."""
    rows = []
    for column in _columns(precursors, _SOURCE):
        source = precursors[column].fillna("").astype(str)
        rows.append({"run": column[len(_SOURCE):], "identified": int((source == "identified").sum()),
                     "transferred": int((source == "transferred").sum()),
                     "missing": int(((source != "identified") & (source != "transferred")).sum())})
    return pd.DataFrame(rows, columns=["run", "identified", "transferred", "missing"])


def _missing(panel: Panel, table: pd.DataFrame) -> None:
    if table.empty or not table[["identified", "transferred", "missing"]].to_numpy().any():
        panel.empty("no precursor ion quantified")
        return
    positions = np.arange(len(table), dtype=float)
    before = (table["transferred"] + table["missing"]).to_numpy(dtype=float)
    after = table["missing"].to_numpy(dtype=float)
    panel.hbars(positions - 0.2, before, 0.36, "#bdbdbd", "missing before match-between-runs")
    panel.hbars(positions + 0.2, after, 0.36, _MISSING, "missing after")
    panel.ycategories = [str(r) for r in table["run"]]
    panel.xlabel = "precursor ions without a quantity in the run"
    panel.whole_x = True


def quant_lines(summary: Mapping) -> list[str]:
    """The quantification in a few lines for the console: what was done, then each note."""
    record = summary.get("quant") or {}
    if not isinstance(record, Mapping) or not record or (record.get("requested") == "none" and not record.get("notes")):
        return []
    if record.get("counts") is not None:
        head = f"quantification: {_isobaric_text(record)}"
    elif record.get("method") == "lfq":
        head = (f"quantification: label-free, {counted(record.get('precursors_quantified', 0), 'precursor ion')} in "
                f"{counted(len(record.get('runs') or ()), 'run')}, "
                f"{counted(record.get('transfers_kept', 0), 'match-between-runs transfer')} kept")
    else:
        head = f"quantification: none (--quant {record.get('requested')})"
    return [head, *(f"  note: {n}" for n in record.get("notes") or [])]


def _isobaric_text(record: Mapping) -> str:
    """An isobaric quantification (`tovel_mesk.search.finish`'s record) in a sentence."""
    counts = record.get("counts") or {}
    return (f"{record.get('method')} reporter ions, {int(counts.get('quantified_spectra', 0)):,} of "
            f"{int(counts.get('accepted_spectra', 0)):,} accepted spectra quantified "
            f"({int(counts.get('below_purity', 0)):,} below precursor purity {record.get('min_purity')}), "
            f"{int(record.get('protein_groups', 0)):,} protein groups by {record.get('roll_up')}, impurities "
            + ("corrected" if record.get("impurity_correction") else "not corrected"))


def quant_notes(summary: Mapping) -> list[str]:
    """The quantification's notes and its figures in a sentence, for the report's notes."""
    record = summary.get("quant") or {}
    if not isinstance(record, Mapping) or not record:
        return []
    notes = []
    if record.get("counts") is not None:
        notes.append(f"Isobaric quantification: {_isobaric_text(record)}.")
    elif record.get("method") == "lfq":
        per_peak = record.get("ms1_bytes_per_peak")
        notes.append(f"Label-free quantification of {counted(record.get('precursors_quantified', 0), 'precursor ion')} "
                     f"({counted(record.get('ions', 0), 'accepted match')}) in {counted(len(record.get('runs') or ()), 'run')}; "
                     f"{counted(record.get('transfers_kept', 0), 'match-between-runs transfer')} kept"
                     + (f"; MS1 peaks stored in {per_peak:.2f} bytes each." if per_peak else "."))
    notes.extend(f"Quantification: {n}" for n in record.get("notes") or [])
    return notes


def quant_figures(quant: Any) -> str:
    """The quantification's section of the report (HTML with inline SVG), "" without one."""
    if quant is None:
        return ""
    precursors = getattr(quant, "precursors", None)
    proteins = getattr(quant, "proteins", None)
    precursors = precursors if isinstance(precursors, pd.DataFrame) else pd.DataFrame()
    proteins = proteins if isinstance(proteins, pd.DataFrame) else pd.DataFrame()
    diagnostics = getattr(quant, "diagnostics", None) or {}
    panels: list[tuple[str, Callable[[Panel], None]]] = []
    for role, example in _examples(diagnostics):
        panels.append((_example_caption(role, example), functools.partial(_chromatogram, example=example)))
    if not panels:
        panels.append(("Extracted chromatograms", lambda p: p.empty("no chromatogram recorded")))
    cvs, scope = protein_cvs(proteins, diagnostics)
    missing = missing_values(precursors)
    panels += [
        ("Retention time alignment of the runs", lambda p: _alignment(p, diagnostics)),
        ("Correlation of runs (precursor ions quantified in both)", lambda p: _correlation(p, precursors)),
        ("Coefficient of variation of protein quantities", lambda p: _cv_histogram(p, cvs, scope)),
        ("Missing values before and after match-between-runs", lambda p: _missing(p, missing)),
    ]
    figures = []
    for caption, draw in panels:
        panel = Panel()
        draw(panel)
        figures.append(f"<figure><figcaption>{html.escape(caption)}</figcaption>{panel.svg()}</figure>")
    counts = ""
    if not missing.empty:
        header = "".join(f"<th>{h}</th>" for h in ("run", "identified", "transferred", "missing"))
        rows = "".join("<tr>" + "".join(f"<td>{html.escape(str(v) if i == 0 else f'{int(v):,}')}</td>"
                                        for i, v in enumerate(r)) + "</tr>" for r in missing.itertuples(index=False))
        counts = f"<table><tr>{header}</tr>{rows}</table>"
    return f"<h2>Quantification</h2>{counts}<div class=\"plots\">{''.join(figures)}</div>"

