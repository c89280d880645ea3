// A Python function type whose body is C++: it binds arguments as the interpreter
// does, carries the attributes of a plain `def` and binds as a method.
#pragma once

#include <string>
#include <vector>

#include "object.h"

namespace bridge {

enum class Kind {
    Positional,     // positional or keyword
    VarPositional,  // *args: collects the remaining positional arguments as a tuple
    KeywordOnly,
    VarKeyword,  // **kwargs: collects the remaining keyword arguments as a dict
};

// Parameters whose annotation is the built-in `str` or `dict` must be exactly of that
// type (a subclass is refused) or None; the test runs before the body.
enum class Exact { Any, Str, Dict };

struct Param {
    const char* name;
    const char* annotation = nullptr;  // stored as text; nullptr for none
    Exact exact = Exact::Any;
    Kind kind = Kind::Positional;
};

class Call;
using Body = Object (*)(Call&);

// The static description of one function. Defaults are Python objects and are
// therefore given when the function object is made, not here.
struct FunctionSpec {
    const char* name;
    std::vector<Param> params;
    Body body;
    const char* doc = nullptr;
    const char* return_annotation = nullptr;
    const char* qualname = nullptr;  // nullptr: same as name
};

// What a body sees: its bound arguments, its module's globals, its closure.
class Call {
public:
    Call(Handle function, std::vector<Object> args) : function_(function), args_(std::move(args)) {}

    // Argument of the parameter at `index` in the parameter list (a tuple for *args).
    Handle arg(size_t index) const { return args_[index]; }
    // A module-level name, looked up now in the module's dict, then in the built-ins.
    Object global(const char* name) const;
    // A value captured when the function was made as a closure.
    Handle captured(size_t index) const;
    // `super(<defining class>, obj)`, as a zero-argument super() in a method body.
    Object super(Handle obj) const;
    // Makes a closure in the same module: qualname `<this qualname>.<locals>.<name>`.
    Object closure(const FunctionSpec& spec, std::initializer_list<Handle> captured) const;
    Handle function() const { return function_; }

private:
    Handle function_;
    std::vector<Object> args_;
};

// The heap type of our functions, made afresh for each extension module that asks (every module
// links its own copy of this layer). Every type is named "vantle.function": `module_name` is
// not used.
Object create_function_type(const char* module_name);

// Makes a function object of `function_type` whose globals are `globals`.
// `defaults`/`kwdefaults` may be empty handles (no defaults).
Object make_function(Handle function_type, Handle globals, const FunctionSpec& spec, Handle defaults = Handle(),
                     Handle kwdefaults = Handle(), Handle captured = Handle(), Handle qualname = Handle());

// True if `obj` is a function object of this module's copy of the layer. A function of another
// extension module is not: each module links the layer statically, with its own call slot.
bool is_function(Handle obj);

// Records `cls` as the class that defines `function`, for Call::super.
void set_owner(Handle function, Handle cls);

}  // namespace bridge
