// Binding a call's arguments to an operation's parameters from one static
// description per operation (Signature); one binder makes every TypeError.
#pragma once

#include <array>
#include <span>
#include <string_view>

#include "binding/failures.hpp"

namespace korvanta {

// The most parameters an operation has (the tojson filter's).
inline constexpr std::size_t max_parameters = 5;

// The most keyword-only options an operation has (encode's).
inline constexpr std::size_t max_options = 13;

// Whether an operation takes keywords it does not name (passed on, as a
// chat template's variables).
enum class Keywords : bool { named, any };

// How an operation in the call form takes its arguments. Every parameter is
// positional-or-keyword; the first `required` of them must be given. Options
// are keyword-only and never required.
struct Signature {
    const char* full_name;                      // "PromptFragment.__new__()", used in messages
    std::span<const std::string_view> names;    // parameter names, in order
    Py_ssize_t required;                        // how many leading parameters are required
    std::span<const std::string_view> options;  // keyword-only option names, in order
    Keywords keywords;                          // whether other keywords go to Options::others
    Py_ssize_t positional_only;                 // how many leading parameters no keyword may name

    consteval Signature(const char* full_name_, std::span<const std::string_view> names_, Py_ssize_t required_,
                        std::span<const std::string_view> options_ = {}, Keywords keywords_ = Keywords::named,
                        Py_ssize_t positional_only_ = 0)
        : full_name(full_name_), names(names_), required(required_), options(options_), keywords(keywords_),
          positional_only(positional_only_) {
        if (names.size() > max_parameters) throw "more parameters than Arguments holds";
        if (options.size() > max_options) throw "more options than Options holds";
    }
};

// Bound arguments, one strong reference each (empty where a parameter was not
// given): a body may run Python code that drops the caller's references, for
// example by clearing the keyword dict the arguments came from.
using Arguments = std::array<Ref, max_parameters>;
// Bound options, in the order of the signature's option names, held the
// same way; and, where the signature takes any keyword, the others.
struct Options {
    std::array<Ref, max_options> named;
    Ref others;  // a dict of the keywords the signature does not name, or null when none

    Ref& operator[](std::size_t i) noexcept { return named[i]; }
    const Ref& operator[](std::size_t i) const noexcept { return named[i]; }
};

// The fast-call form: positional arguments, then the values of `kwnames`;
// options go to `options` (an operation without options passes none).
Arguments bind_any_vector(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                          Options* options);
// The same, with the usual call (enough positional arguments, no keywords)
// bound in place.
inline Arguments bind_vector(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                             Options* options = nullptr) {
    const Py_ssize_t given = PyVectorcall_NARGS(nargsf);
    if (kwnames != nullptr || given < signature.required || given > static_cast<Py_ssize_t>(signature.names.size())) {
        return bind_any_vector(signature, args, nargsf, kwnames, options);
    }
    Arguments arguments{};
    for (Py_ssize_t i = 0; i < given; ++i) arguments[static_cast<std::size_t>(i)] = Ref::borrow(args[i]);
    return arguments;
}
// The constructor form: an argument tuple and an optional keyword dict
// (options go to `options`, where the signature has any).
Arguments bind_tuple(const Signature& signature, PyObject* args, PyObject* kwargs, Options* options = nullptr);

// Converts one bound argument; a TypeError it raises names the parameter.
template <class Convert>
auto convert_argument(const char* name, Convert&& convert) -> decltype(convert()) {
    try {
        return convert();
    } catch (const PythonError&) {
        name_argument_in_type_error(name);
        throw;
    }
}

}  // namespace korvanta
