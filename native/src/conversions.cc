#include "conversions.h"

#include <cmath>
#include <string_view>
#include <utility>

namespace vesk::native {

namespace {

std::string python_type(nb::handle h) { return nb::type_name(h.type()).c_str(); }

template <typename T>
nb::object optional_object(const std::optional<T>& value) {
  return value.has_value() ? nb::cast(*value) : nb::none();
}

MetadataValue to_metadata_value(nb::handle value, std::string_view key) {
  PyObject* o = value.ptr();
  if (PyBool_Check(o)) return o == Py_True;
  if (PyLong_Check(o)) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow != 0) {
      throw nb::value_error(
          ("metadata value of '" + std::string(key) + "' does not fit in 64 bits").c_str());
    }
    return static_cast<int64_t>(v);
  }
  if (PyFloat_Check(o)) return PyFloat_AsDouble(o);
  if (PyUnicode_Check(o)) return nb::cast<std::string>(value);
  throw nb::type_error(("metadata value of '" + std::string(key) +
                        "' must be str, int, float or bool, not " + python_type(value))
                           .c_str());
}

std::vector<Filter> to_filters(nb::handle list, const char* what) {
  if (!nb::isinstance<nb::list>(list) && !nb::isinstance<nb::tuple>(list)) {
    throw nb::type_error(
        (std::string("filter '") + what + "' needs a list of filters, not " + python_type(list))
            .c_str());
  }
  std::vector<Filter> out;
  for (nb::handle item : list) out.push_back(to_filter(item));
  return out;
}

}  // namespace

void raise_status(const Status& status) { throw nb::value_error(status.message().c_str()); }

std::vector<std::string> to_strings(nb::handle sequence, const char* what) {
  if (!nb::isinstance<nb::list>(sequence) && !nb::isinstance<nb::tuple>(sequence)) {
    throw nb::type_error(
        (std::string(what) + " must be a list of str, not " + python_type(sequence)).c_str());
  }
  std::vector<std::string> out;
  out.reserve(nb::len(sequence));
  for (nb::handle item : sequence) {
    if (!PyUnicode_Check(item.ptr())) {
      throw nb::type_error(
          (std::string(what) + " must hold only str, found " + python_type(item)).c_str());
    }
    out.push_back(nb::cast<std::string>(item));
  }
  return out;
}

TypedMetadata to_metadata(nb::handle dict) {
  if (!nb::isinstance<nb::dict>(dict)) {
    throw nb::type_error(("metadata must be a dict or None, not " + python_type(dict)).c_str());
  }
  TypedMetadata out;
  for (auto [key, value] : nb::borrow<nb::dict>(dict)) {
    if (!PyUnicode_Check(key.ptr())) {
      throw nb::type_error(("metadata keys must be str, not " + python_type(key)).c_str());
    }
    std::string k = nb::cast<std::string>(key);
    MetadataValue v = to_metadata_value(value, k);
    out.emplace_back(std::move(k), std::move(v));
  }
  return out;
}

nb::dict from_metadata(const TypedMetadata& metadata) {
  nb::dict out;
  for (const auto& [key, value] : metadata) {
    nb::object v;
    if (const auto* s = std::get_if<std::string>(&value)) {
      v = nb::cast(*s);
    } else if (const auto* i = std::get_if<int64_t>(&value)) {
      v = nb::cast(*i);
    } else if (const auto* d = std::get_if<double>(&value)) {
      v = nb::cast(*d);
    } else if (const auto* b = std::get_if<bool>(&value)) {
      v = nb::bool_(*b);
    } else {
      v = nb::none();
    }
    out[nb::cast(key)] = v;
  }
  return out;
}

FloatRows to_float_rows(nb::handle object, size_t ndim, size_t rows, size_t dim, const char* what) {
  FloatRows out;
  if (!nb::try_cast<FloatArray>(object, out.array, /*convert=*/false)) {
    throw nb::type_error((std::string(what) +
                          " must be a C-contiguous numpy array of float32, not " +
                          python_type(object))
                             .c_str());
  }
  const FloatArray& a = out.array;
  bool fits = a.ndim() == ndim && a.shape(ndim - 1) == dim;
  if (ndim == 2) fits = fits && a.shape(0) == rows;
  if (!fits) {
    std::string shape = "(";
    for (size_t i = 0; i < a.ndim(); ++i) {
      if (i > 0) shape += ", ";
      shape += std::to_string(a.shape(i));
    }
    shape += a.ndim() == 1 ? ",)" : ")";
    const std::string want = ndim == 2
                                 ? "(" + std::to_string(rows) + ", " + std::to_string(dim) + ")"
                                 : "(" + std::to_string(dim) + ",)";
    throw nb::value_error(
        (std::string(what) + " must have shape " + want + ", got " + shape).c_str());
  }
  out.values = std::span<const float>(a.data(), a.size());
  for (float v : out.values) {
    if (!std::isfinite(v)) {
      throw nb::value_error((std::string(what) + " must be finite (no NaN or infinity)").c_str());
    }
  }
  return out;
}

Filter to_filter(nb::handle tree) {
  if (!nb::isinstance<nb::tuple>(tree) || nb::len(tree) < 2) {
    throw nb::type_error(
        ("a filter must be a tuple such as ('cmp', key, op, value), not " + python_type(tree))
            .c_str());
  }
  nb::tuple t = nb::borrow<nb::tuple>(tree);
  if (!PyUnicode_Check(t[0].ptr())) throw nb::type_error("a filter's kind must be a str");
  const std::string kind = nb::cast<std::string>(t[0]);
  if (kind == "and" || kind == "or") {
    if (nb::len(t) != 2) throw nb::value_error(("filter '" + kind + "' takes one list").c_str());
    std::vector<Filter> children = to_filters(t[1], kind.c_str());
    return kind == "and" ? Filter::all_of(std::move(children))
                         : Filter::any_of(std::move(children));
  }
  if (kind != "cmp") {
    throw nb::value_error(
        ("unknown filter kind '" + kind + "' (expected 'and', 'or' or 'cmp')").c_str());
  }
  if (nb::len(t) != 4) throw nb::value_error("filter 'cmp' takes a key, an operator and a value");
  if (!PyUnicode_Check(t[1].ptr()) || !PyUnicode_Check(t[2].ptr())) {
    throw nb::type_error("a comparison's key and operator must be str");
  }
  std::string key = nb::cast<std::string>(t[1]);
  const std::string op_name = nb::cast<std::string>(t[2]);
  const std::optional<Filter::Op> op = Filter::parse_op(op_name);
  if (!op.has_value()) {
    throw nb::value_error(("unknown comparison operator '" + op_name +
                           "' (expected eq, ne, gt, gte, lt, lte, in or nin)")
                              .c_str());
  }
  if (*op == Filter::Op::kIn || *op == Filter::Op::kNin) {
    nb::handle values = t[3];
    if (!nb::isinstance<nb::list>(values) && !nb::isinstance<nb::tuple>(values)) {
      throw nb::type_error(
          ("operator '" + op_name + "' needs a list of values, not " + python_type(values))
              .c_str());
    }
    std::vector<MetadataValue> set;
    for (nb::handle v : values) set.push_back(to_metadata_value(v, key));
    return Filter::member(std::move(key), *op, std::move(set));
  }
  MetadataValue value = to_metadata_value(t[3], key);
  return Filter::compare(std::move(key), *op, std::move(value));
}

nb::tuple from_hit(const CollectionHit& hit) {
  return nb::make_tuple(hit.id, hit.score, hit.text, from_metadata(hit.metadata),
                        optional_object(hit.keyword_rank), optional_object(hit.keyword_score),
                        optional_object(hit.dense_rank), optional_object(hit.dense_score));
}

nb::list from_hits(const std::vector<CollectionHit>& hits) {
  nb::list out;
  for (const CollectionHit& hit : hits) out.append(from_hit(hit));
  return out;
}

nb::dict from_explanation(const Explanation& explanation) {
  nb::dict out;
  out["id"] = explanation.id;
  if (explanation.keyword.has_value()) {
    const Explanation::Keyword& k = *explanation.keyword;
    nb::list terms;
    for (const Explanation::Term& term : k.terms) {
      nb::dict t;
      t["term"] = term.term;
      t["tf"] = term.tf;
      t["idf"] = term.idf;
      t["weight"] = term.weight;
      terms.append(t);
    }
    nb::dict keyword;
    keyword["terms"] = terms;
    keyword["length"] = k.length;
    keyword["avgdl"] = k.avgdl;
    keyword["score"] = k.score;
    keyword["rank"] = optional_object(k.rank);
    out["keyword"] = keyword;
  } else {
    out["keyword"] = nb::none();
  }
  if (explanation.dense.has_value()) {
    nb::dict dense;
    dense["score"] = explanation.dense->score;
    dense["rank"] = optional_object(explanation.dense->rank);
    out["dense"] = dense;
  } else {
    out["dense"] = nb::none();
  }
  out["fused"] = optional_object(explanation.fused);
  return out;
}

}  // namespace vesk::native
