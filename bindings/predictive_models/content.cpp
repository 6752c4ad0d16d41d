// zelvora_analytics_utils.predictive_models.content: the content bundle, the files of a
// stored model held in memory and written to or read from a directory, a tar archive or
// a zip archive.
//
// The bundle is a plain Python class whose four values are ordinary instance attributes,
// so the garbage collector sees every reference it holds; its operations are compiled
// functions that reach the standard library (io, tarfile, zipfile, os) through the
// module state.
#include <nanobind/nanobind.h>
#include <sys/stat.h>

#include <string_view>
#include <tuple>
#include <utility>

#include "common/arguments.hpp"
#include "common/conversions.hpp"
#include "common/module_state.hpp"
#include "common/python_api.hpp"
#include "common/records.hpp"
#include "zelvora/bundle_layout.hpp"

namespace nb = nanobind;
using namespace zelvora::py;
using zelvora::BundleRole;
using zelvora::PathPlacement;

namespace {

struct State {
  nb::object content_class;
  // io
  nb::object string_io, bytes_io, text_io_base;
  // archives
  nb::object tarfile_open, tar_info, tar_read_error, zip_file, zip_deflated;
  // files
  nb::object open, fsdecode, listdir, mkdir, stat, path_join, path_isdir, path_realpath,
      path_commonpath;
  // Attribute names of the bundle, interned once.
  nb::str yaml_field{"augmented_predictive_model_yaml"}, json_field{"external_model_json"},
      pmml_field{"external_model_pmml"}, images_field{"attached_images"};

  static constexpr auto references = std::make_tuple(
      &State::content_class, &State::string_io, &State::bytes_io, &State::text_io_base,
      &State::tarfile_open, &State::tar_info, &State::tar_read_error, &State::zip_file,
      &State::zip_deflated, &State::open, &State::fsdecode, &State::listdir, &State::mkdir,
      &State::stat, &State::path_join, &State::path_isdir, &State::path_realpath,
      &State::path_commonpath, &State::yaml_field, &State::json_field, &State::pmml_field,
      &State::images_field);
};

ModuleState<State> state;

State load_state() {
  State s;
  nb::module_ io = nb::module_::import_("io");
  s.string_io = io.attr("StringIO");
  s.bytes_io = io.attr("BytesIO");
  s.text_io_base = io.attr("TextIOBase");
  nb::module_ tarfile = nb::module_::import_("tarfile");
  s.tarfile_open = tarfile.attr("open");
  s.tar_info = tarfile.attr("TarInfo");
  s.tar_read_error = tarfile.attr("ReadError");
  nb::module_ zipfile = nb::module_::import_("zipfile");
  s.zip_file = zipfile.attr("ZipFile");
  s.zip_deflated = zipfile.attr("ZIP_DEFLATED");
  nb::module_ os = nb::module_::import_("os");
  s.open = nb::module_::import_("builtins").attr("open");
  s.fsdecode = os.attr("fsdecode");
  s.listdir = os.attr("listdir");
  s.mkdir = os.attr("mkdir");
  s.stat = os.attr("stat");
  nb::object path = os.attr("path");
  s.path_join = path.attr("join");
  s.path_isdir = path.attr("isdir");
  s.path_realpath = path.attr("realpath");
  s.path_commonpath = path.attr("commonpath");
  return s;
}

// --- small conversions -----------------------------------------------------------------

// File and member names may hold lone surrogates (bytes the OS or the tar reader could
// not decode); "surrogatepass" carries them through UTF-8 so every name can be tested
// by suffix and rebuilt unchanged.
std::string name_bytes(nb::handle name) {
  nb::object encoded =
      steal_or_throw(PyUnicode_AsEncodedString(name.ptr(), "utf-8", "surrogatepass"));
  return {PyBytes_AS_STRING(encoded.ptr()),
          static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.ptr()))};
}

nb::str name_from_bytes(std::string_view bytes) {
  return steal_or_throw<nb::str>(
      PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "surrogatepass"));
}

[[noreturn]] void raise_value_error(nb::handle message) {
  PyErr_SetObject(PyExc_ValueError, message.ptr());
  throw nb::python_error();
}

// Strict UTF-8 decoding; invalid data raises UnicodeDecodeError.
nb::str decode_utf8(nb::handle data) {
  char* buffer = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(data.ptr(), &buffer, &size) != 0) throw nb::python_error();
  return steal_or_throw<nb::str>(PyUnicode_DecodeUTF8(buffer, size, "strict"));
}

nb::object new_text_stream(nb::handle text) {
  // newline="\n": the text is kept exactly, CR LF included.
  return state->string_io(text, nb::arg("newline") = "\n");
}

// The whole content of a stream, read from its start.
nb::object read_whole(nb::handle stream) {
  stream.attr("seek")(0);
  return stream.attr("read")();
}

// Closes a file or archive when the scope ends; on the success path `close()` is called
// explicitly so that a failing flush reaches the caller.
class Closing {
 public:
  explicit Closing(nb::object resource) : resource_(std::move(resource)) {}
  Closing(const Closing&) = delete;
  Closing& operator=(const Closing&) = delete;
  ~Closing() {
    if (!resource_.is_valid()) return;
    // An error is already on its way out; it is kept and this one is dropped.
    nb::error_scope keep_pending_error;
    PyObject* result = PyObject_CallMethod(resource_.ptr(), "close", nullptr);
    if (result)
      Py_DECREF(result);
    else
      PyErr_Clear();
  }
  nb::handle get() const { return resource_; }
  void close() {
    nb::object resource = std::move(resource_);
    resource.attr("close")();
  }

 private:
  nb::object resource_;
};

// --- the bundle's values ---------------------------------------------------------------

struct Parts {
  nb::object yaml, json, pmml;
  nb::dict images;
};

// The images to write: (key, stream) pairs taken once, so the writers hold their own
// references whatever the streams do to the caller's mapping meanwhile.
struct SavedParts {
  nb::object yaml, json, pmml;
  nb::list image_items;
};

void check_image_key(nb::handle key) {
  check_argument_type(key, &PyUnicode_Type, "attached_images key", NoneAllowed::no);
}

void check_image_mapping(nb::handle images) {
  check_argument_type(images, &PyDict_Type, "attached_images", NoneAllowed::no);
}

SavedParts parts_to_save(nb::handle self) {
  State& s = *state;
  nb::object images = self.attr(s.images_field);
  check_image_mapping(images);
  nb::list items = steal_or_throw<nb::list>(PyDict_Items(images.ptr()));
  for (nb::handle item : items) check_image_key(nb::borrow<nb::tuple>(item)[0]);
  return {self.attr(s.yaml_field), self.attr(s.json_field), self.attr(s.pmml_field), items};
}

void init_content(nb::handle self, nb::handle yaml, nb::handle json, nb::handle pmml,
                  nb::handle images) {
  State& s = *state;
  // No mapping given: a fresh one for this bundle, never a shared default.
  nb::object mapping = nb::borrow(images);
  if (images.is_none()) {
    mapping = nb::dict();
  } else {
    check_image_mapping(images);
    for (nb::handle key : nb::borrow<nb::dict>(images).keys()) check_image_key(key);
  }
  self.attr(s.yaml_field) = yaml;
  self.attr(s.json_field) = json;
  self.attr(s.pmml_field) = pmml;
  self.attr(s.images_field) = mapping;
}

nb::object new_content(const Parts& parts) {
  return state->content_class(parts.yaml, parts.json, parts.pmml, parts.images);
}

void check_pmml_filename(nb::handle pmml_filename) {
  check_argument_type(pmml_filename, &PyUnicode_Type, "pmml_filename", NoneAllowed::yes);
}

// `pmml_filename` when it is a non-empty string, else the standard name.
nb::str pmml_member_name(nb::handle pmml_filename) {
  if (!pmml_filename.is_none() && PyUnicode_GetLength(pmml_filename.ptr()) > 0)
    return nb::borrow<nb::str>(pmml_filename);
  return to_str(zelvora::kExternalPmmlName);
}

// --- archives: writing -----------------------------------------------------------------

enum class ArchiveKind { tar, zip };

// A byte stream for an archive member: a text stream is encoded as UTF-8, any other
// stream is taken as bytes.
nb::object member_bytes(nb::handle stream) {
  if (!nb::isinstance(stream, state->text_io_base)) return nb::borrow(stream);
  nb::object text = read_whole(stream);
  return state->bytes_io(text.attr("encode")("utf-8"));
}

void append_tar_member(nb::handle archive, nb::handle data, nb::handle name) {
  nb::object info = state->tar_info(name);
  data.attr("seek")(0, 2);
  info.attr("size") = data.attr("tell")();
  data.attr("seek")(0);
  archive.attr("addfile")(info, data);
}

void append_zip_member(nb::handle archive, nb::handle data, nb::handle name) {
  archive.attr("writestr")(name, read_whole(data));
}

// Writes one member, shared by the tar and the zip writer.
void write_member(ArchiveKind kind, nb::handle archive, nb::handle stream, nb::handle name) {
  nb::object data = member_bytes(stream);
  if (kind == ArchiveKind::tar)
    append_tar_member(archive, data, name);
  else
    append_zip_member(archive, data, name);
}

void write_members(ArchiveKind kind, nb::handle archive, const SavedParts& parts,
                   nb::handle pmml_name) {
  write_member(kind, archive, parts.yaml, to_str(zelvora::kModelDocumentName));
  if (!parts.json.is_none())
    write_member(kind, archive, parts.json, to_str(zelvora::kExternalJsonName));
  if (!parts.pmml.is_none()) write_member(kind, archive, parts.pmml, pmml_name);
  for (nb::handle item : parts.image_items) {
    nb::tuple key_and_image = nb::borrow<nb::tuple>(item);
    write_member(kind, archive, key_and_image[1], key_and_image[0]);
  }
}

nb::object save_to_tar(nb::handle self) {
  const SavedParts parts = parts_to_save(self);
  nb::object buffer = state->bytes_io();
  Closing archive(state->tarfile_open(nb::arg("fileobj") = buffer, nb::arg("mode") = "w"));
  write_members(ArchiveKind::tar, archive.get(), parts, to_str(zelvora::kExternalPmmlName));
  archive.close();
  return buffer;
}

nb::object save_to_zip(nb::handle self, nb::handle pmml_filename) {
  check_pmml_filename(pmml_filename);
  const SavedParts parts = parts_to_save(self);
  nb::object buffer = state->bytes_io();
  Closing archive(state->zip_file(buffer, "w", state->zip_deflated));
  write_members(ArchiveKind::zip, archive.get(), parts, pmml_member_name(pmml_filename));
  archive.close();
  return buffer;
}

// --- archives: reading -----------------------------------------------------------------

// Places one member's data in the bundle by the role of its name; later members of the
// same role (or image key) replace earlier ones.
void take_member(Parts& parts, std::string_view name, nb::handle data, nb::handle image_key) {
  switch (zelvora::archive_member_role(name)) {
    case BundleRole::model_document:
      parts.yaml = new_text_stream(decode_utf8(data));
      break;
    case BundleRole::external_json:
      parts.json = new_text_stream(decode_utf8(data));
      break;
    case BundleRole::external_pmml:
      parts.pmml = new_text_stream(decode_utf8(data));
      break;
    case BundleRole::image:
      parts.images[image_key] = state->bytes_io(data);
      break;
  }
}

nb::object loaded_content(Parts& parts) {
  if (!parts.yaml.is_valid()) {
    raise_value_error(nb::str(
        "augmented_predictive_model_yaml was never found in the archive: it holds no member "
        "whose name ends with \"extended_model.yaml\""));
  }
  return new_content(parts);
}

Parts empty_parts() {
  return {nb::object(), nb::none(), nb::none(), nb::dict()};
}

// The tar reader ends its member list quietly at a truncated or invalid header past the
// first one; the block where it stopped must be the end-of-archive marker (or nothing,
// when a writer left the marker out), else members would be lost without a word.
void check_tar_ended_cleanly(nb::handle archive) {
  constexpr std::size_t kBlockSize = 512;
  nb::object data = archive.attr("fileobj");
  nb::object offset = archive.attr("offset");
  data.attr("seek")(offset);
  nb::bytes block = nb::borrow<nb::bytes>(data.attr("read")(kBlockSize));
  const std::string_view bytes(block.c_str(), block.size());
  if (bytes.empty() ||
      (bytes.size() == kBlockSize && bytes.find_first_not_of('\0') == std::string_view::npos))
    return;
  PyErr_SetObject(state->tar_read_error.ptr(),
                  nb::str("truncated or corrupt tar archive: no valid member header at offset {}")
                      .format(offset)
                      .ptr());
  throw nb::python_error();
}

nb::object load_from_tar(nb::handle, nb::handle tar_content) {
  tar_content.attr("seek")(0);
  // "r:*" recognises uncompressed, gzip, bzip2 and xz archives from the data.
  Closing archive(state->tarfile_open(nb::arg("fileobj") = tar_content, nb::arg("mode") = "r:*"));
  Parts parts = empty_parts();
  for (nb::handle member : archive.get()) {
    // Only regular files carry data; directories, links and devices are skipped (a link
    // would otherwise stand in for another member's data).
    if (!nb::cast<bool>(member.attr("isreg")())) continue;
    nb::object name = member.attr("name");
    nb::object data = archive.get().attr("extractfile")(member).attr("read")();
    take_member(parts, name_bytes(name), data, name);
  }
  check_tar_ended_cleanly(archive.get());
  archive.close();
  return loaded_content(parts);
}

// A zip entry recorded on a Unix system as a symbolic link: its data is the link target.
bool is_zip_symlink(nb::handle info) {
  constexpr int kUnixSystem = 3;
  if (nb::cast<int>(info.attr("create_system")) != kUnixSystem) return false;
  const auto mode = nb::cast<unsigned long>(info.attr("external_attr")) >> 16;
  return S_ISLNK(static_cast<mode_t>(mode));
}

nb::object load_from_zip(nb::handle, nb::handle zip_content) {
  zip_content.attr("seek")(0);
  Closing archive(state->zip_file(zip_content, "r"));
  Parts parts = empty_parts();
  for (nb::handle info : archive.get().attr("infolist")()) {
    nb::object name = info.attr("filename");
    const std::string name_text = name_bytes(name);
    if (name_text.ends_with('/') || is_zip_symlink(info)) continue;
    nb::object data = archive.get().attr("read")(info);
    take_member(parts, name_text, data, name_from_bytes(zelvora::zip_image_key(name_text)));
  }
  archive.close();
  return loaded_content(parts);
}

// --- directory: writing ----------------------------------------------------------------

nb::object path_in(nb::handle directory, nb::handle name) {
  return state->path_join(directory, name);
}

// Whether `path`, with every symbolic link resolved, lies strictly below `directory`.
bool resolves_inside(nb::handle directory, nb::handle path) {
  State& s = *state;
  nb::object real_directory = s.path_realpath(directory);
  nb::object real_path = s.path_realpath(path);
  if (real_path.equal(real_directory)) return false;
  return s.path_commonpath(nb::make_tuple(real_directory, real_path)).equal(real_directory);
}

// Refuses a file name that would be written outside `directory` (an absolute name, ".."
// segments, or a symbolic link on the way) or that names no file.
void check_stays_inside(nb::handle directory, nb::handle name, const char* what) {
  const PathPlacement placement = zelvora::lexical_placement(name_bytes(name));
  if (placement == PathPlacement::not_a_file) {
    raise_value_error(nb::str("{} {!r} does not name a file in the directory").format(what, name));
  }
  if (placement != PathPlacement::inside || !resolves_inside(directory, path_in(directory, name)))
    raise_value_error(
        nb::str("{} {!r} would leave the directory {!r}").format(what, name, directory));
}

void write_text_file(nb::handle path, nb::handle stream) {
  // newline="": the text is written exactly as the stream holds it.
  Closing file(state->open(path, "w", nb::arg("encoding") = "utf-8", nb::arg("newline") = ""));
  file.get().attr("write")(read_whole(stream));
  file.close();
}

void write_bytes_file(nb::handle path, nb::handle stream) {
  Closing file(state->open(path, "wb"));
  file.get().attr("write")(read_whole(stream));
  file.close();
}

void save_to_directory(nb::handle self, nb::handle directory_arg, nb::handle pmml_filename) {
  check_pmml_filename(pmml_filename);
  const SavedParts parts = parts_to_save(self);
  nb::object directory = state->fsdecode(directory_arg);
  const nb::str pmml_name = pmml_member_name(pmml_filename);
  // Every name is checked before anything is created or written.
  if (!parts.pmml.is_none()) check_stays_inside(directory, pmml_name, "pmml_filename");
  for (nb::handle item : parts.image_items)
    check_stays_inside(directory, nb::borrow<nb::tuple>(item)[0], "attached_images key");

  if (!nb::cast<bool>(state->path_isdir(directory))) state->mkdir(directory);
  write_text_file(path_in(directory, to_str(zelvora::kModelDocumentName)), parts.yaml);
  if (!parts.json.is_none())
    write_text_file(path_in(directory, to_str(zelvora::kExternalJsonName)), parts.json);
  if (!parts.pmml.is_none()) write_text_file(path_in(directory, pmml_name), parts.pmml);
  for (nb::handle item : parts.image_items) {
    nb::tuple key_and_image = nb::borrow<nb::tuple>(item);
    write_bytes_file(path_in(directory, key_and_image[0]), key_and_image[1]);
  }
}

// --- directory: reading ----------------------------------------------------------------

// Refuses entries that are neither regular files nor directories: reading a FIFO or a
// device would block or never end. A missing file and a directory fail when opened.
void check_readable_entry(nb::handle path) {
  nb::object status;
  try {
    status = state->stat(path);
  } catch (nb::python_error&) {
    return;  // left to `open`, which reports it with its own error
  }
  const auto mode = static_cast<mode_t>(nb::cast<unsigned long>(status.attr("st_mode")));
  if (!S_ISREG(mode) && !S_ISDIR(mode))
    raise_value_error(nb::str("{!r} is not a regular file").format(path));
}

// Reads a text file; CR LF and a lone CR become LF.
nb::object read_text_file(nb::handle path) {
  check_readable_entry(path);
  Closing file(state->open(path, "r", nb::arg("encoding") = "utf-8"));
  nb::object text = file.get().attr("read")();
  file.close();
  return new_text_stream(text);
}

nb::object read_bytes_file(nb::handle path) {
  check_readable_entry(path);
  Closing file(state->open(path, "rb"));
  nb::object data = file.get().attr("read")();
  file.close();
  return state->bytes_io(data);
}

// The first ".pmml" entry in listing order, or None.
nb::object first_pmml_entry(nb::handle listing) {
  for (nb::handle name : listing) {
    if (zelvora::is_pmml_name(name_bytes(name))) return nb::borrow(name);
  }
  return nb::none();
}

nb::object load_from_directory(nb::handle, nb::handle directory_arg) {
  State& s = *state;
  nb::object directory = s.fsdecode(directory_arg);
  nb::list listing = nb::borrow<nb::list>(s.listdir(directory));
  Parts parts = empty_parts();
  parts.yaml = read_text_file(path_in(directory, to_str(zelvora::kModelDocumentName)));

  const nb::str json_name = to_str(zelvora::kExternalJsonName);
  nb::object pmml_name = first_pmml_entry(listing);
  if (PySequence_Contains(listing.ptr(), json_name.ptr()) == 1)
    parts.json = read_text_file(path_in(directory, json_name));
  else if (!pmml_name.is_none())
    parts.pmml = read_text_file(path_in(directory, pmml_name));

  for (nb::handle name : s.listdir(directory)) {
    if (zelvora::is_directory_image_name(name_bytes(name)))
      parts.images[name] = read_bytes_file(path_in(directory, name));
  }
  return new_content(parts);
}

// --- declaration -----------------------------------------------------------------------

nb::dict content_namespace(const nb::module_& m) {
  nb::dict ns = class_namespace(
      m, "AugmentedPredictiveModelContent",
      "The files of a stored model: the model's YAML document, optionally the external "
      "model as JSON or PMML text, and attached images by file name.");
  const MethodDecl methods[] = {
      method("__init__", &init_content, nb::arg("augmented_predictive_model_yaml"),
             nb::arg("external_model_json").none() = nb::none(),
             nb::arg("external_model_pmml").none() = nb::none(),
             nb::arg("attached_images").none() = nb::none()),
      method("save_to_directory", &save_to_directory, nb::arg("directory"),
             nb::arg("pmml_filename").none() = nb::none()),
      method("save_to_tar", &save_to_tar),
      method("save_to_zip", &save_to_zip, nb::arg("pmml_filename").none() = nb::none()),
      class_method("load_from_directory", &load_from_directory, nb::arg("cls"),
                   nb::arg("directory")),
      class_method("load_from_tar", &load_from_tar, nb::arg("cls"), nb::arg("tar_content")),
      class_method("load_from_zip", &load_from_zip, nb::arg("cls"), nb::arg("zip_content")),
  };
  for (const MethodDecl& md : methods) ns[md.name] = md.callable;
  return ns;
}

void declare_content(nb::module_& m) {
  nb::object object_type = nb::borrow(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
  nb::object cls = make_class(api().builtin_type, "AugmentedPredictiveModelContent",
                              nb::make_tuple(object_type), content_namespace(m));
  publish(m, "AugmentedPredictiveModelContent", cls);
  state->content_class = cls;
}

}  // namespace

NB_MODULE(content, m) {
  m.doc() = "The content bundle: directory, tar and zip.";
  load_api(m);
  state.emplace(m, load_state());
  declare_content(m);
}
