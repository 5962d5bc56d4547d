// korvane._frameprobe: do-nothing functions built with the frame.
//
// They measure what the frame itself costs per call (binding, conversion, dispatch), for the benchmarks, which
// put them beside the interpreter's own built-ins with the same number of arguments.
#include "frame/frame.h"

namespace korvane::frameprobe {
namespace {

namespace frame = korvane::frame;
namespace kind = korvane::kind;

struct Probe {
  PyObject_HEAD
};

KORVANE_CLASS_OBJECT(Probe_Type)

bool probe_init(Probe*) { return true; }

PyObject* nothing0(Probe*) { return none(); }
PyObject* nothing1(Probe*, int64_t) { return none(); }
PyObject* nothing2(Probe*, int64_t, int64_t) { return none(); }
PyObject* function0() { return none(); }

bool module_body(PyObject*) {
  using frame::method_entry;
  PyTypeObject* t = &Probe_Type;
  return frame::ready_class(t, {.name = "korvane._frameprobe.Probe",
                                .basicsize = sizeof(Probe),
                                .doc = "Do-nothing methods for measuring the frame's call cost.",
                                .new_ = frame::construct_ignoring_args<Probe, probe_init>,
                                .dealloc = frame::plain_dealloc<Probe>}) &&
         frame::add_method(t, {.entry = method_entry<nothing0, Probe>, .name = "nothing"}) &&
         frame::add_method(t,
                           {.entry = method_entry<nothing1, Probe, kind::I64>, .name = "nothing1", .params = {"a"}}) &&
         frame::add_method(t, {.entry = method_entry<nothing2, Probe, kind::I64, kind::I64>,
                               .name = "nothing2",
                               .params = {"a", "b"}}) &&
         frame::set_global("Probe", reinterpret_cast<PyObject*>(t)) &&
         frame::set_global(
             "nothing", Ref::steal(frame::make_function({.entry = frame::function_entry<function0>, .name = "nothing"},
                                                        nullptr, frame::module_name(), nullptr))
                            .get());
}

constexpr frame::ModuleInfo kModule = {"korvane._frameprobe", "_frameprobe",
                                       "Do-nothing functions for measuring the frame's call cost.", module_body};

}  // namespace
}  // namespace korvane::frameprobe

PyMODINIT_FUNC PyInit__frameprobe() { return korvane::frame::module_init(korvane::frameprobe::kModule); }
