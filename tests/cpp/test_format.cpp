// Number printing for reprs: every fixed-decimal case, which no bound class
// prints yet, and the shortest form at its edges.
#include <cmath>
#include <limits>

#include "check.hpp"
#include "format.hpp"

using ostina::format_fixed;
using ostina::format_shortest;

int main() {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    constexpr double inf = std::numeric_limits<double>::infinity();
    struct Shortest { double value; const char* text; };
    for (auto [value, text] : {Shortest{440.0, "440"}, {0.5, "0.5"}, {0.1, "0.1"}, {1e21, "1000000000000000000000"},
                               {1e23, "100000000000000000000000"}, {18446744073709551616.0, "18446744073709552000"},
                               {1e-7, "0.0000001"}, {-2.5e-5, "-0.000025"}, {123.456, "123.456"}, {0.0, "0"},
                               {-0.0, "-0"}, {nan, "NaN"}, {inf, "inf"}, {-inf, "-inf"}})
        CHECK_EQ(format_shortest(value), std::string(text));
    CHECK_EQ(format_shortest(5e-324), "0." + std::string(323, '0') + "5");

    struct Fixed { double value; int decimals; const char* text; };
    for (auto [value, decimals, text] : {Fixed{0.8f, 2, "0.80"}, {2.0, 2, "2.00"}, {0.125, 2, "0.12"},
                                         {0.375, 2, "0.38"}, {2.5, 0, "2"}, {3.5, 0, "4"}, {-0.0, 2, "-0.00"},
                                         {-0.0001, 3, "-0.000"}, {-0.25f, 2, "-0.25"}, {1.5, 2, "1.50"},
                                         {0.1, 20, "0.10000000000000000555"}, {1e300, 1, nullptr},
                                         {nan, 2, "NaN"}, {inf, 2, "inf"}, {-inf, 0, "-inf"}}) {
        if (text != nullptr) CHECK_EQ(format_fixed(value, decimals), std::string(text));
        else CHECK_EQ(format_fixed(value, decimals).size(), 301u + 2u);  // every integral digit
    }
    return check::finish();
}
