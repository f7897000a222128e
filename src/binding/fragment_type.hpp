// The PromptFragment class and the fragment conversions that the template
// classes share: records to new objects, objects to copied records, and the
// parse entry that every Python-facing parse goes through.
#pragma once

#include "binding/conversions.hpp"
#include "binding/entry_points.hpp"
#include "binding/statics.hpp"
#include "core/markup.hpp"
#include "core/record.hpp"
#include "core/render.hpp"

namespace korvanta {

struct FragmentObject : Instance<PromptFragment> {
    static constexpr const char* class_name = "PromptFragment";
    static PyTypeObject* type();
    static PyTypeObject* made_type() noexcept {
        return reinterpret_cast<PyTypeObject*>(static_slot(Static::fragment_class));
    }
    static inline ReleasedInstances<256> released;  // parsing short templates reuses their memory
};

// Docstring shared by the module function and both static `parse` methods.
extern const char parse_doc[];

// A new str of the UTF-8 text that `write(char* out)` writes, `size` bytes:
// written straight into a new ASCII str, then (unless it is known to be
// ASCII) checked for ASCII while still in cache; other text is decoded from
// that buffer instead.
template <class Write>
Ref new_written_str(std::size_t size, Write&& write, bool known_ascii = false) {
    Ref text = check(PyUnicode_New(static_cast<Py_ssize_t>(size), 127));
    char* data = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text.get()));
    write(data);
    if (known_ascii || is_ascii(data, size)) return text;
    return new_str(std::string_view(data, size));
}

// A new str holding the markup text of a fragment or a fragment list.
Ref new_markup_str(const PromptFragment& fragment);
// `ascii`: every byte of the fragments is known to be ASCII (see known_ascii).
Ref new_markup_str(std::span<const PromptFragment> fragments, TextForm form = TextForm::plain, bool ascii = false);

// Whether the fragments' bytes are all ASCII without looking at them: they
// view one ASCII str (as those parsed from one do), or none.
bool known_ascii(std::span<const PromptFragment> fragments) noexcept;

// Any sequence of str as a present option list, and an option list as a new list of str.
OptionList option_list_of(PyObject* value);
Ref new_option_list(const OptionList& options);

// The body of every `parse`: the bound `template` argument to a list of fragments.
Ref parse_to_list(const Arguments& arguments);

// A new PromptFragment (of exactly that class) taking over `record`.
Ref new_fragment(PromptFragment record);
// A new list of new PromptFragment objects holding copies of `records`.
Ref copy_fragment_list(std::span<const PromptFragment> records);

// A copy of the record of a PromptFragment object, read under read access
// (which only this thread's writes can refuse).
PromptFragment record_of(PyObject* object);

}  // namespace korvanta
