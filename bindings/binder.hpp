// Binding of call arguments to named parameters, by position then by keyword, with the
// module's exact binding messages.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <initializer_list>

namespace bind {

inline constexpr size_t MAX_PARAMS = 16;

struct Signature {
    const char *function;  // as shown in messages, e.g. "PyPrecursor.__new__()"
    std::initializer_list<const char *> params;
    size_t required;       // the first `required` parameters have no default
};

// Borrowed references to the bound arguments; null where a parameter was not given.
struct Bound {
    std::array<PyObject *, MAX_PARAMS> items{};
    PyObject *operator[](size_t i) const { return items[i]; }
};

// Vectorcall form (METH_FASTCALL | METH_KEYWORDS): keyword values follow the positional ones.
Bound bind_args(const Signature &sig, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);

// Tuple-and-dict form, used by constructors.
Bound bind_args(const Signature &sig, PyObject *args, PyObject *kwargs);

}  // namespace bind
