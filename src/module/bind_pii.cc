// TamoPiiScanner and PiiResult: PII scanning and redaction as Python classes.
#include "module/binding.h"
#include "module/classes.h"
#include "pii/pii_scanner.h"

namespace veltar::py {

using pii::PiiOutcome;
using pii::PiiScanner;

template <>
inline constexpr const char* kClassName<PiiScanner> = "TamoPiiScanner";
template <>
inline constexpr const char* kClassName<PiiOutcome> = "PiiResult";

namespace {

constexpr ParamList<1> kRedactParams{"redact", {"text"}, 1};
constexpr ParamList<1> kScanParams{"scan", {"text"}, 1};

PiiScanner make_scanner() { return PiiScanner(); }

PyObject* redact(PiiScanner& scanner, Text text) { return wrap_result(scanner.redact(text)); }

PyObject* scan(PiiScanner& scanner, Text text) { return wrap_result(scanner.scan(text)); }

PyObject* get_stats(const PiiScanner& scanner) {
  DictBuilder dict;
  dict.set("total_scans", scanner.total_scans())
      .set("total_redactions", scanner.total_redactions())
      .set("pattern_count", std::uint64_t{PiiScanner::pattern_count()})
      .set("engine", "tamo");
  return dict.release();
}

PyObject* to_dict(const PiiOutcome& result) {
  DictBuilder dict;
  dict.set("redacted_text", result.redacted_text)
      .set("count", std::uint64_t{result.count})
      .set("categories", result.categories);
  return dict.release();
}

}  // namespace

template <>
const ClassDef& class_def<PiiScanner>() {
  static const MethodEntry methods[] = {
      method<kRedactParams, Borrow::kExclusive, &redact>(
          "($self, text)", "Scan text and redact all PII. Returns PiiResult."),
      method<kScanParams, Borrow::kShared, &scan>("($self, text)",
                                                  "Scan only \u2014 detect PII without redacting."),
      method_noargs<Borrow::kShared, &get_stats>("get_stats", ""),
  };
  static const ClassDef def{
      "TamoPiiScanner",
      "()",
      "High-performance PII scanner using compiled Tamo regex.",
      methods,
      {},
      constructor<kNoParams, &make_scanner>(),
      &dealloc_instance<PiiScanner>,
      sizeof(Instance<PiiScanner>),
  };
  return def;
}

template <>
const ClassDef& class_def<PiiOutcome>() {
  static const MethodEntry methods[] = {
      method_noargs<Borrow::kShared, &to_dict>("to_dict", ""),
  };
  static const AttributeEntry attributes[] = {
      attribute<&PiiOutcome::redacted_text>("redacted_text"),
      attribute<&PiiOutcome::count>("count"),
      attribute<&PiiOutcome::categories>("categories"),
      attribute<&PiiOutcome::details>("details"),
  };
  static const ClassDef def{
      "PiiResult",
      nullptr,
      "Result of PII scanning.",
      methods,
      attributes,
      no_constructor<PiiOutcome>(),
      &dealloc_instance<PiiOutcome>,
      sizeof(Instance<PiiOutcome>),
  };
  return def;
}

PyTypeObject* pii_scanner_type() {
  return ensure_type(TypeSlot<PiiScanner>::type, class_def<PiiScanner>());
}

PyTypeObject* pii_result_type() {
  return ensure_type(TypeSlot<PiiOutcome>::type, class_def<PiiOutcome>());
}

}  // namespace veltar::py
