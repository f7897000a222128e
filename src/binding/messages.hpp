// Every fixed text the module shows to Python, written once.
#pragma once

namespace korvanta::messages {

// Access to an object's record.
inline constexpr const char already_borrowed[] = "Already borrowed";
inline constexpr const char already_mutably_borrowed[] = "Already mutably borrowed";
inline constexpr const char cannot_delete[] = "can't delete attribute";
inline constexpr const char no_constructor[] = "No constructor defined";
inline constexpr const char no_exception_set[] = "attempted to fetch exception but none was set";

// Conversions: "'{T}' object cannot be converted to '{U}'".
inline constexpr const char cannot_convert[] = "'%U' object cannot be converted to '%s'";
inline constexpr const char unknown_type_name[] = "<failed to extract type name>";
inline constexpr const char argument_prefix[] = "argument '%s': %S";

// Expected types named by conversion failures.
inline constexpr const char py_string[] = "PyString";
inline constexpr const char py_list[] = "PyList";
inline constexpr const char py_dict[] = "PyDict";
inline constexpr const char sequence[] = "Sequence";

// Argument binding.
inline constexpr const char too_many_fixed[] = "%s takes %zd positional arguments but %zd %s given";
inline constexpr const char too_many_range[] = "%s takes from %zd to %zd positional arguments but %zd %s given";
inline constexpr const char unexpected_keyword[] = "%s got an unexpected keyword argument '%S'";
inline constexpr const char positional_only_keyword[] =
    "%s got some positional-only arguments passed as keyword arguments: '%S'";
inline constexpr const char multiple_values[] = "%s got multiple values for argument '%S'";
inline constexpr const char missing_required[] = "%s missing %zd required positional %s: %s";

// Pickling a subclass whose own methods say how to recreate it.
inline constexpr const char bad_getnewargs_ex[] = "__getnewargs_ex__ should return a tuple (args, kwargs) of a tuple and a dict";
inline constexpr const char bad_getnewargs[] = "__getnewargs__ should return a tuple";

// Templates.
inline constexpr const char index_out_of_bounds[] = "index out of bounds: the len is %zu but the index is %llu";

// Encoding rows with the template's tokenizer.
inline constexpr const char not_a_tokenizer[] =
    "the template's tokenizer ('%U' object) offers no '%s': encode() needs a tokenizers.Tokenizer or a fast "
    "tokenizer of transformers";
inline constexpr const char needs_mask_token[] =
    "the template has slots but the tokenizer names no mask token: pass mask_token= (a token, or None for a "
    "causal model)";
inline constexpr const char unknown_token[] = "%s %R is not a token of the tokenizer";
inline constexpr const char mask_not_one_token[] = "the mask token %R is not read as one token by the tokenizer";
inline constexpr const char template_too_long[] = "the template alone needs %zu tokens, more than max_length=%zu";
inline constexpr const char row_too_long[] =
    "row %zu needs %zu tokens without the fields it may shorten, more than max_length=%zu";
inline constexpr const char missing_field[] = "'%U' (row %zu): the row has no field '%U'";
inline constexpr const char missing_column[] = "'%U': the batch has no column '%U'";
inline constexpr const char row_keys[] = " (its keys: %U)";
inline constexpr const char row_no_keys[] = " (it has no keys)";
inline constexpr const char batch_columns[] = " (its columns: %U)";
inline constexpr const char batch_no_columns[] = " (it has no columns)";
inline constexpr const char special_spelling[] =
    "; the tokenizer has a special token %U: to write it, escape the brackets in the template (%U)";
inline constexpr const char bad_side[] = "truncation_side must be 'right' or 'left', not %R";
inline constexpr const char bad_padding[] = "padding must be False, 'longest' or a number of tokens, not %R";
inline constexpr const char bad_return_tensors[] = "return_tensors must be None, 'np', 'pt' or 'arrow', not %R";
inline constexpr const char bad_collator_tensors[] = "return_tensors must be None, 'np' or 'pt', not %R";
inline constexpr const char bad_max_length[] = "max_length must be None or a positive number of tokens, not %R";
inline constexpr const char needs_pad_token[] = "padding needs a pad token: pass pad_token=";
inline constexpr const char ragged_arrays[] =
    "return_tensors='%s' needs rows of one length: pass padding='longest' or padding=N";
inline constexpr const char ragged_columns[] = "column '%U' has %zd rows, but column '%U' has %zd";
inline constexpr const char needs_numpy[] = "return_tensors='np' needs numpy: pip install numpy";
inline constexpr const char mask_not_at_slot[] =
    "row %zu: the mask token %R is not read as one token at each slot by the tokenizer";
inline constexpr const char not_a_row[] =
    "row %zu is a '%U', not a mapping: rows are mappings such as {\"text\": ...}";
inline constexpr const char not_rows[] =
    "rows must be a list of mappings such as {\"text\": ...} or a mapping of columns, not a '%U'";
inline constexpr const char column_not_a_list[] =
    "column '%U' is a '%U', not a list: pass a list of rows or a mapping of columns of equal-length lists";
inline constexpr const char option_type[] = "%s must be %s, not %U";
inline constexpr const char names_type[] = "%s must be a str or an iterable of str, not %U holding %U";
inline constexpr const char array_mismatch[] =
    "return_tensors='np': numpy.zeros gave %R, not a C-contiguous int64 array of %zd items";
// What a tokenizer returned, when it is not what a tokenizer returns.
inline constexpr const char tokenizer_not_a_list[] = "the tokenizer's %s returned %R, not a list of encodings";
inline constexpr const char tokenizer_result_count[] = "the tokenizer's %s returned %zd encodings for %zu texts";
inline constexpr const char tokenizer_not_a_sequence[] = "the tokenizer's %s returned an encoding whose %S is %R, not a sequence";
inline constexpr const char tokenizer_lengths[] =
    "the tokenizer's %s returned an encoding whose ids, offsets and special_tokens_mask differ in length (%zd, %zd, "
    "%zd)";
inline constexpr const char tokenizer_id_type[] = "the tokenizer's %s returned an id that is not an int: %R";
inline constexpr const char tokenizer_id_range[] = "the tokenizer's %s returned the id %R, not one of 0 to 2**63-1";
inline constexpr const char tokenizer_offset_type[] =
    "the tokenizer's %s returned an offset that is not a pair of ints: %R";
inline constexpr const char tokenizer_offset_range[] =
    "the tokenizer's %s returned the offsets (%zd, %zd) for a text of %zu characters";
inline constexpr const char tokenizer_flag_type[] =
    "the tokenizer's %s returned a special_tokens_mask entry that is not an int: %R";
inline constexpr const char not_a_control[] =
    "%s names '%U', which is neither a field nor a slot of the template (%U)";
inline constexpr const char template_names[] = "its fields and slots: %U";
inline constexpr const char template_has_none[] = "it has none";
inline constexpr const char target_without_options[] =
    "targets names slot '%U', which has no options: a target slot's answer is one of its options";
inline constexpr const char none_in_row[] =
    "row %zu: field '%U' is None: fill it, or leave the row out (a missing value is never written as text)";
inline constexpr const char none_value[] = "field '%U' is None: fill it (a missing value is never written as text)";
inline constexpr const char bad_tokenizer_padding_side[] =
    "the tokenizer's padding_side is %R: pass padding_side='right' or 'left'";
inline constexpr const char tokenizer_not_copyable[] =
    "the tokenizer cannot be copied (%S): encode() works on a copy when the tokenizer truncates or pads or reads "
    "special tokens as text; turn that off (no_truncation(), no_padding(), encode_special_tokens = False)";
inline constexpr const char bad_answer[] =
    "row %zu: the answer to slot '%U' must be one of %R or an index into them, not %R";
inline constexpr const char bad_overflow[] = "overflow must be 'raise' or 'drop', not %R";
inline constexpr const char bad_chat_overflow[] = "overflow must be 'raise', 'drop' or 'split', not %R";
inline constexpr const char bad_padding_side[] = "padding_side must be 'right' or 'left', not %R";
inline constexpr const char needs_torch[] = "return_tensors='pt' needs torch: pip install torch";
inline constexpr const char longer_than_model[] =
    "row %zu is %zu tokens long, more than the tokenizer's model_max_length=%zu (%zu rows of this call are); pass "
    "max_length= to cut them";
inline constexpr const char label_word_pieces[] = "label word %R of slot '%U' is %zd tokens, not one: %R";

// Conversations.
inline constexpr const char needs_jinja[] = "a chat template needs jinja2 (%S): pip install 'jinja2>=3.1.6'";
inline constexpr const char unsafe_jinja[] =
    "a chat template needs jinja2 3.1.6 or newer, not %S: older releases let a template reach outside its sandbox; "
    "pip install 'jinja2>=3.1.6'";
inline constexpr const char namespace_private[] =
    "a chat template cannot store %r on a namespace: names that start with '_' are refused";
inline constexpr const char prompt_and_continue[] =
    "pass add_generation_prompt=True or continue_final_message=True, not both: the first starts a new turn of the "
    "model, the second leaves the last message open";
inline constexpr const char final_message_not_found[] =
    "conversation %zu: continue_final_message=True, but the chat template does not write the last message's content "
    "as it is";
inline constexpr const char unknown_train_on[] =
    "train_on names %R, which is not a role of this call's messages nor of the chat template; roles here: %R";
inline constexpr const char no_generation_blocks[] =
    "train_on='generation' needs a chat template with {%% generation %%} blocks, which this one has not";
inline constexpr const char generation_and_roles[] =
    "train_on='generation' labels what the chat template's {%% generation %%} blocks hold: name no role with it";
inline constexpr const char no_chat_template[] =
    "the tokenizer has no chat template: pass template= (a Jinja chat template) or roles= (a markup per role, "
    "each with one field [content])";
inline constexpr const char template_and_roles[] = "pass template= or roles=, not both";
inline constexpr const char chat_template_unusable[] = "the chat template cannot be used: %S";
inline constexpr const char roles_not_str[] = "roles= maps role names (str) to markups (str)";
inline constexpr const char role_markup_unusable[] =
    "the markup of role %R must be well formed and hold one field [content] and nothing else in brackets: %R";
inline constexpr const char bad_message[] =
    "conversation %zu, message %zd: a message is a mapping with a 'role' (str) and a 'content', not %R";
inline constexpr const char role_without_markup[] = "conversation %zu: role %R has no markup (roles: %R)";
inline constexpr const char content_not_str[] = "conversation %zu, message %zu: the content is %R, not a str";
inline constexpr const char markers_in_conversation[] =
    "conversation %zu holds characters of U+F0000 to U+FFFFD, which mark where contents stand while a chat "
    "template is rendered";
inline constexpr const char content_not_found[] =
    "conversation %zu, message %zu: the chat template writes its content in a way that cannot be located (it "
    "changes the text around it, or writes it more than once)";
inline constexpr const char conversation_too_long[] =
    "conversation %zu needs %zu tokens with only its opening system messages and its last exchange, more than "
    "max_length=%zu; pass overflow='drop' to leave such conversations out";

// Packing and collating.
inline constexpr const char not_encoded[] =
    "%s needs a mapping with an 'input_ids' column (what encode_batch returns), not %.100s";
inline constexpr const char not_token_rows[] =
    "%s must hold rows of token ids (lists of int, or a 2-D integer array), not %.100s";
inline constexpr const char column_rows_differ[] = "%s holds %zu rows, but input_ids holds %zu";
inline constexpr const char row_lengths_differ[] = "%s row %zu holds %zu values, but its input_ids row holds %zu";
inline constexpr const char example_too_long[] =
    "example %zu is %zu tokens long, more than max_length=%zu; pass overflow='drop' to leave such examples out";
inline constexpr const char no_module_attribute[] = "module 'korvanta' has no attribute %R";
inline constexpr const char needs_pyarrow[] = "Arrow tables and arrays need pyarrow: pip install pyarrow";
inline constexpr const char padded_arrow_rows[] =
    "an Arrow table's rows are packed as they are: its attention_mask must hold no padding (0)";
inline constexpr const char bad_strategy[] = "strategy must be 'bfd' or 'sequential', not %R";
inline constexpr const char needs_pad_id[] = "padding needs a pad id: pass pad_token_id=";
inline constexpr const char bad_pad_id[] = "pad_token_id must be None or an int, not %R";
inline constexpr const char bad_open_rows[] = "open_rows must be a positive number of rows, not %R";
inline constexpr const char bad_multiple[] = "pad_to_multiple_of must be None or a positive int, not %R";
inline constexpr const char pack_one_row[] = "pack=True packs the rows of encode_batch(); encode() makes one row";
inline constexpr const char pack_needs_max_length[] = "pack=True needs max_length=, the length of a packed row";
inline constexpr const char packer_labels_changed[] =
    "a Packer packs batches that all carry labels, or none: this batch differs from the ones before";
inline constexpr const char collator_labels_mixed[] = "a batch's rows must all carry labels, or none";
inline constexpr const char collator_positions_mixed[] =
    "a batch's rows must all carry position_ids (packed rows), or none";
inline constexpr const char not_features[] =
    "a collator takes a list of rows, each a mapping with an 'input_ids' list, not %.100s";

// Why a template is not well formed (MarkupError.msg).
inline constexpr const char unescaped_close[] = "unescaped ']' (write \\] for a literal bracket)";
inline constexpr const char lone_backslash[] = "backslash that escapes nothing (write \\\\ for a literal backslash)";
inline constexpr const char unclosed_control[] = "'[' was never closed (write \\[ for a literal bracket)";
inline constexpr const char bracket_in_control[] = "'[' inside a control";
inline constexpr const char empty_name[] = "empty control name";
inline constexpr const char hash_in_name[] = "'#' in a control name";
inline constexpr const char comma_in_name[] = "',' in a control name";
inline constexpr const char empty_option[] = "empty option";
inline constexpr const char second_bar[] = "second '|' in a control";
inline constexpr const char markup_error_text[] = "%S: line %S column %S (char %S)";

// Internal failures.
inline constexpr const char no_interpreter_dict[] = "korvanta cannot keep values of its own in this interpreter";
inline constexpr const char panic_name[] = "korvanta.PanicException";
inline constexpr const char panic_doc[] =
    "Raised when korvanta's own code fails internally.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so it\n"
    "typically propagates all the way up and ends the interpreter.";
inline constexpr const char internal_failure[] = "korvanta failed internally";
inline constexpr const char unwrapped_panic[] = "Unwrapped panic from Python code";
inline constexpr const char resuming_panic[] =
    "korvanta: resuming an internal failure fetched from Python code\n"
    "korvanta: the Python exception and its traceback follow\n";
inline constexpr const char all_append_failed[] = "could not append __name__ to __all__: ";

}  // namespace korvanta::messages
