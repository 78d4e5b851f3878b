// Argument binding shared by every constructor, static method and method.
#include "binder.hpp"

#include <string>

#include "errors.hpp"

namespace bind {

namespace {

[[noreturn]] void type_error(const std::string &message) { raise(PyExc_TypeError, message.c_str()); }

void too_many_positional(const Signature &sig, Py_ssize_t given) {
    const size_t n = sig.params.size();
    std::string msg = sig.function;
    if (sig.required == n)
        msg += " takes " + std::to_string(n) + " positional arguments but ";
    else
        msg += " takes from " + std::to_string(sig.required) + " to " + std::to_string(n) + " positional arguments but ";
    msg += std::to_string(given) + (given == 1 ? " was given" : " were given");
    type_error(msg);
}

void place_keyword(const Signature &sig, Bound &bound, PyObject *name, PyObject *value) {
    size_t i = 0;
    for (const char *param : sig.params) {
        if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, param) == 0) {
            if (bound.items[i]) type_error(std::string(sig.function) + " got multiple values for argument '" + param + "'");
            bound.items[i] = value;
            return;
        }
        ++i;
    }
    PyObject *text = PyObject_Str(name);
    if (!text) throw PyErrSet{};
    Ref text_ref(text);
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (!utf8) throw PyErrSet{};
    type_error(std::string(sig.function) + " got an unexpected keyword argument '" + std::string(utf8, size) + "'");
}

void check_required(const Signature &sig, const Bound &bound) {
    std::string names;
    size_t missing = 0, total = 0;
    for (size_t i = 0; i < sig.required; ++i)
        if (!bound.items[i]) ++total;
    if (total == 0) return;
    size_t i = 0;
    for (const char *param : sig.params) {
        if (i >= sig.required) break;
        if (!bound.items[i]) {
            if (missing > 0) names += (total == 2) ? " and " : (missing + 1 == total ? ", and " : ", ");
            names += "'";
            names += param;
            names += "'";
            ++missing;
        }
        ++i;
    }
    type_error(std::string(sig.function) + " missing " + std::to_string(total) + " required positional argument" +
               (total == 1 ? "" : "s") + ": " + names);
}

}  // namespace

Bound bind_args(const Signature &sig, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    Bound bound;
    const auto n = static_cast<Py_ssize_t>(sig.params.size());
    if (nargs > n) too_many_positional(sig, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) bound.items[i] = args[i];
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_Size(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) place_keyword(sig, bound, PyTuple_GetItem(kwnames, k), args[nargs + k]);
    }
    check_required(sig, bound);
    return bound;
}

Bound bind_args(const Signature &sig, PyObject *args, PyObject *kwargs) {
    Bound bound;
    const auto n = static_cast<Py_ssize_t>(sig.params.size());
    const Py_ssize_t nargs = args ? PyTuple_Size(args) : 0;
    if (nargs > n) too_many_positional(sig, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) bound.items[i] = PyTuple_GetItem(args, i);
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) place_keyword(sig, bound, key, value);
    }
    check_required(sig, bound);
    return bound;
}

}  // namespace bind
