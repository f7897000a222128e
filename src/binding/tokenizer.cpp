// The tokenizer adapter: calls into the template's tokenizer and turns what
// it returns into checked plain values.
#include "binding/tokenizer.hpp"

#include "binding/free_threading.hpp"

#include <algorithm>

#include "binding/statics.hpp"

namespace korvanta {

namespace {

[[noreturn]] void raise_not_a_tokenizer(PyObject* backend, const char* needed) {
    PyErr_Format(PyExc_TypeError, messages::not_a_tokenizer, type_name(backend).get(), needed);
    throw PythonError{};
}

// An id as the tokenizer's `method` gave it: an int from 0 to 2**63 - 1. No
// Python code runs here (no __index__), so a list being read stays as it is.
TokenId checked_id(PyObject* item, const char* method) {
    if (!PyLong_Check(item)) {
        PyErr_Format(PyExc_TypeError, messages::tokenizer_id_type, method, item);
        throw PythonError{};
    }
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(item, &overflow);
    if (value == -1 && PyErr_Occurred()) throw PythonError{};
    if (overflow != 0 || value < 0) {
        PyErr_Format(PyExc_ValueError, messages::tokenizer_id_range, method, item);
        throw PythonError{};
    }
    return static_cast<TokenId>(value);
}

// A count or offset as a tokenizer gave it: an int from 0 up; -1 when it is not one.
Py_ssize_t checked_count(PyObject* item) {
    if (!PyLong_Check(item)) return -1;
    const Py_ssize_t value = PyLong_AsSsize_t(item);
    if (value == -1 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw PythonError{};
        PyErr_Clear();
    }
    return value < 0 ? -1 : value;
}

// An attribute of an encoding as a list or tuple, held, that no other thread
// changes while it is read: one that is neither is copied into a tuple
// first, so that reading it runs no Python code.
Ref items_of(PyObject* encoding, PyObject* name, const char* method) {
    Ref value = check(PyObject_GetAttr(encoding, name));
    if (Ref items = stable_items(value.get())) return items;
    Ref items = Ref::steal(PySequence_Tuple(value.get()));
    if (!items) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PythonError{};
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, messages::tokenizer_not_a_sequence, method, name, value.get());
        throw PythonError{};
    }
    return items;
}

// Reads one encoding of a text of `characters` characters into `out`.
// 1. take ids (and offsets and special flags) and hold them;
// 2. check that they are equally long;
// 3. read and check each entry, running no Python code.
void read_encoding(PyObject* encoding, std::size_t characters, bool offsets, const char* method, TokenBatch& out) {
    Ref ids = items_of(encoding, check_borrowed(interned(Kept::ids)), method);
    Ref spans, flags;
    if (offsets) {
        spans = items_of(encoding, check_borrowed(interned(Kept::offsets)), method);
        flags = items_of(encoding, check_borrowed(interned(Kept::special_tokens_mask)), method);
        // Reading them ran Python code: the ids are read below, from the object held.
        const Py_ssize_t span_count = PySequence_Fast_GET_SIZE(spans.get());
        const Py_ssize_t flag_count = PySequence_Fast_GET_SIZE(flags.get());
        const Py_ssize_t id_count = PySequence_Fast_GET_SIZE(ids.get());
        if (span_count != id_count || flag_count != id_count) {
            PyErr_Format(PyExc_TypeError, messages::tokenizer_lengths, method, id_count, span_count, flag_count);
            throw PythonError{};
        }
    }
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(ids.get());
    PyObject** id_items = PySequence_Fast_ITEMS(ids.get());
    for (Py_ssize_t k = 0; k < size; ++k) out.ids.push_back(checked_id(id_items[k], method));
    if (offsets) {
        PyObject** span_items = PySequence_Fast_ITEMS(spans.get());
        PyObject** flag_items = PySequence_Fast_ITEMS(flags.get());
        for (Py_ssize_t k = 0; k < size; ++k) {
            PyObject* pair = span_items[k];
            Ref copied;  // without the interpreter lock, a list pair is read from a copy no other thread changes
            if (without_interpreter_lock && PyList_Check(pair)) pair = (copied = stable_items(pair)).get();
            Py_ssize_t begin = -1, end = -1;
            if ((PyTuple_Check(pair) || PyList_Check(pair)) && PySequence_Fast_GET_SIZE(pair) == 2) {
                begin = checked_count(PySequence_Fast_GET_ITEM(pair, 0));
                end = checked_count(PySequence_Fast_GET_ITEM(pair, 1));
            }
            if (begin < 0 || end < 0) {
                PyErr_Format(PyExc_TypeError, messages::tokenizer_offset_type, method, pair);
                throw PythonError{};
            }
            if (begin > end || static_cast<std::size_t>(end) > characters) {
                PyErr_Format(PyExc_ValueError, messages::tokenizer_offset_range, method, begin, end, characters);
                throw PythonError{};
            }
            out.offsets.push_back({static_cast<std::size_t>(begin), static_cast<std::size_t>(end)});
            const Py_ssize_t flag = checked_count(flag_items[k]);
            if (flag < 0) {
                PyErr_Format(PyExc_TypeError, messages::tokenizer_flag_type, method, flag_items[k]);
                throw PythonError{};
            }
            out.special.push_back(flag != 0);
        }
    }
    out.ends.push_back(out.ids.size());
}

// method(argument, add_special_tokens=special).
Ref call_encoder(PyObject* method, PyObject* argument, bool special) {
    PyObject* arguments[] = {argument, special ? Py_True : Py_False};
    Ref names = check(PyTuple_Pack(1, check_borrowed(interned(Kept::add_special_tokens))));
    return check(PyObject_Vectorcall(method, arguments, 1, names.get()));
}

// Every special token the tokenizer has added, with the `named` tokens (an
// id and its spelling, a str: the mask and pad tokens): the ids no row text
// may make, with their spellings. `highest` becomes the highest id of any
// added token, `ordinary` the texts of those that are not special.
ProtectedTokens protected_tokens(PyObject* backend, std::span<const std::pair<TokenId, PyObject*>> named,
                                 std::optional<TokenId>& highest, std::vector<AddedText>& ordinary) {
    std::vector<ProtectedTokens::Token> tokens;
    for (const auto& [id, spelling] : named) tokens.push_back({id, std::string(Utf8Text(spelling).view()), true});
    if (Ref method = attribute_or_null(backend, "get_added_tokens_decoder")) {
        Ref added = check(PyObject_CallNoArgs(method.get()));
        Ref items = check(PyMapping_Items(added.get()));  // a list of its own
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(items.get(), i));
            if (!PyTuple_Check(item.get()) || PyTuple_GET_SIZE(item.get()) != 2) continue;
            const TokenId id = checked_id(PyTuple_GET_ITEM(item.get(), 0), "get_added_tokens_decoder");
            highest = std::max(highest.value_or(id), id);
            PyObject* token = PyTuple_GET_ITEM(item.get(), 1);
            Ref special = attribute_or_null(token, "special");
            Ref content = attribute_or_null(token, "content");
            Ref normalized = attribute_or_null(token, "normalized");
            const bool known = content && PyUnicode_Check(content.get());
            std::string text = known ? std::string(Utf8Text(content.get()).view()) : std::string();
            const bool as_normalized = normalized && truth(normalized.get());
            if (!special || !truth(special.get())) {
                ordinary.push_back({std::move(text), as_normalized});
                continue;
            }
            tokens.push_back({id, std::move(text), known && !as_normalized});
        }
    }
    return ProtectedTokens(std::move(tokens));
}

// What the backend's id_to_token gives for `id` (null with the exception set when it fails).
Ref token_at(PyObject* backend, TokenId id) {
    return Ref::steal(PyObject_CallMethod(backend, "id_to_token", "n", static_cast<Py_ssize_t>(id)));
}

// The model's own vocabulary size, 0 when it does not say.
std::size_t model_size(PyObject* backend) {
    Ref size = check(PyObject_CallMethod(backend, "get_vocab_size", "O", Py_False));
    const Py_ssize_t count = checked_count(size.get());
    return count < 0 ? 0 : static_cast<std::size_t>(count);
}

// The attribute, when the object has it (as far as `shape` knows); its bit
// goes into `learnt`.
Ref learn_attribute(PyObject* object, const char* name, TokenizerShape::Has bit, const TokenizerShape* shape,
                    TokenizerShape& learnt) {
    if (shape != nullptr && !(*shape)[bit]) return Ref();
    Ref value = attribute_or_null(object, name);
    if (value) learnt.has |= bit;
    return value;
}

// The pad token a backend's padding settings name (a str), or null.
Ref padding_pad_token(PyObject* padding) {
    if (padding == nullptr || !PyDict_Check(padding)) return Ref();
    Ref key = check(PyUnicode_FromString("pad_token"));
    Ref token = Ref::borrow(PyDict_GetItemWithError(padding, key.get()));
    if (!token && PyErr_Occurred()) throw PythonError{};
    if (token && !PyUnicode_Check(token.get())) return Ref();
    return token;
}

// Which of the methods that read the vocabulary the backend has.
std::uint16_t methods_of(PyObject* backend) {
    std::uint16_t has = 0;
    if (attribute_or_null(backend, "get_vocab_size")) has |= TokenizerShape::get_vocab_size;
    if (attribute_or_null(backend, "id_to_token")) has |= TokenizerShape::id_to_token;
    return has;
}

}  // namespace

TokenizerView view_tokenizer(PyObject* tokenizer, const TokenizerShape* shape) {
    TokenizerView view;
    TokenizerShape& learnt = view.shape;
    auto read = [&](PyObject* object, const char* name, TokenizerShape::Has bit) {
        return learn_attribute(object, name, bit, shape, learnt);
    };
    auto read_str = [&](const char* name, TokenizerShape::Has bit) {
        Ref value = read(tokenizer, name, bit);
        if (value && !PyUnicode_Check(value.get())) return Ref();
        return value;
    };
    view.object = Ref::borrow(tokenizer);
    view.backend = read(tokenizer, "backend_tokenizer", TokenizerShape::backend_tokenizer);
    if (!view.backend) view.backend = Ref::borrow(tokenizer);
    PyObject* backend = view.backend.get();
    if (shape == nullptr) {
        for (const char* needed : {"encode_batch", "token_to_id"}) {
            if (!attribute_or_null(backend, needed)) raise_not_a_tokenizer(backend, needed);
        }
    }
    view.mask_token = read_str("mask_token", TokenizerShape::mask_token);
    view.pad_token = read_str("pad_token", TokenizerShape::pad_token);
    view.padding_side = read_str("padding_side", TokenizerShape::padding_side);
    if (Ref longest = read(tokenizer, "model_max_length", TokenizerShape::model_max_length);
        longest && PyLong_Check(longest.get())) {
        const Py_ssize_t count = checked_count(longest.get());
        view.model_max_length = count < 0 ? 0 : static_cast<std::size_t>(count);
    }
    Ref padding = read(backend, "padding", TokenizerShape::padding);
    if (!view.pad_token) view.pad_token = padding_pad_token(padding.get());
    Ref truncation = read(backend, "truncation", TokenizerShape::truncation);
    Ref as_text = read(backend, "encode_special_tokens", TokenizerShape::encode_special_tokens);
    view.as_is = (!truncation || truncation.get() == Py_None) && (!padding || padding.get() == Py_None) &&
                 (!as_text || !truth(as_text.get()));
    // Methods are learnt, not called: the vocabulary is read only to make or check a cache.
    const auto methods = TokenizerShape::get_vocab_size | TokenizerShape::id_to_token;
    learnt.has |= shape != nullptr ? shape->has & methods : methods_of(backend);
    return view;
}

VocabularyStamp vocabulary_stamp(const TokenizerView& tokenizer, std::optional<TokenId> highest_added) {
    VocabularyStamp stamp;
    if (tokenizer.shape[TokenizerShape::get_vocab_size]) stamp.model = model_size(tokenizer.backend.get());
    if (tokenizer.shape[TokenizerShape::id_to_token]) {
        // Tokens are added at the first id past the model's and every added one.
        TokenId next = static_cast<TokenId>(std::min<std::size_t>(stamp.model, max_token_id));
        if (highest_added && *highest_added >= next && *highest_added < max_token_id) next = *highest_added + 1;
        // Asked once here: a tokenizer whose id_to_token fails past its ids, or
        // already knows that id, is not asked again.
        Ref token = token_at(tokenizer.backend.get(), next);
        if (!token) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PythonError{};
            PyErr_Clear();
        } else if (token.get() == Py_None) {
            stamp.next_id = next;
        }
    }
    return stamp;
}

bool vocabulary_unchanged(const TokenizerView& tokenizer, const VocabularyStamp& stamp) {
    PyObject* backend = tokenizer.backend.get();
    if (tokenizer.shape[TokenizerShape::get_vocab_size] && model_size(backend) != stamp.model) return false;
    if (!stamp.next_id) return true;
    Ref token = token_at(backend, *stamp.next_id);
    if (!token) throw PythonError{};
    return token.get() == Py_None;
}

std::optional<TokenId> token_id(PyObject* backend, PyObject* token) {
    Ref id = check(PyObject_CallMethod(backend, "token_to_id", "O", token));
    if (id.get() == Py_None) return std::nullopt;
    return checked_id(id.get(), "token_to_id");
}

std::optional<Encoder> make_encoder(const TokenizerView& tokenizer, bool text_only, bool whole_offsets) {
    Encoder encoder;
    Ref processor = whole_offsets ? attribute_or_null(tokenizer.backend.get(), "post_processor") : Ref();
    whole_offsets = processor && processor.get() != Py_None;
    if (tokenizer.as_is && !text_only && !whole_offsets) {
        encoder.backend = Ref::borrow(tokenizer.backend.get());
    } else {
        PyObject* backend = tokenizer.backend.get();
        Ref to_str = attribute_or_null(backend, "to_str");
        Ref from_str = attribute_or_null(reinterpret_cast<PyObject*>(Py_TYPE(backend)), "from_str");
        if (!to_str) raise_not_a_tokenizer(backend, "to_str");
        if (!from_str) raise_not_a_tokenizer(backend, "from_str");
        Ref serialized = Ref::steal(PyObject_CallNoArgs(to_str.get()));
        if (!serialized) {
            // A tokenizer with a component written in Python cannot be copied.
            if (!ordinary_failure()) throw PythonError{};
            if (text_only) {
                PyErr_Clear();
                return std::nullopt;
            }
            raise_from_pending(PyExc_ValueError, messages::tokenizer_not_copyable);
        }
        encoder.backend = check(PyObject_CallOneArg(from_str.get(), serialized.get()));
        for (const char* off : {"no_truncation", "no_padding"}) {
            if (Ref method = attribute_or_null(encoder.backend.get(), off)) check(PyObject_CallNoArgs(method.get()));
        }
        if (attribute_or_null(encoder.backend.get(), "encode_special_tokens") || text_only) {
            check_status(PyObject_SetAttrString(encoder.backend.get(), "encode_special_tokens",
                                                text_only ? Py_True : Py_False));
        }
        if (whole_offsets && PyObject_SetAttrString(encoder.backend.get(), "post_processor", Py_None) < 0) {
            clear_ordinary_failure();  // a backend that keeps its post-processor keeps its offsets
        }
    }
    encoder.batch = check(PyObject_GetAttrString(encoder.backend.get(), "encode_batch"));
    encoder.batch_ids = attribute_or_null(encoder.backend.get(), "encode_batch_fast");
    if (!encoder.batch_ids) encoder.batch_ids = Ref::borrow(encoder.batch.get());
    return encoder;
}

Encoder Encoder::share() const {
    return Encoder{Ref::borrow(backend.get()), Ref::borrow(batch.get()), Ref::borrow(batch_ids.get())};
}

TokenBatch encode_texts(const Encoder& encoder, std::span<const std::string_view> texts,
                        std::span<const std::size_t> characters, bool special_tokens, bool offsets) {
    TokenBatch batch;
    const std::size_t count = characters.size();
    if (count == 0) return batch;
    std::vector<Ref> strs;
    strs.reserve(count);
    for (std::string_view text : texts) strs.push_back(new_str(text));
    Ref list = list_of(std::move(strs));
    const char* method = offsets ? "encode_batch" : "encode_batch_fast";
    if (!offsets && encoder.batch_ids.get() == encoder.batch.get()) method = "encode_batch";
    Ref result = call_encoder(offsets ? encoder.batch.get() : encoder.batch_ids.get(), list.get(), special_tokens);
    // A tuple of its own: the encodings are held while each is read.
    Ref encodings = Ref::steal(PySequence_Tuple(result.get()));
    if (!encodings) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PythonError{};
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, messages::tokenizer_not_a_list, method, result.get());
        throw PythonError{};
    }
    if (static_cast<std::size_t>(PyTuple_GET_SIZE(encodings.get())) != count) {
        PyErr_Format(PyExc_TypeError, messages::tokenizer_result_count, method, PyTuple_GET_SIZE(encodings.get()),
                     count);
        throw PythonError{};
    }
    batch.ends.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        read_encoding(PyTuple_GET_ITEM(encodings.get(), static_cast<Py_ssize_t>(i)), characters[i], offsets, method,
                      batch);
    }
    return batch;
}

TokenBatch encode_texts(const Encoder& encoder, std::span<const std::string_view> texts, bool special_tokens,
                        bool offsets) {
    std::vector<std::size_t> characters;
    characters.reserve(texts.size());
    for (std::string_view text : texts) characters.push_back(character_count(text));
    return encode_texts(encoder, texts, characters, special_tokens, offsets);
}

IdSet whitespace_pieces(PyObject* backend) {
    std::vector<TokenId> pieces;
    for (const char* piece : {"\xe2\x96\x81", "\xc4\xa0", "\xc4\x8a"}) {
        Ref text = check(PyUnicode_FromString(piece));
        if (std::optional<TokenId> id = token_id(backend, text.get())) pieces.push_back(*id);
    }
    return IdSet(std::move(pieces));
}

// 1. the mask and pad tokens' ids;
// 2. every special token the tokenizer has added, with them;
// 3. the whitespace pieces, and the special tokens after a text (what "a" becomes).
ModelPipeline model_pipeline(PyObject* backend) {
    // One part missing (a tokenizer that only looks like a tokenizers backend): none.
    Ref model = attribute_or_null(backend, "model");
    Ref normalizer = attribute_or_null(backend, "normalizer");
    Ref pre_tokenizer = attribute_or_null(backend, "pre_tokenizer");
    if (!model || !normalizer || !pre_tokenizer) return ModelPipeline{};
    ModelPipeline pipeline;
    pipeline.tokenize = attribute_or_null(model.get(), "tokenize");
    if (normalizer.get() != Py_None) {
        pipeline.normalize = attribute_or_null(normalizer.get(), "normalize");
        pipeline.normalize_str = attribute_or_null(normalizer.get(), "normalize_str");
        if (!pipeline.normalize || !pipeline.normalize_str) return ModelPipeline{};
    }
    if (pre_tokenizer.get() != Py_None) {
        pipeline.pre_tokenize = attribute_or_null(pre_tokenizer.get(), "pre_tokenize");
        if (!pipeline.pre_tokenize) return ModelPipeline{};
    }
    if (!pipeline.tokenize) return ModelPipeline{};
    // The backend's own module holds the type its parts split text in.
    Ref module_name = attribute_or_null(reinterpret_cast<PyObject*>(Py_TYPE(backend)), "__module__");
    if (!module_name || !PyUnicode_Check(module_name.get())) return ModelPipeline{};
    Ref module = Ref::steal(PyImport_Import(module_name.get()));
    if (!module) {
        clear_ordinary_failure();
        return ModelPipeline{};
    }
    pipeline.split_type = attribute_or_null(module.get(), "PreTokenizedString");
    if (pipeline.split_type && !PyType_Check(pipeline.split_type.get())) pipeline.split_type = Ref();
    return pipeline;
}

bool holds_added(const ModelPipeline& pipeline, std::span<const std::string_view> texts,
                 std::span<const AddedText> added) {
    if (added.empty()) return false;
    const bool any_normalized = std::ranges::any_of(added, &AddedText::normalized);
    for (std::string_view text : texts) {
        std::string normalized;
        std::string_view seen = text;  // the text the normalized tokens are matched in
        if (any_normalized && pipeline.normalize_str) {
            Ref written = check(PyObject_CallOneArg(pipeline.normalize_str.get(), new_str(text).get()));
            if (!PyUnicode_Check(written.get())) return true;  // read by the whole tokenizer instead
            normalized = Utf8Text(written.get()).view();
            seen = normalized;
        }
        for (const AddedText& token : added) {
            if ((token.normalized ? seen : text).find(token.content) != std::string_view::npos) return true;
        }
    }
    return false;
}

TokenBatch pipeline_texts(const ModelPipeline& pipeline, std::span<const std::string_view> texts) {
    TokenBatch batch;
    for (std::string_view text : texts) {
        Ref split = check(PyObject_CallOneArg(pipeline.split_type.get(), new_str(text).get()));
        if (pipeline.normalize) check(PyObject_CallMethod(split.get(), "normalize", "O", pipeline.normalize.get()));
        if (pipeline.pre_tokenize) check(PyObject_CallOneArg(pipeline.pre_tokenize.get(), split.get()));
        check(PyObject_CallMethod(split.get(), "tokenize", "O", pipeline.tokenize.get()));
        Ref encoding = check(PyObject_CallMethod(split.get(), "to_encoding", nullptr));
        read_encoding(encoding.get(), character_count(text), true, "tokenize", batch);
    }
    return batch;
}

TokenizerFacts tokenizer_facts(const TokenizerView& tokenizer, const Encoder& encoder,
                               const std::optional<std::string>& mask_token) {
    TokenizerFacts facts;
    PyObject* backend = tokenizer.backend.get();
    std::vector<std::pair<TokenId, PyObject*>> named;
    Ref mask;
    if (mask_token) {
        mask = new_str(*mask_token);
        facts.mask_id = token_id(backend, mask.get());
        if (!facts.mask_id) {
            PyErr_Format(PyExc_ValueError, messages::unknown_token, "mask_token", mask.get());
            throw PythonError{};
        }
        named.emplace_back(*facts.mask_id, mask.get());
    }
    if (tokenizer.pad_token) {
        if (std::optional<TokenId> pad_id = token_id(backend, tokenizer.pad_token.get())) {
            named.emplace_back(*pad_id, tokenizer.pad_token.get());
        }
    }
    std::optional<TokenId> highest_added;
    facts.protected_tokens = protected_tokens(backend, named, highest_added, facts.ordinary_added);
    facts.vocabulary = vocabulary_stamp(tokenizer, highest_added);
    facts.whitespace = whitespace_pieces(backend);
    const std::string_view probe[] = {"a"};
    const TokenBatch batch = encode_texts(encoder, probe, true, true);
    std::size_t count = 0;
    for (std::size_t k = batch.ids.size(); k > 0 && batch.special[k - 1] != 0; --k) ++count;
    facts.trailing_special = count == batch.ids.size() ? 0 : count;
    return facts;
}

}  // namespace korvanta
