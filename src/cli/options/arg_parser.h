// options/: the command line and environment, read and checked before
// the library sees them.
//
// A small command-line parser for korbr's commands.
//
// Options are long ("--name value", "--name=value") or short ("-x value");
// a flag takes no value.  "--" ends the options; "-" alone is an operand
// (standard input or output).  Each command describes its options in a
// table, which also yields the option list of its --help text.
#ifndef KORBR_CLI_ARG_PARSER_H_
#define KORBR_CLI_ARG_PARSER_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace kor {
namespace cli {

struct OptionSpec {
  const char *name;        // long name without "--"
  char short_name;         // 0 when none
  bool takes_value;        // false: a flag
  bool repeatable;         // may be given more than once
  const char *value_name;  // shown in the help ("BYTES"), or null; in
                           // brackets ("[=MASK]") the value is optional
  const char *help;        // one line
};

class ParsedArgs {
 public:
  bool Has(const std::string &name) const;
  // The value of a single-valued option ("" when absent).
  std::string Value(const std::string &name) const;
  // Every value of a repeatable option, in the order given.
  std::vector<std::string> Values(const std::string &name) const;
  const std::vector<std::string> &operands() const { return operands_; }

 private:
  friend bool ParseArgs(const std::vector<OptionSpec> &, int, char **,
                        ParsedArgs *, std::string *);
  std::map<std::string, std::vector<std::string>> values_;
  std::vector<std::string> operands_;
};

// Parses argv[0..argc-1] (the words after the command name).  On failure
// returns false and says what is wrong in `error` (one line).
bool ParseArgs(const std::vector<OptionSpec> &specs, int argc, char **argv,
               ParsedArgs *parsed, std::string *error);

// The option list for --help: one line per option, aligned.
std::string OptionsHelp(const std::vector<OptionSpec> &specs);

// A byte count: decimal digits with an optional binary suffix K, M or G
// (also KiB, MiB, GiB; any case).  Refuses signs, blanks, overflow and
// anything else.
bool ParseByteSize(const std::string &text, uint64_t *bytes);

// A decimal count within [min, max].
bool ParseCount(const std::string &text, uint64_t min, uint64_t max,
                uint64_t *value);

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_ARG_PARSER_H_
