// Python references and the one place where failures become Python exceptions.
#pragma once

#include <Python.h>

#include <utility>

namespace bind {

// Thrown once a Python exception has been set; unwinds to the boundary below.
struct PyErrSet {};

// An owned (strong) reference, released on scope exit.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject *owned) : p_(owned) {}
    static Ref borrow(PyObject *o) {
        Py_XINCREF(o);
        return Ref(o);
    }
    Ref(Ref &&other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref &operator=(Ref &&other) noexcept {
        if (this != &other) {
            Py_XDECREF(p_);
            p_ = std::exchange(other.p_, nullptr);
        }
        return *this;
    }
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject *get() const { return p_; }
    PyObject *release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    PyObject *p_ = nullptr;
};

// Takes a new reference from a C API call; a null result means an exception is set.
inline Ref own(PyObject *o) {
    if (!o) throw PyErrSet{};
    return Ref(o);
}

// Sets `type` with `message` and unwinds.
[[noreturn]] void raise(PyObject *type, const char *message);

// The process-wide exception type for internal failures, derived from BaseException.
PyObject *panic_exception_type();

// Called inside a catch handler: turns the exception in flight into a Python exception.
// Core failures and other C++ exceptions become PanicException with their message,
// unusable input (mesk::InvalidInput) ValueError, exhausted memory MemoryError; an
// already-set Python error is left as it is.
void set_python_error_from_current_exception() noexcept;

// Runs `body`; any exception leaving it is turned into a Python exception and `on_error`
// is returned instead. Every entry point from Python goes through here.
template <class R, class F>
R boundary(R on_error, F &&body) noexcept {
    try {
        return body();
    } catch (...) {
        set_python_error_from_current_exception();
        return on_error;
    }
}

}  // namespace bind
