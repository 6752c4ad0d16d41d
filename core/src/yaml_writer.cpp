#include "zelvora/yaml_writer.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <optional>

#include "zelvora/number_format.hpp"

namespace zelvora::yaml {

namespace {

// --- implicit resolvers ------------------------------------------------------------------
//
// ruamel.yaml's implicit resolver patterns, as hand-written matchers of the whole text
// (a backtracking regex engine recurses per character, which long texts must not reach).
// A resolver is tried only for the first characters it is registered for.

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

class Cursor {
 public:
  explicit Cursor(std::string_view text) : s_(text) {}
  bool done() const { return p_ == s_.size(); }
  bool peek(char c) const { return p_ < s_.size() && s_[p_] == c; }
  bool eat(char c) {
    if (!peek(c)) return false;
    ++p_;
    return true;
  }
  bool eat_sign() { return eat('-') || eat('+'); }
  bool eat_digit() {
    if (p_ < s_.size() && is_digit(s_[p_])) {
      ++p_;
      return true;
    }
    return false;
  }
  template <class Pred>
  std::size_t eat_while(Pred pred) {
    const std::size_t from = p_;
    while (p_ < s_.size() && pred(s_[p_])) ++p_;
    return p_ - from;
  }
  bool eat_word(std::string_view word) {
    if (s_.substr(p_, word.size()) != word) return false;
    p_ += word.size();
    return true;
  }
  std::string_view rest() const { return s_.substr(p_); }

 private:
  std::string_view s_;
  std::size_t p_ = 0;
};

bool digit_or_underscore(char c) {
  return is_digit(c) || c == '_';
}

bool any_of_words(std::string_view s, std::initializer_list<std::string_view> words) {
  return std::find(words.begin(), words.end(), s) != words.end();
}

// (?:[eE][-+]?[0-9]+)? up to the end; the sign required when `signed_exponent`.
bool exponent_to_end(Cursor c, bool signed_exponent) {
  if (c.done()) return true;
  if (!c.eat('e') && !c.eat('E')) return false;
  if (!c.eat_sign() && signed_exponent) return false;
  return c.eat_while(is_digit) > 0 && c.done();
}

// [-+]?[0-9][0-9_]*\.[0-9_]*(?:[eE][-+]?[0-9]+)?
bool float_with_point(Cursor c) {
  c.eat_sign();
  if (!c.eat_digit()) return false;
  c.eat_while(digit_or_underscore);
  if (!c.eat('.')) return false;
  c.eat_while(digit_or_underscore);
  return exponent_to_end(c, false);
}

// [-+]?[0-9][0-9_]*[eE][-+]?[0-9]+
bool float_with_exponent(Cursor c) {
  c.eat_sign();
  if (!c.eat_digit()) return false;
  c.eat_while(digit_or_underscore);
  return !c.done() && exponent_to_end(c, false);
}

// [-+]?\.[0-9_]+(?:[eE][-+][0-9]+)?, the sign allowed when `sign`
bool float_from_point(Cursor c, bool sign) {
  if (sign) c.eat_sign();
  if (!c.eat('.')) return false;
  if (c.eat_while(digit_or_underscore) == 0) return false;
  return exponent_to_end(c, true);
}

// (?::[0-5]?[0-9])+ : greedy is exact, the groups being followed by ':' or '.' or the end.
bool sexagesimal_groups(Cursor& c) {
  std::size_t groups = 0;
  while (c.eat(':')) {
    const std::string_view r = c.rest();
    if (r.size() >= 2 && r[0] >= '0' && r[0] <= '5' && is_digit(r[1])) {
      c.eat_digit();
      c.eat_digit();
    } else if (!c.eat_digit()) {
      return false;
    }
    ++groups;
  }
  return groups > 0;
}

bool special_float(Cursor c) {
  Cursor signed_c = c;
  signed_c.eat_sign();
  if (signed_c.eat('.') &&
      (signed_c.eat_word("inf") || signed_c.eat_word("Inf") || signed_c.eat_word("INF")) &&
      signed_c.done())
    return true;
  return c.eat('.') && (c.eat_word("nan") || c.eat_word("NaN") || c.eat_word("NAN")) && c.done();
}

bool float12(std::string_view s) {
  const Cursor c(s);
  return float_with_point(c) || float_with_exponent(c) || float_from_point(c, true) ||
         special_float(c);
}

bool float11(std::string_view s) {
  const Cursor c(s);
  if (float_with_point(c) || float_with_exponent(c) || float_from_point(c, false) ||
      special_float(c))
    return true;
  // [-+]?[0-9][0-9_]*(?::[0-5]?[0-9])+\.[0-9_]*
  Cursor x(s);
  x.eat_sign();
  if (!x.eat_digit()) return false;
  x.eat_while(digit_or_underscore);
  if (!sexagesimal_groups(x) || !x.eat('.')) return false;
  x.eat_while(digit_or_underscore);
  return x.done();
}

template <class Pred>
bool all_nonempty(std::string_view s, Pred pred) {
  return !s.empty() && std::all_of(s.begin(), s.end(), pred);
}

bool binary_digit(char c) {
  return c == '0' || c == '1' || c == '_';
}
bool octal_digit(char c) {
  return (c >= '0' && c <= '7') || c == '_';
}
bool hex_digit(char c) {
  return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == '_';
}

std::string_view unsigned_part(std::string_view s) {
  if (!s.empty() && (s[0] == '-' || s[0] == '+')) s.remove_prefix(1);
  return s;
}

bool prefixed(std::string_view r, std::string_view prefix, bool (*digit)(char)) {
  return r.substr(0, prefix.size()) == prefix && all_nonempty(r.substr(prefix.size()), digit);
}

bool int12(std::string_view s) {
  const std::string_view r = unsigned_part(s);
  return prefixed(r, "0b", binary_digit) || prefixed(r, "0o", octal_digit) ||
         prefixed(r, "0", octal_digit) || all_nonempty(r, digit_or_underscore) ||
         prefixed(r, "0x", hex_digit);
}

bool int11(std::string_view s) {
  const std::string_view r = unsigned_part(s);
  if (prefixed(r, "0b", binary_digit) || all_nonempty(r, octal_digit) || r == "0" ||
      prefixed(r, "0x", hex_digit))
    return true;
  if (r.empty() || r[0] < '1' || r[0] > '9') return false;
  if (std::all_of(r.begin() + 1, r.end(), digit_or_underscore)) return true;
  // [1-9][0-9_]*(?::[0-5]?[0-9])+
  Cursor c(r);
  c.eat_digit();
  c.eat_while(digit_or_underscore);
  return sexagesimal_groups(c) && c.done();
}

bool timestamp(std::string_view s) {
  Cursor c(s);
  for (int i = 0; i < 4; ++i)
    if (!c.eat_digit()) return false;
  if (!c.eat('-')) return false;
  const std::string_view after_year = c.rest();
  if (after_year.size() == 5 && is_digit(after_year[0]) && is_digit(after_year[1]) &&
      after_year[2] == '-' && is_digit(after_year[3]) && is_digit(after_year[4]))
    return true;
  auto one_or_two_digits = [&c] {
    if (!c.eat_digit()) return false;
    c.eat_digit();
    return true;
  };
  if (!one_or_two_digits() || !c.eat('-') || !one_or_two_digits()) return false;
  auto blank = [](char ch) { return ch == ' ' || ch == '\t'; };
  if (!c.eat('T') && !c.eat('t') && c.eat_while(blank) == 0) return false;
  if (!one_or_two_digits() || !c.eat(':') || !c.eat_digit() || !c.eat_digit() || !c.eat(':') ||
      !c.eat_digit() || !c.eat_digit())
    return false;
  if (c.eat('.')) c.eat_while(is_digit);
  if (c.done()) return true;
  c.eat_while(blank);
  if (c.eat('Z')) return c.done();
  if (!c.eat_sign() || !one_or_two_digits()) return false;
  if (c.eat(':') && !(c.eat_digit() && c.eat_digit())) return false;
  return c.done();
}

bool null_word(std::string_view s) {
  return any_of_words(s, {"~", "null", "Null", "NULL", ""});
}

bool bool12(std::string_view s) {
  return any_of_words(s, {"true", "True", "TRUE", "false", "False", "FALSE"});
}

bool in(char c, std::string_view set) {
  return set.find(c) != std::string_view::npos;
}

// Python's `re.match` with a pattern ending in `$` also matches before a final newline.
template <class Matcher>
bool matches(std::string_view s, Matcher matcher) {
  return matcher(s) || (!s.empty() && s.back() == '\n' && matcher(s.substr(0, s.size() - 1)));
}

bool resolves_ascii(std::string_view s, int version) {
  if (s.empty()) return true;  // the null resolver's empty alternative
  const char first = s[0];
  const bool v12 = version == 12;
  if (v12 && in(first, "tTfF") && matches(s, bool12)) return true;
  if (in(first, "-+0123456789.") && matches(s, v12 ? float12 : float11)) return true;
  if (in(first, "-+0123456789") && matches(s, v12 ? int12 : int11)) return true;
  if (first == '<' && matches(s, [](std::string_view x) { return x == "<<"; })) return true;
  if (in(first, "~nN") && matches(s, null_word)) return true;
  if (is_digit(first) && matches(s, timestamp)) return true;
  if (first == '=' && matches(s, [](std::string_view x) { return x == "="; })) return true;
  if (in(first, "!&*") && matches(s, [](std::string_view x) { return x.size() == 1; })) return true;
  if (!v12 && in(first, "yYnNtTfFoO")) {
    return matches(s, [](std::string_view x) {
      return any_of_words(
          x, {"y",    "Y",    "yes",   "Yes",   "YES",   "n",  "N",  "no", "No",  "NO",  "true",
              "True", "TRUE", "false", "False", "FALSE", "on", "On", "ON", "off", "Off", "OFF"});
    });
  }
  return false;
}

std::optional<std::string> ascii_text(std::u32string_view text) {
  std::string ascii;
  ascii.reserve(text.size());
  for (const char32_t c : text) {
    if (c > 0x7f) return std::nullopt;
    ascii.push_back(static_cast<char>(c));
  }
  return ascii;
}

// --- the package's YAML 1.1 readability rules ----------------------------------------------

bool is_yaml11_word(std::u32string_view text) {
  static constexpr std::u32string_view words[] = {
      U"y",  U"Y",    U"yes",  U"Yes",  U"YES",   U"n",     U"N",     U"no", U"No",
      U"NO", U"true", U"True", U"TRUE", U"false", U"False", U"FALSE", U"on", U"On",
      U"ON", U"off",  U"Off",  U"OFF",  U"null",  U"Null",  U"NULL"};
  return std::find(std::begin(words), std::end(words), text) != std::end(words);
}

// Only texts starting with one of the characters of those forms are resolved; the words
// are compared exactly.
bool may_read_as_other_kind_in_yaml11(std::u32string_view text) {
  if (text.empty()) return false;  // the emitter always quotes it
  const char32_t first = text[0];
  if (first > 0x7f) return false;
  const char c = static_cast<char>(first);
  if (in(c, "yYnNtTfFoO")) return is_yaml11_word(text);
  if (!in(c, "-+.0123456789<=~")) return false;
  return resolves_to_other_kind(text, 11);
}

bool is_unicode_line_break(char32_t c) {
  return c == 0x85 || c == 0x2028 || c == 0x2029;
}

bool is_line_break(char32_t c) {
  return c == U'\n' || is_unicode_line_break(c);
}

bool is_blank_or_break(char32_t c) {
  return c == 0 || c == U' ' || c == U'\t' || c == U'\r' || is_line_break(c);
}

// --- the emitter ---------------------------------------------------------------------------

constexpr std::ptrdiff_t kBestWidth = 120;
constexpr std::ptrdiff_t kIndentStep = 2;  // sequences and mappings alike
constexpr std::ptrdiff_t kMaxSimpleKeyLength = 128;
constexpr std::ptrdiff_t kTextTagLength = 5;  // "!!str", counted against simple keys

enum class Style : char { plain = 0, single = '\'', double_quoted = '"' };

struct Analysis {
  bool empty = false;
  bool multiline = false;
  bool allow_block_plain = true;
  bool allow_single_quoted = true;
};

Analysis analyze_scalar(std::u32string_view s) {
  Analysis a;
  if (s.empty()) {
    a.empty = true;
    return a;
  }
  bool block_indicators = false, line_breaks = false, special_characters = false;
  bool leading_space = false, leading_break = false, trailing_space = false, trailing_break = false,
       break_space = false, space_break = false;
  auto starts_with = [s](std::u32string_view p) { return s.substr(0, p.size()) == p; };
  if (starts_with(U"---") || starts_with(U"...")) block_indicators = true;
  bool preceded_by_whitespace = true;
  bool followed_by_whitespace = s.size() == 1 || is_blank_or_break(s[1]);
  bool previous_space = false, previous_break = false;
  const std::size_t n = s.size();
  for (std::size_t index = 0; index < n; ++index) {
    const char32_t ch = s[index];
    if (index == 0) {
      if (std::u32string_view(U"#,[]{}&*!|>'\"%@`").find(ch) != std::u32string_view::npos)
        block_indicators = true;
      if ((ch == U'?' || ch == U':') && followed_by_whitespace) block_indicators = true;
      if (ch == U'-' && followed_by_whitespace) block_indicators = true;
    } else {
      if (ch == U':' && followed_by_whitespace) block_indicators = true;
      if (ch == U'#' && preceded_by_whitespace) block_indicators = true;
    }
    if (is_line_break(ch)) line_breaks = true;
    if (!(ch == U'\n' || (ch >= 0x20 && ch <= 0x7e))) {
      const bool printable =
          (ch == 0x85 || (ch >= 0xa0 && ch <= 0xd7ff) || (ch >= 0xe000 && ch <= 0xfffd) ||
           (ch >= 0x10000 && ch <= 0x10ffff)) &&
          ch != 0xfeff;
      if (!printable) special_characters = true;
    }
    if (ch == U' ') {
      if (index == 0) leading_space = true;
      if (index == n - 1) trailing_space = true;
      if (previous_break) break_space = true;
      previous_space = true;
      previous_break = false;
    } else if (is_line_break(ch)) {
      if (index == 0) leading_break = true;
      if (index == n - 1) trailing_break = true;
      if (previous_space) space_break = true;
      previous_space = false;
      previous_break = true;
    } else {
      previous_space = false;
      previous_break = false;
    }
    preceded_by_whitespace = is_blank_or_break(ch);
    followed_by_whitespace = index + 2 >= n || is_blank_or_break(s[index + 2]);
  }
  if (leading_space || leading_break || trailing_space || trailing_break)
    a.allow_block_plain = false;
  if (break_space) a.allow_block_plain = a.allow_single_quoted = false;
  if (special_characters || space_break) a.allow_block_plain = a.allow_single_quoted = false;
  if (line_breaks) a.allow_block_plain = false;
  if (block_indicators) a.allow_block_plain = false;
  a.multiline = line_breaks;
  return a;
}

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xc0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3f)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xe0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3f)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3f)));
  } else {
    out.push_back(static_cast<char>(0xf0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3f)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3f)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3f)));
  }
}

std::ptrdiff_t ssize(std::u32string_view s) {
  return static_cast<std::ptrdiff_t>(s.size());
}

// ruamel.yaml's emitter, reduced to the events of plain data in block style: its state
// (column, whitespace, indention, the indent stack...) and its writers, step by step, so
// that every space and line break falls where it puts it.
class Emitter {
 public:
  std::string out;

  void documents(const std::vector<Node>& docs, bool starts_stream, bool ends_stream) {
    bool first = starts_stream;
    for (const Node& doc : docs) {
      if (!first) {
        write_indent();
        write_indicator(U"---", true);
      }
      first = false;
      expect_node(doc, Context::root);
      write_indent();
    }
    if (ends_stream && !docs.empty() && open_ended_) {
      write_indicator(U"...", true);
      write_indent();
    }
  }

 private:
  struct Indent {
    std::optional<std::ptrdiff_t> value;
    bool sequence;
  };
  enum class Context { root, sequence, mapping, simple_key };

  std::vector<Indent> indents_;
  std::optional<std::ptrdiff_t> indent_;
  bool root_context_ = false, sequence_context_ = false, mapping_context_ = false,
       simple_key_context_ = false;
  std::ptrdiff_t column_ = 0;
  bool whitespace_ = true, indention_ = true, no_newline_ = false, open_ended_ = false;

  void write(std::u32string_view data) {
    for (const char32_t c : data) {
      if (c < 0x80)
        out.push_back(static_cast<char>(c));
      else
        append_utf8(out, c);
    }
  }

  void increase_indent(bool flow, bool sequence, bool indentless = false) {
    indents_.push_back({indent_, sequence});
    if (!indent_) {
      if (!flow) indent_ = 0;  // a flow node at the top keeps the requested indent: none
    } else if (!indentless) {
      *indent_ += kIndentStep;
    }
  }

  void pop_indent() {
    indent_ = indents_.back().value;
    indents_.pop_back();
  }

  bool seq_seq() const {
    const std::size_t n = indents_.size();
    return n >= 2 && indents_[n - 2].sequence && indents_[n - 1].sequence;
  }

  std::ptrdiff_t seq_flow_align() const {
    if (indents_.size() < 2 || !indents_.back().sequence) return 0;
    const std::ptrdiff_t base = indents_.back().value.value_or(0);
    return base + kIndentStep - column_ - 1;
  }

  void write_indicator(std::u32string_view indicator, bool need_whitespace, bool whitespace = false,
                       bool indention = false) {
    if (!whitespace_ && need_whitespace) {
      out.push_back(' ');
      ++column_;
    }
    whitespace_ = whitespace;
    indention_ = indention_ && indention;
    column_ += ssize(indicator);
    open_ended_ = false;
    write(indicator);
  }

  void write_indent() {
    const std::ptrdiff_t indent = indent_.value_or(0);
    if (!indention_ || column_ > indent || (column_ == indent && !whitespace_)) {
      if (no_newline_)
        no_newline_ = false;
      else
        write_line_break();
    }
    if (column_ < indent) {
      whitespace_ = true;
      out.append(static_cast<std::size_t>(indent - column_), ' ');
      column_ = indent;
    }
  }

  void write_line_break(char32_t data = U'\n') {
    whitespace_ = true;
    indention_ = true;
    column_ = 0;
    append_utf8(out, data);
  }

  // --- nodes

  void expect_node(const Node& node, Context context) {
    root_context_ = context == Context::root;
    sequence_context_ = context == Context::sequence;
    mapping_context_ = context == Context::mapping || context == Context::simple_key;
    simple_key_context_ = context == Context::simple_key;
    switch (node.kind) {
      case Node::Kind::text:
      case Node::Kind::plain: {
        const Analysis analysis = analyze_scalar(node.value);
        const Style style = choose_scalar_style(node, analysis);
        increase_indent(true, false);
        process_scalar(node.value, style);
        pop_indent();
        break;
      }
      case Node::Kind::sequence:
        if (node.children.empty()) {
          empty_flow_collection(U'[', U']', true);
        } else {
          const bool indentless = mapping_context_ && !indention_;
          increase_indent(false, true, indentless);
          if (seq_seq()) {
            indention_ = true;
            no_newline_ = false;
          }
          for (const Node& item : node.children) {
            const bool nonl = column_ == 0 && no_newline_;
            write_indent();
            write_indicator(U"-", true, false, true);
            if (nonl) no_newline_ = true;
            expect_node(item, Context::sequence);
          }
          pop_indent();
          no_newline_ = false;
        }
        break;
      case Node::Kind::mapping:
        if (node.children.empty()) {
          empty_flow_collection(U'{', U'}', false);
        } else {
          increase_indent(false, false);
          for (std::size_t i = 0; i + 1 < node.children.size(); i += 2) {
            const Node& key = node.children[i];
            const Node& value = node.children[i + 1];
            write_indent();
            if (is_simple_key(key)) {
              expect_node(key, Context::simple_key);
              write_indicator(U":", false);
            } else {
              write_indicator(U"?", true, false, true);
              expect_node(key, Context::mapping);
              write_indent();
              write_indicator(U":", true, false, true);
            }
            expect_node(value, Context::mapping);
          }
          pop_indent();
        }
        break;
    }
  }

  void empty_flow_collection(char32_t open, char32_t close, bool sequence) {
    const std::ptrdiff_t align = seq_flow_align();
    std::u32string indicator(static_cast<std::size_t>(std::max<std::ptrdiff_t>(align, 0)), U' ');
    indicator.push_back(open);
    write_indicator(indicator, true, true);
    increase_indent(true, sequence);
    if (sequence && seq_seq()) {
      indention_ = true;
      no_newline_ = false;
    }
    pop_indent();
    write_indicator(std::u32string_view(&close, 1), false);
    write_line_break();
  }

  // A key (a scalar) is written after "? " when it spans lines or, with the "!!str" its
  // tag would take, reaches the emitter's limit of a simple key.
  static bool is_simple_key(const Node& key) {
    if (kTextTagLength + ssize(key.value) >= kMaxSimpleKeyLength) return false;
    return std::none_of(key.value.begin(), key.value.end(), is_line_break);
  }

  Style choose_scalar_style(const Node& node, const Analysis& a) const {
    if (node.kind == Node::Kind::plain) return Style::plain;  // numbers, booleans, null
    const std::u32string_view value = node.value;
    // The package's readability rules first; plain: none requested.
    const Yaml11Quoting quoting = yaml11_quoting(value);
    const Style requested = quoting == Yaml11Quoting::double_quoted ? Style::double_quoted
                            : quoting == Yaml11Quoting::single      ? Style::single
                                                                    : Style::plain;
    if (requested == Style::double_quoted) return Style::double_quoted;
    if (requested == Style::plain && !resolves_to_other_kind(value, 12)) {
      if (!(simple_key_context_ && (a.empty || a.multiline)) && a.allow_block_plain)
        return Style::plain;
    }
    if (requested == Style::plain && (value.find(U'\'') != std::u32string_view::npos ||
                                      value.find(U'\n') != std::u32string_view::npos))
      return Style::double_quoted;
    if (a.allow_single_quoted && !(simple_key_context_ && a.multiline)) return Style::single;
    return Style::double_quoted;
  }

  void process_scalar(std::u32string_view text, Style style) {
    const bool split = !simple_key_context_;
    if (sequence_context_) write_indent();
    switch (style) {
      case Style::double_quoted:
        write_double_quoted(text, split);
        break;
      case Style::single:
        write_single_quoted(text, split);
        break;
      case Style::plain:
        write_plain(text, split);
        break;
    }
  }

  void write_breaks(std::u32string_view text, std::size_t start, std::size_t end) {
    if (text[start] == U'\n') write_line_break();
    for (std::size_t i = start; i < end; ++i) write_line_break(text[i]);
  }

  void write_text(std::u32string_view text, std::size_t start, std::size_t end) {
    column_ += static_cast<std::ptrdiff_t>(end - start);
    write(text.substr(start, end - start));
  }

  void write_plain(std::u32string_view text, bool split) {
    if (root_context_) open_ended_ = true;
    if (text.empty()) return;
    if (!whitespace_) {
      out.push_back(' ');
      ++column_;
    }
    whitespace_ = false;
    indention_ = false;
    bool spaces = false, breaks = false;
    std::size_t start = 0;
    const std::size_t n = text.size();
    for (std::size_t end = 0; end <= n; ++end) {
      const bool at_end = end == n;
      const char32_t ch = at_end ? 0 : text[end];
      if (spaces) {
        if (at_end || ch != U' ') {
          if (start + 1 == end && column_ >= kBestWidth && split) {
            write_indent();
            whitespace_ = false;
            indention_ = false;
          } else {
            write_text(text, start, end);
          }
          start = end;
        }
      } else if (breaks) {
        if (!at_end && !is_line_break(ch)) {
          write_breaks(text, start, end);
          write_indent();
          whitespace_ = false;
          indention_ = false;
          start = end;
        }
      } else if (at_end || ch == U' ' || is_line_break(ch)) {
        const auto length = static_cast<std::ptrdiff_t>(end - start);
        if (length + column_ > kBestWidth && indent_ && column_ > *indent_) write_indent();
        write_text(text, start, end);
        start = end;
      }
      if (!at_end) {
        spaces = ch == U' ';
        breaks = is_line_break(ch);
      }
    }
  }

  void write_single_quoted(std::u32string_view text, bool split) {
    write_indicator(U"'", true);
    bool spaces = false, breaks = false;
    std::size_t start = 0;
    const std::size_t n = text.size();
    for (std::size_t end = 0; end <= n; ++end) {
      const bool at_end = end == n;
      const char32_t ch = at_end ? 0 : text[end];
      if (spaces) {
        if (at_end || ch != U' ') {
          if (start + 1 == end && column_ > kBestWidth && split && start != 0 && end != n)
            write_indent();
          else
            write_text(text, start, end);
          start = end;
        }
      } else if (breaks) {
        if (at_end || !is_line_break(ch)) {
          write_breaks(text, start, end);
          write_indent();
          start = end;
        }
      } else if (at_end || ch == U' ' || is_line_break(ch) || ch == U'\'') {
        if (start < end) {
          write_text(text, start, end);
          start = end;
        }
      }
      if (!at_end && ch == U'\'') {
        out.append("''");
        column_ += 2;
        start = end + 1;
      }
      if (!at_end) {
        spaces = ch == U' ';
        breaks = is_line_break(ch);
      }
    }
    write_indicator(U"'", false);
  }

  static bool written_raw_in_double_quotes(char32_t ch) {
    if (ch == U'"' || ch == U'\\' || ch == 0x85 || ch == 0x2028 || ch == 0x2029 || ch == 0xfeff)
      return false;
    return (ch >= 0x20 && ch <= 0x7e) || (ch >= 0xa0 && ch <= 0xd7ff) ||
           (ch >= 0xe000 && ch <= 0xfffd) || (ch >= 0x10000 && ch <= 0x10ffff);
  }

  static std::string escape(char32_t ch) {
    switch (ch) {
      case 0:
        return "\\0";
      case 0x07:
        return "\\a";
      case 0x08:
        return "\\b";
      case 0x09:
        return "\\t";
      case 0x0a:
        return "\\n";
      case 0x0b:
        return "\\v";
      case 0x0c:
        return "\\f";
      case 0x0d:
        return "\\r";
      case 0x1b:
        return "\\e";
      case U'"':
        return "\\\"";
      case U'\\':
        return "\\\\";
      case 0x85:
        return "\\N";
      case 0xa0:
        return "\\_";
      case 0x2028:
        return "\\L";
      case 0x2029:
        return "\\P";
      default:
        break;
    }
    static constexpr char hex[] = "0123456789ABCDEF";
    const int digits = ch <= 0xff ? 2 : ch <= 0xffff ? 4 : 8;
    std::string data = ch <= 0xff ? "\\x" : ch <= 0xffff ? "\\u" : "\\U";
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4)
      data.push_back(hex[(ch >> shift) & 0xf]);
    return data;
  }

  // Whether a fold at `end` needs a backslash: ruamel's look at the next word, where any
  // index past the text counts as needing one.
  static bool fold_needs_backslash(std::u32string_view text, std::size_t start, std::size_t end) {
    const std::size_t n = text.size();
    std::size_t space_pos = text.find(U' ', end);
    if (space_pos == std::u32string_view::npos) return true;
    const std::size_t newline = text.substr(0, space_pos).find(U'\n', end);
    if (newline != std::u32string_view::npos) space_pos = newline;
    if (text[space_pos] == U'\n') return true;  // either way: no backslash change
    const std::u32string_view word = text.substr(end, space_pos - end);
    if (word.find(U'"') != std::u32string_view::npos ||
        word.find(U'\'') != std::u32string_view::npos)
      return true;
    if (space_pos + 1 >= n) return true;
    const char32_t after = text[space_pos + 1];
    if (after == U' ' || after == U'\n') return true;
    if (text[end - 1] == U' ' && text[end] == U' ') return true;
    return start == end;
  }

  void write_double_quoted(std::u32string_view text, bool split) {
    write_indicator(U"\"", true);
    std::size_t start = 0;
    const std::size_t n = text.size();
    for (std::size_t end = 0; end <= n; ++end) {
      const bool at_end = end == n;
      const char32_t ch = at_end ? 0 : text[end];
      if (at_end || !written_raw_in_double_quotes(ch)) {
        if (start < end) {
          write_text(text, start, end);
          start = end;
        }
        if (!at_end) {
          const std::string data = escape(ch);
          column_ += static_cast<std::ptrdiff_t>(data.size());
          out.append(data);
          start = end + 1;
        }
      }
      if (end > 0 && end + 1 < n && (ch == U' ' || start >= end) &&
          column_ + (static_cast<std::ptrdiff_t>(end) - static_cast<std::ptrdiff_t>(start)) >
              kBestWidth &&
          split) {
        const bool need_backslash = fold_needs_backslash(text, start, end);
        if (start < end) {
          write_text(text, start, end);
          start = end;
        }
        if (need_backslash) {
          out.push_back('\\');
          ++column_;
        }
        write_indent();
        whitespace_ = false;
        indention_ = false;
        if (text[start] == U' ') {
          if (!need_backslash) {
            ++start;
          } else {
            out.push_back('\\');
            ++column_;
          }
        }
      }
    }
    write_indicator(U"\"", false);
  }
};

}  // namespace

bool resolves_to_other_kind(std::u32string_view text, int version) {
  // Every resolver starts with one of these characters (the empty text is null).
  if (!text.empty() &&
      (text[0] > 0x7f || !in(static_cast<char>(text[0]), "-+.0123456789tTfFyYnNoO<~=!&*")))
    return false;
  const std::optional<std::string> ascii = ascii_text(text);
  return ascii && resolves_ascii(*ascii, version);
}

Yaml11Quoting yaml11_quoting(std::u32string_view text) {
  if (std::any_of(text.begin(), text.end(), is_unicode_line_break))
    return Yaml11Quoting::double_quoted;
  if (may_read_as_other_kind_in_yaml11(text)) return Yaml11Quoting::single;
  return Yaml11Quoting::none;
}

bool has_exponent_form(double x) {
  const double magnitude = std::fabs(x);
  return std::isfinite(x) && x != 0 && (magnitude < 1e-4 || magnitude >= 1e16);
}

std::string point_before_exponent(std::string repr) {
  const std::size_t e = repr.find('e');
  if (e != std::string::npos && repr.find('.') == std::string::npos) repr.insert(e, ".0");
  return repr;
}

std::string float_text(double x) {
  if (std::isnan(x)) return ".nan";
  if (std::isinf(x)) return x > 0 ? ".inf" : "-.inf";
  return point_before_exponent(float_repr(x));
}

std::string write_documents(const std::vector<Node>& documents, bool starts_stream,
                            bool ends_stream) {
  Emitter emitter;
  emitter.documents(documents, starts_stream, ends_stream);
  return std::move(emitter.out);
}

}  // namespace zelvora::yaml
