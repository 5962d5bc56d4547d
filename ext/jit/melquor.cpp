// korvane.jit.melquor: per-function compile thresholds that learn from measured speed-ups.
//
// PolicyConfig holds the tuning (start value, bounds, learning rate, target speed-up), FunctionMetrics one
// function's execution record. AdaptivePolicy answers "compile this function now?" from a telemetry store that the
// caller passes in, and after each compilation moves that function's threshold by the learning rate, damped by the
// compile count and clamped to the bounds. The module also keeps one shared policy (get_melquor / reset_melquor).
#include <cstdint>

#include "frame/frame.h"

namespace korvane::jit {
namespace {

namespace frame = korvane::frame;
namespace kind = korvane::kind;

constexpr const char* kModuleName = "korvane.jit.melquor";

// ---------------------------------------------------------------------------------------------------------------
// Interned names and module state

struct Names {
  PyObject* time;
  PyObject* threading;
  PyObject* Lock;
  PyObject* logger;
  PyObject* isEnabledFor;
  PyObject* debug;
  PyObject* policy_lock;
  PyObject* get_metrics;
  PyObject* call_count;
  PyObject* compile_count;
  PyObject* avg_speedup;
  PyObject* last_compiled;
  PyObject* initial_threshold;
  PyObject* min_threshold;
  PyObject* max_threshold;
  PyObject* learning_rate;
  PyObject* target_speedup;
  PyObject* tracked_functions;
  PyObject* avg_threshold;
  PyObject* sum;
  PyObject* min;
  PyObject* max;
};
Names names;

PyObject* int_zero;         // 0, for the compile-count test of update
PyObject* debug_level;      // logging.DEBUG
PyObject* config_kwnames;   // the five PolicyConfig parameter names, for keyword calls
PyObject* metrics_kwnames;  // the five create_function_metrics parameter names

// The shared policy: None or the AdaptivePolicy handed out by get_melquor. Not a module attribute; changed only
// while the module attribute _policy_lock is held.
PyObject* global_policy;

// ---------------------------------------------------------------------------------------------------------------
// Threshold arithmetic (no host objects)

struct Tuning {
  int32_t initial_threshold;
  int32_t min_threshold;
  int32_t max_threshold;
  double learning_rate;
  double target_speedup;
};

// The first rule a tuning breaks, in the order the rules are checked; nullptr when it breaks none. A NaN learning
// rate fails its rule, a NaN target speed-up passes its rule.
const char* tuning_violation(const Tuning& t) {
  if (t.min_threshold <= 0) return "min_threshold must be positive";
  if (t.max_threshold <= t.min_threshold) return "max_threshold must be greater than min_threshold";
  if (!(t.learning_rate > 0.0 && t.learning_rate <= 1.0)) return "learning_rate must be in (0, 1]";
  if (t.target_speedup <= 0.0) return "target_speedup must be positive";
  if (t.initial_threshold < t.min_threshold || t.initial_threshold > t.max_threshold)
    return "initial_threshold must be within bounds";
  return nullptr;
}

// The compile decision once threshold and telemetry are read. The threshold is sign-extended and compared
// unsigned, so a negative threshold (reachable only through the setters) is never reached. A NaN age since the
// last compilation is not "less than the interval" and so does not block.
bool compile_decision(uint64_t call_count, uint32_t compile_count, int32_t threshold, double now, double last_compiled,
                      double min_recompile_interval) {
  if (call_count < static_cast<uint64_t>(static_cast<int64_t>(threshold))) return false;
  if (compile_count == 0) return true;
  return !(now - last_compiled < min_recompile_interval);
}

// One learning step: fewer calls before compiling when the speed-up beat the target, more otherwise (a speed-up
// exactly on target counts as not beating it), by a step damped by the compile count (ten compilations and more
// leave the threshold where it is), then clamped. The lower bound is tested first, so with bounds crossed through
// the setters a value below it still becomes the lower bound. A NaN raw value, reachable only through a non-finite
// learning rate, keeps the current threshold.
int32_t learned_threshold(const Tuning& t, int32_t current, uint32_t compile_count, double speedup) {
  const double divisor = t.target_speedup <= 0.0 ? 1.0 : t.target_speedup;
  const double ratio = speedup / divisor;
  const double step = ratio > 1.0 ? -t.learning_rate : t.learning_rate;
  double confidence = compile_count / 10.0;
  if (confidence > 1.0) confidence = 1.0;
  const double raw = (1.0 - confidence) * (step * current) + current;
  if (static_cast<double>(t.min_threshold) > raw) return t.min_threshold;
  if (raw > static_cast<double>(t.max_threshold)) return t.max_threshold;
  if (raw != raw) return current;
  // min_threshold <= raw <= max_threshold here, so the truncation stays inside the 32-bit range.
  return static_cast<int32_t>(raw);
}

// ---------------------------------------------------------------------------------------------------------------
// Helpers

// Reads `name` of `obj` as the native value of `Kind`; false with an exception set.
template <class Kind>
bool read_attr(PyObject* obj, PyObject* name, typename Kind::type& out) {
  Ref value = Ref::steal(PyObject_GetAttr(obj, name));
  return value && Kind::convert(value.get(), out, kind::Param{name});
}

// `time.time()` through the module attribute `time`, as a double.
bool wall_clock(double& now) {
  Ref value = Ref::steal(frame::call_global_method(names.time, names.time));
  return value && kind::F64::convert(value.get(), now, kind::Param{names.time});
}

// `threading.Lock()` through the module attribute `threading`, a new reference.
PyObject* new_lock() { return frame::call_global_method(names.threading, names.Lock); }

// Stores `owned_value` (stolen; nullptr after a failed call) under `key`. Used in && chains, so that each value is
// computed only after the previous one succeeded.
bool put(PyObject* dict, PyObject* key, PyObject* owned_value) {
  Ref value = Ref::steal(owned_value);
  return value && PyDict_SetItem(dict, key, value.get()) == 0;
}

// ---------------------------------------------------------------------------------------------------------------
// PolicyConfig

struct PolicyConfig;

// Native read accessors of PolicyConfig, in slot order, for other native code.
struct PolicyConfigAccessors {
  int32_t (*initial_threshold)(PolicyConfig*);
  int32_t (*min_threshold)(PolicyConfig*);
  int32_t (*max_threshold)(PolicyConfig*);
  double (*learning_rate)(PolicyConfig*);
  double (*target_speedup)(PolicyConfig*);
};

struct PolicyConfig {
  PyObject_HEAD const PolicyConfigAccessors* ops;
  int32_t initial_threshold;
  int32_t min_threshold;
  int32_t max_threshold;
  double learning_rate;
  double target_speedup;
};

KORVANE_CLASS_OBJECT(PolicyConfig_Type)

int32_t config_initial_threshold(PolicyConfig* c) { return c->initial_threshold; }
int32_t config_min_threshold(PolicyConfig* c) { return c->min_threshold; }
int32_t config_max_threshold(PolicyConfig* c) { return c->max_threshold; }
double config_learning_rate(PolicyConfig* c) { return c->learning_rate; }
double config_target_speedup(PolicyConfig* c) { return c->target_speedup; }

constexpr PolicyConfigAccessors kConfigAccessors = {config_initial_threshold, config_min_threshold,
                                                    config_max_threshold, config_learning_rate, config_target_speedup};

Tuning tuning_of(const PolicyConfig* c) {
  return {c->initial_threshold, c->min_threshold, c->max_threshold, c->learning_rate, c->target_speedup};
}

frame::Signature config_init_sig;

// The rules hold only at construction: the setters store whatever converts.
bool config_init(PolicyConfig* self, int32_t initial_threshold, int32_t min_threshold, int32_t max_threshold,
                 double learning_rate, double target_speedup) {
  const Tuning t = {initial_threshold, min_threshold, max_threshold, learning_rate, target_speedup};
  if (const char* violation = tuning_violation(t)) {
    PyErr_SetString(PyExc_ValueError, violation);
    return false;
  }
  self->ops = &kConfigAccessors;
  self->initial_threshold = t.initial_threshold;
  self->min_threshold = t.min_threshold;
  self->max_threshold = t.max_threshold;
  self->learning_rate = t.learning_rate;
  self->target_speedup = t.target_speedup;
  return true;
}

PyObject* config_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  return frame::construct<PolicyConfig, config_init, kind::I32, kind::I32, kind::I32, kind::F64, kind::F64>(
      type, args, kwds, config_init_sig);
}

template <class Kind, typename Kind::type PolicyConfig::* Field>
using ConfigProperty = frame::TypedProperty<PolicyConfig, Kind, Field>;

PyGetSetDef config_getset[] = {
#define KORVANE_CONFIG_FIELD(field, Kind)                                                                             \
  {#field, ConfigProperty<Kind, &PolicyConfig::field>::get, ConfigProperty<Kind, &PolicyConfig::field>::set, nullptr, \
   nullptr}
    KORVANE_CONFIG_FIELD(initial_threshold, kind::I32), KORVANE_CONFIG_FIELD(min_threshold, kind::I32),
    KORVANE_CONFIG_FIELD(max_threshold, kind::I32),     KORVANE_CONFIG_FIELD(learning_rate, kind::F64),
    KORVANE_CONFIG_FIELD(target_speedup, kind::F64),
#undef KORVANE_CONFIG_FIELD
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

bool make_policy_config() {
  if (!frame::make_signature(config_init_sig, "__cinit__",
                             {"initial_threshold", "min_threshold", "max_threshold", "learning_rate", "target_speedup"},
                             {100, 10, 10000, 0.1, 2.0}))
    return false;
  return frame::ready_class(&PolicyConfig_Type, {.name = "korvane.jit.melquor.PolicyConfig",
                                                 .basicsize = sizeof(PolicyConfig),
                                                 .doc = "Configuration for adaptive threshold policy.",
                                                 .new_ = config_new,
                                                 .dealloc = frame::plain_dealloc<PolicyConfig>,
                                                 .getset = config_getset});
}

// ---------------------------------------------------------------------------------------------------------------
// FunctionMetrics

struct FunctionMetrics;

// Native read accessors of FunctionMetrics, in slot order, for other native code (the total execution time has
// none).
struct FunctionMetricsAccessors {
  uint64_t (*call_count)(FunctionMetrics*);
  uint32_t (*compile_count)(FunctionMetrics*);
  double (*avg_speedup)(FunctionMetrics*);
  double (*last_compiled)(FunctionMetrics*);
};

struct FunctionMetrics {
  PyObject_HEAD const FunctionMetricsAccessors* ops;
  uint64_t call_count;
  uint32_t compile_count;
  double avg_speedup;
  double total_execution_time_ms;
  double last_compiled;  // readable and writable as last_compiled and as last_compile_time
};

KORVANE_CLASS_OBJECT(FunctionMetrics_Type)

uint64_t metrics_call_count(FunctionMetrics* m) { return m->call_count; }
uint32_t metrics_compile_count(FunctionMetrics* m) { return m->compile_count; }
double metrics_avg_speedup(FunctionMetrics* m) { return m->avg_speedup; }
double metrics_last_compiled(FunctionMetrics* m) { return m->last_compiled; }

constexpr FunctionMetricsAccessors kMetricsAccessors = {metrics_call_count, metrics_compile_count, metrics_avg_speedup,
                                                        metrics_last_compiled};

frame::Signature metrics_init_sig;

// `last_compiled` defaults to -1.0, which stands for "not given": then `last_compile_time` is the time of the last
// compilation. Any value >= 0.0 wins, 0.0 included; a NaN counts as not given.
bool metrics_init(FunctionMetrics* self, uint64_t call_count, uint32_t compile_count, double avg_speedup,
                  double total_execution_time_ms, double last_compile_time, double last_compiled) {
  self->ops = &kMetricsAccessors;
  self->call_count = call_count;
  self->compile_count = compile_count;
  self->avg_speedup = avg_speedup;
  self->total_execution_time_ms = total_execution_time_ms;
  self->last_compiled = last_compiled >= 0.0 ? last_compiled : last_compile_time;
  return true;
}

PyObject* metrics_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  return frame::construct<FunctionMetrics, metrics_init, kind::U64, kind::U32, kind::F64, kind::F64, kind::F64,
                          kind::F64>(type, args, kwds, metrics_init_sig);
}

template <class Kind, typename Kind::type FunctionMetrics::* Field>
using MetricsProperty = frame::TypedProperty<FunctionMetrics, Kind, Field>;

PyGetSetDef metrics_getset[] = {
#define KORVANE_METRICS_FIELD(name, field, Kind, doc)                                                              \
  {name, MetricsProperty<Kind, &FunctionMetrics::field>::get, MetricsProperty<Kind, &FunctionMetrics::field>::set, \
   doc, nullptr}
    KORVANE_METRICS_FIELD("call_count", call_count, kind::U64, nullptr),
    KORVANE_METRICS_FIELD("compile_count", compile_count, kind::U32, nullptr),
    KORVANE_METRICS_FIELD("avg_speedup", avg_speedup, kind::F64, nullptr),
    KORVANE_METRICS_FIELD("total_execution_time_ms", total_execution_time_ms, kind::F64, nullptr),
    KORVANE_METRICS_FIELD("last_compiled", last_compiled, kind::F64,
                          "Timestamp of last compilation (matches TelemetryStore interface)."),
    KORVANE_METRICS_FIELD("last_compile_time", last_compiled, kind::F64,
                          "Alias for last_compiled for backward compatibility."),
#undef KORVANE_METRICS_FIELD
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

bool make_function_metrics() {
  if (!frame::make_signature(metrics_init_sig, "__cinit__",
                             {"call_count", "compile_count", "avg_speedup", "total_execution_time_ms",
                              "last_compile_time", "last_compiled"},
                             {0, 0, 1.0, 0.0, 0.0, -1.0}))
    return false;
  return frame::ready_class(&FunctionMetrics_Type, {.name = "korvane.jit.melquor.FunctionMetrics",
                                                    .basicsize = sizeof(FunctionMetrics),
                                                    .doc = "Execution and compilation record of one function.",
                                                    .new_ = metrics_new,
                                                    .dealloc = frame::plain_dealloc<FunctionMetrics>,
                                                    .getset = metrics_getset});
}

// ---------------------------------------------------------------------------------------------------------------
// AdaptivePolicy

struct AdaptivePolicy;

// Native methods of AdaptivePolicy, in slot order.
struct AdaptivePolicyOps {
  // The learned threshold of func_id, else the configured initial one. The caller holds the policy's lock.
  // Returns -1 with an exception set on failure.
  int32_t (*get_threshold_fast)(AdaptivePolicy*, PyObject* func_id);
};

struct AdaptivePolicy {
  PyObject_HEAD const AdaptivePolicyOps* ops;
  PyObject* config;      // a PolicyConfig; None only after the collector cleared the instance
  PyObject* thresholds;  // dict: func_id (str or None) -> learned threshold (int); entries are never removed
  PyObject* lock;        // threading.Lock guarding thresholds and each decision's telemetry reads
  double min_recompile_interval;
};

// config comes first: clearing replaces it with None before the other fields, and every method checks it.
using PolicyFields =
    frame::ObjectFields<AdaptivePolicy, &AdaptivePolicy::config, &AdaptivePolicy::thresholds, &AdaptivePolicy::lock>;

KORVANE_CLASS_OBJECT(AdaptivePolicy_Type)

PolicyConfig* config_of(const AdaptivePolicy* self) { return reinterpret_cast<PolicyConfig*>(self->config); }

int32_t policy_get_threshold_fast(AdaptivePolicy* self, PyObject* func_id) {
  PyObject* stored = PyDict_GetItemWithError(self->thresholds, func_id);  // borrowed
  if (stored == nullptr) return PyErr_Occurred() ? -1 : config_of(self)->initial_threshold;
  int32_t value;
  return kind::I32::convert(stored, value, kind::Param{}) ? value : -1;
}

constexpr AdaptivePolicyOps kPolicyOps = {policy_get_threshold_fast};

bool threshold_failed(int32_t value) { return value == -1 && PyErr_Occurred(); }

// An instance emptied by the cyclic collector (its fields replaced with None) refuses work instead of crashing.
[[gnu::cold, gnu::noinline]] bool cleared_error() {
  PyErr_SetString(PyExc_RuntimeError, "AdaptivePolicy has been cleared and can no longer be used");
  return false;
}

bool usable(const AdaptivePolicy* self) { return self->config != Py_None || cleared_error(); }

// The configuration of a new policy: a default PolicyConfig for None, the very PolicyConfig given (later changes
// through its setters apply), or a new PolicyConfig built from the attributes of any other object, each attribute
// falling back to its default when missing. A mapping's keys are not read.
PyObject* resolve_config(PyObject* config) {
  PyObject* type = reinterpret_cast<PyObject*>(&PolicyConfig_Type);
  if (config == Py_None) return PyObject_CallNoArgs(type);
  if (PyObject_TypeCheck(config, &PolicyConfig_Type)) return new_ref(config);
  PyObject* const* attrs = &PyTuple_GET_ITEM(config_kwnames, 0);
  PyObject* const* defaults = &PyTuple_GET_ITEM(config_init_sig.defaults, 0);
  Ref values[5];
  for (int i = 0; i < 5; ++i) {
    values[i] = Ref::steal(PyObject_GetAttr(config, attrs[i]));
    if (values[i]) continue;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
    PyErr_Clear();
    values[i] = Ref::borrow(defaults[i]);
  }
  PyObject* args[5] = {values[0].get(), values[1].get(), values[2].get(), values[3].get(), values[4].get()};
  return PyObject_Vectorcall(type, args, 0, config_kwnames);
}

frame::Signature policy_init_sig;

bool policy_init(AdaptivePolicy* self, PyObject* config) {
  Ref resolved = Ref::steal(resolve_config(config));
  if (!resolved) return false;
  Ref thresholds = Ref::steal(PyDict_New());
  if (!thresholds) return false;
  Ref lock = Ref::steal(new_lock());
  if (!lock) return false;
  self->ops = &kPolicyOps;
  replace_field(self->config, resolved.release());
  replace_field(self->thresholds, thresholds.release());
  replace_field(self->lock, lock.release());
  self->min_recompile_interval = 600.0;
  return true;
}

PyObject* policy_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  return frame::construct<AdaptivePolicy, policy_init, kind::Object>(type, args, kwds, policy_init_sig);
}

// Runs `body` under the policy's lock. An exception that the lock's __exit__ swallows leaves the body's work
// undone; `suppressed` tells the caller so.
template <class Body>
bool under_lock(AdaptivePolicy* self, bool& suppressed, Body&& body) {
  frame::Section section = frame::with_lock(self->lock, body);
  suppressed = section == frame::Section::Suppressed;
  return section != frame::Section::Failed;
}

PyObject* policy_get_threshold(AdaptivePolicy* self, PyObject* func_id) {
  if (!usable(self)) return nullptr;
  Ref result;
  bool suppressed;
  bool ok = under_lock(self, suppressed, [&] {
    PyObject* stored = PyDict_GetItemWithError(self->thresholds, func_id);
    if (stored != nullptr) {
      result = Ref::borrow(stored);
      return true;
    }
    if (PyErr_Occurred()) return false;
    // Through the Python attribute, so a subclass's property is honoured here (unlike the decision path).
    result = Ref::steal(frame::check_result(PyObject_GetAttr(self->config, names.initial_threshold), &PyLong_Type));
    return static_cast<bool>(result);
  });
  if (!ok) return nullptr;
  return suppressed ? none() : result.release();
}

// The telemetry of one decision, read under the policy's lock.
struct DecisionInputs {
  int32_t threshold;
  uint64_t call_count;
  uint32_t compile_count;
  double avg_speedup;  // read so that an unreadable record fails the call; it does not enter the decision
  double last_compiled;
};

bool read_decision_inputs(AdaptivePolicy* self, PyObject* func_id, PyObject* store, DecisionInputs& in) {
  in.threshold = self->ops->get_threshold_fast(self, func_id);
  if (threshold_failed(in.threshold)) return false;
  Ref metrics = Ref::steal(frame::call_method(store, names.get_metrics, func_id));
  if (!metrics || !read_attr<kind::U64>(metrics.get(), names.call_count, in.call_count) ||
      !read_attr<kind::U32>(metrics.get(), names.compile_count, in.compile_count) ||
      !read_attr<kind::F64>(metrics.get(), names.avg_speedup, in.avg_speedup))
    return false;
  // A record without last_compiled counts as never compiled; any other error while reading it propagates.
  Ref last = Ref::steal(PyObject_GetAttr(metrics.get(), names.last_compiled));
  if (!last) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    in.last_compiled = 0.0;
    return true;
  }
  return kind::F64::convert(last.get(), in.last_compiled, kind::Param{names.last_compiled});
}

PyObject* policy_should_compile(AdaptivePolicy* self, PyObject* func_id, PyObject* store) {
  if (!usable(self)) return nullptr;
  // The clock is read before the lock is taken.
  double now;
  if (!wall_clock(now)) return nullptr;
  DecisionInputs in;
  bool suppressed;
  if (!under_lock(self, suppressed, [&] { return read_decision_inputs(self, func_id, store, in); })) return nullptr;
  // Nothing was read when __exit__ swallowed the failure: no decision to compile.
  if (suppressed) return py_bool(false);
  return py_bool(compile_decision(in.call_count, in.compile_count, in.threshold, now, in.last_compiled,
                                  self->min_recompile_interval));
}

// What one update learned, for its log line.
struct Learned {
  bool stored = false;
  int32_t current = 0;
  int32_t next = 0;
  double speedup = 0.0;
};

// The learning step of update, run under the policy's lock. A record whose compile count equals 0 teaches nothing.
bool learn(AdaptivePolicy* self, PyObject* func_id, PyObject* store, Learned& out) {
  Ref metrics = Ref::steal(frame::call_method(store, names.get_metrics, func_id));
  if (!metrics) return false;
  Ref raw_count = Ref::steal(PyObject_GetAttr(metrics.get(), names.compile_count));
  if (!raw_count) return false;
  int never_compiled = PyObject_RichCompareBool(raw_count.get(), int_zero, Py_EQ);
  if (never_compiled != 0) return never_compiled > 0;
  out.current = self->ops->get_threshold_fast(self, func_id);
  if (threshold_failed(out.current)) return false;
  uint32_t compile_count;
  if (!read_attr<kind::U32>(metrics.get(), names.compile_count, compile_count) ||
      !read_attr<kind::F64>(metrics.get(), names.avg_speedup, out.speedup))
    return false;
  out.next = learned_threshold(tuning_of(config_of(self)), out.current, compile_count, out.speedup);
  if (!put(self->thresholds, func_id, PyLong_FromLong(out.next))) return false;
  out.stored = true;
  return true;
}

// The DEBUG line of a threshold change. The text is built only when the module's logger (read at call time)
// has DEBUG enabled: that gives the same records as logging unconditionally, at a fraction of the cost.
bool log_threshold_change(PyObject* func_id, int32_t current, int32_t next, double speedup) {
  Ref logger = Ref::steal(frame::global(names.logger));
  if (!logger) return false;
  Ref enabled = Ref::steal(frame::call_method(logger.get(), names.isEnabledFor, debug_level));
  if (!enabled) return false;
  int is_enabled = PyObject_IsTrue(enabled.get());
  if (is_enabled <= 0) return is_enabled == 0;
  char* speedup_text = PyOS_double_to_string(speedup, 'f', 2, 0, nullptr);
  if (speedup_text == nullptr) return false;
  Ref message = Ref::steal(PyUnicode_FromFormat("Updated threshold for %S: %d -> %d (speedup: %sx)", func_id,
                                                static_cast<int>(current), static_cast<int>(next), speedup_text));
  PyMem_Free(speedup_text);
  if (!message) return false;
  Ref logged = Ref::steal(frame::call_method(logger.get(), names.debug, message.get()));
  return static_cast<bool>(logged);
}

PyObject* policy_update(AdaptivePolicy* self, PyObject* func_id, PyObject* store) {
  if (!usable(self)) return nullptr;
  Learned learned;
  bool suppressed;
  if (!under_lock(self, suppressed, [&] { return learn(self, func_id, store, learned); })) return nullptr;
  // Logged after the lock is released, so that a handler may call back into the policy.
  if (learned.stored && !log_threshold_change(func_id, learned.current, learned.next, learned.speedup)) return nullptr;
  return none();
}

// Calls the built-in `name` (looked up as a module attribute: globals, then builtins) with one argument.
PyObject* call_global(PyObject* name, PyObject* arg) {
  Ref f = Ref::steal(frame::global(name));
  return f ? PyObject_CallOneArg(f.get(), arg) : nullptr;
}

PyObject* policy_get_statistics(AdaptivePolicy* self) {
  if (!usable(self)) return nullptr;
  Ref result;
  bool suppressed;
  bool ok = under_lock(self, suppressed, [&] {
    result = Ref::steal(PyDict_New());
    if (!result) return false;
    PyObject* dict = result.get();
    Py_ssize_t tracked = PyDict_GET_SIZE(self->thresholds);
    if (tracked == 0) {
      // Through the configuration's Python attributes.
      return put(dict, names.tracked_functions, PyLong_FromLong(0)) &&
             put(dict, names.avg_threshold, PyObject_GetAttr(self->config, names.initial_threshold)) &&
             put(dict, names.min_threshold, PyObject_GetAttr(self->config, names.min_threshold)) &&
             put(dict, names.max_threshold, PyObject_GetAttr(self->config, names.max_threshold));
    }
    Ref values = Ref::steal(PyDict_Values(self->thresholds));
    Ref count = Ref::steal(PyLong_FromSsize_t(tracked));
    if (!values || !count) return false;
    Ref total = Ref::steal(call_global(names.sum, values.get()));
    return total && put(dict, names.tracked_functions, count.new_ref()) &&
           put(dict, names.avg_threshold, PyNumber_TrueDivide(total.get(), count.get())) &&
           put(dict, names.min_threshold, call_global(names.min, values.get())) &&
           put(dict, names.max_threshold, call_global(names.max, values.get()));
  });
  if (!ok) return nullptr;
  return suppressed ? none() : result.release();
}

PyObject* policy_get_config(PyObject* self, void*) { return new_ref(reinterpret_cast<AdaptivePolicy*>(self)->config); }

PyGetSetDef policy_getset[] = {
    {"config", policy_get_config, nullptr, "Get policy configuration.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

bool make_adaptive_policy() {
  if (!frame::make_signature(policy_init_sig, "__cinit__", {"config"}, {nullptr})) return false;
  return frame::ready_class(
      &AdaptivePolicy_Type,
      {.name = "korvane.jit.melquor.AdaptivePolicy",
       .basicsize = sizeof(AdaptivePolicy),
       .doc = "Adaptive threshold policy that learns optimal compilation thresholds per function from observed "
              "performance.",
       .new_ = policy_new,
       .dealloc = frame::gc_dealloc<AdaptivePolicy, PolicyFields>,
       .traverse = PolicyFields::traverse,
       .clear = PolicyFields::clear,
       .getset = policy_getset});
}

bool add_adaptive_policy_methods() {
  PyTypeObject* t = &AdaptivePolicy_Type;
  using frame::method_entry;
  return frame::add_method(t, {.entry = method_entry<policy_get_threshold, AdaptivePolicy, kind::Str>,
                               .name = "get_threshold",
                               .params = {"func_id"},
                               .annotations = {{"return", "int"}},
                               .doc = "Get the current compilation threshold for a function."}) &&
         frame::add_method(t, {.entry = method_entry<policy_should_compile, AdaptivePolicy, kind::Str, kind::Object>,
                               .name = "should_compile",
                               .params = {"func_id", "wenslow"},
                               .annotations = {{"return", "bool"}},
                               .doc = "Decide whether a function should be compiled now."}) &&
         frame::add_method(t, {.entry = method_entry<policy_update, AdaptivePolicy, kind::Str, kind::Object>,
                               .name = "update",
                               .params = {"func_id", "wenslow"},
                               .doc = "Learn a function's threshold from the speed-up of its compilation."}) &&
         frame::add_method(t, {.entry = method_entry<policy_get_statistics, AdaptivePolicy>,
                               .name = "get_statistics",
                               .annotations = {{"return", "Dict"}},
                               .doc = "Get statistics of the learned thresholds."});
}

// ---------------------------------------------------------------------------------------------------------------
// Module functions

PyObject* get_melquor() {
  Ref policy_lock = Ref::steal(frame::global(names.policy_lock));
  if (!policy_lock) return nullptr;
  Ref result;
  frame::Section section = frame::with_lock(policy_lock.get(), [&] {
    if (global_policy == Py_None) {
      PyObject* created = PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&AdaptivePolicy_Type));
      if (created == nullptr) return false;
      replace_field(global_policy, created);
    }
    result = Ref::borrow(global_policy);
    return true;
  });
  if (section == frame::Section::Failed) return nullptr;
  return result ? result.release() : none();
}

PyObject* reset_melquor() {
  Ref policy_lock = Ref::steal(frame::global(names.policy_lock));
  if (!policy_lock) return nullptr;
  // The dropped policy is released after the lock, so nothing it runs on release happens under the lock.
  Ref dropped;
  frame::Section section = frame::with_lock(policy_lock.get(), [&] {
    dropped = Ref::steal(global_policy);
    global_policy = none();
    return true;
  });
  if (section == frame::Section::Failed) return nullptr;
  return none();
}

PyObject* create_function_metrics(Ref& call_count, Ref& compile_count, double avg_speedup,
                                  double total_execution_time_ms, double last_compile_time) {
  Ref floats[3] = {Ref::steal(PyFloat_FromDouble(avg_speedup)), Ref::steal(PyFloat_FromDouble(total_execution_time_ms)),
                   Ref::steal(PyFloat_FromDouble(last_compile_time))};
  if (!floats[0] || !floats[1] || !floats[2]) return nullptr;
  PyObject* args[5] = {call_count.get(), compile_count.get(), floats[0].get(), floats[1].get(), floats[2].get()};
  return PyObject_Vectorcall(reinterpret_cast<PyObject*>(&FunctionMetrics_Type), args, 0, metrics_kwnames);
}

PyObject* create_policy_config(Ref& initial_threshold, Ref& min_threshold, Ref& max_threshold, double learning_rate,
                               double target_speedup) {
  Ref floats[2] = {Ref::steal(PyFloat_FromDouble(learning_rate)), Ref::steal(PyFloat_FromDouble(target_speedup))};
  if (!floats[0] || !floats[1]) return nullptr;
  PyObject* args[5] = {initial_threshold.get(), min_threshold.get(), max_threshold.get(), floats[0].get(),
                       floats[1].get()};
  return PyObject_Vectorcall(reinterpret_cast<PyObject*>(&PolicyConfig_Type), args, 0, config_kwnames);
}

bool add_function(const frame::FunctionDef& def) {
  Ref f = Ref::steal(frame::make_function(def, nullptr, kModuleName, nullptr));
  return f && frame::set_global(def.name, f.get());
}

bool add_module_functions() {
  using frame::function_entry;
  return add_function({.entry = function_entry<get_melquor>,
                       .name = "get_melquor",
                       .annotations = {{"return", "AdaptivePolicy"}},
                       .doc = "Get the shared adaptive policy, creating it on first use."}) &&
         add_function({.entry = function_entry<reset_melquor>,
                       .name = "reset_melquor",
                       .doc = "Drop the shared adaptive policy; the next get_melquor() creates a fresh one."}) &&
         add_function(
             {.entry =
                  function_entry<create_function_metrics, kind::PyInt, kind::PyInt, kind::F64, kind::F64, kind::F64>,
              .name = "create_function_metrics",
              .params = {"call_count", "compile_count", "avg_speedup", "total_execution_time_ms", "last_compile_time"},
              .defaults = {0, 0, 1.0, 0.0, 0.0},
              .annotations = {{"call_count", "int"},
                              {"compile_count", "int"},
                              {"avg_speedup", "float"},
                              {"total_execution_time_ms", "float"},
                              {"last_compile_time", "float"},
                              {"return", "FunctionMetrics"}},
              .doc = "Create a FunctionMetrics record."}) &&
         add_function(
             {.entry =
                  function_entry<create_policy_config, kind::PyInt, kind::PyInt, kind::PyInt, kind::F64, kind::F64>,
              .name = "create_policy_config",
              .params = {"initial_threshold", "min_threshold", "max_threshold", "learning_rate", "target_speedup"},
              .defaults = {100, 10, 10000, 0.1, 2.0},
              .annotations = {{"initial_threshold", "int"},
                              {"min_threshold", "int"},
                              {"max_threshold", "int"},
                              {"learning_rate", "float"},
                              {"target_speedup", "float"},
                              {"return", "PolicyConfig"}},
              .doc = "Create a validated PolicyConfig."});
}

// ---------------------------------------------------------------------------------------------------------------
// Module

bool make_constants() {
  if (!frame::intern({{&names.time, "time"},
                      {&names.threading, "threading"},
                      {&names.Lock, "Lock"},
                      {&names.logger, "logger"},
                      {&names.isEnabledFor, "isEnabledFor"},
                      {&names.debug, "debug"},
                      {&names.policy_lock, "_policy_lock"},
                      {&names.get_metrics, "get_metrics"},
                      {&names.call_count, "call_count"},
                      {&names.compile_count, "compile_count"},
                      {&names.avg_speedup, "avg_speedup"},
                      {&names.last_compiled, "last_compiled"},
                      {&names.initial_threshold, "initial_threshold"},
                      {&names.min_threshold, "min_threshold"},
                      {&names.max_threshold, "max_threshold"},
                      {&names.learning_rate, "learning_rate"},
                      {&names.target_speedup, "target_speedup"},
                      {&names.tracked_functions, "tracked_functions"},
                      {&names.avg_threshold, "avg_threshold"},
                      {&names.sum, "sum"},
                      {&names.min, "min"},
                      {&names.max, "max"}}))
    return false;
  int_zero = PyLong_FromLong(0);
  debug_level = PyLong_FromLong(10);  // logging.DEBUG
  config_kwnames = PyTuple_Pack(5, names.initial_threshold, names.min_threshold, names.max_threshold,
                                names.learning_rate, names.target_speedup);
  Ref metrics_params[2] = {Ref::steal(PyUnicode_InternFromString("total_execution_time_ms")),
                           Ref::steal(PyUnicode_InternFromString("last_compile_time"))};
  if (!metrics_params[0] || !metrics_params[1]) return false;
  metrics_kwnames = PyTuple_Pack(5, names.call_count, names.compile_count, names.avg_speedup, metrics_params[0].get(),
                                 metrics_params[1].get());
  return int_zero && debug_level && config_kwnames && metrics_kwnames;
}

bool module_body(PyObject*) {
  if (!make_constants()) return false;
  if (!frame::import_module("time") || !frame::import_module("logging") || !frame::import_module("threading") ||
      !frame::import_from("typing", {"Dict", "Optional"}) || !frame::bind_logger())
    return false;
  if (!make_policy_config() || !frame::set_global("PolicyConfig", reinterpret_cast<PyObject*>(&PolicyConfig_Type)) ||
      !make_function_metrics() ||
      !frame::set_global("FunctionMetrics", reinterpret_cast<PyObject*>(&FunctionMetrics_Type)) ||
      !make_adaptive_policy() || !add_adaptive_policy_methods() ||
      !frame::set_global("AdaptivePolicy", reinterpret_cast<PyObject*>(&AdaptivePolicy_Type)))
    return false;
  replace_field(global_policy, none());
  if (!frame::set_global("_policy_lock", Ref::steal(new_lock()).get())) return false;
  if (!add_module_functions()) return false;
  return frame::log_text("info", "Korvane Melquor Vexel module loaded - IP protected");
}

constexpr frame::ModuleInfo kModule = {
    kModuleName, "melquor",
    "Adaptive compilation thresholds: per-function call-count thresholds that learn from measured speed-ups.",
    module_body};

}  // namespace
}  // namespace korvane::jit

PyMODINIT_FUNC PyInit_melquor() { return korvane::frame::module_init(korvane::jit::kModule); }
