// Theoretical fragment ions of one kind along one peptide, with the usual ordinals.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "peptide.hpp"
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

// Walks a peptide from its N-terminus, one ion per peptide bond. N-terminal kinds grow
// from their start mass by whole residues; C-terminal kinds shrink from the full peptide.
struct IonSeries {
    const Peptide *peptide;
    Kind kind;
    size_t position = 0;
    float cumulative_mass = 0.0f;

    IonSeries(const Peptide &peptide, Kind kind);

    // The next ion, or nothing once the series is finished. Throws Failure when the
    // peptide's modification list has no entry for the residue being consumed.
    std::optional<Ion> next();
};

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
// exceeds `min_ion_index`, streamed to emit(ListedIon) in walk order.
template <class Emit>
void list_fragments(const Peptide &peptide, const std::vector<Kind> &kinds, size_t min_ion_index, Emit &&emit) {
    const size_t length = peptide.length();
    for (Kind kind : kinds) {
        IonSeries series(peptide, kind);
        size_t j = 0;
        while (auto ion = series.next()) {
            const uint32_t ordinal = ion_ordinal(kind, j, length);
            if (ordinal > min_ion_index) emit(ListedIon{kind, ordinal, ion->mass});
            ++j;
        }
    }
}

// How many ions list_fragments would emit, without walking the masses.
size_t count_fragments(const Peptide &peptide, size_t kind_count, size_t min_ion_index);
// The same for a sequence of `length` residues.
size_t count_fragments(size_t length, size_t kind_count, size_t min_ion_index);

}  // namespace mesk
