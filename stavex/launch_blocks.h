// Threads per block of the state-vector kernels, named once for their
// launchers and for the kernel report's launch table
// (scripts/kernel_launch_table.cu). The shared-memory tile kernel's block is
// zorvane::kTileBlockThreads.
#pragma once

namespace stavex {

// The gate kernels of every mode: one-target families, SWAP, UNITARY.
constexpr unsigned int kPairBlock = 256;
// SWAP's scan of all groups, PairAuto with controls and neither qubit 0.
constexpr unsigned int kSwapScanBlock = 512;
constexpr unsigned int kGlobalPhaseBlock = 256;
constexpr unsigned int kMeasureBlock = 256;
// DenseMM's gather and scatter.
constexpr unsigned int kTransposeBlock = 256;

}  // namespace stavex
