#include "zelvora/preprocessing_messages.hpp"

#include <algorithm>
#include <initializer_list>
#include <string>

namespace zelvora {

namespace {

std::string concat(std::initializer_list<std::string_view> parts) {
  std::string text;
  for (std::string_view part : parts) text += part;
  return text;
}

}  // namespace

bool is_specification_key(std::string_view key) {
  return std::find(kSpecificationKeys.begin(), kSpecificationKeys.end(), key) !=
         kSpecificationKeys.end();
}

std::string binning_error_prefix(std::string_view attribute) {
  return concat({"Binning attribute ", attribute, ": "});
}

std::string edges_must_increase(std::string_view attribute, std::string_view lower,
                                std::string_view upper) {
  return concat({binning_error_prefix(attribute), "edges must increase: ", lower, " then ", upper});
}

std::string too_few_bin_entries(std::string_view attribute, std::string_view key,
                                std::size_t bins) {
  return concat({binning_error_prefix(attribute), key, " has fewer values than the ",
                 std::to_string(bins), " bins"});
}

std::string unknown_specification_key(std::string_view attribute, std::string_view shown) {
  return concat({binning_error_prefix(attribute), "unknown key ", shown, " is ignored"});
}

std::string no_dummy_encoding(std::string_view attribute) {
  return concat({"No dummy encoding for ", attribute, " was found."});
}

std::string undefined_dummy_value(std::string_view value, std::string_view attribute,
                                  std::optional<std::string_view> default_name) {
  const std::string undefined = concat(
      {"Dummy encoding for value '", value, "' of attribute '", attribute, "' is not defined"});
  if (default_name)
    return concat({undefined, ". Default value '", *default_name, "' was assigned with 1."});
  return concat({undefined,
                 " and no default value was assigned. All dummies for given attribute are "
                 "assigned with 0."});
}

std::string dummy_named_as_attribute(std::string_view attribute) {
  return concat(
      {"Features created by dummy encoding in predictive model cannot be named the same "
       "as feature that is being encoded. This rule is broken for feature '",
       attribute, "'"});
}

}  // namespace zelvora
