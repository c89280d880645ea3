// Python objects that carry one C++ value: a heap type whose instances hold a `T` after their
// header, built in place by `make` and destroyed with the object.
#pragma once

#include <new>
#include <type_traits>
#include <utility>

#include "object.h"

namespace bridge {

template <class T>
class NativeType {
    // The value is moved into memory that the interpreter has already allocated; a move that
    // could fail would leave an object whose destruction runs on nothing.
    static_assert(std::is_nothrow_move_constructible_v<T>);

public:
    // A new heap type named `name` (dotted: "package.module.Class"; the text must outlive the
    // type) with `getset` as its attributes (a static table, ending with a null entry).
    // Instances are made by `make` only: calling the type raises TypeError.
    static Object create(const char* name, const char* doc, PyGetSetDef* getset) {
        PyType_Slot slots[] = {
            {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
            {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
            {Py_tp_doc, const_cast<char*>(doc)},
            {Py_tp_getset, getset},
            {0, nullptr},
        };
        PyType_Spec spec = {name, sizeof(Instance), 0, Py_TPFLAGS_DEFAULT, slots};
        return Object::steal(PyType_FromSpec(&spec));
    }

    // True if `type` is a type made by `create` for this `T`.
    static bool is_type(Handle type) {
        return PyType_Check(type.ptr()) && PyType_GetSlot(reinterpret_cast<PyTypeObject*>(type.ptr()), Py_tp_dealloc) ==
                                               reinterpret_cast<void*>(dealloc);
    }

    // An instance of `type` holding `value`. A `type` of another kind (a module global
    // rebound by someone) is refused rather than trusted with the layout.
    static Object make(Handle type, T value) {
        if (!is_type(type)) {
            PyErr_SetString(PyExc_TypeError, "not a type of native objects of this kind");
            throw_pending();
        }
        auto* tp = reinterpret_cast<PyTypeObject*>(type.ptr());
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(tp, Py_tp_alloc));
        Object self = Object::steal(alloc(tp, 0));
        new (&as_instance(self.ptr())->value) T(std::move(value));
        return self;
    }

    // The value of an instance made by `make`.
    static T& value(Handle self) { return as_instance(self.ptr())->value; }

private:
    struct Instance {
        PyObject_HEAD T value;
    };

    static Instance* as_instance(PyObject* self) { return reinterpret_cast<Instance*>(self); }

    static void dealloc(PyObject* self) {
        PyTypeObject* type = Py_TYPE(self);
        as_instance(self)->value.~T();
        auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
        free_fn(self);
        Py_DECREF(type);
    }

    static PyObject* refuse_new(PyTypeObject* type, PyObject*, PyObject*) {
        PyObject* name = PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__");
        if (name == nullptr) return nullptr;
        PyErr_Format(PyExc_TypeError, "cannot create '%U' instances", name);
        Py_DECREF(name);
        return nullptr;
    }
};

}  // namespace bridge
