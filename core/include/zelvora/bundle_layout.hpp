// File names of a stored model bundle and how its files are told apart.
#pragma once

#include <string_view>

namespace zelvora {

inline constexpr std::string_view kModelDocumentName = "extended_model.yaml";
inline constexpr std::string_view kExternalJsonName = "external_model.json";
inline constexpr std::string_view kExternalPmmlName = "external_model.pmml";
inline constexpr std::string_view kPmmlSuffix = ".pmml";

/// What a bundle file holds.
enum class BundleRole { model_document, external_json, external_pmml, image };

/// The role of a tar or zip member, by plain case-sensitive suffix tests on its full
/// name, the model document first, then the JSON text, then any ".pmml" name.
BundleRole archive_member_role(std::string_view member_name);

/// Whether a directory entry holds a ".pmml" text.
bool is_pmml_name(std::string_view entry_name);

/// Whether a directory entry is loaded as an image: its name ends with none of "json",
/// "yaml" and "pmml" (no dot needed: "notes_json" is not an image, "model.yml" is).
bool is_directory_image_name(std::string_view entry_name);

/// The image key of a zip entry: the part of its name after the last "/".
std::string_view zip_image_key(std::string_view entry_name);

/// Where a relative file name, joined to a directory, lands (judged on the text alone).
enum class PathPlacement {
  inside,      ///< a file in the directory or one of its subdirectories
  absolute,    ///< replaces the directory altogether when joined
  escapes,     ///< ".." segments climb above the directory
  not_a_file,  ///< empty, the directory itself, a trailing "/" or a NUL character
};

/// Lexical placement of `name` below a directory: "." segments and empty segments are
/// dropped and ".." removes the segment before it.
PathPlacement lexical_placement(std::string_view name);

}  // namespace zelvora
