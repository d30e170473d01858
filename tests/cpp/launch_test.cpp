// Kernel execution on the CPU execution layer: barriers and warp operations
// that really synchronise, the failures a GPU would report, launch checks, and
// grids spread over host threads giving the same results as one thread.
#include <algorithm>
#include <cstring>
#include <numeric>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include <cuda_runtime.h>

#include "cpu_layer/control.h"
#include "test_kernels.h"
#include "test_support.h"
#include "zorvane/launch.h"

namespace zorvane_test {
namespace {

// ---- barriers -------------------------------------------------------------------

struct GridShape {
  unsigned blocks;
  unsigned threads;  // a power of two
};

class BarrierTest : public LayerTest, public ::testing::WithParamInterface<GridShape> {};

TEST_P(BarrierTest, ReversesEachBlockThroughSharedMemory) {
  const auto [blocks, threads] = GetParam();
  std::vector<int> in(size_t{blocks} * threads);
  for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<int>(i * 7 + 1);
  DeviceArray<int> d_in(in), d_out(in.size());
  ASSERT_EQ(launch(reverse_kernel, blocks, threads, threads * sizeof(int), d_in.get(), d_out.get()), cudaSuccess);
  const auto out = d_out.host();
  size_t wrong = 0;
  for (size_t b = 0; b < blocks; ++b)
    for (size_t t = 0; t < threads; ++t) wrong += out[b * threads + t] != in[b * threads + threads - 1 - t];
  EXPECT_EQ(wrong, 0u);
}

TEST_P(BarrierTest, TreeReductionWithABarrierPerLevel) {
  const auto [blocks, threads] = GetParam();
  std::vector<double> in(size_t{blocks} * threads);
  for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<double>((i * 37) % 101);
  DeviceArray<double> d_in(in), d_out(blocks);
  ASSERT_EQ(launch(block_sum_kernel, blocks, threads, 0, d_in.get(), d_out.get()), cudaSuccess);
  const auto out = d_out.host();
  for (size_t b = 0; b < blocks; ++b) {
    const double expected = std::accumulate(in.begin() + b * threads, in.begin() + (b + 1) * threads, 0.0);
    ASSERT_EQ(out[b], expected) << "block " << b;
  }
}

TEST_P(BarrierTest, ExitedThreadsDoNotHoldTheBarrier) {
  const auto [blocks, threads] = GetParam();
  DeviceArray<int> d_out(size_t{blocks} * threads, 0);
  ASSERT_EQ(launch(odd_exit_kernel, blocks, threads, 0, d_out.get()), cudaSuccess);
  const auto out = d_out.host();
  for (unsigned b = 0; b < blocks; ++b)
    for (unsigned t = 0; t < threads; t += 2)
      ASSERT_EQ(out[size_t{b} * threads + t], static_cast<int>(1000 * b + 3 * ((t + 2) % threads)))
          << "block " << b << " thread " << t;
}

// Single blocks, many small blocks, and grids large enough to be spread over
// the host threads in fiber mode.
INSTANTIATE_TEST_SUITE_P(Shapes, BarrierTest,
                         ::testing::Values(GridShape{1, 1}, GridShape{1, 32}, GridShape{5, 64}, GridShape{2, 1024},
                                           GridShape{300, 128}, GridShape{96, 512}),
                         [](const auto& info) {
                           return std::to_string(info.param.blocks) + "x" + std::to_string(info.param.threads);
                         });

TEST_F(LayerTest, ReversalWithBlockSizesThatAreNotPowersOfTwo) {
  for (unsigned threads : {3u, 33u, 100u, 1000u}) {
    const unsigned blocks = 4;
    std::vector<int> in(size_t{blocks} * threads);
    std::iota(in.begin(), in.end(), -50);
    DeviceArray<int> d_in(in), d_out(in.size());
    ASSERT_EQ(launch(reverse_kernel, blocks, threads, threads * sizeof(int), d_in.get(), d_out.get()), cudaSuccess);
    const auto out = d_out.host();
    for (size_t b = 0; b < blocks; ++b)
      for (size_t t = 0; t < threads; ++t)
        ASSERT_EQ(out[b * threads + t], in[b * threads + threads - 1 - t]) << threads << " threads";
  }
}

// Shared memory starts out as a recognisable pattern, so kernels that read it
// before writing fail instead of passing on zeroes.
TEST_F(LayerTest, SharedMemoryIsNotZeroedForTheKernel) {
  DeviceArray<unsigned> d_out(64, 0);
  ASSERT_EQ(launch(read_shared_kernel, 1, 64, 64 * sizeof(unsigned), d_out.get()), cudaSuccess);
  for (unsigned v : d_out.host()) ASSERT_EQ(v, 0xCDCDCDCDu);
}

// ---- warp operations --------------------------------------------------------------

class WarpTest : public LayerTest, public ::testing::WithParamInterface<dim3> {};

TEST_P(WarpTest, ShufflesMatchAHostModelOfTheWarp) {
  const dim3 block = GetParam();
  const unsigned blocks = 3;
  const size_t threads = size_t{block.x} * block.y * block.z;
  const size_t total = blocks * threads;
  std::vector<int> in(total);
  for (size_t i = 0; i < total; ++i) in[i] = static_cast<int>((i * 2654435761u) % 1000) - 500;
  DeviceArray<int> d_in(in), d_xor(total), d_down(total), d_scan(total), d_segment(total);
  DeviceArray<double> d_double(total);
  ASSERT_EQ(launch(warp_ops_kernel, blocks, block, 0, d_in.get(), d_xor.get(), d_down.get(), d_scan.get(),
                   d_segment.get(), d_double.get()),
            cudaSuccess);
  const auto xor_sum = d_xor.host(), down = d_down.host(), scan = d_scan.host(), segment = d_segment.host();
  const auto dsum = d_double.host();
  for (size_t w = 0; w < total; w += 32) {
    const int* v = &in[w];
    const int sum = std::accumulate(v, v + 32, 0);
    // shfl_down keeps its own value where lane + offset leaves the warp.
    std::vector<int> d(v, v + 32);
    for (unsigned offset = 16; offset > 0; offset /= 2) {
      std::vector<int> next(32);
      for (unsigned l = 0; l < 32; ++l) next[l] = d[l] + (l + offset < 32 ? d[l + offset] : d[l]);
      d = next;
    }
    int prefix = 0;
    for (unsigned l = 0; l < 32; ++l) {
      prefix += v[l];
      ASSERT_EQ(xor_sum[w + l], sum) << "warp at " << w << " lane " << l;
      ASSERT_EQ(dsum[w + l], 0.5 * sum) << "warp at " << w << " lane " << l;
      ASSERT_EQ(down[w + l], d[l]) << "warp at " << w << " lane " << l;
      ASSERT_EQ(scan[w + l], prefix) << "warp at " << w << " lane " << l;
      ASSERT_EQ(segment[w + l], v[l & ~7u]) << "warp at " << w << " lane " << l;
    }
  }
}

// Lanes are numbered over the linear thread id, so 2-D and 3-D blocks form
// warps across rows.
INSTANTIATE_TEST_SUITE_P(Blocks, WarpTest, ::testing::Values(dim3(32), dim3(128), dim3(16, 4), dim3(8, 2, 4)),
                         [](const auto& info) {
                           return std::to_string(info.param.x) + "x" + std::to_string(info.param.y) + "x" +
                                  std::to_string(info.param.z);
                         });

TEST_F(LayerTest, HalfWarpMaskSynchronisesOnlyItsLanes) {
  DeviceArray<int> d_out(64, 0xff);
  ASSERT_EQ(launch(half_warp_shuffle_kernel, 1, 64, 0, d_out.get()), cudaSuccess);
  const auto out = d_out.host();
  for (int t = 0; t < 64; ++t)
    if (t % 32 < 16) {
      ASSERT_EQ(out[t], t ^ 1) << "thread " << t;
    }
}

// ---- failures a GPU reports -------------------------------------------------------

void expect_launch_failure(cudaError_t status) {
  EXPECT_EQ(status, cudaErrorLaunchFailure);
  EXPECT_STREQ(cudaGetErrorString(status), "unspecified launch failure");
  EXPECT_EQ(cudaGetLastError(), cudaSuccess) << "reading the error clears it";
}

TEST_F(LayerTest, DivergentBarrierFailsTheLaunch) {
  for (unsigned threads : {2u, 64u, 1024u}) {
    DeviceArray<int> d_out(threads, 0);
    SCOPED_TRACE(threads);
    expect_launch_failure(launch(divergent_barrier_kernel, 1, threads, 0, d_out.get()));
  }
  // The layer is usable again afterwards.
  std::vector<int> in(256);
  std::iota(in.begin(), in.end(), 0);
  DeviceArray<int> d_in(in), d_out(in.size());
  ASSERT_EQ(launch(reverse_kernel, 2, 128, 128 * sizeof(int), d_in.get(), d_out.get()), cudaSuccess);
  EXPECT_EQ(d_out.host()[0], 127);
}

// Block 0 decides that a kernel has no barriers; a later block that has one
// must not run with a barrier that does not wait, on whichever host thread
// runs it.
TEST_F(LayerTest, BarrierReachedOnlyAfterBlockZeroFailsTheLaunch) {
  const std::pair<unsigned, unsigned> cases[] = {{2, 1}, {40, 1}, {4096, 1}, {4096, 4000}};
  for (const auto& [blocks, first] : cases) {
    DeviceArray<int> d_out(size_t{blocks} * 64, 0);
    SCOPED_TRACE(::testing::Message() << blocks << " blocks, syncing from " << first);
    expect_launch_failure(launch(sync_from_block_kernel, blocks, 64, 0, d_out.get(), first));
  }
}

TEST_F(LayerTest, WarpSyncWaitingForAnExitedLaneFails) {
  for (unsigned lane : {0u, 17u, 31u}) {
    DeviceArray<int> d_out(64, 0);
    SCOPED_TRACE(lane);
    expect_launch_failure(launch(warp_sync_missing_lane_kernel, 1, 64, 0, d_out.get(), lane));
  }
}

__global__ void throwing_kernel(int* out, int sync) {
  if (sync) __syncthreads();
  out[threadIdx.x] = 1;
  if (blockIdx.x == 2 && threadIdx.x == 5) throw std::runtime_error("not a CUDA kernel");
}

// Kernels do not throw, but one that does must not take the process down.
TEST_F(LayerTest, KernelThatThrowsFailsTheLaunch) {
  DeviceArray<int> d_out(64, 0);
  for (int sync : {0, 1}) {
    SCOPED_TRACE(sync);
    expect_launch_failure(launch(throwing_kernel, 4, 64, 0, d_out.get(), sync));
  }
}

// ---- launch checks --------------------------------------------------------------

struct LaunchCase {
  const char* name;
  dim3 grid;
  dim3 block;
  size_t shared;
  cudaError_t expected;
};

class LaunchConfigTest : public LayerTest, public ::testing::WithParamInterface<LaunchCase> {};

TEST_P(LaunchConfigTest, ReportsTheRuntimeError) {
  const LaunchCase& c = GetParam();
  const bool runs = c.expected == cudaSuccess;
  const size_t threads = runs ? size_t{c.grid.x} * c.block.x : 1;
  DeviceArray<int> d_out(threads, 0);
  const uint64_t launches = cpu_layer::launch_count();
  const cudaError_t status = launch(fill_kernel, c.grid, c.block, c.shared, d_out.get(), 7);
  EXPECT_EQ(status, c.expected);
  EXPECT_EQ(cpu_layer::launch_count() - launches, runs ? 1u : 0u) << "a refused launch is not counted";
  EXPECT_EQ(cudaGetLastError(), cudaSuccess) << "cudaGetLastError clears the error";
  const std::string text = cudaGetErrorString(status);
  if (c.expected == cudaErrorInvalidConfiguration) {
    EXPECT_EQ(text, "invalid configuration argument");
  } else if (c.expected == cudaErrorInvalidValue) {
    EXPECT_EQ(text, "invalid argument");
  }
  EXPECT_EQ(d_out.host()[0], runs ? 7 : 0) << (runs ? "kernel did not run" : "refused kernel ran");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LaunchConfigTest,
    ::testing::Values(LaunchCase{"MaxBlockX", dim3(2), dim3(1024), 0, cudaSuccess},
                      LaunchCase{"MaxBlockZ", dim3(2), dim3(1, 1, 64), 0, cudaSuccess},
                      LaunchCase{"Square1024", dim3(1), dim3(32, 32), 0, cudaSuccess},
                      LaunchCase{"MaxShared", dim3(1), dim3(64), 48 * 1024, cudaSuccess},
                      LaunchCase{"BlockXTooLarge", dim3(1), dim3(1025), 0, cudaErrorInvalidConfiguration},
                      LaunchCase{"TooManyThreads", dim3(1), dim3(32, 33), 0, cudaErrorInvalidConfiguration},
                      LaunchCase{"BlockZTooLarge", dim3(1), dim3(1, 1, 65), 0, cudaErrorInvalidConfiguration},
                      LaunchCase{"ZeroBlockX", dim3(1), dim3(0), 0, cudaErrorInvalidConfiguration},
                      LaunchCase{"ZeroBlockY", dim3(1), dim3(1, 0), 0, cudaErrorInvalidConfiguration},
                      LaunchCase{"ZeroGrid", dim3(0), dim3(32), 0, cudaErrorInvalidConfiguration},
                      LaunchCase{"GridXTooLarge", dim3(0x80000000u), dim3(32), 0, cudaErrorInvalidConfiguration},
                      LaunchCase{"GridYTooLarge", dim3(1, 65536), dim3(32), 0, cudaErrorInvalidConfiguration},
                      LaunchCase{"GridZTooLarge", dim3(1, 1, 65536), dim3(32), 0, cudaErrorInvalidConfiguration},
                      LaunchCase{"SharedTooLarge", dim3(1), dim3(32), 48 * 1024 + 1, cudaErrorInvalidValue}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LayerTest, OnlyTheDefaultStreamExists) {
  DeviceArray<int> d_out(32, 0);
  const auto stream = reinterpret_cast<cudaStream_t>(uintptr_t{0x1000});
  zorvane::launch_kernel(fill_kernel, dim3(1), dim3(32), 0, stream, d_out.get(), 7);
  const cudaError_t status = cudaGetLastError();
  EXPECT_EQ(status, cudaErrorInvalidResourceHandle);
  EXPECT_STREQ(cudaGetErrorString(status), "invalid resource handle");
  EXPECT_EQ(cudaMemsetAsync(d_out.get(), 1, 4, stream), cudaErrorInvalidResourceHandle);
  const int one = 1;
  EXPECT_EQ(cudaMemcpyAsync(d_out.get(), &one, 4, cudaMemcpyHostToDevice, stream), cudaErrorInvalidResourceHandle);
  EXPECT_EQ(cudaStreamSynchronize(stream), cudaErrorInvalidResourceHandle);
  EXPECT_EQ(d_out.host()[0], 0);
  (void)cudaGetLastError();
}

TEST_F(LayerTest, InjectedLaunchFaultHitsTheNthLaunchOnly) {
  for (cudaError_t error : {cudaSuccess, cudaErrorLaunchOutOfResources}) {
    const cudaError_t expected = error == cudaSuccess ? cudaErrorLaunchFailure : error;
    cpu_layer::inject_fault(cpu_layer::FaultKind::launch, 2, error);
    for (int n = 1; n <= 3; ++n) {
      DeviceArray<int> d_out(32, 0);
      const uint64_t launches = cpu_layer::launch_count();
      const cudaError_t status = launch(fill_kernel, 1, 32, 0, d_out.get(), n);
      EXPECT_EQ(status, n == 2 ? expected : cudaSuccess) << "launch " << n;
      EXPECT_EQ(cpu_layer::launch_count() - launches, n == 2 ? 0u : 1u) << "launch " << n;
      EXPECT_EQ(d_out.host()[31], n == 2 ? 0 : n) << "launch " << n;
    }
  }
}

// ---- grids spread over host threads -------------------------------------------------

TEST_F(LayerTest, AtomicHistogramIsTheSameOnOneOrSeveralHostThreads) {
  const unsigned n = 1u << 20, nbins = 97;
  std::vector<unsigned> keys(n);
  for (unsigned i = 0; i < n; ++i) keys[i] = (i * 2654435761u) ^ (i >> 7);
  std::vector<double> expected_bins(nbins, 0.0);
  std::vector<unsigned> expected_counts(nbins, 0);
  for (unsigned i = 0; i < n; ++i) {
    expected_bins[keys[i] % nbins] += i % 7 + 1;
    ++expected_counts[keys[i] % nbins];
  }
  DeviceArray<unsigned> d_keys(keys);
  for (unsigned host_threads : {1u, 3u}) {
    SCOPED_TRACE(host_threads);
    cpu_layer::set_host_threads(host_threads);
    DeviceArray<double> d_bins(nbins, 0);
    DeviceArray<unsigned> d_counts(nbins, 0);
    ASSERT_EQ(launch(histogram_kernel, zorvane::blocks_for(n, 256), 256, 0, d_keys.get(), n, d_bins.get(),
                     d_counts.get(), nbins),
              cudaSuccess);
    EXPECT_EQ(d_bins.host(), expected_bins);
    EXPECT_EQ(d_counts.host(), expected_counts);
  }
}

// Every thread of a 3-D grid sees its own coordinates exactly once, in flat
// and fiber mode, whether blocks run on one host thread or several; the
// address of a __shared__ variable tells which host thread ran a block.
TEST_F(LayerTest, ThreeDimensionalGridCoordinatesOnSeveralHostThreads) {
  const dim3 grid(5, 3, 4), block(4, 2, 3);
  const unsigned blocks = grid.x * grid.y * grid.z, threads = block.x * block.y * block.z;
  for (unsigned host_threads : {1u, 3u}) {
    cpu_layer::set_host_threads(host_threads);
    for (int sync_first : {0, 1}) {
      SCOPED_TRACE(::testing::Message() << host_threads << " host threads, sync " << sync_first);
      // Workers may be slow to wake on a loaded machine; longer kernels give
      // them the time to take part.
      size_t hosts_seen = 0;
      for (int spin = 2000; spin <= 64000 && hosts_seen < std::min<size_t>(2, host_threads); spin *= 2) {
        DeviceArray<unsigned> d_out(size_t{blocks} * threads, 0xff);
        DeviceArray<unsigned long long> d_where(blocks, 0);
        ASSERT_EQ(launch(index_map_kernel, grid, block, 0, d_out.get(), d_where.get(), sync_first, spin), cudaSuccess);
        const auto out = d_out.host();
        for (unsigned b = 0; b < blocks; ++b)
          for (unsigned t = 0; t < threads; ++t) {
            const uint3 bi{b % grid.x, b / grid.x % grid.y, b / (grid.x * grid.y)};
            const uint3 ti{t % block.x, t / block.x % block.y, t / (block.x * block.y)};
            ASSERT_EQ(out[size_t{b} * threads + t], pack_index(bi, ti)) << "block " << b << " thread " << t;
          }
        const auto where = d_where.host();
        hosts_seen = std::set<unsigned long long>(where.begin(), where.end()).size();
        ASSERT_LE(hosts_seen, host_threads);
      }
      EXPECT_GE(hosts_seen, std::min<size_t>(2, host_threads)) << "blocks were not spread";
    }
  }
}

// Two host threads launching at once: one gets the pool, the other runs its
// grid alone; both get their own results.
TEST_F(LayerTest, ConcurrentLaunchesFromTwoHostThreads) {
  const unsigned blocks = 200, threads = 256;
  auto worker = [&](int seed, int* failures) {
    std::vector<double> in(size_t{blocks} * threads);
    for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<double>((i * 13 + seed) % 17);
    DeviceArray<double> d_in(in), d_out(blocks);
    for (int round = 0; round < 5; ++round) {
      if (launch(block_sum_kernel, blocks, threads, 0, d_in.get(), d_out.get()) != cudaSuccess) ++*failures;
      const auto out = d_out.host();
      for (size_t b = 0; b < blocks; ++b)
        if (out[b] != std::accumulate(in.begin() + b * threads, in.begin() + (b + 1) * threads, 0.0)) ++*failures;
    }
  };
  int failures_a = 0, failures_b = 0;
  std::thread a(worker, 1, &failures_a), b(worker, 2, &failures_b);
  a.join();
  b.join();
  EXPECT_EQ(failures_a, 0);
  EXPECT_EQ(failures_b, 0);
}

}  // namespace
}  // namespace zorvane_test
