#include "hybridsearch/posting_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <map>
#include <random>
#include <vector>

namespace vesk {
namespace {

// Random appends, inserts, removals and renumberings of one list against an
// ordered map: after every step the blocks decode to exactly the map, their
// bounds hold, and one-byte blocks give the same offsets through
// decode_offsets(). Lists grow to thousands of postings, so blocks are
// packed, rewritten where they are, given their own allocations again and
// repacked; gaps above a byte and frequencies above a byte change the widths.
TEST(PostingListTest, MatchesAMapThroughEveryChange) {
  for (uint32_t seed : {1u, 2u, 3u}) {
    std::mt19937 rng(seed);
    auto below = [&rng](uint32_t n) {
      return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng);
    };
    std::vector<uint32_t> lengths(1 << 20);
    for (uint32_t& length : lengths) length = 1 + below(400);
    PostingList list;
    std::map<uint32_t, uint32_t> want;
    uint32_t next = 0;
    for (int step = 0; step < 20000; ++step) {
      const uint32_t op = below(100);
      const uint32_t tf = below(50) == 0 ? 256 + below(1000) : 1 + below(4);
      if (op < 60 || want.empty()) {
        next += below(50) == 0 ? 300 + below(2000) : 1 + below(3);
        if (next >= lengths.size()) break;
        list.insert(next, tf, lengths);
        want[next] = tf;
      } else if (op < 80) {
        const uint32_t slot = below(next + 1);
        if (want.count(slot) != 0) continue;
        list.insert(slot, tf, lengths);
        want[slot] = tf;
      } else if (op < 99 || below(20) != 0) {
        auto it = want.lower_bound(below(next + 1));
        if (it == want.end()) it = want.begin();
        list.remove(it->first, lengths);
        want.erase(it);
      } else {
        // Drop every third slot and close the gaps.
        std::vector<uint32_t> remap(next + 1);
        std::map<uint32_t, uint32_t> kept;
        uint32_t at = 0;
        for (uint32_t s = 0; s <= next; ++s) {
          remap[s] = at;
          if (s % 3 != 0) ++at;
        }
        for (auto it = want.begin(); it != want.end();) {
          if (it->first % 3 == 0) {
            list.remove(it->first, lengths);
            it = want.erase(it);
          } else {
            kept[remap[it->first]] = it->second;
            ++it;
          }
        }
        list.renumber(remap, lengths);
        want = std::move(kept);
        next = at;
      }
      if (step % 97 != 0 && step < 19990) continue;
      ASSERT_EQ(list.size(), want.size()) << "seed " << seed << " step " << step;
      std::vector<Posting> got;
      for (const PostingBlock& b : list.blocks()) {
        Posting buf[PostingList::kMaxBlock];
        b.decode(buf);
        for (size_t i = 0; i < b.size(); ++i) {
          EXPECT_LE(buf[i].tf, b.max_tf());
          EXPECT_GE(lengths[buf[i].slot], b.min_length());
        }
        EXPECT_EQ(buf[0].slot, b.first_slot());
        EXPECT_EQ(buf[b.size() - 1].slot, b.last_slot());
        if (b.byte_coded()) {
          uint16_t offsets[PostingList::kMaxBlock];
          b.decode_offsets(b.first_slot(), offsets);
          for (size_t i = 0; i < b.size(); ++i) {
            ASSERT_EQ(b.first_slot() + offsets[i], buf[i].slot);
            ASSERT_EQ(b.byte_tfs()[i], buf[i].tf);
          }
        }
        got.insert(got.end(), buf, buf + b.size());
      }
      ASSERT_EQ(got.size(), want.size());
      auto it = want.begin();
      for (const Posting& p : got) {
        ASSERT_EQ(p.slot, it->first) << "seed " << seed << " step " << step;
        ASSERT_EQ(p.tf, it->second);
        ++it;
      }
    }
    EXPECT_GT(list.blocks().size(), 16u) << "the list stayed too small to be packed";
  }
}

}  // namespace
}  // namespace vesk
