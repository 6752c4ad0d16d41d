#include "zelvora/yaml_structure.hpp"

#include "libyaml_parser.hpp"

#include <algorithm>
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

YamlMark mark_of(const yaml_event_t& event) {
  return {event.start_mark.line, event.start_mark.column};
}

}  // namespace

namespace libyaml {

void feed_budget(YamlStructureBudget& budget, const yaml_event_t& ev) {
  switch (ev.type) {
    case YAML_DOCUMENT_START_EVENT:
      budget.document_start();
      break;
    case YAML_SEQUENCE_START_EVENT:
      budget.collection_start(anchor_name(ev.data.sequence_start.anchor), mark_of(ev));
      break;
    case YAML_MAPPING_START_EVENT:
      budget.collection_start(anchor_name(ev.data.mapping_start.anchor), mark_of(ev));
      break;
    case YAML_SEQUENCE_END_EVENT:
    case YAML_MAPPING_END_EVENT:
      budget.collection_end();
      break;
    case YAML_SCALAR_EVENT:
      budget.scalar(anchor_name(ev.data.scalar.anchor));
      break;
    case YAML_ALIAS_EVENT:
      budget.alias(anchor_name(ev.data.alias.anchor).value_or(std::string_view()), mark_of(ev));
      break;
    default:
      break;
  }
}

}  // namespace libyaml

}  // namespace zelvora
