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
 * The #vantleconvert:rotation property rotates or flips the picture in the same pass: each
 * output pixel is still written once. "auto" follows the stream's image-orientation tag (as a
 * phone's MP4 carries it), before the first buffer or mid-stream, renegotiating the output size
 * when a quarter turn swaps its sides; downstream then sees the tag of an upright picture. The
 * width and height properties are those of the turned picture.
 *
 * The read-only properties #vantleconvert:input-format, #vantleconvert:matrix,
 * #vantleconvert:range, #vantleconvert:applied-rotation and #vantleconvert:applied-flip tell how
 * the stream is converted.
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
 * |[
 * gst-launch-1.0 -v filesrc location=phone.mp4 ! qtdemux ! h264parse ! avdec_h264 ! vantleconvert rotation=auto
 * height=640 ! fakesink
 * ]|
 * Decodes a phone's clip upright, whatever way the phone was held, 640 pixels high.
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
#include <optional>
#include <utility>
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

enum {
    PROP_0,
    PROP_N_THREADS,
    PROP_WIDTH,
    PROP_HEIGHT,
    PROP_ROTATION,
    PROP_INPUT_FORMAT,
    PROP_MATRIX,
    PROP_RANGE,
    PROP_APPLIED_ROTATION,
    PROP_APPLIED_FLIP,
};

using vantle::Orientation;

// The values of the `rotation` property: the orientations in their order, then "auto".
constexpr int kRotationAuto = 8;

// An orientation as the image-orientation tag names it: a horizontal mirroring ("flip") first,
// then a clockwise rotation.
struct Turn {
    const char* tag;
    Orientation orientation;
    guint degrees;
    bool flip;
};

constexpr Turn kTurns[] = {
    {"rotate-0", Orientation::Identity, 0, false},              // none
    {"rotate-90", Orientation::Clockwise, 90, false},           // 90r
    {"rotate-180", Orientation::Half, 180, false},              // 180
    {"rotate-270", Orientation::Counterclockwise, 270, false},  // 90l
    {"flip-rotate-0", Orientation::Horizontal, 0, true},        // horiz
    {"flip-rotate-90", Orientation::Antitranspose, 90, true},   // ur-ll
    {"flip-rotate-180", Orientation::Vertical, 180, true},      // vert
    {"flip-rotate-270", Orientation::Transpose, 270, true},     // ul-lr
};

const Turn& turn_of(Orientation orientation) {
    for (const auto& turn : kTurns) {
        if (turn.orientation == orientation) return turn;
    }
    return kTurns[0];
}

const char* matrix_name(GstVideoColorMatrix matrix) {
    switch (matrix) {
        case GST_VIDEO_COLOR_MATRIX_RGB:
            return "rgb";
        case GST_VIDEO_COLOR_MATRIX_FCC:
            return "fcc";
        case GST_VIDEO_COLOR_MATRIX_BT709:
            return "bt709";
        case GST_VIDEO_COLOR_MATRIX_BT601:
            return "bt601";
        case GST_VIDEO_COLOR_MATRIX_SMPTE240M:
            return "smpte240m";
        case GST_VIDEO_COLOR_MATRIX_BT2020:
            return "bt2020";
        default:
            return "unknown";
    }
}

// The C++ side of an element instance, built in instance_init and destroyed in finalize.
struct State {
    std::atomic<guint> n_threads{1};
    // Read and written under the object lock: the requested output size (0: the input's), the
    // `rotation` property, the orientation that the stream's tags ask for, and what the stream
    // is converted with, as the read-only properties tell it (none before the caps are known).
    guint width = 0;
    guint height = 0;
    int rotation = 0;
    Orientation tagged = Orientation::Identity;
    const char* input_format = nullptr;
    const char* matrix = nullptr;
    const char* range = nullptr;
    Orientation applied = Orientation::Identity;

    // Streaming state, touched only by the streaming thread (set_info, before_transform,
    // transform_frame, stop).
    vantle::InputFormat format;
    vantle::OutputFormat output = vantle::OutputFormat::BGR;
    vantle::Colorimetry colorimetry{};
    vantle::ColourConstantsPtr constants;
    bool same_picture = false;  // the output takes the input's bytes at its size: passes through unless turned
    Orientation orientation = Orientation::Identity;  // of the next frame
    std::unique_ptr<vantle::PictureScaler> scaler;    // when the picture's size differs from the input's
    std::vector<std::vector<float>> accumulators;     // the scaler's row of sums, one per band
    std::unique_ptr<vantle::WorkerPool> pool;         // workers beyond the streaming thread
};

// The orientation to apply, under the object lock.
Orientation wanted_locked(const State& state) {
    return state.rotation == kRotationAuto ? state.tagged : static_cast<Orientation>(state.rotation);
}

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

static GType vantle_convert_rotation_get_type() {
    static gsize type = 0;
    static const GEnumValue values[] = {
        {static_cast<int>(Orientation::Identity), "Identity (no rotation)", "none"},
        {static_cast<int>(Orientation::Clockwise), "Rotate clockwise 90 degrees", "90r"},
        {static_cast<int>(Orientation::Half), "Rotate 180 degrees", "180"},
        {static_cast<int>(Orientation::Counterclockwise), "Rotate counter-clockwise 90 degrees", "90l"},
        {static_cast<int>(Orientation::Horizontal), "Flip horizontally", "horiz"},
        {static_cast<int>(Orientation::Vertical), "Flip vertically", "vert"},
        {static_cast<int>(Orientation::Transpose), "Flip across upper left/lower right diagonal", "ul-lr"},
        {static_cast<int>(Orientation::Antitranspose), "Flip across upper right/lower left diagonal", "ur-ll"},
        {kRotationAuto, "Follow the stream's image-orientation tag", "auto"},
        {0, nullptr, nullptr},
    };
    if (g_once_init_enter(&type)) g_once_init_leave(&type, g_enum_register_static("VantleConvertRotation", values));
    return type;
}

GST_ELEMENT_REGISTER_DEFINE(vantleconvert, "vantleconvert", GST_RANK_NONE, vantle_convert_get_type())

namespace {

State& state_of(gpointer instance) {
    return *std::launder(reinterpret_cast<State*>(static_cast<VantleConvert*>(instance)->state_storage));
}

GstStaticPadTemplate sink_template = GST_STATIC_PAD_TEMPLATE(
    "sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS(GST_VIDEO_CAPS_MAKE(VANTLE_INPUT_FORMATS)));
GstStaticPadTemplate src_template = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS(GST_VIDEO_CAPS_MAKE(VANTLE_OUTPUT_FORMATS)));

Orientation wanted_orientation(gpointer element) {
    GST_OBJECT_LOCK(element);
    const Orientation orientation = wanted_locked(state_of(element));
    GST_OBJECT_UNLOCK(element);
    return orientation;
}

// Changes what decides the orientation under the object lock; a change of orientation is
// negotiated (a quarter turn swaps the output's sides) before the next buffer goes out. Returns
// whether the orientation follows the tags.
template <class Change>
bool change_orientation(gpointer element, Change change) {
    State& state = state_of(element);
    GST_OBJECT_LOCK(element);
    const Orientation before = wanted_locked(state);
    change(state);
    const Orientation after = wanted_locked(state);
    const bool automatic = state.rotation == kRotationAuto;
    GST_OBJECT_UNLOCK(element);
    if (before != after) gst_base_transform_reconfigure_src(GST_BASE_TRANSFORM(element));
    return automatic;
}

void set_property(GObject* object, guint id, const GValue* value, GParamSpec* pspec) {
    State& state = state_of(object);
    switch (id) {
        case PROP_ROTATION:
            change_orientation(object, [&](State& s) { s.rotation = g_value_get_enum(value); });
            break;
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
        case PROP_ROTATION:
            GST_OBJECT_LOCK(object);
            g_value_set_enum(value, state.rotation);
            GST_OBJECT_UNLOCK(object);
            break;
        case PROP_INPUT_FORMAT:
        case PROP_MATRIX:
        case PROP_RANGE:
            GST_OBJECT_LOCK(object);
            g_value_set_static_string(value, id == PROP_INPUT_FORMAT ? state.input_format
                                             : id == PROP_MATRIX     ? state.matrix
                                                                     : state.range);
            GST_OBJECT_UNLOCK(object);
            break;
        case PROP_APPLIED_ROTATION:
        case PROP_APPLIED_FLIP: {
            GST_OBJECT_LOCK(object);
            const Turn& turn = turn_of(state.applied);
            GST_OBJECT_UNLOCK(object);
            if (id == PROP_APPLIED_ROTATION) {
                g_value_set_uint(value, turn.degrees);
            } else {
                g_value_set_boolean(value, turn.flip);
            }
            break;
        }
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

// The inverse of a fraction (a zero numerator inverts to the largest fraction).
void invert(int& numerator, int& denominator) {
    if (numerator == 0) {
        numerator = G_MAXINT;
        denominator = 1;
    } else {
        std::swap(numerator, denominator);
    }
}

// `structure` turned by a quarter: width and height swapped, pixel aspect ratio inverted.
void swap_axes(GstStructure* structure) {
    GValue width = G_VALUE_INIT, height = G_VALUE_INIT;
    const bool has_width = gst_structure_has_field(structure, "width");
    const bool has_height = gst_structure_has_field(structure, "height");
    if (has_width) gst_value_init_and_copy(&width, gst_structure_get_value(structure, "width"));
    if (has_height) gst_value_init_and_copy(&height, gst_structure_get_value(structure, "height"));
    gst_structure_remove_fields(structure, "width", "height", nullptr);
    if (has_width) gst_structure_take_value(structure, "height", &width);
    if (has_height) gst_structure_take_value(structure, "width", &height);
    const GValue* par = gst_structure_get_value(structure, "pixel-aspect-ratio");
    if (par == nullptr) return;
    if (GST_VALUE_HOLDS_FRACTION(par)) {
        int n = gst_value_get_fraction_numerator(par), d = gst_value_get_fraction_denominator(par);
        invert(n, d);
        gst_structure_set(structure, "pixel-aspect-ratio", GST_TYPE_FRACTION, n, d, nullptr);
    } else if (GST_VALUE_HOLDS_FRACTION_RANGE(par)) {
        const GValue* low = gst_value_get_fraction_range_min(par);
        const GValue* high = gst_value_get_fraction_range_max(par);
        int low_n = gst_value_get_fraction_numerator(low), low_d = gst_value_get_fraction_denominator(low);
        int high_n = gst_value_get_fraction_numerator(high), high_d = gst_value_get_fraction_denominator(high);
        invert(low_n, low_d);
        invert(high_n, high_d);
        gst_structure_set(structure, "pixel-aspect-ratio", GST_TYPE_FRACTION_RANGE, high_n, high_d, low_n, low_d,
                          nullptr);
    } else {
        gst_structure_remove_field(structure, "pixel-aspect-ratio");  // any, then
    }
}

// Each structure of `caps` with its format (and the colour fields, which belong to the format)
// replaced: the formats we write towards the source pad, those we take towards the sink pad.
// The output is the input turned when the orientation swaps the sides. Without a requested size,
// size, frame rate, aspect ratio and the rest stay as they are (turned); with one, the output
// takes that size (and the input any size).
GstCaps* transform_caps(GstBaseTransform* trans, GstPadDirection direction, GstCaps* caps, GstCaps* filter) {
    State& state = state_of(trans);
    GST_OBJECT_LOCK(trans);
    const guint want_width = state.width;
    const guint want_height = state.height;
    const bool turned = vantle::swaps_axes(wanted_locked(state));
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
            GValue inputs = G_VALUE_INIT;
            input_formats_for(structure, format, &inputs);
            gst_structure_take_value(structure, "format", &inputs);
        } else {
            gst_structure_set_value(structure, "format", format);
        }
        if (turned && !(resizing && direction == GST_PAD_SRC)) swap_axes(structure);
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
    state.scaler.reset();  // made for the first frame, when its orientation is known
    state.format = *format;
    state.output = *output;
    state.colorimetry = vantle::colorimetry_of(*in_info);
    state.constants = vantle::colour_constants_for(state.colorimetry, *format);
    state.same_picture = vantle::same_bytes(*format, state.colorimetry, *output) &&
                         GST_VIDEO_INFO_WIDTH(in_info) == GST_VIDEO_INFO_WIDTH(out_info) &&
                         GST_VIDEO_INFO_HEIGHT(in_info) == GST_VIDEO_INFO_HEIGHT(out_info);
    state.orientation = wanted_orientation(filter);
    gst_base_transform_set_passthrough(GST_BASE_TRANSFORM(filter),
                                       state.same_picture && state.orientation == Orientation::Identity);
    GST_OBJECT_LOCK(filter);
    state.input_format = GST_VIDEO_INFO_NAME(in_info);
    state.matrix = matrix_name(state.colorimetry.matrix);
    state.range = state.colorimetry.full_range ? "full" : "limited";
    state.applied = state.orientation;
    GST_OBJECT_UNLOCK(filter);
    return TRUE;
}

// The orientation of each buffer is taken here, before the base class decides whether it
// passes through: an orientation that leaves the caps as they are (a flip, half a turn) is not
// renegotiated, so passing through starts and stops here.
void before_transform(GstBaseTransform* trans, GstBuffer*) {
    State& state = state_of(trans);
    const Orientation orientation = wanted_orientation(trans);
    if (orientation == state.orientation) return;
    state.orientation = orientation;
    const bool passthrough = state.same_picture && orientation == Orientation::Identity;
    if (passthrough != static_cast<bool>(gst_base_transform_is_passthrough(trans))) {
        gst_base_transform_set_passthrough(trans, passthrough);
        gst_base_transform_reconfigure_src(trans);  // our output pool, from the next buffer on
    }
    GST_OBJECT_LOCK(trans);
    state.applied = orientation;
    GST_OBJECT_UNLOCK(trans);
}

// The scaler for pictures of the input's size to `width` x `height`, made when the size
// changes; false (with an error posted) when there is no memory for it.
bool prepare_scaler(GstVideoFilter* filter, State& state, const vantle::Picture& in, int width, int height) {
    if (state.scaler != nullptr && state.scaler->output().width == width && state.scaler->output().height == height) {
        return true;
    }
    GST_DEBUG_OBJECT(filter, "resizing from %dx%d to %dx%d", in.width, in.height, width, height);
    state.scaler.reset();
    try {
        state.scaler = std::make_unique<vantle::PictureScaler>(state.format, in.width, in.height, width, height,
                                                               state.output == vantle::OutputFormat::Gray);
    } catch (const std::exception& error) {
        GST_ELEMENT_ERROR(filter, RESOURCE, NO_SPACE_LEFT, ("Not enough memory to resize the video"),
                          ("%dx%d to %dx%d: %s", in.width, in.height, width, height, error.what()));
        return false;
    }
    return true;
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
    const int out_width = GST_VIDEO_FRAME_WIDTH(out_frame), out_height = GST_VIDEO_FRAME_HEIGHT(out_frame);
    // The picture before it is turned, of the input's size or scaled.
    const Orientation orientation = state.orientation;
    const bool turned = vantle::swaps_axes(orientation);
    const int width = turned ? out_height : out_width, height = turned ? out_width : out_height;
    const bool resizing = width != in.width || height != in.height;
    if (resizing && !prepare_scaler(filter, state, in, width, height)) return GST_FLOW_ERROR;
    const vantle::PictureScaler* scaler = resizing ? state.scaler.get() : nullptr;
    const vantle::InputFormat& format = scaler != nullptr ? scaler->output_format() : state.format;
    const int alignment = vantle::row_alignment(format);
    // Resizing reads the whole input, converting writes the whole output: bands pay off when
    // either is large.
    const guint64 pixels = std::max(static_cast<guint64>(in.width) * static_cast<guint64>(in.height),
                                    static_cast<guint64>(width) * static_cast<guint64>(height));
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
    // buffer when it is not turned; the rest goes through scratch first.
    vantle::Picture out_picture;
    out_picture.width = out_width;
    out_picture.height = out_height;
    out_picture.data[0] = out;
    out_picture.stride[0] = out_stride;
    const bool resize_into_output = scaler != nullptr && orientation == Orientation::Identity &&
                                    vantle::same_bytes(format, state.colorimetry, state.output);
    const vantle::Picture& source = scaler != nullptr ? scaler->output() : in;
    const vantle::Placement placement =
        vantle::placement_of(orientation, out, out_stride, width, height, vantle::pixel_bytes(state.output));
    run_bands(state, count, [&](unsigned band) {
        const int first = bands.first(band), last = bands.last(band);
        if (first >= last || failed) return;
        if (scaler != nullptr) {
            scaler->scale_rows(in, resize_into_output ? out_picture : scaler->output(), first, last,
                               state.accumulators[band]);
            if (resize_into_output) return;
        }
        if (!vantle::convert_rows(format, state.output, source, first, last, placement, *state.constants)) {
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
// not video meta. With video meta, libav's decoders render straight into that pool (it takes
// their padding and stride alignment), but they keep each picture mapped for writing while they
// hold it as a reference, so GStreamer's video decoder base class (1.22), which makes every
// frame writable before pushing it, cannot share its memory and copies it into freshly
// allocated memory: still one copy a frame, and a malloc and more page faults besides (H.264
// 640x360: 1.82 ms of CPU a frame against 1.57; 1080p: 47 page faults a frame against 37).
// Without video meta they render into their own pool and copy each frame once into one of ours,
// which is recycled, as they do for any sink.
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

// The orientation that an image-orientation tag value asks for; none for a value it cannot have.
std::optional<Orientation> orientation_of_tag(const char* value) {
    for (const auto& turn : kTurns) {
        if (g_strcmp0(turn.tag, value) == 0) return turn.orientation;
    }
    return std::nullopt;
}

// Follows the image-orientation tag of each stream (no tag: no turn). Once the picture is turned
// by the tag, downstream sees the tag of an upright picture, so that it does not turn it again.
gboolean sink_event(GstBaseTransform* trans, GstEvent* event) {
    if (GST_EVENT_TYPE(event) == GST_EVENT_STREAM_START) {
        change_orientation(trans, [](State& s) { s.tagged = Orientation::Identity; });
    } else if (GST_EVENT_TYPE(event) == GST_EVENT_TAG) {
        GstTagList* tags = nullptr;
        gst_event_parse_tag(event, &tags);
        gchar* value = nullptr;
        if (gst_tag_list_get_string(tags, GST_TAG_IMAGE_ORIENTATION, &value)) {
            const auto orientation = orientation_of_tag(value);
            if (!orientation) {
                GST_WARNING_OBJECT(trans, "ignoring the image orientation \"%s\"", value);
            } else if (change_orientation(trans, [&](State& s) { s.tagged = *orientation; })) {
                GST_DEBUG_OBJECT(trans, "image orientation %s", value);
                GstTagList* upright = gst_tag_list_copy(tags);
                gst_tag_list_add(upright, GST_TAG_MERGE_REPLACE, GST_TAG_IMAGE_ORIENTATION, "rotate-0", nullptr);
                GstEvent* replacement = gst_event_new_tag(upright);
                gst_event_set_seqnum(replacement, gst_event_get_seqnum(event));
                gst_event_unref(event);
                event = replacement;
            }
            g_free(value);
        }
    }
    return GST_BASE_TRANSFORM_CLASS(vantle_convert_parent_class)->sink_event(trans, event);
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
    g_object_class_install_property(
        object_class, PROP_ROTATION,
        g_param_spec_enum("rotation", "Rotation",
                          "Rotation or flip of the picture, written in the same pass as the conversion (width and "
                          "height are those of the turned picture)",
                          vantle_convert_rotation_get_type(), static_cast<int>(Orientation::Identity), flags));
    const auto read_only = static_cast<GParamFlags>(G_PARAM_READABLE | G_PARAM_STATIC_STRINGS);
    g_object_class_install_property(
        object_class, PROP_INPUT_FORMAT,
        g_param_spec_string("input-format", "Input format", "The negotiated input format (none before the caps)",
                            nullptr, read_only));
    g_object_class_install_property(
        object_class, PROP_MATRIX,
        g_param_spec_string("matrix", "Matrix",
                            "The YUV matrix the input is converted with: bt601, bt709, bt2020, smpte240m, fcc (rgb "
                            "for RGB input)",
                            nullptr, read_only));
    g_object_class_install_property(
        object_class, PROP_RANGE,
        g_param_spec_string("range", "Range", "The range the input is read in: limited or full", nullptr, read_only));
    g_object_class_install_property(
        object_class, PROP_APPLIED_ROTATION,
        g_param_spec_uint("applied-rotation", "Applied rotation",
                          "Clockwise rotation of the picture in degrees (0, 90, 180, 270), after applied-flip, as "
                          "the rotation property or the stream's tag asks",
                          0, 270, 0, read_only));
    g_object_class_install_property(
        object_class, PROP_APPLIED_FLIP,
        g_param_spec_boolean("applied-flip", "Applied flip",
                             "Whether the picture is mirrored left to right before applied-rotation", FALSE,
                             read_only));
    gst_type_mark_as_plugin_api(vantle_convert_rotation_get_type(), static_cast<GstPluginAPIFlags>(0));

    auto* element_class = GST_ELEMENT_CLASS(klass);
    gst_element_class_set_static_metadata(
        element_class, "Colour converter, scaler and rotator to BGR, RGB or grey", "Filter/Converter/Video/Scaler",
        "Converts raw YUV and RGB video to packed BGR, RGB or grey, scaling it first (area averaging when "
        "shrinking) and rotating or flipping it if asked",
        "vantle developers");
    gst_element_class_add_static_pad_template(element_class, &sink_template);
    gst_element_class_add_static_pad_template(element_class, &src_template);

    auto* trans_class = GST_BASE_TRANSFORM_CLASS(klass);
    trans_class->transform_caps = transform_caps;
    trans_class->propose_allocation = propose_allocation;
    trans_class->decide_allocation = decide_allocation;
    trans_class->stop = stop;
    trans_class->sink_event = sink_event;
    trans_class->before_transform = before_transform;
    // Passing through is decided in set_info and before_transform: equal caps may need a flip.
    trans_class->passthrough_on_same_caps = FALSE;

    auto* filter_class = GST_VIDEO_FILTER_CLASS(klass);
    filter_class->set_info = set_info;
    filter_class->transform_frame = transform_frame;
}

static void vantle_convert_init(VantleConvert* self) {
    new (self->state_storage) State();
    state_of(self).n_threads = default_threads();
}
