// vantle.pipeline_factories.http: HTTPPipelineFactory, a started pipeline for one HTTP URL
// (souphttpsrc, the base's decoder set-up, an appsink). HLS playlists play through it too.
#include "factory.h"

using namespace bridge;
using namespace vantle::factories;

namespace {

Object factory_init(Call& c) {
    init_url_factory(c);
    return none();
}

Object factory_build(Call& c) {
    Handle self = c.arg(0);
    Object gst = c.global("Gst");
    Object pipeline = new_pipeline_with_appsink(self);
    // The URL without its user information, and the credentials as the source's own properties:
    // souphttpsrc logs its location (and posts it on the bus), so a password in it would reach
    // GStreamer's debug log.
    Object properties = c.global("source_properties").call({self.attr("_url")});
    Object source = new_source(pipeline, "souphttpsrc", properties);
    // An adaptive stream's demuxer (HLS, DASH) fetches the fragments itself: it gets them too.
    c.global("lend_credentials").call({pipeline, source, self.attr("_url")});
    if (self.attr("_keyframes_only").truthy()) {
        pipeline.method("add_pad_probe", {source.method("get_static_pad", {text("src")}),
                                          gst.attr("PadProbeType").attr("BUFFER"), self.attr("_buffer_pad_probe")});
    }
    self.method("_set_up_decoder", {source, source.method("get_static_pad", {text("src")}), pipeline});
    return self.method("_start", {pipeline});
}

const FunctionSpec init_spec{
    .name = "__init__",
    .params = url_factory_params(),
    .body = factory_init,
    .doc =
        ":param url: The URL to connect to\n" VANTLE_WATCHER_AND_KEYFRAMES_DOC VANTLE_DROP_FRAMES_DOC VANTLE_SIZE_DOC,
    .qualname = "HTTPPipelineFactory.__init__",
};

const FunctionSpec build = build_spec(factory_build, "HTTPPipelineFactory.build");

void fill(ModuleBuilder& m) {
    import_url_factory_names(m);
    m.from_import("vantle._urls", {"source_properties"});
    m.from_import("credentials", {"lend_credentials"}, 1);
    define_factory(m, "HTTPPipelineFactory", "Creates a pipeline for an HTTP URL.", init_spec, build,
                   dict({{"drop_frames", boolean(true)},
                         {"size", none()},
                         {"max_frame_bytes", none()},
                         {"format", text("bgr")},
                         {"rotate", boolean(false)},
                         {"fps", none()}}));
}

}  // namespace

BRIDGE_MODULE(http, fill)
