// WriteGate: the one lock every change to indexed state goes through.
//
// Lock design (every lock of the module, outermost first):
//
//   1. WRITE_GATE (this file): process-wide, re-entrant on one thread. Taken
//      by every operation that changes an index or an object's attributes:
//      Index.add_object, add_object_many, union_with, reduce,
//      FilteredIndex.rebase and Indexable attribute assignment. Held from the
//      conversion of the values (GIL held) to the last structure write, so
//      writers are linearised: a narrowing sees exactly the members it
//      evaluated, a merge or rebase reads a source that nobody changes
//      meanwhile, and an assignment stores the value under the same hold that
//      updated the indexes. Queries never take it.
//   2. Objects have no lock of their own. An object's membership list and
//      attribute map change only under the gate with the GIL held; index code
//      reads them under the gate, Python code (attribute reads, dir, repr,
//      the collector) under the GIL. So no reader meets a writer, and no
//      object ever waits on another.
//   3. Index state, outer index before inner sub-index: query_maps, then
//      allowed_ids / items / parent_links, then a QueryMap's structures
//      (exact-map shards, strings, numbers, bools, elements, mask_owner,
//      masked_ids), then the sub-index's state in the same order. Queries
//      take these for reading top-down; the gate's holder takes at most one of
//      them for writing at a time (a bulk pass holds allowed_ids with items,
//      and its writers hold strings, numbers and bools of every map), never
//      waiting for a lock a reader holds while that reader waits for it. A
//      query may also take a map's strings or numbers for writing, holding
//      neither of any map, to apply the moves that assignments queued there.
//   4. Leaves, which nothing is taken inside: the id allocator's free list,
//      the interner's writer lock, the pending-release pool.
//
// The GIL sits outside all of them: no thread waits for any of these locks
// while holding the GIL (waits release it first, see binding/gil.h), and a
// thread that takes the GIL back while holding the gate or index locks only
// converts values or releases references.
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
