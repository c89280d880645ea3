// vantle.utils.gstreamer: the package's single point of contact with GStreamer.
// Importing it initialises GStreamer for the process.
#include "gstreamer_parts.h"

using namespace bridge;

namespace vantle::gstreamer {

namespace {

constexpr const char* abc_gobject_meta_doc =
    "A metaclass that lets GObject-based classes be abstract base classes. Naming abc.ABC as a base\n"
    "of a GObject-based class directly causes a metaclass conflict.\n"
    "\n"
    "Example:\n"
    "\n"
    "    class MyElement(Gst.Element, metaclass=ABCGObjectMeta):\n"
    "        @abstractmethod\n"
    "        def process(self):\n"
    "            ...\n";

// PyGObject's instance creation skips the interpreter's refusal of abstract classes,
// which ABCMeta relies on; the metaclass asks for it before creating an instance.
Object abc_gobject_meta_call(Call& c) {
    Handle cls = c.arg(0);
    Object abstract_methods = cls.attr("__abstractmethods__");
    if (abstract_methods.truthy()) {
        // object.__new__ refuses an abstract class with the interpreter's own message; it
        // is asked about a plain stand-in of the same name and abstract methods, since it
        // will not make instances of a GObject class at all.
        Object builtin_type = Object::borrow(reinterpret_cast<PyObject*>(&PyType_Type));
        Object stand_in = builtin_type.call({cls.attr("__name__"), tuple({}), dict()});
        stand_in.set_attr("__abstractmethods__", abstract_methods);
        Object::borrow(reinterpret_cast<PyObject*>(&PyBaseObject_Type)).method("__new__", {stand_in});
    }
    return c.super(cls).attr("__call__").call_tuple(c.arg(1), c.arg(2));
}

const FunctionSpec abc_gobject_meta_call_spec{
    .name = "__call__",
    .params = {{"cls"},
               {"args", nullptr, Exact::Any, Kind::VarPositional},
               {"kwargs", nullptr, Exact::Any, Kind::VarKeyword}},
    .body = abc_gobject_meta_call,
    .qualname = "ABCGObjectMeta.__call__",
};

Object exception_class(ModuleBuilder& m, const char* name, const char* doc, Handle init = Handle()) {
    Object ns = dict();
    if (init) set_item(ns, "__init__", init);
    Object builtin_type = Object::borrow(reinterpret_cast<PyObject*>(&PyType_Type));
    return m.make_class(builtin_type, name, {Handle(PyExc_Exception)}, ns, doc);
}

void fill(ModuleBuilder& m) {
    m.import_module("inspect");
    m.from_import("abc", {"ABCMeta", "abstractmethod"});
    m.from_import("time", {"sleep"});
    m.from_import("typing", {"Any", "Callable", "List", "Tuple"});
    m.import_module("numpy", "np");
    m.from_import("gi.repository", {"GLib", "GObject", "Gst", "GstApp"});
    m.from_import("vantle.errors", {"NotLinkedError", "StreamSetupError"});
    m.from_import("vantle.logger", {"logger"});
    m.from_import("vantle.utils.timing", {"Timeout"});
    // The distribution's bindings refuse Gst.init() without an argument.
    m.get("Gst").method("init", {none()});

    m.set("Pipeline", make_pipeline_class(m));

    Object gobject_meta = m.get("GObject").attr("Object").type();
    Object builtin_type = Object::borrow(reinterpret_cast<PyObject*>(&PyType_Type));
    Object meta_ns = dict({{"__call__", m.function(abc_gobject_meta_call_spec)}});
    m.set("ABCGObjectMeta", m.make_class(builtin_type, "ABCGObjectMeta", {gobject_meta, m.get("ABCMeta")}, meta_ns,
                                         abc_gobject_meta_doc));

    m.def(framerate_from_structure_spec);
    m.def(is_video_pad_spec);
    m.def(is_rtp_audio_pad_spec);
    m.def(pad_to_string_spec);
    m.def(find_element_factory_spec);
    m.def(find_element_spec);
    m.set("UnknownPropertyError", exception_class(m, "UnknownPropertyError", unknown_property_error_doc,
                                                  m.function(unknown_property_error_init_spec)));
    m.def(try_set_property_spec);
    m.set("SampleConversionError", exception_class(m, "SampleConversionError", sample_conversion_error_doc));
    m.def(sample_to_ndarray_spec);
    m.set("_BufferMapping", make_buffer_mapping_type());
    m.def(sample_as_ndarray_spec);
}

}  // namespace

}  // namespace vantle::gstreamer

BRIDGE_MODULE(gstreamer, vantle::gstreamer::fill)
