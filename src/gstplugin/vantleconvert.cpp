/**
 * SECTION:element-vantleconvert
 * @title: vantleconvert
 *
 * Converts raw YUV, grey and RGB video to packed BGR and scales it on the way. The matrix and
 * range come from the input caps' colorimetry (GStreamer's defaults where they are unknown), and
 * every output pixel is written once, into buffers from a pool that a consumer may keep.
 *
 * Downstream may ask for packed RGB or for GRAY8 instead, by caps: RGB is the same picture with
 * red and blue swapped; GRAY8 is the luma (limited range expanded to full range; BT.601 weights
 * for RGB input).
 *
 * With the #vantleconvert:width and #vantleconvert:height properties the picture is scaled in its
 * own format before it is converted, so that only the small picture is converted: by area
 * averaging along an axis that shrinks, by linear interpolation along one that grows. A side left
 * at 0 follows the input's display aspect ratio. BGR input of the output size passes through
 * untouched, as does RGB or GRAY8 input when downstream asks for that format.
 *
 * Frames above about a megapixel are cut into bands of rows converted in parallel by
 * #vantleconvert:n-threads threads, which the element keeps from frame to frame.
 *
 * ## Example launch line
 * |[
 * gst-launch-1.0 -v filesrc location=clip.mp4 ! qtdemux ! h264parse ! avdec_h264 ! vantleconvert width=640 ! fakesink
 * ]|
 * Decodes a clip and converts it to BGR 640 pixels wide, its height in the clip's aspect ratio.
 * |[
 * gst-launch-1.0 -v videotestsrc ! video/x-raw,format=NV12 ! vantleconvert ! video/x-raw,format=GRAY8 ! fakesink
 * ]|
 * Writes the luma of the test pattern, in full range.
 */
// Implementation notes. Plane strides and offsets come from the mapped frames. Scaling works in
// scratch memory kept from frame to frame. Output buffers come from a pool without an upper
// bound: a consumer that keeps frames makes it grow instead of stalling the stream, and a buffer
// is written again only once every reference to it is gone.
#include "vantleconvert.h"

#include <gst/video/gstvideofilter.h>
#include <gst/video/gstvideopool.h>
#include <gst/video/video.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <new>
#include <vector>

#include "convert.h"
#include "scale.h"
#include "worker_pool.h"

GST_DEBUG_CATEGORY_STATIC(vantle_convert_debug);
#define GST_CAT_DEFAULT vantle_convert_debug

// The formats we take, the one list of them (the Python side reads it from the pad template).
#define VANTLE_INPUT_FORMATS                                                                                      \
    "{ BGR, I420, YV12, NV12, NV21, Y42B, NV16, Y444, NV24, YUY2, UYVY, GRAY8, I420_10LE, I420_12LE, I422_10LE, " \
    "I422_12LE, Y444_10LE, Y444_12LE, P010_10LE, P012_LE, P016_LE, GRAY16_LE, BGRx, BGRA, RGBx, RGBA, RGB }"
// BGR first: it is what downstream gets unless it asks for another.
#define VANTLE_OUTPUT_FORMATS "{ BGR, RGB, GRAY8 }"

namespace {

constexpr guint64 kParallelMinPixels = 1000000;
constexpr guint kMaxThreads = 64;
constexpr guint kMaxSize = 32768;  // per side of the output picture

enum { PROP_0, PROP_N_THREADS, PROP_WIDTH, PROP_HEIGHT };

// The C++ side of an element instance, built in instance_init and destroyed in finalize.
struct State {
    std::atomic<guint> n_threads{1};
    // The requested output size (0: the input's); read and written under the object lock.
    guint width = 0;
    guint height = 0;

    // Streaming state, touched only by the streaming thread (set_info, transform_frame, stop).
    vantle::InputFormat format;
    vantle::OutputFormat output = vantle::OutputFormat::BGR;
    vantle::Colorimetry colorimetry{};
    vantle::ColourConstantsPtr constants;
    std::unique_ptr<vantle::PictureScaler> scaler;  // when the output size differs from the input's
    std::vector<std::vector<float>> accumulators;   // the scaler's row of sums, one per band
    std::unique_ptr<vantle::WorkerPool> pool;       // workers beyond the streaming thread
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
GST_ELEMENT_REGISTER_DEFINE(vantleconvert, "vantleconvert", GST_RANK_NONE, vantle_convert_get_type())

namespace {

State& state_of(gpointer instance) {
    return *std::launder(reinterpret_cast<State*>(static_cast<VantleConvert*>(instance)->state_storage));
}

GstStaticPadTemplate sink_template = GST_STATIC_PAD_TEMPLATE(
    "sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS(GST_VIDEO_CAPS_MAKE(VANTLE_INPUT_FORMATS)));
GstStaticPadTemplate src_template = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS(GST_VIDEO_CAPS_MAKE(VANTLE_OUTPUT_FORMATS)));

void set_property(GObject* object, guint id, const GValue* value, GParamSpec* pspec) {
    State& state = state_of(object);
    switch (id) {
        case PROP_N_THREADS:
            state.n_threads = g_value_get_uint(value);
            break;
        case PROP_WIDTH:
        case PROP_HEIGHT: {
            GST_OBJECT_LOCK(object);
            guint& size = id == PROP_WIDTH ? state.width : state.height;
            const bool changed = size != g_value_get_uint(value);
            size = g_value_get_uint(value);
            GST_OBJECT_UNLOCK(object);
            // Negotiates the new output caps before the next buffer goes out.
            if (changed) gst_base_transform_reconfigure_src(GST_BASE_TRANSFORM(object));
            break;
        }
        default:
            G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
            break;
    }
}

void get_property(GObject* object, guint id, GValue* value, GParamSpec* pspec) {
    State& state = state_of(object);
    switch (id) {
        case PROP_N_THREADS:
            g_value_set_uint(value, state.n_threads);
            break;
        case PROP_WIDTH:
        case PROP_HEIGHT:
            GST_OBJECT_LOCK(object);
            g_value_set_uint(value, id == PROP_WIDTH ? state.width : state.height);
            GST_OBJECT_UNLOCK(object);
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

// The output picture for an input of width x height with pixel aspect ratio par_n / par_d, given
// the requested size (0: derived). A derived side keeps the input's display aspect ratio,
// rounded to the nearest integer; the output's pixel aspect ratio keeps the display aspect ratio
// truthful whatever the sizes.
struct OutputSize {
    int width;
    int height;
    int par_n;
    int par_d;
};

OutputSize output_size(int width, int height, int par_n, int par_d, guint want_width, guint want_height) {
    if (par_n <= 0 || par_d <= 0) par_n = par_d = 1;
    OutputSize out{width, height, par_n, par_d};
    const auto display_width = static_cast<guint64>(width) * static_cast<guint64>(par_n);
    const auto display_height = static_cast<guint64>(height) * static_cast<guint64>(par_d);
    const auto derived = [](guint64 side, guint64 num, guint64 den) {
        return static_cast<int>(std::clamp<guint64>(gst_util_uint64_scale_round(side, num, den), 1, kMaxSize));
    };
    if (want_width != 0 && want_height != 0) {
        out.width = static_cast<int>(want_width);
        out.height = static_cast<int>(want_height);
    } else if (want_width != 0) {
        out.width = static_cast<int>(want_width);
        out.height = derived(want_width, display_height, display_width);
    } else if (want_height != 0) {
        out.height = static_cast<int>(want_height);
        out.width = derived(want_height, display_width, display_height);
    } else {
        return out;
    }
    // par = (display aspect ratio) * height / width.
    int dar_n = 0, dar_d = 0;
    if (!gst_util_fraction_multiply(width, height, par_n, par_d, &dar_n, &dar_d) ||
        !gst_util_fraction_multiply(dar_n, dar_d, out.height, out.width, &out.par_n, &out.par_d)) {
        const double par =
            static_cast<double>(display_width) * out.height / (static_cast<double>(display_height) * out.width);
        gst_util_double_to_fraction(par, &out.par_n, &out.par_d);
    }
    return out;
}

// Calls `visit` with each value of `value`: the items of a list, or the value itself.
template <class Visit>
void for_each_item(const GValue* value, Visit visit) {
    if (value == nullptr) return;
    if (GST_VALUE_HOLDS_LIST(value)) {
        for (guint i = 0; i < gst_value_list_get_size(value); ++i) visit(gst_value_list_get_value(value, i));
    } else {
        visit(value);
    }
}

// The input formats for output `structure`: those of its formats that we take, in its order, then
// the rest of `formats`, so that upstream picks the output format itself when it can (and we
// pass its buffers through).
void input_formats_for(const GstStructure* structure, const GValue* formats, GValue* result) {
    g_value_init(result, GST_TYPE_LIST);
    const auto add = [result](const GValue* format) {
        bool present = false;
        for_each_item(result,
                      [&](const GValue* item) { present |= gst_value_compare(item, format) == GST_VALUE_EQUAL; });
        if (!present) gst_value_list_append_value(result, format);
    };
    for_each_item(gst_structure_get_value(structure, "format"), [&](const GValue* wanted) {
        for_each_item(formats, [&](const GValue* format) {
            if (gst_value_compare(format, wanted) == GST_VALUE_EQUAL) add(format);
        });
    });
    for_each_item(formats, add);
}

// Each structure of `caps` with its format (and the colour fields, which belong to the format)
// replaced: the formats we write towards the source pad, those we take towards the sink pad.
// Without a requested size, size, frame rate, aspect ratio and the rest stay as they are; with
// one, the output takes that size (and the input any size).
GstCaps* transform_caps(GstBaseTransform* trans, GstPadDirection direction, GstCaps* caps, GstCaps* filter) {
    State& state = state_of(trans);
    GST_OBJECT_LOCK(trans);
    const guint want_width = state.width;
    const guint want_height = state.height;
    GST_OBJECT_UNLOCK(trans);
    const bool resizing = want_width != 0 || want_height != 0;

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
        if (direction == GST_PAD_SRC) {
            GValue formats = G_VALUE_INIT;
            input_formats_for(structure, format, &formats);
            gst_structure_take_value(structure, "format", &formats);
        } else {
            gst_structure_set_value(structure, "format", format);
        }
        if (resizing && direction == GST_PAD_SRC) {
            gst_structure_set(structure, "width", GST_TYPE_INT_RANGE, 1, G_MAXINT, "height", GST_TYPE_INT_RANGE, 1,
                              G_MAXINT, nullptr);
            gst_structure_remove_field(structure, "pixel-aspect-ratio");
        } else if (resizing) {
            int width = 0, height = 0, par_n = 1, par_d = 1;
            const bool fixed = gst_structure_get_int(structure, "width", &width) &&
                               gst_structure_get_int(structure, "height", &height) &&
                               (!gst_structure_has_field(structure, "pixel-aspect-ratio") ||
                                gst_structure_get_fraction(structure, "pixel-aspect-ratio", &par_n, &par_d));
            if (fixed) {
                const OutputSize out = output_size(width, height, par_n, par_d, want_width, want_height);
                gst_structure_set(structure, "width", G_TYPE_INT, out.width, "height", G_TYPE_INT, out.height,
                                  "pixel-aspect-ratio", GST_TYPE_FRACTION, out.par_n, out.par_d, nullptr);
            } else {
                // Not known yet: what the request fixes, and anything for the rest.
                const auto side = [&](const char* name, guint want) {
                    if (want != 0) {
                        gst_structure_set(structure, name, G_TYPE_INT, static_cast<int>(want), nullptr);
                    } else {
                        gst_structure_set(structure, name, GST_TYPE_INT_RANGE, 1, G_MAXINT, nullptr);
                    }
                };
                side("width", want_width);
                side("height", want_height);
                gst_structure_remove_field(structure, "pixel-aspect-ratio");
            }
        }
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
    const auto format = vantle::input_format_of(GST_VIDEO_INFO_FORMAT(in_info));
    const auto output = vantle::output_format_of(GST_VIDEO_INFO_FORMAT(out_info));
    if (!format || !output) {
        GST_WARNING_OBJECT(filter, "cannot convert %s to %s", GST_VIDEO_INFO_NAME(in_info),
                           GST_VIDEO_INFO_NAME(out_info));
        return FALSE;
    }
    const int in_width = GST_VIDEO_INFO_WIDTH(in_info), in_height = GST_VIDEO_INFO_HEIGHT(in_info);
    const int out_width = GST_VIDEO_INFO_WIDTH(out_info), out_height = GST_VIDEO_INFO_HEIGHT(out_info);
    const bool resizing = in_width != out_width || in_height != out_height;
    state.scaler.reset();
    state.colorimetry = vantle::colorimetry_of(*in_info);
    if (resizing) {
        GST_DEBUG_OBJECT(filter, "resizing %s from %dx%d to %dx%d", GST_VIDEO_INFO_NAME(in_info), in_width, in_height,
                         out_width, out_height);
        try {
            state.scaler = std::make_unique<vantle::PictureScaler>(*format, in_width, in_height, out_width, out_height,
                                                                   *output == vantle::OutputFormat::Gray);
        } catch (const std::exception& error) {
            GST_ELEMENT_ERROR(filter, RESOURCE, NO_SPACE_LEFT, ("Not enough memory to resize the video"),
                              ("%dx%d to %dx%d: %s", in_width, in_height, out_width, out_height, error.what()));
            return FALSE;
        }
    }
    state.format = *format;
    state.output = *output;
    state.constants = vantle::colour_constants_for(state.colorimetry, *format);
    gst_base_transform_set_passthrough(GST_BASE_TRANSFORM(filter),
                                       vantle::same_bytes(*format, state.colorimetry, *output) && !resizing);
    return TRUE;
}

// Makes sure that `count` bands can run at once; returns how many can (1 when the system refuses
// threads).
guint start_workers(GstVideoFilter* filter, State& state, guint count) {
    const guint threads = state.n_threads;
    // The pool is only rebuilt when it is too small for this frame or the thread count was lowered.
    if (count > 1 && (!state.pool || state.pool->size() < count - 1 || state.pool->size() > threads - 1)) {
        GST_DEBUG_OBJECT(filter, "starting %u worker threads", count - 1);
        state.pool.reset();
        try {
            state.pool = std::make_unique<vantle::WorkerPool>(count - 1);
        } catch (const std::exception& error) {
            GST_WARNING_OBJECT(filter, "no worker threads (%s): converting on the streaming thread", error.what());
            return 1;
        }
    }
    return count;
}

// Runs band(0) .. band(count - 1), on the worker threads when there are several.
void run_bands(State& state, guint count, const std::function<void(unsigned)>& band) {
    if (count > 1) {
        state.pool->run(count, band);
    } else {
        band(0);
    }
}

// How many bands a picture of `rows` rows (a multiple of `alignment` each) is cut into.
guint band_count(const State& state, guint64 pixels, int rows, int alignment) {
    if (pixels < kParallelMinPixels) return 1;
    return std::clamp<guint>(state.n_threads, 1, static_cast<guint>(std::max(1, rows / (16 * alignment))));
}

// Bands of equal height, each starting on a chroma row: [first, last) of band `index`.
struct Bands {
    int rows;
    int per_band;

    Bands(int rows_, guint count, int alignment)
        : rows(rows_),
          per_band(((rows_ + static_cast<int>(count) - 1) / static_cast<int>(count) + alignment - 1) / alignment *
                   alignment) {}
    int first(unsigned index) const { return std::min(rows, static_cast<int>(index) * per_band); }
    int last(unsigned index) const { return std::min(rows, first(index) + per_band); }
};

GstFlowReturn transform_frame(GstVideoFilter* filter, GstVideoFrame* in_frame, GstVideoFrame* out_frame) {
    State& state = state_of(filter);
    const vantle::Picture in = vantle::picture_of(*in_frame, state.format);
    auto* out = static_cast<std::uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(out_frame, 0));
    const int out_stride = GST_VIDEO_FRAME_PLANE_STRIDE(out_frame, 0);
    const int height = GST_VIDEO_FRAME_HEIGHT(out_frame);
    const vantle::PictureScaler* scaler = state.scaler.get();
    const vantle::InputFormat& format = scaler != nullptr ? scaler->output_format() : state.format;
    const int alignment = vantle::row_alignment(format);
    // Resizing reads the whole input, converting writes the whole output: bands pay off when
    // either is large.
    const guint64 pixels =
        std::max(static_cast<guint64>(in.width) * static_cast<guint64>(in.height),
                 static_cast<guint64>(GST_VIDEO_FRAME_WIDTH(out_frame)) * static_cast<guint64>(height));
    std::atomic<bool> failed{false};

    if (scaler != nullptr && scaler->needs_unpacking()) {
        const guint count = start_workers(filter, state, band_count(state, pixels, in.height, 1));
        const Bands bands(in.height, count, 1);
        run_bands(state, count, [&](unsigned band) {
            if (bands.first(band) < bands.last(band) && !scaler->unpack_rows(in, bands.first(band), bands.last(band))) {
                failed = true;
            }
        });
    }

    const guint count = start_workers(filter, state, band_count(state, pixels, height, alignment));
    if (scaler != nullptr && state.accumulators.size() < count) state.accumulators.resize(count);
    const Bands bands(height, count, alignment);
    // Input that the output takes as it is (BGR to BGR) is resized straight into the output
    // buffer; other formats into scratch first.
    vantle::Picture out_picture;
    out_picture.width = GST_VIDEO_FRAME_WIDTH(out_frame);
    out_picture.height = height;
    out_picture.data[0] = out;
    out_picture.stride[0] = out_stride;
    const bool resize_into_output = scaler != nullptr && vantle::same_bytes(format, state.colorimetry, state.output);
    const vantle::Picture& source = scaler != nullptr ? scaler->output() : in;
    run_bands(state, count, [&](unsigned band) {
        const int first = bands.first(band), last = bands.last(band);
        if (first >= last || failed) return;
        if (scaler != nullptr) {
            scaler->scale_rows(in, resize_into_output ? out_picture : scaler->output(), first, last,
                               state.accumulators[band]);
            if (resize_into_output) return;
        }
        if (!vantle::convert_block(format, state.output, source, first, last, 0, source.width,
                                   out + static_cast<std::ptrdiff_t>(first) * out_stride, out_stride,
                                   *state.constants)) {
            failed = true;
        }
    });

    if (failed) {
        GST_ELEMENT_ERROR(
            filter, STREAM, FAILED, ("Colour conversion failed"),
            ("could not convert a %s frame of %dx%d", GST_VIDEO_INFO_NAME(&in_frame->info), in.width, in.height));
        return GST_FLOW_ERROR;
    }
    return GST_FLOW_OK;
}

// Sets `pool` up for our output: `size` bytes a buffer, at least `min` of them and no upper
// bound, so that a consumer keeping buffers makes the pool grow rather than wait. False if the
// pool does not take that.
bool configure_pool(GstBufferPool* pool, GstCaps* caps, guint size, guint min, GstAllocator* allocator,
                    const GstAllocationParams& params, bool video_meta) {
    GstStructure* config = gst_buffer_pool_get_config(pool);
    gst_buffer_pool_config_set_params(config, caps, size, min, 0);
    gst_buffer_pool_config_set_allocator(config, allocator, &params);
    if (video_meta && gst_buffer_pool_has_option(pool, GST_BUFFER_POOL_OPTION_VIDEO_META)) {
        gst_buffer_pool_config_add_option(config, GST_BUFFER_POOL_OPTION_VIDEO_META);
    }
    if (gst_buffer_pool_set_config(pool, config)) return true;
    // The pool may have adjusted the configuration: take it only if it is still unbounded.
    config = gst_buffer_pool_get_config(pool);
    const bool acceptable = gst_buffer_pool_config_validate_params(config, caps, size, min, 0);
    return acceptable && gst_buffer_pool_set_config(pool, config);
}

// Our output buffers come from downstream's pool if it proposes one that accepts no upper bound,
// and otherwise from a video buffer pool of our own.
gboolean decide_allocation(GstBaseTransform* trans, GstQuery* query) {
    GstCaps* caps = nullptr;
    gst_query_parse_allocation(query, &caps, nullptr);
    GstVideoInfo info;
    if (caps == nullptr || !gst_video_info_from_caps(&info, caps)) {
        GST_WARNING_OBJECT(trans, "allocation query without usable caps");
        return FALSE;
    }
    GstBufferPool* pool = nullptr;
    guint size = static_cast<guint>(GST_VIDEO_INFO_SIZE(&info)), min = 0, max = 0;
    const bool proposed = gst_query_get_n_allocation_pools(query) > 0;
    if (proposed) {
        gst_query_parse_nth_allocation_pool(query, 0, &pool, &size, &min, &max);
        size = std::max(size, static_cast<guint>(GST_VIDEO_INFO_SIZE(&info)));
    }
    GstAllocator* allocator = nullptr;
    GstAllocationParams params;
    gst_allocation_params_init(&params);
    if (gst_query_get_n_allocation_params(query) > 0) {
        gst_query_parse_nth_allocation_param(query, 0, &allocator, &params);
    }
    const bool video_meta = gst_query_find_allocation_meta(query, GST_VIDEO_META_API_TYPE, nullptr);

    if (pool != nullptr && !configure_pool(pool, caps, size, min, allocator, params, video_meta)) {
        GST_DEBUG_OBJECT(trans, "downstream's pool %" GST_PTR_FORMAT " takes no unbounded configuration",
                         static_cast<void*>(pool));
        gst_object_unref(pool);
        pool = nullptr;
    }
    if (pool == nullptr) {
        pool = gst_video_buffer_pool_new();
        size = static_cast<guint>(GST_VIDEO_INFO_SIZE(&info));
        if (!configure_pool(pool, caps, size, min, allocator, params, video_meta)) {
            gst_object_unref(pool);
            if (allocator != nullptr) gst_object_unref(allocator);
            GST_ELEMENT_ERROR(trans, RESOURCE, SETTINGS, ("Cannot set up a buffer pool for the converted video"),
                              ("%" GST_PTR_FORMAT, static_cast<void*>(caps)));
            return FALSE;
        }
    }
    if (proposed) {
        gst_query_set_nth_allocation_pool(query, 0, pool, size, min, 0);
    } else {
        gst_query_add_allocation_pool(query, pool, size, min, 0);
    }
    gst_object_unref(pool);
    if (allocator != nullptr) gst_object_unref(allocator);
    return TRUE;
}

// What we ask of upstream's buffers: the pool that the video filter base class proposes, but
// not video meta. With it, libav's decoders render into our pool's buffers while they still hold
// them as reference pictures, and GStreamer's video decoder base class (1.22) then deep-copies
// every frame into freshly allocated memory to make it writable: a second copy of each frame and
// about 150 page faults per 1080p 10-bit frame. Without it they render into their own pool and
// copy each frame once into one of ours, which is recycled, as they do for any sink.
gboolean propose_allocation(GstBaseTransform* trans, GstQuery* decide_query, GstQuery* query) {
    if (!GST_BASE_TRANSFORM_CLASS(vantle_convert_parent_class)->propose_allocation(trans, decide_query, query)) {
        return FALSE;
    }
    guint index = 0;
    if (decide_query != nullptr && gst_query_find_allocation_meta(query, GST_VIDEO_META_API_TYPE, &index)) {
        gst_query_remove_nth_allocation_meta(query, index);
    }
    return TRUE;
}

// Going down to READY joins the workers and frees the scratch memory: nothing lingers while
// nothing streams.
gboolean stop(GstBaseTransform* trans) {
    State& state = state_of(trans);
    state.pool.reset();
    state.constants.reset();
    state.scaler.reset();
    state.accumulators.clear();
    return TRUE;
}

}  // namespace

static void vantle_convert_class_init(VantleConvertClass* klass) {
    GST_DEBUG_CATEGORY_INIT(vantle_convert_debug, "vantleconvert", 0, "vantle colour conversion to BGR");

    auto* object_class = G_OBJECT_CLASS(klass);
    object_class->set_property = set_property;
    object_class->get_property = get_property;
    object_class->finalize = finalize;
    const auto flags = static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS | GST_PARAM_MUTABLE_PLAYING);
    g_object_class_install_property(
        object_class, PROP_N_THREADS,
        g_param_spec_uint("n-threads", "Threads",
                          "Threads converting each frame of more than a megapixel (default: one per core)", 1,
                          kMaxThreads, default_threads(), flags));
    g_object_class_install_property(
        object_class, PROP_WIDTH,
        g_param_spec_uint("width", "Width",
                          "Width of the output picture (0: the input's, or kept in the input's display aspect ratio "
                          "when only the height is set)",
                          0, kMaxSize, 0, flags));
    g_object_class_install_property(
        object_class, PROP_HEIGHT,
        g_param_spec_uint("height", "Height",
                          "Height of the output picture (0: the input's, or kept in the input's display aspect ratio "
                          "when only the width is set)",
                          0, kMaxSize, 0, flags));

    auto* element_class = GST_ELEMENT_CLASS(klass);
    gst_element_class_set_static_metadata(
        element_class, "Colour converter and scaler to BGR, RGB or grey", "Filter/Converter/Video/Scaler",
        "Converts raw YUV and RGB video to packed BGR, RGB or grey, scaling it first (area averaging when "
        "shrinking) if asked",
        "vantle developers");
    gst_element_class_add_static_pad_template(element_class, &sink_template);
    gst_element_class_add_static_pad_template(element_class, &src_template);

    auto* trans_class = GST_BASE_TRANSFORM_CLASS(klass);
    trans_class->transform_caps = transform_caps;
    trans_class->propose_allocation = propose_allocation;
    trans_class->decide_allocation = decide_allocation;
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
