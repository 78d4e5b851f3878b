// Protein digestion: enzymes, modifications, and the de-duplicated, mass-ordered peptide
// list a search index is built from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fasta.hpp"
#include "peptide.hpp"

namespace mesk {

class WorkerPool;

enum class Enzyme : uint8_t { Trypsin, TrypsinP, LysC, LysN, ArgC, AspN, GluC, Chymotrypsin, NonSpecific };

// Names as written in settings, in Enzyme order: "trypsin", "trypsin/p", "lys-c", "lys-n",
// "arg-c", "asp-n", "glu-c", "chymotrypsin", "non-specific".
std::string_view enzyme_name(Enzyme enzyme);
// Case-insensitive; throws InvalidInput naming the text and listing the accepted names.
Enzyme parse_enzyme(std::string_view name);

// Whether the enzyme cuts the bond between residue `before` and residue `after`:
// trypsin after K or R unless P follows; trypsin/p after K or R; Lys-C after K unless P
// follows; Lys-N before K; Arg-C after R unless P follows; Asp-N before D; Glu-C after E
// unless P follows; chymotrypsin after F, W or Y unless P follows; non-specific always.
bool cleaves(Enzyme enzyme, char before, char after);

// Where a modification sits. With residue letters, a terminal place means "that residue
// when it is at the terminus" (Q@peptide-nterm); without, the terminus itself.
enum class Place : uint8_t { Residue, PeptideN, PeptideC, ProteinN, ProteinC };

struct Modification {
    uint32_t residues = 0;   // bit r: residue letter 'A' + r; none for a bare terminus
    Place place = Place::Residue;
    double mass = 0.0;       // daltons added
};

// "SITE:MASS": SITE is residue letters ("STY"), a terminus ("peptide-nterm",
// "peptide-cterm", "protein-nterm", "protein-cterm"), or letters at a terminus
// ("Q@peptide-nterm"); MASS a decimal number with an optional sign, not zero. Letters and
// terminus names are case-insensitive. Throws InvalidInput naming the text and saying
// what is accepted.
Modification parse_modification(std::string_view text);
// The text parse_modification reads back as `mod`: letters in alphabetical order, the
// terminus name in lower case, the mass with its sign in the shortest form that reads
// back to the same double.
std::string modification_text(const Modification &mod);

struct DigestSettings {
    Enzyme enzyme = Enzyme::Trypsin;
    unsigned missed_cleavages = 2;            // ignored by the non-specific mode
    size_t min_length = 7, max_length = 50;   // residues, both inclusive
    double min_mass = 500.0, max_mass = 5000.0;  // neutral monoisotopic daltons, both inclusive
    // Every fixed modification that applies to a place adds its mass there. Variable
    // modifications add on top: at most one per place, at most `max_variable_mods` per
    // peptide, every combination (none included) a peptide of its own.
    std::vector<Modification> fixed_mods;
    std::vector<Modification> variable_mods;
    unsigned max_variable_mods = 2;
    // Proteins starting with M are digested as read and also without that M (the next
    // residue is then the protein N-terminus).
    bool remove_initiator_met = true;
    DecoyMarkers decoy_markers{{"rev_", "DECOY_"}, {"_rev"}};
    bool drop_decoys = true;

    // Throws InvalidInput for a range that is empty or out of bounds.
    void validate() const;
};

// One modified place of a peptide of length L: slot 0 is the N-terminus, slot i + 1 the
// residue at position i, slot L + 1 the C-terminus.
struct SlotMod {
    uint16_t slot;
    float mass;
};

// Digested peptides, compact: peptide i is read through the accessors, or copied out as a
// Peptide record. Ascending by mass in the float total order; peptides of equal mass
// ordered by sequence bytes, then by modifications.
struct Digest {
    std::string residues;               // every peptide's letters, concatenated
    std::vector<size_t> residue_begin;  // peptide i: residues[residue_begin[i], residue_begin[i + 1])
    std::vector<float> masses;          // neutral monoisotopic, summed in double and rounded once
    std::vector<size_t> mod_begin;      // peptide i: mods[mod_begin[i], mod_begin[i + 1]), by slot
    std::vector<SlotMod> mods;
    std::vector<size_t> protein_begin;  // peptide i: protein_ids[protein_begin[i], protein_begin[i + 1])
    std::vector<uint32_t> protein_ids;  // positions in `accessions`, in file order
    std::vector<uint8_t> missed_cleavages;
    std::vector<uint8_t> decoy;         // 1 when every protein of the peptide is a decoy kept from the file
    std::vector<SharedText> accessions;
    size_t protein_count = 0;           // protein records digested
    size_t dropped_decoys = 0;          // decoy records left out
    size_t skipped = 0;                 // distinct sequences left out for a letter without mass (B, J, X, Z)

    size_t size() const { return masses.size(); }
    std::string_view sequence(size_t i) const {
        return std::string_view(residues).substr(residue_begin[i], residue_begin[i + 1] - residue_begin[i]);
    }
    size_t decoy_count() const;
    // The record the index is built from: modifications per residue, terminal masses,
    // protein accessions, decoy flag and missed cleavages.
    Peptide peptide(size_t i) const;
};

// Digests every protein on `pool`. Identical peptides (same sequence, same modifications)
// from several proteins, or several places of one, become one peptide listing each
// accession once. A peptide holding a letter without mass is left out and counted.
Digest digest_proteins(const FastaProteins &proteins, const DigestSettings &settings, WorkerPool &pool);

// Reads FASTA text (see read_fasta) and digests it.
Digest digest_fasta(std::string_view text, std::string_view source, const DigestSettings &settings, WorkerPool &pool);

}  // namespace mesk
