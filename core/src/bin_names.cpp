#include "zelvora/bin_names.hpp"

namespace zelvora {
namespace {

bool is_utf8_continuation(char c) {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// Byte offset of the code point with index `count`, or npos when the text is shorter.
std::size_t offset_of_code_point(const std::string& text, std::size_t count) {
  std::size_t seen = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (is_utf8_continuation(text[i])) continue;
    if (seen == count) return i;
    ++seen;
  }
  return std::string::npos;
}

}  // namespace

BinRole bin_role(std::string_view name) {
  if (name.size() < 6 || name.size() > 17) return BinRole::ordinary;  // cheap reject
  if (name == kNullBinName) return BinRole::null_bin;
  if (name == kDefaultBinName || name == kSystemDefaultBinName) return BinRole::default_bin;
  if (name == kDefinedDefaultBinName) return BinRole::defined_default;
  return BinRole::ordinary;
}

std::string numerical_bin_name(std::string_view id_text, std::string_view lower_text,
                               std::string_view upper_text) {
  std::string name(id_text);
  name += "_(";
  name += lower_text;
  name += ';';
  name += upper_text;
  name += ')';
  return name;
}

std::string join_categories(const std::vector<std::string>& categories) {
  std::string text;
  for (std::size_t i = 0; i < categories.size(); ++i) {
    if (i > 0) text += ',';
    text += categories[i];
  }
  return text;
}

std::string shorten_categories_text(std::string text) {
  if (offset_of_code_point(text, kMaxCategoriesText) == std::string::npos) return text;
  text.resize(offset_of_code_point(text, kMaxCategoriesText - 3));
  text += "...";
  return text;
}

std::string categorical_bin_name(std::string_view id_text, std::string categories_text) {
  std::string name(id_text);
  name += "_{";
  name += shorten_categories_text(std::move(categories_text));
  name += '}';
  return name;
}

}  // namespace zelvora
