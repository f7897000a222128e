// How encoded rows become the result: lists, numpy arrays or torch tensors.
#pragma once

#include <vector>

#include "binding/encoding_cache.hpp"

namespace korvanta {

// How encoded rows become the result's values.
struct Layout {
    std::size_t width;       // padded width, 0 for none
    TokenId pad;             // the pad id
    bool left;               // padding goes before the row
    bool batch;              // a list (or array) per row, or one row
    Tensors tensors;         // lists, numpy arrays or torch tensors
    std::size_t slots;       // slot positions per row
    const std::vector<std::size_t>* row_index;  // the input index of each row kept, when rows may be dropped
    bool positions = true;   // a mask_positions column
};

// The result dict: input_ids, attention_mask, mask_positions, and labels and row_index when there are.
Ref encoded_result(const EncodingCache& cache, const EncodedRows& rows, Layout layout);

}  // namespace korvanta
