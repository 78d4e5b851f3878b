// Protein records read from FASTA text held in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "peptide.hpp"

namespace mesk {

// Which accessions mark a decoy protein already present in the file: those that start
// with one of `prefixes` or end with one of `suffixes` (for example "rev_P12345" or
// "sp|P12345|NAME_rev").
struct DecoyMarkers {
    std::vector<std::string> prefixes;
    std::vector<std::string> suffixes;

    bool marks(std::string_view accession) const;
};

struct FastaProtein {
    uint32_t accession;      // position in FastaProteins::accessions
    size_t begin, end;       // its residues: residues[begin, end)
    size_t line;             // line of its header, counted from 1
    bool decoy;              // accession carries a decoy marker
};

// Every protein of a file, residues upper-cased and concatenated. Records with the same
// accession share one accession entry.
struct FastaProteins {
    std::string residues;
    std::vector<FastaProtein> proteins;
    std::vector<SharedText> accessions;
    size_t dropped_decoys = 0;   // decoy records left out (read with drop_decoys)
};

// Reads FASTA text: a record is a header line starting with '>', whose first word is the
// accession, followed by sequence lines. Lines end at LF (CRLF too), or at CR in a file
// without any LF; a UTF-8 byte-order mark at the start is skipped. Blank lines, lines
// starting with ';', spaces, carriage returns and lower case are tolerated; '*' is kept
// inside a sequence (no peptide spans it) and dropped at its end. Decoy records (by
// `markers`) are left out when `drop_decoys` is set. Throws InvalidInput naming `source` and
// the line for: empty text, sequence data before the first header, a header without
// accession, an accession that is not UTF-8 or holds ';' (the separator of accessions in the
// results) or a control character, any other character in a sequence, and a file without
// any residue (or only decoys, when they are dropped).
FastaProteins read_fasta(std::string_view text, std::string_view source, const DecoyMarkers &markers,
                         bool drop_decoys);

}  // namespace mesk
