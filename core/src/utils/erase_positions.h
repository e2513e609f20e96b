// Removing a sorted set of positions from a vector in one pass.
//
// Thread safety: operates on the caller's vector only.
#ifndef VESK_CORE_UTILS_ERASE_POSITIONS_H_
#define VESK_CORE_UTILS_ERASE_POSITIONS_H_

#include <cstddef>
#include <span>
#include <utility>
#include <vector>

namespace vesk {

// Removes values[p] for every p in `positions` (strictly increasing, each
// below values.size()); the remaining values move down and keep their order.
// Each value after the first removed position is moved once.
template <typename T, typename Alloc>
void erase_positions(std::vector<T, Alloc>& values, std::span<const size_t> positions) {
  if (positions.empty()) return;
  size_t out = positions.front();
  size_t next = 0;
  for (size_t in = positions.front(); in < values.size(); ++in) {
    if (next < positions.size() && positions[next] == in) {
      ++next;
      continue;
    }
    values[out++] = std::move(values[in]);
  }
  values.resize(out);
}

}  // namespace vesk

#endif  // VESK_CORE_UTILS_ERASE_POSITIONS_H_
