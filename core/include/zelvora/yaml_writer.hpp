// A block-style YAML writer for plain data (mappings with text keys, sequences, texts,
// numbers, booleans, nulls).
//
// It writes the bytes ruamel.yaml's round-trip emitter writes for the same nodes under
// the package's writer settings: block style (empty collections in flow style), width
// 120, indentation 2 with sequences under a key not indented, Unicode written as is, an
// implicit first document and "---" before every later one. Texts are quoted as that
// emitter's scalar analysis decides under its YAML 1.2 resolver, and further as the
// package keeps texts readable by YAML 1.1 readers: a text a 1.1 reader takes for another
// kind single-quoted, a text holding NEL, LS or PS double-quoted.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zelvora::yaml {

/// One node of a plain-data document.
struct Node {
  enum class Kind : std::uint8_t {
    text,   ///< a text (quoted as needed)
    plain,  ///< a number, boolean or null: `value` is its plain YAML text
    sequence,
    mapping  ///< `children` holds keys (text nodes) and values alternately, in order
  };
  Kind kind = Kind::plain;
  std::u32string value;  ///< the scalar's code points (lone surrogates included)
  std::vector<Node> children;
};

/// The YAML text of a stream of documents, UTF-8; empty for no documents. A part of a
/// stream: without `starts_stream` the first document gets "---" too, without
/// `ends_stream` no end marker follows the last.
std::string write_documents(const std::vector<Node>& documents, bool starts_stream = true,
                            bool ends_stream = true);

/// The plain text of a float: ".nan", ".inf", "-.inf", else Python's repr, with ".0"
/// before the exponent of a repr without a point ("1.0e+17": YAML 1.1 reads "1e+17" as a
/// text).
std::string float_text(double x);

/// The quoting the package asks for so that a YAML 1.1 reader reads a text back as text:
/// double quotes for a text holding NEL, LS or PS (unescaped, readers fold them away),
/// single quotes for one a 1.1 reader takes for another kind (number, sexagesimal,
/// timestamp, boolean, null, merge or value key), else none: the emitter decides.
enum class Yaml11Quoting : std::uint8_t { none, single, double_quoted };
Yaml11Quoting yaml11_quoting(std::u32string_view text);

/// Whether Python's repr of `x` has an exponent: finite, non-zero, |x| < 1e-4 or >= 1e16.
bool has_exponent_form(double x);

/// A float's repr with ".0" before the exponent when it has no point ("1e+17" gives
/// "1.0e+17", which YAML 1.1 reads as the same number; it reads "1e+17" as a text).
std::string point_before_exponent(std::string repr);

/// Whether a YAML reader of the version (11 or 12) resolves the plain text to another
/// kind than text (number, boolean, null, timestamp, merge or value key), as
/// ruamel.yaml's implicit resolvers of that version do.
bool resolves_to_other_kind(std::u32string_view text, int version);

}  // namespace zelvora::yaml
