// PyTolerance and PyKind: opaque tokens made by their static methods.
#include "classes.hpp"
#include "pyclass.hpp"

namespace bind {

namespace {

Ref make_tolerance(const Signature &sig, mesk::Tolerance (*make)(float, float), PyObject *const *args,
                   Py_ssize_t nargs, PyObject *kwnames) {
    const Bound b = bind_args(sig, args, nargs, kwnames);
    const float minus = arg<float>(sig, b, 0);
    const float plus = arg<float>(sig, b, 1);
    return new_instance(tolerance_type(), make(minus, plus));
}

Ref da(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const Signature sig{"PyTolerance.Da()", {"minus", "plus"}, 2};
    return make_tolerance(sig, &mesk::Tolerance::da, args, nargs, kwnames);
}

Ref ppm(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const Signature sig{"PyTolerance.Ppm()", {"minus", "plus"}, 2};
    return make_tolerance(sig, &mesk::Tolerance::ppm, args, nargs, kwnames);
}

template <mesk::Kind K>
Ref make_kind() {
    return new_instance(kind_type(), K);
}

PyMethodDef tolerance_methods[] = {
    {"Da", as_cfunction(static_method<da>),
     METH_STATIC | METH_FASTCALL | METH_KEYWORDS, "Da(minus, plus)\n--\n\n"},
    {"Ppm", as_cfunction(static_method<ppm>),
     METH_STATIC | METH_FASTCALL | METH_KEYWORDS, "Ppm(minus, plus)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr}};

PyMethodDef kind_methods[] = {
    {"B", static_noargs<make_kind<mesk::Kind::B>>, METH_STATIC | METH_NOARGS, "B()\n--\n\n"},
    {"Y", static_noargs<make_kind<mesk::Kind::Y>>, METH_STATIC | METH_NOARGS, "Y()\n--\n\n"},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

PyTypeObject *tolerance_type() {
    static PyTypeObject *type = make_class({"tovel_mesk.PyTolerance", nullptr, sizeof(Instance<mesk::Tolerance>),
                                            dealloc_instance<mesk::Tolerance>, nullptr, nullptr, tolerance_methods,
                                            nullptr});
    return type;
}

PyTypeObject *kind_type() {
    static PyTypeObject *type = make_class({"tovel_mesk.PyKind", nullptr, sizeof(Instance<mesk::Kind>),
                                            dealloc_instance<mesk::Kind>, nullptr, nullptr, kind_methods, nullptr});
    return type;
}

}  // namespace bind
