// Runtime API of the CPU execution layer: per-host-thread state, devices,
// tracked device memory with a capacity, copy checks and injected faults.
#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include <cuda_runtime.h>

#include "cpu_layer/control.h"
#include "test_kernels.h"
#include "test_support.h"

namespace zorvane_test {
namespace {

using cpu_layer::FaultKind;

TEST_F(LayerTest, LastErrorAndCurrentDeviceBelongToTheHostThread) {
  cpu_layer::set_device_count(2);
  ASSERT_EQ(launch(fill_kernel, 1, 2048, 0, nullptr, 0), cudaErrorInvalidConfiguration);
  // The launcher read (and cleared) the error; record it again for this thread.
  ASSERT_EQ(cudaSetDevice(5), cudaErrorInvalidDevice);

  cudaError_t seen_there = cudaErrorUnknown, left_there = cudaErrorUnknown;
  int device_there = -1;
  std::thread other([&] {
    seen_there = cudaPeekAtLastError();
    cudaGetDevice(&device_there);
    cudaSetDevice(1);
    cudaSetDevice(-1);  // leaves an error behind on that thread only
    left_there = cudaPeekAtLastError();
  });
  other.join();
  EXPECT_EQ(seen_there, cudaSuccess);
  EXPECT_EQ(device_there, 0);
  EXPECT_EQ(left_there, cudaErrorInvalidDevice);

  int device = -1;
  ASSERT_EQ(cudaGetDevice(&device), cudaSuccess);
  EXPECT_EQ(device, 0) << "cudaSetDevice on another thread leaked here";
  EXPECT_EQ(cudaPeekAtLastError(), cudaErrorInvalidDevice) << "peeking does not clear";
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidDevice);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

TEST_F(LayerTest, DeviceOrdinalsFollowTheDeviceCount) {
  cpu_layer::set_device_count(2);
  int count = 0;
  ASSERT_EQ(cudaGetDeviceCount(&count), cudaSuccess);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(cudaSetDevice(1), cudaSuccess);
  int device = -1;
  cudaGetDevice(&device);
  EXPECT_EQ(device, 1);
  for (int bad : {2, -1, 1000}) {
    SCOPED_TRACE(bad);
    const cudaError_t status = cudaSetDevice(bad);
    EXPECT_EQ(status, cudaErrorInvalidDevice);
    EXPECT_STREQ(cudaGetErrorString(status), "invalid device ordinal");
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidDevice);
    cudaGetDevice(&device);
    EXPECT_EQ(device, 1) << "a refused ordinal changed the current device";
  }
  // Allocations are charged to the current device.
  void* p = nullptr;
  const size_t before = live_bytes_on(1);
  ASSERT_EQ(cudaMalloc(&p, 1000), cudaSuccess);
  EXPECT_EQ(live_bytes_on(1), before + 1000);
  ASSERT_EQ(cudaFree(p), cudaSuccess);
  EXPECT_EQ(live_bytes_on(1), before);
  // Lowering the count strands the current device, not its allocations.
  ASSERT_EQ(cudaMalloc(&p, 1000), cudaSuccess);
  cpu_layer::set_device_count(1);
  void* q = nullptr;
  EXPECT_EQ(cudaMalloc(&q, 8), cudaErrorInvalidDevice);
  EXPECT_EQ(cudaFree(p), cudaSuccess);
  EXPECT_EQ(live_bytes_on(1), before);
  (void)cudaGetLastError();
}

TEST_F(LayerTest, AllocationsAreTrackedUntilFreed) {
  const size_t before = cpu_layer::live_allocations().size();
  std::vector<void*> ptrs;
  for (size_t bytes : {1u, 17u, 4096u, 100000u}) {
    void* p = nullptr;
    ASSERT_EQ(cudaMalloc(&p, bytes), cudaSuccess);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
    ptrs.push_back(p);
  }
  auto live = cpu_layer::live_allocations();
  ASSERT_EQ(live.size(), before + 4);
  std::vector<uint64_t> sizes;
  for (const auto& a : live) sizes.push_back(a.bytes);
  for (uint64_t bytes : {1u, 17u, 4096u, 100000u})
    EXPECT_NE(std::find(sizes.begin(), sizes.end(), bytes), sizes.end()) << bytes;
  for (void* p : ptrs) ASSERT_EQ(cudaFree(p), cudaSuccess);
  EXPECT_EQ(cpu_layer::live_allocations().size(), before);
  void* none = reinterpret_cast<void*>(1);
  EXPECT_EQ(cudaMalloc(&none, 0), cudaSuccess);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(cudaFree(nullptr), cudaSuccess);
}

TEST_F(LayerTest, CapacityTurnsOversizedRequestsIntoOutOfMemory) {
  cpu_layer::set_memory_capacity(live_bytes_on(0) + (1u << 20));
  void* big = nullptr;
  cudaError_t status = cudaMalloc(&big, (1u << 20) + 1);
  EXPECT_EQ(status, cudaErrorMemoryAllocation);
  EXPECT_STREQ(cudaGetErrorString(status), "out of memory");
  EXPECT_EQ(big, nullptr);
  EXPECT_EQ(cudaGetLastError(), cudaErrorMemoryAllocation);

  void* half1 = nullptr;
  void* half2 = nullptr;
  void* extra = nullptr;
  ASSERT_EQ(cudaMalloc(&half1, 1u << 19), cudaSuccess);
  ASSERT_EQ(cudaMalloc(&half2, 1u << 19), cudaSuccess);
  size_t free_bytes = 1, total = 0;
  ASSERT_EQ(cudaMemGetInfo(&free_bytes, &total), cudaSuccess);
  EXPECT_EQ(free_bytes, 0u);
  EXPECT_EQ(cudaMalloc(&extra, 1), cudaErrorMemoryAllocation);
  ASSERT_EQ(cudaFree(half1), cudaSuccess);
  EXPECT_EQ(cudaMalloc(&extra, 1), cudaSuccess) << "freed memory is available again";
  cudaFree(extra);
  cudaFree(half2);
  (void)cudaGetLastError();
}

// Device memory ends at a guard page: an overrun faults at once.
TEST_F(LayerTest, WritingPastAnAllocationFaults) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        unsigned char* p = nullptr;
        cudaMalloc(&p, 4096);
        static_cast<volatile unsigned char*>(p)[4096] = 1;
      },
      "");
}

TEST_F(LayerTest, FreeingAPointerThatIsNoAllocationIsInvalid) {
  int on_stack = 0;
  char* p = nullptr;
  ASSERT_EQ(cudaMalloc(&p, 64), cudaSuccess);
  for (void* bad : {static_cast<void*>(&on_stack), static_cast<void*>(p + 8)}) {
    EXPECT_EQ(cudaFree(bad), cudaErrorInvalidValue);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
  }
  EXPECT_EQ(cudaFree(p), cudaSuccess);
  EXPECT_EQ(cudaFree(p), cudaErrorInvalidValue) << "double free";
  (void)cudaGetLastError();
}

TEST_F(LayerTest, CopiesAndMemsetsMustStayInsideTheirAllocation) {
  char* dev = nullptr;
  char* dev2 = nullptr;
  ASSERT_EQ(cudaMalloc(&dev, 100), cudaSuccess);
  ASSERT_EQ(cudaMalloc(&dev2, 100), cudaSuccess);
  std::vector<char> host(200, 'x');
  struct Case {
    void* dst;
    const void* src;
    size_t count;
    cudaMemcpyKind kind;
    cudaError_t expected;
  };
  const Case cases[] = {
      {dev, host.data(), 100, cudaMemcpyHostToDevice, cudaSuccess},
      {dev + 50, host.data(), 50, cudaMemcpyHostToDevice, cudaSuccess},
      {dev, host.data(), 101, cudaMemcpyHostToDevice, cudaErrorInvalidValue},
      {dev + 60, host.data(), 41, cudaMemcpyHostToDevice, cudaErrorInvalidValue},
      {host.data(), dev, 100, cudaMemcpyDeviceToHost, cudaSuccess},
      {host.data(), dev + 1, 100, cudaMemcpyDeviceToHost, cudaErrorInvalidValue},
      {host.data(), host.data() + 100, 100, cudaMemcpyDeviceToHost, cudaErrorInvalidValue},
      {dev2, dev, 100, cudaMemcpyDeviceToDevice, cudaSuccess},
      {dev2, host.data(), 10, cudaMemcpyDeviceToDevice, cudaErrorInvalidValue},
      {host.data(), host.data() + 100, 100, cudaMemcpyHostToHost, cudaSuccess},
      {dev, host.data(), 10, static_cast<cudaMemcpyKind>(7), cudaErrorInvalidMemcpyDirection},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    EXPECT_EQ(cudaMemcpy(c.dst, c.src, c.count, c.kind), c.expected) << "case " << i;
    EXPECT_EQ(cudaGetLastError(), c.expected) << "case " << i;
  }
  EXPECT_EQ(cudaMemset(dev + 90, 0, 10), cudaSuccess);
  EXPECT_EQ(cudaMemset(dev + 90, 0, 11), cudaErrorInvalidValue);
  EXPECT_EQ(cudaMemset(host.data(), 0, 10), cudaErrorInvalidValue);
  (void)cudaGetLastError();
  // Data moved by the successful copies.
  std::vector<char> pattern(100);
  for (int i = 0; i < 100; ++i) pattern[i] = static_cast<char>(i);
  ASSERT_EQ(cudaMemcpy(dev, pattern.data(), 100, cudaMemcpyHostToDevice), cudaSuccess);
  ASSERT_EQ(cudaMemcpy(dev2, dev, 100, cudaMemcpyDeviceToDevice), cudaSuccess);
  std::vector<char> back(100);
  ASSERT_EQ(cudaMemcpy(back.data(), dev2, 100, cudaMemcpyDeviceToHost), cudaSuccess);
  EXPECT_EQ(back, pattern);
  cudaFree(dev);
  cudaFree(dev2);
}

struct FaultCase {
  const char* name;
  FaultKind kind;
  cudaError_t injected;  // cudaSuccess: the kind's default
  cudaError_t expected;
};

class FaultTest : public LayerTest, public ::testing::WithParamInterface<FaultCase> {};

// Runs one operation of the fault's kind; returns its status.
cudaError_t operate(FaultKind kind, std::vector<void*>& allocations) {
  static char host_block[3][64];
  static int register_calls = 0;
  switch (kind) {
    case FaultKind::allocation: {
      void* p = nullptr;
      const cudaError_t e = cudaMalloc(&p, 256);
      if (p != nullptr) allocations.push_back(p);
      return e;
    }
    case FaultKind::copy: {
      void* p = nullptr;
      if (cudaMalloc(&p, 64) != cudaSuccess) return cudaErrorUnknown;
      allocations.push_back(p);
      return cudaMemcpy(p, host_block[0], 64, cudaMemcpyHostToDevice);
    }
    case FaultKind::launch: {
      int* p = nullptr;
      if (cudaMalloc(&p, 32 * sizeof(int)) != cudaSuccess) return cudaErrorUnknown;
      allocations.push_back(p);
      return launch(fill_kernel, 1, 32, 0, p, 1);
    }
    case FaultKind::host_register: {
      char* block = host_block[register_calls++ % 3];
      const cudaError_t e = cudaHostRegister(block, 64, cudaHostRegisterDefault);
      if (e == cudaSuccess) cudaHostUnregister(block);
      return e;
    }
    case FaultKind::host_allocation: {
      void* p = nullptr;
      const cudaError_t e = cudaHostAlloc(&p, 64, cudaHostAllocPortable);
      if (p != nullptr) cudaFreeHost(p);
      return e;
    }
    case FaultKind::cublas_create:
    case FaultKind::cublas_set_stream:
    case FaultKind::cublas_gemm:
      break;  // cublas_test.cpp
  }
  return cudaErrorUnknown;
}

TEST_P(FaultTest, OnlyTheNthOperationFails) {
  const FaultCase& c = GetParam();
  cpu_layer::inject_fault(c.kind, 3, c.injected);
  EXPECT_EQ(cpu_layer::pending_fault(c.kind), 3u);
  std::vector<void*> allocations;
  for (int op = 1; op <= 5; ++op) {
    const cudaError_t status = operate(c.kind, allocations);
    EXPECT_EQ(status, op == 3 ? c.expected : cudaSuccess) << "operation " << op;
    EXPECT_EQ(cpu_layer::pending_fault(c.kind), op < 3 ? uint64_t(3 - op) : 0u) << "operation " << op;
    if (c.kind != FaultKind::launch) {
      EXPECT_EQ(cudaGetLastError(), status) << "operation " << op;
    }
  }
  for (void* p : allocations) cudaFree(p);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, FaultTest,
    ::testing::Values(FaultCase{"AllocationDefault", FaultKind::allocation, cudaSuccess, cudaErrorMemoryAllocation},
                      FaultCase{"CopyDefault", FaultKind::copy, cudaSuccess, cudaErrorLaunchFailure},
                      FaultCase{"CopyNamed", FaultKind::copy, cudaErrorIllegalAddress, cudaErrorIllegalAddress},
                      FaultCase{"LaunchDefault", FaultKind::launch, cudaSuccess, cudaErrorLaunchFailure},
                      FaultCase{"HostRegisterDefault", FaultKind::host_register, cudaSuccess,
                                cudaErrorNotSupported},
                      FaultCase{"HostAllocationDefault", FaultKind::host_allocation, cudaSuccess,
                                cudaErrorMemoryAllocation}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LayerTest, HostRegistrationRejectsOverlapsAndUnknownRanges) {
  std::vector<char> host(4096);
  const size_t registered = cpu_layer::host_registration_count();
  ASSERT_EQ(cudaHostRegister(host.data() + 1024, 1024, cudaHostRegisterDefault), cudaSuccess);
  for (size_t offset : {size_t{0}, size_t{1024}, size_t{2047}}) {
    const size_t length = offset == 0 ? 1025 : 16;
    EXPECT_EQ(cudaHostRegister(host.data() + offset, length, cudaHostRegisterDefault),
              cudaErrorHostMemoryAlreadyRegistered)
        << offset;
  }
  EXPECT_EQ(cudaHostRegister(host.data(), 1024, cudaHostRegisterDefault), cudaSuccess) << "adjacent below";
  EXPECT_EQ(cudaHostRegister(host.data() + 2048, 1024, cudaHostRegisterDefault), cudaSuccess) << "adjacent above";
  EXPECT_EQ(cpu_layer::host_registration_count(), registered + 3);
  EXPECT_EQ(cudaHostUnregister(host.data() + 1), cudaErrorHostMemoryNotRegistered);
  for (size_t offset : {0, 1024, 2048}) EXPECT_EQ(cudaHostUnregister(host.data() + offset), cudaSuccess);
  EXPECT_EQ(cpu_layer::host_registration_count(), registered);
  EXPECT_EQ(cudaHostUnregister(host.data()), cudaErrorHostMemoryNotRegistered);
  (void)cudaGetLastError();
}

TEST_F(LayerTest, DefaultCopiesTakeTheirDirectionFromThePointers) {
  char* dev = nullptr;
  char* dev2 = nullptr;
  ASSERT_EQ(cudaMalloc(&dev, 100), cudaSuccess);
  ASSERT_EQ(cudaMalloc(&dev2, 100), cudaSuccess);
  std::vector<char> host(200), back(100);
  for (int i = 0; i < 100; ++i) host[i] = static_cast<char>(i);
  EXPECT_EQ(cudaMemcpy(dev, host.data(), 100, cudaMemcpyDefault), cudaSuccess);
  EXPECT_EQ(cudaMemcpy(dev2 + 10, dev, 90, cudaMemcpyDefault), cudaSuccess);
  EXPECT_EQ(cudaMemcpy(host.data() + 100, host.data(), 100, cudaMemcpyDefault), cudaSuccess);
  EXPECT_EQ(cudaMemcpy(back.data(), dev2, 100, cudaMemcpyDefault), cudaSuccess);
  EXPECT_TRUE(std::equal(back.begin() + 10, back.end(), host.begin()));
  // A range that starts in device memory must end there too.
  for (auto [dst, src, count] : {std::tuple<void*, const void*, size_t>{dev + 60, host.data(), 41},
                                 {host.data(), dev2 + 1, 100}, {dev2, dev + 99, 2}}) {
    EXPECT_EQ(cudaMemcpy(dst, src, count, cudaMemcpyDefault), cudaErrorInvalidValue) << count;
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
  }
  cudaFree(dev);
  cudaFree(dev2);
}

TEST_F(LayerTest, CopiesRefuseOverlappingRanges) {
  char* dev = nullptr;
  ASSERT_EQ(cudaMalloc(&dev, 100), cudaSuccess);
  std::vector<char> host(100);
  EXPECT_EQ(cudaMemcpy(dev + 10, dev, 11, cudaMemcpyDeviceToDevice), cudaErrorInvalidValue);
  EXPECT_EQ(cudaMemcpy(dev, dev + 10, 11, cudaMemcpyDefault), cudaErrorInvalidValue);
  EXPECT_EQ(cudaMemcpy(dev, dev, 1, cudaMemcpyDefault), cudaErrorInvalidValue);
  EXPECT_EQ(cudaMemcpy(host.data() + 1, host.data(), 2, cudaMemcpyHostToHost), cudaErrorInvalidValue);
  EXPECT_EQ(cudaMemcpy(dev + 10, dev, 10, cudaMemcpyDeviceToDevice), cudaSuccess) << "adjacent";
  (void)cudaGetLastError();
  cudaFree(dev);
}

TEST_F(LayerTest, PageLockedHostMemoryIsTrackedAndFreedOnlyByFreeHost) {
  const size_t before = cpu_layer::live_host_allocations().size();
  const size_t device_before = cpu_layer::live_allocations().size();
  char* pinned = nullptr;
  ASSERT_EQ(cudaHostAlloc(reinterpret_cast<void**>(&pinned), 100, cudaHostAllocPortable), cudaSuccess);
  ASSERT_NE(pinned, nullptr);
  pinned[0] = pinned[99] = 1;
  auto live = cpu_layer::live_host_allocations();
  ASSERT_EQ(live.size(), before + 1);
  EXPECT_NE(std::find(live.begin(), live.end(), 100u), live.end());
  EXPECT_EQ(cpu_layer::live_allocations().size(), device_before) << "no device memory is charged";

  EXPECT_EQ(cudaHostRegister(pinned + 10, 10, cudaHostRegisterDefault), cudaErrorHostMemoryAlreadyRegistered);
  EXPECT_EQ(cudaHostUnregister(pinned), cudaErrorHostMemoryNotRegistered);
  EXPECT_EQ(cudaFree(pinned), cudaErrorInvalidValue);
  EXPECT_EQ(cudaFreeHost(pinned + 8), cudaErrorInvalidValue);
  void* none = reinterpret_cast<void*>(1);
  EXPECT_EQ(cudaHostAlloc(&none, 16, 0x80u), cudaErrorInvalidValue) << "unknown flag";
  EXPECT_EQ(cudaHostAlloc(&none, 0, cudaHostAllocDefault), cudaSuccess);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(cudaHostAlloc(&none, size_t{1} << 62, cudaHostAllocDefault), cudaErrorMemoryAllocation)
      << "more than the host could page-lock";

  // A copy treats it as host memory.
  char* dev = nullptr;
  ASSERT_EQ(cudaMalloc(&dev, 100), cudaSuccess);
  EXPECT_EQ(cudaMemcpy(dev, pinned, 100, cudaMemcpyDefault), cudaSuccess);
  EXPECT_EQ(cudaFreeHost(dev), cudaErrorInvalidValue);
  cudaFree(dev);

  EXPECT_EQ(cudaFreeHost(pinned), cudaSuccess);
  EXPECT_EQ(cpu_layer::live_host_allocations().size(), before);
  EXPECT_EQ(cudaFreeHost(pinned), cudaErrorInvalidValue) << "double free";
  (void)cudaGetLastError();
}

TEST_F(LayerTest, PointerAttributesTellDeviceHostAndUnregisteredMemory) {
  cpu_layer::set_device_count(2);
  ASSERT_EQ(cudaSetDevice(1), cudaSuccess);
  char* dev = nullptr;
  char* pinned = nullptr;
  ASSERT_EQ(cudaMalloc(&dev, 64), cudaSuccess);
  ASSERT_EQ(cudaSetDevice(0), cudaSuccess);
  ASSERT_EQ(cudaHostAlloc(reinterpret_cast<void**>(&pinned), 64, cudaHostAllocDefault), cudaSuccess);
  std::vector<char> plain(64), registered(64);
  ASSERT_EQ(cudaHostRegister(registered.data(), 64, cudaHostRegisterDefault), cudaSuccess);

  cudaPointerAttributes a{};
  ASSERT_EQ(cudaPointerGetAttributes(&a, dev + 63), cudaSuccess);
  EXPECT_EQ(a.type, cudaMemoryTypeDevice);
  EXPECT_EQ(a.device, 1);
  EXPECT_EQ(a.devicePointer, dev + 63);
  for (char* host : {pinned, registered.data() + 5}) {
    ASSERT_EQ(cudaPointerGetAttributes(&a, host), cudaSuccess);
    EXPECT_EQ(a.type, cudaMemoryTypeHost);
    EXPECT_EQ(a.hostPointer, host);
  }
  for (const void* other : {static_cast<const void*>(plain.data()), static_cast<const void*>(dev + 64),
                            static_cast<const void*>(nullptr)}) {
    ASSERT_EQ(cudaPointerGetAttributes(&a, other), cudaSuccess);
    EXPECT_EQ(a.type, cudaMemoryTypeUnregistered);
  }
  EXPECT_EQ(cudaPointerGetAttributes(nullptr, dev), cudaErrorInvalidValue);
  (void)cudaGetLastError();
  cudaHostUnregister(registered.data());
  cudaFreeHost(pinned);
  cudaFree(dev);
}

}  // namespace
}  // namespace zorvane_test
