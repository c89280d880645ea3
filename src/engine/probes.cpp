// The pad probes that run for every buffer, in C++ on GStreamer's streaming threads: keyframe
// notes at a decoder's input, the keyframes-only filter, the numbering of frames that reach an
// appsink, the frame-rate limit, the per-frame memory limit, and the discarding of streams that
// are not decoded; and, for queries, the answer of a source whose credentials are kept out of
// its location. Python makes them (as Probe objects) and registers them through
// `Pipeline.add_pad_probe`, which pairs each with its release like any other probe.
#include <algorithm>
#include <deque>
#include <tuple>
#include <utility>

#include "engine.h"

namespace vantle::engine {

using bridge::check;
using bridge::guarded;
using bridge::throw_pending;

// ----- keyframe log -----

void KeyframeLog::note(uint64_t stamp, bool key) {
    std::lock_guard<std::mutex> lock(mutex_);
    // A consumer that takes no frames (drop_frames with a reader that is not read) must not
    // make the notes grow: the oldest are behind every frame still to be delivered.
    if (noted_.size() >= kMaxNoted) noted_.pop_front();
    noted_.emplace_back(stamp, key);
}

void KeyframeLog::reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    noted_.clear();
    times_.clear();
    first_.reset();
}

void KeyframeLog::index(uint64_t stream_time) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (indexed_.size() < kMaxIndexed) indexed_.insert(stream_time);
}

std::vector<uint64_t> KeyframeLog::indexed() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::vector<uint64_t>(indexed_.begin(), indexed_.end());
}

bool KeyframeLog::is_keyframe(uint64_t pts, bool delta) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [stamp, key] : noted_) {
        // The earliest noted: a seek back brings earlier ones than those noted before it.
        if (!first_ || stamp < *first_) first_ = stamp;
        if (key) times_.insert(stamp);
    }
    noted_.clear();
    if (!first_ || !GST_CLOCK_TIME_IS_VALID(pts) || pts < *first_) return !delta;
    if (times_.size() > kKeep) {
        // Decoders output in presentation order: nothing earlier than this frame is to come.
        for (auto it = times_.begin(); it != times_.end();) it = *it < pts ? times_.erase(it) : std::next(it);
    }
    return times_.count(pts) != 0;
}

namespace {

GQuark keyframe_quark() {
    static const GQuark quark = g_quark_from_static_string("vantle-keyframe-log");
    return quark;
}

void delete_log(gpointer data) {
    delete static_cast<std::shared_ptr<KeyframeLog>*>(data);
}

GstElement* element_of(Handle object) {
    auto* element = static_cast<GstElement*>(gpointer_of(object));
    if (!GST_IS_ELEMENT(element)) {
        PyErr_SetString(PyExc_TypeError, "a GStreamer element is required");
        throw_pending();
    }
    return element;
}

}  // namespace

std::shared_ptr<KeyframeLog> keyframe_log_of(GstElement* pipeline) {
    // Made under the object's lock: a decoder's probe and a reader may ask at the same time.
    GST_OBJECT_LOCK(pipeline);
    auto* held = static_cast<std::shared_ptr<KeyframeLog>*>(g_object_get_qdata(G_OBJECT(pipeline), keyframe_quark()));
    if (held == nullptr) {
        held = new std::shared_ptr<KeyframeLog>(std::make_shared<KeyframeLog>());
        g_object_set_qdata_full(G_OBJECT(pipeline), keyframe_quark(), held, delete_log);
    }
    std::shared_ptr<KeyframeLog> log = *held;
    GST_OBJECT_UNLOCK(pipeline);
    return log;
}

gpointer gpointer_of(Handle object) {
    Object capsule = object.attr("__gpointer__");
    void* pointer = PyCapsule_GetPointer(capsule.ptr(), nullptr);
    if (pointer == nullptr) throw_pending();
    return pointer;
}

void post_failure(GstElement* pipeline, const char* kind, const std::string& text, GstStreamError code) {
    GError* error = g_error_new_literal(GST_STREAM_ERROR, code, text.c_str());
    GstStructure* details = gst_structure_new(kFailureDetails, "kind", G_TYPE_STRING, kind, nullptr);
    GstMessage* message = gst_message_new_error_with_details(GST_OBJECT(pipeline), error, text.c_str(), details);
    gst_element_post_message(pipeline, message);
    g_error_free(error);
}

namespace {

// A pipeline that a probe posts to, held weakly: a probe must not keep its pipeline alive.
class WeakPipeline {
public:
    explicit WeakPipeline(GstElement* pipeline) { g_weak_ref_init(&ref_, pipeline); }
    ~WeakPipeline() { g_weak_ref_clear(&ref_); }
    WeakPipeline(const WeakPipeline&) = delete;
    WeakPipeline& operator=(const WeakPipeline&) = delete;

    void post(const char* kind, const std::string& text, GstStreamError code) {
        auto* pipeline = static_cast<GstElement*>(g_weak_ref_get(&ref_));
        if (pipeline == nullptr) return;
        post_failure(pipeline, kind, text, code);
        gst_object_unref(pipeline);
    }

private:
    GWeakRef ref_;
};

// The most bytes one frame may take, and what has arrived towards the next. Checked where
// memory for a frame is gathered: the bytes pushed into a demuxer or depayloader before it
// hands out a frame (an MJPEG part without end grows there), and the size of each frame it
// hands out. The first excess posts a "too-large" error; that stream's data is dropped from
// then on, so that nothing grows while the reader brings the pipeline down.
struct LimitState {
    LimitState(GstElement* pipeline, uint64_t max) : pipeline(pipeline), max_bytes(max) {}
    WeakPipeline pipeline;
    uint64_t max_bytes;
    std::atomic<uint64_t> pending{0};  // bytes taken in since the last frame came out
    std::atomic<bool> exceeded{false};

    void fail(const std::string& text) {
        if (!exceeded.exchange(true)) pipeline.post("too-large", text, GST_STREAM_ERROR_FAILED);
    }
};

// Whether a video stream has been taken for decoding yet; a source whose data flows with none
// taken has none, and fails at once instead of waiting for frames that never come.
struct SearchState {
    explicit SearchState(GstElement* pipeline) : pipeline(pipeline) {}
    WeakPipeline pipeline;
    std::atomic<bool> linked{false};
    std::atomic<bool> reported{false};
};

// The time before which decoded frames are dropped (nanoseconds of stream time; -1: none): the
// target of a seek made to the keyframe before it, so that the frames between are decoded, as the
// target needs, but never converted. The probe keeps the segment its times are on.
struct FloorState {
    // Set by a seek, taken on at the new segment that follows it (the frames before that segment
    // are the old position's, flushed by the seek, and must not consume the floor).
    std::atomic<int64_t> pending_floor{-1};
    std::atomic<int64_t> pending_ceiling{-1};
    std::atomic<bool> pending{false};
    std::atomic<int64_t> floor{-1};
    std::atomic<int64_t> ceiling{-1};  // frames at or after it are dropped too (-1: none)
    std::atomic<uint64_t> skips{0};    // floors set without a seek (skip)
    std::mutex mutex;
    GstSegment segment{};
    bool have_segment = false;
};

enum class ProbeKind {
    TimeFloor,
    SampleAhead,
    Keyframes,
    DeltaFilter,
    Numbering,
    RateLimit,
    Sampling,
    CountInput,
    CountOutput,
    PictureSize,
    Discard,
    UriAnswer
};

const char* probe_name(ProbeKind kind) {
    switch (kind) {
        case ProbeKind::TimeFloor:
            return "drop_before_floor";
        case ProbeKind::SampleAhead:
            return "skip_unsampled";
        case ProbeKind::Keyframes:
            return "note_keyframes";
        case ProbeKind::DeltaFilter:
            return "drop_delta_units";
        case ProbeKind::Numbering:
            return "number_frames";
        case ProbeKind::RateLimit:
            return "limit_frame_rate";
        case ProbeKind::Sampling:
            return "sample_frames";
        case ProbeKind::CountInput:
            return "count_input";
        case ProbeKind::CountOutput:
            return "count_output";
        case ProbeKind::PictureSize:
            return "check_picture_size";
        case ProbeKind::Discard:
            return "discard";
        case ProbeKind::UriAnswer:
            return "answer_uri";
    }
    return "probe";
}

struct SkipNotes;

// What one probe kind needs; a probe's attachment holds its own copy (the state behind the
// shared pointers is shared with Python's objects).
struct ProbeState {
    ProbeKind kind;
    std::shared_ptr<KeyframeLog> keyframes;
    std::shared_ptr<LimitState> limit;
    std::shared_ptr<SearchState> search;
    uint64_t min_interval = 0;
    // UriAnswer: the location a source answers a URI query with, and the URI given instead.
    std::string location = {}, uri = {};
    std::shared_ptr<FloorState> floor = {};
    // Sampling: the nominal time of one frame (0: none), from which the position of the first
    // frame after a seek follows.
    uint64_t frame_duration = 0;
    std::shared_ptr<SkipNotes> skips = {};
};

// What sampling's two probes share: the coded frames that the one before the decoder skipped,
// noted with the time of the frame after them (and the seek they belong to), for the one after
// the decoder to count in the positions of the frames.
struct SkipNotes {
    std::mutex mutex;
    uint64_t seeks = 0;  // flushes seen before the decoder
    // Pictures without times (multipart JPEG): the probe before the decoder keeps them by when
    // they arrive, notes are keyed by the number of frames passed, and the probe after the
    // decoder keeps every frame.
    std::atomic<bool> untimed{false};
    std::deque<std::tuple<uint64_t, GstClockTime, uint64_t>> skipped;  // (seeks, next time, frames)
};

// Coded frames held back before the decoder; their references go with the holder.
struct HeldFrames {
    std::deque<GstBuffer*> frames;
    HeldFrames() = default;
    HeldFrames(const HeldFrames&) = delete;
    HeldFrames& operator=(const HeldFrames&) = delete;
    ~HeldFrames() { drop(); }
    size_t drop() {
        const size_t count = frames.size();
        for (GstBuffer* frame : frames) gst_buffer_unref(frame);
        frames.clear();
        return count;
    }
};

// Per attachment: the state and what the probe counts on its own pad.
struct Attached {
    explicit Attached(const ProbeState& state) : state(state) {}
    ProbeState state;
    std::atomic<uint64_t> count{0};
    GstClockTime last_pts = GST_CLOCK_TIME_NONE;  // the rate limit's last frame; sampling's next due
    bool seen = false;
    // Keyframes of MPEG-1/2 video: whether the pad carries it (-1 before the first buffer), and a
    // keyframe whose presentation time is not known yet (see note_keyframe).
    int mpeg = -1;
    bool anchor_pending = false;
    GstClockTime last_dts = GST_CLOCK_TIME_NONE, last_duration = GST_CLOCK_TIME_NONE;
    // Sampling: the stream time of the first frame, and whether a seek has flushed the stream
    // since the last frame.
    GstClockTime origin = GST_CLOCK_TIME_NONE;
    bool sought = false;
    GstClockTime arrival_due = GST_CLOCK_TIME_NONE;  // sampling of pictures without times: the next due
    uint64_t seeks = 0;                              // flushes seen (sampling after the decoder)
    // Sampling before the decoder: frames held until it is known whether a frame kept needs them,
    // frames skipped since the last one passed, the last time seen, the seek's target (stream
    // time, -1: none; read at the first frame after a flush), and whether it steps aside.
    HeldFrames held;
    uint64_t skipped = 0;
    GstClockTime last_time = GST_CLOCK_TIME_NONE;
    int64_t target = -1;
    bool read_target = true, aside = false, releasing = false;
    int pictures = -1;    // whether the stream is JPEG (its frames stand alone), -1 before the first
    uint64_t passed = 0;  // frames passed since the last flush (sampling, for pictures without times)
};

// A URI query that the source answered with its location (no user information) is answered
// with the URI that has it: an adaptive demuxer (HLS, DASH) fetches the playlist's fragments
// itself, from URIs it resolves against this one, and they carry the credentials only so.
GstPadProbeReturn answer_uri(GstPadProbeInfo* info, const ProbeState& state) {
    if (!(info->type & GST_PAD_PROBE_TYPE_QUERY_UPSTREAM)) return GST_PAD_PROBE_OK;
    GstQuery* query = GST_PAD_PROBE_INFO_QUERY(info);
    if (query == nullptr || GST_QUERY_TYPE(query) != GST_QUERY_URI || !gst_query_is_writable(query)) {
        return GST_PAD_PROBE_OK;
    }
    gchar* answered = nullptr;
    gst_query_parse_uri(query, &answered);
    if (answered != nullptr && state.location == answered) gst_query_set_uri(query, state.uri.c_str());
    g_free(answered);
    return GST_PAD_PROBE_OK;
}

// The picture size of a JPEG (its start-of-frame segment), or {0, 0} when the bytes hold none.
std::pair<uint32_t, uint32_t> jpeg_size(const uint8_t* data, size_t size) {
    size_t at = 2;  // after the start-of-image marker
    if (size < 4 || data[0] != 0xFF || data[1] != 0xD8) return {0, 0};
    while (at + 9 < size) {
        if (data[at] != 0xFF) return {0, 0};
        const uint8_t marker = data[at + 1];
        const size_t length = (static_cast<size_t>(data[at + 2]) << 8) | data[at + 3];
        // SOF0 to SOF15, except DHT (C4), JPG (C8) and DAC (CC): height, then width.
        if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
            return {static_cast<uint32_t>((data[at + 7] << 8) | data[at + 8]),
                    static_cast<uint32_t>((data[at + 5] << 8) | data[at + 6])};
        }
        if (marker == 0xDA || length < 2) return {0, 0};  // the scan starts: no size before it
        at += 2 + length;
    }
    return {0, 0};
}

// At a decoder's input: pictures whose size (from the caps, or a JPEG's own header where the
// caps give none) would take more than the limit as BGR are refused before the decoder
// allocates anything for them.
GstPadProbeReturn check_picture_size(LimitState& limit, GstPadProbeInfo* info, GstBuffer* buffer) {
    if (limit.exceeded.load()) return GST_PAD_PROBE_DROP;
    uint64_t width = 0, height = 0;
    if (info->type & GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM) {
        GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
        if (GST_EVENT_TYPE(event) != GST_EVENT_CAPS) return GST_PAD_PROBE_OK;
        GstCaps* caps = nullptr;
        gst_event_parse_caps(event, &caps);
        const GstStructure* structure =
            caps != nullptr && gst_caps_get_size(caps) > 0 ? gst_caps_get_structure(caps, 0) : nullptr;
        int w = 0, h = 0;
        if (structure == nullptr || !gst_structure_get_int(structure, "width", &w) ||
            !gst_structure_get_int(structure, "height", &h) || w <= 0 || h <= 0) {
            return GST_PAD_PROBE_OK;
        }
        width = static_cast<uint64_t>(w);
        height = static_cast<uint64_t>(h);
    } else if (buffer != nullptr) {
        GstMapInfo map;
        if (!gst_buffer_map(buffer, &map, GST_MAP_READ)) return GST_PAD_PROBE_OK;
        const auto [w, h] = jpeg_size(map.data, map.size);
        gst_buffer_unmap(buffer, &map);
        width = w;
        height = h;
    }
    if (width * height * 3 <= limit.max_bytes) return GST_PAD_PROBE_OK;
    limit.fail("pictures of " + std::to_string(width) + "x" + std::to_string(height) + " take " +
               std::to_string(width * height * 3) + " bytes each, above max_frame_bytes (" +
               std::to_string(limit.max_bytes) + ")");
    return GST_PAD_PROBE_DROP;
}

// Whether `pad` carries MPEG-1 or MPEG-2 video (not MPEG-4 part 2, which shares the media type).
bool carries_mpeg_video(GstPad* pad) {
    GstCaps* caps = gst_pad_get_current_caps(pad);
    if (caps == nullptr) return false;
    int version = 0;
    const GstStructure* structure = gst_caps_get_size(caps) > 0 ? gst_caps_get_structure(caps, 0) : nullptr;
    const bool mpeg = structure != nullptr && gst_structure_has_name(structure, "video/mpeg") &&
                      gst_structure_get_int(structure, "mpegversion", &version) && (version == 1 || version == 2);
    gst_caps_unref(caps);
    return mpeg;
}

// The coding type of an MPEG-1/2 picture (1 I, 2 P, 3 B) from its picture header, which follows
// any sequence and group headers; 0 when the bytes hold none.
int mpeg_picture_type(GstBuffer* buffer) {
    GstMapInfo map;
    if (!gst_buffer_map(buffer, &map, GST_MAP_READ)) return 0;
    int type = 0;
    const size_t end = std::min<size_t>(map.size, 4096);
    for (size_t at = 0; at + 5 < end; ++at) {
        if (map.data[at] == 0 && map.data[at + 1] == 0 && map.data[at + 2] == 1 && map.data[at + 3] == 0) {
            type = (map.data[at + 5] >> 3) & 7;
            break;
        }
    }
    gst_buffer_unmap(buffer, &map);
    return type;
}

// The stream time of `stamp` on the segment `pad` carries (the stamp itself before any).
GstClockTime stream_time_at(GstPad* pad, GstClockTime stamp) {
    GstEvent* event = gst_pad_get_sticky_event(pad, GST_EVENT_SEGMENT, 0);
    if (event == nullptr) return stamp;
    const GstSegment* segment = nullptr;
    gst_event_parse_segment(event, &segment);
    guint64 time = stamp;
    const int sign = segment->format == GST_FORMAT_TIME
                         ? gst_segment_to_stream_time_full(segment, GST_FORMAT_TIME, stamp, &time)
                         : 1;
    gst_event_unref(event);
    return sign > 0 ? time : GST_CLOCK_TIME_NONE;
}

// Notes a coded frame's time and whether it is a keyframe. A program stream (and some transport
// streams) gives most MPEG-1/2 pictures no presentation time, only the decoding time the parser
// counts; that differs from the presentation time of every I- and P-picture, which is shown when
// the next of them is decoded (a B-picture is shown as it is decoded). Such a picture's note waits
// for the next I- or P-picture's decoding time, or the end of the stream.
GstPadProbeReturn note_keyframe(GstPad* pad, GstPadProbeInfo* info, GstBuffer* buffer, Attached& attached) {
    KeyframeLog& log = *attached.state.keyframes;
    const auto note = [&](GstClockTime stamp, bool key) {
        log.note(stamp, key);
        if (key) {
            const GstClockTime time = stream_time_at(pad, stamp);
            if (GST_CLOCK_TIME_IS_VALID(time)) log.index(time);
        }
    };
    if (buffer == nullptr) {
        if (!(info->type & (GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM | GST_PAD_PROBE_TYPE_EVENT_FLUSH))) {
            return GST_PAD_PROBE_OK;
        }
        GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
        if (GST_EVENT_TYPE(event) == GST_EVENT_EOS && attached.anchor_pending &&
            GST_CLOCK_TIME_IS_VALID(attached.last_dts) && GST_CLOCK_TIME_IS_VALID(attached.last_duration)) {
            note(attached.last_dts + attached.last_duration, true);
        }
        if (GST_EVENT_TYPE(event) == GST_EVENT_EOS || GST_EVENT_TYPE(event) == GST_EVENT_FLUSH_STOP) {
            attached.anchor_pending = false;
            attached.last_dts = GST_CLOCK_TIME_NONE;
        }
        return GST_PAD_PROBE_OK;
    }
    const bool key = !GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);
    if (attached.mpeg < 0) attached.mpeg = carries_mpeg_video(pad) ? 1 : 0;
    if (attached.mpeg == 0 || GST_BUFFER_PTS_IS_VALID(buffer)) {
        const GstClockTime stamp = GST_BUFFER_PTS_IS_VALID(buffer) ? GST_BUFFER_PTS(buffer) : GST_BUFFER_DTS(buffer);
        if (GST_CLOCK_TIME_IS_VALID(stamp)) note(stamp, key);
    }
    if (attached.mpeg == 0) return GST_PAD_PROBE_OK;
    const int type = mpeg_picture_type(buffer);
    const GstClockTime dts = GST_BUFFER_DTS(buffer);
    if (type == 1 || type == 2) {
        // The waiting keyframe is shown as this picture is decoded.
        if (attached.anchor_pending && GST_CLOCK_TIME_IS_VALID(dts)) note(dts, true);
        attached.anchor_pending = key && !GST_BUFFER_PTS_IS_VALID(buffer);
    } else if (type == 3 && !GST_BUFFER_PTS_IS_VALID(buffer) && GST_CLOCK_TIME_IS_VALID(dts)) {
        note(dts, false);
    }
    attached.last_dts = dts;
    attached.last_duration = GST_BUFFER_DURATION(buffer);
    return GST_PAD_PROBE_OK;
}

// Sampling's rule: whether the frame at `pts` is kept, on a grid of `interval` from the first kept
// frame, each kept frame the first at or after its time (within a little, so that 30 frames a
// second give one a second exactly); `due` is the next time on the grid (none before the first).
bool sample_due(GstClockTime pts, GstClockTime& due, uint64_t interval) {
    const GstClockTime slack = std::min<GstClockTime>(interval / 4, 5 * GST_MSECOND);
    if (GST_CLOCK_TIME_IS_VALID(due) && pts + slack < due) return false;
    if (!GST_CLOCK_TIME_IS_VALID(due) || pts >= due + interval) due = pts;
    while (due <= pts + slack) due += interval;
    return true;
}

// Pushes the held frames on (the probe lets its own pushes through), as a frame kept needs them.
void release_held(GstPad* pad, Attached& attached) {
    std::deque<GstBuffer*> frames;
    frames.swap(attached.held.frames);
    bool flowing = true;
    for (GstBuffer* frame : frames) {
        if (!flowing) {
            gst_buffer_unref(frame);
            continue;
        }
        attached.releasing = true;
        flowing = gst_pad_push(pad, frame) == GST_FLOW_OK;
        attached.releasing = false;
    }
}

// Sampling before the decoder: a coded frame that the sampling after the decoder will not keep is
// held back; when a frame it keeps comes, the held frames go on before it (it may need them as
// references), and when a keyframe comes first they are dropped undecoded (nothing from a keyframe
// on refers to them). It steps aside for good where decoding order may differ from display order
// (a frame whose decoding time is not its presentation time, or without one: B-frames), except
// for JPEG, whose frames stand alone. The frames dropped are noted for the positions of those kept.
GstPadProbeReturn skip_unsampled(GstPad* pad, GstPadProbeInfo* info, GstBuffer* buffer, Attached& a) {
    const ProbeState& state = a.state;
    if (a.releasing) return GST_PAD_PROBE_OK;
    if (info->type & (GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM | GST_PAD_PROBE_TYPE_EVENT_FLUSH)) {
        GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
        if (event == nullptr) return GST_PAD_PROBE_OK;
        switch (GST_EVENT_TYPE(event)) {
            case GST_EVENT_FLUSH_STOP: {
                a.held.drop();
                a.skipped = 0;
                a.last_pts = a.last_time = GST_CLOCK_TIME_NONE;
                a.read_target = true;
                a.passed = 0;
                a.arrival_due = GST_CLOCK_TIME_NONE;
                std::lock_guard<std::mutex> lock(state.skips->mutex);
                state.skips->seeks += 1;
                break;
            }
            case GST_EVENT_FLUSH_START:
                break;
            case GST_EVENT_EOS:
                a.held.drop();  // none of them is kept
                break;
            default:
                // Whatever else comes in order with the frames goes after those held.
                if (GST_EVENT_IS_SERIALIZED(event)) release_held(pad, a);
        }
        return GST_PAD_PROBE_OK;
    }
    if (buffer == nullptr || a.aside) return GST_PAD_PROBE_OK;
    if (a.pictures < 0) {
        GstCaps* caps = gst_pad_get_current_caps(pad);
        a.pictures = caps != nullptr && gst_caps_get_size(caps) > 0 &&
                     gst_structure_has_name(gst_caps_get_structure(caps, 0), "image/jpeg");
        if (caps != nullptr) gst_caps_unref(caps);
        if (a.pictures == 1 && !GST_BUFFER_PTS_IS_VALID(buffer)) state.skips->untimed.store(true);
    }
    if (state.skips->untimed.load()) {
        // Pictures without times stand alone: those that sampling does not keep, by when they
        // arrive, are dropped here, and those kept go on with the count of the dropped before them.
        const GstClockTime now = g_get_monotonic_time() * GST_USECOND;
        if (!sample_due(now, a.arrival_due, state.min_interval)) {
            a.skipped += 1;
            return GST_PAD_PROBE_DROP;
        }
        if (a.skipped > 0) {
            std::lock_guard<std::mutex> lock(state.skips->mutex);
            state.skips->skipped.emplace_back(state.skips->seeks, a.passed, a.skipped);
            a.skipped = 0;
        }
        a.passed += 1;
        return GST_PAD_PROBE_OK;
    }
    const GstClockTime pts = GST_BUFFER_PTS(buffer), dts = GST_BUFFER_DTS(buffer);
    const bool in_order = GST_CLOCK_TIME_IS_VALID(pts) && (a.pictures == 1 || dts == pts) &&
                          (!GST_CLOCK_TIME_IS_VALID(a.last_time) || pts >= a.last_time);
    if (!in_order) {
        a.aside = true;
        release_held(pad, a);
        return GST_PAD_PROBE_OK;
    }
    a.last_time = pts;
    // The seek's target: the frames before it are dropped after the decoder, unseen by sampling.
    // It is read at the first frame after the seek's flush; a floor set without a seek (a reader
    // skipping ahead) comes at no frame in particular, and this probe steps aside for it.
    const FloorState& floor = *state.floor;
    if (floor.skips.load() != 0) {
        a.aside = true;
        release_held(pad, a);
        return GST_PAD_PROBE_OK;
    }
    if (a.read_target) {
        a.target = floor.pending.load() ? floor.pending_floor.load() : floor.floor.load();
        a.read_target = false;
    }
    bool kept = false;
    if (a.target >= 0) {
        const GstClockTime time = stream_time_at(pad, pts);
        if (GST_CLOCK_TIME_IS_VALID(time) && static_cast<int64_t>(time) >= a.target) a.target = -1;
    }
    if (a.target < 0) kept = sample_due(pts, a.last_pts, state.min_interval);
    if (!GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT)) a.skipped += a.held.drop();
    if (!kept) {
        a.held.frames.push_back(gst_buffer_ref(buffer));
        return GST_PAD_PROBE_DROP;
    }
    if (a.skipped > 0) {
        // Counted before the first frame to go on after them: the first held, or this one.
        const GstClockTime next = a.held.frames.empty() ? pts : GST_BUFFER_PTS(a.held.frames.front());
        std::lock_guard<std::mutex> lock(state.skips->mutex);
        state.skips->skipped.emplace_back(state.skips->seeks, next, a.skipped);
        a.skipped = 0;
    }
    release_held(pad, a);
    return GST_PAD_PROBE_OK;
}

// Frames skipped before the decoder ahead of the frame at `pts`, of the seek after the decoder's
// count of flushes (older notes are dropped).
uint64_t skipped_before(SkipNotes& notes, uint64_t seeks, GstClockTime pts) {
    std::lock_guard<std::mutex> lock(notes.mutex);
    uint64_t count = 0;
    while (!notes.skipped.empty()) {
        const auto& [seek, time, frames] = notes.skipped.front();
        if (seek > seeks || (seek == seeks && time > pts)) break;
        if (seek == seeks) count += frames;
        notes.skipped.pop_front();
    }
    return count;
}

// Sampling's count of the stream's frames at the first frame, and at the first after a seek:
// the frames skipped by the seek are not decoded, so its position is its time on the stream's
// timeline over the nominal frame time (kept as counted where the stream has no nominal rate).
void note_position(GstPad* pad, GstBuffer* buffer, Attached& attached) {
    const GstClockTime time =
        GST_BUFFER_PTS_IS_VALID(buffer) ? stream_time_at(pad, GST_BUFFER_PTS(buffer)) : GST_CLOCK_TIME_NONE;
    if (!attached.seen) {
        attached.seen = true;
        attached.origin = time;
        return;
    }
    attached.sought = false;
    const uint64_t frame = attached.state.frame_duration;
    if (frame == 0 || !GST_CLOCK_TIME_IS_VALID(time) || !GST_CLOCK_TIME_IS_VALID(attached.origin) ||
        time < attached.origin) {
        return;
    }
    attached.count.store((time - attached.origin + frame / 2) / frame, std::memory_order_relaxed);
}

GstPadProbeReturn run_probe(GstPad* pad, GstPadProbeInfo* info, gpointer data) {
    auto* attached = static_cast<Attached*>(data);
    ProbeState& state = attached->state;
    GstBuffer* buffer = (info->type & GST_PAD_PROBE_TYPE_BUFFER) ? GST_PAD_PROBE_INFO_BUFFER(info) : nullptr;
    switch (state.kind) {
        case ProbeKind::TimeFloor: {
            FloorState& floor = *state.floor;
            if (info->type & GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM) {
                GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
                if (GST_EVENT_TYPE(event) == GST_EVENT_SEGMENT) {
                    const GstSegment* segment = nullptr;
                    gst_event_parse_segment(event, &segment);
                    std::lock_guard<std::mutex> lock(floor.mutex);
                    gst_segment_copy_into(segment, &floor.segment);
                    floor.have_segment = segment->format == GST_FORMAT_TIME;
                    if (floor.pending.exchange(false)) {
                        floor.floor.store(floor.pending_floor.load());
                        floor.ceiling.store(floor.pending_ceiling.load());
                    }
                }
                return GST_PAD_PROBE_OK;
            }
            const int64_t limit = floor.floor.load(), ceiling = floor.ceiling.load();
            if (buffer == nullptr || (limit < 0 && ceiling < 0) || !GST_BUFFER_PTS_IS_VALID(buffer)) {
                return GST_PAD_PROBE_OK;
            }
            guint64 stream_time = GST_BUFFER_PTS(buffer);
            {
                std::lock_guard<std::mutex> lock(floor.mutex);
                if (floor.have_segment && gst_segment_to_stream_time_full(&floor.segment, GST_FORMAT_TIME,
                                                                          GST_BUFFER_PTS(buffer), &stream_time) <= 0) {
                    return GST_PAD_PROBE_DROP;  // before the segment's start of stream time
                }
            }
            // An end some demuxers do not clip to themselves.
            if (ceiling >= 0 && static_cast<int64_t>(stream_time) >= ceiling) return GST_PAD_PROBE_DROP;
            if (limit < 0) return GST_PAD_PROBE_OK;
            if (static_cast<int64_t>(stream_time) >= limit) {
                floor.floor.store(-1);  // the first frame at or after the target: the rest flow
                return GST_PAD_PROBE_OK;
            }
            return GST_PAD_PROBE_DROP;
        }
        case ProbeKind::Keyframes:
            return note_keyframe(pad, info, buffer, *attached);
        case ProbeKind::DeltaFilter:
            return buffer != nullptr && GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT) ? GST_PAD_PROBE_DROP
                                                                                                   : GST_PAD_PROBE_OK;
        case ProbeKind::Numbering:
            // One streaming thread feeds a sink: the count needs no lock. The offset is the
            // frame's arrival number, from which a reader counts the frames dropped between two.
            if (buffer != nullptr) GST_BUFFER_OFFSET(buffer) = attached->count.fetch_add(1, std::memory_order_relaxed);
            return GST_PAD_PROBE_OK;
        case ProbeKind::RateLimit: {
            if (buffer == nullptr || !GST_BUFFER_PTS_IS_VALID(buffer)) return GST_PAD_PROBE_OK;
            const GstClockTime pts = GST_BUFFER_PTS(buffer);
            const GstClockTime last = attached->last_pts;
            // A little slack, so that a stream at exactly the limit keeps every frame.
            if (GST_CLOCK_TIME_IS_VALID(last) && last <= pts && pts < last + state.min_interval * 9 / 10) {
                return GST_PAD_PROBE_DROP;
            }
            attached->last_pts = pts;
            return GST_PAD_PROBE_OK;
        }
        case ProbeKind::Sampling: {
            if (info->type & GST_PAD_PROBE_TYPE_EVENT_FLUSH) {
                // A seek: the grid starts again at the first frame after it.
                GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
                if (event != nullptr && GST_EVENT_TYPE(event) == GST_EVENT_FLUSH_STOP) {
                    attached->last_pts = attached->arrival_due = GST_CLOCK_TIME_NONE;
                    attached->passed = 0;
                    attached->sought = true;
                    attached->seeks += 1;
                }
                return GST_PAD_PROBE_OK;
            }
            if (buffer == nullptr) return GST_PAD_PROBE_OK;
            if (!attached->seen || attached->sought) note_position(pad, buffer, *attached);
            if (state.skips && state.skips->untimed.load()) {
                // Chosen before the decoder (by when they arrived): kept, each counted after the
                // pictures dropped before it (notes keyed by the frames passed since the flush).
                attached->count.fetch_add(skipped_before(*state.skips, attached->seeks, attached->passed),
                                          std::memory_order_relaxed);
                attached->passed += 1;
                GST_BUFFER_OFFSET_END(buffer) = attached->count.fetch_add(1, std::memory_order_relaxed);
                return GST_PAD_PROBE_OK;
            }
            if (state.skips && GST_BUFFER_PTS_IS_VALID(buffer)) {
                attached->count.fetch_add(skipped_before(*state.skips, attached->seeks, GST_BUFFER_PTS(buffer)),
                                          std::memory_order_relaxed);
            }
            // Every decoded frame's position in the stream goes with it (in offset_end, which the
            // converter keeps), so that the frames delivered show the gaps between them.
            GST_BUFFER_OFFSET_END(buffer) = attached->count.fetch_add(1, std::memory_order_relaxed);
            // Frames without times (multipart JPEG) are spaced by when they arrive, on a grid of
            // their own.
            const bool timed = GST_BUFFER_PTS_IS_VALID(buffer);
            const GstClockTime time = timed ? GST_BUFFER_PTS(buffer) : g_get_monotonic_time() * GST_USECOND;
            return sample_due(time, timed ? attached->last_pts : attached->arrival_due, state.min_interval)
                       ? GST_PAD_PROBE_OK
                       : GST_PAD_PROBE_DROP;
        }
        case ProbeKind::SampleAhead:
            return skip_unsampled(pad, info, buffer, *attached);
        case ProbeKind::CountInput: {
            LimitState& limit = *state.limit;
            if (limit.exceeded.load()) return GST_PAD_PROBE_DROP;
            if (buffer == nullptr) return GST_PAD_PROBE_OK;
            const uint64_t pending = limit.pending.fetch_add(gst_buffer_get_size(buffer)) + gst_buffer_get_size(buffer);
            if (pending > limit.max_bytes) {
                limit.fail("more than " + std::to_string(limit.max_bytes) +
                           " bytes arrived without a complete frame: a part without end, or a frame above "
                           "max_frame_bytes");
                return GST_PAD_PROBE_DROP;
            }
            return GST_PAD_PROBE_OK;
        }
        case ProbeKind::CountOutput: {
            LimitState& limit = *state.limit;
            limit.pending.store(0);
            if (buffer != nullptr && gst_buffer_get_size(buffer) > limit.max_bytes) {
                limit.fail("a frame of " + std::to_string(gst_buffer_get_size(buffer)) +
                           " bytes, above max_frame_bytes (" + std::to_string(limit.max_bytes) + ")");
                return GST_PAD_PROBE_DROP;
            }
            return GST_PAD_PROBE_OK;
        }
        case ProbeKind::PictureSize:
            return check_picture_size(*state.limit, info, buffer);
        case ProbeKind::Discard:
            if (!attached->seen && (buffer != nullptr || (info->type & GST_PAD_PROBE_TYPE_BUFFER_LIST))) {
                attached->seen = true;
                SearchState* search = state.search.get();
                if (search != nullptr && !search->linked.load() && !search->reported.exchange(true)) {
                    search->pipeline.post("no-video", "No video stream in the source", GST_STREAM_ERROR_WRONG_TYPE);
                }
            }
            // Data of a stream that is not decoded goes nowhere (OK upstream, as a fakesink would
            // answer); its events are kept on the pad, as on any unlinked pad.
            if (info->type & (GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST)) return GST_PAD_PROBE_DROP;
            return GST_PAD_PROBE_OK;
        case ProbeKind::UriAnswer:
            return answer_uri(info, state);
    }
    return GST_PAD_PROBE_OK;
}

void delete_attached(gpointer data) {
    delete static_cast<Attached*>(data);
}

// ----- the Probe type -----

struct ProbeObject {
    PyObject_HEAD ProbeState* state;
};

ProbeState& state_of(PyObject* self) {
    return *reinterpret_cast<ProbeObject*>(self)->state;
}

Object new_probe(ProbeState state) {
    auto* type = reinterpret_cast<PyTypeObject*>(globals().probe_type);
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    Object probe = Object::steal(alloc(type, 0));
    reinterpret_cast<ProbeObject*>(probe.ptr())->state = new ProbeState(std::move(state));
    return probe;
}

void probe_dealloc(PyObject* self) {
    delete reinterpret_cast<ProbeObject*>(self)->state;
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
    Py_DECREF(type);
}

// attach_to_pad(pad, mask) -> int: adds the probe to `pad` for the items of `mask` and returns
// the probe's id, which `pad.remove_probe` takes.
PyObject* probe_attach(PyObject* self, PyObject* args) {
    return guarded([&] {
        PyObject *pad_object, *mask_object;
        if (!PyArg_ParseTuple(args, "OO:attach_to_pad", &pad_object, &mask_object)) throw_pending();
        auto* pad = static_cast<GstPad*>(gpointer_of(Handle(pad_object)));
        if (!GST_IS_PAD(pad)) {
            PyErr_SetString(PyExc_TypeError, "attach_to_pad needs a Gst.Pad");
            throw_pending();
        }
        const unsigned long mask = PyLong_AsUnsignedLongMask(mask_object);
        if (PyErr_Occurred()) throw_pending();
        auto* attached = new Attached(state_of(self));
        const gulong id =
            gst_pad_add_probe(pad, static_cast<GstPadProbeType>(mask), run_probe, attached, delete_attached);
        return bridge::integer(static_cast<long long>(id));
    });
}

PyObject* probe_get_name(PyObject* self, void*) {
    return PyUnicode_FromString(probe_name(state_of(self).kind));
}

PyMethodDef probe_methods[] = {
    {"attach_to_pad", probe_attach, METH_VARARGS,
     "attach_to_pad($self, pad, mask, /)\n--\n\nAdds the probe to `pad` for the items of `mask`; returns its id."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef probe_getset[] = {
    {"__name__", probe_get_name, nullptr, "What the probe does", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ----- FrameLimit and VideoSearch: state that Python shares with probes -----

struct LimitObject {
    PyObject_HEAD std::shared_ptr<LimitState>* state;
};

LimitState& limit_of(PyObject* self) {
    return **reinterpret_cast<LimitObject*>(self)->state;
}

PyObject* limit_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        static const char* names[] = {"pipeline", "max_bytes", nullptr};
        PyObject* pipeline;
        unsigned long long max_bytes;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OK:FrameLimit", const_cast<char**>(names), &pipeline,
                                         &max_bytes)) {
            throw_pending();
        }
        GstElement* element = element_of(Handle(pipeline));
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        Object self = Object::steal(alloc(type, 0));
        reinterpret_cast<LimitObject*>(self.ptr())->state =
            new std::shared_ptr<LimitState>(std::make_shared<LimitState>(element, max_bytes));
        return self;
    });
}

void limit_dealloc(PyObject* self) {
    delete reinterpret_cast<LimitObject*>(self)->state;
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
    Py_DECREF(type);
}

PyObject* limit_fail(PyObject* self, PyObject* text) {
    return guarded([&] {
        limit_of(self).fail(bridge::to_string(Handle(text)));
        return bridge::none();
    });
}

PyObject* limit_probe(PyObject* self, ProbeKind kind) {
    return guarded([&] {
        ProbeState state{kind, nullptr, *reinterpret_cast<LimitObject*>(self)->state, nullptr, 0};
        return new_probe(std::move(state));
    });
}

PyObject* limit_count_input(PyObject* self, PyObject*) {
    return limit_probe(self, ProbeKind::CountInput);
}
PyObject* limit_count_output(PyObject* self, PyObject*) {
    return limit_probe(self, ProbeKind::CountOutput);
}
PyObject* limit_check_pictures(PyObject* self, PyObject*) {
    return limit_probe(self, ProbeKind::PictureSize);
}
PyObject* limit_exceeded(PyObject* self, void*) {
    return PyBool_FromLong(limit_of(self).exceeded.load());
}
PyObject* limit_max_bytes(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(limit_of(self).max_bytes);
}

PyMethodDef limit_methods[] = {
    {"fail", limit_fail, METH_O,
     "fail($self, text, /)\n--\n\nPosts the \"too-large\" error on the pipeline's bus, once."},
    {"count_input", limit_count_input, METH_NOARGS,
     "count_input($self, /)\n--\n\nA probe that counts the bytes pushed in towards the next frame."},
    {"count_output", limit_count_output, METH_NOARGS,
     "count_output($self, /)\n--\n\nA probe that starts the count again at each frame out, and checks its size."},
    {"check_pictures", limit_check_pictures, METH_NOARGS,
     "check_pictures($self, /)\n--\n\nA probe for a decoder's input (buffers and caps) that refuses pictures too\n"
     "large for the limit, from their caps or a JPEG's own header, before anything is decoded."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef limit_getset[] = {
    {"exceeded", limit_exceeded, nullptr, "Whether the limit was exceeded (the error is posted)", nullptr},
    {"max_bytes", limit_max_bytes, nullptr, "The most bytes one frame may take", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

struct SearchObject {
    PyObject_HEAD std::shared_ptr<SearchState>* state;
};

PyObject* search_new(PyTypeObject* type, PyObject* args, PyObject*) {
    return guarded([&] {
        PyObject* pipeline;
        if (!PyArg_ParseTuple(args, "O:VideoSearch", &pipeline)) throw_pending();
        GstElement* element = element_of(Handle(pipeline));
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        Object self = Object::steal(alloc(type, 0));
        reinterpret_cast<SearchObject*>(self.ptr())->state =
            new std::shared_ptr<SearchState>(std::make_shared<SearchState>(element));
        return self;
    });
}

void search_dealloc(PyObject* self) {
    delete reinterpret_cast<SearchObject*>(self)->state;
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
    Py_DECREF(type);
}

PyObject* search_get_linked(PyObject* self, void*) {
    return PyBool_FromLong((*reinterpret_cast<SearchObject*>(self)->state)->linked.load());
}

int search_set_linked(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) {
        PyErr_SetString(PyExc_AttributeError, "cannot delete 'linked'");
        return -1;
    }
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) return -1;
    (*reinterpret_cast<SearchObject*>(self)->state)->linked.store(truth != 0);
    return 0;
}

PyObject* search_discard(PyObject* self, PyObject*) {
    return guarded([&] {
        ProbeState state{ProbeKind::Discard, nullptr, nullptr, *reinterpret_cast<SearchObject*>(self)->state, 0};
        return new_probe(std::move(state));
    });
}

PyMethodDef search_methods[] = {
    {"discard", search_discard, METH_NOARGS,
     "discard($self, /)\n--\n\nA probe that drops a stream's data; its first data fails the pipeline with "
     "\"no-video\"\n"
     "unless a video stream is linked by then."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef search_getset[] = {
    {"linked", search_get_linked, search_set_linked, "Whether a video stream has been taken for decoding", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ----- TimeFloor -----

struct FloorObject {
    PyObject_HEAD std::shared_ptr<FloorState>* state;
};

FloorState& floor_of(PyObject* self) {
    return **reinterpret_cast<FloorObject*>(self)->state;
}

PyObject* floor_new(PyTypeObject* type, PyObject*, PyObject*) {
    return guarded([&] {
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        Object self = Object::steal(alloc(type, 0));
        reinterpret_cast<FloorObject*>(self.ptr())->state =
            new std::shared_ptr<FloorState>(std::make_shared<FloorState>());
        return self;
    });
}

void floor_dealloc(PyObject* self) {
    delete reinterpret_cast<FloorObject*>(self)->state;
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
    Py_DECREF(type);
}

PyObject* floor_get(PyObject* self, void*) {
    FloorState& state = floor_of(self);
    const int64_t floor = state.pending.load() ? state.pending_floor.load() : state.floor.load();
    if (floor < 0) Py_RETURN_NONE;
    return PyFloat_FromDouble(static_cast<double>(floor) / GST_SECOND);
}

int64_t nanoseconds_or_none(PyObject* value) {
    if (value == nullptr || value == Py_None) return -1;
    const double seconds = PyFloat_AsDouble(value);
    if (PyErr_Occurred()) return -2;
    return seconds < 0 ? -1 : static_cast<int64_t>(seconds * GST_SECOND + 0.5);
}

int floor_set(PyObject* self, PyObject* value, void*) {
    const int64_t ns = nanoseconds_or_none(value);
    if (ns == -2) return -1;
    FloorState& floor = floor_of(self);
    floor.pending_floor.store(ns);
    floor.pending_ceiling.store(floor.ceiling.load());
    floor.pending.store(true);
    return 0;
}

PyObject* ceiling_get(PyObject* self, void*) {
    FloorState& state = floor_of(self);
    const int64_t ceiling = state.pending.load() ? state.pending_ceiling.load() : state.ceiling.load();
    if (ceiling < 0) Py_RETURN_NONE;
    return PyFloat_FromDouble(static_cast<double>(ceiling) / GST_SECOND);
}

int ceiling_set(PyObject* self, PyObject* value, void*) {
    const int64_t ns = nanoseconds_or_none(value);
    if (ns == -2) return -1;
    FloorState& floor = floor_of(self);
    floor.pending_ceiling.store(ns);
    floor.pending.store(true);
    return 0;
}

PyObject* floor_probe(PyObject* self, PyObject*) {
    return guarded([&] {
        ProbeState state{ProbeKind::TimeFloor, nullptr, nullptr, nullptr, 0};
        state.floor = *reinterpret_cast<FloorObject*>(self)->state;
        return new_probe(std::move(state));
    });
}

// sampling_ahead(interval): sampling's probe for the coded frames before this floor's decoder.
PyObject* floor_sampling_ahead(PyObject* self, PyObject* interval) {
    return guarded([&] {
        const unsigned long long ns = PyLong_AsUnsignedLongLong(interval);
        if (PyErr_Occurred()) throw_pending();
        if (ns == 0) {
            PyErr_SetString(PyExc_ValueError, "the interval must be above 0");
            throw_pending();
        }
        ProbeState state{ProbeKind::SampleAhead, nullptr, nullptr, nullptr, ns};
        state.floor = *reinterpret_cast<FloorObject*>(self)->state;
        state.skips = std::make_shared<SkipNotes>();
        return new_probe(std::move(state));
    });
}

// skip(seconds): the floor at once, without a seek (the frames from here on, up to `seconds`, are
// dropped before conversion).
PyObject* floor_skip(PyObject* self, PyObject* value) {
    const int64_t ns = nanoseconds_or_none(value);
    if (ns == -2) return nullptr;
    floor_of(self).floor.store(ns);
    floor_of(self).skips.fetch_add(1);
    Py_RETURN_NONE;
}

PyMethodDef floor_methods[] = {
    {"sampling_ahead", floor_sampling_ahead, METH_O,
     "sampling_ahead($self, interval, /)\n--\n\nA probe for the coded frames before this floor's decoder (buffers,\n"
     "downstream events and flushes) that holds back those that sampling every `interval` nanoseconds\n"
     "will not keep, and drops them undecoded when a keyframe comes before a frame kept. Given to\n"
     "frame_sampling, which counts the frames dropped in the positions of those kept."},
    {"skip", floor_skip, METH_O,
     "skip($self, seconds, /)\n--\n\nDrops the decoded frames from now on until the first at or after `seconds`\n"
     "of stream time, without a seek."},
    {"probe", floor_probe, METH_NOARGS,
     "probe($self, /)\n--\n\nA probe for decoded frames (buffers and downstream events) that drops those before\n"
     "`seconds` of stream time."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef floor_getset[] = {
    {"seconds", floor_get, floor_set,
     "Stream time before which decoded frames are dropped, until the first at or after it (None: none)", nullptr},
    {"ceiling", ceiling_get, ceiling_set, "Stream time from which decoded frames are dropped (None: none)", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ----- module functions -----

PyObject* keyframe_notes(PyObject*, PyObject* pipeline) {
    return guarded([&] {
        ProbeState state{ProbeKind::Keyframes, keyframe_log_of(element_of(Handle(pipeline))), nullptr, nullptr, 0};
        return new_probe(std::move(state));
    });
}

PyObject* keyframe_times(PyObject*, PyObject* pipeline) {
    return guarded([&] {
        const std::vector<uint64_t> times = keyframe_log_of(element_of(Handle(pipeline)))->indexed();
        Object list = Object::steal(PyList_New(static_cast<Py_ssize_t>(times.size())));
        for (size_t at = 0; at < times.size(); ++at) {
            Object seconds = bridge::floating(static_cast<double>(times[at]) / GST_SECOND);
            PyList_SetItem(list.ptr(), static_cast<Py_ssize_t>(at), seconds.release());
        }
        return list;
    });
}

PyObject* delta_unit_filter(PyObject*, PyObject*) {
    return guarded([&] { return new_probe(ProbeState{ProbeKind::DeltaFilter, nullptr, nullptr, nullptr, 0}); });
}

PyObject* frame_numbering(PyObject*, PyObject*) {
    return guarded([&] { return new_probe(ProbeState{ProbeKind::Numbering, nullptr, nullptr, nullptr, 0}); });
}

PyObject* frame_rate_limit(PyObject*, PyObject* interval) {
    return guarded([&] {
        const unsigned long long ns = PyLong_AsUnsignedLongLong(interval);
        if (PyErr_Occurred()) throw_pending();
        return new_probe(ProbeState{ProbeKind::RateLimit, nullptr, nullptr, nullptr, ns});
    });
}

PyObject* frame_sampling(PyObject*, PyObject* args) {
    return guarded([&] {
        unsigned long long ns = 0, frame = 0;
        PyObject* ahead = Py_None;
        if (!PyArg_ParseTuple(args, "KK|O:frame_sampling", &ns, &frame, &ahead)) throw_pending();
        if (ns == 0) {
            PyErr_SetString(PyExc_ValueError, "the interval must be above 0");
            throw_pending();
        }
        ProbeState state{ProbeKind::Sampling, nullptr, nullptr, nullptr, ns};
        state.frame_duration = frame;
        if (ahead != Py_None) {
            if (!PyObject_TypeCheck(ahead, reinterpret_cast<PyTypeObject*>(globals().probe_type)) ||
                state_of(ahead).kind != ProbeKind::SampleAhead) {
                PyErr_SetString(PyExc_TypeError, "ahead must be a probe of sampling_ahead()");
                throw_pending();
            }
            state.skips = state_of(ahead).skips;
        }
        return new_probe(std::move(state));
    });
}

PyObject* uri_answer(PyObject*, PyObject* args) {
    return guarded([&] {
        const char *location, *uri;
        if (!PyArg_ParseTuple(args, "ss:uri_answer", &location, &uri)) throw_pending();
        return new_probe(ProbeState{ProbeKind::UriAnswer, nullptr, nullptr, nullptr, 0, location, uri});
    });
}

PyMethodDef module_functions[] = {
    {"keyframe_notes", keyframe_notes, METH_O,
     "keyframe_notes(pipeline, /)\n--\n\nA probe for a decoder's input that notes the times of keyframes in the\n"
     "pipeline's keyframe log, which readers consult for the frames they deliver."},
    {"keyframe_times", keyframe_times, METH_O,
     "keyframe_times(pipeline, /)\n--\n\nThe stream times (seconds, ascending) of the keyframes that the pipeline's\n"
     "keyframe notes saw so far, across seeks."},
    {"delta_unit_filter", delta_unit_filter, METH_NOARGS,
     "delta_unit_filter()\n--\n\nA probe that drops every buffer flagged as a delta unit (not a keyframe)."},
    {"frame_numbering", frame_numbering, METH_NOARGS,
     "frame_numbering()\n--\n\nA probe that writes each buffer's arrival number into its offset."},
    {"frame_rate_limit", frame_rate_limit, METH_O,
     "frame_rate_limit(min_interval, /)\n--\n\nA probe that drops buffers that come sooner than `min_interval`\n"
     "nanoseconds after the last one passed."},
    {"frame_sampling", frame_sampling, METH_VARARGS,
     "frame_sampling(interval, frame_duration, ahead=None, /)\n--\n\nA probe for decoded frames (and flushes) that\n"
     "keeps one every `interval` nanoseconds of stream time, evenly spaced by their times, and drops\n"
     "the rest; each frame carries its position in the stream (in offset_end), which after a seek\n"
     "follows from its time and the nominal `frame_duration` (0: none), and counts the frames that\n"
     "`ahead` (TimeFloor.sampling_ahead's probe) dropped before the decoder."},
    {"uri_answer", uri_answer, METH_VARARGS,
     "uri_answer(location, uri, /)\n--\n\nA probe for a source's pad (upstream queries, once answered) that\n"
     "answers a URI query with `uri` where the source answered `location`."},
    {nullptr, nullptr, 0, nullptr},
};

Object make_type(const char* name, const char* doc, int size, newfunc new_fn, destructor dealloc, PyMethodDef* methods,
                 PyGetSetDef* getset, unsigned long flags = Py_TPFLAGS_DEFAULT) {
    std::vector<PyType_Slot> slots{{Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
                                   {Py_tp_methods, methods},
                                   {Py_tp_getset, getset},
                                   {Py_tp_doc, const_cast<char*>(doc)}};
    if (new_fn != nullptr) slots.push_back({Py_tp_new, reinterpret_cast<void*>(new_fn)});
    slots.push_back({0, nullptr});
    PyType_Spec spec = {name, size, 0, static_cast<unsigned int>(flags), slots.data()};
    return Object::steal(PyType_FromSpec(&spec));
}

}  // namespace

Object make_probe_type() {
    return make_type("vantle.utils.engine.Probe",
                     "A pad probe that runs natively on GStreamer's streaming threads; registered with\n"
                     "Pipeline.add_pad_probe like any probe callback.",
                     sizeof(ProbeObject), nullptr, probe_dealloc, probe_methods, probe_getset);
}

void add_probe_functions(Handle module) {
    check(PyModule_AddFunctions(module.ptr(), module_functions));
    Object limit = make_type("vantle.utils.engine.FrameLimit",
                             "FrameLimit(pipeline, max_bytes)\n--\n\n"
                             "The most bytes one frame of `pipeline` may take; its probes count what arrives.",
                             sizeof(LimitObject), limit_new, limit_dealloc, limit_methods, limit_getset,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE);
    check(PyModule_AddObject(module.ptr(), "FrameLimit", limit.release()));
    Object search = make_type("vantle.utils.engine.VideoSearch",
                              "VideoSearch(pipeline, /)\n--\n\n"
                              "Whether a video stream of `pipeline` has been taken for decoding yet.",
                              sizeof(SearchObject), search_new, search_dealloc, search_methods, search_getset,
                              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE);
    check(PyModule_AddObject(module.ptr(), "VideoSearch", search.release()));
    Object floor = make_type("vantle.utils.engine.TimeFloor",
                             "TimeFloor()\n--\n\nThe stream time before which a decoder's frames are dropped.",
                             sizeof(FloorObject), floor_new, floor_dealloc, floor_methods, floor_getset);
    check(PyModule_AddObject(module.ptr(), "TimeFloor", floor.release()));
}

}  // namespace vantle::engine
