// vantle.pipeline_factories.http: HTTPPipelineFactory, a started pipeline for one HTTP URL
// (souphttpsrc, the base's decoder set-up, an appsink).
#include "factory.h"

using namespace bridge;
using namespace vantle::factories;

namespace {

Object factory_init(Call& c) {
    Handle self = c.arg(0);
    init_base(c, self, c.arg(1), c.arg(3));
    self.set_attr("_pipeline_watcher", c.arg(2));
    return none();
}

Object factory_build(Call& c) {
    Handle self = c.arg(0);
    Object gst = c.global("Gst");
    Object url = self.attr("_url");
    Object pipeline = c.global("Pipeline").call({url});
    pipeline.method("add_bus_watch", {self.attr("_pipeline_watcher"), pipeline});
    pipeline.set_attr("appsink", pipeline.method("new_element", {text("appsink")},
                                                 {{"properties", c.global("_APPSINK_PROPERTIES")}}));
    Object properties = dict({{"location", url}});
    // The source starts with the pipeline's own set_state at the end, once the decoder
    // set-up has linked its pad: started earlier, its first data would meet an
    // unlinked pad and fail the stream with a not-linked error.
    Object source = pipeline.method("new_element", {text("souphttpsrc")},
                                    {{"properties", properties}, {"auto_play", boolean(false)}});
    if (self.attr("_keyframes_only").truthy()) {
        pipeline.method("add_pad_probe", {source.method("get_static_pad", {text("src")}),
                                          gst.attr("PadProbeType").attr("BUFFER"), self.attr("_buffer_pad_probe")});
    }
    self.method("_set_up_decoder", {source, source.method("get_static_pad", {text("src")}), pipeline});
    pipeline.method("set_state", {gst.attr("State").attr("PLAYING")});
    return pipeline;
}

const FunctionSpec init_spec{
    .name = "__init__",
    .params = {{"self"},
               {"url", "str", Exact::Str, Kind::KeywordOnly},
               {"pipeline_watcher", "_PIPELINE_WATCHER", Exact::Any, Kind::KeywordOnly},
               {"keyframes_only", "bool", Exact::Any, Kind::KeywordOnly}},
    .body = factory_init,
    .doc =
        ":param url: The URL to connect to\n"
        ":param pipeline_watcher: Function to connect to the pipeline's bus\n"
        ":param keyframes_only: If True, only keyframes will be decoded",
    .qualname = "HTTPPipelineFactory.__init__",
};

const FunctionSpec build_spec{
    .name = "build",
    .params = {{"self"}},
    .body = factory_build,
    .return_annotation = "Pipeline",
    .qualname = "HTTPPipelineFactory.build",
};

void fill(ModuleBuilder& m) {
    m.from_import("gi.repository", {"Gst"});
    m.from_import("vantle.utils.gstreamer", {"Pipeline"});
    import_base(m);
    define_factory(m, "HTTPPipelineFactory", "Creates a pipeline for an HTTP URL.", init_spec, build_spec);
}

}  // namespace

BRIDGE_MODULE(http, fill)
