// DocumentTable: the stored documents of an index in storage order, with a
// hash index from id to the first position holding that id.
//
// Ids are normally unique (add_documents upserts or skips), but a loaded index
// may repeat an id; find() then returns the first position, exactly as a scan
// from position 0 would. The id index holds positions only; it hashes the ids
// where they are stored, so ids are not kept twice.
//
// Thread safety: const methods may run concurrently; mutation needs exclusive
// access. Ownership: owns its documents. Neither copyable nor movable (the id
// index refers back to the table).
#ifndef VESK_CORE_INDEX_DOCUMENT_TABLE_H_
#define VESK_CORE_INDEX_DOCUMENT_TABLE_H_

#include <cstddef>
#include <span>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "models/document_info.h"

namespace vesk {

class DocumentTable {
 public:
  static constexpr size_t kNotFound = static_cast<size_t>(-1);

  DocumentTable();
  DocumentTable(const DocumentTable&) = delete;
  DocumentTable& operator=(const DocumentTable&) = delete;

  size_t size() const { return docs_.size(); }
  bool empty() const { return docs_.empty(); }
  const DocumentInfo& operator[](size_t pos) const { return docs_[pos]; }
  std::span<const DocumentInfo> all() const { return docs_; }

  // The first position whose document has this id, or kNotFound. Expected O(1).
  size_t find(std::string_view id) const;

  void reserve(size_t count);
  // Appends `doc` at position size().
  void append(DocumentInfo doc);
  // Replaces the document at `pos` by `doc`. REQUIRES: doc.id equals the id
  // stored at `pos`.
  void replace(size_t pos, DocumentInfo doc);
  // Removes the given positions (strictly increasing); later documents move
  // down and keep their order.
  void erase(std::span<const size_t> positions);
  // Replaces every document by `docs`.
  void assign(std::vector<DocumentInfo> docs);
  void clear();

 private:
  struct IdHash {
    using is_transparent = void;
    const std::vector<DocumentInfo>* docs;
    size_t operator()(std::string_view id) const;
    size_t operator()(size_t pos) const { return (*this)((*docs)[pos].id); }
  };
  struct IdEqual {
    using is_transparent = void;
    const std::vector<DocumentInfo>* docs;
    bool operator()(size_t a, size_t b) const { return (*docs)[a].id == (*docs)[b].id; }
    bool operator()(std::string_view a, size_t b) const { return a == (*docs)[b].id; }
    bool operator()(size_t a, std::string_view b) const { return (*docs)[a].id == b; }
  };

  void rebuild_ids();

  std::vector<DocumentInfo> docs_;
  std::unordered_set<size_t, IdHash, IdEqual> first_position_;
};

}  // namespace vesk

#endif  // VESK_CORE_INDEX_DOCUMENT_TABLE_H_
