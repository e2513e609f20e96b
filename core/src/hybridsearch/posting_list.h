// PostingList: the documents (slots) holding one term of a KeywordIndex, with
// the term's frequency in each, in ascending slot order.
//
// Postings are kept in blocks of about kBlockSize. A block stores its slots as
// gaps from the previous slot, one byte each, when every gap is below 256,
// else as offsets from its first slot (16 bits each while the block spans
// fewer than 65,536 slots, 32 bits otherwise), and its term frequencies in
// one byte each (32 bits when one exceeds 255), so a posting of a frequent
// term usually takes 2 bytes and one of a rare term 3. Each
// block also records its last slot, its largest term frequency and the
// smallest document length among its postings at the time it was written;
// removals leave these as conservative bounds. The list keeps the same bounds
// over all its blocks.
//
// Appending a slot above every slot of the list writes into the last block in
// place (amortized constant time); inserting or removing a slot elsewhere
// moves the bytes of the one block that holds it when its one-byte form and
// room allow, else rewrites that block (constant time either way: blocks
// hold at most kMaxBlock postings) and, rarely, moves the block directory.
//
// A block being written has an allocation of its own; once those reach an
// eighth of the others after an append (as many as the others after a
// rewrite), the list moves every block but the last into one packed buffer,
// in slot order, so a search reads a list's postings as one stream the
// processor can fetch ahead (amortized: a posting is copied a few times while
// a list grows, and an update copies about one block). A rewritten block
// leaves the pack and its old bytes stay unused until the next packing.
//
// Thread safety: const methods may run concurrently; mutation needs exclusive
// access. Ownership: owns its blocks. Mutations may throw std::bad_alloc and
// then leave the list in an unspecified but destructible state.
#ifndef VESK_CORE_HYBRIDSEARCH_POSTING_LIST_H_
#define VESK_CORE_HYBRIDSEARCH_POSTING_LIST_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace vesk {

// One document of a posting list: its slot and the term's frequency there.
struct Posting {
  uint32_t slot;
  uint32_t tf;
};

class PostingBlock {
 public:
  // A block holding `postings` (ascending slots, at least one), with room
  // for `capacity` >= postings.size(); `lengths[slot]` is the length of the
  // document in `slot`.
  PostingBlock(std::span<const Posting> postings, size_t capacity,
               std::span<const uint32_t> lengths);
  ~PostingBlock() {
    if (owned_) delete[] data_;
  }
  PostingBlock(PostingBlock&& other) noexcept { *this = std::move(other); }
  PostingBlock& operator=(PostingBlock&& other) noexcept;
  PostingBlock(const PostingBlock&) = delete;
  PostingBlock& operator=(const PostingBlock&) = delete;

  size_t size() const { return count_; }
  uint32_t first_slot() const { return base_; }
  uint32_t last_slot() const { return last_; }
  uint32_t max_tf() const { return max_tf_; }
  uint32_t min_length() const { return min_length_; }
  // Bytes of its postings' own allocation (0 once packed into its list's).
  size_t memory_bytes() const { return owned_ ? data_bytes() : 0; }
  size_t data_bytes() const { return capacity_ * (slot_bytes_ + tf_bytes_); }
  bool packed() const { return !owned_; }

  // Asks the processor to start loading the block's postings (a list's
  // blocks are not all in one stream: some have allocations of their own).
  void prefetch() const {
    for (size_t at = 0; at < data_bytes(); at += 64) __builtin_prefetch(data_ + at);
  }
  // True when the block stores one-byte gaps and one-byte frequencies (the
  // usual form), which decode_offsets() and byte_tfs() read directly.
  bool byte_coded() const { return slot_bytes_ == 1 && tf_bytes_ == 1; }
  // Writes slot - from of every posting to `out` (room for size()).
  // REQUIRES: byte_coded(), from <= first_slot(), last_slot() - from <= 65535.
  void decode_offsets(uint32_t from, uint16_t* out) const;
  // The postings' term frequencies. REQUIRES: byte_coded().
  const uint8_t* byte_tfs() const { return data_ + capacity_; }
  // Writes every posting to `out` (room for size() entries).
  void decode(Posting* out) const;
  // Moves the postings to `dst` (room for packed_bytes()), which the caller
  // keeps alive while the block uses it.
  void pack_into(uint8_t* dst);
  // Rewrites a packed block to hold `postings` (ascending slots, at least
  // one) in its place in the packed buffer. True on success; false (nothing
  // changed) when they do not fit there.
  bool rewrite_packed(std::span<const Posting> postings, std::span<const uint32_t> lengths);
  // Bytes pack_into() writes.
  size_t packed_bytes() const { return (count_ + kPackRoom) * (slot_bytes_ + tf_bytes_); }
  // Room for this many more postings a packed block keeps, so that an
  // update usually rewrites it in place.
  static constexpr size_t kPackRoom = 2;
  // Appends (slot, tf) in place. True on success; false (nothing changed)
  // when the block is full or the posting does not fit its widths.
  // REQUIRES: slot > last_slot().
  bool try_append(uint32_t slot, uint32_t tf, uint32_t length);
  // Inserts (slot, tf) in place, moving the later postings up by one. True
  // on success; false (nothing changed) when the block is full, not
  // byte_coded(), or the posting's gap or frequency needs a wider form.
  // REQUIRES: slot <= last_slot() and not in the block.
  bool try_insert(uint32_t slot, uint32_t tf, uint32_t length);
  // Removes the posting of `slot` in place. The bounds stay as they were
  // (still bounds of what remains). True on success; false (nothing
  // changed) when the block is not byte_coded(), holds only this posting,
  // or the merged gap needs a wider form. REQUIRES: slot in the block.
  bool try_erase(uint32_t slot);

 private:
  // The narrowest slot and frequency widths that hold `postings`.
  static void pick_widths(std::span<const Posting> postings, uint8_t* slot_bytes,
                          uint8_t* tf_bytes);
  // Sets the block to hold `postings` with room for `capacity`, written to
  // `into` (which the caller keeps alive), or to an allocation of its own
  // when `into` is null.
  void encode(std::span<const Posting> postings, size_t capacity, std::span<const uint32_t> lengths,
              uint8_t* into);

  uint32_t base_;
  uint32_t last_;
  uint32_t max_tf_;
  uint32_t min_length_;
  uint16_t count_;
  uint16_t capacity_;
  uint8_t slot_bytes_;  // 1 (gaps), 2 or 4 (offsets)
  uint8_t tf_bytes_;    // 1 or 4
  bool owned_ = false;  // data_ is the block's own allocation
  // capacity_ offsets, then capacity_ tfs: the block's own allocation when
  // owned_, else in the owning list's packed buffer.
  uint8_t* data_ = nullptr;
};

class PostingList {
 public:
  static constexpr size_t kBlockSize = 128;
  static constexpr size_t kMaxBlock = 256;

  // Number of postings (documents holding the term).
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const std::vector<PostingBlock>& blocks() const { return blocks_; }
  uint32_t max_tf() const { return max_tf_; }
  uint32_t min_length() const { return min_length_; }
  size_t memory_bytes() const;

  // Adds (slot, tf); `lengths[slot]` is already the document's length.
  // REQUIRES: slot not in the list.
  void insert(uint32_t slot, uint32_t tf, std::span<const uint32_t> lengths);
  // Removes the posting of `slot`. REQUIRES: present.
  void remove(uint32_t slot, std::span<const uint32_t> lengths);
  // Renumbers every slot s to remap[s] (an increasing map over the list's
  // slots) and rewrites the blocks compactly. `lengths` is indexed by the new
  // slots.
  void renumber(std::span<const uint32_t> remap, std::span<const uint32_t> lengths);

 private:
  // Rewrites blocks_[b] to hold `postings` (split in two when too many;
  // dropped when none).
  void rewrite(size_t b, std::span<const Posting> postings, std::span<const uint32_t> lengths);

  // Block `b` is about to be replaced or dropped: its bytes leave the pack.
  void unpack(size_t b);
  // Packs the list (pack()) once its blocks with their own allocations
  // number at least 1/share of the packed ones (and a few). Appending packs
  // at 1/kAppendShare, so a list built by appends mostly sits side by side
  // in memory; rewrites in place pack at 1/kRewriteShare, so an update
  // copies about one block on average.
  static constexpr size_t kAppendShare = 8;
  static constexpr size_t kRewriteShare = 1;
  void maybe_pack(size_t share);
  // Moves every block into one new packed buffer, but the last while it has
  // its own allocation (appends grow it).
  void pack();

  std::vector<PostingBlock> blocks_;
  std::unique_ptr<uint8_t[]> packed_;  // the packed blocks' postings, in order
  size_t packed_bytes_ = 0;            // size of packed_
  size_t packed_blocks_ = 0;           // blocks whose postings are in packed_
  size_t size_ = 0;
  uint32_t max_tf_ = 0;
  uint32_t min_length_ = UINT32_MAX;
};

}  // namespace vesk

#endif  // VESK_CORE_HYBRIDSEARCH_POSTING_LIST_H_
