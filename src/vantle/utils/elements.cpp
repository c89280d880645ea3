// Element and pad helpers: setting a property safely, finding an element for given
// caps, describing and classifying pads.
#include "gstreamer_parts.h"

using namespace bridge;

namespace vantle::gstreamer {

namespace {

Object try_set_property(Call& c) {
    Handle element = c.arg(0), name = c.arg(1), value = c.arg(2);
    if (element.method("find_property", {name}).is_none()) {
        Object error = c.global("UnknownPropertyError").call({element, name});
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
        throw_pending();
    }
    element.method("set_property", {name, value});
    return none();
}

Object unknown_property_error_init(Call& c) {
    Handle self = c.arg(0), element = c.arg(1), property_name = c.arg(2);
    c.super(self).method("__init__", {fstr({"Element ", element, " has no property named '", property_name, "'"})});
    self.set_attr("property_name", property_name);
    return none();
}

Object find_element_factory(Call& c) {
    Handle caps = c.arg(0), type = c.arg(1);
    if (caps.is_none()) raise(Handle(PyExc_ValueError), "Caps must not be None when finding an element");
    Object gst = c.global("Gst");
    Object factory_class = gst.attr("ElementFactory");
    Object factories = factory_class.method("list_get_elements", {type, gst.attr("Rank").attr("MARGINAL")});
    factories =
        factory_class.method("list_filter", {factories, caps, gst.attr("PadDirection").attr("SINK"), boolean(false)});
    if (factories.length() == 0) {
        raise(c.global("StreamSetupError"),
              fstr({"Could not find compatible element for caps: ", caps.method("to_string")}));
    }
    return factories.item(0);
}

Object find_element(Call& c) {
    return c.global("find_element_factory").call({c.arg(0), c.arg(1)}).method("create");
}

// The caps as text, or None when the pad reports none (or empty caps).
Object caps_text(const Object& caps) {
    return caps.truthy() ? caps.method("to_string") : none();
}

Object pad_to_string(Call& c) {
    Handle pad = c.arg(0);
    Object current_caps = caps_text(pad.method("get_current_caps"));
    Object allowed_caps = caps_text(pad.method("get_allowed_caps"));
    // The text is built left to right: the pad is formatted before the three calls.
    Object pad_text = fstr({pad});
    Object direction = pad.method("get_direction");
    Object linked = pad.method("is_linked");
    Object active = pad.method("is_active");
    return fstr({pad_text, "(current_caps=", current_caps, ", allowed_caps=", allowed_caps, ", direction=", direction,
                 ", linked=", linked, ", active=", active, ")"});
}

// The first structure of the pad's negotiated caps, or RuntimeError with the
// caller's wording when there are no caps or no structures.
Object first_structure(Handle pad, const char* no_caps, const char* no_structures) {
    Object caps = pad.method("get_current_caps");
    if (caps.is_none()) raise(Handle(PyExc_RuntimeError), no_caps);
    if (caps.method("get_size").equals(integer(0))) raise(Handle(PyExc_RuntimeError), no_structures);
    return caps.method("get_structure", {integer(0)});
}

Object is_video_pad(Call& c) {
    Object media_type = first_structure(c.arg(0), "Pad has no caps", "Pad caps have no structures").method("get_name");
    return media_type.method("startswith", {text("video/")});
}

Object is_rtp_audio_pad(Call& c) {
    Object media = first_structure(c.arg(0), "Demuxer pad has no caps", "Demuxer pad caps have no structures")
                       .method("get_string", {text("media")});
    return boolean(contains(media, text("audio")));
}

}  // namespace

const FunctionSpec is_video_pad_spec{
    .name = "is_video_pad",
    .params = {{"pad"}},
    .body = is_video_pad,
    .doc =
        "Determines whether the pad supplies video. The media type is taken from the pad's caps,\n"
        "which have the form type/format (e.g. video/x-h264); any media type that starts with\n"
        "\"video/\" counts as video.\n"
        "\n"
        ":param pad: The pad to check\n"
        ":return: True if the pad is a video pad",
};

const FunctionSpec is_rtp_audio_pad_spec{
    .name = "is_rtp_audio_pad",
    .params = {{"pad"}},
    .body = is_rtp_audio_pad,
    .doc =
        "Checks a pad that represents an RTP stream to see whether it is an audio stream.\n"
        "\n"
        ":param pad: The pad to check\n"
        ":return: True if the RTP stream carries audio",
};

const FunctionSpec pad_to_string_spec{
    .name = "pad_to_string",
    .params = {{"pad", "Gst.Pad"}},
    .body = pad_to_string,
    .return_annotation = "str",
};

const FunctionSpec find_element_factory_spec{
    .name = "find_element_factory",
    .params = {{"caps", "Gst.Caps"}, {"type_"}},
    .body = find_element_factory,
    .doc =
        "Searches for an element factory for an element that can take the given caps on its sink pad.\n"
        "\n"
        ":param caps: The caps that the element must support as input\n"
        ":param type_: The type of element to search for\n"
        ":return: The element factory\n"
        ":raises StreamSetupError: No element factory was found",
    .return_annotation = "Gst.ElementFactory",
};

const FunctionSpec find_element_spec{
    .name = "find_element",
    .params = {{"caps", "Gst.Caps"}, {"type_"}},
    .body = find_element,
    .doc =
        "Searches for an element that can take the given caps on its sink pad.\n"
        "\n"
        ":param caps: The caps that the element must support as input\n"
        ":param type_: The type of element to search for\n"
        ":return: The found element\n"
        ":raises StreamSetupError: No element was found",
    .return_annotation = "Gst.Element",
};

const char* const unknown_property_error_doc = "Raised when a non-existent property is referenced";

const FunctionSpec unknown_property_error_init_spec{
    .name = "__init__",
    .params = {{"self"}, {"element", "Gst.Element"}, {"property_name", "str", Exact::Str}},
    .body = unknown_property_error_init,
    .qualname = "UnknownPropertyError.__init__",
};

const FunctionSpec try_set_property_spec{
    .name = "try_set_property",
    .params = {{"element", "Gst.Element"}, {"name", "str", Exact::Str}, {"value", "Any"}},
    .body = try_set_property,
    .doc =
        "Sets the element's property if it exists.\n"
        "\n"
        ":param element: The element whose property to set\n"
        ":param name: The name of the property\n"
        ":param value: The value to set the property to\n"
        ":raises UnknownPropertyError: The element has no property of the given name",
    .return_annotation = "None",
};

}  // namespace vantle::gstreamer
