// The content bundle as a tar or zip archive, written and read through Python's tarfile
// and zipfile. Loading is bounded: every member is charged to the load's budget as it is
// read, and what tarfile and zipfile would otherwise expand unchecked (extended tar headers,
// bzip2 and LZMA zip entries) is read in small steps.
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <string_view>

#include "common/arguments.hpp"
#include "common/conversions.hpp"
#include "common/python_api.hpp"
#include "predictive_models/content.hpp"
#include "zelvora/bundle_layout.hpp"

namespace zelvora::content {

using namespace zelvora::py;

namespace {

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

// A byte count read from an archive header as a Python int; nothing when it lies past the
// machine's range, either way (a forged header may declare any number).
std::optional<long long> byte_count(nb::handle value) {
  int overflow = 0;
  const long long count = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
  if (count == -1 && PyErr_Occurred()) throw nb::python_error();
  if (overflow != 0) return std::nullopt;
  return count;
}

nb::bytes joined_bytes(nb::handle pieces) {
  return nb::borrow<nb::bytes>(nb::bytes("").attr("join")(pieces));
}

// The whole data of a member stream, read in steps of at most `chunk` bytes and charged
// to the budget as it arrives, so an oversized member fails before it is held.
nb::bytes read_bounded(nb::handle stream, nb::handle member, ExpansionBudget& budget,
                       long long chunk = kReadChunk) {
  nb::list pieces;
  for (;;) {
    nb::bytes piece = nb::borrow<nb::bytes>(stream.attr("read")(budget.next_read(chunk)));
    if (piece.size() == 0) break;
    spend(budget, member, static_cast<long long>(piece.size()));
    pieces.append(piece);
  }
  return joined_bytes(pieces);
}

// --- writing ---------------------------------------------------------------------------

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

// --- reading ---------------------------------------------------------------------------

// The archive argument of a loader: a binary stream (read from its start), or the path of
// the archive file (str or os.PathLike), which is opened here and returned to be closed
// after the load; for a stream, a null object. Anything else (bytes, a text stream) is an
// argument type error naming `name`.
nb::object open_archive_path(nb::handle content, const char* name) {
  if (PyUnicode_Check(content.ptr()) || nb::isinstance(content, state->path_like))
    return state->open_file(content, "rb");
  if (!is_stream(content) || nb::isinstance(content, state->text_io_base))
    raise_argument_type_error(content, name, "binary stream or path");
  return {};
}

// The stream a loader reads: the file `open_archive_path` opened, else the caller's stream;
// either way from its start.
nb::handle rewound_source(const Closing& file, nb::handle content) {
  const nb::handle stream = file.get().is_valid() ? file.get() : content;
  stream.attr("seek")(0);
  return stream;
}

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

[[noreturn]] void raise_tar_read_error(const nb::str& message) {
  PyErr_SetObject(state->tar_read_error.ptr(), message.ptr());
  throw nb::python_error();
}

// tarfile ends its member list quietly at a truncated or invalid header past the first
// one, and at the end of the data; the block where it stopped must be the end-of-archive
// marker that every writer emits, else members would be lost without a word (an archive
// cut at a member boundary looks whole to tarfile).
void check_tar_ended_cleanly(nb::handle archive) {
  constexpr std::size_t kBlockSize = 512;
  nb::object data = archive.attr("fileobj");
  nb::object offset = archive.attr("offset");
  data.attr("seek")(offset);
  nb::bytes block = nb::borrow<nb::bytes>(data.attr("read")(kBlockSize));
  const std::string_view bytes(block.c_str(), block.size());
  if (bytes.size() == kBlockSize && bytes.find_first_not_of('\0') == std::string_view::npos) return;
  raise_tar_read_error(
      nb::str("truncated or corrupt tar archive: no end-of-archive marker at offset {}")
          .format(offset));
}

// A sparse member declares a size its stored data does not hold; it is refused outright.
void check_not_sparse(nb::handle member) {
  if (nb::cast<bool>(member.attr("issparse")()))
    raise_value_error(nb::str("tar member {!r} is a sparse file, which a bundle cannot hold")
                          .format(member.attr("name")));
}

nb::bytes read_tar_member(nb::handle archive, nb::handle member, ExpansionBudget& budget) {
  nb::object name = member.attr("name");
  check_declared(budget, name, byte_count(member.attr("size")));
  Closing data(archive.attr("extractfile")(member));
  nb::bytes bytes = read_bounded(data.get(), name, budget);
  data.close();
  return bytes;
}

void check_extended_header(nb::handle info) {
  if (PySequence_Contains(state->tar_extended_types.ptr(), info.attr("type").ptr()) != 1) return;
  const nb::object offset = info.attr("offset"), size = info.attr("size");
  if (zelvora::extended_header_fits(byte_count(size))) return;
  raise_value_error(from_text_bytes(
      zelvora::extended_header_refusal(text_bytes(nb::str(offset)), text_bytes(nb::str(size)))));
}

// A negative size (base-256 numbers carry a sign) would move tarfile backwards.
void check_size_not_negative(nb::handle info) {
  nb::object size = info.attr("size");
  const int negative = PyObject_RichCompareBool(size.ptr(), nb::int_(0).ptr(), Py_LT);
  if (negative < 0) throw nb::python_error();
  if (negative == 0) return;
  raise_tar_read_error(nb::str("corrupt tar header at offset {}: negative member size {}")
                           .format(info.attr("offset"), size));
}

// tarfile skips the data of members it does not load by seeking to the next header; a
// size past the machine's range would make that seek fail with an arithmetic error.
// Regular members are left to the loading limit, which names them.
void check_next_header_reachable(nb::handle member, nb::handle archive) {
  if (nb::cast<bool>(member.attr("isreg")())) return;
  if (byte_count(archive.attr("offset"))) return;
  raise_tar_read_error(
      nb::str("corrupt tar header at offset {}: member size {} runs past the end of the data")
          .format(member.attr("offset"), member.attr("size")));
}

// `TarInfo.fromtarfile` as tarfile has it, with the extended header checked before its
// data is read.
nb::object bounded_tar_header(nb::handle cls, nb::handle archive) {
  constexpr long long kBlockSize = 512;
  nb::object data = archive.attr("fileobj");
  nb::object block = data.attr("read")(kBlockSize);
  nb::object info = cls.attr("frombuf")(block, archive.attr("encoding"), archive.attr("errors"));
  info.attr("offset") = nb::int_(nb::cast<long long>(data.attr("tell")()) - kBlockSize);
  check_size_not_negative(info);
  check_extended_header(info);
  nb::object member = info.attr("_proc_member")(archive);
  check_size_not_negative(member);  // a pax record may give another size
  check_next_header_reachable(member, archive);
  return member;
}

nb::object load_from_tar(nb::handle, nb::handle tar_content, nb::handle max_size) {
  ExpansionBudget budget = budget_of(max_size);
  Closing file(open_archive_path(tar_content, "tar_content"));
  const nb::handle stream = rewound_source(file, tar_content);
  // "r:*" recognises uncompressed, gzip, bzip2 and xz archives from the data; compressed
  // data is decompressed as it is read, never ahead of it.
  Closing archive(state->tarfile_open(nb::arg("fileobj") = stream, nb::arg("mode") = "r:*",
                                      nb::arg("tarinfo") = state->bounded_tar_info));
  Parts parts = empty_parts();
  for (nb::handle member : archive.get()) {
    check_not_sparse(member);
    // Only regular files carry data; directories, links and devices are skipped (a link
    // would otherwise stand in for another member's data).
    if (!nb::cast<bool>(member.attr("isreg")())) continue;
    nb::object name = member.attr("name");
    nb::bytes data = read_tar_member(archive.get(), member, budget);
    take_member(parts, text_bytes(name), data, name);
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

long long zip_read_chunk(nb::handle info) {
  return info.attr("compress_type").equal(state->zip_lzma) ? kLzmaReadChunk : kReadChunk;
}

// The stored bytes of an entry, still compressed: the entry opened as if it were stored
// uncompressed, its compressed size taken as its size and no checksum expected.
nb::object open_raw_zip_entry(nb::handle archive, nb::handle info) {
  nb::object raw = state->copy(info);
  raw.attr("compress_type") = state->zip_stored;
  raw.attr("file_size") = info.attr("compress_size");
  if (PyObject_DelAttrString(raw.ptr(), "CRC") != 0) throw nb::python_error();
  return archive.attr("open")(raw);
}

void check_zip_crc(nb::handle info, nb::handle name, nb::handle data) {
  if (state->crc32(data).equal(info.attr("CRC"))) return;
  PyErr_SetObject(state->bad_zip_file.ptr(),
                  nb::str("Bad CRC-32 for file {!r}").format(name).ptr());
  throw nb::python_error();
}

// A bzip2 entry is decompressed here, in bounded steps: zipfile hands a bzip2
// decompressor all the data read at once, and a few KB can expand to GBs in that one
// call. Like zipfile, it stops at the declared size and checks the CRC.
nb::bytes read_bzip2_entry(nb::handle archive, nb::handle info, nb::handle name,
                           ExpansionBudget& budget) {
  const auto declared = nb::cast<long long>(info.attr("file_size"));  // checked in range
  Closing raw(open_raw_zip_entry(archive, info));
  nb::object decompressor = state->bzip2_decompressor();
  nb::list pieces;
  for (long long total = 0; total < declared && !nb::cast<bool>(decompressor.attr("eof"));) {
    nb::object input = nb::bytes("");
    if (nb::cast<bool>(decompressor.attr("needs_input"))) {
      input = raw.get().attr("read")(kReadChunk);
      if (nb::len(input) == 0) {
        PyErr_SetString(PyExc_EOFError,
                        "Compressed file ended before the end-of-stream marker was reached");
        throw nb::python_error();
      }
    }
    nb::bytes piece = nb::borrow<nb::bytes>(
        decompressor.attr("decompress")(input, std::min<long long>(kReadChunk, declared - total)));
    spend(budget, name, static_cast<long long>(piece.size()));
    total += static_cast<long long>(piece.size());
    pieces.append(piece);
  }
  raw.close();
  nb::bytes data = joined_bytes(pieces);
  check_zip_crc(info, name, data);
  return data;
}

nb::bytes read_zip_entry(nb::handle archive, nb::handle info, nb::handle name,
                         ExpansionBudget& budget) {
  check_declared(budget, name, byte_count(info.attr("file_size")));
  if (info.attr("compress_type").equal(state->zip_bzip2))
    return read_bzip2_entry(archive, info, name, budget);
  Closing entry(archive.attr("open")(info));
  nb::bytes bytes = read_bounded(entry.get(), name, budget, zip_read_chunk(info));
  entry.close();
  return bytes;
}

nb::object load_from_zip(nb::handle, nb::handle zip_content, nb::handle max_size) {
  ExpansionBudget budget = budget_of(max_size);
  Closing file(open_archive_path(zip_content, "zip_content"));
  const nb::handle stream = rewound_source(file, zip_content);
  Closing archive(state->zip_file(stream, "r"));
  Parts parts = empty_parts();
  for (nb::handle info : archive.get().attr("infolist")()) {
    nb::object name = info.attr("filename");
    const std::string name_text = text_bytes(name);
    if (name_text.ends_with('/') || is_zip_symlink(info)) continue;
    nb::bytes data = read_zip_entry(archive.get(), info, name, budget);
    take_member(parts, name_text, data, from_text_bytes(zelvora::zip_image_key(name_text)));
  }
  archive.close();
  return loaded_content(parts);
}

}  // namespace

std::vector<MethodDecl> archive_methods() {
  return {
      method("save_to_tar", &save_to_tar, nb::sig("def save_to_tar(self) -> io.BytesIO")),
      method("save_to_zip", &save_to_zip, nb::arg("pmml_filename").none() = nb::none(),
             nb::sig("def save_to_zip(self, pmml_filename: Optional[str] = None) -> io.BytesIO")),
      class_method("load_from_tar", &load_from_tar, nb::arg("cls"), nb::arg("tar_content").none(),
                   nb::kw_only(), nb::arg("max_size") = kDefaultMaxSize,
                   nb::sig("def load_from_tar(cls, tar_content: BinaryIO | str | "
                           "os.PathLike[str], *, max_size: int = 536870912) -> Self")),
      class_method("load_from_zip", &load_from_zip, nb::arg("cls"), nb::arg("zip_content").none(),
                   nb::kw_only(), nb::arg("max_size") = kDefaultMaxSize,
                   nb::sig("def load_from_zip(cls, zip_content: BinaryIO | str | "
                           "os.PathLike[str], *, max_size: int = 536870912) -> Self")),
  };
}

nb::object bounded_tar_info_class(const nb::module_& m) {
  nb::dict ns = class_namespace(m, "_BoundedTarInfo", "A tar header with bounded extended data.");
  const MethodDecl header =
      class_method("fromtarfile", &bounded_tar_header, nb::arg("cls"), nb::arg("tarfile"));
  ns[header.name] = header.callable;
  ns["__slots__"] = nb::tuple();
  return make_class(api().builtin_type, "_BoundedTarInfo", nb::make_tuple(state->tar_info), ns);
}

}  // namespace zelvora::content
