// Conversion of one band of rows of a raw video frame to packed BGR, with libyuv.
//
// libyuv names packed formats by the little-endian word: its "RGB24" is B, G, R in memory
// (GStreamer's BGR), "RAW" is R, G, B, "ARGB" is B, G, R, A and "ABGR" is R, G, B, A.
#include "convert.h"

#include <libyuv.h>
#include <libyuv/row.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>

namespace vantle {

struct alignas(64) ColourConstants {  // libyuv's SIMD rows load these with aligned moves
    libyuv::YuvConstants yuv;
};

void ColourConstantsDeleter::operator()(ColourConstants* constants) const {
    delete constants;
}

std::optional<Layout> layout_of(GstVideoFormat format) {
    static constexpr std::pair<GstVideoFormat, Layout> kLayouts[] = {
        {GST_VIDEO_FORMAT_I420, Layout::I420}, {GST_VIDEO_FORMAT_YV12, Layout::I420},
        {GST_VIDEO_FORMAT_NV12, Layout::NV12}, {GST_VIDEO_FORMAT_NV21, Layout::NV21},
        {GST_VIDEO_FORMAT_Y42B, Layout::I422}, {GST_VIDEO_FORMAT_Y444, Layout::I444},
        {GST_VIDEO_FORMAT_YUY2, Layout::YUY2}, {GST_VIDEO_FORMAT_UYVY, Layout::UYVY},
        {GST_VIDEO_FORMAT_BGRx, Layout::BGRx}, {GST_VIDEO_FORMAT_BGRA, Layout::BGRx},
        {GST_VIDEO_FORMAT_RGBx, Layout::RGBx}, {GST_VIDEO_FORMAT_RGBA, Layout::RGBx},
        {GST_VIDEO_FORMAT_RGB, Layout::RGB},   {GST_VIDEO_FORMAT_BGR, Layout::BGR},
    };
    for (const auto& [candidate, layout] : kLayouts) {
        if (candidate == format) return layout;
    }
    return std::nullopt;
}

namespace {

struct Matrix {
    GstVideoColorMatrix matrix;
    double kr;
    double kb;
    bool full_range;
};

Matrix matrix_of(const GstVideoInfo& info) {
    Matrix m{info.colorimetry.matrix, 0.0, 0.0, info.colorimetry.range == GST_VIDEO_COLOR_RANGE_0_255};
    if (!gst_video_color_matrix_get_Kr_Kb(m.matrix, &m.kr, &m.kb)) {
        m.matrix = GST_VIDEO_INFO_HEIGHT(&info) > 576 ? GST_VIDEO_COLOR_MATRIX_BT709 : GST_VIDEO_COLOR_MATRIX_BT601;
        gst_video_color_matrix_get_Kr_Kb(m.matrix, &m.kr, &m.kb);
    }
    return m;
}

#ifdef KUVTOB
// The x86 layout: chroma coefficients as unsigned bytes with 6 fraction bits, in (U, V) pairs;
// Y gain and bias as 16-bit words. We compute them rather than take libyuv's tables because those
// cap every chroma coefficient at 128 (2.0) for the sake of other architectures: the blue
// coefficient of limited-range BT.709 (2.112) and BT.2020 (2.141) then loses up to 16 levels on
// saturated colours. The x86 rows multiply the coefficients as unsigned bytes, so exact ones fit.
void fill_constants(libyuv::YuvConstants& k, const Matrix& m) {
    static_assert(sizeof(k.kUVToB) == 32 && sizeof(k.kYToRgb) == 32, "unexpected libyuv constants layout");
    const double kg = 1.0 - m.kr - m.kb;
    const double y_gain = m.full_range ? 1.0 : 255.0 / 219.0;
    const double c_gain = m.full_range ? 1.0 : 255.0 / 224.0;
    const auto fixed = [](double value) { return static_cast<std::uint8_t>(std::lround(value * 64.0)); };
    const std::uint8_t ub = fixed(2.0 * (1.0 - m.kb) * c_gain);
    const std::uint8_t ug = fixed(2.0 * m.kb * (1.0 - m.kb) / kg * c_gain);
    const std::uint8_t vg = fixed(2.0 * m.kr * (1.0 - m.kr) / kg * c_gain);
    const std::uint8_t vr = fixed(2.0 * (1.0 - m.kr) * c_gain);
    for (int i = 0; i < 32; i += 2) {
        k.kUVToB[i] = ub;
        k.kUVToB[i + 1] = 0;
        k.kUVToG[i] = ug;
        k.kUVToG[i + 1] = vg;
        k.kUVToR[i] = 0;
        k.kUVToR[i + 1] = vr;
    }
    // Y is widened to y * 257 and scaled by kYToRgb / 65536, so a gain of 1 is 255 * 64; the bias
    // removes the black level and adds half a step for rounding.
    const auto y_to_rgb = static_cast<std::int16_t>(std::lround(y_gain * 255.0 * 64.0));
    const auto y_bias = static_cast<std::int16_t>((m.full_range ? 0 : std::lround(-16.0 * y_gain * 64.0)) + 32);
    std::fill(std::begin(k.kYToRgb), std::end(k.kYToRgb), y_to_rgb);
    std::fill(std::begin(k.kYBiasToRgb), std::end(k.kYBiasToRgb), y_bias);
}
#else
// Other architectures pack the coefficients differently: take libyuv's own tables.
void fill_constants(libyuv::YuvConstants& k, const Matrix& m) {
    const libyuv::YuvConstants* table = nullptr;
    switch (m.matrix) {
        case GST_VIDEO_COLOR_MATRIX_BT709:
            table = m.full_range ? &libyuv::kYuvF709Constants : &libyuv::kYuvH709Constants;
            break;
        case GST_VIDEO_COLOR_MATRIX_BT2020:
            table = m.full_range ? &libyuv::kYuvV2020Constants : &libyuv::kYuv2020Constants;
            break;
        default:
            table = m.full_range ? &libyuv::kYuvJPEGConstants : &libyuv::kYuvI601Constants;
            break;
    }
    std::memcpy(&k, table, sizeof k);
}
#endif

const std::uint8_t* plane_row(const GstVideoFrame& frame, int plane, int row) {
    return static_cast<const std::uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, plane)) +
           static_cast<std::ptrdiff_t>(row) * GST_VIDEO_FRAME_PLANE_STRIDE(&frame, plane);
}

// Component rows rather than plane rows for the planar formats, so that YV12 reads its U and V
// planes in the right order.
const std::uint8_t* component_row(const GstVideoFrame& frame, int component, int row) {
    return GST_VIDEO_FRAME_COMP_DATA(&frame, component) +
           static_cast<std::ptrdiff_t>(row) * GST_VIDEO_FRAME_COMP_STRIDE(&frame, component);
}

// libyuv has no matrix-aware YUY2/UYVY to RGB, so unpack pieces of each row to planar 4:2:2 on
// the stack and convert those.
bool packed_422_rows(bool uyvy, const std::uint8_t* src, int src_stride, std::uint8_t* dst, int dst_stride, int width,
                     int rows, const libyuv::YuvConstants* k) {
    constexpr int kPiece = 2048;  // even, so pieces start on a pixel pair
    alignas(64) std::uint8_t y[kPiece];
    alignas(64) std::uint8_t u[kPiece / 2];
    alignas(64) std::uint8_t v[kPiece / 2];
    for (int row = 0; row < rows; ++row) {
        const std::uint8_t* src_row = src + static_cast<std::ptrdiff_t>(row) * src_stride;
        std::uint8_t* dst_row = dst + static_cast<std::ptrdiff_t>(row) * dst_stride;
        for (int x = 0; x < width; x += kPiece) {
            const int n = std::min(kPiece, width - x);
            const int chroma = (n + 1) / 2;
            const int unpacked = uyvy ? libyuv::UYVYToI422(src_row + 2 * x, 2 * n, y, n, u, chroma, v, chroma, n, 1)
                                      : libyuv::YUY2ToI422(src_row + 2 * x, 2 * n, y, n, u, chroma, v, chroma, n, 1);
            if (unpacked != 0 ||
                libyuv::I422ToRGB24Matrix(y, n, u, chroma, v, chroma, dst_row + 3 * x, 3 * n, k, n, 1) != 0) {
                return false;
            }
        }
    }
    return true;
}

}  // namespace

ColourConstantsPtr colour_constants_for(const GstVideoInfo& info) {
    ColourConstantsPtr constants(new ColourConstants{});
    fill_constants(constants->yuv, matrix_of(info));
    return constants;
}

bool convert_rows(Layout layout, const GstVideoFrame& in, GstVideoFrame& out, int first, int last,
                  const ColourConstants* constants) {
    using namespace libyuv;
    const int width = GST_VIDEO_FRAME_WIDTH(&in);
    const int rows = last - first;
    auto* dst = static_cast<std::uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&out, 0)) +
                static_cast<std::ptrdiff_t>(first) * GST_VIDEO_FRAME_PLANE_STRIDE(&out, 0);
    const int dst_stride = GST_VIDEO_FRAME_PLANE_STRIDE(&out, 0);
    const YuvConstants* k = constants != nullptr ? &constants->yuv : nullptr;
    const auto stride = [&](int plane) { return GST_VIDEO_FRAME_PLANE_STRIDE(&in, plane); };
    const auto comp_stride = [&](int component) { return GST_VIDEO_FRAME_COMP_STRIDE(&in, component); };
    if (k == nullptr && layout != Layout::BGRx && layout != Layout::RGBx && layout != Layout::RGB &&
        layout != Layout::BGR) {
        return false;
    }

    switch (layout) {
        case Layout::I420:
            return I420ToRGB24Matrix(component_row(in, GST_VIDEO_COMP_Y, first), comp_stride(GST_VIDEO_COMP_Y),
                                     component_row(in, GST_VIDEO_COMP_U, first / 2), comp_stride(GST_VIDEO_COMP_U),
                                     component_row(in, GST_VIDEO_COMP_V, first / 2), comp_stride(GST_VIDEO_COMP_V), dst,
                                     dst_stride, k, width, rows) == 0;
        case Layout::I422:
            return I422ToRGB24Matrix(component_row(in, GST_VIDEO_COMP_Y, first), comp_stride(GST_VIDEO_COMP_Y),
                                     component_row(in, GST_VIDEO_COMP_U, first), comp_stride(GST_VIDEO_COMP_U),
                                     component_row(in, GST_VIDEO_COMP_V, first), comp_stride(GST_VIDEO_COMP_V), dst,
                                     dst_stride, k, width, rows) == 0;
        case Layout::I444:
            return I444ToRGB24Matrix(component_row(in, GST_VIDEO_COMP_Y, first), comp_stride(GST_VIDEO_COMP_Y),
                                     component_row(in, GST_VIDEO_COMP_U, first), comp_stride(GST_VIDEO_COMP_U),
                                     component_row(in, GST_VIDEO_COMP_V, first), comp_stride(GST_VIDEO_COMP_V), dst,
                                     dst_stride, k, width, rows) == 0;
        case Layout::NV12:
            return NV12ToRGB24Matrix(plane_row(in, 0, first), stride(0), plane_row(in, 1, first / 2), stride(1), dst,
                                     dst_stride, k, width, rows) == 0;
        case Layout::NV21:
            return NV21ToRGB24Matrix(plane_row(in, 0, first), stride(0), plane_row(in, 1, first / 2), stride(1), dst,
                                     dst_stride, k, width, rows) == 0;
        case Layout::YUY2:
        case Layout::UYVY:
            return packed_422_rows(layout == Layout::UYVY, plane_row(in, 0, first), stride(0), dst, dst_stride, width,
                                   rows, k);
        case Layout::BGRx:
            return ARGBToRGB24(plane_row(in, 0, first), stride(0), dst, dst_stride, width, rows) == 0;
        case Layout::RGBx:
            return ARGBToRAW(plane_row(in, 0, first), stride(0), dst, dst_stride, width, rows) == 0;
        case Layout::RGB:
            return RAWToRGB24(plane_row(in, 0, first), stride(0), dst, dst_stride, width, rows) == 0;
        case Layout::BGR:
            CopyPlane(plane_row(in, 0, first), stride(0), dst, dst_stride, 3 * width, rows);
            return true;
    }
    return false;
}

}  // namespace vantle
