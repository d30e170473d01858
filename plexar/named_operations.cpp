// Named gates, their forms and the built-in channels.
#include "named_operations.h"

#include <cmath>
#include <complex>
#include <stdexcept>
#include <unordered_map>

#include "density_blocks.h"
#include "zorvane/text_errors.h"

namespace zorvane::plexar {

namespace {

template <class T>
constexpr CuComplex<T> cx(T re, T im = T(0)) {
  return CuComplex<T>{re, im};
}

// e^{iθ} in T.
template <class T>
CuComplex<T> expi(T theta) {
  CuComplex<T> e;
  sin_cos(theta, &e.y, &e.x);
  return e;
}

template <class T>
CuComplex<T> negated(CuComplex<T> a) {
  return CuComplex<T>{-a.x, -a.y};
}

template <class T>
using Matrix2 = std::vector<CuComplex<T>>;

template <class T>
Matrix2<T> product(const Matrix2<T>& a, const Matrix2<T>& b) {
  return {cadd(cmul(a[0], b[0]), cmul(a[1], b[2])), cadd(cmul(a[0], b[1]), cmul(a[1], b[3])),
          cadd(cmul(a[2], b[0]), cmul(a[3], b[2])), cadd(cmul(a[2], b[1]), cmul(a[3], b[3]))};
}

template <class T>
Matrix2<T> rx(T theta) {
  T s, c;
  sin_cos(theta / T(2), &s, &c);
  return {cx(c), cx(T(0), -s), cx(T(0), -s), cx(c)};
}

template <class T>
Matrix2<T> rz(T theta) {
  return {expi(-theta / T(2)), cx(T(0)), cx(T(0)), expi(theta / T(2))};
}

template <class T>
T sqrt_half() {
  return static_cast<T>(M_SQRT1_2);  // 0.70710677f in single precision
}

template <class T>
T quarter_pi() {
  return static_cast<T>(M_PI_4);
}

[[noreturn]] void fail_quoting(const char* before, const std::string& name, const char* after) {
  throw RuntimeErrorText(before + name + after);
}

}  // namespace

std::string canonical_gate_name(const std::string& name) {
  static const std::unordered_map<std::string, std::string> aliases = {
      {"cx", "x"},   {"cnot", "x"}, {"mcx", "x"},   {"cy", "y"},     {"mcy", "y"},   {"cz", "z"},
      {"mcz", "z"},  {"ch", "h"},   {"mch", "h"},   {"cs", "s"},     {"mcs", "s"},   {"cp", "p"},
      {"mcp", "p"},  {"crx", "rx"}, {"mcrx", "rx"}, {"cry", "ry"},   {"mcry", "ry"}, {"crz", "rz"},
      {"mcrz", "rz"}, {"gphase", "gp"}, {"global_phase", "gp"}, {"xyarb", "rxy"},
  };
  const auto it = aliases.find(name);
  return it == aliases.end() ? name : it->second;
}

void check_parameter_count(const DensityOperation& op, size_t expected) {
  if (op.params.size() != expected) fail_quoting("invalid parameter count for density operation '", op.name, "'");
  for (const double p : op.params)
    if (!std::isfinite(p)) throw std::runtime_error("density operation parameters must be finite");
}

template <class T>
std::optional<DiagonalForm<T>> diagonal_form(const DensityOperation& op) {
  const std::string c = canonical_gate_name(op.name);
  DiagonalForm<T> form;
  if (c == "gp") {
    if (op.controls.empty()) {
      form.is_identity = true;
      return form;
    }
    if (op.targets.size() != 1) return std::nullopt;
    check_parameter_count(op, 1);
    form.d0 = form.d1 = expi(static_cast<T>(op.params[0]));
    return form;
  }
  if (op.targets.size() != 1) return std::nullopt;
  if (c == "p") {
    check_parameter_count(op, 1);
    form.d1 = expi(static_cast<T>(op.params[0]));
  } else if (c == "rz") {
    check_parameter_count(op, 1);
    const T theta = static_cast<T>(op.params[0]);
    form.d0 = expi(-theta / T(2));
    form.d1 = expi(theta / T(2));
  } else if (c == "s") {
    form.d1 = cx(T(0), T(1));
  } else if (c == "s_dag") {
    form.d1 = cx(T(0), T(-1));
  } else if (c == "t") {
    form.d1 = expi(quarter_pi<T>());
  } else if (c == "t_dag") {
    form.d1 = expi(-quarter_pi<T>());
  } else if (c == "z") {
    form.d1 = cx(T(-1));
  } else if (c == "-z") {
    form.d0 = cx(T(-1));
  } else {
    return std::nullopt;
  }
  return form;
}

std::optional<PermutationForm> permutation_form(const DensityOperation& op) {
  const std::string c = canonical_gate_name(op.name);
  const bool flip = c == "x" && op.targets.size() == 1;
  const bool swap = c == "swap" && op.targets.size() == 2;
  if (!flip && !swap) return std::nullopt;
  if (!op.params.empty()) fail_quoting("density operation '", op.name, "' requires no parameters");
  PermutationForm form;
  for (const int64_t t : op.targets) form.mask |= uint64_t{1} << t;
  form.is_swap = swap;
  return form;
}

template <class T>
std::vector<CuComplex<T>> named_gate_matrix(const DensityOperation& op) {
  const std::string c = canonical_gate_name(op.name);
  const T zero(0), one(1), half(0.5), r = sqrt_half<T>();
  if (c == "swap") {
    check_parameter_count(op, 0);
    if (op.targets.size() != 2) throw std::runtime_error("swap requires exactly two targets");
    std::vector<CuComplex<T>> m(16, cx(zero));
    m[0] = m[6] = m[9] = m[15] = cx(one);
    return m;
  }
  if (op.targets.size() != 1) throw std::runtime_error("named density operation requires one target");

  using Fixed = Matrix2<T>;
  static const std::unordered_map<std::string, Fixed> fixed = {
      {"x", {cx(zero), cx(one), cx(one), cx(zero)}},
      {"y", {cx(zero), cx(zero, -one), cx(zero, one), cx(zero)}},
      {"z", {cx(one), cx(zero), cx(zero), cx(-one)}},
      {"-z", {cx(-one), cx(zero), cx(zero), cx(one)}},
      {"h", {cx(r), cx(r), cx(r), cx(-r)}},
      {"s", {cx(one), cx(zero), cx(zero), cx(zero, one)}},
      {"s_dag", {cx(one), cx(zero), cx(zero), cx(zero, -one)}},
      {"t", {cx(one), cx(zero), cx(zero), expi(quarter_pi<T>())}},
      {"t_dag", {cx(one), cx(zero), cx(zero), expi(-quarter_pi<T>())}},
      {"sqrtx", {cx(half, half), cx(half, -half), cx(half, -half), cx(half, half)}},
      {"sqrtx_dag", {cx(half, -half), cx(half, half), cx(half, half), cx(half, -half)}},
      {"sqrty", {cx(half, half), cx(-half, -half), cx(half, half), cx(half, half)}},
      {"sqrty_dag", {cx(half, -half), cx(half, -half), cx(-half, half), cx(half, -half)}},
      {"x2p", {cx(r), cx(zero, -r), cx(zero, -r), cx(r)}},
      {"x2m", {cx(r), cx(zero, r), cx(zero, r), cx(r)}},
      {"y2p", {cx(r), cx(-r), cx(r), cx(r)}},
      {"y2m", {cx(r), cx(r), cx(-r), cx(r)}},
  };
  if (const auto it = fixed.find(c); it != fixed.end()) {
    check_parameter_count(op, 0);
    return it->second;
  }

  static const std::unordered_map<std::string, size_t> parameter_counts = {
      {"rx", 1}, {"ry", 1}, {"rz", 1}, {"p", 1}, {"gp", 1}, {"u", 3}, {"rxy", 2}};
  const auto count = parameter_counts.find(c);
  if (count == parameter_counts.end()) fail_quoting("unsupported named density operation '", op.name, "'");
  check_parameter_count(op, count->second);
  const T theta = static_cast<T>(op.params[0]);
  if (c == "rx") return rx(theta);
  if (c == "rz") return rz(theta);
  if (c == "p") return {cx(one), cx(zero), cx(zero), expi(theta)};
  if (c == "gp") return {expi(theta), cx(zero), cx(zero), expi(theta)};
  T s, co;
  sin_cos(theta / T(2), &s, &co);
  if (c == "ry") return {cx(co), cx(-s), cx(s), cx(co)};
  if (c == "u") {
    const T phi = static_cast<T>(op.params[1]);
    const T lambda = static_cast<T>(op.params[2]);
    return {cx(co), negated(cscale(expi(lambda), s)), cscale(expi(phi), s), cscale(expi(phi + lambda), co)};
  }
  // rxy: RZ(θ)·RX(φ), then times RZ(−θ).
  return product(product(rz(theta), rx(static_cast<T>(op.params[1]))), rz(-theta));
}

std::optional<BuiltinChannel> named_channel(const DensityOperation& op) {
  if (op.channel_name.empty() || op.targets.size() != 1 || op.kraus_dimension != 2) return std::nullopt;
  struct Entry {
    const char* name;
    int32_t kind;
    uint64_t count;
    int element;  // the element of K1 the parameter is read from: 0 = [0][0], 1 = [0][1]
    double scale;
  };
  static constexpr Entry table[] = {
      {"bit_flip", density::BitFlip, 2, 1, 1.0},
      {"phase_flip", density::PhaseFlip, 2, 0, 1.0},
      {"depolarizing", density::Depolarizing, 4, 1, 4.0},
      {"amplitude_damping", density::AmplitudeDamping, 2, 1, 1.0},
      {"phase_damping", density::PhaseDamping, 3, 0, 1.0},
  };
  for (const Entry& e : table) {
    if (op.channel_name != e.name || op.kraus_count != e.count) continue;
    const double re = op.kraus_matrices[4 + e.element].real();  // K1 starts at element 4
    return BuiltinChannel{e.kind, e.scale * (re * re)};
  }
  return std::nullopt;
}

bool channel_matches_matrices(const DensityOperation& op, int32_t kind, double parameter) {
  // Column (c, d) of the built-in superoperator is the channel applied to the
  // basis matrix |c⟩⟨d|; entry ((a, b), (c, d)) of Σ K ⊗ conj(K) is
  // Σ_k K_k[a][c]·conj(K_k[b][d]).
  for (int c = 0; c < 2; ++c)
    for (int d = 0; d < 2; ++d) {
      Block2<double> basis{};
      basis.m[c][d] = CuComplex<double>{1.0, 0.0};
      const bool known = visit_channel_kind(kind, [&](auto k) { apply_channel<decltype(k)::value>(basis, parameter); });
      if (!known) return false;
      for (int a = 0; a < 2; ++a)
        for (int b = 0; b < 2; ++b) {
          std::complex<double> given = 0.0;
          for (uint64_t j = 0; j < op.kraus_count; ++j) {
            const std::complex<double>* k = op.kraus_matrices.data() + 4 * j;
            given += k[2 * a + c] * std::conj(k[2 * b + d]);
          }
          const std::complex<double> builtin(basis.m[a][b].x, basis.m[a][b].y);
          if (!(std::abs(builtin - given) <= kChannelTolerance)) return false;
        }
    }
  return true;
}

std::optional<BuiltinChannel> builtin_channel(const DensityOperation& op) {
  const std::optional<BuiltinChannel> named = named_channel(op);
  if (named && channel_matches_matrices(op, named->kind, named->parameter)) return named;
  return std::nullopt;
}

template std::optional<DiagonalForm<float>> diagonal_form<float>(const DensityOperation&);
template std::optional<DiagonalForm<double>> diagonal_form<double>(const DensityOperation&);
template std::vector<CuComplex<float>> named_gate_matrix<float>(const DensityOperation&);
template std::vector<CuComplex<double>> named_gate_matrix<double>(const DensityOperation&);

}  // namespace zorvane::plexar
