"""The last stage shared by both executors: error control over the matches of every file,
and the outcome of the whole search (tables, per-file results, summary)."""

from __future__ import annotations

import time
from typing import Any

from ..columns import empty_match_columns
from ..config import ISOBARIC_QUANT, SearchSettings
from ..progress import Progress
from ..summary import FileSummary, Summary, Totals
from .outcome import FileResult, SearchOutcome

__all__ = ["SearchOutcome", "finish_search"]


def finish_search(settings: SearchSettings, files: list[FileResult], database_counts: dict[str, Any],
                  progress: Progress, failures: dict[str, str] | None = None) -> SearchOutcome:
    """Error control over the matches of every file, and the summary. `failures` maps the
name of each file that could not be read to its error; those files are listed in the
summary with their error, in the order of `settings.spectra`."""
    import numpy as np  # noqa: PLC0415
    import pandas as pd  # noqa: PLC0415

    from ..fdr.confidence import assign_confidence  # noqa: PLC0415
    from ..io.fasta import read_fasta  # noqa: PLC0415

    found = database_counts.get("fasta_decoys")
    if found and settings.distributed:
        # The workers found the tag and left those entries out; tell it here.
        progress.message(f"decoys already in the FASTA: {found['dropped']:,} entries carry the {found['position']} "
                         f"{found['tag']!r}; they were left out, the index makes its own decoys")
    with progress.stage("rescoring"):
        frames = [pd.DataFrame(f.columns) for f in files] or [pd.DataFrame(empty_match_columns())]
        psms = pd.concat(frames, ignore_index=True)
        if "psm_id" in psms.columns:
            # The core numbers matches as worker threads report them, which varies from run
            # to run; the table numbers them in file, spectrum and rank order instead.
            psms["psm_id"] = np.arange(1, len(psms) + 1, dtype=np.uint64)
        proteins = read_fasta(settings.require_fasta())
        confidence = assign_confidence(psms, method=settings.rescore, decoy_tag=settings.decoy_tag,
                                       chimera=settings.chimera, fdr=settings.fdr, protein_info=proteins)
    counts = confidence.counts(settings.fdr)
    totals = confidence.totals(settings.fdr)
    database = {k: v for k, v in database_counts.items() if k != "index_cache"}
    summary = Summary(fdr=settings.fdr, database=database, index_cache=database_counts.get("index_cache"),
                      rescoring={"method": confidence.rescoring.used, **confidence.rescoring.as_dict()},
                      settings=settings.as_dict())
    searched = {f.name: f for f in files}
    failed = dict(failures or {})
    for name in [p.name for p in settings.spectra] or [*searched, *failed]:
        if name in failed:
            summary.files.append(FileSummary(name, error=failed[name]))
        elif name in searched:
            f = searched[name]
            at_fdr = counts.loc[name] if name in counts.index else {"spectra": 0, "peptides": 0, "protein_groups": 0}
            summary.files.append(FileSummary(
                name, spectra_read=f.spectra_read, spectra_searched=f.spectra_searched, matches=f.matches,
                spectra_accepted=int(at_fdr["spectra"]), peptides_accepted=int(at_fdr["peptides"]),
                protein_groups_accepted=int(at_fdr["protein_groups"]),
                skipped={k: int(v) for k, v in f.skipped.items() if v}, **f.plan.get("record", {})))
        # a file neither searched nor failed was not reached (a search that stopped early)
    summary.totals = Totals(files=len(summary.files), files_searched=len(files),
                            spectra_read=sum(f.spectra_read for f in files),
                            spectra_searched=sum(f.spectra_searched for f in files),
                            matches=int(len(confidence.psms)),
                            spectra_accepted=int(totals["spectra"]), peptides_accepted=int(totals["peptides"]),
                            protein_groups_accepted=int(totals["protein_groups"]))
    stages = {"digest": 0.0, "index": 0.0, "calibration": 0.0, "reading": 0.0, "scoring": 0.0}
    stages.update({k: v for k, v in progress.timings.items() if k in ("digest", "index")})
    for f in files:
        for k, v in f.seconds.items():
            stages[k] = stages.get(k, 0.0) + v
    stages["rescoring"] = progress.timings.get("rescoring", 0.0)
    from .quantify import quantify_search  # noqa: PLC0415

    quant, quant_stage = quantify_search(settings, files, confidence.psms, confidence.peptide_group, progress)
    summary.quant = quant_stage.as_dict()
    for f in files:  # the MS1 scans are not needed past quantification
        f.ms1 = None
    if quant_stage.method != "none" or quant_stage.requested != "none":
        stages["quant"] = quant_stage.seconds
    for name, seconds in stages.items():
        summary.record_stage(name, seconds)
    summary.file_settings = {f.name: {k: v for k, v in f.plan.items() if k != "record"} for f in files if f.plan}
    summary.warnings = [*cache_warnings(database_counts), *file_warnings(files)]
    if quant_stage.failed:
        summary.warnings.append(quant_stage.notes[-1])
    psms, peptides = _with_flanks(settings, confidence.psms, confidence.peptides, proteins.sequences)
    if settings.quant in ISOBARIC_QUANT:
        started = time.perf_counter()
        psms, quant = _isobaric(settings, files, psms, confidence, summary)
        summary.record_stage("quant", time.perf_counter() - started)
    outcome = SearchOutcome(settings, psms, peptides, confidence.proteins, files, summary)
    outcome.quant = quant
    return outcome


def _isobaric(settings: SearchSettings, files: list[FileResult], psms, confidence, summary: Summary):
    """The match table with its reporter columns, and the isobaric quantification
    (`tovel_mesk.quant.isobaric.IsobaricResult`); records the stage as the summary's `quant`
    (method, counts, each file's reporter spectra, every note)."""
    from ..quant.isobaric import quantify_reporters  # noqa: PLC0415
    from ..quant.reporters import PLEXES, read_impurities  # noqa: PLC0415

    plex = PLEXES[settings.quant]
    impurities = None if settings.impurities is None else read_impurities(settings.impurities, plex)
    method = "sum" if settings.protein_quant == "sum" else "median-polish"
    tables = {f.name: f.reporters for f in files if f.reporters is not None and f.reporter_summary.get("window")
              != "not read"}
    result = quantify_reporters(psms, tables, confidence.proteins, confidence.peptide_group.to_dict(),
                                plex_name=settings.quant, fdr=settings.fdr, impurities=impurities,
                                min_purity=settings.min_purity, method=method)
    notes = [n for f in files for n in f.reporter_summary.get("notes", ())]
    if settings.protein_quant not in ("sum", "median-polish"):
        notes.append(f"--protein-quant {settings.protein_quant} is a label-free roll-up; reporter ions were rolled "
                     "up by median polish")
    notes += result.notes
    for f in files:
        if f.reporter_summary and f.name in summary.file_settings:
            summary.file_settings[f.name]["reporters"] = {
                k: f.reporter_summary[k] for k in ("plex", "reporter_spectra", "window")}
    summary.quant = {"method": settings.quant, "requested": settings.quant, "roll_up": method,
                     "impurity_correction": settings.impurities is not None, "min_purity": settings.min_purity,
                     "counts": result.counts, "protein_groups": int(len(result.proteins)),
                     "runs": list(tables), "files": {f.name: f.reporter_summary for f in files if f.reporter_summary},
                     "notes": notes}
    return result.psms, result


def _with_flanks(settings: SearchSettings, psms, peptides, sequences):
    """The match and peptide tables with `prev_aa` and `next_aa`, the residues around each
    peptide in its first protein (`tovel_mesk.search.flanks`)."""
    from .flanks import add_flanks  # noqa: PLC0415

    return add_flanks(psms, sequences, settings.decoy_tag), add_flanks(peptides, sequences, settings.decoy_tag)


def cache_warnings(database_counts: dict[str, Any]) -> list[str]:
    """The index cache's warning, when it had one: a damaged entry rebuilt, or an index it
    could not take (`tovel_mesk.search.index_cache.CacheReport`)."""
    from .index_cache import NOT_STORED, REBUILT, CacheReport  # noqa: PLC0415

    record = database_counts.get("index_cache") or {}
    if record.get("status") not in (REBUILT, NOT_STORED):
        return []
    report = CacheReport(record["status"], reason=record.get("reason"))
    return [report.warning] if report.warning else []


def file_warnings(files: list[FileResult]) -> list[str]:
    """The warnings of the files' plans, the files whose spectra the reader's native scanner
    left to its reference path, and one warning for every fragment tolerance that
    contradicts the detected analyzer (naming the files it concerns)."""
    out: list[str] = []
    contradictions: dict[str, list[str]] = {}
    for f in files:
        out.extend(f.plan.get("warnings", ()))
        if getattr(f, "reading_fallback", None):
            out.append(f"{f.name}: {f.reading_fallback}")
        if f.plan.get("contradiction"):
            contradictions.setdefault(f.plan["contradiction"], []).append(f.name)
    for reason, names in contradictions.items():
        out.append(f"{reason}: {', '.join(names)}")
    return out
