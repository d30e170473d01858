// Reading a Python operation list into DensityOperation records, with the
// interpreter lock held. Every element is read before anything runs, so a
// malformed element anywhere prevents all work.
#pragma once

#include <pybind11/pybind11.h>

#include <vector>

#include "density_operation.h"

namespace zorvane::plexar {

// Elements with an attribute `operation_kind` are Kraus operations (`target`,
// optional `channel_name`, `kraus_matrices`); the others are gates (`id`,
// `target`, `control`, `control_state`, `parameter`, `has_stored_matrix`, and
// `stored_matrix` when that is true).
std::vector<DensityOperation> parse_operations(const pybind11::handle& operations);

}  // namespace zorvane::plexar
