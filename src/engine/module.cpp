// vantle.utils.engine: the per-frame engine's module: the Frame type, the frame iterators, the
// Reader and Hub base types, the native probes, and the process's fork epoch.
#include "reader.h"

namespace vantle::engine {

using bridge::guarded;
using bridge::throw_pending;

Globals& globals() {
    static Globals values;
    return values;
}

namespace {

// ----- frame iterators -----

struct IteratorObject {
    PyObject_HEAD PyObject* owner;
    int what;
    long long closes;  // the owner's close() count when the iteration began
};

long long closes_of(Handle owner, IterationOf what) {
    return what == IterationOf::HubFrames ? hub_closes(owner) : reader_core(owner)->closes;
}

// Whether the pending exception is a "closed" failure from a close() made after the iteration
// began: the iteration then just ends.
bool closed_meanwhile(Handle owner, IterationOf what, long long closes) {
    if (!pending_is_stream_error()) return false;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    bool closed = false;
    if (value != nullptr) {
        PyObject* kind = PyObject_GetAttr(value, globals().s_kind);
        closed = kind != nullptr && PyUnicode_Check(kind) && PyUnicode_CompareWithASCIIString(kind, "closed") == 0;
        Py_XDECREF(kind);
        PyErr_Clear();
    }
    if (closed && closes_of(owner, what) != closes) {
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        return true;
    }
    PyErr_Restore(type, value, traceback);
    return false;
}

PyObject* iterator_next(PyObject* self) {
    auto* iterator = reinterpret_cast<IteratorObject*>(self);
    const auto what = static_cast<IterationOf>(iterator->what);
    Handle owner(iterator->owner);
    try {
        Object frame = what == IterationOf::HubFrames ? hub_read_frame(owner) : read_frame(owner);
        if (frame.is_none()) return nullptr;  // the end: StopIteration
        if (what == IterationOf::ReaderArrays) return frame.attr("image").release();
        return frame.release();
    } catch (const bridge::PendingError&) {
        if (closed_meanwhile(owner, what, iterator->closes)) return nullptr;
        return nullptr;
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
        return nullptr;
    }
}

PyObject* iterator_self(PyObject* self) {
    Py_INCREF(self);
    return self;
}

void iterator_dealloc(PyObject* self) {
    Py_CLEAR(reinterpret_cast<IteratorObject*>(self)->owner);
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
    Py_DECREF(type);
}

PyObject* epoch(PyObject*, PyObject*) {
    return PyLong_FromLong(process_epoch());
}

PyMethodDef functions[] = {
    {"epoch", epoch, METH_NOARGS,
     "epoch()\n--\n\nThe process's fork epoch: 0 in the process that loaded the module, one more in each\n"
     "generation of children made by fork()."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* intern(const char* name) {
    PyObject* text = PyUnicode_InternFromString(name);
    if (text == nullptr) throw_pending();
    return text;
}

void add_type(Handle module, const char* name, Object type, PyObject** keep) {
    *keep = Object::borrow(type).release();  // kept for the life of the process
    bridge::check(PyModule_AddObject(module.ptr(), name, type.release()));
}

int exec_module(PyObject* module_object) {
    return bridge::guarded_status([&] {
        Handle module(module_object);
        // GStreamer is initialised by the bindings' module of the package, which the pipelines
        // that this module serves come from.
        bridge::import("vantle.utils.gstreamer");
        Globals& g = globals();
        g.asarray = bridge::import("numpy").attr("asarray").release();
        for (auto [name, slot] : {std::pair{"frames", &g.s_frames},
                                  {"dropped", &g.s_dropped},
                                  {"first_frame_at", &g.s_first_frame_at},
                                  {"last_frame_at", &g.s_last_frame_at},
                                  {"width", &g.s_width},
                                  {"height", &g.s_height},
                                  {"ended", &g.s_ended},
                                  {"kind", &g.s_kind}}) {
            *slot = intern(name);
        }
        add_type(module, "Frame", make_frame_type(module), &g.frame_type);
        add_type(module, "_FrameMemory", make_holder_type(), &g.holder_type);
        add_type(module, "Probe", make_probe_type(), &g.probe_type);
        add_type(module, "Reader", make_reader_type(module), &g.reader_type);
        PyObject* unused = nullptr;
        add_type(module, "Hub", make_hub_type(module), &unused);
        add_type(module, "FrameIterator", make_iterator_type(), &g.iterator_type);
        bridge::check(PyModule_AddFunctions(module_object, functions));
        add_probe_functions(module);
        (void)process_epoch();  // registers the fork handler now, before any fork
    });
}

PyModuleDef_Slot slots[] = {{Py_mod_exec, reinterpret_cast<void*>(exec_module)}, {0, nullptr}};

PyModuleDef definition = {PyModuleDef_HEAD_INIT,
                          "engine",
                          "The per-frame engine of vantle's readers, in C++: frames, native pad probes, and the\n"
                          "loops that take frames from one stream or from many.",
                          0,
                          nullptr,
                          slots,
                          nullptr,
                          nullptr,
                          nullptr};

}  // namespace

Object make_iterator(Handle owner, IterationOf what) {
    auto* type = reinterpret_cast<PyTypeObject*>(globals().iterator_type);
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    Object self = Object::steal(alloc(type, 0));
    auto* iterator = reinterpret_cast<IteratorObject*>(self.ptr());
    iterator->owner = Object::borrow(owner).release();
    iterator->what = static_cast<int>(what);
    iterator->closes = closes_of(owner, what);
    return self;
}

Object make_iterator_type() {
    PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(iterator_dealloc)},
        {Py_tp_iter, reinterpret_cast<void*>(iterator_self)},
        {Py_tp_iternext, reinterpret_cast<void*>(iterator_next)},
        {Py_tp_doc, const_cast<char*>("Frames of a reader or of a set of streams, until the end or a close().")},
        {0, nullptr},
    };
    PyType_Spec spec = {"vantle.utils.engine.FrameIterator", sizeof(IteratorObject), 0, Py_TPFLAGS_DEFAULT, slots};
    return Object::steal(PyType_FromSpec(&spec));
}

}  // namespace vantle::engine

PyMODINIT_FUNC PyInit_engine(void) {
    return PyModuleDef_Init(&vantle::engine::definition);
}
