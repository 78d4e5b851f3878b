"""Protein inference: protein groups from the accepted peptides, and their q-values.

Grouping (`parsimonious_groups`) works on a graph of proteins and the accepted peptides
they hold:

- Proteins that hold the same accepted peptides are one candidate; they are
  indistinguishable by the evidence.
- A candidate whose peptides are a strict subset of another candidate's can never be
  needed to explain a peptide; it is set aside.
- Of the remaining candidates, the fewest that together hold every accepted peptide
  become the groups (per connected part of the graph: an exhaustive search of the covers
  up to `EXACT_CANDIDATES` candidates, the usual greedy cover beyond, with redundant picks
  removed). Among covers of equal size the one holding the most peptide matches wins,
  then the one whose leads come first.
- Every protein set aside joins the group that holds the most of its peptides (a subset
  protein: the group that holds all of them), the group with the most evidence on a tie.
- A peptide held by one group is unique to it; a peptide held by several is shared and
  is counted, as a razor peptide, for the group with the most evidence: the most
  peptides, then the most accepted spectra, then the lead that comes first.

Group q-values (`group_confidence`) come from picked competition: each target group
meets its decoy group, made of the decoys of its proteins (accessions with the decoy tag
in front), and only the better one stays (a tie goes to the decoy). A group scores as the
best peptide of any of its proteins. Decoy proteins whose targets are in no group form
groups of their own, from the decoy peptides that score as well as accepted ones, and
win by default. q-values are decoys / targets among the winners, from the top.
"""

from __future__ import annotations

import itertools
import re
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass

import numpy as np
import pandas as pd

from .. import columns
from .qvalues import picked_competition, tdc_qvalues

__all__ = ["ProteinGroup", "parsimonious_groups", "GroupedProteins", "group_confidence", "sequence_coverage",
           "EXACT_CANDIDATES"]

#: Most candidates in one connected part of the graph for which the smallest cover is
#: found exhaustively; larger parts are covered greedily.
EXACT_CANDIDATES = 12


@dataclass(frozen=True)
class ProteinGroup:
    """One protein group.

    `members`: its accessions, the lead first, then the proteins indistinguishable from
    the lead, then the proteins that joined it. `peptides`: the peptides the lead holds
    (every one of them is accepted). `unique`: those no other group holds. `razor`: the
    shared ones counted for this group.
    """

    members: tuple[str, ...]
    peptides: frozenset[str]
    unique: frozenset[str]
    razor: frozenset[str]

    @property
    def lead(self) -> str:
        return self.members[0]


class _Candidate:
    """Proteins that hold the same peptides."""

    __slots__ = ("peptides", "proteins", "weight", "key")

    def __init__(self, peptides: frozenset[str], proteins: list[str], weight: float, key: tuple):
        self.peptides = peptides
        self.proteins = proteins
        self.weight = weight
        self.key = key


def parsimonious_groups(protein_peptides: Mapping[str, Iterable[str]], *,
                        spectra: Mapping[str, float] | None = None,
                        order: Callable[[str], object] | None = None) -> list[ProteinGroup]:
    """Protein groups that explain the peptides of `protein_peptides` (accession -> the
    accepted peptides it holds) with the fewest proteins (see the module text).

    `spectra`: accepted spectra per peptide, the second measure of a group's evidence
    (missing peptides count 0). `order`: a sort key of accessions that picks the lead
    among indistinguishable proteins and breaks the last ties (default: the accession
    text). Proteins without peptides are left out. Returns the groups in the order of
    their leads.
    """
    spectra = spectra or {}
    sort_key = order or (lambda accession: accession)
    by_set: dict[frozenset[str], list[str]] = {}
    for protein, peptides in protein_peptides.items():
        held = frozenset(peptides)
        if held:
            by_set.setdefault(held, []).append(protein)
    candidates = []
    for held, proteins in by_set.items():
        proteins.sort(key=lambda p: (sort_key(p), p))
        weight = float(sum(spectra.get(p, 0) for p in held))
        candidates.append(_Candidate(held, proteins, weight, (sort_key(proteins[0]), proteins[0])))
    candidates.sort(key=lambda c: c.key)

    holders: dict[str, list[int]] = {}
    for index, candidate in enumerate(candidates):
        for peptide in candidate.peptides:
            holders.setdefault(peptide, []).append(index)
    maximal = [index for index, candidate in enumerate(candidates) if not _is_subset(index, candidate, holders)]

    chosen: list[int] = []
    for part in _connected(maximal, candidates, holders):
        chosen.extend(_smallest_cover(part, candidates))
    chosen.sort(key=lambda index: candidates[index].key)

    def evidence(index: int) -> tuple:
        c = candidates[index]
        return (-len(c.peptides), -c.weight, c.key)

    # Proteins set aside join the group holding the most of their peptides.
    joined: dict[int, list[str]] = {index: [] for index in chosen}
    chosen_set = set(chosen)
    for index, candidate in enumerate(candidates):
        if index in chosen_set:
            continue
        overlap: dict[int, int] = {}
        for peptide in candidate.peptides:
            for holder in holders[peptide]:
                if holder in chosen_set:
                    overlap[holder] = overlap.get(holder, 0) + 1
        home = min(overlap, key=lambda g: (-overlap[g], *evidence(g)))
        joined[home].extend(candidate.proteins)

    # Shared peptides go, as razor peptides, to the holding group with the most evidence.
    owners: dict[str, list[int]] = {}
    for index in chosen:
        for peptide in candidates[index].peptides:
            owners.setdefault(peptide, []).append(index)
    razor_of: dict[int, set[str]] = {index: set() for index in chosen}
    for peptide, groups in owners.items():
        if len(groups) > 1:
            razor_of[min(groups, key=evidence)].add(peptide)

    out = []
    for index in chosen:
        c = candidates[index]
        others = sorted(joined[index], key=lambda p: (sort_key(p), p))
        unique = frozenset(p for p in c.peptides if len(owners[p]) == 1)
        out.append(ProteinGroup(tuple(c.proteins + others), c.peptides, unique, frozenset(razor_of[index])))
    return out


def _is_subset(index: int, candidate: _Candidate, holders: Mapping[str, list[int]]) -> bool:
    """Whether another candidate holds every peptide of `candidate` (and so more)."""
    common: set[int] | None = None
    for peptide in sorted(candidate.peptides, key=lambda p: len(holders[p])):
        present = set(holders[peptide])
        common = present if common is None else common & present
        common.discard(index)
        if not common:
            return False
    return bool(common)


def _connected(indices: Sequence[int], candidates: Sequence[_Candidate],
               holders: Mapping[str, list[int]]) -> list[list[int]]:
    """The candidates of `indices` in parts linked by shared peptides."""
    wanted = set(indices)
    parent = {index: index for index in indices}

    def root(i: int) -> int:
        while parent[i] != i:
            parent[i] = parent[parent[i]]
            i = parent[i]
        return i

    for index in indices:
        for peptide in candidates[index].peptides:
            for other in holders[peptide]:
                if other in wanted:
                    a, b = root(index), root(other)
                    if a != b:
                        parent[max(a, b)] = min(a, b)
    parts: dict[int, list[int]] = {}
    for index in indices:
        parts.setdefault(root(index), []).append(index)
    return list(parts.values())


def _smallest_cover(part: list[int], candidates: Sequence[_Candidate]) -> list[int]:
    """The fewest candidates of `part` that hold every peptide any of them holds.

    Candidates holding a peptide no other holds are in every cover; the smallest set of
    the others that holds the remaining peptides is searched exhaustively up to
    `EXACT_CANDIDATES` of them, greedily beyond. Peptides are bits of an int."""
    if len(part) == 1:
        return part
    part = sorted(part, key=lambda i: candidates[i].key)
    bits: dict[str, int] = {}
    masks = []
    for index in part:
        mask = 0
        for peptide in candidates[index].peptides:
            mask |= 1 << bits.setdefault(peptide, len(bits))
        masks.append(mask)
    sizes = [len(candidates[index].peptides) for index in part]
    once = twice = 0
    for mask in masks:
        twice |= once & mask
        once |= mask
    picked = [k for k, mask in enumerate(masks) if mask & once & ~twice]
    covered = 0
    for k in picked:
        covered |= masks[k]
    left = once & ~covered
    rest = [k for k, mask in enumerate(masks) if k not in picked and mask & left]
    if left and len(rest) <= EXACT_CANDIDATES:
        for size in range(1, len(rest) + 1):
            best: tuple[int, ...] | None = None
            for combo in itertools.combinations(rest, size):
                union = 0
                for k in combo:
                    union |= masks[k]
                # Among the smallest covers, the one holding the most peptide matches; the
                # first in the candidates' order on a tie.
                if union & left == left and (best is None or sum(sizes[k] for k in combo) >
                                             sum(sizes[k] for k in best)):
                    best = combo
            if best is not None:
                picked.extend(best)
                left = 0
                break
    if left:
        # Greedy: the candidate holding the most peptides not yet held, then drop the
        # picks that the others make redundant.
        greedy: list[int] = []
        while left:
            k = max(rest, key=lambda k: ((masks[k] & left).bit_count(), sizes[k], -k))
            greedy.append(k)
            left &= ~masks[k]
        for k in sorted(greedy, key=lambda k: (sizes[k], -k)):
            others = covered
            for j in greedy:
                if j != k:
                    others |= masks[j]
            if others == once:
                greedy.remove(k)
        picked.extend(greedy)
    return [part[k] for k in sorted(picked)]


# ----------------------------------------------------------------------------------------
# Coverage

_MODIFICATION = re.compile(r"\[[^\]]*\]-?|-(?=\[)")


def bare_sequence(peptide: str) -> str:
    """A ProForma peptide's residues, modifications left out."""
    return _MODIFICATION.sub("", peptide)


def sequence_coverage(protein: str, peptides: Iterable[str]) -> float:
    """Share of the residues of `protein` that lie within an occurrence of one of the
    (bare) `peptides`; NaN for a protein without residues."""
    if not protein:
        return float("nan")
    covered = np.zeros(len(protein), dtype=bool)
    for peptide in set(peptides):
        if not peptide:
            continue
        start = protein.find(peptide)
        while start >= 0:
            covered[start:start + len(peptide)] = True
            start = protein.find(peptide, start + 1)
    return float(covered.sum()) / len(protein)


# ----------------------------------------------------------------------------------------
# Groups of a search and their q-values


@dataclass(frozen=True)
class GroupedProteins:
    """The protein groups of a search.

    `table`: one row per target group, columns `tovel_mesk.columns.PROTEIN_TABLE`, by
    q-value, then best score first; `group` numbers them from 1 in that order.
    `protein_q`: (accession, decoy flag) -> the q-value of the protein's group (1 for a
    group that lost its competition). `peptide_group`: accepted target peptide -> the
    group it counts for (its only group, or the one it is a razor peptide of).
    """

    table: pd.DataFrame
    protein_q: pd.Series
    peptide_group: pd.Series


def _accessions(text: object) -> list[str]:
    if not isinstance(text, str) or not text:
        return []
    return [a for a in text.split(";") if a]


def _graph(peptides: Sequence[str], proteins: Sequence[object], keep: np.ndarray,
           strip: Callable[[str], str] = lambda a: a) -> dict[str, set[str]]:
    graph: dict[str, set[str]] = {}
    for peptide, text, wanted in zip(peptides, proteins, keep):
        if wanted:
            for accession in _accessions(text):
                graph.setdefault(strip(accession), set()).add(peptide)
    return graph


def _best_scores(proteins: Sequence[object], scores: np.ndarray, strip: Callable[[str], str]) -> dict[str, float]:
    best: dict[str, float] = {}
    for text, score in zip(proteins, scores.tolist()):
        for accession in _accessions(text):
            key = strip(accession)
            if score > best.get(key, -np.inf):
                best[key] = score
    return best


def group_confidence(peptides: Sequence[str], proteins: Sequence[object], scores, is_decoy, accepted, *,
                     sequences: Sequence[str] | None = None, spectra: Mapping[str, float] | None = None,
                     decoy_tag: str = "rev_", descriptions: Mapping[str, str] | None = None,
                     protein_sequences: Mapping[str, str] | None = None,
                     order: Mapping[str, int] | None = None) -> GroupedProteins:
    """Protein groups and their q-values from the best match of every peptide.

    One entry per peptide and label: `peptides` (ProForma), `proteins` (";"-joined
    accessions), `scores` (higher is better), `is_decoy`, and `accepted`: whether the
    peptide is accepted (target peptides form the groups; decoy peptides flagged the same
    way, by the same score threshold, form the decoys' own groups). `sequences`: the bare
    residues of each peptide (default: the ProForma text without modifications), for
    coverage. `spectra`: accepted spectra per target peptide. `decoy_tag`: the tag in front
    of a decoy's accessions. `descriptions` and `protein_sequences` (by accession) fill
    the description and coverage of the lead (empty text and NaN where missing); `order`
    (accession -> position in the FASTA) picks leads, by accession text otherwise.
    """
    scores = np.asarray(scores, dtype=np.float64)
    scores = np.where(np.isnan(scores), -np.inf, scores)
    is_decoy = np.asarray(is_decoy, dtype=bool)
    accepted = np.asarray(accepted, dtype=bool)
    peptides = list(peptides)
    proteins = list(proteins)
    bare = list(sequences) if sequences is not None else [bare_sequence(p) for p in peptides]
    spectra = spectra or {}
    descriptions = descriptions or {}
    protein_sequences = protein_sequences or {}
    positions = order or {}

    def sort_key(accession: str) -> tuple:
        return (positions.get(accession, len(positions)), accession)

    def untag(accession: str) -> str:
        return accession[len(decoy_tag):] if decoy_tag and accession.startswith(decoy_tag) else accession

    target = ~is_decoy
    groups = parsimonious_groups(_graph(peptides, proteins, accepted & target), spectra=spectra, order=sort_key)
    target_rows = np.flatnonzero(target)
    target_best = _best_scores([proteins[i] for i in target_rows], scores[target_rows], lambda a: a)
    decoy_rows = np.flatnonzero(is_decoy)
    decoy_best = _best_scores([proteins[i] for i in decoy_rows], scores[decoy_rows], untag)
    # The decoy accessions as the matches name them, by the target accession they mirror.
    tagged: dict[str, set[str]] = {}
    for i in decoy_rows:
        for accession in _accessions(proteins[i]):
            tagged.setdefault(untag(accession), set()).add(accession)

    # Entries of the competition: each target group, its decoy group, then the decoys'
    # own groups. Keys pair a group with its decoy.
    keys: list[int] = []
    entry_scores: list[float] = []
    entry_decoy: list[bool] = []
    mirrored: set[str] = set()
    for number, group in enumerate(groups):
        keys.append(number)
        entry_scores.append(max(target_best.get(m, -np.inf) for m in group.members))
        entry_decoy.append(False)
        decoy_score = max(decoy_best.get(m, -np.inf) for m in group.members)
        mirrored.update(group.members)
        if decoy_score > -np.inf:
            keys.append(number)
            entry_scores.append(decoy_score)
            entry_decoy.append(True)
    decoy_graph = {accession: held for accession, held
                   in _graph(peptides, proteins, accepted & is_decoy, untag).items() if accession not in mirrored}
    decoy_groups = parsimonious_groups(decoy_graph, order=sort_key)
    for number, group in enumerate(decoy_groups, start=len(groups)):
        keys.append(number)
        entry_scores.append(max(decoy_best.get(m, -np.inf) for m in group.members))
        entry_decoy.append(True)

    score_array = np.asarray(entry_scores, dtype=np.float64)
    decoy_array = np.asarray(entry_decoy, dtype=bool)
    won = picked_competition(np.asarray(keys, dtype=object), score_array, decoy_array)
    q = np.ones(len(keys))
    q[won] = tdc_qvalues(score_array[won], decoy_array[won])
    target_q = q[~decoy_array][:len(groups)]
    decoy_q = {key: value for key, value, decoy in zip(keys, q, decoy_array) if decoy}

    # The target groups, by q-value, then best score first.
    group_scores = score_array[~decoy_array][:len(groups)]
    ranked = sorted(range(len(groups)), key=lambda i: (target_q[i], -group_scores[i], sort_key(groups[i].lead)))
    rows = []
    peptide_group: dict[str, int] = {}
    bare_of = dict(zip(peptides, bare))
    for number, index in enumerate(ranked, start=1):
        group = groups[index]
        counted = group.unique | group.razor
        for peptide in counted:
            peptide_group[peptide] = number
        rows.append((number, ";".join(group.members), group.lead, descriptions.get(group.lead, ""),
                     len(group.unique), len(group.razor), int(sum(spectra.get(p, 0) for p in counted)),
                     sequence_coverage(protein_sequences.get(group.lead, ""), (bare_of[p] for p in group.peptides)),
                     float(target_q[index])))
    table = pd.DataFrame(rows, columns=list(columns.PROTEIN_TABLE))
    table = table.astype({"group": np.int64, "peptides_unique": np.int64, "peptides_razor": np.int64,
                          "spectra": np.int64, "coverage": np.float64, "q": np.float64})
    table["accessions"] = table["accessions"].astype(object)

    protein_q: dict[tuple[str, bool], float] = {}
    for index, group in enumerate(groups):
        for member in group.members:
            protein_q[(member, False)] = float(target_q[index])
            for name in tagged.get(member, ()):
                protein_q[(name, True)] = decoy_q.get(index, 1.0)
    for number, group in enumerate(decoy_groups, start=len(groups)):
        for member in group.members:
            for name in tagged.get(member, ()):
                protein_q[(name, True)] = decoy_q.get(number, 1.0)
    q_series = pd.Series(protein_q, dtype=np.float64)
    if len(q_series):
        q_series.index = q_series.index.set_names(["protein", "decoy"])
    return GroupedProteins(table, q_series, pd.Series(peptide_group, dtype=np.int64))
