// korvane.memory.orvelle: FastRedBlackTree, an index of free memory blocks keyed by size.
//
// The tree itself is the native core of tree.h; this file is its host layer. Writers (insert, delete, clear,
// remove_ge) run under the tree's writer lock with the sequence counter odd; the lookups find_best_fit and
// find_all_exact take no lock, walk with the GIL released and validate themselves against the counter.
//
// No host code ever runs while the tree is half-changed: a write section calls host code (a block's __eq__,
// time.perf_counter_ns, the counters) only before its first change or after its last, and the block
// references it drops are released after the section has ended and the lock is released, so a block's destructor
// always finds a consistent tree (and may itself use the tree).
#include <time.h>

#include <cstdint>
#include <cstring>

#include "frame/frame.h"
#include "memory/counter.h"
#include "memory/orvelle/tree.h"

namespace korvane::memory {
namespace {

namespace frame = korvane::frame;
namespace kind = korvane::kind;
using orvelle::Found;
using orvelle::Record;
using orvelle::ReleaseList;
using orvelle::Tree;

// ---------------------------------------------------------------------------------------------------------------
// Module state and interned names

// Attempts of find_best_fit and find_all_exact before they give up.
constexpr int kMaxRetries = 100;

struct Names {
  PyObject* sanitize_size;
  PyObject* size;
  PyObject* increment;
  PyObject* load;
  PyObject* sleep;
  PyObject* perf_counter_ns;
  PyObject* lock;
  PyObject* time;
  PyObject* threading;
  PyObject* atomic_counter;
  PyObject* atomic_available;
  PyObject* circuit_breaker_trips;
  PyObject* node_count;
  PyObject* height;
  PyObject* sampled_operations;
  PyObject* is_valid;
} names;

PyObject* g_zero;          // 0
PyObject* g_backoff;       // 0.0001, the reader's sleep in seconds
PyObject* g_sanitize_fn;   // the native _sanitize_size function, to recognise it on subclasses
PyObject* g_perf_counter;  // the interpreter's own time.perf_counter_ns, or nullptr when not found at import
PyTypeObject* g_counter;   // tessin's AtomicCounter class when the import found the native class, else nullptr

// ---------------------------------------------------------------------------------------------------------------
// The tree object

// The operation counters, in the order get_stats reports them. They are kept natively: nothing but get_stats reads
// them, and it reports them as a dict with these keys, in this order.
enum Stat {
  kTotalBlocks,
  kTotalInsertions,
  kTotalDeletions,
  kTotalSearches,
  kBucketHits,
  kTreeHits,
  kOperationCount,
  kStatCount
};
PyObject* g_stat_names[kStatCount];

struct TreeObject {
  PyObject_HEAD Tree tree;  // root, sequence counter, reader registrations, deferred records
  uint64_t node_count;      // blocks stored: tree nodes plus chain entries
  PyObject* write_lock;
  uint32_t sample_rate;
  PyObject* op_counter;
  PyObject* sample_counter;
  bool use_atomic;
  PyObject* stats_lock;
  int64_t stats[kStatCount];
  bool breaker_reset;  // reset_circuit_breaker ran since construction or clear: circuit_breaker_trips (0) is reported
  bool writing;        // inside a write section; guards against a writer lock that lets a second writer in
};

using Fields = frame::ObjectFields<TreeObject, &TreeObject::write_lock, &TreeObject::op_counter,
                                   &TreeObject::sample_counter, &TreeObject::stats_lock>;

KORVANE_CLASS_OBJECT(Tree_Type)

void* record_allocate(std::size_t n) { return PyMem_Malloc(n); }
void record_release(void* p) { PyMem_Free(p); }
constexpr orvelle::Allocator kRecordAllocator{record_allocate, record_release};

PyObject* block_of(const Record* r) { return static_cast<PyObject*>(r->block); }

// ---------------------------------------------------------------------------------------------------------------
// Helpers

void reset_stats(TreeObject* self) {
  for (int64_t& v : self->stats) v = 0;
  self->breaker_reset = false;
}

// A new AtomicCounter(0) through the module attribute.
PyObject* new_counter() {
  Ref cls = Ref::steal(frame::global(names.atomic_counter));
  if (!cls) return nullptr;
  PyObject* args[1] = {g_zero};
  return PyObject_Vectorcall(cls.get(), args, 1, nullptr);
}

bool is_native_counter(PyObject* obj) { return g_counter != nullptr && Py_TYPE(obj) == g_counter; }

// counter.increment(): an exact AtomicCounter's atomic add runs directly on its field; anything else is called.
PyObject* counter_increment_call(PyObject* counter) {
  if (is_native_counter(counter))
    return PyLong_FromLongLong(counter_increment(reinterpret_cast<AtomicCounter*>(counter), 1));
  return frame::call_method(counter, names.increment);
}

PyObject* counter_load_call(PyObject* counter) {
  if (is_native_counter(counter)) return PyLong_FromLongLong(counter_load(reinterpret_cast<AtomicCounter*>(counter)));
  return frame::call_method(counter, names.load);
}

// The sampling decision of an insertion: true when the insertion's number is a multiple of sample_rate.
bool sample_decision(TreeObject* self, bool& sample) {
  sample = false;
  if (!self->use_atomic) return true;
  PyObject* counter = self->op_counter;
  if (is_native_counter(counter)) {
    int64_t n = counter_increment(reinterpret_cast<AtomicCounter*>(counter), 1);
    sample = self->sample_rate != 0 && n % static_cast<int64_t>(self->sample_rate) == 0;
    return true;
  }
  Ref n = Ref::steal(counter_increment_call(counter));
  if (!n) return false;
  if (self->sample_rate == 0) return true;
  Ref rate = Ref::steal(PyLong_FromUnsignedLong(self->sample_rate));
  if (!rate) return false;
  Ref rem = Ref::steal(PyNumber_Remainder(n.get(), rate.get()));
  if (!rem) return false;
  int eq = PyObject_RichCompareBool(rem.get(), g_zero, Py_EQ);
  if (eq < 0) return false;
  sample = eq != 0;
  return true;
}

bool record_sample(TreeObject* self) {
  if (!self->use_atomic) return true;
  Ref r = Ref::steal(counter_increment_call(self->sample_counter));
  return static_cast<bool>(r);
}

// The size check as the tree runs it.
enum class SizeCheck { Ok, Invalid, Failed };

// Raises the size check's ValueError for a negative size.
[[gnu::cold, gnu::noinline]] PyObject* invalid_size(PyObject* size) {
  PyErr_Format(PyExc_ValueError, "Invalid size: %S", size);
  return nullptr;
}

// `self._sanitize_size(size)` converted to uint64. Invalid: the check raised ValueError (now cleared), which the
// readers and delete turn into their empty results. For an instance of exactly this class the check runs natively;
// a subclass that overrides `_sanitize_size` gets its override called.
SizeCheck checked_size(TreeObject* self, PyObject* size, uint64_t& out) {
  Ref override;
  if (!frame::find_override(reinterpret_cast<PyObject*>(self), &Tree_Type, names.sanitize_size, g_sanitize_fn,
                            override))
    return SizeCheck::Failed;
  if (!override) {
    // The native check on an int: 0 and positive sizes pass, negative ones are invalid.
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(size, &overflow);
    if (overflow == 0 && v >= 0) {
      out = static_cast<uint64_t>(v);
      return SizeCheck::Ok;
    }
    if (v == -1 && PyErr_Occurred()) return SizeCheck::Failed;
    if (overflow < 0 || (overflow == 0 && v < 0)) {
      invalid_size(size);
      return SizeCheck::Invalid;
    }
    return kind::U64::convert(size, out, kind::Param{nullptr, "size"}) ? SizeCheck::Ok : SizeCheck::Failed;
  }
  PyObject* args[1] = {size};
  Ref checked = Ref::steal(PyObject_Vectorcall(override.get(), args, 1, nullptr));
  if (!checked) return PyErr_ExceptionMatches(PyExc_ValueError) ? SizeCheck::Invalid : SizeCheck::Failed;
  return kind::U64::convert(checked.get(), out, kind::Param{nullptr, "size"}) ? SizeCheck::Ok : SizeCheck::Failed;
}

// Checked size for the operations that answer a negative size with an empty result instead of the ValueError.
SizeCheck checked_size_quiet(TreeObject* self, PyObject* size, uint64_t& out) {
  SizeCheck r = checked_size(self, size, out);
  if (r == SizeCheck::Invalid) PyErr_Clear();
  return r;
}

// A write section's native bracket: the sequence counter is odd from construction to destruction, on every way
// out of the section's body.
class WriteSection {
 public:
  explicit WriteSection(TreeObject* self) : self_(self) {
    self_->writing = true;
    self_->tree.begin_write();
  }
  ~WriteSection() {
    self_->tree.end_write();
    self_->writing = false;
  }
  WriteSection(const WriteSection&) = delete;
  WriteSection& operator=(const WriteSection&) = delete;

 private:
  TreeObject* self_;
};

// Only a writer lock that is not a real mutual-exclusion lock lets a second write section start inside the first.
[[gnu::cold, gnu::noinline]] bool reentered() {
  PyErr_SetString(PyExc_RuntimeError, "FastRedBlackTree write section entered while another one is running");
  return false;
}

// Registration of a reader for as long as it may touch records.
class ReaderRegistration {
 public:
  explicit ReaderRegistration(Tree& tree) : tree_(&tree) { tree_->reader_enter(); }
  ~ReaderRegistration() { leave(); }
  void leave() {
    if (tree_ != nullptr) tree_->reader_exit();
    tree_ = nullptr;
  }
  ReaderRegistration(const ReaderRegistration&) = delete;
  ReaderRegistration& operator=(const ReaderRegistration&) = delete;

 private:
  Tree* tree_;
};

// time.perf_counter_ns() through the module attribute, as an unsigned 64-bit value. While the attribute still is
// the interpreter's own function, its clock is read directly (the same monotonic clock, without the call).
bool perf_counter_ns(uint64_t& out) {
  Ref time = Ref::steal(frame::global(names.time));
  if (!time) return false;
  Ref fn = Ref::steal(PyObject_GetAttr(time.get(), names.perf_counter_ns));
  if (!fn) return false;
  if (fn.get() == g_perf_counter) {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    out = static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
    return true;
  }
  Ref now = Ref::steal(PyObject_CallNoArgs(fn.get()));
  return now && kind::U64::convert(now.get(), out, kind::Param{nullptr, "timestamp"});
}

// The reader's back-off while a write is in progress: time.sleep(0.0001) through the module attribute.
bool back_off() {
  Ref r = Ref::steal(frame::call_global_method(names.time, names.sleep, g_backoff));
  return static_cast<bool>(r);
}

// Releases, in order, the blocks of records that left the tree together, freeing (or parking) the records.
// Runs outside any write section: each release may run a block's destructor, which may use the tree.
void release_records(Tree& tree, ReleaseList& list) {
  while (list.head != nullptr) Py_DECREF(static_cast<PyObject*>(tree.release_front(list)));
}

// Takes every record out of the tree and releases them (GC clearing and destruction). Repeats while a released
// block's destructor put new blocks into the tree.
void release_all(TreeObject* self) {
  while (self->tree.root() != nullptr) {
    ReleaseList list;
    {
      WriteSection section(self);
      list = self->tree.detach_all();
      self->node_count = 0;
    }
    release_records(self->tree, list);
  }
}

// ---------------------------------------------------------------------------------------------------------------
// Construction, GC and destruction

frame::Signature tree_init_sig;

bool tree_init(TreeObject* self, uint32_t sample_rate) {
  self->write_lock = none();
  self->op_counter = none();
  self->sample_counter = none();
  self->stats_lock = none();
  reset_stats(self);
  new (&self->tree) Tree(kRecordAllocator);
  self->node_count = 0;
  self->writing = false;
  PyObject* lock = frame::call_global_method(names.threading, names.lock);
  if (lock == nullptr) return false;
  replace_field(self->write_lock, lock);
  self->sample_rate = sample_rate;
  Ref available = Ref::steal(frame::global(names.atomic_available));
  if (!available) return false;
  int use_atomic = PyObject_IsTrue(available.get());
  if (use_atomic < 0) return false;
  if (use_atomic) {
    PyObject* c = new_counter();
    if (c == nullptr) return false;
    replace_field(self->op_counter, c);
    c = new_counter();
    if (c == nullptr) return false;
    replace_field(self->sample_counter, c);
  }
  self->use_atomic = use_atomic != 0;
  lock = frame::call_global_method(names.threading, names.lock);
  if (lock == nullptr) return false;
  replace_field(self->stats_lock, lock);
  return true;
}

PyObject* tree_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  return frame::construct<TreeObject, tree_init, kind::U32>(type, args, kwds, tree_init_sig);
}

// GC visits the object fields and every stored block, so that cycles through blocks can be collected.
int tree_traverse(PyObject* op, visitproc visit, void* arg) {
  if (int r = Fields::traverse(op, visit, arg)) return r;
  auto* self = reinterpret_cast<TreeObject*>(op);
  return Tree::for_each_block(self->tree.root(),
                              [&](void* block) { return visit(static_cast<PyObject*>(block), arg); });
}

// GC clearing releases the stored blocks (the tree is empty afterwards) and replaces the object fields with None.
int tree_clear(PyObject* op) {
  release_all(reinterpret_cast<TreeObject*>(op));
  return Fields::clear(op);
}

void tree_finish(TreeObject* self) {
  release_all(self);
  self->tree.~Tree();
}

// ---------------------------------------------------------------------------------------------------------------
// _sanitize_size, insert, delete, clear

PyObject* tree_sanitize_size(Ref& size) {
  int negative = PyObject_RichCompareBool(size.get(), g_zero, Py_LT);
  if (negative < 0) return nullptr;
  if (negative) return invalid_size(size.get());
  return size.release();
}

[[gnu::cold, gnu::noinline]] bool record_alloc_failed() {
  PyErr_SetString(PyExc_MemoryError, "Failed to allocate RB node");
  return false;
}

PyObject* tree_insert(TreeObject* self, Ref& size, PyObject* block) {
  uint64_t c_size;
  if (checked_size(self, size.get(), c_size) != SizeCheck::Ok) return nullptr;
  bool sample;
  if (!sample_decision(self, sample)) return nullptr;
  frame::Section s = frame::with_lock(self->write_lock, [&] {
    if (self->writing) return reentered();
    WriteSection section(self);
    Record* existing = self->tree.find_exact(c_size);
    uint64_t timestamp;
    if (!perf_counter_ns(timestamp)) return false;
    Record* node = self->tree.make_record(c_size, block, timestamp);
    if (node == nullptr) return record_alloc_failed();
    Py_INCREF(block);
    self->tree.link_record(node, existing);
    self->node_count += 1;
    self->stats[kTotalBlocks] += 1;
    self->stats[kTotalInsertions] += 1;
    self->stats[kOperationCount] += 1;
    return !sample || record_sample(self);
  });
  return s == frame::Section::Failed ? nullptr : py_bool(true);
}

// `a == b` with the host's equality operator (no identity shortcut), as a truth value.
int blocks_equal(PyObject* stored, PyObject* block) {
  Ref held = Ref::borrow(stored);
  Ref eq = Ref::steal(PyObject_RichCompare(held.get(), block, Py_EQ));
  return eq ? PyObject_IsTrue(eq.get()) : -1;
}

PyObject* tree_delete(TreeObject* self, Ref& size, PyObject* block) {
  uint64_t c_size;
  switch (checked_size_quiet(self, size.get(), c_size)) {
    case SizeCheck::Ok:
      break;
    case SizeCheck::Invalid:
      return py_bool(false);
    case SizeCheck::Failed:
      return nullptr;
  }
  Ref removed;  // the removed block's reference, released after the section and the lock
  frame::Section s = frame::with_lock(self->write_lock, [&] {
    if (self->writing) return reentered();
    WriteSection section(self);
    Record* node = self->tree.find_exact(c_size);
    if (node == nullptr) return true;
    // Only comparisons so far, so the equality methods see a consistent tree; no writer can run meanwhile.
    int eq = blocks_equal(block_of(node), block);
    if (eq < 0) return false;
    if (eq) {
      removed = Ref::steal(static_cast<PyObject*>(self->tree.take_first(node)));
    } else {
      for (Record *prev = node, *cur = node->next.load(std::memory_order_relaxed); cur != nullptr;
           prev = cur, cur = cur->next.load(std::memory_order_relaxed)) {
        eq = blocks_equal(block_of(cur), block);
        if (eq < 0) return false;
        if (eq) {
          removed = Ref::steal(static_cast<PyObject*>(self->tree.unlink_entry(prev, cur)));
          break;
        }
      }
      if (!removed) return true;
    }
    self->node_count -= 1;
    self->stats[kTotalBlocks] -= 1;
    self->stats[kTotalDeletions] += 1;
    return true;
  });
  if (s == frame::Section::Failed) return nullptr;
  return py_bool(static_cast<bool>(removed));
}

PyObject* tree_clear_method(TreeObject* self) {
  ReleaseList detached;
  frame::Section s = frame::with_lock(self->write_lock, [&] {
    if (self->writing) return reentered();
    WriteSection section(self);
    detached = self->tree.detach_all();
    self->node_count = 0;
    reset_stats(self);
    if (!self->use_atomic) return true;
    PyObject* c = new_counter();
    if (c == nullptr) return false;
    replace_field(self->op_counter, c);
    c = new_counter();
    if (c == nullptr) return false;
    replace_field(self->sample_counter, c);
    return true;
  });
  release_records(self->tree, detached);
  return s == frame::Section::Failed ? nullptr : none();
}

// ---------------------------------------------------------------------------------------------------------------
// find_best_fit, find_all_exact, remove_ge

PyObject* tree_find_best_fit(TreeObject* self, Ref& size, Ref& /*alignment: accepted and ignored*/) {
  uint64_t c_size;
  switch (checked_size_quiet(self, size.get(), c_size)) {
    case SizeCheck::Ok:
      break;
    case SizeCheck::Invalid:
      return none();
    case SizeCheck::Failed:
      return nullptr;
  }
  Tree& tree = self->tree;
  for (int attempt = 0; attempt < kMaxRetries; ++attempt) {
    ReaderRegistration reader(tree);
    uint64_t start = tree.read_begin();
    if (start % 2 == 1) {
      reader.leave();
      if (!back_off()) return nullptr;
      continue;
    }
    Found found = frame::without_gil([&] { return tree.search_best_fit(c_size); });
    if (!found.complete || !tree.read_validate(start)) continue;
    // Validated with the GIL held: no write section has run since the walk began, so the node is live.
    PyObject* result = new_ref(found.node != nullptr ? block_of(found.node) : Py_None);
    reader.leave();
    self->stats[kTotalSearches] += 1;
    return result;
  }
  return none();
}

PyObject* tree_find_all_exact(TreeObject* self, Ref& size) {
  uint64_t c_size;
  switch (checked_size_quiet(self, size.get(), c_size)) {
    case SizeCheck::Ok:
      break;
    case SizeCheck::Invalid:
      return PyList_New(0);
    case SizeCheck::Failed:
      return nullptr;
  }
  struct Walk {
    Found found;
    std::size_t count;
  };
  Tree& tree = self->tree;
  for (int attempt = 0; attempt < kMaxRetries; ++attempt) {
    ReaderRegistration reader(tree);
    uint64_t start = tree.read_begin();
    if (start % 2 == 1) {
      reader.leave();
      if (!back_off()) return nullptr;
      continue;
    }
    Walk walk = frame::without_gil([&] {
      Found f = tree.search_exact(c_size);
      return Walk{f, f.complete && f.node != nullptr ? Tree::block_count(f.node) : 0};
    });
    if (!walk.found.complete || !tree.read_validate(start)) continue;
    // Allocating the list may run the collector and so host code that changes the tree: validate again after it,
    // then fill the list without running any.
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(walk.count)));
    if (!list) return nullptr;
    if (!tree.read_validate(start)) continue;
    Py_ssize_t i = 0;
    for (const Record* e = walk.found.node; e != nullptr && i < static_cast<Py_ssize_t>(walk.count);
         e = e->next.load(std::memory_order_relaxed))
      PyList_SET_ITEM(list.get(), i++, new_ref(block_of(e)));
    reader.leave();
    self->stats[kTotalSearches] += 1;
    return list.release();
  }
  return PyList_New(0);
}

PyObject* tree_remove_ge(TreeObject* self, Ref& size) {
  uint64_t c_size;
  switch (checked_size_quiet(self, size.get(), c_size)) {
    case SizeCheck::Ok:
      break;
    case SizeCheck::Invalid:
      return Py_BuildValue("(OO)", Py_None, Py_None);
    case SizeCheck::Failed:
      return nullptr;
  }
  Ref removed;  // the result's block: the reference the tree held
  uint64_t actual_size = 0;
  frame::Section s = frame::with_lock(self->write_lock, [&] {
    if (self->writing) return reentered();
    WriteSection section(self);
    // No other writer can run while the writer lock is held, so the search may release the GIL.
    Tree& tree = self->tree;
    Record* node = frame::without_gil([&] { return tree.find_best_fit(c_size); });
    if (node == nullptr) return true;
    actual_size = node->size.load(std::memory_order_relaxed);
    removed = Ref::steal(static_cast<PyObject*>(tree.take_first(node)));
    self->node_count -= 1;
    self->stats[kTotalBlocks] -= 1;
    self->stats[kTotalDeletions] += 1;
    return true;
  });
  if (s == frame::Section::Failed) return nullptr;
  if (!removed) return Py_BuildValue("(OO)", Py_None, Py_None);
  Ref actual = Ref::steal(PyLong_FromUnsignedLongLong(actual_size));
  if (!actual) return nullptr;
  return PyTuple_Pack(2, actual.get(), removed.get());
}

// ---------------------------------------------------------------------------------------------------------------
// Statistics, size, length, truth, repr

bool set_int(PyObject* dict, PyObject* key, long long value) {
  Ref v = Ref::steal(PyLong_FromLongLong(value));
  return v && PyDict_SetItem(dict, key, v.get()) == 0;
}

PyObject* tree_get_stats(TreeObject* self) {
  Ref snapshot;
  frame::Section s = frame::with_lock(self->stats_lock, [&] {
    snapshot = Ref::steal(PyDict_New());
    if (!snapshot) return false;
    for (int i = 0; i < kStatCount; ++i)
      if (!set_int(snapshot.get(), g_stat_names[i], self->stats[i])) return false;
    if (self->breaker_reset && !set_int(snapshot.get(), names.circuit_breaker_trips, 0)) return false;
    if (!set_int(snapshot.get(), names.node_count, static_cast<long long>(self->node_count))) return false;
    // Writers change the tree only with the GIL held and never run host code half-way, so the tree is consistent.
    if (!set_int(snapshot.get(), names.height, Tree::height(self->tree.root()))) return false;
    Ref sampled = Ref::steal(self->use_atomic ? counter_load_call(self->sample_counter) : new_ref(g_zero));
    if (!sampled || PyDict_SetItem(snapshot.get(), names.sampled_operations, sampled.get()) < 0) return false;
    return PyDict_SetItem(snapshot.get(), names.is_valid, Py_True) == 0;
  });
  if (s == frame::Section::Failed) return nullptr;
  return snapshot ? snapshot.release() : PyDict_New();
}

PyObject* tree_size(TreeObject* self) { return PyLong_FromUnsignedLongLong(self->node_count); }

PyObject* tree_get_size_distribution(TreeObject* self) {
  Ref dist = Ref::steal(PyDict_New());
  if (!dist) return nullptr;
  frame::Section s = frame::with_lock(self->write_lock, [&] {
    return Tree::pre_order(self->tree.root(), [&](uint64_t size, std::size_t count) {
      Ref key = Ref::steal(PyLong_FromUnsignedLongLong(size));
      Ref value = Ref::steal(PyLong_FromSize_t(count));
      return key && value && PyDict_SetItem(dist.get(), key.get(), value.get()) == 0;
    });
  });
  return s == frame::Section::Failed ? nullptr : dist.release();
}

PyObject* tree_reset_circuit_breaker(TreeObject* self) {
  frame::Section s = frame::with_lock(self->stats_lock, [&] {
    self->breaker_reset = true;
    self->stats[kOperationCount] = 0;
    return true;
  });
  return s == frame::Section::Failed ? nullptr : none();
}

PyObject* tree_get_statistics(TreeObject*) { return PyDict_New(); }

// self.size(), through the instance so that a subclass's size() counts.
PyObject* call_size(PyObject* self) { return frame::call_method(self, names.size); }

Py_ssize_t tree_length(PyObject* self) {
  if (Py_TYPE(self) == &Tree_Type) {
    uint64_t n = reinterpret_cast<TreeObject*>(self)->node_count;
    return n > static_cast<uint64_t>(PY_SSIZE_T_MAX) ? PY_SSIZE_T_MAX : static_cast<Py_ssize_t>(n);
  }
  Ref n = Ref::steal(call_size(self));
  if (!n) return -1;
  Py_ssize_t len = PyNumber_AsSsize_t(n.get(), PyExc_OverflowError);
  if (len >= 0) return len;
  // A failed length is -1 with an exception set, whatever negative number size() gave: callers such as the
  // __len__ slot wrapper test for -1 exactly.
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "__len__() should return >= 0");
  return -1;
}

int tree_bool(PyObject* self) {
  if (Py_TYPE(self) == &Tree_Type) return reinterpret_cast<TreeObject*>(self)->node_count > 0;
  Ref n = Ref::steal(call_size(self));
  if (!n) return -1;
  Ref positive = Ref::steal(PyObject_RichCompare(n.get(), g_zero, Py_GT));
  return positive ? PyObject_IsTrue(positive.get()) : -1;
}

PyObject* tree_repr(PyObject* self) {
  return PyUnicode_FromFormat("FastRedBlackTree(blocks=%llu, native=True)",
                              static_cast<unsigned long long>(reinterpret_cast<TreeObject*>(self)->node_count));
}

// Zero-initialised; make_tree_class fills in the length and truth slots.
PySequenceMethods tree_as_sequence;
PyNumberMethods tree_as_number;

// ---------------------------------------------------------------------------------------------------------------
// The class

constexpr const char* kInsertDoc =
    "Insert block into tree.\n"
    "\n"
    "Single writer: the tree's writer lock is held for the whole change, and the sequence\n"
    "counter is odd while the tree changes and even again afterwards, so lock-free readers\n"
    "can detect the change and retry.\n"
    "\n"
    "Args:\n"
    "    size: Block size in bytes (the key).\n"
    "    block: The block to store.\n"
    "\n"
    "Returns:\n"
    "    True.";

constexpr const char* kDeleteDoc =
    "Delete specific block.\n"
    "\n"
    "Args:\n"
    "    size: Block size in bytes.\n"
    "    block: The block to remove; the first stored block equal to it (==) is removed.\n"
    "\n"
    "Returns:\n"
    "    True if a block was removed, else False.";

constexpr const char* kFindBestFitDoc =
    "Find best-fit block (LOCK-FREE read).\n"
    "\n"
    "Sequence-counter protocol: an even counter means the tree is stable, an odd one that a\n"
    "write is in progress. The reader notes the counter, walks the tree without any lock and\n"
    "validates after the read that the counter is unchanged; otherwise it retries.\n"
    "\n"
    "Args:\n"
    "    size: Requested size in bytes.\n"
    "    alignment: Accepted for compatibility; not used.\n"
    "\n"
    "Returns:\n"
    "    The block of the smallest stored size >= size, or None.";

constexpr const char* kFindAllExactDoc =
    "Find all blocks of exact size (lock-free read).\n"
    "\n"
    "Args:\n"
    "    size: Block size in bytes.\n"
    "\n"
    "Returns:\n"
    "    A new list of the blocks stored under exactly size, possibly empty.";

constexpr const char* kRemoveGeDoc =
    "Remove and return best-fit block >= size.\n"
    "\n"
    "Args:\n"
    "    size: Requested size in bytes.\n"
    "\n"
    "Returns:\n"
    "    (stored size, block) of the removed block, or (None, None) if no stored size fits.";

bool make_tree_class() {
  if (!frame::make_signature(tree_init_sig, "__cinit__", {"sample_rate"}, {100})) return false;
  tree_as_sequence.sq_length = tree_length;
  tree_as_number.nb_bool = tree_bool;
  return frame::ready_class(&Tree_Type, {.name = "korvane.memory.orvelle.FastRedBlackTree",
                                         .basicsize = sizeof(TreeObject),
                                         .doc = "Red-black tree of free memory blocks keyed by size, with lock-free "
                                                "(sequence-counter validated) lookups.",
                                         .new_ = tree_new,
                                         .dealloc = frame::gc_dealloc<TreeObject, Fields, tree_finish>,
                                         .traverse = tree_traverse,
                                         .clear = tree_clear,
                                         .repr = tree_repr,
                                         .as_sequence = &tree_as_sequence,
                                         .as_number = &tree_as_number});
}

bool add_tree_methods() {
  PyTypeObject* t = &Tree_Type;
  using frame::method_entry;
  if (!frame::add_static_method(t, "_sanitize_size",
                                {.entry = frame::function_entry<tree_sanitize_size, kind::PyInt>,
                                 .name = "_sanitize_size",
                                 .params = {"size"},
                                 .annotations = {{"size", "int"}, {"return", "int"}},
                                 .doc = "Validate size."}))
    return false;
  // The static method's function, to recognise it when a subclass instance looks the name up.
  g_sanitize_fn = PyObject_GetAttr(reinterpret_cast<PyObject*>(t), names.sanitize_size);
  if (g_sanitize_fn == nullptr) return false;
  return frame::add_method(t, {.entry = method_entry<tree_insert, TreeObject, kind::PyInt, kind::Object>,
                               .name = "insert",
                               .params = {"size", "block"},
                               .annotations = {{"size", "int"}, {"block", "MemoryBlock"}, {"return", "bool"}},
                               .doc = kInsertDoc}) &&
         frame::add_method(t, {.entry = method_entry<tree_delete, TreeObject, kind::PyInt, kind::Object>,
                               .name = "delete",
                               .params = {"size", "block"},
                               .annotations = {{"size", "int"}, {"block", "MemoryBlock"}, {"return", "bool"}},
                               .doc = kDeleteDoc}) &&
         frame::add_method(t, {.entry = method_entry<tree_clear_method, TreeObject>,
                               .name = "clear",
                               .annotations = {{"return", "None"}},
                               .doc = "Clear all blocks."}) &&
         frame::add_method(t,
                           {.entry = method_entry<tree_find_best_fit, TreeObject, kind::PyInt, kind::PyInt>,
                            .name = "find_best_fit",
                            .params = {"size", "alignment"},
                            .defaults = {1},
                            .annotations = {{"size", "int"}, {"alignment", "int"}, {"return", "Optional[MemoryBlock]"}},
                            .doc = kFindBestFitDoc}) &&
         frame::add_method(t, {.entry = method_entry<tree_find_all_exact, TreeObject, kind::PyInt>,
                               .name = "find_all_exact",
                               .params = {"size"},
                               .annotations = {{"size", "int"}, {"return", "List[MemoryBlock]"}},
                               .doc = kFindAllExactDoc}) &&
         frame::add_method(t,
                           {.entry = method_entry<tree_remove_ge, TreeObject, kind::PyInt>,
                            .name = "remove_ge",
                            .params = {"size"},
                            .annotations = {{"size", "int"}, {"return", "Tuple[Optional[int], Optional[MemoryBlock]]"}},
                            .doc = kRemoveGeDoc}) &&
         frame::add_method(t, {.entry = method_entry<tree_get_stats, TreeObject>,
                               .name = "get_stats",
                               .annotations = {{"return", "Dict[str, Any]"}},
                               .doc = "Get tree statistics."}) &&
         frame::add_method(t, {.entry = method_entry<tree_size, TreeObject>,
                               .name = "size",
                               .annotations = {{"return", "int"}},
                               .doc = "Get total block count."}) &&
         frame::add_method(t, {.entry = method_entry<tree_get_size_distribution, TreeObject>,
                               .name = "get_size_distribution",
                               .annotations = {{"return", "Dict[int, int]"}},
                               .doc = "Get size distribution."}) &&
         frame::add_method(t, {.entry = method_entry<tree_reset_circuit_breaker, TreeObject>,
                               .name = "reset_circuit_breaker",
                               .annotations = {{"return", "None"}},
                               .doc = "Reset circuit breaker stats."}) &&
         frame::add_method(t, {.entry = method_entry<tree_get_statistics, TreeObject>,
                               .name = "get_statistics",
                               .annotations = {{"return", "Dict[int, List[float]]"}},
                               .doc = "Get timing statistics (empty for sampling mode)."});
}

// ---------------------------------------------------------------------------------------------------------------
// Module

bool intern_names() {
  return frame::intern({{&names.sanitize_size, "_sanitize_size"},
                        {&names.size, "size"},
                        {&names.increment, "increment"},
                        {&names.load, "load"},
                        {&names.sleep, "sleep"},
                        {&names.perf_counter_ns, "perf_counter_ns"},
                        {&names.lock, "Lock"},
                        {&names.time, "time"},
                        {&names.threading, "threading"},
                        {&names.atomic_counter, "AtomicCounter"},
                        {&names.atomic_available, "ATOMIC_AVAILABLE"},
                        {&g_stat_names[kTotalBlocks], "total_blocks"},
                        {&g_stat_names[kTotalInsertions], "total_insertions"},
                        {&g_stat_names[kTotalDeletions], "total_deletions"},
                        {&g_stat_names[kTotalSearches], "total_searches"},
                        {&g_stat_names[kBucketHits], "bucket_hits"},
                        {&g_stat_names[kTreeHits], "tree_hits"},
                        {&g_stat_names[kOperationCount], "operation_count"},
                        {&names.circuit_breaker_trips, "circuit_breaker_trips"},
                        {&names.node_count, "node_count"},
                        {&names.height, "height"},
                        {&names.sampled_operations, "sampled_operations"},
                        {&names.is_valid, "is_valid"}});
}

// The counter class whose instances may have their atomic operation run directly: only tessin's own native
// AtomicCounter (a static type of that name and layout), never a stand-in bound under the same name.
PyTypeObject* native_counter_class(PyObject* cls) {
  if (!PyType_Check(cls)) return nullptr;
  auto* type = reinterpret_cast<PyTypeObject*>(cls);
  bool native = !(type->tp_flags & Py_TPFLAGS_HEAPTYPE) &&
                std::strcmp(type->tp_name, "korvane.memory.tessin.AtomicCounter") == 0 &&
                type->tp_basicsize == static_cast<Py_ssize_t>(sizeof(AtomicCounter));
  return native ? type : nullptr;
}

// `from ..memory.tessin import AtomicCounter`; an ImportError leaves the module without counters.
bool import_atomic_counter() {
  if (frame::import_from("memory.tessin", {"AtomicCounter"}, 2)) {
    Ref cls = Ref::steal(frame::global(names.atomic_counter));
    if (!cls) return false;
    if (PyTypeObject* type = native_counter_class(cls.get())) {
      Py_INCREF(type);
      g_counter = type;
    }
    return frame::set_global("ATOMIC_AVAILABLE", Py_True);
  }
  if (!PyErr_ExceptionMatches(PyExc_ImportError)) return false;
  PyErr_Clear();
  return frame::set_global("ATOMIC_AVAILABLE", Py_False) && frame::set_global("AtomicCounter", Py_None);
}

// Recognises the interpreter's own time.perf_counter_ns, once: the built-in function of that name of the time
// module. A stand-in bound there before this import is not recognised, so it is called like any later one.
bool find_own_perf_counter() {
  if (g_perf_counter != nullptr) return true;
  Ref time = Ref::steal(frame::global(names.time));
  if (!time) return false;
  Ref fn = Ref::steal(PyObject_GetAttr(time.get(), names.perf_counter_ns));
  if (!fn) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    return true;
  }
  if (!PyCFunction_Check(fn.get())) return true;
  PyObject* owner = PyCFunction_GET_SELF(fn.get());
  if (owner == nullptr || !PyModule_Check(owner)) return true;
  const char* owner_name = PyModule_GetName(owner);
  if (owner_name == nullptr) {
    PyErr_Clear();
    return true;
  }
  const char* name = reinterpret_cast<PyCFunctionObject*>(fn.get())->m_ml->ml_name;
  if (std::strcmp(owner_name, "time") == 0 && std::strcmp(name, "perf_counter_ns") == 0) g_perf_counter = fn.release();
  return true;
}

bool module_body(PyObject*) {
  if (!intern_names()) return false;
  if (g_zero == nullptr && !(g_zero = PyLong_FromLong(0))) return false;
  if (g_backoff == nullptr && !(g_backoff = PyFloat_FromDouble(0.0001))) return false;
  if (!frame::import_module("threading") || !frame::import_module("time") || !frame::import_module("math"))
    return false;
  if (!find_own_perf_counter()) return false;
  if (!frame::import_from("typing", {"List", "Optional", "Tuple", "Dict", "Any"})) return false;
  if (!frame::import_from("lorrit", {"MemoryBlock"}, 1)) return false;
  if (!import_atomic_counter()) return false;
  if (!make_tree_class() || !add_tree_methods()) return false;
  return frame::set_global("FastRedBlackTree", reinterpret_cast<PyObject*>(&Tree_Type));
}

constexpr frame::ModuleInfo kModule = {
    "korvane.memory.orvelle", "orvelle",
    "Red-black tree of free memory blocks keyed by size, with lock-free lookups validated by a sequence counter.",
    module_body};

}  // namespace
}  // namespace korvane::memory

PyMODINIT_FUNC PyInit_orvelle() { return korvane::frame::module_init(korvane::memory::kModule); }
