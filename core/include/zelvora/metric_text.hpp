// Rules for the texts that name performance metrics.
#pragma once

#include <cstddef>
#include <string_view>

namespace zelvora {

/// The longest eval_metric text (in characters) read as a literal; a real one is a few
/// hundred, and reading costs time and memory in proportion to the text.
inline constexpr std::size_t kMaxMetricLiteralLength = 4096;

/// Whether an eval_metric text of `length` characters is read as a literal (a quoted
/// name, a list whose last item is the metric); a longer one is taken as it is.
constexpr bool reads_metric_literal(std::size_t length) {
  return length <= kMaxMetricLiteralLength;
}

/// Whether an upper-cased metric text names the lift, at any depth: "LIFT(" starts it.
/// Any other text names the metric whose value it is.
constexpr bool names_lift(std::string_view upper) {
  return upper.substr(0, 5) == "LIFT(";
}

}  // namespace zelvora
