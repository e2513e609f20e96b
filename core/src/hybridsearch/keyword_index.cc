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
// Search walks the slots in windows of kWindow. Query terms are ordered by an
// upper bound of what they can add to a score; the longest prefix of that
// order whose bounds sum below the current k-th best score is non-essential:
// a document holding only those terms cannot enter. The essential terms'
// postings in the window are accumulated; each document they reach is checked
// against its partial sum plus the non-essential terms' bounds in the window,
// then the non-essential lists are probed, and a document still possibly in
// the top k is scored exactly. Bounds are computed with the exact float
// routine from a block's largest tf and smallest length (the float routine is
// monotone up to a few ulps), summed in float64 and widened by kMargin plus
// a per-token allowance for float32 summation error, and a document or
// window is dropped only when its widened bound is strictly below the k-th
// best score. Documents come in ascending slot order, so one whose score
// merely equals the k-th best cannot enter either.
namespace {

constexpr size_t kWindow = 1024;

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
  std::vector<float> w;                               // [length * kTableTf + tf]

  void prepare(float avgdl) {
    if (avgdl == a) return;
    w.resize(kTableTf * kTableLength);
    for (uint32_t len = 0; len < kTableLength; ++len) {
      const float sat =
          bm25::length_saturation(bm25::kK1, bm25::kB, static_cast<float>(len), avgdl);
      for (uint32_t tf = 1; tf < kTableTf; ++tf) {
        w[len * kTableTf + tf] = bm25::saturated_weight(bm25::kK1, static_cast<float>(tf), sat);
      }
    }
    a = avgdl;
  }
  float operator()(uint32_t tf, uint32_t length) const {
    if (tf < kTableTf && length < kTableLength) return w[length * kTableTf + tf];
    return weight(tf, length, a);
  }
};

thread_local WeightTable tls_weights;

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

// Reads one posting list forward, a block at a time; a block is decoded only
// when a posting in it is needed.
class Cursor {
 public:
  explicit Cursor(const PostingList* list) : blocks_(&list->blocks()) {}

  // The slot of the next unread posting (a lower bound when its block is not
  // decoded yet); UINT32_MAX at the end.
  uint32_t current() const {
    if (block_ == blocks_->size()) return UINT32_MAX;
    return decoded_ ? buf_[pos_].slot : (*blocks_)[block_].first_slot();
  }

  // Skips every posting below `slot` without decoding whole blocks it passes.
  void skip_to(uint32_t slot) {
    while (block_ < blocks_->size() && (*blocks_)[block_].last_slot() < slot) {
      ++block_;
      decoded_ = false;
    }
    if (decoded_) {
      while (buf_[pos_].slot < slot) ++pos_;
    }
  }

  // The term frequency at `slot`, 0 when absent; then the cursor is past
  // every posting below `slot`.
  uint32_t seek(uint32_t slot) {
    skip_to(slot);
    if (block_ == blocks_->size() || (*blocks_)[block_].first_slot() > slot) return 0;
    decode();
    while (buf_[pos_].slot < slot) ++pos_;
    return buf_[pos_].slot == slot ? buf_[pos_].tf : 0;
  }

  // Largest tf and smallest length of the blocks holding postings in
  // [from, to); false when there are none. Moves past postings below `from`.
  bool window_bounds(uint32_t from, uint64_t to, uint32_t* max_tf, uint32_t* min_length) {
    skip_to(from);
    uint32_t tf = 0;
    uint32_t length = UINT32_MAX;
    for (size_t b = block_; b < blocks_->size() && (*blocks_)[b].first_slot() < to; ++b) {
      tf = std::max(tf, (*blocks_)[b].max_tf());
      length = std::min(length, (*blocks_)[b].min_length());
    }
    if (tf == 0) return false;
    *max_tf = tf;
    *min_length = length;
    return true;
  }

  // Calls fn(posting) for every posting in [from, to), in order, and moves
  // past them.
  template <typename Fn>
  void for_each_in(uint32_t from, uint64_t to, Fn&& fn) {
    skip_to(from);
    while (block_ < blocks_->size() && (*blocks_)[block_].first_slot() < to) {
      decode();
      const size_t n = (*blocks_)[block_].size();
      while (pos_ < n && buf_[pos_].slot < from) ++pos_;
      while (pos_ < n && buf_[pos_].slot < to) fn(buf_[pos_++]);
      if (pos_ < n) return;
      ++block_;
      decoded_ = false;
    }
  }

 private:
  void decode() {
    if (decoded_) return;
    (*blocks_)[block_].decode(buf_);
    decoded_ = true;
    pos_ = 0;
  }

  const std::vector<PostingBlock>* blocks_;
  size_t block_ = 0;
  size_t pos_ = 0;
  bool decoded_ = false;
  Posting buf_[PostingList::kMaxBlock + 1];
};

// Per-thread search scratch: partial sums and per-term contributions of the
// current window, all zero between windows, and the reached slots.
struct Scratch {
  std::vector<float> total;
  std::vector<float> contrib;  // term * kWindow + offset
  uint64_t touched[kWindow / 64] = {};
  std::vector<Cursor> cursors;
};

thread_local Scratch tls_scratch;

// The kept results: a heap whose front is the worst kept one.
struct Better {
  bool operator()(const ScoredSlot& x, const ScoredSlot& y) const {
    return x.score > y.score || (x.score == y.score && x.position < y.position);
  }
};

// Restores the scratch to all zeros when a search unwinds (a finished search
// leaves it clean), and drops the cursors.
class ScratchReset {
 public:
  ScratchReset(Scratch* s, size_t terms) : s_(s), terms_(terms) {}
  void finished() { clean_ = true; }
  ~ScratchReset() {
    s_->cursors.clear();
    if (clean_) return;
    std::fill(s_->total.begin(), s_->total.end(), 0.0f);
    std::fill(s_->contrib.begin(), s_->contrib.begin() + terms_ * kWindow, 0.0f);
    std::fill(std::begin(s_->touched), std::end(s_->touched), 0);
  }

 private:
  bool clean_ = false;
  Scratch* s_;
  size_t terms_;
};

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
  Scratch& scratch = tls_scratch;
  if (scratch.total.size() < kWindow) scratch.total.assign(kWindow, 0.0f);
  if (scratch.contrib.size() < n_terms * kWindow) scratch.contrib.resize(n_terms * kWindow, 0.0f);
  scratch.cursors.reserve(n_terms);
  for (const QueryTerm& t : terms) scratch.cursors.emplace_back(t.list);
  ScratchReset reset(&scratch, n_terms);
  std::vector<Cursor>& cursors = scratch.cursors;
  float* total = scratch.total.data();
  float* contrib = scratch.contrib.data();
  uint64_t* touched = scratch.touched;

  std::vector<ScoredSlot> heap;
  heap.reserve(std::min<size_t>(top_k, 4096));
  double threshold = -std::numeric_limits<double>::infinity();  // k-th best once full

  std::vector<double> window_bound(n_terms);
  std::vector<float> value(n_terms);
  std::vector<uint32_t> local(order);
  uint64_t window_start = 0;
  for (;;) {
    // Terms order[0..essential) are non-essential.
    size_t essential = 0;
    while (essential < n_terms && prefix[essential + 1] * margin < threshold) ++essential;
    if (essential == n_terms) break;
    uint64_t w = UINT32_MAX;
    for (size_t i = essential; i < n_terms; ++i) {
      w = std::min<uint64_t>(w, cursors[order[i]].current());
    }
    w = std::max(w, window_start);
    if (w >= rep.lengths.size()) break;
    const uint64_t end = w + kWindow;
    window_start = end;
    const uint32_t from = static_cast<uint32_t>(w);

    // Per-window bounds of every term; skip the window when even their sum
    // cannot reach the threshold.
    double window_sum = 0.0;
    for (size_t t = 0; t < n_terms; ++t) {
      uint32_t max_tf;
      uint32_t min_length;
      window_bound[t] = 0.0;
      if (cursors[t].window_bounds(from, end, &max_tf, &min_length)) {
        window_bound[t] =
            terms[t].count * static_cast<double>(contribution(terms[t].idf, max_tf, min_length, a));
      }
      window_sum += window_bound[t];
    }
    if (window_sum * margin < threshold) continue;
    // Within the window the terms are ordered again by their window bounds
    // (ascending, ties by term), and the non-essential prefix is the longest
    // one whose window bounds sum below the threshold.
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
    size_t local_essential = 0;
    double rest_bound = 0.0;  // the non-essential terms' window bounds
    while (local_essential < n_terms &&
           (rest_bound + window_bound[local[local_essential]]) * margin < threshold) {
      rest_bound += window_bound[local[local_essential]];
      ++local_essential;
    }

    for (size_t i = local_essential; i < n_terms; ++i) {
      const uint32_t t = local[i];
      const QueryTerm& term = terms[t];
      float* c = contrib + t * kWindow;
      const float idf = term.idf;
      const float count = static_cast<float>(term.count);
      cursors[t].for_each_in(from, end, [&](const Posting& p) {
        const uint32_t off = p.slot - from;
        const float x = idf * weights(p.tf, lengths[p.slot]);
        c[off] = x;
        total[off] += count * x;
        touched[off >> 6] |= uint64_t{1} << (off & 63);
      });
    }

    for (size_t word = 0; word < kWindow / 64; ++word) {
      for (uint64_t bits = touched[word]; bits != 0; bits &= bits - 1) {
        const uint32_t off = static_cast<uint32_t>(word * 64 + std::countr_zero(bits));
        const uint32_t slot = from + off;
        const double partial = total[off];
        total[off] = 0.0f;
        bool keep = allowed == nullptr || allowed->test(slot);
        if (keep) {
          double known = partial;
          double rest = rest_bound;
          keep = (known + rest) * margin >= threshold;
          // Probe the non-essential terms, largest bound first.
          for (size_t i = local_essential; keep && i-- > 0;) {
            const uint32_t t = local[i];
            rest -= window_bound[t];
            value[t] = 0.0f;
            const uint32_t tf = cursors[t].seek(slot);
            if (tf != 0) {
              value[t] = terms[t].idf * weights(tf, lengths[slot]);
              known += terms[t].count * static_cast<double>(value[t]);
            }
            keep = (known + rest) * margin >= threshold;
          }
        }
        if (keep) {
          for (size_t i = local_essential; i < n_terms; ++i) {
            value[local[i]] = contrib[local[i] * kWindow + off];
          }
          float score = 0.0f;
          for (uint32_t t : sequence) score = score + value[t];
          const ScoredSlot entry{score, slot};
          if (heap.size() < top_k) {
            heap.push_back(entry);
            std::push_heap(heap.begin(), heap.end(), Better());
            if (heap.size() == top_k) threshold = heap.front().score;
          } else if (score > heap.front().score) {
            std::pop_heap(heap.begin(), heap.end(), Better());
            heap.back() = entry;
            std::push_heap(heap.begin(), heap.end(), Better());
            threshold = heap.front().score;
          }
        }
        for (size_t i = local_essential; i < n_terms; ++i) contrib[local[i] * kWindow + off] = 0.0f;
      }
      touched[word] = 0;
    }
  }
  reset.finished();
  std::sort_heap(heap.begin(), heap.end(), Better());
  return heap;
}

}  // namespace vesk
