// Conversion of one band of rows of a raw video picture to packed BGR.
//
// libyuv names packed formats by the little-endian word: its "RGB24" is B, G, R in memory
// (GStreamer's BGR), "RAW" is R, G, B, "ARGB" is B, G, R, A and "ABGR" is R, G, B, A.
#include "convert.h"

#include <libyuv.h>
#include <libyuv/row.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

namespace vantle {

namespace {

// The coefficients of our own rows for samples in 16-bit words, in 20 fraction bits:
// channel = (word * y_gain + y_bias + chroma term) >> 20, where the chroma terms are
// ub * (u - chroma_zero) for blue, -(ug * (u - chroma_zero) + vg * (v - chroma_zero)) for green
// and vr * (v - chroma_zero) for red. With at most 16 significant bits every product and sum stays
// well inside 31 bits (about 2^30 at the extremes of the widest gamut), and the coefficients are
// exact to a thousandth of a level.
struct WideConstants {
    std::int32_t y_gain = 0;
    std::int32_t y_bias = 0;
    std::int32_t ub = 0;
    std::int32_t ug = 0;
    std::int32_t vg = 0;
    std::int32_t vr = 0;
    std::int32_t chroma_zero = 0;
    std::uint16_t mask = 0xffff;  // the significant bits: other bits of a word are ignored
};

constexpr int kWideFractionBits = 20;

}  // namespace

struct alignas(64) ColourConstants {  // libyuv's SIMD rows load these with aligned moves
    libyuv::YuvConstants yuv;
    WideConstants wide;
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

Picture picture_of(const GstVideoFrame& frame, const InputFormat& format) {
    Picture picture;
    picture.width = GST_VIDEO_FRAME_WIDTH(&frame);
    picture.height = GST_VIDEO_FRAME_HEIGHT(&frame);
    const bool planar = format.layout == Layout::I420 || format.layout == Layout::I422 ||
                        format.layout == Layout::I444 || format.layout == Layout::WidePlanar;
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
    GstVideoColorMatrix matrix;
    double kr;
    double kb;
    bool full_range;
};

Matrix matrix_of(const GstVideoInfo& info) {
    const bool grey = GST_VIDEO_INFO_IS_GRAY(&info);
    const auto range = info.colorimetry.range;
    Matrix m{info.colorimetry.matrix, 0.0, 0.0,
             range == GST_VIDEO_COLOR_RANGE_0_255 || (grey && range == GST_VIDEO_COLOR_RANGE_UNKNOWN)};
    if (!gst_video_color_matrix_get_Kr_Kb(m.matrix, &m.kr, &m.kb)) {
        m.matrix = GST_VIDEO_INFO_HEIGHT(&info) > 576 ? GST_VIDEO_COLOR_MATRIX_BT709 : GST_VIDEO_COLOR_MATRIX_BT601;
        gst_video_color_matrix_get_Kr_Kb(m.matrix, &m.kr, &m.kb);
    }
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

void fill_wide(WideConstants& k, const Matrix& m, const InputFormat& format) {
    const Scales s = scales_of(m, format.depth);
    const double kg = 1.0 - m.kr - m.kb;
    const double one = std::ldexp(1.0, kWideFractionBits);
    const double word = std::ldexp(1.0, -format.shift);  // the value of one step of a stored word
    const auto fixed = [](double value) { return static_cast<std::int32_t>(std::lround(value)); };
    const double y_gain = 255.0 / s.y_scale * one;
    const double c_gain = 255.0 / s.c_scale * one * word;
    k.y_gain = fixed(y_gain * word);
    k.y_bias = fixed(-s.y_offset * y_gain) + (1 << (kWideFractionBits - 1));  // and half a level for rounding
    k.ub = fixed(2.0 * (1.0 - m.kb) * c_gain);
    k.ug = fixed(2.0 * m.kb * (1.0 - m.kb) / kg * c_gain);
    k.vg = fixed(2.0 * m.kr * (1.0 - m.kr) / kg * c_gain);
    k.vr = fixed(2.0 * (1.0 - m.kr) * c_gain);
    k.chroma_zero = fixed(s.c_offset / word);
    k.mask = static_cast<std::uint16_t>(format.shift == 0 ? (1u << format.depth) - 1u : 0xffffu);
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

// Rows are converted in pieces small enough for scratch on the stack to stay in the L1 cache.
constexpr int kPiece = 1024;  // even, so that pieces start on a chroma sample

// ---- Our rows for 16-bit words ---------------------------------------------------------------
// Plain loops that the compiler vectorises, built for AVX2 and for the baseline instruction set
// (the loader picks one for the processor). libyuv's own 10-bit rows are not used: they cut
// chroma to 8 bits, which costs up to 3 levels (0.6 on average) against the exact equations.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define VANTLE_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define VANTLE_VECTOR_CLONES
#endif

struct ChromaTerms {
    alignas(64) std::int32_t b[kPiece];
    alignas(64) std::int32_t g[kPiece];
    alignas(64) std::int32_t r[kPiece];
};

// Chroma terms for `n` chroma samples (u[i * step], v[i * step]), each written `repeat` times.
template <int kStep, int kRepeat>
[[gnu::always_inline]] inline void chroma_terms(const std::uint16_t* __restrict u, const std::uint16_t* __restrict v,
                                                int n, const WideConstants& k, ChromaTerms& out) {
    const std::int32_t ub = k.ub, ug = k.ug, vg = k.vg, vr = k.vr, zero = k.chroma_zero;
    const std::uint16_t mask = k.mask;
    for (int i = 0; i < n; ++i) {
        const std::int32_t cb = static_cast<std::int32_t>(u[i * kStep] & mask) - zero;
        const std::int32_t cr = static_cast<std::int32_t>(v[i * kStep] & mask) - zero;
        for (int j = 0; j < kRepeat; ++j) {
            out.b[i * kRepeat + j] = ub * cb;
            out.g[i * kRepeat + j] = -(ug * cb + vg * cr);
            out.r[i * kRepeat + j] = vr * cr;
        }
    }
}

VANTLE_VECTOR_CLONES void planar_terms(const std::uint16_t* u, const std::uint16_t* v, int n, const WideConstants& k,
                                       ChromaTerms& out) {
    chroma_terms<1, 1>(u, v, n, k, out);
}
VANTLE_VECTOR_CLONES void planar_terms_doubled(const std::uint16_t* u, const std::uint16_t* v, int n,
                                               const WideConstants& k, ChromaTerms& out) {
    chroma_terms<1, 2>(u, v, n, k, out);
}
VANTLE_VECTOR_CLONES void interleaved_terms_doubled(const std::uint16_t* uv, int n, const WideConstants& k,
                                                    ChromaTerms& out) {
    chroma_terms<2, 2>(uv, uv + 1, n, k, out);
}

inline std::uint32_t level(std::int32_t value) {
    return static_cast<std::uint32_t>(std::clamp(value >> kWideFractionBits, 0, 255));
}

// Pixels as B, G, R, A bytes (libyuv's ARGB), which libyuv then packs to BGR.
VANTLE_VECTOR_CLONES void wide_pixels(const std::uint16_t* __restrict y, int n, const WideConstants& k,
                                      const ChromaTerms& terms, std::uint32_t* __restrict argb) {
    const std::int32_t gain = k.y_gain, bias = k.y_bias;
    const std::uint16_t mask = k.mask;
    for (int i = 0; i < n; ++i) {
        const std::int32_t luma = static_cast<std::int32_t>(y[i] & mask) * gain + bias;
        argb[i] =
            level(luma + terms.b[i]) | level(luma + terms.g[i]) << 8 | level(luma + terms.r[i]) << 16 | 0xff000000u;
    }
}

VANTLE_VECTOR_CLONES void wide_grey_pixels(const std::uint16_t* __restrict y, int n, const WideConstants& k,
                                           std::uint32_t* __restrict argb) {
    const std::int32_t gain = k.y_gain, bias = k.y_bias;
    const std::uint16_t mask = k.mask;
    for (int i = 0; i < n; ++i) {
        argb[i] = level(static_cast<std::int32_t>(y[i] & mask) * gain + bias) * 0x010101u | 0xff000000u;
    }
}

const std::uint16_t* words(const std::uint8_t* row) {
    return reinterpret_cast<const std::uint16_t*>(row);
}

void wide_rows(const InputFormat& format, const Picture& in, std::uint8_t* out, int out_stride, int first, int last,
               const WideConstants& k) {
    alignas(64) std::uint32_t argb[kPiece];
    ChromaTerms terms;
    for (int row = first; row < last; ++row) {
        const std::uint16_t* y = words(in.row(0, row));
        const int chroma_row = row >> format.sub_y;
        std::uint8_t* dst = out + static_cast<std::ptrdiff_t>(row - first) * out_stride;
        for (int x = 0; x < in.width; x += kPiece) {
            const int n = std::min(kPiece, in.width - x);
            const int cx = x >> format.sub_x;
            const int cn = (n + format.sub_x) >> format.sub_x;
            switch (format.layout) {
                case Layout::WideGray:
                    wide_grey_pixels(y + x, n, k, argb);
                    break;
                case Layout::WideSemi:
                    interleaved_terms_doubled(words(in.row(1, chroma_row)) + 2 * cx, cn, k, terms);
                    wide_pixels(y + x, n, k, terms, argb);
                    break;
                default: {
                    const std::uint16_t* u = words(in.row(1, chroma_row)) + cx;
                    const std::uint16_t* v = words(in.row(2, chroma_row)) + cx;
                    if (format.sub_x != 0) {
                        planar_terms_doubled(u, v, cn, k, terms);
                    } else {
                        planar_terms(u, v, cn, k, terms);
                    }
                    wide_pixels(y + x, n, k, terms, argb);
                    break;
                }
            }
            libyuv::ARGBToRGB24(reinterpret_cast<const std::uint8_t*>(argb), 4 * n, dst + 3 * x, 3 * n, n, 1);
        }
    }
}

// ---- 8-bit layouts without a direct libyuv routine -------------------------------------------
// Each piece of a row is unpacked into planar scratch (or B, G, R, A) and handed to a routine
// that libyuv has.

// YUY2 and UYVY: libyuv has no matrix-aware YUY2/UYVY to RGB, so unpack to planar 4:2:2.
// NV16 and NV24: de-interleave the chroma and use the planar 4:2:2 and 4:4:4 routines.
// Grey: libyuv's grey row (which takes the same coefficients) to B, G, R, A, then pack.
bool unpacked_rows(const InputFormat& format, const Picture& in, std::uint8_t* out, int out_stride, int first, int last,
                   const libyuv::YuvConstants* k) {
    alignas(64) std::uint8_t y[kPiece];
    alignas(64) std::uint8_t u[kPiece];
    alignas(64) std::uint8_t v[kPiece];
    alignas(64) std::uint8_t argb[4 * kPiece];
    for (int row = first; row < last; ++row) {
        const std::uint8_t* src = in.row(0, row);
        std::uint8_t* dst = out + static_cast<std::ptrdiff_t>(row - first) * out_stride;
        for (int x = 0; x < in.width; x += kPiece) {
            const int n = std::min(kPiece, in.width - x);
            const int cn = (n + format.sub_x) >> format.sub_x;
            int status = 0;
            switch (format.layout) {
                case Layout::YUY2:
                    status = libyuv::YUY2ToI422(src + 2 * x, 2 * n, y, n, u, cn, v, cn, n, 1);
                    if (status == 0)
                        status = libyuv::I422ToRGB24Matrix(y, n, u, cn, v, cn, dst + 3 * x, 3 * n, k, n, 1);
                    break;
                case Layout::UYVY:
                    status = libyuv::UYVYToI422(src + 2 * x, 2 * n, y, n, u, cn, v, cn, n, 1);
                    if (status == 0)
                        status = libyuv::I422ToRGB24Matrix(y, n, u, cn, v, cn, dst + 3 * x, 3 * n, k, n, 1);
                    break;
                case Layout::NV16:
                case Layout::NV24: {
                    libyuv::SplitUVPlane(in.row(1, row) + 2 * (x >> format.sub_x), 2 * cn, u, cn, v, cn, cn, 1);
                    const auto convert =
                        format.layout == Layout::NV16 ? libyuv::I422ToRGB24Matrix : libyuv::I444ToRGB24Matrix;
                    status = convert(src + x, n, u, cn, v, cn, dst + 3 * x, 3 * n, k, n, 1);
                    break;
                }
                case Layout::Gray:
                    status = libyuv::I400ToARGBMatrix(src + x, n, argb, 4 * n, k, n, 1);
                    if (status == 0) status = libyuv::ARGBToRGB24(argb, 4 * n, dst + 3 * x, 3 * n, n, 1);
                    break;
                default:
                    return false;
            }
            if (status != 0) return false;
        }
    }
    return true;
}

}  // namespace

ColourConstantsPtr colour_constants_for(const GstVideoInfo& info, const InputFormat& format) {
    ColourConstantsPtr constants(new ColourConstants{});
    const Matrix matrix = matrix_of(info);
    fill_constants(constants->yuv, matrix);
    fill_wide(constants->wide, matrix, format);
    return constants;
}

bool convert_rows(const InputFormat& format, const Picture& in, std::uint8_t* out, int out_stride, int first, int last,
                  const ColourConstants& constants) {
    using namespace libyuv;
    const int width = in.width;
    const int rows = last - first;
    std::uint8_t* dst = out + static_cast<std::ptrdiff_t>(first) * out_stride;
    const YuvConstants* k = &constants.yuv;
    const int chroma_first = first >> format.sub_y;
    const auto y_row = [&] { return in.row(0, first); };
    const auto u_row = [&] { return in.row(1, chroma_first); };
    const auto v_row = [&] { return in.row(2, chroma_first); };

    switch (format.layout) {
        case Layout::I420:
            return I420ToRGB24Matrix(y_row(), in.stride[0], u_row(), in.stride[1], v_row(), in.stride[2], dst,
                                     out_stride, k, width, rows) == 0;
        case Layout::I422:
            return I422ToRGB24Matrix(y_row(), in.stride[0], u_row(), in.stride[1], v_row(), in.stride[2], dst,
                                     out_stride, k, width, rows) == 0;
        case Layout::I444:
            return I444ToRGB24Matrix(y_row(), in.stride[0], u_row(), in.stride[1], v_row(), in.stride[2], dst,
                                     out_stride, k, width, rows) == 0;
        case Layout::NV12:
            return NV12ToRGB24Matrix(y_row(), in.stride[0], u_row(), in.stride[1], dst, out_stride, k, width, rows) ==
                   0;
        case Layout::NV21:
            return NV21ToRGB24Matrix(y_row(), in.stride[0], u_row(), in.stride[1], dst, out_stride, k, width, rows) ==
                   0;
        case Layout::NV16:
        case Layout::NV24:
        case Layout::YUY2:
        case Layout::UYVY:
        case Layout::Gray:
            return unpacked_rows(format, in, dst, out_stride, first, last, k);
        case Layout::BGRx:
            return ARGBToRGB24(y_row(), in.stride[0], dst, out_stride, width, rows) == 0;
        case Layout::RGBx:
            return ARGBToRAW(y_row(), in.stride[0], dst, out_stride, width, rows) == 0;
        case Layout::RGB:
            return RAWToRGB24(y_row(), in.stride[0], dst, out_stride, width, rows) == 0;
        case Layout::BGR:
            CopyPlane(y_row(), in.stride[0], dst, out_stride, 3 * width, rows);
            return true;
        case Layout::WidePlanar:
        case Layout::WideSemi:
        case Layout::WideGray:
            wide_rows(format, in, dst, out_stride, first, last, constants.wide);
            return true;
    }
    return false;
}

}  // namespace vantle
