// Resizing of raw pictures in their own format, before conversion.
//
// Each plane is resized on its own (chroma at its own resolution) in two passes per output row: a
// vertical pass sums the weighted input rows into a row of floats, a horizontal pass sums the
// weighted samples of that row. Shrinking averages over the exact area that an output sample
// covers (fractions of input samples included), as OpenCV's INTER_AREA does; growing interpolates
// linearly between sample centres. libyuv's scalers cannot stand in for this: their box filter
// truncates every average (a white picture shrunk by 3 comes out one level darker) and takes
// whole input samples only, and between 1x and 2x they sample bilinearly, up to 13 levels away
// from the area average at sharp edges.
#include "scale.h"

#include <libyuv.h>

#include <algorithm>
#include <cstddef>
#include <numeric>

namespace vantle {

Axis::Axis(int in, int out) : first(static_cast<std::size_t>(out)) {
    std::vector<std::vector<std::pair<int, double>>> contributions(static_cast<std::size_t>(out));
    if (out < in) {
        // Output sample o covers [o * in / out, (o + 1) * in / out) of the input, in units of 1 / out.
        for (int o = 0; o < out; ++o) {
            const std::int64_t begin = static_cast<std::int64_t>(o) * in;
            const std::int64_t end = begin + in;
            for (std::int64_t i = begin / out; i * out < end; ++i) {
                const std::int64_t overlap = std::min(end, (i + 1) * out) - std::max(begin, i * out);
                if (overlap > 0) contributions[o].emplace_back(static_cast<int>(i), static_cast<double>(overlap) / in);
            }
        }
    } else {
        // Sample centres line up: output o sits at input position (o + 0.5) * in / out - 0.5.
        for (int o = 0; o < out; ++o) {
            const double position = std::clamp((o + 0.5) * in / out - 0.5, 0.0, static_cast<double>(in - 1));
            const int left = std::min(static_cast<int>(position), in - 1);
            const double fraction = position - left;
            contributions[o].emplace_back(left, 1.0 - fraction);
            if (fraction > 0.0) contributions[o].emplace_back(left + 1, fraction);
        }
    }
    for (const auto& c : contributions) taps = std::max(taps, static_cast<int>(c.size()));
    uniform = in % out == 0;
    weights.assign(static_cast<std::size_t>(out) * taps, 0.0f);
    for (int o = 0; o < out; ++o) {
        // Every output reads `taps` inputs from first[o], within the input: zero weights pad.
        const int start = std::min(contributions[o].front().first, in - taps);
        first[o] = start;
        for (const auto& [index, weight] : contributions[o]) {
            weights[static_cast<std::size_t>(o) * taps + (index - start)] = static_cast<float>(weight);
        }
    }
}

namespace {

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define VANTLE_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define VANTLE_VECTOR_CLONES
#endif

template <typename T>
[[gnu::always_inline]] inline void add_row(const T* __restrict src, float weight, float* __restrict sum, int n,
                                           bool start) {
    if (start) {
        for (int i = 0; i < n; ++i) sum[i] = weight * static_cast<float>(src[i]);
    } else {
        for (int i = 0; i < n; ++i) sum[i] += weight * static_cast<float>(src[i]);
    }
}

VANTLE_VECTOR_CLONES void add_row8(const std::uint8_t* src, float weight, float* sum, int n, bool start) {
    add_row(src, weight, sum, n, start);
}
VANTLE_VECTOR_CLONES void add_row16(const std::uint16_t* src, float weight, float* sum, int n, bool start) {
    add_row(src, weight, sum, n, start);
}

// The horizontal pass over one row of sums, into one output row. kTaps is the number of taps
// when known at compile time (the common ratios up to 4x), 0 when it is read from the axis.
template <typename T, int kChannels, int kTaps>
[[gnu::always_inline]] inline void resample_row(const float* __restrict sum, const Axis& axis, int out_width,
                                                T* __restrict dst) {
    constexpr float kMax = static_cast<float>(T(~T(0)));
    const int taps = kTaps != 0 ? kTaps : axis.taps;
    const float* weights = axis.weights.data();
    const int* first = axis.first.data();
    for (int o = 0; o < out_width; ++o, weights += taps) {
        const float* in = sum + static_cast<std::ptrdiff_t>(first[o]) * kChannels;
        for (int c = 0; c < kChannels; ++c) {
            float value = 0.0f;
            for (int t = 0; t < taps; ++t) value += weights[t] * in[t * kChannels + c];
            dst[o * kChannels + c] = static_cast<T>(std::min(kMax, value + 0.5f));  // weights >= 0, so value >= 0
        }
    }
}

// The same for an integer ratio: a plain sum over consecutive inputs, which the compiler
// vectorises (1920 to 640 columns, for instance).
template <typename T, int kChannels, int kTaps>
[[gnu::always_inline]] inline void resample_row_uniform(const float* __restrict sum, int out_width, T* __restrict dst) {
    constexpr float kMax = static_cast<float>(T(~T(0)));
    constexpr float kScale = 1.0f / kTaps;
    for (int o = 0; o < out_width; ++o) {
        for (int c = 0; c < kChannels; ++c) {
            float value = 0.0f;
            for (int t = 0; t < kTaps; ++t) value += sum[(o * kTaps + t) * kChannels + c];
            dst[o * kChannels + c] = static_cast<T>(std::min(kMax, value * kScale + 0.5f));
        }
    }
}

template <typename T, int kChannels>
[[gnu::always_inline]] inline void resample_row(const float* sum, const Axis& axis, int out_width, T* dst) {
    if (axis.uniform) {
        switch (axis.taps) {
            case 1:
                return resample_row_uniform<T, kChannels, 1>(sum, out_width, dst);
            case 2:
                return resample_row_uniform<T, kChannels, 2>(sum, out_width, dst);
            case 3:
                return resample_row_uniform<T, kChannels, 3>(sum, out_width, dst);
            case 4:
                return resample_row_uniform<T, kChannels, 4>(sum, out_width, dst);
            default:
                break;
        }
    }
    switch (axis.taps) {
        case 1:
            return resample_row<T, kChannels, 1>(sum, axis, out_width, dst);
        case 2:
            return resample_row<T, kChannels, 2>(sum, axis, out_width, dst);
        case 3:
            return resample_row<T, kChannels, 3>(sum, axis, out_width, dst);
        case 4:
            return resample_row<T, kChannels, 4>(sum, axis, out_width, dst);
        case 5:
            return resample_row<T, kChannels, 5>(sum, axis, out_width, dst);
        default:
            return resample_row<T, kChannels, 0>(sum, axis, out_width, dst);
    }
}

template <typename T>
[[gnu::always_inline]] inline void resample_row(const float* sum, const Axis& axis, int channels, int out_width,
                                                T* dst) {
    switch (channels) {
        case 1:
            return resample_row<T, 1>(sum, axis, out_width, dst);
        case 2:
            return resample_row<T, 2>(sum, axis, out_width, dst);
        case 3:
            return resample_row<T, 3>(sum, axis, out_width, dst);
        default:
            return resample_row<T, 4>(sum, axis, out_width, dst);
    }
}

VANTLE_VECTOR_CLONES void resample_row8(const float* sum, const Axis& axis, int channels, int out_width,
                                        std::uint8_t* dst) {
    resample_row(sum, axis, channels, out_width, dst);
}
VANTLE_VECTOR_CLONES void resample_row16(const float* sum, const Axis& axis, int channels, int out_width,
                                         std::uint16_t* dst) {
    resample_row(sum, axis, channels, out_width, dst);
}

int chroma_size(int size, int sub) {
    return (size + (1 << sub) - 1) >> sub;
}

std::size_t aligned(std::size_t bytes) {
    return (bytes + 63) / 64 * 64;
}

}  // namespace

PictureScaler::PictureScaler(const InputFormat& format, int in_width, int in_height, int out_width, int out_height,
                             bool luma_only)
    : input_format_(format), output_format_(format) {
    const bool packed = format.layout == Layout::YUY2 || format.layout == Layout::UYVY;
    if (luma_only && !is_rgb(format.layout)) {
        output_format_ = {is_wide(format.layout) ? Layout::WideGray : Layout::Gray, 0, 0, format.depth, format.shift};
    } else if (packed) {
        output_format_.layout = Layout::I422;
    }
    const int sample_size = is_wide(format.layout) ? 2 : 1;
    const auto add_plane = [&](int channels, bool chroma) {
        Plane plane;
        plane.channels = channels;
        plane.sample_size = sample_size;
        plane.sub_x = chroma ? format.sub_x : 0;
        plane.sub_y = chroma ? format.sub_y : 0;
        plane.x = Axis(chroma_size(in_width, plane.sub_x), chroma_size(out_width, plane.sub_x));
        plane.y = Axis(chroma_size(in_height, plane.sub_y), chroma_size(out_height, plane.sub_y));
        planes_.push_back(std::move(plane));
    };
    switch (output_format_.layout) {
        case Layout::I420:
        case Layout::I422:
        case Layout::I444:
        case Layout::WidePlanar:
            add_plane(1, false);
            add_plane(1, true);
            add_plane(1, true);
            break;
        case Layout::NV12:
        case Layout::NV21:
        case Layout::NV16:
        case Layout::NV24:
        case Layout::WideSemi:
            add_plane(1, false);
            add_plane(2, true);
            break;
        case Layout::BGRx:
        case Layout::RGBx:
            add_plane(4, false);
            break;
        case Layout::RGB:
        case Layout::BGR:
            add_plane(3, false);
            break;
        default:  // grey
            add_plane(1, false);
            break;
    }

    // Scratch: the scaled planes, then (for packed input) the unpacked full-size planes.
    const auto row_bytes = [&](const Plane& p, int width) {
        return aligned(static_cast<std::size_t>(chroma_size(width, p.sub_x)) * p.channels * p.sample_size);
    };
    std::size_t total = 0;
    for (const auto& p : planes_) total += row_bytes(p, out_width) * chroma_size(out_height, p.sub_y);
    if (packed) {
        for (const auto& p : planes_) total += row_bytes(p, in_width) * chroma_size(in_height, p.sub_y);
    }
    scratch_.resize(total + 64);
    auto* cursor = reinterpret_cast<std::uint8_t*>(aligned(reinterpret_cast<std::uintptr_t>(scratch_.data())));
    const auto lay_out = [&](Picture& picture, int width, int height) {
        picture.width = width;
        picture.height = height;
        for (std::size_t i = 0; i < planes_.size(); ++i) {
            picture.data[i] = cursor;
            picture.stride[i] = static_cast<int>(row_bytes(planes_[i], width));
            cursor += static_cast<std::size_t>(picture.stride[i]) * chroma_size(height, planes_[i].sub_y);
        }
    };
    lay_out(output_, out_width, out_height);
    if (packed) lay_out(unpacked_, in_width, in_height);
}

bool PictureScaler::unpack_rows(const Picture& in, int first, int last) const {
    const Picture& u = unpacked_;
    const bool uyvy = input_format_.layout == Layout::UYVY;
    if (planes_.size() == 1) {  // the luma alone
        return (uyvy ? libyuv::UYVYToY : libyuv::YUY2ToY)(in.row(0, first), in.stride[0], u.row(0, first), u.stride[0],
                                                          in.width, last - first) == 0;
    }
    const auto unpack = uyvy ? libyuv::UYVYToI422 : libyuv::YUY2ToI422;
    return unpack(in.row(0, first), in.stride[0], u.row(0, first), u.stride[0], u.row(1, first), u.stride[1],
                  u.row(2, first), u.stride[2], in.width, last - first) == 0;
}

void PictureScaler::scale_rows(const Picture& in_picture, const Picture& out, int first, int last,
                               std::vector<float>& accumulator) const {
    const Picture& in = needs_unpacking() ? unpacked_ : in_picture;
    for (std::size_t p = 0; p < planes_.size(); ++p) {
        const Plane& plane = planes_[p];
        const int in_samples = chroma_size(in.width, plane.sub_x) * plane.channels;
        const int out_width = chroma_size(out.width, plane.sub_x);
        const int row_end = std::min(chroma_size(last, plane.sub_y), chroma_size(out.height, plane.sub_y));
        if (accumulator.size() < static_cast<std::size_t>(in_samples)) accumulator.resize(in_samples);
        float* sum = accumulator.data();
        for (int row = first >> plane.sub_y; row < row_end; ++row) {
            const float* weights = &plane.y.weights[static_cast<std::size_t>(row) * plane.y.taps];
            bool start = true;
            for (int t = 0; t < plane.y.taps; ++t) {
                if (weights[t] == 0.0f) continue;
                const std::uint8_t* src = in.row(static_cast<int>(p), plane.y.first[row] + t);
                if (plane.sample_size == 2) {
                    add_row16(reinterpret_cast<const std::uint16_t*>(src), weights[t], sum, in_samples, start);
                } else {
                    add_row8(src, weights[t], sum, in_samples, start);
                }
                start = false;
            }
            std::uint8_t* dst = out.row(static_cast<int>(p), row);
            if (plane.sample_size == 2) {
                resample_row16(sum, plane.x, plane.channels, out_width, reinterpret_cast<std::uint16_t*>(dst));
            } else {
                resample_row8(sum, plane.x, plane.channels, out_width, dst);
            }
        }
    }
}

}  // namespace vantle
