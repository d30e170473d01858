#include "gate_op.h"

#include <stdexcept>
#include <unordered_map>

#include "zorvane/text_errors.h"

namespace stavex {

void rewrite_gate_name(std::string& name, std::vector<double>& params) {
  constexpr double kQuarterPi = 0.7853981633974483;
  if (name == "t" || name == "ct" || name == "mct") {
    name = "phase";
    params.push_back(kQuarterPi);
  } else if (name == "t_dag") {
    name = "phase";
    params.push_back(-kQuarterPi);
  }
}

GateId gate_id_from_name(const std::string& name) {
  static const std::unordered_map<std::string, GateId> table = {
      {"x", X},         {"cx", X},          {"mcx", X},
      {"y", Y},         {"cy", Y},          {"mcy", Y},
      {"z", Z},         {"cz", Z},          {"mcz", Z},
      {"h", H},         {"ch", H},          {"mch", H},
      {"s", S},         {"cs", S},          {"mcs", S},
      {"s_dag", SDAG},  {"sqrtx", SQRTX},   {"sx", SQRTX},
      {"sqrtx_dag", SQRTXDAG},              {"sxdg", SQRTXDAG},
      {"sqrty", SQRTY}, {"sqrty_dag", SQRTYDAG},
      {"swap", SWAP},
      {"rx", RX},       {"crx", RX},        {"mcrx", RX},
      {"ry", RY},       {"cry", RY},        {"mcry", RY},
      {"rz", RZ},       {"crz", RZ},        {"mcrz", RZ},
      {"phase", PHASE}, {"p", PHASE},       {"cp", PHASE},     {"mcp", PHASE},
      {"gp", GLOBAL_PHASE}, {"global_phase", GLOBAL_PHASE},   {"gphase", GLOBAL_PHASE},
      {"u", U},         {"u1", U},          {"u2", U},         {"u3", U},
      {"unitary", UNITARY},
  };
  const auto it = table.find(name);
  if (it == table.end()) throw zorvane::InvalidArgumentText("Unsupported CUDA gate id: " + name);
  return it->second;
}

}  // namespace stavex
