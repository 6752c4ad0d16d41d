#include "zelvora/note_keys.hpp"

#include <doctest/doctest.h>

#include <string>
#include <vector>

using zelvora::next_note_key;

namespace {

// ASCII digits, with "٣" (ARABIC-INDIC THREE) a decimal digit and "½" numeric only.
int digit_of(char32_t c) {
  if (c == U'\u0663') return 3;
  if (c == U'\u00bd') return zelvora::kNotDecimal;
  return zelvora::ascii_digit(c);
}

}  // namespace

TEST_CASE("next_note_key: one above the highest automatic number") {
  struct Case {
    std::vector<std::u32string> keys;
    const char* next;
  };
  const Case cases[] = {
      {{}, "note_1"},
      {{U"note_", U"note_x", U"Note_4", U"note_4a", U"mine"}, "note_1"},
      {{U"note_2", U"note_10", U"note_9"}, "note_11"},
      {{U"note_007", U"note_0"}, "note_8"},
      {{U"note_99999999999999999999"}, "note_100000000000000000000"},
      {{U"note_\u0663", U"note_2"}, "note_4"},
      {{U"note_\u00bdx"}, "note_1"},  // not all numeric: not automatic
  };
  for (const auto& c : cases) CHECK(next_note_key(c.keys, digit_of) == c.next);
}

TEST_CASE("next_note_key: a numeric number without decimal digits fails at its key") {
  try {
    next_note_key({U"note_1", U"note_\u00bd", U"note_2\u00bd"}, digit_of);
    FAIL("no exception");
  } catch (const zelvora::NoteNumberError& e) {
    CHECK(e.key == 1);
  }
}
