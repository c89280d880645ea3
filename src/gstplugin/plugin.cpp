// The "vantle" GStreamer plugin: the package's own elements, loaded from the package's folder.
#include <gst/gst.h>

#include "vantleconvert.h"

#define PACKAGE "vantle"  // GST_PLUGIN_DEFINE names the package through this macro

#ifndef VANTLE_PLUGIN_VERSION
#define VANTLE_PLUGIN_VERSION "0.0.0"
#endif

static gboolean plugin_init(GstPlugin* plugin) {
    return GST_ELEMENT_REGISTER(vantleconvert, plugin);
}

GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, vantle, "Video elements of the vantle package", plugin_init,
                  VANTLE_PLUGIN_VERSION, "MIT/X11", "vantle", "vantle Python package")
