// One pipeline's output as a reader takes it: samples from its appsink, messages from its bus
// (the first error, the HTTP response), and wake-ups for a loop that serves many streams.
#include <pthread.h>
#include <strings.h>

#include <cstring>

#include "engine.h"

namespace vantle::engine {

namespace {

std::atomic<int> epoch{0};

void forked() {
    epoch.fetch_add(1);
}

// Messages taken off the bus in one step, at most: a bus that floods cannot hold a step up.
constexpr int kMessagesPerStep = 256;

const char* text_or_empty(const char* text) {
    return text != nullptr ? text : "";
}

}  // namespace

int process_epoch() noexcept {
    static const int registered = pthread_atfork(nullptr, nullptr, forked);
    (void)registered;
    return epoch.load();
}

Tap::Tap(GstElement* pipeline, GstElement* appsink, bool numbered, bool positioned)
    : pipeline_(GST_ELEMENT(gst_object_ref(pipeline))),
      appsink_(GST_APP_SINK(gst_object_ref(appsink))),
      bus_(gst_element_get_bus(pipeline)),
      keyframes_(keyframe_log_of(pipeline)),
      numbered_(numbered),
      positioned_(positioned),
      epoch_(process_epoch()) {}

Tap::~Tap() {
    if (epoch_ != process_epoch()) return;  // the parent's GStreamer: left alone in a child
    if (bus_handler_ != 0) {
        g_signal_handler_disconnect(bus_, bus_handler_);
        gst_bus_disable_sync_message_emission(bus_);
    }
    if (pending != nullptr) gst_sample_unref(pending);
    gst_object_unref(bus_);
    gst_object_unref(appsink_);
    gst_object_unref(pipeline_);
}

void Tap::take_messages() {
    std::lock_guard<std::mutex> lock(messages_);
    for (int i = 0; i < kMessagesPerStep; ++i) {
        GstMessage* message = gst_bus_pop(bus_);
        if (message == nullptr) return;
        if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR && !error_) {
            take_error(message);
        } else if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ELEMENT && GST_MESSAGE_SRC(message) != nullptr &&
                   GST_OBJECT_PARENT(GST_MESSAGE_SRC(message)) == GST_OBJECT(pipeline_)) {
            const GstStructure* structure = gst_message_get_structure(message);
            if (structure != nullptr && gst_structure_has_name(structure, "http-headers")) take_headers(structure);
        }
        gst_message_unref(message);
    }
}

void Tap::take_error(GstMessage* message) {
    GError* error = nullptr;
    gchar* debug = nullptr;
    gst_message_parse_error(message, &error, &debug);
    ErrorInfo info;
    if (error != nullptr) {
        info.domain = text_or_empty(g_quark_to_string(error->domain));
        info.code = error->code;
        info.message = text_or_empty(error->message);
        g_error_free(error);
    }
    info.debug = text_or_empty(debug);
    g_free(debug);
    GstObject* source = GST_MESSAGE_SRC(message);
    if (source != nullptr && GST_IS_ELEMENT(source)) {
        GstElementFactory* factory = gst_element_get_factory(GST_ELEMENT(source));
        if (factory != nullptr) info.source = text_or_empty(gst_plugin_feature_get_name(GST_PLUGIN_FEATURE(factory)));
    }
    const GstStructure* details = nullptr;
    gst_message_parse_error_details(message, &details);
    if (details != nullptr) {
        info.details_name = gst_structure_get_name(details);
        info.failure_kind = text_or_empty(gst_structure_get_string(details, "kind"));
        for (const char* field : {"http-status-code", "rtsp-status-code"}) {
            guint code = 0;
            if (gst_structure_get_uint(details, field, &code) && code != 0) {
                info.status = code;
                info.status_field = field;
                break;
            }
        }
    }
    error_ = std::move(info);
}

void Tap::take_headers(const GstStructure* structure) {
    const GValue* response = gst_structure_get_value(structure, "response-headers");
    if (response == nullptr || !GST_VALUE_HOLDS_STRUCTURE(response)) return;
    const GstStructure* headers = gst_value_get_structure(response);
    std::string content_type;
    int64_t length = -1;
    for (int i = 0; i < gst_structure_n_fields(headers); ++i) {
        const char* name = gst_structure_nth_field_name(headers, i);
        const GValue* value = gst_structure_get_value(headers, name);
        gchar* shown = G_VALUE_HOLDS_STRING(value) ? g_value_dup_string(value) : gst_value_serialize(value);
        const std::string text = text_or_empty(shown);
        g_free(shown);
        if (strcasecmp(name, "content-type") == 0) {
            content_type = text;
            for (char& ch : content_type) ch = static_cast<char>(g_ascii_tolower(ch));
        } else if (strcasecmp(name, "content-length") == 0) {
            char* end = nullptr;
            const long long parsed = std::strtoll(text.c_str(), &end, 10);
            length = (end != text.c_str() && *end == '\0' && parsed >= 0) ? parsed : -1;
        }
    }
    http_seen_ = true;
    content_type_ = std::move(content_type);
    content_length_ = length;
}

GstSample* Tap::pull(double seconds) {
    take_messages();
    if (error_) seconds = 0;  // frames decoded before an error are still taken, without a wait
    if (seconds <= 0) return gst_app_sink_try_pull_sample(appsink_, 0);
    WithoutGil unlocked;
    return gst_app_sink_try_pull_sample(appsink_, static_cast<GstClockTime>(seconds * GST_SECOND));
}

// ----- wake-ups -----

namespace {

using WakerRef = std::shared_ptr<Waker>;

void wake_on_eos(GstAppSink*, gpointer data) {
    (*static_cast<WakerRef*>(data))->wake();
}

GstFlowReturn wake_on_sample(GstAppSink*, gpointer data) {
    (*static_cast<WakerRef*>(data))->wake();
    return GST_FLOW_OK;
}

void wake_on_error(GstBus*, GstMessage*, gpointer data) {
    (*static_cast<WakerRef*>(data))->wake();
}

void delete_waker(gpointer data) {
    delete static_cast<WakerRef*>(data);
}

void delete_waker_closure(gpointer data, GClosure*) {
    delete static_cast<WakerRef*>(data);
}

}  // namespace

void Tap::watch(std::shared_ptr<Waker> waker) {
    // The appsink keeps its callbacks (and their waker) until it is finalised; a waker whose
    // stream has moved on to another pipeline is turned off instead.
    GstAppSinkCallbacks callbacks{};
    callbacks.eos = wake_on_eos;
    callbacks.new_sample = wake_on_sample;
    gst_app_sink_set_callbacks(appsink_, &callbacks, new WakerRef(waker), delete_waker);
    gst_bus_enable_sync_message_emission(bus_);
    bus_handler_ = g_signal_connect_data(bus_, "sync-message::error", G_CALLBACK(wake_on_error), new WakerRef(waker),
                                         delete_waker_closure, static_cast<GConnectFlags>(0));
    waker->wake();  // for what came before
}

void Readiness::mark(size_t index) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (index < marked_.size() && !marked_[index]) {
            marked_[index] = 1;
            line_.push_back(index);
        }
    }
    signal.notify();
}

std::optional<size_t> Readiness::next() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (line_.empty()) return std::nullopt;
    const size_t index = line_.front();
    line_.pop_front();
    marked_[index] = 0;
    return index;
}

bool Readiness::is_marked(size_t index) {
    std::lock_guard<std::mutex> lock(mutex_);
    return index < marked_.size() && marked_[index];
}

void Readiness::resize(size_t count) {
    std::lock_guard<std::mutex> lock(mutex_);
    marked_.resize(count, 0);
}

// ----- errors as Python sees them -----

Object error_record(const ErrorInfo& info) {
    Object record = bridge::dict();
    bridge::set_item(record, "domain", bridge::text(info.domain));
    bridge::set_item(record, "code", bridge::integer(info.code));
    bridge::set_item(record, "message", bridge::text(info.message));
    bridge::set_item(record, "debug", bridge::text(info.debug));
    bridge::set_item(record, "source", bridge::text(info.source));
    bridge::set_item(record, "details", info.details_name.empty() ? bridge::none() : bridge::text(info.details_name));
    bridge::set_item(record, "kind", info.failure_kind.empty() ? bridge::none() : bridge::text(info.failure_kind));
    bridge::set_item(record, "status", info.status == 0 ? bridge::none() : bridge::integer(info.status));
    bridge::set_item(record, "status_field", bridge::text(info.status_field));
    return record;
}

}  // namespace vantle::engine
