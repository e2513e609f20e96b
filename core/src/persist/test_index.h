// A small SerializedIndex and its exact JSON document, shared by the
// persistence tests.
//
// Thread safety: plain values.
#ifndef VESK_CORE_PERSIST_TEST_INDEX_H_
#define VESK_CORE_PERSIST_TEST_INDEX_H_

#include "models/serialized_index.h"

namespace vesk {

inline SerializedIndex DemoIndex() {
  SerializedIndex s;
  s.name = "demo";
  s.version = "0.2.3";
  s.model = {"vesk-minilm", "0.2.3"};
  s.dimension = 3;
  s.embeddings = {{0.1f, -2.5f, 3.0f}};
  s.doc_ids = {"a"};
  return s;
}

// The writer's document of DemoIndex().
inline constexpr char kDemoIndexJson[] =
    R"({"name":"demo","version":"0.2.3","model":{"id":"vesk-minilm","version":"0.2.3"},)"
    R"("dimension":3,"embeddings":[[0.1,-2.5,3.0]],"docIds":["a"]})";

}  // namespace vesk

#endif  // VESK_CORE_PERSIST_TEST_INDEX_H_
