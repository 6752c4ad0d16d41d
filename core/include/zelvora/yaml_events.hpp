// A YAML document read into a compact event vector, its plain scalars already resolved the
// way a YAML 1.2 safe loader resolves them (null, booleans, integers in every base, floats,
// timestamps) and explicitly tagged core scalars checked. A binding builds host objects
// from the vector without parsing again.
//
// The reader covers the documents that the safe loader answers by resolution and plain
// construction alone. Anything it would treat specially (directives, a second document,
// merge keys, unknown or non-core tags, collection keys, recursive or redefined anchors,
// scalars whose construction the loader itself might refuse) is reported as needing the
// full reader instead of being approximated here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zelvora {

enum class YamlEventKind : std::uint8_t {
  scalar,
  sequence_start,
  sequence_end,
  mapping_start,
  mapping_end,
  alias,
};

/// What a scalar event holds, once resolved.
enum class YamlScalarKind : std::uint8_t {
  text,  ///< `text`: the scalar's UTF-8
  null,
  boolean,      ///< `integer`: 0 or 1
  integer,      ///< `integer`
  big_integer,  ///< `text`: digits of base `base` (a leading '-' when negative)
  real,         ///< `real`
  real_text,    ///< `text`: a decimal float Python parses (out of double range);
                ///< `negative` gives its sign
  nan,
  timestamp,  ///< `text`: the scalar, for Python's timestamp constructor
  binary,     ///< `text`: the scalar, base64 for Python's decoder
};

struct YamlTextRef {
  std::uint32_t offset;
  std::uint32_t size;
};

struct YamlEvent {
  YamlEventKind kind = YamlEventKind::scalar;
  YamlScalarKind scalar = YamlScalarKind::text;
  std::uint8_t base = 10;
  bool negative = false;
  /// Anchor of the node (1-based; 0: none), or the anchor an alias names.
  std::uint32_t anchor = 0;
  std::uint32_t line = 0;
  std::uint32_t column = 0;
  union {
    std::int64_t integer;
    double real;
    YamlTextRef text;
    std::uint64_t count;  ///< a collection start: the number of nodes it holds
  };
  YamlEvent() : integer(0) {}
};

enum class YamlReadOutcome : std::uint8_t {
  read,         ///< `events` hold the document (none for an empty stream)
  full_reader,  ///< well-formed YAML whose loading needs the full reader
  refused,      ///< libyaml could not read the text
};

struct YamlDocument {
  YamlReadOutcome outcome = YamlReadOutcome::read;
  std::vector<YamlEvent> events;
  std::string text;  ///< scalar bytes referenced by the events
  std::uint32_t anchor_count = 0;
  std::size_t collection_count = 0;

  std::string_view text_of(const YamlEvent& e) const {
    return std::string_view(text).substr(e.text.offset, e.text.size);
  }
};

/// Reads a single YAML document from UTF-8 text with libyaml's event parser, under the
/// structure budget of yaml_structure.hpp (in the same pass). Throws YamlStructureError
/// at the first event past a bound; any other problem is reported in `outcome`.
YamlDocument read_yaml_document(std::string_view utf8);

}  // namespace zelvora
