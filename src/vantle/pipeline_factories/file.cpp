// vantle.pipeline_factories.file: FilePipelineFactory, a started pipeline for one local file
// (filesrc, the base's decoder set-up, an appsink). The demuxer reads the file at random, so
// that every frame of an MP4 arrives, also after B-frames.
#include "factory.h"

using namespace bridge;
using namespace vantle::factories;

namespace {

Object factory_init(Call& c) {
    Handle self = c.arg(0);
    init_url_factory(c);
    // A file URL becomes its path now: a URL naming another host is refused at once.
    self.set_attr("_location", c.global("local_path").call({self.attr("_url")}));
    return none();
}

Object factory_build(Call& c) {
    Handle self = c.arg(0);
    Object pipeline = new_pipeline_with_appsink(self);
    Object source = new_source(pipeline, "filesrc", dict({{"location", self.attr("_location")}}));
    self.method("_set_up_decoder", {source, source.method("get_static_pad", {text("src")}), pipeline});
    return self.method("_start", {pipeline});
}

const FunctionSpec init_spec{
    .name = "__init__",
    .params = url_factory_params(),
    .body = factory_init,
    .doc = ":param url: A local path, or a file:// URL\n" VANTLE_WATCHER_AND_KEYFRAMES_DOC VANTLE_DROP_FRAMES_DOC
        VANTLE_SIZE_DOC
           "\n:raises TypeError: The URL is not a str\n"
           ":raises ValueError: A file:// URL names a file on another host",
    .qualname = "FilePipelineFactory.__init__",
};

const FunctionSpec build = build_spec(factory_build, "FilePipelineFactory.build");

void fill(ModuleBuilder& m) {
    import_url_factory_names(m);
    m.from_import("vantle._urls", {"local_path"});
    define_factory(m, "FilePipelineFactory", "Creates a pipeline for a local file.", init_spec, build,
                   dict({{"drop_frames", boolean(true)},
                         {"size", none()},
                         {"max_frame_bytes", none()},
                         {"format", text("bgr")},
                         {"rotate", boolean(false)},
                         {"fps", none()}}));
}

}  // namespace

BRIDGE_MODULE(file, fill)
