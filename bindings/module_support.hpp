// What every extension module of the package does when it is imported: refuse
// subinterpreters, and add its names one by one, each appended to __all__.
#pragma once

#include <Python.h>

namespace bind {

// The modules' objects belong to one interpreter, the main one (id 0). A subinterpreter
// that imports first must not lock the main interpreter out, so only id 0 is ever recorded.
// Raises ImportError (through PyErrSet) in any other interpreter.
void require_main_interpreter();

// Adds `value` under `name` and appends the name to the module's __all__.
void add_to_module(PyObject *module, const char *name, PyObject *value);

}  // namespace bind
