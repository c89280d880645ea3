// Conversion of one band of rows of a raw video frame to packed BGR, with libyuv.
#pragma once

#include <gst/video/video.h>

#include <memory>
#include <optional>

namespace vantle {

// The input layouts we convert; the formats of one group share one libyuv routine.
enum class Layout { I420, NV12, NV21, I422, I444, YUY2, UYVY, BGRx, RGBx, RGB, BGR };

// The layout of a GStreamer format; none when it is not one we take.
std::optional<Layout> layout_of(GstVideoFormat format);

// Rows per chroma row: bands of a frame start on multiples of it.
inline int row_alignment(Layout layout) {
    return layout == Layout::I420 || layout == Layout::NV12 || layout == Layout::NV21 ? 2 : 1;
}

// YUV to RGB coefficients in libyuv's layout (opaque here to keep libyuv's headers local).
struct ColourConstants;
struct ColourConstantsDeleter {
    void operator()(ColourConstants* constants) const;
};
using ColourConstantsPtr = std::unique_ptr<ColourConstants, ColourConstantsDeleter>;

// The coefficients for the matrix and range of `info` (a YUV format), with GStreamer's defaults
// where the caps leave them unknown: BT.601 up to 576 lines, BT.709 above; limited range.
ColourConstantsPtr colour_constants_for(const GstVideoInfo& info);

// Converts rows [first, last) of `in` into the same rows of `out` (BGR). `first` must be a
// multiple of the vertical chroma subsampling. Returns false if libyuv rejects the arguments.
bool convert_rows(Layout layout, const GstVideoFrame& in, GstVideoFrame& out, int first, int last,
                  const ColourConstants* constants);

}  // namespace vantle
