// Cutting field pieces to fit, and laying rows out around the template's runs.
#include "template/assembly.hpp"

#include <algorithm>
#include <numeric>

namespace korvanta {

std::size_t EncodingPlan::slot_count() const noexcept {
    std::size_t count = 0;
    for (const auto& offsets : slots) count += offsets.size();
    return count;
}

std::size_t EncodingPlan::fixed_size() const noexcept {
    std::size_t size = 0;
    for (const auto& run : runs) size += run.size();
    return size;
}

bool kept_lengths(const EncodingPlan& plan, std::span<const std::size_t> lengths, std::span<const bool> shortenable,
                  std::size_t max_length, std::span<std::size_t> kept) {
    std::copy(lengths.begin(), lengths.end(), kept.begin());
    const std::size_t fixed = plan.fixed_size();
    const std::size_t total = std::accumulate(lengths.begin(), lengths.end(), fixed);
    if (total <= max_length) return true;

    // 1. The room the shortenable pieces share: what is left by everything else.
    std::size_t others = fixed, longest = 0;
    for (std::size_t i = 0; i < lengths.size(); ++i) {
        if (shortenable[i]) {
            longest = std::max(longest, lengths[i]);
        } else {
            others += lengths[i];
        }
    }
    if (others > max_length) return false;
    const std::size_t room = max_length - others;

    // 2. The highest level that every shortenable piece can be cut down to and
    //    still fit: sum(min(length, level)) <= room.
    auto filled = [&](std::size_t level) {
        std::size_t sum = 0;
        for (std::size_t i = 0; i < lengths.size(); ++i) {
            if (shortenable[i]) sum += std::min(lengths[i], level);
        }
        return sum;
    };
    std::size_t low = 0, high = longest;  // filled(low) <= room < filled(high), since the row does not fit
    while (high - low > 1) {
        const std::size_t middle = low + (high - low) / 2;
        (filled(middle) <= room ? low : high) = middle;
    }

    // 3. Cut to that level; what room is left goes, one token each, to the
    //    pieces that were cut, in row order.
    std::size_t left = room - filled(low);
    for (std::size_t i = 0; i < lengths.size(); ++i) {
        if (!shortenable[i] || lengths[i] <= low) continue;
        kept[i] = low + (left > 0 ? 1 : 0);
        if (left > 0) --left;
    }
    return true;
}

void EncodedRows::add(const EncodingPlan& plan, std::span<const std::span<const TokenId>> pieces,
                      std::span<const std::size_t> kept, CutSide side) {
    const std::size_t start = ids_.size();
    for (std::size_t i = 0; i < plan.runs.size(); ++i) {
        const std::vector<TokenId>& run = plan.runs[i];
        for (std::size_t offset : plan.slots[i]) slots_.push_back(ids_.size() - start + offset);
        ids_.insert(ids_.end(), run.begin(), run.end());
        if (i == pieces.size()) break;
        std::span<const TokenId> piece = pieces[i];
        piece = side == CutSide::end ? piece.first(kept[i]) : piece.last(kept[i]);
        ids_.insert(ids_.end(), piece.begin(), piece.end());
    }
    ends_.push_back(ids_.size());
}

std::span<const TokenId> EncodedRows::ids(std::size_t row) const noexcept {
    const std::size_t begin = row == 0 ? 0 : ends_[row - 1];
    return std::span<const TokenId>(ids_).subspan(begin, ends_[row] - begin);
}

std::span<const std::size_t> EncodedRows::slot_positions(std::size_t row) const noexcept {
    return std::span<const std::size_t>(slots_).subspan(row * slots_per_row_, slots_per_row_);
}

std::size_t EncodedRows::longest() const noexcept {
    std::size_t longest = 0;
    for (std::size_t row = 0; row < size(); ++row) longest = std::max(longest, ids(row).size());
    return longest;
}

std::size_t padded_width(const EncodedRows& rows, Padding padding) noexcept {
    switch (padding.kind) {
        case Padding::longest: return rows.longest();
        case Padding::width: return std::max(padding.size, rows.longest());
        case Padding::none: break;
    }
    return 0;
}

}  // namespace korvanta
