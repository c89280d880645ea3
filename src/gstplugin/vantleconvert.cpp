// vantleconvert: raw YUV and RGB video to packed BGR, on GStreamer's video filter base class.
//
// The matrix and range come from the input caps' colorimetry; plane strides and offsets from
// the mapped frames. Frames above about a megapixel are cut into bands of rows converted in
// parallel by a pool of threads that the element keeps from frame to frame.
#include "vantleconvert.h"

#include <gst/video/gstvideofilter.h>
#include <gst/video/video.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <memory>
#include <new>

#include "convert.h"
#include "worker_pool.h"

GST_DEBUG_CATEGORY_STATIC(vantle_convert_debug);
#define GST_CAT_DEFAULT vantle_convert_debug

// BGR first: when upstream can give it, we pass buffers through untouched.
#define VANTLE_INPUT_FORMATS "{ BGR, I420, YV12, NV12, NV21, Y42B, Y444, YUY2, UYVY, BGRx, BGRA, RGBx, RGBA, RGB }"

namespace {

constexpr guint64 kParallelMinPixels = 1000000;
constexpr guint kMaxThreads = 64;

enum { PROP_0, PROP_N_THREADS };

// The C++ side of an element instance, built in instance_init and destroyed in finalize.
struct State {
    std::atomic<guint> n_threads{1};
    vantle::Layout layout = vantle::Layout::BGR;
    vantle::ColourConstantsPtr constants;
    std::unique_ptr<vantle::WorkerPool> pool;  // workers beyond the streaming thread
};

guint default_threads() {
    return std::clamp<guint>(g_get_num_processors(), 1, kMaxThreads);
}

}  // namespace

struct VantleConvert {
    GstVideoFilter parent;
    alignas(State) unsigned char state_storage[sizeof(State)];
};

struct VantleConvertClass {
    GstVideoFilterClass parent_class;
};

G_DEFINE_TYPE(VantleConvert, vantle_convert, GST_TYPE_VIDEO_FILTER)

namespace {

State& state_of(gpointer instance) {
    return *std::launder(reinterpret_cast<State*>(static_cast<VantleConvert*>(instance)->state_storage));
}

GstStaticPadTemplate sink_template = GST_STATIC_PAD_TEMPLATE(
    "sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS(GST_VIDEO_CAPS_MAKE(VANTLE_INPUT_FORMATS)));
GstStaticPadTemplate src_template =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS(GST_VIDEO_CAPS_MAKE("BGR")));

void set_property(GObject* object, guint id, const GValue* value, GParamSpec* pspec) {
    switch (id) {
        case PROP_N_THREADS:
            state_of(object).n_threads = g_value_get_uint(value);
            break;
        default:
            G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
            break;
    }
}

void get_property(GObject* object, guint id, GValue* value, GParamSpec* pspec) {
    switch (id) {
        case PROP_N_THREADS:
            g_value_set_uint(value, state_of(object).n_threads);
            break;
        default:
            G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
            break;
    }
}

void finalize(GObject* object) {
    state_of(object).~State();
    G_OBJECT_CLASS(vantle_convert_parent_class)->finalize(object);
}

// Each structure of `caps` with its format (and the colour fields, which belong to the format)
// replaced: BGR towards the source pad, the formats we take towards the sink pad. Size, frame
// rate, aspect ratio and the rest stay as they are.
GstCaps* transform_caps(GstBaseTransform* trans, GstPadDirection direction, GstCaps* caps, GstCaps* filter) {
    GstCaps* formats = gst_pad_get_pad_template_caps(direction == GST_PAD_SINK ? GST_BASE_TRANSFORM_SRC_PAD(trans)
                                                                               : GST_BASE_TRANSFORM_SINK_PAD(trans));
    const GValue* format = gst_structure_get_value(gst_caps_get_structure(formats, 0), "format");
    GstCaps* result = gst_caps_new_empty();
    for (guint i = 0; i < gst_caps_get_size(caps); ++i) {
        GstCapsFeatures* features = gst_caps_get_features(caps, i);
        if (!gst_caps_features_is_any(features) &&
            !gst_caps_features_is_equal(features, GST_CAPS_FEATURES_MEMORY_SYSTEM_MEMORY)) {
            continue;  // we only read and write system memory
        }
        GstStructure* structure = gst_structure_copy(gst_caps_get_structure(caps, i));
        gst_structure_remove_fields(structure, "colorimetry", "chroma-site", nullptr);
        gst_structure_set_value(structure, "format", format);
        result = gst_caps_merge_structure_full(result, structure, gst_caps_features_copy(features));
    }
    gst_caps_unref(formats);
    if (filter != nullptr) {
        GstCaps* filtered = gst_caps_intersect_full(filter, result, GST_CAPS_INTERSECT_FIRST);
        gst_caps_unref(result);
        result = filtered;
    }
    GST_DEBUG_OBJECT(trans, "%" GST_PTR_FORMAT " -> %" GST_PTR_FORMAT, static_cast<void*>(caps),
                     static_cast<void*>(result));
    return result;
}

gboolean set_info(GstVideoFilter* filter, GstCaps*, GstVideoInfo* in_info, GstCaps*, GstVideoInfo* out_info) {
    State& state = state_of(filter);
    const auto layout = vantle::layout_of(GST_VIDEO_INFO_FORMAT(in_info));
    if (!layout || GST_VIDEO_INFO_FORMAT(out_info) != GST_VIDEO_FORMAT_BGR ||
        GST_VIDEO_INFO_WIDTH(in_info) != GST_VIDEO_INFO_WIDTH(out_info) ||
        GST_VIDEO_INFO_HEIGHT(in_info) != GST_VIDEO_INFO_HEIGHT(out_info)) {
        GST_WARNING_OBJECT(filter, "cannot convert %s %dx%d to %s %dx%d", GST_VIDEO_INFO_NAME(in_info),
                           GST_VIDEO_INFO_WIDTH(in_info), GST_VIDEO_INFO_HEIGHT(in_info), GST_VIDEO_INFO_NAME(out_info),
                           GST_VIDEO_INFO_WIDTH(out_info), GST_VIDEO_INFO_HEIGHT(out_info));
        return FALSE;
    }
    state.layout = *layout;
    state.constants = GST_VIDEO_INFO_IS_YUV(in_info) ? vantle::colour_constants_for(*in_info) : nullptr;
    gst_base_transform_set_passthrough(GST_BASE_TRANSFORM(filter), *layout == vantle::Layout::BGR);
    return TRUE;
}

GstFlowReturn transform_frame(GstVideoFilter* filter, GstVideoFrame* in, GstVideoFrame* out) {
    State& state = state_of(filter);
    const int width = GST_VIDEO_FRAME_WIDTH(in);
    const int height = GST_VIDEO_FRAME_HEIGHT(in);
    const int alignment = vantle::row_alignment(state.layout);

    guint bands = 1;
    const guint threads = state.n_threads;
    if (static_cast<guint64>(width) * static_cast<guint64>(height) >= kParallelMinPixels) {
        bands = std::clamp<guint>(threads, 1, static_cast<guint>(std::max(1, height / (16 * alignment))));
    }
    // The pool is only rebuilt when it is too small for this frame or the thread count was lowered.
    if (bands > 1 && (!state.pool || state.pool->size() < bands - 1 || state.pool->size() > threads - 1)) {
        GST_DEBUG_OBJECT(filter, "starting %u worker threads", bands - 1);
        state.pool.reset();
        try {
            state.pool = std::make_unique<vantle::WorkerPool>(bands - 1);
        } catch (const std::exception& error) {
            GST_WARNING_OBJECT(filter, "no worker threads (%s): converting on the streaming thread", error.what());
            bands = 1;
        }
    }

    // Bands of equal height, each starting on a chroma row.
    const int rows_per_band =
        ((height + static_cast<int>(bands) - 1) / static_cast<int>(bands) + alignment - 1) / alignment * alignment;
    std::atomic<bool> failed{false};
    const auto convert_band = [&](unsigned band) {
        const int first = static_cast<int>(band) * rows_per_band;
        const int last = std::min(height, first + rows_per_band);
        if (first < last && !vantle::convert_rows(state.layout, *in, *out, first, last, state.constants.get())) {
            failed = true;
        }
    };
    if (bands > 1) {
        state.pool->run(bands, convert_band);
    } else {
        convert_band(0);
    }

    if (failed) {
        GST_ELEMENT_ERROR(filter, STREAM, FAILED, ("Colour conversion failed"),
                          ("libyuv rejected a %s frame of %dx%d", GST_VIDEO_INFO_NAME(&in->info), width, height));
        return GST_FLOW_ERROR;
    }
    return GST_FLOW_OK;
}

// Going down to READY joins the workers: no threads linger while nothing streams.
gboolean stop(GstBaseTransform* trans) {
    State& state = state_of(trans);
    state.pool.reset();
    state.constants.reset();
    return TRUE;
}

}  // namespace

static void vantle_convert_class_init(VantleConvertClass* klass) {
    GST_DEBUG_CATEGORY_INIT(vantle_convert_debug, "vantleconvert", 0, "vantle colour conversion to BGR");

    auto* object_class = G_OBJECT_CLASS(klass);
    object_class->set_property = set_property;
    object_class->get_property = get_property;
    object_class->finalize = finalize;
    g_object_class_install_property(
        object_class, PROP_N_THREADS,
        g_param_spec_uint(
            "n-threads", "Threads", "Threads converting each frame of more than a megapixel (default: one per core)", 1,
            kMaxThreads, default_threads(), static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS)));

    auto* element_class = GST_ELEMENT_CLASS(klass);
    gst_element_class_set_static_metadata(element_class, "Colour converter to BGR", "Filter/Converter/Video",
                                          "Converts raw YUV and RGB video to packed BGR with libyuv",
                                          "vantle developers");
    gst_element_class_add_static_pad_template(element_class, &sink_template);
    gst_element_class_add_static_pad_template(element_class, &src_template);

    auto* trans_class = GST_BASE_TRANSFORM_CLASS(klass);
    trans_class->transform_caps = transform_caps;
    trans_class->stop = stop;
    trans_class->passthrough_on_same_caps = TRUE;

    auto* filter_class = GST_VIDEO_FILTER_CLASS(klass);
    filter_class->set_info = set_info;
    filter_class->transform_frame = transform_frame;
}

static void vantle_convert_init(VantleConvert* self) {
    new (self->state_storage) State();
    state_of(self).n_threads = default_threads();
}
