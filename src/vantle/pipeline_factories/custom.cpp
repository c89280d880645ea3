// vantle.pipeline_factories.custom: CustomPipelineFactory, a started pipeline from a user's
// launch string with a "{url}" placeholder, a `main_sink` and an optional `buffer_src`. The URL
// never passes through GStreamer's parser: LaunchTemplate (launch.py) sets it on the element
// property that its placeholder stands for.
#include "factory.h"

using namespace bridge;
using namespace vantle::factories;

namespace {

Object factory_init(Call& c) {
    Handle self = c.arg(0), pipeline_str = c.arg(1);
    init_base(c, self, c.arg(2), c.arg(4), c.arg(5), Handle(), c.arg(6), c.arg(7), Handle(), c.arg(8));
    if (!contains(pipeline_str, text("{url}"))) {
        raise(c.global("InvalidCustomPipelineError"),
              fstr({"Invalid pipeline format: '", c.global("redact_text").call({pipeline_str}),
                    "'. Pipelines must contain a '{url}' portion to be filled by the source URL."}));
    }
    Object launch = c.global("LaunchTemplate").call({pipeline_str, self.attr("_url")});
    // The filled-in text, for messages: what is parsed is the template.
    self.set_attr("_pipeline_str", launch.attr("text"));
    self.set_attr("_launch", launch);
    self.set_attr("_pipeline_watcher", c.arg(3));
    return none();
}

Object factory_build(Call& c) {
    Handle self = c.arg(0);
    Object gst = c.global("Gst");
    Object pipeline = self.method("_new_pipeline", {self.attr("_launch")});
    // The launch string holds the URL: its secrets are not repeated in messages (and only a
    // message needs the text).
    auto shown = [&] { return c.global("redact_text").call({self.attr("_pipeline_str"), self.attr("_url")}); };

    Object appsink = pipeline.method("get_by_name", {text("main_sink")});
    if (appsink.is_none()) {
        raise(c.global("InvalidCustomPipelineError"),
              fstr({"No element with name 'main_sink' element found in custom pipeline '", shown(), "'"}));
    }
    if (!is_instance(appsink, c.global("GstApp").attr("AppSink"))) {
        Object factory = appsink.method("get_factory");
        Object kind = factory.is_none() ? appsink.type().attr("__name__") : factory.method("get_name");
        raise(c.global("InvalidCustomPipelineError"), fstr({"The element named 'main_sink' must be an appsink, not a ",
                                                            kind, ", in custom pipeline '", shown(), "'"}));
    }
    self.method("_attach_appsink", {pipeline, appsink});

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
    return self.method("_start", {pipeline});
}

const FunctionSpec init_spec{
    .name = "__init__",
    .params = {{"self"},
               {"pipeline_str", "str", Exact::Str},
               {"url", "str", Exact::Str, Kind::KeywordOnly},
               {"pipeline_watcher", "_PIPELINE_WATCHER", Exact::Any, Kind::KeywordOnly},
               {"keyframes_only", "bool", Exact::Any, Kind::KeywordOnly},
               drop_frames_param(),
               max_frame_bytes_param(),
               format_param(),
               fps_param()},
    .body = factory_init,
    .doc =
        ":param pipeline_str: The custom pipeline string\n"
        ":param url: The URL to connect to\n" VANTLE_WATCHER_AND_KEYFRAMES_DOC VANTLE_DROP_FRAMES_DOC
        "\n" VANTLE_MAX_FRAME_BYTES_DOC VANTLE_FORMAT_DOC VANTLE_FPS_DOC,
    .qualname = "CustomPipelineFactory.__init__",
};

const FunctionSpec build = build_spec(factory_build, "CustomPipelineFactory.build");

void fill(ModuleBuilder& m) {
    m.from_import("gi.repository", {"Gst", "GstApp"});
    m.from_import("vantle.errors", {"InvalidCustomPipelineError"});
    m.from_import("vantle.utils.gstreamer", {"Pipeline"});
    import_base(m);
    m.from_import("vantle._urls", {"redact_text"});
    m.from_import("launch", {"LaunchTemplate"}, 1);
    define_factory(
        m, "CustomPipelineFactory", "Creates a pipeline from a pipeline string.", init_spec, build,
        dict({{"drop_frames", boolean(true)}, {"max_frame_bytes", none()}, {"format", text("bgr")}, {"fps", none()}}));
}

}  // namespace

BRIDGE_MODULE(custom, fill)
