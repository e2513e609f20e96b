#include "hybridsearch/keyword_index.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <unordered_map>
#include <utility>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include "bm25_math.h"
#include "default_tokenizer.h"
#include "hybridsearch/posting_list.h"
#include "hybridsearch/top_k.h"
#include "utils/unicode_space.h"

namespace vesk {

// Layout. Every term (a token hash, or a token string with exact_terms) has
// an id and a PostingList of the live slots holding it, in slot order, with
// the term frequency; document lengths are kept per slot. An erased document's
// postings are removed at once (the caller passes its text again, so the
// index re-tokenizes it instead of keeping per-document term lists); the slot
// itself stays until compact() renumbers the later ones down.
//
// Scores use the arithmetic of bm25_math.h, the functions the reference BM25
// engine uses: per query token, in query order with repeats, idf times the
// saturated weight of (tf, length), summed in float32 from 0. A token the
// document lacks adds exactly +0.0 there and is skipped here.
//
// Search walks the slots in windows of kWindow, skipping stretches no query
// term holds (and, with a filter, windows without an allowed slot). Per
// window, each term gets a bound on what it can add there, from the largest
// tf and smallest length of its blocks overlapping the window; a window whose
// bounds sum below the current k-th best score is skipped undecoded. The
// terms are ordered by their window bounds, and the longest prefix whose
// bounds sum below the k-th best is non-essential: a slot holding only those
// terms cannot enter.
// - With no non-essential term, or when the essential terms hold a third
//   or more of the window's postings (pruning would then cost about as
//   much), each query token in order (repeats included) adds its
//   contribution to a float32 accumulator per slot of the window: absent
//   terms add nothing, so these are the exact scores.
// - Otherwise the essential terms' contributions, summed in any order, plus
//   the non-essential bounds pick the candidates; the non-essential terms
//   are then added, largest bound first, at the candidates only (a block
//   without a candidate is never decoded), each narrowing the candidates;
//   the survivors are summed exactly in query order from the kept
//   contributions.
// Bounds are computed with the exact float routine (monotone up to a few
// ulps), summed in float64 and widened by a relative margin plus a per-token
// allowance for float32 summation error; a slot or window is dropped only
// when its widened bound is strictly below the k-th best score. Slots come
// in ascending order, so one whose score merely equals the k-th best cannot
// enter either. Filtered-out slots are never gathered, so a selective filter
// does less work, not more.
namespace {

constexpr size_t kWindow = 4096;
// A window whose gathered postings number fewer than kWindow / kSparse
// visits their offsets instead of scanning the whole window.
constexpr size_t kSparse = 8;
// A window whose essential terms hold at least 1/kExhaustiveShare of its
// postings adds every posting instead of pruning (measured on short and
// long queries, with and without rare terms, at 100,000 and 1,000,000
// documents).
constexpr size_t kExhaustiveShare = 3;

float weight(uint32_t tf, uint32_t length, float a) {
  const float sat = bm25::length_saturation(bm25::kK1, bm25::kB, static_cast<float>(length), a);
  return bm25::saturated_weight(bm25::kK1, static_cast<float>(tf), sat);
}

float contribution(float idf, uint32_t tf, uint32_t length, float a) {
  return idf * weight(tf, length, a);
}

// Term weights of the common (tf, length) pairs for one effective average
// length: the values weight() computes. Each thread keeps its own table and
// refills it when the average length changes.
constexpr uint32_t kTableTf = 8;
constexpr uint32_t kTableLength = 1024;

struct WeightTable {
  float a = std::numeric_limits<float>::quiet_NaN();  // equals no average
  // [tf * kTableLength + length]: the rows of the few common frequencies
  // (mostly tf 1) stay in a few cache lines.
  std::vector<float> w;

  void prepare(float avgdl) {
    if (avgdl == a) return;
    w.resize(kTableTf * kTableLength);
    for (uint32_t len = 0; len < kTableLength; ++len) {
      const float sat =
          bm25::length_saturation(bm25::kK1, bm25::kB, static_cast<float>(len), avgdl);
      for (uint32_t tf = 1; tf < kTableTf; ++tf) {
        w[tf * kTableLength + len] = bm25::saturated_weight(bm25::kK1, static_cast<float>(tf), sat);
      }
    }
    a = avgdl;
  }
  float operator()(uint32_t tf, uint32_t length) const {
    if (tf < kTableTf && length < kTableLength) [[likely]] {
      return w[tf * kTableLength + length];
    }
    return uncommon(tf, length);
  }
  [[gnu::noinline, gnu::cold]] float uncommon(uint32_t tf, uint32_t length) const {
    return weight(tf, length, a);
  }
};

thread_local WeightTable tls_weights;

// Adds idf times the weight of (tfs[j], length[o]) to sum[o] for every
// o = offsets[j], j < n (distinct offsets).
void add_contributions(const uint16_t* __restrict offsets, const uint8_t* __restrict tfs, size_t n,
                       const uint32_t* __restrict length, const WeightTable& table, float idf,
                       float* __restrict sum) {
  for (size_t j = 0; j < n; ++j) {
    const uint32_t o = offsets[j];
    sum[o] += idf * table(tfs[j], length[o]);
  }
}

}  // namespace

struct KeywordIndex::Rep {
  explicit Rep(Options o)
      : options(o),
        tokenizer(bm25::DefaultTokenizerBuilder()
                      .normalization(true)
                      .stemming(true)
                      .stopwords(true)
                      .language(o.language)
                      .build()) {}

  // Fills term_tfs with (term id, tf) of `text`'s terms, ascending by id,
  // and returns the number of tokens. With `create`, unknown terms get ids;
  // otherwise every term must be known.
  uint32_t collect(std::string_view text, bool create);
  uint32_t term_id(uint32_t hash, bool create);
  uint32_t term_id(const std::string& token, bool create);

  void insert(uint32_t slot, std::string_view text);
  void remove(uint32_t slot, std::string_view text);

  Options options;
  bm25::DefaultTokenizer tokenizer;
  std::vector<uint32_t> lengths;  // tokens per slot; 0 for dead slots
  uint64_t total_tokens = 0;
  uint64_t indexed_docs = 0;
  std::unordered_map<uint32_t, uint32_t> hashed_ids;
  std::unordered_map<std::string, uint32_t> exact_ids;
  std::vector<PostingList> terms;
  // Mutation scratch.
  std::vector<uint32_t> hash_scratch;
  std::vector<std::string> token_scratch;
  std::vector<std::pair<uint32_t, uint32_t>> term_tfs;
};

uint32_t KeywordIndex::Rep::term_id(uint32_t hash, bool create) {
  if (!create) {
    const auto it = hashed_ids.find(hash);
    assert(it != hashed_ids.end());
    return it->second;
  }
  const auto [it, added] = hashed_ids.try_emplace(hash, static_cast<uint32_t>(terms.size()));
  if (added) terms.emplace_back();
  return it->second;
}

uint32_t KeywordIndex::Rep::term_id(const std::string& token, bool create) {
  if (!create) {
    const auto it = exact_ids.find(token);
    assert(it != exact_ids.end());
    return it->second;
  }
  const auto [it, added] = exact_ids.try_emplace(token, static_cast<uint32_t>(terms.size()));
  if (added) terms.emplace_back();
  return it->second;
}

uint32_t KeywordIndex::Rep::collect(std::string_view text, bool create) {
  term_tfs.clear();
  uint32_t length = 0;
  if (options.exact_terms) {
    token_scratch.clear();
    tokenizer.for_each_token(text,
                             [this](std::string_view token) { token_scratch.emplace_back(token); });
    length = static_cast<uint32_t>(token_scratch.size());
    std::sort(token_scratch.begin(), token_scratch.end());
    for (size_t i = 0; i < token_scratch.size();) {
      size_t j = i + 1;
      while (j < token_scratch.size() && token_scratch[j] == token_scratch[i]) ++j;
      term_tfs.emplace_back(term_id(token_scratch[i], create), static_cast<uint32_t>(j - i));
      i = j;
    }
  } else {
    hash_scratch.clear();
    tokenizer.for_each_token(text, [this](std::string_view token) {
      hash_scratch.push_back(bm25::TokenEmbedder::embed(token));
    });
    length = static_cast<uint32_t>(hash_scratch.size());
    // Term frequencies per hash: colliding tokens count together.
    std::sort(hash_scratch.begin(), hash_scratch.end());
    for (size_t i = 0; i < hash_scratch.size();) {
      size_t j = i + 1;
      while (j < hash_scratch.size() && hash_scratch[j] == hash_scratch[i]) ++j;
      term_tfs.emplace_back(term_id(hash_scratch[i], create), static_cast<uint32_t>(j - i));
      i = j;
    }
  }
  return length;
}

void KeywordIndex::Rep::insert(uint32_t slot, std::string_view text) {
  lengths[slot] = 0;
  if (text.empty()) return;
  const uint32_t length = collect(text, /*create=*/true);
  lengths[slot] = length;
  ++indexed_docs;
  total_tokens += length;
  for (const auto& [term, tf] : term_tfs) terms[term].insert(slot, tf, lengths);
}

void KeywordIndex::Rep::remove(uint32_t slot, std::string_view text) {
  if (!text.empty()) {
    const uint32_t length = collect(text, /*create=*/false);
    assert(length == lengths[slot]);
    --indexed_docs;
    total_tokens -= length;
    lengths[slot] = 0;
    for (const auto& [term, tf] : term_tfs) terms[term].remove(slot, lengths);
  }
  lengths[slot] = 0;
}

KeywordIndex::KeywordIndex(Options options) : rep_(std::make_unique<Rep>(options)) {}

KeywordIndex::~KeywordIndex() = default;

std::unique_ptr<KeywordIndex> KeywordIndex::build(std::span<const std::string_view> texts,
                                                  const Bitmap* live, Options options) {
  auto index = std::make_unique<KeywordIndex>(options);
  Rep& rep = *index->rep_;
  assert(texts.size() < UINT32_MAX);
  rep.lengths.assign(texts.size(), 0);
  for (size_t i = 0; i < texts.size(); ++i) {
    if (live == nullptr || live->test(i)) rep.insert(static_cast<uint32_t>(i), texts[i]);
  }
  return index;
}

size_t KeywordIndex::size() const { return rep_->lengths.size(); }

std::span<const uint32_t> KeywordIndex::lengths() const { return rep_->lengths; }

uint64_t KeywordIndex::indexed_count() const { return rep_->indexed_docs; }

void KeywordIndex::for_each_term(
    const std::function<void(std::string_view key, std::span<const Posting> postings)>& fn) const {
  const Rep& rep = *rep_;
  std::vector<std::string_view> keys(rep.terms.size());
  std::vector<std::array<char, 4>> hashes;
  if (rep.options.exact_terms) {
    for (const auto& [token, id] : rep.exact_ids) keys[id] = token;
  } else {
    hashes.resize(rep.terms.size());
    for (const auto& [hash, id] : rep.hashed_ids) {
      std::memcpy(hashes[id].data(), &hash, 4);
      keys[id] = std::string_view(hashes[id].data(), 4);
    }
  }
  std::vector<Posting> postings;
  for (size_t t = 0; t < rep.terms.size(); ++t) {
    const PostingList& list = rep.terms[t];
    if (list.empty()) continue;
    postings.resize(list.size());
    size_t at = 0;
    for (const PostingBlock& block : list.blocks()) {
      block.decode(postings.data() + at);
      at += block.size();
    }
    fn(keys[t], std::span<const Posting>(postings.data(), at));
  }
}

Result<std::unique_ptr<KeywordIndex>> KeywordIndex::restore(
    Options options, std::vector<uint32_t> lengths, uint64_t indexed,
    const std::function<bool(std::string_view* key, std::span<const Posting>* postings)>& next) {
  auto bad = [](const char* what) {
    return Status::InvalidArgument(std::string("not a keyword index: ") + what);
  };
  const size_t n = lengths.size();
  if (n >= UINT32_MAX) return bad("too many slots");
  uint64_t total = 0;
  uint64_t with_tokens = 0;
  for (uint32_t length : lengths) {
    total += length;
    with_tokens += length > 0 ? 1 : 0;
  }
  if (indexed < with_tokens || indexed > n) return bad("indexed count out of range");
  auto index = std::make_unique<KeywordIndex>(options);
  Rep& rep = *index->rep_;
  rep.lengths = std::move(lengths);
  rep.total_tokens = total;
  rep.indexed_docs = indexed;
  std::vector<uint64_t> sums(n, 0);
  std::string_view key;
  std::span<const Posting> postings;
  while (next(&key, &postings)) {
    const uint32_t id = static_cast<uint32_t>(rep.terms.size());
    if (options.exact_terms) {
      if (!rep.exact_ids.try_emplace(std::string(key), id).second) return bad("repeated term");
    } else {
      uint32_t hash;
      if (key.size() != 4) return bad("malformed term");
      std::memcpy(&hash, key.data(), 4);
      if (!rep.hashed_ids.try_emplace(hash, id).second) return bad("repeated term");
    }
    rep.terms.emplace_back();
    PostingList& list = rep.terms.back();
    for (size_t i = 0; i < postings.size(); ++i) {
      const Posting& p = postings[i];
      if (p.slot >= n || (i > 0 && p.slot <= postings[i - 1].slot) || p.tf == 0) {
        return bad("malformed postings");
      }
      sums[p.slot] += p.tf;
      if (sums[p.slot] > rep.lengths[p.slot]) return bad("frequencies exceed a length");
      list.insert(p.slot, p.tf, rep.lengths);
    }
  }
  for (size_t s = 0; s < n; ++s) {
    if (sums[s] != rep.lengths[s]) return bad("frequencies do not add up to a length");
  }
  return index;
}

size_t KeywordIndex::memory_bytes() const {
  const Rep& rep = *rep_;
  size_t bytes = sizeof(Rep) + rep.lengths.capacity() * sizeof(uint32_t) +
                 rep.terms.capacity() * sizeof(PostingList);
  for (const PostingList& list : rep.terms) bytes += list.memory_bytes();
  // Hash-map nodes: the value, a next pointer and the cached hash.
  bytes +=
      rep.hashed_ids.bucket_count() * sizeof(void*) +
      rep.hashed_ids.size() * (sizeof(std::pair<const uint32_t, uint32_t>) + 2 * sizeof(void*));
  bytes +=
      rep.exact_ids.bucket_count() * sizeof(void*) +
      rep.exact_ids.size() * (sizeof(std::pair<const std::string, uint32_t>) + 2 * sizeof(void*));
  for (const auto& [token, id] : rep.exact_ids) {
    if (token.capacity() > std::string().capacity()) bytes += token.capacity() + 1;
  }
  bytes += rep.hash_scratch.capacity() * sizeof(uint32_t) +
           rep.token_scratch.capacity() * sizeof(std::string) +
           rep.term_tfs.capacity() * sizeof(std::pair<uint32_t, uint32_t>);
  return bytes;
}

void KeywordIndex::append(std::string_view text) {
  Rep& rep = *rep_;
  assert(rep.lengths.size() < UINT32_MAX - 1);
  rep.lengths.push_back(0);
  rep.insert(static_cast<uint32_t>(rep.lengths.size() - 1), text);
}

void KeywordIndex::replace(size_t slot, std::string_view old_text, std::string_view text) {
  assert(slot < rep_->lengths.size());
  rep_->remove(static_cast<uint32_t>(slot), old_text);
  rep_->insert(static_cast<uint32_t>(slot), text);
}

void KeywordIndex::erase(size_t slot, std::string_view old_text) {
  assert(slot < rep_->lengths.size());
  rep_->remove(static_cast<uint32_t>(slot), old_text);
}

void KeywordIndex::compact(std::span<const size_t> dead_slots) {
  if (dead_slots.empty()) return;
  Rep& rep = *rep_;
  const size_t slots = rep.lengths.size();
  // remap[s]: the new number of live slot s.
  std::vector<uint32_t> remap(slots);
  size_t next = 0;
  size_t write = 0;
  for (size_t read = 0; read < slots; ++read) {
    if (next < dead_slots.size() && dead_slots[next] == read) {
      assert(rep.lengths[read] == 0);
      ++next;
      continue;
    }
    remap[read] = static_cast<uint32_t>(write);
    rep.lengths[write] = rep.lengths[read];
    ++write;
  }
  rep.lengths.resize(write);
  rep.lengths.shrink_to_fit();
  // Terms no live document holds any more are dropped; ids are renumbered.
  std::vector<uint32_t> new_id(rep.terms.size(), UINT32_MAX);
  std::vector<PostingList> terms;
  for (size_t t = 0; t < rep.terms.size(); ++t) {
    if (rep.terms[t].empty()) continue;
    new_id[t] = static_cast<uint32_t>(terms.size());
    rep.terms[t].renumber(remap, rep.lengths);
    terms.push_back(std::move(rep.terms[t]));
  }
  rep.terms = std::move(terms);
  auto rekey = [&new_id](auto& ids) {
    for (auto it = ids.begin(); it != ids.end();) {
      if (new_id[it->second] == UINT32_MAX) {
        it = ids.erase(it);
      } else {
        it->second = new_id[it->second];
        ++it;
      }
    }
  };
  rekey(rep.hashed_ids);
  rekey(rep.exact_ids);
}

namespace {

// Reads one posting list forward for the window-at-a-time search: the blocks
// are visited in order, and a block is decoded only when a posting in it is
// needed; a block that spans two windows stays decoded between them.
class Cursor {
 public:
  // Blocks are loaded this far ahead of decoding.
  static constexpr ptrdiff_t kPrefetchAhead = 2;

  void reset(const PostingList* list) {
    blocks_ = list->blocks().data();
    end_ = blocks_ + list->blocks().size();
    decoded_ = false;
  }

  // A lower bound of the next unread slot; UINT32_MAX at the end.
  uint32_t next_slot() const {
    if (blocks_ == end_) return UINT32_MAX;
    return decoded_ ? buf_[pos_].slot : blocks_->first_slot();
  }

  // Moves past the blocks that end below `from`.
  void skip_to(uint32_t from) {
    while (blocks_ != end_ && blocks_->last_slot() < from) {
      ++blocks_;
      decoded_ = false;
    }
  }

  // Largest tf, smallest length and number of postings of the blocks
  // starting below `end` (after skip_to(from)); false when there are none.
  bool window_bounds(uint64_t end, uint32_t* max_tf, uint32_t* min_length, size_t* postings) const {
    uint32_t tf = 0;
    uint32_t length = UINT32_MAX;
    size_t n = 0;
    for (const PostingBlock* b = blocks_; b != end_ && b->first_slot() < end; ++b) {
      tf = std::max(tf, b->max_tf());
      length = std::min(length, b->min_length());
      n += b->size();
    }
    *max_tf = tf;
    *min_length = length;
    *postings = n;
    return tf != 0;
  }

  // Calls fn(slot, tf) for every posting in [from, end) whose block passes
  // want(first, last) (the block's slot range clipped to the window), and
  // moves past the window. A block that lies wholly in the window is first
  // offered to inside(block), which returns true when it has read the block
  // itself. REQUIRES: skip_to(from) was called.
  template <typename Want, typename Inside, typename Fn>
  void for_each_in(uint32_t from, uint64_t end, Want&& want, Inside&& inside, Fn&& fn) {
    while (blocks_ != end_ && blocks_->first_slot() < end) {
      const PostingBlock& b = *blocks_;
      const uint32_t lo = std::max(b.first_slot(), from);
      const uint32_t hi = static_cast<uint32_t>(std::min<uint64_t>(b.last_slot(), end - 1));
      const bool whole = b.last_slot() < end;
      if (want(lo, hi)) {
        if (!decoded_ && end_ - blocks_ > kPrefetchAhead) blocks_[kPrefetchAhead].prefetch();
        if (decoded_ || !whole || b.first_slot() < from || !inside(b)) {
          if (!decoded_) {
            b.decode(buf_);
            buf_[b.size()].slot = UINT32_MAX;  // sentinel
            decoded_ = true;
            pos_ = 0;
          }
          size_t i = pos_;
          while (buf_[i].slot < from) ++i;
          for (; buf_[i].slot < end; ++i) fn(buf_[i].slot, buf_[i].tf);
          pos_ = i;
        }
      }
      if (!whole) return;  // the block goes on in the next window
      ++blocks_;
      decoded_ = false;
    }
  }

 private:
  const PostingBlock* blocks_ = nullptr;
  const PostingBlock* end_ = nullptr;
  size_t pos_ = 0;
  bool decoded_ = false;
  Posting buf_[PostingList::kMaxBlock + 1];
};

// Adds every posting of `cursor` in [from, end) to its slot's score in
// sum[slot - from] (idf times the weight of its tf and length), and moves
// the cursor past the window. Out of line: inlined into the search loop it
// measured slower.
[[gnu::noinline]] void add_all(Cursor& cursor, float idf, uint32_t from, uint64_t end,
                               const uint32_t* lengths, const WeightTable& weights, float* sum) {
  auto inside = [&](const PostingBlock& b) {
    if (!b.byte_coded()) return false;
    uint16_t offsets[PostingList::kMaxBlock];
    b.decode_offsets(from, offsets);
    add_contributions(offsets, b.byte_tfs(), b.size(), lengths + from, weights, idf, sum);
    return true;
  };
  cursor.for_each_in(
      from, end, [](uint32_t, uint32_t) { return true; }, inside,
      [&](uint32_t slot, uint32_t tf) { sum[slot - from] += idf * weights(tf, lengths[slot]); });
}

// The postings of one term in the current window: offsets into the window
// and the term's contribution there.
struct WindowList {
  std::vector<uint16_t> offset;
  std::vector<float> value;
  size_t size = 0;
  bool filled = false;
};

// Per-thread search scratch. acc and upper are all zero between windows.
struct Scratch {
  std::vector<float> acc;    // exact scores, summed in query order
  std::vector<float> upper;  // the essential terms' share, any order
  std::vector<Cursor> cursors;
  std::vector<WindowList> lists;
};

thread_local Scratch tls_scratch;

// Restores the accumulators to all zeros when a search unwinds.
class ScratchReset {
 public:
  explicit ScratchReset(Scratch* s) : s_(s) {}
  void finished() { clean_ = true; }
  ~ScratchReset() {
    if (clean_) return;
    std::fill(s_->acc.begin(), s_->acc.end(), 0.0f);
    std::fill(s_->upper.begin(), s_->upper.end(), 0.0f);
  }

 private:
  bool clean_ = false;
  Scratch* s_;
};

// True when a bit of `words` in [lo, hi] is set.
bool any_bit(const uint64_t* words, uint32_t lo, uint32_t hi) {
  const uint32_t first = lo >> 6;
  const uint32_t last = hi >> 6;
  const uint64_t low_mask = ~uint64_t{0} << (lo & 63);
  const uint64_t high_mask = ~uint64_t{0} >> (63 - (hi & 63));
  if (first == last) return (words[first] & low_mask & high_mask) != 0;
  if ((words[first] & low_mask) != 0) return true;
  for (uint32_t w = first + 1; w < last; ++w) {
    if (words[w] != 0) return true;
  }
  return (words[last] & high_mask) != 0;
}

// Calls fn(o, v[o]) for every o in [0, kWindow) with v[o] > *bar, in
// ascending order (*bar is read again after each call), and zeroes v.
template <typename Fn>
void scan_above(float* v, const float* bar, Fn&& fn) {
#if defined(__SSE2__)
  const __m128 zero = _mm_setzero_ps();
  for (size_t o = 0; o < kWindow; o += 8) {
    const __m128 x0 = _mm_loadu_ps(v + o);
    const __m128 x1 = _mm_loadu_ps(v + o + 4);
    const __m128 b = _mm_set1_ps(*bar);
    unsigned mask = static_cast<unsigned>(_mm_movemask_ps(_mm_cmpgt_ps(x0, b))) |
                    static_cast<unsigned>(_mm_movemask_ps(_mm_cmpgt_ps(x1, b))) << 4;
    if (mask == 0) {
      _mm_storeu_ps(v + o, zero);
      _mm_storeu_ps(v + o + 4, zero);
      continue;
    }
    for (; mask != 0; mask &= mask - 1) {
      const size_t j = o + static_cast<size_t>(std::countr_zero(mask));
      if (v[j] > *bar) fn(static_cast<uint32_t>(j), v[j]);
    }
    _mm_storeu_ps(v + o, zero);
    _mm_storeu_ps(v + o + 4, zero);
  }
#else
  for (size_t o = 0; o < kWindow; ++o) {
    if (v[o] > *bar) fn(static_cast<uint32_t>(o), v[o]);
    v[o] = 0.0f;
  }
#endif
}

// Bit j set when v[j] > cut, for j in [0, 64).
uint64_t above_mask(const float* v, float cut) {
  uint64_t word = 0;
#if defined(__SSE2__)
  // Sixteen comparisons narrowed to one byte each, then one byte mask.
  const __m128 c = _mm_set1_ps(cut);
  for (size_t j = 0; j < 64; j += 16) {
    const __m128i a = _mm_castps_si128(_mm_cmpgt_ps(_mm_loadu_ps(v + j), c));
    const __m128i b = _mm_castps_si128(_mm_cmpgt_ps(_mm_loadu_ps(v + j + 4), c));
    const __m128i d = _mm_castps_si128(_mm_cmpgt_ps(_mm_loadu_ps(v + j + 8), c));
    const __m128i e = _mm_castps_si128(_mm_cmpgt_ps(_mm_loadu_ps(v + j + 12), c));
    const __m128i bytes = _mm_packs_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(d, e));
    word |= static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(bytes))) << j;
  }
#else
  for (size_t j = 0; j < 64; ++j) word |= static_cast<uint64_t>(v[j] > cut) << j;
#endif
  return word;
}

// Sets in `bits` the offsets o in [0, kWindow) with v[o] > cut (clearing the
// others); true when one is set.
bool mark_above(const float* v, float cut, uint64_t* bits) {
  uint64_t any = 0;
  for (size_t w = 0; w < kWindow / 64; ++w) {
    bits[w] = above_mask(v + w * 64, cut);
    any |= bits[w];
  }
  return any != 0;
}

}  // namespace

KeywordIndex::Statistics KeywordIndex::statistics(std::string_view query) const {
  const Rep& rep = *rep_;
  Statistics out;
  out.documents = rep.indexed_docs;
  out.tokens = rep.total_tokens;
  std::vector<std::string> tokens;
  std::vector<uint32_t> hashes;
  rep.tokenizer.for_each_token(query, [&](std::string_view token) {
    const PostingList* list = nullptr;
    if (rep.options.exact_terms) {
      if (std::find(tokens.begin(), tokens.end(), token) != tokens.end()) return;
      tokens.emplace_back(token);
      const auto it = rep.exact_ids.find(tokens.back());
      if (it != rep.exact_ids.end()) list = &rep.terms[it->second];
    } else {
      const uint32_t hash = bm25::TokenEmbedder::embed(token);
      if (std::find(hashes.begin(), hashes.end(), hash) != hashes.end()) return;
      hashes.push_back(hash);
      const auto it = rep.hashed_ids.find(hash);
      if (it != rep.hashed_ids.end()) list = &rep.terms[it->second];
    }
    out.document_frequencies.push_back(list == nullptr ? 0 : list->size());
  });
  return out;
}

std::vector<ScoredSlot> KeywordIndex::search(std::string_view query, size_t top_k,
                                             const Bitmap* allowed) const {
  return search(query, top_k, allowed, nullptr);
}

std::vector<ScoredSlot> KeywordIndex::search(std::string_view query, size_t top_k,
                                             const Bitmap* allowed,
                                             const Statistics& statistics) const {
  return search(query, top_k, allowed, &statistics);
}

std::vector<ScoredSlot> KeywordIndex::search(std::string_view query, size_t top_k,
                                             const Bitmap* allowed, const Statistics* given) const {
  std::vector<ScoredSlot> results;
  if (top_k == 0 || trim_white_space(query).empty()) return results;
  const Rep& rep = *rep_;
  if (rep.indexed_docs == 0) return results;

  // The query's terms that some document holds, and its tokens in order
  // (repeats kept) as indices into them.
  struct QueryTerm {
    const PostingList* list;
    uint32_t count = 0;  // occurrences in the query
    float idf = 0.0f;
    double bound = 0.0;   // bound on the term's share of a score
    size_t distinct = 0;  // index among the query's distinct terms (with `given`)
  };
  // The query's distinct terms so far (with `given` only).
  std::vector<std::string> distinct_tokens;
  std::vector<uint32_t> distinct_hashes;
  std::vector<QueryTerm> terms;
  std::vector<uint32_t> sequence;
  rep.tokenizer.for_each_token(query, [&](std::string_view token) {
    size_t distinct = 0;
    if (given != nullptr) {
      if (rep.options.exact_terms) {
        distinct = std::find(distinct_tokens.begin(), distinct_tokens.end(), token) -
                   distinct_tokens.begin();
        if (distinct == distinct_tokens.size()) distinct_tokens.emplace_back(token);
      } else {
        const uint32_t hash = bm25::TokenEmbedder::embed(token);
        distinct = std::find(distinct_hashes.begin(), distinct_hashes.end(), hash) -
                   distinct_hashes.begin();
        if (distinct == distinct_hashes.size()) distinct_hashes.push_back(hash);
      }
    }
    const PostingList* list = nullptr;
    if (rep.options.exact_terms) {
      const auto it = rep.exact_ids.find(std::string(token));
      if (it != rep.exact_ids.end()) list = &rep.terms[it->second];
    } else {
      const auto it = rep.hashed_ids.find(bm25::TokenEmbedder::embed(token));
      if (it != rep.hashed_ids.end()) list = &rep.terms[it->second];
    }
    if (list == nullptr || list->empty()) return;  // adds +0.0 to every score
    uint32_t j = 0;
    while (j < terms.size() && terms[j].list != list) ++j;
    if (j == terms.size()) terms.push_back(QueryTerm{list, 0, 0.0f, 0.0, distinct});
    ++terms[j].count;
    sequence.push_back(j);
  });
  if (sequence.empty()) return results;

  const size_t n_terms = terms.size();
  const uint64_t documents = given != nullptr ? given->documents : rep.indexed_docs;
  const uint64_t tokens = given != nullptr ? given->tokens : rep.total_tokens;
  const float n_docs = static_cast<float>(documents);
  const float a = bm25::effective_avgdl(bm25::average_length(tokens, documents));
  for (QueryTerm& t : terms) {
    const uint64_t df = given != nullptr ? given->document_frequencies[t.distinct] : t.list->size();
    t.idf = bm25::idf(n_docs, static_cast<float>(df));
    t.bound = t.count *
              static_cast<double>(contribution(t.idf, t.list->max_tf(), t.list->min_length(), a));
  }
  // Widening of every bound: float rounding of each contribution (and of the
  // bound's own computation) stays far below 1e-5 relative, and a float32 sum
  // of n nonnegative terms exceeds the exact sum by at most n ulps relative.
  const double margin = 1.0 + 1e-4 + 2.5e-7 * static_cast<double>(sequence.size());

  // Terms by ascending bound; prefix[i] = sum of the first i bounds.
  std::vector<uint32_t> order(n_terms);
  for (uint32_t i = 0; i < n_terms; ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&terms](uint32_t x, uint32_t y) {
    return terms[x].bound < terms[y].bound || (terms[x].bound == terms[y].bound && x < y);
  });
  std::vector<double> prefix(n_terms + 1, 0.0);
  for (size_t i = 0; i < n_terms; ++i) prefix[i + 1] = prefix[i] + terms[order[i]].bound;

  WeightTable& weights = tls_weights;
  weights.prepare(a);
  const uint32_t* lengths = rep.lengths.data();
  const uint64_t slots = rep.lengths.size();
  Scratch& scratch = tls_scratch;
  if (scratch.acc.size() < kWindow) {
    scratch.acc.assign(kWindow, 0.0f);
    scratch.upper.assign(kWindow, 0.0f);
  }
  if (scratch.cursors.size() < n_terms) scratch.cursors.resize(n_terms);
  if (scratch.lists.size() < n_terms) scratch.lists.resize(n_terms);
  for (size_t t = 0; t < n_terms; ++t) {
    scratch.cursors[t].reset(terms[t].list);
    WindowList& l = scratch.lists[t];
    if (l.offset.size() < kWindow) {
      l.offset.resize(kWindow);
      l.value.resize(kWindow);
    }
  }
  ScratchReset reset(&scratch);
  Cursor* cursors = scratch.cursors.data();
  WindowList* lists = scratch.lists.data();
  float* acc = scratch.acc.data();
  float* upper = scratch.upper.data();

  // No more than every slot can be kept.
  TopK<uint32_t> top(std::min<size_t>(top_k, rep.lengths.size()));
  double threshold = -std::numeric_limits<double>::infinity();  // k-th best once full
  // The score a slot must beat to enter: above 0 (reached by a term) while
  // the selector has room, above the k-th best once it is full.
  float bar = 0.0f;
  auto offer = [&](float score, uint32_t slot) {
    top.offer(score, [slot] { return slot; });
    if (top.full()) {
      bar = top.bar();
      threshold = bar;
    }
  };

  std::vector<double> window_bound(n_terms);
  std::vector<size_t> window_postings(n_terms);
  std::vector<uint32_t> local(order);
  constexpr size_t kWords = kWindow / 64;
  uint64_t allowed_words[kWords];
  uint64_t candidates[kWords];
  uint64_t window_start = 0;
  for (;;) {
    if (prefix[n_terms] * margin < threshold) break;
    uint32_t next = UINT32_MAX;
    for (size_t t = 0; t < n_terms; ++t) next = std::min(next, cursors[t].next_slot());
    if (next == UINT32_MAX) break;
    const uint64_t start = std::max<uint64_t>(window_start, next & ~uint32_t{63});
    if (start >= slots) break;
    const uint32_t from = static_cast<uint32_t>(start);
    const uint64_t end = start + kWindow;
    window_start = end;
    if (allowed != nullptr) {
      uint64_t any = 0;
      for (size_t w = 0; w < kWords; ++w) {
        const size_t at = (from >> 6) + w;
        allowed_words[w] = at < allowed->word_count() ? allowed->word(at) : 0;
        any |= allowed_words[w];
      }
      if (any == 0) continue;
    }

    // Per-window bounds of every term; skip the window when even their sum
    // cannot reach the threshold.
    double window_sum = 0.0;
    for (size_t t = 0; t < n_terms; ++t) {
      cursors[t].skip_to(from);
      uint32_t max_tf;
      uint32_t min_length;
      window_bound[t] = 0.0;
      if (cursors[t].window_bounds(end, &max_tf, &min_length, &window_postings[t])) {
        window_bound[t] =
            terms[t].count * static_cast<double>(contribution(terms[t].idf, max_tf, min_length, a));
      }
      window_sum += window_bound[t];
    }
    if (window_sum * margin < threshold) continue;
    // The terms ordered by their window bounds (ascending, ties by term); the
    // non-essential ones are the longest prefix whose bounds sum below the
    // threshold: a slot none of the others reach cannot enter.
    for (size_t i = 1; i < n_terms; ++i) {
      const uint32_t t = local[i];
      size_t j = i;
      for (; j > 0 && (window_bound[local[j - 1]] > window_bound[t] ||
                       (window_bound[local[j - 1]] == window_bound[t] && local[j - 1] > t));
           --j) {
        local[j] = local[j - 1];
      }
      local[j] = t;
    }
    size_t rest_terms = 0;
    double rest_bound = 0.0;
    while (rest_terms < n_terms &&
           (rest_bound + window_bound[local[rest_terms]]) * margin < threshold) {
      rest_bound += window_bound[local[rest_terms]];
      ++rest_terms;
    }

    // Fills lists[t] with the window's postings of term t from the blocks
    // `want` accepts, at the offsets `keep` accepts, and calls also(offset,
    // contribution) for each.
    auto gather = [&](uint32_t t, auto&& want, auto&& keep, auto&& also) {
      WindowList& l = lists[t];
      const float idf = terms[t].idf;
      uint16_t* off = l.offset.data();
      float* value = l.value.data();
      size_t n = 0;
      // A block wholly in the window in the usual form: its offsets decoded
      // straight into the list, its frequencies read where they are. (Its
      // loop keeps a local count; sharing one per-posting step with the
      // fallback below measured 8% slower.)
      auto inside = [&](const PostingBlock& b) {
        if (!b.byte_coded()) return false;
        const size_t count = b.size();
        b.decode_offsets(from, off + n);
        const uint8_t* tf = b.byte_tfs();
        // Local copies, so that the stores below cannot be taken to change
        // them.
        const WeightTable& table = weights;
        const uint32_t* length = lengths + from;
        const auto keep_offset = keep;
        const auto add = also;
        uint16_t* const o_out = off;
        float* const v_out = value;
        const size_t first = n;
        size_t kept = first;
        for (size_t j = 0; j < count; ++j) {
          const uint32_t o = o_out[first + j];
          if (!keep_offset(o)) continue;
          const float v = idf * table(tf[j], length[o]);
          o_out[kept] = static_cast<uint16_t>(o);
          v_out[kept] = v;
          add(o, v);
          ++kept;
        }
        n = kept;
        return true;
      };
      cursors[t].for_each_in(from, end, want, inside, [&](uint32_t slot, uint32_t tf) {
        const uint32_t o = slot - from;
        if (!keep(o)) return;
        const float v = idf * weights(tf, lengths[slot]);
        off[n] = static_cast<uint16_t>(o);
        value[n] = v;
        also(o, v);
        ++n;
      });
      l.size = n;
      l.filled = true;
    };
    auto every_block = [](uint32_t, uint32_t) { return true; };
    auto every_offset = [](uint32_t) { return true; };
    auto allowed_offset = [&allowed_words](uint32_t o) {
      return ((allowed_words[o >> 6] >> (o & 63)) & 1) != 0;
    };
    auto nothing = [](uint32_t, float) {};
    // Adds `count` times each gathered contribution to the candidates' totals.
    auto add_share = [upper](float count) {
      return [upper, count](uint32_t o, float v) { upper[o] += count * v; };
    };
    auto gather_allowed = [&](uint32_t t, auto&& also) {
      if (allowed == nullptr) {
        gather(t, every_block, every_offset, also);
      } else {
        gather(t, every_block, allowed_offset, also);
      }
    };
    // Adds every gathered contribution, term by term in query order.
    auto replay = [&](uint32_t t) {
      const WindowList& l = lists[t];
      if (!l.filled) return;
      const uint16_t* off = l.offset.data();
      const float* value = l.value.data();
      for (size_t i = 0; i < l.size; ++i) acc[off[i]] += value[i];
    };
    for (size_t t = 0; t < n_terms; ++t) lists[t].filled = false;

    // Sets in `bits` the offsets gathered for the filled terms; a window
    // with few postings visits those instead of scanning every offset.
    auto touched_offsets = [&](uint64_t* bits) {
      std::fill(bits, bits + kWords, 0);
      for (size_t t = 0; t < n_terms; ++t) {
        if (!lists[t].filled) continue;
        const uint16_t* off = lists[t].offset.data();
        for (size_t i = 0; i < lists[t].size; ++i)
          bits[off[i] >> 6] |= uint64_t{1} << (off[i] & 63);
      }
    };
    auto gathered = [&] {
      size_t n = 0;
      for (size_t t = 0; t < n_terms; ++t) n += lists[t].filled ? lists[t].size : 0;
      return n;
    };

    // A window where the essential terms hold a large share of the postings
    // gains little from pruning: every posting is added, term by term in
    // query order, straight into the window's scores (without a filter,
    // which the paths below apply while gathering).
    size_t essential_postings = 0;
    size_t all_postings = 0;
    for (size_t i = 0; i < n_terms; ++i) {
      all_postings += window_postings[local[i]];
      if (i >= rest_terms) essential_postings += window_postings[local[i]];
    }
    if (allowed == nullptr && all_postings * kSparse >= kWindow &&
        (rest_terms == 0 || essential_postings * kExhaustiveShare >= all_postings)) {
      for (const uint32_t t : sequence) {
        if (terms[t].count == 1) {
          add_all(cursors[t], terms[t].idf, from, end, lengths, weights, acc);
        } else {
          // A repeated token adds the same contributions again.
          if (!lists[t].filled) gather(t, every_block, every_offset, nothing);
          replay(t);
        }
      }
      scan_above(acc, &bar, [&](uint32_t o, float score) { offer(score, from + o); });
      continue;
    }
    if (rest_terms == 0) {
      // Every term is essential: the sums in query order are the scores.
      for (const uint32_t t : sequence) {
        if (!lists[t].filled) gather_allowed(t, nothing);
        replay(t);
      }
      if (gathered() * kSparse < kWindow) {
        touched_offsets(candidates);
        for (size_t w = 0; w < kWords; ++w) {
          for (uint64_t bits = candidates[w]; bits != 0; bits &= bits - 1) {
            const uint32_t o = static_cast<uint32_t>(w * 64 + std::countr_zero(bits));
            const float score = acc[o];
            acc[o] = 0.0f;
            if (score > bar) offer(score, from + o);
          }
        }
      } else {
        scan_above(acc, &bar, [&](uint32_t o, float score) { offer(score, from + o); });
      }
      continue;
    }

    // The essential terms' share, in any order, picks the candidates: slots
    // whose share plus the non-essential bounds may reach the threshold.
    for (size_t i = rest_terms; i < n_terms; ++i) {
      const uint32_t t = local[i];
      gather_allowed(t, add_share(static_cast<float>(terms[t].count)));
    }
    // A slot stays a candidate while its known share plus the bounds of the
    // terms not yet added may reach the threshold.
    auto cut_for = [&](double rest) {
      float cut = static_cast<float>(threshold / margin - rest);
      cut = std::nextafter(cut, -std::numeric_limits<float>::infinity());
      cut = std::nextafter(cut, -std::numeric_limits<float>::infinity());
      return std::max(cut, 0.0f);
    };
    bool any_candidate = false;
    const bool sparse = gathered() * kSparse < kWindow;
    if (sparse) {
      touched_offsets(candidates);
      const float cut = cut_for(rest_bound);
      for (size_t w = 0; w < kWords; ++w) {
        if (candidates[w] == 0) continue;
        candidates[w] = above_mask(upper + w * 64, cut);
        any_candidate |= candidates[w] != 0;
      }
    } else {
      any_candidate = mark_above(upper, cut_for(rest_bound), candidates);
    }
    auto candidate_block = [&](uint32_t lo, uint32_t hi) {
      return any_bit(candidates, lo - from, hi - from);
    };
    auto candidate_offset = [&](uint32_t o) { return ((candidates[o >> 6] >> (o & 63)) & 1) != 0; };
    // The non-essential terms, largest bound first, at the candidates only
    // (decoding only their blocks that hold one); each narrows the
    // candidates.
    double rest = rest_bound;
    for (size_t i = rest_terms; any_candidate && i-- > 0;) {
      const uint32_t t = local[i];
      gather(t, candidate_block, candidate_offset, add_share(static_cast<float>(terms[t].count)));
      rest -= window_bound[t];
      const float cut = cut_for(i == 0 ? 0.0 : rest);
      any_candidate = false;
      for (size_t w = 0; w < kWords; ++w) {
        if (candidates[w] == 0) continue;
        candidates[w] &= above_mask(upper + w * 64, cut);
        any_candidate |= candidates[w] != 0;
      }
    }
    if (any_candidate) {
      // The few survivors are scored exactly: their contributions, looked up
      // in each token's gathered list (ascending offsets), summed in query
      // order.
      for (size_t w = 0; w < kWords; ++w) {
        for (uint64_t bits = candidates[w]; bits != 0; bits &= bits - 1) {
          const uint16_t o = static_cast<uint16_t>(w * 64 + std::countr_zero(bits));
          float score = 0.0f;
          for (const uint32_t t : sequence) {
            const WindowList& l = lists[t];
            const uint16_t* first = l.offset.data();
            const uint16_t* last = first + l.size;
            const uint16_t* at = std::lower_bound(first, last, o);
            if (at != last && *at == o) score = score + l.value[at - first];
          }
          if (score > bar) offer(score, from + o);
        }
      }
    }
    if (sparse) {
      for (size_t i = rest_terms; i < n_terms; ++i) {
        const WindowList& l = lists[local[i]];
        for (size_t j = 0; j < l.size; ++j) upper[l.offset[j]] = 0.0f;
      }
    } else {
      std::fill(upper, upper + kWindow, 0.0f);
    }
  }
  reset.finished();
  return top.take_sorted();
}

}  // namespace vesk
