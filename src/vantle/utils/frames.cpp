// Frames: a decoded BGR sample becomes a read-only numpy array that owns its pixels;
// frame rates are read from caps structures.
#include <cstdint>

#include "gstreamer_parts.h"

using namespace bridge;

namespace vantle::gstreamer {

namespace {

Object framerate_from_structure(Call& c) {
    auto [valid, numerator, denominator] = unpack_triple(c.arg(0).method("get_fraction", {text("framerate")}));
    if (!valid.truthy()) {
        raise(Handle(PyExc_RuntimeError),
              "Unsupported framerate format. This should have been taken care of by normalize");
    }
    return Object::steal(PyNumber_TrueDivide(numerator.ptr(), denominator.ptr()));
}

// True if `rows` rows of `stride` bytes (negative: bottom-up), each `row_bytes` long,
// the first starting at `offset`, lie within `size` bytes, one after another. Overflow
// counts as "does not fit"; so do overlapping rows (a stride shorter than a row, which only
// a broken video meta gives), whose frame would not be bounded by its buffer: with a
// stride of 0, caps of any height would make a frame of that many copies of one row.
bool fits(int64_t offset, int64_t rows, int64_t stride, int64_t row_bytes, int64_t size) {
    if (rows <= 0 || row_bytes <= 0) return true;
    if (rows > 1 && stride < row_bytes && stride > -row_bytes) return false;
    int64_t span = 0, first = 0, end = 0;
    if (__builtin_mul_overflow(rows - 1, stride, &span)) return false;
    if (__builtin_add_overflow(offset, span < 0 ? span : 0, &first)) return false;
    if (__builtin_add_overflow(offset, span > 0 ? span : 0, &end) || __builtin_add_overflow(end, row_bytes, &end)) {
        return false;
    }
    return first >= 0 && end <= size;
}

// A plane offset of a video meta (a gsize). One beyond what int64 holds cannot lie within
// the buffer: it is kept at the largest value, which the bounds check then refuses.
int64_t meta_offset(Handle value) {
    int overflow = 0;
    const long long offset = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (offset == -1 && PyErr_Occurred()) throw_pending();
    if (overflow != 0) return overflow > 0 ? INT64_MAX : INT64_MIN;
    return offset;
}

// The byte offset and row stride of the frame in the buffer. GStreamer pads each
// BGR row to a multiple of 4 bytes unless a video meta says otherwise; a buffer
// that is too small for padded rows but holds tightly packed ones is read as packed.
std::pair<int64_t, int64_t> layout(Handle buffer, int64_t width, int64_t height, int64_t size) {
    // An empty or negative size has no rows to place; numpy judges the shape.
    if (width <= 0 || height <= 0) return {0, width * 3};
    Object meta = import("gi.repository.GstVideo").method("buffer_get_video_meta", {buffer});
    if (!meta.is_none()) {
        return {meta_offset(meta.attr("offset").item(0)), to_integer(meta.attr("stride").item(0))};
    }
    const int64_t row_bytes = width * 3;
    const int64_t padded = (row_bytes + 3) & ~int64_t{3};
    if (padded != row_bytes && !fits(0, height, padded, row_bytes, size) &&
        fits(0, height, row_bytes, row_bytes, size)) {
        return {0, row_bytes};
    }
    return {0, padded};
}

// Copies the frame out of the mapped memory: the mapping is released when the
// function returns, so the array must own its pixels. One copy, made by numpy.
Object copy_frame(Call& c, Handle buffer, Handle data, Handle width, Handle height) {
    const int64_t w = to_integer(width), h = to_integer(height);
    const int64_t size = PyObject_Length(data.ptr());
    if (size < 0) throw_pending();
    auto [offset, stride] = layout(buffer, w, h, size);
    // Bounded here rather than left to numpy, which neither bounds a strided view over an
    // empty buffer nor refuses an empty mapping whose pointer is NULL (it hands out fresh,
    // uninitialised memory instead). The error is the one numpy gives for a short buffer.
    if (!fits(offset, h, stride, w * 3, size)) {
        raise(Handle(PyExc_TypeError), "buffer is too small for requested array");
    }
    Object np = c.global("np");
    Object shape = tuple({height, width, integer(3)});
    Object view;
    if (offset == 0 && stride == w * 3) {
        // Rows follow each other: a plain array over the buffer.
        view = np.attr("ndarray").call({}, {{"shape", shape}, {"dtype", np.attr("uint8")}, {"buffer", data}});
    } else {
        view = np.attr("ndarray").call({}, {{"shape", shape},
                                            {"dtype", np.attr("uint8")},
                                            {"buffer", data},
                                            {"offset", integer(offset)},
                                            {"strides", tuple({integer(stride), integer(3), integer(1)})}});
    }
    return view.method("copy");
}

Object sample_to_ndarray(Call& c) {
    Handle sample = c.arg(0);
    Object error_class = c.global("SampleConversionError");
    Object structure = sample.method("get_caps").method("get_structure", {integer(0)});
    auto [has_width, width] = unpack_pair(structure.method("get_int", {text("width")}));
    if (!has_width.truthy()) raise(error_class, "Sample caps structure does not have width");
    auto [has_height, height] = unpack_pair(structure.method("get_int", {text("height")}));
    if (!has_height.truthy()) raise(error_class, "Sample caps structure does not have height");
    Object buffer = sample.method("get_buffer");
    auto [mapped, info] = unpack_pair(buffer.method("map", {c.global("Gst").attr("MapFlags").attr("READ")}));
    if (!mapped.truthy()) raise(error_class, "Failed to map frame buffer");

    // From here every way out unmaps the buffer exactly once; an error of the unmap
    // itself replaces whatever was pending.
    Object frame;
    try {
        Object format = structure.method("get_string", {text("format")});
        if (!format.equals(text("BGR"))) {
            raise(error_class, fstr({"Received a frame with an unsupported color format: ", format}));
        }
        frame = copy_frame(c, buffer, info.attr("data"), width, height);
        frame.attr("flags").set_attr("writeable", boolean(false));
    } catch (const PendingError&) {
        SavedError pending;
        buffer.method("unmap", {info});
        pending.restore();
        throw;
    }
    buffer.method("unmap", {info});
    return frame;
}

}  // namespace

const FunctionSpec framerate_from_structure_spec{
    .name = "framerate_from_structure",
    .params = {{"structure"}},
    .body = framerate_from_structure,
};

const char* const sample_conversion_error_doc =
    "Raised when a GStreamer sample can't be properly converted to a Numpy ndarray";

const FunctionSpec sample_to_ndarray_spec{
    .name = "sample_to_ndarray",
    .params = {{"sample", "Gst.Sample"}},
    .body = sample_to_ndarray,
    .doc =
        "Converts the provided sample to a Numpy ndarray.\n"
        "\n"
        ":param sample: The sample to convert and emit\n"
        ":return: The Numpy ndarray\n"
        ":raises SampleConversionError: The sample could not be properly converted",
    .return_annotation = "np.ndarray",
};

}  // namespace vantle::gstreamer
