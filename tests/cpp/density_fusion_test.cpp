// Density fusion on the host: the plan of random operation lists (a
// partition that keeps the list's order on every qubit, group kinds by size),
// the cases that stop or shape a group, operations that cannot be a record,
// and the shared-memory kernel, whose result must not depend on how tiles and
// their 2 × 2 blocks are spread over blocks and threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "density_fusion.h"
#include "density_sparsesharemem.h"
#include "density_test_support.h"
#include "test_support.h"
#include "zorvane/launch.h"

namespace zorvane::plexar {
namespace {

DensityOperation controlled(const std::string& name, int64_t target, std::vector<int64_t> controls,
                            std::vector<int64_t> states, std::vector<double> params = {}) {
  DensityOperation op = named(name, {target}, std::move(params));
  op.controls = std::move(controls);
  op.control_state = std::move(states);
  return op;
}

DensityOperation stored(std::vector<int64_t> targets, std::vector<C> matrix) {
  DensityOperation op = named("unitary", std::move(targets));
  op.has_stored_matrix = true;
  op.stored_matrix = std::move(matrix);
  return op;
}

// A Kraus set that is no built-in channel.
DensityOperation general_kraus(std::vector<int64_t> targets) {
  const size_t d = size_t{1} << targets.size();
  std::vector<C> k0(d * d, 0.0), k1(d * d, 0.0);
  for (size_t i = 0; i < d; ++i) k0[i * d + i] = 0.8;
  k1[d - 1] = 0.6;
  return kraus("", {k0, k1}, std::move(targets));
}

std::vector<int64_t> qubits_of(const DensityOperation& op) {
  std::vector<int64_t> q = op.targets;
  q.insert(q.end(), op.controls.begin(), op.controls.end());
  std::sort(q.begin(), q.end());
  return q;
}

bool share_a_qubit(const DensityOperation& a, const DensityOperation& b) {
  for (const int64_t q : qubits_of(a))
    for (const int64_t r : qubits_of(b))
      if (q == r) return true;
  return false;
}

// Distinct qubits below n, `count` of them.
std::vector<int64_t> distinct_qubits(int n, int count, std::mt19937_64& rng) {
  std::vector<int64_t> all(n);
  for (int q = 0; q < n; ++q) all[q] = q;
  std::shuffle(all.begin(), all.end(), rng);
  return {all.begin(), all.begin() + count};
}

// One-target gates (named or stored, up to two controls of either state),
// built-in channels, and what a group cannot take: swaps, general Kraus.
std::vector<DensityOperation> random_operations(int n, int count, std::mt19937_64& rng) {
  const std::vector<std::pair<std::string, size_t>> gates = {
      {"h", 0}, {"x", 0}, {"y", 0}, {"t", 0}, {"rz", 1}, {"p", 1}, {"gp", 1}, {"u", 3}, {"sqrtx", 0}};
  std::vector<DensityOperation> ops;
  for (int i = 0; i < count; ++i) {
    const int roll = int(rng() % 40);
    if (roll == 0) {
      DensityOperation swap = named("swap", distinct_qubits(n, 2, rng));
      ops.push_back(swap);
    } else if (roll == 1) {
      ops.push_back(general_kraus(distinct_qubits(n, 1 + int(rng() % 2), rng)));
    } else if (roll < 12) {
      ops.push_back(standard_channel(1 + int(rng() % 5), 0.15, int64_t(rng() % n)));
    } else {
      const int controls = roll < 30 ? 0 : roll < 37 ? 1 : 2;
      const std::vector<int64_t> q = distinct_qubits(n, 1 + controls, rng);
      std::vector<int64_t> states;
      for (int c = 0; c < controls; ++c) states.push_back(int64_t(rng() % 2));
      if (roll % 4 == 0) {
        DensityOperation op = stored({q[0]}, {0.6, C(0, 0.8), C(0.8, 0), -0.6});
        op.controls.assign(q.begin() + 1, q.end());
        op.control_state = states;
        ops.push_back(op);
      } else {
        const auto& [name, params] = gates[rng() % gates.size()];
        ops.push_back(controlled(name, q[0], {q.begin() + 1, q.end()}, states, std::vector<double>(params, 0.4)));
      }
    }
  }
  return ops;
}

// What every plan must be: each operation in exactly one group, ascending
// within it, groups of the documented kind for their size within the limit,
// and no group holding an operation that an earlier, still unplanned one
// outside it precedes on a shared qubit.
void check_plan(const std::vector<DensityOperation>& ops, const std::vector<DensityFusionGroup>& plan,
                const DensityFusionOptions& options) {
  std::vector<bool> planned(ops.size(), false);
  for (const DensityFusionGroup& g : plan) {
    ASSERT_FALSE(g.op_indices.empty());
    ASSERT_TRUE(std::is_sorted(g.op_indices.begin(), g.op_indices.end()));
    std::set<int64_t> active;
    for (const uint64_t i : g.op_indices) {
      ASSERT_FALSE(planned[i]) << "operation " << i << " planned twice";
      for (const int64_t q : qubits_of(ops[i])) active.insert(q);
      for (uint64_t e = 0; e < i; ++e) {
        if (planned[e] || std::binary_search(g.op_indices.begin(), g.op_indices.end(), e)) continue;
        ASSERT_FALSE(share_a_qubit(ops[e], ops[i])) << "operation " << i << " runs before " << e;
      }
    }
    ASSERT_EQ(g.active_qubits, std::vector<int64_t>(active.begin(), active.end()));
    const size_t k = active.size();
    if (g.op_indices.size() == 1) {
      EXPECT_EQ(g.kind, DensityGroupKind::Single);
    } else {
      for (const uint64_t i : g.op_indices) EXPECT_TRUE(is_density_fusable(ops[i])) << "operation " << i;
      EXPECT_LE(k, size_t(options.max_active_qubits));
      EXPECT_EQ(g.kind, k == 1   ? DensityGroupKind::SingleQubit
                        : k < 4 ? DensityGroupKind::Sequential
                                : DensityGroupKind::SparseShareMem);
    }
    EXPECT_EQ(g.records.size(), g.kind == DensityGroupKind::SparseShareMem ? g.op_indices.size() : 0u);
    for (const uint64_t i : g.op_indices) planned[i] = true;
  }
  ASSERT_TRUE(std::all_of(planned.begin(), planned.end(), [](bool p) { return p; }));
}

TEST(DensityFusionPlan, RandomListsKeepTheOrderAndTheLimits) {
  std::mt19937_64 rng(11);
  for (int64_t n = 5; n <= 12; ++n) {
    for (int trial = 0; trial < 12; ++trial) {
      const std::vector<DensityOperation> ops = random_operations(int(n), 20 + int(rng() % 60), rng);
      const DensityFusionOptions options = density_fusion_options(n);
      const std::vector<DensityFusionGroup> plan = plan_density_fusion(n, ops, options);
      ASSERT_NO_FATAL_FAILURE(check_plan(ops, plan, options)) << "n=" << n << " trial " << trial;
    }
  }
}

TEST(DensityFusionPlan, WhatStopsOrShapesAGroup) {
  const int64_t n = 9;
  const auto plan_of = [&](const std::vector<DensityOperation>& ops) {
    std::vector<std::pair<DensityGroupKind, std::vector<uint64_t>>> out;
    for (const DensityFusionGroup& g : plan_density_fusion(n, ops, density_fusion_options(n)))
      out.emplace_back(g.kind, g.op_indices);
    return out;
  };
  using K = DensityGroupKind;
  using Plan = std::vector<std::pair<K, std::vector<uint64_t>>>;
  const DensityOperation h0 = named("h", {0}), x1 = named("x", {1}), z0 = named("z", {0});
  // A two-target gate or a general Kraus operation ends the search and forms
  // a group of its own; the gate after it is not taken into the first group,
  // though it shares no qubit with the stopper.
  EXPECT_EQ(plan_of({h0, x1, named("swap", {2, 3}), z0}),
            (Plan{{K::Sequential, {0, 1}}, {K::Single, {2}}, {K::Single, {3}}}));
  EXPECT_EQ(plan_of({h0, x1, general_kraus({4}), z0}),
            (Plan{{K::Sequential, {0, 1}}, {K::Single, {2}}, {K::Single, {3}}}));
  // Named after a channel but not that channel: no built-in channel, not fused.
  DensityOperation named_flip = general_kraus({0});
  named_flip.channel_name = "bit_flip";
  EXPECT_EQ(plan_of({h0, named_flip, z0}), (Plan{{K::Single, {0}}, {K::Single, {1}}, {K::Single, {2}}}));
  // A unitary and a built-in channel on one qubit.
  EXPECT_EQ(plan_of({h0, standard_channel(density::BitFlip, 0.1, 0)}), (Plan{{K::SingleQubit, {0, 1}}}));
  // Controls are active qubits: cx(3 → 0) spans two.
  const std::vector<DensityFusionGroup> cx = plan_density_fusion(
      n, {controlled("cx", 0, {3}, {1}), h0}, density_fusion_options(n));
  ASSERT_EQ(cx.size(), 1u);
  EXPECT_EQ(cx[0].active_qubits, (std::vector<int64_t>{0, 3}));
  EXPECT_EQ(cx[0].kind, K::Sequential);
  // Two disjoint runs merge into one shared-memory group.
  const std::vector<DensityOperation> runs = {h0, controlled("rz", 1, {0}, {0}, {0.3}), named("y", {5}),
                                               controlled("x", 7, {5}, {1})};
  UnplannedPositions remaining(runs.size());
  EXPECT_EQ(select_density_group(n, runs, remaining, 5, 1024), (std::vector<uint64_t>{0, 1, 2, 3}));
  EXPECT_EQ(select_density_group(n, runs, remaining, 3, 1024), (std::vector<uint64_t>{0, 1}));
  // One search examines at most max_ops_per_group operations.
  const std::vector<DensityOperation> long_run(1500, h0);
  const std::vector<DensityFusionGroup> chunks = plan_density_fusion(n, long_run, density_fusion_options(n));
  ASSERT_EQ(chunks.size(), 2u);
  EXPECT_EQ(chunks[0].op_indices.size(), 1024u);
  EXPECT_EQ(chunks[1].op_indices.front(), 1024u);
}

// ---- records -----------------------------------------------------------------------

TEST(DensityFusionRecord, OperationsThatCannotBeARecord) {
  const std::vector<int64_t> active = {0, 2, 4, 5};
  const auto message = [&](const DensityOperation& op) {
    return zorvane_test::error_message([&] { make_density_gate(op, active); });
  };
  EXPECT_EQ(message(general_kraus({2})), "fused Kraus is not a built-in channel");
  EXPECT_EQ(message(stored({2}, std::vector<C>(16, 0.5))), "fused unitary must be 2x2");
  EXPECT_EQ(message(named("swap", {2, 4})), "fused unitary must be 2x2");
  EXPECT_EQ(message(controlled("h", 2, {4, 3}, {1, 1})), "control qubit outside active set");
  EXPECT_EQ(message(named("h", {3})), "target qubit outside active set");
}

// ---- the shared-memory kernel --------------------------------------------------------

class DensitySharedMemory : public zorvane_test::LayerTest {};

using Z = CuComplex<double>;

// Records of every kind on every local target, controlled by a local qubit in
// either state where the kind takes controls; channels of every kind.
std::vector<DeviceDensityGate<double>> records_for(int32_t k, std::mt19937_64& rng) {
  std::normal_distribution<double> normal;
  const auto phase = [&] {
    const double a = normal(rng);
    return Z{std::cos(a), std::sin(a)};
  };
  std::vector<DeviceDensityGate<double>> out;
  for (int32_t t = 0; t < k; ++t) {
    for (const DensityGateKind kind : {DensityGateKind::Unitary, DensityGateKind::Diagonal,
                                       DensityGateKind::Permutation, DensityGateKind::Channel}) {
      DeviceDensityGate<double> g{};
      g.kind = int32_t(kind);
      g.target = t;
      g.diag0 = g.diag1 = Z{1, 0};
      switch (kind) {
        case DensityGateKind::Unitary:
          for (Z& m : g.matrix) m = Z{normal(rng), normal(rng)};
          break;
        case DensityGateKind::Diagonal:
          g.diag0 = phase();
          g.diag1 = phase();
          break;
        case DensityGateKind::Permutation: g.permutation_mask = 1u << t; break;
        case DensityGateKind::Channel:
          g.channel_kind = density::kFirstChannelKind + int32_t(rng() % 5);
          g.channel_parameter = 0.3;
          break;
      }
      if (k > 1 && kind != DensityGateKind::Channel && rng() % 3 != 0) {
        const int32_t c = (t + 1 + int32_t(rng() % (k - 1))) % k;
        g.control_mask = 1u << c;
        g.control_values = rng() % 2 ? g.control_mask : 0;
      }
      out.push_back(g);
    }
  }
  std::shuffle(out.begin(), out.end(), rng);
  return out;
}

struct TileCase {
  int n;
  uint64_t active_mask;
};

class DensitySharedMemoryTiles : public DensitySharedMemory, public ::testing::WithParamInterface<TileCase> {};

// One thread of one block cannot race with anything: every other grid and
// block size, the launcher's included, must give exactly its result. A
// barrier missing between the load, the records and the store shows here as a
// difference once a block has two threads or more.
TEST_P(DensitySharedMemoryTiles, EveryGridAndBlockSizeGivesTheSameTiles) {
  const auto [n, active_mask] = GetParam();
  const auto k = int32_t(__builtin_popcountll(active_mask));
  const int32_t m = n - k;
  std::mt19937_64 rng(uint64_t(n) * 131 + active_mask);
  std::normal_distribution<double> normal;
  std::vector<Z> rho(size_t{1} << (2 * n));
  for (Z& x : rho) x = Z{normal(rng), normal(rng)};
  const std::vector<DeviceDensityGate<double>> records = records_for(k, rng);
  const zorvane_test::DeviceArray<DeviceDensityGate<double>> d_records(records);
  const int64_t dimension = int64_t{1} << n;
  const uint64_t tiles = uint64_t{1} << (2 * m), inactive = active_mask ^ ((uint64_t{1} << n) - 1);
  const size_t shared = (size_t{1} << (2 * k)) * sizeof(Z);
  const auto run = [&](unsigned blocks, unsigned threads) {
    zorvane_test::DeviceArray<Z> state(rho);
    launch_kernel(&density_sparsesharemem_kernel<double>, dim3(blocks), dim3(threads), shared, nullptr, state.get(),
                  dimension, tiles, active_mask, inactive, k, m, d_records.get(), int32_t(records.size()));
    check_cuda(cudaGetLastError());
    return state.host();
  };
  const std::vector<Z> reference = run(1, 1);
  const auto same = [&](const std::vector<Z>& out) {
    for (size_t i = 0; i < out.size(); ++i)
      if (out[i].x != reference[i].x || out[i].y != reference[i].y) return false;
    return true;
  };
  for (const unsigned blocks : {1u, 3u, unsigned(std::min<uint64_t>(tiles, 64))})
    for (const unsigned threads : {2u, 4u, 32u, 128u, 256u})
      EXPECT_TRUE(same(run(blocks, threads))) << blocks << " blocks of " << threads << " threads";
  zorvane_test::DeviceArray<Z> state(rho);
  launch_density_sparsesharemem<double>(dimension, state.get(), active_mask, k, d_records.get(),
                                        int32_t(records.size()), nullptr);
  EXPECT_TRUE(same(state.host())) << "launcher";
  EXPECT_FALSE(std::equal(rho.begin(), rho.end(), reference.begin(),
                          [](const Z& a, const Z& b) { return a.x == b.x && a.y == b.y; }));
}

INSTANTIATE_TEST_SUITE_P(Masks, DensitySharedMemoryTiles,
                         ::testing::Values(TileCase{3, 0b010}, TileCase{6, 0b101101}, TileCase{7, 0b1011001},
                                           TileCase{7, 0b1110110}, TileCase{5, 0b11111}),
                         [](const auto& info) {
                           return "n" + std::to_string(info.param.n) + "_active" +
                                  std::to_string(info.param.active_mask);
                         });

TEST_F(DensitySharedMemory, LauncherChecksAndLaunchFailure) {
  zorvane_test::DeviceArray<Z> state(size_t{1} << 8, 0);
  const zorvane_test::DeviceArray<DeviceDensityGate<double>> d_records(2, 0);
  const auto message = [&](int64_t dimension, int32_t k, int32_t count) {
    return zorvane_test::error_message([&] {
      launch_density_sparsesharemem<double>(dimension, state.get(), (uint64_t{1} << k) - 1, k, d_records.get(), count,
                                            nullptr);
    });
  };
  EXPECT_EQ(message(16, 0, 1), "density fusion active qubits must be in [1,5]");
  EXPECT_EQ(message(16, 6, 1), "density fusion active qubits must be in [1,5]");
  EXPECT_EQ(message(16, 4, 0), "fusion group cannot be empty");
  EXPECT_EQ(message(8, 4, 1), "active qubits exceed circuit size");
  cpu_layer::inject_fault(cpu_layer::FaultKind::launch, 1, cudaSuccess);
  EXPECT_EQ(message(16, 4, 2), "density_sparsesharemem kernel launch failed: unspecified launch failure");
  EXPECT_EQ(message(16, 4, 2), "no error");
}

}  // namespace
}  // namespace zorvane::plexar
