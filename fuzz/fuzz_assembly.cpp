// libFuzzer harness over the template side of encoding (core/assembly.hpp)
// with a fake tokenizer. The input chooses a template (text, fields, slots),
// each field's value, which fields may be shortened, a maximum length and a
// side. The fake tokenizer reads words (runs of letters) and the mask token,
// and puts [CLS] before and [SEP] after, as a post-processor would; each "c"
// is spelled as two protected byte pieces over that one character (as a
// byte-fallback vocabulary spells a character it lacks), and a zero-width
// token stands before each newline (as trimmed offsets leave one).
// Oracles: every slot holds its mask; tokens with a field's characters are the field's,
// all others the template's; byte pieces are never taken for a spelled
// protected token; a row read without offsets lays out as with them, and is
// read so whenever its fields made no protected token; a row that fits keeps
// everything; a cut row is exactly max_length long, keeps the template's
// tokens in order, each field its first (or last) tokens, cuts the longest
// first and never a field it may not cut; a refusal happens only when what
// may not be cut is too long, and then the layout leaves the row out or stops
// there, saying what it needs; labels are the kept tokens of target fields
// and runs of end tokens right after them; label words lie inside their context.
// Then a conversation (system, user and assistant messages, each written as a
// header, its content and the mask token as its end token): exchanges start at
// user messages after the opening system messages; the last exchange is never
// dropped, and a conversation whose last exchange alone cannot fit drops all
// the others; a laid-out
// conversation keeps every token, labels exactly the tokens of labelled
// contents and the end token after each (with the blank tokens between).
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/assembly.hpp"
#include "core/conversation.hpp"

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

constexpr TokenId cls = 0, sep = 1, mask = 2, zero_width = 3, first_byte = 10, first_word = 1000;
constexpr std::string_view mask_text = "<m>";

// The protected tokens: [CLS], [SEP], the mask and the byte pieces.
korvanta::ProtectedTokens protected_tokens() {
    std::vector<korvanta::ProtectedTokens::Token> tokens{{cls, "[CLS]"}, {sep, "[SEP]"}, {mask, std::string(mask_text)}};
    for (TokenId byte = 0; byte < 512; ++byte) tokens.push_back({first_byte + byte, "<0x" + std::to_string(byte) + ">"});
    return korvanta::ProtectedTokens(std::move(tokens));
}

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
            if (prompt[i] == '\n') add(zero_width, {i, i}, false);
            ++i;
        } else {
            if (prompt[i] == 'c') {  // a character the vocabulary lacks, wherever it stands
                for (TokenId half : {0, 1}) add(first_byte + static_cast<unsigned char>(prompt[i]) * 2 + half, {i, i + 1}, false);
                ++i;
                continue;
            }
            std::size_t end = i;
            while (end < prompt.size() && std::string_view(" \n<c").find(prompt[end]) == std::string_view::npos) ++end;
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
    const korvanta::ProtectedTokens protected_ids = protected_tokens();
    korvanta::OwnedTokens owned;
    const bool slotted = korvanta::attribute_tokens(prompt, batch.ids_of(0), batch.offsets_of(0),
                                                    batch.special_of(0), prompts.pieces(0), prompts.slots(0), mask,
                                                    protected_ids, owned);
    require(slotted, "every slot holds its mask");
    require(owned.injected.empty(), "fields without a protected spelling spell no protected token");
    bool field_made_protected = false;
    for (std::size_t k = 0; k < owned.ids.size(); ++k) {
        const CharSpan span = batch.offsets[k];
        bool inside = false;
        for (CharSpan piece : prompts.pieces(0)) {
            inside |= span.empty() ? piece.begin < span.begin && span.begin < piece.end : piece.overlaps(span);
        }
        require(inside == (owned.owners[k].kind == korvanta::TokenOwner::piece), "tokens of a field are the field's");
        field_made_protected |= inside && protected_ids.contains(owned.ids[k]);
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
    const bool read_fast = own.slot_positions(batch.ids_of(0), protected_ids, fast);
    require(!read_fast || !field_made_protected, "a row whose fields made a protected token is read with offsets");

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
    std::vector<std::uint8_t> targets(plan.pieces);
    for (std::size_t p = 0; p < plan.pieces; ++p) targets[p] = in.next() % 2;
    korvanta::EncodedRows rows(plan.slots, true);
    rows.add_cut(owned, lengths, side);
    if (read_fast) {
        // Slots labelled with their answers, the same whether the row was read with offsets or not.
        std::vector<std::optional<korvanta::TokenId>> answers(plan.slots);
        for (auto& answer : answers) {
            if (in.next() % 2) answer = in.next() % 1000;
        }
        korvanta::EncodedRows by_ids(plan.slots, true), by_offsets(plan.slots, true);
        by_ids.add(batch.ids_of(0), fast, answers);
        by_offsets.add_cut(owned, lengths, side, korvanta::LabelRule{{}, answers});
        require(std::ranges::equal(by_ids.slot_positions(0), rows.slot_positions(0)) &&
                    std::ranges::equal(by_ids.ids(0), rows.ids(0)) &&
                    std::ranges::equal(by_ids.labels(0), by_offsets.labels(0)),
                "one layout with or without offsets");
    }
    // The layout of the row, kept or refused (left out when dropping), as kept_lengths says.
    korvanta::OwnedTokens copy = owned;
    korvanta::RowTokens one[] = {{&copy, {}, {}}};
    const bool drop = in.next() % 2;
    korvanta::LayoutRule rule{max_length, shortenable, side, targets, {}, {}, 0, false, drop};
    korvanta::EncodedRows laid(plan.slots, true);
    std::vector<std::size_t> row_index;
    const std::optional<korvanta::LayoutStop> stop = korvanta::lay_out(one, rule, plan.pieces, laid, row_index);
    if (drop) {
        // A batch of this row and the template with empty fields, in any
        // order: the rows kept are in order, each as it is laid out alone.
        auto alone = [&](const korvanta::OwnedTokens& tokens, korvanta::EncodedRows& out) {
            korvanta::OwnedTokens held = tokens;
            korvanta::RowTokens single[] = {{&held, {}, {}}};
            std::vector<std::size_t> index;
            require(!korvanta::lay_out(single, rule, plan.pieces, out, index), "dropping never stops");
            return !index.empty();
        };
        std::vector<const korvanta::OwnedTokens*> picked(in.next() % 6);
        for (auto& row : picked) row = in.next() % 2 ? &owned : &empty_owned;
        std::vector<korvanta::OwnedTokens> copies;
        for (const auto* row : picked) copies.push_back(*row);
        std::vector<korvanta::RowTokens> batch_rows;
        for (auto& copy : copies) batch_rows.push_back({&copy, {}, {}});
        korvanta::EncodedRows all(plan.slots, true);
        std::vector<std::size_t> index;
        require(!korvanta::lay_out(batch_rows, rule, plan.pieces, all, index), "dropping never stops");
        require(all.size() == index.size() && std::adjacent_find(index.begin(), index.end(), std::greater_equal<>()) ==
                                                  index.end(),
                "row_index increases, one entry per row laid out");
        for (std::size_t r = 0, i = 0; r < picked.size(); ++r) {
            korvanta::EncodedRows single(plan.slots, true);
            const bool kept_alone = alone(*picked[r], single);
            require(kept_alone == (i < index.size() && index[i] == r), "a row is kept in a batch as it is alone");
            if (kept_alone) {
                require(std::ranges::equal(all.ids(i), single.ids(0)) && std::ranges::equal(all.labels(i), single.labels(0)),
                        "a kept row is laid out as alone");
                ++i;
            }
        }
    }
    if (!korvanta::kept_lengths(fixed, lengths, shortenable, max_length, kept)) {
        require(total > max_length && fixed_part > max_length, "a refusal only when the rest cannot fit");
        require(drop ? !stop && row_index.empty() && laid.size() == 0
                     : stop && stop->kind == korvanta::LayoutStop::too_long && stop->needed == fixed_part,
                "a row that cannot fit is left out or stops the layout, saying what it needs");
        return 0;
    }
    require(!stop && row_index == std::vector<std::size_t>{0}, "a row that fits is laid out");
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
    rows.add_cut(owned, kept, side, korvanta::LabelRule{targets, {}});
    const auto whole = rows.ids(0), row = rows.ids(1);
    const auto labels = rows.labels(1);
    require(std::ranges::equal(laid.ids(0), row) && std::ranges::equal(laid.labels(0), labels) &&
                std::ranges::equal(laid.slot_positions(0), rows.slot_positions(1)),
            "the layout is the row cut as worked out");
    require(row.size() == length, "the row is as long as worked out");
    if (total <= max_length) require(std::equal(row.begin(), row.end(), whole.begin(), whole.end()), "fits: all kept");
    for (std::size_t position : rows.slot_positions(1)) require(row[position] == mask, "slots point at their mask");
    std::size_t at = 0;
    std::vector<std::size_t> seen(plan.pieces, 0);
    bool run = false;  // the labelled tokens so far reach back to a target field's token
    for (std::size_t k = 0; k < owned.ids.size(); ++k) {
        const korvanta::TokenOwner owner = owned.owners[k];
        if (owner.kind == korvanta::TokenOwner::piece) {
            const std::size_t rank = seen[owner.index]++;
            const std::size_t skip = side == korvanta::CutSide::end ? 0 : lengths[owner.index] - kept[owner.index];
            if (rank < skip || rank >= skip + kept[owner.index]) continue;
        }
        require(at < row.size() && row[at] == owned.ids[k], "the template's tokens and each piece's end, in order");
        const bool labelled = labels[at] != korvanta::ignored_label;
        require(!labelled || labels[at] == static_cast<std::int64_t>(row[at]), "a label is its token's id");
        if (owner.kind == korvanta::TokenOwner::piece) {
            require(labelled == (targets[owner.index] != 0), "the tokens of target fields are labelled, no others");
        } else if (labelled) {
            require(run && (owned.marks[k] & (korvanta::special_mark | korvanta::protected_mark | korvanta::blank_mark)),
                    "a labelled template token is an end token (or blank before one) right after a target");
        }
        run = labelled;
        ++at;
    }
    require(korvanta::padded_width(rows, {korvanta::Padding::width, 3}) >= std::max<std::size_t>(3, length),
            "padding never narrows a row");

    // 6. A conversation.
    std::vector<char> kinds;
    std::vector<std::string> texts;
    for (std::size_t m = in.next() % 6; m > 0; --m) {
        kinds.push_back("sua"[in.next() % 3]);
        texts.push_back(in.text(12) + (in.next() % 4 == 0 ? std::string(mask_text) : ""));  // some spell the mask
    }
    // Written as a chat template would, without the messages of the first `skip` exchanges.
    auto write = [&](const korvanta::Exchanges* exchanges, std::size_t skip,
                     std::vector<korvanta::ContentSpan>& contents) {
        std::string text;
        contents.clear();
        for (std::size_t m = 0; m < kinds.size(); ++m) {
            const std::uint32_t exchange = exchanges ? exchanges->of_message[m] : korvanta::Exchanges::none;
            if (exchange != korvanta::Exchanges::none && exchange < skip) continue;
            text += kinds[m] == 's' ? "sys: " : kinds[m] == 'u' ? "\nuser: " : "\nbot: ";
            contents.push_back({{text.size(), text.size() + texts[m].size()}, static_cast<std::uint32_t>(m), {}});
            text += texts[m] + std::string(mask_text);
        }
        return text;
    };
    std::vector<korvanta::ContentSpan> contents;
    const std::string conversation = write(nullptr, 0, contents);
    const korvanta::Exchanges exchanges = korvanta::group_exchanges(kinds);
    for (std::size_t m = 0; m < kinds.size(); ++m) {
        const std::uint32_t exchange = exchanges.of_message[m];
        const bool opening = std::all_of(kinds.begin(), kinds.begin() + static_cast<std::ptrdiff_t>(m) + 1,
                                         [](char kind) { return kind == 's'; });
        require((exchange == korvanta::Exchanges::none) == opening, "only opening system messages are in none");
        if (opening) continue;
        const std::uint32_t before = m == 0 ? korvanta::Exchanges::none : exchanges.of_message[m - 1];
        const bool starts = before == korvanta::Exchanges::none || exchange != before;
        require(!starts || exchange == (before == korvanta::Exchanges::none ? 0 : before + 1),
                "exchanges are numbered in order");
        if (starts && exchange > 0) require(kinds[m] == 'u', "a later exchange starts at a user message");
    }
    const korvanta::TokenBatch read = tokenize(conversation);
    std::vector<CharSpan> content_spans;
    std::vector<std::uint8_t> labelled;  // per message, and so per content: every message is written here
    for (const korvanta::ContentSpan& content : contents) {
        content_spans.push_back(content.span);
        labelled.push_back(kinds[content.message] == 'a');
    }
    korvanta::OwnedTokens turns;
    korvanta::attribute_tokens(conversation, read.ids_of(0), read.offsets_of(0), read.special_of(0), content_spans,
                               {}, mask, protected_ids, turns);
    // Where spellings count as a content's (a turn's content, not the tags its
    // template wrote around a tool call) changes only what is read as text.
    for (const bool anywhere : {true, false}) {
        std::vector<CharSpan> spelled;
        for (const CharSpan span : content_spans) spelled.push_back(anywhere ? span : CharSpan{span.begin, span.begin});
        korvanta::OwnedTokens again;
        korvanta::attribute_tokens(conversation, read.ids_of(0), read.offsets_of(0), read.special_of(0), content_spans,
                                   {}, mask, protected_ids, again, spelled);
        require(std::equal(again.owners.begin(), again.owners.end(), turns.owners.begin(), turns.owners.end(),
                           [](auto a, auto b) { return a.kind == b.kind && a.index == b.index; }),
                "the same tokens are each piece's");
        require(anywhere ? again.injected.size() == turns.injected.size() : again.injected.empty(),
                "only what the content spells is read as text");
    }
    const std::size_t limit = in.next() % 48;
    const std::size_t dropped = korvanta::exchanges_to_drop(turns, contents, exchanges, limit);
    require(turns.ids.size() > limit || dropped == 0, "a conversation that fits drops nothing");
    require(dropped == 0 || dropped < exchanges.count, "the last exchange is never dropped");
    // An estimate, which rendering what is left judges: it never drops more
    // than what leaves the last exchange, and drops every other exchange
    // where even the last one alone (written again) cannot fit.
    std::vector<korvanta::ContentSpan> last_only;
    if (exchanges.count > 1 && tokenize(write(&exchanges, exchanges.count - 1, last_only)).ids.size() > limit + 2) {
        require(dropped + 1 == exchanges.count || turns.ids.size() <= limit, "a conversation far too long drops all but its last exchange");
    }
    // Guessed from characters: the same bounds, and more characters per token never drop more.
    const std::size_t characters = korvanta::character_count(conversation);
    const double per_token = 0.25 * static_cast<double>(1 + in.next() % 16);
    const std::size_t guessed = korvanta::exchanges_to_drop(characters, contents, exchanges, limit, per_token);
    require(guessed == 0 || guessed < exchanges.count, "a guess never drops the last exchange");
    require(korvanta::exchanges_to_drop(characters, contents, exchanges, limit, per_token + 1) <= guessed,
            "more characters per token never drop more");
    korvanta::EncodedRows chat(0, true);
    const bool fits = korvanta::lay_out_conversation(turns, contents, labelled, limit, korvanta::Labels::turns, chat);
    require(fits == (turns.ids.size() <= limit) && chat.size() == (fits ? 1u : 0u), "a conversation fits or is refused");
    if (fits) {
        const std::span<const std::int64_t> labels = chat.labels(0);
        require(std::ranges::equal(chat.ids(0), turns.ids), "a conversation keeps every token");
        // The labels expected: a labelled content's tokens; after its last
        // token (where it stands, when it has none), the template's tokens up
        // to its first protected or special token before the next content,
        // then the special tokens right after.
        const std::size_t n = turns.ids.size();
        std::vector<bool> expected(n, false);
        auto own = [&](std::size_t k) { return turns.owners[k].kind != korvanta::TokenOwner::piece; };
        const auto guarded = korvanta::special_mark | korvanta::protected_mark;
        require(turns.piece_starts.size() == contents.size(), "every content has a place among the tokens");
        for (std::size_t p = 0; p < contents.size(); ++p) {
            if (!labelled[p]) continue;
            std::size_t from = turns.piece_starts[p];
            for (std::size_t k = 0; k < n; ++k) {
                if (own(k) || turns.owners[k].index != p) continue;
                expected[k] = true;
                from = k + 1;
            }
            const std::size_t next = p + 1 < contents.size() ? turns.piece_starts[p + 1] : n;
            std::size_t j = from;
            while (j < n && j < next && own(j) && (turns.marks[j] & guarded) == 0) ++j;
            if (j == n || j >= next || !own(j)) continue;
            for (std::size_t b = from; b <= j; ++b) expected[b] = true;
            for (++j; j < n && own(j) && (turns.marks[j] & korvanta::special_mark) != 0; ++j) expected[j] = true;
        }
        for (std::size_t k = 0; k < n; ++k) {
            require((labels[k] != korvanta::ignored_label) == expected[k], "labels: labelled turns and their end");
            require(!expected[k] || labels[k] == static_cast<std::int64_t>(turns.ids[k]), "a label is its token's id");
        }
    }

    // 4b. A text written with one part replaced by a marker differs from it
    //     exactly there; markers come out with their places.
    {
        const std::string head = in.text(6), part = in.text(6), tail = in.text(6);
        const std::string whole = head + part + tail;
        const CharSpan changed = korvanta::changed_span(whole, head, tail);
        require(changed.begin == korvanta::character_count(head) &&
                    changed.end == korvanta::character_count(head) + korvanta::character_count(part),
                "the part that differs is the part replaced");
        const CharSpan any = korvanta::changed_span(whole, tail, head);
        require(any.begin <= any.end && any.end <= korvanta::character_count(whole), "a difference lies in the text");
        const std::string marked = "\xF3\xB0\x80\x82" + head + "\xF3\xBF\xBF\xBC" + part + "\xF3\xBF\xBF\xBD" + tail;
        const korvanta::Unmarked unmarked = korvanta::unmark(marked);
        require(unmarked.text == whole && unmarked.markers.size() == 1 && unmarked.markers[0].first == 2 &&
                    unmarked.markers[0].second == 0,
                "markers are taken out with their codes and places");
        require(unmarked.tags_paired && (part.empty() ? unmarked.tagged.empty()
                                                      : unmarked.tagged.size() == 1 &&
                                                            unmarked.tagged[0].begin == korvanta::character_count(head) &&
                                                            unmarked.tagged[0].end == changed.end),
                "a tagged block is where its two markers stood");
    }

    // 4d. Contents a template trimmed are lined up in the rendering that marked
    //      them: what it finds rebuilds the text, each piece its content with
    //      blanks trimmed from its ends (or none), and it always finds them
    //      where no content has a blank.
    {
        auto marker = [](std::uint32_t code) {
            const std::uint32_t point = static_cast<std::uint32_t>(korvanta::first_marker) + code;
            return std::string{static_cast<char>(0xF0 | (point >> 18)), static_cast<char>(0x80 | ((point >> 12) & 0x3F)),
                               static_cast<char>(0x80 | ((point >> 6) & 0x3F)), static_cast<char>(0x80 | (point & 0x3F))};
        };
        auto trimmed = [](const std::string& content, std::size_t how) {
            const std::size_t lead = std::min(content.find_first_not_of(" \n"), content.size());
            const std::size_t end = content.find_last_not_of(" \n") + 1;
            if (how == 1) return content.substr(lead, end > lead ? end - lead : 0);
            if (how == 2) return content.substr(0, end);
            return how == 3 ? content.substr(lead) : content;
        };
        const std::size_t count = in.next() % 5;
        std::string text = in.text(4), marked = text;
        std::vector<std::string> contents;
        std::vector<std::uint32_t> kept;
        bool blanks = false;
        for (std::uint32_t m = 0; m < count; ++m) {
            contents.push_back(in.text(6));
            blanks = blanks || contents.back().find_first_of(" \n") != std::string::npos;
            const std::string around = in.text(4);
            text += trimmed(contents.back(), in.next() % 4) + around;
            marked += marker(2 * m) + contents.back() + marker(2 * m + 1) + around;
            kept.push_back(m);
        }
        std::vector<korvanta::ContentSpan> spans;
        const bool found = korvanta::spans_of_trimmed_contents(korvanta::unmark(marked), text, kept, spans);
        require(found || blanks, "contents without blanks are always lined up");
        if (found) {
            require(spans.size() == count, "every content is found");
            std::size_t at = 0;
            for (std::size_t m = 0; m < count; ++m) {
                const std::string_view piece = korvanta::character_slice(text, spans[m].span);
                require(spans[m].message == m && spans[m].span.begin >= at, "in order");
                require(piece == trimmed(contents[m], 0) || piece == trimmed(contents[m], 1) ||
                            piece == trimmed(contents[m], 2) || piece == trimmed(contents[m], 3),
                        "a piece is its content, maybe trimmed");
                at = spans[m].span.end;
            }
        }
    }

    // 4e. Messages written bare together are lined up with the text: found
    //      exactly when the marked rendering's pieces can stand in the text in
    //      one way only (counted here by trying every way), and then what is
    //      found rebuilds the text around those pieces.
    {
        const std::size_t count = 1 + in.next() % 4;
        const bool distinct = in.next() % 2 == 0;  // pieces that can stand in one place only
        std::vector<std::string> pieces;
        std::string text, marked;
        for (std::size_t i = 0; i <= count; ++i) {
            pieces.push_back(in.text(4) + (distinct && i > 0 && i < count ? std::string(1, static_cast<char>('A' + i)) : ""));
            text += pieces.back();
            marked += pieces.back();
            if (i == count) break;
            text += in.text(6);
            marked += "\xF3\xB0\x80" + std::string(1, static_cast<char>(0x80 + 2 * i));
        }
        // The ways pieces [i, count] stand in text[at, end), at most 2.
        auto ways = [&](auto&& self, std::size_t i, std::size_t at) -> std::size_t {
            const std::string& piece = pieces[i];
            if (i == count) return text.size() - at >= piece.size() && text.ends_with(piece) ? 1 : 0;
            std::size_t found = 0;
            for (std::size_t p = at; p + piece.size() <= text.size() && found < 2; ++p) {
                if (i == 0 && p > 0) break;
                if (text.compare(p, piece.size(), piece) == 0) found += self(self, i + 1, p + piece.size());
            }
            return std::min<std::size_t>(found, 2);
        };
        const std::size_t possible = ways(ways, 0, 0);
        const std::optional<std::vector<CharSpan>> spans = korvanta::replaced_spans(text, korvanta::unmark(marked));
        require(spans.has_value() == (possible == 1), "found exactly when the text lines up one way only");
        require(!distinct || spans.has_value(), "pieces that stand in one place only are found");
        if (spans) {
            require(spans->size() == count, "a span per marker");
            std::string rebuilt;
            std::size_t at = 0;
            for (std::size_t i = 0; i < count; ++i) {
                require((*spans)[i].begin >= at && (*spans)[i].begin <= (*spans)[i].end, "in order");
                rebuilt += std::string(korvanta::character_slice(text, {at, (*spans)[i].begin})) + "|";
                at = (*spans)[i].end;
            }
            rebuilt += korvanta::character_slice(text, {at, korvanta::character_count(text)});
            std::string expected;
            for (std::size_t i = 0; i <= count; ++i) expected += pieces[i] + (i < count ? "|" : "");
            require(rebuilt == expected, "the text is the marked rendering with something in each marker's place");
        }
    }

    // 4c. The search leaves out the fewest leading exchanges that fit, whatever
    //     its guesses and whatever counts showed nothing, in O(log n) ways.
    {
        using Search = korvanta::ExchangeSearch;
        const std::size_t count = 1 + in.next() % 64;
        std::vector<std::size_t> per_exchange(count);
        for (std::size_t& tokens : per_exchange) tokens = in.next() % 12;
        const std::size_t opening = in.next() % 6, most = in.next() % 48;
        auto length = [&](std::size_t dropped) {
            std::size_t tokens = opening;
            for (std::size_t e = dropped; e < count; ++e) tokens += per_exchange[e];
            return tokens;
        };
        Search search;
        std::vector<Search::Way> ways = Search::first_ways(in.next() % count);
        const std::size_t most_steps = 4 * static_cast<std::size_t>(std::bit_width(count)) + 8;
        for (std::size_t steps = 0; !ways.empty(); ++steps) {
            require(steps < most_steps, "the search ends within O(log n) ways");
            for (const Search::Way way : ways) {
                require(way.dropped < count, "a way keeps the last exchange");
                const bool too_long = length(way.dropped) > most;
                const Search::Shown shown = way.counted ? (too_long && in.next() % 2 ? Search::Shown::too_long
                                                                                     : Search::Shown::nothing)
                                                        : (too_long ? Search::Shown::too_long : Search::Shown::fits);
                search.learn(way, shown);
            }
            const std::optional<Search::Way> next = search.next(in.next() % (count + 1), count);
            ways = next ? std::vector<Search::Way>{*next} : std::vector<Search::Way>{};
        }
        std::optional<std::size_t> fewest;
        for (std::size_t dropped = count; dropped-- > 0;) {
            if (length(dropped) <= most) fewest = dropped;
        }
        require(search.fits() == fewest, "the fewest exchanges left out that fit are found");
    }

    // 5. Label words lie in their context.
    const korvanta::LabelContexts contexts = korvanta::label_contexts(fragments, {});
    for (const korvanta::LabelContext& context : contexts.contexts) {
        require(context.word.end <= context.text.size(), "a word lies in its context");
        const std::string_view word = korvanta::character_slice(context.text, context.word);
        require(word.empty() || (word.front() != ' ' && word.back() != ' '), "a word has no space around it");
    }
    return 0;
}
