// libFuzzer harness over packing (core/packing.hpp). The input gives a row
// length, a strategy, how many rows to keep open, and example lengths in
// batches (a zero byte ends a batch). Each batch goes through a RowPacker,
// which hands back the rows it is done with; at the end, the rest. The same
// lengths are also packed at once.
// Oracles: every example lands in exactly one row; a row holds its examples
// in rising order and never more than the row length; in order, rows follow
// one another in the examples' order and a row is closed only when the next
// example does not fit; packed at once best fit, no two rows would fit in one;
// the packed rows hold each example's ids contiguous and whole, position ids
// from 0 in each, its length in the row's lengths, and labels unlearnt at the
// first token of every example after a row's first.
// Then the same bytes as a conversation split into runs of exchanges
// (core/conversation.hpp RunSearch): each exchange's true tokens, and the
// tokens the whole conversation gave it (off by a little). Oracles: runs are
// consecutive and disjoint, each fits, none could take the next exchange, and
// every exchange that fits alone is in one; tries stay within the runs' ends
// plus the estimate's error.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "core/conversation.hpp"
#include "core/packing.hpp"

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

using korvanta::PackPlan;
using korvanta::PackStrategy;

// Checks the plans that placed examples [0, lengths.size()), one after another.
void check_plan(const std::vector<PackPlan>& plans, const std::vector<std::size_t>& lengths,
                       std::size_t capacity, PackStrategy strategy) {
    std::vector<std::uint8_t> seen(lengths.size(), 0);
    std::uint64_t last_first = 0;
    bool any = false;
    for (const PackPlan& plan : plans) {
        for (std::size_t r = 0; r < plan.size(); ++r) {
            const auto row = plan.row(r);
            require(!row.empty());
            std::size_t used = 0;
            for (std::size_t i = 0; i < row.size(); ++i) {
                require(row[i] < lengths.size() && !seen[row[i]]);
                require(i == 0 || row[i - 1] < row[i]);
                seen[row[i]] = 1;
                used += lengths[row[i]];
            }
            require(used <= capacity);
            if (strategy == PackStrategy::sequential) {
                // Contiguous, in order, each closed only when the next did not fit.
                require(!any || row.front() == last_first);
                require(row.back() - row.front() + 1 == row.size());
                if (row.back() + 1 < lengths.size() && plan.size() > r + 1) {
                    require(used + lengths[row.back() + 1] > capacity);
                }
                last_first = row.back() + 1;
                any = true;
            }
        }
    }
    for (const std::uint8_t one : seen) require(one == 1);
}

void split_conversation(const std::uint8_t* data, std::size_t size) {
    const std::size_t max_length = 8 + data[0] % 120, opening = data[1] % 16;
    std::vector<std::size_t> cost, estimate;
    for (std::size_t i = 2; i + 1 < size; i += 2) {
        cost.push_back(1 + data[i] % 64);
        estimate.push_back(cost.back() + data[i + 1] % 3 - std::min<std::size_t>(1, cost.back() - 1));
    }
    estimate.push_back(opening);
    auto fits = [&](std::size_t begin, std::size_t end) {
        std::size_t tokens = opening;
        for (std::size_t k = begin; k < end; ++k) tokens += cost[k];
        return tokens <= max_length;
    };
    korvanta::RunSearch search(estimate, max_length);
    std::size_t tries = 0;
    while (search.next() != SIZE_MAX) {
        require(search.begin() < search.next() && search.next() <= cost.size());
        search.learn(search.next(), fits(search.begin(), search.next()));
        require(++tries <= 4 * cost.size() + 8);
    }
    std::size_t placed = 0;
    std::vector<std::uint8_t> in_run(cost.size(), 0);
    for (const auto& run : search.runs()) {
        require(run.begin >= placed && run.begin < run.end && fits(run.begin, run.end));
        require(run.end == cost.size() || !fits(run.begin, run.end + 1));
        for (std::size_t k = placed; k < run.begin; ++k) require(!fits(k, k + 1));  // left out: cannot fit alone
        for (std::size_t k = run.begin; k < run.end; ++k) in_run[k] = 1;
        placed = run.end;
    }
    for (std::size_t k = placed; k < cost.size(); ++k) require(!fits(k, k + 1));
    for (std::size_t k = 0; k < cost.size(); ++k) require(in_run[k] || !fits(k, k + 1));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    split_conversation(data, size);
    const std::size_t capacity = 1 + data[0] % 64;
    const PackStrategy strategy = data[1] % 2 == 0 ? PackStrategy::best_fit : PackStrategy::sequential;
    const std::size_t open = 1 + data[2] % 8;
    std::vector<std::vector<std::size_t>> batches(1);
    std::vector<std::size_t> lengths;
    for (std::size_t i = 3; i < size; ++i) {
        if (data[i] == 0) {
            batches.emplace_back();
            continue;
        }
        const std::size_t length = 1 + (data[i] - 1) % capacity;
        batches.back().push_back(length);
        lengths.push_back(length);
    }

    // Streamed, batch after batch.
    korvanta::RowPacker packer(capacity, strategy);
    std::vector<PackPlan> plans;
    for (const auto& batch : batches) {
        packer.place(batch);
        plans.push_back(packer.take(false, open));
        require(strategy != PackStrategy::sequential || packer.open_rows() <= 1);
    }
    plans.push_back(packer.take(true, 0));
    require(packer.open_rows() == 0);
    check_plan(plans, lengths, capacity, strategy);

    // At once. Best fit opens a row only for an example no open row has room
    // for, so no two rows would fit in one.
    const PackPlan whole = korvanta::plan_packing(lengths, capacity, strategy);
    check_plan({whole}, lengths, capacity, strategy);
    if (strategy == PackStrategy::best_fit && whole.size() >= 2) {
        std::vector<std::size_t> used;
        for (std::size_t r = 0; r < whole.size(); ++r) {
            used.push_back(0);
            for (const std::uint64_t e : whole.row(r)) used.back() += lengths[e];
        }
        std::sort(used.begin(), used.end());
        require(used[0] + used[1] > capacity);
    }

    // Laid out: ids are (example, token) pairs, labels the ids.
    std::vector<std::vector<std::int64_t>> ids(lengths.size());
    for (std::size_t e = 0; e < lengths.size(); ++e) {
        for (std::size_t k = 0; k < lengths[e]; ++k) ids[e].push_back(static_cast<std::int64_t>(e * 1000 + k));
    }
    const korvanta::PackedRows packed = korvanta::lay_out_packed(whole, true, [&](std::uint64_t e) {
        return korvanta::ExampleTokens{ids[e], ids[e]};
    });
    require(packed.size() == whole.size());
    std::size_t at = 0, example = 0;
    for (std::size_t r = 0; r < packed.size(); ++r) {
        require(packed.ends[r] - packed.begin_of(r) <= capacity);
        bool first = true;
        for (const std::uint64_t e : whole.row(r)) {
            require(packed.lengths[example++] == lengths[e]);
            for (std::size_t k = 0; k < lengths[e]; ++k, ++at) {
                require(packed.ids[at] == static_cast<std::int64_t>(e * 1000 + k));
                require(packed.positions[at] == static_cast<std::int64_t>(k));
                const bool unlearnt = k == 0 && !first;
                require(packed.labels[at] == (unlearnt ? korvanta::unlearnt_label : packed.ids[at]));
            }
            first = false;
        }
        require(at == packed.ends[r]);
    }
    require(at == packed.ids.size());
    return 0;
}
