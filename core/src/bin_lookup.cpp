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

std::string_view incomplete_bin_message(BinPart part) {
  switch (part) {
    case BinPart::lower_bound:
      return "'<' not supported between instances of 'NoneType' and 'float'";
    case BinPart::upper_bound:
      return "'<=' not supported between instances of 'float' and 'NoneType'";
    case BinPart::categories:
      break;
  }
  return "argument of type 'NoneType' is not iterable";
}

}  // namespace zelvora
