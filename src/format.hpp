// Number printing for reprs, and text built from pieces.
#pragma once

#include <charconv>
#include <concepts>
#include <string>
#include <string_view>

namespace ostina {

// Shortest text that reads back to the same double, never in exponent form
// and without ".0" for integral values: 440.0 -> "440", 1e-7 -> "0.0000001".
// NaN -> "NaN", infinities -> "inf" / "-inf", negative zero -> "-0".
std::string format_shortest(double value);

// Exactly `decimals` digits after the point, rounded from the exact binary
// value with ties to even: 0.125 at two decimals -> "0.12". The sign of a
// negative value survives rounding to zero ("-0.00").
std::string format_fixed(double value, int decimals);

// Text built from pieces: strings as they are, integers in decimal, bools as
// "true" / "false". Floats are left out on purpose: each repr chooses
// shortest or fixed printing.
namespace detail {
inline void append_piece(std::string& out, std::string_view text) { out += text; }
inline void append_piece(std::string& out, char c) { out += c; }
// A template, so that nothing converts to bool on the way (a char pointer would).
template <std::same_as<bool> Bool>
void append_piece(std::string& out, Bool flag) {
    out += flag ? "true" : "false";
}
template <std::integral Integer>
    requires(!std::same_as<Integer, char> && !std::same_as<Integer, bool>)
void append_piece(std::string& out, Integer value) {
    char digits[24];
    auto result = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, result.ptr);
}
}  // namespace detail

template <class... Pieces>
std::string concat(const Pieces&... pieces) {
    std::string out;
    (detail::append_piece(out, pieces), ...);
    return out;
}

}  // namespace ostina
