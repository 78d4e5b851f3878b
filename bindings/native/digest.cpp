// Digestion helpers of tovel_mesk._native: the digest call and its Digest result, the index
// build from a Digest or a peptide list, and the ProForma text and reported accessions of
// index peptides.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>

#include "classes.hpp"
#include "digest.hpp"
#include "failure.hpp"
#include "index_build.hpp"
#include "interpreter_lock.hpp"
#include "module_support.hpp"
#include "native.hpp"
#include "peptide_labels.hpp"
#include "pyclass.hpp"
#include "thread_pool.hpp"

namespace bind::native {

namespace {

using SharedDigest = std::shared_ptr<const mesk::Digest>;

PyTypeObject *digest_type();

// A count setting: an int converted as the binder does, refused with a message naming the
// setting when negative (the settings check the upper bounds).
unsigned count_arg(const Signature &sig, const Bound &b, size_t i) {
    const int32_t v = arg<int32_t>(sig, b, i);
    if (v < 0) {
        const std::string msg = std::string(*(sig.params.begin() + i)) + " must not be negative, not " + std::to_string(v);
        raise(PyExc_ValueError, msg.c_str());
    }
    return static_cast<unsigned>(v);
}

std::vector<mesk::Modification> modifications_arg(const Signature &sig, const Bound &b, size_t i) {
    std::vector<mesk::Modification> mods;
    for (const std::string &text : arg<std::vector<std::string>>(sig, b, i)) mods.push_back(mesk::parse_modification(text));
    return mods;
}

Ref digest(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const Signature sig{
        "digest()",
        {"text", "source", "enzyme", "missed_cleavages", "min_length", "max_length", "min_mass", "max_mass",
         "fixed_mods", "variable_mods", "max_variable_mods", "remove_initiator_met", "drop_decoys", "decoy_prefixes",
         "decoy_suffixes"},
        15};
    const Bound b = bind_args(sig, args, nargs, kwnames);
    if (b[0] != Py_None && !PyBytes_Check(b[0]))
        raise(PyExc_TypeError, "argument 'text': the FASTA text must be bytes, or None to check the settings only");
    const std::string source = arg<std::string>(sig, b, 1);
    mesk::DigestSettings s;
    s.enzyme = mesk::parse_enzyme(arg<std::string>(sig, b, 2));
    s.missed_cleavages = count_arg(sig, b, 3);
    s.min_length = count_arg(sig, b, 4);
    s.max_length = count_arg(sig, b, 5);
    s.min_mass = arg<double>(sig, b, 6);
    s.max_mass = arg<double>(sig, b, 7);
    s.fixed_mods = modifications_arg(sig, b, 8);
    s.variable_mods = modifications_arg(sig, b, 9);
    s.max_variable_mods = count_arg(sig, b, 10);
    s.remove_initiator_met = arg<bool>(sig, b, 11);
    s.drop_decoys = arg<bool>(sig, b, 12);
    s.decoy_markers.prefixes = arg<std::vector<std::string>>(sig, b, 13);
    s.decoy_markers.suffixes = arg<std::vector<std::string>>(sig, b, 14);
    s.validate();
    if (b[0] == Py_None) return none();

    // The bytes object stays alive and unchanged: the caller holds it for the whole call.
    char *data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(b[0], &data, &size) != 0) throw PyErrSet{};
    SharedDigest result;
    {
        WithoutInterpreterLock unlocked;
        result = std::make_shared<const mesk::Digest>(
            mesk::digest_fasta(std::string_view(data, static_cast<size_t>(size)), source, s, mesk::global_pool()));
    }
    return new_instance(digest_type(), std::move(result));
}

// ---- Digest ----

Ref get_peptides(const SharedDigest &d) {
    Ref list = own(PyList_New(static_cast<Py_ssize_t>(d->size())));
    for (size_t i = 0; i < d->size(); ++i)
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), new_instance(peptide_type(), d->peptide(i)).release());
    return list;
}

// One list of accessions per peptide; each accession is one str shared by every list.
Ref get_proteins(const SharedDigest &d) {
    std::vector<Ref> names(d->accessions.size());
    Ref list = own(PyList_New(static_cast<Py_ssize_t>(d->size())));
    for (size_t i = 0; i < d->size(); ++i) {
        const size_t begin = d->protein_begin[i], end = d->protein_begin[i + 1];
        Ref row = own(PyList_New(static_cast<Py_ssize_t>(end - begin)));
        for (size_t k = begin; k < end; ++k) {
            Ref &name = names[d->protein_ids[k]];
            if (!name) name = to_py(*d->accessions[d->protein_ids[k]]);
            PyList_SetItem(row.get(), static_cast<Py_ssize_t>(k - begin), Ref::borrow(name.get()).release());
        }
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), row.release());
    }
    return list;
}

Ref get_masses(const SharedDigest &d) {
    return to_py_list(d->masses, [](float m) { return to_py(m); });
}
Ref get_protein_count(const SharedDigest &d) { return to_py_uint(d->protein_count); }
Ref get_peptide_count(const SharedDigest &d) { return to_py_uint(d->size()); }
Ref get_skipped(const SharedDigest &d) { return to_py_uint(d->skipped); }
Ref get_dropped_decoys(const SharedDigest &d) { return to_py_uint(d->dropped_decoys); }

Ref digest_repr(const SharedDigest &d) {
    const std::string text = "<Digest: " + std::to_string(d->size()) + " peptides from " +
                             std::to_string(d->protein_count) + " proteins, " + std::to_string(d->skipped) +
                             " skipped for letters without mass, " + std::to_string(d->dropped_decoys) +
                             " decoy proteins dropped>";
    return to_py(text);
}

Py_ssize_t digest_length(PyObject *self) {
    return static_cast<Py_ssize_t>(instance<SharedDigest>(self)->value->size());
}

PyGetSetDef digest_properties[] = {
    {"peptides", property_get<SharedDigest, get_peptides>, nullptr,
     "The peptides as PyPeptide objects, ascending by mass; a new list on every read.", nullptr},
    {"proteins", property_get<SharedDigest, get_proteins>, nullptr,
     "The accessions of each peptide (a list of str per peptide, in file order), in the order of `peptides`.",
     nullptr},
    {"masses", property_get<SharedDigest, get_masses>, nullptr,
     "The neutral monoisotopic mass of each peptide in daltons (a 32-bit value), ascending.", nullptr},
    {"protein_count", property_get<SharedDigest, get_protein_count>, nullptr,
     "Number of protein records digested (dropped decoy records not counted).", nullptr},
    {"peptide_count", property_get<SharedDigest, get_peptide_count>, nullptr,
     "Number of distinct peptides (sequence and modifications), the same as len().", nullptr},
    {"skipped", property_get<SharedDigest, get_skipped>, nullptr,
     "Number of distinct sequences within the length range left out because they hold a letter without a "
     "mass (B, J, X or Z).",
     nullptr},
    {"dropped_decoys", property_get<SharedDigest, get_dropped_decoys>, nullptr,
     "Number of decoy protein records of the file left out.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyTypeObject *digest_type() {
    static PyTypeObject *type = make_class(
        {"tovel_mesk.Digest",
         "The peptides of a digested protein FASTA file, held compactly; made by tovel_mesk.digest_fasta.\n\n"
         "Peptides ascend by mass; identical peptides (same sequence and modifications) from several proteins are "
         "one peptide listing every accession. Python lists are built only when a property is read.",
         sizeof(Instance<SharedDigest>), dealloc_instance<SharedDigest>, nullptr, digest_properties, nullptr,
         repr<SharedDigest, digest_repr>, digest_length});
    return type;
}

// ---- the index build ----

// "peptide 3 (1234.5678 Da)"
std::string describe(size_t i, float mass) {
    char text[96];
    std::snprintf(text, sizeof text, "peptide %zu (%.4f Da)", i, static_cast<double>(mass));
    return text;
}

// The index finds candidates by binary search over peptide masses: an unsorted list would
// silently lose them, so it is refused.
void check_ascending(const std::vector<mesk::Peptide> &peptides) {
    for (size_t i = 0; i < peptides.size(); ++i) {
        const float mass = peptides[i].monoisotopic;
        std::string msg;
        if (std::isnan(mass))
            msg = "peptide " + std::to_string(i) + " has no mass (NaN)";
        else if (i > 0 && mesk::total_order_key(mass) < mesk::total_order_key(peptides[i - 1].monoisotopic))
            msg = "peptides must ascend by mass: " + describe(i, mass) + " follows " +
                  describe(i - 1, peptides[i - 1].monoisotopic) +
                  "; sort them by mass first (digest_fasta returns them sorted)";
        if (!msg.empty()) raise(PyExc_ValueError, msg.c_str());
    }
}

Ref build_database(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const Signature sig{
        "build_database()",
        {"peptides", "bucket_size", "ion_kinds", "min_ion_index", "generate_decoys", "decoy_tag", "fragment_list"},
        7};
    const Bound b = bind_args(sig, args, nargs, kwnames);
    mesk::BuildConfig config = index_settings(sig, b);
    config.fragment_list = arg<bool>(sig, b, 6);
    config.peptide_max_mass = std::numeric_limits<float>::infinity();  // carried only; the digest applied its range
    if (config.bucket_size == 0) raise(PyExc_ValueError, "bucket_size must be at least 1");

    SharedDigest digest;
    std::vector<mesk::Peptide> peptides;
    size_t decoys = 0;
    if (Py_TYPE(b[0]) == digest_type()) {
        digest = value_of<SharedDigest>(b[0], digest_type(), "Digest");
        decoys = digest->decoy_count();
    } else {
        peptides = arg<std::vector<mesk::Peptide>>(sig, b, 0);
        check_ascending(peptides);
        for (const mesk::Peptide &p : peptides) decoys += p.decoy ? 1 : 0;
    }
    if (config.generate_decoys && decoys > 0) {
        const std::string msg = std::to_string(decoys) +
                                " peptides come only from decoy proteins of the FASTA file; the index would reverse "
                                "them into targets. Build with generate_decoys=False to search the file's own "
                                "decoys, or digest with drop_decoys=True";
        raise(PyExc_ValueError, msg.c_str());
    }

    SharedDatabase db;
    std::string failure;
    {
        WithoutInterpreterLock unlocked;
        try {
            db = std::make_shared<const mesk::IndexedDatabase>(
                digest ? mesk::build_indexed_database_from(std::move(config), *digest)
                       : mesk::build_indexed_database(std::move(config), std::move(peptides)));
        } catch (const mesk::Failure &e) {
            failure = e.what();
        }
    }
    if (db == nullptr) raise(PyExc_RuntimeError, failure.c_str());
    return new_instance(database_type(), std::move(db));
}

// ---- labels of index peptides ----

// The database and a peptide position below its peptide count (IndexError otherwise).
std::pair<SharedDatabase, size_t> peptide_of(const Signature &sig, PyObject *const *args, Py_ssize_t nargs,
                                             PyObject *kwnames) {
    const Bound b = bind_args(sig, args, nargs, kwnames);
    SharedDatabase db = arg<SharedDatabase>(sig, b, 0);
    const uint64_t index = arg<uint64_t>(sig, b, 1);
    if (index >= db->peptide_count()) {
        const std::string msg = "peptide index " + std::to_string(index) + " is out of range: the index holds " +
                                std::to_string(db->peptide_count()) + " peptides";
        raise(PyExc_IndexError, msg.c_str());
    }
    return {std::move(db), static_cast<size_t>(index)};
}

Ref proforma(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const Signature sig{"proforma()", {"db", "peptide_idx"}, 2};
    const auto [db, index] = peptide_of(sig, args, nargs, kwnames);
    return to_py_lossy(mesk::proforma(db->peptide_at(index)));
}

Ref peptide_proteins(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const Signature sig{"peptide_proteins()", {"db", "peptide_idx"}, 2};
    const auto [db, index] = peptide_of(sig, args, nargs, kwnames);
    return to_py_list(mesk::reported_accessions(*db, index), [](const std::string &a) { return to_py_lossy(a); });
}

// (peptides, fragments, whether the index lists every fragment ion) without listing anything.
Ref database_layout(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const Signature sig{"database_layout()", {"db"}, 1};
    const Bound b = bind_args(sig, args, nargs, kwnames);
    const SharedDatabase db = arg<SharedDatabase>(sig, b, 0);
    Ref peptides = to_py_uint(db->peptide_count());
    Ref fragments = to_py_uint(db->fragments.size());
    return own(PyTuple_Pack(3, peptides.get(), fragments.get(), db->fragment_list ? Py_True : Py_False));
}

// ---- the protein catalogue of a FASTA file ----

// The white space of Python's str.split() and str.strip() among ASCII bytes.
bool is_text_space(unsigned char c) { return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20); }

// One record of the catalogue: its header's accession and description, and its body.
struct CatalogRecord {
    size_t accession_begin, accession_end, description_begin, description_end, body_begin, body_end;
    // Residues of an ASCII body: residues[residue_begin, residue_end); a body with other
    // bytes is left to the caller, whose text rules (Unicode white space and case) it needs.
    size_t residue_begin = 0, residue_end = 0;
    bool ascii_body = true;
};

// Splits FASTA bytes into records the way the package's catalogue reads a file: a record
// starts at '>' at the start of a line (lines end at LF), its header runs to the end of
// that line and its body to the start of the next record; text before the first record is
// no part of any. The accession is the first run of bytes above 0x20 after any bytes up to
// 0x20; the description the rest of the header (stripped by the caller). In an ASCII body,
// lines whose first byte past white space is ';' are comments; the residues are every
// other byte but white space, upper-cased, with closing '*'s removed.
std::vector<CatalogRecord> catalog_records(std::string_view text, std::string &residues) {
    std::vector<CatalogRecord> records;
    const char *data = text.data();
    const size_t n = text.size();
    size_t start = text.starts_with("\xEF\xBB\xBF") ? 3 : 0;
    // The first record starts at the first '>' opening a line.
    size_t pos = start;
    if (pos >= n || data[pos] != '>') {
        pos = n;
        for (const char *at = static_cast<const char *>(std::memchr(data + start, '\n', n - start)); at;) {
            const size_t i = static_cast<size_t>(at - data);
            if (i + 1 < n && data[i + 1] == '>') {
                pos = i + 1;
                break;
            }
            at = i + 1 < n ? static_cast<const char *>(std::memchr(data + i + 1, '\n', n - i - 1)) : nullptr;
        }
    }
    residues.reserve(n);
    while (pos < n) {
        const size_t header = pos + 1;
        // The record ends at the next LF followed by '>' (or at the end of the text).
        size_t end = n, next = n;
        const char *lf = static_cast<const char *>(std::memchr(data + header, '\n', n - header));
        const size_t header_end = lf ? static_cast<size_t>(lf - data) : n;
        for (const char *at = lf; at;) {
            const size_t i = static_cast<size_t>(at - data);
            if (i + 1 < n && data[i + 1] == '>') {
                end = i;
                next = i + 1;
                break;
            }
            at = i + 1 < n ? static_cast<const char *>(std::memchr(data + i + 1, '\n', n - i - 1)) : nullptr;
        }
        CatalogRecord r{};
        size_t a = header;
        while (a < header_end && static_cast<unsigned char>(data[a]) <= 0x20) ++a;
        size_t b = a;
        while (b < header_end && static_cast<unsigned char>(data[b]) > 0x20) ++b;
        r.accession_begin = a, r.accession_end = b, r.description_begin = b, r.description_end = header_end;
        r.body_begin = std::min(header_end + 1, end), r.body_end = end;
        r.residue_begin = residues.size();
        // Most lines are upper-case letters alone: those are copied whole.
        bool line_start = true, comment = false;
        for (size_t i = r.body_begin; i < r.body_end && r.ascii_body;) {
            if (line_start && !comment) {
                const char *lf_at = static_cast<const char *>(std::memchr(data + i, '\n', r.body_end - i));
                const size_t line_end = lf_at ? static_cast<size_t>(lf_at - data) : r.body_end;
                size_t k = i;
                while (k < line_end && data[k] >= 'A' && data[k] <= 'Z') ++k;
                if (k == line_end) {
                    residues.append(data + i, line_end - i);
                    i = line_end + 1;
                    continue;
                }
            }
            const auto c = static_cast<unsigned char>(data[i++]);
            if (c >= 0x80) {
                r.ascii_body = false;
            } else if (c == '\n') {
                line_start = true;
                comment = false;
            } else if (comment || is_text_space(c)) {
                continue;
            } else if (line_start && c == ';') {
                comment = true;
            } else {
                line_start = false;
                residues.push_back(static_cast<char>(c >= 'a' && c <= 'z' ? c - ('a' - 'A') : c));
            }
        }
        if (r.ascii_body) {
            while (residues.size() > r.residue_begin && residues.back() == '*') residues.pop_back();
        } else {
            residues.resize(r.residue_begin);
        }
        r.residue_end = residues.size();
        records.push_back(r);
        pos = next;
    }
    return records;
}

// The description as Python's str.strip() leaves it: ASCII white space cut here, and the
// rest left to str.strip() when a non-ASCII character ends it (which may be white space).
Ref stripped_description(std::string_view text) {
    size_t b = 0, e = text.size();
    while (b < e && is_text_space(static_cast<unsigned char>(text[b]))) ++b;
    while (e > b && is_text_space(static_cast<unsigned char>(text[e - 1]))) --e;
    Ref value = to_py_lossy(text.substr(b, e - b));
    if (e > b && (static_cast<unsigned char>(text[b]) >= 0x80 || static_cast<unsigned char>(text[e - 1]) >= 0x80))
        value = own(PyObject_CallMethod(value.get(), "strip", nullptr));
    return value;
}

// fasta_catalog(text) -> (accessions, descriptions, order, residues, bounds, irregular, entries):
// the first record of each accession in file order; descriptions and order as dicts by
// accession; the residues of ASCII bodies concatenated (bytes), each accession's
// [bounds[i], bounds[i + 1]) as native-endian uint64 values (bytes); the records whose
// body holds other bytes, as (position, body bytes); and the records read, repeats and
// records without accession included.
Ref fasta_catalog(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const Signature sig{"fasta_catalog()", {"text"}, 1};
    const Bound b = bind_args(sig, args, nargs, kwnames);
    if (!PyBytes_Check(b[0])) raise(PyExc_TypeError, "argument 'text': the FASTA text must be bytes");
    char *data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(b[0], &data, &size) != 0) throw PyErrSet{};
    const std::string_view text(data, static_cast<size_t>(size));
    std::string residues;
    std::vector<CatalogRecord> records;
    {
        WithoutInterpreterLock unlocked;
        records = catalog_records(text, residues);
    }
    Ref accessions = own(PyList_New(0));
    Ref descriptions = own(PyDict_New());
    Ref order = own(PyDict_New());
    Ref irregular = own(PyList_New(0));
    std::vector<uint64_t> bounds{0};
    std::string kept;
    kept.reserve(residues.size());
    for (const CatalogRecord &r : records) {
        if (r.accession_end == r.accession_begin) continue;
        Ref accession = to_py_lossy(text.substr(r.accession_begin, r.accession_end - r.accession_begin));
        const int seen = PyDict_Contains(order.get(), accession.get());
        if (seen < 0) throw PyErrSet{};
        if (seen) continue;
        Ref position = to_py_uint(static_cast<unsigned long long>(PyList_Size(accessions.get())));
        if (PyDict_SetItem(order.get(), accession.get(), position.get()) != 0) throw PyErrSet{};
        Ref description = stripped_description(text.substr(r.description_begin, r.description_end - r.description_begin));
        if (PyDict_SetItem(descriptions.get(), accession.get(), description.get()) != 0) throw PyErrSet{};
        if (PyList_Append(accessions.get(), accession.get()) != 0) throw PyErrSet{};
        if (!r.ascii_body) {
            Ref body = own(PyBytes_FromStringAndSize(data + r.body_begin, static_cast<Py_ssize_t>(r.body_end - r.body_begin)));
            Ref item = own(PyTuple_Pack(2, position.get(), body.get()));
            if (PyList_Append(irregular.get(), item.get()) != 0) throw PyErrSet{};
        }
        kept.append(residues, r.residue_begin, r.residue_end - r.residue_begin);
        bounds.push_back(kept.size());
    }
    Ref residue_bytes = own(PyBytes_FromStringAndSize(kept.data(), static_cast<Py_ssize_t>(kept.size())));
    Ref bound_bytes = own(PyBytes_FromStringAndSize(reinterpret_cast<const char *>(bounds.data()),
                                                    static_cast<Py_ssize_t>(bounds.size() * sizeof(uint64_t))));
    Ref entries = to_py_uint(records.size());
    return own(PyTuple_Pack(7, accessions.get(), descriptions.get(), order.get(), residue_bytes.get(), bound_bytes.get(),
                            irregular.get(), entries.get()));
}

PyMethodDef digest_functions[] = {
    {"digest", as_cfunction(static_method<digest>), METH_FASTCALL | METH_KEYWORDS,
     "digest($module, text, source, enzyme, missed_cleavages, min_length, max_length, min_mass, max_mass, "
     "fixed_mods, variable_mods, max_variable_mods, remove_initiator_met, drop_decoys, decoy_prefixes, "
     "decoy_suffixes)\n--\n\nDigests FASTA text (bytes); `source` names it in error messages. With text None, "
     "only checks the settings and returns None."},
    {"build_database", as_cfunction(static_method<build_database>), METH_FASTCALL | METH_KEYWORDS,
     "build_database($module, peptides, bucket_size, ion_kinds, min_ion_index, generate_decoys, decoy_tag, "
     "fragment_list)\n--\n\n"
     "Builds a PyIndexedDatabase from a Digest or a mass-ascending list of PyPeptide; without fragment_list, without "
     "its fragment list where the search gives the same results without it."},
    {"database_layout", as_cfunction(static_method<database_layout>), METH_FASTCALL | METH_KEYWORDS,
     "database_layout($module, db)\n--\n\n(peptide count, fragment count, whether the index lists every fragment ion)."},
    {"proforma", as_cfunction(static_method<proforma>), METH_FASTCALL | METH_KEYWORDS,
     "proforma($module, db, peptide_idx)\n--\n\nProForma text of an index peptide."},
    {"peptide_proteins", as_cfunction(static_method<peptide_proteins>), METH_FASTCALL | METH_KEYWORDS,
     "peptide_proteins($module, db, peptide_idx)\n--\n\nAccessions reported for an index peptide."},
    {"fasta_catalog", as_cfunction(static_method<fasta_catalog>), METH_FASTCALL | METH_KEYWORDS,
     "fasta_catalog($module, text)\n--\n\n(accessions, descriptions, order, residues, bounds, irregular, entries) "
     "of FASTA text (bytes): the protein catalogue the reports read."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

void add_digest(PyObject *module) {
    add_functions(module, digest_functions);
    add_to_module(module, "Digest", reinterpret_cast<PyObject *>(digest_type()));
}

}  // namespace bind::native
