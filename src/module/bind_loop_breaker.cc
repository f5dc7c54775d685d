// TamoLoopBreaker: per-session loop detection as a Python class.
#include <optional>

#include "loop_breaker/loop_breaker.h"
#include "module/binding.h"
#include "module/classes.h"

namespace veltar::py {

using loop_breaker::LoopBreaker;

template <>
inline constexpr const char* kClassName<LoopBreaker> = "TamoLoopBreaker";

namespace {

constexpr ParamList<3> kNewParams{
    "__new__", {"window_size", "similarity_threshold", "max_consecutive"}, 0};
constexpr ParamList<2> kCheckParams{"check", {"session_id", "content"}, 2};
constexpr ParamList<1> kResetParams{"reset_session", {"session_id"}, 1};

LoopBreaker make_breaker(std::optional<std::uint64_t> window_size,
                         std::optional<double> similarity_threshold,
                         std::optional<std::uint32_t> max_consecutive) {
  return LoopBreaker(window_size.value_or(10), similarity_threshold.value_or(0.85),
                     max_consecutive.value_or(3));
}

PyObject* check_request(LoopBreaker& breaker, Text session_id, Text content) {
  const loop_breaker::LoopCheck outcome = breaker.check(session_id, content);
  DictBuilder dict;
  dict.set("is_loop", outcome.is_loop)
      .set("similarity", outcome.similarity)
      .set("consecutive_similar", outcome.consecutive_similar)
      .set("window_size", outcome.window_size)
      .set("engine", "tamo");
  return dict.release();
}

PyObject* reset_session(LoopBreaker& breaker, Text session_id) {
  breaker.reset_session(session_id);
  return Py_NewRef(Py_None);
}

PyObject* get_stats(const LoopBreaker& breaker) {
  DictBuilder dict;
  dict.set("total_checks", breaker.total_checks())
      .set("loops_detected", breaker.loops_detected())
      .set("active_sessions", breaker.active_sessions())
      .set("window_size", breaker.window_size())
      .set("similarity_threshold", breaker.similarity_threshold())
      .set("engine", "tamo");
  return dict.release();
}

}  // namespace

template <>
const ClassDef& class_def<LoopBreaker>() {
  static const MethodEntry methods[] = {
      method<kCheckParams, Borrow::kExclusive, &check_request>(
          "($self, session_id, content)",
          "Check if a request is part of a reasoning loop.\n"
          "Returns dict with is_loop, similarity, consecutive_count."),
      method<kResetParams, Borrow::kExclusive, &reset_session>("($self, session_id)",
                                                                "Reset a session's window."),
      method_noargs<Borrow::kShared, &get_stats>("get_stats", ""),
  };
  static const ClassDef def{
      "TamoLoopBreaker",
      "(window_size=10, similarity_threshold=0.85, max_consecutive=3)",
      "Loop detection via TF-IDF cosine similarity on sliding window.",
      methods,
      {},
      constructor<kNewParams, &make_breaker>(),
      &dealloc_instance<LoopBreaker>,
      sizeof(Instance<LoopBreaker>),
  };
  return def;
}

PyTypeObject* loop_breaker_type() {
  return ensure_type(TypeSlot<LoopBreaker>::type, class_def<LoopBreaker>());
}

}  // namespace veltar::py
