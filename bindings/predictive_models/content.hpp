// What the three files of the content module share: the bundle class and the module
// (content.cpp), the tar and zip archives (content_archives.cpp) and the directory
// (content_directory.cpp).
#pragma once

#include <nanobind/nanobind.h>

#include <optional>
#include <tuple>
#include <vector>

#include "common/classes.hpp"
#include "common/module_state.hpp"
#include "zelvora/bundle_limits.hpp"

namespace zelvora::content {

namespace nb = nanobind;

struct State {
  nb::object content_class, bounded_tar_info;
  // io
  nb::object string_io, bytes_io, text_io_base, open_file;
  // archives
  nb::object tarfile_open, tar_info, tar_read_error, tar_extended_types, zip_file, zip_deflated,
      zip_stored, zip_bzip2, zip_lzma, bad_zip_file, bzip2_decompressor, crc32, copy;
  // files
  nb::object fsdecode, listdir, mkdir, path_join, path_isdir, path_like;
  // Attribute names of the bundle, interned once.
  nb::str yaml_field{"augmented_predictive_model_yaml"}, json_field{"external_model_json"},
      pmml_field{"external_model_pmml"}, images_field{"attached_images"};

  static constexpr auto references = std::make_tuple(
      &State::content_class, &State::bounded_tar_info, &State::string_io, &State::bytes_io,
      &State::text_io_base, &State::open_file, &State::tarfile_open, &State::tar_info,
      &State::tar_read_error, &State::tar_extended_types, &State::zip_file, &State::zip_deflated,
      &State::zip_stored, &State::zip_bzip2, &State::zip_lzma, &State::bad_zip_file,
      &State::bzip2_decompressor, &State::crc32, &State::copy, &State::fsdecode, &State::listdir,
      &State::mkdir, &State::path_join, &State::path_isdir, &State::path_like, &State::yaml_field,
      &State::json_field, &State::pmml_field, &State::images_field);
};

extern py::ModuleState<State> state;

// --- the bundle's values ---------------------------------------------------------------

/// The values of a bundle being loaded; `yaml` stays null until the model document is
/// found.
struct Parts {
  nb::object yaml, json, pmml;
  nb::dict images;
};

/// The values of a bundle being saved, the images as (key, stream) pairs taken once, so
/// the writers hold their own references whatever the streams do to the caller's mapping
/// meanwhile.
struct SavedParts {
  nb::object yaml, json, pmml;
  nb::list image_items;
};

Parts empty_parts();
/// A bundle of the loaded values.
nb::object new_content(const Parts& parts);
/// The values of bundle `self`, each checked for its kind.
SavedParts parts_to_save(nb::handle self);

/// Whether `value` has what a bundle reads its files through: `read` and `seek`.
bool is_stream(nb::handle value);
void check_pmml_filename(nb::handle pmml_filename);
/// `pmml_filename` when it is a non-empty string, else the standard name.
nb::str pmml_member_name(nb::handle pmml_filename);

// --- texts -----------------------------------------------------------------------------

[[noreturn]] void raise_value_error(nb::handle message);
/// Strict UTF-8 decoding of bytes; invalid data raises UnicodeDecodeError.
nb::str decode_utf8(nb::handle data);
/// A text stream holding `text` exactly, CR LF included.
nb::object new_text_stream(nb::handle text);
/// The whole content of a stream, read from its start.
nb::object read_whole(nb::handle stream);

// --- the load's budget -----------------------------------------------------------------

/// The budget of a load from its `max_size` argument: an int, not negative; values past
/// the machine's range mean no practical limit.
ExpansionBudget budget_of(nb::handle max_size);
/// These charge `budget` as the core does, and past it raise the ValueError naming
/// `member`.
void check_declared(const ExpansionBudget& budget, nb::handle member,
                    std::optional<long long> size);
void spend(ExpansionBudget& budget, nb::handle member, long long size);
[[noreturn]] void raise_past_budget(nb::handle member, long long limit);

// --- declarations ----------------------------------------------------------------------

std::vector<py::MethodDecl> directory_methods();
std::vector<py::MethodDecl> archive_methods();
/// tarfile's header class for our loads, checking extended headers before reading them.
nb::object bounded_tar_info_class(const nb::module_& m);

}  // namespace zelvora::content
