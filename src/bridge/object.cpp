// Out-of-line parts of the reference, call and formatting vocabulary.
#include "object.h"

#include <vector>

namespace bridge {

Object Handle::attr(const char* name) const {
    return Object::steal(PyObject_GetAttrString(ptr_, name));
}

Object Handle::optional_attr(const char* name) const {
    PyObject* value = PyObject_GetAttrString(ptr_, name);
    if (value != nullptr) return Object::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_pending();
    PyErr_Clear();
    return Object();
}

void Handle::set_attr(const char* name, Handle value) const {
    check(PyObject_SetAttrString(ptr_, name, value.ptr()));
}

Object Handle::call(std::initializer_list<Handle> args) const {
    return call_tuple(tuple(args));
}

Object Handle::call(std::initializer_list<Handle> args,
                    std::initializer_list<std::pair<const char*, Handle>> kwargs) const {
    return call_tuple(tuple(args), dict(kwargs));
}

Object Handle::call_tuple(Handle args) const {
    return Object::steal(PyObject_Call(ptr_, args.ptr(), nullptr));
}

Object Handle::call_tuple(Handle args, Handle kwargs) const {
    return Object::steal(PyObject_Call(ptr_, args.ptr(), kwargs.ptr()));
}

Object Handle::method(const char* name, std::initializer_list<Handle> args) const {
    return attr(name).call(args);
}

Object Handle::method(const char* name, std::initializer_list<Handle> args,
                      std::initializer_list<std::pair<const char*, Handle>> kwargs) const {
    return attr(name).call(args, kwargs);
}

Object Handle::item(Py_ssize_t index) const {
    return Object::steal(PySequence_GetItem(ptr_, index));
}

Object Handle::item(Handle key) const {
    return Object::steal(PyObject_GetItem(ptr_, key.ptr()));
}

Py_ssize_t Handle::length() const {
    Py_ssize_t n = PyObject_Length(ptr_);
    if (n < 0) throw_pending();
    return n;
}

Object Handle::type() const {
    return Object::steal(PyObject_Type(ptr_));
}

Object tuple(std::initializer_list<Handle> items) {
    Object t = Object::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (Handle h : items) {
        Py_INCREF(h.ptr());  // PyTuple_SetItem steals the reference
        check(PyTuple_SetItem(t.ptr(), i++, h.ptr()));
    }
    return t;
}

Object list() {
    return Object::steal(PyList_New(0));
}
Object dict() {
    return Object::steal(PyDict_New());
}

Object dict(std::initializer_list<std::pair<const char*, Handle>> items) {
    Object d = dict();
    for (const auto& [key, value] : items) set_item(d, key, value);
    return d;
}

Object import(const char* module_name) {
    return Object::steal(PyImport_ImportModule(module_name));
}

std::string to_string(Handle str) {
    Object utf8 = Object::steal(PyUnicode_AsUTF8String(str.ptr()));
    char* data = nullptr;
    Py_ssize_t size = 0;
    check(PyBytes_AsStringAndSize(utf8.ptr(), &data, &size));
    return std::string(data, static_cast<size_t>(size));
}

long long to_integer(Handle value) {
    long long v = PyLong_AsLongLong(value.ptr());
    if (v == -1 && PyErr_Occurred()) throw_pending();
    return v;
}

void raise(Handle cls, Handle message) {
    Object instance = cls.call({message});
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(instance.ptr())), instance.ptr());
    throw_pending();
}

void raise(Handle cls, const char* message) {
    raise(cls, text(message));
}

void raise(PyObject* builtin_cls, const std::string& message) {
    raise(Handle(builtin_cls), text(message));
}

bool error_matches(Handle cls) {
    return PyErr_ExceptionMatches(cls.ptr()) != 0;
}

SavedError::SavedError() {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    type_ = Object::borrow(type);
    value_ = Object::borrow(value);
    traceback_ = Object::borrow(traceback);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
}

void SavedError::restore() {
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());
}

void SavedError::discard() {
    type_ = Object();
    value_ = Object();
    traceback_ = Object();
}

bool interpreter_finalizing() noexcept {
    PyObject* is_finalizing = PySys_GetObject("is_finalizing");  // borrowed
    if (is_finalizing == nullptr) {
        PyErr_Clear();
        return true;
    }
    PyObject* result = PyObject_CallObject(is_finalizing, nullptr);
    if (result == nullptr) {
        PyErr_Clear();
        return true;
    }
    const bool finalizing = result != Py_False;
    Py_DECREF(result);
    return finalizing;
}

namespace {

std::vector<Object> unpack(Handle value, size_t expected) {
    PyObject* raw_it = PyObject_GetIter(value.ptr());
    if (raw_it == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            Object type_name = value.type().attr("__name__");
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %U object", type_name.ptr());
        }
        throw_pending();
    }
    Object it = Object::steal(raw_it);
    std::vector<Object> items;
    while (items.size() <= expected) {
        PyObject* next = PyIter_Next(it.ptr());
        if (next == nullptr) {
            if (PyErr_Occurred()) throw_pending();
            break;
        }
        items.push_back(Object::steal(next));
    }
    if (items.size() < expected) {
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zu)", expected, items.size());
        throw_pending();
    }
    if (items.size() > expected) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zu)", expected);
        throw_pending();
    }
    return items;
}

}  // namespace

std::pair<Object, Object> unpack_pair(Handle value) {
    std::vector<Object> items = unpack(value, 2);
    return {items[0], items[1]};
}

std::tuple<Object, Object, Object> unpack_triple(Handle value) {
    std::vector<Object> items = unpack(value, 3);
    return {items[0], items[1], items[2]};
}

Object Piece::render() const {
    if (literal_ != nullptr) return text(literal_);
    Object empty = text("");
    return Object::steal(PyObject_Format(value_.ptr(), empty.ptr()));
}

Object fstr(std::initializer_list<Piece> pieces) {
    Object parts = Object::steal(PyList_New(0));
    for (const Piece& p : pieces) check(PyList_Append(parts.ptr(), p.render().ptr()));
    Object empty = text("");
    return Object::steal(PyUnicode_Join(empty.ptr(), parts.ptr()));
}

}  // namespace bridge
