// Conversion of one block of a raw video picture to packed BGR, RGB or grey: YUV and grey through
// our own rows (yuv_rows.h), RGB layouts reordered (or reduced to their BT.601 luma) by libyuv.
//
// libyuv names packed formats by the little-endian word: its "RGB24" is B, G, R in memory
// (GStreamer's BGR), "RAW" is R, G, B, "ARGB" is B, G, R, A and "ABGR" is R, G, B, A.
#include "convert.h"

#include <libyuv.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "place.h"
#include "yuv_rows.h"

namespace vantle {

struct ColourConstants {
    yuv::Coefficients coefficients;
};

void ColourConstantsDeleter::operator()(ColourConstants* constants) const {
    delete constants;
}

std::optional<InputFormat> input_format_of(GstVideoFormat format) {
    using L = Layout;
    struct Entry {
        GstVideoFormat format;
        InputFormat input;
    };
    static constexpr Entry kFormats[] = {
        {GST_VIDEO_FORMAT_I420, {L::I420, 1, 1}},
        {GST_VIDEO_FORMAT_YV12, {L::I420, 1, 1}},
        {GST_VIDEO_FORMAT_Y42B, {L::I422, 1, 0}},
        {GST_VIDEO_FORMAT_Y444, {L::I444, 0, 0}},
        {GST_VIDEO_FORMAT_NV12, {L::NV12, 1, 1}},
        {GST_VIDEO_FORMAT_NV21, {L::NV21, 1, 1}},
        {GST_VIDEO_FORMAT_NV16, {L::NV16, 1, 0}},
        {GST_VIDEO_FORMAT_NV24, {L::NV24, 0, 0}},
        {GST_VIDEO_FORMAT_YUY2, {L::YUY2, 1, 0}},
        {GST_VIDEO_FORMAT_UYVY, {L::UYVY, 1, 0}},
        {GST_VIDEO_FORMAT_GRAY8, {L::Gray}},
        {GST_VIDEO_FORMAT_BGRx, {L::BGRx}},
        {GST_VIDEO_FORMAT_BGRA, {L::BGRx}},
        {GST_VIDEO_FORMAT_RGBx, {L::RGBx}},
        {GST_VIDEO_FORMAT_RGBA, {L::RGBx}},
        {GST_VIDEO_FORMAT_RGB, {L::RGB}},
        {GST_VIDEO_FORMAT_BGR, {L::BGR}},
        {GST_VIDEO_FORMAT_I420_10LE, {L::WidePlanar, 1, 1, 10}},
        {GST_VIDEO_FORMAT_I420_12LE, {L::WidePlanar, 1, 1, 12}},
        {GST_VIDEO_FORMAT_I422_10LE, {L::WidePlanar, 1, 0, 10}},
        {GST_VIDEO_FORMAT_I422_12LE, {L::WidePlanar, 1, 0, 12}},
        {GST_VIDEO_FORMAT_Y444_10LE, {L::WidePlanar, 0, 0, 10}},
        {GST_VIDEO_FORMAT_Y444_12LE, {L::WidePlanar, 0, 0, 12}},
        {GST_VIDEO_FORMAT_P010_10LE, {L::WideSemi, 1, 1, 10, 6}},
        {GST_VIDEO_FORMAT_P012_LE, {L::WideSemi, 1, 1, 12, 4}},
        {GST_VIDEO_FORMAT_P016_LE, {L::WideSemi, 1, 1, 16, 0}},
        {GST_VIDEO_FORMAT_GRAY16_LE, {L::WideGray, 0, 0, 16}},
    };
    // The 16-bit layouts are little-endian words: read in place only on a little-endian host.
    static_assert(G_BYTE_ORDER == G_LITTLE_ENDIAN, "16-bit sample formats are read as native words");
    for (const auto& entry : kFormats) {
        if (entry.format == format) return entry.input;
    }
    return std::nullopt;
}

std::optional<OutputFormat> output_format_of(GstVideoFormat format) {
    switch (format) {
        case GST_VIDEO_FORMAT_BGR:
            return OutputFormat::BGR;
        case GST_VIDEO_FORMAT_RGB:
            return OutputFormat::RGB;
        case GST_VIDEO_FORMAT_GRAY8:
            return OutputFormat::Gray;
        default:
            return std::nullopt;
    }
}

Picture picture_of(const GstVideoFrame& frame, const InputFormat& format) {
    Picture picture;
    picture.width = GST_VIDEO_FRAME_WIDTH(&frame);
    picture.height = GST_VIDEO_FRAME_HEIGHT(&frame);
    const bool planar = is_planar(format.layout);
    const int planes = planar ? 3 : static_cast<int>(GST_VIDEO_FRAME_N_PLANES(&frame));
    for (int i = 0; i < std::min(planes, 3); ++i) {
        if (planar) {  // by component, so that YV12 gives U before V
            picture.data[i] = GST_VIDEO_FRAME_COMP_DATA(&frame, i);
            picture.stride[i] = GST_VIDEO_FRAME_COMP_STRIDE(&frame, i);
        } else {
            picture.data[i] = static_cast<std::uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, i));
            picture.stride[i] = GST_VIDEO_FRAME_PLANE_STRIDE(&frame, i);
        }
    }
    return picture;
}

namespace {

struct Matrix {
    double kr = 0.299;  // BT.601's, for the RGB "matrix", which no YUV conversion uses
    double kb = 0.114;
    bool full_range;
};

Matrix matrix_of(const Colorimetry& colorimetry) {
    Matrix m{};
    m.full_range = colorimetry.full_range;
    gst_video_color_matrix_get_Kr_Kb(colorimetry.matrix, &m.kr, &m.kb);
    return m;
}

// The equations, with the offsets and scales GStreamer gives each range and depth:
// limited range maps luma [16, 235] and chroma [16, 240] (shifted left for deeper samples) to
// [0, 1] and [-0.5, 0.5]; full range divides by 2^depth - 1 and centres chroma on 2^(depth - 1).
struct Scales {
    double y_offset, y_scale, c_offset, c_scale;
};

Scales scales_of(const Matrix& m, int depth) {
    const double step = std::ldexp(1.0, depth - 8);
    const double full = std::ldexp(1.0, depth) - 1.0;
    const double c_offset = std::ldexp(1.0, depth - 1);
    if (m.full_range) return {0.0, full, c_offset, full};
    return {16.0 * step, 219.0 * step, c_offset, 224.0 * step};
}

// The coefficients of our rows (yuv_rows.h) for `format`'s samples once in the top bits of a
// word, where one step of a sample of `depth` bits is 2^(16 - depth) steps of the word.
yuv::Coefficients coefficients_of(const Matrix& m, const InputFormat& format) {
    const Scales s = scales_of(m, format.depth);
    const double kg = 1.0 - m.kr - m.kb;
    const double word_step = std::ldexp(1.0, 16 - format.depth);
    constexpr double kUnits = 64.0;                                          // per output level
    const double y_gain = 255.0 * kUnits / s.y_scale;                        // units per sample step
    const double c_gain = 255.0 * kUnits / s.c_scale / word_step * 32768.0;  // Q15, units per word step
    const auto fixed = [](double value) {
        return static_cast<std::int16_t>(std::clamp(std::lround(value), -32767L, 32767L));
    };
    yuv::Coefficients k;
    k.y_gain = static_cast<std::uint16_t>(std::clamp(std::lround(y_gain / word_step * 65536.0), 0L, 65535L));
    k.y_bias = fixed(-s.y_offset * y_gain + kUnits / 2);  // half a level, so that >> 6 rounds
    k.ub = fixed(2.0 * (1.0 - m.kb) * c_gain);
    k.ug = fixed(-2.0 * m.kb * (1.0 - m.kb) / kg * c_gain);
    k.vg = fixed(-2.0 * m.kr * (1.0 - m.kr) / kg * c_gain);
    k.vr = fixed(2.0 * (1.0 - m.kr) * c_gain);
    k.word_shift = format.depth > 8 ? 16 - format.depth - format.shift : 0;
    return k;
}

// Our rows, in their AVX2 version when the processor has it. libyuv's flags decide, so that
// libyuv's MaskCpuFlags() switches both libraries to their portable code at once.
template <class RowLayout, OutputFormat kOut>
yuv::RowFunction row_function() {
#ifdef VANTLE_AVX2_ROWS
    if (libyuv::TestCpuFlag(libyuv::kCpuHasAVX2)) return yuv::avx2_row<RowLayout, kOut>;
#endif
    return yuv::portable_row<RowLayout, kOut>;
}

template <OutputFormat kOut>
yuv::RowFunction row_function_for(const InputFormat& format) {
    using namespace yuv;
    if constexpr (kOut == OutputFormat::Gray) {  // the luma plane, or packed 4:2:2's luma bytes
        switch (format.layout) {
            case Layout::YUY2:
                return row_function<PackedLuma<true>, kOut>();
            case Layout::UYVY:
                return row_function<PackedLuma<false>, kOut>();
            default:
                if (is_rgb(format.layout)) return nullptr;
                return is_wide(format.layout) ? row_function<Grey<2>, kOut>() : row_function<Grey<1>, kOut>();
        }
    } else {
        switch (format.layout) {
            case Layout::I420:
            case Layout::I422:
                return row_function<Planar<1, 1>, kOut>();
            case Layout::I444:
            case Layout::NV24:  // split into planes first
                return row_function<Planar<1, 0>, kOut>();
            case Layout::NV12:
            case Layout::NV16:
                return row_function<Pairs<1, false>, kOut>();
            case Layout::NV21:
                return row_function<Pairs<1, true>, kOut>();
            case Layout::YUY2:
                return row_function<Packed<true>, kOut>();
            case Layout::UYVY:
                return row_function<Packed<false>, kOut>();
            case Layout::Gray:
                return row_function<Grey<1>, kOut>();
            case Layout::WidePlanar:
                return format.sub_x != 0 ? row_function<Planar<2, 1>, kOut>() : row_function<Planar<2, 0>, kOut>();
            case Layout::WideSemi:
                return row_function<Pairs<2, false>, kOut>();
            case Layout::WideGray:
                return row_function<Grey<2>, kOut>();
            default:
                return nullptr;
        }
    }
}

yuv::RowFunction row_function_for(const InputFormat& format, OutputFormat output) {
    switch (output) {
        case OutputFormat::BGR:
            return row_function_for<OutputFormat::BGR>(format);
        case OutputFormat::RGB:
            return row_function_for<OutputFormat::RGB>(format);
        default:
            return row_function_for<OutputFormat::Gray>(format);
    }
}

// NV24's interleaved full-resolution chroma is split into planes, a piece of a row at a time
// in scratch on the stack (in the L1 cache), and converted as planar 4:4:4.
constexpr int kPiece = 1024;

bool yuv_block(const InputFormat& format, OutputFormat output, const Picture& in, int first, int last, int x, int width,
               std::uint8_t* dst, int dst_stride, const yuv::Coefficients& k) {
    const yuv::RowFunction convert = row_function_for(format, output);
    if (convert == nullptr) return false;
    const bool packed = format.layout == Layout::YUY2 || format.layout == Layout::UYVY;
    const bool luma_only =
        output == OutputFormat::Gray || format.layout == Layout::Gray || format.layout == Layout::WideGray;
    const int bytes = is_wide(format.layout) ? 2 : 1;
    const int chroma_x = x >> format.sub_x;  // x is even: the first pixel of a chroma sample
    alignas(32) std::uint8_t u[kPiece];
    alignas(32) std::uint8_t v[kPiece];
    for (int row = first; row < last; ++row) {
        const int chroma_row = row >> format.sub_y;
        std::uint8_t* out = dst + static_cast<std::ptrdiff_t>(row - first) * dst_stride;
        yuv::Row samples{in.row(0, row) + (packed ? 2 : bytes) * x, nullptr, nullptr};
        if (luma_only || packed) {
            convert(samples, width, k, out);
        } else if (format.layout == Layout::NV24) {
            const std::uint8_t* pairs = in.row(1, chroma_row) + 2 * x;
            for (int at = 0; at < width; at += kPiece) {
                const int n = std::min(kPiece, width - at);
                libyuv::SplitUVPlane(pairs + 2 * at, 2 * n, u, n, v, n, n, 1);
                convert({samples.y + at, u, v}, n, k, out + 3 * at);
            }
        } else if (is_planar(format.layout)) {
            samples.u = in.row(1, chroma_row) + bytes * chroma_x;
            samples.v = in.row(2, chroma_row) + bytes * chroma_x;
            convert(samples, width, k, out);
        } else {  // interleaved pairs
            samples.u = in.row(1, chroma_row) + 2 * bytes * chroma_x;
            convert(samples, width, k, out);
        }
    }
    return true;
}

// RGB layouts: reordered, or reduced to their luma by BT.601 weights (libyuv's full-range "J400").
bool rgb_block(const InputFormat& format, OutputFormat output, const Picture& in, int first, int last, int x, int width,
               std::uint8_t* dst, int dst_stride) {
    using namespace libyuv;
    const bool four_bytes = format.layout == Layout::BGRx || format.layout == Layout::RGBx;
    const bool red_first = format.layout == Layout::RGBx || format.layout == Layout::RGB;
    const std::uint8_t* src = in.row(0, first) + (four_bytes ? 4 : 3) * x;
    const int stride = in.stride[0], rows = last - first;
    if (output == OutputFormat::Gray) {
        const auto luma = four_bytes ? (red_first ? ABGRToJ400 : ARGBToJ400) : (red_first ? RAWToJ400 : RGB24ToJ400);
        return luma(src, stride, dst, dst_stride, width, rows) == 0;
    }
    const bool swap = red_first != (output == OutputFormat::RGB);
    if (four_bytes) return (swap ? ARGBToRAW : ARGBToRGB24)(src, stride, dst, dst_stride, width, rows) == 0;
    if (swap) return RAWToRGB24(src, stride, dst, dst_stride, width, rows) == 0;
    CopyPlane(src, stride, dst, dst_stride, 3 * width, rows);
    return true;
}

}  // namespace

Colorimetry colorimetry_of(const GstVideoInfo& info) {
    if (GST_VIDEO_INFO_IS_RGB(&info)) return {GST_VIDEO_COLOR_MATRIX_RGB, true};
    const auto range = info.colorimetry.range;
    Colorimetry colorimetry{info.colorimetry.matrix,
                            range == GST_VIDEO_COLOR_RANGE_0_255 ||
                                (GST_VIDEO_INFO_IS_GRAY(&info) && range == GST_VIDEO_COLOR_RANGE_UNKNOWN)};
    double kr = 0.0, kb = 0.0;
    if (!gst_video_color_matrix_get_Kr_Kb(colorimetry.matrix, &kr, &kb)) {
        colorimetry.matrix =
            GST_VIDEO_INFO_HEIGHT(&info) > 576 ? GST_VIDEO_COLOR_MATRIX_BT709 : GST_VIDEO_COLOR_MATRIX_BT601;
    }
    return colorimetry;
}

bool same_bytes(const InputFormat& format, const Colorimetry& colorimetry, OutputFormat output) {
    switch (output) {
        case OutputFormat::BGR:
            return format.layout == Layout::BGR;
        case OutputFormat::RGB:
            return format.layout == Layout::RGB;
        default:
            return format.layout == Layout::Gray && colorimetry.full_range;
    }
}

ColourConstantsPtr colour_constants_for(const Colorimetry& colorimetry, const InputFormat& format) {
    return ColourConstantsPtr(new ColourConstants{coefficients_of(matrix_of(colorimetry), format)});
}

bool convert_block(const InputFormat& format, OutputFormat output, const Picture& in, int first, int last, int x,
                   int width, std::uint8_t* dst, int dst_stride, const ColourConstants& constants) {
    if (is_rgb(format.layout)) return rgb_block(format, output, in, first, last, x, width, dst, dst_stride);
    return yuv_block(format, output, in, first, last, x, width, dst, dst_stride, constants.coefficients);
}

Placement placement_of(Orientation orientation, std::uint8_t* out, int stride, int width, int height, int pixel_bytes) {
    // Output pixel (u, v) is at out + u * pixel_bytes + v * stride; each case gives (u, v) for
    // picture pixel (x, y).
    const std::ptrdiff_t across = pixel_bytes, down = stride;
    const std::ptrdiff_t last_column = (width - 1) * across, last_row = (height - 1) * down;
    switch (orientation) {
        case Orientation::Clockwise:  // (height - 1 - y, x)
            return {out + (height - 1) * across, down, -across};
        case Orientation::Half:  // (width - 1 - x, height - 1 - y)
            return {out + last_column + last_row, -across, -down};
        case Orientation::Counterclockwise:  // (y, width - 1 - x)
            return {out + (width - 1) * down, -down, across};
        case Orientation::Horizontal:  // (width - 1 - x, y)
            return {out + last_column, -across, down};
        case Orientation::Vertical:  // (x, height - 1 - y)
            return {out + last_row, across, -down};
        case Orientation::Transpose:  // (y, x)
            return {out, down, across};
        case Orientation::Antitranspose:  // (height - 1 - y, width - 1 - x)
            return {out + (height - 1) * across + (width - 1) * down, -down, -across};
        default:
            return {out, across, down};
    }
}

namespace {

// The pixels of a tile, the part of the picture converted at a time for the placements that do
// not keep its rows: small enough for the L1 cache. The input is read in runs of a tile's width,
// which must stay long for the reads to stream (a transposed tile of 32 columns took three times
// as long as one of 256 columns, the output's runs longer though they were); a transposed tile's
// rows are each output row's run. Tile rows are a multiple of every format's row alignment and of
// the blocks that place.h transposes.
constexpr int kTilePixels = 4096;
constexpr int kTransposedTileColumns = 256;
constexpr int kReversedTileColumns = 512;

}  // namespace

bool convert_rows(const InputFormat& format, OutputFormat output, const Picture& in, int first, int last,
                  const Placement& placement, const ColourConstants& constants) {
    const int bytes = pixel_bytes(output);
    if (placement.x_step == bytes) {  // rows stay rows, left to right (maybe in reverse order)
        return convert_block(format, output, in, first, last, 0, in.width, placement.origin + first * placement.y_step,
                             static_cast<int>(placement.y_step), constants);
    }
    alignas(64) std::uint8_t tile[kTilePixels * 3 + 16];  // and bytes to read after the last pixel
    const bool transposed = placement.x_step != bytes && placement.x_step != -bytes;
    const int tile_columns = transposed ? kTransposedTileColumns : kReversedTileColumns;
    const int tile_rows = kTilePixels / tile_columns;
    const int tile_stride = tile_columns * bytes;
    for (int row = first; row < last; row += tile_rows) {
        const int rows = std::min(tile_rows, last - row);
        for (int x = 0; x < in.width; x += tile_columns) {
            const int columns = std::min(tile_columns, in.width - x);
            if (transposed) {
                // The output runs of this tile are each in a row of its own, beyond the reach of
                // the prefetchers: asked for while the tile is converted.
                std::uint8_t* run = placement.origin + x * placement.x_step + row * placement.y_step;
                const std::ptrdiff_t run_bytes = (rows - 1) * placement.y_step;
                for (int c = 0; c < columns; ++c, run += placement.x_step) {
                    __builtin_prefetch(run, 1);
                    __builtin_prefetch(run + run_bytes, 1);
                }
            }
            if (!convert_block(format, output, in, row, row + rows, x, columns, tile, tile_stride, constants)) {
                return false;
            }
            const place::Tile converted{tile, tile_stride, rows, columns};
            std::uint8_t* dst = placement.origin + x * placement.x_step + row * placement.y_step;
            if (bytes == 1) {
                place::place_tile<1>(converted, dst, placement.x_step, placement.y_step);
            } else {
                place::place_tile<3>(converted, dst, placement.x_step, placement.y_step);
            }
        }
    }
    return true;
}

}  // namespace vantle
