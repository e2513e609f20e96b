#include "persist/binary.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "persist/json_reader.h"
#include "persist/json_writer.h"

namespace vesk {

namespace {

constexpr char kMagic[4] = {'V', 'E', 'S', 'K'};

// The scramble byte is folded out of this word at run time.
constexpr uint32_t kScrambleSeed = 0x9E3779B9u;

uint8_t FoldSeed(uint32_t seed) {
  uint32_t x = seed;
  x ^= x >> 16;
  x *= 0x7FEB352Du;
  x ^= x >> 15;
  return static_cast<uint8_t>(x ^ (x >> 8) ^ (x >> 16) ^ (x >> 24));
}

// Mask bytes by position modulo 255 over sixteen periods and a little
// more, so that from any phase the next kMaskSpan bytes, and sixteen past
// any of them, can be read without wrapping around.
constexpr size_t kMaskPeriod = 255;
constexpr size_t kMaskSpan = 16 * kMaskPeriod;
using MaskTable = std::array<uint8_t, kMaskSpan + kMaskPeriod + 16>;

const MaskTable& Mask() {
  static const MaskTable table = [] {
    MaskTable t{};
    const uint8_t k = scramble_byte();
    for (size_t j = 0; j < t.size(); ++j) t[j] = static_cast<uint8_t>(k ^ (j % kMaskPeriod));
    return t;
  }();
  return table;
}

void ScrambleChunk(char* data, size_t size, size_t offset) {
  xor_transform_in_place(std::span<uint8_t>(reinterpret_cast<uint8_t*>(data), size), offset);
}

void PutU32(char* p, uint32_t v) {
  p[0] = static_cast<char>(v & 0xff);
  p[1] = static_cast<char>((v >> 8) & 0xff);
  p[2] = static_cast<char>((v >> 16) & 0xff);
  p[3] = static_cast<char>((v >> 24) & 0xff);
}

uint32_t GetU32(const char* p) {
  const auto* b = reinterpret_cast<const unsigned char*>(p);
  return static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
         (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
}

// The length field holds 32 bits; longer payloads cannot be described.
Status CheckPayloadSize(size_t payload) {
  if (payload > std::numeric_limits<uint32_t>::max()) {
    return Status::InvalidArgument(
        "serialized index too large for the binary container: " + std::to_string(payload) +
        " bytes of JSON, at most 4294967295 allowed");
  }
  return Status::OK();
}

// REQUIRES: CheckPayloadSize(payload).ok().
void WriteHeader(char* out, size_t payload) {
  std::memcpy(out, kMagic, 4);
  PutU32(out + 4, kBinaryFormatVersion);
  PutU32(out + 8, static_cast<uint32_t>(payload));
}

}  // namespace

uint8_t scramble_byte() {
  static const uint8_t k = FoldSeed(kScrambleSeed);
  return k;
}

void xor_transform_in_place(std::span<uint8_t> data, size_t offset) {
  const MaskTable& mask = Mask();
  size_t phase = offset % kMaskPeriod;
  uint8_t* p = data.data();
  size_t left = data.size();
  // Sixteen bytes at a time, a span of sixteen periods at most without
  // looking at the phase; then eight, then the tail.
#if defined(__SSE2__)
  while (left >= 16) {
    const size_t run = std::min(left, kMaskSpan) & ~size_t{15};
    const uint8_t* const m = mask.data() + phase;
    for (size_t i = 0; i < run; i += 16) {
      const __m128i word = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
      _mm_storeu_si128(
          reinterpret_cast<__m128i*>(p + i),
          _mm_xor_si128(word, _mm_loadu_si128(reinterpret_cast<const __m128i*>(m + i))));
    }
    p += run;
    left -= run;
    phase = (phase + run) % kMaskPeriod;
  }
#endif
  while (left >= 8) {
    uint64_t word, m;
    std::memcpy(&word, p, 8);
    std::memcpy(&m, mask.data() + phase, 8);
    word ^= m;
    std::memcpy(p, &word, 8);
    p += 8;
    left -= 8;
    phase += 8;
    if (phase >= kMaskPeriod) phase -= kMaskPeriod;
  }
  for (size_t i = 0; i < left; ++i) {
    p[i] ^= mask[phase];
    if (++phase == kMaskPeriod) phase = 0;
  }
}

std::vector<uint8_t> xor_transform(std::span<const uint8_t> data) {
  std::vector<uint8_t> out(data.begin(), data.end());
  xor_transform_in_place(out);
  return out;
}

Result<std::string> serialize_to_binary(const SerializedIndex& index) {
  std::string out;
  out.reserve(kBinaryHeaderSize + serialized_index_json_bound(index));
  out.append(kBinaryHeaderSize, '\0');
  // The document goes straight after the header, scrambled chunk by chunk.
  append_serialized_index_json(index, &out, &ScrambleChunk);
  const size_t payload = out.size() - kBinaryHeaderSize;
  if (Status status = CheckPayloadSize(payload); !status.ok()) return status;
  WriteHeader(out.data(), payload);
  return out;
}

size_t binary_size_bound(const SerializedIndex& index) {
  return kBinaryHeaderSize + serialized_index_json_bound(index);
}

Result<size_t> serialize_to_binary_into(const SerializedIndex& index, char* out, size_t capacity) {
  if (capacity < kBinaryHeaderSize) {
    return Status::InvalidArgument("buffer too small for the binary container header");
  }
  const size_t payload = write_serialized_index_json(index, out + kBinaryHeaderSize,
                                                     capacity - kBinaryHeaderSize, &ScrambleChunk);
  if (payload > capacity - kBinaryHeaderSize) {
    return Status::InvalidArgument("buffer too small for the binary container: " +
                                   std::to_string(kBinaryHeaderSize + payload) + " bytes needed");
  }
  if (Status status = CheckPayloadSize(payload); !status.ok()) return status;
  WriteHeader(out, payload);
  return kBinaryHeaderSize + payload;
}

Result<SerializedIndex> deserialize_from_binary(std::string_view data) {
  if (data.size() < kBinaryHeaderSize) {
    return Status::InvalidArgument("binary data too short for header");
  }
  if (std::memcmp(data.data(), kMagic, 4) != 0) {
    return Status::InvalidArgument("invalid magic number");
  }
  const uint32_t version = GetU32(data.data() + 4);
  if (version != kBinaryFormatVersion) {
    return Status::InvalidArgument("unsupported version: " + std::to_string(version));
  }
  const size_t payload = GetU32(data.data() + 8);
  if (data.size() - kBinaryHeaderSize < payload) {
    return Status::InvalidArgument("binary data truncated");
  }
  Result<SerializedIndex> parsed =
      serialized_index_from_json(data.substr(kBinaryHeaderSize, payload), &ScrambleChunk);
  if (!parsed.ok()) {
    return Status::InvalidArgument("failed to parse JSON payload: " + parsed.status().message());
  }
  return parsed;
}

}  // namespace vesk
