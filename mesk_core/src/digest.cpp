// Protein digestion: cleavage sites, spans within the length range, every modified form
// within the mass range, then one sort that orders by mass and brings duplicates together.
#include "digest.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <iterator>
#include <memory>

#include "database.hpp"
#include "failure.hpp"
#include "thread_pool.hpp"

namespace mesk {

namespace {

constexpr double WATER = 18.0105646837;

// Monoisotopic residue masses in double precision, by letter - 'A'; 0 for the letters
// without a mass (B, J, X, Z).
constexpr std::array<double, 26> RESIDUE_MASSES_DOUBLE = {
    71.037113805,  0.0,           103.009184505, 115.026943065, 129.042593135, 147.068413945, 57.021463735,
    137.058911875, 113.084064015, 0.0,           128.094963050, 113.084064015, 131.040484645, 114.042927470,
    237.147726863, 97.052763875,  128.058577540, 156.101111050, 87.032028435,  101.047678505, 150.953635585,
    99.068413945,  186.079312980, 0.0,           163.063328575, 0.0};

constexpr std::array<std::string_view, 9> ENZYME_NAMES = {
    "trypsin", "trypsin/p", "lys-c", "lys-n", "arg-c", "asp-n", "glu-c", "chymotrypsin", "non-specific"};

constexpr std::array<std::pair<std::string_view, Place>, 4> TERMINUS_NAMES = {{{"peptide-nterm", Place::PeptideN},
                                                                             {"peptide-cterm", Place::PeptideC},
                                                                             {"protein-nterm", Place::ProteinN},
                                                                             {"protein-cterm", Place::ProteinC}}};

bool equal_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// The text between single quotes, as messages show it.
std::string quoted(std::string_view text) {
    std::string out(1, '\'');
    out += text;
    out += '\'';
    return out;
}

[[noreturn]] void bad_modification(std::string_view text, const std::string &reason) {
    throw InvalidInput("bad modification " + quoted(text) + ": " + reason +
                       ". Write SITE:MASS, where SITE is residue letters (STY), a terminus (peptide-nterm, "
                       "peptide-cterm, protein-nterm, protein-cterm) or residues at a terminus (Q@peptide-nterm), "
                       "and MASS a signed mass in daltons (+15.9949)");
}

double parse_mass(std::string_view whole, std::string_view text) {
    if (text.empty()) bad_modification(whole, "no mass after ':'");
    std::string_view digits = text;
    if (digits.front() == '+' || digits.front() == '-') digits.remove_prefix(1);
    if (digits.empty() || !((digits.front() >= '0' && digits.front() <= '9') || digits.front() == '.'))
        bad_modification(whole, quoted(text) + " is not a number");
    double value = 0.0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (ec != std::errc() || end != digits.data() + digits.size() || !std::isfinite(value))
        bad_modification(whole, quoted(text) + " is not a number");
    if (text.front() == '-') value = -value;
    if (value == 0.0) bad_modification(whole, "the mass is zero");
    if (std::fabs(value) >= 1e6) bad_modification(whole, "the mass is not below 1000000 Da in size");
    return value;
}

uint32_t parse_letters(std::string_view whole, std::string_view letters) {
    if (letters.empty()) bad_modification(whole, "no residue letter before '@'");
    uint32_t mask = 0;
    for (const char c : letters) {
        const char upper = c >= 'a' && c <= 'z' ? static_cast<char>(c - ('a' - 'A')) : c;
        if (upper < 'A' || upper > 'Z')
            bad_modification(whole, quoted(letters) + " is neither residue letters nor a terminus");
        mask |= uint32_t{1} << (upper - 'A');
    }
    return mask;
}

bool is_terminal(Place place) { return place != Place::Residue; }

}  // namespace

std::string_view enzyme_name(Enzyme enzyme) { return ENZYME_NAMES[static_cast<size_t>(enzyme)]; }

Enzyme parse_enzyme(std::string_view name) {
    for (size_t i = 0; i < ENZYME_NAMES.size(); ++i)
        if (equal_ignoring_case(trimmed(name), ENZYME_NAMES[i])) return static_cast<Enzyme>(i);
    std::string accepted;
    for (std::string_view n : ENZYME_NAMES) accepted += (accepted.empty() ? "" : ", ") + std::string(n);
    throw InvalidInput("unknown enzyme " + quoted(name) + "; accepted: " + accepted);
}

bool cleaves(Enzyme enzyme, char before, char after) {
    switch (enzyme) {
        case Enzyme::Trypsin: return (before == 'K' || before == 'R') && after != 'P';
        case Enzyme::TrypsinP: return before == 'K' || before == 'R';
        case Enzyme::LysC: return before == 'K' && after != 'P';
        case Enzyme::LysN: return after == 'K';
        case Enzyme::ArgC: return before == 'R' && after != 'P';
        case Enzyme::AspN: return after == 'D';
        case Enzyme::GluC: return before == 'E' && after != 'P';
        case Enzyme::Chymotrypsin: return (before == 'F' || before == 'W' || before == 'Y') && after != 'P';
        case Enzyme::NonSpecific: return true;
    }
    return false;
}

Modification parse_modification(std::string_view text) {
    const std::string_view whole = trimmed(text);
    const size_t colon = whole.find(':');
    if (colon == std::string_view::npos) bad_modification(text, "no ':' between site and mass");
    const std::string_view site = trimmed(whole.substr(0, colon));
    Modification mod;
    mod.mass = parse_mass(text, trimmed(whole.substr(colon + 1)));
    const size_t at = site.find('@');
    const std::string_view place = at == std::string_view::npos ? site : site.substr(at + 1);
    for (const auto &[name, value] : TERMINUS_NAMES)
        if (equal_ignoring_case(place, name)) mod.place = value;
    if (at != std::string_view::npos && mod.place == Place::Residue)
        bad_modification(text, quoted(place) + " after '@' is not a terminus");
    if (at != std::string_view::npos || mod.place == Place::Residue) {
        if (site.empty()) bad_modification(text, "no site before ':'");
        mod.residues = parse_letters(text, at == std::string_view::npos ? site : site.substr(0, at));
    }
    return mod;
}

std::string modification_text(const Modification &mod) {
    std::string text;
    for (unsigned r = 0; r < 26; ++r)
        if (mod.residues & (uint32_t{1} << r)) text += static_cast<char>('A' + r);
    for (const auto &[name, place] : TERMINUS_NAMES)
        if (place == mod.place) {
            if (!text.empty()) text += '@';
            text += name;
        }
    char mass[32];
    const auto [end, error] = std::to_chars(mass, mass + sizeof mass, mod.mass);
    if (error != std::errc{}) throw Failure("modification mass cannot be written");
    text += ':';
    if (!std::signbit(mod.mass)) text += '+';
    return text.append(mass, end);
}

void DigestSettings::validate() const {
    auto fail = [](const std::string &what) { throw InvalidInput(what); };
    if (min_length < 1 || min_length > max_length || max_length > 65000)
        fail("peptide lengths " + std::to_string(min_length) + " to " + std::to_string(max_length) +
             " are not a range within 1 to 65000 residues");
    if (missed_cleavages > 255)
        fail("missed_cleavages must be between 0 and 255, not " + std::to_string(missed_cleavages));
    if (max_variable_mods > 255)
        fail("max_variable_mods must be between 0 and 255, not " + std::to_string(max_variable_mods));
    if (!std::isfinite(min_mass) || !std::isfinite(max_mass) || min_mass > max_mass)
        fail("peptide masses " + std::to_string(min_mass) + " to " + std::to_string(max_mass) +
             " Da are not a range of finite masses");
    for (const Modification &m : fixed_mods)
        if (m.residues == 0 && !is_terminal(m.place)) fail("a fixed modification has no site");
}

size_t Digest::decoy_count() const { return static_cast<size_t>(std::count(decoy.begin(), decoy.end(), 1)); }

Peptide Digest::peptide(size_t i) const {
    Peptide p;
    const std::string_view seq = sequence(i);
    const size_t length = seq.size();
    p.sequence = std::make_shared<const std::string>(seq);
    p.modifications.assign(length, 0.0f);
    for (size_t k = mod_begin[i]; k < mod_begin[i + 1]; ++k) {
        const SlotMod m = mods[k];
        if (m.slot == 0)
            p.nterm = m.mass;
        else if (m.slot == length + 1)
            p.cterm = m.mass;
        else
            p.modifications[m.slot - 1] = m.mass;
    }
    p.monoisotopic = masses[i];
    p.proteins.reserve(protein_begin[i + 1] - protein_begin[i]);
    for (size_t k = protein_begin[i]; k < protein_begin[i + 1]; ++k) p.proteins.push_back(accessions[protein_ids[k]]);
    p.decoy = decoy[i] != 0;
    p.missed_cleavages = missed_cleavages[i];
    return p;
}

namespace {

// One peptide occurrence: a modified form of a span of one protein.
struct Candidate {
    float mass;
    uint32_t protein;       // accession position
    const char *residues;   // into the proteins' residues
    size_t mods;            // first SlotMod of the form
    uint16_t length;
    uint16_t mod_count;
    uint8_t missed;
    uint8_t decoy;
};

// What one worker found in its share of the proteins.
struct Found {
    std::vector<Candidate> candidates;
    std::vector<SlotMod> mods;   // Candidate::mods counts from the start of this list
    std::vector<std::string> skipped;
};

struct Span {
    size_t begin, end;   // positions in the protein
    uint8_t missed;
    bool protein_n, protein_c;
};

enum class Next { Longer, Stop };  // whether longer spans from the same start are worth trying

// Digests proteins one at a time into a Found; scratch space is reused across peptides.
class Digester {
public:
    Digester(const DigestSettings &s, Found &out) : s_(s), out_(out) {}

    void protein(const char *residues, size_t length, uint32_t accession, bool decoy) {
        seq_ = residues;
        accession_ = accession;
        decoy_ = decoy;
        // '*' splits a protein: no peptide spans it, and only the first and last stretch
        // touch the protein's termini.
        for (size_t b = 0; b <= length;) {
            const void *star = std::memchr(residues + b, '*', length - b);
            const size_t e = star ? static_cast<size_t>(static_cast<const char *>(star) - residues) : length;
            if (e > b) stretch(b, e, b == 0, e == length);
            b = e + 1;
        }
    }

private:
    void stretch(size_t b, size_t e, bool protein_n, bool protein_c) {
        const bool clip = protein_n && s_.remove_initiator_met && seq_[b] == 'M' && e - b > 1;
        if (s_.enzyme == Enzyme::NonSpecific) {
            for (size_t start = b; start < e; ++start) all_ends(start, e, protein_n && start == b, protein_c);
            if (clip) all_ends(b + 1, e, true, protein_c);
            return;
        }
        sites_.clear();
        sites_.push_back(b);
        for (size_t p = b + 1; p < e; ++p)
            if (cleaves(s_.enzyme, seq_[p - 1], seq_[p])) sites_.push_back(p);
        sites_.push_back(e);
        const size_t last = sites_.size() - 1;
        auto ends_from = [&](size_t start, size_t first_end, bool at_n) {
            for (size_t j = first_end; j <= last && j - first_end <= s_.missed_cleavages; ++j) {
                const Span span{start, sites_[j], static_cast<uint8_t>(j - first_end), at_n, protein_c && j == last};
                if (peptide(span) == Next::Stop) break;
            }
        };
        for (size_t i = 0; i < last; ++i) ends_from(sites_[i], i + 1, protein_n && i == 0);
        // Without the initiator M the peptide starts one residue later, before the first site.
        if (clip) ends_from(b + 1, static_cast<size_t>(std::upper_bound(sites_.begin(), sites_.end(), b + 1) - sites_.begin()), true);
    }

    void all_ends(size_t start, size_t e, bool protein_n, bool protein_c) {
        for (size_t end = start + 1; end <= e; ++end)
            if (peptide({start, end, 0, protein_n, protein_c && end == e}) == Next::Stop) break;
    }

    Next peptide(const Span &span) {
        const size_t length = span.end - span.begin;
        if (length < s_.min_length) return Next::Longer;
        if (length > s_.max_length) return Next::Stop;
        const char *seq = seq_ + span.begin;
        double base = WATER;
        for (size_t i = 0; i < length; ++i) {
            const double m = RESIDUE_MASSES_DOUBLE[seq[i] - 'A'];
            if (m == 0.0) {
                out_.skipped.emplace_back(seq, length);
                return Next::Longer;
            }
            base += m;
        }
        forms(span, seq, length, base);
        return Next::Longer;
    }

    // Calls f(slot) for every place of the peptide that `m` applies to.
    template <class F>
    static void for_each_slot(const Modification &m, const char *seq, size_t length, const Span &span, F f) {
        const auto has = [&](char c) { return (m.residues >> (c - 'A') & 1) != 0; };
        switch (m.place) {
            case Place::Residue:
                for (size_t i = 0; i < length; ++i)
                    if (has(seq[i])) f(i + 1);
                return;
            case Place::ProteinN:
                if (!span.protein_n) return;
                [[fallthrough]];
            case Place::PeptideN:
                if (m.residues == 0) f(0);
                else if (has(seq[0])) f(1);
                return;
            case Place::ProteinC:
                if (!span.protein_c) return;
                [[fallthrough]];
            case Place::PeptideC:
                if (m.residues == 0) f(length + 1);
                else if (has(seq[length - 1])) f(length);
                return;
        }
    }

    // Every combination of variable modifications on top of the fixed ones.
    void forms(const Span &span, const char *seq, size_t length, double base) {
        fixed_.assign(length + 2, 0.0);
        fixed_here_.assign(length + 2, 0);
        for (const Modification &m : s_.fixed_mods)
            for_each_slot(m, seq, length, span, [&](size_t slot) {
                fixed_[slot] += m.mass;
                fixed_here_[slot] = 1;
            });
        choices_.clear();
        for (const Modification &m : s_.variable_mods)
            for_each_slot(m, seq, length, span, [&](size_t slot) { choices_.push_back({slot, m.mass}); });
        std::stable_sort(choices_.begin(), choices_.end(),
                         [](const Choice &a, const Choice &b) { return a.slot < b.slot; });
        chosen_.clear();
        combine(span, seq, length, base, 0, s_.max_variable_mods);
    }

    void combine(const Span &span, const char *seq, size_t length, double base, size_t from, unsigned left) {
        emit(span, seq, length, base);
        if (left == 0) return;
        for (size_t k = from; k < choices_.size(); ++k) {
            if (!chosen_.empty() && choices_[k].slot == choices_[chosen_.back()].slot) continue;  // one per place
            chosen_.push_back(k);
            combine(span, seq, length, base, k + 1, left - 1);
            chosen_.pop_back();
        }
    }

    // One modified form: per place, the fixed masses plus the variable one, added to the
    // residue sum place by place from the N-terminus.
    void emit(const Span &span, const char *seq, size_t length, double base) {
        const size_t first_mod = out_.mods.size();
        double mass = base;
        size_t c = 0;
        for (size_t slot = 0; slot < length + 2; ++slot) {
            const bool variable = c < chosen_.size() && choices_[chosen_[c]].slot == slot;
            if (!fixed_here_[slot] && !variable) continue;
            double total = fixed_[slot];
            if (variable) total += choices_[chosen_[c++]].mass;
            mass += total;
            out_.mods.push_back({static_cast<uint16_t>(slot), static_cast<float>(total)});
        }
        if (!(mass >= s_.min_mass && mass <= s_.max_mass)) {
            out_.mods.resize(first_mod);
            return;
        }
        out_.candidates.push_back({static_cast<float>(mass), accession_, seq, first_mod, static_cast<uint16_t>(length),
                                   static_cast<uint16_t>(out_.mods.size() - first_mod), span.missed,
                                   static_cast<uint8_t>(decoy_)});
    }

    struct Choice {
        size_t slot;
        double mass;
    };

    const DigestSettings &s_;
    Found &out_;
    const char *seq_ = nullptr;
    uint32_t accession_ = 0;
    bool decoy_ = false;
    std::vector<size_t> sites_;
    std::vector<double> fixed_;
    std::vector<uint8_t> fixed_here_;
    std::vector<Choice> choices_;
    std::vector<size_t> chosen_;
};

// Orders candidates by mass (float total order), sequence bytes, modifications (slot, then
// mass bits); 0 when they are the same peptide.
int compare_peptides(const Candidate &a, const Candidate &b, const SlotMod *mods) {
    const int32_t ka = total_order_key(a.mass), kb = total_order_key(b.mass);
    if (ka != kb) return ka < kb ? -1 : 1;
    const int bytes = std::memcmp(a.residues, b.residues, std::min(a.length, b.length));
    if (bytes != 0) return bytes;
    if (a.length != b.length) return a.length < b.length ? -1 : 1;
    for (size_t k = 0; k < std::min(a.mod_count, b.mod_count); ++k) {
        const SlotMod x = mods[a.mods + k], y = mods[b.mods + k];
        if (x.slot != y.slot) return x.slot < y.slot ? -1 : 1;
        const uint32_t bx = std::bit_cast<uint32_t>(x.mass), by = std::bit_cast<uint32_t>(y.mass);
        if (bx != by) return bx < by ? -1 : 1;
    }
    if (a.mod_count != b.mod_count) return a.mod_count < b.mod_count ? -1 : 1;
    return 0;
}

// Sorts keys whose low 32 bits ascend in list order into ascending order: a stable
// counting sort on each 11-bit digit of the high 32 bits, lowest first, skipping a digit
// that all keys share.
void sort_by_high_word(std::vector<uint64_t> &keys) {
    constexpr unsigned DIGIT = 11;
    std::vector<uint64_t> other(keys.size());
    std::vector<size_t> next(size_t{1} << DIGIT);
    for (unsigned shift = 32; shift < 64; shift += DIGIT) {
        const uint64_t mask = (uint64_t{1} << std::min(DIGIT, 64 - shift)) - 1;
        std::fill(next.begin(), next.end(), 0);
        for (const uint64_t key : keys) ++next[(key >> shift) & mask];
        if (!keys.empty() && next[(keys[0] >> shift) & mask] == keys.size()) continue;
        size_t running = 0;
        for (size_t &count : next) running += std::exchange(count, running);
        for (const uint64_t key : keys) other[next[(key >> shift) & mask]++] = key;
        keys.swap(other);
    }
}

// Splits [0, n) into up to `parts` consecutive ranges whose inner boundaries `joined(k)`
// allows (a boundary at k is moved up until joined(k) is false): the shares of the
// workers of a phase that must not cut a run of equal items.
template <class Joined>
std::vector<size_t> split_points(size_t n, size_t parts, Joined joined) {
    std::vector<size_t> at{0};
    for (size_t p = 1; p < parts; ++p) {
        size_t k = std::max(at.back(), n * p / parts);
        while (k > at.back() && k < n && joined(k)) ++k;
        if (k > at.back() && k < n) at.push_back(k);
    }
    at.push_back(n);
    return at;
}

// The first 8 residues of a candidate as a big-endian number, zero-padded: residues are
// letters (never 0), so two prefixes that differ order the peptides as `compare_peptides`
// does, and equal prefixes leave it to `compare_peptides`.
uint64_t residue_prefix(const Candidate &c) {
    uint64_t prefix = 0;
    const size_t m = std::min<size_t>(8, c.length);
    for (size_t i = 0; i < m; ++i) prefix |= uint64_t{static_cast<unsigned char>(c.residues[i])} << (56 - 8 * i);
    return prefix;
}

// The candidates in peptide order, protein order last so that each peptide's accessions
// come out in file order: `order` holds their positions, and `same[k]` is 1 when the
// candidate at order[k] is the same peptide as the one before it. Most candidates differ in
// mass: they are sorted as 8-byte keys (mass, position), then each run of equal masses by
// its residues' first bytes and the rest, the runs shared among the workers. Positions
// rather than a sorted copy, which would double the largest list of the digestion.
struct CandidateOrder {
    std::vector<uint32_t> order;
    std::vector<uint8_t> same;
};

CandidateOrder candidate_order(const Candidate *all, size_t n, const std::vector<SlotMod> &mods, WorkerPool &pool) {
    if (n > UINT32_MAX) throw InvalidInput("the digestion makes more than 4294967295 peptides; narrow its settings");
    // Candidates come in protein order, so their residues are read in order here, while
    // the sorted runs below would read them scattered.
    std::vector<uint64_t> keys(n), prefixes(n);
    pool.parallel_for(n, 0, [&](size_t b, size_t e) {
        for (size_t i = b; i < e; ++i) {
            const uint32_t mass = static_cast<uint32_t>(total_order_key(all[i].mass)) ^ 0x80000000u;  // unsigned order
            keys[i] = uint64_t{mass} << 32 | i;
            prefixes[i] = residue_prefix(all[i]);
        }
    });
    sort_by_high_word(keys);

    const auto at = [&](uint64_t key) -> const Candidate & { return all[key & 0xffffffffu]; };
    const std::vector<size_t> parts =
        split_points(n, pool.size(), [&](size_t k) { return keys[k] >> 32 == keys[k - 1] >> 32; });
    CandidateOrder out{std::vector<uint32_t>(n), std::vector<uint8_t>(n)};
    pool.parallel_for(parts.size() - 1, 1, [&](size_t pb, size_t pe) {
        struct Entry {
            uint64_t prefix, key;
        };
        std::vector<Entry> run_entries;
        constexpr size_t AHEAD = 32;  // the prefixes of a run's candidates are scattered in memory
        for (size_t run = parts[pb]; run < parts[pe];) {
            size_t end = run + 1;
            while (end < n && keys[end] >> 32 == keys[run] >> 32) ++end;
            if (end - run > 1) {
                run_entries.clear();
                for (size_t i = run; i < end; ++i) run_entries.push_back({prefixes[keys[i] & 0xffffffffu], keys[i]});
                std::sort(run_entries.begin(), run_entries.end(), [&](const Entry &a, const Entry &b) {
                    if (a.prefix != b.prefix) return a.prefix < b.prefix;
                    const int c = compare_peptides(at(a.key), at(b.key), mods.data());
                    return c < 0 || (c == 0 && at(a.key).protein < at(b.key).protein);
                });
                for (size_t i = run; i < end; ++i) {
                    const Entry &e = run_entries[i - run];
                    out.order[i] = static_cast<uint32_t>(e.key);
                    out.same[i] = i > run && e.prefix == run_entries[i - run - 1].prefix &&
                                  compare_peptides(at(run_entries[i - run - 1].key), at(e.key), mods.data()) == 0;
                }
            } else {
                out.order[run] = static_cast<uint32_t>(keys[run]);
            }
            for (size_t i = run; i < end && i + AHEAD < n; ++i) __builtin_prefetch(&prefixes[keys[i + AHEAD] & 0xffffffffu]);
            run = end;
        }
    });
    return out;
}

// The distinct peptides of candidates order[begin, end) (whole runs of equal peptides) in
// `out`'s peptide arrays, their offsets counted from 0.
void group_candidates(const Candidate *all, const uint32_t *order, const uint8_t *same, size_t begin, size_t end,
                      const std::vector<SlotMod> &mods, Digest &out) {
    const auto sorted = [&](size_t k) -> const Candidate & { return all[order[k]]; };
    constexpr size_t AHEAD = 16;  // candidates are read in mass order, scattered in memory
    for (auto *offsets : {&out.residue_begin, &out.mod_begin, &out.protein_begin}) {
        offsets->reserve(end - begin + 1);
        offsets->push_back(0);
    }
    out.masses.reserve(end - begin);
    out.protein_ids.reserve(end - begin);
    out.missed_cleavages.reserve(end - begin);
    out.decoy.reserve(end - begin);
    for (size_t g = begin; g < end;) {
        if (g + AHEAD < end) {
            const Candidate &later = sorted(g + AHEAD);
            __builtin_prefetch(later.residues);
        }
        if (g + 2 * AHEAD < end) __builtin_prefetch(&all[order[g + 2 * AHEAD]]);
        size_t h = g + 1;
        while (h < end && same[h]) ++h;
        const Candidate &first = sorted(g);
        out.residues.append(first.residues, first.length);
        out.residue_begin.push_back(out.residues.size());
        out.masses.push_back(first.mass);
        out.mods.insert(out.mods.end(), mods.begin() + static_cast<ptrdiff_t>(first.mods),
                        mods.begin() + static_cast<ptrdiff_t>(first.mods + first.mod_count));
        out.mod_begin.push_back(out.mods.size());
        uint8_t missed = first.missed, decoy = 1;
        for (size_t k = g; k < h; ++k) {
            if (k == g || sorted(k).protein != sorted(k - 1).protein) out.protein_ids.push_back(sorted(k).protein);
            missed = std::min(missed, sorted(k).missed);
            decoy &= sorted(k).decoy;
        }
        out.protein_begin.push_back(out.protein_ids.size());
        out.missed_cleavages.push_back(missed);
        out.decoy.push_back(decoy);
        g = h;
    }
}

// Appends `part`'s peptide arrays to `digest`'s, shifting its offsets.
void append_peptides(Digest &digest, const Digest &part) {
    const auto shifted = [](std::vector<size_t> &to, const std::vector<size_t> &from, size_t by) {
        for (size_t i = 1; i < from.size(); ++i) to.push_back(from[i] + by);
    };
    shifted(digest.residue_begin, part.residue_begin, digest.residues.size());
    shifted(digest.mod_begin, part.mod_begin, digest.mods.size());
    shifted(digest.protein_begin, part.protein_begin, digest.protein_ids.size());
    digest.residues += part.residues;
    digest.mods.insert(digest.mods.end(), part.mods.begin(), part.mods.end());
    digest.protein_ids.insert(digest.protein_ids.end(), part.protein_ids.begin(), part.protein_ids.end());
    digest.masses.insert(digest.masses.end(), part.masses.begin(), part.masses.end());
    digest.missed_cleavages.insert(digest.missed_cleavages.end(), part.missed_cleavages.begin(),
                                   part.missed_cleavages.end());
    digest.decoy.insert(digest.decoy.end(), part.decoy.begin(), part.decoy.end());
}

}  // namespace

Digest digest_proteins(const FastaProteins &proteins, const DigestSettings &settings, WorkerPool &pool) {
    settings.validate();
    const size_t n = proteins.proteins.size();
    const size_t per_chunk = std::max<size_t>(16, n / (pool.size() * 16 + 1));
    const size_t chunks = (n + per_chunk - 1) / per_chunk;
    std::vector<Found> found(chunks);
    pool.parallel_for(chunks, 1, [&](size_t cb, size_t ce) {
        for (size_t c = cb; c < ce; ++c) {
            // Room for the candidates of a tryptic digest with missed cleavages, so that the
            // list is not copied as it grows; pages left unused are never touched.
            size_t residues = 0;
            for (size_t i = c * per_chunk; i < std::min(n, (c + 1) * per_chunk); ++i)
                residues += proteins.proteins[i].end - proteins.proteins[i].begin;
            found[c].candidates.reserve(residues / 4 + 16);
            Digester digester(settings, found[c]);
            for (size_t i = c * per_chunk; i < std::min(n, (c + 1) * per_chunk); ++i) {
                const FastaProtein &p = proteins.proteins[i];
                digester.protein(proteins.residues.data() + p.begin, p.end - p.begin, p.accession, p.decoy);
            }
        }
    });

    Digest digest;
    digest.accessions = proteins.accessions;
    digest.protein_count = n;
    digest.dropped_decoys = proteins.dropped_decoys;

    size_t total = 0, total_mods = 0;
    std::vector<std::string> skipped;
    for (Found &f : found) {
        total += f.candidates.size();
        total_mods += f.mods.size();
        std::move(f.skipped.begin(), f.skipped.end(), std::back_inserter(skipped));
        f.skipped = {};
    }
    std::sort(skipped.begin(), skipped.end());
    digest.skipped = static_cast<size_t>(std::unique(skipped.begin(), skipped.end()) - skipped.begin());
    // All candidates in one list, their modifications in another, copied by the workers.
    // The list is left uninitialised: every element is written before it is read.
    std::vector<size_t> first_candidate{0}, first_mod{0};
    for (const Found &f : found) {
        first_candidate.push_back(first_candidate.back() + f.candidates.size());
        first_mod.push_back(first_mod.back() + f.mods.size());
    }
    const std::unique_ptr<Candidate[]> all(new Candidate[total]);
    std::vector<SlotMod> mods(total_mods);
    pool.parallel_for(chunks, 1, [&](size_t cb, size_t ce) {
        for (size_t c = cb; c < ce; ++c) {
            Candidate *to = all.get() + first_candidate[c];
            for (Candidate candidate : found[c].candidates) {
                candidate.mods += first_mod[c];
                *to++ = candidate;
            }
            std::copy(found[c].mods.begin(), found[c].mods.end(), mods.begin() + static_cast<ptrdiff_t>(first_mod[c]));
            found[c] = Found{};
        }
    });

    const CandidateOrder sorted = candidate_order(all.get(), total, mods, pool);

    // The distinct peptides, each worker grouping a share of whole runs, joined in order.
    const std::vector<size_t> parts = split_points(total, pool.size(), [&](size_t k) { return sorted.same[k] != 0; });
    std::vector<Digest> grouped(parts.size() - 1);
    pool.parallel_for(grouped.size(), 1, [&](size_t pb, size_t pe) {
        for (size_t p = pb; p < pe; ++p) group_candidates(all.get(), sorted.order.data(), sorted.same.data(), parts[p], parts[p + 1], mods,
                             grouped[p]);
    });
    size_t peptides = 0, residues = 0, peptide_mods = 0, protein_ids = 0;
    for (const Digest &part : grouped) {
        peptides += part.masses.size();
        residues += part.residues.size();
        peptide_mods += part.mods.size();
        protein_ids += part.protein_ids.size();
    }
    for (auto *offsets : {&digest.residue_begin, &digest.mod_begin, &digest.protein_begin}) {
        offsets->reserve(peptides + 1);
        offsets->push_back(0);
    }
    digest.residues.reserve(residues);
    digest.masses.reserve(peptides);
    digest.mods.reserve(peptide_mods);
    digest.protein_ids.reserve(protein_ids);
    digest.missed_cleavages.reserve(peptides);
    digest.decoy.reserve(peptides);
    for (Digest &part : grouped) {
        append_peptides(digest, part);
        part = Digest{};
    }
    return digest;
}

Digest digest_fasta(std::string_view text, std::string_view source, const DigestSettings &settings, WorkerPool &pool) {
    settings.validate();
    const FastaProteins proteins = read_fasta(text, source, settings.decoy_markers, settings.drop_decoys);
    return digest_proteins(proteins, settings, pool);
}

}  // namespace mesk
