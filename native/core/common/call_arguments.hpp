// Matching a call's arguments to a function's parameters, for functions bound by hand:
// positional ones first, then keywords by name, then the defaults.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace corvane {

struct Parameter {
  const char* name;
  bool has_default;
};

// Where each parameter's value comes from.
struct ArgumentSource {
  enum Kind { kPositional, kKeyword, kDefault } kind;
  std::size_t index;  // into the positional arguments or the keywords; unused for a default
};

// A call that does not fit: the message of the TypeError it raises. For an unexpected
// keyword, `keyword` is its index and the caller adds its printed form to the message.
struct CallMismatch {
  std::string message;
  std::size_t keyword = std::string::npos;
};

// The source of every parameter's value, or why the call does not fit. `keywords` holds
// the names of the keyword arguments in order.
std::variant<std::vector<ArgumentSource>, CallMismatch> match_arguments(
    std::string_view function, const std::vector<Parameter>& params, std::size_t positional,
    const std::vector<std::string_view>& keywords);

// "name(a, b=<default>)": the signature line of a function's help text; `defaults` holds
// the printed default of each parameter that has one, in order.
std::string signature_line(std::string_view function, const std::vector<Parameter>& params,
                           const std::vector<std::string>& defaults);

}  // namespace corvane
