// Conversion of a raw video picture to packed BGR, packed RGB or grey, block by block, each
// block written where a rotation or flip of the picture puts it.
#pragma once

#include <gst/video/video.h>

#include <array>
#include <cstddef>
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

// What we write: packed BGR, packed RGB (BGR with red and blue swapped), or the luma alone,
// full range.
enum class OutputFormat { BGR, RGB, Gray };

std::optional<OutputFormat> output_format_of(GstVideoFormat format);

inline int pixel_bytes(OutputFormat format) {
    return format == OutputFormat::Gray ? 1 : 3;
}

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

// The matrix and range that a picture of `info` is converted with: the caps' colorimetry, with
// GStreamer's defaults where it is unknown (BT.601 up to 576 lines, BT.709 above; limited range
// for YUV, full range for grey). RGB input is full range with the RGB "matrix".
struct Colorimetry {
    GstVideoColorMatrix matrix;
    bool full_range;
};

Colorimetry colorimetry_of(const GstVideoInfo& info);

// Whether `output` takes the bytes of `format` as they are (BGR to BGR, say): no conversion.
bool same_bytes(const InputFormat& format, const Colorimetry& colorimetry, OutputFormat output);

// YUV to RGB coefficients (opaque here to keep the row code local).
struct ColourConstants;
struct ColourConstantsDeleter {
    void operator()(ColourConstants* constants) const;
};
using ColourConstantsPtr = std::unique_ptr<ColourConstants, ColourConstantsDeleter>;

// The coefficients for `colorimetry` and the sample depth of `format`.
ColourConstantsPtr colour_constants_for(const Colorimetry& colorimetry, const InputFormat& format);

// Converts pixels [x, x + width) of rows [first, last) of `in` to `output`, written from `dst`
// (the block's first pixel) on, rows `dst_stride` bytes apart. `first` must be a multiple of
// row_alignment(format) and `x` even. Returns false if the block cannot be converted (libyuv
// rejects the arguments of an RGB reordering).
bool convert_block(const InputFormat& format, OutputFormat output, const Picture& in, int first, int last, int x,
                   int width, std::uint8_t* dst, int dst_stride, const ColourConstants& constants);

// The rotations and flips of a picture, as GStreamer's video orientation methods name them.
enum class Orientation {
    Identity,
    Clockwise,         // 90 degrees clockwise ("90r")
    Half,              // 180 degrees
    Counterclockwise,  // 90 degrees counter-clockwise ("90l")
    Horizontal,        // mirrored left to right
    Vertical,          // mirrored top to bottom
    Transpose,         // mirrored across the upper-left to lower-right diagonal ("ul-lr")
    Antitranspose,     // mirrored across the upper-right to lower-left diagonal ("ur-ll")
};

// Whether the output's width is the picture's height.
inline bool swaps_axes(Orientation orientation) {
    return orientation == Orientation::Clockwise || orientation == Orientation::Counterclockwise ||
           orientation == Orientation::Transpose || orientation == Orientation::Antitranspose;
}

// Where each pixel of a picture goes in the output: pixel (x, y) at origin + x * x_step + y * y_step.
struct Placement {
    std::uint8_t* origin = nullptr;
    std::ptrdiff_t x_step = 0;
    std::ptrdiff_t y_step = 0;
};

// The placement of a picture of width x height (before orientation) in an output plane of
// `stride` bytes a row at `out`, for pixels of `pixel_bytes` bytes.
Placement placement_of(Orientation orientation, std::uint8_t* out, int stride, int width, int height, int pixel_bytes);

// Converts rows [first, last) of `in` (a multiple of row_alignment(format) for `first`) and
// writes their pixels where `placement` puts them: straight into the output when its rows
// are the picture's, through a small tile in the cache otherwise. Returns false as convert_block.
bool convert_rows(const InputFormat& format, OutputFormat output, const Picture& in, int first, int last,
                  const Placement& placement, const ColourConstants& constants);

}  // namespace vantle
