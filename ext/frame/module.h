// Module identity and import: multi-phase initialisation with one module object per process.
//
// A module's state (its module object, globals, interned names, classes, constants) is built once, at the first
// import, and lives until the process ends; a second import returns the same module object and runs nothing again.
// Because of that a module can live in only one interpreter of a process.
#pragma once

#include <Python.h>

#include <cstdio>
#include <initializer_list>

#include "frame/function.h"
#include "frame/lock.h"
#include "frame/ref.h"

namespace korvane::frame {

// What a module declares about itself.
struct ModuleInfo {
  const char* full_name;   // "korvane.memory.tessin"
  const char* short_name;  // "tessin"
  const char* doc;
  // Runs the module's statements (imports, classes, functions, logger, ...) on its globals; returns false with an
  // exception set on failure.
  bool (*body)(PyObject* module);
};

namespace detail {

struct ModuleState {
  const ModuleInfo* info = nullptr;
  PyObject* module = nullptr;    // owned
  PyObject* globals = nullptr;   // borrowed from module
  PyObject* builtins = nullptr;  // owned: the builtins module
  bool executed = false;
  int64_t interpreter_id = -1;
};

// One state per extension module: each shared object gets its own instance of this inline variable.
inline ModuleState state;

inline bool copy_spec_attr(PyObject* spec, PyObject* module, const char* from, const char* to, bool skip_none) {
  Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    return true;
  }
  if (skip_none && value.get() == Py_None) return true;
  return PyObject_SetAttrString(module, to, value.get()) == 0;
}

inline PyObject* create(PyObject* spec, PyModuleDef*) {
  ModuleState& s = state;
  int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (s.interpreter_id == -1) {
    s.interpreter_id = id;
  } else if (s.interpreter_id != id) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one interpreter per process.");
    return nullptr;
  }
  if (s.module != nullptr) return new_ref(s.module);
  Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
  if (!name) return nullptr;
  Ref module = Ref::steal(PyModule_NewObject(name.get()));
  if (!module) return nullptr;
  if (!copy_spec_attr(spec, module.get(), "loader", "__loader__", false) ||
      !copy_spec_attr(spec, module.get(), "origin", "__file__", false) ||
      !copy_spec_attr(spec, module.get(), "parent", "__package__", false) ||
      !copy_spec_attr(spec, module.get(), "submodule_search_locations", "__path__", true))
    return nullptr;
  s.module = module.new_ref();
  return module.release();
}

// Warns when the interpreter running the module is not the one it was compiled for.
inline bool check_version(const char* full_name) {
  int major = 0, minor = 0;
  if (std::sscanf(Py_GetVersion(), "%d.%d", &major, &minor) != 2) return true;
  if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return true;
  return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                          "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                          PY_MAJOR_VERSION, PY_MINOR_VERSION, full_name, "does not match", major, minor) == 0;
}

inline bool run_exec(PyObject* module) {
  ModuleState& s = state;
  s.globals = PyModule_GetDict(module);
  if (s.globals == nullptr) return false;
  if (s.builtins == nullptr) {
    s.builtins = PyImport_ImportModule("builtins");
    if (s.builtins == nullptr) return false;
  }
  if (PyDict_SetItemString(s.globals, "__builtins__", s.builtins) < 0) return false;
  if (!check_version(s.info->full_name)) return false;
  PyObject* modules = PyImport_GetModuleDict();
  Ref key = Ref::steal(PyUnicode_FromString(s.info->full_name));
  if (!key) return false;
  int present = PyDict_Contains(modules, key.get());
  if (present < 0 || (present == 0 && PyDict_SetItem(modules, key.get(), module) < 0)) return false;
  if (!init_lock_support()) return false;
  if (!s.info->body(module)) return false;
  Ref test = Ref::steal(PyDict_New());
  return test && PyDict_SetItemString(s.globals, "__test__", test.get()) == 0;
}

inline int exec(PyObject* module) {
  ModuleState& s = state;
  if (s.executed) {
    if (module == s.module) return 0;
    PyErr_Format(PyExc_RuntimeError, "Module '%s' has already been imported. Re-initialisation is not supported.",
                 s.info->short_name);
    return -1;
  }
  if (run_exec(module)) {
    s.executed = true;
    return 0;
  }
  if (!PyErr_Occurred()) PyErr_Format(PyExc_ImportError, "init %s", s.info->full_name);
  // The partly built module is dropped; a later import starts afresh.
  Py_CLEAR(s.module);
  s.globals = nullptr;
  return -1;
}

}  // namespace detail

// The entry point's body: `PyMODINIT_FUNC PyInit_tessin() { return korvane::frame::module_init(info); }`.
inline PyObject* module_init(const ModuleInfo& info) {
  static PyModuleDef_Slot slots[] = {
      {Py_mod_create, reinterpret_cast<void*>(detail::create)},
      {Py_mod_exec, reinterpret_cast<void*>(detail::exec)},
      {0, nullptr},
  };
  static PyModuleDef def = {
      PyModuleDef_HEAD_INIT, info.full_name, info.doc, 0, nullptr, slots, nullptr, nullptr, nullptr};
  detail::state.info = &info;
  return PyModuleDef_Init(&def);
}

inline PyObject* module_globals() { return detail::state.globals; }
inline const char* module_name() { return detail::state.info->full_name; }

// Binds a module attribute.
inline bool set_global(const char* name, PyObject* value) {
  return value != nullptr && PyDict_SetItemString(detail::state.globals, name, value) == 0;
}
inline bool set_global(PyObject* name, PyObject* value) {
  return value != nullptr && PyDict_SetItem(detail::state.globals, name, value) == 0;
}

// Creates a module-level function (plain mode) and binds it as a module attribute under its name.
inline bool add_function(const FunctionDef& def) {
  Ref f = Ref::steal(make_function(def, nullptr, detail::state.info->full_name, nullptr));
  return f && set_global(def.name, f.get());
}

[[gnu::cold, gnu::noinline]] inline PyObject* name_error(PyObject* name) {
  PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  return nullptr;
}

// Reads a module attribute at the moment it is needed: the module's globals, then the builtins, then NameError.
// Returns a new reference.
inline PyObject* global(PyObject* name) {
  PyObject* v = PyDict_GetItemWithError(detail::state.globals, name);
  if (v == nullptr) {
    if (PyErr_Occurred()) return nullptr;
    v = PyObject_GetAttr(detail::state.builtins, name);
    if (v == nullptr) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
      PyErr_Clear();
      return name_error(name);
    }
    return v;
  }
  return new_ref(v);
}

// `import name` (absolute), bound as the module attribute `as` (the top-level name by default).
inline bool import_module(const char* name, const char* as = nullptr) {
  Ref m = Ref::steal(PyImport_ImportModule(name));
  return m && set_global(as != nullptr ? as : name, m.get());
}

// `from <module> import a, b, ...` with `level` leading dots, binding each name as a module attribute.
inline bool import_from(const char* module, std::initializer_list<const char*> names, int level = 0) {
  Ref mod_name = Ref::steal(PyUnicode_FromString(module));
  Ref fromlist = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
  if (!mod_name || !fromlist) return false;
  Py_ssize_t i = 0;
  for (const char* n : names) {
    PyObject* s = PyUnicode_InternFromString(n);
    if (s == nullptr) return false;
    PyTuple_SET_ITEM(fromlist.get(), i++, s);
  }
  Ref m = Ref::steal(
      PyImport_ImportModuleLevelObject(mod_name.get(), detail::state.globals, nullptr, fromlist.get(), level));
  if (!m) return false;
  for (i = 0; i < PyTuple_GET_SIZE(fromlist.get()); ++i) {
    PyObject* n = PyTuple_GET_ITEM(fromlist.get(), i);
    Ref v = Ref::steal(PyObject_GetAttr(m.get(), n));
    if (!v) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
      PyErr_Clear();
      PyErr_Format(PyExc_ImportError, "cannot import name %R from %R", n, mod_name.get());
      return false;
    }
    if (!set_global(n, v.get())) return false;
  }
  return true;
}

// `import logging; logger = logging.getLogger(__name__)`.
inline bool bind_logger() {
  Ref logging = Ref::steal(PyImport_ImportModule("logging"));
  if (!logging || !set_global("logging", logging.get())) return false;
  Ref logger = Ref::steal(PyObject_CallMethod(logging.get(), "getLogger", "s", detail::state.info->full_name));
  return logger && set_global("logger", logger.get());
}

// Logs one message through the module attribute `logger` at the given level ("info", "warning", "debug").
inline bool log(const char* level, PyObject* message) {
  Ref logger_name = Ref::steal(PyUnicode_InternFromString("logger"));
  if (!logger_name) return false;
  Ref logger = Ref::steal(global(logger_name.get()));
  if (!logger) return false;
  Ref method = Ref::steal(PyUnicode_InternFromString(level));
  if (!method) return false;
  PyObject* args[2] = {logger.get(), message};
  Ref r = Ref::steal(PyObject_VectorcallMethod(method.get(), args, 2, nullptr));
  return static_cast<bool>(r);
}

inline bool log_text(const char* level, const char* text) {
  Ref message = Ref::steal(PyUnicode_FromString(text));
  return message && log(level, message.get());
}

// Interns the identifier strings a module uses, once: `intern({{&names.load, "load"}, ...})`.
struct Intern {
  PyObject** slot;
  const char* text;
};
inline bool intern(std::initializer_list<Intern> names) {
  for (const Intern& n : names) {
    if (*n.slot != nullptr) continue;
    *n.slot = PyUnicode_InternFromString(n.text);
    if (*n.slot == nullptr) return false;
  }
  return true;
}

}  // namespace korvane::frame
