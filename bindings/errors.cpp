// Failure reporting: PanicException and the translation of C++ exceptions.
#include "errors.hpp"

#include <exception>
#include <cstring>
#include <new>

#include "failure.hpp"

namespace bind {

void raise(PyObject *type, const char *message) {
    PyErr_SetString(type, message);
    throw PyErrSet{};
}

PyObject *panic_exception_type() {
    static PyObject *type = nullptr;
    if (!type) {
        type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException",
                                         "The exception raised when an internal invariant of the search core fails.",
                                         PyExc_BaseException, nullptr);
    }
    return type;
}

static void set_error(PyObject *type, const char *message) {
    if (!type) return;  // creating the type failed; that error stays set
    PyObject *text = PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::strlen(message)),
                                          "replace");
    if (!text) return;
    PyErr_SetObject(type, text);
    Py_DECREF(text);
}

static void set_panic(const char *message) { set_error(panic_exception_type(), message); }

void set_python_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (const PyErrSet &) {
        if (!PyErr_Occurred()) set_panic("panic from Rust code");
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const mesk::InvalidInput &e) {
        set_error(PyExc_ValueError, e.what());
    } catch (const std::exception &e) {
        set_panic(e.what());
    } catch (...) {
        set_panic("panic from Rust code");
    }
}

}  // namespace bind
