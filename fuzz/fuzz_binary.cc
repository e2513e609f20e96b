// libFuzzer target for the SerializedIndex JSON reader and the .vesk
// container reader.
//
// Each input is read three ways: as a container, as a JSON document, and as
// the payload of a well-formed container (which must agree with the plain
// JSON reading, error text included). Every successful reading is written
// again and must read back equal. Any disagreement aborts.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "models/serialized_index.h"
#include "persist/binary.h"
#include "persist/json_reader.h"
#include "persist/json_writer.h"

namespace {

using vesk::Result;
using vesk::SerializedIndex;

[[noreturn]] void Die(const char* what, const std::string& detail = {}) {
  std::fprintf(stderr, "fuzz_binary: %s %s\n", what, detail.c_str());
  std::abort();
}

bool SameFloat(float a, float b) {
  if (std::isnan(a)) return std::isnan(b);
  uint32_t x, y;
  std::memcpy(&x, &a, 4);
  std::memcpy(&y, &b, 4);
  return x == y;
}

// With `rewritten`, b is a's written and re-read form, in which infinities
// come back as NaN (they are written as null).
bool SameIndex(const SerializedIndex& a, const SerializedIndex& b, bool rewritten) {
  if (a.name != b.name || a.version != b.version || a.model.id != b.model.id ||
      a.model.version != b.model.version || a.dimension != b.dimension || a.doc_ids != b.doc_ids ||
      a.embeddings.size() != b.embeddings.size()) {
    return false;
  }
  for (size_t r = 0; r < a.embeddings.size(); ++r) {
    if (a.embeddings[r].size() != b.embeddings[r].size()) return false;
    for (size_t i = 0; i < a.embeddings[r].size(); ++i) {
      float x = a.embeddings[r][i];
      if (rewritten && std::isinf(x)) x = NAN;
      if (!SameFloat(x, b.embeddings[r][i])) return false;
    }
  }
  return true;
}

bool HasPositionSuffix(const std::string& message) {
  const size_t at = message.rfind(" at line ");
  if (at == std::string::npos) return false;
  unsigned long line = 0, column = 0;
  return std::sscanf(message.c_str() + at, " at line %lu column %lu", &line, &column) == 2 &&
         line >= 1;
}

// Writes `s` as JSON and as a container; both must read back equal.
void CheckRewrite(const SerializedIndex& s) {
  const std::string json = vesk::serialized_index_to_json(s);
  if (json.size() > vesk::serialized_index_json_bound(s)) Die("bound too small");
  Result<SerializedIndex> again = vesk::serialized_index_from_json(json);
  if (!again.ok()) Die("rewritten JSON does not read:", again.status().message());
  if (!SameIndex(s, again.value(), true)) Die("JSON round trip differs:", json);
  if (vesk::serialized_index_to_json(again.value()) != json) Die("JSON not stable:", json);

  Result<std::string> bin = vesk::serialize_to_binary(s);
  if (!bin.ok()) Die("serialize_to_binary failed");
  Result<SerializedIndex> back = vesk::deserialize_from_binary(bin.value());
  if (!back.ok()) Die("container round trip failed:", back.status().message());
  if (!SameIndex(s, back.value(), true)) Die("container round trip differs");
}

std::string Wrap(std::string_view payload) {
  std::string out = "VESK";
  const uint32_t fields[2] = {1, static_cast<uint32_t>(payload.size())};
  for (uint32_t v : fields) {
    for (int b = 0; b < 4; ++b) out.push_back(static_cast<char>((v >> (8 * b)) & 0xff));
  }
  out.append(payload);
  vesk::xor_transform_in_place(
      std::span<uint8_t>(reinterpret_cast<uint8_t*>(out.data()) + 12, payload.size()));
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  // 1. The input as a container.
  Result<SerializedIndex> from_container = vesk::deserialize_from_binary(input);
  if (from_container.ok()) {
    CheckRewrite(from_container.value());
  } else if (!from_container.status().IsInvalidArgument() ||
             from_container.status().message().empty()) {
    Die("bad container error:", from_container.status().message());
  }

  // 2. The input as a JSON document.
  Result<SerializedIndex> from_json = vesk::serialized_index_from_json(input);
  if (from_json.ok()) {
    CheckRewrite(from_json.value());
  } else if (!from_json.status().IsInvalidArgument() ||
             !HasPositionSuffix(from_json.status().message())) {
    Die("bad error text:", from_json.status().message());
  }

  // 3. The input as the payload of a container: same outcome as step 2.
  Result<SerializedIndex> wrapped = vesk::deserialize_from_binary(Wrap(input));
  if (wrapped.ok() != from_json.ok()) Die("container and plain readings disagree");
  if (wrapped.ok() && !SameIndex(from_json.value(), wrapped.value(), false)) {
    Die("container reading differs");
  }
  if (!wrapped.ok() && wrapped.status().message() !=
                           "failed to parse JSON payload: " + from_json.status().message()) {
    Die("error texts differ:", wrapped.status().message() + " | " + from_json.status().message());
  }
  return 0;
}
