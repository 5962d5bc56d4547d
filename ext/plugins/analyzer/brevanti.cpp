// korvane.plugins.analyzer.brevanti: the decision rules of the adaptation orchestrator.
//
// Stateless functions over plain lists, dicts and numbers: performance degradation and trend, workload change and
// the dominant pattern (history analysers), then the gates that decide whether, and how urgently, to adapt memory
// pools, and the prediction of coming allocations. The orchestrator owns every history; nothing here keeps state
// beyond the constant result tuples made at import.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "frame/frame.h"

namespace korvane::analyzer {
namespace {

namespace frame = korvane::frame;
namespace kind = korvane::kind;

constexpr const char* kModuleName = "korvane.plugins.analyzer.brevanti";

// ---------------------------------------------------------------------------------------------------------------
// Module state: interned keys and the constant results, made once at import and never released.

struct Names {
  PyObject* parallelization_potential = nullptr;
  PyObject* cpu_intensity = nullptr;
  PyObject* memory_intensity = nullptr;
  PyObject* mixed = nullptr;
} names;

PyObject* zero_index = nullptr;        // 0, the subscript of `entry[0]`
PyObject* no_change = nullptr;         // (False, 0.0, 0.0, 0.0)
PyObject* empty_prediction = nullptr;  // (0, 0, 0.0)

// ---------------------------------------------------------------------------------------------------------------
// Helpers

// Ratio clamp for inputs: a value not below 1 becomes 1, then a value not above 0 becomes 0, so NaN ends as 1.
double clamp_unit_input(double v) {
  if (!(v < 1.0)) v = 1.0;
  if (!(v > 0.0)) v = 0.0;
  return v;
}

// Clamp for final results: below 0 gives 0, above 1 gives 1.
double clamp_unit_result(double v) {
  if (v < 0.0) return 0.0;
  if (v > 1.0) return 1.0;
  return v;
}

// A predicted figure as an int: truncated toward zero, saturated at the signed 64-bit range. A figure that is not a
// number predicts nothing and counts as 0.
int64_t truncate_figure(double v) {
  constexpr double kTwo63 = 9223372036854775808.0;
  if (std::isnan(v)) return 0;
  if (v >= kTwo63) return std::numeric_limits<int64_t>::max();
  if (v < -kTwo63) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(v);
}

// `first, second = entry` followed by the conversion of both items to double (first, then second). Exact tuples and
// lists of two are read directly; both items are held while converting, since a conversion may run Python code
// that changes a list.
bool unpack_pair(PyObject* entry, double& first, double& second) {
  Ref a, b;
  if (!frame::unpack_two(entry, a, b)) return false;
  const kind::Param unnamed;
  return kind::F64::convert(a.get(), first, unnamed) && kind::F64::convert(b.get(), second, unnamed);
}

// Item i of a list as a new reference, or an empty Ref when the list has become shorter (the walk then ends, as a
// `for` loop over the list would).
Ref list_item(PyObject* list, Py_ssize_t i) {
  return i < PyList_GET_SIZE(list) ? Ref::borrow(PyList_GET_ITEM(list, i)) : Ref();
}

// ---------------------------------------------------------------------------------------------------------------
// Name counting for detect_dominant_pattern: insertion-ordered counts of str-or-None names, like a dict, kept in
// native arrays. Comparing exact str objects (and None) runs no Python code.

class NameCounter {
 public:
  // Room for `capacity` distinct names; may throw std::bad_alloc.
  explicit NameCounter(Py_ssize_t capacity) {
    std::size_t slots = 2 * kInline;
    while (slots < 2 * static_cast<std::size_t>(capacity)) slots *= 2;
    if (capacity > kInline) {
      heap_entries_.resize(static_cast<std::size_t>(capacity));
      heap_slots_.resize(slots);
      entries_ = heap_entries_.data();
      slots_ = heap_slots_.data();
    }
    mask_ = slots - 1;
    std::memset(slots_, 0xff, slots * sizeof(Py_ssize_t));
  }

  void add(PyObject* name) {
    // The hash of an exact str is computed once and cached in the object; it cannot fail.
    Py_hash_t hash = name == Py_None ? 0 : PyObject_Hash(name);
    std::size_t slot = static_cast<std::size_t>(hash) & mask_;
    for (;; slot = (slot + 1) & mask_) {
      Py_ssize_t index = slots_[slot];
      if (index < 0) break;
      Entry& e = entries_[index];
      if (e.name == name ||
          (e.hash == hash && e.name != Py_None && name != Py_None && PyUnicode_Compare(e.name, name) == 0)) {
        ++e.count;
        return;
      }
    }
    slots_[slot] = size_;
    entries_[size_++] = Entry{name, hash, 1};
  }

  // The first name, in insertion order, whose count is highest; "mixed" when nothing was counted.
  PyObject* most_frequent() const {
    PyObject* best = names.mixed;
    Py_ssize_t best_count = 0;
    for (Py_ssize_t i = 0; i < size_; ++i) {
      if (entries_[i].count > best_count) {
        best = entries_[i].name;
        best_count = entries_[i].count;
      }
    }
    return best;
  }

 private:
  struct Entry {
    PyObject* name;
    Py_hash_t hash;
    Py_ssize_t count;
  };
  static constexpr Py_ssize_t kInline = 16;

  Entry inline_entries_[kInline];
  Py_ssize_t inline_slots_[2 * kInline];
  std::vector<Entry> heap_entries_;
  std::vector<Py_ssize_t> heap_slots_;
  Entry* entries_ = inline_entries_;
  Py_ssize_t* slots_ = inline_slots_;
  std::size_t mask_ = 0;
  Py_ssize_t size_ = 0;
};

// acc = float(acc + value): the interpreter's addition of a float and the value, read back as a double. Plain floats
// and ints are added natively (with the same conversion error for an int too large for a double).
bool accumulate(double& acc, PyObject* value) {
  if (PyFloat_CheckExact(value)) {
    acc += PyFloat_AS_DOUBLE(value);
    return true;
  }
  if (PyLong_CheckExact(value)) {
    double v = PyLong_AsDouble(value);
    if (v == -1.0 && PyErr_Occurred()) return false;
    acc += v;
    return true;
  }
  Ref held = Ref::borrow(value);
  Ref left = Ref::steal(PyFloat_FromDouble(acc));
  if (!left) return false;
  Ref sum = Ref::steal(PyNumber_Add(left.get(), held.get()));
  return sum && kind::F64::convert(sum.get(), acc, kind::Param{});
}

// Adds an analysis's three scores to the three accumulators, in key order.
bool accumulate_scores(PyObject* entry, double sums[3]) {
  PyObject* keys[3] = {names.parallelization_potential, names.cpu_intensity, names.memory_intensity};
  for (int k = 0; k < 3; ++k) {
    PyObject* value = PyDict_GetItemWithError(entry, keys[k]);
    if (value == nullptr) {
      // Only a value's own addition code, removing the key from its dict, can get here.
      if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, keys[k]);
      return false;
    }
    if (!accumulate(sums[k], value)) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------------------------------------------
// History analysers

PyObject* detect_performance_degradation(PyObject* history, double baseline, double threshold, double window_start) {
  if (history == Py_None || baseline <= 0.0 || PyList_GET_SIZE(history) < 5) return py_bool(false);
  // Every entry is unpacked and converted, also those outside the window.
  double sum = 0.0;
  Py_ssize_t count = 0;
  for (Py_ssize_t i = 0;; ++i) {
    Ref entry = list_item(history, i);
    if (!entry) break;
    double timestamp, metric;
    if (!unpack_pair(entry.get(), timestamp, metric)) return nullptr;
    if (timestamp >= window_start) {
      sum += metric;
      ++count;
    }
  }
  if (count < 5) return py_bool(false);
  double average = sum / static_cast<double>(count);
  double degradation = (baseline - average) / baseline;
  return py_bool(degradation > threshold);
}

PyObject* calculate_performance_trend(PyObject* history, double window_start) {
  if (history == Py_None || PyList_GET_SIZE(history) < 3) return PyFloat_FromDouble(0.0);
  // Least squares over the windowed pairs, with x measured from the first kept timestamp (list order).
  double t0 = 0.0, sum_x = 0.0, sum_y = 0.0, sum_xy = 0.0, sum_xx = 0.0;
  Py_ssize_t kept = 0;
  for (Py_ssize_t i = 0;; ++i) {
    Ref entry = list_item(history, i);
    if (!entry) break;
    double timestamp, metric;
    if (!unpack_pair(entry.get(), timestamp, metric)) return nullptr;
    if (!(timestamp >= window_start)) continue;
    if (kept++ == 0) t0 = timestamp;
    double x = timestamp - t0;
    sum_x += x;
    sum_y += metric;
    sum_xy += x * metric;
    sum_xx += x * x;
  }
  if (kept < 3) return PyFloat_FromDouble(0.0);
  double n = static_cast<double>(kept);
  double mean_x = sum_x / n;
  double denominator = sum_xx - (mean_x * n) * mean_x;
  if (std::fabs(denominator) < 1e-10) return PyFloat_FromDouble(0.0);
  double mean_y = sum_y / n;
  if (std::fabs(mean_y) < 1e-10) return PyFloat_FromDouble(0.0);
  double slope = (sum_xy - (mean_x * n) * mean_y) / denominator;
  double trend = slope / mean_y;
  if (!(trend < 1.0)) trend = 1.0;
  if (!(trend > -1.0)) trend = -1.0;
  return PyFloat_FromDouble(trend);
}

PyObject* detect_workload_characteristics_change(PyObject* history, double change_threshold) {
  if (history == Py_None) return frame::none_has_no_len();
  Py_ssize_t n = PyList_GET_SIZE(history);
  if (n < 6) return new_ref(no_change);
  // The last six analyses, oldest first; each is held, since the additions below may run Python code. A key test
  // may run a stored key's __eq__, which can shorten the list: each entry is read by index as `history[i]` would.
  Ref entries[6];
  PyObject* keys[3] = {names.parallelization_potential, names.cpu_intensity, names.memory_intensity};
  for (int i = 0; i < 6; ++i) {
    if (n - 6 + i >= PyList_GET_SIZE(history)) {
      PyErr_SetString(PyExc_IndexError, "list index out of range");
      return nullptr;
    }
    entries[i] = Ref::borrow(PyList_GET_ITEM(history, n - 6 + i));
    PyObject* entry = entries[i].get();
    if (entry == Py_None) {
      PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
      return nullptr;
    }
    if (!PyDict_CheckExact(entry)) return frame::expected_type_error("dict", entry, "Expected %s, got %.200s");
    for (PyObject* key : keys) {
      int present = PyDict_Contains(entry, key);
      if (present < 0) return nullptr;
      if (present == 0) return new_ref(no_change);
    }
  }
  double recent[3] = {0.0, 0.0, 0.0};
  double older[3] = {0.0, 0.0, 0.0};
  for (int i = 3; i < 6; ++i)
    if (!accumulate_scores(entries[i].get(), recent)) return nullptr;
  for (int i = 0; i < 3; ++i)
    if (!accumulate_scores(entries[i].get(), older)) return nullptr;
  double change[3];
  bool changed = false;
  for (int k = 0; k < 3; ++k) {
    change[k] = std::fabs(recent[k] / 3.0 - older[k] / 3.0);
    changed = changed || change[k] > change_threshold;
  }
  return frame::tuple_of(
      {py_bool(changed), PyFloat_FromDouble(change[0]), PyFloat_FromDouble(change[1]), PyFloat_FromDouble(change[2])});
}

PyObject* detect_dominant_pattern(PyObject* patterns, int32_t window_size) {
  if (patterns == Py_None) return frame::none_has_no_len();
  Py_ssize_t n = PyList_GET_SIZE(patterns);
  if (n == 0) return new_ref(names.mixed);
  // In 64 bits, so that any 32-bit window gives a start at or beyond 0.
  int64_t start = static_cast<int64_t>(n) - window_size;
  if (start <= 0) start = 0;
  if (start >= n) return new_ref(names.mixed);
  // Names are checked before counting; the counting itself runs no Python code, so the list cannot change under it.
  for (Py_ssize_t i = static_cast<Py_ssize_t>(start); i < n; ++i) {
    PyObject* name = PyList_GET_ITEM(patterns, i);
    if (name != Py_None && !PyUnicode_CheckExact(name))
      return frame::expected_type_error("str", name, "Expected %s, got %.200s");
  }
  try {
    NameCounter counter(n - static_cast<Py_ssize_t>(start));
    for (Py_ssize_t i = static_cast<Py_ssize_t>(start); i < n; ++i) counter.add(PyList_GET_ITEM(patterns, i));
    return new_ref(counter.most_frequent());
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

// ---------------------------------------------------------------------------------------------------------------
// Adaptation gates and prediction

// Pool names compare like the interpreter's ==: the same object (two Nones included) or equal text.
bool same_pool(PyObject* a, PyObject* b) {
  if (a == b) return true;
  if (a == Py_None || b == Py_None) return false;
  return PyUnicode_Compare(a, b) == 0;
}

PyObject* is_adaptation_beneficial(PyObject* current_pool, PyObject* recommended_pool, double score, double confidence,
                                   double current_performance_estimate, int32_t trigger_code,
                                   double min_improvement_ratio, double min_confidence) {
  if (same_pool(current_pool, recommended_pool)) return py_bool(false);
  if (min_confidence > confidence) return py_bool(false);
  if (trigger_code == 0) return py_bool(score > 0.5);
  if (current_performance_estimate > 0.0) return py_bool(score > min_improvement_ratio * current_performance_estimate);
  return py_bool(score > 0.6);
}

PyObject* should_skip_adaptation(double last_adaptation_time, double current_time, double min_interval) {
  return py_bool(min_interval > current_time - last_adaptation_time);
}

PyObject* detect_memory_pressure(double current_usage, double peak_usage, double pressure_threshold) {
  if (peak_usage <= 0.0 || current_usage < 0.0) return py_bool(false);
  return py_bool(current_usage / peak_usage > pressure_threshold);
}

PyObject* detect_fragmentation_threshold(double fragmentation_ratio, double threshold) {
  if (fragmentation_ratio < 0.0) return py_bool(false);
  return py_bool(fragmentation_ratio > threshold);
}

PyObject* calculate_adaptation_urgency(double performance_degradation, double memory_pressure,
                                       double fragmentation_ratio, bool workload_changed) {
  double urgency = ((0.0 + clamp_unit_input(performance_degradation) * 0.4) + clamp_unit_input(memory_pressure) * 0.3) +
                   clamp_unit_input(fragmentation_ratio) * 0.15;
  if (workload_changed) urgency += 0.15;
  return PyFloat_FromDouble(clamp_unit_result(urgency));
}

PyObject* score_pool_recommendation(double workload_fit, double memory_fit, double thread_count_fit,
                                    double historical_success_rate) {
  double score = ((clamp_unit_input(memory_fit) * 0.3 + clamp_unit_input(workload_fit) * 0.35) +
                  clamp_unit_input(thread_count_fit) * 0.2) +
                 clamp_unit_input(historical_success_rate) * 0.15;
  return PyFloat_FromDouble(clamp_unit_result(score));
}

// `entry[0]` as a double.
bool leading_item(PyObject* entry, double& out) {
  Ref item;
  if (PyTuple_CheckExact(entry) && PyTuple_GET_SIZE(entry) > 0)
    item = Ref::borrow(PyTuple_GET_ITEM(entry, 0));
  else if (PyList_CheckExact(entry) && PyList_GET_SIZE(entry) > 0)
    item = Ref::borrow(PyList_GET_ITEM(entry, 0));
  else
    item = Ref::steal(PyObject_GetItem(entry, zero_index));
  return item && kind::F64::convert(item.get(), out, kind::Param{});
}

PyObject* predict_resource_requirements(PyObject* history, double prediction_horizon_seconds) {
  if (history == Py_None) return frame::none_has_no_len();
  Py_ssize_t n = PyList_GET_SIZE(history);
  if (n < 10) return new_ref(empty_prediction);
  // The time span runs from the first entry to the last in list order. Both are held: reading item 0 may run
  // Python code.
  Ref first_entry = Ref::borrow(PyList_GET_ITEM(history, 0));
  Ref last_entry = Ref::borrow(PyList_GET_ITEM(history, n - 1));
  double first, last;
  if (!leading_item(first_entry.get(), first) || !leading_item(last_entry.get(), last)) return nullptr;
  double span = last - first;
  if (span <= 0.0) return new_ref(empty_prediction);
  double count = static_cast<double>(n);
  double rate = count / span;
  // Every entry is validated; the sizes are averaged over n.
  double total = 0.0;
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref entry = list_item(history, i);
    if (!entry) break;
    double timestamp, size;
    if (!unpack_pair(entry.get(), timestamp, size)) return nullptr;
    total += size;
  }
  double average_size = total / count;
  int64_t allocations = truncate_figure(rate * prediction_horizon_seconds);
  int64_t bytes = truncate_figure(average_size * static_cast<double>(allocations));
  double confidence = std::min(count / 100.0, 1.0) * 0.8;
  return frame::tuple_of(
      {PyLong_FromLongLong(allocations), PyLong_FromLongLong(bytes), PyFloat_FromDouble(confidence)});
}

// ---------------------------------------------------------------------------------------------------------------
// Function table

using frame::function_entry;
using kind::F64;
using kind::I32;
using kind::List;
using kind::Str;
using kind::Truth;

const frame::FunctionDef kFunctions[] = {
    {.entry = function_entry<detect_performance_degradation, List, F64, F64, F64>,
     .name = "detect_performance_degradation",
     .params = {"performance_history", "baseline_performance", "threshold", "window_start_time"},
     .doc = "True when the mean metric of the (timestamp, metric) pairs at or after window_start_time (at least "
            "five) lies more than threshold (a fraction) below baseline_performance."},
    {.entry = function_entry<calculate_performance_trend, List, F64>,
     .name = "calculate_performance_trend",
     .params = {"performance_history", "window_start_time"},
     .doc = "Least-squares slope of metric over time for the pairs at or after window_start_time, relative to the "
            "mean metric and clamped to [-1.0, 1.0]; 0.0 with fewer than three pairs or a flat time axis."},
    {.entry = function_entry<detect_workload_characteristics_change, List, F64>,
     .name = "detect_workload_characteristics_change",
     .params = {"pattern_history", "change_threshold"},
     .defaults = {0.3},
     .doc = "Compares the mean parallelisation, CPU and memory scores of the last three analyses with the three "
            "before; returns (changed, parallel_change, cpu_change, memory_change)."},
    {.entry = function_entry<detect_dominant_pattern, List, I32>,
     .name = "detect_dominant_pattern",
     .params = {"patterns", "window_size"},
     .defaults = {5},
     .doc = "The most frequent name among the last window_size patterns (ties go to the one seen first), or "
            "'mixed' when the window is empty."},
    {.entry = function_entry<is_adaptation_beneficial, Str, Str, F64, F64, F64, I32, F64, F64>,
     .name = "is_adaptation_beneficial",
     .params = {"current_pool", "recommended_pool", "recommendation_score", "recommendation_confidence",
                "current_performance_estimate", "trigger_code", "min_improvement_ratio", "min_confidence"},
     .defaults = {1.1, 0.6},
     .doc = "Whether switching from current_pool to recommended_pool is worth it, given the recommendation's score "
            "and confidence, the current performance and what triggered the adaptation."},
    {.entry = function_entry<should_skip_adaptation, F64, F64, F64>,
     .name = "should_skip_adaptation",
     .params = {"last_adaptation_time", "current_time", "min_interval"},
     .doc = "True while less than min_interval has passed since the last adaptation."},
    {.entry = function_entry<detect_memory_pressure, F64, F64, F64>,
     .name = "detect_memory_pressure",
     .params = {"current_usage", "peak_usage", "pressure_threshold"},
     .defaults = {0.8},
     .doc = "True when current_usage / peak_usage exceeds pressure_threshold."},
    {.entry = function_entry<detect_fragmentation_threshold, F64, F64>,
     .name = "detect_fragmentation_threshold",
     .params = {"fragmentation_ratio", "threshold"},
     .defaults = {0.3},
     .doc = "True when a non-negative fragmentation_ratio exceeds threshold."},
    {.entry = function_entry<calculate_adaptation_urgency, F64, F64, F64, Truth>,
     .name = "calculate_adaptation_urgency",
     .params = {"performance_degradation", "memory_pressure", "fragmentation_ratio", "workload_changed"},
     .doc = "Urgency in [0.0, 1.0]: degradation 0.4, memory pressure 0.3, fragmentation 0.15 (each clamped to "
            "[0, 1]) and 0.15 for a changed workload."},
    {.entry = function_entry<score_pool_recommendation, F64, F64, F64, F64>,
     .name = "score_pool_recommendation",
     .params = {"workload_fit", "memory_fit", "thread_count_fit", "historical_success_rate"},
     .doc = "Score in [0.0, 1.0]: workload fit 0.35, memory fit 0.3, thread-count fit 0.2 and success history 0.15 "
            "(each clamped to [0, 1])."},
    {.entry = function_entry<predict_resource_requirements, List, F64>,
     .name = "predict_resource_requirements",
     .params = {"allocation_history", "prediction_horizon_seconds"},
     .doc = "From (timestamp, size) entries (at least ten), the allocations and bytes expected over the horizon and "
            "a confidence that grows with the history: (predicted_allocations, predicted_total_bytes, confidence)."},
};

// ---------------------------------------------------------------------------------------------------------------
// Module

bool make_constants() {
  if (!frame::intern({{&names.parallelization_potential, "parallelization_potential"},
                      {&names.cpu_intensity, "cpu_intensity"},
                      {&names.memory_intensity, "memory_intensity"},
                      {&names.mixed, "mixed"}}))
    return false;
  if (zero_index == nullptr && (zero_index = PyLong_FromLong(0)) == nullptr) return false;
  if (no_change == nullptr &&
      (no_change = frame::tuple_of(
           {py_bool(false), PyFloat_FromDouble(0.0), PyFloat_FromDouble(0.0), PyFloat_FromDouble(0.0)})) == nullptr)
    return false;
  if (empty_prediction == nullptr && (empty_prediction = frame::tuple_of({PyLong_FromLong(0), PyLong_FromLong(0),
                                                                          PyFloat_FromDouble(0.0)})) == nullptr)
    return false;
  return true;
}

bool module_body(PyObject*) {
  if (!make_constants()) return false;
  for (const frame::FunctionDef& def : kFunctions)
    if (!frame::add_function(def)) return false;
  if (!frame::bind_logger()) return false;
  return frame::log_text("info", "Korvane Brevanti Vexel module loaded - IP protected");
}

constexpr frame::ModuleInfo kModule = {
    kModuleName, "brevanti",
    "Adaptation decisions: performance degradation and trend, workload change, the dominant pattern, adaptation "
    "benefit, cooldown, memory pressure, fragmentation, urgency, pool scoring and resource prediction.",
    module_body};

}  // namespace
}  // namespace korvane::analyzer

PyMODINIT_FUNC PyInit_brevanti() { return korvane::frame::module_init(korvane::analyzer::kModule); }
