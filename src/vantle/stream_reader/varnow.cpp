// vantle.stream_reader.varnow: validation of the run-time options given to a stream reader.
#include "bridge/module.h"

using namespace bridge;

namespace {

Object check_varnow(Call& c) {
    Handle supplied = c.arg(0);
    Handle supported = c.arg(1);
    for_each(supplied.method("items"), [&](const Object& item) {
        auto [key, val] = unpack_pair(item);
        if (!contains(supported, key)) {
            raise(c.global("InvalidRuntimeOptionError"), fstr({"Unknown option '", key, "'"}));
        }
        if (!is_instance(val, supported.item(key))) {
            raise(c.global("InvalidRuntimeOptionError"),
                  fstr({"Option '", key, "' should be of type '", supported.item(key), "', got '", val.type()}));
        }
    });
    return none();
}

const FunctionSpec check_varnow_spec{
    .name = "check_varnow",
    .params = {{"supplied"}, {"supported"}},
    .body = check_varnow,
    .doc =
        "Checks that the supplied options are supported by the stream reader and are of the right type.\n"
        "\n"
        ":param supplied: The supplied options\n"
        ":param supported: The supported options, where the key is the option name\n"
        "    and the value is the expected type\n"
        ":raises InvalidRuntimeOptionError: An option is not supported or has the wrong type",
};

void fill(ModuleBuilder& m) {
    m.from_import("vantle.errors", {"InvalidRuntimeOptionError"});
    m.def(check_varnow_spec);
}

}  // namespace

BRIDGE_MODULE(varnow, fill)
