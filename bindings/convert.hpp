// Conversions between Python values and core values, one rule per declared type.
#pragma once

#include <Python.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "binder.hpp"
#include "errors.hpp"

namespace bind {

// TypeError "'<type of obj>' object cannot be converted to '<target>'".
[[noreturn]] void cannot_convert(PyObject *obj, const char *target);

// Replaces a pending TypeError (exactly that type) by "argument '<name>': <message>",
// keeping its cause; other exceptions stay as they are.
void prefix_argument_error(const char *name);

// Python -> core. Each From<T>::convert throws PyErrSet with the exception set.
template <class T, class = void>
struct From;

template <>
struct From<double> {
    static double convert(PyObject *o);
};

template <>
struct From<float> {
    static float convert(PyObject *o) { return static_cast<float>(From<double>::convert(o)); }
};

long as_c_long(PyObject *o);
uint64_t as_u64(PyObject *o);

// Integers narrower than a C long: range-checked after the interpreter's conversion.
template <class T>
struct From<T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool> && (sizeof(T) < 8)>> {
    static T convert(PyObject *o) {
        const long v = as_c_long(o);
        if (v < static_cast<long>(std::numeric_limits<T>::min()) || v > static_cast<long>(std::numeric_limits<T>::max()))
            raise(PyExc_OverflowError, "out of range integral type conversion attempted");
        return static_cast<T>(v);
    }
};

template <>
struct From<uint64_t> {
    static uint64_t convert(PyObject *o) { return as_u64(o); }
};

template <>
struct From<bool> {
    static bool convert(PyObject *o);
};

template <>
struct From<std::string> {
    static std::string convert(PyObject *o);
};

template <class T>
struct From<std::optional<T>> {
    static std::optional<T> convert(PyObject *o) {
        if (o == Py_None) return std::nullopt;
        return From<T>::convert(o);
    }
};

// Checks that `o` may be converted to a list (any sequence except str).
void check_sequence(PyObject *o);

template <class T>
struct From<std::vector<T>> {
    static std::vector<T> convert(PyObject *o) {
        check_sequence(o);
        std::vector<T> out;
        const Py_ssize_t size = PySequence_Size(o);
        if (size < 0)
            PyErr_Clear();  // only a capacity hint; iteration reports real errors
        else
            out.reserve(static_cast<size_t>(size));
        Ref iter = own(PyObject_GetIter(o));
        while (PyObject *item = PyIter_Next(iter.get())) {
            Ref item_ref(item);
            out.push_back(From<T>::convert(item));
        }
        if (PyErr_Occurred()) throw PyErrSet{};
        return out;
    }
};

// The argument at position i of `bound`, converted by its declared type; a TypeError is
// re-prefixed with the parameter name.
template <class T>
T arg(const Signature &sig, const Bound &bound, size_t i) {
    try {
        return From<T>::convert(bound[i]);
    } catch (const PyErrSet &) {
        prefix_argument_error(*(sig.params.begin() + i));
        throw;
    }
}

// Same, for a parameter with a default used when the argument was left out.
template <class T>
T arg_or(const Signature &sig, const Bound &bound, size_t i, T fallback) {
    if (!bound[i]) return fallback;
    return arg<T>(sig, bound, i);
}

// Core -> Python.
Ref to_py(double v);
inline Ref to_py(float v) { return to_py(static_cast<double>(v)); }
Ref to_py_int(long long v);
Ref to_py_uint(unsigned long long v);
Ref to_py(std::string_view text);               // text known to be valid UTF-8
// Bytes that should be UTF-8: UnicodeError naming the first bad position when they are not.
Ref to_py_checked_utf8(std::string_view bytes);
Ref to_py_lossy(std::string_view bytes);        // invalid UTF-8 replaced by U+FFFD
inline Ref none() { return Ref::borrow(Py_None); }

// A Python list of `convert(item)` over a random-access sequence (a vector, an IndexArray).
template <class Items, class F>
Ref to_py_list(const Items &items, F convert) {
    Ref list = own(PyList_New(static_cast<Py_ssize_t>(items.size())));
    for (size_t i = 0; i < items.size(); ++i) {
        Ref item = convert(items[i]);
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item.release());  // steals
    }
    return list;
}

}  // namespace bind
