// Host-side logic of the state-vector module: control masks, the qubit checks,
// the gate-name table and the PairAuto launch plan.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "control_masks.h"
#include "gate_op.h"
#include "pair_kernels.cuh"
#include "test_support.h"

namespace stavex {
namespace {

using zorvane_test::error_message;

TEST(ControlMasks, EncodeMaskAndValue) {
  const ControlMasks m = make_control_masks({0, 3, 5}, {1, 0, 1});
  EXPECT_EQ(m.mask, 0b101001u);
  EXPECT_EQ(m.value, 0b100001u);
  const ControlMasks none = make_control_masks({}, {});
  EXPECT_EQ(none.mask, 0u);
  EXPECT_EQ(none.value, 0u);
}

TEST(ControlMasks, FirstFailingEntryDecides) {
  EXPECT_EQ(error_message([] { make_control_masks({3}, {}); }), "controls.size() != control_state.size()");
  EXPECT_EQ(error_message([] { make_control_masks({63}, {1}); }), "control qubit index must be in [0, 62]");
  EXPECT_EQ(error_message([] { make_control_masks({-1}, {1}); }), "control qubit index must be in [0, 62]");
  EXPECT_EQ(error_message([] { make_control_masks({1}, {2}); }), "control_state must contain only 0/1");
  // index before state within one entry; earlier entries before later ones
  EXPECT_EQ(error_message([] { make_control_masks({70}, {2}); }), "control qubit index must be in [0, 62]");
  EXPECT_EQ(error_message([] { make_control_masks({1, 70}, {2, 1}); }), "control_state must contain only 0/1");
}

TEST(GateQubits, RangeAndDistinctness) {
  EXPECT_NO_THROW(check_gate_qubits(3, {0, 2}, {1}));
  EXPECT_THROW(check_gate_qubits(3, {3}, {}), std::invalid_argument);
  EXPECT_THROW(check_gate_qubits(3, {-1}, {}), std::invalid_argument);
  EXPECT_THROW(check_gate_qubits(3, {0}, {3}), std::invalid_argument);
  EXPECT_THROW(check_gate_qubits(3, {1, 1}, {}), std::invalid_argument);
  EXPECT_THROW(check_gate_qubits(3, {1}, {1}), std::invalid_argument);
  EXPECT_THROW(check_gate_qubits(3, {0}, {2, 2}), std::invalid_argument);
  // the control lists' own messages come before the qubit checks
  EXPECT_EQ(error_message([] { checked_control_masks(3, {7}, {5}, {2}); }), "control_state must contain only 0/1");
}

TEST(GateNames, TableAndRewrites) {
  const std::vector<std::pair<std::string, GateId>> table = {
      {"mcx", X},  {"cy", Y},      {"cz", Z},     {"mch", H},       {"cs", S},          {"s_dag", SDAG},
      {"sx", SQRTX}, {"sxdg", SQRTXDAG}, {"sqrty", SQRTY}, {"sqrty_dag", SQRTYDAG}, {"swap", SWAP},
      {"mcrx", RX}, {"cry", RY},   {"crz", RZ},   {"p", PHASE},     {"gphase", GLOBAL_PHASE},
      {"u2", U},   {"unitary", UNITARY}};
  for (const auto& [name, id] : table) EXPECT_EQ(gate_id_from_name(name), id) << name;
  EXPECT_EQ(error_message([] { gate_id_from_name("CX"); }), "Unsupported CUDA gate id: CX");
  EXPECT_EQ(error_message([] { gate_id_from_name("t"); }), "Unsupported CUDA gate id: t");

  for (const char* t : {"t", "ct", "mct"}) {
    std::string name = t;
    std::vector<double> params{0.5};
    rewrite_gate_name(name, params);
    EXPECT_EQ(name, "phase");
    EXPECT_EQ(params, (std::vector<double>{0.5, 0.7853981633974483}));
  }
  std::string name = "t_dag";
  std::vector<double> params;
  rewrite_gate_name(name, params);
  EXPECT_EQ(name, "phase");
  EXPECT_EQ(params, std::vector<double>{-0.7853981633974483});
  name = "ct_dag";
  rewrite_gate_name(name, params);
  EXPECT_EQ(name, "ct_dag");
}

TEST(PairLaunchPlan, PicksVariantCountAndMasks) {
  // n = 5, target 2, controls [0, 3] with states [1, 0].
  const PairLaunchPlan compact = plan_pair_launch(5, 2, {0, 3}, {1, 0}, PairAuto);
  EXPECT_EQ(compact.variant, PairVariant::compact);
  EXPECT_EQ(compact.count, 4u);
  EXPECT_EQ(compact.insert_mask, 13u);
  EXPECT_EQ(compact.control_value, 1u);
  EXPECT_EQ(compact.blocks, 1u);
  std::vector<uint64_t> pairs;
  for (uint64_t t = 0; t < compact.count; ++t)
    pairs.push_back(zorvane::insert_zero_bits(t, compact.insert_mask) | compact.control_value);
  EXPECT_EQ(pairs, (std::vector<uint64_t>{1, 3, 17, 19}));

  EXPECT_EQ(plan_pair_launch(5, 0, {3}, {1}, PairAuto).variant, PairVariant::target0_compact);
  EXPECT_EQ(plan_pair_launch(5, 0, {}, {}, PairAuto).variant, PairVariant::target0_no_control);
  const PairLaunchPlan no_control = plan_pair_launch(20, 7, {}, {}, PairAuto);
  EXPECT_EQ(no_control.variant, PairVariant::no_control);
  EXPECT_EQ(no_control.count, 1u << 19);
  EXPECT_EQ(no_control.blocks, (1u << 19) / 256);

  const PairLaunchPlan all_state = plan_pair_launch(20, 7, {1}, {1}, AllState);
  EXPECT_EQ(all_state.variant, PairVariant::all_state);
  EXPECT_EQ(all_state.blocks, (1u << 20) / 256);
  for (int32_t mode : {1, 3, 7, -1}) {
    const PairLaunchPlan pair = plan_pair_launch(1, 0, {}, {}, mode);
    EXPECT_EQ(pair.variant, PairVariant::pair) << mode;
    EXPECT_EQ(pair.blocks, 1u);
  }
}

}  // namespace
}  // namespace stavex
