#include "persist/json_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <string>
#include <vector>

#include "persist/json_reader.h"
#include "persist/test_index.h"

namespace vesk {
namespace {

TEST(SerializedIndexJsonWriteTest, DemoDocument) {
  EXPECT_EQ(serialized_index_to_json(DemoIndex()), kDemoIndexJson);
  EXPECT_EQ(serialized_index_to_json(SerializedIndex{}),
            R"({"name":"","version":"","model":{"id":"","version":""},"dimension":0,)"
            R"("embeddings":[],"docIds":[]})");
}

TEST(SerializedIndexJsonWriteTest, EmptyEmbeddingAndLargeDimension) {
  SerializedIndex s;
  s.dimension = std::numeric_limits<uint64_t>::max();
  s.embeddings = {{}, {1.0f}, {}};
  const std::string json = serialized_index_to_json(s);
  EXPECT_NE(json.find(R"("dimension":18446744073709551615,)"), std::string::npos);
  EXPECT_NE(json.find(R"("embeddings":[[],[1.0],[]])"), std::string::npos);
}

TEST(SerializedIndexJsonWriteTest, StringEscaping) {
  SerializedIndex s;
  s.name = std::string(
      "a\nb\"c\\d\x1f"
      "e/\x7f\xc3\xa9\b\t\f\r\x01",
      19);
  const std::string json = serialized_index_to_json(s);
  EXPECT_EQ(json.substr(0, json.find(',')),
            "{\"name\":\"a\\nb\\\"c\\\\d\\u001fe/\x7f\xc3\xa9\\b\\t\\f\\r\\u0001\\u0000\"");
  Result<SerializedIndex> back = serialized_index_from_json(json);
  ASSERT_TRUE(back.ok()) << back.status().message();
  EXPECT_EQ(back.value().name, s.name);
}

TEST(SerializedIndexJsonWriteTest, LongStringsAcrossChunks) {
  // Strings longer than the writer's internal chunk, with escapes on the
  // chunk seams.
  SerializedIndex s;
  s.name = std::string(40000, 'x');
  for (size_t i = 0; i < s.name.size(); i += 997) s.name[i] = '"';
  s.doc_ids = {std::string(70000, '\n'), "z"};
  const std::string json = serialized_index_to_json(s);
  EXPECT_LE(json.size(), serialized_index_json_bound(s));
  Result<SerializedIndex> back = serialized_index_from_json(json);
  ASSERT_TRUE(back.ok()) << back.status().message();
  EXPECT_EQ(back.value().name, s.name);
  EXPECT_EQ(back.value().doc_ids, s.doc_ids);
}

// Into a caller's buffer of every size up to beyond the document's, plain
// and through a position-dependent encoder: the full length
// is returned, the buffer holds the document's first bytes, and nothing is
// stored past its end.
TEST(SerializedIndexJsonWriteTest, CallersBufferOfAnySize) {
  SerializedIndex s = DemoIndex();
  s.doc_ids.push_back(std::string(300, '\n'));
  s.embeddings.push_back(std::vector<float>(100, -0.0123456f));
  const std::string json = serialized_index_to_json(s);
  const JsonByteTransform encoders[2] = {nullptr, [](char* data, size_t size, size_t offset) {
                                           for (size_t i = 0; i < size; ++i) {
                                             data[i] ^= static_cast<char>((offset + i) % 251);
                                           }
                                         }};
  for (const JsonByteTransform encode : encoders) {
    std::string expected = json;
    if (encode != nullptr) encode(expected.data(), expected.size(), 0);
    for (size_t capacity = 0; capacity <= json.size() + 64; ++capacity) {
      std::string buffer(capacity + 16, '\x7f');
      ASSERT_EQ(write_serialized_index_json(s, buffer.data(), capacity, encode), json.size());
      const size_t stored = std::min(capacity, json.size());
      ASSERT_EQ(buffer.substr(0, stored), expected.substr(0, stored)) << capacity;
      ASSERT_EQ(buffer.substr(capacity), std::string(16, '\x7f')) << capacity;
    }
  }
}

}  // namespace
}  // namespace vesk
