// The state of a reader's per-frame path, shared by the Reader type, the Hub that serves many
// readers in one loop, and the frame iterators.
#pragma once

#include "engine.h"

namespace vantle::engine {

// What a reader is doing: made and not opened yet; open; at the end of a file; failed (the
// failure is raised again by every read); closed.
enum ReaderState { kNew = 0, kOpen, kEnded, kFailed, kClosed };

struct ReaderCore {
    int state = kNew;
    // Whether a thread drives the stream (holds the turn); guarded by the GIL, like everything
    // here: other threads wait for it on `signal`, in slices.
    bool busy = false;
    long long closes = 0;   // close() calls so far: an iteration that sees one end ends quietly
    int opened_epoch = -1;  // the process's epoch when the reader opened; -1: never opened
    double frame_timeout = 10.0;
    Object stats;
    Object source;
    Object failure;
    Object open_gap;  // the Gap that the next frame ends, if any
    std::shared_ptr<Tap> tap;
    Signal signal;
    // The counters that are also written to `stats`.
    uint64_t frames = 0;
    uint64_t dropped = 0;
    uint64_t position_base = 0;  // stream positions of the current pipeline start here
    uint64_t next_position = 0;  // one past the last frame's position
    bool have_first = false;
    int width = 0;
    int height = 0;
};

struct ReaderObject {
    PyObject_HEAD ReaderCore* core;
};

ReaderCore* reader_core(Handle reader);
bool is_reader(Handle object);

// One step of a frame wait: a frame, the end (the subclass's `_ended` has run), or nothing
// within `seconds` (0: no wait at all).
enum class Step { Frame, End, Nothing };
Step step(Handle self, ReaderCore& core, double seconds, Object* frame);

Object read_frame(Handle reader);
void check_process(Handle self, ReaderCore& core);
[[noreturn]] void raise_closed(Handle self);
bool pending_is_stream_error();

Object hub_read_frame(Handle hub);
long long hub_closes(Handle hub);

// Iterators over frames: of a reader (Frames or their arrays) or of a hub.
enum class IterationOf { ReaderFrames, ReaderArrays, HubFrames };
Object make_iterator(Handle owner, IterationOf what);

}  // namespace vantle::engine
