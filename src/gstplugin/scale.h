// Resizing of raw pictures in their own format, before conversion: area averaging along an axis
// that shrinks, linear interpolation along one that grows.
#pragma once

#include <cstdint>
#include <vector>

#include "convert.h"

namespace vantle {

// The weights of one axis: output sample i is the sum over t < taps of
// weights[i * taps + t] * input[first[i] + t].
struct Axis {
    Axis() = default;
    Axis(int in, int out);

    int taps = 0;
    bool uniform = false;  // an integer ratio of shrinking (or none): first[i] = i * taps, weights 1 / taps
    std::vector<int> first;
    std::vector<float> weights;
};

// Resizes pictures of one format and size to another size, into scratch memory that it keeps.
// The scaled picture has the input's layout, except that packed 4:2:2 (YUY2, UYVY) becomes
// planar 4:2:2: those are unpacked at full size first, since their luma and chroma interleave.
// For grey output, a YUV picture is scaled as its luma plane alone (a grey layout).
class PictureScaler {
public:
    // Throws std::bad_alloc when the scratch memory cannot be had.
    PictureScaler(const InputFormat& format, int in_width, int in_height, int out_width, int out_height,
                  bool luma_only = false);

    PictureScaler(const PictureScaler&) = delete;
    PictureScaler& operator=(const PictureScaler&) = delete;

    const InputFormat& output_format() const { return output_format_; }
    // The scaled picture, in the scratch memory.
    const Picture& output() const { return output_; }

    // Packed input is unpacked by rows of the input picture, all of them before any scaling.
    bool needs_unpacking() const { return unpacked_.width != 0; }
    bool unpack_rows(const Picture& in, int first, int last) const;

    // Scales rows [first, last) of the output picture from `in` into `out` (the scratch picture, or
    // any picture of the same layout and output size); `first` must be a multiple of the output
    // format's row alignment. `accumulator` is the caller's, one per thread.
    void scale_rows(const Picture& in, const Picture& out, int first, int last, std::vector<float>& accumulator) const;

private:
    struct Plane {
        int channels = 1;     // samples per pixel, interleaved
        int sample_size = 1;  // bytes per sample: 1, or 2 for 16-bit words
        int sub_x = 0;
        int sub_y = 0;
        Axis x;
        Axis y;
    };

    InputFormat input_format_;
    InputFormat output_format_;
    std::vector<Plane> planes_;
    std::vector<std::uint8_t> scratch_;
    Picture output_;
    Picture unpacked_;  // the full-size planar copy of packed input
};

}  // namespace vantle
