#include "persist/json_reader.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "persist/float_text.h"
#include "persist/json_writer.h"
#include "persist/test_index.h"

namespace vesk {
namespace {

// The text the writer gives one float.
std::string FloatText(float f) {
  char buf[kFloatTextRoom];
  return std::string(buf, write_float_text(buf, f));
}

// The error message for reading `json`, or "ok".
std::string ReadError(const std::string& json) {
  Result<SerializedIndex> r = serialized_index_from_json(json);
  if (r.ok()) return "ok";
  EXPECT_TRUE(r.status().IsInvalidArgument());
  return r.status().message();
}

// A complete document whose "embeddings" member is `embeddings`.
std::string WithEmbeddings(const std::string& embeddings) {
  return R"({"name":"n","version":"v","model":{"id":"i","version":"v"},"dimension":1,)"
         R"("embeddings":)" +
         embeddings + R"(,"docIds":[]})";
}

std::vector<float> ReadRow(const std::string& row) {
  Result<SerializedIndex> r = serialized_index_from_json(WithEmbeddings("[[" + row + "]]"));
  EXPECT_TRUE(r.ok()) << r.status().message();
  if (!r.ok() || r.value().embeddings.empty()) return {};
  return r.value().embeddings[0];
}

bool SameBits(float a, float b) { return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b); }

TEST(SerializedIndexJsonRoundTripTest, RandomBitPatternsBitForBit) {
  std::mt19937 rng(20261208);
  SerializedIndex s = DemoIndex();
  s.embeddings.clear();
  for (int r = 0; r < 200; ++r) {
    std::vector<float> row;
    // Most rows fit the writer's buffer in one piece; every tenth does not.
    const int length = r % 10 == 0 ? 3000 : 500;
    for (int i = 0; i < length; ++i) {
      float f;
      do {
        f = std::bit_cast<float>(static_cast<uint32_t>(rng()));
      } while (!std::isfinite(f));
      row.push_back(f);
    }
    s.embeddings.push_back(std::move(row));
    s.doc_ids.push_back("id" + std::to_string(r));
  }
  const std::string json = serialized_index_to_json(s);
  EXPECT_LE(json.size(), serialized_index_json_bound(s));
  Result<SerializedIndex> back = serialized_index_from_json(json);
  ASSERT_TRUE(back.ok()) << back.status().message();
  ASSERT_EQ(back.value().embeddings.size(), s.embeddings.size());
  for (size_t r = 0; r < s.embeddings.size(); ++r) {
    ASSERT_EQ(back.value().embeddings[r].size(), s.embeddings[r].size());
    for (size_t i = 0; i < s.embeddings[r].size(); ++i) {
      ASSERT_TRUE(SameBits(back.value().embeddings[r][i], s.embeddings[r][i]))
          << s.embeddings[r][i];
    }
  }
  EXPECT_EQ(back.value().doc_ids, s.doc_ids);
  EXPECT_EQ(back.value().name, s.name);
  EXPECT_EQ(back.value().model.id, s.model.id);
  EXPECT_EQ(back.value().model.version, s.model.version);
}

TEST(SerializedIndexJsonRoundTripTest, ExtremeValuesBitForBit) {
  const float values[] = {0.0f,
                          -0.0f,
                          std::numeric_limits<float>::denorm_min(),
                          -std::numeric_limits<float>::denorm_min(),
                          std::numeric_limits<float>::min(),
                          std::numeric_limits<float>::max(),
                          -std::numeric_limits<float>::max(),
                          std::nextafter(1.0f, 2.0f),
                          16777217.0f,
                          1e-6f,
                          9.999999e-7f};
  for (float f : values) {
    const std::vector<float> back = ReadRow(FloatText(f));
    ASSERT_EQ(back.size(), 1u);
    EXPECT_TRUE(SameBits(back[0], f)) << FloatText(f);
  }
}

TEST(SerializedIndexJsonRoundTripTest, NonFiniteWrittenAsNullReadAsNaN) {
  SerializedIndex s = DemoIndex();
  s.embeddings = {
      {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(), 1.0f}};
  const std::string json = serialized_index_to_json(s);
  EXPECT_NE(json.find("[[null,null,1.0]]"), std::string::npos);
  Result<SerializedIndex> back = serialized_index_from_json(json);
  ASSERT_TRUE(back.ok()) << back.status().message();
  ASSERT_EQ(back.value().embeddings[0].size(), 3u);
  EXPECT_TRUE(std::isnan(back.value().embeddings[0][0]));
  EXPECT_TRUE(std::isnan(back.value().embeddings[0][1]));
  EXPECT_EQ(back.value().embeddings[0][2], 1.0f);
}

TEST(SerializedIndexJsonReadTest, DemoAndLenientForms) {
  Result<SerializedIndex> r = serialized_index_from_json(kDemoIndexJson);
  ASSERT_TRUE(r.ok()) << r.status().message();
  EXPECT_EQ(r.value().name, "demo");
  EXPECT_EQ(r.value().model.id, "vesk-minilm");
  EXPECT_EQ(r.value().dimension, 3u);
  EXPECT_EQ(r.value().embeddings, (std::vector<std::vector<float>>{{0.1f, -2.5f, 3.0f}}));
  EXPECT_EQ(r.value().doc_ids, std::vector<std::string>{"a"});

  // Any member order, unknown members (of any shape) skipped, whitespace.
  r = serialized_index_from_json(
      " \n{ \"docIds\" : [\"a\"], \"x\": {\"name\": [1, {\"y\": null}], \"z\": true},\r\n"
      "\"embeddings\":[[0.1,-2.5,3]],\"dimension\":3,\"model\":{\"version\":\"0.2.3\","
      "\"extra\":[],\"id\":\"vesk-minilm\"},\"version\":\"0.2.3\",\"name\":\"demo\"}\t ");
  ASSERT_TRUE(r.ok()) << r.status().message();
  EXPECT_EQ(serialized_index_to_json(r.value()), kDemoIndexJson);

  // Array form, the model as an array too.
  r = serialized_index_from_json(
      R"(["demo","0.2.3",["vesk-minilm","0.2.3"],3,[[0.1,-2.5,3.0]],["a"]])");
  ASSERT_TRUE(r.ok()) << r.status().message();
  EXPECT_EQ(serialized_index_to_json(r.value()), kDemoIndexJson);
}

TEST(SerializedIndexJsonReadTest, StringEscapesDecoded) {
  Result<SerializedIndex> r = serialized_index_from_json(
      R"({"name":"\u00e9\ud83d\ude00\n\/\"","version":"","model":{"id":"","version":""},)"
      R"("dimension":0,"embeddings":[],"docIds":["\u0000"]})");
  ASSERT_TRUE(r.ok()) << r.status().message();
  EXPECT_EQ(r.value().name, "\xc3\xa9\xf0\x9f\x98\x80\n/\"");
  EXPECT_EQ(r.value().doc_ids, std::vector<std::string>{std::string(1, '\0')});
}

TEST(SerializedIndexJsonReadTest, EmbeddingNumbers) {
  // Integers convert directly to the nearest float32; 2^53 + 1 would round
  // to 2^53 through a double and then to 2^53 as a float, but 2^60 + 2^36 + 1
  // through a double loses the bit that decides the float rounding.
  std::vector<float> row = ReadRow("1,-1,0,16777217,1152921573326323713,-9223372036854775808");
  ASSERT_EQ(row.size(), 6u);
  EXPECT_EQ(row[0], 1.0f);
  EXPECT_EQ(row[1], -1.0f);
  EXPECT_TRUE(SameBits(row[2], 0.0f));
  EXPECT_EQ(row[3], 16777216.0f);
  EXPECT_EQ(row[4], static_cast<float>(1152921573326323713ull));
  EXPECT_NE(row[4], static_cast<float>(static_cast<double>(1152921573326323713ull)));
  EXPECT_EQ(row[5], -9223372036854775808.0f);

  row = ReadRow("-0,-0.0,1e-400,-1e-400,1e39,-1e39,0.5e1,2E-1,1.0e+2,123456789012345678901234");
  ASSERT_EQ(row.size(), 10u);
  EXPECT_TRUE(SameBits(row[0], -0.0f));
  EXPECT_TRUE(SameBits(row[1], -0.0f));
  EXPECT_TRUE(SameBits(row[2], 0.0f));
  EXPECT_TRUE(SameBits(row[3], -0.0f));
  EXPECT_EQ(row[4], std::numeric_limits<float>::infinity());
  EXPECT_EQ(row[5], -std::numeric_limits<float>::infinity());
  EXPECT_EQ(row[6], 5.0f);
  EXPECT_EQ(row[7], 0.2f);
  EXPECT_EQ(row[8], 100.0f);
  EXPECT_EQ(row[9], 1.2345679e23f);

  // A double that lies exactly halfway between two floats after rounding
  // from a decimal: read as float64 first, then rounded.
  row = ReadRow("1.00000005960464477539062499");
  ASSERT_EQ(row.size(), 1u);
  EXPECT_EQ(row[0], static_cast<float>(1.00000005960464477539062499));
}

TEST(SerializedIndexJsonReadTest, MemberErrors) {
  EXPECT_EQ(ReadError(R"({"name":"a","name":"b","version":"","model":{"id":"","version":""},)"
                      R"("dimension":0,"embeddings":[],"docIds":[]})"),
            "duplicate field `name` at line 1 column 18");
  EXPECT_EQ(ReadError(R"({"name":"a","version":"","model":{"id":"","version":""},)"
                      R"("dimension":0,"embeddings":[]})"),
            "missing field `docIds` at line 1 column 86");
  EXPECT_EQ(ReadError(R"({"name":"a","model":{"id":"","version":""},"dimension":0,)"
                      "\n"
                      R"("embeddings":[]})"),
            "missing field `version` at line 2 column 16");
  EXPECT_EQ(ReadError(R"({"name":"a","version":"","model":{"version":""},)"),
            "missing field `id` at line 1 column 47");
  EXPECT_EQ(ReadError(R"({"name":"a","version":"","model":{"id":"","id":"")"),
            "duplicate field `id` at line 1 column 46");
  EXPECT_EQ(
      ReadError(R"(["demo","0.2.3",["vesk-minilm","0.2.3"],3,[[0.1]]])"),
      "invalid length 5, expected struct SerializedIndex with 6 elements at line 1 column 50");
  EXPECT_EQ(ReadError(R"(["demo","0.2.3",["vesk-minilm"])"),
            "invalid length 1, expected struct ModelRef with 2 elements at line 1 column 31");
  EXPECT_EQ(ReadError(R"([])"),
            "invalid length 0, expected struct SerializedIndex with 6 elements at line 1 column 2");
  EXPECT_EQ(ReadError(R"(["demo","0.2.3",["vesk-minilm","0.2.3"],3,[[0.1]],["a"],7])"),
            "trailing characters at line 1 column 57");
  EXPECT_EQ(ReadError(R"(["n","v",["i","v","x"],3,[],[]])"),
            "trailing characters at line 1 column 21");
}

TEST(SerializedIndexJsonReadTest, ValueTypeErrors) {
  const std::string head = R"({"name":"n","version":"v","model":{"id":"i","version":"v"},)";
  EXPECT_EQ(ReadError(head + R"("dimension":384.0)"),
            "invalid type: floating point `384.0`, expected u64 at line 1 column 76");
  EXPECT_EQ(ReadError(head + R"("dimension":-1)"),
            "invalid value: integer `-1`, expected u64 at line 1 column 73");
  EXPECT_EQ(ReadError(head + R"("dimension":1e2)"),
            "invalid type: floating point `100.0`, expected u64 at line 1 column 74");
  EXPECT_EQ(ReadError(head + R"("dimension":"3")"),
            "invalid type: string \"3\", expected u64 at line 1 column 74");
  EXPECT_EQ(ReadError(head + R"("dimension":18446744073709551616)"),
            "invalid type: floating point `18446744073709552000.0`, expected u64 at line 1 "
            "column 91");
  EXPECT_EQ(ReadError(R"({"name":null)"),
            "invalid type: null, expected a string at line 1 column 12");
  EXPECT_EQ(ReadError(R"({"name":5)"),
            "invalid type: integer `5`, expected a string at line 1 column 9");
  EXPECT_EQ(ReadError(R"({"name":[)"),
            "invalid type: sequence, expected a string at line 1 column 9");
  EXPECT_EQ(ReadError(R"({"model":"x")"),
            "invalid type: string \"x\", expected struct ModelRef at line 1 column 12");
  EXPECT_EQ(ReadError(R"({"docIds":[true)"),
            "invalid type: boolean `true`, expected a string at line 1 column 15");
  EXPECT_EQ(ReadError(R"({"embeddings":{)"),
            "invalid type: map, expected a sequence at line 1 column 15");
  EXPECT_EQ(ReadError(R"({"embeddings":[1])"),
            "invalid type: integer `1`, expected a sequence at line 1 column 16");
  EXPECT_EQ(ReadError(R"({"embeddings":[["1"])"),
            "invalid type: string \"1\", expected f32 at line 1 column 19");
  EXPECT_EQ(ReadError(R"({"embeddings":[[false)"),
            "invalid type: boolean `false`, expected f32 at line 1 column 21");
  EXPECT_EQ(ReadError(R"({"embeddings":[[1e400])"), "number out of range at line 1 column 21");
  EXPECT_EQ(ReadError(R"({"embeddings":[[1000e306])"), "number out of range at line 1 column 24");
  EXPECT_EQ(ReadError("null"),
            "invalid type: null, expected struct SerializedIndex at line 1 column 4");
  EXPECT_EQ(ReadError("\"x\""),
            "invalid type: string \"x\", expected struct SerializedIndex at line 1 column 3");
  // Invalid UTF-8 is rejected, raw or through a lone surrogate escape.
  EXPECT_EQ(ReadError("{\"name\":\"\xff\""), "invalid unicode code point at line 1 column 11");
  EXPECT_EQ(ReadError(R"({"name":"\udc00")"), "invalid unicode code point at line 1 column 16");
}

TEST(SerializedIndexJsonReadTest, SyntaxErrors) {
  EXPECT_EQ(ReadError(""), "EOF while parsing a value at line 1 column 0");
  EXPECT_EQ(ReadError("  \n "), "EOF while parsing a value at line 2 column 1");
  EXPECT_EQ(ReadError("["), "EOF while parsing a value at line 1 column 1");
  EXPECT_EQ(ReadError(R"({"name")"), "EOF while parsing an object at line 1 column 7");
  EXPECT_EQ(ReadError(R"({"name":"abc)"), "EOF while parsing a string at line 1 column 12");
  EXPECT_EQ(ReadError("x"), "expected value at line 1 column 1");
  EXPECT_EQ(ReadError(R"({"name" "a"})"), "expected `:` at line 1 column 9");
  EXPECT_EQ(ReadError(R"({"docIds":["a" "b"]})"), "expected `,` or `]` at line 1 column 16");
  EXPECT_EQ(ReadError(R"({"docIds":["a",]})"), "trailing comma at line 1 column 16");
  EXPECT_EQ(ReadError(R"({"x":1,})"), "trailing comma at line 1 column 8");
  // The position counts the offending byte, here a raw line feed.
  EXPECT_EQ(ReadError("{\"name\":\"a\nb\"}"),
            "control character (\\u0000-\\u001F) found while parsing a string at line 2 "
            "column 0");
  EXPECT_EQ(ReadError(std::string(kDemoIndexJson) + "x"),
            "trailing characters at line 1 column 140");
  EXPECT_EQ(ReadError(std::string(kDemoIndexJson) + " \n {}"),
            "trailing characters at line 2 column 2");
  EXPECT_EQ(ReadError(std::string(kDemoIndexJson) + std::string(1, '\0')),
            "trailing characters at line 1 column 140");
  EXPECT_EQ(ReadError(R"({"embeddings":[[1.]]})"), "invalid number at line 1 column 19");
  EXPECT_EQ(ReadError(R"({"embeddings":[[-]]})"), "invalid number at line 1 column 18");
}

TEST(SerializedIndexJsonReadTest, DeepNestingFailsCleanly) {
  // Nesting inside a skipped member is bounded, at any depth.
  for (size_t depth : {126u, 127u, 100000u}) {
    const std::string json = "{\"x\":" + std::string(depth, '[') + std::string(depth, ']') + "}";
    const std::string error = ReadError(json);
    if (depth < 127) {
      EXPECT_EQ(error, "missing field `name` at line 1 column " + std::to_string(json.size()));
    } else {
      EXPECT_EQ(error, "recursion limit exceeded at line 1 column 132");
    }
  }
  EXPECT_EQ(ReadError("{\"name\":\"n\",\"x\":" + std::string(200000, '[')),
            "recursion limit exceeded at line 1 column 143");
  // A sequence where the name belongs is a type error, not a nesting one.
  EXPECT_EQ(ReadError(std::string(200000, '[')),
            "invalid type: sequence, expected a string at line 1 column 2");
}

TEST(SerializedIndexJsonReadTest, UnusualRowsReadLikeAnyOtherValue) {
  // Rows are read by a fast path that hands anything unusual back to the
  // general parser; both must agree on values and on errors.
  std::vector<float> row =
      ReadRow(" 1.5 , -0 ,null,\n2.00000000000000000000000000000000000000001, 7E0 ");
  ASSERT_EQ(row.size(), 5u);
  EXPECT_EQ(row[0], 1.5f);
  EXPECT_TRUE(SameBits(row[1], -0.0f));
  EXPECT_TRUE(std::isnan(row[2]));
  EXPECT_EQ(row[3], 2.0f);
  EXPECT_EQ(row[4], 7.0f);
  EXPECT_EQ(ReadRow("0.1,123456789.123456789123,1e-30").size(), 3u);
  // Numbers longer than the fast path's buffer, whatever part overflows it.
  for (const std::string& text :
       {std::string(39, '1') + ".5", std::string(38, '1') + "e0", "-" + std::string(38, '1') + ".0",
        "0." + std::string(60, '0') + "1e61"}) {
    row = ReadRow(text);
    ASSERT_EQ(row.size(), 1u) << text;
    EXPECT_EQ(row[0], static_cast<float>(std::stod(text))) << text;
  }
  const std::string head = R"({"embeddings":[[1.5,)";
  EXPECT_EQ(ReadError(head + "]]}"), "trailing comma at line 1 column 21");
  EXPECT_EQ(ReadError(head + "2 3]]}"), "expected `,` or `]` at line 1 column 23");
  EXPECT_EQ(ReadError(head + "nul]]}"), "expected ident at line 1 column 24");
  EXPECT_EQ(ReadError(head + "[]]]}"), "invalid type: sequence, expected f32 at line 1 column 21");
  EXPECT_EQ(ReadError(head + "01]]}"), "expected `,` or `]` at line 1 column 22");
  EXPECT_EQ(ReadError(head + "1.5e]]}"), "invalid number at line 1 column 25");
}

TEST(SerializedIndexJsonReadTest, EncodedInput) {
  // A position-dependent transform, decoded chunk by chunk while reading.
  const JsonByteTransform flip = [](char* data, size_t size, size_t offset) {
    for (size_t i = 0; i < size; ++i) data[i] ^= static_cast<char>((offset + i) * 7 + 1);
  };
  SerializedIndex s = DemoIndex();
  s.embeddings.assign(3000, std::vector<float>(64, 0.123456f));
  s.doc_ids.assign(3000, "doc");
  std::string encoded;
  append_serialized_index_json(s, &encoded, flip);
  const std::string plain = serialized_index_to_json(s);
  ASSERT_EQ(encoded.size(), plain.size());
  ASSERT_GT(plain.size(), 200000u);
  Result<SerializedIndex> back = serialized_index_from_json(encoded, flip);
  ASSERT_TRUE(back.ok()) << back.status().message();
  EXPECT_EQ(serialized_index_to_json(back.value()), plain);

  // A row longer than the decoding chunk that fails at its very end is
  // rewound and reported at the right place.
  std::string long_row = "{\"embeddings\":[[";
  for (int i = 0; i < 30000; ++i) long_row += "0.25,";
  long_row += "true]]}";
  const std::string plain_error = serialized_index_from_json(long_row).status().message();
  EXPECT_EQ(plain_error, "invalid type: boolean `true`, expected f32 at line 1 column " +
                             std::to_string(long_row.size() - 3));
  flip(long_row.data(), long_row.size(), 0);
  EXPECT_EQ(serialized_index_from_json(long_row, flip).status().message(), plain_error);

  // Errors report positions in the decoded text.
  std::string bad = "{\n\"name\":7}";
  flip(bad.data(), bad.size(), 0);
  Result<SerializedIndex> r = serialized_index_from_json(bad, flip);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.status().message(),
            "invalid type: integer `7`, expected a string at line 2 column 8");
}

}  // namespace
}  // namespace vesk
