// Writing conversations out: with a Jinja chat template (rendered in a
// sandbox, as chat templates are written to be rendered) or with one markup
// per role; and finding where each message stands in what was written. A
// content is found by rendering: the conversation is rendered once as it is
// and once with each content between two markers of its own; where the two
// agree but for the markers, the markers say where each content stands. A
// message's whole turn (its reasoning and tool calls too), or a content the
// template reads (it trims it, or tests it) and so writes otherwise when
// marked, is found by rendering the conversation with such messages bare,
// each content a single marker: what stands in the text where a marker
// stands is what the template wrote for that message (all such messages in
// one rendering where it lines up with the text one way only, else each in
// a rendering of its own).
#include <algorithm>
#include <charconv>
#include <new>
#include <string>

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

// What the sandbox adds to jinja2's own, in Python: a namespace() that stores
// no name starting with '_', and the {% generation %} block, written between
// the two markers of a tagged block.
constexpr char sandbox_source[] = R"(
from jinja2 import nodes
from jinja2.exceptions import SecurityError
from jinja2.ext import Extension
from jinja2.utils import Namespace


class ChatNamespace(Namespace):
    def __setitem__(self, name, value):
        if str(name).startswith("_"):
            raise SecurityError(REFUSED % (name,))
        super().__setitem__(name, value)


class GenerationBlocks(Extension):
    tags = {"generation"}

    def parse(self, parser):
        line = next(parser.stream).lineno
        body = parser.parse_statements(("name:endgeneration",), drop_needle=True)
        return [nodes.Output([nodes.TemplateData(OPEN)]).set_lineno(line), *body,
                nodes.Output([nodes.TemplateData(CLOSE)]).set_lineno(line)]
)";

// Older jinja2 releases let a template reach outside the sandbox (str.format through attr()).
constexpr int safe_jinja[] = {3, 1, 6};

void require_safe_jinja() {
    Ref jinja = Ref::steal(PyImport_ImportModule("jinja2"));
    if (!jinja) raise_from_pending(PyExc_ImportError, messages::needs_jinja);
    Ref version = check(PyObject_GetAttrString(jinja.get(), "__version__"));
    if (!PyUnicode_Check(version.get())) raise_conversion(version.get(), "str");
    const std::string_view text = Utf8Text(version.get()).view();
    int parts[3] = {0, 0, 0};
    const char* at = text.data();
    const char* end = text.data() + text.size();
    for (int& part : parts) {
        at = std::from_chars(at, end, part).ptr;
        if (at == end || *at != '.') break;
        ++at;
    }
    if (std::lexicographical_compare(std::begin(parts), std::end(parts), std::begin(safe_jinja), std::end(safe_jinja))) {
        PyErr_Format(PyExc_ImportError, messages::unsafe_jinja, version.get());
        throw PythonError{};
    }
}

Ref marker_str(std::size_t code) {
    const Py_UCS4 character = static_cast<Py_UCS4>(first_marker + code);
    return check(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, &character, 1));
}

// The environment chat templates are written for: sandboxed and immutable,
// blocks trimmed, loop controls and generation blocks, the tojson filter,
// the two globals above and a namespace() that stores nothing private.
PyObject* make_environment() noexcept {
    try {
        require_safe_jinja();
        Ref sandbox = check(PyImport_ImportModule("jinja2.sandbox"));
        Ref extensions = check(PyImport_ImportModule("jinja2.ext"));
        Ref loop_controls = check(PyObject_GetAttrString(extensions.get(), "loopcontrols"));
        Ref added = check(PyDict_New());
        check_status(PyDict_SetItemString(added.get(), "__builtins__", PyEval_GetBuiltins()));
        check_status(PyDict_SetItemString(added.get(), "__name__", check(PyUnicode_FromString("korvanta")).get()));
        check_status(PyDict_SetItemString(added.get(), "REFUSED",
                                          check(PyUnicode_FromString(messages::namespace_private)).get()));
        check_status(PyDict_SetItemString(added.get(), "OPEN", marker_str(open_tagged).get()));
        check_status(PyDict_SetItemString(added.get(), "CLOSE", marker_str(close_tagged).get()));
        check(PyRun_String(sandbox_source, Py_file_input, added.get(), added.get()));
        Ref type = check(PyObject_GetAttrString(sandbox.get(), "ImmutableSandboxedEnvironment"));
        Ref options = check(PyDict_New());
        check_status(PyDict_SetItemString(options.get(), "trim_blocks", Py_True));
        check_status(PyDict_SetItemString(options.get(), "lstrip_blocks", Py_True));
        Ref listed = check(PyList_New(0));
        check_status(PyList_Append(listed.get(), loop_controls.get()));
        check_status(PyList_Append(listed.get(), check(PyMapping_GetItemString(added.get(), "GenerationBlocks")).get()));
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
        check_status(PyObject_SetItem(globals.get(), check(PyUnicode_FromString("namespace")).get(),
                                      check(PyMapping_GetItemString(added.get(), "ChatNamespace")).get()));
        return environment.release();
    } catch (const PythonError&) {
        return nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

// What a template may write differently for the same input: the date, a random pick, random words.
constexpr std::string_view impure_names[] = {"strftime_now", "random", "lipsum"};

// Whether a chat template's source holds a {% generation %} block.
bool writes_generation_blocks(std::string_view source) noexcept {
    for (std::size_t at = source.find("generation"); at != std::string_view::npos;
         at = source.find("generation", at + 1)) {
        std::size_t before = at;
        while (before > 0 && (source[before - 1] == ' ' || source[before - 1] == '-' || source[before - 1] == '+')) {
            --before;
        }
        if (before >= 2 && source.substr(before - 2, 2) == "{%") return true;
    }
    return false;
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
    PyObject* environment = lazily(Kept::chat_environment, make_environment);
    if (environment == nullptr) throw PythonError{};
    Ref compiled = Ref::steal(PyObject_CallMethod(environment, "from_string", "O", writing->source.get()));
    if (!compiled) {
        if (!ordinary_failure()) throw PythonError{};
        raise_from_pending(PyExc_ValueError, messages::chat_template_unusable);
    }
    writing->compiled = std::move(compiled);
    writing->variables = template_variables(tokenizer, chat_template_kwargs);
    const std::string_view source_text = Utf8Text(writing->source.get()).view();
    writing->tagged = writes_generation_blocks(source_text);
    writing->pure = std::ranges::none_of(
        impure_names, [&](std::string_view name) { return source_text.find(name) != std::string_view::npos; });
    return writing;
}

ChatInputs chat_inputs(const ChatWriting& writing, PyObject* others, bool add_generation_prompt,
                       bool continue_final) {
    if (add_generation_prompt && continue_final) raise(PyExc_ValueError, messages::prompt_and_continue);
    ChatInputs inputs{Ref(), add_generation_prompt, continue_final, {}, others != nullptr, {}};
    if (writing.variables) {
        inputs.variables = check(PyDict_Copy(writing.variables.get()));
        if (others != nullptr) check_status(PyDict_Update(inputs.variables.get(), others));
    }
    return inputs;
}

namespace {

// The value under `key` in `dict` (borrowed), or null; a failure to look raises.
PyObject* item_of(PyObject* dict, const char* key) {
    Ref name = check(PyUnicode_FromString(key));
    PyObject* value = PyDict_GetItemWithError(dict, name.get());
    if (value == nullptr && PyErr_Occurred()) throw PythonError{};
    return value;
}

// The keys a message's own turn is written from besides its content.
constexpr const char* turn_keys[] = {"tool_calls", "reasoning_content", "reasoning", "thinking"};

// A message as the template reads it: a dict of its own (no other thread
// changes it while it is read), without the keys whose value is None.
Ref readable_message(PyObject* message) {
    Ref copy = check(PyDict_New());
    check_status(PyDict_Merge(copy.get(), message, 1));
    Ref keys = check(PyDict_Keys(copy.get()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
        PyObject* name = PyList_GET_ITEM(keys.get(), i);
        PyObject* value = PyDict_GetItemWithError(copy.get(), name);
        if (value == nullptr && PyErr_Occurred()) throw PythonError{};
        if (value == Py_None) check_status(PyDict_DelItem(copy.get(), name));
    }
    return copy;
}

}  // namespace

Conversation read_conversation(PyObject* messages, std::size_t row) {
    Conversation conversation;
    if (PyUnicode_Check(messages) || PyDict_Check(messages)) raise_conversion(messages, "list");
    Ref given = Ref::steal(PySequence_List(messages));  // a list of its own, held while read
    if (!given) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PythonError{};
        PyErr_Clear();
        raise_conversion(messages, "list");
    }
    conversation.messages = check(PyList_New(0));
    for (Py_ssize_t m = 0; m < PyList_GET_SIZE(given.get()); ++m) {
        Ref message = Ref::borrow(PyList_GET_ITEM(given.get(), m));
        Ref role = Ref::steal(PyMapping_GetItemString(message.get(), "role"));
        if (!role || !PyUnicode_Check(role.get())) {
            if (role || PyErr_ExceptionMatches(PyExc_KeyError) || PyErr_ExceptionMatches(PyExc_TypeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_TypeError, messages::bad_message, row, m, message.get());
            }
            throw PythonError{};
        }
        Ref readable = readable_message(message.get());
        Ref content = Ref::borrow(item_of(readable.get(), "content"));
        if (!content) content = Ref::borrow(Py_None);
        bool more = false;
        Py_ssize_t known_keys = 1 + (content.get() != Py_None);  // role, content
        for (const char* key : turn_keys) {
            const bool held = item_of(readable.get(), key) != nullptr;
            more = more || held;
            known_keys += held;
        }
        conversation.plain.push_back(PyDict_GET_SIZE(readable.get()) == known_keys);
        check_status(PyList_Append(conversation.messages.get(), readable.get()));
        conversation.roles.push_back(std::move(role));
        conversation.contents.push_back(std::move(content));
        conversation.writes_more.push_back(more);
    }
    return conversation;
}

namespace {

// The chat template's text for `messages` (a list), markers and all.
std::string render_messages(const ChatWriting& writing, const ChatInputs& inputs, const Conversation& conversation,
                            PyObject* messages) {
    Ref variables = check(PyDict_Copy(inputs.variables.get()));
    if (conversation.variables) check_status(PyDict_Update(variables.get(), conversation.variables.get()));
    check_status(PyDict_SetItemString(variables.get(), "messages", messages));
    check_status(PyDict_SetItemString(variables.get(), "add_generation_prompt",
                                      inputs.add_generation_prompt ? Py_True : Py_False));
    Ref render = check(PyObject_GetAttrString(writing.compiled.get(), "render"));
    Ref none = check(PyTuple_New(0));
    Ref text = check(PyObject_Call(render.get(), none.get(), variables.get()));
    if (!PyUnicode_Check(text.get())) raise_conversion(text.get(), "str");
    return std::string(Utf8Text(text.get()).view());
}

// A copy of a message with its content replaced, and without the keys of its turn when `bare`.
Ref with_content(PyObject* message, PyObject* content, bool bare = false) {
    Ref copy = check(PyDict_New());
    check_status(PyDict_Merge(copy.get(), message, 1));
    check_status(PyDict_SetItemString(copy.get(), "content", content));
    for (const char* key : turn_keys) {
        if (bare && PyDict_DelItemString(copy.get(), key) < 0) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw PythonError{};
            PyErr_Clear();
        }
    }
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

// A content is marked when it is text, and not empty (an empty one holds no
// token, and a template may well write nothing for it).
bool markable(PyObject* content) { return PyUnicode_Check(content) && PyUnicode_GET_LENGTH(content) > 0; }

// Where message `j` (of those kept) stands in `text`: the conversation
// written with that message bare, its content one marker, is the text but
// for what stands there. Found, not written (the template leaves the
// message out), or written more than once.
enum class Located { found, left_out, lost };
Located span_of_message(const ChatWriting& writing, const ChatInputs& inputs, const Conversation& conversation,
                        std::span<const std::uint32_t> kept, std::size_t j, std::string_view text, CharSpan& span) {
    Ref marker = marker_str(2 * (j % most_marked));
    Ref messages = written_messages(conversation, kept, [&](std::size_t i, PyObject* message) {
        return i == j ? with_content(message, marker.get(), true) : Ref();
    });
    const Unmarked marked = unmark(render_messages(writing, inputs, conversation, messages.get()));
    if (marked.markers.size() > 1) return Located::lost;
    if (marked.markers.empty() && marked.text == text) return Located::left_out;
    if (marked.markers.empty()) {  // the content is not written, but something else of the message is
        span = changed_span(text, marked.text, marked.text);
        return Located::found;
    }
    const std::size_t before = character_slice(marked.text, {0, marked.markers[0].second}).size();
    span = changed_span(text, std::string_view(marked.text).substr(0, before),
                        std::string_view(marked.text).substr(before));
    return Located::found;
}

// The text the model was left to go on with: where the last message's
// content ends, found as transformers finds it (a tag after the content,
// else the content's last appearance), in characters.
constexpr char continue_tag[] = "CONTINUE_FINAL_MESSAGE_TAG ";
std::size_t open_end(const ChatWriting& writing, const ChatInputs& inputs, const Conversation& conversation,
                     std::span<const std::uint32_t> kept, std::string_view text, std::size_t row) {
    const std::uint32_t last = kept.empty() ? 0 : kept.back();
    PyObject* content = kept.empty() ? Py_None : conversation.contents[last].get();
    Ref tag = check(PyUnicode_FromString(continue_tag));
    Ref tagged;
    if (PyUnicode_Check(content)) {
        tagged = check(PyUnicode_Concat(content, tag.get()));
    } else if (PyList_Check(content)) {  // parts: the tag goes after the last text part
        tagged = check(PySequence_List(content));
        for (Py_ssize_t i = PyList_GET_SIZE(tagged.get()); i-- > 0;) {
            PyObject* part = PyList_GET_ITEM(tagged.get(), i);
            PyObject* type = PyDict_Check(part) ? item_of(part, "type") : nullptr;
            PyObject* words = PyDict_Check(part) ? item_of(part, "text") : nullptr;
            if (type == nullptr || !PyUnicode_Check(type) || PyUnicode_CompareWithASCIIString(type, "text") != 0 ||
                words == nullptr || !PyUnicode_Check(words)) {
                continue;
            }
            Ref copy = check(PyDict_Copy(part));
            check_status(PyDict_SetItemString(copy.get(), "text", check(PyUnicode_Concat(words, tag.get())).get()));
            check_status(PyList_SetItem(tagged.get(), i, copy.release()));
            break;
        }
    }
    if (tagged) {
        Ref messages = written_messages(conversation, kept, [&](std::size_t i, PyObject* message) {
            return i + 1 == kept.size() ? with_content(message, tagged.get()) : Ref();
        });
        const std::string written = unmark(render_messages(writing, inputs, conversation, messages.get())).text;
        const std::size_t at = written.find(continue_tag);
        if (at != std::string::npos && at <= text.size() && text.substr(0, at) == std::string_view(written).substr(0, at)) {
            return character_count(text.substr(0, at));
        }
    }
    if (PyUnicode_Check(content)) {
        std::string_view words = Utf8Text(content).view();
        const std::size_t first = words.find_first_not_of(" \t\n\r\f\v");
        words = first == std::string_view::npos ? std::string_view() : words.substr(first);
        words = words.substr(0, words.find_last_not_of(" \t\n\r\f\v") + 1);
        const std::size_t at = text.rfind(words);
        if (at != std::string_view::npos) return character_count(text.substr(0, at + words.size()));
    }
    PyErr_Format(PyExc_ValueError, messages::final_message_not_found, row);
    throw PythonError{};
}

// One markup per role: its text, the content, its text.
std::string write_with_markups(const ChatWriting& writing, const ChatInputs& inputs, const Conversation& conversation,
                               std::span<const std::uint32_t> kept, WrittenSpans* spans, std::size_t row) {
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
    for (std::size_t j = 0; j < kept.size(); ++j) {
        const std::uint32_t m = kept[j];
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
        if (spans) spans->pieces.push_back({{characters, characters + length}, m, {}});
        text += value.view();
        if (inputs.continue_final && j + 1 == kept.size()) return text;
        text += markup.after;
        characters += length + character_count(markup.after);
    }
    if (inputs.add_generation_prompt) {
        Ref assistant = check(PyUnicode_FromString("assistant"));
        text += markup_of(assistant.get()).before;
    }
    return text;
}

}  // namespace

void learn_header(const ChatWriting& writing, ChatInputs& inputs) {
    if (!writing.compiled) return;
    Conversation asking;
    asking.messages = check(PyList_New(0));
    Ref message = check(PyDict_New());
    check_status(PyDict_SetItemString(message.get(), "role", check(PyUnicode_FromString("user")).get()));
    check_status(PyDict_SetItemString(message.get(), "content", marker_str(0).get()));
    check_status(PyList_Append(asking.messages.get(), message.get()));
    ChatInputs plain{Ref::borrow(inputs.variables.get()), false, false, {}, inputs.own_variables, {}};
    ChatInputs prompted{Ref::borrow(inputs.variables.get()), true, false, {}, inputs.own_variables, {}};
    try {
        const std::string without = unmark(render_messages(writing, plain, asking, asking.messages.get())).text;
        const std::string with = unmark(render_messages(writing, prompted, asking, asking.messages.get())).text;
        if (with.starts_with(without)) inputs.header = with.substr(without.size());
    } catch (const PythonError&) {
        clear_ordinary_failure();  // a template that cannot write it says nothing of its turns
    }
}

namespace {

// The text as the template writes the messages `kept`, and its tagged
// blocks; refused where a conversation holds the markers' characters itself.
Unmarked write_plainly(const ChatWriting& writing, const ChatInputs& inputs, const Conversation& conversation,
                       std::span<const std::uint32_t> kept, std::size_t row) {
    Ref messages = written_messages(conversation, kept, [](std::size_t, PyObject*) { return Ref(); });
    std::string raw = render_messages(writing, inputs, conversation, messages.get());
    if (!holds_markers(raw)) return Unmarked{std::move(raw), {}, {}, true};
    Unmarked plain = unmark(raw);
    if (!plain.markers.empty() || !plain.tags_paired || !writing.tagged) {
        PyErr_Format(PyExc_ValueError, messages::markers_in_conversation, row);
        throw PythonError{};
    }
    return plain;
}

// The contents found between their two markers, in one rendering (per place
// in `kept`: found): those whose markers the template kept together, where
// what it wrote is `text` but for the markers, or every content, where it
// differs only by contents trimmed; none otherwise.
std::vector<std::uint8_t> locate_by_markers(const ChatWriting& writing, const ChatInputs& inputs,
                                            const Conversation& conversation, std::span<const std::uint32_t> kept,
                                            std::string_view text, std::vector<ContentSpan>& pieces) {
    std::vector<std::uint8_t> found(kept.size(), 0);
    bool marked_any = false;
    Ref messages = written_messages(conversation, kept, [&](std::size_t j, PyObject* message) {
        PyObject* content = conversation.contents[kept[j]].get();
        if (!markable(content)) return Ref();
        marked_any = true;
        const std::size_t code = 2 * (j % most_marked);
        Ref marked = check(PyUnicode_Concat(marker_str(code).get(), content));
        marked = check(PyUnicode_Concat(marked.get(), marker_str(code + 1).get()));
        return with_content(message, marked.get());
    });
    if (!marked_any) return found;
    const Unmarked marked = unmark(render_messages(writing, inputs, conversation, messages.get()));
    if (marked.text == text && spans_from_markers(marked, kept, pieces, &found)) return found;
    pieces.clear();
    found.assign(kept.size(), 0);
    // A template that trims its contents wrote them trimmed: lined up in the same rendering.
    if (spans_of_trimmed_contents(marked, text, kept, pieces)) {
        for (const ContentSpan& piece : pieces) {
            for (std::size_t j = 0; j < kept.size(); ++j) found[j] = found[j] || kept[j] == piece.message;
        }
        return found;
    }
    pieces.clear();
    return found;
}

// Message `m` found at `span` (its turn, or its content written otherwise):
// a special token spelled there is its own (read as text) where the markers
// found its content, or anywhere in the span where they did not; nowhere for
// a message without text (a tool call alone): the template wrote it.
void place_alone(const Conversation& conversation, std::uint32_t m, CharSpan span, std::vector<ContentSpan>& pieces) {
    std::optional<CharSpan> spelled;
    PyObject* content = conversation.contents[m].get();
    const auto found = std::ranges::find(pieces, m, &ContentSpan::message);
    if (found != pieces.end()) {
        spelled = found->spelled.value_or(found->span);
    } else if (content == Py_None || (PyUnicode_Check(content) && PyUnicode_GET_LENGTH(content) == 0)) {
        spelled = CharSpan{span.begin, span.begin};
    }
    std::erase_if(pieces, [&](const ContentSpan& piece) { return piece.message == m; });
    pieces.push_back({span, m, spelled});
}

// The marker of the message at place `j` of those written bare.
std::uint32_t bare_code(std::size_t j) noexcept { return static_cast<std::uint32_t>(2 * (j % most_marked)); }

// The conversation rendered with the messages `alone` (places in `kept`) bare.
Unmarked render_bare(const ChatWriting& writing, const ChatInputs& inputs, const Conversation& conversation,
                     std::span<const std::uint32_t> kept, std::span<const std::size_t> alone) {
    std::size_t next = 0;
    Ref messages = written_messages(conversation, kept, [&](std::size_t j, PyObject* message) {
        if (next == alone.size() || alone[next] != j) return Ref();
        ++next;
        return with_content(message, marker_str(bare_code(j)).get(), true);
    });
    return unmark(render_messages(writing, inputs, conversation, messages.get()));
}

// Where `marked` (the conversation rendered with the messages `alone` bare)
// lines up with the text one way only, each of them found there.
bool found_bare(const Conversation& conversation, std::span<const std::uint32_t> kept, std::span<const std::size_t> alone,
                std::string_view text, const Unmarked& marked, std::vector<ContentSpan>& pieces) {
    if (marked.markers.size() != alone.size()) return false;
    for (std::size_t k = 0; k < alone.size(); ++k) {
        if (marked.markers[k].first != bare_code(alone[k])) return false;
    }
    const std::optional<std::vector<CharSpan>> spans = replaced_spans(text, marked);
    if (!spans) return false;
    for (std::size_t k = 0; k < alone.size(); ++k) place_alone(conversation, kept[alone[k]], (*spans)[k], pieces);
    return true;
}

// The messages `alone` (places in `kept`) found together, in one rendering
// with each of them bare, its content one marker of its own: where that
// rendering is the text with something else in place of each marker, and
// lines up with it one way only, that is what each wrote. False, with
// nothing found, otherwise.
bool locate_together(const ChatWriting& writing, const ChatInputs& inputs, const Conversation& conversation,
                     std::span<const std::uint32_t> kept, std::span<const std::size_t> alone, std::string_view text,
                     std::vector<ContentSpan>& pieces) {
    return found_bare(conversation, kept, alone, text, render_bare(writing, inputs, conversation, kept, alone), pieces);
}

// The shape of a conversation whose every message is written bare and holds
// nothing but a role, a content and what bare leaves out: its roles, which
// are all its bare rendering depends on (with the call's variables and a
// template that writes the same for the same input). Empty for any other.
std::string bare_shape(const ChatWriting& writing, const Conversation& conversation, std::span<const std::uint32_t> kept,
                       std::size_t bare) {
    std::string shape;
    if (!writing.pure || conversation.variables || bare != kept.size()) return shape;
    for (const std::uint32_t m : kept) {
        if (!conversation.plain[m]) return {};
        const std::string_view role = Utf8Text(conversation.roles[m].get()).view();
        shape.append(std::to_string(role.size())).append(1, ':').append(role);
    }
    return shape;
}

// Every message with a place to find (a content, or a turn asked for) found
// at once, in one rendering with each of them bare, where it lines up with
// the text one way only: what the template wrote for each content (trimmed
// or not) or turn. Not tried where a turn writes more than its content and
// has one (its content's place within the turn is needed: what it spells is
// its own, what the template wrote around it is not); false, with nothing
// found, when not found so, the template failing on the bare messages included.
bool locate_all_bare(const ChatWriting& writing, const ChatInputs& inputs, const Conversation& conversation,
                     std::span<const std::uint32_t> kept, std::span<const std::uint8_t> turns, std::string_view text,
                     std::vector<ContentSpan>& pieces) {
    std::vector<std::size_t> bare;
    for (std::size_t j = 0; j < kept.size(); ++j) {
        const std::uint32_t m = kept[j];
        const bool content = markable(conversation.contents[m].get());
        if (content && conversation.writes_more[m]) return false;
        if (content || turns[m] != 0) bare.push_back(j);
    }
    if (bare.empty()) return true;
    // Conversations of one shape share their bare rendering: made once a call.
    const std::string shape = bare_shape(writing, conversation, kept, bare.size());
    auto& known = inputs.bare_renderings;
    try {
        const auto found = shape.empty() ? known.end() : known.find(shape);
        Unmarked fresh;
        if (found == known.end()) fresh = render_bare(writing, inputs, conversation, kept, bare);
        const Unmarked& marked = found != known.end() ? found->second
                                 : shape.empty()      ? fresh
                                                      : known.emplace(shape, std::move(fresh)).first->second;
        return found_bare(conversation, kept, bare, text, marked, pieces);
    } catch (const PythonError&) {
        clear_ordinary_failure();
        return false;
    }
}

// The messages found alone: one whose whole turn is asked for, unless its
// content is all it has and the markers found it; every other content the
// markers did not find. All in one rendering where it lines up (or all but
// the last), else each in a rendering of its own with that message bare.
void locate_alone(const ChatWriting& writing, const ChatInputs& inputs, const Conversation& conversation,
                  std::span<const std::uint32_t> kept, std::span<const std::uint8_t> turns,
                  std::span<const std::uint8_t> found, std::string_view text, std::vector<ContentSpan>& pieces,
                  std::size_t row) {
    std::vector<std::size_t> alone;
    for (std::size_t j = 0; j < kept.size(); ++j) {
        const std::uint32_t m = kept[j];
        const bool markable_content = markable(conversation.contents[m].get());
        if (turns[m] != 0 ? !markable_content || conversation.writes_more[m] || !found[j]
                          : !found[j] && markable_content) {
            alone.push_back(j);
        }
    }
    std::span<const std::size_t> each(alone);  // those found each in a rendering of its own
    if (alone.size() > 1) {
        if (locate_together(writing, inputs, conversation, kept, alone, text, pieces)) return;
        // A template often writes the last message otherwise (the last
        // answer's reasoning, even empty): the others together, that one alone.
        if (alone.size() > 2 && locate_together(writing, inputs, conversation, kept, each.first(alone.size() - 1), text,
                                                pieces)) {
            each = each.last(1);
        }
    }
    for (const std::size_t j : each) {
        const std::uint32_t m = kept[j];
        CharSpan span;
        const Located located = span_of_message(writing, inputs, conversation, kept, j, text, span);
        if (located == Located::lost) {
            PyErr_Format(PyExc_ValueError, messages::content_not_found, row, static_cast<std::size_t>(m));
            throw PythonError{};
        }
        if (located == Located::found) {
            place_alone(conversation, m, span, pieces);
        } else {
            std::erase_if(pieces, [&](const ContentSpan& piece) { return piece.message == m; });
        }
    }
}

}  // namespace

// 1. the text as the template writes it (and, left open, where it ends);
// 2. every content and turn found at once, with each message bare; else
//    every content found by its markers, in one rendering,
// 3. and the messages found alone;
// 4. the places settled: in order, turns from their header, cut where left open.
std::string write_conversation(const ChatWriting& writing, const ChatInputs& inputs, const Conversation& conversation,
                               std::span<const std::uint32_t> kept, std::span<const std::uint8_t> turns,
                               WrittenSpans* spans, std::size_t row) {
    if (!writing.compiled) return write_with_markups(writing, inputs, conversation, kept, spans, row);
    // 1.
    Unmarked plain = write_plainly(writing, inputs, conversation, kept, row);
    std::string& text = plain.text;
    std::optional<std::size_t> open;
    if (inputs.continue_final) open = open_end(writing, inputs, conversation, kept, text, row);
    if (spans != nullptr) {
        // 2. and 3.
        spans->pieces.clear();
        spans->tagged = std::move(plain.tagged);
        if (!locate_all_bare(writing, inputs, conversation, kept, turns, text, spans->pieces)) {
            const std::vector<std::uint8_t> found = locate_by_markers(writing, inputs, conversation, kept, text, spans->pieces);
            locate_alone(writing, inputs, conversation, kept, turns, found, text, spans->pieces, row);
        }
        // 4.
        const std::uint32_t last = kept.empty() ? 0 : kept.back();
        if (const std::optional<std::uint32_t> lost =
                settle_spans(text, turns, inputs.header, open, last, spans->pieces, spans->tagged)) {
            PyErr_Format(PyExc_ValueError, messages::content_not_found, row, static_cast<std::size_t>(*lost));
            throw PythonError{};
        }
    }
    if (open) text.resize(character_slice(text, {0, *open}).size());
    return std::move(text);
}

}  // namespace korvanta
