// Pipeline: a Gst.Pipeline that builds its element graph, owns what it registers
// with GStreamer (bus watch, pad probes, signal handlers) and waits for its states.
#include "gstreamer_parts.h"

using namespace bridge;

namespace vantle::gstreamer {

namespace {

// ----- construction and element graph -----

Object pipeline_init(Call& c) {
    Handle self = c.arg(0);
    c.super(self).method("__init__", {}, {{"name", c.arg(1)}});
    self.set_attr("destructors", list());
    self.set_attr("_appsink", none());
    return none();
}

Object from_launch_string(Call& c) {
    Object gst = c.global("Gst");
    Object parsed = gst.method("parse_launch", {c.arg(0)});
    Object pipeline_class = c.global("Pipeline");
    if (!is_instance(parsed, gst.attr("Pipeline"))) {
        // A description of one element parses to that element alone, not to a pipeline;
        // made a Pipeline in place it would have no bus and no children. It goes into a
        // new pipeline instead.
        Object pipeline = pipeline_class.call({c.arg(1)});
        pipeline.method("add", {parsed});
        return pipeline;
    }
    parsed.set_attr("__class__", pipeline_class);
    pipeline_class.attr("__init__").call({parsed, c.arg(1)});
    return parsed;
}

Object new_element(Call& c) {
    Handle self = c.arg(0), factory_name = c.arg(1), link_to = c.arg(2), properties = c.arg(3), auto_play = c.arg(4);
    Object gst = c.global("Gst");
    Object element = gst.attr("ElementFactory").method("make", {factory_name});
    self.method("add", {element});
    if (!properties.is_none()) {
        for_each(properties.method("items"), [&](const Object& item) {
            auto [key, value] = unpack_pair(item);
            element.method("set_property", {key, value});
        });
    }
    if (auto_play.truthy()) element.method("set_state", {gst.attr("State").attr("PLAYING")});
    if (!link_to.is_none()) {
        Object linked = link_to.method("link", {element});
        if (!linked.truthy()) raise(c.global("NotLinkedError"), fstr({"Failed to link ", factory_name}));
    }
    return element;
}

Object filter_caps(Call& c) {
    Handle self = c.arg(0), link_to = c.arg(1), options = c.arg(2), auto_play = c.arg(3);
    Object result;
    for_each(options, [&](const Object& option) {
        Object properties = dict({{"caps", c.global("Gst").attr("Caps").method("from_string", {option})}});
        try {
            Object capsfilter =
                self.method("new_element", {text("capsfilter")},
                            {{"link_to", link_to}, {"properties", properties}, {"auto_play", auto_play}});
            result = tuple({capsfilter, option});
            return false;  // linked: later options are not tried
        } catch (const PendingError&) {
            if (!error_matches(c.global("NotLinkedError"))) throw;
            PyErr_Clear();
            return true;
        }
    });
    if (result) return result;
    raise(c.global("NotLinkedError"), fstr({"Could not link capsfilter using any of the provided caps: ", options}));
}

Object appsink_get(Call& c) {
    Object appsink = c.arg(0).attr("_appsink");
    if (appsink.is_none()) raise(c.global("StreamSetupError"), "The appsink has not been set for this pipeline yet");
    return appsink;
}

Object appsink_set(Call& c) {
    c.arg(0).set_attr("_appsink", c.arg(1));
    return none();
}

// ----- registrations and their release -----

Object append_destructor(Handle self, const Object& destructor) {
    self.attr("destructors").method("append", {destructor});
    return none();
}

Object remove_bus_watch(Call& c) {
    return c.captured(0).method("get_bus").method("remove_watch");
}

const FunctionSpec remove_bus_watch_spec{.name = "<lambda>", .params = {}, .body = remove_bus_watch};

Object add_bus_watch(Call& c) {
    Handle self = c.arg(0);
    Object bus = self.method("get_bus");
    Object priority = c.global("GLib").attr("PRIORITY_DEFAULT");
    bus.attr("add_watch").call_tuple(concat(tuple({priority, c.arg(1)}), c.arg(2)));
    return append_destructor(self, c.closure(remove_bus_watch_spec, {self}));
}

Object remove_probe(Call& c) {
    return c.captured(0).method("remove_probe", {c.captured(1)});
}

const FunctionSpec remove_probe_spec{.name = "<lambda>", .params = {}, .body = remove_probe};

Object add_pad_probe(Call& c) {
    Handle self = c.arg(0), pad = c.arg(1), callback = c.arg(3);
    // A probe of the per-frame engine adds itself, to run natively on the streaming thread; its
    // id is a probe id of the pad all the same, and is removed the same way.
    Object probe_id;
    if (Object attach = callback.optional_attr("attach_to_pad")) {
        probe_id = attach.call_tuple(concat(tuple({pad, c.arg(2)}), c.arg(4)));
    } else {
        probe_id = pad.attr("add_probe").call_tuple(concat(tuple({c.arg(2), callback}), c.arg(4)));
    }
    return append_destructor(self, c.closure(remove_probe_spec, {pad, probe_id}));
}

Object disconnect_handler(Call& c) {
    return c.global("GObject").method("signal_handler_disconnect", {c.captured(0), c.captured(1)});
}

const FunctionSpec disconnect_handler_spec{.name = "<lambda>", .params = {}, .body = disconnect_handler};

Object connect_signal_handler(Call& c) {
    Handle self = c.arg(0), element = c.arg(1);
    Object handler_id = element.attr("connect").call_tuple(concat(tuple({c.arg(2), c.arg(3)}), c.arg(4)));
    return append_destructor(self, c.closure(disconnect_handler_spec, {element, handler_id}));
}

Object release_resources(Call& c) {
    Handle self = c.arg(0);
    // The list and its length are read afresh on every pass: destructors added while
    // the release runs are run by this same call.
    while (self.attr("destructors").length() != 0) {
        Object destructor = self.attr("destructors").method("pop", {integer(0)});
        destructor.call();
    }
    return none();
}

Object pipeline_del(Call& c) {
    Handle self = c.arg(0);
    // A pipeline whose initialiser was refused its arguments has nothing to release (nor one
    // whose attributes cannot be read at all).
    Object destructors;
    try {
        destructors = self.optional_attr("destructors");
    } catch (const PendingError&) {
        PyErr_Clear();
    }
    if (!destructors) return none();
    self.method("release_resources");
    return none();
}

// ----- state waits and error posting -----
//
// Every blocking call of the waits lasts one slice at most, whatever the budget: between two
// slices the waits run the interpreter's signal handlers (Ctrl-C raises KeyboardInterrupt
// within a slice) and look at their budget, and no budget, however large, reaches GStreamer.

constexpr double wait_slice_seconds = 0.05;

Object state_of(Handle pipeline, Handle timeout_ns) {
    return middle(pipeline.method("get_state", {timeout_ns}));
}

// One slice in GStreamer clock units (nanoseconds).
Object slice_nanoseconds(Call& c) {
    return Object::steal(PyNumber_Long(multiply(c.global("Gst").attr("SECOND"), floating(wait_slice_seconds)).ptr()));
}

// Runs the handlers of signals that arrived meanwhile; a handler that raises ends the wait.
void check_signals() {
    if (PyErr_CheckSignals() != 0) throw_pending();
}

Object wait_until_playing(Call& c) {
    Handle self = c.arg(0), timeout = c.arg(1);
    Object gst = c.global("Gst");
    Object playing = gst.attr("State").attr("PLAYING");
    if (state_of(self, integer(0)).equals(playing)) return none();

    Object budget = c.global("Timeout").call({timeout}, {{"raise_error", boolean(false)}});
    Object message_type = gst.attr("MessageType");
    Object error_type = message_type.attr("ERROR");
    Object state_changed_type = message_type.attr("STATE_CHANGED");
    Object slice = slice_nanoseconds(c);
    while (budget.truthy()) {
        Object message =
            self.method("get_bus").method("timed_pop_filtered", {slice, bit_or(state_changed_type, error_type)});
        check_signals();
        if (message.is_none()) continue;
        Object type = message.attr("type");
        if (type.equals(error_type)) {
            auto [error, debug] = unpack_pair(message.method("parse_error"));
            raise(c.global("StreamSetupError"), error.attr("message"));
        }
        if (type.equals(state_changed_type)) {
            // Only the pipeline's own change ends the wait: its children (an appsink
            // started on its own, say) can reach PLAYING while the pipeline never will.
            if (!message.attr("src").is(self)) continue;
            auto [old_state, new_state, pending] = unpack_triple(message.method("parse_state_changed"));
            if (new_state.equals(playing)) return none();
        }
    }
    if (state_of(self, integer(0)).equals(playing)) return none();
    self.method("set_state", {gst.attr("State").attr("NULL")});
    raise(c.global("StreamSetupError"), "Timeout while waiting for stream to start");
}

Object wait_until_null(Call& c) {
    Handle self = c.arg(0), timeout = c.arg(1);
    Object budget = c.global("Timeout").call({timeout}, {{"raise_error", boolean(false)}});
    Object null_state = c.global("Gst").attr("State").attr("NULL");
    Object pause = floating(0.01);
    Object slice = slice_nanoseconds(c);
    while (budget.truthy()) {
        c.global("sleep").call({pause});
        Object state = state_of(self, slice);
        check_signals();
        if (state.equals(null_state)) return none();
    }
    raise(c.global("StreamSetupError"), "Timeout while waiting for stream to reach null state");
}

Object post_error(Call& c) {
    Handle self = c.arg(0), message = c.arg(1);
    c.global("logger").method("warning", {fstr({"Posting error to bus: ", message})});
    Object caller;
    try {
        caller = c.global("inspect").method("stack").item(1);
    } catch (const PendingError&) {
        if (!error_matches(Handle(PyExc_ValueError))) throw;
        PyErr_Clear();
        caller = none();
    }
    Object gst = c.global("Gst");
    Object filename = caller.truthy() ? caller.attr("filename") : text("<unknown filename>");
    Object function = caller.truthy() ? caller.attr("function") : text("<unknown function>");
    Object lineno = caller.truthy() ? caller.attr("lineno") : integer(0);
    self.method("message_full", {gst.attr("MessageType").attr("ERROR"), gst.method("stream_error_quark"),
                                 gst.attr("StreamError").attr("FAILED"), none(), message, filename, function, lineno});
    return none();
}

// ----- the table of members -----

const FunctionSpec init_spec{
    .name = "__init__",
    .params = {{"self"}, {"name", "str", Exact::Str}},
    .body = pipeline_init,
    .qualname = "Pipeline.__init__",
};

const FunctionSpec from_launch_string_spec{
    .name = "from_launch_string",
    .params = {{"launch", "str", Exact::Str}, {"name", "str", Exact::Str}},
    .body = from_launch_string,
    .doc =
        "Creates a pipeline from a launch string, e.g. \"videotestsrc ! videoconvert ! appsink\".\n"
        "\n"
        ":param launch: The launch string to parse\n"
        ":param name: The name to use for the pipeline\n"
        ":return: The parsed pipeline, as a Pipeline",
    .return_annotation = "Pipeline",
    .qualname = "Pipeline.from_launch_string",
};

const FunctionSpec connect_signal_handler_spec{
    .name = "connect_signal_handler",
    .params = {{"self"},
               {"element", "Gst.Element"},
               {"signal", "str", Exact::Str},
               {"callback", "Callable"},
               {"args", nullptr, Exact::Any, Kind::VarPositional}},
    .body = connect_signal_handler,
    .qualname = "Pipeline.connect_signal_handler",
};

const FunctionSpec add_bus_watch_spec{
    .name = "add_bus_watch",
    .params = {{"self"}, {"callback", "Callable"}, {"args", nullptr, Exact::Any, Kind::VarPositional}},
    .body = add_bus_watch,
    .qualname = "Pipeline.add_bus_watch",
};

const FunctionSpec add_pad_probe_spec{
    .name = "add_pad_probe",
    .params = {{"self"},
               {"pad", "Gst.Pad"},
               {"pad_probe_type", "Gst.PadProbeType"},
               {"callback", "Callable"},
               {"args", nullptr, Exact::Any, Kind::VarPositional}},
    .body = add_pad_probe,
    .qualname = "Pipeline.add_pad_probe",
};

const FunctionSpec post_error_spec{
    .name = "post_error",
    .params = {{"self"}, {"message", "str", Exact::Str}},
    .body = post_error,
    .doc = "Sends an error message on the pipeline's bus",
    .qualname = "Pipeline.post_error",
};

const FunctionSpec release_resources_spec{
    .name = "release_resources",
    .params = {{"self"}},
    .body = release_resources,
    .qualname = "Pipeline.release_resources",
};

// The `timeout` of both waits is annotated `int`, the text that callers and help() have always
// seen, and is not enforced: any number of seconds works, a float included, since it only sets
// a Timeout's budget. The stub therefore says float.
const FunctionSpec wait_until_playing_spec{
    .name = "wait_until_playing",
    .params = {{"self"}, {"timeout", "int"}},
    .body = wait_until_playing,
    .doc =
        "Blocks until one of the following conditions are met:\n"
        "         - The pipeline starts playing\n"
        "         - A timeout occurs, raising a StreamSetupError\n"
        "         - The pipeline reports an error, raising a StreamSetupError\n"
        "\n"
        "        :param timeout: The time in seconds to wait for the pipeline to start\n"
        "            playing\n"
        "        ",
    .qualname = "Pipeline.wait_until_playing",
};

const FunctionSpec wait_until_null_spec{
    .name = "wait_until_null",
    .params = {{"self"}, {"timeout", "int"}},
    .body = wait_until_null,
    .doc =
        "Blocks until one of the following conditions are met:\n"
        "         - The pipeline reaches a null state\n"
        "         - A timeout occurs, raising a StreamSetupError\n"
        "\n"
        "        :param timeout: The time in seconds to wait for the pipeline to reach a\n"
        "            null state\n"
        "        ",
    .qualname = "Pipeline.wait_until_null",
};

const FunctionSpec appsink_get_spec{
    .name = "appsink",
    .params = {{"self"}},
    .body = appsink_get,
    .return_annotation = "GstApp.AppSink",
    .qualname = "Pipeline.appsink",
};

const FunctionSpec appsink_set_spec{
    .name = "appsink",
    .params = {{"self"}, {"element", "GstApp.AppSink"}},
    .body = appsink_set,
    .qualname = "Pipeline.appsink",
};

const FunctionSpec new_element_spec{
    .name = "new_element",
    .params = {{"self"},
               {"factory_name", "str", Exact::Str},
               {"link_to", "Gst.Element"},
               {"properties", "dict", Exact::Dict},
               {"auto_play"}},
    .body = new_element,
    .doc =
        "Creates a new element from the factory of that name (e.g. \"videoconvert\"), adds it to the\n"
        "pipeline and links `link_to` to it when given.\n"
        "\n"
        ":param factory_name: The name of the element factory\n"
        ":param link_to: The upstream element to link to the new element, or None\n"
        ":param properties: Properties to set on the new element, or None\n"
        ":param auto_play: If true, the new element is set to PLAYING before it is linked\n"
        ":return: The new element\n"
        ":raises NotLinkedError: `link_to` could not be linked to the new element",
    .return_annotation = "Gst.Element",
    .qualname = "Pipeline.new_element",
};

const FunctionSpec filter_caps_spec{
    .name = "filter_caps",
    .params = {{"self"}, {"link_to", "Gst.Element"}, {"options", "List[str]"}, {"auto_play"}},
    .body = filter_caps,
    .doc =
        "Forces the previous element in the pipeline to produce frames in one of the given formats.\n"
        "\n"
        ":param link_to: The previous element\n"
        ":param options: The acceptable caps, as caps strings, in order of preference\n"
        ":param auto_play: If true, the capsfilter is set to PLAYING before it is linked\n"
        ":return: The capsfilter element and the caps string that linked\n"
        ":raises NotLinkedError: No option could be linked",
    .return_annotation = "Tuple[Gst.Element, str]",
    .qualname = "Pipeline.filter_caps",
};

const FunctionSpec del_spec{
    .name = "__del__",
    .params = {{"self"}},
    .body = pipeline_del,
    .doc = "Release resources if this object gets garbage collected",
    .qualname = "Pipeline.__del__",
};

}  // namespace

Object make_pipeline_class(ModuleBuilder& m) {
    Object ns = dict({
        {"__init__", m.function(init_spec)},
        {"from_launch_string", static_method(m.function(from_launch_string_spec))},
        {"connect_signal_handler", m.function(connect_signal_handler_spec)},
        {"add_bus_watch", m.function(add_bus_watch_spec)},
        {"add_pad_probe", m.function(add_pad_probe_spec)},
        {"post_error", m.function(post_error_spec)},
        {"release_resources", m.function(release_resources_spec)},
        {"wait_until_playing", m.function(wait_until_playing_spec)},
        {"wait_until_null", m.function(wait_until_null_spec)},
        {"appsink", property(m.function(appsink_get_spec), m.function(appsink_set_spec))},
        {"new_element", m.function(new_element_spec, tuple({none(), none(), boolean(true)}))},
        {"filter_caps", m.function(filter_caps_spec, tuple({boolean(true)}))},
        {"__del__", m.function(del_spec)},
    });

    Object gst_pipeline = m.get("Gst").attr("Pipeline");
    return m.make_class(gst_pipeline.type(), "Pipeline", {gst_pipeline}, ns,
                        "Wraps around a GStreamer pipeline, providing utilities and managing the lifecycle of the\n"
                        "resources it uses.");
}

}  // namespace vantle::gstreamer
