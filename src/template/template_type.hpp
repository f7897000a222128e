// The PromptTemplate class (a fragment list plus the caller's tokenizer) and
// PromptFragmentIter, the iterator that hands out copies of its fragments.
#pragma once

#include <optional>
#include <vector>

#include "fragment/record.hpp"
#include "module/frame.hpp"

namespace korvanta {

struct TemplateRecord {
    Ref tokenizer;             // the caller's object, stored and handed back, never called; empty only after cycle clearing
    FragmentList fragments;    // the template's content, owned alone, in markup order
    bool parses_back = true;   // parsing the escaped markup of `fragments` gives them back (the parser made them)
    std::optional<std::vector<Ref>> names;  // the controls' names as interned str, in order, for render(); made on first need

    // `parsed_fragments`: what the parser made, which parses back.
    TemplateRecord(Ref tokenizer_, FragmentList parsed_fragments) noexcept
        : tokenizer(std::move(tokenizer_)), fragments(std::move(parsed_fragments)) {}
    TemplateRecord(TemplateRecord&&) noexcept = default;
    ~TemplateRecord() { tokenizer = Ref(); }  // the tokenizer goes first, then the fragments

    // The only way the fragments change: what was worked out for the old ones goes with them.
    void replace_fragments(FragmentList replacement, bool parsed) noexcept;
};

struct TemplateObject : Instance<TemplateRecord> {
    static constexpr const char* class_name = "PromptTemplate";
    static PyTypeObject* type();
};

struct IteratorRecord {
    FragmentList fragments;  // the copy taken by iter(); records are moved out as they are handed out
    std::size_t next = 0;    // position of the next record to hand out
};

struct IteratorObject : Instance<IteratorRecord> {
    static constexpr const char* class_name = "PromptFragmentIter";
    static PyTypeObject* type();
};

}  // namespace korvanta
