// The launch configuration of every kernel, for scripts/kernel_report.py: one
// line per group of kernels, "pattern<TAB>threads per block<TAB>dynamic shared
// bytes", the pattern a regular expression over the kernel's qualified name
// (with its template arguments). The numbers are the constants and size
// functions the launchers use; the dynamic shared memory is the largest
// launch's. The report fails when a built kernel matches no line, a line
// matches no kernel, or a kernel that reads dynamic shared memory has none
// here, so a new kernel or a renamed one shows up there first.
#include <cstddef>
#include <cstdio>

#include "density_index.cuh"
#include "density_sparsesharemem.h"
#include "fusion/sparsesharemem.h"
#include "launch_blocks.h"
#include "zorvane/launch.h"

namespace {

void line(const char* pattern, unsigned int threads, size_t dynamic_shared = 0) {
  std::printf("%s\t%u\t%zu\n", pattern, threads, dynamic_shared);
}

}  // namespace

int main() {
  using namespace stavex;
  using zorvane::kTileBlockThreads;
  namespace plexar = zorvane::plexar;

  // stavex: the gate kernels of every mode (launch_pair_family, cu_swap,
  // cu_unitary), then the kernels with blocks of their own.
  line(R"(stavex::(cu_\w+_kernel_(all_state|pair)|\w+_autopair::\w+|(h|u)_\w+)<.*>)", kPairBlock);
  line(R"(stavex::swap_(target0_no_control|no_control|target0_compact)<.*>)", kPairBlock);
  line(R"(stavex::(unitary_(1q|2q)_\w+|cu_unitary(_1q|_2q)?(_inplace)?_kernel)<.*>)", kPairBlock);
  line(R"(stavex::swap_control_scan<.*>)", kSwapScanBlock);
  line(R"(stavex::cu_global_phase_kernel<.*>)", kGlobalPhaseBlock);
  line(R"(stavex::measure_(probs|collapse)_kernel<.*>)", kMeasureBlock);
  line(R"(stavex::fusion::transpose_(to|from)_low_bits<.*>)", kTransposeBlock);
  line(R"(stavex::fusion::sparsesharemem_kernel<float>)", kTileBlockThreads,
       fusion::sparsesharemem_shared_bytes<float>(fusion::kSparseShareMemMaxQubits));
  line(R"(stavex::fusion::sparsesharemem_kernel<double>)", kTileBlockThreads,
       fusion::sparsesharemem_shared_bytes<double>(fusion::kSparseShareMemMaxQubits));

  // plexar: work-item kernels (item_grid), element kernels (element_grid), tiles.
  line(R"(zorvane::plexar::(unitary_merged(_row2)?|unitary_(left|right|channel)|kraus)_kernel<.*>)",
       plexar::kItemsPerBlock);
  line(R"(zorvane::plexar::density_measure_probs_kernel<.*>)", plexar::kItemsPerBlock);
  line(R"(zorvane::plexar::(diagonal_(free|controlled)|permutation|channel)_kernel<.*>)",
       plexar::kTileX * plexar::kTileY);
  line(R"(zorvane::plexar::density_measure_collapse_kernel<.*>)", plexar::kTileX * plexar::kTileY);
  line(R"(zorvane::plexar::density_sparsesharemem_kernel<float>)", kTileBlockThreads,
       plexar::density_tile_shared_bytes<float>(plexar::kDensityTileMaxQubits));
  line(R"(zorvane::plexar::density_sparsesharemem_kernel<double>)", kTileBlockThreads,
       plexar::density_tile_shared_bytes<double>(plexar::kDensityTileMaxQubits));
  return 0;
}
