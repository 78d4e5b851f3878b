// Start masses and stepping of the fragment ion series.
#include "ion_series.hpp"

#include <string>

#include "failure.hpp"

namespace mesk {

float ion_start_mass(const Peptide &p, Kind kind) { return ion_start_mass(p.nterm, p.monoisotopic, kind); }

float ion_start_mass(std::optional<float> nterm, float monoisotopic, Kind kind) {
    const float n = nterm.value_or(0.0f);
    const float m = monoisotopic;
    switch (kind) {
        case Kind::A: return n + A_ION_OFFSET;
        case Kind::B: return n;
        case Kind::C: return n + C_ION_OFFSET;
        case Kind::X: return (m - n) + X_ION_OFFSET;
        case Kind::Y: return m - n;
        case Kind::Z: return (m - n) + (-C_ION_OFFSET);
    }
    throw Failure("unknown ion kind " + std::to_string(static_cast<int>(kind)));
}

IonSeries::IonSeries(const Peptide &p, Kind k) : peptide(&p), kind(k), ladder{ion_start_mass(p, k), is_n_terminal(k)} {}

std::optional<Ion> IonSeries::next() {
    const size_t length = peptide->length();
    if (length <= 1 || position >= length - 1) return std::nullopt;
    const size_t i = position;
    if (i >= peptide->modifications.size())
        throw Failure("no modification entry for residue " + std::to_string(i) + " of a peptide of " +
                      std::to_string(length) + " residues (" + std::to_string(peptide->modifications.size()) +
                      " entries)");
    const float mass = ladder.next(residue_step(static_cast<uint8_t>((*peptide->sequence)[i]), peptide->modifications[i]));
    position = i + 1;
    return Ion{kind, mass};
}

size_t count_fragments(const Peptide &peptide, size_t kind_count, size_t min_ion_index) {
    return count_fragments(peptide.length(), kind_count, min_ion_index);
}

size_t count_fragments(size_t length, size_t kind_count, size_t min_ion_index) {
    if (length < 2) return 0;
    const size_t ions = length - 1;  // ordinals 1 .. L-1, whichever end the series starts from
    return ions > min_ion_index ? (ions - min_ion_index) * kind_count : 0;
}

}  // namespace mesk
