// The per-frame engine: what runs for every frame between GStreamer's streaming threads and the
// consumer's loop, in C++ against GStreamer's C API. Python sets pipelines up and decides about
// the rare events (a failure, the end, a reconnection); this code pulls samples, makes frames,
// keeps the counters, and wakes the loop that serves many streams.
#pragma once

// Python's header first, as it asks.
#include "bridge/object.h"
// clang-format off
#include <gst/app/gstappsink.h>
#include <gst/gst.h>
// clang-format on

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

namespace vantle::engine {

using bridge::Handle;
using bridge::Object;

// ----- the process -----

// Bumped in the child after fork(): objects made in another epoch belong to the parent, whose
// GStreamer threads (and the locks they held) the child does not have.
int process_epoch() noexcept;

// ----- time -----

double monotonic_seconds() noexcept;
double wall_seconds() noexcept;

// The longest any single blocking call lasts: Ctrl-C, close() from another thread and the
// caller's own budget are looked at between two.
constexpr double kSlice = 0.05;

// Releases the GIL for the lifetime of the object.
class WithoutGil {
public:
    WithoutGil() : state_(PyEval_SaveThread()) {}
    ~WithoutGil() { PyEval_RestoreThread(state_); }
    WithoutGil(const WithoutGil&) = delete;
    WithoutGil& operator=(const WithoutGil&) = delete;

private:
    PyThreadState* state_;
};

// A wake-up that threads wait for in slices: a generation counter under a mutex, so that a
// notification between looking at the state and waiting is never lost.
class Signal {
public:
    uint64_t mark() {
        std::lock_guard<std::mutex> lock(mutex_);
        return generation_;
    }
    void notify() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++generation_;
        }
        cv_.notify_all();
    }
    // Waits (without the GIL) until notified after `mark`, or `seconds` pass.
    void wait(uint64_t mark, double seconds) {
        if (seconds <= 0) return;
        WithoutGil unlocked;
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return generation_ != mark; });
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    uint64_t generation_ = 0;
};

// ----- what the module keeps -----

// References taken once when the module is made and kept for the life of the process (plain
// pointers: nothing is released after the interpreter has gone).
struct Globals {
    PyObject* frame_type = nullptr;
    PyObject* holder_type = nullptr;
    PyObject* probe_type = nullptr;
    PyObject* iterator_type = nullptr;
    PyObject* reader_type = nullptr;
    PyObject* asarray = nullptr;  // numpy.asarray
    // Attribute names, interned.
    PyObject* s_frames = nullptr;
    PyObject* s_dropped = nullptr;
    PyObject* s_first_frame_at = nullptr;
    PyObject* s_last_frame_at = nullptr;
    PyObject* s_width = nullptr;
    PyObject* s_height = nullptr;
    PyObject* s_ended = nullptr;
    PyObject* s_kind = nullptr;
};
Globals& globals();

// ----- keyframes -----

// Which decoded frames were keyframes. Decoders clear the keyframe flag on every picture they
// output, so the flag is read where coded frames enter a decoder: a probe there notes the times
// of keyframes (on a streaming thread), and a decoded frame with one of those times was one.
class KeyframeLog {
public:
    void note(uint64_t stamp, bool key);
    // Whether the decoded frame at `pts` was a keyframe; `delta` is what its own buffer says,
    // taken for frames the probe has not seen (no decoder probed yet, no time).
    bool is_keyframe(uint64_t pts, bool delta);
    // Forgets every note: the stream goes on from elsewhere (a seek).
    void reset();
    // The stream times of keyframes seen, kept across seeks (an index of the stream as far as it
    // was read), in ascending order.
    void index(uint64_t stream_time);
    std::vector<uint64_t> indexed();

private:
    static constexpr size_t kKeep = 64;
    static constexpr size_t kMaxNoted = 4096;
    static constexpr size_t kMaxIndexed = 1 << 16;
    std::mutex mutex_;
    std::set<uint64_t> indexed_;
    std::deque<std::pair<uint64_t, bool>> noted_;  // appended by the probe
    std::unordered_set<uint64_t> times_;
    std::optional<uint64_t> first_;
};

// The keyframe log of a pipeline, made on first use and kept with the pipeline.
std::shared_ptr<KeyframeLog> keyframe_log_of(GstElement* pipeline);

// ----- errors posted by the native probes -----

// The name of the details structure of errors that the decoder set-up posts itself; its field
// "kind" says what happened.
constexpr const char* kFailureDetails = "vantle-failure";

void post_failure(GstElement* pipeline, const char* kind, const std::string& text, GstStreamError code);

// What an ERROR message said, kept until Python makes an exception of it.
struct ErrorInfo {
    std::string domain;
    int code = 0;
    std::string message;
    std::string debug;
    std::string source;  // factory name of the element that posted it
    std::string details_name;
    std::string failure_kind;  // details "kind" of our own failures
    unsigned status = 0;       // http-status-code or rtsp-status-code
    std::string status_field;
};
Object error_record(const ErrorInfo& info);

// ----- one pipeline's output -----

class Waker;

// The appsink and bus of one pipeline as a reader takes frames from it. Shared between the
// reader and a thread pulling from it with the GIL released, so that close() from another
// thread can let the reader's reference go at any time.
class Tap {
public:
    Tap(GstElement* pipeline, GstElement* appsink, bool numbered, bool positioned = false);
    ~Tap();
    Tap(const Tap&) = delete;
    Tap& operator=(const Tap&) = delete;

    // Takes the bus's messages without waiting: keeps the first error and the HTTP response.
    void take_messages();
    // A sample ready now or within `seconds` (0: none is waited for; the GIL is released while
    // waiting), or nullptr. The caller owns the sample.
    GstSample* pull(double seconds);
    bool at_eos() const { return gst_app_sink_is_eos(appsink_) != FALSE; }

    // Wakes `waker` whenever a sample, the end or an error arrives.
    void watch(std::shared_ptr<Waker> waker);

    GstAppSink* appsink() const { return appsink_; }
    KeyframeLog* keyframes() const { return keyframes_.get(); }
    bool numbered() const { return numbered_; }
    // Whether frames carry their position in the stream (offset_end), as sampling leaves them.
    bool positioned() const { return positioned_; }

    const std::optional<ErrorInfo>& error() const { return error_; }
    bool has_http() const { return http_seen_; }
    const std::string& content_type() const { return content_type_; }
    int64_t content_length() const { return content_length_; }

    // Consumer-side bookkeeping (touched only by the thread with the reader's turn).
    GstSample* pending = nullptr;  // the first sample, taken while opening
    uint64_t frames = 0;           // delivered from this pipeline
    int64_t last_arrival = -1;

private:
    void take_error(GstMessage* message);
    void take_headers(const GstStructure* structure);

    GstElement* pipeline_;
    GstAppSink* appsink_;
    GstBus* bus_;
    std::shared_ptr<KeyframeLog> keyframes_;
    bool numbered_;
    bool positioned_;
    int epoch_;
    gulong bus_handler_ = 0;
    std::mutex messages_;  // two threads may take messages (close() and a pull)
    std::optional<ErrorInfo> error_;
    bool http_seen_ = false;
    std::string content_type_;
    int64_t content_length_ = -1;
};

// ----- readiness of many streams -----

// The line of streams that have something for the loop: marked on GStreamer's threads.
class Readiness {
public:
    void mark(size_t index);
    // The next stream in line (its mark lowered), or nothing.
    std::optional<size_t> next();
    bool is_marked(size_t index);
    void resize(size_t count);
    Signal signal;

private:
    std::mutex mutex_;
    std::deque<size_t> line_;
    std::vector<char> marked_;
};

// What GStreamer's threads call to mark one stream ready; turned off when the stream's
// pipeline is replaced.
class Waker {
public:
    Waker(std::shared_ptr<Readiness> readiness, size_t index) : readiness_(std::move(readiness)), index_(index) {}
    void wake() {
        if (active.load(std::memory_order_acquire)) readiness_->mark(index_);
    }
    std::atomic<bool> active{true};

private:
    std::shared_ptr<Readiness> readiness_;
    size_t index_;
};

// ----- frames -----

// The sample's buffer as a read-only numpy array that holds the buffer and its mapping.
Object sample_array(GstSample* sample, int* width, int* height);

// Seconds of `pts` on the stream's own timeline, through the sample's segment; None without.
Object stream_seconds(GstSample* sample, GstClockTime pts);

// ----- module pieces -----

Object make_frame_type(Handle module);
Object make_holder_type();
Object make_probe_type();
void add_probe_functions(Handle module);
Object make_reader_type(Handle module);
Object make_hub_type(Handle module);
Object make_iterator_type();

// The C pointer of a PyGObject object (its `__gpointer__`).
gpointer gpointer_of(Handle object);

}  // namespace vantle::engine
