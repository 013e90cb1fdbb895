#include "tools/qsplex/output/json.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace qsplex {
namespace {

void AppendEscaped(uint16_t unit, std::string* out) {
  switch (unit) {
    case '"':
      *out += "\\\"";
      return;
    case '\\':
      *out += "\\\\";
      return;
    case '\b':
      *out += "\\b";
      return;
    case '\f':
      *out += "\\f";
      return;
    case '\n':
      *out += "\\n";
      return;
    case '\r':
      *out += "\\r";
      return;
    case '\t':
      *out += "\\t";
      return;
  }
  if (unit >= 0x20 && unit < 0x7F) {
    out->push_back(static_cast<char>(unit));
    return;
  }
  char escape[8];
  std::snprintf(escape, sizeof escape, "\\u%04x", unit);
  *out += escape;
}

std::string Quote(const OLECHAR* units, size_t count) {
  std::string out = "\"";
  for (size_t i = 0; i < count; ++i) {
    AppendEscaped(static_cast<uint16_t>(units[i]), &out);
  }
  return out + "\"";
}

}  // namespace

std::string JsonQuote(const OLECHAR* wide) {
  size_t count = 0;
  while (wide != nullptr && wide[count] != 0) ++count;
  return Quote(wide, count);
}

std::string JsonQuote(const std::string& utf8) {
  WideString wide;
  if (!Utf8ToWide(utf8, &wide)) {
    wide.clear();
    for (char byte : utf8) {
      const char one[2] = {byte, 0};
      OLECHAR unit[2] = {};
      if (byte == 0 || qss::AnsiToWide(one, unit, 2) == 0) unit[0] = 0;
      // A byte the code page leaves undefined stands for itself.
      if (byte != 0 && unit[0] == 0) unit[0] = static_cast<unsigned char>(byte);
      wide.push_back(unit[0]);
    }
  }
  return Quote(wide.data(), wide.size());
}

void JsonWriter::Place() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (filled_.empty()) return;
  if (filled_.back()) text_ += ",";
  text_ += "\n" + std::string(2 * filled_.size(), ' ');
  filled_.back() = true;
}

JsonWriter& JsonWriter::Begin(char bracket) {
  Place();
  text_.push_back(bracket);
  filled_.push_back(false);
  return *this;
}

JsonWriter& JsonWriter::End(char bracket) {
  const bool filled = filled_.back();
  filled_.pop_back();
  if (filled) text_ += "\n" + std::string(2 * filled_.size(), ' ');
  text_.push_back(bracket);
  return *this;
}

JsonWriter& JsonWriter::BeginObject() { return Begin('{'); }
JsonWriter& JsonWriter::EndObject() { return End('}'); }
JsonWriter& JsonWriter::BeginArray() { return Begin('['); }
JsonWriter& JsonWriter::EndArray() { return End(']'); }

JsonWriter& JsonWriter::Key(const char* key) {
  Place();
  text_ += JsonQuote(std::string(key)) + ": ";
  after_key_ = true;
  return *this;
}

JsonWriter& JsonWriter::Value(const std::string& text) {
  Place();
  text_ += text;
  return *this;
}

JsonWriter& JsonWriter::String(const std::string& utf8) {
  return Value(JsonQuote(utf8));
}

JsonWriter& JsonWriter::String(const OLECHAR* wide) {
  return Value(JsonQuote(wide));
}

JsonWriter& JsonWriter::Number(uint64_t value) {
  return Value(std::to_string(value));
}

JsonWriter& JsonWriter::Signed(int64_t value) {
  return Value(std::to_string(value));
}

JsonWriter& JsonWriter::Bool(bool value) {
  return Value(value ? "true" : "false");
}

JsonWriter& JsonWriter::Null() { return Value("null"); }

int PrintJson(const Reporter& c, const JsonWriter& json, int status) {
  const std::string text = json.Text();
  if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() ||
      std::fflush(stdout) != 0) {
    return c.Fail("standard output", std::strerror(errno));
  }
  return status;
}

}  // namespace qsplex
