// Plain decimal text of floating-point values, for messages.
//
// Thread safety: pure functions.
#ifndef VESK_CORE_UTILS_FLOAT_FORMAT_H_
#define VESK_CORE_UTILS_FLOAT_FORMAT_H_

#include <string>

namespace vesk {

// Returns the shortest decimal that reads back as `value` (as a float32),
// written without exponent: "1.5", "-0.25", "2", "-0", "0.000001",
// "100000000000000000000". Non-finite values give "NaN", "inf" and "-inf".
std::string format_float_plain(float value);

// Returns the shortest decimal that reads back as `value` (as a double),
// written without exponent and with at least one fractional digit: "384.0",
// "-0.0", "0.00000015", "18446744073709552000.0". Non-finite values give
// "NaN", "inf" and "-inf".
std::string format_double_with_fraction(double value);

}  // namespace vesk

#endif  // VESK_CORE_UTILS_FLOAT_FORMAT_H_
