#include "collection/filter.h"

#include <bit>
#include <cstdint>
#include <utility>

namespace vesk {

// A bit per slot in plain words, combined a word at a time while a tree is
// evaluated; bits past the slot count stay 0.
struct Filter::Words {
  Words(size_t slots, bool value) : size(slots), bits((slots + 63) / 64, value ? ~0ull : 0ull) {
    trim();
  }
  void set(size_t i) { bits[i >> 6] |= uint64_t{1} << (i & 63); }
  void reset(size_t i) { bits[i >> 6] &= ~(uint64_t{1} << (i & 63)); }
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

// Whether a present value satisfies the positive form of the comparison (kNe
// and kNin are evaluated as kEq and kIn, then negated over all slots).
bool Filter::holds(const MetadataValue& value) const {
  switch (op_) {
    case Op::kEq:
    case Op::kNe:
      return compare_metadata(value, values_[0]) == 0;
    case Op::kGt:
      return compare_metadata(value, values_[0]) > 0;
    case Op::kGte:
      return compare_metadata(value, values_[0]) >= 0;
    case Op::kLt:
      return compare_metadata(value, values_[0]) < 0;
    case Op::kLte:
      return compare_metadata(value, values_[0]) <= 0;
    case Op::kIn:
    case Op::kNin:
      for (const MetadataValue& candidate : values_) {
        if (compare_metadata(value, candidate) == 0) return true;
      }
      return false;
  }
  return false;
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
        column->present.for_each_set([&](size_t slot) {
          if (holds(column->values[slot])) out->set(slot);
        });
      }
      if (op_ == Op::kNe || op_ == Op::kNin) {
        for (uint64_t& w : out->bits) w = ~w;
        out->trim();
      }
      return;
    }
  }
}

Bitmap Filter::evaluate(const MetadataColumns& columns, const Bitmap& mask) const {
  Words words(columns.slots(), false);
  evaluate_into(columns, &words);
  Bitmap out(columns.slots());
  for (size_t w = 0; w < words.bits.size(); ++w) {
    for (uint64_t bits = words.bits[w] & mask.word(w); bits != 0; bits &= bits - 1) {
      out.set(w * 64 + static_cast<size_t>(std::countr_zero(bits)));
    }
  }
  return out;
}

}  // namespace vesk
