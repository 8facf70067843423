// A small writer of JSON documents, for the reports korbr gives to
// monitoring (korbr list --json, --json FILE of a run).
//
// Contract: the caller opens and closes objects and arrays in matching
// order; the writer puts the commas and escapes every string.  Strings
// are written as valid UTF-8 JSON whatever bytes they hold: quotes,
// backslashes and control characters are escaped, and a byte that is not
// part of a well-formed UTF-8 sequence (a file name in another encoding)
// becomes U+FFFD, so that any JSON parser accepts the document.
#ifndef KORBR_CLI_JSON_WRITER_H_
#define KORBR_CLI_JSON_WRITER_H_

#include <cstdint>
#include <string>
#include <vector>

namespace kor {
namespace cli {

// `text` as a JSON string literal, quotes included.
std::string JsonString(const std::string &text);

class JsonWriter {
 public:
  void BeginObject();
  void EndObject();
  void BeginArray();
  void EndArray();
  // The name of the next member of the object being written.
  void Key(const std::string &name);
  void String(const std::string &value);
  void Number(uint64_t value);
  void Number(int64_t value);
  // A number with up to 3 decimals (ratios, seconds, rates).
  void Decimal(double value);
  void Bool(bool value);
  void Null();
  // The document so far; complete once every object and array is closed.
  const std::string &text() const { return text_; }

 private:
  void BeforeValue();

  std::string text_;
  std::vector<bool> first_;  // per open container: nothing written yet
  bool after_key_ = false;
};

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_JSON_WRITER_H_
