// The content bundle as files in a directory. The file operations are the core's
// (zelvora/safe_directory.hpp): run without the GIL on names, descriptors and bytes held
// here, their failures raised as the OSError, or the ValueError, that names the file.
#include <string>
#include <vector>

#include "common/arguments.hpp"
#include "common/conversions.hpp"
#include "predictive_models/content.hpp"
#include "zelvora/bundle_layout.hpp"
#include "zelvora/safe_directory.hpp"

namespace zelvora::content {

using namespace zelvora::py;

namespace {

// A name in the file system's encoding, as `os.fsencode` gives it.
std::string fs_name(nb::handle name) {
  nb::object encoded = steal_or_throw(PyUnicode_EncodeFSDefault(name.ptr()));
  return {PyBytes_AS_STRING(encoded.ptr()),
          static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.ptr()))};
}

[[noreturn]] void raise_os_error(int error, nb::handle name) {
  errno = error;
  PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name.ptr());
  throw nb::python_error();
}

// Called by the core when a signal interrupts a system call: Python runs its handlers,
// and an exception they raise (KeyboardInterrupt) abandons the operation.
void check_signals() {
  nb::gil_scoped_acquire held;
  if (PyErr_CheckSignals() != 0) throw nb::python_error();
}

// Runs a core file operation without the GIL; it must touch no Python object, only names,
// descriptors and bytes its caller keeps alive.
template <class Call>
auto without_gil(Call call) {
  nb::gil_scoped_release released;
  return call();
}

FileDescriptor open_directory(nb::handle directory) {
  // The directory named by the caller may itself be a link; nothing below it is followed.
  const std::string path = fs_name(directory);
  try {
    return without_gil([&] { return zelvora::open_directory(path, check_signals); });
  } catch (const FileError& e) {
    raise_os_error(e.error(), directory);
  }
}

nb::object path_in(nb::handle directory, nb::handle name) {
  return state->path_join(directory, name);
}

// --- writing ---------------------------------------------------------------------------

[[noreturn]] void raise_leaves_directory(nb::handle directory, nb::handle name, const char* what) {
  raise_value_error(
      nb::str("{} {!r} would leave the directory {!r}").format(what, name, directory));
}

// Refuses a name that is absolute, climbs out with "..", or names no file.
void check_lexically_inside(nb::handle directory, nb::handle name, const char* what) {
  const PathPlacement placement = zelvora::lexical_placement(text_bytes(name));
  if (placement == PathPlacement::not_a_file)
    raise_value_error(nb::str("{} {!r} does not name a file in the directory").format(what, name));
  if (placement != PathPlacement::inside) raise_leaves_directory(directory, name, what);
}

// Where `name` is written below `top`; a link on the way leaves the directory.
FileTarget file_target(const FileDescriptor& top, nb::handle directory, nb::handle name,
                       const char* what) {
  check_lexically_inside(directory, name, what);
  const std::string path = fs_name(name);
  try {
    return without_gil([&] { return zelvora::open_target(top.get(), path, check_signals); });
  } catch (const FileError& e) {
    if (e.reason() == FileError::Reason::link_on_path)
      raise_leaves_directory(directory, name, what);
    raise_os_error(e.error(), name);
  }
}

FileTarget top_level_target(const FileDescriptor& top, std::string_view name) {
  return {FileDescriptor(), top.get(), std::string(name)};
}

// Writes the bytes object `data`; immutable, it is safe to read without the GIL.
void write_bytes(const FileTarget& target, nb::handle name, nb::handle data) {
  const std::string_view view(PyBytes_AS_STRING(data.ptr()),
                              static_cast<std::size_t>(PyBytes_GET_SIZE(data.ptr())));
  try {
    without_gil([&] { zelvora::write_file_atomically(target, view, check_signals); });
  } catch (const FileError& e) {
    raise_os_error(e.error(), name);
  }
}

void write_text_file(const FileTarget& target, nb::handle name, nb::handle stream) {
  // The text is written exactly as the stream holds it, as UTF-8.
  write_bytes(target, name, steal_or_throw(PyUnicode_AsUTF8String(read_whole(stream).ptr())));
}

void write_image_file(const FileTarget& target, nb::handle name, nb::handle stream) {
  // Anything but immutable bytes (a bytearray, a memoryview another thread may change)
  // is copied into bytes first.
  nb::object data = read_whole(stream);
  if (!PyBytes_Check(data.ptr())) {
    Py_buffer view;
    if (PyObject_GetBuffer(data.ptr(), &view, PyBUF_SIMPLE) != 0) throw nb::python_error();
    PyObject* copy = PyBytes_FromStringAndSize(static_cast<const char*>(view.buf), view.len);
    PyBuffer_Release(&view);
    data = steal_or_throw(copy);
  }
  write_bytes(target, name, data);
}

// Where the PMML text and the images go, every subdirectory opened before anything is
// written: a link on the way fails the save before any write.
struct SaveTargets {
  FileTarget pmml;
  std::vector<FileTarget> images;
};

SaveTargets open_targets(const FileDescriptor& top, nb::handle directory, const SavedParts& parts,
                         nb::handle pmml_name) {
  SaveTargets targets;
  if (!parts.pmml.is_none()) targets.pmml = file_target(top, directory, pmml_name, "pmml_filename");
  for (nb::handle item : parts.image_items)
    targets.images.push_back(
        file_target(top, directory, nb::borrow<nb::tuple>(item)[0], "attached_images key"));
  return targets;
}

void write_parts(const FileDescriptor& top, const SavedParts& parts, nb::handle pmml_name,
                 const SaveTargets& targets) {
  write_text_file(top_level_target(top, zelvora::kModelDocumentName),
                  to_str(zelvora::kModelDocumentName), parts.yaml);
  if (!parts.json.is_none())
    write_text_file(top_level_target(top, zelvora::kExternalJsonName),
                    to_str(zelvora::kExternalJsonName), parts.json);
  if (!parts.pmml.is_none()) write_text_file(targets.pmml, pmml_name, parts.pmml);
  std::size_t index = 0;
  for (nb::handle item : parts.image_items) {
    nb::tuple key_and_image = nb::borrow<nb::tuple>(item);
    write_image_file(targets.images[index++], key_and_image[0], key_and_image[1]);
  }
}

void save_to_directory(nb::handle self, nb::handle directory_arg, nb::handle pmml_filename) {
  check_pmml_filename(pmml_filename);
  const SavedParts parts = parts_to_save(self);
  nb::object directory = state->fsdecode(directory_arg);
  const nb::str pmml_name = pmml_member_name(pmml_filename);
  // Every name is checked before the directory is created or anything is written.
  if (!parts.pmml.is_none()) check_lexically_inside(directory, pmml_name, "pmml_filename");
  for (nb::handle item : parts.image_items)
    check_lexically_inside(directory, nb::borrow<nb::tuple>(item)[0], "attached_images key");
  if (!nb::cast<bool>(state->path_isdir(directory))) state->mkdir(directory);
  const FileDescriptor top = open_directory(directory);
  const SaveTargets targets = open_targets(top, directory, parts, pmml_name);
  write_parts(top, parts, pmml_name, targets);
}

// --- reading ---------------------------------------------------------------------------

// A bytes object the core reads a file into. Nobody else sees it until it is complete, so
// the reads run without the GIL; the GIL is taken back only to allocate it or resize it.
class BytesBuffer final : public ReadBuffer {
 public:
  char* resize(std::size_t size) override {
    nb::gil_scoped_acquire held;
    const auto length = static_cast<Py_ssize_t>(size);
    if (!data_.is_valid()) {
      data_ = steal_or_throw(PyBytes_FromStringAndSize(nullptr, length));
    } else {
      PyObject* raw = data_.release().ptr();
      if (_PyBytes_Resize(&raw, length) != 0) throw nb::python_error();  // raw is gone then
      data_ = nb::steal(raw);
    }
    return PyBytes_AS_STRING(data_.ptr());
  }
  nb::bytes take() { return nb::steal<nb::bytes>(data_.release()); }

 private:
  nb::object data_;
};

// The whole file `name` of the directory, charged to the budget.
nb::bytes read_file_bytes(int directory, nb::handle name, nb::handle path,
                          ExpansionBudget& budget) {
  const std::string entry = fs_name(name);
  BytesBuffer buffer;
  try {
    without_gil([&] {
      return zelvora::read_regular_file(directory, entry, budget, buffer, check_signals);
    });
  } catch (const FileError& e) {
    if (e.reason() == FileError::Reason::not_regular)
      raise_value_error(nb::str("{!r} is not a regular file").format(path));
    raise_os_error(e.error(), path);
  } catch (const BudgetExceeded& e) {
    raise_past_budget(name, e.limit());
  }
  return buffer.take();
}

// Reads a text file as UTF-8; CR LF and a lone CR become LF.
nb::object read_text_file(int directory, nb::handle name, nb::handle path,
                          ExpansionBudget& budget) {
  nb::str text = decode_utf8(read_file_bytes(directory, name, path, budget));
  return new_text_stream(text.attr("replace")("\r\n", "\n").attr("replace")("\r", "\n"));
}

nb::object read_image_file(int directory, nb::handle name, nb::handle path,
                           ExpansionBudget& budget) {
  return state->bytes_io(read_file_bytes(directory, name, path, budget));
}

// The first ".pmml" entry in listing order, or None.
nb::object first_pmml_entry(nb::handle listing) {
  for (nb::handle name : listing) {
    if (zelvora::is_pmml_name(text_bytes(name))) return nb::borrow(name);
  }
  return nb::none();
}

nb::object load_from_directory(nb::handle, nb::handle directory_arg, nb::handle max_size) {
  State& s = *state;
  ExpansionBudget budget = budget_of(max_size);
  nb::object directory = s.fsdecode(directory_arg);
  const FileDescriptor top = open_directory(directory);
  const int fd = top.get();
  nb::list listing = nb::borrow<nb::list>(s.listdir(fd));
  Parts parts = empty_parts();
  const nb::str yaml_name = to_str(zelvora::kModelDocumentName);
  parts.yaml = read_text_file(fd, yaml_name, path_in(directory, yaml_name), budget);

  const nb::str json_name = to_str(zelvora::kExternalJsonName);
  nb::object pmml_name = first_pmml_entry(listing);
  if (PySequence_Contains(listing.ptr(), json_name.ptr()) == 1)
    parts.json = read_text_file(fd, json_name, path_in(directory, json_name), budget);
  else if (!pmml_name.is_none())
    parts.pmml = read_text_file(fd, pmml_name, path_in(directory, pmml_name), budget);

  for (nb::handle name : s.listdir(fd)) {
    if (zelvora::is_directory_image_name(text_bytes(name)))
      parts.images[name] = read_image_file(fd, name, path_in(directory, name), budget);
  }
  return new_content(parts);
}

}  // namespace

std::vector<MethodDecl> directory_methods() {
  return {
      method("save_to_directory", &save_to_directory, nb::arg("directory"),
             nb::arg("pmml_filename").none() = nb::none(),
             nb::sig("def save_to_directory(self, directory: str | os.PathLike[str], "
                     "pmml_filename: Optional[str] = None) -> None")),
      class_method("load_from_directory", &load_from_directory, nb::arg("cls"),
                   nb::arg("directory"), nb::kw_only(), nb::arg("max_size") = kDefaultMaxSize,
                   nb::sig("def load_from_directory(cls, directory: str | os.PathLike[str], *, "
                           "max_size: int = 536870912) -> Self")),
  };
}

}  // namespace zelvora::content
