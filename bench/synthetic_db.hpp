// Deterministic synthetic search data for the benchmarks: random proteins with natural
// residue frequencies, their tryptic peptides sorted by mass, and simulated spectra.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "index_build.hpp"
#include "peptide.hpp"
#include "spectrum.hpp"

namespace synthetic {

// splitmix64: small, fast and the same on every platform.
struct Rng {
    uint64_t state;
    uint64_t next() {
        uint64_t z = (state += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    double uniform() { return double(next() >> 11) * 0x1.0p-53; }
    double normal() {  // Box-Muller
        const double u = 1.0 - uniform(), v = uniform();
        return std::sqrt(-2.0 * std::log(u)) * std::cos(6.283185307179586 * v);
    }
};

// Amino-acid frequencies of natural proteins, in percent.
inline constexpr struct {
    char residue;
    double percent;
} kFrequencies[] = {{'A', 8.25}, {'R', 5.53}, {'N', 4.06}, {'D', 5.45}, {'C', 1.37}, {'Q', 3.93}, {'E', 6.75},
                    {'G', 7.07}, {'H', 2.27}, {'I', 5.96}, {'L', 9.66}, {'K', 5.84}, {'M', 2.42}, {'F', 3.86},
                    {'P', 4.70}, {'S', 6.56}, {'T', 5.34}, {'W', 1.08}, {'Y', 2.92}, {'V', 6.87}};

inline constexpr double kWater = 18.010565;
inline constexpr double kCarbamidomethyl = 57.021464;

inline std::string random_protein(Rng &rng, const std::vector<double> &cumulative) {
    const size_t length = 100 + rng.next() % 701;  // mean 450
    std::string s(length, 'A');
    for (char &c : s) {
        const double u = rng.uniform() * cumulative.back();
        size_t k = 0;
        while (cumulative[k] < u) ++k;
        c = kFrequencies[k].residue;
    }
    return s;
}

// Fixed carbamidomethyl cysteine; mass = residues + modifications + water.
inline mesk::Peptide make_tryptic_peptide(const std::string &seq) {
    double mass = kWater;
    std::vector<float> mods(seq.size(), 0.0f);
    for (size_t i = 0; i < seq.size(); ++i) {
        mass += double(mesk::residue_mass(uint8_t(seq[i])));
        if (seq[i] == 'C') {
            mods[i] = float(kCarbamidomethyl);
            mass += kCarbamidomethyl;
        }
    }
    return mesk::make_peptide(seq, float(mass), std::move(mods), std::nullopt, std::nullopt);
}

// Tryptic digest: cleave after K or R unless P follows; up to two missed cleavages;
// lengths 7 to 50.
inline void digest(const std::string &protein, std::vector<mesk::Peptide> &out) {
    std::vector<size_t> cuts = {0};
    for (size_t i = 0; i + 1 < protein.size(); ++i)
        if ((protein[i] == 'K' || protein[i] == 'R') && protein[i + 1] != 'P') cuts.push_back(i + 1);
    cuts.push_back(protein.size());
    for (size_t a = 0; a + 1 < cuts.size(); ++a) {
        for (size_t missed = 0; missed <= 2 && a + 1 + missed < cuts.size(); ++missed) {
            const size_t begin = cuts[a], end = cuts[a + 1 + missed];
            const size_t len = end - begin;
            if (len >= 7 && len <= 50) {
                out.push_back(make_tryptic_peptide(protein.substr(begin, len)));
                out.back().missed_cleavages = uint8_t(missed);
            }
        }
    }
}

// The target peptides of `proteins` random proteins, ascending by mass.
inline std::vector<mesk::Peptide> generate(size_t proteins) {
    Rng rng{20240611};
    std::vector<double> cumulative;
    double sum = 0;
    for (const auto &f : kFrequencies) cumulative.push_back(sum += f.percent);
    std::vector<mesk::Peptide> peptides;
    for (size_t p = 0; p < proteins; ++p) digest(random_protein(rng, cumulative), peptides);
    std::sort(peptides.begin(), peptides.end(), [](const mesk::Peptide &a, const mesk::Peptide &b) {
        if (a.monoisotopic != b.monoisotopic) return a.monoisotopic < b.monoisotopic;
        return a.bytes() < b.bytes();
    });
    return peptides;
}

// The benchmarks' index: b and y ions above ordinal 2, buckets of 8192, decoys.
inline mesk::BuildConfig index_config() {
    mesk::BuildConfig config;
    config.ion_kinds = {mesk::Kind::B, mesk::Kind::Y};
    config.decoy_tag = "rev_";
    config.bucket_size = 8192;
    config.min_ion_index = 2;
    config.peptide_min_mass = 500.0f;
    config.peptide_max_mass = 5000.0f;
    config.generate_decoys = true;
    return config;
}

// A spectrum of `peptide` at precursor `charge`: b and y ions at fragment charges 1 up to
// min(2, charge - 1), 80% of them kept, 3 ppm mass noise, then noise peaks up to `peaks`.
// Peak values are neutral fragment masses divided by the charge (m/z less one proton).
inline mesk::ProcessedSpectrum simulate(Rng &rng, const mesk::Peptide &peptide, uint8_t charge, size_t peaks,
                                        std::string id) {
    mesk::ProcessedSpectrum s;
    s.id = std::move(id);
    const size_t n = peptide.length();
    const unsigned max_charge = std::min<unsigned>(2, std::max<unsigned>(charge, 2) - 1);
    double b = peptide.nterm.value_or(0.0f);
    for (size_t i = 0; i + 1 < n; ++i) {
        b += double(mesk::residue_mass(uint8_t(peptide.bytes()[i]))) + peptide.modifications[i];
        const double y = double(peptide.monoisotopic) - b;
        for (unsigned c = 1; c <= max_charge; ++c)
            for (double f : {b, y})
                if (rng.uniform() < 0.8)
                    s.peaks.push_back({float(std::exp(8.0 + 0.8 * rng.normal()) / c),
                                       float(f / c * (1.0 + 3e-6 * rng.normal()))});
    }
    const double top = std::max(200.0, double(peptide.monoisotopic));
    while (s.peaks.size() < peaks)
        s.peaks.push_back({float(std::exp(6.0 + 0.7 * rng.normal())), float(100.0 + rng.uniform() * (top - 100.0))});
    std::sort(s.peaks.begin(), s.peaks.end(), [](const mesk::Peak &x, const mesk::Peak &y) { return x.mass < y.mass; });
    float tic = 0.0f;
    for (const mesk::Peak &p : s.peaks) tic += p.intensity;
    s.total_ion_current = tic;
    s.precursors.push_back({peptide.monoisotopic / float(charge) + mesk::PROTON_MASS, charge, std::nullopt,
                            std::nullopt, std::nullopt});
    return s;
}

}  // namespace synthetic
