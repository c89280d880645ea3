// Building an extension module the way interpreted code builds one: imports bound
// as module globals, functions defined in order, classes made by a metaclass call.
#pragma once

#include <initializer_list>

#include "function.h"
#include "object.h"

namespace bridge {

class ModuleBuilder {
public:
    explicit ModuleBuilder(PyObject* module);

    Handle module() const { return module_; }
    Handle globals() const { return globals_; }

    // `import name` (as_name nullptr) or `import name as as_name`.
    void import_module(const char* name, const char* as_name = nullptr);
    // `from module import a, b` (level 0) or `from .module import a, b` (level 1).
    void from_import(const char* module, std::initializer_list<const char*> names, int level = 0);

    void set(const char* name, Handle value);
    Object get(const char* name) const;

    // A function of this module, named (and qualified) as its description says.
    Object function(const FunctionSpec& spec, Handle defaults = Handle(), Handle kwdefaults = Handle()) const;
    // Defines a module-level function under its name and returns it.
    Object def(const FunctionSpec& spec, Handle defaults = Handle(), Handle kwdefaults = Handle());

    // `class name(*bases, metaclass=metaclass): <namespace>`; `namespace_` receives
    // `__module__` and `__qualname__` (and `__doc__` when given) first. Every function
    // of ours in the namespace (also inside staticmethod/property) learns its class.
    Object make_class(Handle metaclass, const char* name, std::initializer_list<Handle> bases, Handle namespace_,
                      const char* doc = nullptr);

private:
    Handle module_;
    Handle globals_;
    Object function_type_;
};

// Wraps a function as the built-in staticmethod / property would.
Object static_method(Handle function);
Object property(Handle getter, Handle setter = Handle());

// Runs `fill` as the body of a module's exec slot.
int run_module_exec(PyObject* module, void (*fill)(ModuleBuilder&));

}  // namespace bridge

// Declares the initialisation entry of extension module `name` (multi-phase init),
// whose body is the function `fill(bridge::ModuleBuilder&)`.
#define BRIDGE_MODULE(name, fill)                                                                                \
    static int bridge_exec_##name(PyObject* module) {                                                            \
        return bridge::run_module_exec(module, fill);                                                            \
    }                                                                                                            \
    static PyModuleDef_Slot bridge_slots_##name[] = {{Py_mod_exec, reinterpret_cast<void*>(bridge_exec_##name)}, \
                                                     {0, nullptr}};                                              \
    static PyModuleDef bridge_def_##name = {PyModuleDef_HEAD_INIT, #name,   nullptr, 0,      nullptr,            \
                                            bridge_slots_##name,   nullptr, nullptr, nullptr};                   \
    PyMODINIT_FUNC PyInit_##name(void) {                                                                         \
        return PyModuleDef_Init(&bridge_def_##name);                                                             \
    }
