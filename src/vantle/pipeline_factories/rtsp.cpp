// vantle.pipeline_factories.rtsp: RTSPPipelineFactory, a started pipeline for one RTSP URL
// (rtspsrc, its video stream depayloaded into the base's decoder set-up, an appsink).
#include <limits>

#include "factory.h"

using namespace bridge;
using namespace vantle::factories;

namespace {

constexpr long long default_latency_ms = 200;

// rtspsrc's `protocols` for each value of `rtsp_transport`.
Object lower_transports(Call& c, Handle transport) {
    Object flags = c.global("GstRtsp").attr("RTSPLowerTrans");
    if (PyUnicode_Check(transport.ptr())) {
        if (transport.equals(text("tcp"))) return flags.attr("TCP");
        if (transport.equals(text("udp"))) return bit_or(flags.attr("UDP"), flags.attr("UDP_MCAST"));
        // Both, as rtspsrc tries them: UDP first, TCP when no UDP data arrives.
        if (transport.equals(text("auto")))
            return bit_or(bit_or(flags.attr("UDP"), flags.attr("UDP_MCAST")), flags.attr("TCP"));
    }
    raise(PyExc_ValueError, to_string(fstr({"rtsp_transport must be 'tcp', 'udp' or 'auto', not ",
                                            Object::steal(PyObject_Repr(transport.ptr()))})));
}

// The jitter buffer's latency in milliseconds: an int (not a bool) that rtspsrc can hold.
Object checked_latency(Handle latency) {
    if (!PyLong_Check(latency.ptr()) || PyBool_Check(latency.ptr())) {
        raise(PyExc_TypeError,
              to_string(fstr({"latency must be an int (milliseconds), not ", latency.type().attr("__name__")})));
    }
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(latency.ptr(), &overflow);
    if (value == -1 && PyErr_Occurred()) throw_pending();
    if (overflow != 0 || value < 0 || value > std::numeric_limits<unsigned int>::max()) {
        raise(PyExc_ValueError,
              to_string(fstr({"latency must be between 0 and 4294967295 milliseconds, not ", Handle(latency)})));
    }
    return integer(value);
}

Object factory_init(Call& c) {
    Handle self = c.arg(0);
    init_url_factory(c);
    self.set_attr("_protocols", lower_transports(c, c.arg(7)));
    self.set_attr("_latency", checked_latency(c.arg(8)));
    return none();
}

Object factory_build(Call& c) {
    Handle self = c.arg(0);
    Object pipeline = new_pipeline_with_appsink(self);
    Object properties = dict(
        {{"location", self.attr("_url")}, {"protocols", self.attr("_protocols")}, {"latency", self.attr("_latency")}});
    Object source = new_source(pipeline, "rtspsrc", properties);
    // Its pads appear once the server has described the streams; the base takes them from there.
    self.method("_set_up_rtp_decoder", {source, pipeline});
    return self.method("_start", {pipeline});
}

const FunctionSpec init_spec{
    .name = "__init__",
    .params = url_factory_params(
        {{"rtsp_transport", "str", Exact::Str, Kind::KeywordOnly}, {"latency", "int", Exact::Any, Kind::KeywordOnly}}),
    .body = factory_init,
    .doc =
        ":param url: The rtsp:// or rtsps:// URL to connect to (credentials may be given in "
        "it)\n" VANTLE_WATCHER_AND_KEYFRAMES_DOC VANTLE_DROP_FRAMES_DOC VANTLE_SIZE_DOC
        "\n:param rtsp_transport: \"tcp\" (RTP interleaved in the RTSP connection), \"udp\", or \"auto\"\n"
        "    (UDP, then TCP when no UDP data arrives)\n"
        ":param latency: Milliseconds the jitter buffer holds packets to put them in order\n"
        ":raises ValueError: rtsp_transport or latency is out of range\n"
        ":raises TypeError: latency is not an int",
    .qualname = "RTSPPipelineFactory.__init__",
};

const FunctionSpec build = build_spec(factory_build, "RTSPPipelineFactory.build");

void fill(ModuleBuilder& m) {
    import_url_factory_names(m);
    // The RTSP bindings come with the RTP set-up, which imports them quietly.
    m.from_import("rtp", {"GstRtsp"}, 1);
    define_factory(m, "RTSPPipelineFactory", "Creates a pipeline for an RTSP URL.", init_spec, build,
                   dict({{"drop_frames", boolean(true)},
                         {"size", none()},
                         {"max_frame_bytes", none()},
                         {"rtsp_transport", text("auto")},
                         {"latency", integer(default_latency_ms)}}));
}

}  // namespace

BRIDGE_MODULE(rtsp, fill)
