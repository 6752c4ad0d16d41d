#include "zelvora/yaml_structure.hpp"

#include <yaml.h>

#include <algorithm>
#include <new>
#include <string>

namespace zelvora {

namespace {

[[noreturn]] void breach(const std::string& what, YamlMark mark) {
  throw YamlStructureError(what + " (line " + std::to_string(mark.line + 1) + ", column " +
                           std::to_string(mark.column + 1) + ")");
}

[[noreturn]] void too_deep(YamlMark mark) {
  breach("YAML document nests deeper than " + std::to_string(kMaxYamlDepth) + " levels", mark);
}

}  // namespace

void YamlStructureBudget::document_start() {
  anchors_.clear();
  open_.clear();
}

void YamlStructureBudget::add_to_parent(std::uint64_t nodes, std::size_t height) {
  if (open_.empty()) return;
  OpenCollection& parent = open_.back();
  parent.nodes += nodes;
  parent.child_height = std::max(parent.child_height, height);
}

void YamlStructureBudget::collection_start(std::optional<std::string_view> anchor, YamlMark mark) {
  if (open_.size() >= kMaxYamlDepth) too_deep(mark);
  ++literal_nodes_;
  OpenCollection& opened = open_.emplace_back();
  if (anchor) {
    opened.anchor.emplace(*anchor);
    anchors_[*opened.anchor] = Shape{.open = true};
  }
}

void YamlStructureBudget::collection_end() {
  if (open_.empty()) return;
  OpenCollection closed = std::move(open_.back());
  open_.pop_back();
  const std::size_t height = closed.child_height + 1;
  if (closed.anchor) anchors_[*closed.anchor] = Shape{.nodes = closed.nodes, .height = height};
  add_to_parent(closed.nodes, height);
}

void YamlStructureBudget::scalar(std::optional<std::string_view> anchor) {
  ++literal_nodes_;
  if (anchor) anchors_[std::string(*anchor)] = Shape{};
  add_to_parent(1, 0);
}

void YamlStructureBudget::alias(std::string_view anchor, YamlMark mark) {
  Shape shape;  // an unknown anchor is the reader's error; a cycle is one node
  if (auto found = anchors_.find(std::string(anchor));
      found != anchors_.end() && !found->second.open)
    shape = found->second;
  if (open_.size() + shape.height > kMaxYamlDepth) too_deep(mark);
  // Both sides stay below 2^63: every count grows by at most the budget at a time.
  alias_nodes_ += shape.nodes;
  if (alias_nodes_ > kMaxAliasNodes + literal_nodes_)
    breach("YAML aliases expand to more than " + std::to_string(kMaxAliasNodes) + " nodes", mark);
  add_to_parent(shape.nodes, shape.height);
}

namespace {

struct Parser {
  yaml_parser_t parser;
  Parser() {
    if (!yaml_parser_initialize(&parser)) throw std::bad_alloc();
  }
  ~Parser() { yaml_parser_delete(&parser); }
  Parser(const Parser&) = delete;
  Parser& operator=(const Parser&) = delete;
};

struct Event {
  yaml_event_t event{};
  ~Event() { yaml_event_delete(&event); }
};

std::optional<std::string_view> anchor_of(const yaml_char_t* anchor) {
  if (!anchor) return std::nullopt;
  return std::string_view(reinterpret_cast<const char*>(anchor));
}

YamlMark mark_of(const yaml_event_t& event) {
  return {event.start_mark.line, event.start_mark.column};
}

}  // namespace

bool check_yaml_structure(std::string_view utf8) {
  Parser p;
  yaml_parser_set_input_string(&p.parser, reinterpret_cast<const unsigned char*>(utf8.data()),
                               utf8.size());
  YamlStructureBudget budget;
  for (;;) {
    Event e;
    if (!yaml_parser_parse(&p.parser, &e.event)) return false;
    const yaml_event_t& ev = e.event;
    switch (ev.type) {
      case YAML_STREAM_END_EVENT:
        return true;
      case YAML_DOCUMENT_START_EVENT:
        budget.document_start();
        break;
      case YAML_SEQUENCE_START_EVENT:
        budget.collection_start(anchor_of(ev.data.sequence_start.anchor), mark_of(ev));
        break;
      case YAML_MAPPING_START_EVENT:
        budget.collection_start(anchor_of(ev.data.mapping_start.anchor), mark_of(ev));
        break;
      case YAML_SEQUENCE_END_EVENT:
      case YAML_MAPPING_END_EVENT:
        budget.collection_end();
        break;
      case YAML_SCALAR_EVENT:
        budget.scalar(anchor_of(ev.data.scalar.anchor));
        break;
      case YAML_ALIAS_EVENT:
        budget.alias(anchor_of(ev.data.alias.anchor).value_or(std::string_view()), mark_of(ev));
        break;
      default:
        break;
    }
  }
}

}  // namespace zelvora
