// Fusion on the host: the shared cluster grouping against a literal rendering
// of the algorithm, the planner (cost table, padding, edge cases, ordering),
// the fused records and dense products, and the two executors' kernels and
// cache on the CPU execution layer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <exception>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "fusion/densemm.h"
#include "fusion/fusion.h"
#include "fusion/sparsesharemem.h"
#include "test_support.h"
#include "zorvane/launch.h"

namespace stavex {
namespace fusion {
namespace {

using cplx = std::complex<double>;
using zorvane::CuComplex;
using zorvane_test::DeviceArray;

GateOp make_gate(GateId id, std::vector<int64_t> targets, std::vector<int64_t> controls = {},
                 std::vector<int64_t> states = {}, std::vector<double> params = {}) {
  GateOp g;
  g.id = id;
  g.targets = std::move(targets);
  g.controls = std::move(controls);
  g.control_state = states.empty() ? std::vector<int64_t>(g.controls.size(), 1) : std::move(states);
  g.params = std::move(params);
  return g;
}

// ---- the grouping, literally: ordered sets per qubit --------------------------

struct LiteralOp {
  bool fusable;
  std::vector<int64_t> qubits;  // ascending, distinct; may lie outside [0, n)
};

std::vector<uint64_t> literal_select(int n, const std::vector<LiteralOp>& ops, const std::set<uint64_t>& remaining,
                                     int a, int max_examined) {
  std::vector<std::set<uint64_t>> S(n);
  std::vector<uint64_t> D(n, 0);
  std::vector<bool> blocked(n, false);
  int count = 0;
  for (const uint64_t p : remaining) {
    if (++count > max_examined) break;
    if (!ops[p].fusable) break;
    bool rejected = false;
    uint64_t acc = 0;
    std::set<uint64_t> T;
    for (const int64_t q : ops[p].qubits) {
      if (q < 0 || q >= n || blocked[q]) {
        rejected = true;
        continue;
      }
      acc |= D[q] | (uint64_t{1} << q);
      T.insert(S[q].begin(), S[q].end());
    }
    if (!rejected && __builtin_popcountll(acc) > a) rejected = true;
    if (rejected) {
      for (const int64_t q : ops[p].qubits)
        if (q >= 0 && q < n) blocked[q] = true;
      continue;
    }
    T.insert(p);
    for (const int64_t q : ops[p].qubits) {
      D[q] = acc;
      S[q] = T;
    }
  }
  std::set<uint64_t> result;
  uint64_t acc = 0;
  std::vector<bool> taken(n, false);
  for (;;) {
    int h = -1;
    size_t best = 0;
    for (int i = 0; i < n; ++i)
      if (!taken[i] && S[i].size() > best && __builtin_popcountll(acc | D[i]) <= a) {
        best = S[i].size();
        h = i;
      }
    if (h < 0) break;
    result.insert(S[h].begin(), S[h].end());
    acc |= D[h];
    taken[h] = true;
    for (int v = 0; v < n; ++v) {
      if (taken[v]) continue;
      if ((acc | D[v]) == acc) {
        result.insert(S[v].begin(), S[v].end());
        taken[v] = true;
      } else {
        for (const uint64_t x : S[h]) S[v].erase(x);
      }
    }
  }
  return {result.begin(), result.end()};
}

zorvane::ClusterOpQubits view_of(int n, const LiteralOp& op) {
  zorvane::ClusterOpQubits v;
  v.fusable = op.fusable;
  for (const int64_t q : op.qubits) {
    if (q < 0 || q >= n) v.out_of_range = true;
    else v.mask |= uint64_t{1} << q;
  }
  return v;
}

TEST(ClusterGrouping, AgreesWithTheLiteralAlgorithmOnRandomLists) {
  std::mt19937_64 rng(7);
  for (int trial = 0; trial < 300; ++trial) {
    const int n = 1 + int(rng() % 12);
    const int count = int(rng() % 150);
    const int a = int(rng() % 7) - 1;
    const int max_examined = int(rng() % 90);
    std::vector<LiteralOp> ops(count);
    for (LiteralOp& op : ops) {
      op.fusable = rng() % 25 != 0;
      const int width = 1 + int(rng() % 3);
      std::set<int64_t> qs;
      for (int i = 0; i < width; ++i) qs.insert(int64_t(rng() % (n + 1)) - (rng() % 40 == 0 ? n + 2 : 0));
      op.qubits.assign(qs.begin(), qs.end());
    }
    std::set<uint64_t> literal_remaining;
    for (int p = 0; p < count; ++p) literal_remaining.insert(p);
    zorvane::UnplannedPositions remaining(count);
    zorvane::ClusterSearch search(n);
    std::vector<uint64_t> group;
    while (!remaining.empty()) {
      const std::vector<uint64_t> expected = literal_select(n, ops, literal_remaining, a, max_examined);
      search.select(remaining, a, max_examined, [&](uint64_t p) { return view_of(n, ops[p]); }, group);
      ASSERT_EQ(group, expected) << "trial " << trial;
      if (group.empty()) group.push_back(remaining.first());
      for (const uint64_t p : group) {
        remaining.erase(p);
        literal_remaining.erase(p);
      }
      ASSERT_EQ(remaining.size(), literal_remaining.size());
    }
  }
}

// ---- host model of gates, for the ordering property ---------------------------

using HostState = std::vector<cplx>;

// One fusable gate on a host state, from its 2x2 matrix (or as a SWAP).
void apply_host(HostState& v, const GateOp& g) {
  uint64_t mask = 0, value = 0;
  for (size_t i = 0; i < g.controls.size(); ++i) {
    mask |= uint64_t{1} << g.controls[i];
    if (g.control_state[i] == 1) value |= uint64_t{1} << g.controls[i];
  }
  if (g.id == SWAP) {
    const uint64_t b1 = uint64_t{1} << g.targets[0], b2 = uint64_t{1} << g.targets[1];
    for (uint64_t i = 0; i < v.size(); ++i)
      if ((i & b1) && !(i & b2) && (i & mask) == value) std::swap(v[i], v[i ^ b1 ^ b2]);
    return;
  }
  Matrix2x2 m;
  ASSERT_TRUE(gate_matrix_2x2(g, m));
  const uint64_t t = uint64_t{1} << g.targets[0];
  for (uint64_t i = 0; i < v.size(); ++i) {
    if ((i & t) || (i & mask) != value) continue;
    const cplx a = v[i], b = v[i | t];
    v[i] = m[0] * a + m[1] * b;
    v[i | t] = m[2] * a + m[3] * b;
  }
}

HostState random_state(int n, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> d;
  HostState v(size_t{1} << n);
  for (cplx& x : v) x = cplx(d(rng), d(rng));
  return v;
}

// Random fusable gates, with some that the planner must leave alone.
std::vector<GateOp> random_chunk(int n, int count, std::mt19937_64& rng, bool with_unfusable) {
  std::vector<GateOp> gates;
  const GateId ids[] = {X, Y, Z, H, S, SDAG, SQRTX, SQRTXDAG, SQRTY, SQRTYDAG, RX, RY, RZ, PHASE, U};
  for (int i = 0; i < count; ++i) {
    const int64_t t = int64_t(rng() % n);
    int64_t c = int64_t(rng() % n);
    const int kind = int(rng() % 10);
    if (with_unfusable && kind == 0) {
      gates.push_back(make_gate(GLOBAL_PHASE, {}, {}, {}, {0.3}));
    } else if (kind <= 2 && n >= 2) {
      while (c == t) c = int64_t(rng() % n);
      gates.push_back(make_gate(SWAP, {t, c}, {}, {}));
    } else {
      const GateId id = ids[rng() % 15];
      std::vector<double> params;
      if (id == RX || id == RY || id == RZ || id == PHASE) params = {double(rng() % 1000) / 100};
      if (id == U) params = {0.3, double(rng() % 100) / 10, 1.7};
      std::vector<int64_t> controls;
      if (kind >= 6 && n >= 2) {
        while (c == t) c = int64_t(rng() % n);
        controls = {c};
      }
      gates.push_back(make_gate(id, {t}, controls, std::vector<int64_t>(controls.size(), int64_t(rng() % 2)), params));
    }
  }
  return gates;
}

TEST(Planner, GroupsInPlanOrderEqualTheListAndCoverEveryGateOnce) {
  std::mt19937_64 rng(11);
  for (int trial = 0; trial < 60; ++trial) {
    const int n = 2 + int(rng() % 8);
    const std::vector<GateOp> gates = random_chunk(n, 10 + int(rng() % 120), rng, true);
    FusionOptions o;
    o.sparsesharemem_qubits = 1 + int(rng() % 6);
    o.max_gates_per_group = int(rng() % 80);
    o.fuse_swap = rng() % 2;
    o.densemm_gate_threshold_scale = double(rng() % 3) / 2;
    const FusionPlan plan = plan_fusion_groups(n, gates, o);
    std::vector<int> seen(gates.size(), 0);
    HostState in_list = random_state(n, trial), in_plan = in_list;
    for (const GateOp& g : gates)
      if (g.id != GLOBAL_PHASE) apply_host(in_list, g);
    for (const FusionGroup& group : plan.groups) {
      ASSERT_TRUE(std::is_sorted(group.gate_indices.begin(), group.gate_indices.end()));
      for (const uint64_t i : group.gate_indices) {
        ++seen[i];
        if (gates[i].id != GLOBAL_PHASE) apply_host(in_plan, gates[i]);
      }
    }
    EXPECT_TRUE(std::all_of(seen.begin(), seen.end(), [](int c) { return c == 1; })) << "trial " << trial;
    for (size_t i = 0; i < in_list.size(); ++i) ASSERT_LT(std::abs(in_list[i] - in_plan[i]), 1e-12) << trial;
  }
}

// ---- the cost table -------------------------------------------------------------

TEST(CostTable, ReadAtAndBetweenBreakpoints) {
  const FusionCostEntry e14 = lookup_fusion_cost(14, 1);
  EXPECT_DOUBLE_EQ(e14.per_gate, 0.226731);
  EXPECT_DOUBLE_EQ(e14.densemm_cost, 19.2042);
  EXPECT_EQ(e14.w_x, 0.0);
  EXPECT_EQ(e14.w_y, 0.0);
  EXPECT_EQ(e14.w_swap, 0.0);
  EXPECT_EQ(e14.w_general, 1.0);
  // below the first and above the last breakpoint the end entries hold
  EXPECT_DOUBLE_EQ(lookup_fusion_cost(3, 1).densemm_cost, 19.2042);
  EXPECT_DOUBLE_EQ(lookup_fusion_cost(40, 7).densemm_cost, 45.1368);
  EXPECT_DOUBLE_EQ(lookup_fusion_cost(24, 4).w_rxry, 0.373932);
  // interior breakpoints read their own row
  const FusionCostEntry e18 = lookup_fusion_cost(18, 4);
  EXPECT_NEAR(e18.per_gate, 0.0273215, 1e-15);
  EXPECT_NEAR(e18.w_h, 0.380515, 1e-15);
  EXPECT_NEAR(e18.w_diagonal, 0.319301, 1e-15);
  EXPECT_NEAR(e18.densemm_cost, 4.1132, 1e-14);
  EXPECT_NEAR(lookup_fusion_cost(22, 7).densemm_cost, 48.1269, 1e-14);
  // between breakpoints: linear in n, field by field
  const FusionCostEntry e15 = lookup_fusion_cost(15, 3);
  EXPECT_NEAR(e15.per_gate, (0.143146 + 0.144977) / 2, 1e-15);
  EXPECT_NEAR(e15.w_h, (0.281313 + 0.403771) / 2, 1e-15);
  EXPECT_NEAR(e15.densemm_cost, (6.83511 + 10.8604) / 2, 1e-14);
  EXPECT_EQ(e15.w_general, 1.0);
  const FusionCostEntry e23 = lookup_fusion_cost(23, 6);
  EXPECT_NEAR(e23.w_rxry, 0.346244 + 0.5 * (0.369995 - 0.346244), 1e-15);
  // k is clamped to 1 .. 7
  EXPECT_DOUBLE_EQ(lookup_fusion_cost(20, 0).densemm_cost, lookup_fusion_cost(20, 1).densemm_cost);
  EXPECT_DOUBLE_EQ(lookup_fusion_cost(20, 12).densemm_cost, lookup_fusion_cost(20, 7).densemm_cost);
}

std::vector<GateOp> repeated(GateId id, int count, int width, std::vector<double> params = {}) {
  std::vector<GateOp> gates;
  for (int i = 0; i < count; ++i) gates.push_back(make_gate(id, {i % width}, {}, {}, params));
  return gates;
}

TEST(CostTable, WorkedReadingChoosesTheExecutor) {
  // n = 16, k = 4: ten U gates score 6.55 > 0, ten X gates stay below 0
  const FusionPlan u = plan_fusion_groups(16, repeated(U, 10, 4, {0.1, 0.2, 0.3}), FusionOptions{});
  ASSERT_EQ(u.groups.size(), 1u);
  EXPECT_EQ(u.groups[0].kind, FusionGroupKind::DenseMM);
  EXPECT_EQ(u.groups[0].active_qubits, (std::vector<int64_t>{0, 1, 2, 3}));
  EXPECT_EQ(u.dense_element_count, 256u);
  const FusionPlan x = plan_fusion_groups(16, repeated(X, 10, 4), FusionOptions{});
  ASSERT_EQ(x.groups.size(), 1u);
  EXPECT_EQ(x.groups[0].kind, FusionGroupKind::SparseShareMem);
  EXPECT_EQ(x.groups[0].active_qubits.size(), 10u);  // padded
  // a larger scale makes DenseMM rarer, scale 0 chooses it for any group
  FusionOptions strict;
  strict.densemm_gate_threshold_scale = 3.0;
  EXPECT_EQ(plan_fusion_groups(16, repeated(U, 10, 4, {0.1, 0.2, 0.3}), strict).groups[0].kind,
            FusionGroupKind::SparseShareMem);
  FusionOptions always;
  always.densemm_gate_threshold_scale = 0.0;
  EXPECT_EQ(plan_fusion_groups(16, repeated(X, 2, 2), always).groups[0].kind, FusionGroupKind::DenseMM);
  // a controlled gate weighs half
  std::vector<GateOp> controlled;
  for (int i = 0; i < 10; ++i) controlled.push_back(make_gate(U, {i % 3}, {3}, {1}, {0.1, 0.2, 0.3}));
  // 10 * (0.123789 + 0.5) - 4.69128 = 1.55 > 0; with scale 1.4 it is < 0
  EXPECT_EQ(plan_fusion_groups(16, controlled, FusionOptions{}).groups[0].kind, FusionGroupKind::DenseMM);
  FusionOptions scaled;
  scaled.densemm_gate_threshold_scale = 1.4;
  EXPECT_EQ(plan_fusion_groups(16, controlled, scaled).groups[0].kind, FusionGroupKind::SparseShareMem);
}

// ---- planner edge cases ------------------------------------------------------

std::vector<FusionGroupKind> kinds(const FusionPlan& p) {
  std::vector<FusionGroupKind> out;
  for (const FusionGroup& g : p.groups) out.push_back(g.kind);
  return out;
}

std::vector<std::vector<uint64_t>> members(const FusionPlan& p) {
  std::vector<std::vector<uint64_t>> out;
  for (const FusionGroup& g : p.groups) out.push_back(g.gate_indices);
  return out;
}

using Members = std::vector<std::vector<uint64_t>>;

TEST(Planner, UnfusableFirstGateIsAnAutoPairGroupOfItsOwn) {
  GateOp wide = make_gate(UNITARY, {0, 1});
  wide.matrix.assign(16, 0.0);
  wide.matrix_dim = 4;
  wide.has_matrix = true;
  GateOp mismatched = make_gate(X, {0}, {1}, {1});
  mismatched.control_state = {};
  FusionOptions no_swap;
  no_swap.fuse_swap = false;
  const std::vector<std::pair<GateOp, FusionOptions>> cases = {
      {make_gate(GLOBAL_PHASE, {}, {}, {}, {0.1}), FusionOptions{}},
      {wide, FusionOptions{}},
      {make_gate(SWAP, {0, 1}), no_swap},
      {mismatched, FusionOptions{}},
      {make_gate(RX, {0}), FusionOptions{}},  // no angle
  };
  for (const auto& [first, options] : cases) {
    const std::vector<GateOp> gates = {first, make_gate(H, {0}), make_gate(X, {1})};
    const FusionPlan plan = plan_fusion_groups(4, gates, options);
    ASSERT_GE(plan.groups.size(), 2u);
    EXPECT_EQ(plan.groups[0].kind, FusionGroupKind::AutoPair);
    EXPECT_EQ(plan.groups[0].gate_indices, (std::vector<uint64_t>{0}));
    EXPECT_TRUE(plan.groups[0].records.empty());
    EXPECT_EQ(members(plan)[1], (std::vector<uint64_t>{1, 2}));
  }
}

TEST(Planner, NoExaminedGatesOrNoQubitsMeansOneGatePerGroup) {
  const std::vector<GateOp> gates = repeated(H, 5, 2);
  for (const auto& [a, max_gates] : std::vector<std::pair<int, int>>{{10, 0}, {0, 512}, {-3, 512}}) {
    FusionOptions o;
    o.sparsesharemem_qubits = a;
    o.max_gates_per_group = max_gates;
    const FusionPlan plan = plan_fusion_groups(3, gates, o);
    EXPECT_EQ(members(plan), (Members{{0}, {1}, {2}, {3}, {4}}));
    EXPECT_EQ(kinds(plan), std::vector<FusionGroupKind>(5, FusionGroupKind::AutoPair));
    EXPECT_EQ(plan.sparse_record_count, 0u);
  }
  // max_gates_per_group 1: a search sees one gate, which alone is AutoPair
  FusionOptions one;
  one.max_gates_per_group = 1;
  EXPECT_EQ(members(plan_fusion_groups(3, gates, one)), (Members{{0}, {1}, {2}, {3}, {4}}));
}

TEST(Planner, TooWideGateIsRejectedBlocksItsQubitsAndRunsAlone) {
  FusionOptions o;
  o.sparsesharemem_qubits = 2;
  o.pad_sparsesharemem = false;
  // the second CX would join {0, 1} and {2} into three qubits: rejected, and
  // its qubits blocked, so the Z on qubit 1 may not join the first group
  const std::vector<GateOp> gates = {make_gate(H, {0}), make_gate(X, {1}, {0}), make_gate(H, {2}),
                                     make_gate(X, {2}, {1}), make_gate(Z, {1}), make_gate(Z, {3})};
  const FusionPlan plan = plan_fusion_groups(4, gates, o);
  EXPECT_EQ(members(plan), (Members{{0, 1}, {2, 3, 4}, {5}}));
  // with a budget of one qubit, each CX is rejected by every search and ends
  // up alone; the gates on free qubits go ahead of it
  o.sparsesharemem_qubits = 1;
  const FusionPlan narrow = plan_fusion_groups(4, gates, o);
  EXPECT_EQ(members(narrow), (Members{{0}, {2}, {5}, {1}, {3}, {4}}));
  EXPECT_EQ(kinds(narrow), std::vector<FusionGroupKind>(6, FusionGroupKind::AutoPair));
}

TEST(Planner, DisjointRunsMergeIntoOneGroup) {
  FusionOptions o;
  o.sparsesharemem_qubits = 4;
  o.pad_sparsesharemem = false;
  const std::vector<GateOp> gates = {make_gate(H, {0}), make_gate(X, {1}, {0}), make_gate(H, {5}),
                                     make_gate(X, {6}, {5}), make_gate(Z, {6})};
  const FusionPlan plan = plan_fusion_groups(8, gates, o);
  EXPECT_EQ(members(plan), (Members{{0, 1, 2, 3, 4}}));
  EXPECT_EQ(plan.groups[0].active_qubits, (std::vector<int64_t>{0, 1, 5, 6}));
}

TEST(Planner, PaddingFillsFromQubitZeroAndRecordsUseThePaddedList) {
  const std::vector<GateOp> gates = {make_gate(X, {7}, {3}, {0}), make_gate(H, {3})};
  const FusionPlan plan = plan_fusion_groups(12, gates, FusionOptions{});
  ASSERT_EQ(plan.groups.size(), 1u);
  EXPECT_EQ(plan.groups[0].active_qubits, (std::vector<int64_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
  EXPECT_EQ(plan.groups[0].records[0].target, 7);
  EXPECT_EQ(plan.groups[0].records[0].control_mask, 1u << 3);
  EXPECT_EQ(plan.groups[0].records[0].control_value, 0u);
  const FusionPlan small = plan_fusion_groups(5, {make_gate(X, {3}), make_gate(Y, {1})}, FusionOptions{});
  EXPECT_EQ(small.groups[0].active_qubits, (std::vector<int64_t>{0, 1, 2, 3, 4}));
  FusionOptions bare;
  bare.pad_sparsesharemem = false;
  const FusionPlan unpadded = plan_fusion_groups(12, gates, bare);
  EXPECT_EQ(unpadded.groups[0].active_qubits, (std::vector<int64_t>{3, 7}));
  EXPECT_EQ(unpadded.groups[0].records[0].target, 1);
  EXPECT_EQ(unpadded.groups[0].records[1].target, 0);
}

TEST(Planner, DenseMMOnlyBelowTheCircuitSizeAndWithinItsRange) {
  FusionOptions always;
  always.densemm_gate_threshold_scale = 0.0;
  // k = n: a group over every qubit stays SparseShareMem
  EXPECT_EQ(plan_fusion_groups(2, repeated(U, 6, 2, {0.1, 0.2, 0.3}), always).groups[0].kind,
            FusionGroupKind::SparseShareMem);
  EXPECT_EQ(plan_fusion_groups(3, repeated(U, 6, 2, {0.1, 0.2, 0.3}), always).groups[0].kind,
            FusionGroupKind::DenseMM);
  FusionOptions ranged = always;
  ranged.densemm_min_qubits = 3;
  EXPECT_EQ(plan_fusion_groups(6, repeated(U, 6, 2, {0.1, 0.2, 0.3}), ranged).groups[0].kind,
            FusionGroupKind::SparseShareMem);
  ranged.densemm_min_qubits = 1;
  ranged.densemm_max_qubits = 1;
  EXPECT_EQ(plan_fusion_groups(6, repeated(U, 6, 2, {0.1, 0.2, 0.3}), ranged).groups[0].kind,
            FusionGroupKind::SparseShareMem);
  EXPECT_EQ(plan_fusion_groups(6, repeated(U, 6, 1, {0.1, 0.2, 0.3}), ranged).groups[0].kind,
            FusionGroupKind::DenseMM);
}

TEST(Planner, OffsetsCountRecordsAndMatrixElementsInGroupOrder) {
  FusionOptions o;
  o.sparsesharemem_qubits = 2;
  o.pad_sparsesharemem = false;
  o.densemm_gate_threshold_scale = 0.0;
  o.densemm_min_qubits = 2;
  // groups: {0,1} on qubit 0 (k = 1: SparseShareMem), GLOBAL_PHASE, then
  // the largest cluster first: {5,6,7} on qubit 3, {3,4} on qubits {1,2}
  // (k = 2: DenseMM), {8,9} on {4,5}
  const std::vector<GateOp> gates = {make_gate(H, {0}),      make_gate(X, {0}),
                                     make_gate(GLOBAL_PHASE, {}, {}, {}, {0.1}),
                                     make_gate(H, {1}),      make_gate(X, {2}, {1}),
                                     make_gate(H, {3}),      make_gate(Z, {3}),
                                     make_gate(S, {3}),      make_gate(H, {4}),
                                     make_gate(Y, {5}, {4})};
  const FusionPlan plan = plan_fusion_groups(8, gates, o);
  EXPECT_EQ(members(plan), (Members{{0, 1}, {2}, {5, 6, 7}, {3, 4}, {8, 9}}));
  EXPECT_EQ(kinds(plan), (std::vector<FusionGroupKind>{FusionGroupKind::SparseShareMem, FusionGroupKind::AutoPair,
                                                       FusionGroupKind::SparseShareMem, FusionGroupKind::DenseMM,
                                                       FusionGroupKind::DenseMM}));
  EXPECT_EQ(plan.groups[0].sparse_offset, 0u);
  EXPECT_EQ(plan.groups[2].sparse_offset, 2u);
  EXPECT_EQ(plan.sparse_record_count, 5u);
  EXPECT_EQ(plan.groups[3].dense_offset, 0u);
  EXPECT_EQ(plan.groups[4].dense_offset, 16u);
  EXPECT_EQ(plan.dense_element_count, 32u);
  EXPECT_TRUE(plan.groups[0].dense_matrix.empty());
  EXPECT_EQ(plan.groups[3].records.size(), 2u);
  EXPECT_EQ(plan.groups[3].dense_matrix.size(), 16u);
}

// A gate the launchers reject stops the search like an unfusable one: nothing
// after it is grouped ahead of it, so it fails where it would without fusion.
TEST(Planner, GatesTheLaunchersRejectAreNeverFused) {
  const std::vector<GateOp> invalid = {
      make_gate(X, {5}),        make_gate(X, {-1}),        make_gate(X, {0}, {4}),    make_gate(X, {0}, {-2}),
      make_gate(X, {1}, {1}),   make_gate(X, {0}, {1, 1}), make_gate(X, {0}, {1}, {2}),
      make_gate(SWAP, {0, 7}),  make_gate(SWAP, {0, 1}, {1}),
  };
  for (const GateOp& bad : invalid) {
    EXPECT_FALSE(passes_launcher_checks(4, bad));
    const std::vector<GateOp> gates = {make_gate(H, {0}), make_gate(H, {1}), bad, make_gate(H, {2}),
                                       make_gate(H, {3})};
    const FusionPlan plan = plan_fusion_groups(4, gates, FusionOptions{});
    EXPECT_EQ(members(plan), (Members{{0, 1}, {2}, {3, 4}}));
    EXPECT_EQ(plan.groups[1].kind, FusionGroupKind::AutoPair);
  }
  EXPECT_TRUE(passes_launcher_checks(4, make_gate(X, {0}, {3, 2}, {0, 1})));
}

TEST(Planner, SelectFusionGroupSeesOnlyTheRemainingGates) {
  const std::vector<GateOp> gates = {make_gate(H, {0}), make_gate(H, {1}), make_gate(X, {1}, {0})};
  zorvane::UnplannedPositions remaining(3);
  remaining.erase(1);
  EXPECT_EQ(select_fusion_group(2, gates, remaining, 10, 512, true), (std::vector<uint64_t>{0, 2}));
  EXPECT_EQ(select_fusion_group(2, gates, remaining, 10, 1, true), (std::vector<uint64_t>{0}));
}

// ---- records and dense products ---------------------------------------------

// The matrices themselves are checked against the NumPy model by the Python
// suite; here: the parameter order of U, and the gates with no 2x2 form.
TEST(Records, MatricesOfTheFusableGates) {
  Matrix2x2 m;
  const double c = std::cos(0.35), s = std::sin(0.35);
  ASSERT_TRUE(gate_matrix_2x2(make_gate(U, {0}, {}, {}, {0.7, 0.4, -1.1}), m));
  EXPECT_EQ(m[1], cplx(-s * std::cos(-1.1), -s * std::sin(-1.1)));
  EXPECT_EQ(m[3], cplx(c * std::cos(0.4 - 1.1), c * std::sin(0.4 - 1.1)));
  GateOp one = make_gate(UNITARY, {2});
  one.matrix = {1.0, 2.0, cplx(0, 3), 4.0};
  one.matrix_dim = 2;
  ASSERT_TRUE(gate_matrix_2x2(one, m));
  EXPECT_EQ(m, (Matrix2x2{1.0, 2.0, cplx(0, 3), 4.0}));
  EXPECT_FALSE(gate_matrix_2x2(make_gate(X, {0, 1}), m));
  EXPECT_FALSE(gate_matrix_2x2(make_gate(X, {}), m));
  EXPECT_FALSE(gate_matrix_2x2(make_gate(PHASE, {0}, {}, {}, {0.1, 0.2}), m));
  EXPECT_FALSE(gate_matrix_2x2(make_gate(U, {0}, {}, {}, {0.1}), m));
  EXPECT_FALSE(gate_matrix_2x2(make_gate(SWAP, {0}), m));
  EXPECT_FALSE(gate_matrix_2x2(make_gate(GLOBAL_PHASE, {0}, {}, {}, {0.1}), m));
}

TEST(Records, KindsTargetsAndControls) {
  const std::vector<int64_t> active = {1, 4, 6, 9};
  const DeviceMatrixGate<double> rx = make_matrix_gate(make_gate(RX, {6}, {9, 1}, {0, 1}, {0.5}), active);
  EXPECT_EQ(rx.kind, int32_t(MatrixGateKind::RX));
  EXPECT_EQ(rx.target, 2);
  EXPECT_EQ(rx.target2, -1);
  EXPECT_EQ(rx.control_mask, 0b1001u);
  EXPECT_EQ(rx.control_value, 0b0001u);
  // a control state of 2 counts as 0 here
  EXPECT_EQ(make_matrix_gate(make_gate(Z, {4}, {6}, {2}), active).control_value, 0u);
  // the shortcut kinds the kernel relies on
  EXPECT_EQ(make_matrix_gate(make_gate(S, {1}), active).kind, int32_t(MatrixGateKind::Diagonal));
  EXPECT_EQ(make_matrix_gate(make_gate(RY, {1}, {}, {}, {0.2}), active).kind, int32_t(MatrixGateKind::RY));
  EXPECT_EQ(make_matrix_gate(make_gate(SQRTYDAG, {1}), active).kind, int32_t(MatrixGateKind::General));
  const DeviceMatrixGate<double> sw = make_matrix_gate(make_gate(SWAP, {9, 4}, {1}, {1}), active);
  EXPECT_EQ(sw.kind, int32_t(MatrixGateKind::Swap));
  EXPECT_EQ(sw.target, 3);
  EXPECT_EQ(sw.target2, 1);
  EXPECT_EQ(sw.matrix[0].x, 1.0);
  EXPECT_EQ(sw.matrix[1].x, 0.0);
  EXPECT_EQ(sw.matrix[3].x, 1.0);
  auto message = [&](const GateOp& g) { return zorvane_test::error_message([&] { make_matrix_gate(g, active); }); };
  EXPECT_EQ(message(make_gate(SWAP, {4, 4})), "unsupported fused SWAP gate");
  EXPECT_EQ(message(make_gate(SWAP, {4})), "unsupported fused SWAP gate");
  EXPECT_EQ(message(make_gate(GLOBAL_PHASE, {}, {}, {}, {0.1})), "unsupported SparseShareMem gate");
  EXPECT_EQ(message(make_gate(RX, {4})), "unsupported SparseShareMem gate");
}

// The dense product by its definition: G_last .. G_first as full matrices.
std::vector<cplx> dense_of(const GateOp& g, int k) {
  const uint64_t dim = uint64_t{1} << k;
  std::vector<cplx> m(dim * dim, 0.0);
  for (uint64_t c = 0; c < dim; ++c) {
    HostState column(dim, 0.0);
    column[c] = 1.0;
    apply_host(column, g);
    for (uint64_t r = 0; r < dim; ++r) m[r * dim + c] = column[r];
  }
  return m;
}

std::vector<cplx> product(const std::vector<cplx>& a, const std::vector<cplx>& b, uint64_t dim) {
  std::vector<cplx> out(dim * dim, 0.0);
  for (uint64_t r = 0; r < dim; ++r)
    for (uint64_t c = 0; c < dim; ++c)
      for (uint64_t i = 0; i < dim; ++i) out[r * dim + c] += a[r * dim + i] * b[i * dim + c];
  return out;
}

TEST(Records, DenseProductAppliesTheFirstGateFirst) {
  const std::vector<int64_t> active = {0};
  const std::vector<cplx> u = compose_dense_matrix(
      {make_matrix_gate(make_gate(H, {0}), active), make_matrix_gate(make_gate(X, {0}), active)}, 1);
  const double h = 1 / std::sqrt(2.0);
  EXPECT_EQ(u, (std::vector<cplx>{h, -h, h, h}));  // X.H
  std::mt19937_64 rng(5);
  for (int trial = 0; trial < 20; ++trial) {
    const int k = 1 + int(rng() % 4);
    const std::vector<GateOp> gates = random_chunk(k, 12, rng, false);
    std::vector<int64_t> all(k);
    for (int q = 0; q < k; ++q) all[q] = q;
    std::vector<DeviceMatrixGate<double>> records;
    const uint64_t dim = uint64_t{1} << k;
    std::vector<cplx> expected(dim * dim, 0.0);
    for (uint64_t r = 0; r < dim; ++r) expected[r * dim + r] = 1.0;
    for (const GateOp& g : gates) {
      records.push_back(make_matrix_gate(g, all));
      expected = product(dense_of(g, k), expected, dim);
    }
    const std::vector<cplx> got = compose_dense_matrix(records, k);
    for (size_t i = 0; i < got.size(); ++i) ASSERT_LT(std::abs(got[i] - expected[i]), 1e-12) << trial;
  }
}

TEST(Records, SwapPermutesRowsWithoutReadingItsMatrix) {
  const std::vector<int64_t> active = {0, 1, 2};
  DeviceMatrixGate<double> sw = make_matrix_gate(make_gate(SWAP, {0, 2}, {1}, {1}), active);
  sw.matrix[0] = {7.0, 7.0};  // never read
  const std::vector<cplx> u = compose_dense_matrix({sw}, 3);
  // rows 0b011 and 0b110 trade places; every other row stays
  for (uint64_t r = 0; r < 8; ++r) {
    const uint64_t source = r == 3 ? 6 : r == 6 ? 3 : r;
    for (uint64_t c = 0; c < 8; ++c) EXPECT_EQ(u[r * 8 + c], cplx(c == source ? 1.0 : 0.0)) << r << " " << c;
  }
}

// ---- executors on the CPU execution layer ------------------------------------

class Executors : public zorvane_test::LayerTest {};

template <class T>
std::vector<CuComplex<T>> to_device_layout(const HostState& v) {
  std::vector<CuComplex<T>> out(v.size());
  for (size_t i = 0; i < v.size(); ++i) out[i] = CuComplex<T>{T(v[i].real()), T(v[i].imag())};
  return out;
}

double max_difference(const std::vector<CuComplex<double>>& got, const HostState& expected) {
  double worst = 0;
  for (size_t i = 0; i < got.size(); ++i)
    worst = std::max(worst, std::abs(cplx(got[i].x, got[i].y) - expected[i]));
  return worst;
}

// A group of gates on every local target, 0 and 1 included, so that any
// missing barrier lets a thread read a pair another thread has not updated
// yet (or not loaded yet).
std::vector<GateOp> tile_gates(const std::vector<int64_t>& active) {
  std::vector<GateOp> gates;
  for (int round = 0; round < 3; ++round)
    for (size_t j = 0; j < active.size(); ++j) {
      const int64_t t = active[(j * 7 + round) % active.size()], c = active[(j * 3 + 1) % active.size()];
      gates.push_back(make_gate(U, {t}, {}, {}, {0.3 + j, 0.2 * round, 1.1}));
      if (c != t) gates.push_back(make_gate(X, {t}, {c}, {int64_t(j % 2)}));
      const int64_t other = active[(j * 7 + round + 5) % active.size()];
      if (j % 4 == 0 && other != t) gates.push_back(make_gate(SWAP, {t, other}));
      gates.push_back(make_gate(H, {active[(j + round) % active.size()]}));
    }
  return gates;
}

TEST_F(Executors, SparseShareMemKernelWithTheGpuBlockMatchesTheHostModel) {
  const int n = 14;
  const std::vector<int64_t> active = {0, 1, 2, 4, 5, 7, 8, 10, 11, 13};
  const std::vector<GateOp> gates = tile_gates(active);
  HostState expected = random_state(n, 3);
  const std::vector<CuComplex<double>> initial = to_device_layout<double>(expected);
  for (const GateOp& g : gates) apply_host(expected, g);
  std::vector<DeviceMatrixGate<double>> records;
  uint64_t mask = 0;
  for (const int64_t q : active) mask |= uint64_t{1} << q;
  for (const GateOp& g : gates) records.push_back(make_matrix_gate(g, active));
  DeviceArray<DeviceMatrixGate<double>> device_records(records);
  for (const unsigned grid : {16u, 5u}) {  // one tile per block, and a grid-stride loop over 16 tiles
    DeviceArray<CuComplex<double>> state(initial);
    zorvane::launch_kernel(&sparsesharemem_kernel<double>, dim3(grid), dim3(128), (size_t{1} << 10) * 16, nullptr,
                           state.get(), uint64_t{16}, mask, mask ^ ((uint64_t{1} << n) - 1), 10,
                           static_cast<const DeviceMatrixGate<double>*>(device_records.get()),
                           static_cast<int32_t>(records.size()));
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    EXPECT_LT(max_difference(state.host(), expected), 1e-12) << "grid " << grid;
  }
  // the launcher's own geometry
  DeviceArray<CuComplex<double>> state(initial);
  run_sparsesharemem_group<double>(n, state.get(), mask, 10, device_records.get(), int32_t(records.size()), nullptr);
  ASSERT_EQ(cudaGetLastError(), cudaSuccess);
  EXPECT_LT(max_difference(state.host(), expected), 1e-12);
}

TEST_F(Executors, SparseShareMemOneTileAndSinglePairs) {
  for (const int n : {1, 3}) {
    std::vector<int64_t> active(n);
    for (int q = 0; q < n; ++q) active[q] = q;
    std::vector<GateOp> gates = {make_gate(H, {0}), make_gate(RY, {n - 1}, {}, {}, {0.4})};
    if (n >= 2) gates.push_back(make_gate(SWAP, {0, 2}, {1}, {1}));
    HostState expected = random_state(n, 9);
    DeviceArray<CuComplex<float>> state(to_device_layout<float>(expected));
    std::vector<DeviceMatrixGate<float>> records;
    for (const GateOp& g : gates) {
      apply_host(expected, g);
      const DeviceMatrixGate<double> r = make_matrix_gate(g, active);
      DeviceMatrixGate<float> f{r.kind, r.target, r.target2, r.control_mask, r.control_value, {}};
      for (int i = 0; i < 4; ++i) f.matrix[i] = CuComplex<float>{float(r.matrix[i].x), float(r.matrix[i].y)};
      records.push_back(f);
    }
    DeviceArray<DeviceMatrixGate<float>> device_records(records);
    run_sparsesharemem_group<float>(n, state.get(), (uint64_t{1} << n) - 1, n, device_records.get(),
                                    int32_t(records.size()), nullptr);
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    const std::vector<CuComplex<float>> got = state.host();
    for (size_t i = 0; i < got.size(); ++i) EXPECT_LT(std::abs(cplx(got[i].x, got[i].y) - expected[i]), 1e-6);
  }
}

TEST_F(Executors, SparseShareMemShapeChecks) {
  DeviceArray<CuComplex<double>> state(size_t{1} << 12);
  DeviceArray<DeviceMatrixGate<double>> records(1);
  auto run = [&](int64_t n, int32_t k, int32_t count) {
    return zorvane_test::error_message([&] {
      run_sparsesharemem_group<double>(n, state.get(), (uint64_t{1} << k) - 1, k, records.get(), count, nullptr);
    });
  };
  EXPECT_EQ(run(12, 0, 1), "SparseShareMem active qubits must be in [1, 10]");
  EXPECT_EQ(run(12, 11, 1), "SparseShareMem active qubits must be in [1, 10]");
  EXPECT_EQ(run(3, 4, 1), "SparseShareMem active qubits exceed circuit size");
  EXPECT_EQ(run(12, 2, 0), "SparseShareMem group cannot be empty");
}

TEST_F(Executors, DenseMMGroupAppliesItsMatrixToEverySlice) {
  const int n = 9;
  for (const std::vector<int64_t>& active : {std::vector<int64_t>{0, 1, 2}, std::vector<int64_t>{1, 5, 8},
                                             std::vector<int64_t>{8}, std::vector<int64_t>{0, 1, 2, 3, 4, 5, 6, 7}}) {
    std::mt19937_64 rng(active.size());
    const int k = int(active.size());
    std::vector<GateOp> gates = random_chunk(k, 10, rng, false);
    std::vector<int64_t> local(k);
    for (int q = 0; q < k; ++q) local[q] = q;
    std::vector<DeviceMatrixGate<double>> records;
    for (const GateOp& g : gates) records.push_back(make_matrix_gate(g, local));
    const std::vector<cplx> u = compose_dense_matrix(records, k);
    // the same gates on the global qubits
    HostState expected = random_state(n, 4);
    DeviceArray<CuComplex<double>> state(to_device_layout<double>(expected));
    for (GateOp g : gates) {
      for (int64_t& q : g.targets) q = active[q];
      for (int64_t& q : g.controls) q = active[q];
      apply_host(expected, g);
    }
    std::vector<CuComplex<double>> matrix(u.size());
    for (size_t i = 0; i < u.size(); ++i) matrix[i] = {u[i].real(), u[i].imag()};
    DeviceArray<CuComplex<double>> device_matrix(matrix);
    DeviceArray<CuComplex<double>> transpose(size_t{1} << n), gemm(size_t{1} << n);
    cublasHandle_t handle = nullptr;
    ASSERT_EQ(cublasCreate(&handle), CUBLAS_STATUS_SUCCESS);
    uint64_t mask = 0;
    for (const int64_t q : active) mask |= uint64_t{1} << q;
    run_densemm_group<double>(handle, n, state.get(), transpose.get(), gemm.get(), mask, k, device_matrix.get(),
                              nullptr);
    cublasDestroy(handle);
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    EXPECT_LT(max_difference(state.host(), expected), 1e-12) << k;
  }
}

TEST_F(Executors, DenseMMRejectsNoQubitsAndAllQubits) {
  DeviceArray<CuComplex<double>> state(16), scratch(16), matrix(256);
  for (const int32_t k : {0, 4, 5}) {
    EXPECT_EQ(zorvane_test::error_message([&] {
                run_densemm_group<double>(nullptr, 4, state.get(), scratch.get(), scratch.get(), 0xf, k, matrix.get(),
                                          nullptr);
              }),
              "DenseMM active qubits must be in [1, n-1]");
  }
}

// The cache of a fresh thread, so that the test sees it from its first use.
template <class F>
void on_fresh_thread(F&& f) {
  std::exception_ptr failure;
  std::thread([&] {
    try {
      f();
    } catch (...) {
      failure = std::current_exception();
    }
  }).join();
  if (failure) std::rethrow_exception(failure);
}

using zorvane_test::error_message;
using zorvane_test::live_bytes_on;

TEST_F(Executors, DenseMMCacheGrowsMovesAndIsReleasedAtThreadExit) {
  cpu_layer::set_device_count(2);
  const uint64_t before0 = live_bytes_on(0), before1 = live_bytes_on(1);
  on_fresh_thread([&] {
    DenseMMCache<double>& cache = densemm_cache<double>();
    EXPECT_EQ(cache.device, -1);
    cache.ensure(1 << 10);
    EXPECT_EQ(cache.capacity, 1u << 10);
    EXPECT_EQ(live_bytes_on(0) - before0, 2u << 14);
    CuComplex<double>* first = cache.transpose_buffer;
    cache.ensure(1 << 12);
    EXPECT_EQ(cache.capacity, 1u << 12);
    EXPECT_EQ(live_bytes_on(0) - before0, 2u << 16);
    cache.ensure(1 << 8);  // reused, never shrunk
    EXPECT_EQ(cache.capacity, 1u << 12);
    EXPECT_NE(cache.transpose_buffer, nullptr);
    (void)first;
    ASSERT_EQ(cudaSetDevice(1), cudaSuccess);
    cache.ensure(1 << 9);
    EXPECT_EQ(cache.device, 1);
    EXPECT_EQ(cache.capacity, 1u << 9);
    EXPECT_EQ(live_bytes_on(0), before0);
    EXPECT_EQ(live_bytes_on(1) - before1, 2u << 13);
    int current = -1;
    cudaGetDevice(&current);
    EXPECT_EQ(current, 1);
    // the float cache is a separate instance
    EXPECT_EQ(densemm_cache<float>().device, -1);
  });
  EXPECT_EQ(live_bytes_on(0), before0);
  EXPECT_EQ(live_bytes_on(1), before1);
}

TEST_F(Executors, DenseMMCacheStaysConsistentAfterFailures) {
  const uint64_t before = live_bytes_on(0);
  on_fresh_thread([&] {
    DenseMMCache<float>& cache = densemm_cache<float>();
    cpu_layer::inject_fault(cpu_layer::FaultKind::cublas_create, 1, cudaSuccess);
    EXPECT_EQ(zorvane_test::error_message([&] { cache.ensure(64); }), "cublasCreate DenseMM cache failed");
    EXPECT_EQ(cache.handle, nullptr);
    cache.ensure(64);
    EXPECT_EQ(cache.capacity, 64u);
    // the second buffer fails while growing: neither buffer nor the old
    // capacity stays claimed
    cpu_layer::inject_fault(cpu_layer::FaultKind::allocation, 2, cudaSuccess);
    EXPECT_EQ(zorvane_test::error_message([&] { cache.ensure(256); }), "cudaMalloc cached DenseMM GEMM buffer: out of memory");
    EXPECT_EQ(cache.capacity, 0u);
    EXPECT_EQ(cache.transpose_buffer, nullptr);
    EXPECT_EQ(cache.gemm_buffer, nullptr);
    EXPECT_EQ(live_bytes_on(0), before);
    cpu_layer::inject_fault(cpu_layer::FaultKind::allocation, 1, cudaSuccess);
    EXPECT_EQ(zorvane_test::error_message([&] { cache.ensure(256); }),
              "cudaMalloc cached DenseMM transpose buffer: out of memory");
    EXPECT_EQ(cache.capacity, 0u);
    cache.ensure(256);
    EXPECT_EQ(cache.capacity, 256u);
    EXPECT_EQ(live_bytes_on(0) - before, 2u * 256 * 8);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
  });
  EXPECT_EQ(live_bytes_on(0), before);
}

}  // namespace
}  // namespace fusion
}  // namespace stavex
