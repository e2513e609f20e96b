// Throughput of the persistence formats on an index of 100,000 embeddings
// of 384 dimensions (unit-length rows of normal noise, like real sentence
// embeddings): the JSON document and the .vesk container, each way.
//
// Bytes per second are counted on the raw embeddings (100,000 x 384 x 4
// bytes = 153.6 MB), so the figures compare with any other format; the
// counter json_MB gives the size of the JSON text.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>

#include "models/serialized_index.h"
#include "persist/binary.h"
#include "persist/json_reader.h"
#include "persist/json_writer.h"

namespace {

constexpr size_t kDocs = 100000;
constexpr size_t kDim = 384;
constexpr int64_t kRawBytes = static_cast<int64_t>(kDocs * kDim * sizeof(float));

const vesk::SerializedIndex& Index() {
  static const vesk::SerializedIndex index = [] {
    vesk::SerializedIndex s;
    s.name = "bench";
    s.version = "0.2.3";
    s.model = {"vesk-minilm", "0.2.3"};
    s.dimension = kDim;
    std::mt19937 rng(12345);
    std::normal_distribution<float> normal;
    s.embeddings.resize(kDocs);
    s.doc_ids.reserve(kDocs);
    for (size_t d = 0; d < kDocs; ++d) {
      std::vector<float>& row = s.embeddings[d];
      row.resize(kDim);
      float norm = 0;
      for (float& v : row) {
        v = normal(rng);
        norm += v * v;
      }
      norm = std::sqrt(norm);
      for (float& v : row) v /= norm;
      s.doc_ids.push_back("doc-" + std::to_string(d));
    }
    return s;
  }();
  return index;
}

void Finish(benchmark::State& state, size_t json_bytes) {
  state.SetBytesProcessed(state.iterations() * kRawBytes);
  state.counters["json_MB"] = static_cast<double>(json_bytes) / 1e6;
}

void BM_JsonWrite(benchmark::State& state) {
  const vesk::SerializedIndex& index = Index();
  size_t size = 0;
  for (auto _ : state) {
    std::string json = vesk::serialized_index_to_json(index);
    size = json.size();
    benchmark::DoNotOptimize(json.data());
  }
  Finish(state, size);
}

void BM_JsonRead(benchmark::State& state) {
  const std::string json = vesk::serialized_index_to_json(Index());
  for (auto _ : state) {
    vesk::Result<vesk::SerializedIndex> r = vesk::serialized_index_from_json(json);
    if (!r.ok()) state.SkipWithError(r.status().message().c_str());
    benchmark::DoNotOptimize(r.value().embeddings.data());
  }
  Finish(state, json.size());
}

void BM_BinaryWrite(benchmark::State& state) {
  const vesk::SerializedIndex& index = Index();
  size_t size = 0;
  for (auto _ : state) {
    vesk::Result<std::string> data = vesk::serialize_to_binary(index);
    size = data.value().size() - vesk::kBinaryHeaderSize;
    benchmark::DoNotOptimize(data.value().data());
  }
  Finish(state, size);
}

// Into a buffer allocated at the size bound, as a caller owning the
// destination would do; pages past the written size are never touched.
void BM_BinaryWriteInto(benchmark::State& state) {
  const vesk::SerializedIndex& index = Index();
  size_t size = 0;
  for (auto _ : state) {
    const size_t bound = vesk::binary_size_bound(index);
    std::unique_ptr<char[]> out(new char[bound]);
    vesk::Result<size_t> written = vesk::serialize_to_binary_into(index, out.get(), bound);
    size = written.value() - vesk::kBinaryHeaderSize;
    benchmark::DoNotOptimize(out.get());
  }
  Finish(state, size);
}

void BM_BinaryRead(benchmark::State& state) {
  const std::string data = vesk::serialize_to_binary(Index()).value();
  for (auto _ : state) {
    vesk::Result<vesk::SerializedIndex> r = vesk::deserialize_from_binary(data);
    if (!r.ok()) state.SkipWithError(r.status().message().c_str());
    benchmark::DoNotOptimize(r.value().embeddings.data());
  }
  Finish(state, data.size() - vesk::kBinaryHeaderSize);
}

void BM_XorTransform(benchmark::State& state) {
  std::string data = vesk::serialized_index_to_json(Index());
  for (auto _ : state) {
    vesk::xor_transform_in_place(
        std::span<uint8_t>(reinterpret_cast<uint8_t*>(data.data()), data.size()));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(data.size()));
}

BENCHMARK(BM_JsonWrite)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_JsonRead)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_BinaryWrite)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_BinaryWriteInto)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_BinaryRead)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_XorTransform)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
