// libFuzzer harness over the assembly of encoded rows (template/assembly.hpp).
// The input chooses a plan (runs, their slots), field pieces, which pieces may
// be shortened, a maximum length and a side. Oracles: a row that fits keeps
// everything; a row that is cut is exactly max_length long; runs and slots
// stay whole and in order; a piece keeps its first (or last) tokens; pieces
// are cut longest first, earlier ones keeping the extra token; a refusal
// happens only when what may not be cut is already too long.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "template/assembly.hpp"

namespace {

using korvanta::TokenId;

void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "oracle failed: %s\n", what);
        std::abort();
    }
}

struct Bytes {
    const std::uint8_t* data;
    std::size_t size;
    std::uint8_t next() { return size == 0 ? 0 : (--size, *data++); }
};

constexpr TokenId run_token = 1'000'000, slot_token = 2'000'000;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Bytes in{data, size};
    korvanta::EncodingPlan plan;
    const std::size_t pieces = in.next() % 5;
    for (std::size_t r = 0; r <= pieces; ++r) {
        std::vector<TokenId> run(in.next() % 6, run_token + static_cast<TokenId>(r));
        std::vector<std::size_t> slots;
        for (std::size_t s = in.next() % 3; s > 0; --s) {
            const std::size_t at = run.empty() ? 0 : in.next() % (run.size() + 1);
            run.insert(run.begin() + static_cast<std::ptrdiff_t>(at), slot_token);
            for (std::size_t& offset : slots) offset += offset >= at;
            slots.push_back(at);
        }
        plan.runs.push_back(run);
        plan.slots.push_back(slots);
    }
    std::vector<std::vector<TokenId>> field_ids(pieces);
    std::vector<std::size_t> lengths(pieces), kept(pieces);
    std::unique_ptr<bool[]> shortenable(new bool[pieces + 1]);
    for (std::size_t p = 0; p < pieces; ++p) {
        lengths[p] = in.next() % 40;
        for (std::size_t k = 0; k < lengths[p]; ++k) field_ids[p].push_back(static_cast<TokenId>(p * 1000 + k));
        shortenable[p] = in.next() % 4 != 0;
    }
    const std::size_t max_length = in.next();
    const auto side = in.next() % 2 ? korvanta::CutSide::start : korvanta::CutSide::end;

    std::size_t total = plan.fixed_size(), fixed_part = plan.fixed_size();
    for (std::size_t p = 0; p < pieces; ++p) {
        total += lengths[p];
        fixed_part += shortenable[p] ? 0 : lengths[p];
    }
    std::span<const bool> cut(shortenable.get(), pieces);
    if (!korvanta::kept_lengths(plan, lengths, cut, max_length, kept)) {
        require(total > max_length && fixed_part > max_length, "a refusal only when the rest cannot fit");
        return 0;
    }
    require(fixed_part <= max_length || total <= max_length, "fits when it says so");
    std::size_t length = plan.fixed_size();
    for (std::size_t p = 0; p < pieces; ++p) {
        require(kept[p] <= lengths[p], "kept at most the piece");
        require(shortenable[p] || kept[p] == lengths[p], "pieces that may not be cut are whole");
        if (total <= max_length) require(kept[p] == lengths[p], "nothing is cut from a row that fits");
        length += kept[p];
    }
    require(total <= max_length ? length == total : length == max_length, "cut to exactly max_length");
    for (std::size_t i = 0; i < pieces; ++i) {
        if (kept[i] == lengths[i]) continue;
        for (std::size_t j = 0; j < pieces; ++j) {
            if (!shortenable[j]) continue;
            require(kept[j] <= kept[i] + 1, "the longest are cut first");
            if (j > i && kept[j] < lengths[j]) require(kept[i] >= kept[j], "earlier pieces keep the extra token");
        }
    }

    std::vector<std::span<const TokenId>> spans(field_ids.begin(), field_ids.end());
    korvanta::EncodedRows rows(plan.slot_count());
    rows.add(plan, spans, kept, side);
    std::span<const TokenId> row = rows.ids(0);
    require(row.size() == length, "the row is as long as worked out");
    for (std::size_t position : rows.slot_positions(0)) require(row[position] == slot_token, "slots stay in place");
    std::size_t at = 0;
    for (std::size_t r = 0; r <= pieces; ++r) {
        for (TokenId id : plan.runs[r]) require(row[at++] == id, "runs stay whole and in order");
        if (r == pieces) break;
        const std::size_t skip = side == korvanta::CutSide::end ? 0 : lengths[r] - kept[r];
        for (std::size_t k = 0; k < kept[r]; ++k) require(row[at++] == field_ids[r][skip + k], "a piece keeps one end");
    }
    require(korvanta::padded_width(rows, {korvanta::Padding::width, 3}) == std::max<std::size_t>(3, length),
            "padding never narrows a row");
    return 0;
}
