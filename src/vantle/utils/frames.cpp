// Frames: a decoded BGR sample becomes a read-only numpy array, either owning a copy of its
// pixels or over the sample's own mapped memory; frame rates are read from caps structures.
#include <cstdint>
#include <utility>

#include "bridge/native.h"
#include "gstreamer_parts.h"

using namespace bridge;

namespace vantle::gstreamer {

namespace {

Object framerate_from_structure(Call& c) {
    auto [valid, numerator, denominator] = unpack_triple(c.arg(0).method("get_fraction", {text("framerate")}));
    if (!valid.truthy()) {
        // No rate, or not a single fraction: a list or range of rates in caps not yet fixed. The
        // text's "normalize" is no function of the package; it means that the caller must fix
        // the caps to one rate before the call. The text stays word for word: callers match it.
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

// A read mapping of a sample's buffer, as the bindings make it. Their map info's `data` is a
// memoryview that does not own the memory: the unmap releases it, and nothing may point into
// the mapping afterwards.
struct Mapping {
    Object buffer;
    Object info;

    void unmap() const { buffer.method("unmap", {info}); }
};

// Unmaps after a failure and lets the failure go on; an error of the unmap itself replaces it.
[[noreturn]] void unmap_and_rethrow(const Mapping& mapping) {
    SavedError pending;
    mapping.unmap();
    pending.restore();
    throw_pending();
}

// A BGR sample's buffer mapped for reading, and a read-only array over the frame's pixels
// inside the mapping, valid until the unmap.
struct MappedFrame {
    Mapping mapping;
    Object view;
};

// The frame inside the mapped bytes `data`: rows placed as `layout` finds them, bounded by the
// buffer. No copy.
Object frame_view(Call& c, Handle buffer, Handle data, Handle width, Handle height) {
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
    if (offset == 0 && stride == w * 3) {
        // Rows follow each other: a plain array over the buffer.
        return np.attr("ndarray").call({}, {{"shape", shape}, {"dtype", np.attr("uint8")}, {"buffer", data}});
    }
    return np.attr("ndarray").call({}, {{"shape", shape},
                                        {"dtype", np.attr("uint8")},
                                        {"buffer", data},
                                        {"offset", integer(offset)},
                                        {"strides", tuple({integer(stride), integer(3), integer(1)})}});
}

// Checks the sample's caps, maps its buffer and finds the frame in it. Width and height are
// checked before the buffer is touched, the format after it is mapped; a failure after the
// map unmaps before it propagates. On return the caller owns the mapping.
MappedFrame map_frame(Call& c, Handle sample) {
    Object error_class = c.global("SampleConversionError");
    Object structure = sample.method("get_caps").method("get_structure", {integer(0)});
    auto [has_width, width] = unpack_pair(structure.method("get_int", {text("width")}));
    if (!has_width.truthy()) raise(error_class, "Sample caps structure does not have width");
    auto [has_height, height] = unpack_pair(structure.method("get_int", {text("height")}));
    if (!has_height.truthy()) raise(error_class, "Sample caps structure does not have height");
    Object buffer = sample.method("get_buffer");
    auto [mapped, info] = unpack_pair(buffer.method("map", {c.global("Gst").attr("MapFlags").attr("READ")}));
    if (!mapped.truthy()) raise(error_class, "Failed to map frame buffer");

    Mapping mapping{buffer, info};
    try {
        Object format = structure.method("get_string", {text("format")});
        if (!format.equals(text("BGR"))) {
            raise(error_class, fstr({"Received a frame with an unsupported color format: ", format}));
        }
        Object view = frame_view(c, buffer, info.attr("data"), width, height);
        return {std::move(mapping), std::move(view)};
    } catch (const PendingError&) {
        unmap_and_rethrow(mapping);
    }
}

Object sample_to_ndarray(Call& c) {
    MappedFrame frame = map_frame(c, c.arg(0));
    // The mapping is released before the function returns, so the array owns a copy of the
    // pixels: one copy, made by numpy.
    Object copy;
    try {
        copy = frame.view.method("copy");
        frame.view = Object();
        copy.attr("flags").set_attr("writeable", boolean(false));
    } catch (const PendingError&) {
        frame.view = Object();
        unmap_and_rethrow(frame.mapping);
    }
    frame.mapping.unmap();
    return copy;
}

// What a _BufferMapping holds: a buffer mapped for reading, released when the last array over
// the memory goes (numpy keeps the holder as the arrays' base), and the arrays' description.
class HeldMapping {
public:
    HeldMapping(Mapping mapping, Object interface) : mapping_(std::move(mapping)), interface_(std::move(interface)) {}
    HeldMapping(HeldMapping&&) noexcept = default;
    HeldMapping(const HeldMapping&) = delete;
    HeldMapping& operator=(const HeldMapping&) = delete;
    HeldMapping& operator=(HeldMapping&&) = delete;

    ~HeldMapping() {
        if (!mapping_.buffer) return;  // moved from
        // The last array may go while an exception propagates; it is kept aside meanwhile.
        SavedError pending;
        if (interpreter_finalizing()) {
            // The bindings' unmap relies on state that shutdown tears down, and crashes
            // there. The process is ending: the mapping and the buffer are left as they are.
            (void)mapping_.buffer.release();
            (void)mapping_.info.release();
        } else {
            try {
                mapping_.unmap();
            } catch (...) {
                // Nobody is left to receive the error; the interpreter reports it.
                if (PyErr_Occurred() != nullptr) PyErr_WriteUnraisable(mapping_.buffer.ptr());
            }
        }
        pending.restore();
    }

    Handle interface() const { return interface_; }

private:
    Mapping mapping_;
    Object interface_;
};

using BufferMappingType = NativeType<HeldMapping>;

PyObject* get_array_interface(PyObject* self, void*) {
    return Object::borrow(BufferMappingType::value(Handle(self)).interface()).release();
}

PyGetSetDef buffer_mapping_getset[] = {
    {"__array_interface__", get_array_interface, nullptr,
     "The mapped frame as numpy's array interface describes it (read-only data)", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

Object sample_as_ndarray(Call& c) {
    MappedFrame frame = map_frame(c, c.arg(0));
    Object holder;
    try {
        Object interface = frame.view.attr("__array_interface__");
        frame.view = Object();
        // Read-only whatever the mapping says; and since the holder exports no buffer of its
        // own, numpy refuses to make the arrays writeable again.
        Object data = interface.item(text("data"));
        set_item(interface, "data", tuple({data.item(0), boolean(true)}));
        holder = BufferMappingType::make(c.global("_BufferMapping"), HeldMapping(std::move(frame.mapping), interface));
    } catch (const PendingError&) {
        frame.view = Object();
        // Once moved into a holder, the mapping is the holder's to release.
        if (frame.mapping.buffer) unmap_and_rethrow(frame.mapping);
        throw;
    }
    return c.global("np").method("asarray", {holder});
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

const FunctionSpec sample_as_ndarray_spec{
    .name = "sample_as_ndarray",
    .params = {{"sample", "Gst.Sample"}},
    .body = sample_as_ndarray,
    .doc =
        "Converts the provided sample to a read-only Numpy ndarray over the sample's own memory,\n"
        "without a copy. The array keeps the sample's buffer mapped for reading until it and every\n"
        "view of it are gone; the buffer then goes back to whoever provided it (its pool). Nothing\n"
        "writes into a buffer while the array holds it, so the array never changes, and it cannot\n"
        "be made writeable.\n"
        "\n"
        ":param sample: The sample to convert, BGR\n"
        ":return: The Numpy ndarray, of shape (height, width, 3)\n"
        ":raises SampleConversionError: The sample could not be properly converted",
    .return_annotation = "np.ndarray",
};

Object make_buffer_mapping_type() {
    return BufferMappingType::create(
        "vantle.utils.gstreamer._BufferMapping",
        "Holds a GStreamer buffer mapped for reading while numpy arrays over its memory live.", buffer_mapping_getset);
}

}  // namespace vantle::gstreamer
