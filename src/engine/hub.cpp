// The Hub base type: many readers served by one loop, without a thread per stream. GStreamer's
// threads mark a stream ready when a frame, the end or an error arrives for it (appsink callbacks
// and the bus's sync messages, in C++); the loop takes one frame at a time from the ready
// streams, in turn, and looks at nothing else, so the cost of a frame does not grow with the
// number of streams. Time limits are checked every slice; the rare events (a stream that ends,
// fails or times out, a reconnection that is due) go to the Python subclass.
#include <cmath>
#include <limits>

#include "reader.h"

namespace vantle::engine {

using bridge::guarded;
using bridge::throw_pending;

namespace {

struct Entry {
    Object reader;
    bool running = false;
    double deadline = 0;
    std::shared_ptr<Waker> waker;
};

struct HubCore {
    std::vector<Entry> entries;
    std::shared_ptr<Readiness> readiness = std::make_shared<Readiness>();
    Signal turn;  // threads waiting for the loop
    bool closed = false;
    bool started = false;
    bool busy = false;
    long long closes = 0;
    int epoch = process_epoch();
    double next_timer = std::numeric_limits<double>::infinity();
    double next_scan = 0;
    long long going = 0;  // streams running or waiting to start again: the loop ends at none
};

struct HubObject {
    PyObject_HEAD HubCore* core;
};

HubCore& hub_of(PyObject* self) {
    return *reinterpret_cast<HubObject*>(self)->core;
}

[[noreturn]] void raise_returned(Handle self, const char* method) {
    Object error = self.method(method);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    throw_pending();
}

// The pending exception, fetched and normalised (the indicator cleared).
Object fetch_error() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return Object::steal(value);
}

// A frame of entry `index` if one is ready, without blocking; its end or failure goes to the
// subclass.
Object take(Handle self, HubCore& hub, size_t index) {
    Entry& entry = hub.entries[index];
    if (!entry.running) return Object();
    Handle reader = entry.reader;
    ReaderCore& core = *reader_core(reader);
    Object frame;
    Step result;
    try {
        result = step(reader, core, 0.0, &frame);
    } catch (const bridge::PendingError&) {
        if (!pending_is_stream_error()) throw;
        Object error = fetch_error();
        self.method("_on_failure", {bridge::integer(static_cast<long long>(index)), error});
        return Object();
    }
    if (result == Step::Frame) {
        entry.deadline = monotonic_seconds() + core.frame_timeout;
        return frame;
    }
    if (result == Step::End) self.method("_on_end", {bridge::integer(static_cast<long long>(index))});
    return Object();
}

// Fails the running streams that gave no frame in time (after a last look at each).
Object check_deadlines(Handle self, HubCore& hub, double now) {
    for (size_t index = 0; index < hub.entries.size(); ++index) {
        Entry& entry = hub.entries[index];
        if (!entry.running || entry.deadline > now || hub.readiness->is_marked(index)) continue;
        Object frame = take(self, hub, index);
        if (frame) {
            hub.readiness->mark(index);  // more may be waiting, as after any frame
            return frame;
        }
        if (entry.running) self.method("_on_timeout", {bridge::integer(static_cast<long long>(index))});
    }
    return Object();
}

Object next_frame(Handle self, HubCore& hub) {
    while (true) {
        if (hub.closed) raise_returned(self, "_closed_error");
        // Taken before the line is looked at: whatever is marked ready afterwards ends the wait.
        const uint64_t mark = hub.readiness->signal.mark();
        const double now = monotonic_seconds();
        if (hub.next_timer <= now) self.method("_restart_due", {bridge::floating(now)});
        if (now >= hub.next_scan) {
            hub.next_scan = now + kSlice;
            Object frame = check_deadlines(self, hub, now);
            if (frame) return frame;
        }
        while (std::optional<size_t> index = hub.readiness->next()) {
            Object frame = take(self, hub, *index);
            if (frame) {
                hub.readiness->mark(*index);  // more may be waiting: to the back of the line
                return frame;
            }
            if (hub.closed) raise_returned(self, "_closed_error");
        }
        if (hub.going <= 0) return bridge::none();
        double wait = kSlice;
        if (std::isfinite(hub.next_timer)) wait = std::min(wait, std::max(hub.next_timer - now, 0.0));
        hub.readiness->signal.wait(mark, wait);
        if (PyErr_CheckSignals() < 0) throw_pending();
    }
}

}  // namespace

Object hub_read_frame(Handle self) {
    HubCore& hub = hub_of(self.ptr());
    if (hub.epoch != process_epoch()) raise_returned(self, "_forked_error");
    while (hub.busy) {
        if (hub.closed) raise_returned(self, "_closed_error");
        const uint64_t mark = hub.turn.mark();
        if (!hub.busy) break;
        hub.turn.wait(mark, kSlice);
        if (PyErr_CheckSignals() < 0) throw_pending();
    }
    hub.busy = true;
    Object frame;
    try {
        if (!hub.started) self.method("open");
        frame = next_frame(self, hub);
    } catch (const bridge::PendingError&) {
        if (!pending_is_stream_error()) {
            // Ctrl-C, or a fault of ours: nothing is left running.
            PyObject *type, *value, *traceback;
            PyErr_Fetch(&type, &value, &traceback);
            PyObject* closed = PyObject_CallMethod(self.ptr(), "close", nullptr);
            Py_XDECREF(closed);
            if (closed == nullptr) {
                Py_XDECREF(type);
                Py_XDECREF(value);
                Py_XDECREF(traceback);
            } else {
                PyErr_Restore(type, value, traceback);
            }
        }
        hub.busy = false;
        hub.turn.notify();
        throw;
    }
    hub.busy = false;
    hub.turn.notify();
    return frame;
}

long long hub_closes(Handle self) {
    return hub_of(self.ptr()).closes;
}

namespace {

// ----- Python-visible -----

PyObject* hub_new(PyTypeObject* type, PyObject*, PyObject*) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) return nullptr;
    try {
        reinterpret_cast<HubObject*>(self)->core = new HubCore();
    } catch (...) {
        Py_DECREF(self);
        PyErr_NoMemory();
        return nullptr;
    }
    return self;
}

void hub_dealloc(PyObject* self) {
    delete reinterpret_cast<HubObject*>(self)->core;
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
    Py_DECREF(type);
}

size_t entry_index(HubCore& hub, PyObject* index_object) {
    const Py_ssize_t index = PyLong_AsSsize_t(index_object);
    if (PyErr_Occurred()) throw_pending();
    if (index < 0 || static_cast<size_t>(index) >= hub.entries.size()) {
        PyErr_SetString(PyExc_IndexError, "no such stream");
        throw_pending();
    }
    return static_cast<size_t>(index);
}

PyObject* m_add(PyObject* self, PyObject* reader) {
    return guarded([&] {
        HubCore& hub = hub_of(self);
        if (!is_reader(Handle(reader))) {
            PyErr_SetString(PyExc_TypeError, "only readers can be added");
            throw_pending();
        }
        if (hub.started) {
            PyErr_SetString(PyExc_RuntimeError, "streams are added before the loop starts");
            throw_pending();
        }
        hub.entries.push_back(Entry{Object::borrow(reader), false, 0, nullptr});
        hub.readiness->resize(hub.entries.size());
        return bridge::integer(static_cast<long long>(hub.entries.size() - 1));
    });
}

// _run_entry(index, deadline): the stream is read, and must give a frame by `deadline`.
PyObject* m_run_entry(PyObject* self, PyObject* args) {
    return guarded([&] {
        PyObject* index_object;
        double deadline;
        if (!PyArg_ParseTuple(args, "Od:_run_entry", &index_object, &deadline)) throw_pending();
        HubCore& hub = hub_of(self);
        Entry& entry = hub.entries[entry_index(hub, index_object)];
        entry.running = true;
        entry.deadline = deadline;
        return bridge::none();
    });
}

PyObject* m_stop_entry(PyObject* self, PyObject* index_object) {
    return guarded([&] {
        HubCore& hub = hub_of(self);
        Entry& entry = hub.entries[entry_index(hub, index_object)];
        entry.running = false;
        if (entry.waker) entry.waker->active.store(false);
        return bridge::none();
    });
}

// _watch(index): the current pipeline of stream `index` wakes the loop.
PyObject* m_watch(PyObject* self, PyObject* index_object) {
    return guarded([&] {
        HubCore& hub = hub_of(self);
        const size_t index = entry_index(hub, index_object);
        Entry& entry = hub.entries[index];
        std::shared_ptr<Tap> tap = reader_core(entry.reader)->tap;
        if (!tap) raise_closed(entry.reader);
        if (entry.waker) entry.waker->active.store(false);
        entry.waker = std::make_shared<Waker>(hub.readiness, index);
        tap->watch(entry.waker);
        return bridge::none();
    });
}

PyObject* m_notify(PyObject* self, PyObject*) {
    HubCore& hub = hub_of(self);
    hub.readiness->signal.notify();
    hub.turn.notify();
    Py_RETURN_NONE;
}

PyObject* m_read_frame(PyObject* self, PyObject*) {
    return guarded([&] { return hub_read_frame(Handle(self)); });
}

PyObject* hub_iter(PyObject* self) {
    return guarded([&] { return make_iterator(Handle(self), IterationOf::HubFrames); });
}

PyMethodDef hub_methods[] = {
    {"read_frame", m_read_frame, METH_NOARGS,
     "read_frame($self, /)\n--\n\n"
     "The next frame of any stream, or None once every stream has ended or failed.\n\n"
     ":raises StreamSetupError: Kind \"closed\" once the set is closed (also by another thread\n"
     "    while this one waited), kind \"forked\" in a process that inherited the set"},
    {"_add", m_add, METH_O, nullptr},
    {"_run_entry", m_run_entry, METH_VARARGS, nullptr},
    {"_stop_entry", m_stop_entry, METH_O, nullptr},
    {"_watch", m_watch, METH_O, nullptr},
    {"_notify", m_notify, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

template <bool HubCore::*member>
PyObject* get_flag(PyObject* self, void*) {
    return PyBool_FromLong(hub_of(self).*member);
}

template <bool HubCore::*member>
int set_flag(PyObject* self, PyObject* value, void*) {
    const int truth = value != nullptr ? PyObject_IsTrue(value) : -1;
    if (truth < 0) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_AttributeError, "cannot delete this attribute");
        return -1;
    }
    hub_of(self).*member = truth != 0;
    return 0;
}

template <long long HubCore::*member>
PyObject* get_count(PyObject* self, void*) {
    return PyLong_FromLongLong(hub_of(self).*member);
}

template <long long HubCore::*member>
int set_count(PyObject* self, PyObject* value, void*) {
    const long long count = value != nullptr ? PyLong_AsLongLong(value) : -1;
    if (PyErr_Occurred()) return -1;
    hub_of(self).*member = count;
    return 0;
}

PyObject* get_next_timer(PyObject* self, void*) {
    return PyFloat_FromDouble(hub_of(self).next_timer);
}

int set_next_timer(PyObject* self, PyObject* value, void*) {
    const double when = value != nullptr ? PyFloat_AsDouble(value) : -1.0;
    if (PyErr_Occurred()) return -1;
    hub_of(self).next_timer = when;
    return 0;
}

PyObject* get_epoch(PyObject* self, void*) {
    return PyLong_FromLong(hub_of(self).epoch);
}

PyObject* get_is_marked(PyObject* self, void*) {
    // The indices of the streams marked ready, for a look at the loop's state.
    HubCore& hub = hub_of(self);
    Object marked = bridge::list();
    for (size_t index = 0; index < hub.entries.size(); ++index) {
        if (hub.readiness->is_marked(index)) {
            if (PyList_Append(marked.ptr(), bridge::integer(static_cast<long long>(index)).ptr()) < 0) return nullptr;
        }
    }
    return marked.release();
}

PyGetSetDef hub_getset[] = {
    {"_closed", get_flag<&HubCore::closed>, set_flag<&HubCore::closed>, nullptr, nullptr},
    {"_started", get_flag<&HubCore::started>, set_flag<&HubCore::started>, nullptr, nullptr},
    {"_closes", get_count<&HubCore::closes>, set_count<&HubCore::closes>, nullptr, nullptr},
    {"_going", get_count<&HubCore::going>, set_count<&HubCore::going>, nullptr, nullptr},
    {"_next_timer", get_next_timer, set_next_timer, nullptr, nullptr},
    {"_epoch", get_epoch, nullptr, nullptr, nullptr},
    {"_ready", get_is_marked, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

Object make_hub_type(Handle module) {
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(hub_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(hub_dealloc)},
        {Py_tp_iter, reinterpret_cast<void*>(hub_iter)},
        {Py_tp_methods, hub_methods},
        {Py_tp_getset, hub_getset},
        {Py_tp_doc, const_cast<char*>("The loop that serves many readers, in C++: subclassed by StreamSet.")},
        {0, nullptr},
    };
    PyType_Spec spec = {"vantle.utils.engine.Hub", sizeof(HubObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
                        slots};
    (void)module;
    return Object::steal(PyType_FromSpec(&spec));
}

}  // namespace vantle::engine
