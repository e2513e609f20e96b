#include "collection/filter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "collection/metadata_columns.h"

namespace vesk {
namespace {

// The reference semantics, written independently of the columns and of
// compare_metadata: numbers compare as long double (64-bit mantissa, exact
// for every int64 and double), bools only with bools, strings bytewise.
enum class Kind { kNone, kStr, kNum, kBool };
struct Plain {
  Kind kind = Kind::kNone;
  std::string s;
  long double x = 0;
  bool b = false;
};

Plain plain(const MetadataValue& v) {
  Plain p;
  if (const auto* s = std::get_if<std::string>(&v)) {
    p.kind = Kind::kStr;
    p.s = *s;
  } else if (const auto* i = std::get_if<int64_t>(&v)) {
    p.kind = Kind::kNum;
    p.x = static_cast<long double>(*i);
  } else if (const auto* d = std::get_if<double>(&v)) {
    p.kind = Kind::kNum;
    p.x = static_cast<long double>(*d);
  } else if (const auto* b = std::get_if<bool>(&v)) {
    p.kind = Kind::kBool;
    p.b = *b;
  }
  return p;
}

// -2, -1, 0, 1, 2 for less, equal, greater; 9 for unordered.
int order(const MetadataValue& a, const MetadataValue& b) {
  const Plain x = plain(a);
  const Plain y = plain(b);
  if (x.kind != y.kind || x.kind == Kind::kNone) return 9;
  switch (x.kind) {
    case Kind::kStr:
      return x.s < y.s ? -1 : (x.s > y.s ? 1 : 0);
    case Kind::kNum:
      if (x.x != x.x || y.x != y.x) return 9;
      return x.x < y.x ? -1 : (x.x > y.x ? 1 : 0);
    case Kind::kBool:
      return x.b < y.b ? -1 : (x.b > y.b ? 1 : 0);
    default:
      return 9;
  }
}

// A filter and its reference evaluation on one document.
struct Case {
  Filter filter;
  std::function<bool(const TypedMetadata&)> holds;
};

const MetadataValue* lookup(const TypedMetadata& md, const std::string& key) {
  for (const auto& [k, v] : md) {
    if (k == key) return &v;
  }
  return nullptr;
}

class Generator {
 public:
  explicit Generator(uint32_t seed) : rng_(seed) {}

  // Any value; `first` and `count` narrow it to a run of the pool (the ints
  // are 0-5, the doubles 6-15).
  MetadataValue value(size_t first = 0, size_t count = 0) {
    // Values chosen so that mixed int/double comparisons meet the cases where
    // rounding an int to double would lie (2^53 + 1), plus NaN and infinity.
    static const std::vector<MetadataValue> pool = {
        MetadataValue(int64_t{0}),
        MetadataValue(int64_t{1}),
        MetadataValue(int64_t{-3}),
        MetadataValue(int64_t{9007199254740993}),  // 2^53 + 1
        MetadataValue(int64_t{INT64_MAX}),
        MetadataValue(int64_t{INT64_MIN}),
        MetadataValue(0.0),
        MetadataValue(-0.0),
        MetadataValue(1.0),
        MetadataValue(1.5),
        MetadataValue(-2.5),
        MetadataValue(9007199254740992.0),     // 2^53
        MetadataValue(9223372036854775808.0),  // 2^63
        MetadataValue(-9223372036854775808.0),
        MetadataValue(std::numeric_limits<double>::infinity()),
        MetadataValue(std::numeric_limits<double>::quiet_NaN()),
        MetadataValue(true),
        MetadataValue(false),
        MetadataValue(std::string("en")),
        MetadataValue(std::string("fr")),
        MetadataValue(std::string("")),
        MetadataValue(std::string("\xc3\xa9t\xc3\xa9")),
    };
    return pool[first + pick(count == 0 ? pool.size() : count)];
  }

  std::string key() { return std::string(1, static_cast<char>('a' + pick(4))); }

  TypedMetadata metadata() {
    TypedMetadata md;
    for (char k = 'a'; k < 'e'; ++k) {
      // Key b holds only strings, c only doubles and d only ints (columns of
      // one kind); a holds anything.
      if (pick(3) != 0) {
        md.emplace_back(std::string(1, k), k == 'b'   ? value(18, 4)
                                           : k == 'c' ? value(6, 10)
                                           : k == 'd' ? value(0, 6)
                                                      : value());
      }
    }
    std::shuffle(md.begin(), md.end(), rng_);
    return md;
  }

  Case filter(int depth) {
    const size_t choice = depth <= 0 ? 2 : pick(4);
    if (choice < 2) {
      std::vector<Filter> filters;
      std::vector<std::function<bool(const TypedMetadata&)>> tests;
      const size_t n = pick(4);  // 0 children too
      for (size_t i = 0; i < n; ++i) {
        Case c = filter(depth - 1);
        filters.push_back(std::move(c.filter));
        tests.push_back(std::move(c.holds));
      }
      const bool all = choice == 0;
      auto holds = [all, tests](const TypedMetadata& md) {
        for (const auto& t : tests) {
          if (t(md) != all) return !all;
        }
        return all;
      };
      return Case{all ? Filter::all_of(std::move(filters)) : Filter::any_of(std::move(filters)),
                  holds};
    }
    const std::string k = key();
    const Filter::Op op = static_cast<Filter::Op>(pick(8));
    if (op == Filter::Op::kIn || op == Filter::Op::kNin) {
      std::vector<MetadataValue> set;
      for (size_t i = pick(4); i > 0; --i) set.push_back(value());
      const bool negate = op == Filter::Op::kNin;
      auto holds = [k, set, negate](const TypedMetadata& md) {
        const MetadataValue* v = lookup(md, k);
        bool in = false;
        for (const auto& s : set) in = in || (v != nullptr && order(*v, s) == 0);
        return in != negate;
      };
      return Case{Filter::member(k, op, set), holds};
    }
    const MetadataValue c = value();
    auto holds = [k, c, op](const TypedMetadata& md) {
      const MetadataValue* v = lookup(md, k);
      if (v == nullptr) return op == Filter::Op::kNe;
      const int o = order(*v, c);
      switch (op) {
        case Filter::Op::kEq:
          return o == 0;
        case Filter::Op::kNe:
          return o != 0;
        case Filter::Op::kGt:
          return o == 1;
        case Filter::Op::kGte:
          return o == 1 || o == 0;
        case Filter::Op::kLt:
          return o == -1;
        case Filter::Op::kLte:
          return o == -1 || o == 0;
        default:
          return false;
      }
    };
    return Case{Filter::compare(k, op, c), holds};
  }

  size_t pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }

 private:
  std::mt19937 rng_;
};

// Random documents are appended, replaced and compacted away in the columns
// while a plain list of metadata follows; every random filter tree admits
// exactly the slots the reference admits among those set in the mask, also
// when it is asked again, before and after later changes.
TEST(Filter, MatchesReferenceEvaluationOverChangingColumns) {
  for (uint32_t seed = 1; seed <= 30; ++seed) {
    Generator gen(seed);
    MetadataColumns columns;
    std::vector<TypedMetadata> model;
    std::vector<Case> recent;
    for (int step = 0; step < 12; ++step) {
      const size_t action = gen.pick(3);
      if (action == 0 || model.empty()) {
        std::vector<TypedMetadata> batch(1 + gen.pick(20));
        for (auto& md : batch) md = gen.metadata();
        std::vector<const TypedMetadata*> incoming;
        for (const auto& md : batch) incoming.push_back(&md);
        columns.reserve(columns.slots() + batch.size(), incoming);
        for (auto& md : batch) {
          model.push_back(md);
          columns.append(std::move(md));
        }
      } else if (action == 1) {
        const size_t slot = gen.pick(model.size());
        TypedMetadata md = gen.metadata();
        const TypedMetadata* incoming[] = {&md};
        columns.reserve(columns.slots(), incoming);
        model[slot] = md;
        columns.replace(slot, std::move(md));
      } else {
        Bitmap keep(model.size());
        std::vector<TypedMetadata> kept;
        for (size_t s = 0; s < model.size(); ++s) {
          if (gen.pick(4) != 0) {
            keep.set(s);
            kept.push_back(model[s]);
          }
        }
        columns.compact(keep);
        model = std::move(kept);
      }
      ASSERT_EQ(columns.slots(), model.size());
      for (size_t s = 0; s < model.size(); ++s) {
        TypedMetadata got = columns.get(s);
        ASSERT_EQ(got.size(), model[s].size());
        for (const auto& [k, v] : model[s]) {
          const MetadataValue* g = lookup(got, k);
          ASSERT_NE(g, nullptr);
          ASSERT_EQ(g->index(), v.index());
        }
      }

      Bitmap mask(model.size());
      for (size_t s = 0; s < model.size(); ++s) {
        if (gen.pick(5) != 0) mask.set(s);
      }
      // The filters of earlier steps again after the change, the last asked
      // (the remembered ones) first, then new filters; each twice (the
      // second answer is a remembered one).
      std::reverse(recent.begin(), recent.end());
      for (int q = 0; q < 20; ++q) recent.push_back(gen.filter(3));
      if (recent.size() > 60) recent.erase(recent.begin() + 40, recent.end() - 20);
      for (const Case& c : recent) {
        for (int again = 0; again < 2; ++again) {
          const Bitmap got = c.filter.evaluate(columns, mask);
          ASSERT_EQ(got.size(), model.size());
          for (size_t s = 0; s < model.size(); ++s) {
            ASSERT_EQ(got.test(s), mask.test(s) && c.holds(model[s]))
                << "seed " << seed << " step " << step << " slot " << s;
          }
        }
      }
    }
  }
}

TEST(Filter, ParsesOperatorNames) {
  EXPECT_EQ(Filter::parse_op("gte"), Filter::Op::kGte);
  EXPECT_EQ(Filter::parse_op("nin"), Filter::Op::kNin);
  EXPECT_FALSE(Filter::parse_op("$gte").has_value());
  EXPECT_FALSE(Filter::parse_op("").has_value());
}

}  // namespace
}  // namespace vesk
