// korvane.monitoring.hoskett: numbered telemetry counters aggregated in native code.
//
// A CounterAggregator owns one malloc'ed array of counter records. Every change and every reading of a record runs
// under the instance's threading.Lock, so concurrent samples are never lost and each reported dict describes one
// consistent state of its counter.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>

#include "frame/frame.h"

namespace korvane::monitoring {
namespace {

namespace frame = korvane::frame;
namespace kind = korvane::kind;

constexpr const char* kModuleName = "korvane.monitoring.hoskett";

// ---------------------------------------------------------------------------------------------------------------
// Interned names and module state

struct Names {
  PyObject* threading = nullptr;
  PyObject* Lock = nullptr;
  PyObject* get_stats = nullptr;
  PyObject* count = nullptr;
  PyObject* mean = nullptr;
  PyObject* variance = nullptr;
  PyObject* std = nullptr;
  PyObject* min = nullptr;
  PyObject* max = nullptr;
} names;

bool intern_names() {
  return frame::intern({{&names.threading, "threading"},
                        {&names.Lock, "Lock"},
                        {&names.get_stats, "get_stats"},
                        {&names.count, "count"},
                        {&names.mean, "mean"},
                        {&names.variance, "variance"},
                        {&names.std, "std"},
                        {&names.min, "min"},
                        {&names.max, "max"}});
}

KORVANE_CLASS_OBJECT(CounterAggregator_Type)

// The class's own get_stats function object (owned by the class), to tell a subclass's override from it.
PyObject* native_get_stats = nullptr;

// ---------------------------------------------------------------------------------------------------------------
// Counter records

constexpr double kInf = std::numeric_limits<double>::infinity();

struct CounterStats {
  uint64_t count;
  double sum;
  double sum_sq;
  double min;
  double max;
};

void clear_counter(CounterStats& c) { c = {0, 0.0, 0.0, kInf, -kInf}; }

// A NaN sample enters the sums but never the extremes: both comparisons are false for it.
void add_sample(CounterStats& c, double value) {
  c.count += 1;
  c.sum += value;
  c.sum_sq += value * value;
  if (c.min > value) c.min = value;
  if (value > c.max) c.max = value;
}

// The statistics dict of a counter without samples. It is also the template of every result: a copy of it has the
// keys in their order and room for all of them, so filling it replaces values in place and never resizes.
PyObject* empty_stats = nullptr;

bool make_empty_stats() {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return false;
  const std::pair<PyObject*, Ref> items[] = {
      {names.count, Ref::steal(PyLong_FromLong(0))},         {names.mean, Ref::steal(PyFloat_FromDouble(0.0))},
      {names.variance, Ref::steal(PyFloat_FromDouble(0.0))}, {names.std, Ref::steal(PyFloat_FromDouble(0.0))},
      {names.min, Ref::steal(PyFloat_FromDouble(kInf))},     {names.max, Ref::steal(PyFloat_FromDouble(-kInf))},
  };
  for (const auto& [key, value] : items)
    if (!value || PyDict_SetItem(dict.get(), key, value.get()) < 0) return false;
  empty_stats = dict.release();
  return true;
}

// The statistics dict of one counter, keys in the order callers print and compare them.
PyObject* stats_dict(const CounterStats& c) {
  Ref dict = Ref::steal(PyDict_Copy(empty_stats));
  if (!dict || c.count == 0) return dict.release();
  double n = static_cast<double>(c.count);
  double mean = c.sum / n;
  double variance = c.sum_sq / n - mean * mean;
  // The sum-of-squares formula can round a zero spread slightly below zero (three samples of 0.1 give about
  // -1.7e-18); a variance is never negative, so that reads 0.0. NaN passes through unchanged.
  if (variance < 0.0) variance = 0.0;
  const std::pair<PyObject*, Ref> items[] = {
      {names.count, Ref::steal(PyLong_FromUnsignedLongLong(c.count))},
      {names.mean, Ref::steal(PyFloat_FromDouble(mean))},
      {names.variance, Ref::steal(PyFloat_FromDouble(variance))},
      {names.std, Ref::steal(PyFloat_FromDouble(std::sqrt(variance)))},
      {names.min, Ref::steal(PyFloat_FromDouble(c.min))},
      {names.max, Ref::steal(PyFloat_FromDouble(c.max))},
  };
  for (const auto& [key, value] : items)
    if (!value || PyDict_SetItem(dict.get(), key, value.get()) < 0) return nullptr;
  return dict.release();
}

// ---------------------------------------------------------------------------------------------------------------
// CounterAggregator

struct CounterAggregator {
  PyObject ob_base;
  CounterStats* stats;  // num_counters records from the native heap
  int32_t num_counters;
  PyObject* lock;  // a threading.Lock
};

using AggregatorFields = frame::ObjectFields<CounterAggregator, &CounterAggregator::lock>;

[[gnu::cold, gnu::noinline]] PyObject* out_of_range(int32_t counter_id) {
  PyErr_Format(PyExc_IndexError, "Counter ID %d out of range", static_cast<int>(counter_id));
  return nullptr;
}

bool in_range(const CounterAggregator* self, int32_t counter_id) {
  return counter_id >= 0 && counter_id < self->num_counters;
}

// Runs `body` on the counter array under the instance's lock; false with an exception set on failure.
template <class Body>
bool locked(CounterAggregator* self, Body&& body) {
  return frame::with_lock(self->lock, [&] {
           body();
           return true;
         }) != frame::Section::Failed;
}

frame::Signature aggregator_init_sig;

bool aggregator_init(CounterAggregator* self, int32_t num_counters) {
  self->num_counters = num_counters;
  // A negative count is an unsatisfiable size; zero counters still get a valid (unused) block.
  if (num_counters >= 0) {
    size_t records = num_counters > 0 ? static_cast<size_t>(num_counters) : 1;
    self->stats = static_cast<CounterStats*>(std::malloc(records * sizeof(CounterStats)));
  }
  if (self->stats == nullptr) {
    PyErr_SetString(PyExc_MemoryError, "Failed to allocate counter storage");
    return false;
  }
  for (int32_t i = 0; i < num_counters; ++i) clear_counter(self->stats[i]);
  Ref threading = Ref::steal(frame::global(names.threading));
  if (!threading) return false;
  Ref lock_factory = Ref::steal(PyObject_GetAttr(threading.get(), names.Lock));
  if (!lock_factory) return false;
  PyObject* lock = PyObject_CallNoArgs(lock_factory.get());
  if (lock == nullptr) return false;
  replace_field(self->lock, lock);
  return true;
}

PyObject* aggregator_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  return frame::construct<CounterAggregator, aggregator_init, kind::I32>(type, args, kwds, aggregator_init_sig);
}

void aggregator_finish(CounterAggregator* self) {
  std::free(self->stats);
  self->stats = nullptr;
}

PyObject* aggregator_update(CounterAggregator* self, int32_t counter_id, double value) {
  if (!in_range(self, counter_id)) return out_of_range(counter_id);
  if (!locked(self, [&] { add_sample(self->stats[counter_id], value); })) return nullptr;
  return none();
}

// The record is copied under the lock and the dict built from the copy after it: the dict describes one state of
// the counter, and no allocation (which may run the collector and arbitrary finalisers) happens with the lock held.
PyObject* aggregator_get_stats(CounterAggregator* self, int32_t counter_id) {
  if (!in_range(self, counter_id)) return out_of_range(counter_id);
  CounterStats snapshot;
  if (!locked(self, [&] { snapshot = self->stats[counter_id]; })) return nullptr;
  return stats_dict(snapshot);
}

PyObject* aggregator_reset(CounterAggregator* self, int32_t counter_id) {
  if (!in_range(self, counter_id)) return out_of_range(counter_id);
  if (!locked(self, [&] { clear_counter(self->stats[counter_id]); })) return nullptr;
  return none();
}

PyObject* aggregator_reset_all(CounterAggregator* self) {
  if (!locked(self, [&] {
        for (int32_t i = 0; i < self->num_counters; ++i) clear_counter(self->stats[i]);
      }))
    return nullptr;
  return none();
}

// get_stats as the class itself calls it: a Python subclass's override when there is one, whose result must be a
// dict or None.
PyObject* dispatch_get_stats(CounterAggregator* self, int32_t counter_id) {
  PyObject* obj = reinterpret_cast<PyObject*>(self);
  Ref override_method;
  if (!frame::find_override(obj, &CounterAggregator_Type, names.get_stats, native_get_stats, override_method))
    return nullptr;
  if (!override_method) return aggregator_get_stats(self, counter_id);
  Ref id = Ref::steal(PyLong_FromLong(counter_id));
  if (!id) return nullptr;
  return frame::check_result(PyObject_CallOneArg(override_method.get(), id.get()), &PyDict_Type,
                             "Expected %s, got %.200s");
}

// Counters without samples are left out. Each count is read without the lock, so a counter that receives its first
// sample meanwhile may be missed; every included dict is taken under the lock.
PyObject* aggregator_get_all_stats(CounterAggregator* self) {
  Ref result = Ref::steal(PyList_New(0));
  if (!result) return nullptr;
  for (int32_t i = 0; i < self->num_counters; ++i) {
    if (self->stats[i].count == 0) continue;
    Ref stats = Ref::steal(dispatch_get_stats(self, i));
    if (!stats) return nullptr;
    Ref id = Ref::steal(PyLong_FromLong(i));
    if (!id) return nullptr;
    Ref entry = Ref::steal(PyTuple_Pack(2, id.get(), stats.get()));
    if (!entry || PyList_Append(result.get(), entry.get()) < 0) return nullptr;
  }
  return result.release();
}

bool make_counter_aggregator() {
  if (!frame::make_signature(aggregator_init_sig, "__cinit__", {"num_counters"}, {1000})) return false;
  return frame::ready_class(&CounterAggregator_Type,
                            {.name = "korvane.monitoring.hoskett.CounterAggregator",
                             .basicsize = sizeof(CounterAggregator),
                             .doc = "\n    Fast counter aggregation in compiled code.\n\n"
                                    "    Uses atomic operations for thread-safe updates without GIL overhead.\n    ",
                             .new_ = aggregator_new,
                             .dealloc = frame::gc_dealloc<CounterAggregator, AggregatorFields, aggregator_finish>,
                             .traverse = AggregatorFields::traverse,
                             .clear = AggregatorFields::clear});
}

bool add_counter_aggregator_methods() {
  PyTypeObject* t = &CounterAggregator_Type;
  using frame::method_entry;
  if (!frame::add_method(t, {.entry = method_entry<aggregator_update, CounterAggregator, kind::I32, kind::F64>,
                             .name = "update",
                             .params = {"counter_id", "value"},
                             .doc = "\n        Update counter with new value.\n\n"
                                    "        Thread-safe via lock (correctness over performance).\n        "}))
    return false;
  native_get_stats = frame::add_method(t, {.entry = method_entry<aggregator_get_stats, CounterAggregator, kind::I32>,
                                           .name = "get_stats",
                                           .params = {"counter_id"},
                                           .doc = "\n        Get statistics for a counter.\n\n"
                                                  "        Returns dict with count, mean, variance, min, max.\n"
                                                  "        "});
  return native_get_stats != nullptr &&
         frame::add_method(t, {.entry = method_entry<aggregator_reset, CounterAggregator, kind::I32>,
                               .name = "reset",
                               .params = {"counter_id"},
                               .doc = "Reset a specific counter."}) &&
         frame::add_method(t, {.entry = method_entry<aggregator_reset_all, CounterAggregator>,
                               .name = "reset_all",
                               .doc = "Reset all counters."}) &&
         frame::add_method(t, {.entry = method_entry<aggregator_get_all_stats, CounterAggregator>,
                               .name = "get_all_stats",
                               .doc = "Get statistics for all counters."});
}

// ---------------------------------------------------------------------------------------------------------------
// create_aggregator

// The argument goes to the class unconverted, so its conversion and errors are the constructor's.
PyObject* create_aggregator(PyObject* num_counters) {
  return PyObject_CallOneArg(reinterpret_cast<PyObject*>(&CounterAggregator_Type), num_counters);
}

// ---------------------------------------------------------------------------------------------------------------
// Module

bool module_body(PyObject*) {
  if (!intern_names() || !make_empty_stats()) return false;
  if (!frame::import_module("threading")) return false;
  if (!make_counter_aggregator() || !add_counter_aggregator_methods() ||
      !frame::set_global("CounterAggregator", reinterpret_cast<PyObject*>(&CounterAggregator_Type)))
    return false;
  return frame::add_function({.entry = frame::function_entry<create_aggregator, kind::Object>,
                              .name = "create_aggregator",
                              .params = {"num_counters"},
                              .defaults = {1000},
                              .doc = "Create a new CounterAggregator instance."});
}

constexpr frame::ModuleInfo kModule = {
    kModuleName, "hoskett",
    "Compiled extension for low-overhead telemetry aggregation: numbered counters with count, mean, variance, "
    "standard deviation and extremes.",
    module_body};

}  // namespace
}  // namespace korvane::monitoring

PyMODINIT_FUNC PyInit_hoskett() { return korvane::frame::module_init(korvane::monitoring::kModule); }
