// zelvora_analytics_utils.predictive_models.content: the content bundle, the files of a
// stored model held in memory and written to or read from a directory, a tar archive or
// a zip archive.
//
// The bundle is a plain Python class whose four values are ordinary instance attributes,
// so the garbage collector sees every reference it holds; its operations are compiled
// functions that reach the standard library (io, tarfile, zipfile, os) through the
// module state.
#include <fcntl.h>
#include <nanobind/nanobind.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "common/arguments.hpp"
#include "common/classes.hpp"
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

ModuleState<State> state;

State load_state() {
  State s;
  nb::module_ io = nb::module_::import_("io");
  s.string_io = io.attr("StringIO");
  s.bytes_io = io.attr("BytesIO");
  s.text_io_base = io.attr("TextIOBase");
  s.open_file = io.attr("open");
  nb::module_ tarfile = nb::module_::import_("tarfile");
  s.tarfile_open = tarfile.attr("open");
  s.tar_info = tarfile.attr("TarInfo");
  s.tar_read_error = tarfile.attr("ReadError");
  s.tar_extended_types = nb::make_tuple(tarfile.attr("GNUTYPE_LONGNAME"),
                                        tarfile.attr("GNUTYPE_LONGLINK"), tarfile.attr("XHDTYPE"),
                                        tarfile.attr("XGLTYPE"), tarfile.attr("SOLARIS_XHDTYPE"));
  nb::module_ zipfile = nb::module_::import_("zipfile");
  s.zip_file = zipfile.attr("ZipFile");
  s.zip_deflated = zipfile.attr("ZIP_DEFLATED");
  s.zip_stored = zipfile.attr("ZIP_STORED");
  s.zip_bzip2 = zipfile.attr("ZIP_BZIP2");
  s.zip_lzma = zipfile.attr("ZIP_LZMA");
  s.bad_zip_file = zipfile.attr("BadZipFile");
  s.bzip2_decompressor = nb::module_::import_("bz2").attr("BZ2Decompressor");
  s.crc32 = nb::module_::import_("zlib").attr("crc32");
  s.copy = nb::module_::import_("copy").attr("copy");
  nb::module_ os = nb::module_::import_("os");
  s.fsdecode = os.attr("fsdecode");
  s.listdir = os.attr("listdir");
  s.mkdir = os.attr("mkdir");
  nb::object path = os.attr("path");
  s.path_join = path.attr("join");
  s.path_isdir = path.attr("isdir");
  s.path_like = os.attr("PathLike");
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

// --- bounded expansion -------------------------------------------------------------------

// Default for `max_size`: ten times the largest real models (a big tree model's JSON
// runs to tens of MB), while a hostile bundle stops long before it exhausts a host.
constexpr long long kDefaultMaxSize = 512LL * 1024 * 1024;
constexpr Py_ssize_t kReadChunk = 1 << 20;

// A byte count read from an archive header as a Python int; nothing when it lies past the
// machine's range, either way (a forged header may declare any number).
std::optional<long long> byte_count(nb::handle value) {
  int overflow = 0;
  const long long count = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
  if (count == -1 && PyErr_Occurred()) throw nb::python_error();
  if (overflow != 0) return std::nullopt;
  return count;
}

// The bytes a load may still expand to; every member is charged before it is kept.
class ExpansionBudget {
 public:
  explicit ExpansionBudget(long long limit) : limit_(limit), remaining_(limit) {}

  // The size of the next read: at most `chunk`, and one byte past what is left, so that
  // a member running over shows in the data itself.
  long long next_read(long long chunk) const { return remaining_ < chunk ? remaining_ + 1 : chunk; }

  // Refuses a member whose declared size alone exceeds what is left.
  void check_declared(nb::handle member, long long size) const {
    if (size > remaining_) refuse(member);
  }

  // The same for a size read from an archive header (a Python int of any magnitude).
  void check_declared(nb::handle member, nb::handle size) const {
    const std::optional<long long> count = byte_count(size);
    if (!count) refuse(member);
    check_declared(member, *count);
  }

  // Charges `size` bytes that were actually read.
  void spend(nb::handle member, long long size) {
    if (size > remaining_) refuse(member);
    remaining_ -= size;
  }

 private:
  [[noreturn]] void refuse(nb::handle member) const {
    PyErr_SetObject(PyExc_ValueError,
                    nb::str("bundle member {!r} expands past max_size ({} bytes); pass a larger "
                            "max_size to load it")
                        .format(member, limit_)
                        .ptr());
    throw nb::python_error();
  }

  long long limit_, remaining_;
};

// `max_size` as a byte count: an int, not negative; values past the machine's range mean
// no practical limit.
long long max_size_value(nb::handle max_size) {
  check_argument_type(max_size, &PyLong_Type, "max_size", NoneAllowed::no);
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(max_size.ptr(), &overflow);
  if (value == -1 && PyErr_Occurred()) throw nb::python_error();
  if (overflow > 0) return LLONG_MAX;
  if (overflow < 0 || value < 0) raise_value_error(nb::str("max_size must not be negative"));
  return value;
}

nb::bytes joined_bytes(nb::handle pieces) {
  return nb::borrow<nb::bytes>(nb::bytes("").attr("join")(pieces));
}

// The whole data of a member stream, read in chunks of at most `chunk` bytes and charged
// to the budget as it arrives, so an oversized member fails before it is held.
nb::bytes read_bounded(nb::handle stream, nb::handle member, ExpansionBudget& budget,
                       Py_ssize_t chunk = kReadChunk) {
  nb::list pieces;
  for (;;) {
    nb::bytes piece = nb::borrow<nb::bytes>(stream.attr("read")(budget.next_read(chunk)));
    if (piece.size() == 0) break;
    budget.spend(member, static_cast<long long>(piece.size()));
    pieces.append(piece);
  }
  return joined_bytes(pieces);
}

// --- the bundle's values ---------------------------------------------------------------

// A stream is what the bundle reads and writes its files through: an object with `read`
// and `seek`. A plain string or bytes is refused where a stream is expected, naming the
// argument, instead of failing later (at save time) on a missing method.
bool is_stream(nb::handle value) {
  return nb::hasattr(value, "read") && nb::hasattr(value, "seek");
}

void check_stream(nb::handle value, const char* name, const char* expected,
                  NoneAllowed none_allowed) {
  if (none_allowed == NoneAllowed::yes && value.is_none()) return;
  if (!is_stream(value)) raise_argument_type_error(value, name, expected);
}

void check_text_parts(nb::handle yaml, nb::handle json, nb::handle pmml) {
  check_stream(yaml, "augmented_predictive_model_yaml", "text stream", NoneAllowed::no);
  check_stream(json, "external_model_json", "text stream or None", NoneAllowed::yes);
  check_stream(pmml, "external_model_pmml", "text stream or None", NoneAllowed::yes);
}

void check_image(nb::handle image) {
  check_stream(image, "attached_images value", "binary stream", NoneAllowed::no);
}

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
  for (nb::handle item : items) {
    nb::tuple key_and_image = nb::borrow<nb::tuple>(item);
    check_image_key(key_and_image[0]);
    check_image(key_and_image[1]);
  }
  SavedParts parts{self.attr(s.yaml_field), self.attr(s.json_field), self.attr(s.pmml_field),
                   items};
  check_text_parts(parts.yaml, parts.json, parts.pmml);
  return parts;
}

void init_content(nb::handle self, nb::handle yaml, nb::handle json, nb::handle pmml,
                  nb::handle images) {
  State& s = *state;
  // No mapping given: a fresh one for this bundle, never a shared default.
  check_text_parts(yaml, json, pmml);
  nb::object mapping = nb::borrow(images);
  if (images.is_none()) {
    mapping = nb::dict();
  } else {
    check_image_mapping(images);
    nb::list items = steal_or_throw<nb::list>(PyDict_Items(images.ptr()));
    for (nb::handle item : items) {
      nb::tuple key_and_image = nb::borrow<nb::tuple>(item);
      check_image_key(key_and_image[0]);
      check_image(key_and_image[1]);
    }
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

[[noreturn]] void raise_tar_read_error(const nb::str& message) {
  PyErr_SetObject(state->tar_read_error.ptr(), message.ptr());
  throw nb::python_error();
}

// The tar reader ends its member list quietly at a truncated or invalid header past the
// first one, and at the end of the data; the block where it stopped must be the
// end-of-archive marker that every writer emits, else members would be lost without a
// word (an archive cut at a member boundary looks whole to the reader).
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
  budget.check_declared(name, member.attr("size"));
  Closing data(archive.attr("extractfile")(member));
  nb::bytes bytes = read_bounded(data.get(), name, budget);
  data.close();
  return bytes;
}

// Long names and pax records are held whole by the tar reader before the member they
// describe is seen; real ones take a few hundred bytes.
constexpr long long kMaxExtendedHeader = 1 << 20;

void check_extended_header(nb::handle info) {
  if (PySequence_Contains(state->tar_extended_types.ptr(), info.attr("type").ptr()) != 1) return;
  const std::optional<long long> size = byte_count(info.attr("size"));
  if (size && *size <= kMaxExtendedHeader) return;
  raise_value_error(
      nb::str(
          "tar extended header at offset {} declares {} bytes, more than the {} a bundle allows")
          .format(info.attr("offset"), info.attr("size"), kMaxExtendedHeader));
}

// A negative size (base-256 numbers carry a sign) would move the reader backwards.
void check_size_not_negative(nb::handle info) {
  nb::object size = info.attr("size");
  const int negative = PyObject_RichCompareBool(size.ptr(), nb::int_(0).ptr(), Py_LT);
  if (negative < 0) throw nb::python_error();
  if (negative == 0) return;
  raise_tar_read_error(nb::str("corrupt tar header at offset {}: negative member size {}")
                           .format(info.attr("offset"), size));
}

// The reader skips the data of members it does not load by seeking to the next header;
// a size past the machine's range would make that seek fail with an arithmetic error.
// Regular members are left to the loading limit, which names them.
void check_next_header_reachable(nb::handle member, nb::handle archive) {
  if (nb::cast<bool>(member.attr("isreg")())) return;
  if (byte_count(archive.attr("offset"))) return;
  raise_tar_read_error(
      nb::str("corrupt tar header at offset {}: member size {} runs past the end of the data")
          .format(member.attr("offset"), member.attr("size")));
}

// `TarInfo.fromtarfile` as the tar reader has it, with the extended header checked
// before its data is read.
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
  ExpansionBudget budget(max_size_value(max_size));
  Closing file(open_archive_path(tar_content, "tar_content"));
  nb::handle stream = file.get().is_valid() ? file.get() : tar_content;
  stream.attr("seek")(0);
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

// LZMA output per call grows with the compressed input it is given; small reads keep
// each step to a few tens of MB whatever the entry claims.
Py_ssize_t zip_read_chunk(nb::handle info) {
  constexpr Py_ssize_t kLzmaChunk = 4096;
  return info.attr("compress_type").equal(state->zip_lzma) ? kLzmaChunk : kReadChunk;
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

// A bzip2 entry is decompressed here, in bounded steps: the zip reader hands a bzip2
// decompressor all the data read at once, and a few KB can expand to GBs in that one
// call. Like the zip reader, it stops at the declared size and checks the CRC.
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
    budget.spend(name, static_cast<long long>(piece.size()));
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
  budget.check_declared(name, info.attr("file_size"));
  if (info.attr("compress_type").equal(state->zip_bzip2))
    return read_bzip2_entry(archive, info, name, budget);
  Closing entry(archive.attr("open")(info));
  nb::bytes bytes = read_bounded(entry.get(), name, budget, zip_read_chunk(info));
  entry.close();
  return bytes;
}

nb::object load_from_zip(nb::handle, nb::handle zip_content, nb::handle max_size) {
  ExpansionBudget budget(max_size_value(max_size));
  Closing file(open_archive_path(zip_content, "zip_content"));
  nb::handle stream = file.get().is_valid() ? file.get() : zip_content;
  stream.attr("seek")(0);
  Closing archive(state->zip_file(stream, "r"));
  Parts parts = empty_parts();
  for (nb::handle info : archive.get().attr("infolist")()) {
    nb::object name = info.attr("filename");
    const std::string name_text = name_bytes(name);
    if (name_text.ends_with('/') || is_zip_symlink(info)) continue;
    nb::bytes data = read_zip_entry(archive.get(), info, name, budget);
    take_member(parts, name_text, data, name_from_bytes(zelvora::zip_image_key(name_text)));
  }
  archive.close();
  return loaded_content(parts);
}

// --- directory: file descriptors ------------------------------------------------------

// Every file of a directory bundle is reached relative to a descriptor of the directory,
// opened once, and no link inside the directory is followed.

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

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

// Runs a system call without the GIL; it must touch no Python object, only names, fds and
// bytes its caller owns. Returns the result and the errno it left.
template <class Call>
auto without_gil(Call call) {
  nb::gil_scoped_release released;
  const auto result = call();
  return std::pair{result, errno};
}

// Runs a system call without the GIL, retrying when a signal interrupts it; a failure
// raises the OSError subclass of errno, naming `name`, once the GIL is back.
template <class Call>
auto system_call(Call call, nb::handle name) {
  for (;;) {
    const auto [result, error] = without_gil(call);
    if (result >= 0) return result;
    if (error != EINTR) raise_os_error(error, name);
    if (PyErr_CheckSignals() != 0) throw nb::python_error();
  }
}

FileDescriptor open_directory(nb::handle directory) {
  // The directory named by the caller may itself be a link; nothing below it is followed.
  const std::string path = fs_name(directory);
  return FileDescriptor(system_call(
      [&] { return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }, directory));
}

FileDescriptor open_subdirectory(int parent, const std::string& segment, nb::handle name) {
  return FileDescriptor(system_call(
      [&] {
        return ::openat(parent, segment.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      },
      name));
}

// --- directory: writing ----------------------------------------------------------------

nb::object path_in(nb::handle directory, nb::handle name) {
  return state->path_join(directory, name);
}

// Where one file is written: the descriptor of its directory (the bundle directory, or
// a subdirectory opened on the way) and its last name segment.
struct FileTarget {
  FileDescriptor subdirectory;
  int directory = -1;
  std::string leaf;
};

[[noreturn]] void raise_leaves_directory(nb::handle directory, nb::handle name, const char* what) {
  raise_value_error(
      nb::str("{} {!r} would leave the directory {!r}").format(what, name, directory));
}

// Refuses a name that is absolute, climbs out with "..", or names no file.
void check_lexically_inside(nb::handle directory, nb::handle name, const char* what) {
  const PathPlacement placement = zelvora::lexical_placement(name_bytes(name));
  if (placement == PathPlacement::not_a_file)
    raise_value_error(nb::str("{} {!r} does not name a file in the directory").format(what, name));
  if (placement != PathPlacement::inside) raise_leaves_directory(directory, name, what);
}

// Whether the entry is a symbolic link (only to explain a refusal; nothing is opened).
bool is_symlink_at(int directory, const std::string& entry) {
  struct stat status {};
  return ::fstatat(directory, entry.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
         S_ISLNK(status.st_mode);
}

// Opens the subdirectories on the way to `name` one segment at a time, never through a
// symbolic link, so the file lands below `top` whatever is swapped in meanwhile.
FileTarget file_target(const FileDescriptor& top, nb::handle directory, nb::handle name,
                       const char* what) {
  check_lexically_inside(directory, name, what);
  const std::string path = fs_name(name);
  FileTarget target{FileDescriptor(), top.get(), {}};
  std::size_t begin = 0;
  for (std::size_t slash; (slash = path.find('/', begin)) != std::string::npos; begin = slash + 1) {
    const std::string segment = path.substr(begin, slash - begin);
    if (segment.empty() || segment == ".") continue;
    try {
      target.subdirectory = open_subdirectory(target.directory, segment, name);
    } catch (nb::python_error&) {
      if (is_symlink_at(target.directory, segment)) raise_leaves_directory(directory, name, what);
      throw;
    }
    target.directory = target.subdirectory.get();
  }
  target.leaf = path.substr(begin);
  return target;
}

// A fresh name beside `leaf` for the file written before it is renamed into place.
std::string temporary_name(const std::string& leaf) {
  static std::random_device source;
  constexpr std::size_t kLeafPart = 200;  // leaves room below NAME_MAX
  std::string name(1, '.');
  name.append(leaf, 0, kLeafPart);
  for (int part = 0; part < 2; ++part) name.append(".").append(std::to_string(source()));
  return name.append(".tmp");
}

void write_all(int fd, std::string_view data, nb::handle name) {
  while (!data.empty()) {
    const auto written = system_call([&] { return ::write(fd, data.data(), data.size()); }, name);
    data.remove_prefix(static_cast<std::size_t>(written));
  }
}

// A regular file being replaced keeps its permission bits, as it would when truncated.
void keep_permissions(int directory, const std::string& leaf, int file, nb::handle name) {
  struct stat status {};
  const int found = without_gil([&] {
                      return ::fstatat(directory, leaf.c_str(), &status, AT_SYMLINK_NOFOLLOW);
                    }).first;
  if (found != 0 || !S_ISREG(status.st_mode)) return;
  system_call([&] { return ::fchmod(file, status.st_mode & 07777); }, name);
}

// Writes `data` to a new temporary file in the target's directory, then renames it over
// the name: a link already standing there is replaced, never written through, and the
// old file stays whole until the new one is complete. The temporary file is removed on
// failure.
void write_file_atomically(const FileTarget& target, nb::handle name, std::string_view data) {
  const int directory = target.directory;
  const std::string temporary = temporary_name(target.leaf);
  constexpr int kFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  FileDescriptor file(
      system_call([&] { return ::openat(directory, temporary.c_str(), kFlags, 0666); }, name));
  try {
    keep_permissions(directory, target.leaf, file.get(), name);
    write_all(file.get(), data, name);
    system_call([&] { return ::fsync(file.get()); }, name);
    // Not retried: the descriptor is gone whatever close() reports.
    const auto [closed, error] = without_gil([fd = file.release()] { return ::close(fd); });
    if (closed != 0) raise_os_error(error, name);
    system_call(
        [&] { return ::renameat(directory, temporary.c_str(), directory, target.leaf.c_str()); },
        name);
  } catch (...) {
    ::unlinkat(directory, temporary.c_str(), 0);
    throw;
  }
}

void write_text_file(const FileTarget& target, nb::handle name, nb::handle stream) {
  // The text is written exactly as the stream holds it, as UTF-8.
  nb::object encoded = steal_or_throw(PyUnicode_AsUTF8String(read_whole(stream).ptr()));
  write_file_atomically(target, name,
                        {PyBytes_AS_STRING(encoded.ptr()),
                         static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.ptr()))});
}

void write_bytes_file(const FileTarget& target, nb::handle name, nb::handle stream) {
  // The bytes are written with the GIL released: anything but immutable bytes (a
  // bytearray, a memoryview another thread may change) is copied into bytes first.
  nb::object data = read_whole(stream);
  if (!PyBytes_Check(data.ptr())) {
    Py_buffer view;
    if (PyObject_GetBuffer(data.ptr(), &view, PyBUF_SIMPLE) != 0) throw nb::python_error();
    PyObject* copy = PyBytes_FromStringAndSize(static_cast<const char*>(view.buf), view.len);
    PyBuffer_Release(&view);
    data = steal_or_throw(copy);
  }
  write_file_atomically(
      target, name,
      {PyBytes_AS_STRING(data.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(data.ptr()))});
}

FileTarget top_level_target(const FileDescriptor& top, std::string_view name) {
  return {FileDescriptor(), top.get(), std::string(name)};
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
    write_bytes_file(targets.images[index++], key_and_image[0], key_and_image[1]);
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

// --- directory: reading ----------------------------------------------------------------

[[noreturn]] void raise_not_regular(nb::handle path) {
  raise_value_error(nb::str("{!r} is not a regular file").format(path));
}

// Opens an entry of the directory without following a link and without blocking (a FIFO
// would otherwise hold the load forever), and accepts only a regular file. A directory
// fails as opening it for reading would.
FileDescriptor open_regular_file(int directory, nb::handle name, nb::handle path) {
  const std::string entry = fs_name(name);
  constexpr int kFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  int fd = -1;
  try {
    fd = system_call([&] { return ::openat(directory, entry.c_str(), kFlags); }, path);
  } catch (nb::python_error& error) {
    if (error.matches(PyExc_OSError) && nb::cast<int>(error.value().attr("errno")) == ELOOP)
      raise_not_regular(path);
    throw;
  }
  FileDescriptor file(fd);
  struct stat status {};
  system_call([&] { return ::fstat(file.get(), &status); }, path);
  if (S_ISDIR(status.st_mode)) {
    errno = EISDIR;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
    throw nb::python_error();
  }
  if (!S_ISREG(status.st_mode)) raise_not_regular(path);
  return file;
}

// The whole file, charged to the budget: its size on disk first, then what was read (a
// file may grow while it is read).
nb::bytes read_file_bytes(int directory, nb::handle name, nb::handle path,
                          ExpansionBudget& budget) {
  const FileDescriptor file = open_regular_file(directory, name, path);
  struct stat status {};
  system_call([&] { return ::fstat(file.get(), &status); }, path);
  const long long declared = static_cast<long long>(status.st_size);
  budget.check_declared(name, declared);
  // Read straight into a fresh bytes object nobody else sees yet, so the reads run without
  // the GIL; at most one byte past the budget, so a file that grew past it shows.
  const long long most = budget.next_read(LLONG_MAX);
  auto capacity = static_cast<Py_ssize_t>(std::min(declared + 1, most));
  nb::object data = steal_or_throw(PyBytes_FromStringAndSize(nullptr, capacity));
  const auto resize = [&data](Py_ssize_t size) {
    PyObject* raw = data.release().ptr();
    if (_PyBytes_Resize(&raw, size) != 0) throw nb::python_error();  // raw is gone then
    data = nb::steal(raw);
  };
  Py_ssize_t filled = 0;
  for (;;) {
    if (filled == capacity) {
      if (capacity >= most) break;
      capacity = static_cast<Py_ssize_t>(std::min<long long>(most, 2LL * capacity + kReadChunk));
      resize(capacity);
    }
    char* buffer = PyBytes_AS_STRING(data.ptr()) + filled;
    const auto wanted = static_cast<std::size_t>(capacity - filled);
    const auto count = system_call([&] { return ::read(file.get(), buffer, wanted); }, path);
    if (count == 0) break;
    filled += static_cast<Py_ssize_t>(count);
  }
  budget.spend(name, static_cast<long long>(filled));
  if (filled != capacity) resize(filled);
  return nb::steal<nb::bytes>(data.release());
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
    if (zelvora::is_pmml_name(name_bytes(name))) return nb::borrow(name);
  }
  return nb::none();
}

nb::object load_from_directory(nb::handle, nb::handle directory_arg, nb::handle max_size) {
  State& s = *state;
  ExpansionBudget budget(max_size_value(max_size));
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
    if (zelvora::is_directory_image_name(name_bytes(name)))
      parts.images[name] = read_image_file(fd, name, path_in(directory, name), budget);
  }
  return new_content(parts);
}

// --- declaration -----------------------------------------------------------------------

std::vector<MethodDecl> content_methods() {
  return {
      method("__init__", &init_content, nb::arg("augmented_predictive_model_yaml").none(),
             nb::arg("external_model_json").none() = nb::none(),
             nb::arg("external_model_pmml").none() = nb::none(),
             nb::arg("attached_images").none() = nb::none(),
             nb::sig("def __init__(self, augmented_predictive_model_yaml: io.StringIO, "
                     "external_model_json: Optional[io.StringIO] = None, "
                     "external_model_pmml: Optional[io.StringIO] = None, "
                     "attached_images: Optional[dict[str, io.BytesIO]] = None) -> None")),
      method("save_to_directory", &save_to_directory, nb::arg("directory"),
             nb::arg("pmml_filename").none() = nb::none(),
             nb::sig("def save_to_directory(self, directory: str | os.PathLike[str], "
                     "pmml_filename: Optional[str] = None) -> None")),
      method("save_to_tar", &save_to_tar, nb::sig("def save_to_tar(self) -> io.BytesIO")),
      method("save_to_zip", &save_to_zip, nb::arg("pmml_filename").none() = nb::none(),
             nb::sig("def save_to_zip(self, pmml_filename: Optional[str] = None) -> io.BytesIO")),
      class_method("load_from_directory", &load_from_directory, nb::arg("cls"),
                   nb::arg("directory"), nb::kw_only(), nb::arg("max_size") = kDefaultMaxSize,
                   nb::sig("def load_from_directory(cls, directory: str | os.PathLike[str], *, "
                           "max_size: int = 536870912) -> Self")),
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

// The tar reader's header class, checking extended headers before reading them.
nb::object bounded_tar_info_class(const nb::module_& m) {
  nb::dict ns = class_namespace(m, "_BoundedTarInfo", "A tar header with bounded extended data.");
  const MethodDecl header =
      class_method("fromtarfile", &bounded_tar_header, nb::arg("cls"), nb::arg("tarfile"));
  ns[header.name] = header.callable;
  ns["__slots__"] = nb::tuple();
  return make_class(api().builtin_type, "_BoundedTarInfo", nb::make_tuple(state->tar_info), ns);
}

void declare_content(nb::module_& m) {
  state->bounded_tar_info = bounded_tar_info_class(m);
  state->content_class = declare_class(
      m, {
             .name = "AugmentedPredictiveModelContent",
             .doc = "The files of a stored model: the model's YAML document, optionally the "
                    "external model as JSON or PMML text, and attached images by file name.",
             .methods = content_methods(),
         });
}

}  // namespace

NB_MODULE(content, m) {
  describe_module(m, "The content bundle: directory, tar and zip.");
  load_api(m);
  state.emplace(m, load_state());
  declare_content(m);
}
