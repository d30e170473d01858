// Grid execution of the CPU execution layer.
//
// A launch is checked as the CUDA runtime checks it, then every block runs to
// completion before `launch_grid` returns (work on the default stream is
// ordered, so finishing early is indistinguishable to the caller).
//
// A block runs in one of two modes. In fiber mode each of its threads is a
// fiber on a pooled stack, and a scheduler on the host thread resumes them in
// turn: a barrier or warp operation suspends its thread until every thread it
// waits for has arrived. In flat mode the threads are plain calls, one after
// the other, which is an order of magnitude cheaper and exact for any kernel
// that never synchronises. Block 0 always runs in fiber mode; when none of its
// threads reached a barrier or warp operation, the kernel is taken to have none
// and the other blocks run flat. A flat block that reaches one anyway fails the
// launch: running on past a barrier that does not wait would give wrong
// results silently.
//
// Blocks are spread over a persistent pool of host threads in contiguous
// chunks. A block never leaves the host thread that started it, because
// __shared__ variables are thread-local storage.
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include <boost/context/fiber.hpp>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif

#include <cuda_runtime.h>

#include "cpu_layer/control.h"
#include "host_parallel.h"

namespace cpu_layer {

__thread ThreadContext* tls_thread __attribute__((tls_model("initial-exec"))) = nullptr;

namespace ctx = boost::context;

// AddressSanitizer must be told whenever execution moves to another stack
// (it tracks the current stack's bounds and its fake frames); without a
// sanitizer these are no-ops.
struct StackBounds {
  const void* bottom = nullptr;
  size_t size = 0;
};

inline void start_stack_switch([[maybe_unused]] void** fake_stack, [[maybe_unused]] StackBounds to) {
#if defined(__SANITIZE_ADDRESS__)
  __sanitizer_start_switch_fiber(fake_stack, to.bottom, to.size);
#endif
}

inline void finish_stack_switch([[maybe_unused]] void* fake_stack, [[maybe_unused]] StackBounds* from) {
#if defined(__SANITIZE_ADDRESS__)
  __sanitizer_finish_switch_fiber(fake_stack, from ? &from->bottom : nullptr, from ? &from->size : nullptr);
#endif
}

enum class ThreadState : unsigned char { ready, at_barrier, at_warp_op, done };
enum class WarpOp : unsigned char { sync, exchange };

// One simulated thread of a fiber-mode block.
struct SimThread {
  ThreadContext context;
  ctx::fiber fiber;      // the thread while it is suspended
  ctx::fiber scheduler;  // where the thread returns to when it suspends
  ThreadState state = ThreadState::ready;
  bool started = false;
  WarpOp op = WarpOp::sync;
  unsigned mask = 0;
  unsigned source = 0;
  unsigned long long value = 0;  // shuffle operand, then its result
  const char* site = nullptr;
  StackBounds stack;                // the fiber's own stack
  void* fake_stack = nullptr;       // sanitizer state while suspended
};

struct BlockRun {
  bool flat = true;
  bool synced = false;  // a thread reached a barrier or warp operation
  cudaError_t failure = cudaSuccess;
  SimThread* threads = nullptr;
  GridBody body = nullptr;
  const void* closure = nullptr;
  StackBounds scheduler_stack;  // the host thread's stack, which resumes the fibers
};

namespace {

constexpr size_t kMaxDynamicShared = 48 * 1024;
constexpr unsigned kMaxBlockThreads = 1024;
// Kernels keep little on the stack (registers on a GPU); 64 KiB leaves a wide
// margin, and the guard page below each stack turns an overflow into a fault.
constexpr size_t kFiberStack = 64 * 1024;
// Estimated remaining work, in nanoseconds, above which a grid is worth
// waking the pool for.
constexpr int64_t kParallelWorkNs = 100 * 1000;

// Thrown at a barrier reached in flat mode: unwinds the kernel back to the
// block loop, which fails the launch.
struct FlatBarrier {};

cudaError_t check_configuration(dim3 grid, dim3 block, size_t shared) {
  const uint64_t threads = uint64_t{block.x} * block.y * block.z;
  if (block.x == 0 || block.y == 0 || block.z == 0 || block.x > 1024 || block.y > 1024 || block.z > 64 ||
      threads > kMaxBlockThreads)
    return cudaErrorInvalidConfiguration;
  if (grid.x == 0 || grid.y == 0 || grid.z == 0 || grid.x > 0x7fffffffu || grid.y > 65535 || grid.z > 65535)
    return cudaErrorInvalidConfiguration;
  if (shared > kMaxDynamicShared) return cudaErrorInvalidValue;
  return cudaSuccess;
}

// Fiber stacks of one host thread, reused across blocks and launches. At most
// one block's threads are alive at a time, so the pool never holds more than
// kMaxBlockThreads stacks.
class StackPool {
 public:
  StackPool() {
    free_.reserve(kMaxBlockThreads);
    mappings_.reserve(kMaxBlockThreads);
  }
  ~StackPool() {
    for (void* m : mappings_) {
#if defined(__SANITIZE_ADDRESS__)
      // A stack's frames may still be marked in the sanitizer's shadow; the
      // address range can next be handed out by mmap for something else.
      __asan_unpoison_memory_region(m, kFiberStack + page());
#endif
      munmap(m, kFiberStack + page());
    }
  }
  StackPool(const StackPool&) = delete;
  StackPool& operator=(const StackPool&) = delete;

  ctx::stack_context allocate() {
    if (free_.empty()) grow();
    char* base = free_.back();
    free_.pop_back();
    ctx::stack_context sc;
    sc.size = kFiberStack;
    sc.sp = base + kFiberStack;
    return sc;
  }
  // Never reallocates: the capacity covers every stack ever mapped.
  void deallocate(ctx::stack_context& sc) noexcept { free_.push_back(static_cast<char*>(sc.sp) - kFiberStack); }

 private:
  static size_t page() {
    static const size_t p = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return p;
  }
  void grow() {
    if (mappings_.size() >= kMaxBlockThreads) throw std::bad_alloc();
    void* m = mmap(nullptr, kFiberStack + page(), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1,
                   0);
    if (m == MAP_FAILED) throw std::bad_alloc();
    mprotect(m, page(), PROT_NONE);  // stacks grow down onto this page
    mappings_.push_back(m);
    free_.push_back(static_cast<char*>(m) + page());
  }

  std::vector<char*> free_;
  std::vector<void*> mappings_;
};

// The stack allocator each fiber carries: a handle on its host thread's pool.
struct PooledStack {
  StackPool* pool;
  SimThread* owner;
  ctx::stack_context allocate() {
    const ctx::stack_context sc = pool->allocate();
    owner->stack = StackBounds{static_cast<char*>(sc.sp) - sc.size, sc.size};
    return sc;
  }
  void deallocate(ctx::stack_context& sc) noexcept { pool->deallocate(sc); }
};

struct alignas(64) SharedBytes {
  unsigned char bytes[kMaxDynamicShared];
};

// What one host thread needs to run blocks: its fiber stacks, the dynamic
// shared memory of its current block, and that block's threads.
struct Participant {
  StackPool stacks;
  std::unique_ptr<SharedBytes> shared = std::make_unique<SharedBytes>();
  std::vector<SimThread> sims;
  BlockRun run;
};

Participant& participant() {
  thread_local Participant p;
  return p;
}

struct Grid {
  dim3 grid;
  dim3 block;
  size_t shared;
  GridBody body;
  FlatBlockBody flat_block;
  const void* closure;
  uint64_t blocks;
  unsigned threads;
};

uint3 block_index(const Grid& g, uint64_t linear) {
  const uint64_t rest = linear / g.grid.x;
  return uint3{static_cast<unsigned>(linear % g.grid.x), static_cast<unsigned>(rest % g.grid.y),
               static_cast<unsigned>(rest / g.grid.y)};
}

unsigned linear_thread(const ThreadContext& t) {
  return t.thread_idx.x + t.block_dim.x * (t.thread_idx.y + t.block_dim.y * t.thread_idx.z);
}

bool same_site(const char* a, const char* b) { return a == b || (a && b && std::strcmp(a, b) == 0); }

// Completes the warp operation that the thread `arrived` has just joined when
// every lane named in its mask is waiting at the same kind of operation with
// the same mask. Lanes past the end of the block count as absent; an exited
// lane never arrives, which the scheduler reports as a deadlock. Returns the
// number of threads made ready.
unsigned try_complete_warp_op(BlockRun& run, unsigned threads, unsigned arrived) {
  SimThread* sims = run.threads;
  const SimThread& a = sims[arrived];
  const unsigned base = arrived & ~31u;
  const unsigned lane = arrived & 31u;
  if (((a.mask >> lane) & 1u) == 0) {
    run.failure = cudaErrorLaunchFailure;  // a lane must name itself in the mask
    return 0;
  }
  const unsigned lanes = std::min(32u, threads - base);
  const unsigned present = lanes == 32 ? ~0u : ((1u << lanes) - 1u);
  const unsigned members = a.mask & present;
  for (unsigned m = members; m != 0; m &= m - 1) {
    const SimThread& s = sims[base + static_cast<unsigned>(__builtin_ctz(m))];
    if (s.state != ThreadState::at_warp_op || s.mask != a.mask || s.op != a.op) return 0;
  }
  unsigned long long results[32];
  if (a.op == WarpOp::exchange) {
    for (unsigned m = members; m != 0; m &= m - 1) {
      const unsigned l = static_cast<unsigned>(__builtin_ctz(m));
      const SimThread& s = sims[base + l];
      // A source lane that takes no part leaves the value undefined on a
      // GPU; the caller's own value is as good as any.
      results[l] = ((members >> s.source) & 1u) ? sims[base + s.source].value : s.value;
    }
  }
  unsigned released = 0;
  for (unsigned m = members; m != 0; m &= m - 1) {
    const unsigned l = static_cast<unsigned>(__builtin_ctz(m));
    SimThread& s = sims[base + l];
    if (a.op == WarpOp::exchange) s.value = results[l];
    s.state = ThreadState::ready;
    ++released;
  }
  return released;
}

// Runs block `linear` with its threads as fibers. Sets *synced when a thread
// reached a barrier or warp operation.
cudaError_t run_fiber_block(Participant& p, const Grid& g, uint64_t linear, bool* synced) {
  const unsigned n = g.threads;
  if (p.sims.size() < n) p.sims.resize(n);
  BlockRun& run = p.run;
  run = BlockRun{};
  run.flat = false;
  run.threads = p.sims.data();
  run.body = g.body;
  run.closure = g.closure;
  // CUDA leaves shared memory undefined; a recognisable pattern makes kernels
  // that read it before writing fail their tests instead of passing by luck.
  if (g.shared != 0) std::memset(p.shared->bytes, 0xCD, g.shared);

  const uint3 bidx = block_index(g, linear);
  unsigned i = 0;
  for (unsigned z = 0; z < g.block.z; ++z)
    for (unsigned y = 0; y < g.block.y; ++y)
      for (unsigned x = 0; x < g.block.x; ++x, ++i) {
        SimThread& s = p.sims[i];
        s.context = ThreadContext{uint3{x, y, z}, bidx, g.block, g.grid, p.shared->bytes, &run};
        s.state = ThreadState::ready;
        s.started = false;
      }

  ThreadContext* const saved = tls_thread;
  unsigned alive = n;
  unsigned ready = n;
  unsigned at_barrier = 0;
  while (run.failure == cudaSuccess && alive != 0) {
    if (ready == 0) {
      // Nobody can run: either the whole block waits at one barrier, or the
      // threads wait for each other in a way that can never resolve.
      if (at_barrier != alive) {
        run.failure = cudaErrorLaunchFailure;
        break;
      }
      const char* site = nullptr;
      for (unsigned t = 0; t < n && run.failure == cudaSuccess; ++t) {
        if (p.sims[t].state != ThreadState::at_barrier) continue;
        if (site == nullptr) site = p.sims[t].site;
        else if (!same_site(site, p.sims[t].site)) run.failure = cudaErrorLaunchFailure;  // divergent barrier
      }
      if (run.failure != cudaSuccess) break;
      for (unsigned t = 0; t < n; ++t)
        if (p.sims[t].state == ThreadState::at_barrier) p.sims[t].state = ThreadState::ready;
      ready = at_barrier;
      at_barrier = 0;
    }
    for (unsigned t = 0; t < n && run.failure == cudaSuccess; ++t) {
      SimThread& s = p.sims[t];
      if (s.state != ThreadState::ready) continue;
      tls_thread = &s.context;
      try {
        if (!s.started) {
          s.started = true;
          SimThread* self = &s;
          s.fiber = ctx::fiber(std::allocator_arg, PooledStack{&p.stacks, self}, [self](ctx::fiber&& scheduler) {
            BlockRun* owner = self->context.block;
            finish_stack_switch(nullptr, &owner->scheduler_stack);
            self->scheduler = std::move(scheduler);
            try {
              owner->body(owner->closure);
            } catch (const ctx::detail::forced_unwind&) {
              start_stack_switch(nullptr, owner->scheduler_stack);
              throw;  // the block is being abandoned; let the fiber unwind
            } catch (...) {
              if (owner->failure == cudaSuccess) owner->failure = cudaErrorLaunchFailure;
            }
            self->state = ThreadState::done;
            start_stack_switch(nullptr, owner->scheduler_stack);  // this fiber ends
            return std::move(self->scheduler);
          });
        }
        void* scheduler_fake_stack = nullptr;
        start_stack_switch(&scheduler_fake_stack, s.stack);
        s.fiber = std::move(s.fiber).resume();
        finish_stack_switch(scheduler_fake_stack, nullptr);
      } catch (const std::bad_alloc&) {
        run.failure = cudaErrorLaunchOutOfResources;  // no stack for another fiber
        break;
      }
      --ready;
      switch (s.state) {
        case ThreadState::done:
          --alive;
          break;
        case ThreadState::at_barrier:
          ++at_barrier;
          break;
        case ThreadState::at_warp_op:
          ready += try_complete_warp_op(run, n, t);
          break;
        case ThreadState::ready:
          break;
      }
    }
  }
  if (run.failure != cudaSuccess) {
    // Destroying a suspended fiber unwinds its stack and returns the stack to
    // the pool.
    for (unsigned t = 0; t < n; ++t) {
      if (!p.sims[t].fiber) continue;
      tls_thread = &p.sims[t].context;
      void* scheduler_fake_stack = nullptr;
      start_stack_switch(&scheduler_fake_stack, p.sims[t].stack);
      p.sims[t].fiber = ctx::fiber{};
      finish_stack_switch(scheduler_fake_stack, nullptr);
    }
  }
  tls_thread = saved;
  *synced = run.synced;
  return run.failure;
}

// Runs blocks [begin, end) with their threads as fibers; stops early once
// `stop` holds a failure from another host thread.
cudaError_t run_fiber_blocks(Participant& p, const Grid& g, uint64_t begin, uint64_t end,
                             const std::atomic<int>* stop) {
  for (uint64_t b = begin; b < end; ++b) {
    if (stop != nullptr && stop->load(std::memory_order_relaxed) != 0) break;
    bool synced = false;
    if (const cudaError_t e = run_fiber_block(p, g, b, &synced)) return e;
  }
  return cudaSuccess;
}

// Runs blocks [begin, end) with their threads as plain calls.
cudaError_t run_flat_blocks(Participant& p, const Grid& g, uint64_t begin, uint64_t end,
                            const std::atomic<int>* stop) {
  BlockRun run;  // flat = true: a barrier reached here throws FlatBarrier
  ThreadContext context{uint3{0, 0, 0}, block_index(g, begin), g.block, g.grid, p.shared->bytes, &run};
  ThreadContext* const saved = tls_thread;
  tls_thread = &context;
  cudaError_t result = cudaSuccess;
  try {
    for (uint64_t b = begin; b < end; ++b) {
      if (stop != nullptr && stop->load(std::memory_order_relaxed) != 0) break;
      g.flat_block(g.closure, &context);
      uint3& bi = context.block_idx;
      if (++bi.x == g.grid.x) {
        bi.x = 0;
        if (++bi.y == g.grid.y) {
          bi.y = 0;
          ++bi.z;
        }
      }
    }
  } catch (...) {  // FlatBarrier, or anything a kernel threw
    result = cudaErrorLaunchFailure;
  }
  tls_thread = saved;
  return result;
}

// ---- the pool of host threads -------------------------------------------------

class Task {
 public:
  virtual void run(Participant& p) noexcept = 0;

 protected:
  ~Task() = default;
};

class Pool {
 public:
  explicit Pool(unsigned workers) {
    threads_.reserve(workers);
    try {
      for (unsigned i = 0; i < workers; ++i) threads_.emplace_back([this] { loop(); });
    } catch (const std::system_error&) {
      // Fewer workers than asked for; the pool runs with those it has.
    }
  }
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;

  unsigned participants() const { return static_cast<unsigned>(threads_.size()) + 1; }

  // Runs `task` on every worker and on the calling thread, and returns once
  // all are done. Returns false, having run nothing, while another host thread
  // holds the pool: the caller then does the work alone.
  bool try_run(Task& task) {
    std::unique_lock<std::mutex> busy(busy_, std::try_to_lock);
    if (!busy.owns_lock() || retired_ || threads_.empty()) return false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      task_ = &task;
      pending_ = static_cast<unsigned>(threads_.size());
      ++generation_;
    }
    wake_.notify_all();
    task.run(participant());
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [this] { return pending_ == 0; });
    task_ = nullptr;
    return true;
  }

  // Stops and joins the workers; later try_run calls decline.
  void retire() {
    std::lock_guard<std::mutex> busy(busy_);
    retired_ = true;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    for (auto& t : threads_) t.join();
  }

 private:
  void loop() {
    uint64_t seen = 0;
    for (;;) {
      Task* task = nullptr;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [&] { return stop_ || generation_ != seen; });
        if (stop_) return;
        seen = generation_;
        task = task_;
      }
      task->run(participant());
      std::lock_guard<std::mutex> lock(mutex_);
      if (--pending_ == 0) done_.notify_one();
    }
  }

  std::mutex busy_;  // held for the whole of one task
  bool retired_ = false;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  uint64_t generation_ = 0;
  Task* task_ = nullptr;
  unsigned pending_ = 0;
  bool stop_ = false;
  std::vector<std::thread> threads_;
};

std::atomic<uint64_t> g_launches{0};  // see launch_count()

// Pools are never deleted: a launch on another host thread may still hold a
// pointer to one that has been replaced. Replacement is a test-time control.
std::atomic<Pool*> g_pool{nullptr};

unsigned default_host_threads() {
  if (const char* text = std::getenv("ZORVANE_CPU_THREADS"); text != nullptr && *text != '\0') {
    char* end = nullptr;
    const unsigned long v = std::strtoul(text, &end, 10);
    if (end != nullptr && *end == '\0' && v >= 1) return static_cast<unsigned>(std::min<unsigned long>(v, 256));
  }
  return std::max(1u, std::thread::hardware_concurrency());
}

// A forked child has none of the parent's workers; it starts a pool of its own.
void forget_pool_in_child() { g_pool.store(nullptr, std::memory_order_relaxed); }

Pool* current_pool() {
  Pool* p = g_pool.load(std::memory_order_acquire);
  if (p != nullptr) return p;
  static const bool registered = (pthread_atfork(nullptr, nullptr, forget_pool_in_child), true);
  (void)registered;
  Pool* fresh = new Pool(default_host_threads() - 1);
  if (g_pool.compare_exchange_strong(p, fresh, std::memory_order_acq_rel)) return fresh;
  fresh->retire();  // another thread installed one first
  return p;
}

class GridTask final : public Task {
 public:
  GridTask(const Grid& g, bool fiber, uint64_t begin, uint64_t end, uint64_t chunk)
      : grid_(g), fiber_(fiber), next_(begin), end_(end), chunk_(chunk) {}

  void run(Participant& p) noexcept override {
    while (failure_.load(std::memory_order_relaxed) == 0) {
      const uint64_t b = next_.fetch_add(chunk_, std::memory_order_relaxed);
      if (b >= end_) break;
      const uint64_t e = std::min(end_, b + chunk_);
      const cudaError_t r =
          fiber_ ? run_fiber_blocks(p, grid_, b, e, &failure_) : run_flat_blocks(p, grid_, b, e, &failure_);
      if (r != cudaSuccess) {
        int expected = 0;
        failure_.compare_exchange_strong(expected, static_cast<int>(r));
      }
    }
  }
  cudaError_t failure() const { return static_cast<cudaError_t>(failure_.load()); }

 private:
  const Grid& grid_;
  const bool fiber_;
  std::atomic<uint64_t> next_;
  const uint64_t end_;
  const uint64_t chunk_;
  std::atomic<int> failure_{0};
};

class RangeTask final : public Task {
 public:
  RangeTask(uint64_t count, uint64_t chunk, RangeFn fn, void* context)
      : count_(count), chunk_(chunk), fn_(fn), context_(context) {}

  void run(Participant&) noexcept override {
    while (!failed_.load(std::memory_order_relaxed)) {
      const uint64_t b = next_.fetch_add(chunk_, std::memory_order_relaxed);
      if (b >= count_) break;
      try {
        fn_(context_, b, std::min(count_, b + chunk_));
      } catch (...) {
        failed_.store(true);
      }
    }
  }
  bool failed() const { return failed_.load(); }

 private:
  const uint64_t count_;
  const uint64_t chunk_;
  const RangeFn fn_;
  void* const context_;
  std::atomic<uint64_t> next_{0};
  std::atomic<bool> failed_{false};
};

cudaError_t run_grid(const Grid& g) {
  Participant& p = participant();
  bool synced = false;
  if (const cudaError_t e = run_fiber_block(p, g, 0, &synced)) return e;
  if (g.blocks == 1) return cudaSuccess;
  const bool fiber = synced;
  auto run_here = [&](uint64_t begin, uint64_t end) {
    return fiber ? run_fiber_blocks(p, g, begin, end, nullptr) : run_flat_blocks(p, g, begin, end, nullptr);
  };
  Pool* pool = current_pool();
  if (pool->participants() == 1 || g.blocks < 4) return run_here(1, g.blocks);
  // Block 1 is timed to judge whether the rest is worth spreading.
  const auto t0 = std::chrono::steady_clock::now();
  if (const cudaError_t e = run_here(1, 2)) return e;
  const int64_t block_ns =
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - t0).count();
  const uint64_t remaining = g.blocks - 2;
  if (static_cast<double>(block_ns) * static_cast<double>(remaining) >= static_cast<double>(kParallelWorkNs)) {
    const uint64_t chunk = std::max<uint64_t>(1, remaining / (uint64_t{pool->participants()} * 8));
    GridTask task(g, fiber, 2, g.blocks, chunk);
    if (pool->try_run(task)) return task.failure();
  }
  return run_here(2, g.blocks);
}

}  // namespace

bool parallel_ranges(uint64_t count, uint64_t grain, RangeFn fn, void* context) {
  if (count == 0) return true;
  grain = std::max<uint64_t>(1, grain);
  Pool* pool = current_pool();
  if (count > grain && pool->participants() > 1) {
    const uint64_t chunk = std::max(grain, (count + pool->participants() * 4 - 1) / (pool->participants() * 4));
    RangeTask task(count, chunk, fn, context);
    if (pool->try_run(task)) return !task.failed();
  }
  try {
    fn(context, 0, count);
  } catch (...) {
    return false;
  }
  return true;
}

void set_host_threads(unsigned count) {
  Pool* fresh = new Pool(std::max(1u, count) - 1);
  if (Pool* old = g_pool.exchange(fresh, std::memory_order_acq_rel)) old->retire();
}

unsigned host_threads() { return current_pool()->participants(); }

uint64_t launch_count() { return g_launches.load(std::memory_order_relaxed); }

void launch_grid(dim3 grid, dim3 block, size_t dynamic_shared_bytes, cudaStream_t stream, GridBody body,
                 FlatBlockBody flat_block, const void* closure) {
  if (stream != nullptr) {
    record_error(cudaErrorInvalidResourceHandle);  // only the default stream exists
    return;
  }
  if (const cudaError_t e = check_configuration(grid, block, dynamic_shared_bytes)) {
    record_error(e);
    return;
  }
  if (const cudaError_t e = take_fault(FaultKind::launch)) {
    record_error(e);
    return;
  }
  g_launches.fetch_add(1, std::memory_order_relaxed);
  const Grid g{grid,
               block,
               dynamic_shared_bytes,
               body,
               flat_block,
               closure,
               uint64_t{grid.x} * grid.y * grid.z,
               block.x * block.y * block.z};
  record_error(run_grid(g));
}

// ---- device-side synchronisation ---------------------------------------------

namespace {

// The simulated thread calling a synchronising operation; throws in flat mode.
SimThread* synchronising_thread() {
  ThreadContext* t = tls_thread;
  if (t == nullptr || t->block == nullptr) return nullptr;  // not inside a kernel
  BlockRun* run = t->block;
  if (run->flat) throw FlatBarrier{};
  run->synced = true;
  return &run->threads[linear_thread(*t)];
}

void suspend(SimThread& s) {
  start_stack_switch(&s.fake_stack, s.context.block->scheduler_stack);
  try {
    s.scheduler = std::move(s.scheduler).resume();
  } catch (...) {  // resumed only to unwind: the block is being abandoned
    finish_stack_switch(s.fake_stack, nullptr);
    throw;
  }
  finish_stack_switch(s.fake_stack, nullptr);
}

}  // namespace

void sync_threads(const char* site) {
  SimThread* s = synchronising_thread();
  if (s == nullptr) return;
  s->state = ThreadState::at_barrier;
  s->site = site;
  suspend(*s);
}

void sync_warp(unsigned mask, const char* site) {
  SimThread* s = synchronising_thread();
  if (s == nullptr) return;
  s->state = ThreadState::at_warp_op;
  s->op = WarpOp::sync;
  s->mask = mask;
  s->site = site;
  suspend(*s);
}

unsigned long long warp_exchange(unsigned mask, unsigned long long value, unsigned source_lane, const char* site) {
  SimThread* s = synchronising_thread();
  if (s == nullptr) return value;
  s->state = ThreadState::at_warp_op;
  s->op = WarpOp::exchange;
  s->mask = mask;
  s->source = source_lane & 31u;
  s->value = value;
  s->site = site;
  suspend(*s);
  return s->value;
}

}  // namespace cpu_layer
