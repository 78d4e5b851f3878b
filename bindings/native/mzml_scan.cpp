// A scanner of mzML `<spectrum>` elements: the fast path of the mzML reader. Given a buffer
// that holds the content of a `<spectrumList>` (or a piece of it), it reads each whole
// spectrum element, takes the values the reader takes (native id, MS level, scan start time
// in minutes, total ion current, precursors with charge, intensity and isolated range,
// whether the scan is profile) and decodes its m/z and intensity arrays, all without the
// interpreter lock. It reads the plain form of XML that mzML writers produce. Whatever lies
// outside that form (comments, CDATA, character references, non-ASCII bytes, namespace
// prefixes, values that are no plain decimal numbers) and every fault of the file (a
// malformed element, a truncated file, an array that does not decode, an undefined
// parameter group) stops the scan with a reason: the reader then reads the rest of the
// file by its own path, the reference, which names the fault or reads the construct. The
// scanner never fails a file itself and never reads a value differently from the reference.
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <unordered_map>
#include <utility>
#include <vector>

#include "binary_arrays.hpp"
#include "convert.hpp"
#include "interpreter_lock.hpp"
#include "native.hpp"
#include "pyclass.hpp"

namespace bind::native {

namespace {

using std::string_view;

// Controlled-vocabulary accessions read here (the same as the reader's).
constexpr string_view MS_LEVEL = "MS:1000511", MS1_SPECTRUM = "MS:1000579", PROFILE_SPECTRUM = "MS:1000128",
                      TOTAL_ION_CURRENT = "MS:1000285", SCAN_START_TIME = "MS:1000016",
                      SELECTED_ION_MZ = "MS:1000744", CHARGE_STATE = "MS:1000041",
                      POSSIBLE_CHARGE_STATE = "MS:1000633", PEAK_INTENSITY = "MS:1000042",
                      ISOLATION_TARGET = "MS:1000827", ISOLATION_LOWER = "MS:1000828",
                      ISOLATION_UPPER = "MS:1000829", MZ_ARRAY = "MS:1000514", INTENSITY_ARRAY = "MS:1000515",
                      ZLIB = "MS:1000574", NO_COMPRESSION = "MS:1000576";
constexpr uint64_t MAX_VALUES = uint64_t{1} << 27;
constexpr int MAX_DEPTH = 64;

// Stops the scan of one spectrum: not complete in the buffer yet, or not for this scanner.
struct Incomplete {};
struct Unsupported {
    const char *reason;
};

struct Param {
    string_view accession;
    std::optional<string_view> value, unit_accession, unit_name;
    string_view name;
};
// A cvParam list by accession, in the order the accessions first came (a dict's order).
using Params = std::vector<Param>;

void put(Params &params, const Param &param) {
    for (auto &p : params)
        if (p.accession == param.accession) {
            p = param;
            return;
        }
    params.push_back(param);
}

const Param *find(const Params &params, string_view accession) {
    for (const auto &p : params)
        if (p.accession == accession) return &p;
    return nullptr;
}

struct Attribute {
    string_view name, value;
};

struct Node {
    string_view name;
    std::vector<Attribute> attributes;
    std::vector<int> children;
    string_view text;     // the text before the first child element
};

std::optional<string_view> get(const Node &node, string_view name) {
    for (const auto &a : node.attributes)
        if (a.name == name) return a.value;
    return std::nullopt;
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_name_start(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool is_name_char(char c) {
    return is_name_start(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

// One spectrum element parsed into nodes; values point into the buffer or `decoded`.
class Parser {
public:
    Parser(const char *data, size_t size) : data_(data), size_(size) {}

    // Parses the element that starts at `pos` ('<'); returns the end offset.
    size_t element(size_t pos) {
        count = 0;  // the nodes are reused, keeping their lists' storage
        decoded.clear();
        pos_ = pos;
        parse(0);
        return pos_;
    }

    std::vector<Node> nodes;  // the first `count` are the element's
    size_t count = 0;
    std::deque<std::string> decoded;

private:
    char at(size_t i) const {
        if (i >= size_) throw Incomplete{};
        return data_[i];
    }

    string_view name() {
        const size_t start = pos_;
        if (!is_name_start(at(pos_))) throw Unsupported{"an element or attribute name outside the plain form"};
        while (is_name_char(at(pos_))) ++pos_;
        if (at(pos_) == ':') throw Unsupported{"a namespace prefix"};
        return {data_ + start, pos_ - start};
    }

    void skip_space() {
        while (is_space(at(pos_))) ++pos_;
    }

    string_view attribute_value(char quote) {
        const size_t start = pos_;
        bool entity = false;
        for (char c; (c = at(pos_)) != quote; ++pos_) {
            if (c == '<') throw Unsupported{"a '<' in an attribute value"};
            if (c == '&') entity = true;
            // Attribute-value normalisation turns these into spaces: left to the reference.
            if (c == '\t' || c == '\n' || c == '\r') throw Unsupported{"a line break or tab in an attribute value"};
        }
        string_view raw{data_ + start, pos_ - start};
        ++pos_;
        if (!entity) return raw;
        std::string out;
        for (size_t i = 0; i < raw.size(); ++i) {
            if (raw[i] != '&') {
                out += raw[i];
                continue;
            }
            const size_t end = raw.find(';', i);
            if (end == string_view::npos) throw Unsupported{"a malformed entity reference"};
            const string_view entity_name = raw.substr(i + 1, end - i - 1);
            if (entity_name == "amp") out += '&';
            else if (entity_name == "lt") out += '<';
            else if (entity_name == "gt") out += '>';
            else if (entity_name == "quot") out += '"';
            else if (entity_name == "apos") out += '\'';
            else throw Unsupported{"a character or entity reference"};
            i = end;
        }
        decoded.push_back(std::move(out));
        return decoded.back();
    }

    // Parses one element at pos_ into a new node; returns its index.
    int parse(int depth) {
        if (depth > MAX_DEPTH) throw Unsupported{"elements nested too deep"};
        const int index = static_cast<int>(count++);
        if (nodes.size() < count) nodes.emplace_back();
        Node &fresh = nodes[index];
        fresh.attributes.clear();
        fresh.children.clear();
        fresh.text = {};
        ++pos_;  // '<'
        const string_view tag = name();
        nodes[index].name = tag;
        for (;;) {
            const size_t before = pos_;
            skip_space();
            const char c = at(pos_);
            if (c == '>') {
                ++pos_;
                break;
            }
            if (c == '/') {
                if (at(pos_ + 1) != '>') throw Unsupported{"a malformed start tag"};
                pos_ += 2;
                return index;
            }
            if (pos_ == before) throw Unsupported{"attributes without space between them"};
            const string_view attribute = name();
            if (attribute.substr(0, 5) == "xmlns") throw Unsupported{"a namespace declaration inside a spectrum"};
            skip_space();
            if (at(pos_) != '=') throw Unsupported{"a malformed attribute"};
            ++pos_;
            skip_space();
            const char quote = at(pos_);
            if (quote != '"' && quote != '\'') throw Unsupported{"a malformed attribute"};
            ++pos_;
            const string_view value = attribute_value(quote);
            for (const auto &a : nodes[index].attributes)
                if (a.name == attribute) throw Unsupported{"a repeated attribute"};
            nodes[index].attributes.push_back({attribute, value});
        }
        bool first_text = true;
        for (;;) {
            const size_t start = pos_;
            const void *found = pos_ < size_ ? std::memchr(data_ + pos_, '<', size_ - pos_) : nullptr;
            if (!found) throw Incomplete{};
            pos_ = static_cast<size_t>(static_cast<const char *>(found) - data_);
            const string_view between{data_ + start, pos_ - start};
            if (between.find('&') != string_view::npos) throw Unsupported{"a character or entity reference in text"};
            if (between.find("]]>") != string_view::npos) throw Unsupported{"']]>' in text"};
            if (first_text) {
                nodes[index].text = {data_ + start, pos_ - start};
                first_text = false;
            }
            const char next = at(pos_ + 1);
            if (next == '/') {
                pos_ += 2;
                const string_view closing = name();
                if (closing != tag) throw Unsupported{"an end tag that does not match its start tag"};
                skip_space();
                if (at(pos_) != '>') throw Unsupported{"a malformed end tag"};
                ++pos_;
                return index;
            }
            if (next == '!' || next == '?') throw Unsupported{"a comment, CDATA section or processing instruction"};
            const int child = parse(depth + 1);
            nodes[index].children.push_back(child);
        }
    }

    const char *data_;
    size_t size_;
    size_t pos_ = 0;
};

// A number as Python's float() reads it, for the plain decimal form only
// ([+-]digits[.digits][e[+-]digits]); anything else is left to the reference.
double plain_number(string_view text) {
    size_t i = 0;
    const size_t n = text.size();
    if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
    size_t digits = 0;
    while (i < n && text[i] >= '0' && text[i] <= '9') ++i, ++digits;
    if (i < n && text[i] == '.') {
        ++i;
        while (i < n && text[i] >= '0' && text[i] <= '9') ++i, ++digits;
    }
    if (!digits) throw Unsupported{"a number outside the plain decimal form"};
    if (i < n && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
        size_t exponent = 0;
        while (i < n && text[i] >= '0' && text[i] <= '9') ++i, ++exponent;
        if (!exponent) throw Unsupported{"a number outside the plain decimal form"};
    }
    if (i != n) throw Unsupported{"a number outside the plain decimal form"};
    double value = 0.0;
    const char *first = text.data() + (text[0] == '+' ? 1 : 0);
    const auto [end, error] = std::from_chars(first, text.data() + n, value, std::chars_format::general);
    if (error != std::errc{} || end != text.data() + n || !std::isfinite(value))
        throw Unsupported{"a number beyond the range of doubles"};
    return value;
}

std::optional<double> number(const Params &params, string_view accession) {
    const Param *p = find(params, accession);
    if (!p) return std::nullopt;
    if (!p->value) throw Unsupported{"a numeric parameter without a value"};
    return plain_number(*p->value);
}

// Minutes per unit of scan start time, by unit accession or name (the reader's table).
std::optional<double> minutes_per(string_view unit) {
    if (unit == "UO:0000010" || unit == "second") return 1.0 / 60.0;
    if (unit == "UO:0000031" || unit == "minute") return 1.0;
    if (unit == "UO:0000028" || unit == "millisecond") return 1.0 / 60000.0;
    return std::nullopt;
}

// Array kinds and their numeric types.
enum Kind { MZ = 0, INTENSITY = 1 };
std::optional<int> dtype_code(string_view accession) {
    if (accession == "MS:1000521") return 0;  // 32-bit float
    if (accession == "MS:1000523") return 1;  // 64-bit float
    if (accession == "MS:1000519") return 2;  // 32-bit integer
    if (accession == "MS:1000522") return 3;  // 64-bit integer
    return std::nullopt;
}
bool is_numpress(string_view accession) {
    return accession == "MS:1002312" || accession == "MS:1002313" || accession == "MS:1002314" ||
           accession == "MS:1002746" || accession == "MS:1002747" || accession == "MS:1002748";
}
bool mentions(string_view name, string_view word) {
    if (name.size() < word.size()) return false;
    for (size_t i = 0; i + word.size() <= name.size(); ++i) {
        size_t j = 0;
        while (j < word.size()) {
            char c = name[i + j];
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            if (c != word[j]) break;
            ++j;
        }
        if (j == word.size()) return true;
    }
    return false;
}

struct Array {
    bool present = false;
    std::vector<string_view> text;  // the binary text, in pieces
    int dtype = 0;
    bool zlib = false;
    std::optional<string_view> length;
};

struct Precursor {
    double mz;
    std::optional<double> charge, intensity;
    std::optional<std::pair<double, double>> isolation;
    std::optional<std::string> ref;
    bool short_form;  // only m/z and ref (an m/z that is not positive)
};

struct Decoded {
    std::vector<uint8_t> mz, intensity;
    int mz_dtype = 0, intensity_dtype = 0;
};

struct Spectrum {
    std::string id;
    std::optional<int> level;
    bool full = false;
    double rt = std::nan("");
    std::optional<double> tic;
    std::vector<Precursor> precursors;
    std::optional<Decoded> peaks;  // none: no arrays (no peaks)
    int ms1 = 0;                   // 0 not handed on, 1 handed on, 2 left out (no scan start time)
    bool centroided = true;
};

using Groups = std::unordered_map<std::string, std::vector<Param>>;

class Interpreter {
public:
    Interpreter(const Parser &parser, const Groups &groups) : nodes_(parser.nodes), groups_(groups) {}

    Params params(const Node &node) const {
        Params out;
        for (int c : node.children) {
            const Node &child = nodes_[c];
            if (child.name == "cvParam") {
                put(out, {get(child, "accession").value_or(""), get(child, "value"), get(child, "unitAccession"),
                          get(child, "unitName"), get(child, "name").value_or("")});
            } else if (child.name == "referenceableParamGroupRef") {
                const auto found = groups_.find(std::string(get(child, "ref").value_or("")));
                if (found == groups_.end()) throw Unsupported{"a reference to an undefined parameter group"};
                for (const auto &p : found->second) put(out, p);
            }
        }
        return out;
    }

    double scan_start_time(const Node &scan_list) const {
        for (int c : scan_list.children) {
            const Node &scan = nodes_[c];
            if (scan.name != "scan") continue;
            const Params p = params(scan);
            const auto value = number(p, SCAN_START_TIME);
            if (!value) return std::nan("");
            const Param *param = find(p, SCAN_START_TIME);
            if (!param->unit_accession && !param->unit_name) return *value;
            auto factor = minutes_per(param->unit_accession.value_or(""));
            if (!factor) factor = minutes_per(param->unit_name.value_or(""));
            if (!factor) throw Unsupported{"a scan start time in an unknown unit"};
            return *value * *factor;
        }
        return std::nan("");
    }

    void precursors(const Node &precursor, std::vector<Precursor> &out) const {
        Params window;
        std::vector<const Node *> ions;
        for (int c : precursor.children) {
            const Node &child = nodes_[c];
            if (child.name == "isolationWindow") {
                window = params(child);
            } else if (child.name == "selectedIonList") {
                for (int i : child.children)
                    if (nodes_[i].name == "selectedIon") ions.push_back(&nodes_[i]);
            }
        }
        const auto target = number(window, ISOLATION_TARGET);
        const auto lower = number(window, ISOLATION_LOWER);
        const auto upper = number(window, ISOLATION_UPPER);
        if (lower && upper && !(*lower >= 0 && *upper >= 0 && std::isfinite(*lower + *upper)))
            throw Unsupported{"isolation window offsets that are not both finite and non-negative"};
        const auto ref_view = get(precursor, "spectrumRef");
        const std::optional<std::string> ref = ref_view ? std::optional<std::string>(*ref_view) : std::nullopt;
        for (const Node *ion : ions) {
            const Params p = params(*ion);
            const auto mz = number(p, SELECTED_ION_MZ);
            if (!mz) continue;
            if (!(std::isfinite(*mz) && *mz > 0)) {
                out.push_back({*mz, std::nullopt, std::nullopt, std::nullopt, ref, true});
                continue;
            }
            auto charge = number(p, CHARGE_STATE);
            if (!charge) {
                int possible = 0;
                for (int c : ion->children)
                    if (nodes_[c].name == "cvParam" && get(nodes_[c], "accession") == POSSIBLE_CHARGE_STATE) ++possible;
                if (possible == 1) charge = number(p, POSSIBLE_CHARGE_STATE);
            }
            const auto intensity = number(p, PEAK_INTENSITY);
            std::optional<std::pair<double, double>> isolation;
            if (lower && upper) {
                const double centre = !target || !std::isfinite(*target) ? *mz : *target;
                isolation = std::make_pair(centre - *lower, centre + *upper);
            }
            if (charge) {
                if (!std::isfinite(*charge) || *charge != std::trunc(*charge)) throw Unsupported{"a fractional charge"};
                if (*charge < 0) throw Unsupported{"a negative charge"};
                if (*charge == 0) charge.reset();
            }
            out.push_back({*mz, charge, intensity, isolation, ref, false});
        }
    }

    void array(const Node &node, Array (&arrays)[2]) const {
        const Params p = params(node);
        int kind;
        if (find(p, MZ_ARRAY)) kind = MZ;
        else if (find(p, INTENSITY_ARRAY)) kind = INTENSITY;
        else return;
        if (arrays[kind].present) throw Unsupported{"a spectrum with two arrays of one kind"};
        std::optional<int> dtype;
        for (const auto &param : p) {
            if (!dtype) dtype = dtype_code(param.accession);
            if (is_numpress(param.accession) ||
                (param.accession != ZLIB && param.accession != NO_COMPRESSION &&
                 (mentions(param.name, "compression") || mentions(param.name, "numpress"))))
                throw Unsupported{"an array compression other than zlib"};
        }
        if (!dtype) throw Unsupported{"an array without a data type"};
        Array &a = arrays[kind];
        a.present = true;
        a.dtype = *dtype;
        a.zlib = find(p, ZLIB) != nullptr;
        a.length = get(node, "arrayLength");
        for (int c : node.children) {
            const Node &binary = nodes_[c];
            if (binary.name != "binary") continue;
            if (!binary.children.empty()) throw Unsupported{"markup inside a binary array"};
            a.text.push_back(binary.text);
        }
    }

    // The rt and arrays of the scanList and binaryDataArrayList children (and precursors,
    // when `precursors` is given), in document order as the reference reads them.
    void children(const Node &spectrum, double &rt, Array (&arrays)[2], std::vector<Precursor> *precursors) const {
        for (int c : spectrum.children) {
            const Node &child = nodes_[c];
            if (child.name == "scanList") {
                if (std::isnan(rt)) rt = scan_start_time(child);
            } else if (child.name == "precursorList") {
                if (!precursors) continue;
                for (int i : child.children)
                    if (nodes_[i].name == "precursor") this->precursors(nodes_[i], *precursors);
            } else if (child.name == "binaryDataArrayList") {
                for (int i : child.children)
                    if (nodes_[i].name == "binaryDataArray") array(nodes_[i], arrays);
            }
        }
    }

private:
    const std::vector<Node> &nodes_;
    const Groups &groups_;
};

uint64_t declared_length(std::optional<string_view> array_length, std::optional<string_view> default_length) {
    std::optional<string_view> declared = array_length ? array_length : default_length;
    if (!declared) throw Unsupported{"an array without a length"};
    string_view text = *declared;
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    if (text.empty()) throw Unsupported{"an array without a length"};
    uint64_t length = 0;
    for (char c : text) {
        if (c < '0' || c > '9') throw Unsupported{"an array length that is no whole number"};
        length = length * 10 + static_cast<uint64_t>(c - '0');
        if (length > MAX_VALUES) throw Unsupported{"an array longer than a spectrum may hold"};
    }
    return length;
}

std::vector<uint8_t> decode(const Array &a, std::optional<string_view> default_length) {
    const uint64_t length = declared_length(a.length, default_length);
    const size_t itemsize = (a.dtype == 0 || a.dtype == 2) ? 4 : 8;
    const size_t wanted = static_cast<size_t>(length) * itemsize;
    std::vector<uint8_t> data;
    std::string joined;
    string_view text = a.text.size() == 1 ? a.text[0] : string_view{};
    if (a.text.size() > 1) {
        for (const auto piece : a.text) joined.append(piece);
        text = joined;
    }
    if (!decode_base64(text.data(), text.size(), data)) throw Unsupported{"an array that is not valid base64"};
    if (!a.zlib) {
        if (data.size() != wanted) throw Unsupported{"an array of another length than declared"};
        return data;
    }
    std::vector<uint8_t> out(wanted);
    if (!inflate_exactly(data, out.data(), wanted)) throw Unsupported{"a zlib array that does not inflate to its length"};
    return out;
}

std::optional<Decoded> peaks(const Array (&arrays)[2], std::optional<string_view> default_length) {
    if (!arrays[MZ].present && !arrays[INTENSITY].present && (!default_length || *default_length == "0"))
        return std::nullopt;
    if (!arrays[MZ].present || !arrays[INTENSITY].present) throw Unsupported{"a spectrum without both arrays"};
    Decoded d;
    d.mz = decode(arrays[MZ], default_length);
    d.intensity = decode(arrays[INTENSITY], default_length);
    d.mz_dtype = arrays[MZ].dtype;
    d.intensity_dtype = arrays[INTENSITY].dtype;
    const size_t mz_size = (d.mz_dtype == 0 || d.mz_dtype == 2) ? 4 : 8;
    const size_t intensity_size = (d.intensity_dtype == 0 || d.intensity_dtype == 2) ? 4 : 8;
    if (d.mz.size() / mz_size != d.intensity.size() / intensity_size)
        throw Unsupported{"arrays of different lengths"};
    return d;
}

// The names of elements that the reference's parser stops at wherever they are.
bool is_watched(string_view name) {
    return name == "mzML" || name == "referenceableParamGroup" || name == "spectrumList" || name == "spectrum" ||
           name == "chromatogram";
}

struct Options {
    std::optional<int> ms_level;  // keep this level in full (none: every level)
    bool ms1 = false;             // hand the MS1 scans on
};

Spectrum interpret(const Parser &parser, const Groups &groups, const Options &options, uint64_t position) {
    const auto &nodes = parser.nodes;
    for (size_t i = 1; i < parser.count; ++i)
        if (is_watched(nodes[i].name)) throw Unsupported{"a spectrum that holds mzML list elements"};
    const Node &root = nodes[0];
    Interpreter reading(parser, groups);
    Spectrum s;
    const auto id = get(root, "id");
    if (id && !id->empty()) {
        s.id = std::string(*id);
    } else {
        const auto index = get(root, "index");
        s.id = "index=" + (index ? std::string(*index) : std::to_string(position));
    }
    const Params params = reading.params(root);
    const auto level = number(params, MS_LEVEL);
    if (!level) {
        if (find(params, MS1_SPECTRUM)) s.level = 1;
    } else if (std::isfinite(*level) && *level == std::trunc(*level) && *level >= 0 && *level < 256) {
        s.level = static_cast<int>(*level);
    } else {
        throw Unsupported{"an ms level that is no level"};
    }
    const auto default_length = get(root, "defaultArrayLength");
    if (options.ms1 && s.level == 1) {
        double rt = std::nan("");
        Array arrays[2];
        reading.children(root, rt, arrays, nullptr);
        if (std::isnan(rt)) {
            s.ms1 = 2;
        } else {
            s.ms1 = 1;
            s.rt = rt;
            s.peaks = peaks(arrays, default_length);
            s.centroided = find(params, PROFILE_SPECTRUM) == nullptr;
        }
    }
    if (options.ms_level && s.level != options.ms_level) return s;
    s.full = true;
    double rt = std::nan("");
    Array arrays[2];
    reading.children(root, rt, arrays, &s.precursors);
    s.rt = rt;
    s.tic = number(params, TOTAL_ION_CURRENT);
    if (s.ms1 != 1) s.peaks = peaks(arrays, default_length);
    return s;
}

// Scans the spectra in `data`, from `pos` (inside a spectrumList, between spectra).
struct Scan {
    std::vector<Spectrum> spectra;
    size_t consumed = 0;
    int status = 0;  // 0: more data needed, 1: the list's end reached, 2: stopped (reason)
    const char *reason = nullptr;
};

// Whether every byte is printable ASCII or a tab, line feed or carriage return.
bool plain_bytes(const unsigned char *p, size_t n) {
    unsigned bad = 0;
    for (size_t i = 0; i < n; ++i) {
        const unsigned c = p[i];
        bad |= (c >= 0x80u) | ((c < 0x20u) & (c != 9u) & (c != 10u) & (c != 13u));
    }
    return bad == 0;
}

bool starts(const char *data, size_t size, size_t pos, string_view word) {
    return pos + word.size() <= size && std::memcmp(data + pos, word.data(), word.size()) == 0;
}

Scan scan(const char *data, size_t size, bool final, uint64_t position, const Groups &groups, const Options &options) {
    Scan out;
    Parser parser(data, size);
    size_t pos = 0;
    try {
        for (;;) {
            while (pos < size && is_space(data[pos])) ++pos;
            if (pos + 16 > size) throw Incomplete{};
            if (starts(data, size, pos, "</spectrumList") &&
                (is_space(data[pos + 14]) || data[pos + 14] == '>')) {
                size_t close = pos + 14;
                while (close < size && is_space(data[close])) ++close;
                if (close == size) throw Incomplete{};
                if (data[close] != '>') throw Unsupported{"a malformed end tag"};
                out.status = 1;
                out.consumed = close + 1;
                return out;
            }
            if (!starts(data, size, pos, "<spectrum") ||
                !(is_space(data[pos + 9]) || data[pos + 9] == '>' || data[pos + 9] == '/'))
                throw Unsupported{"content between spectra other than spectra"};
            const size_t end = parser.element(pos);
            if (!plain_bytes(reinterpret_cast<const unsigned char *>(data + pos), end - pos))
                throw Unsupported{"non-ASCII or control characters"};
            out.spectra.push_back(interpret(parser, groups, options, position + out.spectra.size()));
            pos = end;
            out.consumed = end;
        }
    } catch (const Incomplete &) {
        if (final) {
            out.status = 2;
            out.reason = "the file ends inside the spectrum list";
        }
    } catch (const Unsupported &u) {
        out.status = 2;
        out.reason = u.reason;
    }
    return out;
}

// Python values.
Ref text(string_view s) { return own(PyUnicode_DecodeASCII(s.data(), static_cast<Py_ssize_t>(s.size()), "strict")); }
Ref optional_float(const std::optional<double> &v) { return v ? own(PyFloat_FromDouble(*v)) : none(); }
Ref bytes(const std::vector<uint8_t> &v) {
    return own(PyBytes_FromStringAndSize(reinterpret_cast<const char *>(v.data()), static_cast<Py_ssize_t>(v.size())));
}

Ref spectrum_tuple(const Spectrum &s) {
    Ref precursors = own(PyList_New(static_cast<Py_ssize_t>(s.precursors.size())));
    for (size_t i = 0; i < s.precursors.size(); ++i) {
        const Precursor &p = s.precursors[i];
        Ref ref = p.ref ? text(*p.ref) : none();
        Ref item;
        if (p.short_form) {
            item = own(Py_BuildValue("(dOOOO)", p.mz, Py_None, Py_None, Py_None, ref.get()));
        } else {
            Ref charge = p.charge ? own(PyLong_FromDouble(*p.charge)) : none();
            Ref intensity = optional_float(p.intensity);
            Ref isolation = p.isolation ? own(Py_BuildValue("(dd)", p.isolation->first, p.isolation->second)) : none();
            item = own(Py_BuildValue("(dOOOO)", p.mz, charge.get(), intensity.get(), isolation.get(), ref.get()));
        }
        if (PyList_SetItem(precursors.get(), static_cast<Py_ssize_t>(i), item.release()) != 0) throw PyErrSet{};
    }
    Ref peaks = none();
    if (s.peaks) {
        Ref mz = bytes(s.peaks->mz), intensity = bytes(s.peaks->intensity);
        peaks = own(Py_BuildValue("(OiOi)", mz.get(), s.peaks->mz_dtype, intensity.get(), s.peaks->intensity_dtype));
    }
    Ref level = s.level ? own(PyLong_FromLong(*s.level)) : none();
    Ref tic = optional_float(s.tic);
    Ref id = text(s.id);
    return own(Py_BuildValue("(OOOdOOOii)", id.get(), level.get(), s.full ? Py_True : Py_False, s.rt, tic.get(),
                             precursors.get(), peaks.get(), s.ms1, s.centroided ? 1 : 0));
}

// The parameter groups, {id: [(accession, value, unit accession, unit name, name), ...]},
// copied into `strings` (ASCII only).
Groups read_groups(PyObject *mapping, std::deque<std::string> &strings) {
    Groups groups;
    if (!PyDict_Check(mapping)) raise(PyExc_TypeError, "scan_spectra(): groups must be a dict");
    auto str = [&](PyObject *o) -> std::optional<string_view> {
        if (o == Py_None) return std::nullopt;
        Py_ssize_t n = 0;
        if (!PyUnicode_Check(o)) raise(PyExc_TypeError, "scan_spectra(): group values must be str or None");
        const char *chars = PyUnicode_AsUTF8AndSize(o, &n);
        if (!chars) throw PyErrSet{};
        strings.emplace_back(chars, static_cast<size_t>(n));
        return string_view(strings.back());
    };
    PyObject *key, *value;
    Py_ssize_t i = 0;
    while (PyDict_Next(mapping, &i, &key, &value)) {
        const auto id = str(key);
        if (!id || !PyList_Check(value)) raise(PyExc_TypeError, "scan_spectra(): groups must map str to lists");
        std::vector<Param> params;
        const Py_ssize_t count = PyList_Size(value);
        for (Py_ssize_t j = 0; j < count; ++j) {
            PyObject *entry = PyList_GetItem(value, j);
            if (!entry) throw PyErrSet{};
            if (!PyTuple_Check(entry) || PyTuple_Size(entry) != 5)
                raise(PyExc_TypeError, "scan_spectra(): group parameters must be 5-tuples");
            std::optional<string_view> fields[5];
            for (Py_ssize_t k = 0; k < 5; ++k) fields[k] = str(PyTuple_GetItem(entry, k));
            if (!fields[0] || !fields[4]) raise(PyExc_TypeError, "scan_spectra(): accession and name must be str");
            params.push_back(Param{*fields[0], fields[1], fields[2], fields[3], *fields[4]});
        }
        groups.emplace(std::string(*id), std::move(params));
    }
    return groups;
}

// scan_spectra(data, final, position, ms_level, ms1, groups) -> (records, consumed, status, reason)
Ref scan_spectra(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const Signature sig{"scan_spectra()", {"data", "final", "position", "ms_level", "ms1", "groups"}, 6};
    const Bound b = bind_args(sig, args, nargs, kwnames);
    PyObject *data = b[0];
    if (!PyBytes_Check(data)) raise(PyExc_TypeError, "scan_spectra(): data must be bytes");
    const bool final = arg<bool>(sig, b, 1);
    const uint64_t position = arg<uint64_t>(sig, b, 2);
    Options options;
    if (b[3] != Py_None) {
        const uint64_t level = arg<uint64_t>(sig, b, 3);
        if (level > 255) raise(PyExc_ValueError, "scan_spectra(): ms_level must be at most 255");
        options.ms_level = static_cast<int>(level);
    }
    options.ms1 = arg<bool>(sig, b, 4);
    std::deque<std::string> strings;
    const Groups groups = read_groups(b[5], strings);
    const char *chars = PyBytes_AsString(data);
    if (!chars) throw PyErrSet{};
    const auto size = static_cast<size_t>(PyBytes_Size(data));
    Scan result;
    {
        // The bytes object is immutable and held by the caller for the call.
        WithoutInterpreterLock unlocked;
        result = scan(chars, size, final, position, groups, options);
    }
    Ref records = own(PyList_New(static_cast<Py_ssize_t>(result.spectra.size())));
    for (size_t i = 0; i < result.spectra.size(); ++i)
        if (PyList_SetItem(records.get(), static_cast<Py_ssize_t>(i), spectrum_tuple(result.spectra[i]).release()) != 0)
            throw PyErrSet{};
    Ref reason = result.reason ? own(PyUnicode_FromString(result.reason)) : none();
    return own(Py_BuildValue("(OniO)", records.get(), static_cast<Py_ssize_t>(result.consumed), result.status,
                             reason.get()));
}

PyMethodDef functions[] = {
    {"scan_spectra", as_cfunction(static_method<scan_spectra>), METH_FASTCALL | METH_KEYWORDS,
     "scan_spectra(data, final, position, ms_level, ms1, groups)\n--\n\n"
     "Reads the whole <spectrum> elements at the start of `data` (bytes inside an mzML spectrumList) without "
     "the interpreter lock: (records, consumed, status, reason), one record per spectrum "
     "(id, ms_level, full, rt, tic, precursors, peaks, ms1, centroided), `consumed` the bytes read, `status` 0 "
     "when more data is needed, 1 at the list's end, 2 when the scanner stops at a construct or fault it "
     "leaves to the reference reader (`reason`). `position` is the index of the first spectrum in the file; "
     "spectra of another level than `ms_level` (None: every level) come without values (`full` False); "
     "`ms1` decodes MS1 scans for the caller's MS1 store; `groups` the file's referenceableParamGroups."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

void add_mzml_scan(PyObject *module) { add_functions(module, functions); }

}  // namespace bind::native
