// The markup parser's scanning: a pointer-pair walk over UTF-8 bytes. Every
// special character is ASCII, so byte comparisons see exactly what a scan over
// whole characters would.
#include "core/markup.hpp"

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

}  // namespace detail

// Four independent 16-byte accumulators, so the loads are not serialised
// behind one another; the bytes after the last block of 64 one by one.
bool is_ascii(const char* p, std::size_t size) noexcept {
    std::size_t i = 0;
#if defined(__SSE2__)
    __m128i a = _mm_setzero_si128(), b = a, c = a, d = a;
    for (; i + 64 <= size; i += 64) {
        a = _mm_or_si128(a, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)));
        b = _mm_or_si128(b, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 16)));
        c = _mm_or_si128(c, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 32)));
        d = _mm_or_si128(d, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 48)));
    }
    if (_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d))) != 0) return false;
#endif
    unsigned seen = 0;
    for (; i < size; ++i) seen |= static_cast<unsigned char>(p[i]);
    return seen < 0x80;
}

namespace detail {

// [name], [name|] or [name|opt(sep opt)*] where sep is a run of '#' and ','.
ControlRead read_control(const char* open, const char* end, std::string_view& name, OptionViews& options) {
    // Reading stopped at `p`, short of a closing bracket: the end of the text
    // and a '[' fail the control for what they are, any other byte for `fault`.
    auto stopped = [&](const char* p, MarkupFault fault) -> ControlRead {
        if (p == end) return {open, MarkupFault::unclosed_control};
        if (*p == '[') return {p, MarkupFault::bracket_in_control};
        return {p, fault};
    };
    const char* const name_begin = open + 1;
    const char* p = skip_word(name_begin, end);
    if (p == name_begin) return stopped(p, MarkupFault::empty_name);
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
                if (option_end == next) {
                    return stopped(next, next < end && *next == ']' ? MarkupFault::empty_option : MarkupFault::second_bar);
                }
                options.push_back(std::string_view(next, static_cast<std::size_t>(option_end - next)));
                p = option_end;
            }
        } else if (p < end && has_class(*p, SEPARATOR)) {
            return stopped(p, MarkupFault::empty_option);
        }
    }
    if (p < end && *p == ']') return {p + 1, std::nullopt};
    // Right after the name a separator; after the options a second '|'.
    if (p < end && has_class(*p, SEPARATOR)) {
        return stopped(p, *p == '#' ? MarkupFault::hash_in_name : MarkupFault::comma_in_name);
    }
    return stopped(p, MarkupFault::second_bar);
}

}  // namespace detail

MarkupStop describe_stop(std::string_view input, std::size_t offset) {
    const char* const begin = input.data();
    const char* const at = begin + offset;
    if (*at == ']') return {MarkupFault::unescaped_close, offset};
    if (*at == '\\') return {MarkupFault::lone_backslash, offset};
    std::string_view name;
    detail::OptionViews options;
    detail::ControlRead read = detail::read_control(at, begin + input.size(), name, options);
    return {*read.fault, static_cast<std::size_t>(read.at - begin)};  // parsing stopped here: it does not match
}

std::size_t count_escaped(std::string_view text) noexcept {
    std::size_t count = 0;
    const char* p = text.data();
    const char* const end = p + text.size();
    for (p = detail::find_text_end(p, end); p < end; p = detail::find_text_end(p + 1, end)) ++count;
    return count;
}

namespace {

// How many left brackets [p, end) holds: 16 bytes a step into byte counters,
// summed before any of them could overflow.
std::size_t count_brackets(const char* p, const char* end) noexcept {
    std::size_t count = 0;
#if defined(__SSE2__)
    const __m128i bracket = _mm_set1_epi8('[');
    while (end - p >= 16) {
        const std::ptrdiff_t blocks = std::min<std::ptrdiff_t>((end - p) / 16, 255);
        __m128i counters = _mm_setzero_si128();
        for (const char* stop = p + 16 * blocks; p < stop; p += 16) {
            counters = _mm_sub_epi8(counters, _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), bracket));
        }
        const __m128i sums = _mm_sad_epu8(counters, _mm_setzero_si128());
        count += static_cast<std::size_t>(_mm_cvtsi128_si32(sums)) + static_cast<std::size_t>(_mm_extract_epi16(sums, 4));
    }
#endif
    for (; p < end; ++p) count += *p == '[';
    return count;
}

}  // namespace

std::size_t fragment_count_estimate(std::string_view input) noexcept {
    // Controls start with a left bracket, and text fragments never stand
    // side by side; a long input is judged by its first few kilobytes.
    // No more than a limit, though: a run of brackets that never parse must
    // not claim room.
    constexpr std::size_t sample_size = 4096;
    constexpr double limit = 1 << 16;
    const std::size_t sample = std::min(input.size(), sample_size);
    const std::size_t brackets = count_brackets(input.data(), input.data() + sample);
    if (sample == input.size()) return 2 * brackets + (input.empty() ? 0 : 1);  // below the limit
    return static_cast<std::size_t>(std::min(2.0 * static_cast<double>(brackets) * static_cast<double>(input.size()) / sample + 1, limit));
}

ParsedMarkup parse_markup(std::string_view input, TextKeeper* keeper) {
    // Room for the likely count up front; unused room is given back at the end.
    ParsedMarkup result;
    result.fragments.reserve(fragment_count_estimate(input));
    FragmentList& fragments = result.fragments;
    RecordSink sink{[&](auto&& make) { fragments.push_back(make()); }, keeper};
    result.remainder = parse_markup_into(input, sink);
    if (fragments.capacity() - fragments.size() > fragments.size() / 8) fragments.shrink_to_fit();
    return result;
}

std::size_t character_count(std::string_view text) noexcept {
    std::size_t count = 0;
    for (char c : text) count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return count;
}

}  // namespace korvanta
