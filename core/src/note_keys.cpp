#include "zelvora/note_keys.hpp"

#include <string_view>

namespace zelvora {
namespace {

constexpr std::u32string_view kPrefix = U"note_";

// Decimal digits, any length: ordered by length once leading zeros are gone.
bool greater(const std::string& a, const std::string& b) {
  return a.size() != b.size() ? a.size() > b.size() : a > b;
}

std::string plus_one(std::string digits) {
  for (auto it = digits.rbegin(); it != digits.rend(); ++it) {
    if (*it != '9') {
      ++*it;
      return digits;
    }
    *it = '0';
  }
  return '1' + digits;
}

}  // namespace

int ascii_digit(char32_t c) {
  return c >= U'0' && c <= U'9' ? static_cast<int>(c - U'0') : kNotNumeric;
}

std::string next_note_key(const std::vector<std::u32string>& keys, DigitOf digit_of) {
  static_assert(kPrefix.size() == kNotePrefixLength);
  bool found = false;
  std::string highest;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    const std::u32string_view key = keys[i];
    if (key.size() <= kPrefix.size() || key.substr(0, kPrefix.size()) != kPrefix) continue;
    std::string digits;
    bool numeric = true, decimal = true;
    for (const char32_t c : key.substr(kPrefix.size())) {
      const int digit = digit_of(c);
      if (digit == kNotNumeric) {
        numeric = false;
        break;
      }
      if (digit == kNotDecimal) decimal = false;
      if (decimal && (digit > 0 || !digits.empty())) digits += static_cast<char>('0' + digit);
    }
    if (!numeric) continue;
    if (!decimal) throw NoteNumberError(i);
    if (digits.empty()) digits.push_back('0');
    if (!found || greater(digits, highest)) highest = std::move(digits);
    found = true;
  }
  return "note_" + (found ? plus_one(std::move(highest)) : std::string("1"));
}

}  // namespace zelvora
