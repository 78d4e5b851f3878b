"""The last stage shared by both executors: error control over the matches of every file,
and the outcome of the whole search (tables, per-file results, summary)."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from ..config import SearchSettings
from ..progress import Progress
from .database import MIN_ION_INDEX
from .outcome import FileResult, SearchOutcome

if TYPE_CHECKING:
    import numpy as np

__all__ = ["SearchOutcome", "finish_search"]


def _no_matches(settings: SearchSettings) -> dict[str, np.ndarray]:
    """Match columns without rows, typed as a search types them (when every file failed)."""
    from .database import build_database  # noqa: PLC0415
    from .scoring import make_scorer, score_columns  # noqa: PLC0415

    return score_columns(make_scorer(settings), build_database([]), [], threads=1, min_ion_index=MIN_ION_INDEX)


def finish_search(settings: SearchSettings, files: list[FileResult], database_counts: dict[str, Any],
                  progress: Progress, failures: dict[str, str] | None = None) -> SearchOutcome:
    """Error control over the matches of every file, and the summary."""
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
        frames = [pd.DataFrame(f.columns) for f in files] or [pd.DataFrame(_no_matches(settings))]
        psms = pd.concat(frames, ignore_index=True)
        if "psm_id" in psms.columns:
            # The core numbers matches as worker threads report them, which varies from run
            # to run; the table numbers them in file, spectrum and rank order instead.
            psms["psm_id"] = np.arange(1, len(psms) + 1, dtype=np.uint64)
        proteins = read_fasta(settings.require_fasta())
        confidence = assign_confidence(psms, method=settings.rescore, decoy_tag=settings.decoy_tag,
                                       fdr=settings.fdr, protein_info=proteins)
    counts = confidence.counts(settings.fdr)
    percent = f"{100 * settings.fdr:g}%"
    records = []
    for f in files:
        at_fdr = counts.loc[f.name] if f.name in counts.index else {"spectra": 0, "peptides": 0, "protein_groups": 0}
        records.append({"file": f.name, "spectra_read": f.spectra_read, "spectra_searched": f.spectra_searched,
                        "matches": f.matches, f"spectra_at_{percent}": int(at_fdr["spectra"]),
                        f"peptides_at_{percent}": int(at_fdr["peptides"]),
                        f"protein_groups_at_{percent}": int(at_fdr["protein_groups"])})
    for name, reason in (failures or {}).items():
        records.append({"file": name, "error": reason})
    stages = {"digest": 0.0, "index": 0.0, "reading": 0.0, "scoring": 0.0}
    stages.update({k: v for k, v in progress.timings.items() if k in ("digest", "index")})
    for f in files:
        for k, v in f.seconds.items():
            stages[k] = stages.get(k, 0.0) + v
    stages["rescoring"] = progress.timings.get("rescoring", 0.0)
    totals = confidence.totals(settings.fdr)
    rescoring = confidence.rescoring
    summary = {
        "files": records,
        "stages": {k: round(v, 3) for k, v in stages.items()},
        "totals": {"spectra_read": sum(f.spectra_read for f in files),
                   "spectra_searched": sum(f.spectra_searched for f in files),
                   "matches": int(len(confidence.psms)), **{f"{k}_at_{percent}": int(v) for k, v in totals.items()}},
        "database": database_counts,
        "rescoring": {"method": rescoring.used, "reason": rescoring.reason},
        "settings": settings.as_dict(),
    }
    if failures:
        summary["failed_files"] = dict(failures)
    return SearchOutcome(settings, confidence.psms, confidence.peptides, confidence.proteins, files, summary,
                         ok=not failures)
