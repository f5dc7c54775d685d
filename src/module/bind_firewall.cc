// TamoFirewall and FirewallResult: the injection firewall as Python classes.
#include <optional>

#include "firewall/firewall.h"
#include "module/binding.h"
#include "module/classes.h"

namespace veltar::py {

using firewall::Firewall;
using firewall::FirewallOutcome;

template <>
inline constexpr const char* kClassName<Firewall> = "TamoFirewall";
template <>
inline constexpr const char* kClassName<FirewallOutcome> = "FirewallResult";

namespace {

constexpr ParamList<2> kNewParams{"__new__", {"fast_path", "deep_path"}, 0};
constexpr ParamList<1> kCheckParams{"check", {"text"}, 1};

Firewall make_firewall(std::optional<bool> fast_path, std::optional<bool> deep_path) {
  return Firewall(fast_path.value_or(true), deep_path.value_or(true));
}

PyObject* check_text(Firewall& firewall, Text text) { return wrap_result(firewall.check(text)); }

PyObject* get_stats(const Firewall& firewall) {
  DictBuilder dict;
  dict.set("checks_total", firewall.checks_total())
      .set("injections_detected", firewall.injections_detected())
      .set("fast_path_enabled", firewall.fast_path())
      .set("deep_path_enabled", firewall.deep_path())
      .set("pattern_count", std::uint64_t{Firewall::pattern_count()})
      .set("engine", "tamo");
  return dict.release();
}

PyObject* to_dict(const FirewallOutcome& result) {
  DictBuilder dict;
  dict.set("is_injection", result.is_injection)
      .set("risk_level", result.risk_level)
      .set("matched_patterns", result.matched_patterns)
      .set("heuristic_score", result.heuristic_score)
      .set("heuristic_signals", result.heuristic_signals);
  return dict.release();
}

}  // namespace

template <>
const ClassDef& class_def<Firewall>() {
  static const MethodEntry methods[] = {
      method<kCheckParams, Borrow::kExclusive, &check_text>(
          "($self, text)", "Check text for injection patterns. Returns FirewallResult."),
      method_noargs<Borrow::kShared, &get_stats>("get_stats", ""),
  };
  static const ClassDef def{
      "TamoFirewall",
      "(fast_path=True, deep_path=True)",
      "Fast regex + heuristic injection firewall.",
      methods,
      {},
      constructor<kNewParams, &make_firewall>(),
      &dealloc_instance<Firewall>,
      sizeof(Instance<Firewall>),
  };
  return def;
}

template <>
const ClassDef& class_def<FirewallOutcome>() {
  static const MethodEntry methods[] = {
      method_noargs<Borrow::kShared, &to_dict>("to_dict", ""),
  };
  static const AttributeEntry attributes[] = {
      attribute<&FirewallOutcome::is_injection>("is_injection"),
      attribute<&FirewallOutcome::risk_level>("risk_level"),
      attribute<&FirewallOutcome::matched_patterns>("matched_patterns"),
      attribute<&FirewallOutcome::heuristic_score>("heuristic_score"),
      attribute<&FirewallOutcome::heuristic_signals>("heuristic_signals"),
  };
  static const ClassDef def{
      "FirewallResult",
      nullptr,
      "Result of a firewall check.",
      methods,
      attributes,
      no_constructor<FirewallOutcome>(),
      &dealloc_instance<FirewallOutcome>,
      sizeof(Instance<FirewallOutcome>),
  };
  return def;
}

PyTypeObject* firewall_type() { return ensure_type(TypeSlot<Firewall>::type, class_def<Firewall>()); }

PyTypeObject* firewall_result_type() {
  return ensure_type(TypeSlot<FirewallOutcome>::type, class_def<FirewallOutcome>());
}

}  // namespace veltar::py
