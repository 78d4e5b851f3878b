// Import-time checks and name registration shared by the package's extension modules.
#include "module_support.hpp"

#include <cstdint>

#include "convert.hpp"
#include "errors.hpp"

namespace bind {

namespace {
int64_t first_interpreter = -1;
}

void require_main_interpreter() {
    const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id < 0) throw PyErrSet{};
    if (first_interpreter == -1 && id == 0) first_interpreter = id;
    if (first_interpreter != id)
        raise(PyExc_ImportError,
              "PyO3 modules do not yet support subinterpreters, see https://github.com/PyO3/pyo3/issues/576");
}

void add_to_module(PyObject *module, const char *name, PyObject *value) {
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

}  // namespace bind
