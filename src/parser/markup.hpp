// The reader of the template markup: text runs, escapes (\\ \[ \]) and
// controls such as [name|opt1,opt2]. Parsing never rejects its input: it stops
// at the first place that is not well formed and reports what it read so far.
#pragma once

#include <string_view>

#include "fragment/record.hpp"

namespace korvanta {

struct ParsedMarkup {
    std::string_view remainder;  // unconsumed tail, empty when the whole input was read
    FragmentList fragments;      // fragments in markup order, adjacent text merged
};

// One left-to-right pass over UTF-8 text; linear in the input.
ParsedMarkup parse_markup(std::string_view input);

}  // namespace korvanta
