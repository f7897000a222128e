// libFuzzer harness over the template side of encoding (core/assembly.hpp)
// with a fake tokenizer. The input chooses a template (text, fields, slots),
// each field's value, which fields may be shortened, a maximum length and a
// side. The fake tokenizer reads words (runs of letters) and the mask token,
// and puts [CLS] before and [SEP] after, as a post-processor would.
// Oracles: every slot holds its mask; tokens with a field's characters are the field's,
// all others the template's; a row read without offsets lays out as with
// them; a row that fits keeps everything; a cut row is exactly max_length
// long, keeps the template's tokens in order, each field its first (or last)
// tokens, cuts the longest first and never a field it may not cut; a refusal
// happens only when what may not be cut is too long; label words lie inside
// their context.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "core/assembly.hpp"

namespace {

using korvanta::CharSpan;
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
    std::string text(std::size_t longest) {
        std::string out;
        for (std::size_t n = next() % (longest + 1); n > 0; --n) out += " abc\n"[next() % 5];
        return out;
    }
};

constexpr TokenId cls = 0, sep = 1, mask = 2, first_word = 100;
constexpr std::string_view mask_text = "<m>";

// Words and the mask token of an ASCII prompt, with [CLS] and [SEP] around.
korvanta::TokenBatch tokenize(std::string_view prompt) {
    korvanta::TokenBatch batch;
    auto add = [&](TokenId id, CharSpan span, bool special) {
        batch.ids.push_back(id);
        batch.offsets.push_back(span);
        batch.special.push_back(special);
    };
    add(cls, {0, 0}, true);
    for (std::size_t i = 0; i < prompt.size();) {
        if (prompt.substr(i, mask_text.size()) == mask_text) {
            add(mask, {i, i + mask_text.size()}, true);
            i += mask_text.size();
        } else if (prompt[i] == ' ' || prompt[i] == '\n') {
            ++i;
        } else {
            std::size_t end = i;
            while (end < prompt.size() && prompt[end] != ' ' && prompt[end] != '\n' && prompt[end] != '<') ++end;
            if (end == i) ++end;
            add(first_word + static_cast<TokenId>(prompt[i]) * 64 + (end - i), {i, end}, false);
            i = end;
        }
    }
    add(sep, {0, 0}, true);
    batch.ends.push_back(batch.ids.size());
    return batch;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Bytes in{data, size};
    // 1. A template and a row.
    korvanta::FragmentList fragments;
    const std::size_t parts = in.next() % 7;
    std::vector<std::string> field_names{"a", "b", "c"};
    for (std::size_t i = 0; i < parts; ++i) {
        switch (in.next() % 3) {
            case 0: fragments.push_back({korvanta::SharedText(in.text(8)), {}}); break;
            case 1: fragments.push_back(korvanta::PromptFragment::control(field_names[in.next() % 3])); break;
            default: {
                const std::string_view options[] = {"yes", " no ", "ok"};
                fragments.push_back(korvanta::PromptFragment::control("s", options));
            }
        }
    }
    const korvanta::PromptPlan plan = korvanta::plan_prompt(fragments, {}, std::string(mask_text));
    std::vector<std::string> values;
    for (std::size_t f = 0; f < plan.fields.size(); ++f) values.push_back(in.text(24));
    std::vector<std::string_view> views(values.begin(), values.end());
    korvanta::Prompts prompts(plan);
    prompts.add(views);
    const std::string_view prompt = prompts.text(0);
    require(prompts.characters(0) == prompt.size(), "an ASCII prompt's characters are its bytes");

    // 2. Its tokens attributed.
    const korvanta::TokenBatch batch = tokenize(prompt);
    const korvanta::IdSet protected_ids(std::vector<TokenId>{cls, sep, mask});
    korvanta::OwnedTokens owned;
    const bool slotted = korvanta::attribute_tokens(prompt, batch.ids_of(0), batch.offsets_of(0),
                                                    batch.special_of(0), prompts.pieces(0), prompts.slots(0), mask,
                                                    protected_ids, owned);
    require(slotted, "every slot holds its mask");
    require(owned.injected.empty(), "fields without the mask's spelling make no protected token");
    for (std::size_t k = 0; k < owned.ids.size(); ++k) {
        const CharSpan span = batch.offsets[k];
        bool inside = false;
        for (CharSpan piece : prompts.pieces(0)) inside |= !span.empty() && piece.overlaps(span);
        require(inside == (owned.owners[k].kind == korvanta::TokenOwner::piece), "tokens of a field are the field's");
    }

    // 3. Read without offsets, as the template's own signature says.
    korvanta::Prompts empty_prompts(plan);
    std::vector<std::string_view> empty(plan.fields.size());
    empty_prompts.add(empty);
    const korvanta::TokenBatch empty_batch = tokenize(empty_prompts.text(0));
    korvanta::OwnedTokens empty_owned;
    require(korvanta::attribute_tokens(empty_prompts.text(0), empty_batch.ids_of(0), empty_batch.offsets_of(0),
                                       empty_batch.special_of(0), empty_prompts.pieces(0), empty_prompts.slots(0), mask,
                                       protected_ids, empty_owned),
            "the empty row holds its masks");
    const korvanta::OwnSignature own = korvanta::own_signature(empty_owned, protected_ids);
    std::vector<std::size_t> fast;
    require(own.slot_positions(batch.ids_of(0), protected_ids, fast), "a plain row matches the template's signature");

    // 4. Cut and laid out.
    std::vector<std::size_t> lengths(plan.pieces), kept(plan.pieces);
    korvanta::piece_lengths(owned, lengths);
    std::vector<std::uint8_t> shortenable(plan.pieces);
    std::size_t fixed = owned.ids.size(), fixed_part = 0;
    for (std::size_t p = 0; p < plan.pieces; ++p) {
        shortenable[p] = in.next() % 4 != 0;
        fixed -= lengths[p];
        fixed_part += shortenable[p] ? 0 : lengths[p];
    }
    fixed_part += fixed;
    const std::size_t total = owned.ids.size();
    const std::size_t max_length = in.next();
    const auto side = in.next() % 2 ? korvanta::CutSide::start : korvanta::CutSide::end;
        korvanta::EncodedRows rows(plan.slots);
    rows.add(batch.ids_of(0), fast);
    if (!korvanta::kept_lengths(fixed, lengths, shortenable, max_length, kept)) {
        require(total > max_length && fixed_part > max_length, "a refusal only when the rest cannot fit");
        return 0;
    }
    std::size_t length = fixed;
    for (std::size_t p = 0; p < plan.pieces; ++p) {
        require(kept[p] <= lengths[p], "kept at most the piece");
        require(shortenable[p] || kept[p] == lengths[p], "pieces that may not be cut are whole");
        length += kept[p];
        if (kept[p] == lengths[p]) continue;
        for (std::size_t j = 0; j < plan.pieces; ++j) {
            if (shortenable[j]) require(kept[j] <= kept[p] + 1, "the longest are cut first");
            if (shortenable[j] && j > p && kept[j] < lengths[j]) require(kept[p] >= kept[j], "earlier keep the extra");
        }
    }
    require(total <= max_length ? length == total : length == max_length, "cut to exactly max_length");
    rows.add_cut(owned, kept, side);
    const auto whole = rows.ids(0), row = rows.ids(1);
    require(row.size() == length, "the row is as long as worked out");
    require(std::equal(fast.begin(), fast.end(), rows.slot_positions(0).begin()), "one layout with or without offsets");
    if (total <= max_length) require(std::equal(row.begin(), row.end(), whole.begin(), whole.end()), "fits: all kept");
    for (std::size_t position : rows.slot_positions(1)) require(row[position] == mask, "slots point at their mask");
    std::size_t at = 0;
    std::vector<std::size_t> seen(plan.pieces, 0);
    for (std::size_t k = 0; k < owned.ids.size(); ++k) {
        const korvanta::TokenOwner owner = owned.owners[k];
        if (owner.kind == korvanta::TokenOwner::piece) {
            const std::size_t rank = seen[owner.index]++;
            const std::size_t skip = side == korvanta::CutSide::end ? 0 : lengths[owner.index] - kept[owner.index];
            if (rank < skip || rank >= skip + kept[owner.index]) continue;
        }
        require(at < row.size() && row[at++] == owned.ids[k], "the template's tokens and each piece's end, in order");
    }
    require(korvanta::padded_width(rows, {korvanta::Padding::width, 3}) >= std::max<std::size_t>(3, length),
            "padding never narrows a row");

    // 5. Label words lie in their context.
    const korvanta::LabelContexts contexts = korvanta::label_contexts(fragments, {});
    for (const korvanta::LabelContext& context : contexts.contexts) {
        require(context.word.end <= context.text.size(), "a word lies in its context");
        const std::string_view word = korvanta::character_slice(context.text, context.word);
        require(word.empty() || (word.front() != ' ' && word.back() != ' '), "a word has no space around it");
    }
    return 0;
}
