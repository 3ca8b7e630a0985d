// A small JSON writer for the console tool's report: one object, written in
// the order its members are added, on one line. Inside an array the keys
// given are not written.
//
// Texts come in two kinds: the system's own texts and everything the plug
// sent are Windows-1252 bytes and are converted to UTF-8 (String); texts
// that are already UTF-8, such as file names from the command line, are
// taken as they are (Utf8String), with any byte that is not valid UTF-8
// replaced by U+FFFD, so that the output is always valid JSON. The JSON
// itself is ASCII: every other character is written as a \uXXXX escape.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace json {

// The JSON string literal (with its quotes) for UTF-8 text, in ASCII: escapes
// '"', '\', the control characters below 0x20 and 0x7F, and every character
// above 0x7F (\uXXXX, surrogate pairs above U+FFFF); invalid UTF-8 becomes
// U+FFFD.
std::string Quote(std::string_view utf8);

class Writer {
 public:
  Writer& BeginObject(std::string_view key = {});
  Writer& EndObject();
  Writer& BeginArray(std::string_view key);
  Writer& EndArray();

  Writer& String(std::string_view key, std::string_view cp1252);
  Writer& Utf8String(std::string_view key, std::string_view utf8);
  Writer& Int(std::string_view key, std::int64_t value);
  // Seconds and the like, with the given number of decimals.
  Writer& Fixed(std::string_view key, double value, int decimals);
  Writer& Bool(std::string_view key, bool value);
  Writer& Null(std::string_view key);

  // The text written so far; complete once every object is ended.
  const std::string& Text() const { return text_; }

 private:
  void Key(std::string_view key);
  Writer& Open(std::string_view key, char bracket, bool array);
  Writer& Close(char bracket);

  std::string text_;
  bool first_ = true;  // no member yet in the innermost open object or array
  std::vector<bool> arrays_;  // per open level, innermost last: an array (not an object)
};

}  // namespace json
