// zelvora_analytics_utils.predictive_models.content: the content bundle, the files of a
// stored model held in memory and written to or read from a directory, a tar archive or
// a zip archive.
//
// The bundle is a plain Python class whose four values are ordinary instance attributes,
// so the garbage collector sees every reference it holds; its operations are compiled
// functions that reach Python's io, tarfile, zipfile and os through the module state.
// This file holds the class and its values; the archives and the directory have a file
// each.
#include "predictive_models/content.hpp"

#include <climits>

#include "common/arguments.hpp"
#include "common/conversions.hpp"
#include "common/python_api.hpp"
#include "zelvora/bundle_layout.hpp"

namespace zelvora::content {

using namespace zelvora::py;

ModuleState<State> state;

namespace {

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

// A plain string or bytes is refused where a stream is expected, naming the argument,
// instead of failing later (at save time) on a missing method.
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

// The images as (key, stream) pairs, each checked.
nb::list checked_image_items(nb::handle images) {
  check_argument_type(images, &PyDict_Type, "attached_images", NoneAllowed::no);
  nb::list items = steal_or_throw<nb::list>(PyDict_Items(images.ptr()));
  for (nb::handle item : items) {
    nb::tuple key_and_image = nb::borrow<nb::tuple>(item);
    check_argument_type(key_and_image[0], &PyUnicode_Type, "attached_images key", NoneAllowed::no);
    check_stream(key_and_image[1], "attached_images value", "binary stream", NoneAllowed::no);
  }
  return items;
}

void init_content(nb::handle self, nb::handle yaml, nb::handle json, nb::handle pmml,
                  nb::handle images) {
  State& s = *state;
  check_text_parts(yaml, json, pmml);
  // No mapping given: a fresh one for this bundle, never a shared default.
  nb::object mapping = nb::borrow(images);
  if (images.is_none())
    mapping = nb::dict();
  else
    checked_image_items(images);
  self.attr(s.yaml_field) = yaml;
  self.attr(s.json_field) = json;
  self.attr(s.pmml_field) = pmml;
  self.attr(s.images_field) = mapping;
}

std::vector<MethodDecl> content_methods() {
  std::vector<MethodDecl> methods{
      method("__init__", &init_content, nb::arg("augmented_predictive_model_yaml").none(),
             nb::arg("external_model_json").none() = nb::none(),
             nb::arg("external_model_pmml").none() = nb::none(),
             nb::arg("attached_images").none() = nb::none(),
             nb::sig("def __init__(self, augmented_predictive_model_yaml: io.StringIO, "
                     "external_model_json: Optional[io.StringIO] = None, "
                     "external_model_pmml: Optional[io.StringIO] = None, "
                     "attached_images: Optional[dict[str, io.BytesIO]] = None) -> None")),
  };
  for (auto& table : {directory_methods(), archive_methods()})
    methods.insert(methods.end(), table.begin(), table.end());
  return methods;
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

// --- the bundle's values ---------------------------------------------------------------

bool is_stream(nb::handle value) {
  return nb::hasattr(value, "read") && nb::hasattr(value, "seek");
}

Parts empty_parts() {
  return {nb::object(), nb::none(), nb::none(), nb::dict()};
}

nb::object new_content(const Parts& parts) {
  return state->content_class(parts.yaml, parts.json, parts.pmml, parts.images);
}

SavedParts parts_to_save(nb::handle self) {
  State& s = *state;
  nb::list items = checked_image_items(self.attr(s.images_field));
  SavedParts parts{self.attr(s.yaml_field), self.attr(s.json_field), self.attr(s.pmml_field),
                   items};
  check_text_parts(parts.yaml, parts.json, parts.pmml);
  return parts;
}

void check_pmml_filename(nb::handle pmml_filename) {
  check_argument_type(pmml_filename, &PyUnicode_Type, "pmml_filename", NoneAllowed::yes);
}

nb::str pmml_member_name(nb::handle pmml_filename) {
  if (!pmml_filename.is_none() && PyUnicode_GetLength(pmml_filename.ptr()) > 0)
    return nb::borrow<nb::str>(pmml_filename);
  return to_str(zelvora::kExternalPmmlName);
}

// --- texts -----------------------------------------------------------------------------

void raise_value_error(nb::handle message) {
  PyErr_SetObject(PyExc_ValueError, message.ptr());
  throw nb::python_error();
}

nb::str decode_utf8(nb::handle data) {
  char* buffer = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(data.ptr(), &buffer, &size) != 0) throw nb::python_error();
  return steal_or_throw<nb::str>(PyUnicode_DecodeUTF8(buffer, size, "strict"));
}

nb::object new_text_stream(nb::handle text) {
  // newline="\n": no newline translation on the way in or out.
  return state->string_io(text, nb::arg("newline") = "\n");
}

nb::object read_whole(nb::handle stream) {
  stream.attr("seek")(0);
  return stream.attr("read")();
}

// --- the load's budget -----------------------------------------------------------------

ExpansionBudget budget_of(nb::handle max_size) {
  check_argument_type(max_size, &PyLong_Type, "max_size", NoneAllowed::no);
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(max_size.ptr(), &overflow);
  if (value == -1 && PyErr_Occurred()) throw nb::python_error();
  if (overflow > 0) return ExpansionBudget(LLONG_MAX);
  if (overflow < 0 || value < 0) raise_value_error(to_str(zelvora::kNegativeMaxSize));
  return ExpansionBudget(value);
}

void raise_past_budget(nb::handle member, long long limit) {
  raise_value_error(
      from_text_bytes(zelvora::expansion_refusal(text_bytes(nb::repr(member)), limit)));
}

void check_declared(const ExpansionBudget& budget, nb::handle member,
                    std::optional<long long> size) {
  try {
    budget.check_declared(size);
  } catch (const BudgetExceeded& e) {
    raise_past_budget(member, e.limit());
  }
}

void spend(ExpansionBudget& budget, nb::handle member, long long size) {
  try {
    budget.spend(size);
  } catch (const BudgetExceeded& e) {
    raise_past_budget(member, e.limit());
  }
}

}  // namespace zelvora::content

NB_MODULE(content, m) {
  using namespace zelvora;
  py::describe_module(m, "The content bundle: directory, tar and zip.");
  py::load_api(m);
  content::state.emplace(m, content::load_state());
  content::declare_content(m);
}
