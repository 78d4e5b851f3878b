// FASTA reading, enzymes, modification syntax, digestion and the labels of index peptides.
#include <cmath>
#include <set>
#include <string>
#include <vector>

#include "check.hpp"
#include "digest.hpp"
#include "failure.hpp"
#include "index_build.hpp"
#include "peptide_labels.hpp"
#include "thread_pool.hpp"

using namespace mesk;

namespace {

const DecoyMarkers MARKERS{{"rev_"}, {"_rev"}};

// The message of the InvalidInput that `f` throws, or "" when it throws none.
template <class F>
std::string invalid_input(F f) {
    try {
        f();
    } catch (const InvalidInput &e) {
        return e.what();
    }
    return "";
}

bool contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

WorkerPool &pool() {
    static WorkerPool p(2);
    return p;
}

DigestSettings plain(Enzyme enzyme = Enzyme::Trypsin) {
    DigestSettings s;
    s.enzyme = enzyme;
    s.missed_cleavages = 0;
    s.min_length = 1;
    s.max_length = 100;
    s.min_mass = 0.0;
    s.max_mass = 1e5;
    s.remove_initiator_met = false;
    return s;
}

Digest run(const std::string &fasta, const DigestSettings &s, WorkerPool &workers = pool()) {
    return digest_fasta(fasta, "test.fasta", s, workers);
}

// "SEQ" or "SEQ{slot:mass,...}" for every peptide, in digest order.
std::vector<std::string> listing(const Digest &d) {
    std::vector<std::string> out;
    for (size_t i = 0; i < d.size(); ++i) {
        std::string text(d.sequence(i));
        for (size_t k = d.mod_begin[i]; k < d.mod_begin[i + 1]; ++k) {
            text += k == d.mod_begin[i] ? '{' : ',';
            text += std::to_string(d.mods[k].slot);
            text += ':';
            text += std::to_string(static_cast<int>(std::lround(d.mods[k].mass)));
        }
        if (d.mod_begin[i + 1] > d.mod_begin[i]) text += "}";
        out.push_back(text);
    }
    return out;
}

// Items separated by spaces, for messages that show what differed.
std::string joined(const std::vector<std::string> &items) {
    std::string out;
    for (const std::string &item : items) out += (out.empty() ? "" : " ") + item;
    return out;
}

std::set<std::string> sequences(const Digest &d) {
    std::set<std::string> out;
    for (size_t i = 0; i < d.size(); ++i) out.emplace(d.sequence(i));
    return out;
}

}  // namespace

TEST(fasta_records_tolerate_layout_and_case) {
    const std::string text =
        "; a comment\r\n\r\n>  sp|P1|ONE_HUMAN First protein\r\nmkwv\r\n  TF is\r\n\n>P2\nAC*DE**\n>P3 empty\n>sp|P1|ONE_HUMAN again\nGG\n";
    const FastaProteins f = read_fasta(text, "x.fasta", MARKERS, true);
    CHECK_EQ(f.proteins.size(), size_t{4});
    CHECK_EQ(f.accessions.size(), size_t{3});  // the repeated accession is one entry
    CHECK_EQ(*f.accessions[0], std::string("sp|P1|ONE_HUMAN"));
    auto residues = [&](size_t i) { return f.residues.substr(f.proteins[i].begin, f.proteins[i].end - f.proteins[i].begin); };
    CHECK_EQ(residues(0), std::string("MKWVTFIS"));
    CHECK_EQ(residues(1), std::string("AC*DE"));  // trailing stars dropped, inner one kept
    CHECK_EQ(residues(2), std::string(""));
    CHECK_EQ(f.proteins[3].accession, uint32_t{0});
    CHECK_EQ(f.proteins[1].line, size_t{7});
}

TEST(fasta_decoy_records_are_dropped_or_flagged) {
    const std::string text = ">rev_P1\nAAAK\n>P2\nCCCK\n>sp|P3|X_rev\nDDDK\n";
    const FastaProteins dropped = read_fasta(text, "x", MARKERS, true);
    CHECK_EQ(dropped.proteins.size(), size_t{1});
    CHECK_EQ(dropped.dropped_decoys, size_t{2});
    CHECK_EQ(dropped.residues, std::string("CCCK"));
    const FastaProteins kept = read_fasta(text, "x", MARKERS, false);
    CHECK_EQ(kept.proteins.size(), size_t{3});
    CHECK(kept.proteins[0].decoy && !kept.proteins[1].decoy && kept.proteins[2].decoy);
    CHECK(!DecoyMarkers{}.marks("rev_P1"));
    CHECK(contains(invalid_input([&] { read_fasta(">rev_P1\nAAAK\n", "d.fasta", MARKERS, true); }),
                   "d.fasta: every protein is a decoy"));
}

TEST(fasta_errors_name_file_and_line) {
    auto error = [](const std::string &text) {
        return invalid_input([&] { read_fasta(text, "in.fasta", MARKERS, true); });
    };
    CHECK(contains(error(""), "in.fasta: the file is empty"));
    CHECK(contains(error(" \n\r\n\n"), "in.fasta: the file is empty"));
    CHECK(contains(error("\nPEPTIDE\n>P1\nAAA\n"), "in.fasta, line 2: sequence data before the first header line"));
    CHECK(contains(error(">P1\nAAA\n>   \nKKK\n"), "in.fasta, line 3: header line without an accession"));
    CHECK(contains(error(">P1\nAAA\nAC1D\n"), "in.fasta, line 3: unexpected character '1' in the sequence of protein P1"));
    CHECK(contains(error(">P1\nAA\x01"), "unexpected character 0x01"));
    CHECK(contains(error(">P\xff\x01\nAAA\n"), "line 1: the accession is not valid UTF-8"));
    CHECK(contains(error(">P1\n>P2\n"), "no protein holds any residue"));
    CHECK(error(">P\xc3\xa9\nAAA\n").empty());  // UTF-8 accession
}

TEST(fasta_line_ends_and_byte_order_mark) {
    const std::string lf = ">P1 one\nMKWV\nTFIS\n>P2\nAAAK\n";
    auto same_as_lf = [&](const std::string &text) {
        const FastaProteins a = read_fasta(lf, "x", MARKERS, true), b = read_fasta(text, "x", MARKERS, true);
        CHECK_EQ(b.residues, a.residues);
        CHECK_EQ(b.proteins.size(), a.proteins.size());
        for (size_t i = 0; i < a.proteins.size() && i < b.proteins.size(); ++i) {
            CHECK_EQ(b.proteins[i].line, a.proteins[i].line);
            CHECK_EQ(*b.accessions[b.proteins[i].accession], *a.accessions[a.proteins[i].accession]);
        }
    };
    same_as_lf(">P1 one\r\nMKWV\r\nTFIS\r\n>P2\r\nAAAK\r\n");   // CRLF
    same_as_lf(">P1 one\rMKWV\rTFIS\r>P2\rAAAK\r");             // CR only
    same_as_lf("\xEF\xBB\xBF" + lf);                                // byte-order mark
    same_as_lf("\xEF\xBB\xBF>P1 one\rMKWV\rTFIS\r>P2\rAAAK");    // both, no final line end
    // Only a leading mark is skipped; elsewhere it is no residue.
    CHECK(contains(invalid_input([&] { read_fasta(">P1\n\xEF\xBB\xBF" "AAAK\n", "b.fasta", MARKERS, true); }),
                   "b.fasta, line 2: unexpected character 0xEF"));
    CHECK(contains(invalid_input([&] { read_fasta("\r\r", "e.fasta", MARKERS, true); }), "the file is empty"));
}

TEST(fasta_accessions_that_would_break_the_results_are_refused) {
    auto error = [](const std::string &text) {
        return invalid_input([&] { read_fasta(text, "in.fasta", MARKERS, true); });
    };
    CHECK(contains(error(">P1\nAAAK\n>P2;P3 two\nCCCK\n"),
                   "in.fasta, line 3: the accession 'P2;P3' holds ';', which separates"));
    CHECK(contains(error(">P1\x01P2 x\nAAAK\n"), "line 1: the accession 'P1\\x01P2' holds the control character 0x01"));
    CHECK(contains(error(">P1\x7F\nAAAK\n"), "holds the control character 0x7F"));
    CHECK(contains(error(">P1\xC2\x85\nAAAK\n"), "'P1\\u0085' holds the control character U+0085"));
    CHECK(contains(error(">" + std::string(100, 'A') + ";\nAAAK\n"), "'" + std::string(60, 'A') + "...'"));
    // A message is cut between characters, never inside one.
    CHECK(contains(error(">" + std::string(59, 'A') + "\xC3\xA9;\nAAAK\n"), "'" + std::string(59, 'A') + "...'"));
    // Tabs, form feeds and CR end the accession; control bytes after it (in the description,
    // as in merged NCBI headers) and ';' there are read as before.
    const FastaProteins f = read_fasta(">P1\tdesc; more\x01P9 other\nAAAK\n>P2\fx\nCCCK\n>P3\r\nDDDK\n", "x", MARKERS, true);
    CHECK_EQ(*f.accessions[0], std::string("P1"));
    CHECK_EQ(*f.accessions[1], std::string("P2"));
    CHECK_EQ(*f.accessions[2], std::string("P3"));
    CHECK(error(">sp|P\xc3\xa9|X_HUMAN\nAAA\n").empty());
}

TEST(enzymes_cut_where_their_rules_say) {
    const std::string protein = ">P\nAKPDRKEPFWYGRPDK\n";
    auto peptides = [&](Enzyme e) { return sequences(run(protein, plain(e))); };
    using S = std::set<std::string>;
    CHECK(peptides(Enzyme::Trypsin) == (S{"AKPDR", "K", "EPFWYGRPDK"}));
    CHECK(peptides(Enzyme::TrypsinP) == (S{"AK", "PDR", "K", "EPFWYGR", "PDK"}));
    CHECK(peptides(Enzyme::LysC) == (S{"AKPDRK", "EPFWYGRPDK"}));
    CHECK(peptides(Enzyme::LysN) == (S{"A", "KPDR", "KEPFWYGRPD", "K"}));
    CHECK(peptides(Enzyme::ArgC) == (S{"AKPDR", "KEPFWYGRPDK"}));
    CHECK(peptides(Enzyme::AspN) == (S{"AKP", "DRKEPFWYGRP", "DK"}));
    CHECK(peptides(Enzyme::GluC) == (S{"AKPDRKEPFWYGRPDK"}));  // E before P: no cut
    CHECK(sequences(run(">P\nAEGEP\n", plain(Enzyme::GluC))) == (S{"AE", "GEP"}));
    CHECK(peptides(Enzyme::Chymotrypsin) == (S{"AKPDRKEPF", "W", "Y", "GRPDK"}));
    S substrings;
    for (size_t b = 0; b < 16; ++b)
        for (size_t e = b + 1; e <= 16; ++e) substrings.insert(std::string("AKPDRKEPFWYGRPDK").substr(b, e - b));
    CHECK(peptides(Enzyme::NonSpecific) == substrings);
    CHECK(parse_enzyme(" Trypsin/P ") == Enzyme::TrypsinP);
    const std::string error = invalid_input([] { parse_enzyme("pepsin"); });
    CHECK(contains(error, "unknown enzyme 'pepsin'; accepted: trypsin, trypsin/p, lys-c"));
    CHECK(contains(error, "non-specific"));
}

TEST(missed_cleavages_length_and_mass_ranges) {
    DigestSettings s = plain();
    s.missed_cleavages = 1;
    const Digest d = run(">P\nAAKGGRCCK\n", s);
    CHECK(sequences(d) == (std::set<std::string>{"AAK", "GGR", "CCK", "AAKGGR", "GGRCCK"}));
    for (size_t i = 0; i < d.size(); ++i) CHECK_EQ(d.missed_cleavages[i], static_cast<uint8_t>(d.sequence(i).size() == 6 ? 1 : 0));
    s.min_length = 4;
    s.max_length = 6;
    CHECK(sequences(run(">P\nAAKGGRCCK\n", s)) == (std::set<std::string>{"AAKGGR", "GGRCCK"}));
    // Both mass bounds are inclusive: GGR weighs 18.0105646837 + 2 * 57.021463735 + 156.101111050.
    const double ggr = 18.0105646837 + 57.021463735 + 57.021463735 + 156.101111050;
    s = plain();
    s.min_mass = s.max_mass = ggr;
    const Digest exact = run(">P\nAAKGGRCCK\n", s);
    CHECK_EQ(joined(listing(exact)), std::string("GGR"));
    CHECK_BITS(exact.masses[0], static_cast<float>(ggr));
    s.min_mass = s.max_mass = std::nextafter(ggr, 1e9);
    CHECK_EQ(run(">P\nAAKGGRCCK\n", s).size(), size_t{0});
}

TEST(initiator_methionine_is_removed_as_well_as_kept) {
    DigestSettings s = plain();
    s.remove_initiator_met = true;
    s.variable_mods = {parse_modification("protein-nterm:+42")};
    CHECK_EQ(joined(listing(run(">P\nMAAKGGK\n", s))), std::string("GGK AAK AAK{0:42} MAAK MAAK{0:42}"));
    s.missed_cleavages = 1;
    const Digest d = run(">P\nMAAKGGK\n", s);
    CHECK(sequences(d).count("AAKGGK") == 1);
    CHECK(sequences(d).count("MAAKGGK") == 1);
    s.remove_initiator_met = false;
    CHECK(sequences(run(">P\nMAAKGGK\n", s)).count("AAK") == 0);
}

TEST(modification_syntax) {
    const Modification ox = parse_modification("M:+15.9949");
    CHECK_EQ(ox.residues, uint32_t{1} << ('M' - 'A'));
    CHECK(ox.place == Place::Residue);
    CHECK_EQ(ox.mass, 15.9949);
    const Modification phospho = parse_modification(" sty : 79.966331 ");
    CHECK_EQ(phospho.residues, (uint32_t{1} << ('S' - 'A')) | (uint32_t{1} << ('T' - 'A')) | (uint32_t{1} << ('Y' - 'A')));
    const Modification ac = parse_modification("Protein-NTerm:+42.010565");
    CHECK(ac.place == Place::ProteinN && ac.residues == 0);
    const Modification pyro = parse_modification("Q@peptide-nterm:-17.026549");
    CHECK(pyro.place == Place::PeptideN && pyro.residues == (uint32_t{1} << ('Q' - 'A')));
    CHECK_EQ(pyro.mass, -17.026549);
    for (const char *bad : {"M+15.99", "M:", "M:abc", "M:+-1", "M:0", "M:nan", "M:1e9", "1:+5", "@peptide-nterm:+1",
                            "Q@middle:+1", ":+1", "peptide-nterm@Q:+1", "M:15.99x"}) {
        const std::string error = invalid_input([&] { parse_modification(bad); });
        CHECK(contains(error, std::string("bad modification '") + bad + "'"));
        CHECK(contains(error, "Write SITE:MASS"));
    }
}

TEST(modification_text_reads_back_as_the_same_modification) {
    for (const char *text : {"M:+15.9949", "sty:79.966331", "Protein-NTerm:+42.010565", "Q@peptide-nterm:-17.026549",
                             "peptide-cterm:+0.984016", "KC@protein-cterm:+100", "C:+57.021464", "M:-0.1"}) {
        const Modification mod = parse_modification(text);
        const std::string written = modification_text(mod);
        const Modification back = parse_modification(written);
        CHECK(back.residues == mod.residues && back.place == mod.place);
        CHECK_BITS(back.mass, mod.mass);
    }
    CHECK_EQ(modification_text(parse_modification("yts:79.966331")), std::string("STY:+79.966331"));
    CHECK_EQ(modification_text(parse_modification("Q@Peptide-NTerm:-17.026549")),
             std::string("Q@peptide-nterm:-17.026549"));
    CHECK_EQ(modification_text(parse_modification("protein-cterm:+1")), std::string("protein-cterm:+1"));
}

TEST(modifications_at_residues_and_termini) {
    DigestSettings s = plain();
    s.fixed_mods = {parse_modification("C:+57"), parse_modification("peptide-cterm:+1"),
                    parse_modification("K@protein-cterm:+100")};
    s.variable_mods = {parse_modification("C:+3"), parse_modification("Q@peptide-nterm:-17")};
    s.max_variable_mods = 1;
    // Protein QCKQCK: peptides QCK (N-terminal) and QCK (C-terminal, K@protein-cterm).
    const std::vector<std::string> found = listing(run(">P\nQCKQCK\n", s));
    const std::set<std::string> forms(found.begin(), found.end());
    CHECK_EQ(found.size(), forms.size());
    CHECK(forms == (std::set<std::string>{"QCK{2:57,4:1}", "QCK{2:60,4:1}", "QCK{1:-17,2:57,4:1}",
                                          "QCK{2:57,3:100,4:1}", "QCK{2:60,3:100,4:1}", "QCK{1:-17,2:57,3:100,4:1}"}));
    // At most one variable modification per place; every combination up to the maximum.
    s = plain();
    s.variable_mods = {parse_modification("M:+16"), parse_modification("M:+32")};
    s.max_variable_mods = 2;
    CHECK_EQ(run(">P\nMMK\n", s).size(), size_t{1 + 4 + 4});
    s.max_variable_mods = 0;
    CHECK_EQ(run(">P\nMMK\n", s).size(), size_t{1});
}

TEST(duplicates_merge_with_every_accession_in_file_order) {
    DigestSettings s = plain();
    const Digest d = run(">B\nLSAMPLEK\n>A\nGGGKLSAMPLEK\n>rev_C\nLSAMPLEK\n", s);
    std::vector<std::string> accessions;
    for (size_t i = 0; i < d.size(); ++i)
        if (d.sequence(i) == "LSAMPLEK")
            for (size_t k = d.protein_begin[i]; k < d.protein_begin[i + 1]; ++k)
                accessions.push_back(*d.accessions[d.protein_ids[k]]);
    CHECK_EQ(joined(accessions), std::string("B A"));
    CHECK_EQ(d.protein_count, size_t{2});
    CHECK_EQ(d.dropped_decoys, size_t{1});
    // Kept decoys: a peptide is a decoy only when all its proteins are.
    s.drop_decoys = false;
    const Digest kept = run(">rev_A\nAAAK\n>B\nPEPTIDEK\n>rev_C\nPEPTIDEK\n", s);
    for (size_t i = 0; i < kept.size(); ++i) CHECK_EQ(kept.decoy[i], static_cast<uint8_t>(kept.sequence(i) == "AAAK"));
}

TEST(letters_without_mass_skip_the_peptide_and_are_counted_once) {
    DigestSettings s = plain();
    s.remove_initiator_met = true;
    const Digest d = run(">P1\nMXAKBBKUUK\n>P2\nGGKBBK\n", s);
    CHECK(sequences(d) == (std::set<std::string>{"UUK", "GGK"}));
    CHECK_EQ(d.skipped, size_t{3});  // MXAK, XAK (without M), BBK (in both proteins)
    const double uuk = 18.0105646837 + 150.953635585 + 150.953635585 + 128.094963050;
    for (size_t i = 0; i < d.size(); ++i)
        if (d.sequence(i) == "UUK") CHECK_BITS(d.masses[i], static_cast<float>(uuk));
}

TEST(order_is_by_mass_then_sequence_whatever_the_worker_count) {
    DigestSettings s = plain();
    s.missed_cleavages = 2;
    s.variable_mods = {parse_modification("M:+15.9949")};
    std::string fasta;
    const char *letters = "ACDEFGHIKLMNPQRSTVWYKR";
    uint32_t state = 12345;
    for (int p = 0; p < 200; ++p) {
        fasta += ">P" + std::to_string(p) + "\n";
        for (int i = 0; i < 60; ++i) {
            state = state * 1664525u + 1013904223u;
            fasta += letters[(state >> 16) % 22];
        }
        fasta += "\n";
    }
    WorkerPool one(1), three(3);
    const Digest a = run(fasta, s, one), b = run(fasta, s, three);
    CHECK(a.size() > 1000);
    CHECK_EQ(joined(listing(a)), joined(listing(b)));
    CHECK(a.masses == b.masses && a.protein_ids == b.protein_ids);
    for (size_t i = 1; i < a.size(); ++i) {
        CHECK(a.masses[i - 1] <= a.masses[i]);
        if (a.masses[i - 1] == a.masses[i]) CHECK(a.sequence(i - 1) <= a.sequence(i));
    }
}

TEST(peptide_records_and_their_labels) {
    DigestSettings s = plain();
    s.fixed_mods = {parse_modification("C:+57.021464"), parse_modification("peptide-cterm:-0.984")};
    s.variable_mods = {parse_modification("protein-nterm:+42.010565")};
    const Digest d = run(">sp|P1|X\nACDK\n", s);
    CHECK_EQ(d.size(), size_t{2});
    const Peptide p = d.peptide(1);
    CHECK_EQ(p.bytes(), std::string_view("ACDK"));
    CHECK_BITS(*p.nterm, 42.010565f);
    CHECK_BITS(*p.cterm, -0.984f);
    CHECK(p.modifications == (std::vector<float>{0.0f, 57.021464f, 0.0f, 0.0f}));
    CHECK_EQ(p.proteins.size(), size_t{1});
    CHECK_EQ(proforma(p), std::string("[+42.0106]-AC[+57.0215]DK-[-0.9840]"));
    CHECK_EQ(proforma(d.peptide(0)), std::string("AC[+57.0215]DK-[-0.9840]"));
    // Zero masses are not written; a short modification list counts as unmodified.
    CHECK_EQ(proforma(make_peptide("PEPMK", 600.0f, std::vector<float>{0.0f, 0.0f, 0.0f, 15.99491f}, 0.0f, std::nullopt)),
             std::string("PEPM[+15.9949]K"));

    BuildConfig config{{Kind::B, Kind::Y}, "rev_", 8, 0, 0.0f, 1e5f, true};
    std::vector<Peptide> peptides{d.peptide(0), d.peptide(1)};
    const IndexedDatabase db = build_indexed_database(config, peptides);
    CHECK_EQ(db.peptide_count(), size_t{4});
    CHECK_EQ(joined(reported_accessions(db, 0)), std::string("sp|P1|X"));
    CHECK_EQ(joined(reported_accessions(db, 1)), std::string("rev_sp|P1|X"));
    CHECK_EQ(proforma(db.peptide_at(1)), std::string("ADC[+57.0215]K-[-0.9840]"));  // the decoy
    // Decoys kept from the file carry their own marker and get no tag.
    s.drop_decoys = false;
    const Digest own = run(">rev_P2\nGGGK\n", s);
    config.generate_decoys = false;
    const IndexedDatabase file_decoys = build_indexed_database(config, {own.peptide(0)});
    CHECK(file_decoys.peptide_at(0).decoy);
    CHECK_EQ(joined(reported_accessions(file_decoys, 0)), std::string("rev_P2"));
}

TEST(settings_out_of_range_are_refused) {
    auto error = [](auto change) {
        DigestSettings s;
        change(s);
        return invalid_input([&] { s.validate(); });
    };
    CHECK(contains(error([](DigestSettings &s) { s.min_length = 0; }), "peptide lengths 0 to 50"));
    CHECK(contains(error([](DigestSettings &s) { s.min_length = 60; }), "peptide lengths 60 to 50"));
    CHECK(contains(error([](DigestSettings &s) { s.max_mass = 100.0; }), "peptide masses"));
    CHECK(contains(error([](DigestSettings &s) { s.min_mass = NAN; }), "peptide masses"));
    CHECK(contains(error([](DigestSettings &s) { s.missed_cleavages = 300; }), "missed_cleavages"));
    CHECK(error([](DigestSettings &) {}).empty());
}
