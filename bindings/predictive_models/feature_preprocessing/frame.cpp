// FeaturePreprocessing.apply_feature_binning_frame: the binned columns of a whole frame,
// each column binned by FeatureBinning.bin_array.
#include <nanobind/nanobind.h>

#include <string>
#include <string_view>

#include "common/arguments.hpp"
#include "common/classes.hpp"
#include "common/conversions.hpp"
#include "common/errors.hpp"
#include "feature_preprocessing.hpp"

namespace zelvora::py::preprocessing {

namespace {

enum class Frame { pandas, polars, arrow, mapping };

// Whether the value's type comes from `package` (told without importing it).
bool from_package(nb::handle value, std::string_view package) {
  nb::object module = nb::getattr(nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(value.ptr()))),
                                  "__module__", nb::none());
  if (!PyUnicode_Check(module.ptr())) return false;
  const std::optional<std::string_view> name = ascii_view(module);
  return name && name->starts_with(package) &&
         (name->size() == package.size() || (*name)[package.size()] == '.');
}

Frame frame_kind(nb::handle frame) {
  if (from_package(frame, "pandas") && nb::hasattr(frame, "columns") && nb::hasattr(frame, "index"))
    return Frame::pandas;
  if (from_package(frame, "polars") && nb::hasattr(frame, "get_column")) return Frame::polars;
  if (from_package(frame, "pyarrow") && nb::hasattr(frame, "column_names")) return Frame::arrow;
  if (PyDict_Check(frame.ptr()) ||
      PyObject_IsInstance(frame.ptr(), import_class("collections.abc", "Mapping").ptr()) == 1)
    return Frame::mapping;
  if (PyErr_Occurred()) throw nb::python_error();
  raise_argument_type_error(frame, "frame", "DataFrame, Table or mapping");
}

bool has_column(Frame kind, nb::handle frame, nb::handle name) {
  nb::object names = kind == Frame::mapping ? nb::borrow(frame)
                     : kind == Frame::arrow ? nb::object(frame.attr("column_names"))
                                            : nb::object(frame.attr("columns"));
  const int found = PySequence_Contains(names.ptr(), name.ptr());
  if (found < 0) throw nb::python_error();
  return found == 1;
}

nb::object column(Frame kind, nb::handle frame, nb::handle name) {
  switch (kind) {
    case Frame::polars:
      return frame.attr("get_column")(name);
    case Frame::arrow:
      return frame.attr("column")(name);
    default:
      return steal_or_throw(PyObject_GetItem(frame.ptr(), name.ptr()));
  }
}

nb::object assemble(Frame kind, nb::handle frame, nb::dict columns) {
  switch (kind) {
    case Frame::pandas:
      return nb::module_::import_("pandas").attr("DataFrame")(
          columns, nb::arg("index") = frame.attr("index"));
    case Frame::polars:
      return nb::module_::import_("polars").attr("DataFrame")(columns);
    case Frame::arrow:
      return nb::module_::import_("pyarrow").attr("table")(columns);
    case Frame::mapping:
      break;
  }
  return columns;
}

[[noreturn]] void raise_key_error(nb::handle name) {
  PyErr_SetObject(PyExc_KeyError, name.ptr());
  throw nb::python_error();
}

nb::object apply_feature_binning_frame(nb::handle self, nb::handle frame, nb::handle attributes) {
  const Frame kind = frame_kind(frame);
  const State& s = *state;
  // The binnings to apply, with the attribute each reads.
  nb::list chosen;
  if (attributes.is_none()) {
    nb::set seen;
    for_each_item(self.attr(s.binning), [&](const nb::object& binning) {
      nb::object attribute = binning.attr(s.attribute);
      if (seen.contains(attribute) || !has_column(kind, frame, attribute)) return false;
      seen.add(attribute);
      chosen.append(nb::make_tuple(binning, attribute));
      return false;
    });
  } else {
    if (!PyList_Check(attributes.ptr()) && !PyTuple_Check(attributes.ptr()))
      raise_argument_type_error(attributes, "attributes", "list");
    for_each_item(attributes, [&](const nb::object& attribute) {
      check_argument_type(attribute, &PyUnicode_Type, "attributes", NoneAllowed::no);
      nb::object binning = get_feature_binning(self, attribute);
      if (binning.is_none() || !has_column(kind, frame, attribute)) raise_key_error(attribute);
      chosen.append(nb::make_tuple(binning, attribute));
      return false;
    });
  }
  nb::dict columns;
  for (nb::handle pair : chosen) {
    nb::object binning = nb::borrow(pair[0]), attribute = nb::borrow(pair[1]);
    nb::object name = binning.attr(s.binned_attribute_name);
    if (name.is_none()) name = attribute;
    columns[name] = with_error_prefix(
        [&] { return binning_error_prefix(attribute); },
        [&]() -> nb::object { return binning.attr("bin_array")(column(kind, frame, attribute)); });
  }
  return assemble(kind, frame, columns);
}

}  // namespace

void init_frame(nb::module_&, RecordDecl& preprocessing) {
  preprocessing.methods.push_back(
      method("apply_feature_binning_frame", &apply_feature_binning_frame, nb::arg("frame"),
             nb::arg("attributes").none() = nb::none(),
             nb::sig("def apply_feature_binning_frame(self, frame: Any, attributes: "
                     "Optional[list[str]] = None) -> Any"),
             "The bin values of every column of `frame` that has a binning (or of `attributes` "
             "only), each named by its binning's binned_attribute_name (the attribute when "
             "unset) and binned as FeatureBinning.bin_array bins it.\n\n"
             "A pandas DataFrame gives a pandas DataFrame on the same index, a polars DataFrame a "
             "polars DataFrame, a pyarrow Table a pyarrow Table, and a mapping of names to "
             "columns a dict of numpy arrays. A named attribute without a column or a binning "
             "raises KeyError; other errors name the attribute."));
}

}  // namespace zelvora::py::preprocessing
