// How a match names its peptide: ProForma text, and the protein accessions it reports.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "database.hpp"
#include "peptide.hpp"

namespace mesk {

// ProForma text of a peptide, every modification written as a signed mass with four
// decimals after the residue or terminus it sits on: "PEPM[+15.9949]K",
// "[+42.0106]-ACDK", "ACDK-[-0.9840]". Fixed modifications are written like variable
// ones; places whose mass is zero are not written. Residue positions without an entry in
// `modifications` count as unmodified.
std::string proforma(const Peptide &peptide);

// The accessions reported for index peptide `index` (below db.peptide_count()): the
// peptide's accessions, each preceded by db.decoy_tag when the peptide is a decoy the
// index made itself (db.generate_decoys). Decoys kept from a FASTA file already carry their
// file's marker and are reported as they are.
std::vector<std::string> reported_accessions(const IndexedDatabase &db, size_t index);

}  // namespace mesk
