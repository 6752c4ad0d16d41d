#include "zelvora/formula.hpp"

#include "zelvora/number_format.hpp"

namespace zelvora {
namespace {

std::string factor_text(double x) {
  return fixed_text(x == 0 ? 0.0 : x, kFormulaDecimals);
}

}  // namespace

std::string linear_formula(std::optional<double> intercept, const std::vector<FormulaTerm>& terms) {
  std::string text = factor_text(intercept.value_or(0.0));
  for (const FormulaTerm& term : terms) {
    if (!term.coefficient) {
      text += " + ";
    } else {
      const double c = *term.coefficient;
      text += c < 0 ? " - " + factor_text(-c) : " + " + factor_text(c);
      text += " * ";
    }
    text += term.text;
  }
  return text;
}

}  // namespace zelvora
