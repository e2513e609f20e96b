// The module vesk._native: class Engine, a thin layer over vesk::Collection
// for the Python package `vesk`, which validates the user's arguments first;
// the checks here repeat the ones that protect memory and the core's
// invariants. Arguments are converted to C++ values while the interpreter
// lock is held; the core work of add, search and search_batch runs with the
// lock released (the Collection's own shared mutex orders concurrent calls),
// and every Engine splits its scans over one process-wide thread pool.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "collection/collection.h"
#include "collection/collection_file.h"
#include "conversions.h"
#include "hybridsearch/thread_pool.h"

namespace vesk::native {

namespace {

// One pool for every Engine of the process, with a thread per core; none on
// a single core. Created on first use, so importing the module starts nothing.
ThreadPool* shared_pool() {
  static const std::unique_ptr<ThreadPool> pool = []() -> std::unique_ptr<ThreadPool> {
    const unsigned cores = std::thread::hardware_concurrency();
    if (cores <= 1) return nullptr;
    auto created = ThreadPool::create(cores);
    return created.ok() ? std::move(created).value() : nullptr;
  }();
  return pool.get();
}

// Keyword statistics from (documents, tokens, [document frequencies]) tuples,
// one per query; TypeError / ValueError on anything else.
std::vector<KeywordStatistics> to_statistics(nb::handle obj, size_t count) {
  if (!nb::isinstance<nb::list>(obj) && !nb::isinstance<nb::tuple>(obj)) {
    throw nb::type_error("statistics must be a list of (documents, tokens, frequencies) tuples");
  }
  if (nb::len(obj) != count) {
    throw nb::value_error(("got " + std::to_string(count) + " queries but " +
                           std::to_string(nb::len(obj)) + " statistics")
                              .c_str());
  }
  std::vector<KeywordStatistics> out;
  out.reserve(count);
  for (nb::handle entry : obj) {
    auto [documents, tokens, frequencies] =
        nb::cast<std::tuple<uint64_t, uint64_t, std::vector<uint64_t>>>(entry);
    out.push_back(KeywordStatistics{documents, tokens, std::move(frequencies)});
  }
  return out;
}

nb::tuple from_statistics(const KeywordStatistics& statistics) {
  nb::list frequencies;
  for (uint64_t df : statistics.document_frequencies) frequencies.append(df);
  return nb::make_tuple(statistics.documents, statistics.tokens, frequencies);
}

size_t to_count(int64_t value, const char* what) {
  if (value < 0) throw nb::value_error((std::string(what) + " must not be negative").c_str());
  return static_cast<size_t>(value);
}

class Engine {
 public:
  Engine(int64_t dim, const std::string& language) {
    if (dim <= 0) throw nb::value_error("dim must be a positive integer");
    auto parsed = Collection::parse_language(language);
    if (!parsed.ok()) raise_status(parsed.status());
    collection_ =
        std::make_unique<Collection>(static_cast<size_t>(dim), parsed.value(), shared_pool());
    language_ = language;
  }

  // Files: results are (value, error kind, message) with kind 0 on success,
  // 1 when the file could not be read or written, 2 when it is malformed;
  // the package raises the matching exception. Loads add a fourth item, the
  // embedder name saved in the file ("" for none).
  static nb::tuple load(const std::string& path, bool map, bool verify) {
    CollectionFile::LoadOptions options;
    options.map = map;
    options.verify = verify;
    CollectionFile::ErrorKind kind = CollectionFile::ErrorKind::kNone;
    Result<std::unique_ptr<Collection>> loaded = std::unique_ptr<Collection>();
    std::string embedder;
    {
      nb::gil_scoped_release release;
      loaded = CollectionFile::load(path, options, shared_pool(), &kind, &embedder);
    }
    return loaded_engine(std::move(loaded), kind, embedder);
  }
  static nb::tuple load_bytes(nb::bytes data, bool verify) {
    CollectionFile::ErrorKind kind = CollectionFile::ErrorKind::kNone;
    std::string embedder;
    auto loaded = CollectionFile::load_bytes(std::string_view(data.c_str(), data.size()), verify,
                                             shared_pool(), &kind, &embedder);
    return loaded_engine(std::move(loaded), kind, embedder);
  }
  // `embedder` names the embedder saved with the collection ("" for none).
  nb::tuple save(const std::string& path, const std::string& embedder) const {
    CollectionFile::ErrorKind kind = CollectionFile::ErrorKind::kNone;
    Status status;
    {
      nb::gil_scoped_release release;
      CollectionFile::SaveOptions options;
      options.embedder = embedder;
      status = CollectionFile::save(*collection_, path, options, &kind);
    }
    return nb::make_tuple(static_cast<int>(kind), status.ok() ? "" : status.message());
  }
  // (ids, texts, metadata dicts, embeddings as an (n, dim) float32 array,
  // has-embedding flags) of the live documents in storage order.
  nb::tuple contents() const {
    CollectionFile::Contents c;
    {
      nb::gil_scoped_release release;
      c = CollectionFile::contents(*collection_);
    }
    nb::list metadata;
    for (const TypedMetadata& m : c.metadata) metadata.append(from_metadata(m));
    nb::list embedded;
    for (bool b : c.embedded) embedded.append(b);
    const size_t n = c.ids.size();
    auto* values = new std::vector<float>(std::move(c.embeddings));
    nb::capsule owner(values, [](void* p) noexcept { delete static_cast<std::vector<float>*>(p); });
    nb::ndarray<nb::numpy, float, nb::ndim<2>> rows(values->data(), {n, collection_->dim()}, owner);
    return nb::make_tuple(nb::cast(c.ids), nb::cast(c.texts), metadata, rows.cast(), embedded);
  }

  size_t dim() const { return collection_->dim(); }
  const std::string& language() const { return language_; }
  // Every call that may wait for the collection's lock releases the
  // interpreter lock first, so a long add in one thread never stalls the
  // interpreter in another.
  size_t size() const {
    nb::gil_scoped_release release;
    return collection_->size();
  }
  bool contains(const std::string& id) const {
    nb::gil_scoped_release release;
    return collection_->contains(id);
  }

  nb::tuple add(nb::handle ids_obj, nb::handle texts_obj, nb::handle embeddings_obj,
                nb::handle metadata_obj, bool upsert) {
    std::vector<std::string> ids = to_strings(ids_obj, "ids");
    std::vector<std::string> texts = to_strings(texts_obj, "texts");
    if (texts.size() != ids.size()) {
      throw nb::value_error(("got " + std::to_string(ids.size()) + " ids but " +
                             std::to_string(texts.size()) + " texts")
                                .c_str());
    }
    std::optional<FloatRows> rows;
    if (!embeddings_obj.is_none()) {
      rows = to_float_rows(embeddings_obj, 2, ids.size(), collection_->dim(), "embeddings");
    }
    std::vector<CollectionDocument> docs(ids.size());
    if (!metadata_obj.is_none()) {
      if (!nb::isinstance<nb::list>(metadata_obj) && !nb::isinstance<nb::tuple>(metadata_obj)) {
        throw nb::type_error("metadata must be a list of dicts (or None entries) or None");
      }
      if (nb::len(metadata_obj) != ids.size()) {
        throw nb::value_error(("got " + std::to_string(ids.size()) + " ids but " +
                               std::to_string(nb::len(metadata_obj)) + " metadata entries")
                                  .c_str());
      }
      size_t i = 0;
      for (nb::handle entry : metadata_obj) {
        if (!entry.is_none()) docs[i].metadata = to_metadata(entry);
        ++i;
      }
    }
    for (size_t i = 0; i < ids.size(); ++i) {
      docs[i].id = std::move(ids[i]);
      docs[i].text = std::move(texts[i]);
    }
    const std::span<const float> values = rows ? rows->values : std::span<const float>();
    Result<CollectionAddCounts> counts = CollectionAddCounts{};
    {
      nb::gil_scoped_release release;
      counts = collection_->add(std::move(docs), values, upsert);
    }
    if (!counts.ok()) raise_status(counts.status());
    return nb::make_tuple(counts.value().added, counts.value().updated);
  }

  uint64_t remove(nb::handle ids_obj) {
    std::vector<std::string> ids = to_strings(ids_obj, "ids");
    nb::gil_scoped_release release;
    return collection_->remove(ids);
  }

  nb::list get(nb::handle ids_obj) const {
    std::vector<std::string> ids = to_strings(ids_obj, "ids");
    std::vector<std::optional<StoredDocument>> docs;
    {
      nb::gil_scoped_release release;
      docs = collection_->get(ids);
    }
    nb::list out;
    for (const auto& doc : docs) {
      if (doc.has_value()) {
        out.append(nb::make_tuple(doc->id, doc->text, from_metadata(doc->metadata)));
      } else {
        out.append(nb::none());
      }
    }
    return out;
  }

  void clear() {
    nb::gil_scoped_release release;
    collection_->clear();
  }

  nb::list search(std::optional<std::string> text, nb::handle vector_obj, int64_t k, float alpha,
                  nb::handle where, int64_t depth) const {
    std::optional<FloatRows> vector;
    if (!vector_obj.is_none()) {
      vector = to_float_rows(vector_obj, 1, 1, collection_->dim(), "vector");
    }
    std::optional<Filter> filter;
    if (!where.is_none()) filter = to_filter(where);
    SearchRequest request;
    if (text.has_value()) request.text = *text;
    if (vector.has_value()) request.vector = vector->values;
    request.k = to_count(k, "k");
    request.alpha = alpha;
    request.filter = filter ? &*filter : nullptr;
    request.depth = to_count(depth, "depth");
    Result<std::vector<CollectionHit>> hits = std::vector<CollectionHit>();
    {
      nb::gil_scoped_release release;
      hits = collection_->search(request);
    }
    if (!hits.ok()) raise_status(hits.status());
    return from_hits(hits.value());
  }

  nb::list keyword_statistics(nb::handle texts_obj) const {
    std::vector<std::string> texts = to_strings(texts_obj, "texts");
    std::vector<KeywordStatistics> statistics;
    {
      nb::gil_scoped_release release;
      statistics = collection_->keyword_statistics(texts);
    }
    nb::list out;
    for (const KeywordStatistics& one : statistics) out.append(from_statistics(one));
    return out;
  }

  nb::list search_batch(nb::handle texts_obj, nb::handle vectors_obj, int64_t k, float alpha,
                        nb::handle where, int64_t depth, nb::handle statistics_obj) const {
    std::vector<std::string> texts;
    if (!texts_obj.is_none()) texts = to_strings(texts_obj, "texts");
    std::optional<FloatRows> vectors;
    size_t count = texts.size();
    if (!vectors_obj.is_none()) {
      FloatArray probe;
      const size_t rows = nb::try_cast<FloatArray>(vectors_obj, probe, false) && probe.ndim() == 2
                              ? probe.shape(0)
                              : 0;
      if (!texts_obj.is_none() && rows != texts.size()) {
        throw nb::value_error(("got " + std::to_string(texts.size()) + " texts but " +
                               std::to_string(rows) + " vectors")
                                  .c_str());
      }
      vectors = to_float_rows(vectors_obj, 2, rows, collection_->dim(), "vectors");
      count = rows;
    }
    if (texts_obj.is_none() && vectors_obj.is_none()) {
      throw nb::value_error("search_batch needs texts, vectors or both");
    }
    std::vector<KeywordStatistics> statistics;
    if (!statistics_obj.is_none()) statistics = to_statistics(statistics_obj, count);
    std::optional<Filter> filter;
    if (!where.is_none()) filter = to_filter(where);
    SearchRequest shared;
    shared.k = to_count(k, "k");
    shared.alpha = alpha;
    shared.filter = filter ? &*filter : nullptr;
    shared.depth = to_count(depth, "depth");
    const std::span<const float> values = vectors ? vectors->values : std::span<const float>();
    Result<std::vector<std::vector<CollectionHit>>> hits =
        std::vector<std::vector<CollectionHit>>();
    {
      nb::gil_scoped_release release;
      hits = collection_->search_batch(texts, values, count, shared, statistics);
    }
    if (!hits.ok()) raise_status(hits.status());
    nb::list out;
    for (const auto& one : hits.value()) out.append(from_hits(one));
    return out;
  }

  nb::dict explain(const std::string& id, std::optional<std::string> text, nb::handle vector_obj,
                   float alpha, int64_t depth, nb::handle statistics_obj) const {
    std::vector<KeywordStatistics> statistics;
    if (!statistics_obj.is_none()) statistics = to_statistics(nb::make_tuple(statistics_obj), 1);
    std::optional<FloatRows> vector;
    if (!vector_obj.is_none()) {
      vector = to_float_rows(vector_obj, 1, 1, collection_->dim(), "vector");
    }
    SearchRequest request;
    if (text.has_value()) request.text = *text;
    if (vector.has_value()) request.vector = vector->values;
    request.alpha = alpha;
    request.depth = to_count(depth, "depth");
    request.statistics = statistics.empty() ? nullptr : &statistics[0];
    Result<Explanation> explanation = Explanation();
    {
      nb::gil_scoped_release release;
      explanation = collection_->explain(id, request);
    }
    if (!explanation.ok()) raise_status(explanation.status());
    return from_explanation(explanation.value());
  }

 private:
  explicit Engine(std::unique_ptr<Collection> collection)
      : collection_(std::move(collection)),
        language_(Collection::language_names()[static_cast<size_t>(collection_->language())]) {}

  static nb::tuple loaded_engine(Result<std::unique_ptr<Collection>> loaded,
                                 CollectionFile::ErrorKind kind, const std::string& embedder) {
    if (!loaded.ok()) {
      return nb::make_tuple(nb::none(), static_cast<int>(kind), loaded.status().message(), "");
    }
    nb::object engine =
        nb::cast(new Engine(std::move(loaded).value()), nb::rv_policy::take_ownership);
    return nb::make_tuple(engine, 0, "", embedder);
  }

  std::unique_ptr<Collection> collection_;
  std::string language_;
};

}  // namespace

}  // namespace vesk::native

NB_MODULE(_native, m) {
  namespace nb = nanobind;
  using vesk::Collection;
  using vesk::native::Engine;
  m.doc() = "The native engine of the vesk package (documents, filters, keyword and dense search).";
  nb::class_<Engine>(m, "Engine")
      .def(nb::init<int64_t, const std::string&>(), nb::arg("dim"), nb::arg("language"))
      .def_prop_ro("dim", &Engine::dim)
      .def_prop_ro("language", &Engine::language)
      .def_static("languages", &Collection::language_names)
      .def("__len__", &Engine::size)
      .def("contains", &Engine::contains, nb::arg("id"))
      .def("add", &Engine::add, nb::arg("ids"), nb::arg("texts"), nb::arg("embeddings").none(),
           nb::arg("metadata").none(), nb::arg("upsert"))
      .def("delete", &Engine::remove, nb::arg("ids"))
      .def("get", &Engine::get, nb::arg("ids"))
      .def("clear", &Engine::clear)
      .def("search", &Engine::search, nb::arg("text").none(), nb::arg("vector").none(),
           nb::arg("k"), nb::arg("alpha"), nb::arg("where").none(), nb::arg("depth"))
      .def("search_batch", &Engine::search_batch, nb::arg("texts").none(),
           nb::arg("vectors").none(), nb::arg("k"), nb::arg("alpha"), nb::arg("where").none(),
           nb::arg("depth"), nb::arg("statistics").none() = nb::none())
      .def("keyword_statistics", &Engine::keyword_statistics, nb::arg("texts"))
      .def_static("load", &Engine::load, nb::arg("path"), nb::arg("map"), nb::arg("verify"))
      .def_static("load_bytes", &Engine::load_bytes, nb::arg("data"), nb::arg("verify"))
      .def("save", &Engine::save, nb::arg("path"), nb::arg("embedder") = "")
      .def("contents", &Engine::contents)
      .def("explain", &Engine::explain, nb::arg("id"), nb::arg("text").none(),
           nb::arg("vector").none(), nb::arg("alpha"), nb::arg("depth"),
           nb::arg("statistics").none() = nb::none());
}
