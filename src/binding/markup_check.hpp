// validate(), escape() and MarkupError: checking templates and putting any
// text into one safely.
#pragma once

#include "binding/conversions.hpp"
#include "binding/entry_points.hpp"

namespace korvanta {

extern const char validate_doc[];
extern const char escape_doc[];

// The MarkupError class, a ValueError: made on first need and kept for the process.
PyObject* markup_error_type();

// None for a template that parses whole; otherwise raises MarkupError.
Ref validate(const Arguments& arguments);
// The bound `text` with a backslash before every backslash and bracket, as an exact str.
Ref escape(const Arguments& arguments);

}  // namespace korvanta
