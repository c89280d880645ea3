// Owning and borrowed references to Python objects, the pending-error exception,
// and the small calling/formatting vocabulary that module code is written in.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <initializer_list>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

namespace bridge {

// Thrown when a Python exception is set; every entry point turns it back into
// a NULL/-1 return so that the interpreter sees the exception.
struct PendingError {};

[[noreturn]] inline void throw_pending() {
    throw PendingError{};
}

// Returns `p`, or throws if the C API reported an error (NULL result).
inline PyObject* check(PyObject* p) {
    if (p == nullptr) throw_pending();
    return p;
}

// Returns `r`, or throws if the C API reported an error (negative result).
inline int check(int r) {
    if (r < 0) throw_pending();
    return r;
}

class Object;

// A borrowed view of a Python object: it never changes the reference count.
class Handle {
public:
    Handle() = default;
    explicit Handle(PyObject* p) : ptr_(p) {}

    PyObject* ptr() const { return ptr_; }
    explicit operator bool() const { return ptr_ != nullptr; }
    bool is(Handle other) const { return ptr_ == other.ptr_; }
    bool is_none() const { return ptr_ == Py_None; }

    Object attr(const char* name) const;
    // The attribute `name`, or an empty Object where the object has none (its AttributeError
    // cleared); any other error propagates.
    Object optional_attr(const char* name) const;
    void set_attr(const char* name, Handle value) const;

    // Calls the object with positional arguments only.
    Object call(std::initializer_list<Handle> args = {}) const;
    // Calls the object with positional and keyword arguments.
    Object call(std::initializer_list<Handle> args, std::initializer_list<std::pair<const char*, Handle>> kwargs) const;
    // Calls with a ready tuple (and optional dict) of arguments.
    Object call_tuple(Handle args) const;
    Object call_tuple(Handle args, Handle kwargs) const;
    // Looks up `name` on the object and calls it.
    Object method(const char* name, std::initializer_list<Handle> args = {}) const;
    Object method(const char* name, std::initializer_list<Handle> args,
                  std::initializer_list<std::pair<const char*, Handle>> kwargs) const;

    bool truthy() const { return check(PyObject_IsTrue(ptr_)) != 0; }
    bool equals(Handle other) const { return check(PyObject_RichCompareBool(ptr_, other.ptr_, Py_EQ)) != 0; }
    Object item(Py_ssize_t index) const;
    Object item(Handle key) const;
    Py_ssize_t length() const;
    Object type() const;

protected:
    PyObject* ptr_ = nullptr;
};

// An owning reference. Ownership is stated at construction: `steal` takes over a
// new reference (and throws if it is NULL), `borrow` adds one.
class Object : public Handle {
public:
    Object() = default;
    static Object steal(PyObject* p) { return Object(check(p)); }
    static Object borrow(PyObject* p) {
        Py_XINCREF(p);
        return Object(p);
    }
    static Object borrow(Handle h) { return borrow(h.ptr()); }

    Object(const Object& other) : Handle(other.ptr_) { Py_XINCREF(ptr_); }
    Object(Object&& other) noexcept : Handle(other.ptr_) { other.ptr_ = nullptr; }
    Object& operator=(Object other) noexcept {
        std::swap(ptr_, other.ptr_);
        return *this;
    }
    ~Object() { Py_XDECREF(ptr_); }

    // Hands the reference to the caller (for returning to the interpreter).
    PyObject* release() {
        PyObject* p = ptr_;
        ptr_ = nullptr;
        return p;
    }

private:
    explicit Object(PyObject* p) : Handle(p) {}
};

// ----- constructors of common values -----

inline Object none() {
    return Object::borrow(Py_None);
}
inline Object boolean(bool v) {
    return Object::borrow(v ? Py_True : Py_False);
}
inline Object integer(long long v) {
    return Object::steal(PyLong_FromLongLong(v));
}
inline Object floating(double v) {
    return Object::steal(PyFloat_FromDouble(v));
}
inline Object text(const char* s) {
    return Object::steal(PyUnicode_FromString(s));
}
inline Object text(const std::string& s) {
    return Object::steal(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}
Object tuple(std::initializer_list<Handle> items);
Object list();
Object dict();
// A dict of `items`, in order: dict({{"caps", caps}}).
Object dict(std::initializer_list<std::pair<const char*, Handle>> items);
// `d[key] = value` for a str key.
inline void set_item(Handle d, const char* key, Handle value) {
    check(PyDict_SetItemString(d.ptr(), key, value.ptr()));
}
Object import(const char* module_name);

// ----- operators, as the interpreter applies them -----

inline Object subtract(Handle a, Handle b) {
    return Object::steal(PyNumber_Subtract(a.ptr(), b.ptr()));
}
inline Object multiply(Handle a, Handle b) {
    return Object::steal(PyNumber_Multiply(a.ptr(), b.ptr()));
}
inline Object bit_or(Handle a, Handle b) {
    return Object::steal(PyNumber_Or(a.ptr(), b.ptr()));
}
inline Object concat(Handle a, Handle b) {
    return Object::steal(PySequence_Concat(a.ptr(), b.ptr()));
}
inline Object compare(Handle a, Handle b, int op) {
    return Object::steal(PyObject_RichCompare(a.ptr(), b.ptr(), op));
}
// `item in container`
inline bool contains(Handle container, Handle item) {
    return check(PySequence_Contains(container.ptr(), item.ptr())) != 0;
}
inline bool is_instance(Handle obj, Handle cls) {
    return check(PyObject_IsInstance(obj.ptr(), cls.ptr())) != 0;
}

// Calls `f(item)` for every item of `iterable`, as a for statement does. A callback
// that returns bool stops the loop by returning false (a `break`).
template <class F>
void for_each(Handle iterable, F&& f) {
    Object it = Object::steal(PyObject_GetIter(iterable.ptr()));
    while (true) {
        PyObject* next = PyIter_Next(it.ptr());
        if (next == nullptr) {
            if (PyErr_Occurred()) throw_pending();
            return;
        }
        if constexpr (std::is_same_v<decltype(f(Object::steal(next))), bool>) {
            if (!f(Object::steal(next))) return;
        } else {
            f(Object::steal(next));
        }
    }
}

// `a, b = value`, with the interpreter's messages for the wrong number of items.
std::pair<Object, Object> unpack_pair(Handle value);
// `a, b, c = value`.
std::tuple<Object, Object, Object> unpack_triple(Handle value);

// Returns the UTF-8 text of a `str`; throws TypeError for anything else.
std::string to_string(Handle str);
long long to_integer(Handle value);

// ----- exceptions -----

// Instantiates `cls` with the one argument `message` and raises the instance.
[[noreturn]] void raise(Handle cls, Handle message);
[[noreturn]] void raise(Handle cls, const char* message);
[[noreturn]] void raise(PyObject* builtin_cls, const std::string& message);

// True if the pending exception is an instance of `cls` (a class or tuple).
bool error_matches(Handle cls);

// Saves and clears the pending exception; `restore` sets it again.
class SavedError {
public:
    SavedError();
    void restore();
    // Drops the saved exception.
    void discard();

private:
    Object type_, value_, traceback_;
};

// True once the interpreter has begun to shut down, or when it can no longer say: from then
// on other extensions may have torn down the state that their functions rely on. Call it
// with no exception pending.
bool interpreter_finalizing() noexcept;

// ----- f-string formatting -----

// One piece of an f-string: literal text, or a value formatted with format(value, "").
class Piece {
public:
    Piece(const char* literal) : literal_(literal) {}  // NOLINT: implicit by design
    Piece(Handle value) : value_(value) {}             // NOLINT: implicit by design
    Object render() const;

private:
    const char* literal_ = nullptr;
    Handle value_;
};

// Joins pieces as an f-string does: fstr({"Failed to link ", name}).
Object fstr(std::initializer_list<Piece> pieces);

// ----- entry points -----

// Runs `body` and converts a pending-error exception (or a C++ failure) back into
// the interpreter's error indicator; returns NULL on failure.
template <class F>
PyObject* guarded(F&& body) noexcept {
    try {
        return body().release();
    } catch (const PendingError&) {
        return nullptr;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
        return nullptr;
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
        return nullptr;
    }
}

// Same as `guarded` for entry points that report with an int (0 ok, -1 failure).
template <class F>
int guarded_status(F&& body) noexcept {
    try {
        body();
        return 0;
    } catch (const PendingError&) {
        return -1;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
        return -1;
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
        return -1;
    }
}

}  // namespace bridge
