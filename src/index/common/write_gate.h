// WriteGate: the one lock every change to indexed state goes through.
//
// The lock order of the module, outermost first. This is the one place it
// is written down; a thread that holds a lock takes only locks further down
// this list.
//
//   1. WRITE_GATE (this file): process-wide, re-entrant on one thread. Every
//      change to an index or to an object's attributes holds it for the whole
//      step (core/operations.h): from converting the values, with the GIL,
//      to the last structure write and the final store. Writers are thus
//      linearised: a narrowing sees exactly the members it evaluated, a merge
//      or rebase reads a source that nobody changes meanwhile, an assignment
//      stores its value under the hold that updated the indexes. Queries
//      never take it. Objects have no lock of their own: an object's
//      membership list and attribute map change only under the gate with the
//      GIL held; index code reads them under the gate, Python code (attribute
//      reads, dir, repr, the collector) under the GIL.
//   2. Each index's locks, from a top-level index down its tree of
//      sub-indexes (an index's locks before those of its sub-indexes):
//        a. query_maps
//        b. allowed_ids (queries hold it, reading, while they read the maps)
//        c. each QueryMap's structures: strings, numbers, bools, elements,
//           mask_owner, masked_ids (a bulk writer holds all six, taken in
//           this order), then one shard of its exact map
//        d. the sub-index's locks, this same list one level down
//        e. parent_links, items: each taken on its own
//      Queries take these for reading, top-down. The gate's holder writes
//      one at a time, except that a bulk writer holds a map's six together
//      (and files exact values inside them), and a narrowing writes items
//      under query_maps; it never waits for a lock that a reader holds while
//      that reader waits for it. A query may also take a map's strings or
//      numbers for writing, holding nothing of that map, to apply the moves
//      that assignments queued there.
//   3. Leaves, inside which nothing is taken: Lazy's creation mutex (a map's
//      exact map and sub-index, created on first use), BuiltOnDemand's build
//      mutex (taken without waiting), the id allocator's free list, the
//      interner's writer lock, the pending-release pool.
//
// The GIL is not in the list: no thread waits for any of these locks while
// it holds the GIL (it tries first, and releases the GIL to wait: see
// binding/gil.h). A thread holding the gate or a read lock of items may take
// the GIL back, only to convert values or count references.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>
#include <utility>

namespace calderwick {

namespace detail {
inline thread_local bool gate_helper_here = false;
}  // namespace detail

class WriteGate {
 public:
  // Enters at once if the gate is free or already this thread's.
  bool try_enter() {
    if (held_by_this_thread()) {
      ++depth_;
      return true;
    }
    if (!mutex_.try_lock()) return false;
    owned();
    return true;
  }
  // Waits for the gate. Never call with the GIL held (see binding/gil.h).
  void enter() {
    if (held_by_this_thread()) {
      ++depth_;
      return;
    }
    mutex_.lock();
    owned();
  }
  void leave() {
    if (--depth_ > 0) return;
    owner_.store(std::thread::id(), std::memory_order_relaxed);
    mutex_.unlock();
  }
  bool held_by_this_thread() const { return owner_.load(std::memory_order_relaxed) == std::this_thread::get_id(); }
  // Whether this thread may read what writers keep still: the holder, or a
  // helper thread working for it (see GateHelper).
  bool readable_here() const { return held_by_this_thread() || detail::gate_helper_here; }

 private:
  void owned() {
    owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    depth_ = 1;
  }

  std::mutex mutex_;
  std::atomic<std::thread::id> owner_{};
  int depth_ = 0;  // only touched by the owner
};

// The process-wide gate (never destroyed).
inline WriteGate& WRITE_GATE() {
  static WriteGate* gate = new WriteGate();
  return *gate;
}

// Marks a thread as working for the gate's holder, which waits for it to
// finish: it reads objects as the holder may, and writes only structures no
// other thread of the holder's touches meanwhile.
class GateHelper {
 public:
  GateHelper() { detail::gate_helper_here = true; }
  GateHelper(const GateHelper&) = delete;
  GateHelper& operator=(const GateHelper&) = delete;
  ~GateHelper() { detail::gate_helper_here = false; }
};

// Holds the gate for a scope.
class WriteScope {
 public:
  // Takes a gate already entered by the caller (see binding's write_scope).
  struct Adopt {};
  WriteScope(Adopt) {}
  // Waits for the gate; only for threads without the GIL.
  WriteScope() { WRITE_GATE().enter(); }
  WriteScope(const WriteScope&) = delete;
  WriteScope& operator=(const WriteScope&) = delete;
  WriteScope(WriteScope&& o) noexcept : active_(std::exchange(o.active_, false)) {}
  ~WriteScope() {
    if (active_) WRITE_GATE().leave();
  }

 private:
  bool active_ = true;
};

}  // namespace calderwick
