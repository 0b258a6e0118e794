#include "call_arguments.hpp"

namespace corvane {

std::variant<std::vector<ArgumentSource>, CallMismatch> match_arguments(
    std::string_view function, const std::vector<Parameter>& params, std::size_t positional,
    const std::vector<std::string_view>& keywords) {
  const std::string name(function);
  const std::size_t n = params.size();
  if (positional > n) {
    return CallMismatch{name + "() takes " + std::to_string(n) + " arguments but " +
                        std::to_string(positional) + " were given"};
  }
  std::vector<ArgumentSource> sources(n, ArgumentSource{ArgumentSource::kDefault, 0});
  std::vector<bool> given(n, false);
  for (std::size_t i = 0; i < positional; ++i) {
    sources[i] = {ArgumentSource::kPositional, i};
    given[i] = true;
  }
  for (std::size_t k = 0; k < keywords.size(); ++k) {
    std::size_t i = 0;
    while (i < n && keywords[k] != params[i].name) ++i;
    if (i == n) return CallMismatch{name + "() got an unexpected keyword argument ", k};
    if (given[i]) {
      return CallMismatch{name + "() got multiple values for argument '" + params[i].name + "'"};
    }
    sources[i] = {ArgumentSource::kKeyword, k};
    given[i] = true;
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (!given[i] && !params[i].has_default) {
      return CallMismatch{name + "() missing required argument '" + params[i].name + "'"};
    }
  }
  return sources;
}

std::string signature_line(std::string_view function, const std::vector<Parameter>& params,
                           const std::vector<std::string>& defaults) {
  std::string line(function);
  line += "(";
  std::size_t d = 0;
  for (std::size_t i = 0; i < params.size(); ++i) {
    if (i) line += ", ";
    line += params[i].name;
    if (params[i].has_default && d < defaults.size()) line += "=" + defaults[d++];
  }
  return line + ")";
}

}  // namespace corvane
