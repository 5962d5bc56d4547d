// korvane.plugins.analyzer.solvane: the scoring core of the package's workload analyser.
//
// The text scorers turn a function's source and name into numbers: regular-expression hits per framework
// (quick_framework_score) and hits of fixed word lists (score_framework_patterns, score_indicators). The
// decision functions turn those numbers into a parallelisation potential, a GPU fit, an expected GPU speed-up, a
// workload pattern code and an adaptive threshold. No function keeps state between calls.
#include <algorithm>
#include <array>
#include <bitset>
#include <cstdint>
#include <string_view>

#include "frame/frame.h"

namespace korvane::plugins::analyzer {
namespace {

namespace frame = korvane::frame;
namespace kind = korvane::kind;

constexpr const char* kModuleName = "korvane.plugins.analyzer.solvane";

// ---------------------------------------------------------------------------------------------------------------
// Module state
//
// Built once at import and never changed afterwards, so every thread may read it.

struct State {
  PyObject* framework_patterns = nullptr;  // dict: framework name -> compiled expression; private to the module
  PyObject* str_lower = nullptr;           // the method descriptor str.lower
  PyObject* findall = nullptr;             // interned "findall"
  PyObject* re = nullptr;                  // interned "re"
};
State state;

// ---------------------------------------------------------------------------------------------------------------
// Vocabularies
//
// Every list entry matches as a plain substring of the lower-cased text and counts at most once per call. The
// list sizes are part of the contract: normalize_scores divides each count by its list's size.

constexpr auto kCpuWords =
    std::to_array<std::string_view>({"for", "while", "range", "numpy", "scipy", "math", "calculation", "compute",
                                     "algorithm", "sum", "prod", "dot", "matmul", "fft", "linalg"});
constexpr auto kMemoryWords = std::to_array<std::string_view>(
    {"array", "list", "dict", "pandas", "dataframe", "allocate", "buffer", "cache", "append", "extend"});
constexpr auto kParallelWords =
    std::to_array<std::string_view>({"multiprocessing", "threading", "concurrent", "async", "parallel", "pool",
                                     "worker", "chunk", "batch", "processpoolexecutor", "threadpoolexecutor"});
constexpr auto kGpuOperationWords = std::to_array<std::string_view>(
    {"matmul", "dot",      "tensordot", "@",      "fft",   "ifft", "rfft", "convolve", "correlate", "sum",
     "mean",   "std",      "var",       "sin",    "cos",   "exp",  "log",  "sqrt",     "power",     "**",
     "add",    "subtract", "multiply",  "divide", "/",     "*",    "+",    "-",        "linalg",    "linear_algebra",
     "array",  "asarray",  "zeros",     "ones",   "empty", "full"});
constexpr auto kLargeDataWords =
    std::to_array<std::string_view>({"reshape", "resize", "huge", "large", "gigabyte", "gb", "million", "billion",
                                     "1e6", "1e9", "1024", "megabyte", "mb"});
constexpr auto kEmbarrassingWords = std::to_array<std::string_view>(
    {"workload", "benchmark", "intensive", "chunk_workload", "map", "apply", "vectorize", "broadcast"});
constexpr auto kSequentialWords = std::to_array<std::string_view>(
    {"global", "nonlocal", "lock", "mutex", "synchronized", "sequential", "ordered", "dependencies"});

constexpr auto kNumpyWords = std::to_array<std::string_view>(
    {"numpy",  "np.",    "ndarray", "array",     "matrix",      "vectorize", "broadcast", "ufunc", "dot",
     "matmul", "linalg", "fft",     "sum",       "mean",        "std",       "var",       "min",   "max",
     "argmax", "argmin", "reshape", "transpose", "concatenate", "stack",     "split"});
constexpr auto kPandasWords = std::to_array<std::string_view>(
    {"pandas", "pd.", "dataframe", "series", "groupby", "apply", "agg", "transform", "merge", "join", "concat", "pivot",
     "melt", "query", "eval", "rolling", "resample", "sort_values"});
constexpr auto kSklearnWords = std::to_array<std::string_view>(
    {"sklearn", "fit", "predict", "transform", "score", "cross_val", "gridsearchcv", "randomizedsearchcv", "pipeline",
     "featureunion", "train_test_split", "classification", "regression", "clustering", "preprocessing",
     "model_selection", "metrics", "ensemble"});

static_assert(kCpuWords.size() == 15 && kMemoryWords.size() == 10 && kParallelWords.size() == 11 &&
              kGpuOperationWords.size() == 36 && kLargeDataWords.size() == 13 && kEmbarrassingWords.size() == 8 &&
              kSequentialWords.size() == 8);
static_assert(kNumpyWords.size() == 25 && kPandasWords.size() == 18 && kSklearnWords.size() == 18);

// Several word lists searched together in one pass over a text. The words of all lists are sorted, so the words
// that start with the ASCII character c are words[first[c]] up to words[first[c + 1]]. A word that appears in two
// lists is two entries: each list counts it on its own.
struct Word {
  std::string_view text;
  uint8_t list;
};

template <std::size_t N, std::size_t Lists>
struct Vocabulary {
  static_assert(N < 256, "word indices are kept in 8 bits");
  using Found = std::bitset<N>;
  using Counts = std::array<int32_t, Lists>;

  std::array<Word, N> words;
  std::array<uint8_t, 129> first;
};

template <std::size_t... Sizes>
consteval auto make_vocabulary(const std::array<std::string_view, Sizes>&... lists) {
  Vocabulary<(Sizes + ...), sizeof...(Sizes)> v{};
  std::size_t at = 0;
  uint8_t list = 0;
  auto add = [&](const auto& words) {
    for (std::string_view w : words) {
      // The scan only starts a match at an ASCII character and compares code units one to one.
      if (w.empty()) throw "empty word";
      for (char c : w)
        if (static_cast<unsigned char>(c) >= 128) throw "non-ASCII word";
      v.words[at++] = Word{w, list};
    }
    ++list;
  };
  (add(lists), ...);
  std::sort(v.words.begin(), v.words.end(), [](const Word& a, const Word& b) { return a.text < b.text; });
  std::size_t k = 0;
  for (std::size_t c = 0; c <= 128; ++c) {
    while (k < v.words.size() && static_cast<unsigned char>(v.words[k].text[0]) < c) ++k;
    v.first[c] = static_cast<uint8_t>(k);
  }
  return v;
}

// Lists 0..6 of score_indicators, in result order.
constexpr auto kIndicators = make_vocabulary(kCpuWords, kMemoryWords, kParallelWords, kGpuOperationWords,
                                             kLargeDataWords, kEmbarrassingWords, kSequentialWords);
constexpr unsigned kAllIndicatorLists = 0x7f;
// The lists that also look at the function's name: GPU operations (3) and embarrassingly parallel work (5).
constexpr unsigned kNameIndicatorLists = (1u << 3) | (1u << 5);

// Lists 0..2 of score_framework_patterns: numpy, pandas, sklearn.
constexpr auto kFrameworks = make_vocabulary(kNumpyWords, kPandasWords, kSklearnWords);
constexpr unsigned kAllFrameworkLists = 0x7;

// One pass over `text` (the code units of one PEP 393 kind). At each ASCII position, every word of the selected
// lists that starts with that character and is not found yet is compared in place; a match marks the word found
// and counts it for its list. A non-ASCII code unit never starts or continues a match, as no word holds one.
template <class Vocab, class CharT>
void count_words(const Vocab& vocab, const CharT* text, std::size_t n, unsigned list_mask, typename Vocab::Found& found,
                 typename Vocab::Counts& counts) {
  for (std::size_t i = 0; i < n; ++i) {
    const Py_UCS4 c = text[i];
    if (c >= 128) continue;
    for (unsigned k = vocab.first[c], end = vocab.first[c + 1]; k < end; ++k) {
      const Word& w = vocab.words[k];
      if (found[k] || !(list_mask >> w.list & 1u) || w.text.size() > n - i) continue;
      std::size_t j = 1;
      while (j < w.text.size() && text[i + j] == static_cast<unsigned char>(w.text[j])) ++j;
      if (j == w.text.size()) {
        found.set(k);
        ++counts[w.list];
      }
    }
  }
}

// count_words over a str object, whatever its kind.
template <class Vocab>
void count_words_in(const Vocab& vocab, PyObject* str, unsigned list_mask, typename Vocab::Found& found,
                    typename Vocab::Counts& counts) {
  const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(str));
  const void* data = PyUnicode_DATA(str);
  switch (PyUnicode_KIND(str)) {
    case PyUnicode_1BYTE_KIND:
      count_words(vocab, static_cast<const Py_UCS1*>(data), n, list_mask, found, counts);
      break;
    case PyUnicode_2BYTE_KIND:
      count_words(vocab, static_cast<const Py_UCS2*>(data), n, list_mask, found, counts);
      break;
    default:
      count_words(vocab, static_cast<const Py_UCS4*>(data), n, list_mask, found, counts);
      break;
  }
}

// ---------------------------------------------------------------------------------------------------------------
// Helpers

// Clamps x to [lo, hi] with the tests in this order, so NaN passes through unchanged.
constexpr double clamp(double x, double lo, double hi) { return lo > x ? lo : (x > hi ? hi : x); }

// The share of a word list that a count stands for, clamped to [0.0, 1.0].
constexpr double share_of(int32_t count, std::size_t list_size) {
  return clamp(count / static_cast<double>(list_size), 0.0, 1.0);
}

// text.lower() through the host's own str.lower; for None this raises the host's TypeError.
PyObject* lower(PyObject* text) { return PyObject_Vectorcall(state.str_lower, &text, 1, nullptr); }

template <class Kind, std::size_t N>
PyObject* tuple_of(const std::array<typename Kind::type, N>& values) {
  Ref tuple = Ref::steal(PyTuple_New(N));
  if (!tuple) return nullptr;
  for (std::size_t i = 0; i < N; ++i) {
    PyObject* item = Kind::to_python(values[i]);
    if (item == nullptr) return nullptr;
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), item);
  }
  return tuple.release();
}

// ---------------------------------------------------------------------------------------------------------------
// Text scorers

PyObject* quick_framework_score(PyObject* code, PyObject* framework) {
  // Only an exact key selects an expression; anything else scores 0.0 without looking at the code.
  if (framework == Py_None) return PyFloat_FromDouble(0.0);
  Ref pattern = Ref::borrow(PyDict_GetItemWithError(state.framework_patterns, framework));
  if (!pattern) return PyErr_Occurred() ? nullptr : PyFloat_FromDouble(0.0);
  Ref matches = Ref::steal(PyObject_CallMethodOneArg(pattern.get(), state.findall, code));
  if (!matches) return nullptr;
  const Py_ssize_t count = PyObject_Size(matches.get());
  if (count < 0) return nullptr;
  const double score = static_cast<double>(count) / 10.0;
  return PyFloat_FromDouble(score > 1.0 ? 1.0 : score);
}

PyObject* score_framework_patterns(PyObject* code) {
  Ref text = Ref::steal(lower(code));
  if (!text) return nullptr;
  decltype(kFrameworks)::Found found;
  decltype(kFrameworks)::Counts counts{};
  count_words_in(kFrameworks, text.get(), kAllFrameworkLists, found, counts);
  return tuple_of<kind::F64>(std::array{
      share_of(counts[0], kNumpyWords.size()),
      share_of(counts[1], kPandasWords.size()),
      share_of(counts[2], kSklearnWords.size()),
  });
}

PyObject* score_indicators(PyObject* code, PyObject* function_name) {
  Ref text = Ref::steal(lower(code));
  if (!text) return nullptr;
  Ref name;
  if (function_name != Py_None && PyUnicode_GET_LENGTH(function_name) > 0) {
    name = Ref::steal(lower(function_name));
    if (!name) return nullptr;
  }
  decltype(kIndicators)::Found found;
  decltype(kIndicators)::Counts counts{};
  count_words_in(kIndicators, text.get(), kAllIndicatorLists, found, counts);
  // A word already found in the code is not counted again for the name.
  if (name) count_words_in(kIndicators, name.get(), kNameIndicatorLists, found, counts);
  return tuple_of<kind::I32>(counts);
}

PyObject* normalize_scores(int32_t cpu_score, int32_t memory_score, int32_t parallel_score, int32_t gpu_op_score,
                           int32_t large_data_score) {
  return tuple_of<kind::F64>(std::array{
      share_of(cpu_score, kCpuWords.size()),
      share_of(memory_score, kMemoryWords.size()),
      share_of(parallel_score, kParallelWords.size()),
      share_of(gpu_op_score, kGpuOperationWords.size()),
      share_of(large_data_score, kLargeDataWords.size()),
  });
}

// ---------------------------------------------------------------------------------------------------------------
// Decisions

enum WorkloadPattern : long {
  kMixed = 0,
  kCpuIntensive = 1,
  kMemoryIntensive = 2,
  kParallelFriendly = 3,
  kSequential = 4,
  kGpuSuitable = 5,
  kGpuComputeIntensive = 6,
  kGpuMemoryBound = 7,
  kNumpyVectorized = 8,
  kPandasDataframe = 10,
  kSklearnTraining = 12,
};

PyObject* calculate_parallelization_potential(double base_parallel_score, double embarrassing_bonus,
                                              double sequential_penalty, double loop_chunking_potential) {
  const double bonus = clamp(embarrassing_bonus * 0.3, 0.0, 0.7);
  const double penalty = clamp(sequential_penalty * 0.2, 0.0, 0.5);
  const double potential = ((base_parallel_score + bonus) - penalty) + loop_chunking_potential * 0.4;
  return PyFloat_FromDouble(clamp(potential, 0.0, 1.0));
}

// The speed multiplier of a compute capability such as "8.6": its major number is read with int()'s rules for a
// str (blanks, a sign, underscores and any Unicode digits are accepted). Text that int() rejects leaves the
// multiplier at 1.0; a major number outside the 32-bit range is an OverflowError for the caller.
bool capability_multiplier(PyObject* capability, double& multiplier) {
  const Py_ssize_t length = PyUnicode_GET_LENGTH(capability);
  const Py_ssize_t dot = PyUnicode_FindChar(capability, '.', 0, length, 1);
  if (dot == -2) return false;
  Ref head = dot < 0 ? Ref::borrow(capability) : Ref::steal(PyUnicode_Substring(capability, 0, dot));
  if (!head) return false;
  Ref major_number = Ref::steal(PyLong_FromUnicodeObject(head.get(), 10));
  if (!major_number) {
    if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_IndexError)) return false;
    PyErr_Clear();
    return true;
  }
  int32_t major;
  if (!kind::I32::convert(major_number.get(), major, kind::Param{nullptr, "compute_capability"})) return false;
  multiplier = major >= 8 ? 1.2 : major >= 7 ? 1.1 : major >= 6 ? 1.0 : 0.8;
  return true;
}

PyObject* calculate_gpu_suitability(double gpu_operation_score, double gpu_data_size_score, double cpu_intensity,
                                    bool gpu_available, PyObject* compute_capability) {
  if (!gpu_available) return PyFloat_FromDouble(0.0);
  const double weighted = gpu_operation_score * 0.6 + gpu_data_size_score * 0.4;
  // CPU-heavy code raises the fit by at most 0.3.
  const double cpu_term = clamp(cpu_intensity * 0.3, 0.0, 0.3);
  double multiplier = 1.0;
  if (compute_capability != Py_None && PyUnicode_GET_LENGTH(compute_capability) > 0 &&
      !capability_multiplier(compute_capability, multiplier))
    return nullptr;
  return PyFloat_FromDouble(clamp((cpu_term + weighted) * multiplier, 0.0, 1.0));
}

PyObject* estimate_gpu_speedup(double gpu_operation_score, double gpu_data_size_score, bool gpu_available) {
  if (!gpu_available || gpu_operation_score == 0.0) return PyFloat_FromDouble(1.0);
  const double base = gpu_operation_score > 0.8   ? 15.0
                      : gpu_operation_score > 0.6 ? 8.0
                      : gpu_operation_score > 0.3 ? 4.0
                                                  : 2.0;
  return PyFloat_FromDouble(base * (1.0 + gpu_data_size_score * 0.5));
}

PyObject* determine_workload_pattern(double cpu_intensity, double memory_intensity, double parallelization_potential,
                                     double gpu_suitability, double gpu_operation_score, double numpy_score,
                                     double pandas_score, double sklearn_score, int32_t sequential_count,
                                     int32_t embarrassing_count, double cpu_threshold, double memory_threshold,
                                     double gpu_threshold, double numpy_threshold, double pandas_threshold,
                                     double sklearn_threshold, bool gpu_available) {
  // The first rule that holds decides: a framework beats everything (sklearn over pandas over numpy), then the
  // GPU, then parallel friendliness, CPU, memory and sequential constraints.
  const WorkloadPattern pattern = [&] {
    if (sklearn_score > sklearn_threshold) return kSklearnTraining;
    if (pandas_score > pandas_threshold) return kPandasDataframe;
    if (numpy_score > numpy_threshold) return kNumpyVectorized;
    if (gpu_available && gpu_suitability > gpu_threshold) {
      if (gpu_operation_score > 0.7 && cpu_intensity > 0.6) return kGpuComputeIntensive;
      if (memory_intensity > 0.5) return kGpuMemoryBound;
      return kGpuSuitable;
    }
    if (embarrassing_count > 0 || parallelization_potential > 0.6) return kParallelFriendly;
    if (cpu_intensity > cpu_threshold) return kCpuIntensive;
    if (memory_intensity > memory_threshold) return kMemoryIntensive;
    if (sequential_count > 2) return kSequential;
    return kMixed;
  }();
  return PyLong_FromLong(pattern);
}

PyObject* update_adaptive_threshold(double current_threshold, double success_rate, double learning_rate,
                                    double min_threshold, double max_threshold) {
  double threshold = current_threshold;
  if (success_rate > 0.8)
    threshold = current_threshold + learning_rate;
  else if (success_rate < 0.4)
    threshold = current_threshold - learning_rate;
  // The lower bound is tested first, so it wins when the bounds cross.
  return PyFloat_FromDouble(clamp(threshold, min_threshold, max_threshold));
}

// ---------------------------------------------------------------------------------------------------------------
// Function table

using frame::function_entry;
using kind::F64;
using kind::I32;
using kind::Str;
using kind::Truth;

constexpr const char* kDetermineWorkloadPatternDoc =
    "Return the workload pattern code of a function from its scores; the first rule that holds decides.\n"
    "\n"
    "Pattern codes:\n"
    "    0: MIXED\n"
    "    1: CPU_INTENSIVE\n"
    "    2: MEMORY_INTENSIVE\n"
    "    3: PARALLEL_FRIENDLY\n"
    "    4: SEQUENTIAL\n"
    "    5: GPU_SUITABLE\n"
    "    6: GPU_COMPUTE_INTENSIVE\n"
    "    7: GPU_MEMORY_BOUND\n"
    "    8: NUMPY_VECTORIZED\n"
    "    9: NUMPY_LINALG\n"
    "    10: PANDAS_DATAFRAME\n"
    "    11: PANDAS_GROUPBY\n"
    "    12: SKLEARN_TRAINING\n"
    "    13: SKLEARN_INFERENCE\n";

// Binding order of the module's functions.
bool bind_functions() {
  const frame::FunctionDef defs[] = {
      {.entry = function_entry<quick_framework_score, Str, Str>,
       .name = "quick_framework_score",
       .params = {"code", "framework"},
       .doc = "Score 0.0 to 1.0 for one framework: a tenth per match of its expression in the code."},
      {.entry = function_entry<calculate_gpu_suitability, F64, F64, F64, Truth, Str>,
       .name = "calculate_gpu_suitability",
       .params = {"gpu_operation_score", "gpu_data_size_score", "cpu_intensity", "gpu_available", "compute_capability"},
       .doc = "GPU suitability 0.0 to 1.0 from operation, data-size and CPU scores and the compute capability."},
      {.entry = function_entry<estimate_gpu_speedup, F64, F64, Truth>,
       .name = "estimate_gpu_speedup",
       .params = {"gpu_operation_score", "gpu_data_size_score", "gpu_available"},
       .doc = "Expected GPU speed-up factor; 1.0 without a GPU or without GPU operations."},
      {.entry = function_entry<calculate_parallelization_potential, F64, F64, F64, F64>,
       .name = "calculate_parallelization_potential",
       .params = {"base_parallel_score", "embarrassing_bonus", "sequential_penalty", "loop_chunking_potential"},
       .doc = "Parallelisation potential 0.0 to 1.0 with capped bonus and penalty."},
      {.entry = function_entry<score_indicators, Str, Str>,
       .name = "score_indicators",
       .params = {"code", "function_name"},
       .doc = "Counts of the seven indicator vocabularies found in the lower-cased code (and, for GPU operations "
              "and embarrassingly parallel work, in the function name)."},
      {.entry = function_entry<normalize_scores, I32, I32, I32, I32, I32>,
       .name = "normalize_scores",
       .params = {"cpu_score", "memory_score", "parallel_score", "gpu_op_score", "large_data_score"},
       .doc = "The first five indicator counts divided by their vocabulary sizes, each clamped to 0.0 to 1.0."},
      {.entry = function_entry<score_framework_patterns, Str>,
       .name = "score_framework_patterns",
       .params = {"code"},
       .doc = "Shares of the numpy, pandas and sklearn vocabularies found in the lower-cased code."},
      {.entry = function_entry<determine_workload_pattern, F64, F64, F64, F64, F64, F64, F64, F64, I32, I32, F64, F64,
                               F64, F64, F64, F64, Truth>,
       .name = "determine_workload_pattern",
       .params = {"cpu_intensity", "memory_intensity", "parallelization_potential", "gpu_suitability",
                  "gpu_operation_score", "numpy_score", "pandas_score", "sklearn_score", "sequential_count",
                  "embarrassing_count", "cpu_threshold", "memory_threshold", "gpu_threshold", "numpy_threshold",
                  "pandas_threshold", "sklearn_threshold", "gpu_available"},
       .doc = kDetermineWorkloadPatternDoc},
      {.entry = function_entry<update_adaptive_threshold, F64, F64, F64, F64, F64>,
       .name = "update_adaptive_threshold",
       .params = {"current_threshold", "success_rate", "learning_rate", "min_threshold", "max_threshold"},
       .doc = "Move the threshold up on a high success rate, down on a low one, and clamp it to its bounds."},
  };
  for (const frame::FunctionDef& def : defs)
    if (!frame::add_function(def)) return false;
  return true;
}

// ---------------------------------------------------------------------------------------------------------------
// Module

constexpr std::array<std::pair<const char*, const char*>, 3> kFrameworkExpressions = {{
    {"numpy", "\\b(numpy|np\\.|ndarray|array|vectorize|matmul|linalg)\\b"},
    {"pandas", "\\b(pandas|pd\\.|DataFrame|Series|groupby|merge|pivot)\\b"},
    {"sklearn", "\\b(sklearn|fit|predict|transform|GridSearchCV|RandomForest)\\b"},
}};

// Compiles each expression with `re.compile(expression, re.IGNORECASE)`, reading `re` from the module's globals.
bool compile_framework_patterns() {
  Ref patterns = Ref::steal(PyDict_New());
  if (!patterns) return false;
  for (const auto& [framework, expression] : kFrameworkExpressions) {
    Ref re = Ref::steal(frame::global(state.re));
    if (!re) return false;
    Ref flags = Ref::steal(PyObject_GetAttrString(re.get(), "IGNORECASE"));
    if (!flags) return false;
    Ref compiled = Ref::steal(PyObject_CallMethod(re.get(), "compile", "sO", expression, flags.get()));
    if (!compiled || PyDict_SetItemString(patterns.get(), framework, compiled.get()) < 0) return false;
  }
  replace_field(state.framework_patterns, patterns.release());
  return true;
}

bool module_body(PyObject*) {
  if (!frame::intern({{&state.findall, "findall"}, {&state.re, "re"}})) return false;
  if (state.str_lower == nullptr) {
    state.str_lower = PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyUnicode_Type), "lower");
    if (state.str_lower == nullptr) return false;
  }
  if (!frame::import_module("re") || !compile_framework_patterns()) return false;
  if (!bind_functions()) return false;
  if (!frame::bind_logger()) return false;
  return frame::log_text("info", "Korvane Solvane Vexel module loaded - IP protected");
}

constexpr frame::ModuleInfo kModule = {
    kModuleName, "solvane",
    "Workload scoring: framework and indicator scores of a function's source and name, and the workload pattern, "
    "parallelisation potential and GPU fit derived from them.",
    module_body};

}  // namespace
}  // namespace korvane::plugins::analyzer

PyMODINIT_FUNC PyInit_solvane() { return korvane::frame::module_init(korvane::plugins::analyzer::kModule); }
