// Bounds on the structure of a YAML text, checked on its event stream before any reader
// builds nodes from it: how deep collections nest, and how many nodes its aliases add
// when a reader expands them into plain data.
//
// A reader recursing per level (ruamel.yaml's composers and constructor) dies on a deep
// text, and an alias that a reader expands into plain data costs the size of its
// anchor's subtree, which nested anchors make exponential in the text's length. Aliases
// stay allowed within a budget linear in the text's own node count: the writer itself
// emits them for a value shared by identity.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace zelvora {

/// Deepest nesting of collections allowed, aliases expanded. A model document nests less
/// than 10 levels; ruamel.yaml's pure reader and constructor recurse a few Python frames
/// per level, so this stays well below the interpreter's default recursion limit.
inline constexpr std::size_t kMaxYamlDepth = 100;
/// Nodes that expanding aliases may add beyond the text's own nodes.
inline constexpr std::uint64_t kMaxAliasNodes = 100'000;

/// A place in the text, counted from 0 (messages print them from 1).
struct YamlMark {
  std::size_t line = 0;
  std::size_t column = 0;
};

/// A text past one of the bounds; the message names the bound and where it was passed.
class YamlStructureError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// Follows one event stream and throws YamlStructureError at the first event past a
/// bound. Depth counts alias expansion: an alias at depth d to an anchor whose subtree is
/// h collections deep counts as d + h.
class YamlStructureBudget {
 public:
  /// Anchors belong to their document.
  void document_start();
  void collection_start(std::optional<std::string_view> anchor, YamlMark mark);
  void collection_end();
  void scalar(std::optional<std::string_view> anchor);
  void alias(std::string_view anchor, YamlMark mark);

 private:
  struct Shape {
    std::uint64_t nodes = 1;  ///< nodes of the subtree, aliases expanded
    std::size_t height = 0;   ///< collections nested in the subtree, itself included
    bool open = false;        ///< an ancestor of the current event
  };
  struct OpenCollection {
    std::optional<std::string> anchor;
    std::uint64_t nodes = 1;
    std::size_t child_height = 0;
  };
  void add_to_parent(std::uint64_t nodes, std::size_t height);

  std::vector<OpenCollection> open_;
  std::unordered_map<std::string, Shape> anchors_;
  std::uint64_t literal_nodes_ = 0;
  std::uint64_t alias_nodes_ = 0;
};

}  // namespace zelvora
