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

// rtspsrc's `tcp-timeout` (microseconds) for a time-out in seconds: a positive finite number,
// or None for rtspsrc's own (20 s).
Object tcp_timeout_of(Handle seconds) {
    if (seconds.is_none()) return none();
    const double value = PyFloat_AsDouble(seconds.ptr());
    if (value == -1.0 && PyErr_Occurred()) throw_pending();
    if (!(value > 0) || value > 1e9) {
        raise(PyExc_ValueError, to_string(fstr({"tcp_timeout must be a number of seconds above 0, not ",
                                                Object::steal(PyObject_Repr(seconds.ptr()))})));
    }
    return integer(static_cast<long long>(value * 1e6));
}

Object factory_init(Call& c) {
    Handle self = c.arg(0);
    init_url_factory(c);
    self.set_attr("_protocols", lower_transports(c, c.arg(10)));
    self.set_attr("_latency", checked_latency(c.arg(11)));
    self.set_attr("_tcp_timeout", tcp_timeout_of(c.arg(12)));
    return none();
}

Object factory_build(Call& c) {
    Handle self = c.arg(0);
    Object pipeline = new_pipeline_with_appsink(self);
    // The URL without its user information, the credentials as rtspsrc's own properties: kept
    // out of GStreamer's debug log.
    Object properties = c.global("source_properties").call({self.attr("_url")});
    set_item(properties, "protocols", self.attr("_protocols"));
    set_item(properties, "latency", self.attr("_latency"));
    // A server that accepts the connection and never answers (or answers without end) is given
    // up after the caller's time-out, not rtspsrc's 20 seconds, so that bringing the pipeline
    // down never waits for it longer.
    Object tcp_timeout = self.attr("_tcp_timeout");
    if (!tcp_timeout.is_none()) set_item(properties, "tcp-timeout", tcp_timeout);
    Object source = new_source(pipeline, "rtspsrc", properties);
    // Its pads appear once the server has described the streams; the base takes them from there.
    self.method("_set_up_rtp_decoder", {source, pipeline});
    return self.method("_start", {pipeline});
}

const FunctionSpec init_spec{
    .name = "__init__",
    .params = url_factory_params({{"rtsp_transport", "str", Exact::Str, Kind::KeywordOnly},
                                  {"latency", "int", Exact::Any, Kind::KeywordOnly},
                                  {"tcp_timeout", "Optional[float]", Exact::Any, Kind::KeywordOnly}}),
    .body = factory_init,
    .doc =
        ":param url: The rtsp:// or rtsps:// URL to connect to (credentials may be given in "
        "it)\n" VANTLE_WATCHER_AND_KEYFRAMES_DOC VANTLE_DROP_FRAMES_DOC VANTLE_SIZE_DOC
        "\n:param rtsp_transport: \"tcp\" (RTP interleaved in the RTSP connection), \"udp\", or \"auto\"\n"
        "    (UDP, then TCP when no UDP data arrives)\n"
        ":param latency: Milliseconds the jitter buffer holds packets to put them in order\n"
        ":param tcp_timeout: Seconds after which a silent TCP connection fails (None: rtspsrc's own,\n"
        "    20)\n"
        ":raises ValueError: rtsp_transport, latency or tcp_timeout is out of range\n"
        ":raises TypeError: latency is not an int",
    .qualname = "RTSPPipelineFactory.__init__",
};

const FunctionSpec build = build_spec(factory_build, "RTSPPipelineFactory.build");

void fill(ModuleBuilder& m) {
    import_url_factory_names(m);
    m.from_import("vantle._urls", {"source_properties"});
    // The RTSP bindings come with the RTP set-up, which imports them quietly.
    m.from_import("rtp", {"GstRtsp"}, 1);
    define_factory(m, "RTSPPipelineFactory", "Creates a pipeline for an RTSP URL.", init_spec, build,
                   dict({{"drop_frames", boolean(true)},
                         {"size", none()},
                         {"max_frame_bytes", none()},
                         {"format", text("bgr")},
                         {"rotate", boolean(false)},
                         {"fps", none()},
                         {"rtsp_transport", text("auto")},
                         {"latency", integer(default_latency_ms)},
                         {"tcp_timeout", none()}}));
}

}  // namespace

BRIDGE_MODULE(rtsp, fill)
