"""Label-free quantification of accepted precursor ions across runs.

`quantify_lfq` takes the runs' MS1 scans and the accepted rank-1 target matches, and
returns the precursor, peptide and protein tables with diagnostics for the report:

1. Features: each precursor ion (modified peptide and charge) is extracted in every run
   where it was identified (`features`), at the m/z calibrated by the file's precursor
   offset, climbing from the retention time of each of its matches in the run; the peak
   with the highest apex is the ion's (an early or late MS2 scan may sit on a small
   neighbouring bump).
   The extraction tolerance is `LfqOptions.extraction_ppm`, or, by default, the file's
   precursor tolerance after calibration (the `ppm_tolerance` column; NaN where a file's
   tolerance is not in ppm, which reads as `DEFAULT_PPM`), kept within [`MIN_PPM`, `MAX_PPM`].
2. Alignment (`align`): a monotone retention-time model per run against the reference run.
   With fractions (a design with more than one fraction number), the runs of one fraction
   number are aligned among themselves, and match-between-runs transfers only between
   them: different fractions hold different peptides.
3. Match-between-runs (`mbr`, on with 2 or more runs unless turned off): transfers with
   q <= `LfqOptions.fdr`. A run whose alignment fell back to the identity (fewer than two
   shared ions) takes no transfers (noted).
4. Samples: the runs' intensities are summed over the fractions of a fraction group (from
   the design; without one each file is its own sample). A sample with several fraction
   groups (replicates) takes their mean at the peptide and protein levels.
5. Normalisation (`normalise`): one factor per fraction group from the median log ratio
   of shared precursor ions against the reference.
6. Peptides: the sum of the peptide's precursor ions (charges) per sample; proteins: the
   roll-up of a group's peptides (`rollup`: MaxLFQ, top3 or sum), from the protein group
   that counts each peptide (`protein_of`).

The precursor table's intensities are the extracted areas per run (not normalised);
peptides and proteins are normalised. Missing values are NaN.
"""

from __future__ import annotations

import warnings
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pandas as pd

from .align import RtModel, fit_alignment
from .design import Design
from .features import PeakRule, Requests, RunIndex, _read_traces, extract, ion_mz, ISOTOPE_SPACING
from .mbr import DECOYS, MIN_WINDOW, WINDOW_SDS, MIN_PPM_SPREAD, compete, decoy_shifts, transfer_score
from .ms1 import Ms1Run
from .normalise import median_ratio_factors
from .rollup import METHODS, roll_up

__all__ = ["LfqOptions", "LfqResult", "quantify_lfq", "ION_COLUMNS", "MIN_PPM", "MAX_PPM"]

ION_COLUMNS = ("file", "peptide", "sequence", "charge", "calcmass", "rt", "spectrum_q", "ppm_offset",
               "ppm_tolerance")
#: Bounds of the default extraction tolerance, ppm.
MIN_PPM, MAX_PPM = 5.0, 20.0
#: Tolerance when a file gives none, ppm.
DEFAULT_PPM = 10.0


@dataclass(frozen=True)
class LfqOptions:
    """`mbr`: match-between-runs (None = on with 2 or more runs); `protein_quant`: "maxlfq",
    "top3" or "sum"; `fdr`: transfers kept at q <= this; `normalise`: median-ratio
    normalisation of samples; `seed`: decoy transfers' shifts; `extraction_ppm`: the trace
    tolerance (None = each file's precursor tolerance, see the module documentation);
    `extent`: half-width (minutes) of an identified ion's chromatogram around its match;
    `peak`: the elution peak's rule."""

    mbr: bool | None = None
    protein_quant: str = "maxlfq"
    fdr: float = 0.01
    normalise: bool = True
    seed: int = 1
    extraction_ppm: float | None = None
    extent: float = 1.5
    peak: PeakRule = field(default_factory=PeakRule)

    def __post_init__(self):
        if self.protein_quant not in METHODS:
            raise ValueError(f"protein_quant must be one of {', '.join(METHODS)}, got {self.protein_quant!r}")
        if not 0 < self.fdr <= 1:
            raise ValueError(f"fdr must be in (0, 1], got {self.fdr}")
        if self.extraction_ppm is not None and not self.extraction_ppm > 0:
            raise ValueError(f"extraction_ppm must be positive, got {self.extraction_ppm}")
        if not self.extent > 0:
            raise ValueError(f"extent must be positive, got {self.extent}")


@dataclass
class LfqResult:
    """Tables (pandas DataFrames), diagnostics for the report (plain numbers, lists and
    small arrays) and notes (every fallback or skipped step, one line each)."""

    precursors: pd.DataFrame
    peptides: pd.DataFrame
    proteins: pd.DataFrame
    diagnostics: dict[str, Any]
    notes: list[str]


def _check_ions(ions: pd.DataFrame, runs: Mapping[str, Ms1Run]) -> None:
    missing = [c for c in ION_COLUMNS if c not in ions.columns]
    if missing:
        raise ValueError(f"quantification: the accepted matches lack the column(s) {', '.join(missing)}")
    unknown = sorted(set(ions["file"].astype(str)) - set(runs))
    if unknown:
        raise ValueError(f"quantification: matches of {', '.join(map(repr, unknown))} but no MS1 scans of "
                         f"that file were given")
    for column in ("charge", "calcmass", "rt"):
        values = pd.to_numeric(ions[column], errors="coerce").to_numpy(dtype=np.float64)
        if not np.isfinite(values).all():
            raise ValueError(f"quantification: the column {column} of the accepted matches holds a missing "
                             f"or non-numeric value")
    if (ions["charge"].to_numpy() < 1).any():
        raise ValueError("quantification: the accepted matches hold a charge below 1")


def _file_setting(ions: pd.DataFrame, column: str, default: float) -> dict[str, float]:
    out = {}
    for file, values in ions.groupby("file", sort=False)[column]:
        v = pd.to_numeric(values, errors="coerce").to_numpy(dtype=np.float64)
        v = v[np.isfinite(v)]
        out[str(file)] = float(np.median(v)) if v.size else default
    return out


def quantify_lfq(runs: Mapping[str, Ms1Run], ions: pd.DataFrame, protein_of: Mapping[str, int], *,
                 design: Design | None = None, options: LfqOptions = LfqOptions()) -> LfqResult:
    """Label-free quantities of the accepted precursor ions in `runs` (see the module
    documentation). `ions`: the accepted rank-1 target matches (columns `ION_COLUMNS`);
    `protein_of`: peptide (ProForma) -> the protein group that counts it."""
    _check_ions(ions, runs)
    notes: list[str] = []
    names = list(runs)
    n_runs = len(names)
    run_at = {name: i for i, name in enumerate(names)}
    design = design if design is not None else Design.one_sample_per_file(names)
    design_files = {row.file for row in design.rows}
    if set(names) - design_files:
        raise ValueError(f"quantification: the design has no row for {', '.join(sorted(set(names) - design_files))}")
    notes.extend(design.notes)
    if len({row.label for row in design.rows}) > 1:
        notes.append("the design names several labels: label-free quantities take each fraction group's sample "
                     "from its lowest label")

    # --- the precursor ions and their best match per run
    frame = ions.loc[:, list(ION_COLUMNS)].copy()
    frame["file"] = frame["file"].astype(str)
    frame["charge"] = frame["charge"].astype(np.int64)
    frame = frame.sort_values(["spectrum_q", "rt"], kind="stable")
    ion_keys = frame[["peptide", "charge"]].drop_duplicates().sort_values(["peptide", "charge"], kind="stable")
    ion_keys = ion_keys.reset_index(drop=True)
    n_ions = len(ion_keys)
    if n_ions == 0:
        notes.append("no accepted precursor ion: nothing to quantify")
    key_index = {(p, int(c)): i for i, (p, c) in enumerate(zip(ion_keys["peptide"], ion_keys["charge"]))}
    first = frame.drop_duplicates(["peptide", "charge"]).set_index(["peptide", "charge"])
    sequence = first.loc[list(zip(ion_keys["peptide"], ion_keys["charge"])), "sequence"].to_numpy()
    mass = first.loc[list(zip(ion_keys["peptide"], ion_keys["charge"])), "calcmass"].to_numpy(dtype=np.float64)
    charge = ion_keys["charge"].to_numpy(dtype=np.int64)
    best = frame.drop_duplicates(["peptide", "charge", "file"])
    offset = _file_setting(frame, "ppm_offset", 0.0)
    tolerance = _file_setting(frame, "ppm_tolerance", DEFAULT_PPM)
    ppm_of = {}
    for name in names:
        if options.extraction_ppm is not None:
            ppm_of[name] = options.extraction_ppm
        else:
            ppm_of[name] = float(min(max(tolerance.get(name, DEFAULT_PPM), MIN_PPM), MAX_PPM))

    shape = (n_ions, n_runs)
    area = np.full(shape, np.nan)
    apex = np.full(shape, np.nan)
    quality = np.full(shape, np.nan)
    ppm_error = np.full(shape, np.nan)
    points = np.zeros(shape, dtype=np.int64)
    bounds = np.full(shape + (2,), np.nan)
    identified = np.zeros(shape, dtype=bool)
    transferred = np.zeros(shape, dtype=bool)
    transfer_q = np.full(shape, np.nan)
    id_rt = np.full(shape, np.nan)
    for p, c, f, rt in zip(best["peptide"], best["charge"], best["file"], best["rt"].astype(np.float64)):
        i, j = key_index[p, int(c)], run_at[f]
        identified[i, j] = True
        id_rt[i, j] = rt

    indexes = _Indexes(runs)
    empty_runs = [name for name in names if runs[name].scans == 0]
    if empty_runs:
        notes.append(f"no MS1 scans in {', '.join(empty_runs)}: its ions are not quantified")

    # --- 1. features of identified ions: one climb from every match of the ion in the run (an
    # early or late MS2 scan may sit on a neighbouring bump); the highest apex wins
    matches = frame.drop_duplicates(["peptide", "charge", "file", "rt"])
    match_ion = np.array([key_index[p, int(c)] for p, c in zip(matches["peptide"], matches["charge"])],
                         dtype=np.int64)
    match_run = np.array([run_at[f] for f in matches["file"]], dtype=np.int64)
    match_rt = matches["rt"].to_numpy(dtype=np.float64)
    for j, name in enumerate(names):
        mine = np.flatnonzero(match_run == j)
        if mine.size == 0 or runs[name].scans == 0:
            continue
        rows = match_ion[mine]
        req = Requests(mz=ion_mz(mass[rows], charge[rows], offset.get(name, 0.0)), charge=charge[rows],
                       mass=mass[rows], rt=match_rt[mine], window=np.zeros(rows.size),
                       extent=np.full(rows.size, options.extent), ppm=np.full(rows.size, ppm_of[name]),
                       climb=np.ones(rows.size, dtype=bool))
        feat = extract(indexes.get(name), req, options.peak)
        # per ion: the found feature with the highest apex (the first such match, best q first)
        height = np.where(feat.found, feat.apex_height, -1.0)
        order = np.lexsort((np.arange(rows.size), -height, rows))
        first = order[np.r_[True, rows[order][1:] != rows[order][:-1]]]
        first = first[feat.found[first]]
        ok = rows[first]
        area[ok, j] = feat.area[first]
        apex[ok, j] = feat.apex_rt[first]
        quality[ok, j] = feat.isotope_quality[first]
        ppm_error[ok, j] = feat.ppm_error[first]
        points[ok, j] = feat.points[first]
        bounds[ok, j, 0] = feat.start_rt[first]
        bounds[ok, j, 1] = feat.end_rt[first]
        id_rt[ok, j] = match_rt[mine][first]
    n_identified = int(identified.sum())
    n_found = int(np.isfinite(area).sum())
    if n_found < n_identified:
        notes.append(f"{n_identified - n_found:,} of {n_identified:,} identified precursor ions (ion x run) had no "
                     f"elution peak in the MS1 scans (fewer than {options.peak.min_points} points with signal): "
                     f"left without a quantity")
    missing_before = int(np.isnan(area).sum())

    # --- 2. alignment, within each set of runs that can share ions: all runs, or with fractions
    # (a design with more than one fraction number) the runs of one fraction number
    found = np.isfinite(area)
    partitions = _partitions(design, names)
    models: dict[str, RtModel] = {}
    references: dict[str, str] = {}
    for cols in partitions:
        r = cols[int(np.argmax(found[:, cols].sum(axis=0)))]
        reference = names[r]
        sds = []
        for j in cols:
            name = names[j]
            references[name] = reference
            if j == r:
                continue
            both = found[:, j] & found[:, r]
            model, note = fit_alignment(apex[both, j], apex[both, r])
            models[name] = model
            sds.append(model.residual_sd)
            if note:
                notes.append(f"alignment of {name} to {reference}: {note}")
        ref_sd = float(np.median(sds)) if sds else MIN_WINDOW / WINDOW_SDS
        models[reference] = RtModel("reference", np.zeros(0), np.zeros(0), ref_sd, int(found[:, r].sum()))

    # --- 3. match-between-runs
    mbr = options.mbr if options.mbr is not None else n_runs >= 2
    counts = {"candidates": 0, "competing": 0, "target_wins": 0, "decoy_wins": 0, "transfers": 0}
    if options.mbr is False:
        notes.append("match-between-runs off (asked)")
    elif n_runs < 2:
        notes.append("match-between-runs off: only one run")
    elif all(len(cols) < 2 for cols in partitions):
        notes.append("match-between-runs off: no two runs of the same fraction")
    if mbr and any(len(cols) >= 2 for cols in partitions):
        counts = _match_between_runs(names, runs, indexes, models, partitions, options, mass, charge, offset,
                                     ppm_of, identified, area, apex, quality, ppm_error, points, bounds,
                                     transferred, transfer_q, notes)
    missing_after = int(np.isnan(area).sum())

    # --- precursor table
    protein = np.array([protein_of.get(p, -1) for p in ion_keys["peptide"]], dtype=np.int64)
    precursors = pd.DataFrame({
        "peptide": ion_keys["peptide"].to_numpy(dtype=object), "sequence": sequence.astype(object),
        "charge": charge, "mz": ion_mz(mass, charge), "calcmass": mass,
        "protein_group": pd.array(np.where(protein >= 0, protein, 0), dtype="Int64"),
    })
    precursors.loc[protein < 0, "protein_group"] = pd.NA
    iq = np.where(identified & found, quality, np.nan)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)   # ions without an identified feature: NaN
        precursors["isotope_quality"] = np.nanmedian(iq, axis=1) if n_runs else np.full(n_ions, np.nan)
    for j, name in enumerate(names):
        source = np.where(identified[:, j], "identified", np.where(transferred[:, j], "transferred", ""))
        precursors[f"intensity_{name}"] = area[:, j]
        precursors[f"source_{name}"] = source.astype(object)
        precursors[f"apex_rt_{name}"] = apex[:, j]
        precursors[f"transfer_q_{name}"] = transfer_q[:, j]

    # --- samples, normalisation, peptides, proteins
    units, unit_sample, unit_columns = _units(design, names)
    unit_matrix = np.full((n_ions, len(units)), np.nan)
    for u, files in enumerate(units):
        cols = [run_at[f] for f in files]
        block = area[:, cols]
        unit_matrix[:, u] = np.where(np.isfinite(block).any(axis=1), np.nansum(np.where(np.isfinite(block), block, 0.0),
                                                                                  axis=1), np.nan)
    factors = np.ones(len(units))
    ref_unit = -1
    if options.normalise and len(units) > 1:
        factors, ref_unit, norm_notes = median_ratio_factors(unit_matrix, unit_columns)
        notes.extend(norm_notes)
    elif not options.normalise:
        notes.append("normalisation off (asked)")
    unit_matrix = unit_matrix * factors

    peptide_keys = list(dict.fromkeys(ion_keys["peptide"]))
    pep_index = {p: i for i, p in enumerate(peptide_keys)}
    owner = np.array([pep_index[p] for p in ion_keys["peptide"]], dtype=np.int64)
    pep_units = np.full((len(peptide_keys), len(units)), np.nan)
    for u in range(len(units)):
        col = unit_matrix[:, u]
        ok = np.isfinite(col)
        sums = np.bincount(owner[ok], col[ok], minlength=len(peptide_keys))
        seen = np.bincount(owner[ok], minlength=len(peptide_keys)) > 0
        pep_units[:, u] = np.where(seen, sums, np.nan)
    samples = list(dict.fromkeys(unit_sample))   # the samples of the runs quantified
    pep_samples = _by_sample(pep_units, unit_sample, samples)
    first_seq = dict(zip(ion_keys["peptide"], sequence))
    pep_protein = np.array([protein_of.get(p, -1) for p in peptide_keys], dtype=np.int64)
    peptides = pd.DataFrame({"peptide": pd.Series(peptide_keys, dtype=object),
                             "sequence": pd.Series([first_seq[p] for p in peptide_keys], dtype=object),
                             "protein_group": pd.array(np.where(pep_protein >= 0, pep_protein, 0), dtype="Int64")})
    peptides.loc[pep_protein < 0, "protein_group"] = pd.NA
    sample_columns = [f"intensity_{s}" for s in samples]
    for s, column in enumerate(sample_columns):
        peptides[column] = pep_samples[:, s]
    no_group = int((pep_protein < 0).sum())
    if no_group:
        notes.append(f"{no_group:,} {'peptide' if no_group == 1 else 'peptides'} without a protein group left out of "
                     "the protein quantities")

    grouped = pep_protein >= 0
    unit_frame = pd.DataFrame(pep_units[grouped], columns=unit_columns)
    unit_frame.insert(0, "protein_group", pep_protein[grouped])
    unit_proteins = roll_up(unit_frame, unit_columns, options.protein_quant)
    prot_samples = _by_sample(unit_proteins[unit_columns].to_numpy(dtype=np.float64), unit_sample, samples)
    proteins = pd.DataFrame({"protein_group": unit_proteins["protein_group"].astype("int64")})
    for s, column in enumerate(sample_columns):
        proteins[column] = prot_samples[:, s] if len(proteins) else np.zeros(0)
    proteins["peptides_used"] = unit_proteins["peptides_used"].astype("int64")

    diagnostics = _diagnostics(names, runs, indexes, models, references, ion_keys, mass, charge, offset, ppm_of,
                               identified, area, apex, quality, id_rt, bounds, points, options, counts, missing_before,
                               missing_after, factors, unit_columns, ref_unit, unit_proteins, unit_sample,
                               design)
    notes.extend(indexes.repairs)
    return LfqResult(precursors, peptides, proteins, diagnostics, notes)


class _Indexes:
    """The search index of one run at a time: a run's index costs 8 bytes per peak, so only
    the one in use is kept. A run repaired on the way (`RunIndex.repairs`) is kept repaired
    and its repairs told once."""

    def __init__(self, runs: Mapping[str, Ms1Run]):
        self.runs = dict(runs)
        self.repairs: list[str] = []
        self._name: str | None = None
        self._index: RunIndex | None = None

    def get(self, name: str) -> RunIndex:
        if name != self._name or self._index is None:
            self._index = None
            index = RunIndex(self.runs[name])
            if index.repairs:
                self.repairs.extend(index.repairs)
                self.runs[name] = index.run
            self._name, self._index = name, index
        return self._index


def _units(design: Design, names: list[str]) -> tuple[list[list[str]], list[str], list[str]]:
    """Fraction groups: their files (in `names` order), their sample, their column names."""
    groups: dict[int, list[str]] = {}
    sample_of: dict[int, str] = {}
    for row in sorted(design.rows, key=lambda r: r.label):   # label-free: the first label's row of a file
        if row.file in names and row.file not in groups.get(row.fraction_group, []):
            groups.setdefault(row.fraction_group, []).append(row.file)
            sample_of.setdefault(row.fraction_group, row.sample)
    order = sorted(groups, key=lambda g: min(names.index(f) for f in groups[g]))
    per_sample: dict[str, int] = {}
    for g in order:
        per_sample[sample_of[g]] = per_sample.get(sample_of[g], 0) + 1
    units = [sorted(groups[g], key=names.index) for g in order]
    unit_sample = [sample_of[g] for g in order]
    unit_columns = [sample_of[g] if per_sample[sample_of[g]] == 1 else f"{sample_of[g]}.{g}" for g in order]
    return units, unit_sample, unit_columns


def _by_sample(matrix: np.ndarray, unit_sample: list[str], samples: list[str]) -> np.ndarray:
    """The mean over each sample's fraction groups (NaN when none has a value)."""
    out = np.full((matrix.shape[0], len(samples)), np.nan)
    for s, sample in enumerate(samples):
        cols = [u for u, name in enumerate(unit_sample) if name == sample]
        if not cols:
            continue
        block = matrix[:, cols]
        count = np.isfinite(block).sum(axis=1)
        with np.errstate(invalid="ignore", divide="ignore"):
            out[:, s] = np.where(count > 0, np.where(np.isfinite(block), block, 0.0).sum(axis=1) / np.maximum(count, 1),
                                 np.nan)
    return out


def _robust_sd(values: np.ndarray) -> float:
    values = values[np.isfinite(values)]
    if values.size < 3:
        return float("nan")
    return 1.4826 * float(np.median(np.abs(values - np.median(values))))


def _partitions(design: Design, names: list[str]) -> list[list[int]]:
    """Run indices grouped by fraction number when the design has several, else one group."""
    fraction = {row.file: row.fraction for row in design.rows}
    numbers = sorted({fraction.get(n, 1) for n in names})
    if len(numbers) < 2:
        return [list(range(len(names)))] if names else []
    return [[j for j, n in enumerate(names) if fraction.get(n, 1) == k] for k in numbers]


def _match_between_runs(names, runs, indexes, models, partitions, options, mass, charge, offset, ppm_of,
                        identified, area, apex, quality, ppm_error, points, bounds, transferred, transfer_q,
                        notes) -> dict[str, int]:
    """Candidates of every partition, competing together for one set of q-values."""
    found = np.isfinite(area)
    shifts = decoy_shifts(area.shape[0], options.seed)
    collected: list[tuple] = []
    for cols in partitions:
        if len(cols) < 2:
            continue
        collected.extend(_candidates(names, runs, indexes, models, cols, options, mass, charge, offset, ppm_of,
                                     identified, found, area, apex, ppm_error, shifts, notes))
    counts = {"candidates": 0, "competing": 0, "target_wins": 0, "decoy_wins": 0, "transfers": 0}
    if not collected:
        notes.append("match-between-runs: no candidate transfer (no quantified ion is missing from a run)")
        return counts
    ions_ = np.concatenate([c[0] for c in collected])
    runs_ = np.concatenate([c[1] for c in collected])
    ts = np.concatenate([c[2] for c in collected])
    ds = np.concatenate([c[3] for c in collected], axis=0)
    competes, wins, q = compete(ts, ds)
    keep = wins & (q <= options.fdr)
    f_area, f_apex, f_quality, f_ppm, f_points, f_start, f_end = (np.concatenate([c[4][k] for c in collected])
                                                                   for k in range(7))
    i, j = ions_[keep], runs_[keep]
    area[i, j] = f_area[keep]
    apex[i, j] = f_apex[keep]
    quality[i, j] = f_quality[keep]
    ppm_error[i, j] = f_ppm[keep]
    points[i, j] = f_points[keep]
    bounds[i, j, 0] = f_start[keep]
    bounds[i, j, 1] = f_end[keep]
    transferred[i, j] = True
    transfer_q[i, j] = q[keep]
    return {"candidates": int(ions_.size), "competing": int(competes.sum()), "target_wins": int(wins.sum()),
            "decoy_wins": int((competes & ~wins).sum()), "transfers": int(keep.sum())}


def _candidates(names, runs, indexes, models, cols, options, mass, charge, offset, ppm_of, identified, found,
                area, apex, ppm_error, shifts, notes) -> list[tuple]:
    """Target and decoy candidates of the runs `cols` (one partition): per run, (ions, run
    index, target scores, decoy scores, target features)."""
    n_ions = area.shape[0]
    found = found[:, cols]
    area_p = area[:, cols]
    with np.errstate(all="ignore"):
        ref_rt = np.full(found.shape, np.nan)
        for c, j in enumerate(cols):
            ref_rt[:, c] = np.where(found[:, c], models[names[j]].to_reference(np.nan_to_num(apex[:, j])), np.nan)
        any_found = found.any(axis=1)
        predicted_ref = np.full(n_ions, np.nan)
        expected_area = np.full(n_ions, np.nan)
        if any_found.any():
            predicted_ref[any_found] = np.nanmedian(ref_rt[any_found], axis=1)
            expected_area[any_found] = np.nanmedian(area_p[any_found], axis=1)
    out = []
    for j in cols:
        name = names[j]
        rows = np.flatnonzero(any_found & ~identified[:, j])
        if rows.size == 0 or runs[name].scans == 0:
            continue
        model = models[name]
        if model.kind == "identity":
            notes.append(f"match-between-runs: no transfer into {name}: its retention times could not be aligned")
            continue
        sd = max(model.residual_sd, MIN_WINDOW / WINDOW_SDS)
        window = max(WINDOW_SDS * sd, MIN_WINDOW)
        centre = model.from_reference(predicted_ref[rows])
        ppm_sd = _robust_sd(ppm_error[identified[:, j], j])
        ppm_sd = max(ppm_sd if np.isfinite(ppm_sd) else ppm_of[name] / 3.0, MIN_PPM_SPREAD)
        n = rows.size
        copies = 1 + DECOYS
        # requests: the targets, then decoy 1 of every ion, decoy 2, ...
        masses = np.concatenate([mass[rows], *(mass[rows] + shifts[rows, c] for c in range(DECOYS))])
        req = Requests(
            mz=ion_mz(masses, np.tile(charge[rows], copies), offset.get(name, 0.0)),
            charge=np.tile(charge[rows], copies), mass=np.tile(mass[rows], copies), rt=np.tile(centre, copies),
            window=np.full(copies * n, window), extent=np.full(copies * n, window + options.extent),
            ppm=np.full(copies * n, ppm_of[name]), climb=np.zeros(copies * n, dtype=bool))
        feat = extract(indexes.get(name), req, options.peak)
        with np.errstate(divide="ignore", invalid="ignore"):
            ratio = np.where(feat.found, np.log2(np.where(feat.found, feat.area, 1.0)
                                                 / np.tile(expected_area[rows], copies)), 0.0)
        score = transfer_score(feat.isotope_quality, feat.apex_rt - np.tile(centre, copies), sd, feat.ppm_error,
                               ppm_sd, ratio)
        score = np.where(feat.found, score, np.nan)
        out.append((rows, np.full(n, j), score[:n], score[n:].reshape(DECOYS, n).T,
                    (feat.area[:n], feat.apex_rt[:n], feat.isotope_quality[:n], feat.ppm_error[:n], feat.points[:n],
                     feat.start_rt[:n], feat.end_rt[:n])))
    return out


def _diagnostics(names, runs, indexes, models, references, ion_keys, mass, charge, offset, ppm_of, identified, area,
                 apex, quality, id_rt, bounds, points, options, counts, missing_before, missing_after, factors,
                 unit_columns,
                 ref_unit, unit_proteins, unit_sample, design) -> dict[str, Any]:
    out: dict[str, Any] = {"runs": list(names), "reference_run": references.get(names[0], "") if names else "",
                           "references": dict(references)}
    # example chromatograms: best, median and worst isotope quality among identified features
    found = identified & np.isfinite(area)
    cand = np.argwhere(found)
    examples = []
    if cand.size:
        q = quality[cand[:, 0], cand[:, 1]]
        order = np.argsort(-q, kind="stable")
        picks = {"best": order[0], "median": order[len(order) // 2], "worst": order[-1]}
        for label, k in picks.items():
            i, j = cand[k]
            name = names[j]
            run = indexes.get(name).run
            lo = np.searchsorted(run.rt, id_rt[i, j] - options.extent)
            hi = np.searchsorted(run.rt, id_rt[i, j] + options.extent, side="right")
            scans = np.arange(lo, hi)
            mz0 = float(ion_mz(mass[i], charge[i], offset.get(name, 0.0)))
            traces = []
            for iso in range(3):
                centre = mz0 + iso * ISOTOPE_SPACING / charge[i]
                inten, _ = _read_traces(indexes.get(name), scans, np.full(scans.size, centre),
                                        np.full(scans.size, centre * ppm_of[name] * 1e-6))
                traces.append(inten.tolist())
            examples.append({"which": label, "peptide": ion_keys["peptide"].iloc[i], "charge": int(charge[i]),
                             "run": name, "isotope_quality": float(quality[i, j]), "rt": run.rt[scans].tolist(),
                             "traces": traces, "apex_rt": float(apex[i, j]), "identified_rt": float(id_rt[i, j]),
                             "start_rt": float(bounds[i, j, 0]), "end_rt": float(bounds[i, j, 1]),
                             "points": int(points[i, j])})
    out["chromatograms"] = examples
    # alignment per run
    align = {}
    both_found = np.isfinite(area)
    for j, name in enumerate(names):
        r = names.index(references[name])
        entry = models[name].summary()
        entry["reference"] = references[name]
        both = identified[:, j] & identified[:, r] & both_found[:, j] & both_found[:, r]
        entry["run_rt"] = apex[both, j][:500].tolist()
        entry["reference_rt"] = apex[both, r][:500].tolist()
        span = apex[np.isfinite(apex[:, j]), j]
        grid = np.linspace(span.min(), span.max(), 50) if span.size else np.zeros(0)
        entry["curve_run"] = grid.tolist()
        entry["curve_reference"] = models[name].to_reference(grid).tolist()
        align[name] = entry
    out["alignment"] = align
    # correlation of runs (log2 intensities of shared ions)
    logs = np.log2(np.where(both_found, area, np.nan))
    n = len(names)
    corr = np.full((n, n), np.nan)
    for a in range(n):
        for b in range(n):
            both = np.isfinite(logs[:, a]) & np.isfinite(logs[:, b])
            if both.sum() >= 3:
                corr[a, b] = float(np.corrcoef(logs[both, a], logs[both, b])[0, 1])
    out["run_correlation"] = [[None if np.isnan(v) else float(v) for v in row] for row in corr]
    # coefficients of variation of proteins within a sample (over its fraction groups), or within a
    # condition (over its samples) when every sample has one fraction group
    out["protein_cv"] = _protein_cvs(unit_proteins, unit_columns, unit_sample, design)
    out["missing_values"] = {"before_mbr": missing_before, "after_mbr": missing_after,
                             "cells": int(area.size)}
    out["transfers"] = counts
    out["normalisation"] = {"reference": unit_columns[ref_unit] if ref_unit >= 0 else "",
                            "factors": {c: float(f) for c, f in zip(unit_columns, factors)}}
    out["ions"] = int(area.shape[0])
    out["identified_features"] = int(found.sum())
    return out


def _protein_cvs(unit_proteins, unit_columns, unit_sample, design) -> dict[str, Any]:
    sets: dict[str, list[str]] = {}
    for column, sample in zip(unit_columns, unit_sample):
        sets.setdefault(sample, []).append(column)
    basis = "fraction groups of a sample"
    if all(len(v) < 2 for v in sets.values()):
        sets = {}
        for column, sample in zip(unit_columns, unit_sample):
            attrs = design.sample_attributes.get(sample, {})
            condition = attrs.get("MSstats_Condition", attrs.get("Condition"))
            if condition is not None:
                sets.setdefault(condition, []).append(column)
        basis = "samples of a condition"
    cvs: dict[str, list[float]] = {}
    for label, columns in sets.items():
        if len(columns) < 2 or unit_proteins.empty:
            continue
        block = unit_proteins[columns].to_numpy(dtype=np.float64)
        ok = np.isfinite(block).all(axis=1)
        if ok.any():
            values = block[ok]
            cvs[label] = (values.std(axis=1, ddof=1) / values.mean(axis=1)).tolist()
    return {"basis": basis if cvs else "", "cv": cvs}
