// vantle.pipeline_factories.custom: CustomPipelineFactory, a started pipeline from a user's
// launch string with a "{url}" placeholder, a `main_sink` and an optional `buffer_src`.
#include "bridge/module.h"

using namespace bridge;

namespace {

Object factory_init(Call& c) {
    Handle self = c.arg(0), pipeline_str = c.arg(1);
    c.super(self).method(
        "__init__", {},
        {{"url", c.arg(2)}, {"max_framerate", c.global("_FRAMERATE_LIMIT")}, {"keyframes_only", c.arg(4)}});
    if (!contains(pipeline_str, text("{url}"))) {
        raise(c.global("InvalidCustomPipelineError"),
              fstr({"Invalid pipeline format: '", pipeline_str,
                    "'. Pipelines must contain a '{url}' portion to be filled by the source URL."}));
    }
    self.set_attr("_pipeline_str", pipeline_str.method("format", {}, {{"url", self.attr("_url")}}));
    self.set_attr("_pipeline_watcher", c.arg(3));
    return none();
}

Object factory_build(Call& c) {
    Handle self = c.arg(0);
    Object gst = c.global("Gst");
    Object pipeline_str = self.attr("_pipeline_str");
    Object pipeline = c.global("Pipeline").attr("from_launch_string").call({pipeline_str, self.attr("_url")});
    pipeline.method("add_bus_watch", {self.attr("_pipeline_watcher"), pipeline});

    Object appsink = pipeline.method("get_by_name", {text("main_sink")});
    if (appsink.is_none()) {
        raise(c.global("InvalidCustomPipelineError"),
              fstr({"No element with name 'main_sink' element found in custom pipeline '", pipeline_str, "'"}));
    }
    for_each(c.global("_APPSINK_PROPERTIES").method("items"), [&](const Object& item) {
        auto [name, value] = unpack_pair(item);
        appsink.method("set_property", {name, value});
    });
    pipeline.set_attr("appsink", appsink);

    Object buffer_src = pipeline.method("get_by_name", {text("buffer_src")});
    if (buffer_src.is_none()) {
        self.attr("_logger").method(
            "warning", {text("Pipeline has no element named 'buffer_src' to attach the buffer probe to. Frames will "
                             "not be skipped")});
    } else {
        Object buffer_src_pad = buffer_src.method("get_static_pad", {text("src")});
        if (buffer_src_pad.is_none()) {
            raise(c.global("InvalidCustomPipelineError"),
                  "Element named 'buffer_src' does not have a static pad named 'src' to attach a buffer probe to");
        }
        if (self.attr("_keyframes_only").truthy()) {
            pipeline.method("add_pad_probe",
                            {buffer_src_pad, gst.attr("PadProbeType").attr("BUFFER"), self.attr("_buffer_pad_probe")});
        }
    }
    pipeline.method("set_state", {gst.attr("State").attr("PLAYING")});
    return pipeline;
}

const FunctionSpec init_spec{
    .name = "__init__",
    .params = {{"self"},
               {"pipeline_str", "str", Exact::Str},
               {"url", "str", Exact::Str, Kind::KeywordOnly},
               {"pipeline_watcher", "_PIPELINE_WATCHER", Exact::Any, Kind::KeywordOnly},
               {"keyframes_only", "bool", Exact::Any, Kind::KeywordOnly}},
    .body = factory_init,
    .doc =
        ":param pipeline_str: The custom pipeline string\n"
        ":param url: The URL to connect to\n"
        ":param pipeline_watcher: Function to connect to the pipeline's bus\n"
        ":param keyframes_only: If True, only keyframes will be decoded",
    .qualname = "CustomPipelineFactory.__init__",
};

const FunctionSpec build_spec{
    .name = "build",
    .params = {{"self"}},
    .body = factory_build,
    .return_annotation = "Pipeline",
    .qualname = "CustomPipelineFactory.build",
};

void fill(ModuleBuilder& m) {
    m.from_import("gi.repository", {"Gst"});
    m.from_import("vantle.errors", {"InvalidCustomPipelineError"});
    m.from_import("vantle.utils.gstreamer", {"Pipeline"});
    m.from_import("base", {"_APPSINK_PROPERTIES", "_FRAMERATE_LIMIT", "_PIPELINE_WATCHER", "PipelineFactory"}, 1);

    Object ns = dict();
    check(PyDict_SetItemString(ns.ptr(), "__init__", m.function(init_spec).ptr()));
    check(PyDict_SetItemString(ns.ptr(), "build", m.function(build_spec).ptr()));
    Object base = m.get("PipelineFactory");
    m.set("CustomPipelineFactory",
          m.make_class(base.type(), "CustomPipelineFactory", {base}, ns, "Creates a pipeline from a pipeline string."));
}

}  // namespace

BRIDGE_MODULE(custom, fill)
