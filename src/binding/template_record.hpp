// What a PromptTemplate holds (a fragment list plus the caller's tokenizer)
// and what its iterator, PromptFragmentIter, holds; the operations on them
// include this, and the classes' tables (template_type.cpp, iterator_type.cpp)
// include the operations.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <vector>

#include "binding/conversions.hpp"
#include "binding/object_lock.hpp"
#include "binding/shared.hpp"
#include "binding/entry_points.hpp"
#include "core/record.hpp"

namespace korvanta {

// What render() works out once for a content: the controls' names as str, in
// order, and whether every text fragment is ASCII.
struct RenderNames {
    std::vector<Ref> names;  // one per control, in markup order
    bool ascii_text;         // every text fragment is ASCII
};

// A template's fragments with what is worked out from them, never changed
// once published but for `render_names`, a cache made whole and then put in
// place once (threads that made it at once keep the first). An operation
// reads its own copy of a template's handle (object_lock.hpp), and other
// threads may replace the template's content meanwhile.
struct TemplateContent {
    FragmentList fragments;  // the template's content, in markup order
    bool parses_back;        // parsing the escaped markup of `fragments` gives them back (the parser made them)
    bool ascii;              // every byte of the fragments is known to be ASCII
    mutable std::atomic<const RenderNames*> render_names{nullptr};  // made on the first render(); owned
    Ref unread_markup;  // the markup when parsing stopped before its end, for encode() to report; else null

    TemplateContent(FragmentList fragments_, bool parses_back_, bool ascii_, Ref unread_markup_ = Ref()) noexcept
        : fragments(std::move(fragments_)),
          parses_back(parses_back_),
          ascii(ascii_),
          unread_markup(std::move(unread_markup_)) {}
    TemplateContent(const TemplateContent&) = delete;
    TemplateContent& operator=(const TemplateContent&) = delete;
    ~TemplateContent() { delete render_names.load(std::memory_order_relaxed); }
};

using SharedContent = Shared<TemplateContent>;

// A new content made from fragments given from Python, or from parsing a str
// (which keeps the str when parsing stopped before its end).
SharedContent make_content(FragmentList fragments);
SharedContent parse_content(PyObject* markup);

// The content of no fragments (of every template made with no markup, as
// unpickling makes them before their state arrives, and of the tokenizer's
// side that conversations share): one value, made once, shared. It holds no
// Python object, so it may outlive the interpreter.
const SharedContent& empty_content();

// A template whose markup was cut short is refused, by render() and
// encode(), with the MarkupError validate() gives for that markup.
void check_read_whole(const TemplateContent& content);

struct EncodingCache;  // what encode() works out once per template and tokenizer

// Its three handles are read and replaced through object_lock.hpp.
struct TemplateRecord {
    Ref tokenizer;          // the caller's object, stored and handed back; only encode() calls it; empty only after cycle clearing
    SharedContent content;  // never null; replaced whole, never changed in place
    std::shared_ptr<const EncodingCache> encoding;  // for this content and tokenizer, or null; replaced whole

    TemplateRecord(Ref tokenizer_, SharedContent content_) noexcept
        : tokenizer(std::move(tokenizer_)), content(std::move(content_)) {}
    TemplateRecord(TemplateRecord&&) noexcept = default;
    ~TemplateRecord() { tokenizer = Ref(); }  // the tokenizer goes first, then the fragments
};

struct TemplateObject : Instance<TemplateRecord> {
    static constexpr const char* class_name = "PromptTemplate";
    static PyTypeObject* type();
};

struct IteratorRecord {
    SharedContent content;              // the template's content when iter() was called
    std::atomic<std::size_t> next = 0;  // position of the next fragment to hand out; threads may step it at once

    IteratorRecord(SharedContent content_) noexcept : content(std::move(content_)) {}
    IteratorRecord(IteratorRecord&& other) noexcept
        : content(std::move(other.content)), next(other.next.load(std::memory_order_relaxed)) {}
};

struct IteratorObject : Instance<IteratorRecord> {
    static constexpr const char* class_name = "PromptFragmentIter";
    static PyTypeObject* type();
};

}  // namespace korvanta
