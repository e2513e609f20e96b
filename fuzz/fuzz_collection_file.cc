// libFuzzer target for the collection file reader (CollectionFile).
//
// Each input is read as a collection file without checksums, so that damage
// reaches the parser itself. Reading may fail with a format error but never
// crash; a collection that loads must answer a search, save, and load back
// from its saved bytes (checksums on) with the same documents and embedding
// bits. Any disagreement aborts. The input is also read as the parts of a
// keyword index (KeywordIndex::restore), which must refuse or give an index
// that searches.
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
#include "hybridsearch/keyword_index.h"

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

// Input as keyword index parts: byte 0 the slot count (mod 16), then a
// length per slot, then terms of (key byte, posting count byte, (slot, tf)
// byte pairs).
void restore_parts(const uint8_t* data, size_t size) {
  if (size < 2) return;
  size_t at = 0;
  const size_t n = data[at++] % 16;
  std::vector<uint32_t> lengths;
  for (size_t i = 0; i < n && at < size; ++i) lengths.push_back(data[at++] % 8);
  const uint64_t indexed = at < size ? data[at++] % 17 : 0;
  std::vector<vesk::Posting> postings;
  std::string key;
  auto next = [&](std::string_view* k, std::span<const vesk::Posting>* p) {
    if (at + 2 > size) return false;
    key = std::string(1, static_cast<char>(data[at++]));
    const size_t m = data[at++] % 8;
    postings.clear();
    for (size_t i = 0; i < m && at + 2 <= size; ++i, at += 2) {
      postings.push_back(
          {static_cast<uint32_t>(data[at] % 20), static_cast<uint32_t>(data[at + 1] % 5)});
    }
    *k = key;
    *p = postings;
    return true;
  };
  vesk::KeywordIndex::Options options;
  options.exact_terms = true;
  auto index = vesk::KeywordIndex::restore(options, lengths, indexed, next);
  if (index.ok()) (void)index.value()->search("a b c", 5, nullptr);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  restore_parts(data, size);
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
