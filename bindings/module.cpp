// Module initialisation: the module object, its classes in a fixed order, and hello_py.
#include "classes.hpp"
#include "module_support.hpp"
#include "pyclass.hpp"

namespace bind {

namespace {

PyObject *hello_py(PyObject *, PyObject *) {
    return boundary<PyObject *>(nullptr, [] { return to_py("Hello from Rust + PyO3 \xF0\x9F\x8E\x89").release(); });
}

PyMethodDef hello_def = {"hello_py", hello_py, METH_NOARGS, "hello_py()\n--\n\n"};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_tovel_mesk", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

PyObject *cached_module = nullptr;

PyObject *init_module() {
    return boundary<PyObject *>(nullptr, []() -> PyObject * {
        require_main_interpreter();
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
            add_to_module(module.get(), c.name, reinterpret_cast<PyObject *>(type));
        }
        Ref module_name = own(PyModule_GetNameObject(module.get()));
        Ref hello = own(PyCFunction_NewEx(&hello_def, module.get(), module_name.get()));
        add_to_module(module.get(), "hello_py", hello.get());

        cached_module = Ref::borrow(module.get()).release();
        return module.release();
    });
}

}  // namespace

}  // namespace bind

PyMODINIT_FUNC PyInit__tovel_mesk(void) { return bind::init_module(); }
