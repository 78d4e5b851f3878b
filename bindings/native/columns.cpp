// Scoring a batch of spectra into columns: one buffer per match field instead of one
// Python object per match, and the peptide strings once per peptide.
#include "classes.hpp"
#include "interpreter_lock.hpp"
#include "match_columns.hpp"
#include "native.hpp"
#include "peptide_labels.hpp"
#include "pyclass.hpp"

namespace bind::native {

namespace {

Ref column_triple(mesk::Column &column) {
    Ref name = to_py(column.name);
    Ref dtype = to_py(column.dtype);
    Ref data = own(PyByteArray_FromStringAndSize(reinterpret_cast<const char *>(column.bytes.data()),
                                                 static_cast<Py_ssize_t>(column.bytes.size())));
    std::vector<unsigned char>().swap(column.bytes);
    return own(PyTuple_Pack(3, name.get(), dtype.get(), data.get()));
}

Ref score_columns(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const Signature sig{"score_columns()",
                               {"scorer", "db", "spectra", "threads", "low_res", "min_ion_index", "null_seed",
                                "adaptive_null", "reference", "delta_xcorr"},
                               3};
    const Bound b = bind_args(sig, args, nargs, kwnames);
    const mesk::ScorerSettings settings = arg<mesk::ScorerSettings>(sig, b, 0);
    const SharedDatabase db = arg<SharedDatabase>(sig, b, 1);
    const std::vector<SharedSpectrum> spectra = arg<std::vector<SharedSpectrum>>(sig, b, 2);
    const uint64_t threads = arg_or<uint64_t>(sig, b, 3, 0);
    const bool low_res = arg_or<bool>(sig, b, 4, true);
    mesk::LowResSettings low_res_settings;
    low_res_settings.min_ion_index = static_cast<size_t>(arg_or<uint64_t>(sig, b, 5, 0));
    low_res_settings.null_seed =
        arg_or<std::optional<uint64_t>>(sig, b, 6, std::nullopt).value_or(mesk::DEFAULT_NULL_SEED);
    low_res_settings.adaptive_null = arg_or<bool>(sig, b, 7, true);
    low_res_settings.reference_path = arg_or<bool>(sig, b, 8, false);
    low_res_settings.window_xcorrs = arg_or<bool>(sig, b, 9, true);

    mesk::MatchColumns table;
    {
        WithoutInterpreterLock unlocked;
        const std::vector<mesk::SpectrumMatches> matches =
            mesk::score_spectra(settings, *db, spectra, static_cast<size_t>(threads), low_res ? &low_res_settings : nullptr);
        table = mesk::to_columns(matches, low_res, low_res_settings.window_xcorrs);
    }
    Ref list = own(PyList_New(static_cast<Py_ssize_t>(table.columns.size())));
    for (size_t i = 0; i < table.columns.size(); ++i)
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), column_triple(table.columns[i]).release());
    return list;
}

Ref null_counts(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const Signature sig{"null_counts()", {}, 0};
    bind_args(sig, args, nargs, kwnames);
    Ref made = to_py_uint(mesk::calibrations_made());
    Ref scored = to_py_uint(mesk::null_peptides_scored());
    return own(PyTuple_Pack(2, made.get(), scored.get()));
}

// For each index peptide asked for: its residue letters, its ProForma text and its reported
// accessions joined by ';', as three lists (one string per distinct peptide, not per match).
Ref peptide_labels(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const Signature sig{"peptide_labels()", {"db", "peptide_indices"}, 2};
    const Bound b = bind_args(sig, args, nargs, kwnames);
    const SharedDatabase db = arg<SharedDatabase>(sig, b, 0);
    const std::vector<uint32_t> indices = arg<std::vector<uint32_t>>(sig, b, 1);
    const size_t count = db->peptide_count();
    for (const uint32_t index : indices)
        if (index >= count)
            raise(PyExc_IndexError, ("peptide index " + std::to_string(index) + " outside a database of " +
                                     std::to_string(count) + " peptides")
                                        .c_str());
    Ref sequences = own(PyList_New(static_cast<Py_ssize_t>(indices.size())));
    Ref proformas = own(PyList_New(static_cast<Py_ssize_t>(indices.size())));
    Ref proteins = own(PyList_New(static_cast<Py_ssize_t>(indices.size())));
    for (size_t i = 0; i < indices.size(); ++i) {
        const mesk::Peptide peptide = db->peptide_at(indices[i]);
        std::string joined;
        for (const std::string &accession : mesk::reported_accessions(*db, indices[i])) {
            if (!joined.empty()) joined += ';';
            joined += accession;
        }
        const auto at = static_cast<Py_ssize_t>(i);
        PyList_SetItem(sequences.get(), at, to_py_lossy(peptide.bytes()).release());
        PyList_SetItem(proformas.get(), at, to_py_lossy(mesk::proforma(peptide)).release());
        PyList_SetItem(proteins.get(), at, to_py_lossy(joined).release());
    }
    return own(PyTuple_Pack(3, sequences.get(), proformas.get(), proteins.get()));
}

PyMethodDef functions[] = {
    {"score_columns", as_cfunction(static_method<score_columns>), METH_FASTCALL | METH_KEYWORDS,
     "score_columns(scorer, db, spectra, threads=0, low_res=True, min_ion_index=0, null_seed=None, "
     "adaptive_null=True, reference=False, delta_xcorr=True)\n--\n\n"
     "Scores the spectra as PyScorer.score_many_spectra does, releasing the interpreter lock, and returns "
     "the matches as a list of (name, numpy type string, bytearray) columns. null_seed draws the generated "
     "peptides behind log10_evalue (None: the usual draw). adaptive_null: stop drawing null peptides once "
     "the tail fit is stable (False: all 2,000 of every calibration). reference: compute the "
     "low-resolution features the straightforward way (slow; the same numbers as adaptive_null=False). "
     "delta_xcorr=False: the candidates in the precursor windows are counted, not scored, and the "
     "delta_xcorr column is left out (every other column keeps its values)."},
    {"null_counts", as_cfunction(static_method<null_counts>), METH_FASTCALL | METH_KEYWORDS,
     "null_counts()\n--\n\n(calibrations made, null peptides scored) by the low-resolution features of "
     "this process so far."},
    {"peptide_labels", as_cfunction(static_method<peptide_labels>), METH_FASTCALL | METH_KEYWORDS,
     "peptide_labels(db, peptide_indices)\n--\n\nFor the index peptides asked for: (sequences, ProForma texts, "
     "accessions joined by ';'), three lists in the order asked."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

void add_columns(PyObject *module) { add_functions(module, functions); }

}  // namespace bind::native
