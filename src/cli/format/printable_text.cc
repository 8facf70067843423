// Escaping stored text for the terminal.
#include "cli/format/printable_text.h"

namespace kor {
namespace cli {

std::string PrintableText(const std::string &stored) {
  static const char kHex[] = "0123456789abcdef";
  std::string shown;
  shown.reserve(stored.size());
  for (const char c : stored) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte == '\\') {
      shown += "\\\\";
    } else if (byte >= 0x20 && byte <= 0x7e) {
      shown += c;
    } else {
      shown += "\\x";
      shown += kHex[byte >> 4];
      shown += kHex[byte & 0x0f];
    }
  }
  return shown;
}

std::string Counted(uint64_t count, const std::string &noun) {
  return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

}  // namespace cli
}  // namespace kor
