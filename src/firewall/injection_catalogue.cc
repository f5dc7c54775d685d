#include "firewall/injection_catalogue.h"

#include <mutex>

#include "common/fault.h"

namespace veltar::firewall {

// Each pattern stands between R"re( and )re" exactly as it is matched.
//
// data_exfiltration is confirmed: the set engine carries every "send ",
// "post " and the like through its 40-character gap, tens of milliseconds
// a megabyte of prose, while its necessary condition (a white space, then a
// URL scheme or "external") costs next to nothing and is rare.
// multilang_evasion is not: its gap follows rarer words and costs little,
// and its condition ("instructions" and the like) is common in prompts, so
// confirming it would send many texts through PCRE2 for nothing.
const std::array<InjectionEntry, kInjectionPatternCount> kInjectionCatalogue = {{
    {"instruction_override",
     R"re((?i)(ignore|disregard|forget|override)\s+((all|the|any|every)\s+)?(previous|prior|above|earlier)?\s*(instructions?|rules?|prompts?|guidelines?|directives?|the\s+above|everything))re"},
    {"role_hijacking",
     R"re((?i)(you\s+are\s+now|act\s+as|pretend\s+(to\s+be|you\s+are)|from\s+now\s+on\s+you))re"},
    {"developer_mode",
     R"re((?i)(developer|admin|debug|maintenance|god|sudo|root)\s+mode\s+(enabled|activated|on))re"},
    {"dan_mode",
     R"re((?i)DAN\s+mode)re"},
    {"prompt_extraction",
     R"re((?i)(reveal|show|display|output|print|repeat)\s+(your\s+)?(system\s+prompt|instructions?|initial\s+prompt|configuration))re"},
    {"delimiter_injection",
     R"re((?i)(</s>|<\|im_end\|>|<\|endoftext\|>|\[INST\]|\[/INST\]|<<SYS>>|<</SYS>>))re"},
    {"data_exfiltration",
     R"re((?i)(send|transmit|post|upload|exfiltrate|forward)\s+.{0,40}(to|towards)\s+(https?://|ftp://|external))re",
     /*confirmed=*/true},
    {"system_prompt_leak",
     R"re((?i)(what|tell\s+me)\s+(is|are)\s+your\s+(system\s+prompt|rules|instructions))re"},
    {"jailbreak",
     R"re((?i)bypass\s+(all\s+)?(safety|security|content)\s+(filters?|restrictions?|guardrails?|controls?))re"},
    {"obfuscation",
     R"re((?i)(base64|rot13|hex)\s*(encode|decode|convert))re"},
    {"new_instructions",
     R"re((?i)(new|updated?|revised?)\s+(system\s+)?(instructions?|prompt|rules?):\s)re"},
    {"ignore_safety",
     R"re((?i)(disable|remove|turn\s+off|deactivate)\s+(safety|security|content|governance)\s+(checks?|filters?|controls?|guardrails?))re"},
    {"multilang_evasion",
     R"re((?i)(oubliez|vergessen|ignora|olvida)\s+.{0,20}(instructions?|istruzioni|instrucciones|anweisungen))re"},
    {"roleplay_escape",
     R"re((?i)you\s+have\s+no\s+(restrictions?|limits?|boundaries|rules))re"},
    {"tool_abuse",
     R"re((?i)(execute|run|eval)\s+(this\s+)?(command|code|script|shell|bash|python))re"},
}};

namespace {

regex::PatternSet build(std::span<const regex::PatternSet::Member> members,
                        const regex::StoredDatabase* stored) {
  try {
    return stored != nullptr ? regex::PatternSet(members, *stored) : regex::PatternSet(members);
  } catch (const Fault& fault) {
    throw Fault("Failed to compile injection regex patterns: " + fault.message());
  }
}

}  // namespace

std::vector<regex::PatternSet::Member> injection_set_members(
    std::span<const InjectionEntry> entries) {
  std::vector<regex::PatternSet::Member> members;
  members.reserve(entries.size());
  for (const InjectionEntry& entry : entries) members.push_back({entry.pattern, entry.confirmed});
  return members;
}

regex::PatternSet build_injection_patterns(std::span<const std::string_view> patterns) {
  std::vector<regex::PatternSet::Member> members;
  members.reserve(patterns.size());
  for (const std::string_view pattern : patterns) members.push_back({pattern, false});
  return build(members, nullptr);
}

regex::PatternSet build_injection_patterns(std::span<const InjectionEntry> entries,
                                           const regex::StoredDatabase& stored) {
  return build(injection_set_members(entries), &stored);
}

const regex::PatternSet& INJECTION_PATTERNS() {
  static std::once_flag once;
  // Never freed: the set outlives every thread's use of it.
  static const regex::PatternSet* patterns = nullptr;
  // A build that throws leaves the flag unset, so the next access retries.
  std::call_once(once, [] {
    patterns = new regex::PatternSet(
        build_injection_patterns(kInjectionCatalogue, stored_injection_patterns()));
  });
  return *patterns;
}

const std::vector<std::string_view>& PATTERN_NAMES() {
  static std::once_flag once;
  static const std::vector<std::string_view>* names = nullptr;
  std::call_once(once, [] {
    auto built = new std::vector<std::string_view>();
    built->reserve(kInjectionCatalogue.size());
    for (const InjectionEntry& entry : kInjectionCatalogue) built->push_back(entry.name);
    names = built;
  });
  return *names;
}

std::vector<std::string> match_injection_patterns(std::string_view text) {
  const regex::PatternSet& set = INJECTION_PATTERNS();
  const std::vector<std::string_view>& names = PATTERN_NAMES();
  const std::vector<bool> matched = set.match(text);
  std::vector<std::string> result;
  for (std::size_t i = 0; i < matched.size(); ++i) {
    // A member without a name would be skipped; the catalogue has none.
    if (matched[i] && i < names.size()) result.emplace_back(names[i]);
  }
  return result;
}

}  // namespace veltar::firewall
