// How encoded rows become the result: lists, numpy arrays, torch tensors or Arrow arrays.
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
    Tensors tensors;         // lists, numpy arrays, torch tensors or Arrow arrays
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

// A new Arrow array of `size` items of `type` (a pyarrow type's name, such as
// "int32"; `width` bytes each), written through `fill(data)`. Its memory comes
// from Arrow's pool, which keeps freed memory for the next table.
Ref new_arrow(PyObject* pyarrow, std::size_t size, const char* type, std::size_t width,
              const std::function<void(char*)>& fill);
// A list array of `values` (an Arrow array) cut by `offsets` (int32, or int64 when `wide`).
Ref list_array(PyObject* pyarrow, const Ref& offsets, const Ref& values, bool wide);

// `size` int64 values as an Arrow array, value(i) for each.
template <class Value>
Ref int64_arrow(PyObject* pyarrow, std::size_t size, Value&& value) {
    return new_arrow(pyarrow, size, "int64", 8, [&](char* data) {
        auto* out = reinterpret_cast<std::int64_t*>(data);
        for (std::size_t i = 0; i < size; ++i) out[i] = value(i);
    });
}

// The offsets of `rows` rows of size_of(r) items each: int32, or int64 when `wide`.
template <class SizeOf>
Ref arrow_offsets(PyObject* pyarrow, std::size_t rows, bool wide, SizeOf&& size_of) {
    return new_arrow(pyarrow, rows + 1, wide ? "int64" : "int32", wide ? 8 : 4, [&](char* data) {
        std::size_t at = 0;
        for (std::size_t r = 0; r <= rows; ++r) {
            if (wide) reinterpret_cast<std::int64_t*>(data)[r] = static_cast<std::int64_t>(at);
            else reinterpret_cast<std::int32_t*>(data)[r] = static_cast<std::int32_t>(at);
            if (r < rows) at += size_of(r);
        }
    });
}

// `rows` rows of int64 values as an Arrow list array: row r holds size_of(r)
// values, value(r, c) for c below it.
template <class SizeOf, class Value>
Ref arrow_rows(PyObject* pyarrow, std::size_t rows, SizeOf&& size_of, Value&& value) {
    std::size_t total = 0;
    for (std::size_t r = 0; r < rows; ++r) total += size_of(r);
    const bool wide = total > static_cast<std::size_t>(INT32_MAX);
    Ref offsets = arrow_offsets(pyarrow, rows, wide, size_of);
    Ref values = new_arrow(pyarrow, total, "int64", 8, [&](char* data) {
        auto* out = reinterpret_cast<std::int64_t*>(data);
        for (std::size_t r = 0; r < rows; ++r) {
            const std::size_t size = size_of(r);
            for (std::size_t c = 0; c < size; ++c) *out++ = value(r, c);
        }
    });
    return list_array(pyarrow, offsets, values, wide);
}

// The result dict: input_ids, attention_mask, mask_positions, and labels and row_index when there are.
Ref encoded_result(const EncodingCache& cache, const EncodedRows& rows, Layout layout);

}  // namespace korvanta
