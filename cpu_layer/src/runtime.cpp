// Runtime API of the CPU execution layer: errors, devices, device memory,
// copies, host registration and page-locked host memory.
//
// Device memory is host memory mapped with an inaccessible guard page on each
// side and the buffer placed against the upper guard, so a kernel that reads
// or writes past the end of an allocation faults at once instead of silently
// touching a neighbour. Every allocation is tracked with its device; a
// per-device capacity makes oversized requests fail with "out of memory" as a
// GPU would, instead of overcommitting the host. Page-locked host allocations
// are mapped the same way and tracked apart: they are host memory to copies,
// cannot be registered again, and only cudaFreeHost frees them.
//
// Copies refuse overlapping source and destination ranges, which CUDA leaves
// undefined (a host memmove would hide the mistake).
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include <cuda_runtime.h>

#include "cpu_layer/control.h"

namespace cpu_layer {
namespace {

constexpr uint64_t kAlignment = 16;

struct Allocation {
  void* mapping;
  size_t mapping_bytes;
  uint64_t bytes;    // as requested; copies and memsets are checked against it
  uint64_t charged;  // counted against the device's capacity
  int device;
};

struct HostRange {
  size_t bytes;
};

struct PinnedAllocation {
  void* mapping;
  size_t mapping_bytes;
  uint64_t bytes;
};

struct Fault {
  uint64_t countdown = 0;  // 0: none armed
  cudaError_t error = cudaSuccess;
};

struct Registry {
  std::mutex mutex;
  int devices = -1;
  uint64_t capacity = 0;
  std::map<uintptr_t, Allocation> allocations;  // keyed by the user pointer
  std::map<uintptr_t, HostRange> host_ranges;   // registered host memory
  std::map<uintptr_t, PinnedAllocation> pinned;  // cudaHostAlloc memory, keyed by the user pointer
  uint64_t pinned_bytes = 0;                     // at most the host's physical memory, as page-locking needs
  uint64_t host_memory = 0;
  std::vector<uint64_t> used;                   // bytes per device
  Fault faults[kFaultKinds];
};

uint64_t env_u64(const char* name, uint64_t fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(text, &end, 10);
  return (end != nullptr && *end == '\0') ? v : fallback;
}

uint64_t physical_memory() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page = sysconf(_SC_PAGESIZE);
  return (pages > 0 && page > 0) ? static_cast<uint64_t>(pages) * static_cast<uint64_t>(page) : (1ull << 34);
}

Registry& registry() {
  static Registry* r = [] {
    auto* reg = new Registry;  // never destroyed: states may outlive static destruction
    reg->devices = static_cast<int>(std::clamp<uint64_t>(env_u64("ZORVANE_CPU_DEVICES", 1), 1, 1024));
    reg->capacity = env_u64("ZORVANE_CPU_DEVICE_MEMORY", physical_memory());
    reg->used.assign(static_cast<size_t>(reg->devices), 0);
    reg->host_memory = physical_memory();
    return reg;
  }();
  return *r;
}

thread_local cudaError_t tls_last_error = cudaSuccess;
thread_local int tls_device = 0;

size_t page_size() {
  static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return page;
}

// The allocation that holds [ptr, ptr + bytes), or null. Caller holds the lock.
const Allocation* find_device_range(Registry& reg, const void* ptr, size_t bytes) {
  const auto p = reinterpret_cast<uintptr_t>(ptr);
  auto it = reg.allocations.upper_bound(p);
  if (it == reg.allocations.begin()) return nullptr;
  --it;
  const uintptr_t begin = it->first;
  if (p < begin || p - begin > it->second.bytes || bytes > it->second.bytes - (p - begin)) return nullptr;
  return &it->second;
}

// Whether [p, p + bytes) overlaps a range of `ranges` (keyed by start, with a
// `bytes` length). Caller holds the lock.
template <class Ranges>
bool overlaps_range(const Ranges& ranges, uintptr_t p, size_t bytes) {
  auto it = ranges.upper_bound(p);
  if (it != ranges.end() && it->first < p + bytes) return true;
  if (it == ranges.begin()) return false;
  --it;
  return it->first + it->second.bytes > p;
}

// The entry of `ranges` whose [start, start + bytes) holds p, or null.
template <class Ranges>
const typename Ranges::mapped_type* containing(const Ranges& ranges, const void* ptr) {
  const auto p = reinterpret_cast<uintptr_t>(ptr);
  auto it = ranges.upper_bound(p);
  if (it == ranges.begin()) return nullptr;
  --it;
  return p - it->first < it->second.bytes ? &it->second : nullptr;
}

struct GuardedMapping {
  void* mapping = nullptr;
  size_t mapping_bytes = 0;
  char* user = nullptr;  // `padded` bytes ending at the upper guard page
};

// Maps `padded` bytes between two inaccessible guard pages; false when the
// host cannot.
bool map_guarded(uint64_t padded, GuardedMapping& out) {
  const size_t page = page_size();
  const size_t body = (padded + page - 1) / page * page;
  const size_t mapping_bytes = body + 2 * page;
  void* mapping = mmap(nullptr, mapping_bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (mapping == MAP_FAILED) return false;
  if (mprotect(static_cast<char*>(mapping) + page, body, PROT_READ | PROT_WRITE) != 0) {
    munmap(mapping, mapping_bytes);
    return false;
  }
  out = GuardedMapping{mapping, mapping_bytes, static_cast<char*>(mapping) + page + (body - padded)};
  return true;
}

uint64_t padded_size(size_t size) { return (static_cast<uint64_t>(size) + kAlignment - 1) & ~(kAlignment - 1); }

}  // namespace

cudaError_t record_error(cudaError_t error) {
  if (error != cudaSuccess) tls_last_error = error;
  return error;
}

void set_device_count(int count) {
  auto& reg = registry();
  std::lock_guard<std::mutex> lock(reg.mutex);
  reg.devices = std::max(1, count);
  // Never shrinks: allocations made on a device that is gone are still freed
  // against its slot.
  if (reg.used.size() < static_cast<size_t>(reg.devices)) reg.used.resize(static_cast<size_t>(reg.devices), 0);
}

int device_count() {
  auto& reg = registry();
  std::lock_guard<std::mutex> lock(reg.mutex);
  return reg.devices;
}

void set_memory_capacity(uint64_t bytes) {
  auto& reg = registry();
  std::lock_guard<std::mutex> lock(reg.mutex);
  reg.capacity = bytes;
}

uint64_t memory_capacity() {
  auto& reg = registry();
  std::lock_guard<std::mutex> lock(reg.mutex);
  return reg.capacity;
}

cudaError_t default_fault_error(FaultKind kind) {
  switch (kind) {
    case FaultKind::allocation:
    case FaultKind::host_allocation:
      return cudaErrorMemoryAllocation;
    case FaultKind::host_register:
      return cudaErrorNotSupported;
    // cublasStatus_t values: allocation failed, not initialized, execution failed.
    case FaultKind::cublas_create:
      return static_cast<cudaError_t>(3);
    case FaultKind::cublas_set_stream:
      return static_cast<cudaError_t>(1);
    case FaultKind::cublas_gemm:
      return static_cast<cudaError_t>(13);
    case FaultKind::copy:
    case FaultKind::launch:
      break;
  }
  return cudaErrorLaunchFailure;
}

void inject_fault(FaultKind kind, uint64_t nth, cudaError_t error) {
  auto& reg = registry();
  std::lock_guard<std::mutex> lock(reg.mutex);
  reg.faults[static_cast<int>(kind)] = Fault{nth, error == cudaSuccess ? default_fault_error(kind) : error};
}

void clear_faults() {
  auto& reg = registry();
  std::lock_guard<std::mutex> lock(reg.mutex);
  for (auto& f : reg.faults) f = Fault{};
}

cudaError_t take_fault(FaultKind kind) {
  auto& reg = registry();
  std::lock_guard<std::mutex> lock(reg.mutex);
  Fault& f = reg.faults[static_cast<int>(kind)];
  if (f.countdown == 0) return cudaSuccess;
  if (--f.countdown != 0) return cudaSuccess;
  return f.error;
}

uint64_t pending_fault(FaultKind kind) {
  auto& reg = registry();
  std::lock_guard<std::mutex> lock(reg.mutex);
  return reg.faults[static_cast<int>(kind)].countdown;
}

size_t host_registration_count() {
  auto& reg = registry();
  std::lock_guard<std::mutex> lock(reg.mutex);
  return reg.host_ranges.size();
}

std::vector<uint64_t> live_host_allocations() {
  auto& reg = registry();
  std::lock_guard<std::mutex> lock(reg.mutex);
  std::vector<uint64_t> out;
  out.reserve(reg.pinned.size());
  for (const auto& [ptr, a] : reg.pinned) out.push_back(a.bytes);
  return out;
}

std::vector<LiveAllocation> live_allocations() {
  auto& reg = registry();
  std::lock_guard<std::mutex> lock(reg.mutex);
  std::vector<LiveAllocation> out;
  out.reserve(reg.allocations.size());
  for (const auto& [ptr, a] : reg.allocations) out.push_back(LiveAllocation{a.device, a.bytes});
  return out;
}

}  // namespace cpu_layer

using cpu_layer::record_error;

const char* cudaGetErrorString(cudaError_t error) {
  switch (error) {
    case cudaSuccess: return "no error";
    case cudaErrorInvalidValue: return "invalid argument";
    case cudaErrorMemoryAllocation: return "out of memory";
    case cudaErrorInitializationError: return "initialization error";
    case cudaErrorInvalidConfiguration: return "invalid configuration argument";
    case cudaErrorInvalidDevicePointer: return "invalid device pointer";
    case cudaErrorInvalidMemcpyDirection: return "invalid copy direction for memcpy";
    case cudaErrorInvalidDeviceFunction: return "invalid device function";
    case cudaErrorNoDevice: return "no CUDA-capable device is detected";
    case cudaErrorInvalidDevice: return "invalid device ordinal";
    case cudaErrorInvalidResourceHandle: return "invalid resource handle";
    case cudaErrorIllegalAddress: return "an illegal memory access was encountered";
    case cudaErrorLaunchOutOfResources: return "too many resources requested for launch";
    case cudaErrorHostMemoryAlreadyRegistered: return "part or all of the requested memory range is already mapped";
    case cudaErrorHostMemoryNotRegistered: return "pointer does not correspond to a registered memory region";
    case cudaErrorLaunchFailure: return "unspecified launch failure";
    case cudaErrorNotSupported: return "operation not supported";
    case cudaErrorUnknown: return "unknown error";
  }
  return "unrecognized error code";
}

const char* cudaGetErrorName(cudaError_t error) {
  switch (error) {
    case cudaSuccess: return "cudaSuccess";
    case cudaErrorInvalidValue: return "cudaErrorInvalidValue";
    case cudaErrorMemoryAllocation: return "cudaErrorMemoryAllocation";
    case cudaErrorInitializationError: return "cudaErrorInitializationError";
    case cudaErrorInvalidConfiguration: return "cudaErrorInvalidConfiguration";
    case cudaErrorInvalidDevicePointer: return "cudaErrorInvalidDevicePointer";
    case cudaErrorInvalidMemcpyDirection: return "cudaErrorInvalidMemcpyDirection";
    case cudaErrorInvalidDeviceFunction: return "cudaErrorInvalidDeviceFunction";
    case cudaErrorNoDevice: return "cudaErrorNoDevice";
    case cudaErrorInvalidDevice: return "cudaErrorInvalidDevice";
    case cudaErrorInvalidResourceHandle: return "cudaErrorInvalidResourceHandle";
    case cudaErrorIllegalAddress: return "cudaErrorIllegalAddress";
    case cudaErrorLaunchOutOfResources: return "cudaErrorLaunchOutOfResources";
    case cudaErrorHostMemoryAlreadyRegistered: return "cudaErrorHostMemoryAlreadyRegistered";
    case cudaErrorHostMemoryNotRegistered: return "cudaErrorHostMemoryNotRegistered";
    case cudaErrorLaunchFailure: return "cudaErrorLaunchFailure";
    case cudaErrorNotSupported: return "cudaErrorNotSupported";
    case cudaErrorUnknown: return "cudaErrorUnknown";
  }
  return "unrecognized error code";
}

cudaError_t cudaGetLastError() {
  const cudaError_t e = cpu_layer::tls_last_error;
  cpu_layer::tls_last_error = cudaSuccess;
  return e;
}

cudaError_t cudaPeekAtLastError() { return cpu_layer::tls_last_error; }

cudaError_t cudaGetDeviceCount(int* count) {
  if (count == nullptr) return record_error(cudaErrorInvalidValue);
  *count = cpu_layer::device_count();
  return cudaSuccess;
}

cudaError_t cudaSetDevice(int device) {
  if (device < 0 || device >= cpu_layer::device_count()) return record_error(cudaErrorInvalidDevice);
  cpu_layer::tls_device = device;
  return cudaSuccess;
}

cudaError_t cudaGetDevice(int* device) {
  if (device == nullptr) return record_error(cudaErrorInvalidValue);
  *device = cpu_layer::tls_device;
  return cudaSuccess;
}

cudaError_t cudaMalloc(void** ptr, size_t size) {
  using namespace cpu_layer;
  if (ptr == nullptr) return record_error(cudaErrorInvalidValue);
  *ptr = nullptr;
  if (size == 0) return cudaSuccess;
  if (const cudaError_t injected = take_fault(FaultKind::allocation)) return record_error(injected);
  auto& reg = registry();
  const int device = tls_device;
  const uint64_t padded = padded_size(size);
  {
    std::lock_guard<std::mutex> lock(reg.mutex);
    if (device >= reg.devices) return record_error(cudaErrorInvalidDevice);  // device count lowered since
    if (padded < size || padded > reg.capacity || reg.used[device] > reg.capacity - padded)
      return record_error(cudaErrorMemoryAllocation);
    reg.used[device] += padded;
  }
  GuardedMapping m;
  if (!map_guarded(padded, m)) {
    std::lock_guard<std::mutex> lock(reg.mutex);
    reg.used[device] -= padded;
    return record_error(cudaErrorMemoryAllocation);
  }
  {
    std::lock_guard<std::mutex> lock(reg.mutex);
    reg.allocations[reinterpret_cast<uintptr_t>(m.user)] = Allocation{m.mapping, m.mapping_bytes, size, padded, device};
  }
  *ptr = m.user;
  return cudaSuccess;
}

cudaError_t cudaFree(void* ptr) {
  using namespace cpu_layer;
  if (ptr == nullptr) return cudaSuccess;
  auto& reg = registry();
  Allocation a{};
  {
    std::lock_guard<std::mutex> lock(reg.mutex);
    auto it = reg.allocations.find(reinterpret_cast<uintptr_t>(ptr));
    if (it == reg.allocations.end()) return record_error(cudaErrorInvalidValue);
    a = it->second;
    reg.allocations.erase(it);
    reg.used[a.device] -= a.charged;
  }
  munmap(a.mapping, a.mapping_bytes);
  return cudaSuccess;
}

cudaError_t cudaMemGetInfo(size_t* free_bytes, size_t* total_bytes) {
  using namespace cpu_layer;
  if (free_bytes == nullptr || total_bytes == nullptr) return record_error(cudaErrorInvalidValue);
  auto& reg = registry();
  std::lock_guard<std::mutex> lock(reg.mutex);
  *total_bytes = reg.capacity;
  if (tls_device >= reg.devices) return record_error(cudaErrorInvalidDevice);
  *free_bytes = reg.capacity - std::min(reg.capacity, reg.used[tls_device]);
  return cudaSuccess;
}

cudaError_t cudaMemset(void* ptr, int value, size_t count) {
  using namespace cpu_layer;
  if (count == 0) return cudaSuccess;
  auto& reg = registry();
  {
    std::lock_guard<std::mutex> lock(reg.mutex);
    if (find_device_range(reg, ptr, count) == nullptr) return record_error(cudaErrorInvalidValue);
  }
  std::memset(ptr, value, count);
  return cudaSuccess;
}

// Only the default stream exists; any other handle is foreign.
cudaError_t cudaMemsetAsync(void* ptr, int value, size_t count, cudaStream_t stream) {
  if (stream != nullptr) return record_error(cudaErrorInvalidResourceHandle);
  return cudaMemset(ptr, value, count);
}

cudaError_t cudaMemcpy(void* dst, const void* src, size_t count, cudaMemcpyKind kind) {
  using namespace cpu_layer;
  if (count == 0) return cudaSuccess;
  if (dst == nullptr || src == nullptr) return record_error(cudaErrorInvalidValue);
  auto& reg = registry();
  {
    std::lock_guard<std::mutex> lock(reg.mutex);
    const bool dst_device = find_device_range(reg, dst, count) != nullptr;
    const bool src_device = find_device_range(reg, src, count) != nullptr;
    bool valid = false;
    switch (kind) {
      case cudaMemcpyHostToHost: valid = true; break;
      case cudaMemcpyHostToDevice: valid = dst_device; break;
      case cudaMemcpyDeviceToHost: valid = src_device; break;
      case cudaMemcpyDeviceToDevice: valid = dst_device && src_device; break;
      case cudaMemcpyDefault:
        // The direction follows from the pointers: one that starts inside a
        // device allocation is device memory and must stay inside it, any
        // other is host memory.
        valid = (dst_device || containing(reg.allocations, dst) == nullptr) &&
                (src_device || containing(reg.allocations, src) == nullptr);
        break;
      default: return record_error(cudaErrorInvalidMemcpyDirection);
    }
    if (!valid) return record_error(cudaErrorInvalidValue);
    const auto d = reinterpret_cast<uintptr_t>(dst), s = reinterpret_cast<uintptr_t>(src);
    if (d < s + count && s < d + count) return record_error(cudaErrorInvalidValue);
  }
  if (const cudaError_t injected = take_fault(FaultKind::copy)) return record_error(injected);
  std::memmove(dst, src, count);
  return cudaSuccess;
}

cudaError_t cudaMemcpyAsync(void* dst, const void* src, size_t count, cudaMemcpyKind kind, cudaStream_t stream) {
  if (stream != nullptr) return record_error(cudaErrorInvalidResourceHandle);
  return cudaMemcpy(dst, src, count, kind);
}

cudaError_t cudaHostRegister(void* ptr, size_t size, unsigned int) {
  using namespace cpu_layer;
  if (ptr == nullptr || size == 0) return record_error(cudaErrorInvalidValue);
  if (const cudaError_t injected = take_fault(FaultKind::host_register)) return record_error(injected);
  auto& reg = registry();
  std::lock_guard<std::mutex> lock(reg.mutex);
  const auto p = reinterpret_cast<uintptr_t>(ptr);
  if (overlaps_range(reg.host_ranges, p, size) || overlaps_range(reg.pinned, p, size))
    return record_error(cudaErrorHostMemoryAlreadyRegistered);
  reg.host_ranges[p] = HostRange{size};
  return cudaSuccess;
}

cudaError_t cudaHostUnregister(void* ptr) {
  using namespace cpu_layer;
  auto& reg = registry();
  std::lock_guard<std::mutex> lock(reg.mutex);
  if (reg.host_ranges.erase(reinterpret_cast<uintptr_t>(ptr)) == 0)
    return record_error(cudaErrorHostMemoryNotRegistered);
  return cudaSuccess;
}

cudaError_t cudaHostAlloc(void** ptr, size_t size, unsigned int flags) {
  using namespace cpu_layer;
  constexpr unsigned int known = cudaHostAllocPortable | cudaHostAllocMapped | cudaHostAllocWriteCombined;
  if (ptr == nullptr || (flags & ~known) != 0) return record_error(cudaErrorInvalidValue);
  *ptr = nullptr;
  if (size == 0) return cudaSuccess;
  if (const cudaError_t injected = take_fault(FaultKind::host_allocation)) return record_error(injected);
  const uint64_t padded = padded_size(size);
  auto& reg = registry();
  {
    std::lock_guard<std::mutex> lock(reg.mutex);
    if (padded < size || padded > reg.host_memory - std::min(reg.host_memory, reg.pinned_bytes))
      return record_error(cudaErrorMemoryAllocation);
    reg.pinned_bytes += padded;
  }
  GuardedMapping m;
  if (!map_guarded(padded, m)) {
    std::lock_guard<std::mutex> lock(reg.mutex);
    reg.pinned_bytes -= padded;
    return record_error(cudaErrorMemoryAllocation);
  }
  {
    std::lock_guard<std::mutex> lock(reg.mutex);
    reg.pinned[reinterpret_cast<uintptr_t>(m.user)] = PinnedAllocation{m.mapping, m.mapping_bytes, size};
  }
  *ptr = m.user;
  return cudaSuccess;
}

cudaError_t cudaFreeHost(void* ptr) {
  using namespace cpu_layer;
  if (ptr == nullptr) return cudaSuccess;
  auto& reg = registry();
  PinnedAllocation a{};
  {
    std::lock_guard<std::mutex> lock(reg.mutex);
    auto it = reg.pinned.find(reinterpret_cast<uintptr_t>(ptr));
    if (it == reg.pinned.end()) return record_error(cudaErrorInvalidValue);
    a = it->second;
    reg.pinned.erase(it);
    reg.pinned_bytes -= padded_size(a.bytes);
  }
  munmap(a.mapping, a.mapping_bytes);
  return cudaSuccess;
}

// Device memory reports its device; page-locked and registered host memory is
// host memory mapped for the device (the same address on both sides, as with
// unified addressing); anything else is unregistered.
cudaError_t cudaPointerGetAttributes(cudaPointerAttributes* attributes, const void* ptr) {
  using namespace cpu_layer;
  if (attributes == nullptr) return record_error(cudaErrorInvalidValue);
  auto& reg = registry();
  std::lock_guard<std::mutex> lock(reg.mutex);
  void* p = const_cast<void*>(ptr);
  if (const Allocation* a = containing(reg.allocations, ptr)) {
    *attributes = cudaPointerAttributes{cudaMemoryTypeDevice, a->device, p, nullptr};
  } else if (containing(reg.pinned, ptr) != nullptr || containing(reg.host_ranges, ptr) != nullptr) {
    *attributes = cudaPointerAttributes{cudaMemoryTypeHost, tls_device, p, p};
  } else {
    *attributes = cudaPointerAttributes{cudaMemoryTypeUnregistered, -2, nullptr, nullptr};
  }
  return cudaSuccess;
}

cudaError_t cudaStreamSynchronize(cudaStream_t stream) {
  // Work runs to completion when it is issued; only the default stream exists.
  if (stream != nullptr) return record_error(cudaErrorInvalidResourceHandle);
  return cudaSuccess;
}

cudaError_t cudaDeviceSynchronize() { return cudaSuccess; }
