// PyScorer: search settings and the two scoring entry points, which release the
// interpreter lock while the core scores.
#include <unistd.h>

#include <cerrno>

#include "classes.hpp"
#include "interpreter_lock.hpp"
#include "pyclass.hpp"

namespace bind {

namespace {

// Writes the whole line to file descriptor 1, bypassing Python's sys.stdout.
void write_stdout(const std::string &line) {
    size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(1, line.data() + done, line.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;  // nowhere to report to; the results are still returned
        }
        done += static_cast<size_t>(n);
    }
}

Ref new_scorer(PyObject *args, PyObject *kwargs) {
    static const Signature sig{"PyScorer.__new__()",
                               {"precursor_tol", "fragment_tol", "wide_window", "chimera", "report_psms",
                                "min_isotope_err", "max_isotope_err", "min_precursor_charge", "max_precursor_charge",
                                "min_matched_peaks", "annotate_matches", "max_fragment_charge"},
                               2};
    const Bound b = bind_args(sig, args, kwargs);
    // An omitted argument keeps the core's default (tovel_mesk._native.scorer_defaults()).
    mesk::ScorerSettings s;
    s.precursor_tol = arg<mesk::Tolerance>(sig, b, 0);
    s.fragment_tol = arg<mesk::Tolerance>(sig, b, 1);
    s.wide_window = arg_or<bool>(sig, b, 2, s.wide_window);
    s.chimera = arg_or<bool>(sig, b, 3, s.chimera);
    s.report_psms = arg_or<uint64_t>(sig, b, 4, s.report_psms);
    s.min_isotope_err = arg_or<int8_t>(sig, b, 5, s.min_isotope_err);
    s.max_isotope_err = arg_or<int8_t>(sig, b, 6, s.max_isotope_err);
    s.min_precursor_charge = arg_or<uint8_t>(sig, b, 7, s.min_precursor_charge);
    s.max_precursor_charge = arg_or<uint8_t>(sig, b, 8, s.max_precursor_charge);
    s.min_matched_peaks = arg_or<uint16_t>(sig, b, 9, s.min_matched_peaks);
    s.annotate_matches = arg_or<bool>(sig, b, 10, s.annotate_matches);
    // Left out, the cap is the default (2); an explicit None removes it.
    s.max_fragment_charge = arg_or<std::optional<uint8_t>>(sig, b, 11, s.max_fragment_charge);
    return new_instance(scorer_type(), std::move(s));
}

Ref score_spectra(mesk::ScorerSettings &settings, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const Signature sig{"PyScorer.score_spectra()", {"db", "spectrum"}, 2};
    const Bound b = bind_args(sig, args, nargs, kwnames);
    const SharedDatabase db = arg<SharedDatabase>(sig, b, 0);
    const SharedSpectrum spectrum = arg<SharedSpectrum>(sig, b, 1);
    SharedBorrow db_borrow(instance<SharedDatabase>(b[0])->borrow);
    SharedBorrow spectrum_borrow(instance<SharedSpectrum>(b[1])->borrow);
    const mesk::ScorerSettings copy = settings;

    std::vector<mesk::Feature> features;
    {
        WithoutInterpreterLock unlocked;
        features = mesk::Scorer::from_settings(copy, *db).score(*spectrum);
    }
    write_stdout("Scoring returned " + std::to_string(features.size()) + " features\n");
    return features_to_list(std::move(features), *db);
}

Ref score_many_spectra(mesk::ScorerSettings &settings, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const Signature sig{"PyScorer.score_many_spectra()", {"db", "spectra"}, 2};
    const Bound b = bind_args(sig, args, nargs, kwnames);
    const SharedDatabase db = arg<SharedDatabase>(sig, b, 0);
    const std::vector<SharedSpectrum> spectra = arg<std::vector<SharedSpectrum>>(sig, b, 1);
    const mesk::ScorerSettings copy = settings;

    std::vector<std::vector<mesk::Feature>> results;
    {
        WithoutInterpreterLock unlocked;
        results = mesk::score_batch(copy, *db, spectra);
    }
    Ref outer = own(PyList_New(static_cast<Py_ssize_t>(results.size())));
    for (size_t i = 0; i < results.size(); ++i)
        PyList_SetItem(outer.get(), static_cast<Py_ssize_t>(i), features_to_list(std::move(results[i]), *db).release());
    return outer;
}

PyMethodDef scorer_methods[] = {
    {"score_spectra", as_cfunction(method<mesk::ScorerSettings, score_spectra>), METH_FASTCALL | METH_KEYWORDS,
     "score_spectra($self, db, spectrum)\n--\n\nExecutes the scoring logic against the built database and a single "
     "spectrum."},
    {"score_many_spectra", as_cfunction(method<mesk::ScorerSettings, score_many_spectra>),
     METH_FASTCALL | METH_KEYWORDS, "score_many_spectra($self, db, spectra)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

PyTypeObject *scorer_type() {
    static PyTypeObject *type = make_class(
        {"tovel_mesk.PyScorer",
         "PyScorer(precursor_tol, fragment_tol, wide_window=True, chimera=True, report_psms=5, min_isotope_err=..., "
         "max_isotope_err=3, min_precursor_charge=2, max_precursor_charge=4, min_matched_peaks=3, "
         "annotate_matches=False, max_fragment_charge=2)\n--\n\n",
         sizeof(Instance<mesk::ScorerSettings>), dealloc_instance<mesk::ScorerSettings>, constructor<new_scorer>,
         nullptr, scorer_methods, nullptr});
    return type;
}

}  // namespace bind
