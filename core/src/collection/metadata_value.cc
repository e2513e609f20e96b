#include "collection/metadata_value.h"

#include <cmath>

namespace vesk {

namespace {

// Exact order of an integer and a double: the double is split into its
// integer part (exact when in range) and the sign of its fraction.
std::partial_ordering compare_int_double(int64_t i, double d) {
  if (std::isnan(d)) return std::partial_ordering::unordered;
  // 2^63 is exactly representable; every double at or above it exceeds any
  // int64, every double below -2^63 is below any int64.
  constexpr double kTwo63 = 9223372036854775808.0;
  if (d >= kTwo63) return std::partial_ordering::less;
  if (d < -kTwo63) return std::partial_ordering::greater;
  const double whole = std::trunc(d);
  const int64_t w = static_cast<int64_t>(whole);  // exact: |whole| < 2^63 or == -2^63
  if (i != w) return i < w ? std::partial_ordering::less : std::partial_ordering::greater;
  const double fraction = d - whole;  // exact
  if (fraction > 0) return std::partial_ordering::less;
  if (fraction < 0) return std::partial_ordering::greater;
  return std::partial_ordering::equivalent;
}

std::partial_ordering reverse(std::partial_ordering order) {
  if (order == std::partial_ordering::less) return std::partial_ordering::greater;
  if (order == std::partial_ordering::greater) return std::partial_ordering::less;
  return order;
}

}  // namespace

std::partial_ordering compare_metadata(const MetadataValue& a, const MetadataValue& b) {
  if (const auto* s = std::get_if<std::string>(&a)) {
    const auto* t = std::get_if<std::string>(&b);
    if (t == nullptr) return std::partial_ordering::unordered;
    const int c = s->compare(*t);
    return c < 0 ? std::partial_ordering::less
                 : (c > 0 ? std::partial_ordering::greater : std::partial_ordering::equivalent);
  }
  if (const auto* x = std::get_if<bool>(&a)) {
    const auto* y = std::get_if<bool>(&b);
    if (y == nullptr) return std::partial_ordering::unordered;
    return static_cast<int>(*x) <=> static_cast<int>(*y);
  }
  if (const auto* i = std::get_if<int64_t>(&a)) {
    if (const auto* j = std::get_if<int64_t>(&b)) return *i <=> *j;
    if (const auto* d = std::get_if<double>(&b)) return compare_int_double(*i, *d);
    return std::partial_ordering::unordered;
  }
  if (const auto* d = std::get_if<double>(&a)) {
    if (const auto* e = std::get_if<double>(&b)) return *d <=> *e;
    if (const auto* j = std::get_if<int64_t>(&b)) return reverse(compare_int_double(*j, *d));
    return std::partial_ordering::unordered;
  }
  return std::partial_ordering::unordered;
}

}  // namespace vesk
