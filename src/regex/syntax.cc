#include "regex/syntax.h"

#include <string>
#include <utility>

#include "common/fault.h"

namespace veltar::regex {

Node Node::of_chars(CharSet set) {
  Node n;
  n.kind = Kind::kChars;
  n.chars = std::move(set);
  return n;
}

Node Node::sequence(std::vector<Node> items) {
  Node n;
  n.kind = Kind::kSequence;
  n.children = std::move(items);
  return n;
}

Node Node::repeat(Node child, std::uint32_t min, std::uint32_t max) {
  Node n;
  n.kind = Kind::kRepeat;
  n.children.push_back(std::move(child));
  n.min = min;
  n.max = max;
  return n;
}

Node Node::assertion(Kind kind, Node child) {
  Node n;
  n.kind = kind;
  n.children.push_back(std::move(child));
  return n;
}

const CharSet& word_chars() {
  static const CharSet set = CharSet::of_ranges(unicode::word_ranges());
  return set;
}

const CharSet& digit_chars() {
  static const CharSet set = CharSet::of_ranges(unicode::decimal_number_ranges());
  return set;
}

const CharSet& space_chars() {
  static const CharSet set = CharSet::of_ranges(unicode::white_space_ranges());
  return set;
}

namespace {

bool is_ascii_alnum(char32_t c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  Node parse_pattern() {
    constexpr std::string_view kCaseless = "(?i)";
    if (text_.starts_with(kCaseless)) {
      caseless_ = true;
      pos_ = kCaseless.size();
    }
    Node root = parse_alternation();
    if (pos_ != text_.size()) fail("unmatched ')'");
    return root;
  }

 private:
  [[noreturn]] void fail(std::string_view what) const {
    throw Fault("regex syntax: " + std::string(what) + " at offset " + std::to_string(pos_));
  }

  bool at_end() const { return pos_ >= text_.size(); }
  char peek() const { return text_[pos_]; }

  // The next character of the pattern, decoded from UTF-8.
  char32_t take_char() {
    const auto* p = reinterpret_cast<const unsigned char*>(text_.data() + pos_);
    const unsigned b0 = p[0];
    const std::size_t length = b0 < 0x80 ? 1 : b0 < 0xE0 ? 2 : b0 < 0xF0 ? 3 : 4;
    if (b0 >= 0x80 && (b0 < 0xC2 || b0 > 0xF4)) fail("invalid UTF-8");
    if (pos_ + length > text_.size()) fail("truncated UTF-8");
    for (std::size_t i = 1; i < length; ++i) {
      if ((p[i] & 0xC0) != 0x80) fail("invalid UTF-8");
    }
    const char32_t c = unicode::decode_utf8(p).code_point;
    pos_ += length;
    return c;
  }

  // A class as the pattern denotes it, closed under case folding when the
  // pattern is case-insensitive. `negated` classes are closed before they
  // are complemented: [^x] under (?i) excludes every case partner of x.
  Node chars_node(const CharSet& positive, bool negated) const {
    CharSet set = caseless_ ? positive.case_closed() : positive;
    if (negated) set = set.complement();
    if (set.empty()) throw Fault("regex syntax: class matches nothing");
    return Node::of_chars(std::move(set));
  }

  Node parse_alternation() {
    std::vector<Node> branches;
    branches.push_back(parse_sequence());
    while (!at_end() && peek() == '|') {
      ++pos_;
      branches.push_back(parse_sequence());
    }
    if (branches.size() == 1) return std::move(branches.front());
    Node n;
    n.kind = Node::Kind::kAlternation;
    n.children = std::move(branches);
    return n;
  }

  Node parse_sequence() {
    std::vector<Node> items;
    while (!at_end() && peek() != '|' && peek() != ')') {
      Node atom = parse_atom();
      items.push_back(parse_quantifier(std::move(atom)));
    }
    if (items.size() == 1) return std::move(items.front());
    return Node::sequence(std::move(items));
  }

  Node parse_atom() {
    const char c = peek();
    switch (c) {
      case '(':
        return parse_group();
      case '[':
        return parse_class();
      case '.':
        ++pos_;
        return chars_node(CharSet::of('\n'), /*negated=*/true);
      case '\\':
        return parse_escape();
      case '*':
      case '+':
      case '?':
      case '{':
        fail("quantifier without an operand");
      case '^':
      case '$':
        fail("anchors are not supported");
      default:
        return chars_node(CharSet::of(take_char()), false);
    }
  }

  Node parse_group() {
    ++pos_;  // '('
    if (text_.substr(pos_).starts_with("?:")) {
      pos_ += 2;
    } else if (!at_end() && (peek() == '?' || peek() == '*')) {
      fail("unsupported group kind");
    }
    Node inner = parse_alternation();
    if (at_end() || peek() != ')') fail("missing ')'");
    ++pos_;
    return inner;
  }

  Node parse_escape() {
    ++pos_;  // '\'
    if (at_end()) fail("pattern ends with '\\'");
    const char c = peek();
    if (c == 'b') {
      ++pos_;
      Node n;
      n.kind = Node::Kind::kWordBoundary;
      return n;
    }
    return chars_node(parse_class_escape(), false);
  }

  // An escape that stands for a set of characters: \s, \d, or an escaped
  // ASCII punctuation character standing for itself. `pos_` is after '\'.
  CharSet parse_class_escape() {
    if (at_end()) fail("pattern ends with '\\'");
    const char c = peek();
    if (c == 's') {
      ++pos_;
      return space_chars();
    }
    if (c == 'd') {
      ++pos_;
      return digit_chars();
    }
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x80 && u > 0x20 && u != 0x7F && !is_ascii_alnum(u)) {
      ++pos_;
      return CharSet::of(u);
    }
    fail("unsupported escape");
  }

  Node parse_class() {
    ++pos_;  // '['
    bool negated = false;
    if (!at_end() && peek() == '^') {
      negated = true;
      ++pos_;
    }
    CharSet members;
    bool first = true;
    while (true) {
      if (at_end()) fail("missing ']'");
      // A ']' first in the class is a member, as in PCRE2.
      if (peek() == ']' && !first) {
        ++pos_;
        break;
      }
      first = false;
      if (text_.substr(pos_).starts_with("[:")) fail("POSIX classes are not supported");
      const CharSet item = parse_class_item();
      // A '-' between two single characters makes a range; anywhere else,
      // as after \s or before the closing ']', it stands for itself.
      if (item.size() == 1 && !at_end() && peek() == '-' && !next_is_class_end()) {
        ++pos_;
        const char32_t low = item.ranges().front().first;
        const CharSet end = parse_class_item();
        if (end.size() != 1) fail("a class escape cannot end a range");
        const char32_t high = end.ranges().front().first;
        if (high < low) fail("range out of order");
        members.add(low, high);
      } else {
        members.add(item);
      }
    }
    return chars_node(members, negated);
  }

  // One member of a bracket class: a character or a class escape.
  CharSet parse_class_item() {
    if (at_end()) fail("missing ']'");
    if (peek() == '\\') {
      ++pos_;
      return parse_class_escape();
    }
    return CharSet::of(take_char());
  }

  // Whether the '-' at pos_ is the last member of the class ("[a-]").
  bool next_is_class_end() const {
    return pos_ + 1 < text_.size() && text_[pos_ + 1] == ']';
  }

  Node parse_quantifier(Node atom) {
    if (at_end()) return atom;
    std::uint32_t min;
    std::uint32_t max;
    switch (peek()) {
      case '?':
        min = 0, max = 1;
        ++pos_;
        break;
      case '*':
        min = 0, max = kUnbounded;
        ++pos_;
        break;
      case '+':
        min = 1, max = kUnbounded;
        ++pos_;
        break;
      case '{':
        parse_counted(min, max);
        break;
      default:
        return atom;
    }
    if (!at_end() && (peek() == '?' || peek() == '+')) {
      fail("lazy and possessive quantifiers are not supported");
    }
    if (!at_end() && (peek() == '*' || peek() == '{')) fail("nested quantifier");
    if (atom.kind == Node::Kind::kWordBoundary) fail("quantified assertion");
    return Node::repeat(std::move(atom), min, max);
  }

  // {n}, {n,} or {n,m}; a '{' that begins none of them is an error rather
  // than the literal character PCRE2 would make of it.
  void parse_counted(std::uint32_t& min, std::uint32_t& max) {
    ++pos_;  // '{'
    min = parse_count();
    if (!at_end() && peek() == '}') {
      max = min;
    } else if (!at_end() && peek() == ',') {
      ++pos_;
      max = (!at_end() && peek() == '}') ? kUnbounded : parse_count();
    } else {
      fail("malformed counted repetition");
    }
    if (at_end() || peek() != '}') fail("malformed counted repetition");
    ++pos_;
    if (max < min) fail("counted repetition out of order");
  }

  std::uint32_t parse_count() {
    const std::size_t start = pos_;
    std::uint32_t value = 0;
    while (!at_end() && peek() >= '0' && peek() <= '9') {
      value = value * 10 + std::uint32_t(peek() - '0');
      if (value > kMaxRepeatCount) fail("repetition count too large");
      ++pos_;
    }
    if (pos_ == start) fail("malformed counted repetition");
    return value;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  bool caseless_ = false;
};

}  // namespace

Node parse(std::string_view pattern) { return Parser(pattern).parse_pattern(); }

}  // namespace veltar::regex
