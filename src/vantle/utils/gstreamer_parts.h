// The pieces of vantle.utils.gstreamer, defined in several files and put together,
// in the module's order of definition, by gstreamer.cpp.
#pragma once

#include "bridge/module.h"

namespace vantle::gstreamer {

// Pipeline and its members (construction, registrations, waits, error posting).
bridge::Object make_pipeline_class(bridge::ModuleBuilder& m);

// Frames: framerate_from_structure, SampleConversionError's docstring, sample_to_ndarray,
// sample_as_ndarray and the type of the mappings that its arrays hold.
extern const bridge::FunctionSpec framerate_from_structure_spec;
extern const bridge::FunctionSpec sample_to_ndarray_spec;
extern const bridge::FunctionSpec sample_as_ndarray_spec;
extern const char* const sample_conversion_error_doc;
bridge::Object make_buffer_mapping_type();

// Element and pad helpers.
extern const bridge::FunctionSpec is_video_pad_spec;
extern const bridge::FunctionSpec is_rtp_audio_pad_spec;
extern const bridge::FunctionSpec pad_to_string_spec;
extern const bridge::FunctionSpec find_element_factory_spec;
extern const bridge::FunctionSpec find_element_spec;
extern const bridge::FunctionSpec unknown_property_error_init_spec;
extern const char* const unknown_property_error_doc;
extern const bridge::FunctionSpec try_set_property_spec;

// `value[1]`: the middle element of a triple such as get_state's result.
inline bridge::Object middle(bridge::Handle triple) {
    return triple.item(1);
}

}  // namespace vantle::gstreamer
