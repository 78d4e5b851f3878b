// PyIndexedDatabase: builds the fragment index from Python peptides and lets Python inspect it.
#include <memory>

#include "classes.hpp"
#include "index_build.hpp"
#include "pyclass.hpp"

namespace bind {

mesk::BuildConfig index_settings(const Signature &sig, const Bound &b) {
    mesk::BuildConfig config;
    config.bucket_size = arg<uint64_t>(sig, b, 1);
    config.ion_kinds = arg<std::vector<mesk::Kind>>(sig, b, 2);
    config.min_ion_index = arg<uint64_t>(sig, b, 3);
    config.generate_decoys = arg<bool>(sig, b, 4);
    config.decoy_tag = arg<std::string>(sig, b, 5);
    return config;
}

namespace {

Ref from_peptides_and_config(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const Signature sig{"PyIndexedDatabase.from_peptides_and_config()",
                               {"peptides", "bucket_size", "ion_kinds", "min_ion_index", "generate_decoys",
                                "decoy_tag", "peptide_min_mass", "peptide_max_mass"},
                               8};
    const Bound b = bind_args(sig, args, nargs, kwnames);
    auto peptides = arg<std::vector<mesk::Peptide>>(sig, b, 0);
    mesk::BuildConfig config = index_settings(sig, b);
    config.peptide_min_mass = arg<float>(sig, b, 6);
    config.peptide_max_mass = arg<float>(sig, b, 7);

    // Every failure of the build, on this thread or a worker, is reported the same way;
    // nothing partial survives.
    SharedDatabase db;
    try {
        db = std::make_shared<const mesk::IndexedDatabase>(
            mesk::build_indexed_database(std::move(config), std::move(peptides)));
    } catch (...) {
        raise(PyExc_RuntimeError, "Rust panic occurred during indexed database generation.");
    }
    return new_instance(database_type(), std::move(db));
}

Ref get_peptides(const SharedDatabase &db) {
    const size_t count = db->peptide_count();
    Ref list = own(PyList_New(static_cast<Py_ssize_t>(count)));
    for (size_t i = 0; i < count; ++i)
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), new_instance(peptide_type(), db->peptide_at(i)).release());
    return list;
}

Ref sequence_for(SharedDatabase &db, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const Signature sig{"PyIndexedDatabase.sequence_for()", {"pep_index"}, 1};
    const Bound b = bind_args(sig, args, nargs, kwnames);
    const uint32_t index = arg<uint32_t>(sig, b, 0);
    if (index >= db->peptide_count()) return none();
    return to_py_lossy(db->peptides.sequence(index));
}

Ref fragment_count(SharedDatabase &db) { return to_py_uint(db->fragments.size()); }

Ref debug_fragment_summary(SharedDatabase &db) {
    return to_py_list(db->fragments, [](const mesk::Theoretical &t) {
        Ref mass = to_py(t.fragment_mass);
        Ref index = to_py_uint(t.peptide_idx);
        return own(PyTuple_Pack(2, mass.get(), index.get()));
    });
}

PyMethodDef database_methods[] = {
    {"from_peptides_and_config", as_cfunction(static_method<from_peptides_and_config>),
     METH_STATIC | METH_FASTCALL | METH_KEYWORDS,
     "from_peptides_and_config(peptides, bucket_size, ion_kinds, min_ion_index, generate_decoys, decoy_tag, "
     "peptide_min_mass, peptide_max_mass)\n--\n\n"},
    {"sequence_for", as_cfunction(method<SharedDatabase, sequence_for>), METH_FASTCALL | METH_KEYWORDS,
     "sequence_for($self, pep_index)\n--\n\n"},
    {"fragment_count", method_noargs<SharedDatabase, fragment_count>, METH_NOARGS,
     "fragment_count($self)\n--\n\nQuick count of total fragments"},
    {"debug_fragment_summary", method_noargs<SharedDatabase, debug_fragment_summary>, METH_NOARGS,
     "debug_fragment_summary($self)\n--\n\nDebug helper: return a summary of all indexed fragments"},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef database_properties[] = {
    {"peptides", property_get<SharedDatabase, get_peptides>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

}  // namespace

PyTypeObject *database_type() {
    static PyTypeObject *type =
        make_class({"tovel_mesk.PyIndexedDatabase", nullptr, sizeof(Instance<SharedDatabase>),
                    dealloc_instance<SharedDatabase>, nullptr, database_properties, database_methods, nullptr});
    return type;
}

}  // namespace bind
