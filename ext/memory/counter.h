// The layout and atomic operations of korvane.memory.tessin.AtomicCounter.
//
// Other classes of the package keep counters that are usually exact AtomicCounter instances. For those they run
// the counter's atomic operation directly on its field (the result is the same as the Python-level call); any other
// object, a subclass included, still gets the Python-level call.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

namespace korvane::memory {

struct AtomicCounter;

// The class's table of native operations, in the order native callers rely on.
struct AtomicCounterOps {
  int64_t (*load)(AtomicCounter*);
  void (*store)(AtomicCounter*, int64_t);
  int64_t (*increment)(AtomicCounter*, const int64_t* delta);  // nullptr: 1
  int64_t (*decrement)(AtomicCounter*, const int64_t* delta);  // nullptr: 1
  bool (*compare_and_swap)(AtomicCounter*, int64_t expected, int64_t desired);
  int64_t (*fetch_and_add)(AtomicCounter*, int64_t delta);
};

struct AtomicCounter {
  PyObject_HEAD const AtomicCounterOps* ops;
  int64_t value;  // changed only through atomic operations
};

// Every operation is one sequentially consistent atomic instruction on `value`. Sums wrap in two's complement.
inline std::atomic_ref<int64_t> counter_value(AtomicCounter* c) { return std::atomic_ref<int64_t>(c->value); }

inline int64_t wrapping_add(int64_t a, int64_t b) {
  return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}
inline int64_t wrapping_neg(int64_t a) { return static_cast<int64_t>(0 - static_cast<uint64_t>(a)); }

inline int64_t counter_load(AtomicCounter* c) { return counter_value(c).load(); }
inline void counter_store(AtomicCounter* c, int64_t v) { counter_value(c).exchange(v); }
inline int64_t counter_fetch_and_add(AtomicCounter* c, int64_t delta) { return counter_value(c).fetch_add(delta); }
inline int64_t counter_increment(AtomicCounter* c, int64_t delta) {
  return wrapping_add(counter_fetch_and_add(c, delta), delta);
}
inline int64_t counter_decrement(AtomicCounter* c, int64_t delta) {
  int64_t minus = wrapping_neg(delta);
  return wrapping_add(counter_fetch_and_add(c, minus), minus);
}
inline bool counter_compare_and_swap(AtomicCounter* c, int64_t expected, int64_t desired) {
  return counter_value(c).compare_exchange_strong(expected, desired);
}

}  // namespace korvane::memory
