// Theoretical fragment ions: the ion ladder, the one place their masses are computed, and
// the series of one kind walked along a peptide record or a stored peptide, with the usual
// ordinals.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "failure.hpp"
#include "peptide.hpp"
#include "peptide_store.hpp"
#include "tolerance.hpp"

namespace mesk {

struct Ion {
    Kind kind;
    float mass;  // neutral fragment mass
};

// Mass before the first step of a series: the N-terminal shift (0 when absent) plus the
// kind's offset for A, B, C; the whole peptide less that shift, plus the offset, for X, Y, Z.
float ion_start_mass(const Peptide &peptide, Kind kind);
float ion_start_mass(std::optional<float> nterm, float monoisotopic, Kind kind);

// The ion ladder of one series. From the start mass, each residue from the N-terminus
// takes one step (residue_step: its mass plus its modification), added to the running mass
// for N-terminal kinds and negated first for C-terminal ones, all in 32-bit arithmetic and
// in that order. Every fragment mass of the index, the search and the match features is
// this sum. `Mass` is float, or a vector of floats whose lanes each take the same steps.
template <class Mass>
struct IonLadder {
    Mass mass;  // the last ion; the start mass before the first step
    bool n_terminal;

    // The next ion, one residue further. (Taken and returned by reference, so that a
    // vector type crosses no call boundary.)
    [[gnu::always_inline]] inline const Mass &next(const Mass &step) {
        mass = n_terminal ? mass + step : mass + -step;
        return mass;
    }
};

inline IonLadder<float> ion_ladder(std::optional<float> nterm, float monoisotopic, Kind kind) {
    return {ion_start_mass(nterm, monoisotopic, kind), is_n_terminal(kind)};
}

// Walks a peptide record from its N-terminus, one ion per peptide bond.
struct IonSeries {
    const Peptide *peptide;
    Kind kind;
    size_t position = 0;
    IonLadder<float> ladder;

    IonSeries(const Peptide &peptide, Kind kind);

    // The next ion, or nothing once the series is finished. Throws Failure when the
    // peptide's modification list has no entry for the residue being consumed.
    std::optional<Ion> next();
};

// Calls visit(i, mass) for the ions of one kind along a peptide, i = 0 .. length - 2 from
// the N-terminus. Throws Failure when the modification list is shorter than the ions need
// (a stored peptide before its first ion, a record at the residue that lacks an entry).
template <class Visit>
void walk_ion_series(const PeptideView &peptide, Kind kind, Visit &&visit) {
    const size_t length = peptide.length();
    if (length <= 1) return;
    if (peptide.mod_count < length - 1)
        throw Failure("peptide of " + std::to_string(length) + " residues has " + std::to_string(peptide.mod_count) +
                      " modification entries; its fragment ions need " + std::to_string(length - 1));
    IonLadder<float> ladder = ion_ladder(peptide.nterm, peptide.monoisotopic, kind);
    ResidueSteps steps(peptide);
    for (size_t i = 0; i + 1 < length; ++i) visit(i, ladder.next(steps.next()));
}

template <class Visit>
void walk_ion_series(const Peptide &peptide, Kind kind, Visit &&visit) {
    IonSeries series(peptide, kind);
    for (size_t i = 0; const auto ion = series.next(); ++i) visit(i, ion->mass);
}

// Ordinal (number of residues) of the j-th ion (from 0) of a series over `length` residues.
constexpr uint32_t ion_ordinal(Kind kind, size_t j, size_t length) {
    return is_n_terminal(kind) ? static_cast<uint32_t>(j + 1) : static_cast<uint32_t>(length - 1 - j);
}

struct ListedIon {
    Kind kind;
    uint32_t ordinal;
    float mass;
};

// Every ion of every kind (in list order, a repeated kind walked again) whose ordinal
// exceeds `min_ion_index`, streamed to emit(ListedIon) in walk order: the ions an index
// lists for a peptide (a Peptide record or a stored PeptideView).
template <class AnyPeptide, class Emit>
void list_fragments(const AnyPeptide &peptide, const std::vector<Kind> &kinds, size_t min_ion_index, Emit &&emit) {
    const size_t length = peptide.length();
    for (Kind kind : kinds)
        walk_ion_series(peptide, kind, [&](size_t j, float mass) {
            const uint32_t ordinal = ion_ordinal(kind, j, length);
            if (ordinal > min_ion_index) emit(ListedIon{kind, ordinal, mass});
        });
}

// How many ions list_fragments would emit, without walking the masses.
size_t count_fragments(const Peptide &peptide, size_t kind_count, size_t min_ion_index);
// The same for a sequence of `length` residues.
size_t count_fragments(size_t length, size_t kind_count, size_t min_ion_index);

}  // namespace mesk
