// Packing encoded examples into rows of at most a given number of tokens:
// which examples share a row (best fit decreasing, or in order), and the
// packed rows laid out with position ids that start again at each example
// and labels that never reach from one example into the next. No example is
// ever split. Plain C++ over lengths and id arrays, fuzzed alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <utility>
#include <vector>

namespace korvanta {

enum class PackStrategy : std::uint8_t {
    best_fit,    // longest first, each into the open row it leaves the least room in: the fewest rows
    sequential,  // in order, each into the one open row, or a new row when it does not fit
};

// Which examples each row holds: row after row, each row's examples in the
// order they were given (their numbers rising).
struct PackPlan {
    std::vector<std::uint64_t> examples;  // every row's example numbers, one row after another
    std::vector<std::size_t> ends;        // where each row's examples end in `examples`

    std::size_t size() const noexcept { return ends.size(); }
    std::span<const std::uint64_t> row(std::size_t r) const noexcept {
        const std::size_t begin = r == 0 ? 0 : ends[r - 1];
        return {examples.data() + begin, ends[r] - begin};
    }
};

// Places examples into rows of at most `capacity` tokens as they come, batch
// after batch, numbering them on from those placed before; rows are taken
// out when done. Every length is at least 1 and at most the capacity (the
// caller leaves the others out). O(log rows) per example.
class RowPacker {
   public:
    RowPacker(std::size_t capacity, PackStrategy strategy) noexcept : capacity_(capacity), strategy_(strategy) {}

    // Places a batch of examples (best fit: longest first within the batch).
    void place(std::span<const std::size_t> lengths);
    // Takes the rows out, ordered by their first example: all of them, or
    // only those done — no example seen so far fits what they have left, or
    // they are beyond the `open` fullest rows kept open (best fit; in order
    // only the last row stays open).
    PackPlan take(bool all, std::size_t open);

    std::uint64_t placed() const noexcept { return placed_; }
    std::size_t open_rows() const noexcept { return rows_.size(); }

   private:
    struct Row {
        std::size_t used = 0;   // tokens
        std::size_t count = 0;  // examples
    };
    static constexpr std::size_t no_row = SIZE_MAX;
    void put(std::uint64_t example, std::size_t length);
    void file(std::size_t row);  // best fit: files an open row under the room it has left

    std::size_t capacity_;
    PackStrategy strategy_;
    std::uint64_t placed_ = 0;
    std::size_t shortest_ = SIZE_MAX;   // the shortest example seen so far
    std::vector<Row> rows_;             // the open rows
    std::vector<std::size_t> row_of_;   // the row of each example from number `first_` on (taken: no_row)
    std::uint64_t first_ = 0;
    // Best fit: the open rows with room left, by that room; each a min-heap
    // of row numbers, so that among equals the oldest row is filled first.
    std::map<std::size_t, std::vector<std::size_t>> by_room_;
};

// Every example of `lengths` in rows of at most `capacity` tokens, at once.
PackPlan plan_packing(std::span<const std::size_t> lengths, std::size_t capacity, PackStrategy strategy);

// An example's tokens, as packing reads them: its ids and, when the examples
// carry labels, one label per id.
struct ExampleTokens {
    std::span<const std::int64_t> ids;
    std::span<const std::int64_t> labels;
};

inline constexpr std::int64_t unlearnt_label = -100;  // what a loss skips

// Packed rows, one after another: ids, labels (when labelled), position
// ids (from 0 in each example) and each row's example lengths.
struct PackedRows {
    std::vector<std::int64_t> ids;
    std::vector<std::int64_t> labels;     // empty unless labelled
    std::vector<std::int64_t> positions;
    std::vector<std::size_t> ends;        // where each row ends in `ids`
    std::vector<std::size_t> lengths;     // each example's length, row after row (the plan's order)
    bool labelled = false;

    std::size_t size() const noexcept { return ends.size(); }
    std::size_t begin_of(std::size_t r) const noexcept { return r == 0 ? 0 : ends[r - 1]; }
    std::size_t longest() const noexcept;
};

// Lays out the rows of `plan`, reading each example through `example`; in
// each row, the first token of every example after the first is labelled
// unlearnt, so that no example learns from the one before it.
template <class Example>
PackedRows lay_out_packed(const PackPlan& plan, bool labelled, Example&& example) {
    PackedRows out;
    out.labelled = labelled;
    out.ends.reserve(plan.size());
    out.lengths.reserve(plan.examples.size());
    for (std::size_t r = 0; r < plan.size(); ++r) {
        bool first = true;
        for (const std::uint64_t e : plan.row(r)) {
            const ExampleTokens tokens = example(e);
            out.ids.insert(out.ids.end(), tokens.ids.begin(), tokens.ids.end());
            if (labelled) {
                const std::size_t at = out.labels.size();
                out.labels.insert(out.labels.end(), tokens.labels.begin(), tokens.labels.end());
                if (!first && !tokens.labels.empty()) out.labels[at] = unlearnt_label;
            }
            for (std::size_t k = 0; k < tokens.ids.size(); ++k) out.positions.push_back(static_cast<std::int64_t>(k));
            out.lengths.push_back(tokens.ids.size());
            first = false;
        }
        out.ends.push_back(out.ids.size());
    }
    return out;
}

}  // namespace korvanta
