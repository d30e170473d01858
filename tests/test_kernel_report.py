"""The kernel report's occupancy arithmetic, against the CUDA toolkit's own
occupancy calculator (cuda_occupancy.h), and its reading of real nvcc output:
a hot-path kernel that spills, and one that falls below half occupancy, must
fail the gate."""

import itertools
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "scripts"))
import kernel_report as kr  # noqa: E402

# The toolchain runs without the sanitizer run's preloaded runtime, which is
# for the interpreter and the modules, not for compilers.
TOOL_ENV = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
NVCC = shutil.which("nvcc") or ("/usr/local/cuda/bin/nvcc" if Path("/usr/local/cuda/bin/nvcc").exists() else None)
CUDA_INCLUDE = Path(NVCC).resolve().parents[1] / "include" if NVCC else None

# Active blocks per SM from cudaOccMaxActiveBlocksPerMultiprocessor, one
# "major minor block registers shared" query per input line.
OCCUPANCY_PROBE = r"""
#include <cstdio>
#include "cuda_occupancy.h"
int main(int argc, char** argv) {
  cudaOccDeviceProp p;
  std::sscanf(argv[1], "%d,%d,%d,%d,%d,%zu,%zu,%zu", &p.maxThreadsPerMultiprocessor, &p.regsPerMultiprocessor,
              &p.regsPerBlock, &p.maxThreadsPerBlock, &p.warpSize, &p.sharedMemPerMultiprocessor,
              &p.sharedMemPerBlock, &p.reservedSharedMemPerBlock);
  p.sharedMemPerBlockOptin = p.sharedMemPerBlock;
  p.numSms = 1;
  int major, minor, block, regs;
  size_t shared;
  while (std::scanf("%d %d %d %d %zu", &major, &minor, &block, &regs, &shared) == 5) {
    p.computeMajor = major;
    p.computeMinor = minor;
    cudaOccFuncAttributes a;
    a.maxThreadsPerBlock = block;
    a.numRegs = regs;
    a.sharedSizeBytes = 0;
    a.numBlockBarriers = 1;
    cudaOccDeviceState s;
    cudaOccResult r;
    const cudaOccError e = cudaOccMaxActiveBlocksPerMultiprocessor(&r, &p, &a, &s, block, shared);
    std::printf("%d\n", e == CUDA_OCC_SUCCESS ? r.activeBlocksPerMultiprocessor : -1);
  }
}
"""


@pytest.fixture(scope="module")
def occupancy_probe(tmp_path_factory):
    if CUDA_INCLUDE is None or not (CUDA_INCLUDE / "cuda_occupancy.h").exists() or not shutil.which("g++"):
        pytest.skip("needs the CUDA toolkit's cuda_occupancy.h and g++")
    d = tmp_path_factory.mktemp("occupancy")
    (d / "probe.cpp").write_text(OCCUPANCY_PROBE)
    subprocess.run(["g++", "-O1", "-I", str(CUDA_INCLUDE), "probe.cpp", "-o", "probe"], cwd=d, check=True,
                   env=TOOL_ENV)
    return d / "probe"


@pytest.mark.parametrize("arch", sorted(kr.ARCHITECTURES))
def test_occupancy_matches_cuda_calculator(occupancy_probe, arch):
    a = kr.ARCHITECTURES[arch]
    props = (f"{a.max_threads},{a.registers},{a.registers},{a.max_threads_per_block},{a.warp},"
             f"{a.shared},{a.shared_per_block},{a.reserved_shared}")
    cases = list(itertools.product(
        [32, 64, 96, 128, 192, 256, 512, 1024],
        [1, 16, 24, 32, 33, 40, 48, 56, 58, 62, 64, 65, 72, 96, 128, 168, 200, 255],
        [*range(0, 48 * 1024, 97), 48 * 1024],
    ))
    query = "".join(f"{arch // 10} {arch % 10} {b} {r} {s}\n" for b, r, s in cases)
    out = subprocess.run([occupancy_probe, props], input=query, capture_output=True, text=True, check=True)
    expected = [int(x) for x in out.stdout.split()]
    assert len(expected) == len(cases) and -1 not in expected
    mismatches = []
    for (block, regs, shared), blocks in zip(cases, expected):
        ours, _ = kr.occupancy(a, block, regs, shared)
        theirs = blocks * (-(-block // a.warp)) / a.max_warps
        if abs(ours - theirs) > 1e-12:
            mismatches.append((block, regs, shared, ours, theirs))
    assert not mismatches, mismatches[:10]


TOY_KERNELS = r"""
namespace stavex {
// V live doubles: 64 under a cap of 32 registers (eight blocks of 256 threads)
// spill; 12 without a cap take about 90 registers, below half occupancy.
template <class T, int V>
__device__ void sum_of_products(T* a, int n) {
  T v[V];
#pragma unroll
  for (int j = 0; j < V; ++j) v[j] = a[j * n + threadIdx.x];
  T s = 0;
#pragma unroll
  for (int j = 0; j < V; ++j)
#pragma unroll
    for (int q = 0; q < V; ++q) s += v[j] * v[q] * a[q];
  a[threadIdx.x] = s;
}
template <class T>
__global__ void __launch_bounds__(256, 8) measure_probs_kernel(T* a, int n) { sum_of_products<T, 64>(a, n); }
template <class T>
__global__ void measure_collapse_kernel(T* a, int n) { sum_of_products<T, 12>(a, n); }
template __global__ void measure_probs_kernel<double>(double*, int);
template __global__ void measure_collapse_kernel<double>(double*, int);

__global__ void h_compact(float* a) {
  extern __shared__ float tile[];
  tile[threadIdx.x] = a[threadIdx.x];
  __syncthreads();
  a[threadIdx.x] = tile[threadIdx.x ^ 1];
}
}  // namespace stavex
"""


@pytest.fixture(scope="module")
def toy_build(tmp_path_factory):
    if NVCC is None:
        pytest.skip("needs nvcc")
    d = tmp_path_factory.mktemp("toy")
    (d / "toy.cu").write_text(TOY_KERNELS)
    log = subprocess.run(
        [NVCC, "-c", "-Xptxas=-v", "--keep", "--keep-dir", str(d),
         "--generate-code=arch=compute_90,code=[compute_90,sm_90]", "toy.cu", "-o", "toy.o"],
        cwd=d, capture_output=True, text=True, check=True, env=TOOL_ENV)
    return d, log.stdout + log.stderr


TOY_TABLE = "stavex::measure_(probs|collapse)_kernel<double>\t256\t0\nstavex::h_compact\t64\t256\n"


def test_gate_fails_on_spills_and_low_occupancy_read_from_nvcc(toy_build):
    d, log = toy_build
    report = kr.build_report(log, [d], kr.parse_launch_table(TOY_TABLE), [90])
    by_name = {k.name: k for k in report[90]}
    probs = by_name["stavex::measure_probs_kernel<double>"]
    collapse = by_name["stavex::measure_collapse_kernel<double>"]
    compact = by_name["stavex::h_compact"]
    assert probs.registers <= 32 and probs.spills > 0 and probs.occupancy == 1.0
    assert collapse.registers > 64 and collapse.spills == 0 and collapse.occupancy < 0.5
    assert (compact.block, compact.dynamic_shared, compact.spills) == (64, 256, 0)
    failures = kr.gate(report, 90)
    assert any("measure_probs_kernel<double>: spills" in f for f in failures)
    assert any("measure_collapse_kernel<double>: theoretical occupancy" in f for f in failures)
    assert not any("h_compact" in f for f in failures)


@pytest.mark.parametrize("table, complaint", [
    (TOY_TABLE.replace("\t256\t", "\t128\t"), "__launch_bounds__ of 256"),
    (TOY_TABLE.replace("\t256\n", "\t0\n"), "reads dynamic shared memory"),
    (TOY_TABLE.replace("\t0\n", "\t512\n", 1), "does not read dynamic shared memory"),
    (TOY_TABLE.split("\n")[0] + "\n", "has no line for it"),
    (TOY_TABLE + "stavex::.*\t256\t0\n", "has 2 lines for it"),
    (TOY_TABLE + "stavex::gone\t32\t0\n", "match no built"),
])
def test_launch_table_disagreeing_with_the_build_is_an_error(toy_build, table, complaint):
    d, log = toy_build
    with pytest.raises(kr.ReportError, match=complaint):
        kr.build_report(log, [d], kr.parse_launch_table(table), [90])
