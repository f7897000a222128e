// The ChatTemplate class: a tokenizer and how conversations are written with
// it (a Jinja chat template, or one markup per role), fixed when made. It
// takes part in cyclic garbage collection through its tokenizer.
#include "binding/chat.hpp"
#include "binding/class_tables.hpp"
#include "binding/encoding_cache.hpp"
#include "binding/statics.hpp"

namespace korvanta {

const char chat_doc[] =
    "ChatTemplate(tokenizer, template=None, roles=None, chat_template_kwargs=None)\n--\n\n"
    "Conversations to model inputs and training labels with a tokenizer and its chat template.\n"
    "\n"
    "template is a Jinja chat template (None: the tokenizer's own chat_template), rendered as\n"
    "transformers renders chat templates, with the tokenizer's special tokens (bos_token, ...) and\n"
    "chat_template_kwargs; or roles maps each role to a markup with one field [content], for a\n"
    "tokenizer without a chat template.";

namespace {

constexpr std::string_view constructor_names[] = {"tokenizer", "template", "roles", "chat_template_kwargs"};
constexpr Signature new_signature{"ChatTemplate.__new__()", constructor_names, 1};
constexpr Signature reduce_signature{"ChatTemplate.__reduce__()", {}, 0};

Ref chat_new(PyTypeObject* type, const Arguments& arguments) {
    PyObject* tokenizer = arguments[0].get();
    std::shared_ptr<const ChatWriting> writing =
        chat_writing(tokenizer, arguments[1].get(), arguments[2].get(), arguments[3].get());
    return new_instance<ChatObject>(type, ChatRecord{Ref::borrow(tokenizer), std::move(writing)});
}

Ref or_none(const Ref& value) { return Ref::borrow(value ? value.get() : Py_None); }

Ref get_tokenizer(ChatObject& self) { return or_none(self.record.tokenizer); }
Ref get_template(ChatObject& self) { return or_none(self.record.writing->source); }
Ref get_roles(ChatObject& self) {
    const Ref& roles = self.record.writing->roles;
    return roles ? check(PyDict_Copy(roles.get())) : Ref::borrow(Py_None);
}

// Copying and pickling make the object again from what it was made from.
Ref chat_reduce(ChatObject& self, const Arguments&) {
    const ChatWriting& writing = *self.record.writing;
    Ref arguments = check(PyTuple_Pack(4, get_tokenizer(self).get(), get_template(self).get(), get_roles(self).get(),
                                       or_none(writing.chat_template_kwargs).get()));
    return check(PyTuple_Pack(2, reinterpret_cast<PyObject*>(Py_TYPE(self_of(self))), arguments.get()));
}

void chat_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    instance_dealloc<ChatObject>(self);
}

int chat_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    const ChatRecord& record = reinterpret_cast<ChatObject*>(self)->record;
    Py_VISIT(record.tokenizer.get());
    if (record.writing) {
        for (const Ref* held : {&record.writing->source, &record.writing->compiled, &record.writing->variables,
                                &record.writing->roles, &record.writing->chat_template_kwargs}) {
            Py_VISIT(held->get());
        }
    }
    if (std::shared_ptr<const EncodingCache> cache = record.encoding) return visit_encoding_cache(*cache, visit, arg);
    return 0;
}

int chat_clear(PyObject* self) noexcept {
    reinterpret_cast<ChatObject*>(self)->record.encoding.reset();
    reinterpret_cast<ChatObject*>(self)->record.tokenizer = Ref();
    return 0;
}

auto chat_methods = class_table(std::array{
    method_row<ChatObject, Access::shared, chat_render_signature, chat_render>("render", chat_render_doc),
    method_row<ChatObject, Access::shared, chat_encode_signature, chat_encode>("encode", chat_encode_doc),
    method_row<ChatObject, Access::shared, chat_encode_batch_signature, chat_encode_batch>("encode_batch",
                                                                                          chat_encode_batch_doc),
    method_row<ChatObject, Access::none, reduce_signature, chat_reduce>("__reduce__"),
    // ChatTemplate[Tokenizer], as type checkers read it: generic in its tokenizer's type, as PromptTemplate is.
    PyMethodDef{"__class_getitem__", Py_GenericAlias, METH_O | METH_CLASS, "See PEP 585"},
});

auto chat_attributes = class_table(std::array{
    attribute_row<ChatObject, Access::read, get_tokenizer>("tokenizer", "the tokenizer conversations are encoded with"),
    attribute_row<ChatObject, Access::read, get_template>("template",
                                                          "the Jinja chat template (str), or None with roles"),
    attribute_row<ChatObject, Access::read, get_roles>("roles", "the markup of each role (a dict), or None"),
});

PyType_Slot chat_type_slots[] = {
    {Py_tp_doc, const_cast<char*>(chat_doc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(chat_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(chat_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(chat_clear)},
    {Py_tp_new, reinterpret_cast<void*>(constructor<new_signature, chat_new>)},
    {Py_tp_methods, chat_methods.data()},
    {Py_tp_getset, chat_attributes.data()},
    {0, nullptr},
};

PyType_Spec chat_definition = {
    "korvanta.ChatTemplate",
    static_cast<int>(sizeof(ChatObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    chat_type_slots,
};

}  // namespace

PyTypeObject* ChatObject::type() { return check_borrowed(class_object(Static::chat_class, chat_definition)); }

}  // namespace korvanta
