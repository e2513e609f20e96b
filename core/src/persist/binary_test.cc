#include "persist/binary.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <utility>

#include "persist/json_writer.h"
#include "persist/test_index.h"

namespace vesk {
namespace {

// The demo index with an empty embedding and an id that needs escaping.
SerializedIndex Sample() {
  SerializedIndex s = DemoIndex();
  s.embeddings.emplace_back();
  s.doc_ids.push_back("b\n\xc3\xa9");
  return s;
}

std::string Serialize(const SerializedIndex& s) {
  Result<std::string> r = serialize_to_binary(s);
  EXPECT_TRUE(r.ok());
  return r.ok() ? r.value() : std::string();
}

// The text of the error reading `data`, or "ok".
std::string ReadError(std::string_view data) {
  Result<SerializedIndex> r = deserialize_from_binary(data);
  if (r.ok()) return "ok";
  EXPECT_TRUE(r.status().IsInvalidArgument());
  return r.status().message();
}

// A container header followed by `payload` scrambled.
std::string Container(std::string_view payload, uint32_t version = 1) {
  std::string out = "VESK";
  for (uint32_t v : {version, static_cast<uint32_t>(payload.size())}) {
    for (int b = 0; b < 4; ++b) out.push_back(static_cast<char>((v >> (8 * b)) & 0xff));
  }
  std::string body(payload);
  xor_transform_in_place(std::span<uint8_t>(reinterpret_cast<uint8_t*>(body.data()), body.size()));
  return out + body;
}

TEST(XorTransformTest, MaskRunsModulo255) {
  const uint8_t k = scramble_byte();
  const std::vector<uint8_t> out = xor_transform(std::vector<uint8_t>(257, 0));
  ASSERT_EQ(out.size(), 257u);
  EXPECT_EQ(out[0], k);
  EXPECT_EQ(out[255], k);
  EXPECT_EQ(out[1], k ^ 1);
  EXPECT_EQ(out[256], k ^ 1);
  EXPECT_EQ(out[254], k ^ 254);
  EXPECT_TRUE(xor_transform({}).empty());
  // Every byte, from every starting offset of a stream.
  for (size_t offset = 0; offset < 300; offset += 7) {
    std::vector<uint8_t> zeros(1000 + offset % 31, 0);
    xor_transform_in_place(zeros, offset);
    for (size_t i = 0; i < zeros.size(); ++i) {
      ASSERT_EQ(zeros[i], k ^ ((offset + i) % 255)) << offset << " " << i;
    }
  }
}

TEST(XorTransformTest, SelfInverseAndPiecewise) {
  std::mt19937 rng(7);
  std::vector<uint8_t> data(5000);
  for (uint8_t& b : data) b = static_cast<uint8_t>(rng());
  const std::vector<uint8_t> once = xor_transform(data);
  EXPECT_NE(once, data);
  EXPECT_EQ(xor_transform(once), data);
  // In place, in uneven pieces with their offsets, gives the same bytes.
  std::vector<uint8_t> pieces = data;
  size_t at = 0;
  for (size_t n : {1u, 254u, 256u, 1000u, 3489u}) {
    xor_transform_in_place(std::span<uint8_t>(pieces.data() + at, n), at);
    at += n;
  }
  ASSERT_EQ(at, data.size());
  EXPECT_EQ(pieces, once);
}

TEST(BinaryContainerTest, HeaderAndLayout) {
  // A name that makes the JSON document exactly 300 bytes long.
  SerializedIndex s;
  const size_t base = serialized_index_to_json(s).size();
  s.name = std::string(300 - base, 'n');
  ASSERT_EQ(serialized_index_to_json(s).size(), 300u);
  const std::string data = Serialize(s);
  ASSERT_EQ(data.size(), 312u);
  const unsigned char header[12] = {0x56, 0x45, 0x53, 0x4B, 0x01, 0x00,
                                    0x00, 0x00, 0x2C, 0x01, 0x00, 0x00};
  EXPECT_EQ(data.substr(0, 12), std::string(reinterpret_cast<const char*>(header), 12));
  EXPECT_EQ(static_cast<uint8_t>(data[12]), '{' ^ scramble_byte());
  // The payload is the scrambled JSON document, nothing after it.
  std::string payload = data.substr(12);
  xor_transform_in_place(std::span<uint8_t>(reinterpret_cast<uint8_t*>(payload.data()), 300));
  EXPECT_EQ(payload, serialized_index_to_json(s));
}

TEST(BinaryContainerTest, RoundTrip) {
  SerializedIndex s = Sample();
  std::mt19937 rng(42);
  std::normal_distribution<float> normal;
  for (int r = 0; r < 300; ++r) {
    std::vector<float> row(384);
    for (float& f : row) f = normal(rng);
    s.embeddings.push_back(std::move(row));
    s.doc_ids.push_back("doc-" + std::to_string(r));
  }
  const std::string data = Serialize(s);
  Result<SerializedIndex> read = deserialize_from_binary(data);
  ASSERT_TRUE(read.ok()) << read.status().message();
  const SerializedIndex& back = read.value();
  EXPECT_EQ(back.name, s.name);
  EXPECT_EQ(back.version, s.version);
  EXPECT_EQ(back.model.id, s.model.id);
  EXPECT_EQ(back.model.version, s.model.version);
  EXPECT_EQ(back.dimension, s.dimension);
  EXPECT_EQ(back.embeddings, s.embeddings);
  EXPECT_EQ(back.doc_ids, s.doc_ids);

  // Extra bytes after the payload are ignored.
  Result<SerializedIndex> again = deserialize_from_binary(data + "garbage");
  ASSERT_TRUE(again.ok()) << again.status().message();
  EXPECT_EQ(again.value().embeddings, s.embeddings);
}

TEST(BinaryContainerTest, WriteIntoCallersBuffer) {
  const SerializedIndex s = Sample();
  const std::string expected = Serialize(s);
  const size_t bound = binary_size_bound(s);
  ASSERT_GE(bound, expected.size());
  std::string buffer(bound, '\x7f');
  Result<size_t> size = serialize_to_binary_into(s, buffer.data(), buffer.size());
  ASSERT_TRUE(size.ok()) << size.status().message();
  EXPECT_EQ(buffer.substr(0, size.value()), expected);
  // Exactly the needed room is enough; one byte less, or no room for the
  // header, fails without writing past the end.
  std::string exact(expected.size() + 1, '\x7f');
  ASSERT_TRUE(serialize_to_binary_into(s, exact.data(), expected.size()).ok());
  EXPECT_EQ(exact, expected + "\x7f");
  std::string small(expected.size(), '\x7f');
  Result<size_t> short_result = serialize_to_binary_into(s, small.data(), expected.size() - 1);
  EXPECT_TRUE(short_result.status().IsInvalidArgument());
  EXPECT_EQ(small.back(), '\x7f');
  EXPECT_FALSE(serialize_to_binary_into(s, small.data(), 11).ok());
}

TEST(BinaryContainerTest, NonFiniteValuesLoadAsNaN) {
  SerializedIndex s = Sample();
  s.embeddings[0][1] = -std::numeric_limits<float>::infinity();
  Result<SerializedIndex> back = deserialize_from_binary(Serialize(s));
  ASSERT_TRUE(back.ok()) << back.status().message();
  EXPECT_TRUE(std::isnan(back.value().embeddings[0][1]));
  EXPECT_EQ(back.value().embeddings[0][2], 3.0f);
}

TEST(BinaryContainerTest, ReaderErrorsInOrder) {
  const std::string good = Serialize(Sample());
  EXPECT_EQ(ReadError(""), "binary data too short for header");
  EXPECT_EQ(ReadError(good.substr(0, 11)), "binary data too short for header");
  EXPECT_EQ(ReadError("vesk" + good.substr(4)), "invalid magic number");
  EXPECT_EQ(ReadError("VESK\x02" + good.substr(5)), "unsupported version: 2");
  EXPECT_EQ(ReadError(Container("{}", 0xFFFFFFFFu)), "unsupported version: 4294967295");
  EXPECT_EQ(ReadError(good.substr(0, good.size() - 1)), "binary data truncated");
  // A length near 2^32 must not wrap around.
  EXPECT_EQ(ReadError(std::string("VESK\x01\0\0\0\xff\xff\xff\xff", 12) + "xyz"),
            "binary data truncated");
  EXPECT_EQ(ReadError(Container("")),
            "failed to parse JSON payload: EOF while parsing a value at line 1 column 0");
  EXPECT_EQ(ReadError(Container(R"({"name":"a","version":"","model":{"id":"","version":""},)"
                                "\n"
                                R"("dimension":0,"embeddings":[]})")),
            "failed to parse JSON payload: missing field `docIds` at line 2 column 30");
}

}  // namespace
}  // namespace vesk
