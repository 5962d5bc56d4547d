// korvane.memory.draskel: the native fast paths of the package's memory pools.
//
// Size rounding and alignment in 32-bit two's-complement arithmetic; FastBucketAllocator, an index of free block
// offsets filed by size class with a best-fit search; FastSlabHeaderOps, a slab header kept as native fields with
// its 16-byte little-endian record, CRC-16/MODBUS checksum and 64-object bitmap; FastStatsCollector, allocation
// counters under one lock.
#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>

#include "frame/frame.h"

namespace korvane::memory {
namespace {

namespace frame = korvane::frame;
namespace kind = korvane::kind;

constexpr const char* kModuleName = "korvane.memory.draskel";

struct Names {
  PyObject* threading = nullptr;
  PyObject* Lock = nullptr;
  PyObject* init_buckets = nullptr;
  PyObject* is_set = nullptr;
  PyObject* set = nullptr;
  PyObject* clear = nullptr;
  PyObject* find_first = nullptr;
  // get_stats keys, in report order, and a dict of them (values None) that each report copies: a copy is
  // already sized for six entries.
  PyObject* stat_keys[6] = {};
  PyObject* stats_template = nullptr;
};
Names names;

// ---------------------------------------------------------------------------------------------------------------
// 32-bit two's-complement arithmetic
//
// Sums wrap like the 32-bit registers callers expect. Computing in uint32_t and converting back is well defined,
// where signed overflow is not.

int32_t add32(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

int32_t sub32(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}

// (value + alignment - 1) & -alignment.
int32_t align_up32(int32_t value, int32_t alignment) {
  uint32_t a = static_cast<uint32_t>(alignment);
  return static_cast<int32_t>((static_cast<uint32_t>(value) + a - 1u) & (0u - a));
}

// t - (t rem step) with t = size + step - 1 and the remainder truncated toward zero; step must not be 0. Every
// int divides evenly by -1, and asking the hardware would trap on INT32_MIN % -1.
int32_t round_up32(int32_t size, int32_t step) {
  int32_t t = sub32(add32(size, step), 1);
  int32_t rem = step == -1 ? 0 : t % step;
  return sub32(t, rem);
}

[[gnu::cold, gnu::noinline]] PyObject* zero_division() {
  PyErr_SetString(PyExc_ZeroDivisionError, "integer division or modulo by zero");
  return nullptr;
}

// ---------------------------------------------------------------------------------------------------------------
// CRC-16/MODBUS: reflected polynomial 0xA001, initial value 0xFFFF, no final XOR. The table is the standard one of
// that polynomial, built by the compiler.

constexpr std::array<uint16_t, 256> make_crc_table() {
  std::array<uint16_t, 256> table{};
  for (unsigned i = 0; i < 256; ++i) {
    unsigned crc = i;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1u) ? (crc >> 1) ^ 0xA001u : crc >> 1;
    table[i] = static_cast<uint16_t>(crc);
  }
  return table;
}

constexpr std::array<uint16_t, 256> crc_table = make_crc_table();

constexpr uint16_t crc16_modbus(const uint8_t* data, size_t length) {
  uint16_t crc = 0xFFFF;
  for (size_t i = 0; i < length; ++i) crc = static_cast<uint16_t>((crc >> 8) ^ crc_table[(crc ^ data[i]) & 0xFFu]);
  return crc;
}

static_assert(crc_table[1] == 0xC0C1 && crc_table[255] == 0x4040);
static_assert([] {
  constexpr uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  return crc16_modbus(check, sizeof check) == 0x4B37;
}());

// ---------------------------------------------------------------------------------------------------------------
// 64-bit object bitmaps: bit i set means object i is free. Indices outside 0..63 name no bit: they read as not
// free and change nothing.

bool tracked(int32_t index) { return index >= 0 && index < 64; }
uint64_t bit_of(int32_t index) { return uint64_t{1} << index; }
bool bit_is_set(uint64_t bitmap, int32_t index) { return tracked(index) && (bitmap & bit_of(index)) != 0; }
uint64_t with_bit(uint64_t bitmap, int32_t index) { return tracked(index) ? bitmap | bit_of(index) : bitmap; }
uint64_t without_bit(uint64_t bitmap, int32_t index) { return tracked(index) ? bitmap & ~bit_of(index) : bitmap; }
int32_t lowest_set_bit(uint64_t bitmap) { return bitmap == 0 ? -1 : std::countr_zero(bitmap); }

// ---------------------------------------------------------------------------------------------------------------
// Module functions

PyObject* fast_align_size(int32_t size, int32_t alignment) {
  if (alignment <= 0 || (alignment & (alignment - 1)) != 0) {
    PyErr_SetString(PyExc_ValueError, "Alignment must be a power of 2");
    return nullptr;
  }
  return PyLong_FromLong(align_up32(size, alignment));
}

PyObject* fast_get_bucket_size(int32_t size, int32_t step) {
  if (step == 0) return zero_division();
  return PyLong_FromLong(round_up32(size, step));
}

// The block's end is exclusive: an allocation ending exactly there does not fit.
PyObject* fast_can_fit_aligned(int32_t block_offset, int32_t block_size, int32_t alloc_size, int32_t alignment) {
  int32_t aligned_offset = align_up32(block_offset, alignment);
  return py_bool(add32(aligned_offset, alloc_size) < add32(block_offset, block_size));
}

enum class BitmapOperation { IsSet, Set, Clear, FindFirst, Unknown };

// `operation` is a str or None. Callers usually pass literals, which are the interned names themselves; any other
// equal str matches as well.
BitmapOperation bitmap_operation(PyObject* operation) {
  if (operation == names.is_set) return BitmapOperation::IsSet;
  if (operation == names.set) return BitmapOperation::Set;
  if (operation == names.clear) return BitmapOperation::Clear;
  if (operation == names.find_first) return BitmapOperation::FindFirst;
  if (operation == Py_None) return BitmapOperation::Unknown;
  if (PyUnicode_CompareWithASCIIString(operation, "is_set") == 0) return BitmapOperation::IsSet;
  if (PyUnicode_CompareWithASCIIString(operation, "set") == 0) return BitmapOperation::Set;
  if (PyUnicode_CompareWithASCIIString(operation, "clear") == 0) return BitmapOperation::Clear;
  if (PyUnicode_CompareWithASCIIString(operation, "find_first") == 0) return BitmapOperation::FindFirst;
  return BitmapOperation::Unknown;
}

[[gnu::cold, gnu::noinline]] PyObject* unknown_operation(PyObject* operation) {
  Ref message = Ref::steal(PyUnicode_FromFormat("Unknown operation: %S", operation));
  if (message) PyErr_SetObject(PyExc_ValueError, message.get());
  return nullptr;
}

PyObject* fast_bitmap_operations(uint64_t bitmap, int32_t index, PyObject* operation) {
  switch (bitmap_operation(operation)) {
    case BitmapOperation::IsSet:
      return py_bool(bit_is_set(bitmap, index));
    case BitmapOperation::Set:
      return PyLong_FromUnsignedLongLong(with_bit(bitmap, index));
    case BitmapOperation::Clear:
      return PyLong_FromUnsignedLongLong(without_bit(bitmap, index));
    case BitmapOperation::FindFirst:
      return PyLong_FromLong(lowest_set_bit(bitmap));
    case BitmapOperation::Unknown:
      break;
  }
  return unknown_operation(operation);
}

// ---------------------------------------------------------------------------------------------------------------
// Bucket store: free offsets filed by size class
//
// Class k (1 <= k <= classes) holds the offsets of bucket size k * step, last in, first out. Each class is a singly
// linked stack through one shared node pool, so an empty class costs one 32-bit head and one bit; link 0 is null
// and node n lives at nodes_[n - 1]. A hierarchical bitmap of the non-empty classes lets the best-fit scan jump to
// the next candidate: level 0 has one bit per class, each level above one bit per non-zero word of the level
// below, up to a level of one word.

class BucketStore {
 public:
  BucketStore() = default;
  BucketStore(const BucketStore&) = delete;
  BucketStore& operator=(const BucketStore&) = delete;
  ~BucketStore() { release(); }

  // Replaces the contents with `classes` empty classes. Returns false when memory is short; the store is then
  // unchanged. Zeroed memory is an empty class, so even a very large layout costs only the pages it touches.
  bool reset(uint32_t classes) {
    if (classes == 0) {
      release();
      return true;
    }
    Levels levels;
    size_t total_words = levels.plan(size_t{classes} + 1);
    auto* heads = static_cast<uint32_t*>(PyMem_Calloc(size_t{classes} + 1, sizeof(uint32_t)));
    auto* words = static_cast<uint64_t*>(PyMem_Calloc(total_words, sizeof(uint64_t)));
    if (heads == nullptr || words == nullptr) {
      PyMem_Free(heads);
      PyMem_Free(words);
      return false;
    }
    PyMem_Free(heads_);
    PyMem_Free(words_);
    heads_ = heads;
    words_ = words;
    levels_ = levels;
    classes_ = classes;
    nodes_used_ = 0;
    free_list_ = 0;
    return true;
  }

  // No classes at all, and no memory held.
  void release() {
    PyMem_Free(heads_);
    PyMem_Free(words_);
    PyMem_Free(nodes_);
    heads_ = nullptr;
    words_ = nullptr;
    nodes_ = nullptr;
    classes_ = 0;
    nodes_capacity_ = 0;
    nodes_used_ = 0;
    free_list_ = 0;
  }

  bool has_class(uint64_t k) const { return k >= 1 && k <= classes_; }
  bool is_empty(uint32_t k) const { return heads_[k] == 0; }
  int32_t top(uint32_t k) const { return node(heads_[k]).offset; }

  // Returns false when memory is short; the store is then unchanged.
  bool push(uint32_t k, int32_t offset) {
    uint32_t n = free_list_;
    if (n != 0) {
      free_list_ = node(n).next;
    } else {
      if (nodes_used_ == nodes_capacity_ && !grow_nodes()) return false;
      n = ++nodes_used_;
    }
    node(n) = Node{offset, heads_[k]};
    if (heads_[k] == 0) mark(k);
    heads_[k] = n;
    return true;
  }

  int32_t pop(uint32_t k) {
    uint32_t n = heads_[k];
    Node& taken = node(n);
    heads_[k] = taken.next;
    taken.next = free_list_;
    free_list_ = n;
    if (heads_[k] == 0) unmark(k);
    return taken.offset;
  }

  // The smallest non-empty class above k, or 0 when there is none.
  uint32_t next_nonempty_above(uint64_t k) const {
    if (k >= classes_) return 0;
    return find_from(static_cast<size_t>(k) + 1);
  }

 private:
  struct Node {
    int32_t offset;
    uint32_t next;
  };

  struct Levels {
    static constexpr int kMax = 8;  // 2**32 classes need 6
    int count = 0;
    size_t begin[kMax] = {};  // first word of each level
    size_t words[kMax] = {};  // words per level

    // Lays out the levels for `bits` bits; returns the total number of words.
    size_t plan(size_t bits) {
      size_t total = 0;
      count = 0;
      do {
        size_t n = (bits + 63) / 64;
        begin[count] = total;
        words[count] = n;
        total += n;
        ++count;
        bits = n;
      } while (bits > 1);
      return total;
    }
  };

  Node& node(uint32_t n) const { return nodes_[n - 1]; }
  uint64_t& word(int level, size_t index) const { return words_[levels_.begin[level] + index]; }

  void mark(size_t bit) {
    for (int level = 0; level < levels_.count; ++level) {
      uint64_t& w = word(level, bit >> 6);
      bool was_zero = w == 0;
      w |= uint64_t{1} << (bit & 63);
      if (!was_zero) break;
      bit >>= 6;
    }
  }

  void unmark(size_t bit) {
    for (int level = 0; level < levels_.count; ++level) {
      uint64_t& w = word(level, bit >> 6);
      w &= ~(uint64_t{1} << (bit & 63));
      if (w != 0) break;
      bit >>= 6;
    }
  }

  // The smallest marked bit at or above `bit`, or 0 when there is none (bit 0 is never marked). Climbs while the
  // rest of a word is clear, then descends along the lowest set bits.
  uint32_t find_from(size_t bit) const {
    int level = 0;
    for (;;) {
      size_t index = bit >> 6;
      if (index >= levels_.words[level]) return 0;
      uint64_t rest = word(level, index) & (~uint64_t{0} << (bit & 63));
      if (rest != 0) {
        bit = (index << 6) | static_cast<size_t>(std::countr_zero(rest));
        break;
      }
      if (++level == levels_.count) return 0;
      bit = index + 1;
    }
    while (level > 0) {
      --level;
      bit = (bit << 6) | static_cast<size_t>(std::countr_zero(word(level, bit)));
    }
    return static_cast<uint32_t>(bit);
  }

  bool grow_nodes() {
    constexpr size_t kLimit = UINT32_MAX;  // node numbers are 32-bit and 0 is the null link
    if (nodes_capacity_ >= kLimit) return false;
    size_t capacity = nodes_capacity_ == 0 ? 64 : std::min(kLimit, size_t{nodes_capacity_} * 2);
    auto* nodes = static_cast<Node*>(PyMem_Realloc(nodes_, capacity * sizeof(Node)));
    if (nodes == nullptr) return false;
    nodes_ = nodes;
    nodes_capacity_ = static_cast<uint32_t>(capacity);
    return true;
  }

  uint32_t* heads_ = nullptr;  // [classes_ + 1]; heads_[0] unused
  uint64_t* words_ = nullptr;
  Node* nodes_ = nullptr;
  Levels levels_;
  uint32_t classes_ = 0;
  uint32_t nodes_capacity_ = 0;
  uint32_t nodes_used_ = 0;
  uint32_t free_list_ = 0;
};

// ---------------------------------------------------------------------------------------------------------------
// FastBucketAllocator
//
// The buckets are the small run step, 2*step, ... up to small_block_max and the medium run small_block_max + step,
// ... up to medium_block_max. Only a size that is a positive multiple of step is ever a bucket size, so only those
// buckets can hold offsets, and they always form classes 1..n of the store: the small run's multiples, continued by
// the medium run when small_block_max is itself a multiple of step. Every other bucket stays empty for good, and
// an empty bucket never changes a result: the store keeps exactly the buckets that can be filled. Before
// _init_buckets has run (an override may never call it) the store has no classes, like an empty bucket dict.

KORVANE_CLASS_OBJECT(FastBucketAllocator_Type)

struct FastBucketAllocator {
  PyObject_HEAD int32_t bucket_size_step;
  int32_t small_block_max;
  int32_t medium_block_max;
  PyObject* lock;
  BucketStore store;
};

using AllocatorFields = frame::ObjectFields<FastBucketAllocator, &FastBucketAllocator::lock>;

frame::Signature allocator_init_sig;
PyObject* init_buckets_function = nullptr;  // the native _init_buckets, owned by the class

uint32_t fillable_classes(const FastBucketAllocator* self) {
  int32_t step = self->bucket_size_step;
  if (step <= 0) return 0;
  int64_t small = self->small_block_max >= step ? self->small_block_max / step : 0;
  int64_t medium =
      self->small_block_max % step == 0 && self->medium_block_max >= step ? self->medium_block_max / step : 0;
  return static_cast<uint32_t>(std::max(small, medium));
}

// The bucket size of `size`: both ranges round up with the same step; -1 above them. Empty when a step of 0 would
// have to divide.
std::optional<int32_t> get_bucket_size_fast(const FastBucketAllocator* self, int32_t size) {
  if (size > self->small_block_max && size > self->medium_block_max) return -1;
  if (self->bucket_size_step == 0) return std::nullopt;
  return round_up32(size, self->bucket_size_step);
}

// The store class of a bucket size > 0, or 0 (no class) when the step is not positive.
uint64_t class_of(const FastBucketAllocator* self, int32_t bucket_size) {
  return self->bucket_size_step > 0 ? static_cast<uint64_t>(bucket_size / self->bucket_size_step) : 0;
}

// The fit test of the best-fit search: the aligned start plus `size`, in 32 bits, must not pass the block's end,
// offset + bucket size as an exact sum.
bool fits(int32_t offset, int32_t size, int32_t alignment, int64_t bucket_size) {
  return int64_t{add32(align_up32(offset, alignment), size)} <= int64_t{offset} + bucket_size;
}

// The class to take an offset from for `size`: the exact class, or else the smallest larger class whose most
// recently added offset fits; 0 when none. At most one offset per bucket is tried, and one that does not fit stays
// on top of its stack, exactly as if it had been taken out and put back at the end of its list.
uint32_t best_fit_class(const FastBucketAllocator* self, int32_t bucket_size, int32_t size, int32_t alignment) {
  const BucketStore& store = self->store;
  uint64_t exact = class_of(self, bucket_size);
  if (store.has_class(exact)) {
    auto k = static_cast<uint32_t>(exact);
    if (!store.is_empty(k) && fits(store.top(k), size, alignment, bucket_size)) return k;
  }
  for (uint32_t k = store.next_nonempty_above(exact); k != 0; k = store.next_nonempty_above(k))
    if (fits(store.top(k), size, alignment, int64_t{k} * self->bucket_size_step)) return k;
  return 0;
}

[[gnu::cold, gnu::noinline]] bool bucket_memory_error() {
  PyErr_SetString(PyExc_MemoryError, "Failed to allocate bucket storage");
  return false;
}

// Hands out the top offset of class k: the result object is made before the offset leaves the store, so a failed
// allocation loses nothing.
bool take_top(FastBucketAllocator* self, uint32_t k, Ref& result) {
  result = Ref::steal(PyLong_FromLong(self->store.top(k)));
  if (!result) return false;
  self->store.pop(k);
  return true;
}

// The result of a locked section whose body produced `result`; a body exception swallowed by the lock's __exit__
// leaves the method to fall off its end, returning None.
PyObject* section_result(frame::Section section, Ref& result) {
  if (section == frame::Section::Failed) return nullptr;
  if (section == frame::Section::Suppressed || !result) return none();
  return result.release();
}

// threading.Lock(), through the module attribute of the moment.
PyObject* new_lock() {
  Ref threading = Ref::steal(frame::global(names.threading));
  if (!threading) return nullptr;
  return PyObject_CallMethodNoArgs(threading.get(), names.Lock);
}

PyObject* allocator_init_buckets(FastBucketAllocator* self) {
  if (self->bucket_size_step == 0) {
    PyErr_SetString(PyExc_ValueError, "range() arg 3 must not be zero");
    return nullptr;
  }
  if (!self->store.reset(fillable_classes(self))) {
    bucket_memory_error();
    return nullptr;
  }
  return none();
}

bool allocator_init(FastBucketAllocator* self, int32_t bucket_size_step, int32_t small_block_max,
                    int32_t medium_block_max) {
  new (&self->store) BucketStore();
  self->bucket_size_step = bucket_size_step;
  self->small_block_max = small_block_max;
  self->medium_block_max = medium_block_max;
  // The instance is visible to the collector from here on: the lock field holds None until the lock exists.
  self->lock = none();
  PyObject* lock = new_lock();
  if (lock == nullptr) return false;
  replace_field(self->lock, lock);
  // self._init_buckets(), which a subclass may replace.
  auto* obj = reinterpret_cast<PyObject*>(self);
  Ref override;
  if (!frame::find_override(obj, &FastBucketAllocator_Type, names.init_buckets, init_buckets_function, override))
    return false;
  Ref done = Ref::steal(override ? PyObject_CallNoArgs(override.get()) : allocator_init_buckets(self));
  return static_cast<bool>(done);
}

PyObject* allocator_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  return frame::construct<FastBucketAllocator, allocator_init, kind::I32, kind::I32, kind::I32>(type, args, kwds,
                                                                                                allocator_init_sig);
}

void allocator_finish(FastBucketAllocator* self) { self->store.~BucketStore(); }

// Only a size that is itself a bucket size is accepted; the lock is taken only for one.
PyObject* allocator_add_to_bucket(FastBucketAllocator* self, int32_t offset, int32_t size) {
  std::optional<int32_t> bucket_size = get_bucket_size_fast(self, size);
  if (!bucket_size) return zero_division();
  if (*bucket_size <= 0 || size != *bucket_size) return py_bool(false);
  Ref result;
  frame::Section section = frame::with_lock(self->lock, [&] {
    uint64_t k = class_of(self, *bucket_size);
    bool added = self->store.has_class(k);
    if (added && !self->store.push(static_cast<uint32_t>(k), offset)) return bucket_memory_error();
    result = Ref::borrow(added ? Py_True : Py_False);
    return true;
  });
  return section_result(section, result);
}

// Any size up to the largest bucket is accepted and rounded up to its bucket.
PyObject* allocator_remove_from_bucket(FastBucketAllocator* self, int32_t size) {
  std::optional<int32_t> bucket_size = get_bucket_size_fast(self, size);
  if (!bucket_size) return zero_division();
  if (*bucket_size <= 0) return none();
  Ref result;
  frame::Section section = frame::with_lock(self->lock, [&] {
    uint64_t k = class_of(self, *bucket_size);
    if (!self->store.has_class(k) || self->store.is_empty(static_cast<uint32_t>(k))) return true;
    return take_top(self, static_cast<uint32_t>(k), result);
  });
  return section_result(section, result);
}

// The whole search, put-backs included, is one critical section.
PyObject* allocator_find_best_fit_bucket(FastBucketAllocator* self, int32_t size, int32_t alignment) {
  std::optional<int32_t> bucket_size = get_bucket_size_fast(self, size);
  if (!bucket_size) return zero_division();
  if (*bucket_size <= 0) return none();
  Ref result;
  frame::Section section = frame::with_lock(self->lock, [&] {
    uint32_t k = best_fit_class(self, *bucket_size, size, alignment);
    return k == 0 || take_top(self, k, result);
  });
  return section_result(section, result);
}

bool make_bucket_allocator() {
  if (!frame::make_signature(allocator_init_sig, "__cinit__",
                             {"bucket_size_step", "small_block_max", "medium_block_max"}, {8, 256, 4096}))
    return false;
  return frame::ready_class(&FastBucketAllocator_Type,
                            {.name = "korvane.memory.draskel.FastBucketAllocator",
                             .basicsize = sizeof(FastBucketAllocator),
                             .doc = "Free block offsets filed into size-class buckets, with a best-fit search.",
                             .new_ = allocator_new,
                             .dealloc = frame::gc_dealloc<FastBucketAllocator, AllocatorFields, allocator_finish>,
                             .traverse = AllocatorFields::traverse,
                             .clear = AllocatorFields::clear});
}

bool add_bucket_allocator_methods() {
  PyTypeObject* t = &FastBucketAllocator_Type;
  using frame::method_entry;
  init_buckets_function = frame::add_method(t, {.entry = method_entry<allocator_init_buckets, FastBucketAllocator>,
                                                .name = "_init_buckets",
                                                .doc = "Initialize size-class buckets."});
  return init_buckets_function != nullptr &&
         frame::add_method(t,
                           {.entry = method_entry<allocator_add_to_bucket, FastBucketAllocator, kind::I32, kind::I32>,
                            .name = "add_to_bucket",
                            .params = {"offset", "size"},
                            .doc = "Add block to appropriate bucket."}) &&
         frame::add_method(t, {.entry = method_entry<allocator_remove_from_bucket, FastBucketAllocator, kind::I32>,
                               .name = "remove_from_bucket",
                               .params = {"size"},
                               .doc = "Remove block from appropriate bucket."}) &&
         frame::add_method(
             t, {.entry = method_entry<allocator_find_best_fit_bucket, FastBucketAllocator, kind::I32, kind::I32>,
                 .name = "find_best_fit_bucket",
                 .params = {"size", "alignment"},
                 .doc = "Find best fit bucket for allocation."});
}

// ---------------------------------------------------------------------------------------------------------------
// FastSlabHeaderOps
//
// The record is "<BBLHQ": size class, flags, generation, checksum, bitmap, 16 bytes little-endian. The checksum
// covers bytes 0 to 5.

KORVANE_CLASS_OBJECT(FastSlabHeaderOps_Type)

constexpr uint8_t kInUse = 0x10;
constexpr uint8_t kCorrupt = 0x80;
constexpr Py_ssize_t kRecordSize = 16;

struct FastSlabHeaderOps {
  PyObject_HEAD uint8_t size_class_index;
  uint8_t flags;
  uint32_t generation;  // wraps
  uint16_t checksum;
  uint64_t bitmap;
  int32_t objects_per_slab;
};

frame::Signature header_init_sig;

// The bitmap of a wholly free slab; a slab of no or a negative number of objects tracks none.
uint64_t all_free(const FastSlabHeaderOps* h) {
  if (h->objects_per_slab >= 64) return ~uint64_t{0};
  if (h->objects_per_slab <= 0) return 0;
  return bit_of(h->objects_per_slab) - 1;
}

bool is_object_free(const FastSlabHeaderOps* h, int32_t index) { return bit_is_set(h->bitmap, index); }

void allocate_object(FastSlabHeaderOps* h, int32_t index) {
  h->bitmap = without_bit(h->bitmap, index);
  h->flags |= kInUse;
  ++h->generation;
}

void deallocate_object(FastSlabHeaderOps* h, int32_t index) {
  h->bitmap = with_bit(h->bitmap, index);
  ++h->generation;
  if (h->bitmap == all_free(h)) h->flags &= static_cast<uint8_t>(~kInUse);
}

int32_t find_free_object(const FastSlabHeaderOps* h) { return lowest_set_bit(h->bitmap); }

// Record bytes 0 to 5.
void write_checked_bytes(const FastSlabHeaderOps* h, uint8_t* out) {
  out[0] = h->size_class_index;
  out[1] = h->flags;
  for (int i = 0; i < 4; ++i) out[2 + i] = static_cast<uint8_t>(h->generation >> (8 * i));
}

uint16_t compute_checksum(const FastSlabHeaderOps* h) {
  uint8_t bytes[6];
  write_checked_bytes(h, bytes);
  return crc16_modbus(bytes, sizeof bytes);
}

bool header_init(FastSlabHeaderOps* self, int32_t size_class_index, int32_t objects_per_slab) {
  self->size_class_index = static_cast<uint8_t>(size_class_index);
  self->flags = 0;
  self->generation = 0;
  self->checksum = 0;
  self->objects_per_slab = objects_per_slab;
  self->bitmap = all_free(self);
  return true;
}

PyObject* header_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  return frame::construct<FastSlabHeaderOps, header_init, kind::I32, kind::I32>(type, args, kwds, header_init_sig);
}

// Refreshes the stored checksum and returns the record.
PyObject* header_pack_header(FastSlabHeaderOps* self) {
  self->checksum = compute_checksum(self);
  uint8_t record[kRecordSize];
  write_checked_bytes(self, record);
  record[6] = static_cast<uint8_t>(self->checksum);
  record[7] = static_cast<uint8_t>(self->checksum >> 8);
  for (int i = 0; i < 8; ++i) record[8 + i] = static_cast<uint8_t>(self->bitmap >> (8 * i));
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(record), kRecordSize);
}

[[gnu::cold, gnu::noinline]] PyObject* report_corruption(uint16_t stored, uint16_t computed) {
  char text[80];
  std::snprintf(text, sizeof text, "Header corruption detected: stored=%04x, computed=%04x", unsigned{stored},
                unsigned{computed});
  if (!frame::log_text("warning", text)) return nullptr;
  return none();
}

// Loads every field of the record but the checksum, which stays as it was. A record whose checksum does not match
// is no error: it is flagged corrupt in the header and logged. `data` is bytes or None.
PyObject* header_unpack_header(FastSlabHeaderOps* self, PyObject* data) {
  Py_ssize_t length = PyObject_Length(data);  // None raises the host's TypeError
  if (length < 0) return nullptr;
  if (length != kRecordSize) {
    PyErr_Format(PyExc_ValueError, "Invalid header length: %zd bytes (expected 16)", length);
    return nullptr;
  }
  const auto* in = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(data));
  self->size_class_index = in[0];
  self->flags = in[1];
  self->generation = 0;
  for (int i = 0; i < 4; ++i) self->generation |= uint32_t{in[2 + i]} << (8 * i);
  self->bitmap = 0;
  for (int i = 0; i < 8; ++i) self->bitmap |= uint64_t{in[8 + i]} << (8 * i);
  auto stored = static_cast<uint16_t>(in[6] | (in[7] << 8));
  uint16_t computed = compute_checksum(self);
  if (stored == computed) return none();
  self->flags |= kCorrupt;
  return report_corruption(stored, computed);
}

PyObject* header_py_is_object_free(FastSlabHeaderOps* self, int32_t index) {
  return py_bool(is_object_free(self, index));
}

PyObject* header_py_find_free_object(FastSlabHeaderOps* self) { return PyLong_FromLong(find_free_object(self)); }

PyObject* header_py_allocate_object_at(FastSlabHeaderOps* self, int32_t index) {
  allocate_object(self, index);
  return none();
}

PyObject* header_py_deallocate_object_at(FastSlabHeaderOps* self, int32_t index) {
  deallocate_object(self, index);
  return none();
}

bool make_slab_header_ops() {
  if (!frame::make_signature(header_init_sig, "__cinit__", {"size_class_index", "objects_per_slab"}, {})) return false;
  return frame::ready_class(&FastSlabHeaderOps_Type,
                            {.name = "korvane.memory.draskel.FastSlabHeaderOps",
                             .basicsize = sizeof(FastSlabHeaderOps),
                             .doc = "A slab header: size class, flags, generation, checksum and a 64-object bitmap.",
                             .new_ = header_new,
                             .dealloc = frame::plain_dealloc<FastSlabHeaderOps>});
}

bool add_slab_header_methods() {
  PyTypeObject* t = &FastSlabHeaderOps_Type;
  using frame::method_entry;
  return frame::add_method(t, {.entry = method_entry<header_pack_header, FastSlabHeaderOps>,
                               .name = "pack_header",
                               .doc = "Pack header into bytes for storage."}) &&
         frame::add_method(t, {.entry = method_entry<header_unpack_header, FastSlabHeaderOps, kind::Bytes>,
                               .name = "unpack_header",
                               .params = {"data"},
                               .doc = "Unpack header from bytes."}) &&
         frame::add_method(t, {.entry = method_entry<header_py_is_object_free, FastSlabHeaderOps, kind::I32>,
                               .name = "py_is_object_free",
                               .params = {"object_index"},
                               .doc = "Check if object at index is free (Python interface)."}) &&
         frame::add_method(t, {.entry = method_entry<header_py_find_free_object, FastSlabHeaderOps>,
                               .name = "py_find_free_object",
                               .doc = "Find first free object index (Python interface)."}) &&
         frame::add_method(t, {.entry = method_entry<header_py_allocate_object_at, FastSlabHeaderOps, kind::I32>,
                               .name = "py_allocate_object_at",
                               .params = {"object_index"},
                               .doc = "Mark object as allocated (Python interface)."}) &&
         frame::add_method(t, {.entry = method_entry<header_py_deallocate_object_at, FastSlabHeaderOps, kind::I32>,
                               .name = "py_deallocate_object_at",
                               .params = {"object_index"},
                               .doc = "Mark object as free (Python interface)."});
}

// ---------------------------------------------------------------------------------------------------------------
// FastStatsCollector

KORVANE_CLASS_OBJECT(FastStatsCollector_Type)

struct Counts {
  uint64_t total_allocations = 0;
  uint64_t total_deallocations = 0;
  uint64_t bucketed_allocations = 0;
  uint64_t fallback_allocations = 0;
  uint64_t alignment_padding_bytes = 0;  // wraps: a negative padding lowers it
};

struct FastStatsCollector {
  PyObject_HEAD Counts counts;
  PyObject* lock;
};

using StatsFields = frame::ObjectFields<FastStatsCollector, &FastStatsCollector::lock>;

void record_allocation(FastStatsCollector* self, int32_t /*size*/, int32_t padding, bool is_bucketed) {
  Counts& c = self->counts;
  c.alignment_padding_bytes += static_cast<uint64_t>(int64_t{padding});
  ++c.total_allocations;
  ++(is_bucketed ? c.bucketed_allocations : c.fallback_allocations);
}

void record_deallocation(FastStatsCollector* self) { ++self->counts.total_deallocations; }

bool stats_init(FastStatsCollector* self) {
  self->counts = Counts{};
  self->lock = none();
  PyObject* lock = new_lock();
  if (lock == nullptr) return false;
  replace_field(self->lock, lock);
  return true;
}

// Runs `change` on the counters inside a `with self._lock:` section; returns None.
template <class Change>
PyObject* locked_update(FastStatsCollector* self, Change&& change) {
  frame::Section section = frame::with_lock(self->lock, [&] {
    change();
    return true;
  });
  return section == frame::Section::Failed ? nullptr : none();
}

PyObject* stats_py_record_allocation(FastStatsCollector* self, int32_t size, int32_t padding, bool is_bucketed) {
  return locked_update(self, [&] { record_allocation(self, size, padding, is_bucketed); });
}

PyObject* stats_py_record_deallocation(FastStatsCollector* self) {
  return locked_update(self, [&] { record_deallocation(self); });
}

PyObject* stats_reset_stats(FastStatsCollector* self) {
  return locked_update(self, [&] { self->counts = Counts{}; });
}

// bucketed / total as the host's int true division computes it: exact operands give one correctly rounded
// division; larger counts go through the host ints.
std::optional<double> true_divide(uint64_t numerator, uint64_t denominator) {
  constexpr uint64_t kExact = uint64_t{1} << 53;
  if (numerator <= kExact && denominator <= kExact)
    return static_cast<double>(numerator) / static_cast<double>(denominator);
  Ref n = Ref::steal(PyLong_FromUnsignedLongLong(numerator));
  Ref d = Ref::steal(PyLong_FromUnsignedLongLong(denominator));
  if (!n || !d) return std::nullopt;
  Ref q = Ref::steal(PyNumber_TrueDivide(n.get(), d.get()));
  if (!q) return std::nullopt;
  return PyFloat_AS_DOUBLE(q.get());
}

// A str of ASCII text, without a decoding pass.
PyObject* ascii_text(const char* text, size_t length) {
  PyObject* result = PyUnicode_New(static_cast<Py_ssize_t>(length), 127);
  if (result != nullptr) std::memcpy(PyUnicode_1BYTE_DATA(result), text, length);
  return result;
}

// "<tenths / 10>.<tenths % 10>%".
PyObject* tenths_text(uint64_t tenths) {
  char buffer[32];
  char* end = std::to_chars(buffer, buffer + 24, tenths / 10).ptr;
  *end++ = '.';
  *end++ = static_cast<char>('0' + tenths % 10);
  *end++ = '%';
  return ascii_text(buffer, static_cast<size_t>(end - buffer));
}

// The texts "0.0%" to "100.0%", all a collector reports while its counters have not wrapped, are made on first
// use and shared from then on.
PyObject* ratio_texts[1001];

// ratio * 10 rounded half to even, computed exactly on the double's binary value, for 0 <= ratio < 1e15: the
// rounding the host's ".1f" format applies.
uint64_t tenths_of(double ratio) {
  auto bits = std::bit_cast<uint64_t>(ratio);
  auto biased_exponent = static_cast<int>(bits >> 52);
  uint64_t mantissa = bits & ((uint64_t{1} << 52) - 1);
  int exponent = -1074;  // subnormal
  if (biased_exponent != 0) {
    mantissa |= uint64_t{1} << 52;
    exponent = biased_exponent - 1075;
  }
  uint64_t scaled = mantissa * 10;  // below 2**57
  if (exponent >= 0) return scaled << exponent;
  int shift = -exponent;
  if (shift >= 64) return 0;  // the value is below 2**-7
  uint64_t quotient = scaled >> shift;
  uint64_t rest = scaled & ((uint64_t{1} << shift) - 1);
  uint64_t half = uint64_t{1} << (shift - 1);
  return quotient + ((rest > half || (rest == half && (quotient & 1) != 0)) ? 1 : 0);
}

// format(ratio, ".1f") + "%".
PyObject* format_ratio(double ratio) {
  if (ratio >= 0 && ratio < 1e15) {
    uint64_t tenths = tenths_of(ratio);
    if (tenths >= std::size(ratio_texts)) return tenths_text(tenths);
    PyObject*& text = ratio_texts[tenths];
    if (text == nullptr) text = tenths_text(tenths);
    return text != nullptr ? new_ref(text) : nullptr;
  }
  char* text = PyOS_double_to_string(ratio, 'f', 1, 0, nullptr);
  if (text == nullptr) return nullptr;
  char buffer[400];  // the largest double has 309 digits before the point
  size_t length = std::min(std::strlen(text), sizeof buffer - 1);
  std::memcpy(buffer, text, length);
  PyMem_Free(text);
  buffer[length++] = '%';
  return ascii_text(buffer, length);
}

PyObject* stats_get_stats(FastStatsCollector* self) {
  Counts snapshot;
  frame::Section section = frame::with_lock(self->lock, [&] {
    snapshot = self->counts;
    return true;
  });
  if (section == frame::Section::Failed) return nullptr;
  double ratio = 0.0;
  if (snapshot.total_allocations > 0) {
    std::optional<double> share = true_divide(snapshot.bucketed_allocations, snapshot.total_allocations);
    if (!share) return nullptr;
    ratio = *share * 100;
  }
  Ref values[] = {
      Ref::steal(PyLong_FromUnsignedLongLong(snapshot.total_allocations)),
      Ref::steal(PyLong_FromUnsignedLongLong(snapshot.total_deallocations)),
      Ref::steal(PyLong_FromUnsignedLongLong(snapshot.bucketed_allocations)),
      Ref::steal(PyLong_FromUnsignedLongLong(snapshot.fallback_allocations)),
      Ref::steal(format_ratio(ratio)),
      Ref::steal(PyLong_FromUnsignedLongLong(snapshot.alignment_padding_bytes)),
  };
  Ref result = Ref::steal(PyDict_Copy(names.stats_template));
  if (!result) return nullptr;
  for (size_t i = 0; i < std::size(values); ++i)
    if (!values[i] || PyDict_SetItem(result.get(), names.stat_keys[i], values[i].get()) < 0) return nullptr;
  return result.release();
}

bool make_stats_collector() {
  if (names.stats_template == nullptr) {
    Ref keys = Ref::steal(PyDict_New());
    if (!keys) return false;
    for (PyObject* key : names.stat_keys)
      if (PyDict_SetItem(keys.get(), key, Py_None) < 0) return false;
    names.stats_template = keys.release();
  }
  return frame::ready_class(&FastStatsCollector_Type,
                            {.name = "korvane.memory.draskel.FastStatsCollector",
                             .basicsize = sizeof(FastStatsCollector),
                             .doc = "Allocation and release counters of a memory pool, under one lock.",
                             .new_ = frame::construct_ignoring_args<FastStatsCollector, stats_init>,
                             .dealloc = frame::gc_dealloc<FastStatsCollector, StatsFields>,
                             .traverse = StatsFields::traverse,
                             .clear = StatsFields::clear});
}

bool add_stats_collector_methods() {
  PyTypeObject* t = &FastStatsCollector_Type;
  using frame::method_entry;
  return frame::add_method(
             t,
             {.entry = method_entry<stats_py_record_allocation, FastStatsCollector, kind::I32, kind::I32, kind::Truth>,
              .name = "py_record_allocation",
              .params = {"size", "padding", "is_bucketed"},
              .doc = "Record allocation statistics (Python interface)."}) &&
         frame::add_method(t, {.entry = method_entry<stats_py_record_deallocation, FastStatsCollector>,
                               .name = "py_record_deallocation",
                               .doc = "Record deallocation statistics (Python interface)."}) &&
         frame::add_method(t, {.entry = method_entry<stats_get_stats, FastStatsCollector>,
                               .name = "get_stats",
                               .doc = "Get statistics dictionary."}) &&
         frame::add_method(t, {.entry = method_entry<stats_reset_stats, FastStatsCollector>,
                               .name = "reset_stats",
                               .doc = "Reset all statistics."});
}

// ---------------------------------------------------------------------------------------------------------------
// Module

bool add_functions() {
  using frame::function_entry;
  return frame::add_function({.entry = function_entry<fast_align_size, kind::I32, kind::I32>,
                              .name = "fast_align_size",
                              .params = {"size", "alignment"},
                              .doc = "Fast alignment calculation (Python interface)."}) &&
         frame::add_function({.entry = function_entry<fast_get_bucket_size, kind::I32, kind::I32>,
                              .name = "fast_get_bucket_size",
                              .params = {"size", "step"},
                              .defaults = {8},
                              .doc = "Fast bucket size calculation (Python interface)."}) &&
         frame::add_function({.entry = function_entry<fast_bitmap_operations, kind::U64, kind::I32, kind::Str>,
                              .name = "fast_bitmap_operations",
                              .params = {"bitmap", "index", "operation"},
                              .doc = "Fast bitmap operations (Python interface)."}) &&
         frame::add_function({.entry = function_entry<fast_can_fit_aligned, kind::I32, kind::I32, kind::I32, kind::I32>,
                              .name = "fast_can_fit_aligned",
                              .params = {"block_offset", "block_size", "alloc_size", "alignment"},
                              .doc = "Fast alignment check with exclusive boundary (Python interface)."});
}

bool add_class(const char* name, PyTypeObject* type) {
  return frame::set_global(name, reinterpret_cast<PyObject*>(type));
}

bool module_body(PyObject*) {
  if (!frame::intern({{&names.threading, "threading"},
                      {&names.Lock, "Lock"},
                      {&names.init_buckets, "_init_buckets"},
                      {&names.is_set, "is_set"},
                      {&names.set, "set"},
                      {&names.clear, "clear"},
                      {&names.find_first, "find_first"},
                      {&names.stat_keys[0], "total_allocations"},
                      {&names.stat_keys[1], "total_deallocations"},
                      {&names.stat_keys[2], "bucketed_allocations"},
                      {&names.stat_keys[3], "fallback_allocations"},
                      {&names.stat_keys[4], "bucketed_allocation_ratio"},
                      {&names.stat_keys[5], "alignment_padding_bytes"}}))
    return false;
  if (!frame::import_module("threading") || !frame::bind_logger()) return false;
  if (!make_slab_header_ops() || !add_slab_header_methods() || !add_class("FastSlabHeaderOps", &FastSlabHeaderOps_Type))
    return false;
  if (!make_bucket_allocator() || !add_bucket_allocator_methods() ||
      !add_class("FastBucketAllocator", &FastBucketAllocator_Type))
    return false;
  if (!make_stats_collector() || !add_stats_collector_methods() ||
      !add_class("FastStatsCollector", &FastStatsCollector_Type))
    return false;
  if (!add_functions()) return false;
  // The checksum table is built at compile time (crc_table above).
  return frame::log_text("info",
                         "Korvane Draskel Vexel module loaded - targeting 1.8-3\xC3\x97 performance improvement");
}

constexpr frame::ModuleInfo kModule = {
    kModuleName, "draskel",
    "Allocation fast paths: size rounding and alignment, a bucketed best-fit index of free offsets, a 16-byte slab "
    "header with CRC-16 checksum and object bitmap, and allocation statistics.",
    module_body};

}  // namespace
}  // namespace korvane::memory

PyMODINIT_FUNC PyInit_draskel() { return korvane::frame::module_init(korvane::memory::kModule); }
