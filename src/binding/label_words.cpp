// Label words: each option of each slot written at its slot and tokenized,
// the tokens that hold its characters taken; and the error of a word that is
// several tokens where one mask must predict it.
#include "binding/encode_rows.hpp"

namespace korvanta {

std::vector<std::vector<std::vector<TokenId>>> label_words(const Encoder& encoder, const IdSet& whitespace,
                                                           const LabelContexts& contexts) {
    std::vector<std::string_view> texts;
    for (const LabelContext& context : contexts.contexts) texts.push_back(context.text);
    const TokenBatch batch = encode_texts(encoder, texts, false, true);
    std::vector<std::vector<std::vector<TokenId>>> words(contexts.words_per_slot.size());
    std::size_t next = 0;
    for (std::size_t s = 0; s < words.size(); ++s) {
        for (std::size_t w = 0; w < contexts.words_per_slot[s]; ++w, ++next) {
            words[s].push_back(word_tokens(batch.ids_of(next), batch.offsets_of(next), batch.special_of(next),
                                           contexts.contexts[next].word, whitespace));
        }
    }
    return words;
}

void raise_word_pieces(const TokenizerView& tokenizer, std::string_view word, std::string_view slot,
                       std::span<const TokenId> ids) {
    Ref pieces = check(PyList_New(0));
    Ref spell = attribute_or_null(tokenizer.backend.get(), "id_to_token");  // without it, the ids are shown
    for (TokenId id : ids) {
        Ref number = check(PyLong_FromUnsignedLongLong(id));
        Ref piece = spell ? check(PyObject_CallOneArg(spell.get(), number.get())) : std::move(number);
        check_status(PyList_Append(pieces.get(), piece.get()));
    }
    PyErr_Format(PyExc_ValueError, messages::label_word_pieces, new_str(word).get(), new_str(slot).get(),
                 static_cast<Py_ssize_t>(ids.size()), pieces.get());
    throw PythonError{};
}

}  // namespace korvanta
