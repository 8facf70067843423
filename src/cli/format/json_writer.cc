// A small JSON writer.
#include "cli/format/json_writer.h"

#include <cmath>
#include <cstdio>

namespace kor {
namespace cli {
namespace {

// The length of the well-formed UTF-8 sequence at text[i], or 0 when the
// byte there does not start one (overlong forms, surrogates and code
// points past U+10FFFF are not well formed).
size_t Utf8SequenceLength(const std::string &text, size_t i) {
  const auto byte = [&](size_t k) {
    return static_cast<unsigned char>(text[k]);
  };
  const unsigned char c = byte(i);
  size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    length = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3;
    if (c == 0xE0) low = 0xA0;
    if (c == 0xED) high = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4;
    if (c == 0xF0) low = 0x90;
    if (c == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  if (byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (size_t k = 2; k < length; ++k) {
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  }
  return length;
}

}  // namespace

std::string JsonString(const std::string &text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      const size_t length = Utf8SequenceLength(text, i);
      if (length == 0) {
        out += "\\ufffd";
        ++i;
      } else {
        out.append(text, i, length);
        i += length;
      }
      continue;
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out += static_cast<char>(c);
        }
    }
    ++i;
  }
  return out + "\"";
}

void JsonWriter::BeforeValue() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (!first_.empty()) {
    if (!first_.back()) text_ += ",";
    first_.back() = false;
  }
}

void JsonWriter::BeginObject() {
  BeforeValue();
  text_ += "{";
  first_.push_back(true);
}

void JsonWriter::EndObject() {
  first_.pop_back();
  text_ += "}";
}

void JsonWriter::BeginArray() {
  BeforeValue();
  text_ += "[";
  first_.push_back(true);
}

void JsonWriter::EndArray() {
  first_.pop_back();
  text_ += "]";
}

void JsonWriter::Key(const std::string &name) {
  BeforeValue();
  text_ += JsonString(name) + ":";
  after_key_ = true;
}

void JsonWriter::String(const std::string &value) {
  BeforeValue();
  text_ += JsonString(value);
}

void JsonWriter::Number(uint64_t value) {
  BeforeValue();
  text_ += std::to_string(value);
}

void JsonWriter::Number(int64_t value) {
  BeforeValue();
  text_ += std::to_string(value);
}

void JsonWriter::Decimal(double value) {
  BeforeValue();
  // JSON has no infinity or NaN.
  if (!std::isfinite(value)) {
    text_ += "null";
    return;
  }
  char text[64];
  std::snprintf(text, sizeof text, "%.3f", value);
  text_ += text;
}

void JsonWriter::Bool(bool value) {
  BeforeValue();
  text_ += value ? "true" : "false";
}

void JsonWriter::Null() {
  BeforeValue();
  text_ += "null";
}

}  // namespace cli
}  // namespace kor
