"""Error control of a search: a score per match, then q-values and posterior error
probabilities for spectra, peptides and proteins, over all the files of one call.

`assign_confidence` takes the match table of a search (columns in `tovel_mesk.columns`)
and returns it with the error control columns filled, plus the peptide and protein tables
and counts at a chosen FDR. How the levels compete:

- Ranks: rescoring reorders the matches of each spectrum. `rank` in the result is a
  match's place by `discriminant_score` (the search's rank breaks ties), so rank 1 is the
  spectrum's best match under the final score. With `method="hyperscore"` the order is the
  search's own.
- Spectra (`spectrum_q`): the best matches (rank 1) compete with each other, one per
  spectrum, targets against decoys. A lower-rank match is a second guess at the same
  spectrum, not an identification: it gets `spectrum_q` 1, and so do its `peptide_q`,
  `protein_q` and `posterior_error`. The one exception is a chimeric search
  (`chimera=True`), where the match of rank k is the best match left after the peaks of
  ranks 1 to k-1 were taken out, a co-isolated peptide in its own right: the rank-k
  matches then compete among themselves, rank-k targets against rank-k decoys, so they
  neither dilute nor borrow the error rate of the best matches. A rank-k match that repeats
  a better-ranked peptide of its spectrum is not a new peptide and gets 1.
  The filter `label == 1 & spectrum_q <= fdr` therefore selects exactly the accepted
  matches that `Confidence.counts` and `Confidence.totals` count.
- Peptides (`peptide_q`): the counted matches (rank 1, and the co-isolated matches of a
  chimeric search) are taken, and for each peptide (by its `peptide` string, so each
  modified form counts on its own) its highest-scoring counted match competes. Every counted
  row of that peptide gets that q-value; a peptide that is never counted gets 1.
- Proteins (`protein_q`): the accepted target peptides (`peptide_q` at most `fdr`) are
  explained by the fewest proteins; indistinguishable proteins and subset proteins form
  groups, and each group meets its decoy group in picked competition
  (`tovel_mesk.fdr.groups`). A row gets the least q-value of its proteins' groups; a
  protein in no group, or whose group lost, gives 1.

q-values use decoys / targets (see `tovel_mesk.fdr.qvalues`). `posterior_error` in the
match table is the posterior error probability of a counted match among the matches it
competes with (1 for the others); in the peptide and protein tables it is that of the
peptide and of the protein. No posterior error probability is below the floor that the
number of decoys sets (`tovel_mesk.fdr.qvalues.pep_floor`).
"""

from __future__ import annotations

from collections.abc import Iterable, Mapping
from dataclasses import dataclass, field
from typing import Protocol

import numpy as np
import pandas as pd

from .. import columns
from .groups import group_confidence
from .matches import canonical_order, labels_and_ranks, require_columns
from .qvalues import posterior_errors, tdc_qvalues
from .rescore import Rescoring, check_options, rescore_sorted

__all__ = ["Confidence", "assign_confidence", "ProteinInfo"]


class ProteinInfo(Protocol):
    """What the protein table takes from the FASTA: per accession, the header's
    description, the residues and the position in the file."""

    @property
    def descriptions(self) -> Mapping[str, str]: ...

    @property
    def sequences(self) -> Mapping[str, str]: ...

    @property
    def order(self) -> Mapping[str, int]: ...


@dataclass(frozen=True)
class Confidence:
    """Error control of one search.

    `psms`: the input match table, same rows, order and index, with `discriminant_score`,
    `posterior_error`, `spectrum_q`, `peptide_q` and `protein_q` filled (float64) and
    `rank` renumbered by `discriminant_score` within each spectrum.
    `peptides`: for every peptide (and label), its best counted match, with all the
    match columns; `posterior_error` there is the peptide's. Best first.
    `proteins`: the protein groups of the accepted peptides, columns
    `tovel_mesk.columns.PROTEIN_TABLE`, by q-value (see `tovel_mesk.fdr.groups`).
    `rescoring`: how the scores were made (`tovel_mesk.fdr.rescore.Rescoring`).
    `peptide_group`: accepted target peptide -> the `group` it counts for.
    `fdr`: the false discovery rate at which peptides were accepted to form the groups.
    """

    psms: pd.DataFrame
    peptides: pd.DataFrame
    proteins: pd.DataFrame
    rescoring: Rescoring
    peptide_group: pd.Series = field(default_factory=lambda: pd.Series(dtype=np.int64))
    fdr: float = 0.01

    def counts(self, fdr: float = 0.01) -> pd.DataFrame:
        """Identifications per file at `fdr`, indexed by `file` (in `file_id` order when
        the table has it, else by name): `spectra` (accepted matches: rows with `label` 1
        and `spectrum_q` at most `fdr`, which are best matches, plus co-isolated peptides in
        a chimeric search), `peptides` (distinct target peptides with `peptide_q` at most
        `fdr` that are a counted match in the file) and `protein_groups` (distinct
        groups with `q` at most `fdr` that such a peptide counts for). The groups
        themselves are those formed at the `fdr` of `assign_confidence`."""
        best = _counted_targets(self.psms)
        files = _files_in_order(self.psms)
        spectra = best[best["spectrum_q"] <= fdr].groupby("file", sort=False).size()
        accepted = best[best["peptide_q"] <= fdr]
        peptides = accepted.groupby("file", sort=False)["peptide"].nunique()
        groups = accepted["peptide"].map(self.peptide_group)
        passed = set(self.proteins.loc[self.proteins["q"] <= fdr, "group"].tolist())
        in_group = accepted.assign(group=groups)[groups.isin(passed).to_numpy(dtype=bool)]
        return pd.DataFrame({
            "spectra": spectra.reindex(files, fill_value=0),
            "peptides": peptides.reindex(files, fill_value=0),
            "protein_groups": in_group.groupby("file", sort=False)["group"].nunique().reindex(files, fill_value=0),
        }, index=pd.Index(files, name="file")).astype(np.int64)

    def totals(self, fdr: float = 0.01) -> dict[str, int]:
        """Identifications of the whole call at `fdr`: spectra, distinct peptides and
        protein groups, counted as in `counts` but over all files together."""
        best = _counted_targets(self.psms)
        peptides = self.peptides
        return {
            "spectra": int((best["spectrum_q"] <= fdr).sum()),
            "peptides": int(((peptides["label"] == 1) & (peptides["peptide_q"] <= fdr)).sum()),
            "protein_groups": int((self.proteins["q"] <= fdr).sum()),
        }


def _counted_targets(psms: pd.DataFrame) -> pd.DataFrame:
    """Target rows that carry error rates of their own: rows that are not counted hold 1
    in every q-value column, so they never pass an FDR below 1."""
    return psms[(psms["label"] == 1) & ((psms["rank"] == 1) | (psms["spectrum_q"] < 1.0)
                                        | (psms["peptide_q"] < 1.0))]


def _files_in_order(psms: pd.DataFrame) -> list:
    if "file_id" in psms.columns:
        first = psms.groupby("file", sort=False)["file_id"].min()
        return first.sort_values(kind="stable").index.tolist()
    return sorted(pd.unique(psms["file"]).tolist(), key=str)


def _first_of_groups(codes: np.ndarray, scores: np.ndarray) -> np.ndarray:
    """Position of the highest score of each code (the earliest position on a tie)."""
    order = np.lexsort((np.arange(len(codes)), -np.where(np.isnan(scores), -np.inf, scores), codes))
    first = np.ones(len(order), dtype=bool)
    first[1:] = codes[order][1:] != codes[order][:-1]
    return order[first]


def rerank(spectrum: np.ndarray, scores: np.ndarray, rank: np.ndarray) -> np.ndarray:
    """Place of every match among the matches of its spectrum (`spectrum`: a number per
    spectrum), best `scores` first (NaN last, then by `rank`), counting from 1."""
    n = len(spectrum)
    order = np.lexsort((rank, -np.where(np.isnan(scores), -np.inf, scores), spectrum))
    start = np.ones(n, dtype=bool)
    start[1:] = spectrum[order][1:] != spectrum[order][:-1]
    first = np.maximum.accumulate(np.where(start, np.arange(n), 0))
    places = np.empty(n, dtype=np.int64)
    places[order] = np.arange(n) - first + 1
    return places


def counted_matches(spectrum: np.ndarray, rank: np.ndarray, peptide: np.ndarray, chimera: bool) -> np.ndarray:
    """Which matches carry error rates of their own (arrays in canonical order, `rank` by
    the final score): every rank-1 match; in a chimeric search also each lower-rank match
    whose peptide no better-ranked match of its spectrum has."""
    counted = rank == 1
    if not chimera:
        return counted
    # Within a spectrum, the first occurrence of each peptide by rank is counted.
    order = np.lexsort((rank, peptide, spectrum))
    first = np.ones(len(order), dtype=bool)
    first[1:] = (spectrum[order][1:] != spectrum[order][:-1]) | (peptide[order][1:] != peptide[order][:-1])
    counted = np.zeros(len(order), dtype=bool)
    counted[order[first]] = True
    return counted


def _by_rank(rank: np.ndarray, counted: np.ndarray, scores: np.ndarray,
             decoy: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """q-values and posterior error probabilities of the counted matches, each rank
    competing on its own; 1 for the rest."""
    q = np.ones(len(rank))
    pep = np.ones(len(rank))
    for value in np.unique(rank[counted]):
        index = np.flatnonzero(counted & (rank == value))
        q[index] = tdc_qvalues(scores[index], decoy[index])
        pep[index] = posterior_errors(scores[index], decoy[index])
    return q, pep


def _proteins_text(proteins: pd.Series) -> np.ndarray:
    """The `proteins` column as str objects, a missing value as ""."""
    text = proteins.to_numpy(dtype=object)
    return np.where(pd.isna(text), "", text)


def _accession_table(proteins: np.ndarray, decoy: np.ndarray) -> pd.DataFrame:
    """One row per (entry, accession) of ";"-joined accession lists: columns `entry`
    (position in the input), `protein` and `decoy`. Empty accessions are left out."""
    # Most matches name one protein: only lists that hold a ";" are split.
    joined = np.fromiter((";" in text for text in proteins), dtype=bool, count=len(proteins))
    single = np.flatnonzero(~joined)
    exploded = pd.Series(proteins[joined], index=np.flatnonzero(joined), dtype=object).str.split(";").explode()
    entry = np.concatenate((single, exploded.index.to_numpy(dtype=np.int64)))
    protein = np.concatenate((proteins[single], exploded.to_numpy(dtype=object)))
    keep = pd.notna(protein) & (protein != "")
    return pd.DataFrame({"entry": entry[keep], "protein": protein[keep], "decoy": decoy[entry[keep]]})


def _row_protein_q(proteins: pd.Series, decoy: np.ndarray, protein_q: pd.Series) -> np.ndarray:
    """For every row, the least q-value among its proteins' groups (1 when none has one)."""
    text = _proteins_text(proteins)
    codes, _ = pd.factorize(text)
    _, first, inverse = np.unique(codes.astype(np.int64) * 2 + decoy, return_index=True, return_inverse=True)
    links = _accession_table(text[first], decoy[first])
    if not len(protein_q):
        return np.ones(len(text))
    found = protein_q.reindex(pd.MultiIndex.from_arrays([links["protein"], links["decoy"]])).to_numpy()
    least = pd.Series(found, dtype=np.float64).groupby(links["entry"].to_numpy()).min()
    per_entry = np.ones(len(first))
    per_entry[least.index.to_numpy()] = least.fillna(1.0).to_numpy()
    return per_entry[inverse.ravel()]


def assign_confidence(psms: pd.DataFrame, *, method: str = "lda", decoy_tag: str = "rev_",
                      train_fdr: float = 0.01, folds: int = 3, seed: int = 1, iterations: int = 10,
                      min_decoys: int = 50, min_positives: int = 20,
                      exclude: Iterable[str] = (), chimera: bool = False, fdr: float = 0.01,
                      protein_info: ProteinInfo | None = None) -> Confidence:
    """Rescores the matches of one search and estimates their error rates at the spectrum,
    peptide and protein levels (see the module text for how each level competes).

    `psms`: one row per match, with at least `file`, `spec_id`, `rank`, `label`,
    `peptide`, `proteins` and `hyperscore`; every other numeric column is a candidate
    feature unless excluded (`tovel_mesk.fdr.rescore.EXCLUDED_FEATURES`, `exclude`).
    `method`: "lda" (built-in discriminant), "mokapot" or "hyperscore" (no training).
    `decoy_tag`: the tag in front of a decoy's protein accessions, which pairs each decoy
    protein with its target. `train_fdr`, `folds`, `seed`, `iterations`, `min_decoys` and
    `min_positives` steer the training (`tovel_mesk.fdr.rescore.rescore`). `chimera`: the
    matches come from a chimeric search, whose lower ranks are co-isolated peptides that
    compete rank by rank (see the module text); otherwise only rank 1 is counted. `fdr`:
    the level identifications are reported at, where a trained model must beat the best
    single feature and the fixed score to be kept, and the rate at which peptides are
    accepted to form protein groups. `protein_info`: descriptions, residues and FASTA order
    of the proteins, for the group table's description, coverage and leads (without it:
    empty descriptions, NaN coverage, leads by accession text).

    The result depends only on the set of rows, not on their order. Raises ValueError on a
    missing column or a bad label or rank, naming the first bad row.
    """
    check_options(method, train_fdr, folds)
    if not 0.0 < fdr < 1.0:
        raise ValueError(f"fdr must lie between 0 and 1, got {fdr!r}")
    require_columns(psms, ("file", "spec_id", "rank", "label", "peptide", "proteins", "hyperscore"))
    is_target, rank = labels_and_ranks(psms)
    order, spectrum, peptide_codes = canonical_order(psms, rank, is_target)
    target_sorted, rank_sorted = is_target[order], rank[order]
    best = rank_sorted == 1
    scores, report, predicted = rescore_sorted(
        psms, order, target_sorted, best, spectrum, method=method, train_fdr=train_fdr,
        folds=int(folds), seed=seed, iterations=iterations, min_decoys=min_decoys,
        min_positives=min_positives, fdr=fdr, exclude=exclude)
    decoy_sorted = ~target_sorted
    rank_sorted = rerank(spectrum, scores, rank_sorted)
    counted = counted_matches(spectrum, rank_sorted, peptide_codes, chimera)
    spectrum_q, pep = _by_rank(rank_sorted, counted, scores, decoy_sorted)

    # Peptides: the best counted match of each (peptide, label).
    peptide_key = peptide_codes * 2 + decoy_sorted
    best_index = np.flatnonzero(counted)
    winners = best_index[_first_of_groups(peptide_key[best_index], scores[best_index])]
    winner_q = tdc_qvalues(scores[winners], decoy_sorted[winners])
    q_of_key = np.ones(2 * int(peptide_codes.max(initial=0)) + 2)
    q_of_key[peptide_key[winners]] = winner_q
    peptide_q = np.where(counted, q_of_key[peptide_key], 1.0)

    # Back to the caller's order.
    filled = {}
    for name, values in (("rank", rank_sorted), ("discriminant_score", scores), ("posterior_error", pep),
                         ("spectrum_q", spectrum_q), ("peptide_q", peptide_q)):
        filled[name] = np.empty(len(order), dtype=values.dtype)
        filled[name][order] = values
    rank_dtype = psms["rank"].dtype
    if isinstance(rank_dtype, np.dtype) and rank_dtype.kind in "iu":
        filled["rank"] = filled["rank"].astype(rank_dtype)
    if not predicted:
        # No retention time model (too few confident matches): the core's placeholder values
        # would read as predictions, so the columns say "none".
        predicted = {name: np.full(len(order), np.nan) for name in ("predicted_rt", "delta_rt_model")
                     if name in psms.columns}
    for name, values in predicted.items():
        # In the dtype the match table declares for them (`tovel_mesk.columns.MATCH_DTYPES`).
        filled[name] = np.empty(len(order), dtype=psms[name].dtype if name in psms.columns else np.float32)
        filled[name][order] = values
    out = psms.copy(deep=False)
    for name, values in filled.items():
        out[name] = values

    winner_rows = out.iloc[order[winners]]
    best_target = counted & target_sorted & (spectrum_q <= fdr)
    spectra = pd.Series(peptide_codes[best_target]).value_counts()
    code_text = dict(zip(peptide_codes[winners].tolist(), winner_rows["peptide"].tolist()))
    accepted_spectra = {code_text[code]: int(n) for code, n in spectra.items() if code in code_text}
    grouped = group_confidence(
        winner_rows["peptide"].astype(str).tolist(), _proteins_text(winner_rows["proteins"]).tolist(),
        scores[winners], decoy_sorted[winners], winner_q <= fdr,
        sequences=winner_rows["sequence"].astype(str).tolist() if "sequence" in winner_rows.columns else None,
        spectra=accepted_spectra, decoy_tag=decoy_tag,
        descriptions=protein_info.descriptions if protein_info is not None else None,
        protein_sequences=protein_info.sequences if protein_info is not None else None,
        order=protein_info.order if protein_info is not None else None)
    counted_rows = np.empty(len(order), dtype=bool)
    counted_rows[order] = counted
    out["protein_q"] = np.where(counted_rows, _row_protein_q(psms["proteins"], ~is_target, grouped.protein_q), 1.0)

    peptide_rank = np.lexsort((np.arange(len(winners)), -scores[winners]))
    peptides = out.iloc[order[winners[peptide_rank]]].copy()
    peptides["posterior_error"] = posterior_errors(scores[winners], decoy_sorted[winners])[peptide_rank]
    return Confidence(psms=out, peptides=peptides, proteins=grouped.table, rescoring=report,
                      peptide_group=grouped.peptide_group, fdr=float(fdr))
