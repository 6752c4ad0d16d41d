// What the preprocessing of a model's inputs tells its callers: the errors and log messages
// of the builder of binnings and of dummy encoding.
//
// Every text is text bytes as the bindings hand them over (UTF-8, lone surrogates kept),
// and comes back the same way; nothing here quotes or escapes.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace zelvora {

// --- the builder of binnings -------------------------------------------------------------

/// The keys of a binning specification that the builder reads.
inline constexpr std::array<std::string_view, 10> kSpecificationKeys{
    "dtype",    "bins",           "bin_vals",         "bin_frequencies", "bin_target_rates",
    "null_val", "null_frequency", "null_target_rate", "default",         "binned_attribute_name"};

bool is_specification_key(std::string_view key);

/// "Binning attribute <attribute>: ", the prefix of every error raised while building or
/// applying a binning, and of the builder's warnings.
std::string binning_error_prefix(std::string_view attribute);

/// Two neighbouring edges that do not increase, shown as bin names show numbers.
std::string edges_must_increase(std::string_view attribute, std::string_view lower,
                                std::string_view upper);

/// A per-bin list (bin_vals, ...) shorter than the bins.
std::string too_few_bin_entries(std::string_view attribute, std::string_view key, std::size_t bins);

/// A key the builder does not read, `shown` as its repr.
std::string unknown_specification_key(std::string_view attribute, std::string_view shown);

// --- dummy encoding ----------------------------------------------------------------------

/// An attribute without a dummy encoding.
std::string no_dummy_encoding(std::string_view attribute);

/// A value that selects no indicator: the indicator marked for undefined values took it
/// (`default_name`), or none did and every indicator stays 0.
std::string undefined_dummy_value(std::string_view value, std::string_view attribute,
                                  std::optional<std::string_view> default_name);

/// An indicator named as the attribute it encodes.
std::string dummy_named_as_attribute(std::string_view attribute);

}  // namespace zelvora
