// The one way to define a class: a heap type from a small table, instances that hold one
// core value plus a borrow state, and wrappers that run every slot through the boundary.
#pragma once

#include <Python.h>

#include <cstdint>
#include <new>
#include <utility>

#include "binder.hpp"
#include "convert.hpp"
#include "errors.hpp"

namespace bind {

// Readers currently inside the object, and whether a writer is.
struct BorrowState {
    uint32_t readers = 0;
    bool writer = false;
};

template <class T>
struct Instance {
    PyObject_HEAD
    BorrowState borrow;
    T value;
};

template <class T>
Instance<T> *instance(PyObject *o) {
    return reinterpret_cast<Instance<T> *>(o);
}

class SharedBorrow {
public:
    explicit SharedBorrow(BorrowState &state) : state_(state) {
        if (state_.writer) raise(PyExc_RuntimeError, "Already mutably borrowed");
        ++state_.readers;
    }
    ~SharedBorrow() { --state_.readers; }
    SharedBorrow(const SharedBorrow &) = delete;
    SharedBorrow &operator=(const SharedBorrow &) = delete;

private:
    BorrowState &state_;
};

class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(BorrowState &state) : state_(state) {
        if (state_.writer || state_.readers) raise(PyExc_RuntimeError, "Already borrowed");
        state_.writer = true;
    }
    ~ExclusiveBorrow() { state_.writer = false; }
    ExclusiveBorrow(const ExclusiveBorrow &) = delete;
    ExclusiveBorrow &operator=(const ExclusiveBorrow &) = delete;

private:
    BorrowState &state_;
};

struct ClassSpec {
    const char *name;            // "tovel_mesk.<Class>"
    const char *doc;             // text signature block, or null for classes without a constructor
    int basicsize;
    destructor dealloc;
    newfunc constructor;         // null: calling the class raises "No constructor defined for <Class>"
    PyGetSetDef *getset;
    PyMethodDef *methods;
    reprfunc repr;
    lenfunc length = nullptr;    // len() of an instance, when it has one
};

// Creates the heap type: not subclassable, no instance dict, no weak references.
PyTypeObject *make_class(const ClassSpec &spec);

template <class T>
void dealloc_instance(PyObject *self) {
    instance<T>(self)->value.~T();
    PyTypeObject *type = Py_TYPE(self);
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
    Py_DECREF(type);
}

// A new instance of `type` taking ownership of `value`.
template <class T>
Ref new_instance(PyTypeObject *type, T &&value) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    Ref obj = own(alloc(type, 0));
    auto *inst = instance<std::decay_t<T>>(obj.get());
    new (&inst->borrow) BorrowState();
    new (&inst->value) std::decay_t<T>(std::forward<T>(value));
    return obj;
}

// The value inside an instance of exactly `type`, or the class-conversion TypeError.
// Taking the value is a read of the object, refused while a write to it is in progress.
template <class T>
const T &value_of(PyObject *obj, PyTypeObject *type, const char *class_name) {
    if (Py_TYPE(obj) != type) cannot_convert(obj, class_name);
    if (instance<T>(obj)->borrow.writer) raise(PyExc_RuntimeError, "Already mutably borrowed");
    return instance<T>(obj)->value;
}

// Method tables store every calling convention as a PyCFunction.
template <class F>
PyCFunction as_cfunction(F *fn) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

// Slot adapters. `Get` is `Ref (*)(const T &)`,
// `Method` is `Ref (*)(PyObject *self, T &, PyObject *const *, Py_ssize_t, PyObject *)`.
template <class T, Ref (*Get)(const T &)>
PyObject *property_get(PyObject *self, void *) {
    return boundary<PyObject *>(nullptr, [&] {
        SharedBorrow borrow(instance<T>(self)->borrow);
        return Get(instance<T>(self)->value).release();
    });
}

// A property write converts the new value first (which may run Python code that reads the
// object), then holds the exclusive borrow only while assigning it.
template <class T, class V, V (*Convert)(PyObject *), void (*Assign)(T &, V &&)>
int property_set(PyObject *self, PyObject *value, void *) {
    return boundary<int>(-1, [&] {
        if (!value) raise(PyExc_AttributeError, "can't delete attribute");
        V converted = Convert(value);
        ExclusiveBorrow borrow(instance<T>(self)->borrow);
        Assign(instance<T>(self)->value, std::move(converted));
        return 0;
    });
}

template <class T, Ref (*Method)(T &, PyObject *const *, Py_ssize_t, PyObject *)>
PyObject *method(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return boundary<PyObject *>(nullptr, [&] {
        SharedBorrow borrow(instance<T>(self)->borrow);
        return Method(instance<T>(self)->value, args, nargs, kwnames).release();
    });
}

template <class T, Ref (*Method)(T &)>
PyObject *method_noargs(PyObject *self, PyObject *) {
    return boundary<PyObject *>(nullptr, [&] {
        SharedBorrow borrow(instance<T>(self)->borrow);
        return Method(instance<T>(self)->value).release();
    });
}

template <Ref (*Fn)(PyObject *const *, Py_ssize_t, PyObject *)>
PyObject *static_method(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return boundary<PyObject *>(nullptr, [&] { return Fn(args, nargs, kwnames).release(); });
}

template <Ref (*Fn)()>
PyObject *static_noargs(PyObject *, PyObject *) {
    return boundary<PyObject *>(nullptr, [&] { return Fn().release(); });
}

template <Ref (*Fn)(PyObject *args, PyObject *kwargs)>
PyObject *constructor(PyTypeObject *, PyObject *args, PyObject *kwargs) {
    return boundary<PyObject *>(nullptr, [&] { return Fn(args, kwargs).release(); });
}

template <class T, Ref (*Fn)(const T &)>
PyObject *repr(PyObject *self) {
    return boundary<PyObject *>(nullptr, [&] {
        SharedBorrow borrow(instance<T>(self)->borrow);
        return Fn(instance<T>(self)->value).release();
    });
}

}  // namespace bind
