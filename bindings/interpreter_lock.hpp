// Releasing the interpreter lock around native work that touches no Python object.
#pragma once

#include <Python.h>

namespace bind {

// Releases the interpreter lock for its lifetime; an exception unwinding through it
// takes the lock back first.
class WithoutInterpreterLock {
public:
    WithoutInterpreterLock() : state_(PyEval_SaveThread()) {}
    ~WithoutInterpreterLock() { PyEval_RestoreThread(state_); }
    WithoutInterpreterLock(const WithoutInterpreterLock &) = delete;
    WithoutInterpreterLock &operator=(const WithoutInterpreterLock &) = delete;

private:
    PyThreadState *state_;
};

}  // namespace bind
