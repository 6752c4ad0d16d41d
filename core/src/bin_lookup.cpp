#include "zelvora/bin_lookup.hpp"

namespace zelvora {

std::string default_hit_message(std::string_view attribute, std::string_view value_text) {
  std::string message = "Predictive model hit default value when processing binning of attribute '";
  message += attribute;
  message += "' with value '";
  message += value_text;
  message += "'.";
  return message;
}

}  // namespace zelvora
