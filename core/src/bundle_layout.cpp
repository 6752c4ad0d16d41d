#include "zelvora/bundle_layout.hpp"

namespace zelvora {

BundleRole archive_member_role(std::string_view member_name) {
  if (member_name.ends_with(kModelDocumentName)) return BundleRole::model_document;
  if (member_name.ends_with(kExternalJsonName)) return BundleRole::external_json;
  if (member_name.ends_with(kPmmlSuffix)) return BundleRole::external_pmml;
  return BundleRole::image;
}

bool is_pmml_name(std::string_view entry_name) {
  return entry_name.ends_with(kPmmlSuffix);
}

bool is_directory_image_name(std::string_view entry_name) {
  return !entry_name.ends_with("json") && !entry_name.ends_with("yaml") &&
         !entry_name.ends_with("pmml");
}

std::string_view zip_image_key(std::string_view entry_name) {
  const std::size_t slash = entry_name.rfind('/');
  return slash == std::string_view::npos ? entry_name : entry_name.substr(slash + 1);
}

PathPlacement lexical_placement(std::string_view name) {
  if (name.find('\0') != std::string_view::npos) return PathPlacement::not_a_file;
  if (name.starts_with('/')) return PathPlacement::absolute;
  if (name.empty() || name.ends_with('/')) return PathPlacement::not_a_file;
  // Depth below the directory after each segment; it must stay positive.
  long depth = 0;
  std::string_view last;
  while (!name.empty()) {
    const std::size_t slash = name.find('/');
    const std::string_view segment = name.substr(0, slash);
    name = slash == std::string_view::npos ? std::string_view{} : name.substr(slash + 1);
    if (segment.empty() || segment == ".") {
      last = segment;
      continue;
    }
    depth += segment == ".." ? -1 : 1;
    if (depth < 0) return PathPlacement::escapes;
    last = segment;
  }
  if (depth == 0 || last == "." || last == "..") return PathPlacement::not_a_file;
  return PathPlacement::inside;
}

}  // namespace zelvora
