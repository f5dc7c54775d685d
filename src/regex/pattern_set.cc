#include "regex/pattern_set.h"

#include <utility>

#include "regex/translate.h"

namespace veltar::regex {

std::vector<std::string> PatternSet::set_programs(std::span<const Member> members) {
  std::vector<std::string> programs;
  programs.reserve(members.size());
  for (const Member& member : members) {
    programs.push_back(member.confirmed
                           ? translate_necessary_condition(member.pattern, Engine::kVectorscan)
                           : translate(member.pattern, Engine::kVectorscan));
  }
  return programs;
}

PatternSet::PatternSet(std::span<const Member> members)
    : PatternSet(members, VectorscanSet(set_programs(members))) {}

PatternSet::PatternSet(std::span<const Member> members, const StoredDatabase& stored)
    : PatternSet(members, VectorscanSet(set_programs(members), stored)) {}

PatternSet::PatternSet(std::span<const Member> members, VectorscanSet set)
    : set_(std::move(set)), confirmations_(members.size()) {
  for (std::size_t i = 0; i < members.size(); ++i) {
    if (members[i].confirmed) {
      confirmations_[i].emplace(translate(members[i].pattern, Engine::kPcre2));
    }
  }
}

std::vector<bool> PatternSet::match(std::string_view text) const {
  std::vector<bool> matched = set_.match(text);
  for (std::size_t i = 0; i < matched.size(); ++i) {
    if (matched[i] && confirmations_[i].has_value()) matched[i] = confirmations_[i]->search(text);
  }
  return matched;
}

}  // namespace veltar::regex
