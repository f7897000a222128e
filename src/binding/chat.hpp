// What a ChatTemplate holds (a tokenizer and how conversations are written:
// a Jinja chat template, or one markup per role) and the operations on it:
// writing a conversation out with where each message's content stands
// (chat_render.cpp), and encoding conversations (chat_encode.cpp). The class's
// table is in chat_type.cpp.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "binding/arguments.hpp"
#include "binding/conversions.hpp"
#include "binding/entry_points.hpp"
#include "core/conversation.hpp"

namespace korvanta {

struct EncodingCache;  // the tokenizer's side, as encode() works it out

// One role's markup: the text before and after its content (UTF-8).
struct RoleMarkup {
    std::string role;
    std::string before;
    std::string after;
};

// How conversations are written; never changed once the object is made.
struct ChatWriting {
    Ref source;     // the Jinja chat template (str), or null
    Ref compiled;   // it compiled, or null
    Ref variables;  // a dict: what the template reads besides messages (the tokenizer's special tokens, the caller's)
    Ref roles;      // the markups per role as given (a dict), or null
    Ref chat_template_kwargs;  // as given, or null
    std::vector<RoleMarkup> markups;  // the markups per role, read
    bool tagged = false;  // the template tags what the model writes ({% generation %} blocks)
    bool pure = false;    // its text names nothing that differs between renderings (the date, a random pick)
};

struct ChatRecord {
    Ref tokenizer;  // the caller's object; empty only after cycle clearing
    std::shared_ptr<const ChatWriting> writing;  // never null once made; never changed
    std::shared_ptr<const EncodingCache> encoding;  // the tokenizer's side, or null; replaced whole
    std::shared_ptr<const std::string> header;  // what opens the model's turn with the object's own variables, once learnt

    ChatRecord(Ref tokenizer_, std::shared_ptr<const ChatWriting> writing_) noexcept
        : tokenizer(std::move(tokenizer_)), writing(std::move(writing_)) {}
    ChatRecord(ChatRecord&&) noexcept = default;
    ~ChatRecord() { tokenizer = Ref(); }
};

struct ChatObject : Instance<ChatRecord> {
    static constexpr const char* class_name = "ChatTemplate";
    static PyTypeObject* type();
};

// ---------------------------------------------------------------- writing (chat_render.cpp)

// How `tokenizer` writes conversations: `source` (a str, or None for the
// tokenizer's own chat_template) compiled with the Jinja environment chat
// templates are written for, or `roles` (a mapping from role to markup with
// one field [content]). A ValueError that says why when neither can be used.
std::shared_ptr<const ChatWriting> chat_writing(PyObject* tokenizer, PyObject* source, PyObject* roles,
                                                PyObject* chat_template_kwargs);

// What a call gives the chat template besides the messages.
struct ChatInputs {
    Ref variables;                       // the tokenizer's special tokens, chat_template_kwargs, the call's keywords
    bool add_generation_prompt = false;  // the text ends where the model's next turn starts
    bool continue_final = false;         // the text ends inside the last message, left open
    std::string header;                  // what opens each turn of the model ("" where unknown)
    bool own_variables = false;          // the call gives variables of its own
    // Bare renderings by conversation shape, learnt as the call goes (see chat_render.cpp).
    mutable std::unordered_map<std::string, Unmarked> bare_renderings;
};
// `others`: the call's keywords (a dict, or null), over chat_template_kwargs.
ChatInputs chat_inputs(const ChatWriting& writing, PyObject* others, bool add_generation_prompt,
                       bool continue_final);
// What the template writes to open the model's turn, learnt from a one-message conversation.
void learn_header(const ChatWriting& writing, ChatInputs& inputs);

// One conversation as read from Python: its messages, held, with each one's role and content.
struct Conversation {
    Ref messages;                // a list of its own, of the messages (keys whose value is None left out)
    Ref variables;               // the row's own variables (its tools, its documents): a dict, or null
    std::vector<Ref> roles;      // per message: its role (a str)
    std::vector<Ref> contents;   // per message: its content (a str, parts, or None)
    std::vector<std::uint8_t> writes_more;  // per message: it holds tool calls or reasoning besides its content
    std::vector<std::uint8_t> plain;        // per message: it holds no key but its role, content and those
};
Conversation read_conversation(PyObject* messages, std::size_t row);

// Where the messages of a written conversation stand: for a message trained
// on, its whole turn (all it writes but its header), else its content; and
// the blocks the template tagged.
struct WrittenSpans {
    std::vector<ContentSpan> pieces;  // in order, apart
    std::vector<CharSpan> tagged;
};

// The text of the messages `kept` of `conversation` (row `row` of a call)
// as the chat template writes them, and, unless `spans` is null, where they
// stand in it (`turns` per message: its whole turn is located).
std::string write_conversation(const ChatWriting& writing, const ChatInputs& inputs, const Conversation& conversation,
                               std::span<const std::uint32_t> kept, std::span<const std::uint8_t> turns,
                               WrittenSpans* spans, std::size_t row);

// ---------------------------------------------------------------- operations

// The options of encode() and encode_batch(), in the order their enum gives.
namespace chat_option {
enum : std::size_t {
    max_length, overflow, padding, pad_token, padding_side, return_tensors, add_generation_prompt, train_on,
    continue_final_message, pack
};
}
inline constexpr std::string_view chat_option_names[] = {
    "max_length",     "overflow",   "padding",         "pad_token", "padding_side",
    "return_tensors", "add_generation_prompt", "train_on", "continue_final_message", "pack"};
inline constexpr std::string_view messages_names[] = {"messages"};
inline constexpr std::string_view conversations_names[] = {"conversations"};
inline constexpr std::string_view chat_render_names[] = {"messages", "add_generation_prompt"};
inline constexpr std::string_view chat_render_option_names[] = {"continue_final_message"};
inline constexpr Signature chat_render_signature{"ChatTemplate.render()", chat_render_names, 1,
                                                 chat_render_option_names, Keywords::any};
inline constexpr Signature chat_encode_signature{"ChatTemplate.encode()", messages_names, 1, chat_option_names,
                                                 Keywords::any, 1};
inline constexpr Signature chat_encode_batch_signature{"ChatTemplate.encode_batch()", conversations_names, 1,
                                                       chat_option_names, Keywords::any, 1};

extern const char chat_doc[];
extern const char chat_render_doc[];
extern const char chat_encode_doc[];
extern const char chat_encode_batch_doc[];

Ref chat_render(ChatObject& self, const Arguments& arguments, const Options& options);
Ref chat_encode(ChatObject& self, const Arguments& arguments, const Options& options);
Ref chat_encode_batch(ChatObject& self, const Arguments& arguments, const Options& options);

}  // namespace korvanta
