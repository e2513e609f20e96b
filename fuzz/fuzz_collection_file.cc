// libFuzzer target for the collection file reader (CollectionFile).
//
// Each input is read as a collection file without checksums, so that damage
// reaches the parser itself. Reading may fail with a format error but never
// crash; a collection that loads must answer a search, save, and load back
// from its saved bytes (checksums on) with the same documents and embedding
// bits. Any disagreement aborts.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#include "collection/collection_file.h"

namespace {

using vesk::CollectionFile;

[[noreturn]] void Die(const char* what, const std::string& detail = {}) {
  std::fprintf(stderr, "fuzz_collection_file: %s %s\n", what, detail.c_str());
  std::abort();
}

bool SameBits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  CollectionFile::ErrorKind kind;
  auto loaded = CollectionFile::load_bytes(bytes, /*verify=*/false, nullptr, &kind);
  if (!loaded.ok()) {
    if (kind != CollectionFile::ErrorKind::kFormat)
      Die("not a format error:", loaded.status().message());
    return 0;
  }
  vesk::Collection& col = *loaded.value();
  vesk::SearchRequest request;
  request.text = std::string_view("apple red wine");
  const std::vector<float> query(col.dim(), 0.5f);
  request.vector = std::span<const float>(query);
  request.k = 3;
  (void)col.search(request);  // may fail (non-finite embeddings), never crash

  static const std::string path = "/tmp/fuzz_collection_file." + std::to_string(::getpid());
  if (!CollectionFile::save(col, path).ok()) Die("save failed");
  std::ifstream in(path, std::ios::binary);
  const std::string saved((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto again = CollectionFile::load_bytes(saved, /*verify=*/true, nullptr, &kind);
  if (!again.ok()) Die("saved file does not load:", again.status().message());
  const CollectionFile::Contents a = CollectionFile::contents(col);
  const CollectionFile::Contents b = CollectionFile::contents(*again.value());
  if (a.ids != b.ids || a.texts != b.texts || a.metadata.size() != b.metadata.size() ||
      a.embedded != b.embedded || !SameBits(a.embeddings, b.embeddings)) {
    Die("saved file loads different documents");
  }
  return 0;
}
