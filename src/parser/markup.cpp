// The markup parser's scanning: a pointer-pair walk over UTF-8 bytes. Every
// special character is ASCII, so byte comparisons see exactly what a scan over
// whole characters would.
#include "parser/markup.hpp"

#include <algorithm>
#include <array>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace korvanta {
namespace detail {

// The three characters that end a text run are '[' '\\' ']' (0x5B..0x5D), so a
// byte ends a run exactly when (byte - 0x5B) as unsigned is at most 2.
const char* find_text_end(const char* p, const char* end) noexcept {
#if defined(__SSE2__)
    const char* const start = p;
    const __m128i base = _mm_set1_epi8(0x5B);
    const __m128i two = _mm_set1_epi8(2);
    auto hits = [&](const char* at) {
        __m128i offset = _mm_sub_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)), base);
        return _mm_cmpeq_epi8(_mm_min_epu8(offset, two), offset);
    };
    // Long runs: 64 bytes a step, one test for all four blocks.
    while (end - p >= 64) {
        __m128i any = _mm_or_si128(_mm_or_si128(hits(p), hits(p + 16)), _mm_or_si128(hits(p + 32), hits(p + 48)));
        if (_mm_movemask_epi8(any) != 0) break;
        p += 64;
    }
    while (end - p >= 16) {
        if (int mask = _mm_movemask_epi8(hits(p))) return p + __builtin_ctz(static_cast<unsigned>(mask));
        p += 16;
    }
    // The last few bytes of a run of 16 or more: one load of the final 16
    // bytes, which lie inside the run, with the bytes already seen masked off.
    if (p < end && end - start >= 16) {
        const char* last = end - 16;
        unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hits(last))) >> (p - last);
        return mask != 0 ? p + __builtin_ctz(mask) : end;
    }
#endif
    while (p < end && !has_class(*p, TOP_SPECIAL)) ++p;
    return p;
}

// [name], [name|] or [name|opt(sep opt)*] where sep is a run of '#' and ','.
const char* read_control(const char* p, const char* end, std::string_view& name, OptionViews& options) {
    const char* name_begin = p + 1;
    p = skip_word(name_begin, end);
    if (p == name_begin) return nullptr;
    name = std::string_view(name_begin, static_cast<std::size_t>(p - name_begin));

    options.clear();
    if (p < end && *p == '|') {
        ++p;
        const char* option_end = skip_word(p, end);
        if (option_end != p) {
            options.push_back(std::string_view(p, static_cast<std::size_t>(option_end - p)));
            p = option_end;
            // 1. a separator run; 2. an option run after it; both or neither.
            for (;;) {
                const char* next = skip_separator(p, end);
                if (next == p) break;
                option_end = skip_word(next, end);
                if (option_end == next) break;
                options.push_back(std::string_view(next, static_cast<std::size_t>(option_end - next)));
                p = option_end;
            }
        }
    }
    if (p == end || *p != ']') return nullptr;
    return p + 1;
}

}  // namespace detail

MarkupStop describe_stop(std::string_view input, std::size_t offset) noexcept {
    using namespace detail;
    const char* const begin = input.data();
    const char* const end = begin + input.size();
    const char* const at = begin + offset;
    auto stop = [&](MarkupFault fault, const char* p) { return MarkupStop{fault, static_cast<std::size_t>(p - begin)}; };
    if (*at == ']') return stop(MarkupFault::unescaped_close, at);
    if (*at == '\\') return stop(MarkupFault::lone_backslash, at);
    // A control that did not match: walk it as read_control does, and name the
    // first byte that no rule of a control accepts.
    const char* p = skip_word(at + 1, end);
    if (p < end && *p != '[' && *p != '|') {
        if (p == at + 1) return stop(MarkupFault::empty_name, p);
        return stop(*p == '#' ? MarkupFault::hash_in_name : MarkupFault::comma_in_name, p);
    }
    if (p < end && *p == '|') {
        if (p == at + 1) return stop(MarkupFault::empty_name, p);
        // 1. an option must start; 2. after it, a separator or the end of the control.
        for (++p;;) {
            const char* option_end = skip_word(p, end);
            if (option_end == p) {
                if (p < end && (has_class(*p, SEPARATOR) || *p == ']')) return stop(MarkupFault::empty_option, p);
                break;
            }
            p = skip_separator(option_end, end);
            if (p == option_end) break;
        }
    }
    if (p == end) return stop(MarkupFault::unclosed_control, at);
    if (*p == '|') return stop(MarkupFault::second_bar, p);
    return stop(MarkupFault::bracket_in_control, p);
}

std::size_t count_escaped(std::string_view text) noexcept {
    std::size_t count = 0;
    const char* p = text.data();
    const char* const end = p + text.size();
    for (p = detail::find_text_end(p, end); p < end; p = detail::find_text_end(p + 1, end)) ++count;
    return count;
}

namespace {

// An upper bound of the number of fragments `input` parses to: controls start
// with a left bracket, and text fragments never stand side by side.
std::size_t fragment_count_bound(std::string_view input) noexcept {
    return 2 * static_cast<std::size_t>(std::count(input.begin(), input.end(), '[')) + 1;
}

}  // namespace

ParsedMarkup parse_markup(std::string_view input) {
    // Room for the likely count up front, but not for what a run of brackets
    // that never parse would claim; unused room is given back at the end.
    constexpr std::size_t first_reservation_limit = std::size_t(1) << 16;
    ParsedMarkup result;
    result.fragments.reserve(std::min(fragment_count_bound(input), first_reservation_limit));
    FragmentList& fragments = result.fragments;
    RecordSink sink{[&](PromptFragment&& fragment) { fragments.push_back(std::move(fragment)); }};
    result.remainder = parse_markup_into(input, sink);
    if (fragments.capacity() - fragments.size() > fragments.size() / 8) fragments.shrink_to_fit();
    return result;
}

}  // namespace korvanta
