// From rows to model inputs with the template's own tokenizer: encode(),
// encode_batch(), label_ids(), and the template's fields and slots. What is
// worked out once per template and tokenizer is kept in an EncodingCache.
#pragma once

#include "binding/conversions.hpp"
#include "binding/entry_points.hpp"
#include "binding/template_type.hpp"

namespace korvanta {

extern const char encode_doc[];
extern const char encode_batch_doc[];
extern const char label_ids_doc[];
// The options of encode() and encode_batch(), and of label_ids(), in the order their enums give.
namespace encode_option {
enum : std::size_t {
    max_length, shorten, truncation_side, slots, mask_token, add_special_tokens, padding, pad_token, return_tensors, targets,
    overflow, padding_side
};
}
inline constexpr std::string_view encode_option_names[] = {
    "max_length", "shorten", "truncation_side", "slots", "mask_token", "add_special_tokens", "padding", "pad_token",
    "return_tensors", "targets", "overflow", "padding_side"};
namespace label_option {
enum : std::size_t { slots, single_token };
}
inline constexpr std::string_view label_option_names[] = {"slots", "single_token"};

inline constexpr std::string_view row_names[] = {"row"};
inline constexpr std::string_view rows_names[] = {"rows"};
inline constexpr Signature encode_signature{"PromptTemplate.encode()", row_names, 1, encode_option_names};
inline constexpr Signature encode_batch_signature{"PromptTemplate.encode_batch()", rows_names, 1,
                                                  encode_option_names};
inline constexpr Signature label_ids_signature{"PromptTemplate.label_ids()", {}, 0, label_option_names};

// Visits the Python objects an encoding cache holds, for the template's traverse.
int visit_encoding_cache(const EncodingCache& cache, visitproc visit, void* arg);

Ref template_encode(TemplateObject& self, const Arguments& arguments, const Options& options);
Ref template_encode_batch(TemplateObject& self, const Arguments& arguments, const Options& options);
Ref template_label_ids(TemplateObject& self, const Arguments& arguments, const Options& options);

// The names of the controls without options (fields) and with options
// (slots), in template order, each once.
Ref template_fields(TemplateObject& self);
Ref template_slots(TemplateObject& self);

}  // namespace korvanta
