// Module building: imports, definitions and classes made through their metaclass.
#include "module.h"

#include <string>

namespace bridge {

ModuleBuilder::ModuleBuilder(PyObject* module)
    : module_(module),
      globals_(check(PyModule_GetDict(module))),
      function_type_(create_function_type(PyModule_GetName(module))) {}

void ModuleBuilder::import_module(const char* name, const char* as_name) {
    if (as_name != nullptr) {
        set(as_name, import(name));
        return;
    }
    // `import a.b` binds the top-level package `a`, as the statement does.
    Object top = Object::steal(PyImport_ImportModuleLevel(name, globals_.ptr(), nullptr, nullptr, 0));
    std::string dotted(name);
    set(dotted.substr(0, dotted.find('.')).c_str(), top);
}

void ModuleBuilder::from_import(const char* module, std::initializer_list<const char*> names, int level) {
    Object fromlist = list();
    for (const char* n : names) check(PyList_Append(fromlist.ptr(), text(n).ptr()));
    Object imported = Object::steal(PyImport_ImportModuleLevel(module, globals_.ptr(), nullptr, fromlist.ptr(), level));
    for (const char* n : names) {
        PyObject* value = PyObject_GetAttrString(imported.ptr(), n);
        if (value == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_pending();
            PyErr_Clear();
            // A submodule not yet bound as an attribute: import it by its full name.
            Object package_name = imported.attr("__name__");
            Object full = Object::steal(PyUnicode_FromFormat("%U.%s", package_name.ptr(), n));
            value = PyImport_Import(full.ptr());
            if (value == nullptr) {
                PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%U'", n, package_name.ptr());
                throw_pending();
            }
        }
        Object owned = Object::steal(value);
        set(n, owned);
    }
}

void ModuleBuilder::set(const char* name, Handle value) {
    set_item(globals_, name, value);
}

Object ModuleBuilder::get(const char* name) const {
    PyObject* value = PyDict_GetItemString(globals_.ptr(), name);
    if (value == nullptr) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw_pending();
    }
    return Object::borrow(value);
}

Object ModuleBuilder::function(const FunctionSpec& spec, Handle defaults, Handle kwdefaults) const {
    return make_function(function_type_, globals_, spec, defaults, kwdefaults);
}

Object ModuleBuilder::def(const FunctionSpec& spec, Handle defaults, Handle kwdefaults) {
    Object f = function(spec, defaults, kwdefaults);
    set(spec.name, f);
    return f;
}

namespace {

void adopt(Handle value, Handle cls) {
    if (is_function(value)) {
        set_owner(value, cls);
        return;
    }
    // staticmethod and property wrap our functions; reach inside them.
    for (const char* inner : {"__func__", "fget", "fset", "fdel"}) {
        PyObject* f = PyObject_GetAttrString(value.ptr(), inner);
        if (f == nullptr) {
            PyErr_Clear();
            continue;
        }
        Object owned = Object::steal(f);
        if (is_function(owned)) set_owner(owned, cls);
    }
}

}  // namespace

Object ModuleBuilder::make_class(Handle metaclass, const char* name, std::initializer_list<Handle> bases,
                                 Handle namespace_, const char* doc) {
    // The class statement puts these first, before the body's names.
    Object ns = dict();
    set_item(ns, "__module__", get("__name__"));
    set_item(ns, "__qualname__", text(name));
    if (doc != nullptr) set_item(ns, "__doc__", text(doc));
    check(PyDict_Update(ns.ptr(), namespace_.ptr()));
    Object cls = metaclass.call({text(name), tuple(bases), ns});
    PyObject *key = nullptr, *value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(ns.ptr(), &pos, &key, &value)) adopt(Handle(value), cls);
    return cls;
}

Object static_method(Handle function) {
    return import("builtins").attr("staticmethod").call({function});
}

Object property(Handle getter, Handle setter) {
    Object prop = import("builtins").attr("property").call({getter});
    if (setter) prop = prop.method("setter", {setter});
    return prop;
}

int run_module_exec(PyObject* module, void (*fill)(ModuleBuilder&)) {
    return guarded_status([&] {
        ModuleBuilder builder(module);
        fill(builder);
    });
}

}  // namespace bridge
