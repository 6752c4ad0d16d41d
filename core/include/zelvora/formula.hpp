// The formula text of a linear model: its linear predictor as the query views show it.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace zelvora {

/// One term of the linear predictor: the feature's formula text and its coefficient
/// (none when the model has no coefficient for the feature).
struct FormulaTerm {
  std::optional<double> coefficient;
  std::string text;
};

/// Decimals of every number in a formula.
inline constexpr int kFormulaDecimals = 4;

/// "<intercept> ± <|coefficient|> * <text> ..." with four decimals; a missing intercept
/// counts as 0, a term without coefficient is added as it is ("+ <text>"), and a zero of
/// either sign is written without one.
std::string linear_formula(std::optional<double> intercept, const std::vector<FormulaTerm>& terms);

}  // namespace zelvora
