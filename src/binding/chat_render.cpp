// Writing conversations out: with a Jinja chat template (rendered as chat
// templates are written to be rendered) or with one markup per role; and
// finding where each message's content stands in what was written. A
// content is found by rendering: the conversation is rendered once as it is
// and once with each content between two markers of its own; where the two
// agree but for the markers, the markers say where each content stands. A
// template that reads a content (it trims it, or tests it) and so writes
// the marked one otherwise is asked again with that one content replaced by
// a single marker: what stands where the marker stood is the content as the
// template wrote it.
#include <algorithm>
#include <new>

#include "binding/chat.hpp"
#include "binding/statics.hpp"
#include "core/markup.hpp"

namespace korvanta {

namespace {

// ---------------------------------------------------------------- the Jinja environment

constexpr std::string_view tojson_names[] = {"x", "ensure_ascii", "indent", "separators", "sort_keys"};
constexpr Signature tojson_signature{"tojson()", tojson_names, 1};
constexpr std::string_view message_names[] = {"message"};
constexpr Signature raise_signature{"raise_exception()", message_names, 1};
constexpr std::string_view format_names[] = {"format"};
constexpr Signature strftime_signature{"strftime_now()", format_names, 1};

// The tojson filter chat templates are written for: json.dumps, keeping text beyond ASCII as it is.
Ref tojson(const Arguments& arguments) {
    Ref json = check(PyImport_ImportModule("json"));
    Ref dumps = check(PyObject_GetAttrString(json.get(), "dumps"));
    Ref options = check(PyDict_New());
    check_status(PyDict_SetItemString(options.get(), "ensure_ascii", Py_False));
    for (std::size_t i = 1; i < std::size(tojson_names); ++i) {
        if (!arguments[i]) continue;
        check_status(PyDict_SetItemString(options.get(), std::string(tojson_names[i]).c_str(), arguments[i].get()));
    }
    Ref value = check(PyTuple_Pack(1, arguments[0].get()));
    return check(PyObject_Call(dumps.get(), value.get(), options.get()));
}

// raise_exception(message): a template's own refusal, as Jinja's TemplateError.
Ref raise_exception(const Arguments& arguments) {
    Ref exceptions = check(PyImport_ImportModule("jinja2.exceptions"));
    Ref error = check(PyObject_GetAttrString(exceptions.get(), "TemplateError"));
    PyErr_SetObject(error.get(), arguments[0].get());
    throw PythonError{};
}

// strftime_now(format): the time now, as a template writes today's date.
Ref strftime_now(const Arguments& arguments) {
    Ref datetime = check(PyImport_ImportModule("datetime"));
    Ref type = check(PyObject_GetAttrString(datetime.get(), "datetime"));
    Ref now = check(PyObject_CallMethod(type.get(), "now", nullptr));
    return check(PyObject_CallMethod(now.get(), "strftime", "O", arguments[0].get()));
}

PyMethodDef helpers[] = {
    {"tojson", method_pointer(function<tojson_signature, tojson>), fast_call_flags, nullptr},
    {"raise_exception", method_pointer(function<raise_signature, raise_exception>), fast_call_flags, nullptr},
    {"strftime_now", method_pointer(function<strftime_signature, strftime_now>), fast_call_flags, nullptr},
};

// The environment chat templates are written for: sandboxed and immutable,
// blocks trimmed, loop controls, the tojson filter and the two globals above.
PyObject* make_environment() noexcept {
    try {
        Ref sandbox = Ref::steal(PyImport_ImportModule("jinja2.sandbox"));
        if (!sandbox) raise_from_pending(PyExc_ImportError, messages::needs_jinja);
        Ref extensions = check(PyImport_ImportModule("jinja2.ext"));
        Ref loop_controls = check(PyObject_GetAttrString(extensions.get(), "loopcontrols"));
        Ref type = check(PyObject_GetAttrString(sandbox.get(), "ImmutableSandboxedEnvironment"));
        Ref options = check(PyDict_New());
        check_status(PyDict_SetItemString(options.get(), "trim_blocks", Py_True));
        check_status(PyDict_SetItemString(options.get(), "lstrip_blocks", Py_True));
        Ref listed = check(PyList_New(0));
        check_status(PyList_Append(listed.get(), loop_controls.get()));
        check_status(PyDict_SetItemString(options.get(), "extensions", listed.get()));
        Ref none = check(PyTuple_New(0));
        Ref environment = check(PyObject_Call(type.get(), none.get(), options.get()));
        Ref filters = check(PyObject_GetAttrString(environment.get(), "filters"));
        Ref globals = check(PyObject_GetAttrString(environment.get(), "globals"));
        for (PyMethodDef& helper : helpers) {
            Ref function = check(PyCFunction_New(&helper, nullptr));
            PyObject* table = std::string_view(helper.ml_name) == "tojson" ? filters.get() : globals.get();
            check_status(PyObject_SetItem(table, check(PyUnicode_FromString(helper.ml_name)).get(), function.get()));
        }
        return environment.release();
    } catch (const PythonError&) {
        return nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

// A dict of the tokenizer's special tokens by name (bos_token, eos_token, …),
// as chat templates read them, with the caller's variables over them.
Ref template_variables(PyObject* tokenizer, PyObject* chat_template_kwargs) {
    Ref variables = check(PyDict_New());
    if (Ref named = attribute_or_null(tokenizer, "special_tokens_map"); named && PyDict_Check(named.get())) {
        check_status(PyDict_Update(variables.get(), named.get()));
    }
    if (chat_template_kwargs != nullptr && chat_template_kwargs != Py_None) {
        if (!PyDict_Check(chat_template_kwargs)) raise_conversion(chat_template_kwargs, "dict");
        check_status(PyDict_Update(variables.get(), chat_template_kwargs));
    }
    return variables;
}

// One role's markup: text, one field [content], text.
RoleMarkup role_markup(PyObject* role, PyObject* markup) {
    if (!PyUnicode_Check(role) || !PyUnicode_Check(markup)) raise(PyExc_TypeError, messages::roles_not_str);
    const Utf8Text text(markup);
    const ParsedMarkup parsed = parse_markup(text.view());
    RoleMarkup read{std::string(Utf8Text(role).view()), {}, {}};
    std::size_t fields = 0;
    for (const PromptFragment& fragment : parsed.fragments) {
        if (fragment.is_text()) {
            (fields == 0 ? read.before : read.after) += fragment.string.view();
        } else if (fragment.string == "content" && fragment.options.size() == 0) {
            ++fields;
        } else {
            fields = 2;
        }
    }
    if (!parsed.remainder.empty() || fields != 1) {
        PyErr_Format(PyExc_ValueError, messages::role_markup_unusable, role, markup);
        throw PythonError{};
    }
    return read;
}

}  // namespace

std::shared_ptr<const ChatWriting> chat_writing(PyObject* tokenizer, PyObject* source, PyObject* roles,
                                                PyObject* chat_template_kwargs) {
    auto writing = std::make_shared<ChatWriting>();
    if (chat_template_kwargs != nullptr && chat_template_kwargs != Py_None) {
        writing->chat_template_kwargs = Ref::borrow(chat_template_kwargs);
    }
    if (roles != nullptr && roles != Py_None) {
        if (source != nullptr && source != Py_None) raise(PyExc_TypeError, messages::template_and_roles);
        if (!PyDict_Check(roles)) raise_conversion(roles, "dict");
        writing->roles = check(PyDict_Copy(roles));
        Ref items = check(PyDict_Items(writing->roles.get()));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
            PyObject* item = PyList_GET_ITEM(items.get(), i);
            writing->markups.push_back(role_markup(PyTuple_GET_ITEM(item, 0), PyTuple_GET_ITEM(item, 1)));
        }
        return writing;
    }
    if (source == nullptr || source == Py_None) {
        Ref own = attribute_or_null(tokenizer, "chat_template");
        if (!own || !PyUnicode_Check(own.get())) raise(PyExc_ValueError, messages::no_chat_template);
        writing->source = std::move(own);
    } else {
        if (!PyUnicode_Check(source)) raise_conversion(source, "str");
        writing->source = Ref::borrow(source);
    }
    PyObject* environment = lazily(Static::chat_environment, make_environment);
    if (environment == nullptr) throw PythonError{};
    Ref compiled = Ref::steal(PyObject_CallMethod(environment, "from_string", "O", writing->source.get()));
    if (!compiled) {
        if (!ordinary_failure()) throw PythonError{};
        raise_from_pending(PyExc_ValueError, messages::chat_template_unusable);
    }
    writing->compiled = std::move(compiled);
    writing->variables = template_variables(tokenizer, chat_template_kwargs);
    return writing;
}

Conversation read_conversation(PyObject* messages, std::size_t row) {
    Conversation conversation;
    if (PyUnicode_Check(messages) || PyDict_Check(messages)) raise_conversion(messages, "list");
    conversation.messages = Ref::steal(PySequence_List(messages));  // a list of its own, held while read
    if (!conversation.messages) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PythonError{};
        PyErr_Clear();
        raise_conversion(messages, "list");
    }
    PyObject* list = conversation.messages.get();
    for (Py_ssize_t m = 0; m < PyList_GET_SIZE(list); ++m) {
        Ref message = Ref::borrow(PyList_GET_ITEM(list, m));
        Ref role = Ref::steal(PyMapping_GetItemString(message.get(), "role"));
        if (!role || !PyUnicode_Check(role.get())) {
            if (role || PyErr_ExceptionMatches(PyExc_KeyError) || PyErr_ExceptionMatches(PyExc_TypeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_TypeError, messages::bad_message, row, m, message.get());
            }
            throw PythonError{};
        }
        Ref content = Ref::steal(PyMapping_GetItemString(message.get(), "content"));
        if (!content) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw PythonError{};
            PyErr_Clear();
            content = Ref::borrow(Py_None);
        }
        conversation.roles.push_back(std::move(role));
        conversation.contents.push_back(std::move(content));
    }
    return conversation;
}

namespace {

// Markers are code points of the private use plane U+F0000 to U+FFFFD: two per
// message (before and after its content), by its place among those written.
constexpr char32_t first_marker = 0xF0000;
constexpr std::size_t most_marked = (0xFFFFD - first_marker) / 2;

Ref marker_str(std::size_t code) {
    const Py_UCS4 character = static_cast<Py_UCS4>(first_marker + code);
    return check(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, &character, 1));
}

// Whether UTF-8 `text` holds a code point of the markers' plane (its lead
// byte F3, its second B0 to BF).
bool holds_markers(std::string_view text) noexcept {
    for (std::size_t i = text.find('\xF3'); i != std::string_view::npos; i = text.find('\xF3', i + 1)) {
        const auto second = static_cast<unsigned char>(i + 1 < text.size() ? text[i + 1] : 0);
        if (second >= 0xB0 && second <= 0xBF) return true;
    }
    return false;
}

// The text with its markers taken out, and each marker's code and place (in characters).
struct Unmarked {
    std::string text;
    std::vector<std::pair<std::size_t, std::size_t>> markers;  // (code, character position in `text`)
};
Unmarked unmark(std::string_view marked) {
    Unmarked out;
    out.text.reserve(marked.size());
    std::size_t characters = 0;
    for (std::size_t i = 0; i < marked.size();) {
        const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(marked[i + k]); };
        if (byte(0) == 0xF3 && i + 3 < marked.size() && byte(1) >= 0xB0 && byte(1) <= 0xBF) {
            const std::size_t point = ((byte(0) & 0x07u) << 18) | ((byte(1) & 0x3Fu) << 12) |
                                      ((byte(2) & 0x3Fu) << 6) | (byte(3) & 0x3Fu);
            out.markers.emplace_back(point - first_marker, characters);
            i += 4;
            continue;
        }
        if ((byte(0) & 0xC0) != 0x80) ++characters;
        out.text.push_back(marked[i++]);
    }
    return out;
}

// The chat template's text for `messages` (a list).
std::string render_messages(const ChatWriting& writing, PyObject* messages, bool add_generation_prompt) {
    Ref variables = check(PyDict_Copy(writing.variables.get()));
    check_status(PyDict_SetItemString(variables.get(), "messages", messages));
    check_status(PyDict_SetItemString(variables.get(), "add_generation_prompt",
                                      add_generation_prompt ? Py_True : Py_False));
    Ref render = check(PyObject_GetAttrString(writing.compiled.get(), "render"));
    Ref none = check(PyTuple_New(0));
    Ref text = check(PyObject_Call(render.get(), none.get(), variables.get()));
    if (!PyUnicode_Check(text.get())) raise_conversion(text.get(), "str");
    return std::string(Utf8Text(text.get()).view());
}

// A copy of a message with its content replaced.
Ref with_content(PyObject* message, PyObject* content) {
    Ref copy = check(PyDict_New());
    check_status(PyDict_Merge(copy.get(), message, 1));
    check_status(PyDict_SetItemString(copy.get(), "content", content));
    return copy;
}

// The messages written: `kept` of the conversation's, each as it is or as `change` makes it.
template <class Change>
Ref written_messages(const Conversation& conversation, std::span<const std::uint32_t> kept, Change&& change) {
    Ref list = check(PyList_New(0));
    for (std::size_t j = 0; j < kept.size(); ++j) {
        PyObject* message = PyList_GET_ITEM(conversation.messages.get(), kept[j]);
        Ref written = change(j, message);
        check_status(PyList_Append(list.get(), written ? written.get() : message));
    }
    return list;
}

// A content is located when it is text, and not empty (an empty one holds no
// token, and a template may well write nothing for it).
bool locatable(PyObject* content) { return PyUnicode_Check(content) && PyUnicode_GET_LENGTH(content) > 0; }

// Where the contents stand, by the markers of a conversation rendered with
// each content between two: false when a marker has no partner.
bool spans_from_markers(const Unmarked& marked, std::span<const std::uint32_t> kept,
                        std::vector<ContentSpan>& spans) {
    for (std::size_t k = 0; k < marked.markers.size(); ++k) {
        const auto [code, begin] = marked.markers[k];
        if (code % 2 != 0 || code / 2 >= kept.size() || k + 1 == marked.markers.size() ||
            marked.markers[k + 1].first != code + 1) {
            return false;
        }
        spans.push_back({{begin, marked.markers[++k].second}, kept[code / 2]});
    }
    return true;
}

// Where the content of message `j` (of those kept) stands in `text`: the
// conversation rendered with that content replaced by one marker is the text
// but for what stands there. Found, not written (the template leaves the
// message out), or not found.
enum class Located { found, left_out, lost };
Located span_by_one_marker(const ChatWriting& writing, const Conversation& conversation,
                           std::span<const std::uint32_t> kept, std::size_t j, bool add_generation_prompt,
                           std::string_view text, CharSpan& span) {
    Ref marker = marker_str(2 * j);
    Ref messages = written_messages(conversation, kept, [&](std::size_t i, PyObject* message) {
        return i == j ? with_content(message, marker.get()) : Ref();
    });
    const Unmarked marked = unmark(render_messages(writing, messages.get(), add_generation_prompt));
    if (marked.markers.empty() && marked.text == text) return Located::left_out;
    if (marked.markers.size() != 1) return Located::lost;
    const std::size_t before = character_slice(marked.text, {0, marked.markers[0].second}).size();
    const std::string_view head = std::string_view(marked.text).substr(0, before);
    const std::string_view tail = std::string_view(marked.text).substr(before);
    if (text.size() < head.size() + tail.size() || !text.starts_with(head) || !text.ends_with(tail)) {
        return Located::lost;
    }
    span = {marked.markers[0].second, character_count(text.substr(0, text.size() - tail.size()))};
    return Located::found;
}

}  // namespace

std::string write_conversation(const ChatWriting& writing, const Conversation& conversation,
                               std::span<const std::uint32_t> kept, bool add_generation_prompt,
                               std::vector<ContentSpan>* spans, std::size_t row) {
    if (!writing.compiled) {
        // One markup per role: its text, the content, its text.
        std::string text;
        std::size_t characters = 0;
        auto markup_of = [&](PyObject* role) -> const RoleMarkup& {
            const std::string_view name = Utf8Text(role).view();
            for (const RoleMarkup& markup : writing.markups) {
                if (markup.role == name) return markup;
            }
            PyErr_Format(PyExc_ValueError, messages::role_without_markup, row, role, writing.roles.get());
            throw PythonError{};
        };
        for (std::uint32_t m : kept) {
            const RoleMarkup& markup = markup_of(conversation.roles[m].get());
            PyObject* content = conversation.contents[m].get();
            if (!PyUnicode_Check(content)) {
                PyErr_Format(PyExc_TypeError, messages::content_not_str, row, static_cast<std::size_t>(m), content);
                throw PythonError{};
            }
            const Utf8Text value(content);
            text += markup.before;
            characters += character_count(markup.before);
            const std::size_t length = character_count(value.view());
            if (spans) spans->push_back({{characters, characters + length}, m});
            text += value.view();
            text += markup.after;
            characters += length + character_count(markup.after);
        }
        if (add_generation_prompt) {
            Ref assistant = check(PyUnicode_FromString("assistant"));
            text += markup_of(assistant.get()).before;
        }
        return text;
    }
    Ref plain_messages = written_messages(conversation, kept, [](std::size_t, PyObject*) { return Ref(); });
    std::string text = render_messages(writing, plain_messages.get(), add_generation_prompt);
    if (spans == nullptr) return text;
    if (holds_markers(text) || kept.size() > most_marked) {
        PyErr_Format(PyExc_ValueError, messages::markers_in_conversation, row);
        throw PythonError{};
    }
    // 1. Every content between its two markers.
    Ref marked_messages = written_messages(conversation, kept, [&](std::size_t j, PyObject* message) {
        PyObject* content = conversation.contents[kept[j]].get();
        if (!locatable(content)) return Ref();
        Ref marked = check(PyUnicode_Concat(marker_str(2 * j).get(), content));
        marked = check(PyUnicode_Concat(marked.get(), marker_str(2 * j + 1).get()));
        return with_content(message, marked.get());
    });
    const Unmarked marked = unmark(render_messages(writing, marked_messages.get(), add_generation_prompt));
    const std::size_t first = spans->size();
    if (marked.text == text && spans_from_markers(marked, kept, *spans)) return text;
    // 2. The template read a content: each one alone, by one marker.
    spans->resize(first);
    for (std::size_t j = 0; j < kept.size(); ++j) {
        const std::uint32_t m = kept[j];
        if (!locatable(conversation.contents[m].get())) continue;
        CharSpan span;
        const Located located = span_by_one_marker(writing, conversation, kept, j, add_generation_prompt, text, span);
        if (located == Located::found) spans->push_back({span, m});
        if (located != Located::lost) continue;
        PyErr_Format(PyExc_ValueError, messages::content_not_found, row, static_cast<std::size_t>(m));
        throw PythonError{};
    }
    std::sort(spans->begin() + static_cast<std::ptrdiff_t>(first), spans->end(),
              [](const ContentSpan& a, const ContentSpan& b) { return a.span.begin < b.span.begin; });
    for (std::size_t k = first + 1; k < spans->size(); ++k) {
        if ((*spans)[k].span.begin < (*spans)[k - 1].span.end) {
            PyErr_Format(PyExc_ValueError, messages::content_not_found, row, static_cast<std::size_t>((*spans)[k].message));
            throw PythonError{};
        }
    }
    return text;
}

}  // namespace korvanta
