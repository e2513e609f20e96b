#include "utils/float_format.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string_view>

namespace vesk {

namespace {

// Lays out `value` in plain notation from its shortest round-trip digits
// (those of its own type), with ".0" after an integral value when
// `with_fraction` is set.
template <typename T>
std::string FormatPlain(T value, bool with_fraction) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";

  // Shortest round-trip digits in scientific form, e.g. "-2.5e-01".
  char buf[64];
  const auto [end, ec] =
      std::to_chars(buf, buf + sizeof(buf), value, std::chars_format::scientific);
  std::string_view sci(buf, end - buf);

  std::string out;
  if (sci.front() == '-') {
    out.push_back('-');
    sci.remove_prefix(1);
  }
  const size_t e_at = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, e_at)) {
    if (c != '.') digits.push_back(c);
  }
  const int exponent = std::atoi(std::string(sci.substr(e_at + 1)).c_str());

  // The value is 0.<digits> * 10^point.
  const long point = static_cast<long>(exponent) + 1;
  const long n = static_cast<long>(digits.size());
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<size_t>(-point), '0');
    out += digits;
  } else if (point >= n) {
    out += digits;
    out.append(static_cast<size_t>(point - n), '0');
    if (with_fraction) out += ".0";
  } else {
    out.append(digits, 0, static_cast<size_t>(point));
    out.push_back('.');
    out.append(digits, static_cast<size_t>(point), std::string::npos);
  }
  return out;
}

}  // namespace

std::string format_float_plain(float value) { return FormatPlain(value, false); }

std::string format_double_with_fraction(double value) { return FormatPlain(value, true); }

}  // namespace vesk
