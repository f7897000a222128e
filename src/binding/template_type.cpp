// The PromptTemplate class: a fragment list and a tokenizer reference, read as
// a sequence of fragments, written back as markup, hashed, pickled and copied.
// It takes part in cyclic garbage collection through its tokenizer.
#include "binding/template_record.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "binding/encode.hpp"
#include "binding/fragment_type.hpp"
#include "binding/markup_check.hpp"
#include "binding/class_tables.hpp"
#include "binding/pickling.hpp"
#include "binding/statics.hpp"
#include "core/inline_vector.hpp"
#include "core/markup.hpp"
#include "core/render.hpp"

namespace korvanta {

const SharedContent& empty_content() {
    static const SharedContent empty = make_content(FragmentList());  // made again should making it throw
    return empty;
}

namespace {

constexpr std::string_view constructor_names[] = {"template", "tokenizer"};
constexpr std::string_view template_names[] = {"template"};
constexpr std::string_view state_names[] = {"state"};

constexpr Signature new_signature{"PromptTemplate.__new__()", constructor_names, 2};
constexpr Signature parse_signature{"PromptTemplate.parse()", template_names, 1};
constexpr Signature getstate_signature{"PromptTemplate.__getstate__()", {}, 0};
constexpr Signature setstate_signature{"PromptTemplate.__setstate__()", state_names, 1};
constexpr Signature reduce_signature{"PromptTemplate.__reduce__()", {}, 0};
constexpr std::string_view render_names[] = {"values"};
constexpr Signature render_signature{"PromptTemplate.render()", render_names, 1};

// template: a str to parse, or None for no fragments; tokenizer: any object.
Ref template_new(PyTypeObject* type, const Arguments& arguments) {
    SharedContent content = arguments[0].get() == Py_None
                                ? empty_content()
                                : convert_argument("template", [&] { return parse_content(arguments[0].get()); });
    return new_instance<TemplateObject>(type, TemplateRecord{Ref::borrow(arguments[1].get()), std::move(content)});
}

Ref get_tokenizer(TemplateObject& self) {
    Ref tokenizer = read_held(self, self.record.tokenizer);
    return tokenizer ? std::move(tokenizer) : Ref::borrow(Py_None);
}

// The tokenizer and the cache made for the old one change in one step. The
// old tokenizer is released while exclusive access is still held, so its
// finalizer finds the template busy rather than half changed.
void set_tokenizer(TemplateObject& self, PyObject* value) {
    Ref old = Ref::borrow(value);
    std::shared_ptr<const EncodingCache> old_cache;
    locked_step(self_of(self), [&] {
        std::swap(self.record.tokenizer, old);
        std::swap(self.record.encoding, old_cache);
    });
}

// Making the list may run a collection, and so Python code: the content read
// is held.
Ref get_fragments(TemplateObject& self) {
    SharedContent content = read_held(self, self.record.content);
    return copy_fragment_list(content->fragments);
}

// Any sequence of PromptFragment objects; the template changes only when all
// of them have been copied, in one step that runs no Python code.
void set_fragments(TemplateObject& self, PyObject* value) {
    SharedContent old = replace_held(self, self.record.content, make_content(sequence_of<PromptFragment>(value, record_of)));
}

Ref markup_str(TemplateObject& self) {
    SharedContent content = read_held(self, self.record.content);
    return new_markup_str(content->fragments, TextForm::plain, content->ascii);
}

// A fragment as the pair (string, options), options None for text.
Ref new_fragment_pair(const PromptFragment& fragment) {
    Ref options = fragment.is_text() ? Ref::borrow(Py_None) : new_option_list(fragment.options);
    return check(PyTuple_Pack(2, new_str(fragment.string).get(), options.get()));
}

// A pair (string, options) as a record: a tuple or list of two, a str and None
// or a sequence of str.
PromptFragment record_of_pair(PyObject* pair) {
    if (!(PyTuple_Check(pair) || PyList_Check(pair)) || PySequence_Fast_GET_SIZE(pair) != 2) {
        raise_conversion(pair, FragmentObject::class_name);
    }
    // Held: converting the options may run Python code that changes a list.
    Ref string = Ref::borrow(PySequence_Fast_GET_ITEM(pair, 0));
    Ref options = Ref::borrow(PySequence_Fast_GET_ITEM(pair, 1));
    PromptFragment record{shared_text_of(string.get()), {}};
    if (options.get() != Py_None) record.options = option_list_of(options.get());
    return record;
}

// "template" holds the markup text with the text fragments escaped, which
// parses back to these very fragments whenever any markup can; otherwise the
// fragments themselves follow as pairs under "fragments".
Ref template_getstate(TemplateObject& self, const Arguments&) {
    SharedContent content = read_held(self, self.record.content);  // making the dict may run Python code
    const FragmentList& fragments = content->fragments;
    Ref state = check(PyDict_New());
    check_status(PyDict_SetItemString(state.get(), "template", new_markup_str(fragments, TextForm::escaped, content->ascii).get()));
    if (!content->parses_back) {
        std::vector<Ref> pairs;
        pairs.reserve(fragments.size());
        for (const PromptFragment& fragment : fragments) pairs.push_back(new_fragment_pair(fragment));
        check_status(PyDict_SetItemString(state.get(), "fragments", list_of(std::move(pairs)).get()));
    }
    return state;
}

// Entries apply in the dict's order: "template" replaces the fragments by the
// parse of its value; "tokenizer" replaces the tokenizer; "fragments", when
// there is one, replaces the fragments after the walk, so it wins; other keys
// are skipped; a failure keeps what came before. The attributes of a subclass
// instance follow once the template is whole and no longer held.
Ref template_setstate(TemplateObject& self, const Arguments& arguments, ExclusiveAccess& access) {
    StateParts parts = split_state(arguments[0].get());
    Ref pairs;
    for_each_state_entry(parts.own, [&](std::string_view key, PyObject* value) {
        if (key == "template") {
            SharedContent old = replace_held(self, self.record.content, parse_content(value));
        } else if (key == "tokenizer") {
            set_tokenizer(self, value);
        } else if (key == "fragments") {
            pairs = Ref::borrow(value);
        }
    });
    if (pairs) {
        SharedContent old =
            replace_held(self, self.record.content, make_content(sequence_of<PromptFragment>(pairs.get(), record_of_pair)));
    }
    access.release();
    restore_attributes(self_of(self), parts);
    return Ref::borrow(Py_None);
}

// Pickling and copying recreate the template without calling __init__, then
// hand it its fragments and its tokenizer through __setstate__: the template
// exists before the tokenizer is rebuilt, so a tokenizer that refers back to
// it (deepcopy, pickle) finds the new template.
Ref template_reduce(TemplateObject& self, const Arguments&) {
    Ref tokenizer;
    SharedContent content;
    {
        ReadAccess access(self_of(self));
        tokenizer = get_tokenizer(self);
        content = read_held(self, self.record.content);
    }
    Ref arguments = check(PyTuple_Pack(1, Py_None));
    return reduce_instance(self_of(self), TemplateObject::type(), arguments.get(), tokenizer.get(),
                           content->unread_markup.get());
}

// The controls' names as str, made once for a content from the first row
// rendered: where that row is a dict with an ASCII str key of the name, the
// key itself, so that rows built with the same key objects (dict literals,
// rows made from one list of column names) are looked up by identity. Making
// them runs no Python code (an exact dict walked, exact str compared), so no
// other call can see them half made. They are not interned: names come from
// the caller's data, and interned strings may live as long as the process
// (from 3.12), or stay counted as references.
const RenderNames& names_for_render(const TemplateContent& content, PyObject* row) {
    if (const RenderNames* made = content.render_names.load(std::memory_order_acquire)) return *made;
    // Names sorted by their text, each with its control's position among the controls.
    std::vector<std::pair<std::string_view, std::size_t>> sorted;
    bool ascii_text = true;
    for (const PromptFragment& fragment : content.fragments) {
        if (fragment.is_text()) {
            ascii_text = ascii_text && (content.ascii || is_ascii(fragment.string.data(), fragment.string.size()));
        } else {
            sorted.emplace_back(fragment.string, sorted.size());
        }
    }
    std::vector<Ref> names(sorted.size());
    std::sort(sorted.begin(), sorted.end());
    if (PyDict_CheckExact(row)) {
        Py_ssize_t position = 0;
        Ref key, value;
        while (next_entry(row, position, key, value)) {
            if (!PyUnicode_CheckExact(key.get()) || !PyUnicode_IS_ASCII(key.get())) continue;
            std::string_view text(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(key.get())),
                                  static_cast<std::size_t>(PyUnicode_GET_LENGTH(key.get())));
            auto match = std::lower_bound(sorted.begin(), sorted.end(), std::pair(text, std::size_t(0)));
            for (; match != sorted.end() && match->first == text; ++match) names[match->second] = Ref::borrow(key.get());
        }
    }
    for (const auto& [text, index] : sorted) {
        if (!names[index]) names[index] = new_str(text);
    }
    auto made = std::make_unique<const RenderNames>(RenderNames{std::move(names), ascii_text});
    const RenderNames* first = nullptr;
    if (content.render_names.compare_exchange_strong(first, made.get(), std::memory_order_acq_rel)) {
        return *made.release();
    }
    return *first;  // another thread's, made meanwhile
}

// The prompt from ASCII values: text and values written into one new str of
// `size` characters, sized in advance.
Ref written_prompt(const FragmentList& fragments, const InlineVector<Ref, 16>& inserted, std::size_t size,
                   bool ascii_text) {
    auto write = [&](char* out) {
        auto value = inserted.elements().begin();
        for (const PromptFragment& fragment : fragments) {
            std::string_view piece = fragment.string;
            if (!fragment.is_text()) {
                PyObject* text = (value++)->get();
                piece = std::string_view(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text)),
                                         static_cast<std::size_t>(PyUnicode_GET_LENGTH(text)));
            }
            std::memcpy(out, piece.data(), piece.size());
            out += piece.size();
        }
    };
    return new_written_str(size, write, ascii_text);
}

// The prompt from values of any kind, lone surrogates included, which keep
// exactly what they hold: the pieces joined as str objects.
Ref joined_prompt(const FragmentList& fragments, InlineVector<Ref, 16>& inserted) {
    Ref pieces = check(PyList_New(static_cast<Py_ssize_t>(fragments.size())));
    auto value = inserted.elements().begin();
    for (std::size_t i = 0; i < fragments.size(); ++i) {
        Ref piece = fragments[i].is_text() ? new_str(fragments[i].string) : std::move(*value++);
        PyList_SET_ITEM(pieces.get(), static_cast<Py_ssize_t>(i), piece.release());
    }
    Ref empty = check(PyUnicode_New(0, 0));
    return check(PyUnicode_Join(empty.get(), pieces.get()));
}

// The prompt: text fragments as they are, each control (with or without
// options) replaced by str(values[name]), verbatim. Each name is looked up once,
// in order, under shared access, so a lookup cannot change the template from
// this thread; the content read is held, should another thread replace it.
// 1. look the controls up and keep the str of each value;
// 2. when every value is ASCII, write text and values into one new str sized
//    in advance; otherwise join the pieces as str objects.
Ref template_render(TemplateObject& self, const Arguments& arguments) {
    PyObject* values = arguments[0].get();
    SharedContent content = read_held(self, self.record.content);
    check_read_whole(*content);
    const FragmentList& fragments = content->fragments;
    const RenderNames& known = names_for_render(*content, values);
    auto name = known.names.begin();
    InlineVector<Ref, 16> inserted;
    std::size_t size = 0;
    bool ascii_values = true;
    for (const PromptFragment& fragment : fragments) {
        if (fragment.is_text()) {
            size += fragment.string.size();
            continue;
        }
        PyObject* key = (name++)->get();
        Ref value = check(PyObject_GetItem(values, key));
        if (value.get() == Py_None) {
            PyErr_Format(PyExc_TypeError, messages::none_value, key);
            throw PythonError{};
        }
        Ref text = check(PyObject_Str(value.get()));
        if (PyUnicode_IS_ASCII(text.get())) {
            size += static_cast<std::size_t>(PyUnicode_GET_LENGTH(text.get()));
        } else {
            ascii_values = false;
        }
        inserted.push_back(std::move(text));
    }
    return ascii_values ? written_prompt(fragments, inserted, size, known.ascii_text) : joined_prompt(fragments, inserted);
}

Py_ssize_t template_length(TemplateObject& self) {
    return static_cast<Py_ssize_t>(read_held(self, self.record.content)->fragments.size());
}

// Non-negative integers (and __index__ objects) below the length.
Ref template_subscript(TemplateObject& self, PyObject* key) {
    Ref index_object = check(PyNumber_Index(key));
    unsigned long long index = PyLong_AsUnsignedLongLong(index_object.get());
    if (index == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonError{};
    // Read after __index__ ran, as the template is now; copying the fragment
    // runs no Python code.
    const SharedContent content = read_held(self, self.record.content);
    const FragmentList& fragments = content->fragments;
    if (index >= fragments.size()) {
        PyErr_Format(PyExc_IndexError, messages::index_out_of_bounds, fragments.size(), index);
        throw PythonError{};
    }
    return new_fragment(fragments[index]);
}

// The sequence item operation, which makes templates pass the interpreter's
// sequence check: the C index as a Python int, through the subscript.
PyObject* template_item(PyObject* self, Py_ssize_t index) {
    return call_frame([&]() -> PyObject* {
        Ref key = check(PyLong_FromSsize_t(index));
        return check(PyObject_GetItem(self, key.get())).release();
    });
}

Ref template_iter(TemplateObject& self) {
    return new_exact_instance<IteratorObject>(IteratorObject::type(), IteratorRecord{read_held(self, self.record.content)});
}

Py_hash_t template_hash(TemplateObject& self) {
    return to_python_hash(markup_hash(read_held(self, self.record.content)->fragments));
}

// Releasing a template can release a chain of templates that hold each other
// as tokenizers; the interpreter's trashcan keeps that from exhausting the stack.
void template_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, template_dealloc)
    instance_dealloc<TemplateObject>(self);
    Py_TRASHCAN_END
}

int template_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    const TemplateRecord& record = reinterpret_cast<TemplateObject*>(self)->record;
    Py_VISIT(record.tokenizer.get());
    if (std::shared_ptr<const EncodingCache> cache = record.encoding) return visit_encoding_cache(*cache, visit, arg);
    return 0;
}

int template_clear(PyObject* self) noexcept {
    reinterpret_cast<TemplateObject*>(self)->record.encoding.reset();
    reinterpret_cast<TemplateObject*>(self)->record.tokenizer = Ref();
    return 0;
}

// ---------------------------------------------------------------- class table

const char template_doc[] =
    "PromptTemplate(self, template, tokenizer)\n--\n\n"
    "A :obj:`PromptTemplate` works as a pipeline. It processes some raw text :obj:`Dict[str, str]`\n"
    "as input and outputs an :obj:`Dict[str, int]` for language models.\n"
    "\n"
    "Args:\n"
    "    template (:obj:`str`):\n"
    "        The korvanta template to render the raw texts.\n";

const char render_doc[] =
    "render($self, /, values)\n--\n\n"
    "Fill the template from a mapping: the text as it is, and str(values[name]) for every control.\n"
    "\n"
    "values is any object with __getitem__ (a dict, a Mapping, a dict subclass with __missing__);\n"
    "its values are inserted verbatim, so the result is the finished prompt, not markup.";


auto template_methods = class_table(
    std::array{static_row<parse_signature, parse_to_list>("parse", parse_doc)},
    pickling_rows<TemplateObject, getstate_signature, template_getstate, setstate_signature, template_setstate,
                  reduce_signature, template_reduce>(),
    std::array{
        method_row<TemplateObject, Access::shared, render_signature, template_render>("render", render_doc),
        method_row<TemplateObject, Access::shared, encode_signature, template_encode>("encode", encode_doc),
        method_row<TemplateObject, Access::shared, encode_batch_signature, template_encode_batch>("encode_batch",
                                                                                                  encode_batch_doc),
        method_row<TemplateObject, Access::shared, label_ids_signature, template_label_ids>("label_ids",
                                                                                            label_ids_doc),
        // PromptTemplate[Tokenizer], as type checkers read it: a template is generic in its tokenizer's type.
        PyMethodDef{"__class_getitem__", Py_GenericAlias, METH_O | METH_CLASS, "See PEP 585"},
    });

auto template_attributes = class_table(std::array{
    attribute_row<TemplateObject, Access::read, get_tokenizer, set_tokenizer>("tokenizer", "the tokenizer for processing"),
    attribute_row<TemplateObject, Access::shared, get_fragments, set_fragments>(
        "fragments", "the fragments of the processed template"),
    attribute_row<TemplateObject, Access::shared, template_fields>(
        "fields", "the names of the controls without options, filled from a row, in order, each once"),
    attribute_row<TemplateObject, Access::shared, template_slots>(
        "slots", "the names of the controls with options (label words), in order, each once"),
});

PyType_Slot template_type_slots[] = {
    {Py_tp_doc, const_cast<char*>(template_doc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(template_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(template_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(template_clear)},
    {Py_tp_new, reinterpret_cast<void*>(constructor<new_signature, template_new>)},
    {Py_tp_str, reinterpret_cast<void*>(unary_slot<TemplateObject, Access::read, markup_str>)},
    {Py_tp_repr, reinterpret_cast<void*>(unary_slot<TemplateObject, Access::read, markup_str>)},
    {Py_tp_hash, reinterpret_cast<void*>(unary_slot<TemplateObject, Access::read, template_hash>)},
    {Py_tp_iter, reinterpret_cast<void*>(unary_slot<TemplateObject, Access::read, template_iter>)},
    {Py_mp_length, reinterpret_cast<void*>(unary_slot<TemplateObject, Access::read, template_length>)},
    {Py_mp_subscript, reinterpret_cast<void*>(binary_slot<TemplateObject, Access::shared, template_subscript>)},
    {Py_sq_item, reinterpret_cast<void*>(template_item)},
    {Py_tp_methods, template_methods.data()},
    {Py_tp_getset, template_attributes.data()},
    {0, nullptr},
};

PyType_Spec template_definition = {
    "korvanta.PromptTemplate",
    static_cast<int>(sizeof(TemplateObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    template_type_slots,
};

}  // namespace

PyTypeObject* TemplateObject::type() {
    return check_borrowed(class_object(Static::template_class, template_definition));
}

}  // namespace korvanta
