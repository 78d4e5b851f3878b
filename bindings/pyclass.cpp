// Heap type creation shared by every class of the module.
#include "pyclass.hpp"

#include <string>
#include <vector>

namespace bind {

namespace {

PyObject *no_constructor(PyTypeObject *type, PyObject *, PyObject *) {
    return boundary<PyObject *>(nullptr, [&]() -> PyObject * {
        Ref name = own(PyType_GetName(type));
        Py_ssize_t size = 0;
        const char *utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size);
        if (!utf8) throw PyErrSet{};
        const std::string msg = "No constructor defined for " + std::string(utf8, size);
        raise(PyExc_TypeError, msg.c_str());
    });
}

}  // namespace

PyTypeObject *make_class(const ClassSpec &spec) {
    std::vector<PyType_Slot> slots;
    if (spec.doc) slots.push_back({Py_tp_doc, const_cast<char *>(spec.doc)});
    slots.push_back({Py_tp_new, reinterpret_cast<void *>(spec.constructor ? spec.constructor : no_constructor)});
    slots.push_back({Py_tp_dealloc, reinterpret_cast<void *>(spec.dealloc)});
    if (spec.getset) slots.push_back({Py_tp_getset, spec.getset});
    if (spec.methods) slots.push_back({Py_tp_methods, spec.methods});
    if (spec.repr) slots.push_back({Py_tp_repr, reinterpret_cast<void *>(spec.repr)});
    if (spec.length) slots.push_back({Py_sq_length, reinterpret_cast<void *>(spec.length)});
    slots.push_back({0, nullptr});
    PyType_Spec type_spec = {spec.name, spec.basicsize, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
                             slots.data()};
    return reinterpret_cast<PyTypeObject *>(own(PyType_FromSpec(&type_spec)).release());
}

}  // namespace bind
