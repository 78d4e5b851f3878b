// Index files of tovel_mesk._native: writing a PyIndexedDatabase to a file of the index
// layout, and mapping one back into a PyIndexedDatabase whose arrays stay in the mapping.
#include <string>

#include "classes.hpp"
#include "failure.hpp"
#include "index_file.hpp"
#include "interpreter_lock.hpp"
#include "module_support.hpp"
#include "native.hpp"
#include "pyclass.hpp"

namespace bind::native {

namespace {

// The bytes of a bytes argument (a path from os.fsencode, or metadata).
std::string bytes_arg(PyObject *o, const char *name) {
    char *data = nullptr;
    Py_ssize_t size = 0;
    if (!PyBytes_Check(o)) {
        const std::string msg = std::string("argument '") + name + "' must be bytes";
        raise(PyExc_TypeError, msg.c_str());
    }
    if (PyBytes_AsStringAndSize(o, &data, &size) != 0) throw PyErrSet{};
    return std::string(data, static_cast<size_t>(size));
}

Ref write_index(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const Signature sig{"write_index()", {"db", "path", "metadata"}, 3};
    const Bound b = bind_args(sig, args, nargs, kwnames);
    const SharedDatabase db = arg<SharedDatabase>(sig, b, 0);
    const std::string path = bytes_arg(b[1], "path");
    const std::string metadata = bytes_arg(b[2], "metadata");
    std::string failure;
    {
        WithoutInterpreterLock unlocked;
        try {
            mesk::write_index_file(path, *db, metadata);
        } catch (const mesk::Failure &e) {
            failure = e.what();
        } catch (const std::bad_alloc &) {
            failure = "out of memory writing " + path;
        }
    }
    if (!failure.empty()) raise(PyExc_OSError, failure.c_str());
    return none();
}

// ("ok", db, metadata bytes, file bytes), or (reason, message, None, 0) with reason
// "other-version", "damaged" or "unreadable".
Ref map_index(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const Signature sig{"map_index()", {"path"}, 1};
    const Bound b = bind_args(sig, args, nargs, kwnames);
    const std::string path = bytes_arg(b[0], "path");
    mesk::MappedIndex mapped;
    std::string reason, message;
    {
        WithoutInterpreterLock unlocked;
        try {
            mapped = mesk::map_index_file(path);
        } catch (const mesk::IndexFileError &e) {
            reason = e.reason == mesk::IndexFileError::OtherVersion ? "other-version"
                     : e.reason == mesk::IndexFileError::Damaged    ? "damaged"
                                                                     : "unreadable";
            message = e.what();
        } catch (const std::bad_alloc &) {
            reason = "damaged";
            message = path + ": out of memory reading it";
        }
    }
    if (!reason.empty()) {
        Ref why = to_py_lossy(reason), text = to_py_lossy(message), size = to_py_uint(0);
        return own(PyTuple_Pack(4, why.get(), text.get(), Py_None, size.get()));
    }
    Ref ok = to_py_lossy("ok");
    Ref db = new_instance(database_type(), SharedDatabase(std::move(mapped.db)));
    Ref metadata = own(PyBytes_FromStringAndSize(mapped.metadata.data(), static_cast<Py_ssize_t>(mapped.metadata.size())));
    Ref size = to_py_uint(mapped.file_bytes);
    return own(PyTuple_Pack(4, ok.get(), db.get(), metadata.get(), size.get()));
}

// (columns, columns viewing a mapped file) of an index: tells a mapped index from a built one.
Ref index_storage(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const Signature sig{"index_storage()", {"db"}, 1};
    const Bound b = bind_args(sig, args, nargs, kwnames);
    const SharedDatabase db = arg<SharedDatabase>(sig, b, 0);
    return to_py_lossy(db->fragments.is_view() || db->peptides.is_mapped() ? "mapped" : "built");
}

Ref checksum(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const Signature sig{"checksum()", {"data", "seed"}, 1};
    const Bound b = bind_args(sig, args, nargs, kwnames);
    const uint64_t seed = b[1] ? arg<uint64_t>(sig, b, 1) : 0;
    Py_buffer view;
    if (PyObject_GetBuffer(b[0], &view, PyBUF_SIMPLE) != 0) throw PyErrSet{};
    uint64_t h;
    {
        WithoutInterpreterLock unlocked;
        h = mesk::hash64(view.buf, static_cast<size_t>(view.len), seed);
    }
    PyBuffer_Release(&view);
    return to_py_uint(h);
}

PyMethodDef index_file_functions[] = {
    {"write_index", as_cfunction(static_method<write_index>), METH_FASTCALL | METH_KEYWORDS,
     "write_index($module, db, path, metadata)\n--\n\nWrites the index and the metadata bytes to the file at path "
     "(bytes, created or truncated) in the index file layout; OSError when it cannot be written."},
    {"map_index", as_cfunction(static_method<map_index>), METH_FASTCALL | METH_KEYWORDS,
     "map_index($module, path)\n--\n\nMaps an index file (path as bytes), checks every checksum, and returns "
     "('ok', db, metadata, file_bytes), or (reason, message, None, 0) with reason 'other-version', 'damaged' "
     "or 'unreadable'."},
    {"index_storage", as_cfunction(static_method<index_storage>), METH_FASTCALL | METH_KEYWORDS,
     "index_storage($module, db)\n--\n\n'mapped' for an index read from an index file, 'built' otherwise."},
    {"checksum", as_cfunction(static_method<checksum>), METH_FASTCALL | METH_KEYWORDS,
     "checksum($module, data, seed=0)\n--\n\nThe 64-bit checksum of index files over a bytes-like object."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

void add_index_file(PyObject *module) { add_functions(module, index_file_functions); }

}  // namespace bind::native
