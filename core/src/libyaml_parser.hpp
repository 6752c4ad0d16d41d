// libyaml's event parser over a UTF-8 text, with its parser and events owned (private to
// the core's YAML passes).
#pragma once

#include <yaml.h>

#include <new>
#include <optional>
#include <string_view>

#include "zelvora/yaml_structure.hpp"

namespace zelvora::libyaml {

/// A parser reading `utf8`, which must outlive it.
class Parser {
 public:
  explicit Parser(std::string_view utf8) {
    if (!yaml_parser_initialize(&parser_)) throw std::bad_alloc();
    yaml_parser_set_input_string(&parser_, reinterpret_cast<const unsigned char*>(utf8.data()),
                                 utf8.size());
  }
  ~Parser() { yaml_parser_delete(&parser_); }
  Parser(const Parser&) = delete;
  Parser& operator=(const Parser&) = delete;
  /// The next event into `event`; false when libyaml refuses the text there.
  bool parse(yaml_event_t& event) { return yaml_parser_parse(&parser_, &event) != 0; }

 private:
  yaml_parser_t parser_;
};

struct Event {
  yaml_event_t event{};
  Event() = default;
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;
  ~Event() { yaml_event_delete(&event); }
};

inline std::optional<std::string_view> anchor_name(const yaml_char_t* anchor) {
  if (!anchor) return std::nullopt;
  return std::string_view(reinterpret_cast<const char*>(anchor));
}

/// Takes one event into the budget; throws YamlStructureError at the first one past it.
void feed_budget(YamlStructureBudget& budget, const yaml_event_t& event);

}  // namespace zelvora::libyaml
