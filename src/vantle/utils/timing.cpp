// vantle.utils.timing: Timeout, a wall-clock time budget usable as a loop condition.
#include "bridge/module.h"

using namespace bridge;

namespace {

Object timeout_init(Call& c) {
    Handle self = c.arg(0);
    self.set_attr("start", c.global("time").call());
    self.set_attr("time_seconds", c.arg(1));
    self.set_attr("raise_error", c.arg(2));
    self.set_attr("print_timeout", c.arg(3));
    return none();
}

Object timeout_reset(Call& c) {
    c.arg(0).set_attr("start", c.global("time").call());
    return none();
}

Object elapsed(Call& c, Handle self) {
    return subtract(c.global("time").call(), self.attr("start"));
}

Object timeout_bool(Call& c) {
    Handle self = c.arg(0);
    Object still_going = compare(elapsed(c, self), self.attr("time_seconds"), Py_LT);
    if (!still_going.truthy() && self.attr("print_timeout").truthy()) {
        c.global("logger").method("warning", {fstr({"Timer timed out! Time: ", elapsed(c, self)})});
    }
    if (!still_going.truthy() && self.attr("raise_error").truthy()) {
        Object budget = self.attr("time_seconds");
        raise(c.global("TimeoutError"),
              fstr({"Timer of ", budget, " seconds timed out at ", elapsed(c, self), " seconds!"}));
    }
    return still_going;
}

const FunctionSpec timeout_init_spec{
    .name = "__init__",
    .params = {{"self"}, {"time_seconds"}, {"raise_error"}, {"print_timeout"}},
    .body = timeout_init,
    .doc =
        ":param time_seconds: How long until the timeout returns False for bool()\n"
        ":param raise_error: If True, raise a TimeoutError if bool() ever returns False\n"
        ":param print_timeout: If True, print out a warning when the timer has timed out",
    .qualname = "Timeout.__init__",
};

const FunctionSpec timeout_reset_spec{
    .name = "reset",
    .params = {{"self"}},
    .body = timeout_reset,
    .doc = "Resets the timeout counter, making the new start time the current time",
    .qualname = "Timeout.reset",
};

const FunctionSpec timeout_bool_spec{
    .name = "__bool__",
    .params = {{"self"}},
    .body = timeout_bool,
    .qualname = "Timeout.__bool__",
};

constexpr const char* timeout_doc =
    "A time budget that tests true while time is left.\n"
    "\n"
    "Usage:\n"
    "\n"
    "    timeout = Timeout(300)\n"
    "    while timeout:\n"
    "        do_work()\n"
    "\n"
    "The loop ends once the allotted time is over. This can be useful for tests.\n";

void fill(ModuleBuilder& m) {
    m.from_import("time", {"time"});
    m.from_import("vantle", {"logger"});

    Object ns = dict({{"__init__", m.function(timeout_init_spec, tuple({boolean(true), boolean(false)}))},
                      {"reset", m.function(timeout_reset_spec)},
                      {"__bool__", m.function(timeout_bool_spec)}});
    Object builtin_type = Object::borrow(reinterpret_cast<PyObject*>(&PyType_Type));
    m.set("Timeout", m.make_class(builtin_type, "Timeout", {}, ns, timeout_doc));
}

}  // namespace

BRIDGE_MODULE(timing, fill)
