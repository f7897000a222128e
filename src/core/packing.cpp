// Which examples share a packed row, and the rows laid out.
#include "core/packing.hpp"

#include <algorithm>
#include <numeric>

namespace korvanta {

void RowPacker::put(std::uint64_t example, std::size_t length) {
    shortest_ = std::min(shortest_, length);
    if (strategy_ == PackStrategy::sequential) {
        if (rows_.empty() || capacity_ - rows_.back().used < length) rows_.emplace_back();
        rows_.back().examples.push_back(example);
        rows_.back().used += length;
        return;
    }
    // The open row with the least room that still holds it, or a new one.
    std::size_t r = rows_.size();
    if (const auto fit = room_.lower_bound({length, 0}); fit != room_.end()) {
        r = fit->second;
        room_.erase(fit);
    } else {
        rows_.emplace_back();
    }
    Row& row = rows_[r];
    row.examples.push_back(example);
    row.used += length;
    room_.insert({capacity_ - row.used, r});
}

void RowPacker::place(std::span<const std::size_t> lengths) {
    const std::uint64_t first = placed_;
    placed_ += lengths.size();
    if (strategy_ == PackStrategy::sequential) {
        for (std::size_t i = 0; i < lengths.size(); ++i) put(first + i, lengths[i]);
        return;
    }
    std::vector<std::uint32_t> order(lengths.size());
    std::iota(order.begin(), order.end(), 0u);
    std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) { return lengths[a] > lengths[b]; });
    for (const std::uint32_t i : order) put(first + i, lengths[i]);
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
    std::vector<std::size_t> taken;
    std::vector<Row> kept;
    for (std::size_t r = 0; r < rows_.size(); ++r) {
        if (done[r]) {
            std::sort(rows_[r].examples.begin(), rows_[r].examples.end());
            taken.push_back(r);
        } else {
            kept.push_back(std::move(rows_[r]));
        }
    }
    std::sort(taken.begin(), taken.end(),
              [&](std::size_t a, std::size_t b) { return rows_[a].examples.front() < rows_[b].examples.front(); });
    PackPlan plan;
    for (const std::size_t r : taken) {
        plan.examples.insert(plan.examples.end(), rows_[r].examples.begin(), rows_[r].examples.end());
        plan.ends.push_back(plan.examples.size());
    }
    rows_ = std::move(kept);
    room_.clear();
    if (strategy_ == PackStrategy::best_fit) {
        for (std::size_t r = 0; r < rows_.size(); ++r) room_.insert({capacity_ - rows_[r].used, r});
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
