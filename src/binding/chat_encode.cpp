// ChatTemplate.render(), encode() and encode_batch(): each conversation is
// written out as its chat template writes it, with where each message's
// content stands (chat_render.cpp); the whole text is tokenized at once with
// offsets, so every conversation is what the tokenizer gives for it; the
// core (core/conversation.hpp) says which tokens are whose, which leading
// exchanges a conversation too long drops (it is then written and tokenized
// again without them) and lays the rows out with their labels.
#include <algorithm>

#include "binding/chat.hpp"
#include "binding/encode_results.hpp"
#include "binding/encode_rows.hpp"
#include "binding/packing.hpp"

namespace korvanta {

const char chat_render_doc[] =
    "render($self, /, messages, add_generation_prompt=False, *, continue_final_message=False, **variables)\n--\n\n"
    "The text of a conversation (a list of {'role': ..., 'content': ...} mappings) exactly as the\n"
    "chat template writes it; with add_generation_prompt=True, ending where the assistant's next\n"
    "answer would start; with continue_final_message=True, ending inside the last message.\n"
    "Other keywords (tools=, documents=, enable_thinking=, ...) are the template's variables.";

const char chat_encode_doc[] =
    "encode($self, messages, /, **options)\n--\n\n"
    "Encode one conversation. Returns a dict of lists: input_ids, attention_mask and labels.\n"
    "Options: max_length, overflow, padding, pad_token, padding_side, return_tensors,\n"
    "add_generation_prompt, continue_final_message, train_on (see encode_batch); other keywords\n"
    "(tools=, enable_thinking=, ...) are the template's variables.";

const char chat_encode_batch_doc[] =
    "encode_batch($self, conversations, /, **options)\n--\n\n"
    "Encode a batch of conversations: a list of message lists, or a mapping with a 'messages'\n"
    "column (and, per row, 'tools' and 'documents' columns). Returns a dict of lists with one\n"
    "entry per conversation. Other keywords (tools=, enable_thinking=, ...) are the template's\n"
    "variables, over chat_template_kwargs.\n"
    "\n"
    "Each conversation is written as the chat template writes it and tokenized whole, so its\n"
    "input_ids are the tokenizer's own for that text; no special token comes from a content.\n"
    "labels hold the turns of the roles named by train_on (default: 'assistant'): all the\n"
    "template writes for such a message but its header (content, reasoning, tool calls) through\n"
    "the end token that closes it; -100 elsewhere. train_on='generation' labels what the\n"
    "template's {% generation %} blocks hold. continue_final_message=True leaves the last\n"
    "message open (its turn labelled without an end token). max_length drops whole\n"
    "exchanges (a user message and what answers it) from the start, after the opening system\n"
    "messages, so the last answer is always kept; a conversation whose last exchange alone\n"
    "cannot fit raises, or with overflow='drop' is left out (row_index says which were kept);\n"
    "overflow='split' makes a conversation too long several rows instead, each its opening system\n"
    "messages and a run of whole exchanges that fits (row_index says whose).\n"
    "add_generation_prompt=True ends each input where the assistant's answer would start (no\n"
    "labels). padding='longest' or N pads with pad_token (default: the tokenizer's) on\n"
    "padding_side; return_tensors='np' or 'pt' gives int64 arrays or tensors, 'arrow' pyarrow\n"
    "arrays (rows as list arrays, any lengths). pack=True packs the rows into rows of max_length\n"
    "tokens, as korvanta.pack() does.";

namespace {

struct ChatOptions : OutputOptions {
    bool generation_prompt = false;     // the input ends where the model's next turn starts (no labels)
    bool continue_final = false;        // the last message left open
    std::vector<std::string> train_on;  // the roles whose turns are labelled, or "generation"
    Labels labels = Labels::turns;
};

ChatOptions chat_options(const TokenizerView& tokenizer, const Options& options, bool batch) {
    constexpr OutputOptionPlaces places{chat_option::max_length,   chat_option::overflow,
                                        chat_option::padding,      chat_option::pad_token,
                                        chat_option::padding_side, chat_option::return_tensors,
                                        chat_option::pack,         true};
    ChatOptions call{output_options(tokenizer, options, places, batch),
                     flag_of(options[chat_option::add_generation_prompt].get(), "add_generation_prompt", false),
                     flag_of(options[chat_option::continue_final_message].get(), "continue_final_message", false),
                     {"assistant"}};
    if (PyObject* train_on = options[chat_option::train_on].get()) call.train_on = names_of(train_on, "train_on");
    if (contains(call.train_on, std::string_view("generation"))) {
        if (call.train_on.size() != 1) {
            PyErr_Format(PyExc_ValueError, messages::generation_and_roles);
            throw PythonError{};
        }
        call.labels = Labels::tagged;
    }
    return call;
}

// The row variables a batch's columns give (tools, documents), one list per column present.
constexpr const char* row_variable_names[] = {"tools", "documents"};

// The conversations of a call: one message list, a list of them, or a
// mapping with a "messages" column (and columns of row variables).
std::vector<Conversation> read_conversations(PyObject* given, bool batch) {
    std::vector<Conversation> conversations;
    if (!batch) {
        conversations.push_back(read_conversation(given, 0));
        return conversations;
    }
    auto list_of_column = [](PyObject* column) {
        Ref list = Ref::steal(PySequence_List(column));
        if (!list) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PythonError{};
            PyErr_Clear();
            raise_conversion(column, "list");
        }
        return list;
    };
    Ref column = Ref::borrow(given);
    std::vector<std::pair<const char*, Ref>> row_columns;
    if (PyMapping_Check(given) && !PyList_Check(given) && !PyTuple_Check(given)) {
        column = Ref::steal(PyMapping_GetItemString(given, "messages"));
        if (!column) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw PythonError{};
            raise_missing_column(given, "messages");
        }
        for (const char* name : row_variable_names) {
            Ref values = item_or_null(given, name);
            if (!values) continue;
            row_columns.emplace_back(name, list_of_column(values.get()));
        }
    }
    Ref list = list_of_column(column.get());
    const Py_ssize_t rows = PyList_GET_SIZE(list.get());
    for (const auto& [name, values] : row_columns) {
        if (PyList_GET_SIZE(values.get()) != rows) raise_ragged_column(name, PyList_GET_SIZE(values.get()), "messages", rows);
    }
    for (Py_ssize_t r = 0; r < rows; ++r) {
        conversations.push_back(read_conversation(PyList_GET_ITEM(list.get(), r), static_cast<std::size_t>(r)));
        if (row_columns.empty()) continue;
        Ref variables = check(PyDict_New());
        for (const auto& [name, values] : row_columns) {
            check_status(PyDict_SetItemString(variables.get(), name, PyList_GET_ITEM(values.get(), r)));
        }
        conversations.back().variables = std::move(variables);
    }
    return conversations;
}

// Per message, its kind for grouping exchanges ('s' system, 'u' user, 'a' any
// other role) and whether its turn is labelled.
void message_kinds(const Conversation& conversation, const ChatOptions& options, std::vector<char>& kinds,
                   std::vector<std::uint8_t>& labelled) {
    kinds.clear();
    labelled.clear();
    for (const Ref& role : conversation.roles) {
        const std::string_view name = Utf8Text(role.get()).view();
        kinds.push_back(name == "system" ? 's' : name == "user" ? 'u' : 'a');
        labelled.push_back(options.labels == Labels::turns && !options.generation_prompt &&
                           contains(options.train_on, name));
    }
}

// train_on names roles this call has (or a template knows): a name that is
// none of them is a mistake, not a role that happens to be absent.
void check_train_on(const ChatWriting& writing, const ChatOptions& options,
                    const std::vector<Conversation>& conversations) {
    if (options.labels == Labels::tagged) {
        if (!writing.tagged) {
            PyErr_Format(PyExc_ValueError, messages::no_generation_blocks);
            throw PythonError{};
        }
        return;
    }
    std::vector<std::string> known = {"system", "user", "assistant", "tool"};
    auto know = [&](std::string_view role) {
        if (!contains(known, role)) known.emplace_back(role);
    };
    for (const RoleMarkup& markup : writing.markups) know(markup.role);
    for (const Conversation& conversation : conversations) {
        for (const Ref& role : conversation.roles) know(Utf8Text(role.get()).view());
    }
    for (const std::string& name : options.train_on) {
        if (contains(known, name)) continue;
        Ref names = check(PyList_New(0));
        for (const std::string& role : known) check_status(PyList_Append(names.get(), new_str(role).get()));
        PyErr_Format(PyExc_ValueError, messages::unknown_train_on, new_str(name).get(), names.get());
        throw PythonError{};
    }
}

// A conversation written out and tokenized.
struct Written {
    std::string text;
    std::size_t characters = 0;  // of `text`
    WrittenSpans spans;          // where the messages written stand
    OwnedTokens tokens;                 // only their ids when `counted`
    bool counted = false;               // tokenized only to show that it is too long
};

// One conversation on its way: what it is, the search for what it leaves
// out, and the ways it was written that the search keeps.
struct ChatRow {
    std::vector<char> kinds;
    std::vector<std::uint8_t> labelled;  // per message
    Exchanges exchanges;
    ExchangeSearch search;
    Written longest;                     // as written with search.too_long() left out
    Written best;                        // as written with search.fits() left out

    const Written& result() const { return search.fits() ? best : longest; }
};

// A way to write a conversation, and what it wrote. One expected not to fit
// is only counted: the ids of a text without their offsets cost the
// tokenizer less, and nothing done to them after makes fewer (a protected
// token that a content spells becomes what its spelling reads as, one token
// or more), so that ids beyond the limit, not counting those that may be
// such a spelling, show it too long.
struct Try {
    std::size_t row = 0;
    ExchangeSearch::Way way;
    Written written;
};

// The messages a conversation keeps when it keeps only exchanges [begin, end)
// (with its opening system messages).
std::vector<std::uint32_t> kept_messages(const ChatRow& row, std::size_t begin, std::size_t end = SIZE_MAX) {
    std::vector<std::uint32_t> kept;
    for (std::size_t m = 0; m < row.kinds.size(); ++m) {
        const std::uint32_t exchange = row.exchanges.of_message[m];
        if (exchange == Exchanges::none || (exchange >= begin && exchange < end)) {
            kept.push_back(static_cast<std::uint32_t>(m));
        }
    }
    return kept;
}

// What encode_conversations() works with.
struct ChatCall {
    const ChatWriting& writing;
    const ChatInputs& inputs;
    const EncodingCache& cache;
    const TokenizerView& tokenizer;
    const std::vector<Conversation>& conversations;
    std::vector<ChatRow>& rows;
    const ChatOptions& options;
};

// Row `r` written with exchanges [begin, end) (and its opening system messages).
Written write(const ChatCall& call, std::size_t r, std::size_t begin, bool counted = false, std::size_t end = SIZE_MAX) {
    Written written;
    written.counted = counted && call.options.max_length;
    // A way counted is written once, without locating its contents (a template's second rendering).
    written.text = write_conversation(call.writing, call.inputs, call.conversations[r],
                                      kept_messages(call.rows[r], begin, end), call.rows[r].labelled,
                                      written.counted ? nullptr : &written.spans, r);
    written.characters = character_count(written.text);
    return written;
}

// Whether counted ids show a text too long for `max_length`.
bool shown_too_long(const EncodingCache& cache, std::span<const TokenId> ids, std::size_t max_length) {
    const auto maybe_spelled = std::ranges::count_if(ids, [&](TokenId id) { return cache.protected_ids.contains(id); });
    return ids.size() - static_cast<std::size_t>(maybe_spelled) > max_length;
}

// A text's tokens as read: ids, offsets and the tokenizer's special flags.
struct ReadTokens {
    std::vector<TokenId> ids;
    std::vector<CharSpan> offsets;
    std::vector<std::uint8_t> special;
};

// A stretch of text around the special tokens contents spell, bounded by
// the template's own special tokens (or an end of the text).
struct Stretch {
    std::size_t text;        // which text
    CharSpan characters;     // its characters
    std::size_t first, end;  // the tokens that stand in it
};

// The stretches around the special tokens contents spell, in order.
std::vector<Stretch> stretches_around_spellings(std::span<const std::string_view> texts, const TokenBatch& batch,
                                                const std::vector<OwnedTokens>& owned) {
    std::vector<Stretch> stretches;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        const OwnedTokens& tokens = owned[i];
        const std::span<const CharSpan> offsets = batch.offsets_of(i);
        auto bounds = [&](std::size_t k) {
            return tokens.owners[k].kind == TokenOwner::own && (tokens.marks[k] & (special_mark | protected_mark)) != 0;
        };
        for (const InjectedToken& injected : tokens.injected) {
            std::size_t before = injected.token, after = injected.token + 1;
            while (before > 0 && !bounds(before - 1)) --before;
            while (after < tokens.ids.size() && !bounds(after)) ++after;
            const CharSpan characters{before == 0 ? 0 : offsets[before - 1].end,
                                      after == tokens.ids.size() ? character_count(texts[i]) : offsets[after].begin};
            if (stretches.empty() || stretches.back().text != i || stretches.back().end <= before) {
                stretches.push_back({i, characters, before, after});
            }
        }
    }
    return stretches;
}

// A content that spells a special token is read as text where it stands:
// each stretch around it is read again with special tokens as text, so that
// it reads exactly as that text would (the spaces around a spelling stay the
// text's), its tokens in place of those that stood there. Returns the texts
// read again (empty where none), their tokens attributed anew in `owned`.
std::vector<ReadTokens> read_spellings_in_place(const ChatCall& call, std::span<const std::string_view> texts,
                                                const TokenBatch& batch,
                                                const std::vector<std::vector<CharSpan>>& pieces,
                                                const std::vector<std::vector<CharSpan>>& spelled,
                                                std::vector<OwnedTokens>& owned) {
    std::vector<ReadTokens> again(texts.size());
    const std::vector<Stretch> placed = stretches_around_spellings(texts, batch, owned);
    if (placed.empty()) return again;
    std::vector<std::string_view> stretches;
    for (const Stretch& stretch : placed) stretches.push_back(character_slice(texts[stretch.text], stretch.characters));
    const TokenBatch read = encode_texts(*text_only_encoder(call.cache, call.tokenizer), stretches, false, true);
    for (std::size_t s = 0, next = 0; s < placed.size(); s = next) {
        const std::size_t i = placed[s].text;
        ReadTokens& tokens = again[i];
        auto keep = [&](std::size_t k) {
            tokens.ids.push_back(batch.ids_of(i)[k]);
            tokens.offsets.push_back(batch.offsets_of(i)[k]);
            tokens.special.push_back(batch.special_of(i)[k]);
        };
        std::size_t k = 0;
        for (next = s; next < placed.size() && placed[next].text == i; ++next) {
            const Stretch& stretch = placed[next];
            for (; k < stretch.first; ++k) keep(k);
            for (std::size_t t = 0; t < read.ids_of(next).size(); ++t) {
                const CharSpan at = read.offsets_of(next)[t];
                tokens.ids.push_back(read.ids_of(next)[t]);
                tokens.offsets.push_back({at.begin + stretch.characters.begin, at.end + stretch.characters.begin});
                tokens.special.push_back(0);
            }
            k = stretch.end;
        }
        for (; k < batch.ids_of(i).size(); ++k) keep(k);
        attribute_tokens(texts[i], tokens.ids, tokens.offsets, tokens.special, pieces[i], {}, max_token_id,
                         call.cache.protected_ids, owned[i], spelled[i]);
    }
    return again;
}

// Tokenizes the texts of `tries`: those counted in one call, the others with
// offsets in another, their tokens attributed.
void tokenize(const ChatCall& call, std::vector<Try>& tries) {
    const EncodingCache& cache = call.cache;
    std::vector<Written*> counted, located;
    for (Try& one : tries) (one.written.counted ? counted : located).push_back(&one.written);
    auto texts_of = [](const std::vector<Written*>& written) {
        std::vector<std::string_view> texts;
        for (const Written* one : written) texts.push_back(one->text);
        return texts;
    };
    if (!counted.empty()) {
        const TokenBatch batch = encode_texts(cache.encoder, texts_of(counted), cache.key.special_tokens, false);
        for (std::size_t i = 0; i < counted.size(); ++i) {
            const std::span<const TokenId> ids = batch.ids_of(i);
            counted[i]->tokens.ids.assign(ids.begin(), ids.end());
        }
    }
    if (!located.empty()) {
        const std::vector<std::string_view> texts = texts_of(located);
        const TokenBatch batch = encode_texts(cache.encoder, texts, cache.key.special_tokens, true);
        std::vector<OwnedTokens> owned(texts.size());
        std::vector<std::vector<CharSpan>> pieces(texts.size()), spelled(texts.size());
        for (std::size_t i = 0; i < texts.size(); ++i) {
            for (const ContentSpan& content : located[i]->spans.pieces) {
                pieces[i].push_back(content.span);
                spelled[i].push_back(content.spelled.value_or(content.span));
            }
            attribute_tokens(texts[i], batch.ids_of(i), batch.offsets_of(i), batch.special_of(i), pieces[i], {},
                             max_token_id, cache.protected_ids, owned[i], spelled[i]);
        }
        const std::vector<ReadTokens> again = read_spellings_in_place(call, texts, batch, pieces, spelled, owned);
        for (std::size_t i = 0; i < texts.size(); ++i) {
            mark_tagged(again[i].ids.empty() ? batch.offsets_of(i) : std::span<const CharSpan>(again[i].offsets),
                        located[i]->spans.tagged, owned[i]);
        }
        replace_protected_spellings(cache, call.tokenizer, texts, owned);  // what still spells one, read alone
        for (OwnedTokens& tokens : owned) drop_doubled_specials(tokens);
        for (std::size_t i = 0; i < texts.size(); ++i) located[i]->tokens = std::move(owned[i]);
    }
    for (const Try& one : tries) cache.observe_text(one.written.characters, one.written.tokens.ids.size());
}

// The first ways to write row `r`: whole, or as many exchanges left out as
// its characters suggest and one fewer.
void first_tries(const ChatCall& call, std::size_t r, std::vector<Try>& tries) {
    Written whole = write(call, r, 0);
    const double per_token = call.options.max_length ? call.cache.typical_characters_per_token() : 0;
    const std::size_t guess =
        per_token > 0 ? exchanges_to_drop(whole.characters, whole.spans.pieces, call.rows[r].exchanges,
                                          *call.options.max_length, per_token)
                      : 0;
    for (const ExchangeSearch::Way way : ExchangeSearch::first_ways(guess)) {
        if (way.dropped == 0) {  // the whole conversation is written already
            whole.counted = way.counted && call.options.max_length;
            tries.push_back({r, way, std::move(whole)});
        } else {
            tries.push_back({r, way, write(call, r, way.dropped, way.counted)});
        }
    }
}

// What a way of writing a row showed: a count shows only that it is too long.
void learn(const EncodingCache& cache, ChatRow& row, Try&& tried, std::optional<std::size_t> max_length) {
    using Shown = ExchangeSearch::Shown;
    const std::size_t tokens = tried.written.tokens.ids.size();
    const Shown shown = tried.written.counted
                            ? (shown_too_long(cache, tried.written.tokens.ids, *max_length) ? Shown::too_long : Shown::nothing)
                            : (!max_length || tokens <= *max_length ? Shown::fits : Shown::too_long);
    if (row.search.learn(tried.way, shown)) (shown == Shown::fits ? row.best : row.longest) = std::move(tried.written);
}

// The next way to write a row, or none when its search is done.
std::optional<ExchangeSearch::Way> next_try(const ChatRow& row, std::optional<std::size_t> max_length) {
    const Written& longest = row.longest;
    const bool read = !row.search.fits() && row.search.too_long() && !longest.counted;
    const std::size_t suggested =
        read ? exchanges_to_drop(longest.tokens, longest.spans.pieces, row.exchanges, *max_length) : 0;
    return row.search.next(suggested, row.exchanges.count);
}

// Tokenizes `tries` and learns from them; returns the ways to try next.
std::vector<Try> step(const ChatCall& call, std::vector<Try>&& tries) {
    tokenize(call, tries);
    std::vector<std::size_t> touched;
    for (Try& tried : tries) {
        if (touched.empty() || touched.back() != tried.row) touched.push_back(tried.row);
        learn(call.cache, call.rows[tried.row], std::move(tried), call.options.max_length);
    }
    std::vector<Try> next;
    for (std::size_t r : touched) {
        if (const std::optional<ExchangeSearch::Way> way = next_try(call.rows[r], call.options.max_length)) {
            next.push_back({r, *way, write(call, r, way->dropped, way->counted)});
        }
    }
    return next;
}

// overflow='split': every conversation written whole; one too long is split
// into runs of whole exchanges (core RunSearch), each written as the shorter
// conversation of its opening system messages and those exchanges, tried a
// tokenizer call a round for all rows. Returns each row's runs, in order
// (none where not even one exchange fits).
std::vector<std::vector<Written>> split_rows(const ChatCall& call) {
    const std::size_t max_length = *call.options.max_length;
    std::vector<std::vector<Written>> runs(call.rows.size());
    std::vector<std::optional<RunSearch>> searches(call.rows.size());
    std::vector<Written> best(call.rows.size());
    std::vector<Try> tries;
    for (std::size_t r = 0; r < call.rows.size(); ++r) tries.push_back({r, {}, write(call, r, 0)});
    tokenize(call, tries);
    std::vector<Try> next;
    for (Try& tried : tries) {
        const std::size_t r = tried.row;
        if (tried.written.tokens.ids.size() <= max_length) {
            runs[r].push_back(std::move(tried.written));
            continue;
        }
        const Written& whole = tried.written;
        searches[r].emplace(tokens_per_exchange(whole.tokens, whole.spans.pieces, call.rows[r].exchanges), max_length);
        if (searches[r]->next() != SIZE_MAX) {
            next.push_back({r, {}, write(call, r, searches[r]->begin(), false, searches[r]->next())});
        }
    }
    while (!next.empty()) {
        tokenize(call, next);
        std::vector<Try> more;
        for (Try& tried : next) {
            const std::size_t r = tried.row;
            RunSearch& search = *searches[r];
            const std::size_t known = search.runs().size();
            if (search.learn(search.next(), tried.written.tokens.ids.size() <= max_length)) {
                best[r] = std::move(tried.written);
            }
            if (search.runs().size() > known) runs[r].push_back(std::move(best[r]));
            if (search.next() != SIZE_MAX) more.push_back({r, {}, write(call, r, search.begin(), false, search.next())});
        }
        next = std::move(more);
    }
    return runs;
}

// Lays out the runs of every row (row_index: the conversation each came from), pads and converts.
Ref lay_out_split(const ChatCall& call, const std::vector<std::vector<Written>>& runs, bool batch) {
    std::vector<ConversationRow> laid;
    std::vector<std::size_t> source;
    for (std::size_t r = 0; r < runs.size(); ++r) {
        for (const Written& run : runs[r]) {
            laid.push_back({&run.tokens, run.spans.pieces, call.rows[r].labelled});
            source.push_back(r);
        }
    }
    const ChatOptions& options = call.options;
    EncodedRows encoded(0, !options.generation_prompt);
    std::vector<std::size_t> row_index;
    lay_out_conversations(laid, options.max_length, options.labels, true, encoded, row_index);
    for (std::size_t& index : row_index) index = source[index];
    if (options.pack) return pack_encoded(encoded, &row_index, options);
    Layout layout{padded_width(encoded, options.padding), options.pad.value_or(0), options.left, batch, options.tensors,
                  0, &row_index};
    layout.positions = false;
    return encoded_result(call.cache, encoded, layout);
}

// The tokenizer's side that encode() and encode_batch() share, made again when stale.
std::shared_ptr<const EncodingCache> fresh_cache(ChatObject& self, const ChatWriting& writing,
                                                 const TokenizerView& tokenizer) {
    const std::shared_ptr<const EncodingCache> last = read_held(self, self.record.encoding);
    std::shared_ptr<const EncodingCache> cache = tokenizer_cache(last, tokenizer, !writing.compiled);
    if (cache == last) return cache;
    publish_cache(self, cache, [&] { return self.record.tokenizer.get() == tokenizer.object.get(); });
    return cache;
}

// What opens the model's turn: learnt once with the object's own variables,
// each call anew with variables of its own.
std::string turn_header(ChatObject& self, const ChatWriting& writing, ChatInputs& inputs) {
    if (inputs.own_variables) {
        learn_header(writing, inputs);
        return std::move(inputs.header);
    }
    if (std::shared_ptr<const std::string> known = read_held(self, self.record.header)) return *known;
    learn_header(writing, inputs);
    auto learnt = std::make_shared<const std::string>(std::move(inputs.header));
    locked_step(self_of(self), [&] {
        if (!self.record.header) self.record.header = learnt;
    });
    return *learnt;
}

// encode() and encode_batch():
// 1. read the conversations, and per message its kind and whether it is labelled;
// 2. write and tokenize every conversation in one call: whole, or, where
//    its characters say it is too long, without the leading exchanges they
//    suggest and with one fewer (which must not fit; counted in a call of
//    its own);
// 3. those not settled are written and tokenized again, one way each a
//    call, until the fewest exchanges dropped that fit are known or the last
//    exchange alone does not fit;
// 4. lay the rows out in order (leaving out those that cannot fit, when
//    asked), pad and convert.
Ref encode_conversations(ChatObject& self, PyObject* given, bool batch, const Options& options) {
    std::shared_ptr<const ChatWriting> writing;
    HeldTokenizer held = read_tokenizer(self, [&] { writing = self.record.writing; });
    const TokenizerView tokenizer = view_known(held.object.get(), std::move(held.last));
    const ChatOptions call = chat_options(tokenizer, options, batch);
    ChatInputs inputs = chat_inputs(*writing, options.others.get(), call.generation_prompt, call.continue_final);
    const std::shared_ptr<const EncodingCache> cache = fresh_cache(self, *writing, tokenizer);

    // 1.
    const std::vector<Conversation> conversations = read_conversations(given, batch);
    if (!call.generation_prompt) check_train_on(*writing, call, conversations);
    std::vector<ChatRow> rows(conversations.size());
    for (std::size_t r = 0; r < rows.size(); ++r) {
        message_kinds(conversations[r], call, rows[r].kinds, rows[r].labelled);
        rows[r].exchanges = group_exchanges(rows[r].kinds);
    }
    if (call.labels == Labels::turns && !call.generation_prompt) inputs.header = turn_header(self, *writing, inputs);
    const ChatCall chat_call{*writing, inputs, *cache, tokenizer, conversations, rows, call};
    if (call.split) return lay_out_split(chat_call, split_rows(chat_call), batch);
    // 2. and 3. (A first batch with a limit tokenizes a few rows whole, to learn from.)
    std::vector<Try> tries;
    const std::size_t first = rows_to_learn_from(*cache, call.max_length.has_value(), rows.size());
    if (first > 0) {
        for (std::size_t r = 0; r < first; ++r) tries.push_back({r, {}, write(chat_call, r, 0)});
        tries = step(chat_call, std::move(tries));
    }
    for (std::size_t r = first; r < rows.size(); ++r) first_tries(chat_call, r, tries);
    while (!tries.empty()) tries = step(chat_call, std::move(tries));
    // 4.
    std::vector<ConversationRow> laid;
    for (const ChatRow& row : rows) laid.push_back({&row.result().tokens, row.result().spans.pieces, row.labelled});
    EncodedRows encoded(0, !call.generation_prompt);
    std::vector<std::size_t> row_index;
    if (const std::optional<LayoutStop> stop =
            lay_out_conversations(laid, call.max_length, call.labels, call.drop, encoded, row_index)) {
        PyErr_Format(PyExc_ValueError, messages::conversation_too_long, stop->row, stop->needed, *call.max_length);
        throw PythonError{};
    }
    if (call.pack) return pack_encoded(encoded, call.drop ? &row_index : nullptr, call);
    Layout layout{padded_width(encoded, call.padding), call.pad.value_or(0), call.left, batch, call.tensors, 0,
                  call.drop ? &row_index : nullptr};
    layout.positions = false;
    return encoded_result(*cache, encoded, layout);
}

}  // namespace

Ref chat_render(ChatObject& self, const Arguments& arguments, const Options& options) {
    const std::shared_ptr<const ChatWriting> writing = read_held(self, self.record.writing);
    const Conversation conversation = read_conversation(arguments[0].get(), 0);
    const bool generation_prompt = arguments[1] && flag_of(arguments[1].get(), "add_generation_prompt", false);
    const bool continue_final = flag_of(options[0].get(), "continue_final_message", false);
    const ChatInputs inputs = chat_inputs(*writing, options.others.get(), generation_prompt, continue_final);
    std::vector<std::uint32_t> kept;
    for (std::size_t m = 0; m < conversation.roles.size(); ++m) kept.push_back(static_cast<std::uint32_t>(m));
    return new_str(write_conversation(*writing, inputs, conversation, kept, {}, nullptr, 0));
}

Ref chat_encode(ChatObject& self, const Arguments& arguments, const Options& options) {
    return encode_conversations(self, arguments[0].get(), false, options);
}

Ref chat_encode_batch(ChatObject& self, const Arguments& arguments, const Options& options) {
    return encode_conversations(self, arguments[0].get(), true, options);
}

}  // namespace korvanta
