// The fusion planner and the fused gate records. See fusion.h.
#include "fusion.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <stdexcept>

namespace stavex {
namespace fusion {

namespace {

using cplx = std::complex<double>;

// e^{ix} of modulus r.
cplx polar_entry(double r, double x) { return cplx(r * std::cos(x), r * std::sin(x)); }

bool has_params(const GateOp& gate, size_t count) { return gate.params.size() == count; }

uint64_t qubit_bit(int64_t q) { return uint64_t{1} << q; }

// Local index of `qubit` in the ascending active list.
int32_t local_index(const std::vector<int64_t>& active, int64_t qubit) {
  const auto it = std::lower_bound(active.begin(), active.end(), qubit);
  if (it == active.end() || *it != qubit) throw std::logic_error("fused gate qubit outside the group's active qubits");
  return static_cast<int32_t>(it - active.begin());
}

// Local bit j as a 32-bit mask; a group of more than 32 active qubits is
// rejected by both executors, so its records are never used.
uint32_t local_bit(int32_t j) { return j < 32 ? uint32_t{1} << j : 0u; }

zorvane::CuComplex<double> to_cu(cplx v) { return {v.real(), v.imag()}; }

// The shared-memory kernel's cost of one gate by class.
double gate_weight(const FusionCostEntry& c, GateId id) {
  switch (id) {
    case X: return c.w_x;
    case Y: return c.w_y;
    case H: return c.w_h;
    case Z: case S: case SDAG: case RZ: case PHASE: return c.w_diagonal;
    case RX: case RY: return c.w_rxry;
    case SWAP: return c.w_swap;
    default: return c.w_general;
  }
}

// per_gate, w_h, w_diagonal, w_rxry, densemm_cost for the breakpoints
// n = 14, 16, .. 24 and k = 1 .. 7; w_x = w_y = w_swap = 0, w_general = 1.
constexpr int kBreakpoints[6] = {14, 16, 18, 20, 22, 24};
constexpr double kCostTable[6 * 7][5] = {
    {0.226731, 0.466307, 0.430563, 0.412654, 19.2042},  // n = 14, k = 1
    {0.193645, 0.434831, 0.363033, 0.366531, 8.57374},  // n = 14, k = 2
    {0.143146, 0.281313, 0.427243, 0.393791, 6.83511},  // n = 14, k = 3
    {0.12946, 0.441877, 0.412439, 0.435529, 6.59724},  // n = 14, k = 4
    {0.123704, 0.458321, 0.460926, 0.360709, 9.0576},  // n = 14, k = 5
    {0.113404, 0.420024, 0.409683, 0.416948, 13.7868},  // n = 14, k = 6
    {0.14391, 0.423665, 0.428088, 0.403621, 37.7537},  // n = 14, k = 7
    {0.249954, 0.432777, 0.415995, 0.42575, 57.635},  // n = 16, k = 1
    {0.193524, 0.445612, 0.412573, 0.423593, 25.1802},  // n = 16, k = 2
    {0.144977, 0.403771, 0.378061, 0.385778, 10.8604},  // n = 16, k = 3
    {0.123789, 0.396067, 0.383706, 0.400618, 4.69128},  // n = 16, k = 4
    {0.119769, 0.408121, 0.371224, 0.440261, 8.26338},  // n = 16, k = 5
    {0.136221, 0.431739, 0.377755, 0.419493, 16.1693},  // n = 16, k = 6
    {0.164963, 0.480164, 0.43174, 0.428929, 41.3435},  // n = 16, k = 7
    {0.0623577, 0.404819, 0.362952, 0.372937, 49.9309},  // n = 18, k = 1
    {0.0703648, 0.390615, 0.371842, 0.330794, 22.307},  // n = 18, k = 2
    {0.0561787, 0.416528, 0.379668, 0.366254, 9.17433},  // n = 18, k = 3
    {0.0273215, 0.380515, 0.319301, 0.431787, 4.1132},  // n = 18, k = 4
    {0.0502082, 0.389537, 0.333207, 0.368674, 8.13249},  // n = 18, k = 5
    {0.0329637, 0.405135, 0.383522, 0.347231, 13.8599},  // n = 18, k = 6
    {0.0358003, 0.394322, 0.334875, 0.344446, 38.9742},  // n = 18, k = 7
    {0.0822501, 0.38547, 0.356587, 0.358861, 64.7909},  // n = 20, k = 1
    {0.069664, 0.381008, 0.343694, 0.364551, 26.2292},  // n = 20, k = 2
    {0.0313967, 0.359415, 0.346504, 0.372276, 9.72764},  // n = 20, k = 3
    {0.0355985, 0.455746, 0.400289, 0.397565, 5.3611},  // n = 20, k = 4
    {0.0355786, 0.428264, 0.386027, 0.388641, 8.52963},  // n = 20, k = 5
    {0.0230713, 0.409577, 0.363801, 0.365335, 15.0465},  // n = 20, k = 6
    {0.0328167, 0.398151, 0.383352, 0.380574, 40.3674},  // n = 20, k = 7
    {0.0386909, 0.408201, 0.379014, 0.36822, 65.1874},  // n = 22, k = 1
    {0.0563004, 0.395263, 0.352386, 0.362983, 27.3038},  // n = 22, k = 2
    {0.0396925, 0.413164, 0.371822, 0.38104, 12.8583},  // n = 22, k = 3
    {0.0360904, 0.375184, 0.380379, 0.388316, 6.14949},  // n = 22, k = 4
    {0.0325546, 0.378395, 0.368989, 0.359025, 8.63921},  // n = 22, k = 5
    {0.0385666, 0.415288, 0.38431, 0.346244, 16.3773},  // n = 22, k = 6
    {0.0340686, 0.378889, 0.348445, 0.337714, 48.1269},  // n = 22, k = 7
    {0.0646316, 0.393593, 0.365076, 0.362583, 69.7297},  // n = 24, k = 1
    {0.0412031, 0.39046, 0.38106, 0.372686, 28.4555},  // n = 24, k = 2
    {0.0417508, 0.334504, 0.336933, 0.345105, 12.7023},  // n = 24, k = 3
    {0.0271617, 0.396762, 0.356632, 0.373932, 5.55046},  // n = 24, k = 4
    {0.0542495, 0.322803, 0.350126, 0.363823, 10.2329},  // n = 24, k = 5
    {0.0307375, 0.436838, 0.36591, 0.369995, 16.1127},  // n = 24, k = 6
    {0.0391713, 0.40054, 0.351164, 0.367068, 45.1368},  // n = 24, k = 7
};

FusionCostEntry table_entry(int breakpoint, int64_t k) {
  const double* e = kCostTable[breakpoint * 7 + (k - 1)];
  return FusionCostEntry{e[0], 0.0, 0.0, e[1], e[2], e[3], 1.0, 0.0, e[4]};
}

// How the group search sees one gate.
zorvane::ClusterOpQubits search_view(int64_t n, const GateOp& gate, bool fuse_swap) {
  zorvane::ClusterOpQubits v;
  v.fusable = is_fusable(gate, fuse_swap) && passes_launcher_checks(n, gate);
  if (!v.fusable) return v;
  for (const int64_t q : gate.targets) v.mask |= qubit_bit(q);
  for (const int64_t q : gate.controls) v.mask |= qubit_bit(q);
  return v;
}

void add_qubits(std::vector<int64_t>& active, const GateOp& gate) {
  active.insert(active.end(), gate.targets.begin(), gate.targets.end());
  active.insert(active.end(), gate.controls.begin(), gate.controls.end());
}

void sort_unique(std::vector<int64_t>& v) {
  std::sort(v.begin(), v.end());
  v.erase(std::unique(v.begin(), v.end()), v.end());
}

}  // namespace

bool gate_matrix_2x2(const GateOp& gate, Matrix2x2& m) {
  if (gate.targets.size() != 1) return false;
  const double h = 1.0 / std::sqrt(2.0);
  switch (gate.id) {
    case X: m = {0.0, 1.0, 1.0, 0.0}; return true;
    case Y: m = {0.0, cplx(0, -1), cplx(0, 1), 0.0}; return true;
    case Z: m = {1.0, 0.0, 0.0, -1.0}; return true;
    case H: m = {h, h, h, -h}; return true;
    case S: m = {1.0, 0.0, 0.0, cplx(0, 1)}; return true;
    case SDAG: m = {1.0, 0.0, 0.0, cplx(0, -1)}; return true;
    case SQRTX: m = {cplx(0.5, 0.5), cplx(0.5, -0.5), cplx(0.5, -0.5), cplx(0.5, 0.5)}; return true;
    case SQRTXDAG: m = {cplx(0.5, -0.5), cplx(0.5, 0.5), cplx(0.5, 0.5), cplx(0.5, -0.5)}; return true;
    case SQRTY: m = {cplx(0.5, 0.5), cplx(-0.5, -0.5), cplx(0.5, 0.5), cplx(0.5, 0.5)}; return true;
    case SQRTYDAG: m = {cplx(0.5, -0.5), cplx(0.5, -0.5), cplx(-0.5, 0.5), cplx(0.5, -0.5)}; return true;
    case RX: case RY: {
      if (!has_params(gate, 1)) return false;
      const double c = std::cos(gate.params[0] / 2), s = std::sin(gate.params[0] / 2);
      if (gate.id == RX) m = {c, cplx(0, -s), cplx(0, -s), c};
      else m = {c, -s, s, c};
      return true;
    }
    case RZ:
      if (!has_params(gate, 1)) return false;
      m = {polar_entry(1.0, -gate.params[0] / 2), 0.0, 0.0, polar_entry(1.0, gate.params[0] / 2)};
      return true;
    case PHASE:
      if (!has_params(gate, 1)) return false;
      m = {1.0, 0.0, 0.0, polar_entry(1.0, gate.params[0])};
      return true;
    case U: {
      if (!has_params(gate, 3)) return false;
      const double theta = gate.params[0], phi = gate.params[1], lambda = gate.params[2];
      const double c = std::cos(theta / 2), s = std::sin(theta / 2);
      m = {c, -polar_entry(s, lambda), polar_entry(s, phi), polar_entry(c, phi + lambda)};
      return true;
    }
    case UNITARY:
      if (gate.matrix_dim != 2 || gate.matrix.size() != 4) return false;
      std::copy(gate.matrix.begin(), gate.matrix.end(), m.begin());
      return true;
    default:
      return false;
  }
}

bool is_fusable(const GateOp& gate, bool fuse_swap) {
  if (gate.control_state.size() != gate.controls.size()) return false;
  if (gate.id == SWAP) return fuse_swap && gate.targets.size() == 2 && gate.targets[0] != gate.targets[1];
  Matrix2x2 m;
  return gate_matrix_2x2(gate, m);
}

bool passes_launcher_checks(int64_t n, const GateOp& gate) {
  if (gate.control_state.size() != gate.controls.size()) return false;
  uint64_t seen = 0;
  auto add = [&](int64_t q) {
    if (q < 0 || q >= n || (seen & qubit_bit(q)) != 0) return false;
    seen |= qubit_bit(q);
    return true;
  };
  for (const int64_t q : gate.targets)
    if (!add(q)) return false;
  for (const int64_t q : gate.controls)
    if (!add(q)) return false;
  for (const int64_t s : gate.control_state)
    if (s != 0 && s != 1) return false;
  return true;
}

DeviceMatrixGate<double> make_matrix_gate(const GateOp& gate, const std::vector<int64_t>& active) {
  DeviceMatrixGate<double> r{};
  r.kind = static_cast<int32_t>(MatrixGateKind::General);
  r.target = -1;
  r.target2 = -1;
  if (gate.id == SWAP) {
    if (!is_fusable(gate, true)) throw std::invalid_argument("unsupported fused SWAP gate");
    r.kind = static_cast<int32_t>(MatrixGateKind::Swap);
    r.target = local_index(active, gate.targets[0]);
    r.target2 = local_index(active, gate.targets[1]);
    r.matrix[0] = {1.0, 0.0};
    r.matrix[3] = {1.0, 0.0};
  } else {
    Matrix2x2 m;
    if (!gate_matrix_2x2(gate, m)) throw std::invalid_argument("unsupported SparseShareMem gate");
    MatrixGateKind kind = MatrixGateKind::General;
    switch (gate.id) {
      case X: kind = MatrixGateKind::X; break;
      case Y: kind = MatrixGateKind::Y; break;
      case H: kind = MatrixGateKind::H; break;
      case Z: case S: case SDAG: case RZ: case PHASE: kind = MatrixGateKind::Diagonal; break;
      case RX: kind = MatrixGateKind::RX; break;
      case RY: kind = MatrixGateKind::RY; break;
      default: break;
    }
    r.kind = static_cast<int32_t>(kind);
    r.target = local_index(active, gate.targets[0]);
    for (int i = 0; i < 4; ++i) r.matrix[i] = to_cu(m[i]);
  }
  for (size_t i = 0; i < gate.controls.size(); ++i) {
    const uint32_t bit = local_bit(local_index(active, gate.controls[i]));
    r.control_mask |= bit;
    if (i < gate.control_state.size() && gate.control_state[i] == 1) r.control_value |= bit;
  }
  return r;
}

std::vector<std::complex<double>> compose_dense_matrix(const std::vector<DeviceMatrixGate<double>>& records,
                                                       int32_t k) {
  // 4^k elements must be addressable; beyond that the product cannot exist.
  if (k < 0 || k > 29) throw std::bad_alloc();
  const uint64_t dim = uint64_t{1} << k;
  std::vector<cplx> u(dim * dim, 0.0);
  for (uint64_t r = 0; r < dim; ++r) u[r * dim + r] = 1.0;
  // Row updates on split real and imaginary parts: plain double arithmetic,
  // rounded as written.
  double* raw = reinterpret_cast<double*>(u.data());
  for (const DeviceMatrixGate<double>& g : records) {
    const uint64_t mask = g.control_mask, value = g.control_value;
    if (g.kind == static_cast<int32_t>(MatrixGateKind::Swap)) {
      const uint64_t b1 = uint64_t{1} << g.target, b2 = uint64_t{1} << g.target2;
      for (uint64_t r = 0; r < dim; ++r) {
        if ((r & b1) != 0 || (r & b2) == 0 || (r & mask) != value) continue;
        const uint64_t other = (r & ~b2) | b1;
        std::swap_ranges(u.begin() + r * dim, u.begin() + (r + 1) * dim, u.begin() + other * dim);
      }
      continue;
    }
    const uint64_t tbit = uint64_t{1} << g.target;
    const auto& m = g.matrix;
    for (uint64_t r = 0; r < dim; ++r) {
      if ((r & tbit) != 0 || (r & mask) != value) continue;
      double* a = raw + 2 * r * dim;
      double* b = raw + 2 * (r | tbit) * dim;
      for (uint64_t c = 0; c < 2 * dim; c += 2) {
        const double ar = a[c], ai = a[c + 1], br = b[c], bi = b[c + 1];
        a[c] = (m[0].x * ar - m[0].y * ai) + (m[1].x * br - m[1].y * bi);
        a[c + 1] = (m[0].x * ai + m[0].y * ar) + (m[1].x * bi + m[1].y * br);
        b[c] = (m[2].x * ar - m[2].y * ai) + (m[3].x * br - m[3].y * bi);
        b[c + 1] = (m[2].x * ai + m[2].y * ar) + (m[3].x * bi + m[3].y * br);
      }
    }
  }
  return u;
}

FusionCostEntry lookup_fusion_cost(int64_t n, int64_t k) {
  k = std::clamp<int64_t>(k, 1, 7);
  if (n <= kBreakpoints[0]) return table_entry(0, k);
  if (n >= kBreakpoints[5]) return table_entry(5, k);
  int j = 1;
  while (kBreakpoints[j] < n) ++j;
  const double t = double(n - kBreakpoints[j - 1]) / double(kBreakpoints[j] - kBreakpoints[j - 1]);
  const FusionCostEntry a = table_entry(j - 1, k), b = table_entry(j, k);
  auto mix = [t](double x, double y) { return x + t * (y - x); };
  return FusionCostEntry{mix(a.per_gate, b.per_gate),     mix(a.w_x, b.w_x),
                         mix(a.w_y, b.w_y),               mix(a.w_h, b.w_h),
                         mix(a.w_diagonal, b.w_diagonal), mix(a.w_rxry, b.w_rxry),
                         mix(a.w_general, b.w_general),   mix(a.w_swap, b.w_swap),
                         mix(a.densemm_cost, b.densemm_cost)};
}

std::vector<uint64_t> select_fusion_group(int64_t n, const std::vector<GateOp>& gates,
                                          const zorvane::UnplannedPositions& remaining, int32_t sparsesharemem_qubits,
                                          int32_t max_gates_per_group, bool fuse_swap) {
  zorvane::ClusterSearch search(n);
  std::vector<uint64_t> group;
  search.select(remaining, sparsesharemem_qubits, max_gates_per_group,
                [&](uint64_t p) { return search_view(n, gates[p], fuse_swap); }, group);
  return group;
}

FusionPlan plan_fusion_groups(int64_t n, const std::vector<GateOp>& gates, const FusionOptions& options) {
  FusionPlan plan;
  auto view = [&](uint64_t p) { return search_view(n, gates[p], options.fuse_swap); };
  auto add_group = [&](const std::vector<uint64_t>& members) {
    FusionGroup group;
    group.gate_indices = members;
    for (const uint64_t i : members) add_qubits(group.active_qubits, gates[i]);
    sort_unique(group.active_qubits);
    if (members.size() >= 2) {
      const auto k = static_cast<int64_t>(group.active_qubits.size());
      group.kind = FusionGroupKind::SparseShareMem;
      if (options.densemm_min_qubits <= k && k <= options.densemm_max_qubits && k < n) {
        const FusionCostEntry c = lookup_fusion_cost(n, k);
        double score = -options.densemm_gate_threshold_scale * c.densemm_cost;
        for (const uint64_t i : members)
          score += c.per_gate + std::ldexp(1.0, -static_cast<int>(gates[i].controls.size())) *
                                    gate_weight(c, gates[i].id);
        if (score > 0) group.kind = FusionGroupKind::DenseMM;
      }
      if (group.kind == FusionGroupKind::SparseShareMem && options.pad_sparsesharemem) {
        for (int64_t q = 0; q < n && static_cast<int64_t>(group.active_qubits.size()) < options.sparsesharemem_qubits;
             ++q)
          if (!std::binary_search(group.active_qubits.begin(), group.active_qubits.end(), q)) {
            group.active_qubits.insert(std::lower_bound(group.active_qubits.begin(), group.active_qubits.end(), q),
                                       q);
          }
      }
      group.records.reserve(members.size());
      for (const uint64_t i : members) group.records.push_back(make_matrix_gate(gates[i], group.active_qubits));
      if (group.kind == FusionGroupKind::DenseMM)
        group.dense_matrix = compose_dense_matrix(group.records, static_cast<int32_t>(k));
    }
    plan.groups.push_back(std::move(group));
  };
  zorvane::partition_into_groups(n, gates.size(), options.sparsesharemem_qubits, options.max_gates_per_group, view,
                                 add_group);
  for (FusionGroup& g : plan.groups) {
    if (g.kind == FusionGroupKind::SparseShareMem) {
      g.sparse_offset = plan.sparse_record_count;
      plan.sparse_record_count += g.records.size();
    } else if (g.kind == FusionGroupKind::DenseMM) {
      g.dense_offset = plan.dense_element_count;
      plan.dense_element_count += g.dense_matrix.size();
    }
  }
  return plan;
}

}  // namespace fusion
}  // namespace stavex
