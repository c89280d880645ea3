// vantleconvert: raw YUV and RGB video to packed BGR, on GStreamer's video filter base class.
#pragma once

#include <gst/gst.h>

G_BEGIN_DECLS

GType vantle_convert_get_type(void);

G_END_DECLS
