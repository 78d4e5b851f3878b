// Initialisation of tovel_mesk._native: one module object per process, filled by the
// registration function of each helper family.
#include "native.hpp"

#include "convert.hpp"
#include "errors.hpp"
#include "module_support.hpp"

namespace bind::native {

void add_functions(PyObject *module, PyMethodDef *table) {
    Ref module_name = own(PyModule_GetNameObject(module));
    for (PyMethodDef *def = table; def->ml_name; ++def) {
        Ref function = own(PyCFunction_NewEx(def, module, module_name.get()));
        add_to_module(module, def->ml_name, function.get());
    }
}

namespace {

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "tovel_mesk._native",
                          "Native helpers of the tovel_mesk package; use the package's public functions.", 0,
                          nullptr, nullptr, nullptr, nullptr, nullptr};

PyObject *cached_module = nullptr;

// The helper families, in registration order.
void (*const registrations[])(PyObject *) = {add_digest, add_columns, add_defaults, add_index_file,
                                                add_decode, add_text_rows, add_error_rates,
                                                add_mzml_scan};

PyObject *init_module() {
    return boundary<PyObject *>(nullptr, []() -> PyObject * {
        require_main_interpreter();
        if (cached_module) return Ref::borrow(cached_module).release();
        Ref module = own(PyModule_Create(&module_def));
        for (auto add : registrations)
            if (add) add(module.get());
        cached_module = Ref::borrow(module.get()).release();
        return module.release();
    });
}

}  // namespace

}  // namespace bind::native

PyMODINIT_FUNC PyInit__native(void) { return bind::native::init_module(); }
