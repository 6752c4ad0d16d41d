#include "zelvora/array_binning.hpp"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>
#include <utility>

#include "zelvora/number_format.hpp"

namespace zelvora {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

bool bit_at(const void* bits, std::size_t i) {
  return (static_cast<const std::uint8_t*>(bits)[i / 8] >> (i % 8)) & 1U;
}

template <class T>
T load(const char* at) {
  T value;
  std::memcpy(&value, at, sizeof(T));
  return value;
}

double half_to_double(std::uint16_t h) {
  const int exponent = (h >> 10) & 0x1f;
  const int mantissa = h & 0x3ff;
  double magnitude;
  if (exponent == 0) {
    magnitude = std::ldexp(mantissa, -24);
  } else if (exponent == 31) {
    magnitude = mantissa ? kNaN : std::numeric_limits<double>::infinity();
  } else {
    magnitude = std::ldexp(mantissa + 1024, exponent - 25);
  }
  return (h & 0x8000) ? -magnitude : magnitude;
}

// Calls f(read) with read(i) giving element i in its own type (booleans as bool, half
// floats as double), typed once per column.
template <class F>
void with_elements(const NumberColumn& c, F&& f) {
  const char* base = static_cast<const char*>(c.data);
  const std::ptrdiff_t stride = c.stride;
  const auto at = [base, stride](std::size_t i) {
    return base + static_cast<std::ptrdiff_t>(i) * stride;
  };
  const auto typed = [&](auto tag) {
    using T = decltype(tag);
    f([at](std::size_t i) { return load<T>(at(i)); });
  };
  switch (c.type) {
    case NumberType::boolean_bits: {
      const std::size_t first = c.bit_offset;
      return f([base, first](std::size_t i) { return bit_at(base, first + i); });
    }
    case NumberType::boolean_bytes:
      return f([at](std::size_t i) { return *at(i) != 0; });
    case NumberType::float16:
      return f([at](std::size_t i) { return half_to_double(load<std::uint16_t>(at(i))); });
    case NumberType::int8:
      return typed(std::int8_t{});
    case NumberType::uint8:
      return typed(std::uint8_t{});
    case NumberType::int16:
      return typed(std::int16_t{});
    case NumberType::uint16:
      return typed(std::uint16_t{});
    case NumberType::int32:
      return typed(std::int32_t{});
    case NumberType::uint32:
      return typed(std::uint32_t{});
    case NumberType::int64:
      return typed(std::int64_t{});
    case NumberType::uint64:
      return typed(std::uint64_t{});
    case NumberType::float32:
      return typed(float{});
    case NumberType::float64:
      return typed(double{});
  }
}

// Calls f(read) with read(i) giving element i as a double.
template <class F>
void with_reader(const NumberColumn& c, F&& f) {
  with_elements(
      c, [&](auto read) { f([read](std::size_t i) { return static_cast<double>(read(i)); }); });
}

// Calls f(read) with read(i) giving code i as an int64 (uint64 codes past int64 read as
// out of range); false for a column of non-integers.
template <class F>
bool with_codes(const NumberColumn& c, F&& f) {
  bool integers = false;
  with_elements(c, [&](auto read) {
    using T = decltype(read(0));
    if constexpr (std::is_integral_v<T> && !std::is_same_v<T, bool>) {
      integers = true;
      f([read](std::size_t i) -> std::int64_t {
        const T code = read(i);
        if constexpr (std::is_same_v<T, std::uint64_t>) {
          constexpr auto largest = std::numeric_limits<std::int64_t>::max();
          if (code > static_cast<std::uint64_t>(largest)) return largest;
        }
        return static_cast<std::int64_t>(code);
      });
    }
  });
  return integers;
}

}  // namespace

// --- hits ------------------------------------------------------------------------------

void DefaultHits::add_number(DefaultHitLog log, double x) {
  Level* l = level(log);
  if (!l) return;
  ++l->count;
  if (l->examples.size() == kExamples) return;
  const auto key = std::bit_cast<std::uint64_t>(x);
  for (std::uint64_t seen : l->number_keys)
    if (seen == key) return;
  l->number_keys.push_back(key);
  l->examples.push_back(float_repr(x));
}

void DefaultHits::add_text(DefaultHitLog log, std::string_view text, std::size_t count) {
  Level* l = level(log);
  if (!l || count == 0) return;
  l->count += count;
  if (l->examples.size() == kExamples) return;
  for (const std::string& seen : l->examples)
    if (seen == text) return;
  l->examples.emplace_back(text);
}

std::string default_hits_message(std::string_view attribute, const DefaultHits::Level& level) {
  std::string message = "Predictive model hit default value " + std::to_string(level.count) +
                        (level.count == 1 ? " time" : " times") +
                        " when processing binning of attribute '";
  message += attribute;
  message += level.examples.size() == 1 ? "' with value " : "' with values ";
  for (std::size_t k = 0; k < level.examples.size(); ++k) {
    if (k) message += ", ";
    message += "'" + level.examples[k] + "'";
  }
  if (level.count > level.examples.size()) message += ", ...";
  message += ".";
  return message;
}

// --- number columns --------------------------------------------------------------------

std::size_t number_size(NumberType type) {
  switch (type) {
    case NumberType::boolean_bits:
      return 0;
    case NumberType::boolean_bytes:
    case NumberType::int8:
    case NumberType::uint8:
      return 1;
    case NumberType::int16:
    case NumberType::uint16:
    case NumberType::float16:
      return 2;
    case NumberType::int32:
    case NumberType::uint32:
    case NumberType::float32:
      return 4;
    case NumberType::int64:
    case NumberType::uint64:
    case NumberType::float64:
      return 8;
  }
  return 0;
}

bool NumberColumn::valid(std::size_t i) const {
  return (!validity || bit_at(validity, validity_offset + i)) &&
         (!mask || !mask[static_cast<std::ptrdiff_t>(i) * mask_stride]);
}

double NumberColumn::number(std::size_t i) const {
  if (!valid(i)) return kNaN;
  double x = kNaN;
  with_reader(*this, [&](auto read) { x = read(i); });
  return x;
}

NumericColumnBinning::NumericColumnBinning(CompiledNumericBinning compiled,
                                           std::vector<double> bin_values)
    : compiled_(std::move(compiled)), bin_values_(std::move(bin_values)) {
  const auto value_of = [this](const BinChoice& choice) {
    return choice.bin ? bin_values_[*choice.bin] : kNaN;
  };
  piece_values_.assign(compiled_.pieces(), kNaN);
  piece_plain_.assign(compiled_.pieces(), 0);
  for (std::size_t k = 0; k < compiled_.pieces(); ++k) {
    try {
      const BinChoice choice = compiled_.piece_choice(k);
      piece_values_[k] = value_of(choice);
      piece_plain_[k] = choice.log == DefaultHitLog::none;
    } catch (const IncompleteBin&) {
    }
  }
  null_value_ = value_of(compiled_.null_choice());
}

double NumericColumnBinning::resolve(std::size_t piece, double x, DefaultHits& hits) const {
  BinChoice choice;
  try {
    choice = compiled_.piece_choice(piece);
  } catch (const IncompleteBin& e) {
    throw ReachedIncompleteBin(e, x, {});
  }
  hits.add_number(choice.log, x);
  return choice.bin ? bin_values_[*choice.bin] : kNaN;
}

double NumericColumnBinning::bin_one(double x, DefaultHits& hits) const {
  if (x != x) {
    hits.add_number(compiled_.null_choice().log, x);
    return null_value_;
  }
  const std::size_t k = compiled_.piece_of(x);
  return piece_plain_[k] ? piece_values_[k] : resolve(k, x, hits);
}

void NumericColumnBinning::bin(const NumberColumn& column, double* out, DefaultHits& hits) const {
  const std::size_t n = column.length;
  const bool null_plain = compiled_.null_choice().log == DefaultHitLog::none;
  const bool checked = column.validity || column.mask;
  with_reader(column, [&](auto read) {
    for (std::size_t i = 0; i < n; ++i) {
      if (checked && !column.valid(i)) {
        out[i] = bin_one(kNaN, hits);
        continue;
      }
      const double x = read(i);
      if (x != x) {
        out[i] = null_plain ? null_value_ : bin_one(x, hits);
        continue;
      }
      const std::size_t k = compiled_.piece_of(x);
      out[i] = piece_plain_[k] ? piece_values_[k] : resolve(k, x, hits);
    }
  });
}

// --- categorical -----------------------------------------------------------------------

CategoricColumnBinning::CategoricColumnBinning(CompiledCategoricBinning compiled,
                                               std::vector<double> bin_values)
    : compiled_(std::move(compiled)), bin_values_(std::move(bin_values)) {}

double CategoricColumnBinning::bin_missing(DefaultHits& hits) const {
  const BinChoice choice = compiled_.find_missing();
  hits.add_text(choice.log, "None");
  return value_of(choice);
}

double CategoricColumnBinning::bin_text(std::string_view text, DefaultHits& hits) const {
  if (is_missing_category(text)) return bin_missing(hits);
  BinChoice choice;
  try {
    choice = compiled_.find(text);
  } catch (const IncompleteBin& e) {
    throw ReachedIncompleteBin(e, std::nullopt, std::string(text));
  }
  hits.add_text(choice.log, text);
  return value_of(choice);
}

// --- gathering through codes -------------------------------------------------------------

void EntryResults::add(double value, const DefaultHits& hits, std::exception_ptr failure) {
  const DefaultHits::Level& level = hits.warning().count ? hits.warning() : hits.debug();
  values.push_back(failure ? kNaN : value);
  logs.push_back(hits.warning().count ? DefaultHitLog::warning
                 : hits.debug().count ? DefaultHitLog::debug
                                      : DefaultHitLog::none);
  texts.push_back(level.examples.empty() ? std::string() : level.examples[0]);
  if (failure && failures.empty()) failures.resize(values.size() - 1);
  if (!failures.empty()) failures.push_back(std::move(failure));
}

void EntryResults::last_is_missing() {
  missing_value = values.back();
  missing_log = logs.back();
  missing_text = std::move(texts.back());
  values.pop_back();
  logs.pop_back();
  texts.pop_back();
  if (!failures.empty()) failures.pop_back();
}

void gather_entries(const EntryResults& entries, const NumberColumn& codes, double* out,
                    DefaultHits& hits) {
  const std::size_t size = entries.values.size();
  constexpr std::size_t kMissing = static_cast<std::size_t>(-1);
  std::vector<std::size_t> counts(size, 0), order;
  std::size_t missing_count = 0;
  // Slot 0 stands for a missing value, slot e + 1 for entry e: one load per value, and a
  // flag for the slots that need more than their value (a log record, a failure).
  std::vector<double> table(size + 1);
  std::vector<std::uint8_t> special(size + 1);
  table[0] = entries.missing_value;
  special[0] = entries.missing_log != DefaultHitLog::none;
  for (std::size_t e = 0; e < size; ++e) {
    table[e + 1] = entries.values[e];
    special[e + 1] = entries.logs[e] != DefaultHitLog::none ||
                     (!entries.failures.empty() && entries.failures[e]);
  }
  const auto handle = [&](std::size_t slot) {
    if (slot == 0) {
      if (missing_count++ == 0) order.push_back(kMissing);
      return;
    }
    const std::size_t e = slot - 1;
    if (!entries.failures.empty() && entries.failures[e])
      std::rethrow_exception(entries.failures[e]);
    if (counts[e]++ == 0) order.push_back(e);
  };
  const bool checked = codes.validity || codes.mask;
  const bool integers = with_codes(codes, [&](auto read) {
    const auto slot_of = [&](std::size_t i) {
      const std::int64_t code = read(i);
      const std::size_t slot = code < 0 ? 0 : static_cast<std::size_t>(code) + 1;
      if (slot > size) throw std::out_of_range("category code out of range");
      return slot;
    };
    const double* values = table.data();
    const std::uint8_t* flags = special.data();
    if (checked) {
      for (std::size_t i = 0; i < codes.length; ++i) {
        const std::size_t slot = codes.valid(i) ? slot_of(i) : 0;
        out[i] = values[slot];
        if (flags[slot]) handle(slot);
      }
      return;
    }
    for (std::size_t i = 0; i < codes.length; ++i) {
      const std::size_t slot = slot_of(i);
      out[i] = values[slot];
      if (flags[slot]) handle(slot);
    }
  });
  if (!integers) throw std::invalid_argument("category codes are not integers");
  for (std::size_t e : order) {
    if (e == kMissing) {
      hits.add_text(entries.missing_log, entries.missing_text, missing_count);
    } else {
      hits.add_text(entries.logs[e], entries.texts[e], counts[e]);
    }
  }
}

// --- Arrow -------------------------------------------------------------------------------

namespace {

std::optional<NumberType> number_type_of(std::string_view format) {
  if (format == "b") return NumberType::boolean_bits;
  if (format == "c") return NumberType::int8;
  if (format == "C") return NumberType::uint8;
  if (format == "s") return NumberType::int16;
  if (format == "S") return NumberType::uint16;
  if (format == "i") return NumberType::int32;
  if (format == "I") return NumberType::uint32;
  if (format == "l") return NumberType::int64;
  if (format == "L") return NumberType::uint64;
  if (format == "e") return NumberType::float16;
  if (format == "f") return NumberType::float32;
  if (format == "g") return NumberType::float64;
  return std::nullopt;
}

bool is_index_type(NumberType type) {
  return type != NumberType::boolean_bits && type != NumberType::boolean_bytes &&
         type != NumberType::float16 && type != NumberType::float32 && type != NumberType::float64;
}

const void* buffer(const ArrowArray& array, std::int64_t k, std::size_t length) {
  if (array.n_buffers <= k) throw MalformedArrow("Arrow array has too few buffers");
  const void* b = array.buffers[k];
  if (!b && length > 0) throw MalformedArrow("Arrow array lacks a data buffer");
  return b;
}

}  // namespace

ArrowColumn::ArrowColumn(const ArrowSchema& schema, const ArrowArray& array) {
  if (!schema.release || !array.release) throw MalformedArrow("Arrow struct already released");
  if (!schema.format) throw MalformedArrow("Arrow schema without a format");
  if (array.length < 0 || array.offset < 0 || array.n_buffers < 0 ||
      array.length > std::numeric_limits<std::int64_t>::max() - array.offset)
    throw MalformedArrow("Arrow array with a negative length, offset or buffer count");
  if (array.n_buffers > 0 && !array.buffers) throw MalformedArrow("Arrow array without buffers");
  length_ = static_cast<std::size_t>(array.length);
  offset_ = static_cast<std::size_t>(array.offset);
  const std::string_view format(schema.format);
  if (format == "n") {
    kind_ = Kind::null;
    return;
  }
  validity_ = array.n_buffers > 0 ? static_cast<const std::uint8_t*>(array.buffers[0]) : nullptr;
  if (!validity_ && array.null_count != 0 && length_ > 0)
    throw MalformedArrow("Arrow array with nulls but no validity buffer");

  const std::optional<NumberType> number = number_type_of(format);
  if (schema.dictionary) {
    if (!number || !is_index_type(*number)) throw UnsupportedArrowFormat(std::string(format));
    if (!array.dictionary) throw MalformedArrow("dictionary-encoded Arrow array without entries");
    dictionary_ = std::make_unique<ArrowColumn>(*schema.dictionary, *array.dictionary);
    kind_ = Kind::dictionary;
  } else if (number) {
    kind_ = Kind::number;
  }
  if (number) {
    numbers_.type = *number;
    numbers_.length = length_;
    const std::size_t size = number_size(*number);
    numbers_.stride = static_cast<std::ptrdiff_t>(size);
    numbers_.bit_offset = size == 0 ? offset_ : 0;
    numbers_.data = static_cast<const char*>(buffer(array, 1, length_)) + (size * offset_);
    if (length_ == 0) numbers_.data = nullptr;
    numbers_.validity = validity_;
    numbers_.validity_offset = offset_;
    return;
  }
  if (format == "u" || format == "U") {
    kind_ = format == "u" ? Kind::text : Kind::large_text;
    offsets_ = buffer(array, 1, length_);
    chars_ = static_cast<const char*>(array.n_buffers > 2 ? array.buffers[2] : nullptr);
    if (array.n_buffers < 3) throw MalformedArrow("Arrow text array has too few buffers");
    return;
  }
  if (format == "vu") {
    kind_ = Kind::text_view;
    if (array.n_buffers < 3) throw MalformedArrow("Arrow text view array has too few buffers");
    offsets_ = buffer(array, 1, length_);
    for (std::int64_t k = 2; k + 1 < array.n_buffers; ++k)
      view_buffers_.push_back(static_cast<const char*>(array.buffers[k]));
    return;
  }
  throw UnsupportedArrowFormat(std::string(format));
}

bool ArrowColumn::valid(std::size_t i) const {
  return kind_ != Kind::null && (!validity_ || bit_at(validity_, offset_ + i));
}

std::string_view ArrowColumn::text(std::size_t i) const {
  const std::size_t at = offset_ + i;
  const char* offsets = static_cast<const char*>(offsets_);
  std::int64_t begin = 0, end = 0;
  switch (kind_) {
    case Kind::text:
      begin = load<std::int32_t>(offsets + at * 4);
      end = load<std::int32_t>(offsets + (at + 1) * 4);
      break;
    case Kind::large_text:
      begin = load<std::int64_t>(offsets + at * 8);
      end = load<std::int64_t>(offsets + (at + 1) * 8);
      break;
    case Kind::text_view: {
      const char* view = offsets + at * 16;
      const auto length = load<std::int32_t>(view);
      if (length < 0) throw MalformedArrow("Arrow text view with a negative length");
      if (length <= 12) return {view + 4, static_cast<std::size_t>(length)};
      const auto index = load<std::int32_t>(view + 8);
      const auto start = load<std::int32_t>(view + 12);
      if (index < 0 || static_cast<std::size_t>(index) >= view_buffers_.size() || start < 0 ||
          !view_buffers_[static_cast<std::size_t>(index)])
        throw MalformedArrow("Arrow text view pointing outside its buffers");
      return {view_buffers_[static_cast<std::size_t>(index)] + start,
              static_cast<std::size_t>(length)};
    }
    default:
      return {};
  }
  if (begin < 0 || end < begin) throw MalformedArrow("Arrow text offsets out of order");
  if (end == begin) return {};
  if (!chars_) throw MalformedArrow("Arrow text array lacks its character buffer");
  return {chars_ + begin, static_cast<std::size_t>(end - begin)};
}

namespace {

bool is_text(ArrowColumn::Kind kind) {
  return kind == ArrowColumn::Kind::text || kind == ArrowColumn::Kind::large_text ||
         kind == ArrowColumn::Kind::text_view;
}

bool any_valid(const ArrowColumn& column) {
  for (std::size_t i = 0; i < column.length(); ++i)
    if (column.valid(i)) return true;
  return false;
}

// The result of every entry of a dictionary, each looked up once.
std::optional<EntryResults> entry_results(const ArrowColumn& dictionary,
                                          const NumericColumnBinning* numeric,
                                          const CategoricColumnBinning* categoric) {
  const ArrowColumn::Kind kind = dictionary.kind();
  if ((numeric && is_text(kind)) ||
      (categoric && kind == ArrowColumn::Kind::number && any_valid(dictionary)))
    return std::nullopt;
  if (kind == ArrowColumn::Kind::dictionary) return std::nullopt;
  EntryResults entries;
  const auto one = [&](auto&& look_up) {
    DefaultHits hits;
    try {
      const double value = look_up(hits);
      entries.add(value, hits);
    } catch (const ReachedIncompleteBin&) {
      entries.add(kNaN, hits, std::current_exception());
    }
  };
  for (std::size_t j = 0; j < dictionary.length(); ++j) {
    one([&](DefaultHits& hits) {
      if (numeric)
        return numeric->bin_one(dictionary.valid(j) && kind == ArrowColumn::Kind::number
                                    ? dictionary.numbers().number(j)
                                    : kNaN,
                                hits);
      return dictionary.valid(j) ? categoric->bin_text(dictionary.text(j), hits)
                                 : categoric->bin_missing(hits);
    });
  }
  one([&](DefaultHits& hits) {
    return numeric ? numeric->bin_one(kNaN, hits) : categoric->bin_missing(hits);
  });
  entries.last_is_missing();
  return entries;
}

}  // namespace

bool bin_arrow_column(const ArrowColumn& column, const NumericColumnBinning* numeric,
                      const CategoricColumnBinning* categoric, double* out, DefaultHits& hits) {
  const std::size_t n = column.length();
  const auto missing = [&] {
    return numeric ? numeric->bin_one(kNaN, hits) : categoric->bin_missing(hits);
  };
  switch (column.kind()) {
    case ArrowColumn::Kind::null:
      for (std::size_t i = 0; i < n; ++i) out[i] = missing();
      return true;
    case ArrowColumn::Kind::number:
      if (numeric) {
        numeric->bin(column.numbers(), out, hits);
        return true;
      }
      if (any_valid(column)) return false;
      for (std::size_t i = 0; i < n; ++i) out[i] = missing();
      return true;
    case ArrowColumn::Kind::text:
    case ArrowColumn::Kind::large_text:
    case ArrowColumn::Kind::text_view:
      if (numeric) {
        if (any_valid(column)) return false;
        for (std::size_t i = 0; i < n; ++i) out[i] = missing();
        return true;
      }
      for (std::size_t i = 0; i < n; ++i)
        out[i] = column.valid(i) ? categoric->bin_text(column.text(i), hits) : missing();
      return true;
    case ArrowColumn::Kind::dictionary: {
      const std::optional<EntryResults> entries =
          entry_results(column.dictionary(), numeric, categoric);
      if (!entries) return false;
      try {
        gather_entries(*entries, column.numbers(), out, hits);
      } catch (const std::out_of_range&) {
        throw MalformedArrow("Arrow dictionary index out of range");
      }
      return true;
    }
  }
  return false;
}

}  // namespace zelvora
