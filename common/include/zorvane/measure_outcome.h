// Outcome numbering shared by the measurements of both modules. Target label
// t names bit t of a basis index with little endian and bit n−1−t with big
// endian; target j of k lands at bit k−1−j of the outcome index, so the first
// target is the most significant, and the outcome's text lists the targets
// in the order given, one '0' or '1' each.
#pragma once

#include <cstdint>
#include <string>

#include <cuda_runtime.h>

namespace zorvane {

__host__ __device__ __forceinline__ uint64_t outcome_of(uint64_t index, int64_t n, const int64_t* targets, int64_t k,
                                                        bool little_endian) {
  uint64_t o = 0;
  for (int64_t j = 0; j < k; ++j) {
    const int64_t b = little_endian ? targets[j] : n - 1 - targets[j];
    o |= ((index >> b) & 1u) << (k - 1 - j);
  }
  return o;
}

inline std::string outcome_text(uint64_t o, uint64_t k) {
  std::string text(k, '0');
  for (uint64_t j = 0; j < k; ++j)
    if ((o >> (k - 1 - j)) & 1u) text[j] = '1';
  return text;
}

}  // namespace zorvane
