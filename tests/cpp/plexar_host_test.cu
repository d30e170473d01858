// Host-side logic of the density module: gate aliases, single-precision named
// matrices, the fusion switch, the split of indices into groups and
// sub-indices, the recognition of built-in channels, and the fused
// unitary-channel pass (which only density fusion launches) against a host
// computation from its definition.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "density_index.cuh"
#include "density_test_support.h"
#include "named_operations.h"
#include "plexar_kraus.h"
#include "plexar_unitary.h"
#include "run_density.h"
#include "test_support.h"

namespace zorvane::plexar {
namespace {

TEST(NamedOperations, Aliases) {
  const std::vector<std::pair<std::string, std::string>> table = {
      {"cx", "x"},   {"cnot", "x"},  {"mcx", "x"},   {"cy", "y"},      {"mcz", "z"},          {"ch", "h"},
      {"mcs", "s"},  {"cp", "p"},    {"mcrx", "rx"}, {"cry", "ry"},    {"crz", "rz"},         {"gphase", "gp"},
      {"global_phase", "gp"}, {"xyarb", "rxy"}, {"cgp", "cgp"}, {"CX", "CX"}, {"sx", "sx"}, {"u3", "u3"}};
  for (const auto& [given, canonical] : table) EXPECT_EQ(canonical_gate_name(given), canonical) << given;
}

TEST(NamedOperations, SinglePrecisionConstants) {
  const auto h = named_gate_matrix<float>(named("h", {0}));
  EXPECT_EQ(h[0].x, 0.70710677f);
  EXPECT_EQ(h[3].x, -0.70710677f);
  float s, c;
  sincosf(static_cast<float>(M_PI) / 4.0f, &s, &c);
  const auto t = diagonal_form<float>(named("t", {0}));
  ASSERT_TRUE(t.has_value());
  EXPECT_EQ(t->d1.x, c);
  EXPECT_EQ(t->d1.y, s);
  // The angle is rounded to float before the half angle is taken.
  const double theta = 0.1 + 1e-12;
  sincosf(static_cast<float>(theta) / 2.0f, &s, &c);
  const auto rx = named_gate_matrix<float>(named("rx", {0}, {theta}));
  EXPECT_EQ(rx[0].x, c);
  EXPECT_EQ(rx[1].y, -s);
}

TEST(NamedOperations, FormsChosen) {
  EXPECT_TRUE(diagonal_form<double>(named("gp", {0, 1}, {1.0, 2.0}))->is_identity);
  EXPECT_FALSE(diagonal_form<double>(named("h", {0})).has_value());
  EXPECT_FALSE(diagonal_form<double>(named("z", {0, 1})).has_value());
  const auto swap = permutation_form(named("swap", {3, 1}));
  ASSERT_TRUE(swap.has_value());
  EXPECT_EQ(swap->mask, 0b1010u);
  EXPECT_TRUE(swap->is_swap);
  EXPECT_FALSE(permutation_form(named("x", {0, 1})).has_value());
  EXPECT_FALSE(permutation_form(named("swap", {1})).has_value());
}

TEST(FusionSwitch, SetNonEmptyAndNotStartingWithZero) {
  const std::vector<std::pair<const char*, bool>> cases = {
      {"1", true}, {"yes", true}, {"off", true}, {" 0", true}, {"", false}, {"0", false}, {"0x", false}};
  for (const auto& [value, expected] : cases) {
    setenv("ZORVANE_DENSITY_FUSION", value, 1);
    EXPECT_EQ(density_fusion_requested(), expected) << "'" << value << "'";
  }
  unsetenv("ZORVANE_DENSITY_FUSION");
  EXPECT_FALSE(density_fusion_requested());
}

// base(g) by its definition: bit j of g placed at others[j].
uint64_t base_by_definition(uint64_t g, const DeviceTargets& t) {
  uint64_t base = 0;
  for (int64_t j = 0; j < t.other_count; ++j)
    if ((g >> j) & 1u) base |= uint64_t{1} << t.others[j];
  return base;
}

// Every index of an n-qubit matrix is base(g) | offset(s) for exactly one pair,
// with base as defined over the others and offset placing bit j at targets[j].
template <int K>
void check_layout(uint64_t n, const std::vector<int64_t>& targets) {
  const DeviceTargets t = make_device_targets(targets, n);
  ASSERT_EQ(t.count, K);
  ASSERT_EQ(t.other_count, static_cast<int64_t>(n) - K);
  const TargetLayout<K> layout(int64_t{1} << n, t);
  ASSERT_EQ(layout.groups, uint32_t{1} << (n - K));
  std::vector<int> hits(size_t{1} << n, 0);
  for (uint32_t g = 0; g < layout.groups; ++g) {
    const uint64_t base = group_base(g, layout.mask);
    ASSERT_EQ(base, base_by_definition(g, t)) << "n=" << n << " g=" << g;
    ASSERT_EQ(layout.row_base(g << layout.shift), base);
    ASSERT_EQ(layout.column_base(g), base);
    for (uint32_t s = 0; s < (uint32_t{1} << K); ++s) {
      for (int j = 0; j < K; ++j) ASSERT_EQ((layout.offset[s] >> targets[j]) & 1u, (s >> j) & 1u);
      ++hits[base | layout.offset[s]];
    }
  }
  for (const int h : hits) ASSERT_EQ(h, 1);
}

TEST(DensityIndex, GroupsAndSubIndicesCoverEveryIndexOnce) {
  check_layout<1>(1, {0});
  check_layout<1>(4, {2});
  check_layout<2>(5, {4, 0});
  check_layout<3>(6, {1, 5, 3});
  check_layout<3>(15, {14, 0, 7});
  check_layout<6>(7, {6, 0, 3, 1, 5, 2});
  check_layout<6>(15, {9, 2, 14, 0, 11, 5});
}

// ---- built-in channels ---------------------------------------------------------

TEST(BuiltinChannel, StandardFormsAndTheirParameters) {
  const double p = 0.3, q = std::sqrt(p / 4);
  const double a = std::sqrt(1 - p);
  const std::vector<std::tuple<std::string, std::vector<std::vector<C>>, int32_t>> cases = {
      {"bit_flip", bit_flip(p), density::BitFlip},
      {"phase_flip", {{a, 0, 0, a}, {std::sqrt(p), 0, 0, -std::sqrt(p)}}, density::PhaseFlip},
      {"depolarizing",
       {{std::sqrt(1 - 3 * p / 4), 0, 0, std::sqrt(1 - 3 * p / 4)}, {0, q, q, 0}, {0, -q * I, q * I, 0}, {q, 0, 0, -q}},
       density::Depolarizing},
      {"amplitude_damping", {{1, 0, 0, a}, {0, std::sqrt(p), 0, 0}}, density::AmplitudeDamping},
      {"phase_damping", {{a, 0, 0, a}, {std::sqrt(p), 0, 0, 0}, {0, 0, 0, std::sqrt(p)}}, density::PhaseDamping},
  };
  for (const auto& [name, matrices, kind] : cases) {
    const auto channel = builtin_channel(kraus(name, matrices));
    ASSERT_TRUE(channel.has_value()) << name;
    EXPECT_EQ(channel->kind, kind);
    EXPECT_NEAR(channel->parameter, p, 1e-15) << name;
  }
}

TEST(BuiltinChannel, OnlyWhenTheMatricesAreThatChannel) {
  const double p = 0.2;
  // Read as bit flip with p = 0, defined as a bit flip with p.
  const DensityOperation phased = kraus("bit_flip", {{std::sqrt(1 - p), 0, 0, std::sqrt(1 - p)},
                                                     {0, I * std::sqrt(p), I * std::sqrt(p), 0}});
  ASSERT_TRUE(named_channel(phased).has_value());
  EXPECT_EQ(named_channel(phased)->parameter, 0.0);
  EXPECT_FALSE(builtin_channel(phased).has_value());
  // Entries off by far less than the tolerance still match; off by more do not.
  for (const auto& [delta, recognised] : {std::pair{1e-12, true}, std::pair{1e-7, false}}) {
    auto matrices = bit_flip(p);
    matrices[0][3] += delta;
    EXPECT_EQ(builtin_channel(kraus("bit_flip", matrices)).has_value(), recognised) << delta;
  }
  // A parameter outside [0, 1] defines no channel the matrices can match.
  EXPECT_FALSE(builtin_channel(kraus("amplitude_damping", {{1, 0, 0, 0}, {0, 2, 0, 0}})).has_value());
  EXPECT_FALSE(channel_matches_matrices(kraus("bit_flip", bit_flip(p)), 0, p));
  EXPECT_FALSE(channel_matches_matrices(kraus("bit_flip", bit_flip(p)), 6, p));
}

// ---- the fused unitary-channel pass --------------------------------------------

class UnitaryChannel : public zorvane_test::LayerTest {};

// Σ_K (K·U) ρ (K·U)† on qubit `target` of an n-qubit ρ, from the definition.
std::vector<C> reference(const std::vector<C>& rho, uint64_t n, int target, const std::vector<C>& u,
                         const std::vector<std::vector<C>>& operators) {
  const uint64_t dim = uint64_t{1} << n, tb = uint64_t{1} << target;
  std::vector<C> out(rho.size(), 0.0);
  for (const auto& k : operators) {
    const C ku[4] = {k[0] * u[0] + k[1] * u[2], k[0] * u[1] + k[1] * u[3], k[2] * u[0] + k[3] * u[2],
                     k[2] * u[1] + k[3] * u[3]};
    for (uint64_t r = 0; r < dim; ++r)
      for (uint64_t c = 0; c < dim; ++c)
        for (int a = 0; a < 2; ++a)
          for (int b = 0; b < 2; ++b) {
            const uint64_t r2 = (r & ~tb) | (a ? tb : 0), c2 = (c & ~tb) | (b ? tb : 0);
            const int ra = (r & tb) ? 1 : 0, cb = (c & tb) ? 1 : 0;
            out[r * dim + c] += ku[2 * ra + a] * rho[r2 * dim + c2] * std::conj(ku[2 * cb + b]);
          }
  }
  return out;
}

TEST_F(UnitaryChannel, EqualsTheUnitaryThenTheChannelInOnePass) {
  const uint64_t n = 4;
  const int target = 2;
  std::mt19937_64 engine(7);
  std::normal_distribution<double> normal;
  std::vector<C> rho(size_t{1} << (2 * n)), u(4);
  for (auto& x : rho) x = C(normal(engine), normal(engine));
  for (auto& x : u) x = C(normal(engine), normal(engine));
  using T = CuComplex<double>;
  std::vector<T> host(rho.size()), unitary(4);
  for (size_t i = 0; i < rho.size(); ++i) host[i] = T{rho[i].real(), rho[i].imag()};
  for (size_t i = 0; i < 4; ++i) unitary[i] = T{u[i].real(), u[i].imag()};
  const DeviceTargets targets = make_device_targets({target}, n);
  const zorvane_test::DeviceArray<T> d_unitary(unitary);
  const auto dimension = int64_t{1} << n;
  for (int32_t kind = density::kFirstChannelKind; kind <= density::kLastChannelKind; ++kind) {
    const double p = 0.35;
    zorvane_test::DeviceArray<T> fused(host), split(host);
    launch_density_unitary_channel<double>(fused.get(), dimension, targets, d_unitary.get(), kind, p, nullptr);
    launch_density_unitary<double>(split.get(), dimension, targets, 0, 0, d_unitary.get(), nullptr);
    launch_density_channel<double>(split.get(), dimension, uint64_t{1} << target, kind, p, nullptr);
    const std::vector<T> a = fused.host(), b = split.host();
    const std::vector<C> expected = reference(rho, n, target, u, kraus_operators(kind, p));
    for (size_t i = 0; i < a.size(); ++i) {
      ASSERT_EQ(a[i].x, b[i].x) << "kind " << kind << " element " << i;
      ASSERT_EQ(a[i].y, b[i].y) << "kind " << kind << " element " << i;
      ASSERT_NEAR(std::abs(C(a[i].x, a[i].y) - expected[i]), 0.0, 1e-12) << "kind " << kind << " element " << i;
    }
  }
  zorvane_test::DeviceArray<T> state(host);
  EXPECT_THROW(launch_density_unitary_channel<double>(state.get(), dimension, targets, d_unitary.get(), 0, 0.1,
                                                      nullptr),
               std::runtime_error);
}

}  // namespace
}  // namespace zorvane::plexar
