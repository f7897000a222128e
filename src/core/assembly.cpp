// The template read for encoding, prompts written out, tokens attributed,
// cut to fit and laid out, and the contexts of label words.
#include "core/assembly.hpp"

#include <algorithm>
#include <numeric>
#include <stdexcept>

namespace korvanta {

namespace {

bool is_space(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

std::string_view trim_end(std::string_view text) noexcept {
    while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
    return text;
}

std::string_view trim(std::string_view text) noexcept {
    text = trim_end(text);
    while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
    return text;
}

bool is_blank(std::string_view text) noexcept { return std::all_of(text.begin(), text.end(), is_space); }

bool is_slot(const PromptFragment& fragment, std::span<const std::string> extra_slots) {
    return !fragment.is_text() &&
           (fragment.options.size() > 0 ||
            std::find(extra_slots.begin(), extra_slots.end(), fragment.string) != extra_slots.end());
}

}  // namespace

// ---------------------------------------------------------------- the template's side

PromptPlan plan_prompt(const FragmentList& fragments, std::span<const std::string> extra_slots,
                       const std::optional<std::string>& mask_token, std::span<const std::string> targets) {
    auto is_target = [&](std::string_view name) { return std::find(targets.begin(), targets.end(), name) != targets.end(); };
    PromptPlan plan;
    plan.causal = !mask_token.has_value();
    if (mask_token) {
        plan.mask_token = *mask_token;
        plan.mask_characters = character_count(plan.mask_token);
    }
    auto add_text = [&](std::string_view text) {
        if (plan.parts.empty() || plan.parts.back().kind != PartKind::text) {
            plan.parts.push_back({PartKind::text, {}, 0, 0});
        }
        plan.parts.back().text += text;
    };
    for (const PromptFragment& fragment : fragments) {
        if (fragment.is_text()) {
            add_text(fragment.string);
        } else if (is_slot(fragment, extra_slots) && !(plan.causal && is_target(fragment.string))) {
            if (plan.causal) {  // the input ends here; the space before the slot belongs to the answer
                if (!plan.parts.empty() && plan.parts.back().kind == PartKind::text) {
                    plan.parts.back().text.resize(trim_end(plan.parts.back().text).size());
                }
                plan.slots = 1;
                plan.stops_at_slot = true;
                break;
            }
            plan.parts.push_back({PartKind::slot, std::string(fragment.string.view()), 0, 0});
            plan.target_slots.push_back(is_target(fragment.string));
            ++plan.slots;
        } else {
            // A field, or a causal target slot answered in place by one of its options.
            auto known = std::find(plan.fields.begin(), plan.fields.end(), fragment.string);
            const std::size_t index = static_cast<std::size_t>(known - plan.fields.begin());
            if (known == plan.fields.end()) {
                plan.fields.emplace_back(fragment.string.view());
                plan.answers.emplace_back();
                if (!fragment.is_text() && is_slot(fragment, extra_slots)) {
                    for (std::string_view option : fragment.options) plan.answers.back().emplace_back(trim(option));
                }
                plan.target_fields.push_back(is_target(fragment.string));
            }
            plan.parts.push_back({PartKind::field, {}, index, 0});
            ++plan.pieces;
        }
    }
    for (PromptPart& part : plan.parts) {
        if (part.kind == PartKind::text) part.characters = character_count(part.text);
    }
    return plan;
}

// ---------------------------------------------------------------- prompts

std::string_view character_slice(std::string_view text, CharSpan span) noexcept {
    std::size_t character = 0, begin = text.size(), end = text.size();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
        if (character == span.begin) begin = i;
        if (character == span.end) {
            end = i;
            break;
        }
        ++character;
    }
    return begin >= end ? std::string_view() : text.substr(begin, end - begin);
}

void Prompts::add(std::span<const std::string_view> values) {
    std::size_t at = 0;  // characters written so far
    for (const PromptPart& part : plan_.parts) {
        switch (part.kind) {
            case PartKind::text:
                text_ += part.text;
                at += part.characters;
                break;
            case PartKind::field: {
                const std::string_view value = values[part.field];
                const std::size_t characters = character_count(value);
                text_ += value;
                pieces_.push_back({at, at + characters});
                at += characters;
                break;
            }
            case PartKind::slot:
                text_ += plan_.mask_token;
                slots_.push_back({at, at + plan_.mask_characters});
                at += plan_.mask_characters;
                break;
        }
    }
    ends_.push_back(text_.size());
    characters_.push_back(at);
}

std::string_view Prompts::text(std::size_t row) const noexcept {
    const std::size_t begin = row == 0 ? 0 : ends_[row - 1];
    return std::string_view(text_).substr(begin, ends_[row] - begin);
}

std::span<const CharSpan> Prompts::pieces(std::size_t row) const noexcept {
    return std::span<const CharSpan>(pieces_).subspan(row * plan_.pieces, plan_.pieces);
}

std::span<const CharSpan> Prompts::slots(std::size_t row) const noexcept {
    const std::size_t per_row = plan_.causal ? 0 : plan_.slots;
    return std::span<const CharSpan>(slots_).subspan(row * per_row, per_row);
}

// ---------------------------------------------------------------- tokens

std::span<const TokenId> TokenBatch::ids_of(std::size_t text) const noexcept {
    return std::span<const TokenId>(ids).subspan(begin(text), ends[text] - begin(text));
}

std::span<const CharSpan> TokenBatch::offsets_of(std::size_t text) const noexcept {
    if (offsets.empty()) return {};
    return std::span<const CharSpan>(offsets).subspan(begin(text), ends[text] - begin(text));
}

std::span<const std::uint8_t> TokenBatch::special_of(std::size_t text) const noexcept {
    if (special.empty()) return {};
    return std::span<const std::uint8_t>(special).subspan(begin(text), ends[text] - begin(text));
}

void TokenBatch::append(const TokenBatch& other) {
    const std::size_t base = ids.size();
    ids.insert(ids.end(), other.ids.begin(), other.ids.end());
    offsets.insert(offsets.end(), other.offsets.begin(), other.offsets.end());
    special.insert(special.end(), other.special.begin(), other.special.end());
    for (std::size_t end : other.ends) ends.push_back(base + end);
}

IdSet::IdSet(std::vector<TokenId> ids) : ids_(std::move(ids)) {
    std::sort(ids_.begin(), ids_.end());
    ids_.erase(std::unique(ids_.begin(), ids_.end()), ids_.end());
}

bool IdSet::contains(TokenId id) const noexcept { return std::binary_search(ids_.begin(), ids_.end(), id); }

ProtectedTokens::ProtectedTokens(std::vector<Token> tokens) : tokens_(std::move(tokens)) {
    std::vector<TokenId> ids;
    for (const Token& token : tokens_) ids.push_back(token.id);
    ids_ = IdSet(std::move(ids));
    std::stable_sort(tokens_.begin(), tokens_.end(), [](const Token& a, const Token& b) { return a.id < b.id; });
}

bool ProtectedTokens::spells(TokenId id, std::string_view text) const noexcept {
    auto first = std::partition_point(tokens_.begin(), tokens_.end(), [&](const Token& t) { return t.id < id; });
    for (; first != tokens_.end() && first->id == id; ++first) {
        if (!first->literal || first->spelling == text) return true;
    }
    return false;
}

namespace {

// A text read by character spans, each found at once: where each character
// begins (none kept for ASCII text, whose characters are its bytes).
class CharacterIndex {
   public:
    explicit CharacterIndex(std::string_view text) : text_(text) {
        if (std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) return;
        for (std::size_t i = 0; i < text.size(); ++i) {
            if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) starts_.push_back(i);
        }
        starts_.push_back(text.size());
    }

    // Characters `span` (none past the text's end).
    std::string_view slice(CharSpan span) const noexcept {
        const std::size_t count = starts_.empty() ? text_.size() : starts_.size() - 1;
        const std::size_t end = std::min(span.end, count), begin = std::min(span.begin, end);
        return starts_.empty() ? text_.substr(begin, end - begin)
                               : text_.substr(starts_[begin], starts_[end] - starts_[begin]);
    }

    // A span without the whitespace at its ends (all of it, when it is all whitespace).
    CharSpan without_space(CharSpan span) const noexcept {
        const std::string_view text = slice(span);
        std::size_t lead = 0, trail = 0;
        while (lead < text.size() && is_space(text[lead])) ++lead;
        while (trail < text.size() - lead && is_space(text[text.size() - 1 - trail])) ++trail;
        if (lead == text.size()) return span;
        return {span.begin + lead, span.end - trail};
    }

   private:
    std::string_view text_;
    std::vector<std::size_t> starts_;  // per character, its first byte, and the text's size; empty for ASCII
};

// Whether protected token `id` standing at `span` of `text` is spelled there.
bool spelled_at(const ProtectedTokens& protected_ids, TokenId id, const CharacterIndex& text, CharSpan span) {
    return protected_ids.contains(id) && protected_ids.spells(id, text.slice(text.without_space(span)));
}

// Each token's marks: special (the tokenizer says so), protected (a protected
// token that the text spells where it stands: one the tokenizer made of text
// its vocabulary lacks, a byte piece or the unknown token, is not), blank.
void mark_tokens(const CharacterIndex& text, std::span<const TokenId> ids, std::span<const CharSpan> offsets,
                 std::span<const std::uint8_t> special, const ProtectedTokens& protected_ids,
                 std::vector<std::uint8_t>& marks) {
    marks.resize(ids.size());
    for (std::size_t k = 0; k < ids.size(); ++k) {
        marks[k] = static_cast<std::uint8_t>((special[k] != 0 ? special_mark : 0) |
                                             (spelled_at(protected_ids, ids[k], text, offsets[k]) ? protected_mark : 0) |
                                             (is_blank(text.slice(offsets[k])) ? blank_mark : 0));
    }
}

}  // namespace

bool attribute_tokens(std::string_view prompt, std::span<const TokenId> ids, std::span<const CharSpan> offsets,
                      std::span<const std::uint8_t> special, std::span<const CharSpan> pieces,
                      std::span<const CharSpan> slots, TokenId mask_id, const ProtectedTokens& protected_ids,
                      OwnedTokens& out, std::span<const CharSpan> spelled) {
    out.ids.assign(ids.begin(), ids.end());
    out.owners.assign(ids.size(), TokenOwner{});
    const CharacterIndex text(prompt);
    mark_tokens(text, ids, offsets, special, protected_ids, out.marks);
    out.injected.clear();
    out.piece_starts.clear();
    for (const CharSpan piece : pieces) {
        auto first = std::partition_point(offsets.begin(), offsets.end(),
                                          [&](CharSpan token) { return token.end <= piece.begin; });
        out.piece_starts.push_back(static_cast<std::size_t>(first - offsets.begin()));
    }
    std::vector<std::uint8_t> slot_found(slots.size(), 0);
    for (std::size_t k = 0; k < ids.size(); ++k) {
        const CharSpan span = offsets[k];
        const bool guarded = (out.marks[k] & (special_mark | protected_mark)) != 0;
        if (span.empty()) {
            // A token of no characters (a post-processor's, or whitespace
            // whose offsets were trimmed away) is a piece's only where it
            // stands inside it.
            if (guarded) continue;
            auto inside = std::find_if(pieces.begin(), pieces.end(),
                                       [&](CharSpan piece) { return piece.begin < span.begin && span.begin < piece.end; });
            if (inside != pieces.end()) {
                out.owners[k] = {TokenOwner::piece, static_cast<std::uint32_t>(inside - pieces.begin())};
            }
            continue;
        }
        // Spans are in order and apart: the first that ends after the token's start is the one to test.
        auto after = [&](std::span<const CharSpan> spans) {
            return std::partition_point(spans.begin(), spans.end(), [&](CharSpan s) { return s.end <= span.begin; });
        };
        if (ids[k] == mask_id) {
            auto slot = after(slots);
            if (slot != slots.end() && slot->overlaps(span)) {
                const auto index = static_cast<std::size_t>(slot - slots.begin());
                if (slot_found[index]++) return false;
                out.owners[k] = {TokenOwner::slot, static_cast<std::uint32_t>(index)};
                continue;
            }
        }
        auto piece = after(pieces);
        while (piece != pieces.end() && piece->empty()) ++piece;  // an empty piece holds no characters
        if (piece == pieces.end() || !piece->overlaps(span)) continue;
        if (guarded && !piece->contains(text.without_space(span))) continue;
        const auto index = static_cast<std::size_t>(piece - pieces.begin());
        out.owners[k] = {TokenOwner::piece, static_cast<std::uint32_t>(index)};
        if (guarded && (spelled.empty() || spelled[index].contains(text.without_space(span)))) {
            out.injected.push_back({k, span});
        }
    }
    return std::all_of(slot_found.begin(), slot_found.end(), [](std::uint8_t found) { return found == 1; });
}

bool unspelled_ids(std::string_view text, std::span<const TokenId> ids, std::span<const CharSpan> offsets,
                   const ProtectedTokens& protected_ids, std::vector<TokenId>& out) {
    const CharacterIndex index(text);
    bool none = true;
    for (std::size_t k = 0; k < ids.size(); ++k) {
        if (spelled_at(protected_ids, ids[k], index, offsets[k])) {
            none = false;
            continue;
        }
        out.push_back(ids[k]);
    }
    return none;
}

void mark_tagged(std::span<const CharSpan> offsets, std::span<const CharSpan> tagged, OwnedTokens& tokens) {
    // A token of no characters (whitespace whose offsets were trimmed to
    // where it ends) is tagged where its characters ended inside a span.
    auto span = tagged.begin();
    for (std::size_t k = 0; k < offsets.size() && k < tokens.marks.size(); ++k) {
        const CharSpan token = offsets[k];
        while (span != tagged.end() && (token.empty() ? span->end < token.begin : span->end <= token.begin)) ++span;
        if (span == tagged.end()) break;
        const bool inside = token.empty() ? span->begin < token.begin && token.begin <= span->end : span->overlaps(token);
        if (inside) tokens.marks[k] |= tagged_mark;
    }
}

void replace_injected(OwnedTokens& tokens, std::span<const std::vector<TokenId>> replacements) {
    if (tokens.injected.empty()) return;  // nothing to replace: the tokens stay as they are
    OwnedTokens replaced;
    std::vector<std::size_t> moved(tokens.ids.size() + 1);  // per token: where it is now
    std::size_t next = 0;
    for (std::size_t k = 0; k < tokens.ids.size(); ++k) {
        moved[k] = replaced.ids.size();
        if (next < tokens.injected.size() && tokens.injected[next].token == k) {
            for (TokenId id : replacements[next]) {
                replaced.ids.push_back(id);
                replaced.owners.push_back(tokens.owners[k]);
                replaced.marks.push_back(tokens.marks[k] & tagged_mark);
            }
            ++next;
            continue;
        }
        replaced.ids.push_back(tokens.ids[k]);
        replaced.owners.push_back(tokens.owners[k]);
        replaced.marks.push_back(tokens.marks[k]);
    }
    moved[tokens.ids.size()] = replaced.ids.size();
    for (std::size_t start : tokens.piece_starts) replaced.piece_starts.push_back(moved[std::min(start, tokens.ids.size())]);
    tokens = std::move(replaced);
}

void OwnedTokens::keep_first(std::size_t count) {
    count = std::min(count, ids.size());
    ids.resize(count);
    owners.resize(count);
    marks.resize(count);
    while (!injected.empty() && injected.back().token >= count) injected.pop_back();
    for (std::size_t& start : piece_starts) start = std::min(start, count);
}

void LengthModel::observe(std::size_t characters, std::size_t tokens) noexcept {
    if (characters == 0 || tokens == 0) return;
    ratios_[seen_++ % kept] = static_cast<float>(static_cast<double>(characters) / static_cast<double>(tokens));
    ++since_;
}

void LengthModel::refresh() noexcept {
    // Worked out again after a few rows more (a sort of 256 is not free, rows are).
    if (threshold_ != 0 && since_ < 32) return;
    std::array<float, kept> sorted = ratios_;
    const auto count = static_cast<std::ptrdiff_t>(std::min(seen_, kept));
    auto quarter = sorted.begin() + count / 4, half = sorted.begin() + count / 2;
    std::nth_element(sorted.begin(), half, sorted.begin() + count);
    middle_ = *half;
    std::nth_element(sorted.begin(), quarter, half);
    threshold_ = *quarter;
    since_ = 0;
}

bool LengthModel::likely_cut(std::size_t characters, std::size_t room) noexcept {
    if (seen_ == 0) return false;
    refresh();
    return static_cast<double>(characters) > threshold_ * static_cast<double>(room);
}

double LengthModel::typical() noexcept {
    if (seen_ == 0) return 0;
    refresh();
    return middle_;
}

OwnSignature own_signature(const OwnedTokens& empty_row, const ProtectedTokens& protected_ids) {
    OwnSignature signature;
    signature.tokens = empty_row.ids.size();
    for (std::size_t k = 0; k < empty_row.ids.size(); ++k) {
        if (!protected_ids.contains(empty_row.ids[k])) continue;
        signature.sequence.push_back(empty_row.ids[k]);
        signature.at_slot.push_back(empty_row.owners[k].kind == TokenOwner::slot);
    }
    return signature;
}

bool OwnSignature::slot_positions(std::span<const TokenId> ids, const ProtectedTokens& protected_ids,
                                  std::vector<std::size_t>& positions) const {
    positions.clear();
    std::size_t next = 0;
    for (std::size_t k = 0; k < ids.size(); ++k) {
        if (!protected_ids.contains(ids[k])) continue;
        if (next == sequence.size() || sequence[next] != ids[k]) return false;
        if (at_slot[next]) positions.push_back(k);
        ++next;
    }
    return next == sequence.size();
}

// ---------------------------------------------------------------- cutting and layout

bool kept_lengths(std::size_t fixed, std::span<const std::size_t> lengths, std::span<const std::uint8_t> shortenable,
                  std::size_t max_length, std::span<std::size_t> kept) {
    std::copy(lengths.begin(), lengths.end(), kept.begin());
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

void piece_lengths(const OwnedTokens& tokens, std::span<std::size_t> lengths) noexcept {
    std::fill(lengths.begin(), lengths.end(), 0);
    for (const TokenOwner& owner : tokens.owners) {
        if (owner.kind == TokenOwner::piece) ++lengths[owner.index];
    }
}

void EncodedRows::add(std::span<const TokenId> ids, std::span<const std::size_t> slot_positions,
                      std::span<const std::optional<TokenId>> slot_answers) {
    // Every row has its slots' room, so that no row reads another's: a
    // causal row ends at its slot and adds its position after.
    if (slot_positions.size() > slots_per_row_ ||
        std::any_of(slot_positions.begin(), slot_positions.end(), [&](std::size_t at) { return at >= ids.size(); })) {
        throw std::logic_error("slot positions that do not fit the row");
    }
    for (std::size_t s = slot_positions.size(); s < slot_answers.size(); ++s) {
        if (slot_answers[s]) throw std::logic_error("an answer for a slot the row does not place");
    }
    const std::size_t start = ids_.size();
    ids_.insert(ids_.end(), ids.begin(), ids.end());
    if (labelled_) {
        labels_.resize(ids_.size(), ignored_label);
        for (std::size_t s = 0; s < slot_answers.size(); ++s) {
            if (slot_answers[s]) labels_[start + slot_positions[s]] = static_cast<std::int64_t>(*slot_answers[s]);
        }
    }
    ends_.push_back(ids_.size());
    slots_.insert(slots_.end(), slot_positions.begin(), slot_positions.end());
    slots_.resize(ends_.size() * slots_per_row_, 0);
}

void EncodedRows::add_cut(const OwnedTokens& tokens, std::span<const std::size_t> kept, CutSide side,
                          const LabelRule& labels) {
    // 1. How many tokens each piece has, so that a cut from the start knows
    //    where its kept tokens begin, and labels know each piece's last token.
    std::vector<std::size_t> seen(kept.size(), 0), lengths(kept.size(), 0), skip(kept.size(), 0);
    piece_lengths(tokens, lengths);
    for (std::size_t p = 0; side == CutSide::start && p < kept.size(); ++p) skip[p] = lengths[p] - kept[p];
    // 2. Keep the template's tokens and each piece's kept run; slots where
    //    their mask lands; labels on target pieces, at target slots, and on
    //    the end token after a target piece's last token.
    const std::size_t start = ids_.size();
    const std::size_t slots_start = slots_.size();
    slots_.resize(slots_start + slots_per_row_, 0);
    enum { none, seeking, ended } closing = none;  // after a target piece's last token: before or after its end token
    std::size_t blanks = 0;  // the blank tokens kept while seeking, labelled when an end token follows
    for (std::size_t k = 0; k < tokens.ids.size(); ++k) {
        const TokenOwner owner = tokens.owners[k];
        std::int64_t label = ignored_label;
        if (owner.kind == TokenOwner::piece) {
            const std::size_t rank = seen[owner.index]++;
            const bool target = !labels.target_pieces.empty() && labels.target_pieces[owner.index];
            const bool cut = rank < skip[owner.index] || rank >= skip[owner.index] + kept[owner.index];
            closing = target && !cut && rank + 1 == lengths[owner.index] ? seeking : none;
            blanks = 0;
            if (cut) continue;
            if (target) label = static_cast<std::int64_t>(tokens.ids[k]);
        } else {
            if (owner.kind == TokenOwner::slot) {
                slots_[slots_start + owner.index] = ids_.size() - start;
                if (owner.index < labels.slot_answers.size() && labels.slot_answers[owner.index]) {
                    label = static_cast<std::int64_t>(*labels.slot_answers[owner.index]);
                }
                closing = none;
            }
            const std::uint8_t marks = tokens.marks[k];
            const bool ends = closing == seeking && (marks & (special_mark | protected_mark)) != 0;
            if (ends || (closing == ended && (marks & special_mark) != 0)) {
                label = static_cast<std::int64_t>(tokens.ids[k]);
                for (std::size_t b = ids_.size() - blanks; labelled_ && b < ids_.size(); ++b) {
                    labels_[b] = static_cast<std::int64_t>(ids_[b]);
                }
                closing = ended;
                blanks = 0;
            } else if (closing == seeking && (marks & blank_mark) != 0) {
                ++blanks;
            } else {
                closing = none;
            }
        }
        ids_.push_back(tokens.ids[k]);
        if (labelled_) labels_.push_back(label);
    }
    ends_.push_back(ids_.size());
}

void EncodedRows::add_labelled(std::span<const TokenId> ids, std::span<const std::int64_t> labels) {
    if (labels.size() != ids.size()) throw std::logic_error("labels that do not match the row");
    ids_.insert(ids_.end(), ids.begin(), ids.end());
    if (labelled_) labels_.insert(labels_.end(), labels.begin(), labels.end());
    ends_.push_back(ids_.size());
    slots_.resize(ends_.size() * slots_per_row_, 0);
}

void EncodedRows::drop_last(std::size_t count) noexcept {
    const std::size_t begin = ends_.size() < 2 ? 0 : ends_[ends_.size() - 2];
    count = std::min(count, ends_.back() - begin);
    ends_.back() -= count;
    ids_.resize(ends_.back());
    if (labelled_) labels_.resize(ends_.back());
}

void EncodedRows::end_at_slot() {
    const std::size_t begin = ends_.size() < 2 ? 0 : ends_[ends_.size() - 2];
    slots_.resize(ends_.size() * slots_per_row_ - slots_per_row_);
    slots_.push_back(ends_.back() - begin);
}

std::span<const std::size_t> EncodedRows::slot_positions(std::size_t row) const noexcept {
    return std::span<const std::size_t>(slots_).subspan(row * slots_per_row_, slots_per_row_);
}

std::size_t EncodedRows::longest() const noexcept {
    std::size_t longest = 0;
    for (std::size_t row = 0; row < size(); ++row) longest = std::max(longest, ids(row).size());
    return longest;
}

std::optional<LayoutStop> lay_out(std::span<RowTokens> rows, const LayoutRule& rule, std::size_t pieces,
                                  EncodedRows& out, std::vector<std::size_t>& row_index) {
    const std::size_t slots = rule.slot_words.size();
    std::vector<std::size_t> lengths(pieces), kept(pieces);
    std::vector<std::optional<TokenId>> slot_answers(slots);
    // Each target slot's answer in row r; a stop when its word is several tokens.
    auto answer_slots = [&](std::size_t r) -> std::optional<LayoutStop> {
        for (std::size_t s = 0; s < slots; ++s) {
            slot_answers[s] = std::nullopt;
            if (rule.slot_words[s].empty()) continue;
            const std::size_t option = rule.answers[r * slots + s];
            slot_answers[s] = rule.slot_words[s][option];
            if (!slot_answers[s]) return LayoutStop{LayoutStop::word_of_pieces, r, 0, s, option};
        }
        return std::nullopt;
    };
    for (std::size_t r = 0; r < rows.size(); ++r) {
        if (OwnedTokens* row = rows[r].owned) {
            // 1. Without the trailing tokens, what each piece keeps.
            row->keep_first(row->ids.size() - std::min(row->ids.size(), rule.trailing));
            piece_lengths(*row, lengths);
            std::size_t fixed = row->ids.size();
            for (std::size_t length : lengths) fixed -= length;
            kept = lengths;
            if (rule.max_length && !kept_lengths(fixed, lengths, rule.shortenable, *rule.max_length, kept)) {
                if (rule.drop) continue;
                std::size_t needed = fixed;
                for (std::size_t p = 0; p < pieces; ++p) needed += rule.shortenable[p] ? 0 : lengths[p];
                return LayoutStop{LayoutStop::too_long, r, needed};
            }
            // 2. Labelled: target pieces, target slots with their answers.
            if (std::optional<LayoutStop> stop = answer_slots(r)) return stop;
            out.add_cut(*row, kept, rule.side, LabelRule{rule.target_pieces, slot_answers});
        } else {
            // A row read by ids alone fits whole; only its slots can be labelled.
            if (std::optional<LayoutStop> stop = answer_slots(r)) return stop;
            out.add(rows[r].ids, rows[r].positions, slot_answers);
            out.drop_last(rule.trailing);
        }
        if (rule.ends_at_slot) out.end_at_slot();
        row_index.push_back(r);
    }
    return std::nullopt;
}

std::size_t padded_width(const EncodedRows& rows, Padding padding) noexcept {
    switch (padding.kind) {
        case Padding::longest: return rows.longest();
        case Padding::width: return std::max(padding.size, rows.longest());
        case Padding::none: break;
    }
    return 0;
}

// ---------------------------------------------------------------- label words

LabelContexts label_contexts(const FragmentList& fragments, std::span<const std::string> extra_slots) {
    LabelContexts result;
    for (std::size_t i = 0; i < fragments.size(); ++i) {
        if (!is_slot(fragments[i], extra_slots)) continue;
        // The template text before the slot, back to the previous control.
        // The text after it is left out: at the mask, it is read apart from
        // the word (a piece such as "great." is not what stands there).
        std::string before;
        for (std::size_t j = i; j > 0 && fragments[j - 1].is_text(); --j) before.insert(0, fragments[j - 1].string);
        const std::size_t start = character_count(before);
        result.words.emplace_back();
        for (std::string_view option : fragments[i].options) {
            const std::string_view word = trim(option);
            result.words.back().emplace_back(word);
            result.contexts.push_back({before + std::string(word), {start, start + character_count(word)}});
        }
        result.words_per_slot.push_back(fragments[i].options.size());
        result.slots.push_back(&fragments[i]);
    }
    return result;
}

std::vector<TokenId> word_tokens(std::span<const TokenId> ids, std::span<const CharSpan> offsets,
                                 std::span<const std::uint8_t> special, CharSpan word, const IdSet& whitespace) {
    std::vector<TokenId> tokens;
    for (std::size_t k = 0; k < ids.size(); ++k) {
        if (special[k] != 0 || !offsets[k].overlaps(word)) continue;
        if (tokens.empty() && whitespace.contains(ids[k]) && k + 1 < ids.size() && offsets[k + 1].overlaps(word)) continue;
        tokens.push_back(ids[k]);
    }
    return tokens;
}

}  // namespace korvanta
