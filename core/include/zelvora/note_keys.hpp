// The keys of a model's general notes. A note added without a key goes under
// "note_<n>", n one above the highest number among the automatic keys already there.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

namespace zelvora {

/// What `DigitOf` answers for a character that is not numeric at all (a letter).
inline constexpr int kNotNumeric = -1;
/// What `DigitOf` answers for a numeric character that is no decimal digit ("½", "²").
inline constexpr int kNotDecimal = -2;
/// The value (0-9) of a decimal digit of any script, else kNotNumeric or kNotDecimal.
using DigitOf = int (*)(char32_t);

/// The DigitOf of ASCII: '0'-'9', every other character kNotNumeric.
int ascii_digit(char32_t c);

/// An automatic-looking key ("note_" and numeric characters only) whose number has a
/// character that is no decimal digit: no number can be read from it.
class NoteNumberError : public std::invalid_argument {
 public:
  explicit NoteNumberError(std::size_t key_index)
      : std::invalid_argument("note key without a decimal number"), key(key_index) {}
  std::size_t key;  ///< its index among the keys
};

/// The length of the automatic prefix "note_".
inline constexpr std::size_t kNotePrefixLength = 5;

/// The key for a new note among `keys` (code points): "note_1" when no key is automatic,
/// else "note_" and the highest number plus one, in ASCII digits without leading zeros.
/// Throws NoteNumberError at the first automatic-looking key without a decimal number.
std::string next_note_key(const std::vector<std::u32string>& keys, DigitOf digit_of);

}  // namespace zelvora
