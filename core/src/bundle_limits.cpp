#include "zelvora/bundle_limits.hpp"

namespace zelvora {

BudgetExceeded::BudgetExceeded(long long limit)
    : std::length_error("bundle member expands past max_size (" + std::to_string(limit) +
                        " bytes)"),
      limit_(limit) {}

void ExpansionBudget::check_declared(std::optional<long long> size) const {
  if (!size || *size > remaining_) throw BudgetExceeded(limit_);
}

void ExpansionBudget::spend(long long size) {
  if (size > remaining_) throw BudgetExceeded(limit_);
  remaining_ -= size;
}

std::string expansion_refusal(std::string_view member, long long limit) {
  std::string message = "bundle member ";
  message.append(member)
      .append(" expands past max_size (")
      .append(std::to_string(limit))
      .append(" bytes); pass a larger max_size to load it");
  return message;
}

std::string extended_header_refusal(std::string_view offset, std::string_view size) {
  std::string message = "tar extended header at offset ";
  message.append(offset)
      .append(" declares ")
      .append(size)
      .append(" bytes, more than the ")
      .append(std::to_string(kMaxExtendedHeader))
      .append(" a bundle allows");
  return message;
}

}  // namespace zelvora
