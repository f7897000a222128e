// Conversations as their chat template wrote them: exchanges, the exchanges
// dropped to fit and the labelled layout.
#include "core/conversation.hpp"

#include "core/markup.hpp"

#include <algorithm>

namespace korvanta {

Exchanges group_exchanges(std::span<const char> kinds) {
    Exchanges exchanges;
    exchanges.of_message.assign(kinds.size(), Exchanges::none);
    std::size_t m = 0;
    while (m < kinds.size() && kinds[m] == 's') ++m;  // the opening system messages
    bool asked = false;  // the current exchange has its user message
    for (; m < kinds.size(); ++m) {
        if (exchanges.count == 0 || (kinds[m] == 'u' && asked)) {
            ++exchanges.count;
            asked = false;
        }
        asked = asked || kinds[m] == 'u';
        exchanges.of_message[m] = exchanges.count - 1;
    }
    return exchanges;
}

std::vector<std::size_t> tokens_per_exchange(const OwnedTokens& tokens, std::span<const ContentSpan> contents,
                                             const Exchanges& exchanges) {
    auto exchange_of = [&](std::uint32_t piece) {
        const std::uint32_t message = contents[piece].message;
        return message < exchanges.of_message.size() ? exchanges.of_message[message] : Exchanges::none;
    };
    // 1. Each token's exchange. A template token takes the exchange of the
    //    content after it (a header), but for the end token right after a
    //    content (with the blank tokens between), which goes with that content.
    const std::size_t n = tokens.ids.size();
    std::vector<std::uint32_t> of_token(n, Exchanges::none);
    std::uint32_t next = exchanges.count - 1;
    for (std::size_t k = n; k-- > 0;) {
        if (tokens.owners[k].kind == TokenOwner::piece) next = exchange_of(tokens.owners[k].index);
        of_token[k] = next;
    }
    for (std::size_t k = 0; k < n; ++k) {
        if (tokens.owners[k].kind != TokenOwner::piece) continue;
        const std::uint32_t exchange = of_token[k];
        std::size_t j = k + 1;
        while (j < n && tokens.owners[j].kind != TokenOwner::piece && (tokens.marks[j] & blank_mark) != 0 &&
               (tokens.marks[j] & (special_mark | protected_mark)) == 0) {
            ++j;
        }
        if (j < n && tokens.owners[j].kind != TokenOwner::piece &&
            (tokens.marks[j] & (special_mark | protected_mark)) != 0) {
            for (std::size_t b = k + 1; b <= j; ++b) of_token[b] = exchange;
        }
    }
    std::vector<std::size_t> per_exchange(exchanges.count + 1, 0);
    for (std::uint32_t exchange : of_token) ++per_exchange[exchange == Exchanges::none ? exchanges.count : exchange];
    return per_exchange;
}

std::size_t exchanges_to_drop(const OwnedTokens& tokens, std::span<const ContentSpan> contents,
                              const Exchanges& exchanges, std::size_t max_length) {
    if (exchanges.count < 2 || tokens.ids.size() <= max_length) return 0;
    const std::vector<std::size_t> per_exchange = tokens_per_exchange(tokens, contents, exchanges);
    // The fewest leading exchanges whose tokens bring the rest within the limit.
    std::size_t length = tokens.ids.size(), dropped = 0;
    while (dropped + 1 < exchanges.count && length > max_length) length -= per_exchange[dropped++];
    return dropped;
}

std::size_t exchanges_to_drop(std::size_t characters, std::span<const ContentSpan> contents,
                              const Exchanges& exchanges, std::size_t max_length, double characters_per_token) {
    if (exchanges.count < 2 || !(characters_per_token > 0)) return 0;
    const double room = characters_per_token * static_cast<double>(max_length);
    if (static_cast<double>(characters) <= room) return 0;
    // Where each exchange's characters begin; one that wrote no content begins where the next does.
    constexpr std::size_t unseen = SIZE_MAX;
    std::vector<std::size_t> begins(exchanges.count, unseen);
    std::size_t previous_end = 0;
    for (const ContentSpan& content : contents) {
        const std::uint32_t message = content.message;
        const std::uint32_t exchange =
            message < exchanges.of_message.size() ? exchanges.of_message[message] : Exchanges::none;
        if (exchange != Exchanges::none && begins[exchange] == unseen) begins[exchange] = previous_end;
        previous_end = std::max(previous_end, content.span.end);
    }
    std::size_t next = characters;
    for (std::size_t e = exchanges.count; e-- > 0;) {
        begins[e] = std::min(begins[e] == unseen ? next : begins[e], next);
        next = begins[e];
    }
    std::size_t dropped = 0;
    while (dropped + 1 < exchanges.count &&
           static_cast<double>(characters - (begins[dropped] - begins[0])) > room) {
        ++dropped;
    }
    return dropped;
}

RunSearch::RunSearch(std::vector<std::size_t> per_exchange, std::size_t max_length)
    : per_exchange_(std::move(per_exchange)), max_length_(max_length) {
    if (count() == 0) {
        next_ = SIZE_MAX;  // no exchange to place
    } else {
        start_run();
    }
}

void RunSearch::start_run() noexcept {
    fits_ = begin_;
    too_long_ = count() + 1;
    // As many exchanges as their tokens in the whole conversation say fit, with what belongs to none.
    std::size_t length = per_exchange_[count()], end = begin_;
    while (end < count() && length + per_exchange_[end] <= max_length_) length += per_exchange_[end++];
    next_ = std::max(end, std::min(begin_ + 1, count()));
}

bool RunSearch::learn(std::size_t end, bool fits) noexcept {
    if (fits) {
        fits_ = std::max(fits_, end);
    } else {
        too_long_ = std::min(too_long_, end);
    }
    // The next try: one more after a fit, one fewer after a run too long.
    next_ = fits_ > begin_ ? fits_ + 1 : too_long_ - 1;
    const bool kept = fits && end == fits_;
    if (next_ >= too_long_ || next_ > count() || next_ <= begin_) {
        // The run is known: the most exchanges from begin_ that fit; none when the first alone does not.
        if (fits_ > begin_) runs_.push_back({begin_, fits_});
        begin_ = fits_ > begin_ ? fits_ : begin_ + 1;
        if (begin_ < count()) {
            start_run();
        } else {
            next_ = SIZE_MAX;
        }
    }
    return kept;
}

bool lay_out_conversation(const OwnedTokens& tokens, std::span<const ContentSpan> contents,
                          std::span<const std::uint8_t> labelled, std::optional<std::size_t> max_length,
                          Labels labels, EncodedRows& out) {
    const std::size_t n = tokens.ids.size();
    if (max_length && n > *max_length) return false;
    std::vector<std::int64_t> row(n, ignored_label);
    auto label = [&](std::size_t k) { row[k] = static_cast<std::int64_t>(tokens.ids[k]); };
    if (labels == Labels::tagged) {
        for (std::size_t k = 0; k < n; ++k) {
            if ((tokens.marks[k] & tagged_mark) != 0) label(k);
        }
        out.add_labelled(tokens.ids, row);
        return true;
    }
    auto trained = [&](std::size_t piece) { return labelled[contents[piece].message] != 0; };
    auto is_piece = [&](std::size_t k) { return tokens.owners[k].kind == TokenOwner::piece; };
    // 1. Each trained piece's tokens, and where each piece's last token is.
    constexpr std::size_t none = SIZE_MAX;
    std::vector<std::size_t> last(contents.size(), none);
    for (std::size_t k = 0; k < n; ++k) {
        if (!is_piece(k)) continue;
        last[tokens.owners[k].index] = k;
        if (trained(tokens.owners[k].index)) label(k);
    }
    // 2. After each trained piece, up to the token that ends its turn: the
    //    first special or protected one before another piece's, with the
    //    special tokens that follow it at once.
    const bool placed = tokens.piece_starts.size() == contents.size();
    for (std::size_t p = 0; p < contents.size(); ++p) {
        if (!trained(p) || (last[p] == none && !placed)) continue;
        const std::size_t from = last[p] != none ? last[p] + 1 : tokens.piece_starts[p];
        const std::size_t stop = placed && p + 1 < contents.size() ? std::max(from, tokens.piece_starts[p + 1]) : n;
        for (std::size_t j = from; j < stop && !is_piece(j); ++j) {
            if ((tokens.marks[j] & (special_mark | protected_mark)) == 0) continue;
            for (std::size_t k = from; k <= j; ++k) label(k);
            for (std::size_t k = j + 1; k < n && !is_piece(k) && (tokens.marks[k] & special_mark) != 0; ++k) label(k);
            break;
        }
    }
    out.add_labelled(tokens.ids, row);
    return true;
}

std::optional<LayoutStop> lay_out_conversations(std::span<const ConversationRow> rows,
                                                std::optional<std::size_t> max_length, Labels labels, bool drop,
                                                EncodedRows& out, std::vector<std::size_t>& row_index) {
    for (std::size_t r = 0; r < rows.size(); ++r) {
        const ConversationRow& row = rows[r];
        if (lay_out_conversation(*row.tokens, row.contents, row.labelled, max_length, labels, out)) {
            row_index.push_back(r);
        } else if (!drop) {
            return LayoutStop{LayoutStop::too_long, r, row.tokens->ids.size()};
        }
    }
    return std::nullopt;
}

std::vector<ExchangeSearch::Way> ExchangeSearch::first_ways(std::size_t guess) {
    if (guess == 0) return {{0, false}};
    return {{guess - 1, true}, {guess, false}};
}

bool ExchangeSearch::learn(Way way, Shown shown) noexcept {
    switch (shown) {
        case Shown::nothing:
            unproven_ = way.dropped;
            return false;
        case Shown::fits:
            fitted_ += fitted_ < 32;
            if (fits_ && *fits_ <= way.dropped) return false;
            fits_ = way.dropped;
            return true;
        case Shown::too_long:
            overlong_ += overlong_ < 32;
            if (too_long_ && *too_long_ >= way.dropped) return false;
            too_long_ = way.dropped;
            return true;
    }
    return false;
}

// Done when it fits whole, when one fewer than what fits did not, or when
// its last exchange alone does not fit. Below what fits, one fewer, then
// steps that double with each way that fit (1, 2, 4, ... fewer), and the
// middle once a step would reach a way known too long;
// the way just below what fits is counted unless a count could not show it
// too long. One only too long so far leaves out what its tokens suggest, at
// least one exchange more, and steps that double after the second too long
// (what is left is written anew, so a suggestion may be off either way). So
// a conversation of n exchanges takes O(log n) ways, whatever the guess.
std::optional<ExchangeSearch::Way> ExchangeSearch::next(std::size_t suggested, std::size_t exchanges) const noexcept {
    if (fits_) {
        if (*fits_ == 0 || (too_long_ && *too_long_ + 1 == *fits_)) return std::nullopt;
        const std::size_t step = std::size_t{1} << (fitted_ - 1);
        std::size_t fewer = *fits_ > step ? *fits_ - step : 0;
        if (too_long_ && *too_long_ < *fits_ && *too_long_ >= fewer) fewer = *too_long_ + (*fits_ - *too_long_) / 2;
        return Way{fewer, fewer + 1 == *fits_ && unproven_ != fewer};
    }
    if (!too_long_) return Way{0, false};
    if (*too_long_ + 1 >= exchanges) return std::nullopt;  // the last exchange alone does not fit
    const std::size_t step = overlong_ <= 2 ? 1 : std::size_t{1} << (overlong_ - 2);
    return Way{std::clamp(suggested, *too_long_ + step, exchanges - 1), false};
}

void drop_doubled_specials(OwnedTokens& tokens) {
    auto doubled = [&](std::size_t added, std::size_t written) {
        return tokens.ids[added] == tokens.ids[written] && (tokens.marks[added] & special_mark) != 0 &&
               (tokens.marks[added] & protected_mark) == 0 && (tokens.marks[written] & protected_mark) != 0 &&
               tokens.owners[written].kind != TokenOwner::piece;
    };
    auto erase = [&](std::size_t k) {
        tokens.ids.erase(tokens.ids.begin() + static_cast<std::ptrdiff_t>(k));
        tokens.owners.erase(tokens.owners.begin() + static_cast<std::ptrdiff_t>(k));
        tokens.marks.erase(tokens.marks.begin() + static_cast<std::ptrdiff_t>(k));
        for (std::size_t& start : tokens.piece_starts) start -= start > k ? 1 : 0;
        for (InjectedToken& injected : tokens.injected) injected.token -= injected.token > k ? 1 : 0;
    };
    if (tokens.ids.size() >= 2 && doubled(tokens.ids.size() - 1, tokens.ids.size() - 2)) erase(tokens.ids.size() - 1);
    if (tokens.ids.size() >= 2 && doubled(0, 1)) erase(0);
}

bool holds_markers(std::string_view text) noexcept {
    // A code point of the plane is four bytes: F3, then B0 to BF.
    for (std::size_t i = text.find('\xF3'); i != std::string_view::npos; i = text.find('\xF3', i + 1)) {
        const auto second = static_cast<unsigned char>(i + 1 < text.size() ? text[i + 1] : 0);
        if (second >= 0xB0 && second <= 0xBF) return true;
    }
    return false;
}

Unmarked unmark(std::string_view marked) {
    Unmarked out;
    out.text.reserve(marked.size());
    std::size_t characters = 0;
    constexpr std::size_t closed = SIZE_MAX;
    std::size_t open = closed;  // where the tagged block being read began
    for (std::size_t i = 0; i < marked.size();) {
        const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(marked[i + k]); };
        if (byte(0) == 0xF3 && i + 3 < marked.size() && byte(1) >= 0xB0 && byte(1) <= 0xBF) {
            const std::uint32_t point = ((byte(0) & 0x07u) << 18) | ((byte(1) & 0x3Fu) << 12) |
                                        ((byte(2) & 0x3Fu) << 6) | (byte(3) & 0x3Fu);
            const std::uint32_t code = point - static_cast<std::uint32_t>(first_marker);
            if (code == open_tagged) {
                out.tags_paired = out.tags_paired && open == closed;
                open = characters;
            } else if (code == close_tagged) {
                out.tags_paired = out.tags_paired && open != closed;
                if (open != closed && open < characters) out.tagged.push_back({open, characters});
                open = closed;
            } else {
                out.markers.emplace_back(code, characters);
            }
            i += 4;
            continue;
        }
        if ((byte(0) & 0xC0) != 0x80) ++characters;
        out.text.push_back(marked[i++]);
    }
    out.tags_paired = out.tags_paired && open == closed;
    return out;
}

bool spans_from_markers(const Unmarked& marked, std::span<const std::uint32_t> kept, std::vector<ContentSpan>& spans,
                        std::vector<std::uint8_t>* found) {
    // Beyond most_marked messages the codes start again: a code lower than
    // the last one's starts the next round (such a conversation is read in order).
    const bool rounds = kept.size() > most_marked;
    std::size_t round = 0, last = 0;
    std::vector<std::uint8_t> seen(kept.size(), 0);  // a content written twice cannot be located
    for (std::size_t k = 0; k < marked.markers.size(); ++k) {
        const auto [code, begin] = marked.markers[k];
        if (code % 2 != 0 || k + 1 == marked.markers.size() || marked.markers[k + 1].first != code + 1) {
            if (found == nullptr) return false;
            continue;  // a marker whose partner the template moved or dropped: its content is not found here
        }
        if (rounds && round * most_marked + code / 2 < last) ++round;
        const std::size_t place = round * most_marked + code / 2;
        if (place >= kept.size() || seen[place]) return false;
        seen[place] = 1;
        last = place;
        spans.push_back({{begin, marked.markers[++k].second}, kept[place], {}});
    }
    if (found != nullptr) *found = std::move(seen);
    return true;
}

namespace {

constexpr std::string_view blank = " \t\n\r\v\f\x1c\x1d\x1e\x1f";

// Counts characters along a UTF-8 text, forwards only: each position asked
// for at or after the one before, so that a whole text costs one pass.
class CharacterCounter {
   public:
    explicit CharacterCounter(std::string_view text) noexcept : text_(text) {}
    // The character position of byte `at` (a character boundary).
    std::size_t characters_at(std::size_t at) noexcept {
        for (; byte_ < at; ++byte_) characters_ += (static_cast<unsigned char>(text_[byte_]) & 0xC0) != 0x80;
        return characters_;
    }
    // The byte position of character `at`.
    std::size_t byte_of(std::size_t at) noexcept {
        while (characters_ < at && byte_ < text_.size()) {
            ++byte_;  // past the character's first byte, then its others
            while (byte_ < text_.size() && (static_cast<unsigned char>(text_[byte_]) & 0xC0) == 0x80) ++byte_;
            ++characters_;
        }
        return byte_;
    }

   private:
    std::string_view text_;
    std::size_t byte_ = 0, characters_ = 0;
};

}  // namespace

bool spans_of_trimmed_contents(const Unmarked& marked, std::string_view text, std::span<const std::uint32_t> kept,
                               std::vector<ContentSpan>& spans) {
    std::vector<ContentSpan> in_marked;
    if (!spans_from_markers(marked, kept, in_marked)) return false;
    const std::string_view written = marked.text;
    // Each content's bytes in the marked rendering, in order.
    std::vector<std::pair<std::size_t, std::size_t>> contents;
    CharacterCounter marked_counter(written);
    for (const ContentSpan& content : in_marked) {
        const std::size_t begin = marked_counter.byte_of(content.span.begin);
        const std::size_t end = marked_counter.byte_of(content.span.end);
        if (!contents.empty() && begin < contents.back().second) return false;
        contents.emplace_back(begin, end);
    }
    // What the template wrote around the contents is the same in both
    // renderings; each content is written as given or with blanks trimmed
    // from either end, whichever the text goes on with.
    const std::size_t first = contents.empty() ? written.size() : contents.front().first;
    if (text.substr(0, first) != written.substr(0, first)) return false;
    std::size_t at = first;
    CharacterCounter counter(text);
    std::vector<ContentSpan> found;
    for (std::size_t i = 0; i < contents.size(); ++i) {
        const std::string_view content = written.substr(contents[i].first, contents[i].second - contents[i].first);
        const std::size_t after = i + 1 < contents.size() ? contents[i + 1].first : written.size();
        const std::string_view around = written.substr(contents[i].second, after - contents[i].second);
        const std::size_t lead = std::min(content.find_first_not_of(blank), content.size());
        const std::size_t kept_end = content.find_last_not_of(blank) + 1;  // 0 when all blank
        const std::string_view candidates[] = {content, content.substr(lead, kept_end > lead ? kept_end - lead : 0),
                                               content.substr(0, kept_end), content.substr(lead)};
        std::optional<std::string_view> piece;
        for (const std::string_view candidate : candidates) {
            const bool last = i + 1 == contents.size();
            if (text.compare(at, candidate.size(), candidate) != 0) continue;
            const std::size_t next = at + candidate.size();
            if (text.compare(next, around.size(), around) != 0 || (last && next + around.size() != text.size())) continue;
            piece = candidate;
            break;
        }
        if (!piece) return false;
        const std::size_t begin = counter.characters_at(at);
        found.push_back({{begin, counter.characters_at(at + piece->size())}, in_marked[i].message, {}});
        at += piece->size() + around.size();
    }
    if (contents.empty() && text != written) return false;
    spans.insert(spans.end(), found.begin(), found.end());
    return true;
}

std::optional<std::vector<CharSpan>> replaced_spans(std::string_view text, const Unmarked& marked) {
    const std::string_view written = marked.text;
    // The pieces of `written` around its markers, as byte ranges.
    std::vector<std::size_t> cuts;  // the markers' byte positions
    CharacterCounter marked_counter(written);
    for (const auto& [code, at] : marked.markers) cuts.push_back(marked_counter.byte_of(at));
    const std::size_t count = cuts.size();
    if (count == 0) return std::nullopt;
    auto piece = [&](std::size_t i) {  // the piece before marker i (count: after the last)
        const std::size_t begin = i == 0 ? 0 : cuts[i - 1], end = i == count ? written.size() : cuts[i];
        return written.substr(begin, end - begin);
    };
    // Each piece found as early as it can be, then as late: where both agree
    // for every piece, the text lines up one way only.
    const std::string_view first = piece(0), last = piece(count);
    if (!text.starts_with(first) || text.size() < first.size() + last.size() || !text.ends_with(last)) {
        return std::nullopt;
    }
    std::vector<std::size_t> early(count + 1, 0);  // where each piece stands
    early[count] = text.size() - last.size();
    std::size_t at = first.size();
    for (std::size_t i = 1; i < count; ++i) {
        early[i] = text.find(piece(i), at);
        if (early[i] == std::string_view::npos) return std::nullopt;
        at = early[i] + piece(i).size();
    }
    if (at > early[count]) return std::nullopt;
    for (std::size_t i = count - 1, before = early[count]; i >= 1; before = early[i--]) {
        // Found: the early places line up.
        if (text.rfind(piece(i), before - piece(i).size()) != early[i]) return std::nullopt;
    }
    std::vector<CharSpan> spans;
    CharacterCounter counter(text);
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t begin = counter.characters_at(early[i] + piece(i).size());
        spans.push_back({begin, counter.characters_at(early[i + 1])});
    }
    return spans;
}

namespace {

bool continues_character(std::string_view text, std::size_t at) noexcept {
    return at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80;
}

}  // namespace

CharSpan changed_span(std::string_view text, std::string_view head, std::string_view tail) noexcept {
    std::size_t begin = 0;
    while (begin < text.size() && begin < head.size() && text[begin] == head[begin]) ++begin;
    while (begin > 0 && continues_character(text, begin)) --begin;
    std::size_t shared = 0;
    while (shared < text.size() - begin && shared < tail.size() &&
           text[text.size() - 1 - shared] == tail[tail.size() - 1 - shared]) {
        ++shared;
    }
    std::size_t end = text.size() - shared;
    while (continues_character(text, end)) ++end;
    const std::size_t first = character_count(text.substr(0, begin));
    return {first, first + character_count(text.substr(begin, end - begin))};
}

std::optional<std::uint32_t> settle_spans(std::string_view text, std::span<const std::uint8_t> turns,
                                          std::string_view header, std::optional<std::size_t> open, std::uint32_t last,
                                          std::vector<ContentSpan>& pieces, std::vector<CharSpan>& tagged) {
    std::sort(pieces.begin(), pieces.end(), [](const ContentSpan& a, const ContentSpan& b) {
        return a.span.begin != b.span.begin ? a.span.begin < b.span.begin : a.span.end < b.span.end;
    });
    for (std::size_t k = 1; k < pieces.size(); ++k) {
        if (pieces[k].span.begin < pieces[k - 1].span.end) return pieces[k].message;
    }
    CharacterCounter counter(text);  // the pieces' places only rise: one pass over the text
    for (std::size_t k = 0; k < pieces.size(); ++k) {
        if (pieces[k].message >= turns.size() || turns[pieces[k].message] == 0) continue;
        const std::size_t from = k > 0 ? pieces[k - 1].span.end : 0, begin = pieces[k].span.begin;
        if (header.empty() || begin <= from) continue;
        const std::size_t from_byte = counter.byte_of(from);
        const std::string_view window = text.substr(from_byte, counter.byte_of(begin) - from_byte);
        if (const std::size_t at = window.rfind(header); at != std::string_view::npos) {
            pieces[k].span.begin = from + character_count(window.substr(0, at + header.size()));
        }
    }
    if (open) {
        std::erase_if(pieces, [&](const ContentSpan& piece) { return piece.span.begin > *open; });
        if (!pieces.empty() && pieces.back().message == last) pieces.back().span.end = *open;
        for (ContentSpan& piece : pieces) piece.span.end = std::min(piece.span.end, *open);
        std::erase_if(tagged, [&](const CharSpan& span) { return span.begin >= *open; });
        for (CharSpan& span : tagged) span.end = std::min(span.end, *open);
    }
    return std::nullopt;
}

}  // namespace korvanta
