// Reserved bin names and the names that bins give themselves.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zelvora {

inline constexpr std::string_view kDefaultBinName = "0_default";
inline constexpr std::string_view kDefinedDefaultBinName = "0_defined_default";
inline constexpr std::string_view kSystemDefaultBinName = "0_system_default";
inline constexpr std::string_view kNullBinName = "1_null";

/// How a bin takes part in a lookup, decided by its name alone.
enum class BinRole {
  ordinary,        ///< matched by its bounds or categories
  null_bin,        ///< "1_null": takes missing values
  default_bin,     ///< "0_default" or "0_system_default": catch-all, hit logged as a warning
  defined_default  ///< "0_defined_default": catch-all, hit logged at debug level
};

/// The role of a bin named `name`.
BinRole bin_role(std::string_view name);

/// Longest categories text kept whole in a categorical bin name, in characters.
inline constexpr std::size_t kMaxCategoriesText = 50;

/// Name of a numerical bin: "{id}_({lower};{upper})", from the bounds' texts (bound_text).
std::string numerical_bin_name(std::string_view id_text, std::string_view lower_text,
                               std::string_view upper_text);

/// Categories joined with "," (no spaces), in list order.
std::string join_categories(const std::vector<std::string>& categories);

/// `text` when it has at most 50 characters (UTF-8 code points), otherwise its first
/// 47 characters followed by "...".
std::string shorten_categories_text(std::string text);

/// Name of a categorical bin: "{id}_{" + categories text + "}"; the text is shortened
/// to 50 characters.
std::string categorical_bin_name(std::string_view id_text, std::string categories_text);

}  // namespace zelvora
