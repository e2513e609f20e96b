#include "hybridsearch/keywordsearch.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cmath>
#include <cstdint>
#include <utility>

#include "bm25_math.h"
#include "default_tokenizer.h"
#include "hybridsearch/top_k.h"
#include "utils/keyword.h"
#include "utils/unicode_space.h"

namespace vesk {

// Layout. Every document lives in a slot whose number never changes while the
// document is stored; `order` maps positions to slots and each slot records
// its position, so erasing renumbers positions without touching postings.
// Postings are keyed by token dimension and hold, per document containing it,
// the slot, the term frequency and the document length, which is all a query
// needs. Each of a document's terms remembers where its posting sits, so a
// posting is removed in constant time by moving the last posting of the list
// into its place.
//
// Scores are computed at query time from tf, length and the current average
// length with the arithmetic of bm25_math.h (bm25::length_saturation,
// bm25::saturated_weight, bm25::idf, bm25::average_length), the functions the
// reference BM25 engine uses, and are summed per document in query-token
// order. That matches a freshly built engine bit for bit: a term the document
// lacks would add exactly 0.0 there and is skipped here.
namespace {

// One document's entry in the posting list of a token dimension.
struct Posting {
  uint32_t slot;
  uint32_t tf;
  uint32_t length;
  uint32_t term;  // index of the matching term in the document's term list
};
using PostingList = std::vector<Posting>;

// Posting lists by token dimension: open addressing with linear probing and
// the list stored in the table itself, so a lookup touches one table entry and
// then the list. Empty lists are removed by backward-shift deletion, so there
// are no tombstones. Lists move when the table grows; callers keep indices
// into lists, never pointers across a mutation.
class PostingTable {
 public:
  size_t size() const { return used_; }

  // Bytes held: the table and every list's storage.
  size_t memory_bytes() const {
    size_t bytes = entries_.capacity() * sizeof(Entry);
    for (const Entry& e : entries_) bytes += e.list.capacity() * sizeof(Posting);
    return bytes;
  }

  // The list of `hash`, or null.
  const PostingList* find(uint32_t hash) const {
    if (entries_.empty()) return nullptr;
    for (size_t i = home(hash);; i = (i + 1) & mask_) {
      const Entry& e = entries_[i];
      if (!e.used) return nullptr;
      if (e.hash == hash) return &e.list;
    }
  }
  PostingList* find(uint32_t hash) {
    return const_cast<PostingList*>(static_cast<const PostingTable*>(this)->find(hash));
  }

  // The list of `hash`, created empty when missing.
  PostingList& get(uint32_t hash) {
    if ((used_ + 1) * 2 > entries_.size()) grow();
    size_t i = home(hash);
    while (entries_[i].used) {
      if (entries_[i].hash == hash) return entries_[i].list;
      i = (i + 1) & mask_;
    }
    entries_[i].used = true;
    entries_[i].hash = hash;
    ++used_;
    return entries_[i].list;
  }

  // Removes the list of `hash`. REQUIRES: present.
  void erase(uint32_t hash) {
    size_t i = home(hash);
    while (entries_[i].hash != hash || !entries_[i].used) i = (i + 1) & mask_;
    // Shift later members of the probe run back so every entry stays
    // reachable from its home without tombstones.
    for (size_t j = (i + 1) & mask_; entries_[j].used; j = (j + 1) & mask_) {
      const size_t h = home(entries_[j].hash);
      // Entry j may move to i when its home is not cyclically in (i, j].
      const bool stays = i <= j ? (i < h && h <= j) : (i < h || h <= j);
      if (stays) continue;
      entries_[i].hash = entries_[j].hash;
      entries_[i].list = std::move(entries_[j].list);
      i = j;
    }
    entries_[i].used = false;
    entries_[i].list = PostingList();
    --used_;
  }

 private:
  struct Entry {
    uint32_t hash = 0;
    bool used = false;
    PostingList list;
  };

  size_t home(uint32_t hash) const {
    // Fibonacci hashing spreads the dimension's bits over the table index.
    return static_cast<size_t>((hash * 0x9E3779B97F4A7C15ull) >> shift_);
  }

  void grow() {
    std::vector<Entry> old = std::move(entries_);
    const size_t capacity = old.empty() ? 64 : old.size() * 2;
    entries_ = std::vector<Entry>(capacity);
    mask_ = capacity - 1;
    shift_ = 64 - std::countr_zero(capacity);
    for (Entry& e : old) {
      if (!e.used) continue;
      size_t i = home(e.hash);
      while (entries_[i].used) i = (i + 1) & mask_;
      entries_[i].used = true;
      entries_[i].hash = e.hash;
      entries_[i].list = std::move(e.list);
    }
  }

  std::vector<Entry> entries_;
  size_t used_ = 0;
  size_t mask_ = 0;
  int shift_ = 64;
};

}  // namespace

struct KeywordIndex::Rep {
  struct Term {
    uint32_t hash;
    uint32_t posting;  // index of this document's entry in postings[hash]
  };
  struct Slot {
    uint32_t length = 0;   // number of tokens
    bool indexed = false;  // live with a non-empty searchable text: counts in N
    std::vector<Term> terms;
  };

  Rep()
      : tokenizer(bm25::DefaultTokenizerBuilder()
                      .normalization(true)
                      .stemming(true)
                      .stopwords(true)
                      .language(bm25::Language::English)
                      .build()) {}

  void insert(uint32_t slot, std::string_view text);
  void remove(uint32_t slot);

  bm25::DefaultTokenizer tokenizer;
  std::vector<Slot> slots;
  PostingTable postings;
  uint64_t total_tokens = 0;
  uint64_t indexed_docs = 0;
  std::vector<uint32_t> hash_scratch;
};

void KeywordIndex::Rep::insert(uint32_t slot, std::string_view text) {
  Slot& s = slots[slot];
  s.terms.clear();
  s.length = 0;
  s.indexed = false;
  if (text.empty()) return;

  hash_scratch.clear();
  tokenizer.for_each_token(text, [this](std::string_view token) {
    hash_scratch.push_back(bm25::TokenEmbedder::embed(token));
  });
  s.indexed = true;
  s.length = static_cast<uint32_t>(hash_scratch.size());
  ++indexed_docs;
  total_tokens += s.length;

  // Term frequencies per dimension: colliding tokens count together.
  std::sort(hash_scratch.begin(), hash_scratch.end());
  for (size_t i = 0; i < hash_scratch.size();) {
    size_t j = i + 1;
    while (j < hash_scratch.size() && hash_scratch[j] == hash_scratch[i]) ++j;
    const uint32_t hash = hash_scratch[i];
    const uint32_t tf = static_cast<uint32_t>(j - i);
    PostingList& list = postings.get(hash);
    const uint32_t term = static_cast<uint32_t>(s.terms.size());
    s.terms.push_back(Term{hash, static_cast<uint32_t>(list.size())});
    list.push_back(Posting{slot, tf, s.length, term});
    i = j;
  }
}

void KeywordIndex::Rep::remove(uint32_t slot) {
  Slot& s = slots[slot];
  for (const Term& term : s.terms) {
    PostingList* found = postings.find(term.hash);
    assert(found != nullptr);
    PostingList& list = *found;
    if (term.posting + 1 != list.size()) {
      const Posting moved = list.back();
      list[term.posting] = moved;
      slots[moved.slot].terms[moved.term].posting = term.posting;
    }
    list.pop_back();
    if (list.empty()) postings.erase(term.hash);
  }
  if (s.indexed) {
    --indexed_docs;
    total_tokens -= s.length;
  }
  s.terms = {};  // a dead slot holds no memory
  s.length = 0;
  s.indexed = false;
}

KeywordIndex::KeywordIndex() : rep_(std::make_unique<Rep>()) {}

KeywordIndex::~KeywordIndex() = default;

std::unique_ptr<KeywordIndex> KeywordIndex::build(std::span<const std::string_view> texts,
                                                  const Bitmap* live) {
  auto index = std::make_unique<KeywordIndex>();
  index->rep_->slots.reserve(texts.size());
  for (size_t i = 0; i < texts.size(); ++i) {
    if (live == nullptr || live->test(i)) {
      index->append(texts[i]);
    } else {
      index->rep_->slots.emplace_back();  // dead from the start
    }
  }
  return index;
}

size_t KeywordIndex::size() const { return rep_->slots.size(); }

size_t KeywordIndex::memory_bytes() const {
  size_t bytes =
      sizeof(Rep) + rep_->slots.capacity() * sizeof(Rep::Slot) + rep_->postings.memory_bytes();
  for (const Rep::Slot& s : rep_->slots) bytes += s.terms.capacity() * sizeof(Rep::Term);
  return bytes;
}

void KeywordIndex::append(std::string_view text) {
  assert(rep_->slots.size() < UINT32_MAX);
  rep_->slots.emplace_back();
  rep_->insert(static_cast<uint32_t>(rep_->slots.size() - 1), text);
}

void KeywordIndex::replace(size_t slot, std::string_view old_text, std::string_view text) {
  assert(slot < rep_->slots.size());
  rep_->remove(static_cast<uint32_t>(slot));
  rep_->insert(static_cast<uint32_t>(slot), text);
}

void KeywordIndex::erase(size_t slot, std::string_view old_text) {
  assert(slot < rep_->slots.size());
  rep_->remove(static_cast<uint32_t>(slot));
}

void KeywordIndex::compact(std::span<const size_t> dead_slots) {
  if (dead_slots.empty()) return;
  std::vector<Rep::Slot>& slots = rep_->slots;
  // Close the gaps in one pass; every posting of a moved slot follows it.
  size_t write = dead_slots[0];
  size_t next = 0;
  for (size_t read = dead_slots[0]; read < slots.size(); ++read) {
    if (next < dead_slots.size() && dead_slots[next] == read) {
      assert(slots[read].terms.empty());
      ++next;
      continue;
    }
    for (const Rep::Term& term : slots[read].terms) {
      (*rep_->postings.find(term.hash))[term.posting].slot = static_cast<uint32_t>(write);
    }
    slots[write] = std::move(slots[read]);
    ++write;
  }
  slots.resize(write);
}

namespace {

// Per-thread score accumulator indexed by slot. Between searches every score
// is -0.0, which marks a slot no query term has reached: contributions are
// never negative, so the first one (even one that rounded to +0.0) clears the
// sign, and -0.0 + c equals the engine's +0.0 + c for every such c.
struct Accumulator {
  std::vector<float> scores;
};

thread_local Accumulator tls_accumulator;

// Document lengths below this have the length part of their term weight
// computed once per query.
constexpr uint32_t kSaturationTable = 1024;

// Restores the accumulator's touched entries to -0.0, also on unwinding.
class AccumulatorReset {
 public:
  AccumulatorReset(Accumulator* acc, const std::vector<uint32_t>* touched)
      : acc_(acc), touched_(touched) {}
  ~AccumulatorReset() {
    for (uint32_t slot : *touched_) {
      acc_->scores[slot] = -0.0f;
    }
  }

 private:
  Accumulator* acc_;
  const std::vector<uint32_t>* touched_;
};

}  // namespace

std::vector<ScoredSlot> KeywordIndex::search(std::string_view query, size_t top_k,
                                             const Bitmap* allowed) const {
  std::vector<ScoredSlot> results;
  if (top_k == 0 || trim_white_space(query).empty()) return results;
  const Rep& rep = *rep_;
  if (rep.indexed_docs == 0) return results;

  // The query's dimensions in token order, repeats kept, each mapped to its
  // distinct term.
  struct QueryTerm {
    uint32_t hash;
    const PostingList* postings;  // null when no document has it
    float idf;
  };
  std::vector<QueryTerm> terms;
  std::vector<uint32_t> sequence;
  rep.tokenizer.for_each_token(query, [&](std::string_view token) {
    const uint32_t hash = bm25::TokenEmbedder::embed(token);
    uint32_t j = 0;
    while (j < terms.size() && terms[j].hash != hash) ++j;
    if (j == terms.size()) terms.push_back(QueryTerm{hash, nullptr, 0.0f});
    sequence.push_back(j);
  });
  if (sequence.empty()) return results;

  const float n_docs = static_cast<float>(rep.indexed_docs);
  const float avgdl = bm25::average_length(rep.total_tokens, rep.indexed_docs);
  for (QueryTerm& term : terms) {
    term.postings = rep.postings.find(term.hash);
    const float doc_freq =
        term.postings == nullptr ? 0.0f : static_cast<float>(term.postings->size());
    term.idf = bm25::idf(n_docs, doc_freq);
  }

  // Term at a time, in query order, so each document's sum is formed in the
  // same order as the engine's.
  Accumulator& acc = tls_accumulator;
  if (acc.scores.size() < rep.slots.size()) {
    acc.scores.resize(rep.slots.size(), -0.0f);
  }
  std::vector<uint32_t> touched;
  AccumulatorReset reset(&acc, &touched);
  // The length-dependent part of the weight is computed once per query for
  // the common lengths; the rest of the term weight follows per posting.
  const float a = bm25::effective_avgdl(avgdl);
  auto saturation_of = [a](uint32_t length) {
    return bm25::length_saturation(bm25::kK1, bm25::kB, static_cast<float>(length), a);
  };
  float saturation[kSaturationTable];
  for (uint32_t len = 0; len < kSaturationTable; ++len) saturation[len] = saturation_of(len);
  for (uint32_t j : sequence) {
    const QueryTerm& term = terms[j];
    if (term.postings == nullptr) continue;
    for (const Posting& p : *term.postings) {
      const float tf = static_cast<float>(p.tf);
      const float sat =
          p.length < kSaturationTable ? saturation[p.length] : saturation_of(p.length);
      const float weight = bm25::saturated_weight(bm25::kK1, tf, sat);
      const float contribution = term.idf * weight;
      float& sum = acc.scores[p.slot];
      if (std::signbit(sum)) touched.push_back(p.slot);
      sum = sum + contribution;
    }
  }

  // Best top_k by (score descending, slot ascending). Slots are visited in
  // the order they were reached. Scores are sums of positive finite terms,
  // never NaN.
  TopK<uint32_t> selector(std::min(top_k, touched.size()));
  for (uint32_t slot : touched) {
    if (allowed != nullptr && !allowed->test(slot)) continue;
    selector.offer(acc.scores[slot], [slot] { return slot; });
  }
  assert(!selector.saw_nan());
  return selector.take_sorted();
}

}  // namespace vesk
