// The markup parser: a pointer-pair scan over UTF-8 bytes. Every special
// character is ASCII, so byte comparisons see exactly what a scan over whole
// characters would.
#include "parser/markup.hpp"

#include <array>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace korvanta {
namespace {

// Character classes of the markup.
enum : std::uint8_t {
    TOP_SPECIAL = 1,   // ends a text run: backslash, left and right bracket
    WORD_END = 2,      // ends a name or an option: [ ] | # ,
    SEPARATOR = 4,     // separates options: # ,
};

constexpr std::array<std::uint8_t, 256> character_classes = [] {
    std::array<std::uint8_t, 256> table{};
    table['\\'] = TOP_SPECIAL;
    table['['] = TOP_SPECIAL | WORD_END;
    table[']'] = TOP_SPECIAL | WORD_END;
    table['|'] = WORD_END;
    table['#'] = WORD_END | SEPARATOR;
    table[','] = WORD_END | SEPARATOR;
    return table;
}();

inline bool has_class(char c, std::uint8_t cls) noexcept {
    return (character_classes[static_cast<unsigned char>(c)] & cls) != 0;
}

// The three characters that end a text run are '[' '\\' ']' (0x5B..0x5D), so a
// byte ends a run exactly when (byte - 0x5B) as unsigned is at most 2.
const char* find_text_end(const char* p, const char* end) noexcept {
#if defined(__SSE2__)
    const __m128i base = _mm_set1_epi8(0x5B);
    const __m128i two = _mm_set1_epi8(2);
    while (end - p >= 16) {
        __m128i offset = _mm_sub_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), base);
        __m128i hit = _mm_cmpeq_epi8(_mm_min_epu8(offset, two), offset);
        if (int mask = _mm_movemask_epi8(hit)) return p + __builtin_ctz(static_cast<unsigned>(mask));
        p += 16;
    }
#endif
    while (p < end && !has_class(*p, TOP_SPECIAL)) ++p;
    return p;
}

const char* skip_while_not(const char* p, const char* end, std::uint8_t cls) noexcept {
    while (p < end && !has_class(*p, cls)) ++p;
    return p;
}

const char* skip_while(const char* p, const char* end, std::uint8_t cls) noexcept {
    while (p < end && has_class(*p, cls)) ++p;
    return p;
}

class Parser {
   public:
    explicit Parser(std::string_view input) : pos_(input.data()), end_(input.data() + input.size()) {}

    ParsedMarkup run() {
        // At each position try escape, then control, then text; stop where none matches.
        while (pos_ < end_) {
            if (*pos_ == '\\') {
                if (!escape()) break;
            } else if (*pos_ == '[') {
                if (!control()) break;
            } else if (*pos_ == ']') {
                break;
            } else {
                const char* run_end = find_text_end(pos_, end_);
                append_text(std::string_view(pos_, static_cast<std::size_t>(run_end - pos_)));
                pos_ = run_end;
            }
        }
        return ParsedMarkup{std::string_view(pos_, static_cast<std::size_t>(end_ - pos_)), std::move(fragments_)};
    }

   private:
    // A backslash followed by a backslash or a bracket stands for that character.
    bool escape() {
        if (end_ - pos_ < 2 || !has_class(pos_[1], TOP_SPECIAL)) return false;
        if (last_is_text()) {
            fragments_.back().string.push_back(pos_[1]);
        } else {
            fragments_.push_back(PromptFragment::char_(static_cast<unsigned char>(pos_[1])));
        }
        pos_ += 2;
        return true;
    }

    // [name], [name|] or [name|opt(sep opt)*] where sep is a run of '#' and ','.
    // A control that does not match as a whole consumes nothing.
    bool control() {
        const char* name_begin = pos_ + 1;
        const char* p = skip_while_not(name_begin, end_, WORD_END);
        if (p == name_begin) return false;
        std::string_view name(name_begin, static_cast<std::size_t>(p - name_begin));

        options_.clear();
        if (p < end_ && *p == '|') {
            ++p;
            const char* option_end = skip_while_not(p, end_, WORD_END);
            if (option_end != p) {
                options_.emplace_back(p, static_cast<std::size_t>(option_end - p));
                p = option_end;
                // 1. a separator run; 2. an option run after it; both or neither.
                for (;;) {
                    const char* next = skip_while(p, end_, SEPARATOR);
                    if (next == p) break;
                    option_end = skip_while_not(next, end_, WORD_END);
                    if (option_end == next) break;
                    options_.emplace_back(next, static_cast<std::size_t>(option_end - next));
                    p = option_end;
                }
            }
        }
        if (p == end_ || *p != ']') return false;

        fragments_.push_back(PromptFragment::control(name, options_));
        pos_ = p + 1;
        return true;
    }

    // Text joins a text fragment just before it; controls are never merged.
    bool last_is_text() const noexcept { return !fragments_.empty() && fragments_.back().is_text(); }

    void append_text(std::string_view text) {
        if (last_is_text()) {
            fragments_.back().string.append(text);
        } else {
            fragments_.push_back(PromptFragment{std::string(text), std::nullopt});
        }
    }

    const char* pos_;                         // current position
    const char* end_;                         // end of the input
    FragmentList fragments_;                  // the result so far
    std::vector<std::string_view> options_;   // options of the control being read, reused
};

}  // namespace

ParsedMarkup parse_markup(std::string_view input) { return Parser(input).run(); }

}  // namespace korvanta
