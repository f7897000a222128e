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
inline constexpr const char multiple_values[] = "%s got multiple values for argument '%S'";
inline constexpr const char missing_required[] = "%s missing %zd required positional %s: %s";

// Pickling a subclass whose own methods say how to recreate it.
inline constexpr const char bad_getnewargs_ex[] = "__getnewargs_ex__ should return a tuple (args, kwargs) of a tuple and a dict";
inline constexpr const char bad_getnewargs[] = "__getnewargs__ should return a tuple";

// Templates.
inline constexpr const char index_out_of_bounds[] = "index out of bounds: the len is %zu but the index is %llu";

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
