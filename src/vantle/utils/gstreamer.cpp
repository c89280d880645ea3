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

Object exception_class(ModuleBuilder& m, const char* name, const char* doc, Handle init = Handle()) {
    Object ns = dict();
    if (init) check(PyDict_SetItemString(ns.ptr(), "__init__", init.ptr()));
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
    m.set("ABCGObjectMeta",
          m.make_class(builtin_type, "ABCGObjectMeta", {gobject_meta, m.get("ABCMeta")}, dict(), abc_gobject_meta_doc));

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
}

}  // namespace

}  // namespace vantle::gstreamer

BRIDGE_MODULE(gstreamer, vantle::gstreamer::fill)
