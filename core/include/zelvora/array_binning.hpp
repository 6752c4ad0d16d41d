// Binning whole columns: numbers from a buffer (numpy's, or an Arrow array's), texts and
// dictionary-encoded values from Arrow arrays, every value looked up in a compiled
// binning (zelvora/compiled_binning.hpp). The result of each value is the value of its
// bin, NaN where the bin has no value or no bin applies.
//
// Missing values (NaN, Arrow nulls, a negative category code) go where the single lookup
// sends a missing value. Catch-all hits are counted, with up to five distinct example
// texts per log level, for one log record per level and batch. A value reaching a bin
// without a needed part throws ReachedIncompleteBin, carrying the value, so that the
// caller can raise what the single lookup raises for it.
//
// Columns are read where they lie: nothing here allocates per value, and nothing holds
// a reference into a host language.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "zelvora/arrow_abi.hpp"
#include "zelvora/bin_lookup.hpp"
#include "zelvora/compiled_binning.hpp"

namespace zelvora {

/// A value reached a bin without a needed part: the number, or the text, looked up.
class ReachedIncompleteBin : public IncompleteBin {
 public:
  ReachedIncompleteBin(const IncompleteBin& e, std::optional<double> x, std::string value_text)
      : IncompleteBin(e.part()), number(x), text(std::move(value_text)) {}
  std::optional<double> number;  ///< the number; nullopt for a text
  std::string text;
};

/// Catch-all hits of one batch, by log level: how many, and the first five distinct
/// value texts.
class DefaultHits {
 public:
  static constexpr std::size_t kExamples = 5;
  struct Level {
    std::size_t count = 0;
    std::vector<std::string> examples;
    std::vector<std::uint64_t> number_keys;  // bits of the numbers shown, to tell them apart
  };
  void add_number(DefaultHitLog log, double x);
  void add_text(DefaultHitLog log, std::string_view text, std::size_t count = 1);
  const Level& warning() const { return warning_; }
  const Level& debug() const { return debug_; }

 private:
  Level* level(DefaultHitLog log) {
    return log == DefaultHitLog::warning ? &warning_
           : log == DefaultHitLog::debug ? &debug_
                                         : nullptr;
  }
  Level warning_, debug_;
};

/// The message of a batch's catch-all hits at one level.
std::string default_hits_message(std::string_view attribute, const DefaultHits::Level& level);

/// The element types of a number column.
enum class NumberType {
  boolean_bits,  // one bit per value, least significant first (Arrow)
  boolean_bytes,
  int8,
  uint8,
  int16,
  uint16,
  int32,
  uint32,
  int64,
  uint64,
  float16,
  float32,
  float64,
};

/// The size of an element, 0 for bits.
std::size_t number_size(NumberType type);

/// Numbers where they lie: element i at data + i * stride bytes (bit i + bit_offset for
/// bits); missing where a validity bit (at validity_offset + i) is 0 or a mask byte is set.
struct NumberColumn {
  NumberType type = NumberType::float64;
  const void* data = nullptr;
  std::size_t length = 0;
  std::ptrdiff_t stride = 8;
  std::size_t bit_offset = 0;
  const std::uint8_t* validity = nullptr;
  std::size_t validity_offset = 0;
  const std::uint8_t* mask = nullptr;  // a byte per value, missing where not 0 (pandas)
  std::ptrdiff_t mask_stride = 1;

  bool valid(std::size_t i) const;
  /// Element i as a double, NaN when missing.
  double number(std::size_t i) const;
};

/// A numeric binning ready for columns: the compiled lookup and the value of every bin.
class NumericColumnBinning {
 public:
  NumericColumnBinning(CompiledNumericBinning compiled, std::vector<double> bin_values);
  /// out[i] for every value; `out` holds column.length values.
  void bin(const NumberColumn& column, double* out, DefaultHits& hits) const;
  /// The result of one number (NaN: missing).
  double bin_one(double x, DefaultHits& hits) const;

 private:
  double resolve(std::size_t piece, double x, DefaultHits& hits) const;
  CompiledNumericBinning compiled_;
  std::vector<double> bin_values_;
  std::vector<double> piece_values_;  // the value of each piece that needs nothing else
  std::vector<std::uint8_t> piece_plain_;
  double null_value_;
};

/// A categorical binning ready for columns.
class CategoricColumnBinning {
 public:
  CategoricColumnBinning(CompiledCategoricBinning compiled, std::vector<double> bin_values);
  /// The result of a present text ("nan" counts as missing).
  double bin_text(std::string_view text, DefaultHits& hits) const;
  /// The result of a missing value.
  double bin_missing(DefaultHits& hits) const;

 private:
  double value_of(const BinChoice& choice) const {
    return choice.bin ? bin_values_[*choice.bin] : std::numeric_limits<double>::quiet_NaN();
  }
  CompiledCategoricBinning compiled_;
  std::vector<double> bin_values_;
};

/// Per-entry results of a dictionary (or a category list), gathered through codes.
struct EntryResults {
  std::vector<double> values;
  std::vector<DefaultHitLog> logs;
  std::vector<std::string> texts;  // of entries whose log is not none
  /// What looking an entry up threw (ReachedIncompleteBin), rethrown only when a code
  /// refers to it; empty when no entry threw.
  std::vector<std::exception_ptr> failures;
  double missing_value = std::numeric_limits<double>::quiet_NaN();
  DefaultHitLog missing_log = DefaultHitLog::none;
  std::string missing_text;

  /// Adds the next entry: its result, the hits of looking it up, what that threw (null:
  /// nothing; then `value` is not read).
  void add(double value, const DefaultHits& hits, std::exception_ptr failure = nullptr);
  /// Makes the entry added last the missing value's; a missing value never throws.
  void last_is_missing();
};

/// out[i] = the result of entry codes[i]; a missing code (negative, or invalid) takes
/// missing_value. Hits count every value. Throws std::out_of_range for a code past the
/// entries.
void gather_entries(const EntryResults& entries, const NumberColumn& codes, double* out,
                    DefaultHits& hits);

// --- Arrow -------------------------------------------------------------------------------

/// An Arrow type the binning cannot read; what() names its format.
class UnsupportedArrowFormat : public std::invalid_argument {
 public:
  explicit UnsupportedArrowFormat(const std::string& format)
      : std::invalid_argument("unsupported Arrow format '" + format + "'") {}
};

/// An Arrow struct that breaks the C data interface (null pointers, negative lengths,
/// missing buffers, released structs).
class MalformedArrow : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

/// Owns an imported Arrow struct and releases it.
template <class T>
class ArrowOwned {
 public:
  ArrowOwned() = default;
  /// Moves the struct out of `source`, which is left released (the producer's rule).
  static ArrowOwned take(T* source) {
    ArrowOwned owned;
    if (source) {
      owned.value_ = *source;
      source->release = nullptr;
    }
    return owned;
  }
  ArrowOwned(const ArrowOwned&) = delete;
  ArrowOwned& operator=(const ArrowOwned&) = delete;
  ArrowOwned(ArrowOwned&& other) noexcept : value_(other.value_) { other.value_.release = nullptr; }
  ~ArrowOwned() {
    if (value_.release) value_.release(&value_);
  }
  T* get() { return &value_; }
  const T& operator*() const { return value_; }
  bool released() const { return value_.release == nullptr; }

 private:
  T value_{};
};

/// One Arrow array, checked, as the binning reads it.
class ArrowColumn {
 public:
  enum class Kind { null, number, text, large_text, text_view, dictionary };
  /// Checks the array against its schema; throws MalformedArrow or UnsupportedArrowFormat.
  ArrowColumn(const ArrowSchema& schema, const ArrowArray& array);

  Kind kind() const { return kind_; }
  std::size_t length() const { return length_; }
  bool valid(std::size_t i) const;
  /// Number, boolean and dictionary index columns: the numbers.
  const NumberColumn& numbers() const { return numbers_; }
  /// Text columns: the text of a valid element. Throws MalformedArrow for bad offsets.
  std::string_view text(std::size_t i) const;
  /// Dictionary columns: the entries.
  const ArrowColumn& dictionary() const { return *dictionary_; }

 private:
  Kind kind_ = Kind::null;
  std::size_t length_ = 0, offset_ = 0;
  const std::uint8_t* validity_ = nullptr;
  NumberColumn numbers_;
  const void* offsets_ = nullptr;
  const char* chars_ = nullptr;
  std::vector<const char*> view_buffers_;
  std::unique_ptr<ArrowColumn> dictionary_;
};

/// The results of every value of an Arrow column; nullopt when the binning cannot read
/// the column's kind (texts in a numeric binning, numbers in a categorical one), which
/// the caller then looks up value by value. Exactly one binning is given.
bool bin_arrow_column(const ArrowColumn& column, const NumericColumnBinning* numeric,
                      const CategoricColumnBinning* categoric, double* out, DefaultHits& hits);

}  // namespace zelvora
