#include "zelvora/yaml_events.hpp"

#include <charconv>
#include <cstring>
#include <limits>
#include <optional>
#include <system_error>
#include <unordered_map>

#include "libyaml_parser.hpp"
#include "zelvora/yaml_structure.hpp"

namespace zelvora {

namespace {

// --- plain scalar resolution (the YAML 1.2 implicit resolvers of the safe loader) -------

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

bool is_sign(char c) {
  return c == '-' || c == '+';
}

// Reads characters of `set` from `at`; returns how many.
template <class Pred>
std::size_t span(std::string_view v, std::size_t at, Pred in_set) {
  std::size_t n = 0;
  while (at + n < v.size() && in_set(v[at + n])) ++n;
  return n;
}

bool digit_or_underscore(char c) {
  return is_digit(c) || c == '_';
}

// [eE] then a sign (required or optional) then [0-9]+, up to the end.
bool exponent_to_end(std::string_view v, std::size_t i, bool sign_required) {
  if (i >= v.size() || (v[i] != 'e' && v[i] != 'E')) return false;
  ++i;
  if (i < v.size() && is_sign(v[i]))
    ++i;
  else if (sign_required)
    return false;
  const std::size_t digits = span(v, i, is_digit);
  return digits > 0 && i + digits == v.size();
}

//  [-+]?[0-9][0-9_]*\.[0-9_]*([eE][-+]?[0-9]+)?
// |[-+]?[0-9][0-9_]*[eE][-+]?[0-9]+
// |[-+]?\.[0-9_]+([eE][-+][0-9]+)?
// |[-+]?\.(inf|Inf|INF)
// |\.(nan|NaN|NAN)
bool is_yaml12_float(std::string_view v) {
  if (v == ".nan" || v == ".NaN" || v == ".NAN") return true;
  std::size_t i = !v.empty() && is_sign(v[0]) ? 1 : 0;
  const std::string_view body = v.substr(i);
  if (body == ".inf" || body == ".Inf" || body == ".INF") return true;
  if (i < v.size() && is_digit(v[i])) {
    i += span(v, i, digit_or_underscore);
    if (i < v.size() && v[i] == '.') {
      i += 1 + span(v, i + 1, digit_or_underscore);
      return i == v.size() || exponent_to_end(v, i, false);
    }
    return exponent_to_end(v, i, false);
  }
  if (i < v.size() && v[i] == '.') {
    const std::size_t digits = span(v, i + 1, digit_or_underscore);
    if (digits == 0) return false;
    i += 1 + digits;
    return i == v.size() || exponent_to_end(v, i, true);
  }
  return false;
}

//  [-+]?0b[0-1_]+ | [-+]?0o?[0-7_]+ | [-+]?[0-9_]+ | [-+]?0x[0-9a-fA-F_]+
bool is_yaml12_int(std::string_view v) {
  const std::string_view b = v.substr(!v.empty() && is_sign(v[0]) ? 1 : 0);
  auto all = [](std::string_view s, auto pred) {
    if (s.empty()) return false;
    for (char c : s)
      if (!pred(c)) return false;
    return true;
  };
  if (b.starts_with("0b") &&
      all(b.substr(2), [](char c) { return c == '0' || c == '1' || c == '_'; }))
    return true;
  if (b.starts_with("0x") && all(b.substr(2), [](char c) {
        return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == '_';
      }))
    return true;
  auto octal = [](char c) { return (c >= '0' && c <= '7') || c == '_'; };
  if (b.starts_with("0o") && all(b.substr(2), octal)) return true;
  if (b.starts_with("0") && all(b.substr(1), octal)) return true;
  return all(b, digit_or_underscore);
}

//  [0-9]{4}-[0-9]{2}-[0-9]{2}
// |[0-9]{4}-[0-9]{1,2}-[0-9]{1,2}([Tt]|[ \t]+)[0-9]{1,2}:[0-9]{2}:[0-9]{2}(\.[0-9]*)?
//  ([ \t]*(Z|[-+][0-9]{1,2}(:[0-9]{2})?))?
bool is_yaml_timestamp(std::string_view v) {
  auto digits = [&](std::size_t& i, std::size_t least, std::size_t most) {
    std::size_t n = 0;
    while (n < most && i + n < v.size() && is_digit(v[i + n])) ++n;
    if (n < least) return false;
    i += n;
    return true;
  };
  auto literal = [&](std::size_t& i, char c) {
    if (i >= v.size() || v[i] != c) return false;
    ++i;
    return true;
  };
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  std::size_t i = 0;
  if (!digits(i, 4, 4) || !literal(i, '-')) return false;
  const std::size_t month = i;
  if (!digits(i, 1, 2)) return false;
  const bool two_digit_month = i - month == 2;
  if (!literal(i, '-')) return false;
  const std::size_t day = i;
  if (!digits(i, 1, 2)) return false;
  if (i == v.size()) return two_digit_month && i - day == 2;
  if (v[i] == 'T' || v[i] == 't') {
    ++i;
  } else {
    const std::size_t n = span(v, i, blank);
    if (n == 0) return false;
    i += n;
  }
  if (!digits(i, 1, 2) || !literal(i, ':') || !digits(i, 2, 2) || !literal(i, ':') ||
      !digits(i, 2, 2))
    return false;
  if (i < v.size() && v[i] == '.') i += 1 + span(v, i + 1, is_digit);
  if (i == v.size()) return true;
  i += span(v, i, blank);
  if (i < v.size() && v[i] == 'Z') return i + 1 == v.size();
  if (i >= v.size() || !is_sign(v[i])) return false;
  ++i;
  if (!digits(i, 1, 2)) return false;
  if (i == v.size()) return true;
  return literal(i, ':') && digits(i, 2, 2) && i == v.size();
}

// --- construction of numbers and booleans, as the safe constructor does it ---------------

YamlTextRef store(std::string& arena, std::string_view bytes) {
  const YamlTextRef ref{static_cast<std::uint32_t>(arena.size()),
                        static_cast<std::uint32_t>(bytes.size())};
  arena.append(bytes);
  return ref;
}

// The text without '_', lower-cased when asked; nullopt for a non-ASCII text, whose
// lower-casing only Python knows.
std::optional<std::string> cleaned(std::string_view v, bool lower) {
  std::string s;
  s.reserve(v.size());
  for (char c : v) {
    if (static_cast<unsigned char>(c) > 0x7f) return std::nullopt;
    if (c == '_') continue;
    s.push_back(lower && c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
  }
  return s;
}

int digit_value(char c) {
  if (is_digit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 99;
}

// Drops '_', takes a sign and a 0b/0x/0o prefix, reads the digits. Texts Python's int()
// would read differently or refuse (empty digits, spaces, other digits) are not taken.
bool construct_int(std::string_view v, YamlEvent& e, std::string& arena) {
  const std::optional<std::string> s = cleaned(v, false);
  if (!s || s->empty()) return false;
  std::string_view rest(*s);
  const bool negative = rest[0] == '-';
  if (is_sign(rest[0])) rest.remove_prefix(1);
  e.scalar = YamlScalarKind::integer;
  if (rest == "0") {
    e.integer = 0;
    return true;
  }
  int base = 10;
  if (rest.starts_with("0b") || rest.starts_with("0x") || rest.starts_with("0o")) {
    base = rest[1] == 'b' ? 2 : rest[1] == 'x' ? 16 : 8;
    rest.remove_prefix(2);
  }
  if (rest.empty()) return false;
  for (char c : rest)
    if (digit_value(c) >= base) return false;
  // Long decimal texts go to Python, which applies its own digit limit.
  if (rest.size() <= 18 || base != 10) {
    std::uint64_t magnitude = 0;
    bool fits = true;
    for (char c : rest) {
      const auto d = static_cast<std::uint64_t>(digit_value(c));
      if (magnitude >
          (std::numeric_limits<std::uint64_t>::max() - d) / static_cast<unsigned>(base)) {
        fits = false;
        break;
      }
      magnitude = magnitude * static_cast<unsigned>(base) + d;
    }
    if (fits && magnitude <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      const auto m = static_cast<std::int64_t>(magnitude);
      e.integer = negative ? -m : m;
      return true;
    }
  }
  e.scalar = YamlScalarKind::big_integer;
  e.base = static_cast<std::uint8_t>(base);
  std::string digits = negative ? "-" : "";
  digits.append(rest);
  e.text = store(arena, digits);
  return true;
}

// digits ['.' digits] [e [+-] digits], with a digit in the mantissa: the decimal forms that
// Python's float() and from_chars read alike.
bool is_plain_decimal(std::string_view s) {
  std::size_t i = span(s, 0, is_digit);
  std::size_t mantissa = i;
  if (i < s.size() && s[i] == '.') {
    const std::size_t fraction = span(s, i + 1, is_digit);
    mantissa += fraction;
    i += 1 + fraction;
  }
  if (mantissa == 0) return false;
  return i == s.size() || exponent_to_end(s, i, false);
}

bool construct_float(std::string_view v, YamlEvent& e, std::string& arena) {
  const std::optional<std::string> s = cleaned(v, true);
  if (!s || s->empty()) return false;
  std::string_view rest(*s);
  const bool negative = rest[0] == '-';
  if (is_sign(rest[0])) rest.remove_prefix(1);
  if (rest == ".nan") {
    e.scalar = YamlScalarKind::nan;
    return true;
  }
  e.scalar = YamlScalarKind::real;
  if (rest == ".inf") {
    e.real = negative ? -std::numeric_limits<double>::infinity()
                      : std::numeric_limits<double>::infinity();
    return true;
  }
  if (!is_plain_decimal(rest)) return false;
  double x = 0;
  const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), x);
  if (error == std::errc() && end == rest.data() + rest.size()) {
    e.real = negative ? -x : x;
    return true;
  }
  if (error != std::errc::result_out_of_range) return false;
  e.scalar = YamlScalarKind::real_text;
  e.negative = negative;
  e.text = store(arena, rest);
  return true;
}

bool construct_bool(std::string_view v, YamlEvent& e) {
  const std::optional<std::string> s = cleaned(v, true);
  if (!s || s->size() != v.size()) return false;  // '_' is not dropped for booleans
  e.scalar = YamlScalarKind::boolean;
  for (std::string_view word : {"yes", "y", "true", "on"})
    if (*s == word) return (e.integer = 1, true);
  for (std::string_view word : {"no", "n", "false", "off"})
    if (*s == word) return (e.integer = 0, true);
  return false;
}

// Plain scalar without a tag. The text itself is left for the caller to store.
bool resolve_plain(std::string_view v, YamlEvent& e, std::string& arena) {
  e.scalar = YamlScalarKind::text;
  if (v.empty()) return (e.scalar = YamlScalarKind::null, true);
  // `$` in the loader's patterns also matches before a final line break.
  if (v.back() == '\n') return false;
  switch (v[0]) {
    case '~':
      if (v == "~") e.scalar = YamlScalarKind::null;
      return true;
    case 'n':
    case 'N':
      if (v == "null" || v == "Null" || v == "NULL") e.scalar = YamlScalarKind::null;
      return true;
    case 't':
    case 'T':
    case 'f':
    case 'F':
      if (v == "true" || v == "True" || v == "TRUE" || v == "false" || v == "False" || v == "FALSE")
        return construct_bool(v, e);
      return true;
    case '<':  // a merge key
      return v != "<<";
    case '=':  // a value key
      return v != "=";
    default:
      break;
  }
  if (v[0] == '.' || is_sign(v[0]) || is_digit(v[0])) {
    if (is_yaml12_float(v)) return construct_float(v, e, arena);
    if (v[0] != '.' && is_yaml12_int(v)) return construct_int(v, e, arena);
    if (is_digit(v[0]) && is_yaml_timestamp(v)) {
      e.scalar = YamlScalarKind::timestamp;
      e.text = store(arena, v);
    }
  }
  return true;
}

// --- tags ---------------------------------------------------------------------------------

enum class CoreTag { none, str, int_, float_, bool_, null, binary, timestamp, seq, map, other };

CoreTag core_tag(const yaml_char_t* tag) {
  if (!tag) return CoreTag::none;
  constexpr std::string_view prefix = "tag:yaml.org,2002:";
  std::string_view t(reinterpret_cast<const char*>(tag));
  if (!t.starts_with(prefix)) return CoreTag::other;
  t.remove_prefix(prefix.size());
  if (t == "str") return CoreTag::str;
  if (t == "int") return CoreTag::int_;
  if (t == "float") return CoreTag::float_;
  if (t == "bool") return CoreTag::bool_;
  if (t == "null") return CoreTag::null;
  if (t == "binary") return CoreTag::binary;
  if (t == "timestamp") return CoreTag::timestamp;
  if (t == "seq") return CoreTag::seq;
  if (t == "map") return CoreTag::map;
  return CoreTag::other;
}

bool construct_tagged(CoreTag tag, std::string_view v, YamlEvent& e, std::string& arena) {
  switch (tag) {
    case CoreTag::str:
      e.scalar = YamlScalarKind::text;
      return true;
    case CoreTag::null:
      e.scalar = YamlScalarKind::null;
      return true;
    case CoreTag::bool_:
      return construct_bool(v, e);
    case CoreTag::int_:
      return construct_int(v, e, arena);
    case CoreTag::float_:
      return construct_float(v, e, arena);
    case CoreTag::binary:
    case CoreTag::timestamp:
      e.scalar = tag == CoreTag::binary ? YamlScalarKind::binary : YamlScalarKind::timestamp;
      e.text = store(arena, v);
      return true;
    default:
      return false;
  }
}

// --- the event pass ------------------------------------------------------------------------

std::uint32_t clamp32(std::size_t n) {
  return n > std::numeric_limits<std::uint32_t>::max() ? std::numeric_limits<std::uint32_t>::max()
                                                       : static_cast<std::uint32_t>(n);
}

// Texts on which libyaml and the loader's own scanner are known to part:
// - tabs (the loader refuses them in more places);
// - a comment right after a block scalar's indicators ("|-#");
// - an anchor or alias name followed by a character that the loader takes as part of the
//   name ("&a:" is "a" to libyaml, "a:" to the loader);
// - in a text with flow collections, ':' starting a token and followed by a non-blank
//   ("[:x]" is a value indicator to libyaml, a plain scalar to the loader; see also
//   quoted_key_read_alike);
// - a tag (not verbatim) holding a flow indicator ("[!!str,x]": libyaml ends the tag
//   there, the loader does not);
// - more than one "..." line (libyaml skips the later ones, the loader starts a document);
// - a byte-order mark past the start (libyaml skips one at any line start);
// - NEL, LS and PS (line breaks to both, folded differently).
// The writer escapes tabs and those breaks in texts and writes no such ':' or "...", so the
// documents it writes never meet these.
bool has_divergent_characters(std::string_view t) {
  int document_ends = 0;
  const bool has_flow = t.find_first_of("[{") != std::string_view::npos;
  for (std::size_t i = 0; i < t.size(); ++i) {
    const auto c = static_cast<unsigned char>(t[i]);
    if (c == '\t') return true;
    if (c == ':' && has_flow) {
      if (i + 1 < t.size() && std::string_view(" \r\n").find(t[i + 1]) == std::string_view::npos &&
          (i == 0 || std::string_view("[]{},? \r\n").find(t[i - 1]) != std::string_view::npos))
        return true;
      continue;
    }
    if (c == '.' && (i == 0 || t[i - 1] == '\n' || t[i - 1] == '\r') && t.substr(i, 3) == "..." &&
        (i + 3 == t.size() || std::string_view(" \r\n").find(t[i + 3]) != std::string_view::npos) &&
        ++document_ends > 1)
      return true;
    if (c == '#') {
      std::size_t j = i;
      while (j > 0 && j + 2 >= i && (t[j - 1] == '-' || t[j - 1] == '+' || is_digit(t[j - 1]))) --j;
      if (j > 0 && (t[j - 1] == '|' || t[j - 1] == '>')) return true;
      continue;
    }
    if (c == '!' && t.substr(i + 1, 1) != "<" &&
        (i == 0 || std::string_view(" \r\n[]{},").find(t[i - 1]) != std::string_view::npos)) {
      for (std::size_t j = i + 1; j < t.size() && t[j] != ' ' && t[j] != '\r' && t[j] != '\n'; ++j)
        if (std::string_view(",[]{}").find(t[j]) != std::string_view::npos) return true;
      continue;
    }
    if ((c == '&' || c == '*') &&
        (i == 0 || std::string_view(" \r\n[]{},").find(t[i - 1]) != std::string_view::npos)) {
      const std::size_t n = span(t, i + 1, [](char x) {
        return is_digit(x) || (x >= 'a' && x <= 'z') || (x >= 'A' && x <= 'Z') || x == '_' ||
               x == '-';
      });
      if (n > 0 && i + 1 + n < t.size() &&
          std::string_view("?:%@`").find(t[i + 1 + n]) != std::string_view::npos)
        return true;
      continue;
    }
    if (c < 0xc2 || i + 1 >= t.size()) continue;
    const auto c1 = static_cast<unsigned char>(t[i + 1]);
    if (c == 0xc2 && c1 == 0x85) return true;
    if (i + 2 < t.size()) {
      const auto c2 = static_cast<unsigned char>(t[i + 2]);
      if (c == 0xe2 && c1 == 0x80 && (c2 == 0xa8 || c2 == 0xa9)) return true;
      if (c == 0xef && c1 == 0xbb && c2 == 0xbf && i > 0) return true;
    }
  }
  return false;
}

class DocumentBuilder {
 public:
  explicit DocumentBuilder(std::string_view utf8)
      : source_(utf8), has_percent_(utf8.find('%') != std::string_view::npos) {
    // libyaml's marks count characters, from after a leading byte-order mark.
    if (source_.starts_with("\xef\xbb\xbf")) cursor_bytes_ = 3;
    // Offsets into the scalar bytes are 32-bit.
    building_ = utf8.size() < std::numeric_limits<std::uint32_t>::max() / 2 &&
                !has_divergent_characters(utf8);
  }

  /// Takes one event; false once the stream has ended.
  bool take(const yaml_event_t& ev) {
    libyaml::feed_budget(budget_, ev);
    switch (ev.type) {
      case YAML_STREAM_END_EVENT:
        return false;
      case YAML_DOCUMENT_START_EVENT:
        if (++documents_ > 1 || ev.data.document_start.version_directive ||
            ev.data.document_start.tag_directives.start !=
                ev.data.document_start.tag_directives.end)
          give_up();
        break;
      case YAML_SEQUENCE_START_EVENT:
        collection_start(ev, YamlEventKind::sequence_start, ev.data.sequence_start.anchor,
                         ev.data.sequence_start.tag, CoreTag::seq,
                         ev.data.sequence_start.style == YAML_FLOW_SEQUENCE_STYLE);
        break;
      case YAML_MAPPING_START_EVENT:
        collection_start(ev, YamlEventKind::mapping_start, ev.data.mapping_start.anchor,
                         ev.data.mapping_start.tag, CoreTag::map,
                         ev.data.mapping_start.style == YAML_FLOW_MAPPING_STYLE);
        break;
      case YAML_SEQUENCE_END_EVENT:
      case YAML_MAPPING_END_EVENT:
        collection_end(ev.type == YAML_MAPPING_END_EVENT ? YamlEventKind::mapping_end
                                                         : YamlEventKind::sequence_end);
        break;
      case YAML_SCALAR_EVENT:
        scalar(ev);
        break;
      case YAML_ALIAS_EVENT:
        alias(ev);
        break;
      default:
        break;
    }
    return true;
  }

  YamlDocument finish() {
    if (!building_) doc_.outcome = YamlReadOutcome::full_reader;
    return std::move(doc_);
  }

 private:
  struct Open {
    std::size_t start;  ///< index of the start event
    std::uint64_t count = 0;
    std::uint32_t anchor = 0;
    bool mapping = false;
    bool flow = false;
    bool at_key = true;
  };
  struct Anchor {
    bool open = false;
    bool collection = false;
  };

  // The byte offset of a character index; indices asked for never decrease.
  std::size_t byte_at(std::size_t index) {
    while (cursor_chars_ < index && cursor_bytes_ < source_.size()) {
      const auto lead = static_cast<unsigned char>(source_[cursor_bytes_]);
      cursor_bytes_ += lead < 0x80 ? 1 : lead < 0xe0 ? 2 : lead < 0xf0 ? 3 : 4;
      ++cursor_chars_;
    }
    return cursor_bytes_;
  }

  // The loader's scanner refuses a block scalar whose leading empty lines hold spaces and
  // are less indented than a later line; libyaml reads it. At the root, libyaml's content
  // must be indented, the loader's need not be.
  bool block_scalar_read_alike(std::size_t start_index) {
    if (open_.empty()) return false;
    std::size_t at = source_.find_first_of("|>", byte_at(start_index));
    at = source_.find_first_of("\r\n", at);
    while (at != std::string_view::npos && at < source_.size()) {
      at += source_.compare(at, 2, "\r\n") == 0 ? 2 : 1;
      const std::size_t spaces = span(source_, at, [](char c) { return c == ' '; });
      if (at + spaces < source_.size() && source_[at + spaces] != '\r' &&
          source_[at + spaces] != '\n')
        return true;  // the first line with content
      if (spaces > 0) return false;
      at += spaces;
    }
    return true;
  }

  // In a flow collection libyaml takes ':' right after a quoted scalar for a value
  // indicator even before a non-blank ('["a":b]'); the loader does not.
  bool quoted_key_read_alike(std::size_t end_index) {
    if (open_.empty() || !open_.back().flow) return true;
    const std::size_t end = byte_at(end_index);
    return !(end + 1 < source_.size() && source_[end] == ':' && source_[end + 1] != ' ' &&
             source_[end + 1] != '\r' && source_[end + 1] != '\n');
  }

  void give_up() {
    building_ = false;
    doc_.events = {};
    doc_.text = {};
    open_ = {};
    anchors_ = {};
    anchor_ids_ = {};
  }

  bool at_key() const { return !open_.empty() && open_.back().mapping && open_.back().at_key; }

  void node_done() {
    if (open_.empty()) return;
    Open& parent = open_.back();
    ++parent.count;
    if (parent.mapping) parent.at_key = !parent.at_key;
  }

  YamlEvent& emit(YamlEventKind kind, const yaml_event_t& ev) {
    YamlEvent& e = doc_.events.emplace_back();
    e.kind = kind;
    e.line = clamp32(ev.start_mark.line);
    e.column = clamp32(ev.start_mark.column);
    return e;
  }

  // A new anchor's number; 0 when the name is taken (the loader warns and rebinds it).
  std::uint32_t define_anchor(const yaml_char_t* anchor, bool collection) {
    if (!anchor) return 0;
    auto [it, added] = anchor_ids_.try_emplace(reinterpret_cast<const char*>(anchor),
                                               static_cast<std::uint32_t>(anchors_.size() + 1));
    if (!added) return 0;
    anchors_.push_back({.open = collection, .collection = collection});
    doc_.anchor_count = static_cast<std::uint32_t>(anchors_.size());
    return it->second;
  }

  void collection_start(const yaml_event_t& ev, YamlEventKind kind, const yaml_char_t* anchor,
                        const yaml_char_t* tag, CoreTag own_tag, bool flow) {
    if (!building_) return;
    if ((tag && (has_percent_ || core_tag(tag) != own_tag)) || at_key()) return give_up();
    const std::uint32_t id = define_anchor(anchor, true);
    if (anchor && !id) return give_up();
    YamlEvent& e = emit(kind, ev);
    e.anchor = id;
    e.count = 0;
    ++doc_.collection_count;
    open_.push_back({.start = doc_.events.size() - 1,
                     .anchor = id,
                     .mapping = kind == YamlEventKind::mapping_start,
                     .flow = flow});
  }

  void collection_end(YamlEventKind kind) {
    if (!building_) return;
    const Open closed = open_.back();
    open_.pop_back();
    doc_.events[closed.start].count = closed.count;
    if (closed.anchor) anchors_[closed.anchor - 1].open = false;
    doc_.events.emplace_back().kind = kind;
    node_done();
  }

  void scalar(const yaml_event_t& ev) {
    if (!building_) return;
    const auto& s = ev.data.scalar;
    if ((s.style == YAML_LITERAL_SCALAR_STYLE || s.style == YAML_FOLDED_SCALAR_STYLE) &&
        !block_scalar_read_alike(ev.start_mark.index))
      return give_up();
    if ((s.style == YAML_SINGLE_QUOTED_SCALAR_STYLE ||
         s.style == YAML_DOUBLE_QUOTED_SCALAR_STYLE) &&
        !quoted_key_read_alike(ev.end_mark.index))
      return give_up();
    const std::string_view value(reinterpret_cast<const char*>(s.value), s.length);
    const CoreTag tag = core_tag(s.tag);
    YamlEvent e;
    bool loadable;
    if (tag == CoreTag::none)
      loadable = s.style == YAML_PLAIN_SCALAR_STYLE ? resolve_plain(value, e, doc_.text) : true;
    else
      loadable = !has_percent_ && construct_tagged(tag, value, e, doc_.text);
    if (!loadable) return give_up();
    if (e.scalar == YamlScalarKind::text) e.text = store(doc_.text, value);
    const std::uint32_t id = define_anchor(s.anchor, false);
    if (s.anchor && !id) return give_up();
    YamlEvent& stored = emit(YamlEventKind::scalar, ev);
    const std::uint32_t line = stored.line, column = stored.column;
    stored = e;
    stored.kind = YamlEventKind::scalar;
    stored.anchor = id;
    stored.line = line;
    stored.column = column;
    node_done();
  }

  void alias(const yaml_event_t& ev) {
    if (!building_) return;
    const auto found = anchor_ids_.find(reinterpret_cast<const char*>(ev.data.alias.anchor));
    if (found == anchor_ids_.end()) return give_up();  // the loader's undefined-alias error
    const Anchor& target = anchors_[found->second - 1];
    // A collection that holds itself, or a collection as a mapping key.
    if (target.open || (target.collection && at_key())) return give_up();
    emit(YamlEventKind::alias, ev).anchor = found->second;
    node_done();
  }

  std::string_view source_;
  std::size_t cursor_chars_ = 0, cursor_bytes_ = 0;
  YamlDocument doc_;
  YamlStructureBudget budget_;
  std::vector<Open> open_;
  std::vector<Anchor> anchors_;
  std::unordered_map<std::string, std::uint32_t> anchor_ids_;
  int documents_ = 0;
  bool has_percent_;
  bool building_ = true;
};

}  // namespace

YamlDocument read_yaml_document(std::string_view utf8) {
  libyaml::Parser parser(utf8);
  DocumentBuilder builder(utf8);
  for (;;) {
    libyaml::Event e;
    if (!parser.parse(e.event)) {
      YamlDocument refused;
      refused.outcome = YamlReadOutcome::refused;
      return refused;
    }
    if (!builder.take(e.event)) return builder.finish();
  }
}

}  // namespace zelvora
