// What the pipeline factories share: the names they import from the factory base, the call of
// the base initialiser, the build steps the base owns, and their class statement.
#pragma once

#include <initializer_list>
#include <vector>

#include "bridge/module.h"

namespace vantle::factories {

// `from .base import _APPSINK_PROPERTIES, _FRAMERATE_LIMIT, _PIPELINE_WATCHER, PipelineFactory`
inline void import_base(bridge::ModuleBuilder& m) {
    m.from_import("base", {"_APPSINK_PROPERTIES", "_FRAMERATE_LIMIT", "_PIPELINE_WATCHER", "PipelineFactory"}, 1);
}

// `super().__init__(url=url, max_framerate=_FRAMERATE_LIMIT, keyframes_only=keyframes_only,
// drop_frames=drop_frames, size=size, max_frame_bytes=max_frame_bytes)`; a factory without a
// `size` parameter leaves it out, and a `max_frame_bytes` of None leaves the base's default.
inline void init_base(bridge::Call& c, bridge::Handle self, bridge::Handle url, bridge::Handle keyframes_only,
                      bridge::Handle drop_frames, bridge::Handle size = bridge::Handle(),
                      bridge::Handle max_frame_bytes = bridge::Handle(), bridge::Handle format = bridge::Handle(),
                      bridge::Handle rotate = bridge::Handle(), bridge::Handle fps = bridge::Handle()) {
    bridge::Object kwargs = bridge::dict({{"url", url},
                                          {"max_framerate", c.global("_FRAMERATE_LIMIT")},
                                          {"keyframes_only", keyframes_only},
                                          {"drop_frames", drop_frames}});
    if (size) bridge::set_item(kwargs, "size", size);
    if (max_frame_bytes && !max_frame_bytes.is_none()) bridge::set_item(kwargs, "max_frame_bytes", max_frame_bytes);
    if (format) bridge::set_item(kwargs, "format", format);
    if (rotate) bridge::set_item(kwargs, "rotate", rotate);
    if (fps) bridge::set_item(kwargs, "fps", fps);
    c.super(self).attr("__init__").call_tuple(bridge::tuple({}), kwargs);
}

// The first steps of the initialiser of a factory made with url_factory_params (below):
// `super().__init__(...)` with its url, keyframes_only, drop_frames, size and max_frame_bytes,
// then `self._pipeline_watcher = pipeline_watcher`.
inline void init_url_factory(bridge::Call& c) {
    bridge::Handle self = c.arg(0);
    init_base(c, self, c.arg(1), c.arg(3), c.arg(4), c.arg(5), c.arg(6), c.arg(7), c.arg(8), c.arg(9));
    self.set_attr("_pipeline_watcher", c.arg(2));
}

// `pipeline = self._new_pipeline(); self._attach_appsink(pipeline)`: the Pipeline named after
// the URL with the caller's watcher as its bus watch, and the appsink with its drop policy,
// before any source exists. The watch serves a caller that runs a GLib main loop; a caller that
// reads the bus itself (the stream reader) removes it once build() returns.
inline bridge::Object new_pipeline_with_appsink(bridge::Handle self) {
    bridge::Object pipeline = self.method("_new_pipeline");
    self.method("_attach_appsink", {pipeline});
    return pipeline;
}

// `pipeline.new_element(factory_name, properties=properties, auto_play=False)`: a source
// starts with the pipeline's own set_state at the end, once the decoder set-up has linked its
// pad; started earlier, its first data would meet an unlinked pad and fail the stream with a
// not-linked error.
inline bridge::Object new_source(bridge::Handle pipeline, const char* factory_name, bridge::Handle properties) {
    return pipeline.method("new_element", {bridge::text(factory_name)},
                           {{"properties", properties}, {"auto_play", bridge::boolean(false)}});
}

// The keyword-only `drop_frames: bool = True` every factory takes after its required
// parameters (its default is given with the class, see define_factory).
inline bridge::Param drop_frames_param() {
    return {"drop_frames", "bool", bridge::Exact::Any, bridge::Kind::KeywordOnly};
}

// The keyword-only `size: Optional[Tuple[int, int]] = None` of the factories whose decoder
// set-up the base makes: the frames' (width, height), scaled before conversion.
inline bridge::Param size_param() {
    return {"size", "Optional[Tuple[int, int]]", bridge::Exact::Any, bridge::Kind::KeywordOnly};
}

// The keyword-only `max_frame_bytes: Optional[int] = None` of every factory: the most memory one
// frame may take (None: the base's default).
inline bridge::Param max_frame_bytes_param() {
    return {"max_frame_bytes", "Optional[int]", bridge::Exact::Any, bridge::Kind::KeywordOnly};
}

// The keyword-only `format: str = "bgr"` of every factory: the frames' pixel format ("bgr",
// "rgb" or "gray").
inline bridge::Param format_param() {
    return {"format", "str", bridge::Exact::Str, bridge::Kind::KeywordOnly};
}

// The keyword-only `fps: Optional[float] = None` of every factory: frames a second of stream time
// to keep, evenly spaced (None: all of them).
inline bridge::Param fps_param() {
    return {"fps", "Optional[float]", bridge::Exact::Any, bridge::Kind::KeywordOnly};
}

// `(self, *, url: str, pipeline_watcher: _PIPELINE_WATCHER, keyframes_only: bool,
// drop_frames: bool = True, size: Optional[Tuple[int, int]] = None, max_frame_bytes:
// Optional[int] = None, format: str = "bgr", rotate: bool = False, fps: Optional[float] = None,
// <more>)`: the parameters of a factory that reads a URL by itself. The body finds `size` at
// c.arg(5), `max_frame_bytes` at 6, `format` at 7, `rotate` at 8, `fps` at 9, the first of `more`
// at 10.
inline std::vector<bridge::Param> url_factory_params(std::initializer_list<bridge::Param> more = {}) {
    std::vector<bridge::Param> params{
        {"self"},
        {"url", "str", bridge::Exact::Str, bridge::Kind::KeywordOnly},
        {"pipeline_watcher", "_PIPELINE_WATCHER", bridge::Exact::Any, bridge::Kind::KeywordOnly},
        {"keyframes_only", "bool", bridge::Exact::Any, bridge::Kind::KeywordOnly},
        drop_frames_param(),
        size_param(),
        max_frame_bytes_param(),
        format_param(),
        {"rotate", "bool", bridge::Exact::Any, bridge::Kind::KeywordOnly},
        fps_param()};
    params.insert(params.end(), more);
    return params;
}

// `def build(self) -> Pipeline`, without a docstring.
inline bridge::FunctionSpec build_spec(bridge::Body body, const char* qualname) {
    return {.name = "build", .params = {{"self"}}, .body = body, .return_annotation = "Pipeline", .qualname = qualname};
}

// `from gi.repository import Gst`, `from vantle.utils.gstreamer import Pipeline` and the base's
// names, in that order: the imports of a factory that reads a URL by itself.
inline void import_url_factory_names(bridge::ModuleBuilder& m) {
    m.from_import("gi.repository", {"Gst"});
    m.from_import("vantle.utils.gstreamer", {"Pipeline"});
    import_base(m);
}
// The watcher is called by the main loop that iterates the thread-default main context of the
// thread that called build(), with each message of the pipeline's bus: that loop's way of
// hearing of errors and the end of the stream.
#define VANTLE_WATCHER_AND_KEYFRAMES_DOC                                   \
    ":param pipeline_watcher: Function to connect to the pipeline's bus\n" \
    ":param keyframes_only: If True, only keyframes will be decoded\n"

#define VANTLE_DROP_FRAMES_DOC                                                                    \
    ":param drop_frames: If True (the default), the appsink lets its oldest frames go when the\n" \
    "    consumer falls behind; if False, it holds the stream back until every frame is taken"

#define VANTLE_SIZE_DOC                                                                                \
    "\n:param size: (width, height) of the frames, or None for the stream's own size. The picture\n"   \
    "    is scaled in the decoder's format before conversion (area averaging when shrinking), and\n"   \
    "    stretched to exactly that size; a 0 takes that side from the other and the picture's\n"       \
    "    aspect ratio\n" VANTLE_MAX_FRAME_BYTES_DOC VANTLE_FORMAT_DOC VANTLE_ROTATE_DOC VANTLE_FPS_DOC \
    ":raises ValueError: size is not two numbers from 0 to 32768, or max_frame_bytes is below 1"

#define VANTLE_FORMAT_DOC                                                                             \
    ":param format: The frames' pixels: \"bgr\" (the default), \"rgb\", or \"gray\" (one channel),\n" \
    "    each written by the converter itself\n"

#define VANTLE_ROTATE_DOC                                                                         \
    ":param rotate: If True, the picture is turned upright as the container's orientation says\n" \
    "    (a phone's video), in the converter's one write\n"

#define VANTLE_FPS_DOC                                                                               \
    ":param fps: Frames a second of stream time to keep, evenly spaced by their times; the others\n" \
    "    are dropped before conversion (None: every frame)\n"

#define VANTLE_MAX_FRAME_BYTES_DOC                                                                   \
    ":param max_frame_bytes: The most memory one frame may take, coded or decoded (None: 64 MiB);\n" \
    "    a larger one fails the stream with a \"too-large\" error\n"

// `class <name>(PipelineFactory): <doc>; __init__; build`, bound in the module.
inline void define_factory(bridge::ModuleBuilder& m, const char* name, const char* doc,
                           const bridge::FunctionSpec& init, const bridge::FunctionSpec& build,
                           bridge::Handle init_kwdefaults) {
    bridge::Object base = m.get("PipelineFactory");
    bridge::Object ns =
        bridge::dict({{"__init__", m.function(init, bridge::Handle(), init_kwdefaults)}, {"build", m.function(build)}});
    m.set(name, m.make_class(base.type(), name, {base}, ns, doc));
}

}  // namespace vantle::factories
