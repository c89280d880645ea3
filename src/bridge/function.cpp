// The function type: argument binding with the interpreter's own error wording,
// the attributes of a plain `def`, method binding and a lazily built signature.
#include "function.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace bridge {

namespace {

struct FunctionObject {
    PyObject_HEAD const FunctionSpec* spec;
    PyObject* globals;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;     // tuple or NULL
    PyObject* kwdefaults;   // dict or NULL
    PyObject* annotations;  // dict
    PyObject* dict;         // instance attributes, made on first use
    PyObject* captured;     // tuple or NULL
    PyObject* owner;        // defining class or NULL
    PyObject* method_type;  // types.MethodType, for binding to instances
};

FunctionObject* as_function(PyObject* self) {
    return reinterpret_cast<FunctionObject*>(self);
}

// The running interpreter's minor version (3.x); one build serves several.
int python_minor() {
    static const int minor = [] {
        const char* version = Py_GetVersion();  // "3.11.2 (main, ...)"
        int major = 0, minor_version = 0;
        if (std::sscanf(version, "%d.%d", &major, &minor_version) != 2 || major != 3) return 99;
        return minor_version;
    }();
    return minor;
}

// Error messages name the function as the running interpreter does: by its
// qualified name from 3.10 on, by its plain name before.
bool messages_use_qualname() {
    return python_minor() >= 10;
}

PyObject* display_name(FunctionObject* f) {
    return messages_use_qualname() ? f->qualname : f->name;
}

[[noreturn]] void type_error(PyObject* message) {
    PyErr_SetObject(PyExc_TypeError, message);
    Py_DECREF(message);
    throw_pending();
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the interpreter's list of missing names.
Object join_missing(const std::vector<const char*>& names) {
    Object reprs = list();
    for (const char* n : names) {
        Object r = Object::steal(PyObject_Repr(text(n).ptr()));
        check(PyList_Append(reprs.ptr(), r.ptr()));
    }
    size_t count = names.size();
    if (count == 1) return reprs.item(0);
    if (count == 2) {
        return Object::steal(PyUnicode_FromFormat("%U and %U", reprs.item(0).ptr(), reprs.item(1).ptr()));
    }
    Object tail =
        Object::steal(PyUnicode_FromFormat(", %U, and %U", reprs.item(count - 2).ptr(), reprs.item(count - 1).ptr()));
    check(PyList_SetSlice(reprs.ptr(), static_cast<Py_ssize_t>(count - 2), static_cast<Py_ssize_t>(count), nullptr));
    Object comma = text(", ");
    Object head = Object::steal(PyUnicode_Join(comma.ptr(), reprs.ptr()));
    return Object::steal(PyUnicode_Concat(head.ptr(), tail.ptr()));
}

[[noreturn]] void missing_arguments(FunctionObject* f, const char* kind, const std::vector<const char*>& names) {
    Object joined = join_missing(names);
    int count = static_cast<int>(names.size());
    type_error(check(PyUnicode_FromFormat("%U() missing %i required %s argument%s: %U", display_name(f), count, kind,
                                          count == 1 ? "" : "s", joined.ptr())));
}

[[noreturn]] void too_many_positional(FunctionObject* f, Py_ssize_t co_argcount, Py_ssize_t given,
                                      Py_ssize_t kwonly_given) {
    Py_ssize_t defcount = f->defaults != nullptr ? PyTuple_Size(f->defaults) : 0;
    bool plural;
    Object sig;
    if (defcount != 0) {
        plural = true;
        sig = Object::steal(PyUnicode_FromFormat("from %zd to %zd", co_argcount - defcount, co_argcount));
    } else {
        plural = co_argcount != 1;
        sig = Object::steal(PyUnicode_FromFormat("%zd", co_argcount));
    }
    Object kwonly_sig;
    if (kwonly_given != 0) {
        kwonly_sig =
            Object::steal(PyUnicode_FromFormat(" positional argument%s (and %zd keyword-only argument%s)",
                                               given != 1 ? "s" : "", kwonly_given, kwonly_given != 1 ? "s" : ""));
    } else {
        kwonly_sig = text("");
    }
    type_error(check(PyUnicode_FromFormat("%U() takes %U positional argument%s but %zd%U %s given", display_name(f),
                                          sig.ptr(), plural ? "s" : "", given, kwonly_sig.ptr(),
                                          given == 1 && kwonly_given == 0 ? "was" : "were")));
}

// Binds `args`/`kwargs` to the parameter list in the order, and with the
// messages, of the interpreter's own frame set-up.
std::vector<Object> bind(FunctionObject* f, PyObject* args, PyObject* kwargs) {
    const std::vector<Param>& params = f->spec->params;
    std::vector<Object> slots(params.size());
    std::vector<size_t> positional, keyword_only;  // indices into params, in declaration order
    std::ptrdiff_t varargs = -1, varkw = -1;
    for (size_t i = 0; i < params.size(); ++i) {
        switch (params[i].kind) {
            case Kind::Positional:
                positional.push_back(i);
                break;
            case Kind::KeywordOnly:
                keyword_only.push_back(i);
                break;
            case Kind::VarPositional:
                varargs = static_cast<std::ptrdiff_t>(i);
                break;
            case Kind::VarKeyword:
                varkw = static_cast<std::ptrdiff_t>(i);
                break;
        }
    }
    if (varkw >= 0) slots[static_cast<size_t>(varkw)] = dict();
    const Py_ssize_t argcount = PyTuple_Size(args);
    const auto co_argcount = static_cast<Py_ssize_t>(positional.size());
    const Py_ssize_t n = argcount < co_argcount ? argcount : co_argcount;
    for (Py_ssize_t j = 0; j < n; ++j)
        slots[positional[static_cast<size_t>(j)]] = Object::borrow(PyTuple_GetItem(args, j));
    if (varargs >= 0) slots[static_cast<size_t>(varargs)] = Object::steal(PyTuple_GetSlice(args, n, argcount));

    if (kwargs != nullptr) {
        PyObject *key = nullptr, *value = nullptr;
        Py_ssize_t pos = 0;
        // From 3.9 on the interpreter refuses a non-string keyword while unpacking the
        // call, before any binding and without naming the function; 3.8 refuses it
        // during binding, in keyword order, naming it.
        if (python_minor() >= 9) {
            while (PyDict_Next(kwargs, &pos, &key, &value)) {
                if (!PyUnicode_Check(key)) type_error(text("keywords must be strings").release());
            }
            pos = 0;
        }
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                type_error(check(PyUnicode_FromFormat("%U() keywords must be strings", display_name(f))));
            }
            std::ptrdiff_t found = -1;
            for (const auto* group : {&positional, &keyword_only}) {
                for (size_t idx : *group) {
                    if (PyUnicode_CompareWithASCIIString(key, params[idx].name) == 0) {
                        found = static_cast<std::ptrdiff_t>(idx);
                        break;
                    }
                }
                if (found >= 0) break;
            }
            if (found < 0 && varkw >= 0) {
                check(PyDict_SetItem(slots[static_cast<size_t>(varkw)].ptr(), key, value));
                continue;
            }
            if (found < 0) {
                type_error(
                    check(PyUnicode_FromFormat("%U() got an unexpected keyword argument '%S'", display_name(f), key)));
            }
            if (slots[static_cast<size_t>(found)]) {
                type_error(
                    check(PyUnicode_FromFormat("%U() got multiple values for argument '%S'", display_name(f), key)));
            }
            slots[static_cast<size_t>(found)] = Object::borrow(value);
        }
    }

    if (argcount > co_argcount && varargs < 0) {
        Py_ssize_t kwonly_given = 0;
        for (size_t idx : keyword_only)
            if (slots[idx]) ++kwonly_given;
        too_many_positional(f, co_argcount, argcount, kwonly_given);
    }

    if (argcount < co_argcount) {
        const Py_ssize_t defcount = f->defaults != nullptr ? PyTuple_Size(f->defaults) : 0;
        const Py_ssize_t m = co_argcount - defcount;
        std::vector<const char*> missing;
        for (Py_ssize_t i = argcount; i < m; ++i) {
            size_t idx = positional[static_cast<size_t>(i)];
            if (!slots[idx]) missing.push_back(params[idx].name);
        }
        if (!missing.empty()) missing_arguments(f, "positional", missing);
        for (Py_ssize_t i = n > m ? n - m : 0; i < defcount; ++i) {
            size_t idx = positional[static_cast<size_t>(m + i)];
            if (!slots[idx]) slots[idx] = Object::borrow(PyTuple_GetItem(f->defaults, i));
        }
    }

    std::vector<const char*> missing_kwonly;
    for (size_t idx : keyword_only) {
        if (slots[idx]) continue;
        if (f->kwdefaults != nullptr) {
            PyObject* def = PyDict_GetItemString(f->kwdefaults, params[idx].name);
            if (def != nullptr) {
                slots[idx] = Object::borrow(def);
                continue;
            }
        }
        missing_kwonly.push_back(params[idx].name);
    }
    if (!missing_kwonly.empty()) missing_arguments(f, "keyword-only", missing_kwonly);
    return slots;
}

// The name the interpreter's own type check would print for `type`.
std::string type_name(Handle type) {
    Object name = type.attr("__name__");
    if ((PyType_GetFlags(reinterpret_cast<PyTypeObject*>(type.ptr())) & Py_TPFLAGS_HEAPTYPE) != 0) {
        return to_string(name);
    }
    Object module = type.attr("__module__");
    std::string module_text = PyUnicode_Check(module.ptr()) ? to_string(module) : "builtins";
    if (module_text == "builtins") return to_string(name);
    return module_text + "." + to_string(type.attr("__qualname__"));
}

// "%.200s": at most 200 characters of each piece.
std::string clip(std::string s) {
    Object u = text(s);
    if (u.length() <= 200) return s;
    return to_string(Object::steal(PyUnicode_Substring(u.ptr(), 0, 200)));
}

void check_exact_types(FunctionObject* f, const std::vector<Object>& slots) {
    const std::vector<Param>& params = f->spec->params;
    for (size_t i = 0; i < params.size(); ++i) {
        if (params[i].exact == Exact::Any) continue;
        PyObject* value = slots[i].ptr();
        if (value == Py_None) continue;
        bool ok = params[i].exact == Exact::Str ? PyUnicode_CheckExact(value) : PyDict_CheckExact(value);
        if (ok) continue;
        const char* expected = params[i].exact == Exact::Str ? "str" : "dict";
        std::string got = clip(type_name(Object::steal(PyObject_Type(value))));
        PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                     params[i].name, expected, got.c_str());
        throw_pending();
    }
}

PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        FunctionObject* f = as_function(self);
        std::vector<Object> slots = bind(f, args, kwargs);
        check_exact_types(f, slots);
        Call call{Handle(self), std::move(slots)};
        Object result = f->spec->body(call);
        return result ? result : none();
    });
}

PyObject* function_get(PyObject* self, PyObject* obj, PyObject* /*type*/) {
    if (obj == nullptr || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyObject_CallFunctionObjArgs(as_function(self)->method_type, self, obj, nullptr);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->globals);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->dict);
    Py_VISIT(f->captured);
    Py_VISIT(f->owner);
    Py_VISIT(f->method_type);
    return 0;
}

int function_clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->captured);
    Py_CLEAR(f->owner);
    Py_CLEAR(f->method_type);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
}

PyObject* function_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "cannot create 'vantle.function' instances");
    return nullptr;
}

// Builds an inspect.Signature from the parameter table and the current defaults
// and annotations.
Object build_signature(FunctionObject* f) {
    Object inspect = import("inspect");
    Object parameter = inspect.attr("Parameter");
    Object empty = parameter.attr("empty");
    Object annotations = Object::borrow(f->annotations);
    const std::vector<Param>& params = f->spec->params;

    Py_ssize_t positional_count = 0;
    for (const Param& p : params)
        if (p.kind == Kind::Positional) ++positional_count;
    Py_ssize_t defcount = f->defaults != nullptr ? PyTuple_Size(f->defaults) : 0;
    Py_ssize_t first_default = positional_count - defcount;

    Object items = list();
    Py_ssize_t positional_index = 0;
    for (const Param& p : params) {
        const char* kind_name = p.kind == Kind::Positional      ? "POSITIONAL_OR_KEYWORD"
                                : p.kind == Kind::VarPositional ? "VAR_POSITIONAL"
                                : p.kind == Kind::VarKeyword    ? "VAR_KEYWORD"
                                                                : "KEYWORD_ONLY";
        Object default_value = empty;
        if (p.kind == Kind::Positional) {
            if (positional_index >= first_default && positional_index - first_default < defcount) {
                default_value = Object::borrow(PyTuple_GetItem(f->defaults, positional_index - first_default));
            }
            ++positional_index;
        } else if (p.kind == Kind::KeywordOnly && f->kwdefaults != nullptr) {
            PyObject* def = PyDict_GetItemString(f->kwdefaults, p.name);
            if (def != nullptr) default_value = Object::borrow(def);
        }
        Object annotation = empty;
        if (annotations && PyDict_Check(annotations.ptr())) {
            PyObject* a = PyDict_GetItemString(annotations.ptr(), p.name);
            if (a != nullptr) annotation = Object::borrow(a);
        }
        Object param = parameter.call({text(p.name), parameter.attr(kind_name)},
                                      {{"default", default_value}, {"annotation", annotation}});
        check(PyList_Append(items.ptr(), param.ptr()));
    }
    Object return_annotation = inspect.attr("Signature").attr("empty");
    if (annotations && PyDict_Check(annotations.ptr())) {
        PyObject* r = PyDict_GetItemString(annotations.ptr(), "return");
        if (r != nullptr) return_annotation = Object::borrow(r);
    }
    return inspect.attr("Signature").call({items}, {{"return_annotation", return_annotation}});
}

// Names that the type serves through data descriptors (its getters and setters,
// and `__class__`): these come before the instance dict, as on a plain function.
bool is_data_descriptor(PyObject* name) {
    static const char* const names[] = {"__name__",     "__qualname__",   "__module__",      "__doc__",
                                        "__defaults__", "__kwdefaults__", "__annotations__", "__dict__",
                                        "__globals__",  "__class__"};
    for (const char* n : names)
        if (PyUnicode_CompareWithASCIIString(name, n) == 0) return true;
    return false;
}

// "'function' object has no attribute 'x'", worded as for a plain function.
PyObject* no_attribute(PyObject* self, PyObject* name) {
    PyObject* type_name_text = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "__name__");
    if (type_name_text == nullptr) return nullptr;
    PyErr_Format(PyExc_AttributeError, "'%U' object has no attribute '%U'", type_name_text, name);
    Py_DECREF(type_name_text);
    return nullptr;
}

PyObject* function_getattro(PyObject* self, PyObject* name) {
    FunctionObject* f = as_function(self);
    // The instance dict comes before the type's other attributes (its slot wrappers
    // and methods), as the generic lookup of a type with a dict slot does.
    if (f->dict != nullptr && PyUnicode_Check(name) && !is_data_descriptor(name)) {
        PyObject* value = PyDict_GetItemWithError(f->dict, name);
        if (value != nullptr) {
            Py_INCREF(value);
            return value;
        }
        if (PyErr_Occurred()) return nullptr;
    }
    PyObject* result = PyObject_GenericGetAttr(self, name);
    if (result != nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError)) return result;
    PyErr_Clear();
    if (PyUnicode_CompareWithASCIIString(name, "__signature__") == 0) {
        return guarded([&] { return build_signature(f); });
    }
    return no_attribute(self, name);
}

int function_setattro(PyObject* self, PyObject* name, PyObject* value) {
    if (!PyUnicode_Check(name) || is_data_descriptor(name)) return PyObject_GenericSetAttr(self, name, value);
    FunctionObject* f = as_function(self);
    if (value == nullptr) {
        PyObject* present = f->dict != nullptr ? PyDict_GetItemWithError(f->dict, name) : nullptr;
        if (present == nullptr) {
            if (!PyErr_Occurred()) no_attribute(self, name);
            return -1;
        }
        return PyDict_DelItem(f->dict, name);
    }
    if (f->dict == nullptr) {
        f->dict = PyDict_New();
        if (f->dict == nullptr) return -1;
    }
    return PyDict_SetItem(f->dict, name, value);
}

PyObject* function_reduce(PyObject* self, PyObject* /*unused*/) {
    // Pickled, copied and deep-copied by reference, as a plain function is: the
    // qualified name is looked up again in the function's module.
    PyObject* qualname = as_function(self)->qualname;
    Py_INCREF(qualname);
    return qualname;
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// ----- getters and setters of the def-like attributes -----

PyObject* get_field(PyObject* field) {
    PyObject* v = field != nullptr ? field : Py_None;
    Py_INCREF(v);
    return v;
}

int set_field(PyObject** field, PyObject* value, bool allow_none, bool (*accept)(PyObject*), const char* message) {
    if (value == nullptr || (!allow_none && value == Py_None) ||
        (value != Py_None && accept != nullptr && !accept(value))) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    PyObject* old = *field;
    if (value == Py_None && allow_none) {
        *field = nullptr;
    } else {
        Py_INCREF(value);
        *field = value;
    }
    Py_XDECREF(old);
    return 0;
}

bool is_str(PyObject* v) {
    return PyUnicode_Check(v);
}
bool is_tuple(PyObject* v) {
    return PyTuple_Check(v);
}
bool is_dict(PyObject* v) {
    return PyDict_Check(v);
}

PyObject* get_name(PyObject* s, void*) {
    return get_field(as_function(s)->name);
}
int set_name(PyObject* s, PyObject* v, void*) {
    return set_field(&as_function(s)->name, v, false, is_str, "__name__ must be set to a string object");
}
PyObject* get_qualname(PyObject* s, void*) {
    return get_field(as_function(s)->qualname);
}
int set_qualname(PyObject* s, PyObject* v, void*) {
    return set_field(&as_function(s)->qualname, v, false, is_str, "__qualname__ must be set to a string object");
}
PyObject* get_module(PyObject* s, void*) {
    return get_field(as_function(s)->module);
}
int set_module(PyObject* s, PyObject* v, void*) {
    // A plain function's __module__ reads None once deleted.
    return set_field(&as_function(s)->module, v == nullptr ? Py_None : v, true, nullptr, "");
}
PyObject* get_doc(PyObject* s, void*) {
    return get_field(as_function(s)->doc);
}
int set_doc(PyObject* s, PyObject* v, void*) {
    return set_field(&as_function(s)->doc, v == nullptr ? Py_None : v, true, nullptr, "");
}
PyObject* get_defaults(PyObject* s, void*) {
    return get_field(as_function(s)->defaults);
}
int set_defaults(PyObject* s, PyObject* v, void*) {
    return set_field(&as_function(s)->defaults, v == nullptr ? Py_None : v, true, is_tuple,
                     "__defaults__ must be set to a tuple object");
}
PyObject* get_kwdefaults(PyObject* s, void*) {
    return get_field(as_function(s)->kwdefaults);
}
int set_kwdefaults(PyObject* s, PyObject* v, void*) {
    return set_field(&as_function(s)->kwdefaults, v == nullptr ? Py_None : v, true, is_dict,
                     "__kwdefaults__ must be set to a dict object");
}
PyObject* get_annotations(PyObject* s, void*) {
    FunctionObject* f = as_function(s);
    if (f->annotations == nullptr) f->annotations = PyDict_New();
    return get_field(f->annotations);
}
int set_annotations(PyObject* s, PyObject* v, void*) {
    return set_field(&as_function(s)->annotations, v == nullptr ? Py_None : v, true, is_dict,
                     "__annotations__ must be set to a dict object");
}
PyObject* get_dict(PyObject* s, void*) {
    FunctionObject* f = as_function(s);
    if (f->dict == nullptr) f->dict = PyDict_New();
    return get_field(f->dict);
}
int set_dict(PyObject* s, PyObject* v, void*) {
    if (v == nullptr) {
        PyErr_SetString(PyExc_TypeError, "cannot delete __dict__");
        return -1;
    }
    if (!PyDict_Check(v)) {
        return guarded_status([&] {
            std::string got = type_name(Object::steal(PyObject_Type(v)));
            PyErr_Format(PyExc_TypeError, "__dict__ must be set to a dictionary, not a '%.200s'", got.c_str());
            throw_pending();
        });
    }
    return set_field(&as_function(s)->dict, v, false, is_dict, "");
}
PyObject* get_globals(PyObject* s, void*) {
    return get_field(as_function(s)->globals);
}
int set_globals(PyObject*, PyObject*, void*) {
    PyErr_SetString(PyExc_AttributeError, "readonly attribute");
    return -1;
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__dict__", get_dict, set_dict, nullptr, nullptr},
    {"__globals__", get_globals, set_globals, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_call, reinterpret_cast<void*>(function_call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_getattro, reinterpret_cast<void*>(function_getattro)},
    {Py_tp_setattro, reinterpret_cast<void*>(function_setattro)},
    {Py_tp_getset, function_getset},
    {Py_tp_methods, function_methods},
    {Py_tp_new, reinterpret_cast<void*>(function_new)},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "vantle.function", sizeof(FunctionObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, function_slots,
};

Object annotations_of(const FunctionSpec& spec) {
    Object d = dict();
    for (const Param& p : spec.params)
        if (p.annotation != nullptr) set_item(d, p.name, text(p.annotation));
    if (spec.return_annotation != nullptr) {
        set_item(d, "return", text(spec.return_annotation));
    }
    return d;
}

}  // namespace

// One heap type per call, all from the one spec; the module's name plays no part in it.
Object create_function_type(const char* /*module_name*/) {
    return Object::steal(PyType_FromSpec(&function_spec));
}

bool is_function(Handle obj) {
    return PyType_GetSlot(Py_TYPE(obj.ptr()), Py_tp_call) == reinterpret_cast<void*>(function_call);
}

Object make_function(Handle function_type, Handle globals, const FunctionSpec& spec, Handle defaults, Handle kwdefaults,
                     Handle captured, Handle qualname) {
    auto* type = reinterpret_cast<PyTypeObject*>(function_type.ptr());
    Object self = Object::steal(PyType_GenericAlloc(type, 0));
    FunctionObject* f = as_function(self.ptr());
    // PyType_GenericAlloc zero-fills the struct; the fields are set one by one.
    f->spec = &spec;
    f->globals = Object::borrow(globals).release();
    f->name = text(spec.name).release();
    f->qualname =
        qualname ? Object::borrow(qualname).release() : text(spec.qualname ? spec.qualname : spec.name).release();
    PyObject* module = PyDict_GetItemString(globals.ptr(), "__name__");
    f->module = Object::borrow(module != nullptr ? module : Py_None).release();
    f->doc = spec.doc != nullptr ? text(spec.doc).release() : none().release();
    if (defaults && !defaults.is_none()) f->defaults = Object::borrow(defaults).release();
    if (kwdefaults && !kwdefaults.is_none()) f->kwdefaults = Object::borrow(kwdefaults).release();
    f->annotations = annotations_of(spec).release();
    if (captured) f->captured = Object::borrow(captured).release();
    f->method_type = import("types").attr("MethodType").release();
    return self;
}

void set_owner(Handle function, Handle cls) {
    FunctionObject* f = as_function(function.ptr());
    Object keep = Object::borrow(cls);
    PyObject* old = f->owner;
    f->owner = keep.release();
    Py_XDECREF(old);
}

Object Call::global(const char* name) const {
    FunctionObject* f = as_function(function_.ptr());
    Object key = text(name);
    PyObject* value = PyDict_GetItemWithError(f->globals, key.ptr());
    if (value == nullptr) {
        if (PyErr_Occurred()) throw_pending();
        PyObject* builtins = PyEval_GetBuiltins();
        if (builtins != nullptr) value = PyDict_GetItemWithError(builtins, key.ptr());
        if (value == nullptr) {
            if (PyErr_Occurred()) throw_pending();
            PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
            throw_pending();
        }
    }
    return Object::borrow(value);
}

Handle Call::captured(size_t index) const {
    FunctionObject* f = as_function(function_.ptr());
    return Handle(PyTuple_GetItem(f->captured, static_cast<Py_ssize_t>(index)));
}

Object Call::super(Handle obj) const {
    FunctionObject* f = as_function(function_.ptr());
    if (f->owner == nullptr) raise(PyExc_RuntimeError, "super(): no defining class");
    return import("builtins").attr("super").call({Handle(f->owner), obj});
}

Object Call::closure(const FunctionSpec& spec, std::initializer_list<Handle> captured_values) const {
    FunctionObject* f = as_function(function_.ptr());
    Object qualname = Object::steal(PyUnicode_FromFormat("%U.<locals>.%s", f->qualname, spec.name));
    Object captured_tuple = tuple(captured_values);
    return make_function(Object::steal(PyObject_Type(function_.ptr())), Handle(f->globals), spec, Handle(), Handle(),
                         captured_tuple, qualname);
}

}  // namespace bridge
