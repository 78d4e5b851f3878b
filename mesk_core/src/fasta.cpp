// FASTA reading: one pass over the text, residues checked and upper-cased as they are copied.
#include "fasta.hpp"

#include <algorithm>
#include <cstdio>
#include <unordered_map>

#include "failure.hpp"

namespace mesk {

bool DecoyMarkers::marks(std::string_view accession) const {
    for (const std::string &p : prefixes)
        if (!p.empty() && accession.starts_with(p)) return true;
    for (const std::string &s : suffixes)
        if (!s.empty() && accession.ends_with(s)) return true;
    return false;
}

namespace {

// Bytes that separate words and are ignored inside sequence lines.
bool is_space(unsigned char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

// Whether `bytes` is well-formed UTF-8 (shortest forms, no surrogates, at most U+10FFFF).
bool is_utf8(std::string_view bytes) {
    const auto *v = reinterpret_cast<const unsigned char *>(bytes.data());
    const size_t n = bytes.size();
    for (size_t i = 0; i < n;) {
        const unsigned char c = v[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t width = 0;
        unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
        if (c >= 0xC2 && c <= 0xDF) width = 2;
        else if (c >= 0xE0 && c <= 0xEF) width = 3, lo = c == 0xE0 ? 0xA0 : 0x80, hi = c == 0xED ? 0x9F : 0xBF;
        else if (c >= 0xF0 && c <= 0xF4) width = 4, lo = c == 0xF0 ? 0x90 : 0x80, hi = c == 0xF4 ? 0x8F : 0xBF;
        if (width == 0 || i + width > n || v[i + 1] < lo || v[i + 1] > hi) return false;
        for (size_t k = 2; k < width; ++k)
            if ((v[i + k] & 0xC0) != 0x80) return false;
        i += width;
    }
    return true;
}

std::string hex(unsigned char c) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", c);
    return text;
}

// A byte as it reads in a message: printable ASCII as itself, anything else in hex.
std::string shown(unsigned char c) {
    if (c >= 0x21 && c < 0x7F) return std::string("'") + static_cast<char>(c) + "'";
    return hex(c);
}

// UTF-8 text as it reads in a message: quoted, control bytes in hex, cut after about 60
// bytes (between characters).
std::string quoted(std::string_view text) {
    size_t shown_bytes = std::min<size_t>(text.size(), 60);
    while (shown_bytes < text.size() && (static_cast<unsigned char>(text[shown_bytes]) & 0xC0) == 0x80) --shown_bytes;
    std::string out = "'";
    for (size_t i = 0; i < shown_bytes; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const auto next = i + 1 < shown_bytes ? static_cast<unsigned char>(text[i + 1]) : 0;
        if (c < 0x20 || c == 0x7F) {
            out += "\\x" + hex(c).substr(2);
        } else if (c == 0xC2 && next >= 0x80 && next < 0xA0) {  // U+0080 .. U+009F
            out += "\\u00" + hex(next).substr(2);
            ++i;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + (shown_bytes < text.size() ? "...'" : "'");
}

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

class Reader {
public:
    Reader(std::string_view text, std::string_view source, const DecoyMarkers &markers, bool drop_decoys)
        : text_(text), source_(source), markers_(markers), drop_decoys_(drop_decoys) {}

    FastaProteins read() {
        out_.residues.reserve(text_.size());
        // A UTF-8 byte-order mark before the first line is no part of the text.
        size_t pos = text_.starts_with(kByteOrderMark) ? kByteOrderMark.size() : 0;
        // Lines end at LF (a CR before it is a space); a file without any LF ends them at CR.
        const char line_end = text_.find('\n') == std::string_view::npos ? '\r' : '\n';
        bool any_text = false;
        while (pos < text_.size()) {
            size_t eol = text_.find(line_end, pos);
            if (eol == std::string_view::npos) eol = text_.size();
            const std::string_view line = text_.substr(pos, eol - pos);
            ++line_;
            if (!line.empty() && line[0] == '>') {
                any_text = true;
                finish_record();
                start_record(line.substr(1));
            } else if (!line.empty() && line[0] == ';') {
                any_text = true;  // a comment line
            } else {
                any_text |= sequence_line(line);
            }
            pos = eol + 1;
        }
        finish_record();
        if (!any_text) fail_file("the file is empty; a FASTA file holds '>' header lines, each followed by its sequence");
        if (out_.residues.empty()) {
            if (out_.dropped_decoys > 0)
                fail_file("every protein is a decoy (" + std::to_string(out_.dropped_decoys) +
                          " records) and decoys are dropped; keep them, or use a file with target proteins");
            fail_file("no protein holds any residue");
        }
        return std::move(out_);
    }

private:
    [[noreturn]] void fail_file(const std::string &what) const { throw InvalidInput(std::string(source_) + ": " + what); }
    [[noreturn]] void fail_line(const std::string &what) const {
        throw InvalidInput(std::string(source_) + ", line " + std::to_string(line_) + ": " + what);
    }

    void start_record(std::string_view header) {
        size_t b = 0;
        while (b < header.size() && is_space(static_cast<unsigned char>(header[b]))) ++b;
        size_t e = b;
        while (e < header.size() && !is_space(static_cast<unsigned char>(header[e]))) ++e;
        const std::string_view accession = header.substr(b, e - b);
        if (accession.empty()) fail_line("header line without an accession (the first word after '>')");
        check_accession(accession);
        const bool decoy = markers_.marks(accession);
        accession_ = accession;
        in_record_ = true;
        skipping_ = decoy && drop_decoys_;
        if (skipping_) {
            ++out_.dropped_decoys;
            return;
        }
        auto [it, added] = ids_.try_emplace(accession_, static_cast<uint32_t>(out_.accessions.size()));
        if (added) out_.accessions.push_back(std::make_shared<const std::string>(accession));
        out_.proteins.push_back({it->second, out_.residues.size(), out_.residues.size(), line_, decoy});
    }

    // An accession is written into the proteins column of every output, where ';' separates
    // accessions and control characters would break lines and fields: both are refused.
    void check_accession(std::string_view accession) const {
        if (!is_utf8(accession)) fail_line("the accession is not valid UTF-8 text");
        for (size_t i = 0; i < accession.size(); ++i) {
            const auto c = static_cast<unsigned char>(accession[i]);
            const bool c1 = c == 0xC2 && i + 1 < accession.size() &&
                            static_cast<unsigned char>(accession[i + 1]) < 0xA0;  // U+0080 .. U+009F
            if (c == ';')
                fail_line("the accession " + quoted(accession) +
                          " holds ';', which separates the accessions of a peptide's proteins in the "
                          "results; replace it in the header");
            if (c < 0x20 || c == 0x7F || c1)
                fail_line("the accession " + quoted(accession) + " holds the control character " +
                          (c1 ? "U+00" + hex(static_cast<unsigned char>(accession[i + 1])).substr(2) : shown(c)));
        }
    }

    void finish_record() {
        if (!in_record_ || skipping_) return;
        FastaProtein &p = out_.proteins.back();
        while (out_.residues.size() > p.begin && out_.residues.back() == '*') out_.residues.pop_back();
        p.end = out_.residues.size();
    }

    // Copies the residues of one line; returns whether the line held anything.
    bool sequence_line(std::string_view line) {
        bool any = false;
        for (const char ch : line) {
            const auto c = static_cast<unsigned char>(ch);
            if (is_space(c)) continue;
            any = true;
            if (!in_record_) fail_line("sequence data before the first header line (a line starting with '>')");
            const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
            if (!letter && c != '*')
                fail_line("unexpected character " + shown(c) + " in the sequence of protein " + accession_ +
                          "; sequence lines hold residue letters and '*'");
            if (!skipping_) out_.residues.push_back(static_cast<char>(c >= 'a' ? c - ('a' - 'A') : c));
        }
        return any;
    }

    std::string_view text_, source_;
    const DecoyMarkers &markers_;
    const bool drop_decoys_;
    FastaProteins out_;
    std::unordered_map<std::string, uint32_t> ids_;
    std::string accession_;
    size_t line_ = 0;
    bool in_record_ = false, skipping_ = false;
};

}  // namespace

FastaProteins read_fasta(std::string_view text, std::string_view source, const DecoyMarkers &markers,
                         bool drop_decoys) {
    return Reader(text, source, markers, drop_decoys).read();
}

}  // namespace mesk
