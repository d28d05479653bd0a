// Binding frame: text signatures and argument binding.
#pragma once

#include "frame_refs.hpp"

#include <charconv>
#include <concepts>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace ostina::py {

// ---------------------------------------------------------------------------
// Signatures: the text signature of a callable ("sample_at($self, frame,
// channel)") is written once; the frame derives the method name, the
// parameter names and defaults, and the docstring from it.

template <std::size_t N>
struct FixedString {
    char text[N]{};
    constexpr FixedString(const char (&literal)[N]) {
        for (std::size_t i = 0; i < N; ++i) text[i] = literal[i];
    }
    constexpr std::string_view view() const { return {text, N - 1}; }
};

// Parameters after "$self", counted at compile time so that a table entry
// whose text and function disagree fails to build.
constexpr std::size_t parameter_count(std::string_view signature) {
    std::size_t commas = 0, depth = 0;  // a default may be "()"
    bool quoted = false, empty = true, self = false;
    for (char c : signature) {
        if (c == '(' && !quoted && depth++ == 0) continue;
        else if (depth == 0 || c == ' ') continue;
        else if (c == ')' && !quoted && --depth == 0) break;
        else if (c == '"') quoted = !quoted;
        else if (c == '$') self = true;
        else if (c == ',' && !quoted) ++commas;
        else empty = false;
    }
    if (empty) return 0;
    return commas + 1 - (self ? 1 : 0);
}

struct Parameter {
    std::string name;
    std::optional<std::string> default_text;
};

struct Signature {
    std::string name;        // "sample_at"
    std::string docstring;   // the text signature and the doc line
    std::string function;    // "AudioBuffer.sample_at()" for messages
    std::vector<Parameter> parameters;
    std::size_t required = 0;
};

// `owner` names the class; constructors are reported as "<owner>.__new__()".
Signature parse_signature(std::string_view owner, std::string_view text, std::string_view doc,
                          bool constructor);

// Vectorcall layout (positionals, then keyword values named by `names`).
void bind_arguments(const Signature& signature, PyObject** slots, PyObject* const* args,
                    Py_ssize_t positional, PyObject* names);
// Tuple and dict layout, as the constructor slot receives them.
void bind_arguments(const Signature& signature, PyObject** slots, PyObject* args, PyObject* kwargs);

// A default text that does not read as its parameter's type is a fault of
// the class table, reported when the type is created.
[[noreturn]] void reject_default(const Signature& signature, std::string_view text);

template <class T>
inline constexpr bool is_optional_v = false;
template <class T>
inline constexpr bool is_optional_v<std::optional<T>> = true;
template <class T>
inline constexpr bool is_vector_v = false;
template <class T>
inline constexpr bool is_vector_v<std::vector<T>> = true;

// The value a default text stands for ("44100", "440.0", "True",
// "\"Channel\"", "None" for an optional value, "()" for an empty list).
template <class T>
T parse_default(const Signature& signature, std::string_view text) {
    if constexpr (is_optional_v<T>) {
        if (text == "None") return std::nullopt;
    } else if constexpr (is_vector_v<T>) {
        if (text == "()") return T{};
    } else if constexpr (std::same_as<T, bool>) {
        if (text == "True" || text == "False") return text == "True";
    } else if constexpr (std::same_as<T, std::string>) {
        if (text.size() >= 2 && text.front() == '"' && text.back() == '"')
            return std::string(text.substr(1, text.size() - 2));
    } else if constexpr (std::floating_point<T> || std::integral<T>) {
        std::conditional_t<std::floating_point<T>, double, T> value{};
        auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (error == std::errc{} && end == text.data() + text.size()) return static_cast<T>(value);
    }
    reject_default(signature, text);
}

}  // namespace ostina::py
