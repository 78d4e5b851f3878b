"""The end of a search: the summary counts what the documented filter selects, and names
how the matches were rescored."""

from __future__ import annotations

import pytest

from _cluster_support import write_inputs
from tovel_mesk.config import load_settings
from tovel_mesk.pipeline import run_search


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    return write_inputs(tmp_path_factory.mktemp("inputs"), runs=2, spectra=40)


@pytest.mark.parametrize("search", [{"preset": "ion-trap", "precursor_tol": "50ppm", "report_psms": 3},
                                    {"report_psms": 3, "chimera": True}])
def test_summary_counts_the_documented_filter(inputs, search):
    fasta, runs = inputs
    outcome = run_search(load_settings({"fasta": fasta, "spectra": runs, "quiet": True, "threads": 2,
                                        "fdr": 0.05, **search}))
    psms = outcome.psms
    chosen = psms[(psms["label"] == 1) & (psms["spectrum_q"] <= 0.05)]
    assert outcome.summary.totals.spectra_accepted == len(chosen)
    assert sum(f.spectra_accepted for f in outcome.summary.files) == len(chosen)
    if not search.get("chimera"):
        lower = psms[psms["rank"] > 1]
        assert len(lower) and (lower[["spectrum_q", "peptide_q", "protein_q", "posterior_error"]] == 1.0).all().all()
    record = outcome.summary.rescoring
    assert {"used", "reason", "notes", "train_fdr", "splits", "compared", "fdr"} <= set(record)
    assert record["fdr"] == 0.05 and isinstance(record["notes"], list)
    if record["used"] not in ("lda", "mokapot"):
        # Every fallback is noted with its reason.
        assert record["notes"] and record["notes"][-1].endswith(record["reason"])
