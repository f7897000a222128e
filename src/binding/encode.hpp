// From rows to model inputs with the template's own tokenizer: encode(),
// encode_batch(), label_ids(), and the template's fields and slots. What is
// worked out once per template and tokenizer is kept in an EncodingCache.
#pragma once

#include "binding/encoding_cache.hpp"

namespace korvanta {

extern const char encode_doc[];
extern const char encode_batch_doc[];
extern const char label_ids_doc[];

Ref template_encode(TemplateObject& self, const Arguments& arguments, const Options& options);
Ref template_encode_batch(TemplateObject& self, const Arguments& arguments, const Options& options);
Ref template_label_ids(TemplateObject& self, const Arguments& arguments, const Options& options);

// The names of the controls without options (fields) and with options
// (slots), in template order, each once.
Ref template_fields(TemplateObject& self);
Ref template_slots(TemplateObject& self);

}  // namespace korvanta
