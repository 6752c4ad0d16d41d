// How far loading a bundle may expand: the byte budget every member is charged to, and
// the bounds on what a tar reader holds before a member is seen.
#pragma once

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace zelvora {

/// Default budget of a load: ten times the largest real models (a big tree model's JSON
/// runs to tens of MB), while a hostile bundle stops long before it exhausts the machine.
inline constexpr long long kDefaultMaxSize = 512LL * 1024 * 1024;
/// Members are read in steps of this size, so an oversized one fails before it is held.
inline constexpr long long kReadChunk = 1 << 20;
/// LZMA output per step grows with the compressed input it is given; small steps keep
/// each one to a few tens of MB whatever the entry claims.
inline constexpr long long kLzmaReadChunk = 4096;
/// Long names and pax records are held whole by a tar reader before the member they
/// describe is seen; real ones take a few hundred bytes.
inline constexpr long long kMaxExtendedHeader = 1 << 20;

inline constexpr std::string_view kNegativeMaxSize = "max_size must not be negative";

/// A member past the budget. Callers name the member with expansion_refusal().
class BudgetExceeded : public std::length_error {
 public:
  explicit BudgetExceeded(long long limit);
  long long limit() const noexcept { return limit_; }

 private:
  long long limit_;
};

/// The bytes a load may still expand to; every member is charged before it is kept.
class ExpansionBudget {
 public:
  explicit ExpansionBudget(long long limit) : limit_(limit), remaining_(limit) {}

  long long limit() const noexcept { return limit_; }

  /// The size of the next read: at most `chunk`, and one byte past what is left, so that
  /// a member running over shows in the data itself.
  long long next_read(long long chunk) const noexcept {
    return remaining_ < chunk ? remaining_ + 1 : chunk;
  }

  /// Refuses a member whose declared size alone exceeds what is left; nullopt stands for
  /// a size past the machine's range (a forged header may declare any number).
  void check_declared(std::optional<long long> size) const;

  /// Charges `size` bytes that were actually read; over the budget, nothing is charged.
  void spend(long long size);

 private:
  long long limit_, remaining_;
};

/// "bundle member <member> expands past max_size (<limit> bytes); ..." where `member` is
/// the name as the caller quotes it.
std::string expansion_refusal(std::string_view member, long long limit);

/// Whether an extended tar header of `size` bytes (nullopt: past the machine's range) is
/// small enough to be read.
inline bool extended_header_fits(std::optional<long long> size) {
  return size && *size <= kMaxExtendedHeader;
}

/// The refusal of an extended header too large to read; offset and size as decimal text
/// (a forged size may be any number).
std::string extended_header_refusal(std::string_view offset, std::string_view size);

}  // namespace zelvora
