// Packing encoded rows (pack(), Packer, encode_batch(pack=True)) and
// collating them into batches (DataCollator): what a caller hands us becomes
// plain rows of ids here; the core packs them (core/packing.hpp).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "binding/encode_options.hpp"
#include "binding/encode_results.hpp"
#include "core/packing.hpp"

namespace korvanta {

// Examples read into plain values: their ids, their labels where given, and
// the input's own row_index where it has one.
struct ExampleRows {
    std::vector<std::int64_t> ids, labels;
    std::vector<std::size_t> ends;       // where each example ends in `ids`
    std::vector<std::int64_t> index;     // the input's row_index, or empty
    bool labelled = false;

    std::size_t size() const noexcept { return ends.size(); }
    std::size_t begin_of(std::size_t e) const noexcept { return e == 0 ? 0 : ends[e - 1]; }
    std::size_t length(std::size_t e) const noexcept { return ends[e] - begin_of(e); }
    ExampleTokens example(std::size_t e) const noexcept {
        const std::size_t begin = begin_of(e), size = length(e);
        return {{ids.data() + begin, size}, labelled ? std::span<const std::int64_t>{labels.data() + begin, size}
                                                     : std::span<const std::int64_t>{}};
    }
};

// Reads one row of ints into `values` and its end into `ends`: a list or
// tuple of ints (read as it stands now: another thread or an __index__ may
// change a list), a 1-D array or tensor, or any other sequence. A TypeError
// names `column` when it is none of those.
void read_row(PyObject* row, const char* column, std::vector<std::int64_t>& values, std::vector<std::size_t>& ends);

// A new list of ints.
Ref int_list(std::span<const std::int64_t> values);

// Reads what encode_batch returned (a mapping with input_ids, and labels,
// attention_mask and row_index where it has them): lists of lists, 2-D
// integer arrays, or tensors; tokens whose attention_mask is 0 (padding) are
// left out. `who` names the caller in messages.
ExampleRows read_examples(PyObject* encoded, const char* who);

// How packed rows are handed back.
struct PackOutput {
    Padding padding;                  // how wide rows are padded
    std::optional<std::int64_t> pad;  // the pad id, when padding
    bool left = false;                // padding goes before the row
    Tensors tensors = Tensors::none;
};

// The options pack() and Packer share, read from the given values (null where not given).
struct PackOptions {
    std::size_t max_length = 0;
    PackStrategy strategy = PackStrategy::best_fit;
    bool drop = false;  // examples longer than max_length are left out
    PackOutput output;
};
PackOptions read_pack_options(PyObject* max_length, PyObject* strategy, PyObject* overflow, PyObject* padding,
                              PyObject* pad_token_id, PyObject* padding_side, PyObject* return_tensors);

// The lengths of the examples to place, in order, and their numbers among
// `examples`: one longer than max_length is left out when dropping, else a
// ValueError naming it (by `first` + its number).
std::vector<std::size_t> lengths_to_place(const ExampleRows& examples, const PackOptions& options,
                                          std::vector<std::size_t>& placed, std::uint64_t first);

// The result dict: input_ids, labels (when labelled), position_ids,
// attention_mask, seq_lengths and row_index (`row_index[e]` for example e of
// the plan).
Ref packed_result(const PackedRows& rows, const PackPlan& plan, const std::function<std::int64_t(std::uint64_t)>& row_index,
                  const PackOutput& output);

// Packs rows encode_batch laid out (pack=True: best fit into rows of
// max_length, shaped as `call` says), numbered as `row_index` says (or in order).
Ref pack_encoded(const EncodedRows& rows, const std::vector<std::size_t>* row_index, const OutputOptions& call);

// The module's pack function, and the Packer and DataCollator classes.
PyMethodDef& pack_method() noexcept;
PyObject* packer_class();
PyObject* collator_class();

}  // namespace korvanta
