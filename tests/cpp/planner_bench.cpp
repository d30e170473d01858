// Planning cost: plan_fusion_groups on a layered random circuit of 100,000
// gates on 30 qubits (a random one-qubit gate on every qubit, then a CX or CZ
// on each pair of a random pairing, per layer), default options. Prints the
// median time per gate and the plan's shape.
#include <cstdio>
#include <numeric>
#include <random>
#include <vector>

#include "bench_timing.h"
#include "fusion/fusion.h"

int main(int argc, char** argv) {
  using namespace stavex;
  const int n = 30;
  const size_t count = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100000;
  std::mt19937_64 rng(1);
  std::uniform_real_distribution<double> angle(-3.14, 3.14);
  const GateId fixed[] = {H, X, Y, Z, S, SDAG, SQRTX, SQRTXDAG, SQRTY};
  const GateId rotations[] = {RX, RY, RZ, PHASE};
  std::vector<GateOp> gates;
  while (gates.size() < count) {
    for (int q = 0; q < n && gates.size() < count; ++q) {
      GateOp g;
      g.targets.push_back(q);
      switch (rng() % 3) {
        case 0: g.id = fixed[rng() % 9]; break;
        case 1: g.id = rotations[rng() % 4]; g.params = {angle(rng)}; break;
        default: g.id = U; g.params = {angle(rng), angle(rng), angle(rng)}; break;
      }
      gates.push_back(g);
    }
    std::vector<int64_t> order(n);
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), rng);
    for (int i = 0; i + 1 < n && gates.size() < count; i += 2) {
      GateOp g;
      g.id = rng() % 2 ? X : Z;
      g.targets.push_back(order[i + 1]);
      g.controls.push_back(order[i]);
      g.control_state.push_back(1);
      gates.push_back(g);
    }
  }
  fusion::FusionPlan plan;
  const double ms = zorvane_bench::median_ms(5, [&] { plan = fusion::plan_fusion_groups(n, gates, {}); });
  size_t kinds[3] = {0, 0, 0};
  for (const auto& g : plan.groups) ++kinds[static_cast<int>(g.kind)];
  std::printf("plan_fusion_groups, %zu gates on %d qubits: %.1f ms, %.3f us/gate; %zu groups "
              "(%zu AutoPair, %zu SparseShareMem, %zu DenseMM)\n",
              gates.size(), n, ms, ms * 1e3 / double(gates.size()), plan.groups.size(), kinds[0], kinds[1], kinds[2]);
  return 0;
}
