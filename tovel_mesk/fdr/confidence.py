"""Error control of a search: a score per match, then q-values and posterior error
probabilities for spectra, peptides and proteins, over all the files of one call.

`assign_confidence` takes the match table of a search (columns in `tovel_mesk.columns`)
and returns it with the error control columns filled, plus the peptide and protein tables
and counts at a chosen FDR. How the levels compete:

- Ranks: rescoring reorders the matches of each spectrum. `rank` in the result is a
  match's place by `discriminant_score` (the search's rank breaks ties), so rank 1 is the
  spectrum's best match under the final score. With `method="hyperscore"` the order is the
  search's own.
- Spectra (`spectrum_q`): the matches of one rank compete with each other, one per
  spectrum; the q-value of rank 1, the best match, is the one to report. Rank r > 1
  matches get q-values among the rank r matches only, so they never dilute or borrow from
  the best matches.
- Peptides (`peptide_q`): the best match of each spectrum is taken, and for each
  peptide (by its `peptide` string, so each modified form counts on its own) its
  highest-scoring best match competes. Every row of that peptide gets that q-value; a
  peptide that is never a spectrum's best match gets 1.
- Proteins (`protein_q`): each protein scores as its best peptide (a peptide shared by
  several proteins counts for each). A protein and its decoy, whose accession is the
  protein's with the decoy tag in front, compete and only the better one stays (a tie goes
  to the decoy). A row gets the least q-value of its proteins; proteins that lost get 1.

q-values use decoys / targets (see `tovel_mesk.fdr.qvalues`). `posterior_error` in the
match table is the posterior error probability of the match among its rank; in the
peptide and protein tables it is that of the peptide and of the protein.
"""

from __future__ import annotations

from collections.abc import Iterable
from dataclasses import dataclass

import numpy as np
import pandas as pd

from .. import columns
from .matches import canonical_order, labels_and_ranks, require_columns
from .qvalues import picked_competition, posterior_errors, tdc_qvalues
from .rescore import Rescoring, check_options, rescore_sorted

__all__ = ["Confidence", "assign_confidence"]


@dataclass(frozen=True)
class Confidence:
    """Error control of one search.

    `psms`: the input match table, same rows, order and index, with `discriminant_score`,
    `posterior_error`, `spectrum_q`, `peptide_q` and `protein_q` filled (float64) and
    `rank` renumbered by `discriminant_score` within each spectrum.
    `peptides`: for every peptide (and label), its best match of rank 1, with all the
    match columns; `posterior_error` there is the peptide's. Best first.
    `proteins`: the winners of picked-protein competition, columns
    `tovel_mesk.columns.PROTEIN_TABLE`, best first.
    `rescoring`: how the scores were made (`tovel_mesk.fdr.rescore.Rescoring`).
    """

    psms: pd.DataFrame
    peptides: pd.DataFrame
    proteins: pd.DataFrame
    rescoring: Rescoring

    def counts(self, fdr: float = 0.01) -> pd.DataFrame:
        """Identifications per file at `fdr`, indexed by `file` (in `file_id` order when
        the table has it, else by name): `spectra` (best matches of targets with
        `spectrum_q` at most `fdr`), `peptides` (distinct target peptides with `peptide_q`
        at most `fdr` that are a best match in the file) and `proteins` (distinct target
        proteins with `protein_q` at most `fdr` with such a peptide in the file)."""
        best = self.psms[(self.psms["rank"] == 1) & (self.psms["label"] == 1)]
        files = _files_in_order(self.psms)
        spectra = best[best["spectrum_q"] <= fdr].groupby("file", sort=False).size()
        accepted = best[best["peptide_q"] <= fdr]
        peptides = accepted.groupby("file", sort=False)["peptide"].nunique()
        proteins = self._accepted_proteins(accepted[["file", "proteins"]], fdr)
        return pd.DataFrame({
            "spectra": spectra.reindex(files, fill_value=0),
            "peptides": peptides.reindex(files, fill_value=0),
            "proteins": proteins.groupby("file", sort=False)["protein"].nunique().reindex(files, fill_value=0),
        }, index=pd.Index(files, name="file")).astype(np.int64)

    def totals(self, fdr: float = 0.01) -> dict[str, int]:
        """Identifications of the whole call at `fdr`: spectra, distinct peptides and
        distinct proteins, counted as in `counts` but over all files together."""
        best = self.psms[(self.psms["rank"] == 1) & (self.psms["label"] == 1)]
        peptides = self.peptides
        proteins = self.proteins
        return {
            "spectra": int((best["spectrum_q"] <= fdr).sum()),
            "peptides": int(((peptides["label"] == 1) & (peptides["peptide_q"] <= fdr)).sum()),
            "proteins": int(((proteins["label"] == 1) & (proteins["protein_q"] <= fdr)).sum()),
        }

    def _accepted_proteins(self, rows: pd.DataFrame, fdr: float) -> pd.DataFrame:
        """(file, protein) pairs of accepted target proteins among `rows`' proteins."""
        accepted = self.proteins.loc[(self.proteins["label"] == 1) & (self.proteins["protein_q"] <= fdr), "protein"]
        pairs = rows.drop_duplicates()
        exploded = pairs.assign(protein=pairs["proteins"].astype(str).str.split(";")).explode("protein")
        return exploded[exploded["protein"].isin(set(accepted))]


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


def _by_rank(rank: np.ndarray, scores: np.ndarray, decoy: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """q-values and posterior error probabilities with each rank competing on its own."""
    q = np.ones(len(rank))
    pep = np.ones(len(rank))
    for value in np.unique(rank):
        index = np.flatnonzero(rank == value)
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


def _protein_level(winners: pd.DataFrame, score: np.ndarray, decoy: np.ndarray, decoy_tag: str) -> pd.DataFrame:
    """Picked-protein competition over the best match of every peptide (`winners`, with
    their `score` and `decoy` flags). Returns the winning proteins, best first, with the
    columns `tovel_mesk.columns.PROTEIN_TABLE`."""
    links = _accession_table(_proteins_text(winners["proteins"]), decoy)
    links["score"] = score[links["entry"].to_numpy()]
    counts = links.groupby(["protein", "decoy"])["entry"].nunique().rename("peptide_count")
    # Each protein's best peptide: highest score, then the earlier entry.
    top = (links.sort_values(["score", "entry"], ascending=[False, True], kind="stable")
           .drop_duplicates(["protein", "decoy"]).join(counts, on=["protein", "decoy"]))
    names = top["protein"].astype(str)
    is_decoy = top["decoy"].to_numpy(dtype=bool)
    tagged = is_decoy & names.str.startswith(decoy_tag).to_numpy(dtype=bool) if decoy_tag else False
    keys = np.where(tagged, names.str.slice(len(decoy_tag)), names)
    top = top[picked_competition(keys, top["score"], is_decoy)]
    scores = top["score"].to_numpy(np.float64)
    is_decoy = top["decoy"].to_numpy(bool)
    entry = top["entry"].to_numpy()
    table = pd.DataFrame({
        "protein": top["protein"].to_numpy(dtype=object),
        "label": np.where(is_decoy, -1, 1).astype(np.int64),
        "peptide_count": top["peptide_count"].to_numpy(np.int64),
        "peptide": winners["peptide"].to_numpy()[entry],
        "file": winners["file"].to_numpy()[entry],
        "spec_id": winners["spec_id"].to_numpy()[entry],
        "discriminant_score": scores,
        "posterior_error": posterior_errors(scores, is_decoy),
        "protein_q": tdc_qvalues(scores, is_decoy),
    }, columns=list(columns.PROTEIN_TABLE))
    order = np.lexsort((table["protein"].to_numpy(dtype=str), -np.nan_to_num(scores, nan=-np.inf)))
    return table.iloc[order].reset_index(drop=True)


def _row_protein_q(proteins: pd.Series, decoy: np.ndarray, table: pd.DataFrame) -> np.ndarray:
    """For every row, the least q-value among its proteins (1 when none of them won)."""
    text = _proteins_text(proteins)
    codes, _ = pd.factorize(text)
    _, first, inverse = np.unique(codes.astype(np.int64) * 2 + decoy, return_index=True, return_inverse=True)
    links = _accession_table(text[first], decoy[first])
    q_of = table.set_index(["protein", table["label"].to_numpy() < 0])["protein_q"]
    found = q_of.reindex(pd.MultiIndex.from_arrays([links["protein"], links["decoy"]])).to_numpy()
    least = pd.Series(found, dtype=np.float64).groupby(links["entry"].to_numpy()).min()
    per_entry = np.ones(len(first))
    per_entry[least.index.to_numpy()] = least.fillna(1.0).to_numpy()
    return per_entry[inverse.ravel()]


def assign_confidence(psms: pd.DataFrame, *, method: str = "lda", decoy_tag: str = "rev_",
                      train_fdr: float = 0.01, folds: int = 3, seed: int = 1, iterations: int = 10,
                      min_decoys: int = 50, min_positives: int = 20,
                      exclude: Iterable[str] = ()) -> Confidence:
    """Rescores the matches of one search and estimates their error rates at the spectrum,
    peptide and protein levels (see the module text for how each level competes).

    `psms`: one row per match, with at least `file`, `spec_id`, `rank`, `label`,
    `peptide`, `proteins` and `hyperscore`; every other numeric column is a candidate
    feature unless excluded (`tovel_mesk.fdr.rescore.EXCLUDED_FEATURES`, `exclude`).
    `method`: "lda" (built-in discriminant), "mokapot" or "hyperscore" (no training).
    `decoy_tag`: the tag in front of a decoy's protein accessions, which pairs each decoy
    protein with its target. `train_fdr`, `folds`, `seed`, `iterations`, `min_decoys` and
    `min_positives` steer the training (`tovel_mesk.fdr.rescore.rescore`).

    The result depends only on the set of rows, not on their order. Raises ValueError on a
    missing column or a bad label or rank, naming the first bad row.
    """
    check_options(method, train_fdr, folds)
    require_columns(psms, ("file", "spec_id", "rank", "label", "peptide", "proteins", "hyperscore"))
    is_target, rank = labels_and_ranks(psms)
    order, spectrum, peptide_codes = canonical_order(psms, rank, is_target)
    target_sorted, rank_sorted = is_target[order], rank[order]
    best = rank_sorted == 1
    scores, report = rescore_sorted(
        psms, order, target_sorted, best, spectrum, method=method, train_fdr=train_fdr,
        folds=int(folds), seed=seed, iterations=iterations, min_decoys=min_decoys,
        min_positives=min_positives, exclude=exclude)
    decoy_sorted = ~target_sorted
    rank_sorted = rerank(spectrum, scores, rank_sorted)
    best = rank_sorted == 1
    spectrum_q, pep = _by_rank(rank_sorted, scores, decoy_sorted)

    # Peptides: the best rank-1 match of each (peptide, label).
    peptide_key = peptide_codes * 2 + decoy_sorted
    best_index = np.flatnonzero(best)
    winners = best_index[_first_of_groups(peptide_key[best_index], scores[best_index])]
    winner_q = tdc_qvalues(scores[winners], decoy_sorted[winners])
    q_of_key = np.ones(2 * int(peptide_codes.max(initial=0)) + 2)
    q_of_key[peptide_key[winners]] = winner_q
    peptide_q = q_of_key[peptide_key]

    # Back to the caller's order.
    filled = {}
    for name, values in (("rank", rank_sorted), ("discriminant_score", scores), ("posterior_error", pep),
                         ("spectrum_q", spectrum_q), ("peptide_q", peptide_q)):
        filled[name] = np.empty(len(order), dtype=values.dtype)
        filled[name][order] = values
    rank_dtype = psms["rank"].dtype
    if isinstance(rank_dtype, np.dtype) and rank_dtype.kind in "iu":
        filled["rank"] = filled["rank"].astype(rank_dtype)
    out = psms.copy(deep=False)
    for name, values in filled.items():
        out[name] = values

    peptides = out.iloc[order[winners]]
    proteins = _protein_level(peptides, scores[winners], decoy_sorted[winners], decoy_tag)
    out["protein_q"] = _row_protein_q(psms["proteins"], ~is_target, proteins)

    peptide_rank = np.lexsort((np.arange(len(winners)), -scores[winners]))
    peptides = out.iloc[order[winners[peptide_rank]]].copy()
    peptides["posterior_error"] = posterior_errors(scores[winners], decoy_sorted[winners])[peptide_rank]
    return Confidence(psms=out, peptides=peptides, proteins=proteins, rescoring=report)
