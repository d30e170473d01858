// Conversion of the two Python gate-list forms into GateOp records. Runs with
// the interpreter lock held; validates names, list element types and given
// matrices only (counts, controls and qubit ranges are checked at dispatch).
#pragma once

#include <pybind11/pybind11.h>

#include <vector>

#include "gate_op.h"

namespace stavex {

// A Python list of dictionaries (or of objects the dict constructor accepts).
std::vector<GateOp> parse_gate_ir(const pybind11::list& gate_ir);

// Any iterable of objects with attributes id, target, control, control_state,
// parameter (and matrix, read for UNITARY only).
std::vector<GateOp> parse_gate_objects(const pybind11::handle& gates);

// None leaves the record without a matrix; otherwise the object becomes a
// square complex-double matrix stored row-major.
void convert_unitary_matrix(const pybind11::handle& matrix, GateOp& op);

}  // namespace stavex
