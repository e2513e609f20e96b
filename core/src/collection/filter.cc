#include "collection/filter.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <compare>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>

namespace vesk {

// A bit per slot in plain words, combined a word at a time while a tree is
// evaluated; bits past the slot count stay 0.
struct Filter::Words {
  Words(size_t slots, bool value) : size(slots), bits((slots + 63) / 64, value ? ~0ull : 0ull) {
    trim();
  }
  void trim() {
    if (size % 64 != 0 && !bits.empty()) bits.back() &= (uint64_t{1} << (size % 64)) - 1;
  }
  size_t size;
  std::vector<uint64_t> bits;
};

std::optional<Filter::Op> Filter::parse_op(std::string_view name) {
  if (name == "eq") return Op::kEq;
  if (name == "ne") return Op::kNe;
  if (name == "gt") return Op::kGt;
  if (name == "gte") return Op::kGte;
  if (name == "lt") return Op::kLt;
  if (name == "lte") return Op::kLte;
  if (name == "in") return Op::kIn;
  if (name == "nin") return Op::kNin;
  return std::nullopt;
}

Filter Filter::all_of(std::vector<Filter> children) {
  Filter f;
  f.kind_ = Kind::kAll;
  f.children_ = std::move(children);
  return f;
}

Filter Filter::any_of(std::vector<Filter> children) {
  Filter f;
  f.kind_ = Kind::kAny;
  f.children_ = std::move(children);
  return f;
}

Filter Filter::compare(std::string key, Op op, MetadataValue value) {
  Filter f;
  f.kind_ = Kind::kCompare;
  f.key_ = std::move(key);
  f.op_ = op;
  f.values_.push_back(std::move(value));
  return f;
}

Filter Filter::member(std::string key, Op op, std::vector<MetadataValue> values) {
  Filter f;
  f.kind_ = Kind::kCompare;
  f.key_ = std::move(key);
  f.op_ = op;
  f.values_ = std::move(values);
  return f;
}

namespace {

// Ors into words[w] bit s - 64 w for every slot s < n where pred(s) holds.
template <typename Pred>
void or_slots(size_t n, uint64_t* words, Pred&& pred) {
  for (size_t base = 0; base < n; base += 64) {
    const size_t end = std::min(n, base + 64);
    uint64_t word = 0;
    for (size_t s = base; s < end; ++s) word |= static_cast<uint64_t>(pred(s)) << (s - base);
    words[base / 64] |= word;
  }
}

// Calls fn with the comparison of `op` (positive form) as a function object
// on two values of one type, so that the loop over slots is compiled once
// per operator.
template <typename Fn>
auto with_operator(Filter::Op op, Fn&& fn) {
  switch (op) {
    case Filter::Op::kGt:
      return fn([](auto a, auto b) { return a > b; });
    case Filter::Op::kGte:
      return fn([](auto a, auto b) { return a >= b; });
    case Filter::Op::kLt:
      return fn([](auto a, auto b) { return a < b; });
    case Filter::Op::kLte:
      return fn([](auto a, auto b) { return a <= b; });
    default:
      return fn([](auto a, auto b) { return a == b; });
  }
}

}  // namespace

// Whether an order between a value and the operand satisfies the positive
// form of the comparison (kNe and kNin are evaluated as kEq and kIn, then
// negated over all slots). Unordered never does.
bool Filter::satisfied(std::partial_ordering order) const {
  if (order == std::partial_ordering::unordered) return false;
  const int sign = order < 0 ? -1 : (order > 0 ? 1 : 0);
  return with_operator(op_, [sign](auto cmp) { return cmp(sign, 0); });
}

bool Filter::match_values(const MetadataColumns& columns, const MetadataColumns::Column& column,
                          Words* out) const {
  if (op_ != Op::kEq && op_ != Op::kNe && op_ != Op::kIn && op_ != Op::kNin) return false;
  const std::shared_ptr<const MetadataColumns::ValueSlots> index = columns.value_slots(column);
  if (index == nullptr) return false;
  auto mark = [out](const std::vector<uint32_t>& slots) {
    for (uint32_t s : slots) out->bits[s >> 6] |= uint64_t{1} << (s & 63);
  };
  for (const MetadataValue& operand : values_) {
    // An int equals an int, or a double of the same exact value; a string
    // equals a string; nothing else is equal to either.
    std::optional<int64_t> whole;
    if (const auto* x = std::get_if<int64_t>(&operand)) {
      whole = *x;
    } else if (const auto* d = std::get_if<double>(&operand)) {
      if (std::isfinite(*d) && std::trunc(*d) == *d && *d >= -9223372036854775808.0 &&
          *d < 9223372036854775808.0) {
        whole = static_cast<int64_t>(*d);
      }
    }
    if (whole.has_value()) {
      if (auto it = index->ints.find(*whole); it != index->ints.end()) mark(it->second);
    } else if (const auto* text = std::get_if<std::string>(&operand)) {
      if (auto it = index->strings.find(std::string_view(*text)); it != index->strings.end()) {
        mark(it->second);
      }
    }
  }
  return true;
}

void Filter::match(const MetadataColumns::Column& column, const MetadataValue& operand,
                   Words* out) const {
  using Column = MetadataColumns::Column;
  const uint8_t* kinds = column.kinds.data();
  const uint64_t* scalars = column.scalars.data();
  const size_t n = column.kinds.size();
  uint64_t* words = out->bits.data();
  // The general rule, for numbers of the other type (exact mixed order).
  auto general = [&](size_t s) { return satisfied(compare_metadata(column.value(s), operand)); };
  // A column of one kind: compare the scalars of every slot, then keep the
  // present ones a word at a time.
  auto scalars_only = [&](auto value) {
    using T = decltype(value);
    with_operator(op_, [&](auto cmp) {
      or_slots(n, words, [&](size_t s) { return cmp(std::bit_cast<T>(scalars[s]), value); });
    });
    for (size_t w = 0; w < out->bits.size(); ++w) words[w] &= column.present.word(w);
  };
  if (const auto* x = std::get_if<int64_t>(&operand); x != nullptr && column.only(Column::kInt)) {
    scalars_only(*x);
  } else if (const auto* d = std::get_if<double>(&operand);
             d != nullptr && column.only(Column::kDouble)) {
    scalars_only(*d);
  } else if (const auto* x = std::get_if<int64_t>(&operand)) {
    const int64_t v = *x;
    with_operator(op_, [&](auto cmp) {
      or_slots(n, words, [&](size_t s) {
        const uint8_t kind = kinds[s];
        const bool hit = (kind == Column::kInt) & cmp(static_cast<int64_t>(scalars[s]), v);
        return hit || (kind == Column::kDouble && general(s));
      });
    });
  } else if (const auto* d = std::get_if<double>(&operand)) {
    const double v = *d;
    with_operator(op_, [&](auto cmp) {
      or_slots(n, words, [&](size_t s) {
        const uint8_t kind = kinds[s];
        const bool hit = (kind == Column::kDouble) & cmp(std::bit_cast<double>(scalars[s]), v);
        return hit || (kind == Column::kInt && general(s));
      });
    });
  } else if (const auto* b = std::get_if<bool>(&operand)) {
    const uint64_t v = *b ? 1 : 0;
    with_operator(op_, [&](auto cmp) {
      or_slots(n, words,
               [&](size_t s) { return (kinds[s] == Column::kBool) & cmp(scalars[s], v); });
    });
  } else if (const auto* text = std::get_if<std::string>(&operand)) {
    if (!column.has_strings) return;
    const std::string_view v = *text;
    const std::string* strings = column.strings.data();
    with_operator(op_, [&](auto cmp) {
      or_slots(n, words, [&](size_t s) {
        return kinds[s] == Column::kString && cmp(std::string_view(strings[s]).compare(v), 0);
      });
    });
  }
}

void Filter::evaluate_into(const MetadataColumns& columns, Words* out) const {
  const size_t words = out->bits.size();
  switch (kind_) {
    case Kind::kAll:
    case Kind::kAny: {
      const bool all = kind_ == Kind::kAll;
      *out = Words(out->size, all);
      Words child(out->size, false);
      for (const Filter& f : children_) {
        f.evaluate_into(columns, &child);
        for (size_t w = 0; w < words; ++w) {
          out->bits[w] = all ? (out->bits[w] & child.bits[w]) : (out->bits[w] | child.bits[w]);
        }
      }
      return;
    }
    case Kind::kCompare: {
      *out = Words(out->size, false);
      if (const MetadataColumns::Column* column = columns.find(key_)) {
        if (!match_values(columns, *column, out)) {
          for (const MetadataValue& operand : values_) match(*column, operand, out);
        }
      }
      if (op_ == Op::kNe || op_ == Op::kNin) {
        for (uint64_t& w : out->bits) w = ~w;
        out->trim();
      }
      return;
    }
  }
}

void Filter::append_key(std::string* out) const {
  auto number = [out](uint64_t bits) {
    char buf[17];
    const auto end = std::to_chars(buf, buf + sizeof buf, bits, 16).ptr;
    out->append(buf, end);
    out->push_back(';');
  };
  switch (kind_) {
    case Kind::kAll:
    case Kind::kAny:
      out->push_back(kind_ == Kind::kAll ? '&' : '|');
      number(children_.size());
      for (const Filter& f : children_) f.append_key(out);
      return;
    case Kind::kCompare:
      out->push_back('c');
      number(static_cast<uint64_t>(op_));
      number(key_.size());
      out->append(key_);
      number(values_.size());
      for (const MetadataValue& v : values_) {
        number(v.index());
        if (const auto* text = std::get_if<std::string>(&v)) {
          number(text->size());
          out->append(*text);
        } else if (const auto* x = std::get_if<int64_t>(&v)) {
          number(static_cast<uint64_t>(*x));
        } else if (const auto* d = std::get_if<double>(&v)) {
          number(std::bit_cast<uint64_t>(*d));
        } else if (const auto* b = std::get_if<bool>(&v)) {
          number(*b ? 1 : 0);
        }
      }
      return;
  }
}

std::string Filter::key() const {
  std::string out;
  append_key(&out);
  return out;
}

Bitmap Filter::evaluate(const MetadataColumns& columns, const Bitmap& mask) const {
  Words words(columns.slots(), false);
  const std::string name = key();
  if (!columns.find_match(name, &words.bits)) {
    evaluate_into(columns, &words);
    columns.remember_match(name, words.bits);
  }
  Bitmap out(columns.slots());
  for (size_t w = 0; w < words.bits.size(); ++w) out.set_word(w, words.bits[w] & mask.word(w));
  return out;
}

}  // namespace vesk
