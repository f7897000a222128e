// Which examples share a packed row, and the rows laid out.
#include "core/packing.hpp"

#include <algorithm>
#include <functional>
#include <numeric>

namespace korvanta {

void RowPacker::file(std::size_t row) {
    const std::size_t room = capacity_ - rows_[row].used;
    if (room == 0) return;  // full: nothing fits any more
    std::vector<std::size_t>& rows = by_room_[room];
    rows.push_back(row);
    std::push_heap(rows.begin(), rows.end(), std::greater<>{});
}

void RowPacker::put(std::uint64_t example, std::size_t length) {
    shortest_ = std::min(shortest_, length);
    std::size_t r = rows_.size();
    if (strategy_ == PackStrategy::sequential) {
        if (r > 0 && capacity_ - rows_.back().used >= length) r -= 1;
    } else if (const auto fit = by_room_.lower_bound(length); fit != by_room_.end()) {
        // The open row with the least room that still holds it.
        std::vector<std::size_t>& rows = fit->second;
        std::pop_heap(rows.begin(), rows.end(), std::greater<>{});
        r = rows.back();
        rows.pop_back();
        if (rows.empty()) by_room_.erase(fit);
    }
    if (r == rows_.size()) rows_.emplace_back();
    rows_[r].used += length;
    rows_[r].count += 1;
    row_of_[static_cast<std::size_t>(example - first_)] = r;
    if (strategy_ == PackStrategy::best_fit) file(r);
}

void RowPacker::place(std::span<const std::size_t> lengths) {
    const std::uint64_t first = placed_;
    placed_ += lengths.size();
    row_of_.resize(static_cast<std::size_t>(placed_ - first_), no_row);
    if (strategy_ == PackStrategy::sequential) {
        for (std::size_t i = 0; i < lengths.size(); ++i) put(first + i, lengths[i]);
        return;
    }
    // Longest first, in order among equals: a counting sort on the lengths.
    const std::size_t longest = lengths.empty() ? 0 : *std::max_element(lengths.begin(), lengths.end());
    std::vector<std::size_t> at(longest + 2, 0);  // at[longest - length + 1]: how many are longer
    for (const std::size_t length : lengths) at[longest - length + 1] += 1;
    std::partial_sum(at.begin(), at.end(), at.begin());
    std::vector<std::size_t> order(lengths.size());
    for (std::size_t i = 0; i < lengths.size(); ++i) order[at[longest - lengths[i]]++] = i;
    for (const std::size_t i : order) put(first + i, lengths[i]);
}

PackPlan RowPacker::take(bool all, std::size_t open) {
    std::vector<std::uint8_t> done(rows_.size(), all);
    if (!all && !rows_.empty()) {
        if (strategy_ == PackStrategy::sequential) {
            std::fill(done.begin(), done.end() - 1, 1);
        } else {
            std::vector<std::size_t> left;  // rows still open, fullest first
            for (std::size_t r = 0; r < rows_.size(); ++r) {
                if (capacity_ - rows_[r].used < shortest_) {
                    done[r] = 1;  // nothing seen so far fits what it has left
                } else {
                    left.push_back(r);
                }
            }
            std::stable_sort(left.begin(), left.end(),
                             [&](std::size_t a, std::size_t b) { return rows_[a].used > rows_[b].used; });
            for (std::size_t i = 0; i + open < left.size(); ++i) done[left[i]] = 1;
        }
    }
    // Rows taken are numbered in the order of their first examples, rows
    // kept in their own order: one pass over the examples numbers both.
    std::vector<std::size_t> number(rows_.size(), no_row);
    std::vector<Row> kept;
    std::size_t taken = 0;
    for (const std::size_t r : row_of_) {
        if (r == no_row || number[r] != no_row) continue;
        if (done[r]) {
            number[r] = taken++;
        }
    }
    for (std::size_t r = 0; r < rows_.size(); ++r) {
        if (!done[r]) {
            number[r] = kept.size();
            kept.push_back(rows_[r]);
        }
    }
    PackPlan plan;
    plan.ends.assign(taken, 0);
    for (std::size_t r = 0; r < rows_.size(); ++r) {
        if (done[r]) plan.ends[number[r]] = rows_[r].count;
    }
    std::vector<std::size_t> at(taken, 0);  // where each taken row's next example goes
    for (std::size_t t = 0, sum = 0; t < taken; ++t) {
        at[t] = sum;
        sum += plan.ends[t];
        plan.ends[t] = sum;
    }
    plan.examples.resize(taken == 0 ? 0 : plan.ends.back());
    for (std::size_t i = 0; i < row_of_.size(); ++i) {
        std::size_t& r = row_of_[i];
        if (r == no_row) continue;
        if (done[r]) {
            plan.examples[at[number[r]]++] = first_ + i;
            r = no_row;
        } else {
            r = number[r];
        }
    }
    // Forget the leading examples no open row holds.
    const auto gone = std::find_if(row_of_.begin(), row_of_.end(), [](std::size_t r) { return r != no_row; });
    first_ += static_cast<std::uint64_t>(gone - row_of_.begin());
    row_of_.erase(row_of_.begin(), gone);
    rows_ = std::move(kept);
    by_room_.clear();
    if (strategy_ == PackStrategy::best_fit) {
        for (std::size_t r = 0; r < rows_.size(); ++r) file(r);
    }
    return plan;
}

PackPlan plan_packing(std::span<const std::size_t> lengths, std::size_t capacity, PackStrategy strategy) {
    RowPacker packer(capacity, strategy);
    packer.place(lengths);
    return packer.take(true, 0);
}

std::size_t PackedRows::longest() const noexcept {
    std::size_t longest = 0;
    for (std::size_t r = 0; r < size(); ++r) longest = std::max(longest, ends[r] - begin_of(r));
    return longest;
}

}  // namespace korvanta
