// The PromptFragment class: one fragment record behind `string` and `options`,
// its markup text, representation and hash, and its pickle state.
#include "binding/fragment_type.hpp"

#include <cstring>

#include "binding/class_tables.hpp"
#include "binding/object_lock.hpp"
#include "binding/pickling.hpp"
#include "binding/statics.hpp"
#include "core/markup.hpp"

namespace korvanta {

const char parse_doc[] =
    "parse(template)\n--\n\n"
    "Parse korvanta template to Fragments\n"
    "\n"
    "Args:\n"
    "    template (:obj:`str`):\n"
    "\n"
    "Returns:\n"
    "    A :obj:`List` of :class:`~prompt.PromptFragment`: The prompt fragments";

namespace {

// New PromptFragment objects made while parsing, put straight into the list
// that parse returns, made with room for about as many as the markup holds,
// grown if more come and cut to those made at the end.
class FragmentObjects {
   public:
    explicit FragmentObjects(std::string_view markup)
        : room_(static_cast<Py_ssize_t>(fragment_count_estimate(markup))),
          list_(check(PyList_New(room_))) {}

    // Takes over a new PromptFragment object whose record `make()` makes in place.
    template <class Make>
    void append(Make& make) {
        Ref object = new_exact_instance<FragmentObject>(type_, make);
        if (made_ < room_) {
            PyList_SET_ITEM(list_.get(), made_++, object.release());
        } else {
            check_status(PyList_Append(list_.get(), object.get()));
            ++made_;
            ++room_;
        }
    }

    // The list of the objects made.
    Ref list() {
        if (made_ < room_) check_status(PyList_SetSlice(list_.get(), made_, room_, nullptr));
        return std::move(list_);
    }

   private:
    PyTypeObject* type_ = FragmentObject::type();  // looked up once a parse
    Py_ssize_t room_;                              // the list's length: its items from made_ on are still empty
    Ref list_;                                     // the list parse returns
    Py_ssize_t made_ = 0;                          // objects made so far, in markup order
};

}  // namespace

Ref new_markup_str(const PromptFragment& fragment) {
    return new_written_str(markup_size(fragment), [&](char* out) { write_markup(fragment, out); });
}

bool known_ascii(std::span<const PromptFragment> fragments) noexcept {
    const TextKeeper* seen = nullptr;  // the one ASCII str's keeper met so far
    auto ascii = [&](const TextKeeper* keeper) {
        if (keeper == nullptr || keeper == seen) return true;
        if (seen != nullptr || !keeps_ascii(keeper)) return false;
        seen = keeper;
        return true;
    };
    for (const PromptFragment& fragment : fragments) {
        if (!ascii(fragment.string.keeper()) || !ascii(fragment.options.keeper())) return false;
    }
    return true;
}

Ref new_markup_str(std::span<const PromptFragment> fragments, TextForm form, bool ascii) {
    const std::size_t size = markup_size(fragments, form);
    // Text without a byte to escape is written as it is, without a second scan.
    if (form == TextForm::escaped && size == markup_size(fragments)) form = TextForm::plain;
    return new_written_str(size, [&](char* out) { write_markup(fragments, out, form); }, ascii);
}

Ref parse_to_list(const Arguments& arguments) {
    Utf8Text text = convert_argument("template", [&] { return Utf8Text(arguments[0].get()); });
    if (text.view().empty()) return check(PyList_New(0));
    MadeKeeper keeper(new_object_keeper(text));
    FragmentObjects objects(text.view());
    RecordSink sink{[&](auto&& make) { objects.append(make); }, keeper.get()};
    parse_markup_into(text.view(), sink);
    return objects.list();
}

Ref new_fragment(PromptFragment record) {
    return new_exact_instance<FragmentObject>(FragmentObject::type(), std::move(record));
}

Ref copy_fragment_list(std::span<const PromptFragment> records) {
    Ref list = check(PyList_New(static_cast<Py_ssize_t>(records.size())));
    for (std::size_t i = 0; i < records.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), new_fragment(records[i]).release());
    }
    return list;
}

OptionList option_list_of(PyObject* value) {
    std::vector<std::string> options =
        sequence_of<std::string>(value, [](PyObject* item) { return std::string(Utf8Text(item).view()); });
    return OptionList(std::span<const std::string>(options));
}

Ref new_option_list(const OptionList& options) {
    Ref list = check(PyList_New(static_cast<Py_ssize_t>(options.size())));
    Py_ssize_t i = 0;
    for (std::string_view option : options) PyList_SET_ITEM(list.get(), i++, new_str(option).release());
    return list;
}

PromptFragment record_of(PyObject* object) {
    FragmentObject& fragment = receiver<FragmentObject>(object);
    ReadAccess access(object);
    return read_held(fragment, fragment.record);
}

namespace {

// ---------------------------------------------------------------- operations

constexpr std::string_view constructor_names[] = {"string", "option"};
constexpr std::string_view template_names[] = {"template"};
constexpr std::string_view state_names[] = {"state"};

constexpr Signature new_signature{"PromptFragment.__new__()", constructor_names, 0};
constexpr Signature parse_signature{"PromptFragment.parse()", template_names, 1};
constexpr Signature getstate_signature{"PromptFragment.__getstate__()", {}, 0};
constexpr Signature setstate_signature{"PromptFragment.__setstate__()", state_names, 1};
constexpr Signature reduce_signature{"PromptFragment.__reduce__()", {}, 0};

bool given(const Ref& argument) noexcept { return argument && argument.get() != Py_None; }

// string: a str or None; option: a list or None, its items str. Both are
// checked before the items of `option` are converted.
Ref fragment_new(PyTypeObject* type, const Arguments& arguments) {
    PromptFragment record;
    if (given(arguments[0])) {
        record.string = convert_argument("string", [&] { return shared_text_of(arguments[0].get()); });
    }
    if (PyObject* option = arguments[1].get(); given(arguments[1])) {
        convert_argument("option", [&] {
            if (!PyList_Check(option)) raise_conversion(option, messages::py_list);
        });
        record.options = option_list_of(option);
    }
    return new_instance<FragmentObject>(type, std::move(record));
}

// The record as one step reads it: the record itself under the interpreter
// lock, a copy where other threads may set it meanwhile.
decltype(auto) current(FragmentObject& self) noexcept { return current_value(self, self.record); }

Ref get_string(FragmentObject& self) {
    const auto& record = current(self);
    return new_str(record.string);
}

// Setters convert the whole value first, then change the record in one step
// that runs no Python code, so other threads see the old value or the new.
void set_string(FragmentObject& self, PyObject* value) {
    SharedText old = replace_held(self, self.record.string, shared_text_of(value));
}

// Making the list may run a collection, and so Python code: the options read
// are a copy.
Ref get_options(FragmentObject& self) {
    OptionList options = read_held(self, self.record.options);
    if (!options.has_value()) return Ref::borrow(Py_None);
    return new_option_list(options);
}

// None makes the fragment a text fragment; any sequence of str a control.
void set_options(FragmentObject& self, PyObject* value) {
    OptionList old = replace_held(self, self.record.options, value == Py_None ? OptionList() : option_list_of(value));
}

// Read from one copy of the record: making the dict may run Python code.
Ref fragment_getstate(FragmentObject& self, const Arguments&) {
    const PromptFragment record = read_held(self, self.record);
    Ref state = check(PyDict_New());
    check_status(PyDict_SetItemString(state.get(), "string", new_str(record.string).get()));
    if (record.options.has_value()) {
        check_status(PyDict_SetItemString(state.get(), "options", new_option_list(record.options).get()));
    }
    return state;
}

// Entries apply one at a time in the dict's order; unknown keys are skipped
// and a failing entry leaves the earlier ones applied. The attributes of a
// subclass instance follow once the fragment is whole and no longer held.
Ref fragment_setstate(FragmentObject& self, const Arguments& arguments, ExclusiveAccess& access) {
    StateParts parts = split_state(arguments[0].get());
    for_each_state_entry(parts.own, [&](std::string_view key, PyObject* value) {
        if (key == "string") {
            set_string(self, value);
        } else if (key == "options") {
            OptionList old = replace_held(self, self.record.options, option_list_of(value));
        }
    });
    access.release();
    restore_attributes(self_of(self), parts);
    return Ref::borrow(Py_None);
}

// Pickling (every protocol) and copying recreate the fragment empty, then
// restore it through __setstate__.
Ref fragment_reduce(FragmentObject& self, const Arguments&) {
    Ref no_arguments = check(PyTuple_New(0));
    return reduce_instance(self_of(self), FragmentObject::type(), no_arguments.get(), nullptr);
}

Ref fragment_str(FragmentObject& self) { return new_markup_str(current(self)); }

Ref fragment_repr(FragmentObject& self) { return new_str(representation(current(self))); }

Py_hash_t fragment_hash(FragmentObject& self) { return to_python_hash(markup_hash(current(self))); }

// ---------------------------------------------------------------- class table

const char fragment_doc[] =
    "PromptFragment(self, string=None, option=None)\n--\n\n"
    "A :obj:`PromptFragment` store template fragments(including string and options).\n"
    "\n"
    "Args:\n"
    "    string (:obj:`str`,`optional`):\n"
    "        The string or mask name will be rendered.\n"
    "    option (:obj:`List[str]`):\n"
    "        The options will be applied to the fragment.";

auto fragment_methods = class_table(
    std::array{static_row<parse_signature, parse_to_list>("parse", parse_doc)},
    pickling_rows<FragmentObject, getstate_signature, fragment_getstate, setstate_signature, fragment_setstate,
                  reduce_signature, fragment_reduce>());

auto fragment_attributes = class_table(std::array{
    attribute_row<FragmentObject, Access::read, get_string, set_string>("string", "the content of the fragment"),
    attribute_row<FragmentObject, Access::shared, get_options, set_options>("options", "the options os the fragment"),
});

PyType_Slot fragment_type_slots[] = {
    {Py_tp_doc, const_cast<char*>(fragment_doc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(instance_dealloc<FragmentObject>)},
    {Py_tp_new, reinterpret_cast<void*>(constructor<new_signature, fragment_new>)},
    {Py_tp_str, reinterpret_cast<void*>(unary_slot<FragmentObject, Access::read, fragment_str>)},
    {Py_tp_repr, reinterpret_cast<void*>(unary_slot<FragmentObject, Access::read, fragment_repr>)},
    {Py_tp_hash, reinterpret_cast<void*>(unary_slot<FragmentObject, Access::read, fragment_hash>)},
    {Py_tp_methods, fragment_methods.data()},
    {Py_tp_getset, fragment_attributes.data()},
    {0, nullptr},
};

PyType_Spec fragment_definition = {
    "korvanta.PromptFragment",
    static_cast<int>(sizeof(FragmentObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    fragment_type_slots,
};

}  // namespace

PyTypeObject* FragmentObject::type() {
    return check_borrowed(class_object(Static::fragment_class, fragment_definition));
}

}  // namespace korvanta
