// What the two pipeline factories share: the names they import from the factory base,
// the call of the base initialiser and their class statement.
#pragma once

#include "bridge/module.h"

namespace vantle::factories {

// `from .base import _APPSINK_PROPERTIES, _FRAMERATE_LIMIT, _PIPELINE_WATCHER, PipelineFactory`
inline void import_base(bridge::ModuleBuilder& m) {
    m.from_import("base", {"_APPSINK_PROPERTIES", "_FRAMERATE_LIMIT", "_PIPELINE_WATCHER", "PipelineFactory"}, 1);
}

// `super().__init__(url=url, max_framerate=_FRAMERATE_LIMIT, keyframes_only=keyframes_only)`
inline void init_base(bridge::Call& c, bridge::Handle self, bridge::Handle url, bridge::Handle keyframes_only) {
    c.super(self).method(
        "__init__", {},
        {{"url", url}, {"max_framerate", c.global("_FRAMERATE_LIMIT")}, {"keyframes_only", keyframes_only}});
}

// `class <name>(PipelineFactory): <doc>; __init__; build`, bound in the module.
inline void define_factory(bridge::ModuleBuilder& m, const char* name, const char* doc,
                           const bridge::FunctionSpec& init, const bridge::FunctionSpec& build) {
    bridge::Object base = m.get("PipelineFactory");
    bridge::Object ns = bridge::dict({{"__init__", m.function(init)}, {"build", m.function(build)}});
    m.set(name, m.make_class(base.type(), name, {base}, ns, doc));
}

}  // namespace vantle::factories
