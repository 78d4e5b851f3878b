// ProForma text and reported accessions of index peptides.
#include "peptide_labels.hpp"

#include <cstdio>

namespace mesk {

namespace {

// "[+15.9949]": the sign always written, four decimals, rounded from the stored value.
void append_mass(std::string &out, float mass) {
    char text[64];
    std::snprintf(text, sizeof text, "[%+.4f]", static_cast<double>(mass));
    out += text;
}

bool is_modified(const std::optional<float> &mass) { return mass && *mass != 0.0f; }

}  // namespace

std::string proforma(const Peptide &peptide) {
    const std::string_view seq = peptide.bytes();
    std::string out;
    out.reserve(seq.size() + 12);
    if (is_modified(peptide.nterm)) {
        append_mass(out, *peptide.nterm);
        out += '-';
    }
    for (size_t i = 0; i < seq.size(); ++i) {
        out += seq[i];
        if (i < peptide.modifications.size() && peptide.modifications[i] != 0.0f) append_mass(out, peptide.modifications[i]);
    }
    if (is_modified(peptide.cterm)) {
        out += '-';
        append_mass(out, *peptide.cterm);
    }
    return out;
}

std::vector<std::string> reported_accessions(const IndexedDatabase &db, size_t index) {
    const Peptide peptide = db.peptide_at(index);
    const bool tagged = peptide.decoy && db.generate_decoys;
    std::vector<std::string> out;
    out.reserve(peptide.proteins.size());
    for (const SharedText &accession : peptide.proteins) out.push_back(tagged ? db.decoy_tag + *accession : *accession);
    return out;
}

}  // namespace mesk
