// Frames as plain data: the Frame type, and the read-only numpy array over a sample's own memory
// (the buffer stays mapped, and out of its pool, until the array and its views are gone).
#include <gst/video/video.h>

#include <cmath>
#include <cstddef>
#include <ctime>

#include "engine.h"
// After Python.h (through engine.h), which it needs.
#include <structmember.h>

namespace vantle::engine {

using bridge::check;
using bridge::PendingError;
using bridge::throw_pending;

double monotonic_seconds() noexcept {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double wall_seconds() noexcept {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

namespace {

// ----- Frame -----

struct FrameObject {
    PyObject_HEAD PyObject* image;
    PyObject* pts;
    PyObject* index;
    PyObject* keyframe;
    PyObject* received;
    PyObject* source;
};

PyObject* frame_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"image", "pts", "index", "keyframe", "received", "source", nullptr};
    PyObject *image, *pts, *index, *keyframe, *received, *source;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOO:Frame", const_cast<char**>(names), &image, &pts, &index,
                                     &keyframe, &received, &source)) {
        return nullptr;
    }
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    auto* self = reinterpret_cast<FrameObject*>(alloc(type, 0));
    if (self == nullptr) return nullptr;
    PyObject* values[] = {image, pts, index, keyframe, received, source};
    PyObject** slots[] = {&self->image, &self->pts, &self->index, &self->keyframe, &self->received, &self->source};
    for (int i = 0; i < 6; ++i) {
        Py_INCREF(values[i]);
        *slots[i] = values[i];
    }
    return reinterpret_cast<PyObject*>(self);
}

void frame_dealloc(PyObject* self) {
    auto* frame = reinterpret_cast<FrameObject*>(self);
    Py_CLEAR(frame->image);
    Py_CLEAR(frame->pts);
    Py_CLEAR(frame->index);
    Py_CLEAR(frame->keyframe);
    Py_CLEAR(frame->received);
    Py_CLEAR(frame->source);
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
    Py_DECREF(type);
}

int frame_setattro(PyObject*, PyObject* name, PyObject* value) {
    PyErr_Format(PyExc_AttributeError, "Frame is immutable: cannot %s '%U'", value == nullptr ? "delete" : "set", name);
    return -1;
}

// Pickled through a function of the package that makes the picture read-only again (numpy
// unpickles every array writeable).
PyObject* frame_reduce(PyObject* self, PyObject*) {
    return bridge::guarded([&] {
        auto* frame = reinterpret_cast<FrameObject*>(self);
        Object unpickle = bridge::import("vantle.frame").attr("_unpickle");
        Object fields = bridge::tuple({Handle(frame->image), Handle(frame->pts), Handle(frame->index),
                                       Handle(frame->keyframe), Handle(frame->received), Handle(frame->source)});
        return bridge::tuple({unpickle, fields});
    });
}

PyObject* frame_repr(PyObject* self) {
    return bridge::guarded([&] { return bridge::import("vantle.frame").attr("_repr").call({Handle(self)}); });
}

PyMemberDef frame_members[] = {
    {"image", T_OBJECT_EX, offsetof(FrameObject, image), READONLY,
     "The picture: read-only numpy uint8 array of shape (height, width, 3), BGR"},
    {"pts", T_OBJECT_EX, offsetof(FrameObject, pts), READONLY,
     "Presentation time in seconds on the stream's own timeline, or None when the stream carries no times"},
    {"index", T_OBJECT_EX, offsetof(FrameObject, index), READONLY,
     "Position among the frames its reader delivered, from 0"},
    {"keyframe", T_OBJECT_EX, offsetof(FrameObject, keyframe), READONLY,
     "Whether the frame was coded on its own (decoding needs no earlier frame)"},
    {"received", T_OBJECT_EX, offsetof(FrameObject, received), READONLY,
     "time.time() when the frame was taken from the pipeline"},
    {"source", T_OBJECT_EX, offsetof(FrameObject, source), READONLY,
     "The stream's URL with its secrets shown as ***, or the key the stream was given in a loop over many "
     "streams"},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef frame_methods[] = {
    {"__reduce__", frame_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

const char* const frame_doc =
    "Frame(image, pts, index, keyframe, received, source)\n"
    "--\n"
    "\n"
    "A decoded frame and what is known about it: plain, immutable data. It holds no reference to\n"
    "the reader or its pipeline, so frames can be kept, queued, pickled or sent to another\n"
    "process without holding a stream open.\n"
    "\n"
    ":ivar image: The picture: read-only numpy uint8 array of shape (height, width, 3), BGR\n"
    ":ivar pts: Presentation time in seconds on the stream's own timeline (a file's first frame at\n"
    "    or near 0.0, whatever byte ranges were fetched to read it), or None when the stream\n"
    "    carries no times\n"
    ":ivar index: Position among the frames its reader delivered, from 0 (frames dropped before\n"
    "    delivery, or skipped with keyframes_only, take no index)\n"
    ":ivar keyframe: Whether the frame was coded on its own (decoding needs no earlier frame)\n"
    ":ivar received: time.time() when the frame was taken from the pipeline\n"
    ":ivar source: The stream's URL with any password replaced by \"***\", or the key the stream\n"
    "    was given in a loop over many streams";

// ----- the memory of a frame -----

// numpy's array interface, as a C structure (the `__array_struct__` protocol).
struct ArrayInterface {
    int two;
    int nd;
    char typekind;
    int itemsize;
    int flags;
    Py_intptr_t* shape;
    Py_intptr_t* strides;
    void* data;
    PyObject* descr;
};
constexpr int kAligned = 0x100;
constexpr int kNotSwapped = 0x200;

struct HolderObject {
    PyObject_HEAD GstBuffer* buffer;
    GstMapInfo map;
    int epoch;
    ArrayInterface interface;
    Py_intptr_t shape[3];
    Py_intptr_t strides[3];
};

void holder_dealloc(PyObject* self) {
    auto* holder = reinterpret_cast<HolderObject*>(self);
    // In a child made by fork() the buffer belongs to the parent's GStreamer, whose locks (the
    // buffer pool's) may have been held by threads the child does not have: it is left alone.
    if (holder->buffer != nullptr && holder->epoch == process_epoch()) {
        gst_buffer_unmap(holder->buffer, &holder->map);
        gst_buffer_unref(holder->buffer);
    }
    holder->buffer = nullptr;
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
    Py_DECREF(type);
}

PyObject* holder_array_struct(PyObject* self, void*) {
    auto* holder = reinterpret_cast<HolderObject*>(self);
    return PyCapsule_New(&holder->interface, nullptr, nullptr);
}

PyGetSetDef holder_getset[] = {
    {"__array_struct__", holder_array_struct, nullptr, "The mapped frame as numpy's array interface (read-only)",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// True if `rows` rows of `stride` bytes, each `row_bytes` long, the first at `offset`, lie
// within `size` bytes without overlapping (overflow counts as "does not fit").
bool fits(int64_t offset, int64_t rows, int64_t stride, int64_t row_bytes, int64_t size) {
    if (rows <= 0 || row_bytes <= 0) return true;
    if (rows > 1 && stride < row_bytes) return false;
    int64_t span = 0, end = 0;
    if (__builtin_mul_overflow(rows - 1, stride, &span)) return false;
    if (__builtin_add_overflow(offset, span, &end) || __builtin_add_overflow(end, row_bytes, &end)) return false;
    return offset >= 0 && end <= size;
}

[[noreturn]] void conversion_error(const std::string& text) {
    Object cls = bridge::import("vantle.utils.gstreamer").attr("SampleConversionError");
    bridge::raise(cls, bridge::text(text));
}

}  // namespace

Object make_frame_type(Handle module) {
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(frame_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(frame_dealloc)},
        {Py_tp_setattro, reinterpret_cast<void*>(frame_setattro)},
        {Py_tp_repr, reinterpret_cast<void*>(frame_repr)},
        {Py_tp_members, frame_members},
        {Py_tp_methods, frame_methods},
        {Py_tp_doc, const_cast<char*>(frame_doc)},
        {0, nullptr},
    };
    PyType_Spec spec = {"vantle.frame.Frame", sizeof(FrameObject), 0, Py_TPFLAGS_DEFAULT, slots};
    Object type = Object::steal(PyType_FromSpec(&spec));
    (void)module;
    return type;
}

Object make_holder_type() {
    PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(holder_dealloc)},
        {Py_tp_getset, holder_getset},
        {Py_tp_doc, const_cast<char*>("Holds a frame's buffer mapped for reading while numpy arrays over it live.")},
        {0, nullptr},
    };
    PyType_Spec spec = {"vantle.utils.engine._FrameMemory", sizeof(HolderObject), 0, Py_TPFLAGS_DEFAULT, slots};
    return Object::steal(PyType_FromSpec(&spec));
}

Object sample_array(GstSample* sample, int* width, int* height) {
    GstCaps* caps = gst_sample_get_caps(sample);
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    GstVideoInfo info;
    if (caps == nullptr || buffer == nullptr || !gst_video_info_from_caps(&info, caps)) {
        conversion_error("A frame without video caps or buffer");
    }
    const GstVideoFormat format = GST_VIDEO_INFO_FORMAT(&info);
    int channels = 0;
    if (format == GST_VIDEO_FORMAT_BGR || format == GST_VIDEO_FORMAT_RGB) {
        channels = 3;
    } else if (format == GST_VIDEO_FORMAT_GRAY8) {
        channels = 1;
    } else {
        conversion_error(std::string("Received a frame with an unsupported color format: ") +
                         gst_video_format_to_string(format));
    }
    const int64_t w = GST_VIDEO_INFO_WIDTH(&info), h = GST_VIDEO_INFO_HEIGHT(&info);
    int64_t offset = static_cast<int64_t>(GST_VIDEO_INFO_PLANE_OFFSET(&info, 0));
    int64_t stride = GST_VIDEO_INFO_PLANE_STRIDE(&info, 0);
    if (GstVideoMeta* meta = gst_buffer_get_video_meta(buffer); meta != nullptr) {
        offset = static_cast<int64_t>(meta->offset[0]);
        stride = meta->stride[0];
    }

    auto* type = reinterpret_cast<PyTypeObject*>(globals().holder_type);
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    auto* holder = reinterpret_cast<HolderObject*>(alloc(type, 0));
    if (holder == nullptr) throw_pending();
    Object owner = Object::steal(reinterpret_cast<PyObject*>(holder));
    if (!gst_buffer_map(buffer, &holder->map, GST_MAP_READ)) conversion_error("Failed to map frame buffer");
    // From here on the holder owns a reference to the buffer and its mapping (not the sample,
    // which the appsink may want to reuse).
    holder->buffer = gst_buffer_ref(buffer);
    holder->epoch = process_epoch();
    if (!fits(offset, h, stride, w * channels, static_cast<int64_t>(holder->map.size))) {
        conversion_error("buffer is too small for requested array");
    }
    ArrayInterface& array = holder->interface;
    array.two = 2;
    array.typekind = 'u';
    array.itemsize = 1;
    array.flags = kAligned | kNotSwapped;  // not writeable
    array.nd = channels == 1 ? 2 : 3;
    holder->shape[0] = h;
    holder->shape[1] = w;
    holder->shape[2] = channels;
    holder->strides[0] = stride;
    holder->strides[1] = channels;
    holder->strides[2] = 1;
    array.shape = holder->shape;
    array.strides = holder->strides;
    array.data = holder->map.data + offset;
    array.descr = nullptr;
    *width = static_cast<int>(w);
    *height = static_cast<int>(h);
    return Object::steal(PyObject_CallFunctionObjArgs(globals().asarray, owner.ptr(), nullptr));
}

Object stream_seconds(GstSample* sample, GstClockTime pts) {
    if (!GST_CLOCK_TIME_IS_VALID(pts)) return bridge::none();
    const GstSegment* segment = gst_sample_get_segment(sample);
    if (segment == nullptr || segment->format != GST_FORMAT_TIME) {
        return bridge::floating(static_cast<double>(pts) / GST_SECOND);
    }
    guint64 stream_time = 0;
    const int sign = gst_segment_to_stream_time_full(segment, GST_FORMAT_TIME, pts, &stream_time);
    if (sign == 0) return bridge::none();
    return bridge::floating(sign * static_cast<double>(stream_time) / GST_SECOND);
}

}  // namespace vantle::engine
