#include "hybridsearch/posting_list.h"

#include <algorithm>
#include <cassert>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vesk {

#if defined(__SSE2__)
namespace {

// The running sums of sixteen one-byte gaps in 16-bit lanes: the first eight
// in *lo, the next eight (counting on from the first eight) in *hi. Sixteen
// gaps below 256 sum below 4,096.
inline void gap_sums(__m128i gaps, __m128i* lo, __m128i* hi) {
  const __m128i zero = _mm_setzero_si128();
  __m128i a = _mm_unpacklo_epi8(gaps, zero);
  __m128i b = _mm_unpackhi_epi8(gaps, zero);
  a = _mm_add_epi16(a, _mm_slli_si128(a, 2));
  b = _mm_add_epi16(b, _mm_slli_si128(b, 2));
  a = _mm_add_epi16(a, _mm_slli_si128(a, 4));
  b = _mm_add_epi16(b, _mm_slli_si128(b, 4));
  a = _mm_add_epi16(a, _mm_slli_si128(a, 8));
  b = _mm_add_epi16(b, _mm_slli_si128(b, 8));
  const __m128i a_last = _mm_shufflehi_epi16(a, 0xFF);
  *lo = a;
  *hi = _mm_add_epi16(b, _mm_unpackhi_epi64(a_last, a_last));
}

}  // namespace
#endif

PostingBlock::PostingBlock(std::span<const Posting> postings, size_t capacity,
                           std::span<const uint32_t> lengths) {
  encode(postings, capacity, lengths, nullptr);
}

void PostingBlock::pick_widths(std::span<const Posting> postings, uint8_t* slot_bytes,
                               uint8_t* tf_bytes) {
  bool small_gaps = true;
  uint32_t max_tf = 0;
  for (size_t i = 0; i < postings.size(); ++i) {
    if (i > 0) small_gaps = small_gaps && postings[i].slot - postings[i - 1].slot <= UINT8_MAX;
    max_tf = std::max(max_tf, postings[i].tf);
  }
  const uint32_t span = postings.back().slot - postings.front().slot;
  *slot_bytes = small_gaps ? 1 : span <= UINT16_MAX ? 2 : 4;
  *tf_bytes = max_tf <= UINT8_MAX ? 1 : 4;
}

bool PostingBlock::rewrite_packed(std::span<const Posting> postings,
                                  std::span<const uint32_t> lengths) {
  assert(packed() && !postings.empty());
  uint8_t slot_bytes;
  uint8_t tf_bytes;
  pick_widths(postings, &slot_bytes, &tf_bytes);
  const size_t room = data_bytes() / (slot_bytes + tf_bytes);
  if (postings.size() > room) return false;
  encode(postings, std::min<size_t>(room, UINT16_MAX), lengths, data_);
  return true;
}

void PostingBlock::encode(std::span<const Posting> postings, size_t capacity,
                          std::span<const uint32_t> lengths, uint8_t* into) {
  assert(!postings.empty() && capacity >= postings.size() && capacity <= UINT16_MAX);
  base_ = postings.front().slot;
  last_ = postings.back().slot;
  max_tf_ = 0;
  min_length_ = UINT32_MAX;
  for (const Posting& p : postings) {
    max_tf_ = std::max(max_tf_, p.tf);
    min_length_ = std::min(min_length_, lengths[p.slot]);
  }
  count_ = static_cast<uint16_t>(postings.size());
  capacity_ = static_cast<uint16_t>(capacity);
  pick_widths(postings, &slot_bytes_, &tf_bytes_);
  if (into == nullptr) {
    data_ = new uint8_t[capacity_ * (slot_bytes_ + tf_bytes_)];
    owned_ = true;
  } else {
    data_ = into;
    owned_ = false;
  }
  uint8_t* tfs = data_ + capacity_ * slot_bytes_;
  for (size_t i = 0; i < postings.size(); ++i) {
    const uint32_t offset = postings[i].slot - base_;
    if (slot_bytes_ == 1) {
      data_[i] = static_cast<uint8_t>(i == 0 ? 0 : postings[i].slot - postings[i - 1].slot);
    } else if (slot_bytes_ == 2) {
      const uint16_t o = static_cast<uint16_t>(offset);
      std::memcpy(data_ + 2 * i, &o, 2);
    } else {
      std::memcpy(data_ + 4 * i, &offset, 4);
    }
    if (tf_bytes_ == 1) {
      tfs[i] = static_cast<uint8_t>(postings[i].tf);
    } else {
      std::memcpy(tfs + 4 * i, &postings[i].tf, 4);
    }
  }
}

PostingBlock& PostingBlock::operator=(PostingBlock&& other) noexcept {
  if (this == &other) return *this;
  if (owned_ && data_ != nullptr) delete[] data_;
  base_ = other.base_;
  last_ = other.last_;
  max_tf_ = other.max_tf_;
  min_length_ = other.min_length_;
  count_ = other.count_;
  capacity_ = other.capacity_;
  slot_bytes_ = other.slot_bytes_;
  tf_bytes_ = other.tf_bytes_;
  owned_ = other.owned_;
  data_ = other.data_;
  other.owned_ = false;
  other.data_ = nullptr;
  return *this;
}

void PostingBlock::decode(Posting* out) const {
  const uint8_t* offsets = data_;
  const uint8_t* tfs = offsets + capacity_ * slot_bytes_;
  const size_t n = count_;
  if (slot_bytes_ == 1) {
    // Gaps from the previous slot.
    uint32_t slot = base_;
    if (tf_bytes_ == 1) {
      size_t i = 0;
#if defined(__SSE2__)
      // Sixteen postings a step: the gaps' running sums, widened to 32 bits
      // and offset by the slot before them.
      const __m128i zero = _mm_setzero_si128();
      for (; i + 16 <= n; i += 16) {
        const __m128i gaps = _mm_loadu_si128(reinterpret_cast<const __m128i*>(offsets + i));
        const __m128i tf8 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(tfs + i));
        __m128i lo;
        __m128i hi;
        gap_sums(gaps, &lo, &hi);
        const __m128i start = _mm_set1_epi32(static_cast<int>(slot));
        const __m128i s0 = _mm_add_epi32(_mm_unpacklo_epi16(lo, zero), start);
        const __m128i s1 = _mm_add_epi32(_mm_unpackhi_epi16(lo, zero), start);
        const __m128i s2 = _mm_add_epi32(_mm_unpacklo_epi16(hi, zero), start);
        const __m128i s3 = _mm_add_epi32(_mm_unpackhi_epi16(hi, zero), start);
        const __m128i tf_lo = _mm_unpacklo_epi8(tf8, zero);
        const __m128i tf_hi = _mm_unpackhi_epi8(tf8, zero);
        const __m128i t0 = _mm_unpacklo_epi16(tf_lo, zero);
        const __m128i t1 = _mm_unpackhi_epi16(tf_lo, zero);
        const __m128i t2 = _mm_unpacklo_epi16(tf_hi, zero);
        const __m128i t3 = _mm_unpackhi_epi16(tf_hi, zero);
        __m128i* dst = reinterpret_cast<__m128i*>(out + i);
        _mm_storeu_si128(dst + 0, _mm_unpacklo_epi32(s0, t0));
        _mm_storeu_si128(dst + 1, _mm_unpackhi_epi32(s0, t0));
        _mm_storeu_si128(dst + 2, _mm_unpacklo_epi32(s1, t1));
        _mm_storeu_si128(dst + 3, _mm_unpackhi_epi32(s1, t1));
        _mm_storeu_si128(dst + 4, _mm_unpacklo_epi32(s2, t2));
        _mm_storeu_si128(dst + 5, _mm_unpackhi_epi32(s2, t2));
        _mm_storeu_si128(dst + 6, _mm_unpacklo_epi32(s3, t3));
        _mm_storeu_si128(dst + 7, _mm_unpackhi_epi32(s3, t3));
        slot = static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_shuffle_epi32(s3, 0xFF)));
      }
#endif
      for (; i < n; ++i) {
        slot += offsets[i];
        out[i] = Posting{slot, tfs[i]};
      }
    } else {
      for (size_t i = 0; i < n; ++i) {
        slot += offsets[i];
        uint32_t tf;
        std::memcpy(&tf, tfs + 4 * i, 4);
        out[i] = Posting{slot, tf};
      }
    }
    return;
  }
  if (slot_bytes_ == 2 && tf_bytes_ == 1) {
    for (size_t i = 0; i < n; ++i) {
      uint16_t o;
      std::memcpy(&o, offsets + 2 * i, 2);
      out[i] = Posting{base_ + o, tfs[i]};
    }
    return;
  }
  for (size_t i = 0; i < n; ++i) {
    uint32_t offset;
    if (slot_bytes_ == 2) {
      uint16_t o;
      std::memcpy(&o, offsets + 2 * i, 2);
      offset = o;
    } else {
      std::memcpy(&offset, offsets + 4 * i, 4);
    }
    uint32_t tf;
    if (tf_bytes_ == 1) {
      tf = tfs[i];
    } else {
      std::memcpy(&tf, tfs + 4 * i, 4);
    }
    out[i] = Posting{base_ + offset, tf};
  }
}

void PostingBlock::decode_offsets(uint32_t from, uint16_t* out) const {
  assert(byte_coded() && from <= base_ && last_ - from <= UINT16_MAX);
  const uint8_t* gaps = data_;
  const size_t n = count_;
  uint16_t offset = static_cast<uint16_t>(base_ - from);
  size_t i = 0;
#if defined(__SSE2__)
  // Sixteen gaps a step, their running sums offset by the offset before them.
  for (; i + 16 <= n; i += 16) {
    __m128i lo;
    __m128i hi;
    gap_sums(_mm_loadu_si128(reinterpret_cast<const __m128i*>(gaps + i)), &lo, &hi);
    const __m128i start = _mm_set1_epi16(static_cast<int16_t>(offset));
    lo = _mm_add_epi16(lo, start);
    hi = _mm_add_epi16(hi, start);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), lo);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 8), hi);
    offset = static_cast<uint16_t>(_mm_extract_epi16(hi, 7));
  }
#endif
  for (; i < n; ++i) {
    offset = static_cast<uint16_t>(offset + gaps[i]);
    out[i] = offset;
  }
}

bool PostingBlock::try_append(uint32_t slot, uint32_t tf, uint32_t length) {
  assert(slot > last_);
  if (count_ == capacity_) return false;
  const uint32_t offset = slot - base_;
  if (slot_bytes_ == 1 && slot - last_ > UINT8_MAX) return false;
  if (slot_bytes_ == 2 && offset > UINT16_MAX) return false;
  if (tf_bytes_ == 1 && tf > UINT8_MAX) return false;
  uint8_t* tfs = data_ + capacity_ * slot_bytes_;
  if (slot_bytes_ == 1) {
    data_[count_] = static_cast<uint8_t>(slot - last_);
  } else if (slot_bytes_ == 2) {
    const uint16_t o = static_cast<uint16_t>(offset);
    std::memcpy(data_ + 2 * count_, &o, 2);
  } else {
    std::memcpy(data_ + 4 * count_, &offset, 4);
  }
  if (tf_bytes_ == 1) {
    tfs[count_] = static_cast<uint8_t>(tf);
  } else {
    std::memcpy(tfs + 4 * count_, &tf, 4);
  }
  ++count_;
  last_ = slot;
  max_tf_ = std::max(max_tf_, tf);
  min_length_ = std::min(min_length_, length);
  return true;
}

bool PostingBlock::try_insert(uint32_t slot, uint32_t tf, uint32_t length) {
  assert(slot <= last_);
  if (!byte_coded() || count_ == capacity_ || tf > UINT8_MAX) return false;
  uint8_t* gaps = data_;
  uint8_t* tfs = data_ + capacity_;
  const size_t n = count_;
  size_t i = 0;
  uint32_t at = base_;  // slot of posting i
  if (slot < base_) {
    if (base_ - slot > UINT8_MAX) return false;
    // The new first posting: the old first one is now a gap away.
    std::memmove(gaps + 1, gaps, n);
    gaps[0] = 0;
    gaps[1] = static_cast<uint8_t>(base_ - slot);
    base_ = slot;
  } else {
    // The first posting above `slot`; both gaps around it are smaller than
    // the one they split.
    do {
      at += gaps[++i];
    } while (at < slot);
    assert(at != slot);
    std::memmove(gaps + i + 1, gaps + i, n - i);
    gaps[i] = static_cast<uint8_t>(gaps[i + 1] - (at - slot));
    gaps[i + 1] = static_cast<uint8_t>(at - slot);
  }
  std::memmove(tfs + i + 1, tfs + i, n - i);
  tfs[i] = static_cast<uint8_t>(tf);
  ++count_;
  max_tf_ = std::max(max_tf_, tf);
  min_length_ = std::min(min_length_, length);
  return true;
}

bool PostingBlock::try_erase(uint32_t slot) {
  if (!byte_coded() || count_ < 2) return false;
  uint8_t* gaps = data_;
  uint8_t* tfs = data_ + capacity_;
  const size_t n = count_;
  size_t i = 0;
  uint32_t at = base_;
  while (at < slot) at += gaps[++i];
  assert(at == slot && i < n);
  if (i == 0) {
    base_ += gaps[1];
  } else if (i + 1 < n) {
    const uint32_t merged = uint32_t{gaps[i]} + gaps[i + 1];
    if (merged > UINT8_MAX) return false;
    gaps[i + 1] = static_cast<uint8_t>(merged);
  } else {
    last_ = slot - gaps[i];
  }
  // Posting i's gap and frequency go; the first gap stays 0.
  std::memmove(gaps + i, gaps + i + 1, n - i - 1);
  gaps[0] = 0;
  std::memmove(tfs + i, tfs + i + 1, n - i - 1);
  --count_;
  return true;
}

void PostingBlock::pack_into(uint8_t* dst) {
  const size_t capacity = count_ + kPackRoom;
  std::memcpy(dst, data_, count_ * slot_bytes_);
  std::memcpy(dst + capacity * slot_bytes_, data_ + capacity_ * slot_bytes_, count_ * tf_bytes_);
  capacity_ = static_cast<uint16_t>(capacity);
  if (owned_) delete[] data_;
  data_ = dst;
  owned_ = false;
}

void PostingList::unpack(size_t b) {
  if (blocks_[b].packed()) --packed_blocks_;
}

void PostingList::maybe_pack(size_t share) {
  const size_t loose = blocks_.size() - packed_blocks_;
  if (loose >= 8 && loose * share >= packed_blocks_) pack();
}

void PostingList::pack() {
  const size_t n = blocks_.size() - (!blocks_.empty() && !blocks_.back().packed() ? 1 : 0);
  size_t bytes = 0;
  for (size_t b = 0; b < n; ++b) bytes += blocks_[b].packed_bytes();
  std::unique_ptr<uint8_t[]> packed(new uint8_t[bytes]);
  uint8_t* at = packed.get();
  for (size_t b = 0; b < n; ++b) {
    const size_t size = blocks_[b].packed_bytes();
    blocks_[b].pack_into(at);
    at += size;
  }
  packed_ = std::move(packed);
  packed_bytes_ = bytes;
  packed_blocks_ = n;
}

size_t PostingList::memory_bytes() const {
  size_t bytes = blocks_.capacity() * sizeof(PostingBlock) + packed_bytes_;
  for (const PostingBlock& b : blocks_) bytes += b.memory_bytes();
  return bytes;
}

void PostingList::insert(uint32_t slot, uint32_t tf, std::span<const uint32_t> lengths) {
  const uint32_t length = lengths[slot];
  max_tf_ = std::max(max_tf_, tf);
  min_length_ = std::min(min_length_, length);
  ++size_;
  if (blocks_.empty() || slot > blocks_.back().last_slot()) {
    if (!blocks_.empty()) {
      PostingBlock& last = blocks_.back();
      if (last.try_append(slot, tf, length)) return;
      if (last.size() < kBlockSize) {
        // Grow the tail block geometrically.
        Posting postings[kMaxBlock + 1];
        last.decode(postings);
        const size_t n = last.size();
        postings[n] = Posting{slot, tf};
        const size_t capacity = std::min(kBlockSize, std::max<size_t>(4, 2 * (n + 1)));
        unpack(blocks_.size() - 1);
        last = PostingBlock(std::span<const Posting>(postings, n + 1), capacity, lengths);
        return;
      }
    }
    const Posting p{slot, tf};
    blocks_.emplace_back(std::span<const Posting>(&p, 1), blocks_.empty() ? 1 : 4, lengths);
    maybe_pack(kAppendShare);
    return;
  }
  // The first block whose last slot is above `slot` takes it.
  const auto it =
      std::lower_bound(blocks_.begin(), blocks_.end(), slot,
                       [](const PostingBlock& b, uint32_t s) { return b.last_slot() < s; });
  const size_t b = static_cast<size_t>(it - blocks_.begin());
  if (blocks_[b].size() < kMaxBlock && blocks_[b].try_insert(slot, tf, length)) return;
  Posting postings[kMaxBlock + 1];
  blocks_[b].decode(postings);
  const size_t n = blocks_[b].size();
  Posting* at = std::lower_bound(postings, postings + n, slot,
                                 [](const Posting& p, uint32_t s) { return p.slot < s; });
  assert(at == postings + n || at->slot != slot);
  std::memmove(at + 1, at, (postings + n - at) * sizeof(Posting));
  *at = Posting{slot, tf};
  rewrite(b, std::span<const Posting>(postings, n + 1), lengths);
  maybe_pack(kRewriteShare);
}

void PostingList::remove(uint32_t slot, std::span<const uint32_t> lengths) {
  const auto it =
      std::lower_bound(blocks_.begin(), blocks_.end(), slot,
                       [](const PostingBlock& b, uint32_t s) { return b.last_slot() < s; });
  assert(it != blocks_.end());
  const size_t b = static_cast<size_t>(it - blocks_.begin());
  if (blocks_[b].try_erase(slot)) {
    --size_;
    return;
  }
  Posting postings[kMaxBlock + 1];
  blocks_[b].decode(postings);
  const size_t n = blocks_[b].size();
  Posting* at = std::lower_bound(postings, postings + n, slot,
                                 [](const Posting& p, uint32_t s) { return p.slot < s; });
  assert(at != postings + n && at->slot == slot);
  std::memmove(at, at + 1, (postings + n - at - 1) * sizeof(Posting));
  --size_;
  rewrite(b, std::span<const Posting>(postings, n - 1), lengths);
  if (size_ == 0) {
    std::vector<PostingBlock>().swap(blocks_);
    packed_.reset();
    packed_bytes_ = 0;
    packed_blocks_ = 0;
    max_tf_ = 0;
    min_length_ = UINT32_MAX;
    return;
  }
  maybe_pack(kRewriteShare);
}

void PostingList::rewrite(size_t b, std::span<const Posting> postings,
                          std::span<const uint32_t> lengths) {
  // A packed block that still has room (a removal) is rewritten where it is.
  if (!postings.empty() && postings.size() <= kMaxBlock && blocks_[b].packed() &&
      blocks_[b].rewrite_packed(postings, lengths)) {
    return;
  }
  unpack(b);
  if (postings.empty()) {
    blocks_.erase(blocks_.begin() + static_cast<ptrdiff_t>(b));
    return;
  }
  if (postings.size() <= kMaxBlock) {
    blocks_[b] = PostingBlock(postings, postings.size(), lengths);
    return;
  }
  const size_t half = postings.size() / 2;
  blocks_[b] = PostingBlock(postings.first(half), half, lengths);
  blocks_.insert(blocks_.begin() + static_cast<ptrdiff_t>(b) + 1,
                 PostingBlock(postings.subspan(half), postings.size() - half, lengths));
}

void PostingList::renumber(std::span<const uint32_t> remap, std::span<const uint32_t> lengths) {
  std::vector<Posting> all(size_);
  size_t n = 0;
  for (const PostingBlock& b : blocks_) {
    b.decode(all.data() + n);
    n += b.size();
  }
  for (Posting& p : all) p.slot = remap[p.slot];
  std::vector<PostingBlock> blocks;
  blocks.reserve((n + kBlockSize - 1) / kBlockSize);
  max_tf_ = 0;
  min_length_ = UINT32_MAX;
  for (size_t i = 0; i < n; i += kBlockSize) {
    const size_t m = std::min(kBlockSize, n - i);
    blocks.emplace_back(std::span<const Posting>(all.data() + i, m), m, lengths);
    max_tf_ = std::max(max_tf_, blocks.back().max_tf());
    min_length_ = std::min(min_length_, blocks.back().min_length());
  }
  blocks_ = std::move(blocks);
  packed_blocks_ = 0;
  pack();
}

}  // namespace vesk
