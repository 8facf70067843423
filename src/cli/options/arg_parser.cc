// Command-line parsing: option table lookup, values, operands, numbers.
#include "cli/options/arg_parser.h"

#include <cctype>

namespace kor {
namespace cli {
namespace {

const OptionSpec *FindLong(const std::vector<OptionSpec> &specs,
                           const std::string &name) {
  for (const OptionSpec &spec : specs) {
    if (name == spec.name) return &spec;
  }
  return nullptr;
}

const OptionSpec *FindShort(const std::vector<OptionSpec> &specs, char name) {
  for (const OptionSpec &spec : specs) {
    if (spec.short_name != 0 && spec.short_name == name) return &spec;
  }
  return nullptr;
}

bool AllDigits(const std::string &text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

// Decimal digits to a number, refusing overflow past 2^63.
bool DigitsToNumber(const std::string &digits, uint64_t *value) {
  uint64_t v = 0;
  for (char c : digits) {
    const uint64_t d = static_cast<uint64_t>(c - '0');
    if (v > (UINT64_C(1) << 63) / 10) return false;
    v = v * 10 + d;
  }
  if (v > (UINT64_C(1) << 63)) return false;
  *value = v;
  return true;
}

}  // namespace

bool ParsedArgs::Has(const std::string &name) const {
  return values_.count(name) != 0;
}

std::string ParsedArgs::Value(const std::string &name) const {
  auto it = values_.find(name);
  return it == values_.end() || it->second.empty() ? std::string()
                                                   : it->second.back();
}

std::vector<std::string> ParsedArgs::Values(const std::string &name) const {
  auto it = values_.find(name);
  return it == values_.end() ? std::vector<std::string>() : it->second;
}

bool ParseArgs(const std::vector<OptionSpec> &specs, int argc, char **argv,
               ParsedArgs *parsed, std::string *error) {
  *parsed = ParsedArgs();
  bool options_ended = false;
  for (int i = 0; i < argc; ++i) {
    const std::string word = argv[i] != nullptr ? argv[i] : "";
    if (options_ended || word == "-" || word.empty() || word[0] != '-') {
      parsed->operands_.push_back(word);
      continue;
    }
    if (word == "--") {
      options_ended = true;
      continue;
    }
    const OptionSpec *spec = nullptr;
    std::string shown;  // the option as the user wrote it
    std::string value;
    bool value_attached = false;
    if (word.compare(0, 2, "--") == 0) {
      const size_t equals = word.find('=');
      const std::string name = word.substr(
          2, equals == std::string::npos ? std::string::npos : equals - 2);
      shown = "--" + name;
      spec = FindLong(specs, name);
      if (equals != std::string::npos) {
        value = word.substr(equals + 1);
        value_attached = true;
      }
    } else {
      shown = word.substr(0, 2);
      spec = FindShort(specs, word[1]);
      if (word.size() > 2) {
        value = word.substr(2);
        value_attached = true;
      }
    }
    if (spec == nullptr) {
      *error = "unknown option " + shown;
      return false;
    }
    // A value name in brackets ("[=MASK]") makes the value optional: it
    // must then be attached, and the option alone has the value "".
    const bool optional_value =
        spec->value_name != nullptr && spec->value_name[0] == '[';
    if (spec->takes_value && optional_value) {
      // Nothing to consume: an absent value stays "".
    } else if (spec->takes_value) {
      if (!value_attached) {
        if (i + 1 >= argc || argv[i + 1] == nullptr) {
          *error = "option " + shown + " needs a value";
          return false;
        }
        value = argv[++i];
      }
    } else if (value_attached) {
      *error = "option " + shown + " takes no value";
      return false;
    }
    std::vector<std::string> &slot = parsed->values_[spec->name];
    if (!slot.empty() && !spec->repeatable) {
      *error = "option --" + std::string(spec->name) + " given more than once";
      return false;
    }
    slot.push_back(value);
  }
  return true;
}

std::string OptionsHelp(const std::vector<OptionSpec> &specs) {
  std::vector<std::string> left;
  size_t width = 0;
  for (const OptionSpec &spec : specs) {
    std::string l = spec.short_name != 0
                        ? std::string("-") + spec.short_name + ", "
                        : std::string("    ");
    l += "--";
    l += spec.name;
    if (spec.takes_value && spec.value_name != nullptr &&
        spec.value_name[0] == '[') {
      l += spec.value_name;
    } else if (spec.takes_value) {
      l += " ";
      l += spec.value_name != nullptr ? spec.value_name : "VALUE";
    }
    width = std::max(width, l.size());
    left.push_back(l);
  }
  std::string text;
  for (size_t i = 0; i < specs.size(); ++i) {
    text += "  " + left[i] + std::string(width - left[i].size() + 2, ' ') +
            specs[i].help + "\n";
  }
  return text;
}

bool ParseByteSize(const std::string &text, uint64_t *bytes) {
  size_t digits = 0;
  while (digits < text.size() &&
         std::isdigit(static_cast<unsigned char>(text[digits]))) {
    ++digits;
  }
  if (digits == 0) return false;
  std::string suffix;
  for (size_t i = digits; i < text.size(); ++i) {
    suffix.push_back(
        static_cast<char>(std::toupper(static_cast<unsigned char>(text[i]))));
  }
  int shift = 0;
  if (suffix.empty() || suffix == "B") {
    shift = 0;
  } else if (suffix == "K" || suffix == "KIB") {
    shift = 10;
  } else if (suffix == "M" || suffix == "MIB") {
    shift = 20;
  } else if (suffix == "G" || suffix == "GIB") {
    shift = 30;
  } else {
    return false;
  }
  uint64_t value = 0;
  if (!DigitsToNumber(text.substr(0, digits), &value)) return false;
  if (shift > 0 && value > (UINT64_C(1) << (63 - shift))) return false;
  *bytes = value << shift;
  return true;
}

bool ParseCount(const std::string &text, uint64_t min, uint64_t max,
                uint64_t *value) {
  uint64_t v = 0;
  if (!AllDigits(text) || !DigitsToNumber(text, &v) || v < min || v > max) {
    return false;
  }
  *value = v;
  return true;
}

}  // namespace cli
}  // namespace kor
