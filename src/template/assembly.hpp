// The tokenizer-free part of encoding rows into model inputs: the template's
// own ids (special tokens, template text, slots) in runs around the row's
// field pieces, the cutting of field pieces to fit a maximum length, the
// positions of the slots, and the width rows are padded to. Plain C++ over id
// arrays, fuzzed alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace korvanta {

using TokenId = std::uint32_t;

// What a template contributes to every row, worked out once per template and
// tokenizer. A row is runs[0], piece 0, runs[1], piece 1, ..., runs[n]: runs
// are never cut, pieces (the fields' tokens) may be.
struct EncodingPlan {
    std::vector<std::vector<TokenId>> runs;       // pieces + 1 runs of the template's own ids
    std::vector<std::vector<std::size_t>> slots;  // per run, the offsets of its slots (an offset may be the run's end)

    std::size_t pieces() const noexcept { return runs.size() - 1; }
    std::size_t slot_count() const noexcept;
    // How many ids the runs hold together: the template's own length.
    std::size_t fixed_size() const noexcept;
};

enum class CutSide { end, start };  // which end of a field piece loses its tokens

// How many tokens each piece keeps so that the row is at most `max_length`
// long: all of them when the row fits; otherwise the pieces that may be
// shortened are cut, longest first, to exactly what fits (when the longest
// pieces tie, those earlier in the row keep one token more). Returns false,
// leaving `kept` unspecified, when even cutting those pieces to nothing is
// not enough.
bool kept_lengths(const EncodingPlan& plan, std::span<const std::size_t> lengths, std::span<const bool> shortenable,
                  std::size_t max_length, std::span<std::size_t> kept);

// Rows of ids, one after another, with the positions of their slots.
class EncodedRows {
   public:
    explicit EncodedRows(std::size_t slots_per_row) noexcept : slots_per_row_(slots_per_row) {}

    // Appends a row of the plan's runs and the first (CutSide::end) or last
    // (CutSide::start) `kept[i]` ids of each `pieces[i]`.
    void add(const EncodingPlan& plan, std::span<const std::span<const TokenId>> pieces,
             std::span<const std::size_t> kept, CutSide side);

    std::size_t size() const noexcept { return ends_.size(); }
    std::span<const TokenId> ids(std::size_t row) const noexcept;
    std::span<const std::size_t> slot_positions(std::size_t row) const noexcept;
    std::size_t longest() const noexcept;

   private:
    std::vector<TokenId> ids_;          // every row's ids, one row after another
    std::vector<std::size_t> ends_;     // where each row's ids end in ids_
    std::vector<std::size_t> slots_;    // every row's slot positions, slots_per_row_ a row
    std::size_t slots_per_row_;         // the plan's slot count
};

// How wide padded rows are: not padded (0), as the longest row, or a given
// width (never narrower than the longest row).
struct Padding {
    enum Kind { none, longest, width } kind = none;
    std::size_t size = 0;  // the width, for Kind::width
};
std::size_t padded_width(const EncodedRows& rows, Padding padding) noexcept;

}  // namespace korvanta
