// tovel_mesk._native: the package's native helpers. Each source file of the module adds its
// functions and classes through one registration function, called in order at import.
#pragma once

#include <Python.h>

namespace bind::native {

// Adds every function of a null-terminated table to `module`, bound to it.
void add_functions(PyObject *module, PyMethodDef *table);

// Helper families (one source file each).
void add_digest(PyObject *module);   // digestion, Digest, index building, peptide labels
void add_columns(PyObject *module);  // scoring into columns
void add_defaults(PyObject *module); // the core's digestion and scorer defaults
void add_index_file(PyObject *module);  // index files: writing and mapping
void add_decode(PyObject *module);   // binary arrays of spectra files
void add_text_rows(PyObject *module); // rows of text from columns, for the file writers
void add_error_rates(PyObject *module);  // target-decoy counting for rescoring
void add_mzml_scan(PyObject *module); // the spectra of mzML files, scanned natively

}  // namespace bind::native
