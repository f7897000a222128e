// A template's content: made from fragments given from Python, or parsed
// from markup (kept when parsing stopped early, for the error that reports it).
#include "binding/template_record.hpp"

#include "binding/fragment_type.hpp"
#include "binding/markup_check.hpp"
#include "core/markup.hpp"
#include "core/render.hpp"

namespace korvanta {

SharedContent make_content(FragmentList fragments) {
    const bool parses = parses_back(fragments);
    const bool ascii = known_ascii(fragments);
    return SharedContent::make(std::move(fragments), parses, ascii);
}

SharedContent parse_content(PyObject* markup) {
    Utf8Text text(markup);
    MadeKeeper keeper(new_object_keeper(text));
    ParsedMarkup parsed = parse_markup(text, keeper.get());
    // An exact str (a copy of a subclass instance), which holds nothing: a
    // subclass instance may hold the template itself, a cycle that traverse
    // would not see.
    Ref unread = parsed.remainder.empty() ? Ref() : check(PyUnicode_FromObject(markup));
    // Every fragment is a slice of the markup, or a copy of slices of it.
    const bool ascii = PyUnicode_IS_ASCII(markup);
    return SharedContent::make(std::move(parsed.fragments), true, ascii, std::move(unread));
}

void check_read_whole(const TemplateContent& content) {
    if (!content.unread_markup) return;
    Arguments arguments{};
    arguments[0] = Ref::borrow(content.unread_markup.get());
    validate(arguments);
}

}  // namespace korvanta
