// JSON for scripts. The writer builds one document as it goes: commas,
// line breaks and indentation come by themselves. Its text is ASCII
// throughout: every character outside printable ASCII is a \u escape (a
// surrogate pair past U+FFFF), so the document passes through any console
// code page unchanged and any element name survives exactly.
#ifndef QSSTORAGE_TOOLS_QSPLEX_OUTPUT_JSON_H_
#define QSSTORAGE_TOOLS_QSPLEX_OUTPUT_JSON_H_

#include <cstdint>
#include <string>
#include <vector>

#include "tools/qsplex/output/failure.h"
#include "tools/qsplex/output/text.h"

namespace qsplex {

// `wide` as a quoted JSON string: each UTF-16 unit as it is, so that a
// surrogate without its partner survives too. Null is "".
std::string JsonQuote(const OLECHAR* wide);
// `utf8` as a quoted JSON string. Text that is not valid UTF-8 (a file
// name on Linux may be any bytes) is read as the ANSI code page instead,
// every byte of it: no byte is lost or replaced.
std::string JsonQuote(const std::string& utf8);

class JsonWriter {
 public:
  JsonWriter& BeginObject();
  JsonWriter& EndObject();
  JsonWriter& BeginArray();
  JsonWriter& EndArray();
  // Starts a member of the object being written; its value comes next.
  JsonWriter& Key(const char* key);
  JsonWriter& String(const std::string& utf8);
  JsonWriter& String(const OLECHAR* wide);
  JsonWriter& Number(uint64_t value);
  JsonWriter& Signed(int64_t value);
  JsonWriter& Bool(bool value);
  JsonWriter& Null();
  // The document with a final line break; complete once every object and
  // array begun has ended.
  std::string Text() const { return text_ + "\n"; }

 private:
  JsonWriter& Value(const std::string& text);
  JsonWriter& Begin(char bracket);
  JsonWriter& End(char bracket);
  // Separates and indents a value or a member from the one before it.
  void Place();

  std::string text_;
  std::vector<bool> filled_;  // per open level: something written in it
  bool after_key_ = false;
};

// Prints the finished document `json` on standard output and returns
// `status`, or prints why it could not and returns kExitFailure.
int PrintJson(const Reporter& c, const JsonWriter& json, int status = 0);

}  // namespace qsplex

#endif  // QSSTORAGE_TOOLS_QSPLEX_OUTPUT_JSON_H_
