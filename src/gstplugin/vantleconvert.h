// vantleconvert: raw YUV and RGB video to packed BGR, RGB or grey, resized and rotated on the
// way, on GStreamer's video filter base class.
#pragma once

#include <gst/gst.h>

G_BEGIN_DECLS

GType vantle_convert_get_type(void);

GST_ELEMENT_REGISTER_DECLARE(vantleconvert);

G_END_DECLS
