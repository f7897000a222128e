// How encoded rows become the result: lists, numpy arrays or torch tensors.
#pragma once

#include <functional>
#include <initializer_list>
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

// A BufferView holds a buffer while it is read, and releases it.
struct BufferView {
    Py_buffer view{};
    bool held = false;
    BufferView() = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() {
        if (held) PyBuffer_Release(&view);
    }
};

// A new int64 numpy array of `shape`, filled by `fill`; what numpy.zeros
// gave is checked before anything is written into it.
Ref int64_array(PyObject* numpy, std::initializer_list<std::size_t> shape,
                const std::function<void(std::int64_t*)>& fill);
// The module, or an ImportError that says what to install (`missing`),
// caused by the import's own failure.
Ref import_module(const char* name, const char* missing);
// `array` as `tensors` asks: itself, or a torch tensor over it.
Ref as_tensors(Ref array, Tensors tensors);

// The result dict: input_ids, attention_mask, mask_positions, and labels and row_index when there are.
Ref encoded_result(const EncodingCache& cache, const EncodedRows& rows, Layout layout);

}  // namespace korvanta
