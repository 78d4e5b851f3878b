// Module initialisation: the module object, its classes in a fixed order, and hello_py.
#include "classes.hpp"
#include "pyclass.hpp"

namespace bind {

namespace {

PyObject *hello_py(PyObject *, PyObject *) {
    return boundary<PyObject *>(nullptr, [] { return to_py("Hello from Rust + PyO3 \xF0\x9F\x8E\x89").release(); });
}

PyMethodDef hello_def = {"hello_py", hello_py, METH_NOARGS, "hello_py()\n--\n\n"};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_tovel_mesk", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

PyObject *cached_module = nullptr;
int64_t first_interpreter = -1;

// Adds `value` under `name` and appends the name to the module's __all__.
void add(PyObject *module, const char *name, PyObject *value) {
    PyObject *dict = PyModule_GetDict(module);  // borrowed
    PyObject *all = PyDict_GetItemString(dict, "__all__");  // borrowed
    if (!all) {
        Ref created = own(PyList_New(0));
        if (PyDict_SetItemString(dict, "__all__", created.get()) != 0) throw PyErrSet{};
        all = created.get();
    }
    Ref text = to_py(name);
    if (PyList_Append(all, text.get()) != 0) throw PyErrSet{};
    if (PyModule_AddObjectRef(module, name, value) != 0) throw PyErrSet{};
}

PyObject *init_module() {
    return boundary<PyObject *>(nullptr, []() -> PyObject * {
        // The module's objects belong to one interpreter. Only the main interpreter (id 0)
        // may be the one: a subinterpreter that imports first must not lock it out.
        const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
        if (id < 0) throw PyErrSet{};
        if (first_interpreter == -1 && id == 0) first_interpreter = id;
        if (first_interpreter != id)
            raise(PyExc_ImportError,
                  "PyO3 modules do not yet support subinterpreters, see https://github.com/PyO3/pyo3/issues/576");
        if (cached_module) return Ref::borrow(cached_module).release();

        Ref module = own(PyModule_Create(&module_def));
        const struct {
            const char *name;
            PyTypeObject *(*type)();
        } classes[] = {{"PyIndexedDatabase", database_type}, {"PyPeptide", peptide_type},
                       {"PyKind", kind_type},                {"PyTolerance", tolerance_type},
                       {"PyPrecursor", precursor_type},      {"PyProcessedSpectrum", spectrum_type},
                       {"PyScorer", scorer_type},            {"PyFeature", feature_type}};
        for (const auto &c : classes) {
            PyTypeObject *type = c.type();
            add(module.get(), c.name, reinterpret_cast<PyObject *>(type));
        }
        Ref module_name = own(PyModule_GetNameObject(module.get()));
        Ref hello = own(PyCFunction_NewEx(&hello_def, module.get(), module_name.get()));
        add(module.get(), "hello_py", hello.get());

        cached_module = Ref::borrow(module.get()).release();
        return module.release();
    });
}

}  // namespace

}  // namespace bind

PyMODINIT_FUNC PyInit__tovel_mesk(void) { return bind::init_module(); }
