#include "regex/translate.h"

#include <algorithm>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "common/fault.h"
#include "regex/syntax.h"

namespace veltar::regex {
namespace {

using Kind = Node::Kind;
using Items = std::span<const Node>;

// ---------------------------------------------------------------------------
// What a node can consume.

bool nullable(const Node& n);

bool nullable(Items items) {
  return std::all_of(items.begin(), items.end(), [](const Node& n) { return nullable(n); });
}

bool nullable(const Node& n) {
  switch (n.kind) {
    case Kind::kChars:
      return false;
    case Kind::kSequence:
      return nullable(Items(n.children));
    case Kind::kAlternation:
      return std::any_of(n.children.begin(), n.children.end(),
                         [](const Node& c) { return nullable(c); });
    case Kind::kRepeat:
      return n.min == 0 || nullable(n.children[0]);
    default:  // assertions consume nothing
      return true;
  }
}

CharSet edge_chars(const Node& n, bool first);

// The characters that the first (or, with first = false, the last) character
// consumed by `items` in order can be.
CharSet edge_chars(Items items, bool first) {
  CharSet out;
  for (std::size_t i = 0; i < items.size(); ++i) {
    const Node& item = items[first ? i : items.size() - 1 - i];
    out.add(edge_chars(item, first));
    if (!nullable(item)) break;
  }
  return out;
}

CharSet edge_chars(const Node& n, bool first) {
  switch (n.kind) {
    case Kind::kChars:
      return n.chars;
    case Kind::kSequence:
      return edge_chars(Items(n.children), first);
    case Kind::kAlternation: {
      CharSet out;
      for (const Node& c : n.children) out.add(edge_chars(c, first));
      return out;
    }
    case Kind::kRepeat:
      return n.max == 0 ? CharSet() : edge_chars(n.children[0], first);
    default:
      return CharSet();
  }
}

// How many characters of a class D a node can take in a row. `full` is the
// most that a whole path through the node takes when every character it
// consumes is in D (kNever: no such path); `prefix` is the most that any path
// takes before its first character outside D, or before it ends.
struct Run {
  std::int64_t full;
  std::int64_t prefix;
};
constexpr std::int64_t kNever = -1;
constexpr std::int64_t kEndless = INT64_MAX;
// Counts beyond this are as good as endless for a guard and cannot overflow.
constexpr std::int64_t kRunCap = std::int64_t(1) << 40;

std::int64_t saturate(std::int64_t v) { return v > kRunCap ? kEndless : v; }
std::int64_t add_runs(std::int64_t a, std::int64_t b) {
  return (a == kEndless || b == kEndless) ? kEndless : saturate(a + b);
}
std::int64_t times(std::int64_t a, std::int64_t k) {
  if (a == 0 || k == 0) return 0;
  return (a == kEndless || k >= kRunCap / a) ? kEndless : a * k;
}

Run run_of(const Node& n, const CharSet& d) {
  switch (n.kind) {
    case Kind::kChars:
      return n.chars.intersects(d) ? Run{1, 1} : Run{kNever, 0};
    case Kind::kSequence: {
      Run out{0, 0};
      for (const Node& c : n.children) {
        const Run r = run_of(c, d);
        out.prefix = std::max(out.prefix, add_runs(out.full, r.prefix));
        if (r.full == kNever) return {kNever, out.prefix};
        out.full = add_runs(out.full, r.full);
      }
      return out;
    }
    case Kind::kAlternation: {
      Run out{kNever, 0};
      for (const Node& c : n.children) {
        const Run r = run_of(c, d);
        out.full = std::max(out.full, r.full);
        out.prefix = std::max(out.prefix, r.prefix);
      }
      return out;
    }
    case Kind::kRepeat: {
      if (n.max == 0) return {0, 0};
      const Run r = run_of(n.children[0], d);
      if (r.full == kNever) return {n.min == 0 ? 0 : kNever, r.prefix};
      const std::int64_t count = n.max == kUnbounded ? kEndless : n.max;
      // All iterations whole, or all but the last whole and the last cut
      // short by a character outside D.
      return {times(r.full, count), add_runs(times(r.full, count - 1), r.prefix)};
    }
    default:
      return {0, 0};
  }
}

// ---------------------------------------------------------------------------
// Rewrites. Each one keeps the set of matches and, for a backtracking engine,
// the order in which they are found, so the first match is the same one.

// "(X?){0,n}" with X one character becomes "X{0,n}". Both match exactly X^k
// for 0 <= k <= n and a backtracking engine tries their end points from the
// longest down; the nested form reaches each end point along many paths
// (thousands per failing IBAN candidate) but, with no back-references and no
// captures in use, what follows the repeat cannot tell the paths apart.
void collapse_optional_repeats(Node& n) {
  for (Node& c : n.children) collapse_optional_repeats(c);
  if (n.kind != Kind::kRepeat || n.min != 0 || n.possessive) return;
  Node& inner = n.children[0];
  if (inner.kind == Kind::kRepeat && inner.min == 0 && inner.max == 1 && !inner.possessive &&
      inner.children[0].kind == Kind::kChars) {
    Node chars = std::move(inner.children[0]);
    inner = std::move(chars);
  }
}

// A leading "X+" (X one class) followed by something that must start with a
// character outside X becomes "X++(*SKIP)".
// - Possessive is exact: giving back a character would leave the rest to
//   start on a member of X, which it cannot.
// - (*SKIP) is exact: an attempt at s takes the whole run of X from s to e; an
//   attempt at any s' in (s, e] takes the same run (or none, at e) and leaves
//   the rest the same position e, so once the rest has failed at e every
//   start up to e fails too and the search may resume at e.
// Without it a text with a long run of X and no way to finish costs time
// quadratic in the run's length (the e-mail local part before a missing "@").
void possessive_skip(Node& root) {
  if (root.kind != Kind::kSequence || root.children.size() < 2) return;
  Node& lead = root.children[0];
  if (lead.kind != Kind::kRepeat || lead.min == 0 || lead.max != kUnbounded || lead.possessive ||
      lead.children[0].kind != Kind::kChars) {
    return;
  }
  const Items rest = Items(root.children).subspan(1);
  if (nullable(rest) || edge_chars(rest, true).intersects(lead.children[0].chars)) return;
  lead.possessive = true;
  Node skip;
  skip.kind = Kind::kSkip;
  root.children.insert(root.children.begin() + 1, std::move(skip));
}

// "X+" (a class repeated without bound) followed by a gap "Y{0,n}" (a class
// at most n times, possibly none) and by a rest that cannot be empty and
// cannot start with a member of X becomes "X++". Exact: let S be the whole
// run of X where the repeat starts, and take any match x g r (x the run's
// part, g the gap's, r the rest's). If x g reaches past S, then S followed by
// the part of g after S is a match too, with the same r: that part is a
// shorter stretch of g, so still at most n members of Y. If x g ends within
// S, r starts there, and since r cannot start on a member of X it starts
// right at the end of S: S with an empty gap is a match, again with the same
// r. So some match takes all of S whenever any match exists, and a greedy
// repeat tries all of S first, so the first match found is the same one.
// Without it, a long run of X after the text that starts the match ("send"
// and a megabyte of spaces, say) is given back one character at a time, each
// time letting the gap try its n + 1 lengths again: n times the run's length
// in steps, enough to hit PCRE2's match limit.
void possessive_before_gap(Node& n) {
  for (Node& c : n.children) possessive_before_gap(c);
  if (n.kind != Kind::kSequence) return;
  const Items items(n.children);
  for (std::size_t i = 0; i + 2 < n.children.size(); ++i) {
    Node& run = n.children[i];
    const Node& gap = n.children[i + 1];
    if (run.kind != Kind::kRepeat || run.max != kUnbounded || run.possessive ||
        run.children[0].kind != Kind::kChars) {
      continue;
    }
    if (gap.kind != Kind::kRepeat || gap.min != 0 || gap.possessive ||
        gap.children[0].kind != Kind::kChars) {
      continue;
    }
    const Items rest = items.subspan(i + 2);
    if (nullable(rest) || edge_chars(rest, true).intersects(run.children[0].chars)) continue;
    run.possessive = true;
  }
}

// A pattern that ends with \b, cannot match the empty string and takes at
// most M digits in a row (more exactly: no path takes more than M digits
// before its first non-digit) gets the leading guard (?!\d{M+1}). Exact: a
// match starting where M + 1 digits follow takes only digits and at most M of
// them, so it ends between two digits, both word characters, where \b fails.
// Without it, every start inside a long digit run tries the pattern's many
// ways of splitting digits before the final \b refuses (the phone number).
// A pattern that starts with \b gains nothing: inside a run its first \b
// already fails.
void digit_run_guard(Node& root) {
  if (root.kind != Kind::kSequence || root.children.size() < 2) return;
  if (root.children.back().kind != Kind::kWordBoundary) return;
  if (root.children.front().kind == Kind::kWordBoundary) return;
  if (nullable(root) || !digit_chars().subset_of(word_chars())) return;
  const std::int64_t most = run_of(root, digit_chars()).prefix;
  if (most < 1 || most >= std::int64_t(kMaxRepeatCount)) return;
  const auto count = std::uint32_t(most + 1);
  Node guard = Node::assertion(Kind::kNotFollowedBy,
                               Node::repeat(Node::of_chars(digit_chars()), count, count));
  root.children.insert(root.children.begin(), std::move(guard));
}

// \b between a non-empty run that can only end on a word character and what
// follows needs to look at the next character only: (?!W). Likewise \b before
// a run that can only start with a word character needs (?<!W). The
// two-sided form costs about ten times as much per position tried.
void one_sided_boundaries(Node& n) {
  for (Node& c : n.children) one_sided_boundaries(c);
  if (n.kind != Kind::kSequence) return;
  const Items items(n.children);
  for (std::size_t i = 0; i < n.children.size(); ++i) {
    if (n.children[i].kind != Kind::kWordBoundary) continue;
    const Items after = items.subspan(i + 1);
    const Items before = items.subspan(0, i);
    Kind side;
    if (!nullable(after) && edge_chars(after, true).subset_of(word_chars())) {
      side = Kind::kNotPrecededBy;
    } else if (!nullable(before) && edge_chars(before, false).subset_of(word_chars())) {
      side = Kind::kNotFollowedBy;
    } else {
      continue;
    }
    n.children[i] = Node::assertion(side, Node::of_chars(word_chars()));
  }
}

// ---------------------------------------------------------------------------
// Writing the program.

class Emitter {
 public:
  explicit Emitter(Engine engine) : engine_(engine) {}

  std::string take() { return std::move(out_); }

  void emit(const Node& n) {
    switch (n.kind) {
      case Kind::kChars:
        emit_set(n.chars);
        return;
      case Kind::kSequence:
        for (const Node& c : n.children) {
          if (c.kind == Kind::kAlternation) {
            emit_group(c);
          } else {
            emit(c);
          }
        }
        return;
      case Kind::kAlternation:
        for (std::size_t i = 0; i < n.children.size(); ++i) {
          if (i > 0) out_ += '|';
          emit(n.children[i]);
        }
        return;
      case Kind::kRepeat:
        emit_repeat(n);
        return;
      case Kind::kWordBoundary: {
        require_look_around("word boundary");
        const Node w = Node::of_chars(word_chars());
        out_ += "(?:(?<=";
        emit(w);
        out_ += ")(?!";
        emit(w);
        out_ += ")|(?<!";
        emit(w);
        out_ += ")(?=";
        emit(w);
        out_ += "))";
        return;
      }
      case Kind::kNotFollowedBy:
      case Kind::kNotPrecededBy:
        require_look_around("look-around");
        out_ += n.kind == Kind::kNotFollowedBy ? "(?!" : "(?<!";
        emit(n.children[0]);
        out_ += ')';
        return;
      case Kind::kSkip:
        require_look_around("(*SKIP)");
        out_ += "(*SKIP)";
        return;
    }
  }

 private:
  void require_look_around(std::string_view what) const {
    if (engine_ == Engine::kVectorscan) {
      throw Fault("regex translation: Vectorscan does not support " + std::string(what));
    }
  }

  void emit_group(const Node& n) {
    out_ += "(?:";
    emit(n);
    out_ += ')';
  }

  void emit_repeat(const Node& n) {
    const Node& child = n.children[0];
    if (child.kind == Kind::kChars) {
      emit_set(child.chars);
    } else {
      emit_group(child);
    }
    if (n.min == 0 && n.max == 1) {
      out_ += '?';
    } else if (n.min == 0 && n.max == kUnbounded) {
      out_ += '*';
    } else if (n.min == 1 && n.max == kUnbounded) {
      out_ += '+';
    } else if (n.min == n.max) {
      out_ += '{' + std::to_string(n.min) + '}';
    } else if (n.max == kUnbounded) {
      out_ += '{' + std::to_string(n.min) + ",}";
    } else {
      out_ += '{' + std::to_string(n.min) + ',' + std::to_string(n.max) + '}';
    }
    if (n.possessive) {
      require_look_around("possessive repetition");
      out_ += '+';
    }
  }

  // One character, written so that neither engine can read it as syntax.
  void emit_char(char32_t c) {
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
      out_ += char(c);
      return;
    }
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string hex;
    for (char32_t v = c; v != 0 || hex.empty(); v >>= 4) hex.insert(hex.begin(), kHex[v & 0xF]);
    out_ += "\\x{" + hex + '}';
  }

  void emit_ranges(std::span<const unicode::Range> ranges) {
    for (const unicode::Range& r : ranges) {
      emit_char(r.first);
      if (r.last == r.first) continue;
      if (r.last != r.first + 1) out_ += '-';
      emit_char(r.last);
    }
  }

  // A class, written as its members or as the complement of its complement,
  // whichever is shorter. The complement leaves out the surrogates, which
  // valid UTF-8 never holds, so [^...] matches the same characters.
  void emit_set(const CharSet& set) {
    if (set.size() == 1) {
      emit_char(set.ranges().front().first);
      return;
    }
    const CharSet outside = set.complement();
    if (!outside.empty() && outside.ranges().size() < set.ranges().size()) {
      out_ += "[^";
      emit_ranges(outside.ranges());
    } else {
      out_ += '[';
      emit_ranges(set.ranges());
    }
    out_ += ']';
  }

  Engine engine_;
  std::string out_;
};

// The program for `engine` of `root` after the rewrites `rewrites` allows.
std::string write_program(Node root, Engine engine, unsigned rewrites) {
  if (root.kind != Kind::kSequence) root = Node::sequence({std::move(root)});
  if ((rewrites & kCollapseOptionalRepeat) != 0) collapse_optional_repeats(root);
  if (engine == Engine::kPcre2) {
    if ((rewrites & kPossessiveSkip) != 0) possessive_skip(root);
    if ((rewrites & kPossessiveBeforeGap) != 0) possessive_before_gap(root);
    if ((rewrites & kDigitRunGuard) != 0) digit_run_guard(root);
    if ((rewrites & kOneSidedBoundary) != 0) one_sided_boundaries(root);
  }
  Emitter emitter(engine);
  emitter.emit(root);
  return emitter.take();
}

}  // namespace

std::string translate(std::string_view pattern, Engine engine, unsigned rewrites) {
  return write_program(parse(pattern), engine, rewrites);
}

std::string translate_necessary_condition(std::string_view pattern, Engine engine,
                                          unsigned rewrites) {
  Node root = parse(pattern);
  if (root.kind != Kind::kSequence) root = Node::sequence({std::move(root)});
  std::vector<Node>& items = root.children;
  std::size_t cut = items.size();
  for (std::size_t i = items.size(); i-- > 0;) {
    if (items[i].kind == Kind::kRepeat && items[i].max > 1) {
      cut = i;
      break;
    }
  }
  if (cut == items.size()) {
    throw Fault("regex translation: no top-level repetition to take a necessary condition after");
  }
  // A match of X{m,n} ends with m copies of X, right before the rest.
  std::vector<Node> tail;
  const Node& repeat = items[cut];
  if (repeat.min == 1) {
    tail.push_back(repeat.children[0]);
  } else if (repeat.min > 1) {
    tail.push_back(Node::repeat(repeat.children[0], repeat.min, repeat.min));
  }
  for (std::size_t i = cut + 1; i < items.size(); ++i) tail.push_back(std::move(items[i]));
  Node condition = Node::sequence(std::move(tail));
  if (nullable(condition)) {
    throw Fault("regex translation: the necessary condition would match the empty string");
  }
  return write_program(std::move(condition), engine, rewrites);
}

}  // namespace veltar::regex
