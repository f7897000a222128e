// The PromptFragment class and the fragment conversions that the template
// classes share: records to new objects, objects to copied records, and the
// parse entry that every Python-facing parse goes through.
#pragma once

#include "fragment/record.hpp"
#include "module/frame.hpp"

namespace korvanta {

struct FragmentObject : Instance<PromptFragment> {
    static constexpr const char* class_name = "PromptFragment";
    static PyTypeObject* type();
};

// Docstring shared by the module function and both static `parse` methods.
extern const char parse_doc[];

FragmentList py_parse_markup(std::string_view text);

// A new str holding the markup text of a fragment or a fragment list.
Ref new_markup_str(const PromptFragment& fragment);
Ref new_markup_str(std::span<const PromptFragment> fragments);

// The body of every `parse`: the bound `template` argument to a list of fragments.
Ref parse_to_list(const Arguments& arguments);

// A new PromptFragment (of exactly that class) taking over `record`.
Ref new_fragment(PromptFragment record);
// A new list of new PromptFragment objects holding copies of `records`.
Ref copy_fragment_list(std::span<const PromptFragment> records);

// A copy of the record of a PromptFragment object, read under shared access.
PromptFragment record_of(PyObject* object);

}  // namespace korvanta
