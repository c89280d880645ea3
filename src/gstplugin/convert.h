// Conversion of one band of rows of a raw video picture to packed BGR.
#pragma once

#include <gst/video/video.h>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>

namespace vantle {

// The input layouts we convert. YUV and grey layouts, 8-bit or in 16-bit words (the Wide ones,
// with 10, 12 or 16 significant bits), go through our own rows, which keep every bit of the
// samples; RGB layouts are reordered by libyuv.
enum class Layout {
    I420,  // planar 4:2:0 (I420, YV12)
    I422,  // planar 4:2:2 (Y42B)
    I444,  // planar 4:4:4 (Y444)
    NV12,
    NV21,
    NV16,
    NV24,
    YUY2,
    UYVY,
    Gray,
    BGRx,  // BGRx, BGRA
    RGBx,  // RGBx, RGBA
    RGB,
    BGR,
    WidePlanar,  // planar 4:2:0, 4:2:2, 4:4:4 in 16-bit words (I420_10LE ... Y444_12LE)
    WideSemi,    // Y plane and interleaved UV 4:2:0 in 16-bit words, MSB-aligned (P010, P012, P016)
    WideGray,    // GRAY16_LE
};

// A GStreamer format as we read it.
struct InputFormat {
    Layout layout = Layout::BGR;
    int sub_x = 0;  // log2 of the horizontal and vertical chroma subsampling
    int sub_y = 0;
    int depth = 8;  // significant bits of a sample
    int shift = 0;  // bits below the significant ones in each 16-bit word (P010: 6)
};

// How `format` is read; none when it is not one we take.
std::optional<InputFormat> input_format_of(GstVideoFormat format);

// Rows per chroma row: bands of a picture start on multiples of it.
inline int row_alignment(const InputFormat& format) {
    return 1 << format.sub_y;
}

inline bool is_wide(Layout layout) {
    return layout == Layout::WidePlanar || layout == Layout::WideSemi || layout == Layout::WideGray;
}

// Y, U and V each in a plane of their own.
inline bool is_planar(Layout layout) {
    return layout == Layout::I420 || layout == Layout::I422 || layout == Layout::I444 || layout == Layout::WidePlanar;
}

inline bool is_rgb(Layout layout) {
    return layout == Layout::BGRx || layout == Layout::RGBx || layout == Layout::RGB || layout == Layout::BGR;
}

// A view of one picture: the rows of its planes. For the planar YUV layouts the planes are Y, U
// and V in that order whatever the order in memory (YV12 has V first); the semi-planar ones have
// Y and the interleaved chroma; packed layouts and grey have one plane.
struct Picture {
    int width = 0;
    int height = 0;
    std::array<std::uint8_t*, 3> data{};
    std::array<int, 3> stride{};

    std::uint8_t* row(int plane, int index) const {
        return data[plane] + static_cast<std::ptrdiff_t>(index) * stride[plane];
    }
};

// The planes of a mapped frame of `format`.
Picture picture_of(const GstVideoFrame& frame, const InputFormat& format);

// YUV to RGB coefficients (opaque here to keep the row code local).
struct ColourConstants;
struct ColourConstantsDeleter {
    void operator()(ColourConstants* constants) const;
};
using ColourConstantsPtr = std::unique_ptr<ColourConstants, ColourConstantsDeleter>;

// The coefficients for the matrix and range of `info` and the sample depth of `format`, with
// GStreamer's defaults where the caps leave them unknown: BT.601 up to 576 lines, BT.709 above;
// limited range for YUV, full range for grey.
ColourConstantsPtr colour_constants_for(const GstVideoInfo& info, const InputFormat& format);

// Converts rows [first, last) of `in` into the same rows of `out`, a packed BGR plane with
// `out_stride` bytes per row. `first` must be a multiple of row_alignment(format). Returns false
// if the rows cannot be converted (libyuv rejects the arguments of an RGB reordering).
bool convert_rows(const InputFormat& format, const Picture& in, std::uint8_t* out, int out_stride, int first, int last,
                  const ColourConstants& constants);

}  // namespace vantle
