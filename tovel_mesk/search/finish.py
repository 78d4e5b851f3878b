"""The last stage shared by both executors: error control over the matches of every file,
and the outcome of the whole search (tables, per-file results, summary)."""

from __future__ import annotations

import logging
from typing import Any

from ..columns import empty_match_columns
from ..config import SearchSettings
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

    with progress.stage("rescoring"):
        frames = [pd.DataFrame(f.columns) for f in files] or [pd.DataFrame(empty_match_columns())]
        psms = pd.concat(frames, ignore_index=True)
        if "psm_id" in psms.columns:
            # The core numbers matches as worker threads report them, which varies from run
            # to run; the table numbers them in file, spectrum and rank order instead.
            psms["psm_id"] = np.arange(1, len(psms) + 1, dtype=np.uint64)
        confidence = assign_confidence(psms, method=settings.rescore, decoy_tag=settings.decoy_tag)
        psms_out, peptides_out = _with_flanks(settings, confidence.psms, confidence.peptides)
    counts = confidence.counts(settings.fdr)
    totals = confidence.totals(settings.fdr)
    summary = Summary(fdr=settings.fdr, database=dict(database_counts),
                      rescoring={"method": confidence.rescoring.used, "reason": confidence.rescoring.reason},
                      settings=settings.as_dict())
    searched = {f.name: f for f in files}
    failed = dict(failures or {})
    for name in [p.name for p in settings.spectra] or [*searched, *failed]:
        if name in failed:
            summary.files.append(FileSummary(name, error=failed[name]))
        elif name in searched:
            f = searched[name]
            at_fdr = counts.loc[name] if name in counts.index else {"spectra": 0, "peptides": 0, "proteins": 0}
            summary.files.append(FileSummary(
                name, spectra_read=f.spectra_read, spectra_searched=f.spectra_searched, matches=f.matches,
                spectra_accepted=int(at_fdr["spectra"]), peptides_accepted=int(at_fdr["peptides"]),
                proteins_accepted=int(at_fdr["proteins"]), skipped={k: int(v) for k, v in f.skipped.items() if v}))
        # a file neither searched nor failed was not reached (a search that stopped early)
    summary.totals = Totals(files=len(summary.files), files_searched=len(files),
                            spectra_read=sum(f.spectra_read for f in files),
                            spectra_searched=sum(f.spectra_searched for f in files),
                            matches=int(len(confidence.psms)),
                            spectra_accepted=int(totals["spectra"]), peptides_accepted=int(totals["peptides"]),
                            proteins_accepted=int(totals["proteins"]))
    stages = {"digest": 0.0, "index": 0.0, "reading": 0.0, "scoring": 0.0}
    stages.update({k: v for k, v in progress.timings.items() if k in ("digest", "index")})
    for f in files:
        for k, v in f.seconds.items():
            stages[k] = stages.get(k, 0.0) + v
    stages["rescoring"] = progress.timings.get("rescoring", 0.0)
    for name, seconds in stages.items():
        summary.record_stage(name, seconds)
    return SearchOutcome(settings, psms_out, peptides_out, confidence.proteins, files, summary)


def _with_flanks(settings: SearchSettings, psms, peptides):
    """The match and peptide tables with `prev_aa` and `next_aa` from the proteins of the
    FASTA file (read once, only the proteins that some match names first)."""
    from .flanks import add_flanks, read_protein_sequences  # noqa: PLC0415

    if settings.fasta is None:
        return psms, peptides
    first = {str(accessions).split(";", 1)[0] for accessions in psms["proteins"].unique()}
    tag = settings.decoy_tag
    wanted = first | {a[len(tag):] for a in first if tag and a.startswith(tag)}
    try:
        proteins = read_protein_sequences(settings.fasta, wanted) if wanted else {}
    except (OSError, ValueError) as error:
        # The matches stand without their flanks; losing the search over them would be worse.
        logging.getLogger(__name__).warning("%s: the proteins could not be read again for the flanking residues "
                                            "(%s); the tables are written without prev_aa and next_aa",
                                            settings.fasta, error)
        return psms, peptides
    return add_flanks(psms, proteins, tag), add_flanks(peptides, proteins, tag)
