// Grouping of an operation list into runs that touch few qubits, shared by the
// state-vector fusion planner and the density planner. One search picks the
// next group from the unplanned operations in two phases:
//
// 1. Cluster building: the unplanned operations are visited in list order.
//    Each accepted operation joins the cluster of every earlier accepted
//    operation it reaches through shared qubits; an operation whose cluster
//    would span more than `max_active_qubits` qubits, or that touches a
//    blocked qubit or one outside [0, n), is rejected and blocks its qubits,
//    so that nothing after it on those qubits can run before it. The phase
//    stops at the first operation that is not fusable, or once more than
//    `max_examined` operations were visited.
// 2. Greedy merge: clusters are merged, largest first, while their qubits
//    stay within the limit.
//
// Executing the groups in the order they are picked applies the operations as
// the list does: a group never holds an operation that an unplanned operation
// outside it precedes on a shared qubit. partition_into_groups repeats the
// search until every operation of a list is in a group.
//
// The visited operations are numbered 0 .. count-1 (their window index), and
// every cluster is a bit set over that window, so a search allocates nothing
// once its storage has grown to the window's size.
#pragma once

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace zorvane {

// How the grouping sees one operation.
struct ClusterOpQubits {
  bool fusable = false;       // false stops phase 1 at this operation
  bool out_of_range = false;  // it names a qubit outside [0, n): it is rejected
  uint64_t mask = 0;          // its qubits (targets and controls) in [0, n)
};

// The unplanned positions of an operation list, visited in ascending order,
// with constant-time removal.
class UnplannedPositions {
 public:
  static constexpr uint64_t npos = ~uint64_t{0};

  explicit UnplannedPositions(uint64_t count) : next_(count), prev_(count), size_(count) {
    for (uint64_t p = 0; p < count; ++p) {
      next_[p] = p + 1 < count ? p + 1 : npos;
      prev_[p] = p > 0 ? p - 1 : npos;
    }
    head_ = count > 0 ? 0 : npos;
  }

  bool empty() const { return head_ == npos; }
  uint64_t size() const { return size_; }
  uint64_t first() const { return head_; }
  uint64_t next(uint64_t p) const { return next_[p]; }

  // `p` must still be unplanned.
  void erase(uint64_t p) {
    const uint64_t before = prev_[p], after = next_[p];
    if (before == npos) head_ = after;
    else next_[before] = after;
    if (after != npos) prev_[after] = before;
    next_[p] = prev_[p] = npos;
    --size_;
  }

 private:
  std::vector<uint64_t> next_, prev_;
  uint64_t head_ = npos;
  uint64_t size_ = 0;
};

// The storage of group searches; reuse one for all searches of a plan.
class ClusterSearch {
 public:
  // n: the qubit count, 0 to 64.
  explicit ClusterSearch(int64_t n) : n_(static_cast<int>(n)) {
    if (n < 0 || n > 64) throw std::invalid_argument("cluster grouping needs 0 to 64 qubits");
  }

  // Appends the positions of the next group to `out` (cleared first), in
  // ascending order; empty when no operation could be grouped. `inspect`
  // maps a position to its ClusterOpQubits.
  template <class Inspect>
  void select(const UnplannedPositions& remaining, int64_t max_active_qubits, int64_t max_examined,
              Inspect&& inspect, std::vector<uint64_t>& out) {
    out.clear();
    const uint64_t limit = max_examined <= 0 ? 0 : std::min<uint64_t>(uint64_t(max_examined), remaining.size());
    if (limit == 0 || n_ == 0) return;
    reserve(limit);
    // Phase 2 works on the words up to the last accepted operation: later
    // ones were all rejected and belong to no cluster.
    const uint64_t accepted_end = build_clusters(remaining, max_active_qubits, limit, inspect);
    if (accepted_end == 0) return;
    merge_clusters(max_active_qubits, (accepted_end + 63) / 64, out);
  }

 private:
  uint64_t* cluster(int q) { return bits_.data() + size_t(q) * words_; }
  uint64_t* joined() { return bits_.data() + size_t(n_) * words_; }
  uint64_t* result() { return bits_.data() + size_t(n_ + 1) * words_; }

  void reserve(uint64_t window) {
    if (window_.size() < window) window_.resize(window);
    const size_t words = size_t((window + 63) / 64);
    if (words > words_) {
      words_ = words;
      bits_.assign(size_t(n_ + 2) * words_, 0);
    }
  }

  // Phase 1; returns one past the window index of the last accepted
  // operation (0: none accepted).
  template <class Inspect>
  uint64_t build_clusters(const UnplannedPositions& remaining, int64_t max_active_qubits, uint64_t limit,
                          Inspect& inspect) {
    uint64_t blocked = 0;
    const uint64_t all_qubits = n_ == 64 ? ~uint64_t{0} : (uint64_t{1} << n_) - 1;
    for (int q = 0; q < n_; ++q) touched_[q] = 0;
    uint64_t count = 0, accepted_end = 0;
    for (uint64_t p = remaining.first(); p != UnplannedPositions::npos && count < limit; p = remaining.next(p)) {
      const ClusterOpQubits op = inspect(p);
      if (!op.fusable) break;
      const uint64_t w = count++;
      window_[w] = p;
      const size_t word = size_t(w / 64);
      if (w % 64 == 0) {  // a fresh word of every set
        for (int s = 0; s < n_ + 2; ++s) bits_[size_t(s) * words_ + word] = 0;
      }
      bool rejected = op.out_of_range || (op.mask & blocked) != 0;
      uint64_t acc = op.mask;
      if (!rejected) {
        for (uint64_t m = op.mask; m != 0; m &= m - 1) acc |= touched_[__builtin_ctzll(m)];
        rejected = __builtin_popcountll(acc) > max_active_qubits;
      }
      if (rejected) {
        blocked |= op.mask;
        // Once every qubit is blocked no later operation can join a cluster
        // (one touching no qubit joins none), so the rest of the window
        // would only be rejected.
        if (blocked == all_qubits) break;
        continue;
      }
      uint64_t* t = joined();
      const size_t used = word + 1;
      std::fill(t, t + used, 0);
      for (uint64_t m = op.mask; m != 0; m &= m - 1) {
        const uint64_t* s = cluster(__builtin_ctzll(m));
        for (size_t i = 0; i < used; ++i) t[i] |= s[i];
      }
      t[word] |= uint64_t{1} << (w % 64);
      accepted_end = w + 1;
      for (uint64_t m = op.mask; m != 0; m &= m - 1) {
        const int q = __builtin_ctzll(m);
        touched_[q] = acc;
        std::copy(t, t + used, cluster(q));
      }
    }
    return accepted_end;
  }

  size_t cluster_size(int q, size_t used) {
    const uint64_t* s = cluster(q);
    size_t c = 0;
    for (size_t i = 0; i < used; ++i) c += size_t(__builtin_popcountll(s[i]));
    return c;
  }

  // Phase 2.
  void merge_clusters(int64_t max_active_qubits, size_t used, std::vector<uint64_t>& out) {
    uint64_t* r = result();
    std::fill(r, r + used, 0);
    uint64_t acc = 0;
    uint64_t untaken = 0;  // qubits with a non-empty cluster still to consider
    for (int q = 0; q < n_; ++q)
      if (touched_[q] != 0) untaken |= uint64_t{1} << q;
    for (int q = 0; q < n_; ++q) sizes_[q] = (untaken >> q) & 1 ? cluster_size(q, used) : 0;
    for (;;) {
      int h = -1;
      size_t best = 0;
      for (uint64_t m = untaken; m != 0; m &= m - 1) {
        const int i = __builtin_ctzll(m);
        if (sizes_[i] > best && __builtin_popcountll(acc | touched_[i]) <= max_active_qubits) {
          best = sizes_[i];
          h = i;
        }
      }
      if (h < 0) break;
      const uint64_t* sh = cluster(h);
      for (size_t i = 0; i < used; ++i) r[i] |= sh[i];
      acc |= touched_[h];
      untaken &= ~(uint64_t{1} << h);
      for (uint64_t m = untaken; m != 0; m &= m - 1) {
        const int v = __builtin_ctzll(m);
        uint64_t* sv = cluster(v);
        if ((acc | touched_[v]) == acc) {
          for (size_t i = 0; i < used; ++i) r[i] |= sv[i];
          untaken &= ~(uint64_t{1} << v);
        } else {
          for (size_t i = 0; i < used; ++i) sv[i] &= ~sh[i];
          sizes_[v] = cluster_size(v, used);
        }
      }
    }
    for (size_t i = 0; i < used; ++i)
      for (uint64_t b = r[i]; b != 0; b &= b - 1) out.push_back(window_[i * 64 + size_t(__builtin_ctzll(b))]);
  }

  int n_;
  size_t words_ = 0;
  std::vector<uint64_t> window_;  // window index -> position
  std::vector<uint64_t> bits_;    // n clusters, then the joined set, then the result
  uint64_t touched_[64] = {};     // D[q]: the qubits q's cluster touches
  size_t sizes_[64] = {};
};

// Splits the operations 0 .. count-1 into groups by repeated searches and
// calls on_group(members) for each group in execution order (members
// ascending). A search that groups nothing yields the first unplanned
// operation alone, so every operation ends up in exactly one group.
// `inspect(p)` gives the ClusterOpQubits of operation p; it is called once
// per operation, before the first search.
template <class Inspect, class OnGroup>
void partition_into_groups(int64_t n, uint64_t count, int64_t max_active_qubits, int64_t max_examined,
                           Inspect&& inspect, OnGroup&& on_group) {
  std::vector<ClusterOpQubits> views(count);
  for (uint64_t p = 0; p < count; ++p) views[p] = inspect(p);
  UnplannedPositions remaining(count);
  ClusterSearch search(n);
  std::vector<uint64_t> members;
  while (!remaining.empty()) {
    search.select(remaining, max_active_qubits, max_examined, [&](uint64_t p) { return views[p]; }, members);
    if (members.empty()) members.push_back(remaining.first());
    for (const uint64_t p : members) remaining.erase(p);
    on_group(static_cast<const std::vector<uint64_t>&>(members));
  }
}

}  // namespace zorvane
