// The Reader base type: the per-frame path of a stream reader. The consumer's call takes the
// reader's turn, pulls the next sample (waiting in slices, with the GIL released, so that Ctrl-C,
// close() from another thread and the time-outs are seen), wraps it as a read-only array without
// a copy, keeps the counters, and hands back a Frame. The rare events (opening, a failure, the
// end, a reconnection) are decided by the Python subclass, through methods it defines.
#include "reader.h"

#include <algorithm>
#include <cmath>

namespace vantle::engine {

using bridge::guarded;
using bridge::throw_pending;

namespace {

const char* const kStateNames[] = {"new", "open", "ended", "failed", "closed"};

ReaderCore& core_of(PyObject* self) {
    return *reinterpret_cast<ReaderObject*>(self)->core;
}

// Raises the exception that a method of the subclass returns.
[[noreturn]] void raise_returned(Handle self, const char* method, std::initializer_list<Handle> args = {}) {
    Object error = self.method(method, args);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    throw_pending();
}

void set_attr(Handle object, PyObject* name, Handle value) {
    if (PyObject_SetAttr(object.ptr(), name, value.ptr()) < 0) throw_pending();
}

void check_signals() {
    if (PyErr_CheckSignals() < 0) throw_pending();
}

}  // namespace

bool pending_is_stream_error() {
    // The class is looked up with the exception set aside: the import machinery must not run
    // with one pending.
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyObject* module = PyImport_ImportModule("vantle.errors");
    PyObject* cls = module != nullptr ? PyObject_GetAttrString(module, "StreamSetupError") : nullptr;
    Py_XDECREF(module);
    PyErr_Clear();
    PyErr_Restore(type, value, traceback);
    const bool matches = cls != nullptr && PyErr_ExceptionMatches(cls);
    Py_XDECREF(cls);
    return matches;
}

[[noreturn]] void raise_closed(Handle self) {
    raise_returned(self, "_closed_error");
}

void raise_stream_error(Handle self, ReaderCore& core, const ErrorInfo& info) {
    // Whatever a pipeline says while close() brings it down is no failure of the stream.
    if (core.state == kClosed) raise_closed(self);
    raise_returned(self, "_error_of", {error_record(info)});
}

// A sample taken from an appsink, given back when the frame is made (or its making failed).
struct SampleRef {
    GstSample* sample;
    ~SampleRef() { gst_sample_unref(sample); }
};

Object deliver(ReaderCore& core, Tap& tap, GstSample* sample) {
    SampleRef taken{sample};
    const double received = wall_seconds();
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    const GstClockTime pts = buffer != nullptr ? GST_BUFFER_PTS(buffer) : GST_CLOCK_TIME_NONE;
    const guint64 arrival = buffer != nullptr ? GST_BUFFER_OFFSET(buffer) : GST_BUFFER_OFFSET_NONE;
    const bool delta = buffer != nullptr && GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);
    const guint64 position = buffer != nullptr ? GST_BUFFER_OFFSET_END(buffer) : GST_BUFFER_OFFSET_NONE;
    int width = 0, height = 0;
    // The array holds the buffer (and its mapping) from here on.
    Object image = sample_array(sample, &width, &height);
    Object seconds = stream_seconds(sample, pts);
    const double now = monotonic_seconds();
    const Globals& g = globals();
    Handle stats = core.stats;
    // Sampled frames are numbered by their position in the stream, so that the gaps show.
    uint64_t index = core.frames;
    if (tap.positioned() && position != GST_BUFFER_OFFSET_NONE) index = core.position_base + position;
    core.next_position = std::max(core.next_position, index + 1);
    ++core.frames;
    ++tap.frames;
    if (!core.have_first) {
        core.have_first = true;
        set_attr(stats, g.s_first_frame_at, bridge::floating(now));
    }
    set_attr(stats, g.s_last_frame_at, bridge::floating(now));
    set_attr(stats, g.s_frames, bridge::integer(static_cast<long long>(core.frames)));
    if (width != core.width || height != core.height) {
        core.width = width;
        core.height = height;
        set_attr(stats, g.s_width, bridge::integer(width));
        set_attr(stats, g.s_height, bridge::integer(height));
    }
    if (tap.numbered() && arrival != GST_BUFFER_OFFSET_NONE) {
        // The appsink numbers the frames that reach it: the numbers skipped are frames it let go.
        const int64_t skipped = static_cast<int64_t>(arrival) - tap.last_arrival - 1;
        tap.last_arrival = static_cast<int64_t>(arrival);
        if (skipped > 0) {
            core.dropped += static_cast<uint64_t>(skipped);
            set_attr(stats, g.s_dropped, bridge::integer(static_cast<long long>(core.dropped)));
        }
    }
    if (core.open_gap) {
        Object gap = std::move(core.open_gap);
        set_attr(gap, g.s_ended, bridge::floating(now));
    }
    const bool key = tap.keyframes()->is_keyframe(pts, delta);
    PyObject* frame = PyObject_CallFunctionObjArgs(
        g.frame_type, image.ptr(), seconds.ptr(), bridge::integer(static_cast<long long>(index)).ptr(),
        key ? Py_True : Py_False, bridge::floating(received).ptr(), core.source.ptr(), nullptr);
    return Object::steal(frame);
}

Step step(Handle self, ReaderCore& core, double seconds, Object* frame) {
    if (core.state == kClosed) raise_closed(self);
    std::shared_ptr<Tap> tap = core.tap;  // kept while the GIL is released, whatever close() does
    if (!tap) raise_closed(self);
    GstSample* sample = tap->pull(seconds);
    if (sample != nullptr) {
        *frame = deliver(core, *tap, sample);
        return Step::Frame;
    }
    if (tap->error()) raise_stream_error(self, core, *tap->error());
    bool ended = false;
    if (tap->at_eos()) {
        tap->take_messages();  // an error that came with the end wins
        if (tap->error()) raise_stream_error(self, core, *tap->error());
        ended = true;
    }
    if (core.state == kClosed) raise_closed(self);
    if (ended) {
        self.method("_ended");
        return Step::End;
    }
    check_signals();
    return Step::Nothing;
}

namespace {

// The next frame with the turn held: waits up to frame_timeout, in slices.
Object frame_with_turn(Handle self, ReaderCore& core) {
    std::shared_ptr<Tap> tap = core.tap;
    if (!tap) raise_closed(self);
    if (tap->pending != nullptr) {
        GstSample* sample = tap->pending;
        tap->pending = nullptr;
        return deliver(core, *tap, sample);
    }
    const double deadline = monotonic_seconds() + core.frame_timeout;
    while (true) {
        const double left = deadline - monotonic_seconds();
        Object frame;
        const Step result = step(self, core, std::min(std::max(left, 0.0), kSlice), &frame);
        if (result == Step::Frame) return frame;
        if (result == Step::End) return bridge::none();
        if (monotonic_seconds() >= deadline) raise_returned(self, "_frame_timeout_error");
    }
}

// The next frame; a stream that fails after it started is rebuilt while the subclass allows.
Object next_frame(Handle self, ReaderCore& core) {
    bool restart = false;
    while (true) {
        try {
            if (restart) {
                self.method("_start");
                restart = false;
            }
            return frame_with_turn(self, core);
        } catch (const bridge::PendingError&) {
            if (!pending_is_stream_error()) throw;
            // A reconnection decision needs the exception itself: fetched, then set again.
            PyObject *type, *value, *traceback;
            PyErr_Fetch(&type, &value, &traceback);
            PyErr_NormalizeException(&type, &value, &traceback);
            Object error = Object::steal(value);
            Object error_type = Object::steal(type);
            Object error_traceback = traceback != nullptr ? Object::steal(traceback) : Object();
            if (!self.method("_may_reconnect", {error}).truthy()) {
                PyErr_Restore(error_type.release(), error.release(), error_traceback.release());
                throw_pending();
            }
            self.method("_back_off", {Object::steal(PyObject_Str(error.ptr()))});
            restart = true;
        }
    }
}

}  // namespace

void check_process(Handle self, ReaderCore& core) {
    if (core.opened_epoch >= 0 && core.opened_epoch != process_epoch()) raise_returned(self, "_forked_error");
}

void take_turn(ReaderCore& core) {
    while (core.busy) {
        const uint64_t mark = core.signal.mark();
        if (!core.busy) break;
        core.signal.wait(mark, kSlice);
        check_signals();
    }
    core.busy = true;
}

void give_turn(ReaderCore& core) {
    core.busy = false;
    core.signal.notify();
}

Object read_frame(Handle self) {
    ReaderCore& core = core_of(self.ptr());
    check_process(self, core);
    while (true) {
        if (core.state == kClosed) raise_closed(self);
        if (core.state == kFailed) self.method("_raise_failure");
        if (core.state == kEnded) return bridge::none();
        if (!core.busy) break;
        const uint64_t mark = core.signal.mark();
        core.signal.wait(mark, kSlice);
        check_signals();
    }
    core.busy = true;
    const bool opening = core.state == kNew;
    Object frame;
    try {
        if (opening) {
            self.method("_begin_open");
            self.method("_start");
        }
        frame = next_frame(self, core);
    } catch (const bridge::PendingError&) {
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        PyErr_NormalizeException(&type, &value, &traceback);
        Object error_type = Object::steal(type);
        Object error = Object::steal(value);
        Object error_traceback = traceback != nullptr ? Object::steal(traceback) : Object();
        try {
            self.method("_stopped_by", {error});
        } catch (const bridge::PendingError&) {
            give_turn(core);
            throw;
        }
        give_turn(core);
        PyErr_Restore(error_type.release(), error.release(), error_traceback.release());
        throw_pending();
    }
    give_turn(core);
    return frame;
}

namespace {

// ----- Python-visible methods -----

PyObject* reader_new(PyTypeObject* type, PyObject*, PyObject*) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) return nullptr;
    try {
        auto* core = new ReaderCore();
        core->stats = bridge::none();
        core->source = bridge::none();
        core->failure = bridge::none();
        reinterpret_cast<ReaderObject*>(self)->core = core;
    } catch (...) {
        Py_DECREF(self);
        PyErr_NoMemory();
        return nullptr;
    }
    return self;
}

void reader_dealloc(PyObject* self) {
    ReaderCore* core = reinterpret_cast<ReaderObject*>(self)->core;
    if (core != nullptr) {
        // A tap of a forked child's parent is let go without touching GStreamer (its destructor
        // sees the epoch).
        delete core;
    }
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
    Py_DECREF(type);
}

PyObject* m_read_frame(PyObject* self, PyObject*) {
    return guarded([&] { return read_frame(Handle(self)); });
}

PyObject* m_read(PyObject* self, PyObject*) {
    return guarded([&] {
        Object frame = read_frame(Handle(self));
        return frame.is_none() ? frame : frame.attr("image");
    });
}

PyObject* m_frames(PyObject* self, PyObject*) {
    return guarded([&] { return make_iterator(Handle(self), IterationOf::ReaderFrames); });
}

PyObject* reader_iter(PyObject* self) {
    return guarded([&] { return make_iterator(Handle(self), IterationOf::ReaderArrays); });
}

PyObject* m_take_turn(PyObject* self, PyObject*) {
    return guarded([&] {
        take_turn(core_of(self));
        return bridge::none();
    });
}

PyObject* m_give_turn(PyObject* self, PyObject*) {
    give_turn(core_of(self));
    Py_RETURN_NONE;
}

PyObject* m_notify(PyObject* self, PyObject*) {
    core_of(self).signal.notify();
    Py_RETURN_NONE;
}

// _sleep(seconds) -> bool: waits, in slices, until `seconds` have passed (True) or the reader is
// closed (False).
PyObject* m_sleep(PyObject* self, PyObject* seconds_object) {
    return guarded([&] {
        const double seconds = PyFloat_AsDouble(seconds_object);
        if (PyErr_Occurred()) throw_pending();
        ReaderCore& core = core_of(self);
        const double deadline = monotonic_seconds() + seconds;
        while (core.state != kClosed) {
            const double left = deadline - monotonic_seconds();
            if (left <= 0) return bridge::boolean(true);
            const uint64_t mark = core.signal.mark();
            if (core.state == kClosed) break;
            core.signal.wait(mark, std::min(left, kSlice));
            check_signals();
        }
        return bridge::boolean(false);
    });
}

// _attach(pipeline, numbered): the pipeline's appsink becomes the reader's source of frames.
PyObject* m_attach(PyObject* self, PyObject* args) {
    return guarded([&] {
        PyObject *pipeline, *numbered, *positioned = Py_False;
        if (!PyArg_ParseTuple(args, "OO|O:_attach", &pipeline, &numbered, &positioned)) throw_pending();
        Object appsink = Handle(pipeline).attr("appsink");
        auto* pipeline_element = static_cast<GstElement*>(gpointer_of(Handle(pipeline)));
        auto* appsink_element = static_cast<GstElement*>(gpointer_of(appsink));
        if (!GST_IS_APP_SINK(appsink_element)) {
            PyErr_SetString(PyExc_TypeError, "the pipeline's appsink is no appsink");
            throw_pending();
        }
        const int truth = PyObject_IsTrue(numbered), by_position = PyObject_IsTrue(positioned);
        if (truth < 0 || by_position < 0) throw_pending();
        ReaderCore& core = core_of(self);
        // A new pipeline's positions follow the last frame's (after a reconnection).
        core.position_base = core.next_position;
        core.tap = std::make_shared<Tap>(pipeline_element, appsink_element, truth != 0, by_position != 0);
        return bridge::none();
    });
}

// _before_seek(): forgets what the stream said before a seek: the sample taken while opening,
// the keyframe notes.
PyObject* m_before_seek(PyObject* self, PyObject*) {
    const std::shared_ptr<Tap>& tap = core_of(self).tap;
    if (tap) {
        if (tap->pending != nullptr) gst_sample_unref(tap->pending);
        tap->pending = nullptr;
        tap->keyframes()->reset();
    }
    Py_RETURN_NONE;
}

PyObject* m_detach(PyObject* self, PyObject*) {
    core_of(self).tap.reset();
    Py_RETURN_NONE;
}

// _poll_first(seconds) -> bool: one step of the wait for a stream's first frame: True once a
// sample is ready (kept for the next read) or the data has ended.
PyObject* m_poll_first(PyObject* self, PyObject* seconds_object) {
    return guarded([&] {
        const double seconds = PyFloat_AsDouble(seconds_object);
        if (PyErr_Occurred()) throw_pending();
        ReaderCore& core = core_of(self);
        Handle reader(self);
        if (core.state == kClosed) raise_closed(reader);
        std::shared_ptr<Tap> tap = core.tap;
        if (!tap) raise_closed(reader);
        GstSample* sample = tap->pull(seconds);
        if (core.state == kClosed) {
            if (sample != nullptr) gst_sample_unref(sample);
            raise_closed(reader);
        }
        if (sample != nullptr) {
            if (tap->pending != nullptr) gst_sample_unref(tap->pending);
            tap->pending = sample;
            return bridge::boolean(true);
        }
        if (tap->error()) raise_stream_error(reader, core, *tap->error());
        if (tap->at_eos()) {
            tap->take_messages();
            if (tap->error()) raise_stream_error(reader, core, *tap->error());
            return bridge::boolean(true);
        }
        check_signals();
        return bridge::boolean(false);
    });
}

PyMethodDef reader_methods[] = {
    {"read_frame", m_read_frame, METH_NOARGS,
     "read_frame($self, /)\n--\n\n"
     "The next frame with its time, index and keyframe flag, or None at the end of the stream.\n\n"
     ":raises StreamSetupError: The stream failed, or no frame came within `frame_timeout`;\n"
     "    kind \"closed\" once the reader is closed"},
    {"read", m_read, METH_NOARGS,
     "read($self, /)\n--\n\n"
     "The next frame's array, or None at the end of the stream.\n\n"
     ":raises StreamSetupError: The stream failed, or no frame came within `frame_timeout`;\n"
     "    kind \"closed\" once the reader is closed"},
    {"frames", m_frames, METH_NOARGS,
     "frames($self, /)\n--\n\n"
     "Iterates the stream's frames as Frames (iterating the reader itself gives their arrays).\n"
     "Ends at the end of the stream, or when the reader is closed meanwhile.\n\n"
     ":raises StreamSetupError: As read_frame(); kind \"closed\" if the reader was closed before"},
    {"_take_turn", m_take_turn, METH_NOARGS, nullptr},
    {"_give_turn", m_give_turn, METH_NOARGS, nullptr},
    {"_notify", m_notify, METH_NOARGS, nullptr},
    {"_sleep", m_sleep, METH_O, nullptr},
    {"_attach", m_attach, METH_VARARGS, nullptr},
    {"_detach", m_detach, METH_NOARGS, nullptr},
    {"_before_seek", m_before_seek, METH_NOARGS, nullptr},
    {"_poll_first", m_poll_first, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// ----- attributes -----

PyObject* get_state(PyObject* self, void*) {
    return PyUnicode_FromString(kStateNames[core_of(self).state]);
}

int set_state(PyObject* self, PyObject* value, void*) {
    for (int i = 0; value != nullptr && i < 5; ++i) {
        if (PyUnicode_CompareWithASCIIString(value, kStateNames[i]) == 0) {
            core_of(self).state = i;
            return 0;
        }
    }
    PyErr_SetString(PyExc_ValueError, "not a reader state");
    return -1;
}

template <Object ReaderCore::*member>
PyObject* get_object(PyObject* self, void*) {
    return Object::borrow(core_of(self).*member).release();
}

template <Object ReaderCore::*member>
int set_object(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) {
        PyErr_SetString(PyExc_AttributeError, "cannot delete this attribute");
        return -1;
    }
    core_of(self).*member = Object::borrow(value);
    return 0;
}

int set_stats(PyObject* self, PyObject* value, void* closure) {
    if (set_object<&ReaderCore::stats>(self, value, closure) < 0) return -1;
    // New counters: a new open starts them again.
    ReaderCore& core = core_of(self);
    core.frames = core.dropped = core.position_base = core.next_position = 0;
    core.have_first = false;
    core.width = core.height = 0;
    return 0;
}

int set_open_gap(PyObject* self, PyObject* value, void* closure) {
    if (value == Py_None) {
        core_of(self).open_gap = Object();
        return 0;
    }
    return set_object<&ReaderCore::open_gap>(self, value, closure);
}

PyObject* get_open_gap(PyObject* self, void*) {
    const Object& gap = core_of(self).open_gap;
    return gap ? Object::borrow(gap).release() : bridge::none().release();
}

PyObject* get_frame_timeout(PyObject* self, void*) {
    return PyFloat_FromDouble(core_of(self).frame_timeout);
}

int set_frame_timeout(PyObject* self, PyObject* value, void*) {
    const double seconds = value != nullptr ? PyFloat_AsDouble(value) : -1.0;
    if (PyErr_Occurred()) return -1;
    core_of(self).frame_timeout = seconds;
    return 0;
}

PyObject* get_closes(PyObject* self, void*) {
    return PyLong_FromLongLong(core_of(self).closes);
}

int set_closes(PyObject* self, PyObject* value, void*) {
    const long long closes = value != nullptr ? PyLong_AsLongLong(value) : -1;
    if (PyErr_Occurred()) return -1;
    core_of(self).closes = closes;
    return 0;
}

PyObject* get_opened_in(PyObject* self, void*) {
    const int epoch = core_of(self).opened_epoch;
    if (epoch < 0) Py_RETURN_NONE;
    return PyLong_FromLong(epoch);
}

int set_opened_in(PyObject* self, PyObject* value, void*) {
    if (value == nullptr || value == Py_None) {
        core_of(self).opened_epoch = -1;
        return 0;
    }
    const long epoch = PyLong_AsLong(value);
    if (PyErr_Occurred()) return -1;
    core_of(self).opened_epoch = static_cast<int>(epoch);
    return 0;
}

PyObject* get_busy(PyObject* self, void*) {
    return PyBool_FromLong(core_of(self).busy);
}

// (content type, length or None) of the HTTP response the pipeline's source reported, or None.
PyObject* get_http(PyObject* self, void*) {
    return guarded([&] {
        const std::shared_ptr<Tap>& tap = core_of(self).tap;
        if (!tap) return bridge::none();
        tap->take_messages();
        if (!tap->has_http()) return bridge::none();
        Object length = tap->content_length() < 0 ? bridge::none() : bridge::integer(tap->content_length());
        return bridge::tuple({bridge::text(tap->content_type()), length});
    });
}

PyObject* get_tap_frames(PyObject* self, void*) {
    const std::shared_ptr<Tap>& tap = core_of(self).tap;
    return PyLong_FromUnsignedLongLong(tap ? tap->frames : 0);
}

PyObject* get_attached(PyObject* self, void*) {
    return PyBool_FromLong(core_of(self).tap != nullptr);
}

PyGetSetDef reader_getset[] = {
    {"stats", get_object<&ReaderCore::stats>, set_stats, "Counters of the reader (StreamStats)", nullptr},
    {"source", get_object<&ReaderCore::source>, set_object<&ReaderCore::source>,
     "What the reader's Frames give as their source", nullptr},
    {"frame_timeout", get_frame_timeout, set_frame_timeout, "Seconds to wait for each frame after the first", nullptr},
    {"_state", get_state, set_state, nullptr, nullptr},
    {"_failure", get_object<&ReaderCore::failure>, set_object<&ReaderCore::failure>, nullptr, nullptr},
    {"_open_gap", get_open_gap, set_open_gap, nullptr, nullptr},
    {"_closes", get_closes, set_closes, nullptr, nullptr},
    {"_opened_in", get_opened_in, set_opened_in, nullptr, nullptr},
    {"_busy", get_busy, nullptr, nullptr, nullptr},
    {"_http", get_http, nullptr, nullptr, nullptr},
    {"_tap_frames", get_tap_frames, nullptr, nullptr, nullptr},
    {"_attached", get_attached, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char* const reader_doc =
    "The per-frame path of a stream reader, in C++: subclassed by StreamReader, which sets the\n"
    "stream up and decides about failures and the end.";

}  // namespace

ReaderCore* reader_core(Handle reader) {
    return reinterpret_cast<ReaderObject*>(reader.ptr())->core;
}

bool is_reader(Handle object) {
    return PyObject_IsInstance(object.ptr(), globals().reader_type) == 1;
}

Object make_reader_type(Handle module) {
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(reader_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
        {Py_tp_iter, reinterpret_cast<void*>(reader_iter)},
        {Py_tp_methods, reader_methods},
        {Py_tp_getset, reader_getset},
        {Py_tp_doc, const_cast<char*>(reader_doc)},
        {0, nullptr},
    };
    PyType_Spec spec = {"vantle.utils.engine.Reader", sizeof(ReaderObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
                        slots};
    (void)module;
    return Object::steal(PyType_FromSpec(&spec));
}

}  // namespace vantle::engine
