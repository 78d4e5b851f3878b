// Conversion rules shared by every member of the module.
#include "convert.hpp"

#include <cstring>

namespace bind {

namespace {

std::string type_qualname(PyObject *obj) {
    Ref name = own(PyType_GetQualName(Py_TYPE(obj)));
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (!utf8) throw PyErrSet{};
    return std::string(utf8, size);
}

bool is_numpy_bool(PyObject *obj) {
    PyTypeObject *type = Py_TYPE(obj);
    Ref module = own(PyObject_GetAttrString(reinterpret_cast<PyObject *>(type), "__module__"));
    if (!PyUnicode_Check(module.get()) || PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) return false;
    Ref name = own(PyType_GetName(type));
    return PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
           PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0;
}

}  // namespace

void cannot_convert(PyObject *obj, const char *target) {
    const std::string msg = "'" + type_qualname(obj) + "' object cannot be converted to '" + target + "'";
    raise(PyExc_TypeError, msg.c_str());
}

void prefix_argument_error(const char *name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    if (type != PyExc_TypeError) {  // a subclass of TypeError passes unchanged
        PyErr_Restore(type, value, tb);
        return;
    }
    PyErr_NormalizeException(&type, &value, &tb);
    Ref type_ref(type), value_ref(value), tb_ref(tb);
    Ref text(PyObject_Str(value));
    if (!text) return;
    Ref message(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    if (!message) return;
    Ref replacement(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
    if (!replacement) return;
    if (PyObject *cause = PyException_GetCause(value)) PyException_SetCause(replacement.get(), cause);  // steals
    PyErr_SetObject(PyExc_TypeError, replacement.get());
}

double From<double>::convert(PyObject *o) {
    const double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) throw PyErrSet{};
    return v;
}

long as_c_long(PyObject *o) {
    const long v = PyLong_AsLong(o);
    if (v == -1 && PyErr_Occurred()) throw PyErrSet{};
    return v;
}

uint64_t as_u64(PyObject *o) {
    Ref index = own(PyNumber_Index(o));
    const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PyErrSet{};
    return v;
}

bool From<bool>::convert(PyObject *o) {
    if (PyBool_Check(o)) return o == Py_True;
    if (is_numpy_bool(o)) {
        const int truth = PyObject_IsTrue(o);
        if (truth < 0) throw PyErrSet{};
        return truth == 1;
    }
    cannot_convert(o, "PyBool");
}

std::string From<std::string>::convert(PyObject *o) {
    if (!PyUnicode_Check(o)) cannot_convert(o, "PyString");
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(o, &size);
    if (!utf8) throw PyErrSet{};
    return std::string(utf8, static_cast<size_t>(size));
}

void check_sequence(PyObject *o) {
    if (PyUnicode_Check(o)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(o)) cannot_convert(o, "Sequence");
}

Ref to_py(double v) { return own(PyFloat_FromDouble(v)); }
Ref to_py_int(long long v) { return own(PyLong_FromLongLong(v)); }
Ref to_py_uint(unsigned long long v) { return own(PyLong_FromUnsignedLongLong(v)); }

Ref to_py(std::string_view text) {
    return own(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
}

// Validates UTF-8 and describes the first bad position: "invalid utf-8 sequence of N bytes
// from index I" when a bad sequence of N bytes starts at I, "incomplete utf-8 byte sequence
// from index I" when the bytes end inside a character.
Ref to_py_checked_utf8(std::string_view bytes) {
    const auto *v = reinterpret_cast<const unsigned char *>(bytes.data());
    const size_t len = bytes.size();
    size_t i = 0;
    auto fail = [&](size_t start, int bad_len) {
        std::string msg = bad_len == 0 ? "incomplete utf-8 byte sequence from index " + std::to_string(start)
                                       : "invalid utf-8 sequence of " + std::to_string(bad_len) + " bytes from index " +
                                             std::to_string(start);
        raise(PyExc_UnicodeError, msg.c_str());
    };
    auto continuation = [](unsigned char b) { return (b & 0xC0) == 0x80; };
    while (i < len) {
        const size_t start = i;
        const unsigned char first = v[i];
        if (first < 0x80) {
            ++i;
            continue;
        }
        int width = 0;
        if (first >= 0xC2 && first <= 0xDF) width = 2;
        else if (first >= 0xE0 && first <= 0xEF) width = 3;
        else if (first >= 0xF0 && first <= 0xF4) width = 4;
        if (width == 0) fail(start, 1);
        if (i + 1 >= len) fail(start, 0);
        const unsigned char second = v[i + 1];
        bool second_ok = continuation(second);
        if (width == 3) {
            second_ok = (first == 0xE0 && second >= 0xA0 && second <= 0xBF) ||
                        (first >= 0xE1 && first <= 0xEC && continuation(second)) ||
                        (first == 0xED && second >= 0x80 && second <= 0x9F) ||
                        (first >= 0xEE && continuation(second));
        } else if (width == 4) {
            second_ok = (first == 0xF0 && second >= 0x90 && second <= 0xBF) ||
                        (first >= 0xF1 && first <= 0xF3 && continuation(second)) ||
                        (first == 0xF4 && second >= 0x80 && second <= 0x8F);
        }
        if (!second_ok) fail(start, 1);
        for (int k = 2; k < width; ++k) {
            if (i + k >= len) fail(start, 0);
            if (!continuation(v[i + k])) fail(start, k);
        }
        i += width;
    }
    return to_py(bytes);
}

Ref to_py_lossy(std::string_view bytes) {
    return own(PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "replace"));
}

}  // namespace bind
