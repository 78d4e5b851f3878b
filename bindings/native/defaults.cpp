// The core's own defaults, as dicts, so that the package's settings can be checked
// against them: the digestion settings and the scorer's settings.
#include "digest.hpp"
#include "module_support.hpp"
#include "native.hpp"
#include "pyclass.hpp"
#include "scoring.hpp"

namespace bind::native {

namespace {

// Adds (key, value) to a dict, the value owned by the caller.
void put(const Ref &dict, const char *key, const Ref &value) {
    if (PyDict_SetItemString(dict.get(), key, value.get()) != 0) throw PyErrSet{};
}

Ref bool_value(bool value) { return Ref::borrow(value ? Py_True : Py_False); }

Ref modification_texts(const std::vector<mesk::Modification> &mods) {
    return to_py_list(mods, [](const mesk::Modification &m) { return to_py(mesk::modification_text(m)); });
}

Ref strings(const std::vector<std::string> &items) {
    return to_py_list(items, [](const std::string &s) { return to_py_lossy(s); });
}

// Keyed by the arguments of digest(), which takes these settings.
Ref digest_defaults(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const Signature sig{"digest_defaults()", {}, 0};
    bind_args(sig, args, nargs, kwnames);
    const mesk::DigestSettings d;
    Ref dict = own(PyDict_New());
    put(dict, "enzyme", to_py(mesk::enzyme_name(d.enzyme)));
    put(dict, "missed_cleavages", to_py_uint(d.missed_cleavages));
    put(dict, "min_length", to_py_uint(d.min_length));
    put(dict, "max_length", to_py_uint(d.max_length));
    put(dict, "min_mass", to_py(d.min_mass));
    put(dict, "max_mass", to_py(d.max_mass));
    put(dict, "fixed_mods", modification_texts(d.fixed_mods));
    put(dict, "variable_mods", modification_texts(d.variable_mods));
    put(dict, "max_variable_mods", to_py_uint(d.max_variable_mods));
    put(dict, "remove_initiator_met", bool_value(d.remove_initiator_met));
    put(dict, "drop_decoys", bool_value(d.drop_decoys));
    put(dict, "decoy_prefixes", strings(d.decoy_markers.prefixes));
    put(dict, "decoy_suffixes", strings(d.decoy_markers.suffixes));
    return dict;
}

// Keyed by the arguments of PyScorer, whose omitted arguments take these values.
Ref scorer_defaults(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const Signature sig{"scorer_defaults()", {}, 0};
    bind_args(sig, args, nargs, kwnames);
    const mesk::ScorerSettings s;
    Ref dict = own(PyDict_New());
    put(dict, "wide_window", bool_value(s.wide_window));
    put(dict, "chimera", bool_value(s.chimera));
    put(dict, "report_psms", to_py_uint(s.report_psms));
    put(dict, "min_isotope_err", to_py_int(s.min_isotope_err));
    put(dict, "max_isotope_err", to_py_int(s.max_isotope_err));
    put(dict, "min_precursor_charge", to_py_uint(s.min_precursor_charge));
    put(dict, "max_precursor_charge", to_py_uint(s.max_precursor_charge));
    put(dict, "min_matched_peaks", to_py_uint(s.min_matched_peaks));
    put(dict, "annotate_matches", bool_value(s.annotate_matches));
    put(dict, "max_fragment_charge", s.max_fragment_charge ? to_py_uint(*s.max_fragment_charge) : none());
    return dict;
}

PyMethodDef functions[] = {
    {"digest_defaults", as_cfunction(static_method<digest_defaults>), METH_FASTCALL | METH_KEYWORDS,
     "digest_defaults($module)\n--\n\nThe core's digestion defaults, keyed by the arguments of digest()."},
    {"scorer_defaults", as_cfunction(static_method<scorer_defaults>), METH_FASTCALL | METH_KEYWORDS,
     "scorer_defaults($module)\n--\n\nThe core's scorer defaults, keyed by the arguments of PyScorer: what an "
     "omitted argument takes."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

void add_defaults(PyObject *module) { add_functions(module, functions); }

}  // namespace bind::native
