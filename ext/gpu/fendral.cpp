// korvane.gpu.fendral: the arithmetic of the GPU memory planner.
//
// Stateless functions: the bytes an array needs, the safe share of free GPU memory (the headroom kept free is
// clamped to [0, 0.99]), whether an allocation goes to the GPU directly, in chunks or to the CPU, chunk shapes and
// counts, memory pressure, headroom advice, GPU suitability and the recognition of out-of-memory errors. Byte
// counts are unsigned 64-bit; estimates that cannot be represented saturate at 2**63 - 1.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <string_view>

#include "frame/frame.h"

namespace korvane::gpu {
namespace {

namespace frame = korvane::frame;
namespace kind = korvane::kind;

constexpr const char* kModuleName = "korvane.gpu.fendral";

constexpr uint64_t kSaturated = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());

// Strategy codes of decide_allocation_strategy.
enum Strategy : long { GPU_DIRECT = 0, GPU_CHUNKED = 1, CPU_FALLBACK = 2 };

// ---------------------------------------------------------------------------------------------------------------
// Module state: the constant strategy results, made once at import and never released, and the two operation
// sets (exact, case-sensitive names).

PyObject* no_gpu_memory = nullptr;  // (2, 0, 1, "No GPU memory available")
PyObject* fits = nullptr;           // (0, 0, 1, "Allocation fits in GPU memory")
PyObject* not_chunkable = nullptr;  // (2, 0, 1, "Operation not chunkable, falling back to CPU")

constexpr std::string_view kChunkableOperations[] = {
    "zeros",          "ones",        "empty",         "full",
    "random.randn",   "random.rand", "random.random", "random.standard_normal",
    "random.uniform", "arange",      "linspace",
};

// GPU operations whose result depends on the whole array at once.
constexpr std::string_view kUnchunkableOperations[] = {
    "matmul", "dot", "fft", "ifft", "fft2", "ifft2", "svd", "eig", "eigvals", "solve", "inv", "sort", "argsort",
};

// ---------------------------------------------------------------------------------------------------------------
// Helpers

// A double as an unsigned 64-bit count: truncated toward zero, 0 for values not above 0 (and NaN), the maximum for
// values at or beyond 2**64.
uint64_t to_u64(double v) {
  if (!(v > 0.0)) return 0;
  if (v >= 18446744073709551616.0) return std::numeric_limits<uint64_t>::max();
  return static_cast<uint64_t>(v);
}

// The headroom kept free, clamped to [0, 0.99]. A NaN headroom keeps the most (0.99): the cautious reading of an
// undefined request.
double clamp_headroom(double h) {
  if (h < 0.0) return 0.0;
  if (!(h <= 0.99)) return 0.99;
  return h;
}

// The share of `available` bytes that may be used: (1 - headroom) * available, computed in double.
uint64_t safe_limit(uint64_t available, double headroom) {
  return to_u64((1.0 - clamp_headroom(headroom)) * static_cast<double>(available));
}

// Whether `name` (an exact str or None) is one of `set`. Only ASCII strings can match the ASCII names.
template <std::size_t N>
bool in_operation_set(PyObject* name, const std::string_view (&set)[N]) {
  if (name == Py_None || !PyUnicode_IS_ASCII(name)) return false;
  std::string_view text(static_cast<const char*>(PyUnicode_DATA(name)),
                        static_cast<std::size_t>(PyUnicode_GET_LENGTH(name)));
  for (std::string_view op : set)
    if (op == text) return true;
  return false;
}

[[gnu::cold, gnu::noinline]] PyObject* value_error(const char* message) {
  PyErr_SetString(PyExc_ValueError, message);
  return nullptr;
}

// A text as the lower-cased characters that the interpreter's str.lower() gives, searched for ASCII needles. An
// ASCII text is lowered here, into a small inline buffer when it fits; any other text is lowered by str.lower()
// itself, since full case mapping can turn non-ASCII characters into ASCII letters (KELVIN SIGN lowers to 'k').
class LoweredText {
 public:
  bool init(PyObject* text) {
    if (PyUnicode_IS_ASCII(text)) {
      auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text));
      char* out = inline_;
      if (length > sizeof(inline_)) {
        try {
          heap_.resize(length);
        } catch (const std::bad_alloc&) {
          PyErr_NoMemory();
          return false;
        }
        out = heap_.data();
      }
      const auto* in = static_cast<const char*>(PyUnicode_DATA(text));
      for (std::size_t i = 0; i < length; ++i) out[i] = in[i] >= 'A' && in[i] <= 'Z' ? in[i] + ('a' - 'A') : in[i];
      bytes_ = std::string_view(out, length);
      return true;
    }
    owner_ = Ref::steal(PyObject_CallMethod(text, "lower", nullptr));
    if (!owner_) return false;
    kind_ = PyUnicode_KIND(owner_.get());
    wide_length_ = PyUnicode_GET_LENGTH(owner_.get());
    // One-byte (Latin-1) text is searched bytewise: its non-ASCII bytes never equal an ASCII needle's.
    if (kind_ == PyUnicode_1BYTE_KIND)
      bytes_ = std::string_view(static_cast<const char*>(PyUnicode_DATA(owner_.get())),
                                static_cast<std::size_t>(wide_length_));
    return true;
  }

  bool contains(std::string_view needle) const {
    switch (kind_) {
      case PyUnicode_1BYTE_KIND:
        return bytes_.find(needle) != std::string_view::npos;
      case PyUnicode_2BYTE_KIND:
        return find_wide(static_cast<const Py_UCS2*>(PyUnicode_DATA(owner_.get())), needle);
      default:
        return find_wide(static_cast<const Py_UCS4*>(PyUnicode_DATA(owner_.get())), needle);
    }
  }

 private:
  template <class Char>
  bool find_wide(const Char* text, std::string_view needle) const {
    auto m = static_cast<Py_ssize_t>(needle.size());
    for (Py_ssize_t i = 0; i + m <= wide_length_; ++i) {
      Py_ssize_t j = 0;
      while (j < m && text[i + j] == static_cast<Char>(needle[j])) ++j;
      if (j == m) return true;
    }
    return false;
  }

  char inline_[256];
  std::string heap_;
  Ref owner_;  // the lowered str of a non-ASCII text
  int kind_ = PyUnicode_1BYTE_KIND;
  std::string_view bytes_;
  Py_ssize_t wide_length_ = 0;
};

[[gnu::cold, gnu::noinline]] PyObject* text_required(const char* param) {
  PyErr_Format(PyExc_TypeError, "Argument '%s' has incorrect type (expected str, got NoneType)", param);
  return nullptr;
}

// ---------------------------------------------------------------------------------------------------------------
// Allocation size, safe limit and strategy

PyObject* estimate_allocation_bytes(PyObject* shape, int32_t element_size, double overhead_factor) {
  if (element_size < 0) return value_error("element_size must not be negative");
  if (shape == Py_None) return frame::none_has_no_len();
  // The element count, saturating (and returning at once) when it would pass 2**63 - 1.
  int64_t count = 1;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(shape); ++i) {
    int32_t dim;
    if (!kind::I32::convert(PyTuple_GET_ITEM(shape, i), dim, kind::Param{})) return nullptr;
    if (dim <= 0) return PyLong_FromLong(0);
    if (count > std::numeric_limits<int64_t>::max() / dim) return PyLong_FromUnsignedLongLong(kSaturated);
    count *= dim;
  }
  if (element_size > 0 && count > std::numeric_limits<int64_t>::max() / element_size)
    return PyLong_FromUnsignedLongLong(kSaturated);
  uint64_t bytes = static_cast<uint64_t>(count) * static_cast<uint64_t>(element_size);
  // Overhead only ever grows the estimate; a product at or beyond 2**63 saturates like the counts above.
  if (overhead_factor > 1.0) {
    double grown = static_cast<double>(bytes) * overhead_factor;
    bytes = grown >= 9223372036854775808.0 ? kSaturated : to_u64(grown);
  }
  return PyLong_FromUnsignedLongLong(bytes);
}

PyObject* calculate_safe_limit(uint64_t available_bytes, double headroom_ratio) {
  return PyLong_FromUnsignedLongLong(safe_limit(available_bytes, headroom_ratio));
}

PyObject* decide_allocation_strategy(uint64_t requested_bytes, uint64_t available_bytes, double headroom_ratio,
                                     bool is_chunkable) {
  uint64_t safe = safe_limit(available_bytes, headroom_ratio);
  if (safe == 0) return new_ref(no_gpu_memory);
  if (requested_bytes <= safe) return new_ref(fits);
  if (!is_chunkable) return new_ref(not_chunkable);
  // Each pass moves at most the safe limit.
  uint64_t passes = to_u64(std::ceil(static_cast<double>(requested_bytes) / static_cast<double>(safe)));
  char message[64];
  int length =
      std::snprintf(message, sizeof(message), "Chunking into %llu GPU passes", static_cast<unsigned long long>(passes));
  return frame::tuple_of({PyLong_FromLong(GPU_CHUNKED), PyLong_FromUnsignedLongLong(safe),
                          PyLong_FromUnsignedLongLong(passes), PyUnicode_FromStringAndSize(message, length)});
}

// ---------------------------------------------------------------------------------------------------------------
// Chunking

PyObject* compute_chunk_shapes(PyObject* shape, int32_t element_size, uint64_t max_chunk_bytes) {
  if (element_size <= 0) return value_error("element_size must be positive");
  if (max_chunk_bytes == 0) return value_error("max_chunk_bytes must be positive");
  if (shape == Py_None) return frame::none_has_no_len();
  Py_ssize_t ndim = PyTuple_GET_SIZE(shape);
  if (ndim == 0) {
    PyObject* only = PyList_New(1);
    if (only != nullptr) PyList_SET_ITEM(only, 0, new_ref(shape));
    return only;
  }
  // The bytes of one row (one index along the first axis). A zero trailing dimension makes every row empty, so
  // all rows fit one chunk; a row size beyond 64 bits is larger than any limit.
  uint64_t row_bytes = static_cast<uint64_t>(element_size);
  bool empty_rows = false, huge_rows = false;
  for (Py_ssize_t i = 1; i < ndim; ++i) {
    uint64_t dim;
    if (!kind::U64::convert(PyTuple_GET_ITEM(shape, i), dim, kind::Param{})) return nullptr;
    if (dim == 0)
      empty_rows = true;
    else if (!huge_rows && __builtin_mul_overflow(row_bytes, dim, &row_bytes))
      huge_rows = true;
  }
  int32_t rows;
  if (!kind::I32::convert(PyTuple_GET_ITEM(shape, 0), rows, kind::Param{})) return nullptr;
  uint64_t rows_per_chunk;
  if (empty_rows)
    rows_per_chunk = std::numeric_limits<uint64_t>::max();
  else if (huge_rows || row_bytes > max_chunk_bytes)
    rows_per_chunk = 1;
  else
    rows_per_chunk = max_chunk_bytes / row_bytes;
  if (rows <= 0) return PyList_New(0);

  // Every chunk but the last has rows_per_chunk rows; full chunks share one int object for their row count.
  uint64_t total = static_cast<uint64_t>(rows);
  uint64_t full_rows = std::min(total, rows_per_chunk);
  Py_ssize_t nchunks = static_cast<Py_ssize_t>(total / full_rows + (total % full_rows != 0));
  Ref chunks = Ref::steal(PyList_New(nchunks));
  Ref full_count = Ref::steal(PyLong_FromUnsignedLongLong(full_rows));
  if (!chunks || !full_count) return nullptr;
  uint64_t remaining = total;
  for (Py_ssize_t c = 0; c < nchunks; ++c) {
    uint64_t n = std::min(remaining, rows_per_chunk);
    remaining -= n;
    PyObject* chunk = PyTuple_New(ndim);
    if (chunk == nullptr) return nullptr;
    PyList_SET_ITEM(chunks.get(), c, chunk);
    PyObject* count = n == full_rows ? full_count.new_ref() : PyLong_FromUnsignedLongLong(n);
    if (count == nullptr) return nullptr;
    PyTuple_SET_ITEM(chunk, 0, count);
    for (Py_ssize_t i = 1; i < ndim; ++i) PyTuple_SET_ITEM(chunk, i, new_ref(PyTuple_GET_ITEM(shape, i)));
  }
  return chunks.release();
}

PyObject* calculate_optimal_chunks(uint64_t total_bytes, uint64_t available_bytes, double headroom_ratio,
                                   int32_t min_chunks, int32_t max_chunks) {
  uint64_t safe = safe_limit(available_bytes, headroom_ratio);
  if (safe == 0) return PyLong_FromLong(max_chunks);
  double chunks = std::ceil(static_cast<double>(total_bytes) / static_cast<double>(safe));
  // The minimum is tested first, so with min_chunks above max_chunks any count not below the minimum gives the
  // maximum. Between the two bounds the count fits 32 bits.
  if (chunks < min_chunks) return PyLong_FromLong(min_chunks);
  if (chunks > max_chunks) return PyLong_FromLong(max_chunks);
  return PyLong_FromLong(static_cast<long>(chunks));
}

PyObject* is_chunkable_operation(PyObject* operation) {
  return py_bool(in_operation_set(operation, kChunkableOperations));
}

PyObject* is_oom_error(PyObject* error_message, PyObject* error_type) {
  if (error_message == Py_None) return text_required("error_message");
  if (error_type == Py_None) return text_required("error_type");
  LoweredText message, kind;
  if (!message.init(error_message) || !kind.init(error_type)) return nullptr;
  // The rules, first match wins; the error type counts only through its own rule.
  if (message.contains("out of memory")) return py_bool(true);
  if (kind.contains("outofmemoryerror")) return py_bool(true);
  bool memory = message.contains("memory");
  if (memory && message.contains("cuda")) return py_bool(true);
  if (message.contains("allocat") && message.contains("failed")) return py_bool(true);
  if (memory && message.contains("insufficient")) return py_bool(true);
  return py_bool(memory && message.contains("gpu"));
}

// ---------------------------------------------------------------------------------------------------------------
// Suitability, pressure and headroom

PyObject* score_gpu_suitability(uint64_t data_size_bytes, PyObject* operation_type, uint64_t available_gpu_memory,
                                double headroom_ratio) {
  uint64_t safe = safe_limit(available_gpu_memory, headroom_ratio);
  double size_score;
  if (safe == 0)
    size_score = 0.0;
  else if (data_size_bytes > safe)
    size_score = static_cast<double>(safe) / static_cast<double>(data_size_bytes);
  else
    size_score = std::min(static_cast<double>(data_size_bytes) / (static_cast<double>(safe) * 0.8), 1.0);
  double factor = 0.5;
  if (in_operation_set(operation_type, kChunkableOperations))
    factor = 0.9;
  else if (in_operation_set(operation_type, kUnchunkableOperations))
    factor = 0.7;
  return PyFloat_FromDouble(factor * size_score);
}

PyObject* calculate_memory_pressure(uint64_t used_bytes, uint64_t total_bytes) {
  if (total_bytes == 0) return PyFloat_FromDouble(1.0);
  double pressure = static_cast<double>(used_bytes) / static_cast<double>(total_bytes);
  return PyFloat_FromDouble(std::min(pressure, 1.0));
}

PyObject* recommend_headroom(double current_pressure, double base_headroom) {
  double h;
  if (current_pressure > 0.8)
    h = 0.8;
  else if (current_pressure > 0.6)
    h = (current_pressure - 0.5) * 0.5 + base_headroom;
  else if (current_pressure > 0.3)
    h = base_headroom;
  else {
    h = base_headroom - 0.1;
    if (!(h > 0.3)) h = 0.3;
  }
  // Into [0.3, 0.8]; a NaN headroom (from a NaN base) becomes the most cautious value.
  if (h < 0.3) return PyFloat_FromDouble(0.3);
  if (!(h <= 0.8)) return PyFloat_FromDouble(0.8);
  return PyFloat_FromDouble(h);
}

// ---------------------------------------------------------------------------------------------------------------
// Function table, in binding order.

using frame::function_entry;
using kind::F64;
using kind::I32;
using kind::Str;
using kind::Truth;
using kind::Tuple;
using kind::U64;

const frame::FunctionDef kFunctions[] = {
    {.entry = function_entry<estimate_allocation_bytes, Tuple, I32, F64>,
     .name = "estimate_allocation_bytes",
     .params = {"shape", "element_size", "overhead_factor"},
     .defaults = {1.0},
     .doc = "Bytes of an array of the given shape and element size, times overhead_factor when it is above 1.0; "
            "0 for any dimension not above 0, 2**63 - 1 when the size does not fit."},
    {.entry = function_entry<calculate_safe_limit, U64, F64>,
     .name = "calculate_safe_limit",
     .params = {"available_bytes", "headroom_ratio"},
     .doc = "The bytes that may be used out of available_bytes, keeping headroom_ratio (clamped to [0, 0.99]) "
            "free."},
    {.entry = function_entry<decide_allocation_strategy, U64, U64, F64, Truth>,
     .name = "decide_allocation_strategy",
     .params = {"requested_bytes", "available_bytes", "headroom_ratio", "is_chunkable"},
     .doc = "(strategy, chunk_size, chunk_count, message) with strategy GPU_DIRECT (0), GPU_CHUNKED (1) or "
            "CPU_FALLBACK (2)."},
    {.entry = function_entry<compute_chunk_shapes, Tuple, I32, U64>,
     .name = "compute_chunk_shapes",
     .params = {"shape", "element_size", "max_chunk_bytes"},
     .doc = "Splits shape along its first axis into chunk shapes of at most max_chunk_bytes each (at least one row "
            "per chunk)."},
    {.entry = function_entry<calculate_optimal_chunks, U64, U64, F64, I32, I32>,
     .name = "calculate_optimal_chunks",
     .params = {"total_bytes", "available_bytes", "headroom_ratio", "min_chunks", "max_chunks"},
     .defaults = {1, 1000},
     .doc = "The number of passes that total_bytes needs through the safe limit, bounded by min_chunks and "
            "max_chunks."},
    {.entry = function_entry<is_oom_error, Str, Str>,
     .name = "is_oom_error",
     .params = {"error_message", "error_type"},
     .doc = "True when an error's message or type name says that (GPU) memory ran out."},
    {.entry = function_entry<is_chunkable_operation, Str>,
     .name = "is_chunkable_operation",
     .params = {"operation"},
     .doc = "True when the array operation (an exact, case-sensitive name such as 'zeros' or 'random.randn') can "
            "be computed chunk by chunk."},
    {.entry = function_entry<score_gpu_suitability, U64, Str, U64, F64>,
     .name = "score_gpu_suitability",
     .params = {"data_size_bytes", "operation_type", "available_gpu_memory", "headroom_ratio"},
     .doc = "Suitability in [0.0, 0.9]: how well the data fits the safe limit, weighted by the kind of operation."},
    {.entry = function_entry<calculate_memory_pressure, U64, U64>,
     .name = "calculate_memory_pressure",
     .params = {"used_bytes", "total_bytes"},
     .doc = "used_bytes / total_bytes clamped to [0.0, 1.0]; 1.0 when there is no memory."},
    {.entry = function_entry<recommend_headroom, F64, F64>,
     .name = "recommend_headroom",
     .params = {"current_pressure", "base_headroom"},
     .defaults = {0.5},
     .doc = "The headroom ratio to keep free under the current memory pressure, in [0.3, 0.8]."},
};

// ---------------------------------------------------------------------------------------------------------------
// Module

PyObject* strategy_constant(Strategy strategy, const char* message) {
  return frame::tuple_of(
      {PyLong_FromLong(strategy), PyLong_FromLong(0), PyLong_FromLong(1), PyUnicode_FromString(message)});
}

bool make_constants() {
  if (no_gpu_memory == nullptr &&
      (no_gpu_memory = strategy_constant(CPU_FALLBACK, "No GPU memory available")) == nullptr)
    return false;
  if (fits == nullptr && (fits = strategy_constant(GPU_DIRECT, "Allocation fits in GPU memory")) == nullptr)
    return false;
  if (not_chunkable == nullptr &&
      (not_chunkable = strategy_constant(CPU_FALLBACK, "Operation not chunkable, falling back to CPU")) == nullptr)
    return false;
  return true;
}

bool module_body(PyObject*) {
  if (!make_constants()) return false;
  for (const frame::FunctionDef& def : kFunctions)
    if (!frame::add_function(def)) return false;
  if (!frame::bind_logger()) return false;
  return frame::log_text("info", "Korvane Fendral Vexel module loaded - IP protected");
}

constexpr frame::ModuleInfo kModule = {
    kModuleName, "fendral",
    "GPU memory planning: allocation sizes, the safe limit, the direct, chunked or CPU strategy, chunk shapes and "
    "counts, memory pressure, headroom advice, GPU suitability and out-of-memory recognition.",
    module_body};

}  // namespace
}  // namespace korvane::gpu

PyMODINIT_FUNC PyInit_fendral() { return korvane::frame::module_init(korvane::gpu::kModule); }
