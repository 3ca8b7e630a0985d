#include "frontends/json_writer.h"

#include <cmath>
#include <cstdio>

#include "frontends/console_toolkit.h"

namespace json {
namespace {

// Length of the valid UTF-8 sequence at s[i], or 0 when there is none
// (overlong forms, surrogates and values above U+10FFFF are not valid).
std::size_t Utf8Length(std::string_view s, std::size_t i) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = b(i);
  std::size_t n = 0;
  unsigned lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  if (b(i + 1) < lo || b(i + 1) > hi) return 0;
  for (std::size_t k = 2; k < n; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return 0;
  }
  return n;
}

// The code point of the valid sequence of n bytes at s[i].
std::uint32_t CodePoint(std::string_view s, std::size_t i, std::size_t n) {
  static constexpr unsigned char kLeadBits[] = {0x7F, 0x7F, 0x1F, 0x0F, 0x07};
  std::uint32_t cp = static_cast<unsigned char>(s[i]) & kLeadBits[n];
  for (std::size_t k = 1; k < n; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3Fu);
  return cp;
}

void AppendEscape(std::string& out, std::uint32_t unit) {
  char esc[16];
  std::snprintf(esc, sizeof esc, "\\u%04x", static_cast<unsigned>(unit));
  out += esc;
}

}  // namespace

std::string Quote(std::string_view utf8) {
  std::string out = "\"";
  for (std::size_t i = 0; i < utf8.size();) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    if (c >= 0x80) {
      // Outside ASCII as \uXXXX (a surrogate pair above U+FFFF): the same
      // text for every reader, whatever code page it assumes.
      const std::size_t n = Utf8Length(utf8, i);
      const std::uint32_t cp = n == 0 ? 0xFFFDu : CodePoint(utf8, i, n);
      i += n == 0 ? 1 : n;
      if (cp >= 0x10000) {
        AppendEscape(out, 0xD800u + ((cp - 0x10000u) >> 10));
        AppendEscape(out, 0xDC00u + ((cp - 0x10000u) & 0x3FFu));
      } else {
        AppendEscape(out, cp);
      }
      continue;
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          AppendEscape(out, c);
        } else {
          out += static_cast<char>(c);
        }
    }
    ++i;
  }
  return out + "\"";
}

void Writer::Key(std::string_view key) {
  if (!first_) text_ += ',';
  first_ = false;
  if (!arrays_.empty() && !arrays_.back()) text_ += Quote(key) + ':';
}

Writer& Writer::Open(std::string_view key, char bracket, bool array) {
  if (!arrays_.empty()) Key(key);
  text_ += bracket;
  first_ = true;
  arrays_.push_back(array);
  return *this;
}

Writer& Writer::Close(char bracket) {
  text_ += bracket;
  first_ = false;
  arrays_.pop_back();
  return *this;
}

Writer& Writer::BeginObject(std::string_view key) { return Open(key, '{', false); }
Writer& Writer::EndObject() { return Close('}'); }
Writer& Writer::BeginArray(std::string_view key) { return Open(key, '[', true); }
Writer& Writer::EndArray() { return Close(']'); }

Writer& Writer::String(std::string_view key, std::string_view cp1252) {
  Key(key);
  text_ += Quote(tk::Cp1252ToUtf8(cp1252));
  return *this;
}

Writer& Writer::Utf8String(std::string_view key, std::string_view utf8) {
  Key(key);
  text_ += Quote(utf8);
  return *this;
}

Writer& Writer::Int(std::string_view key, std::int64_t value) {
  Key(key);
  text_ += std::to_string(value);
  return *this;
}

Writer& Writer::Fixed(std::string_view key, double value, int decimals) {
  Key(key);
  if (!std::isfinite(value)) {
    text_ += "null";
    return *this;
  }
  char number[64];
  std::snprintf(number, sizeof number, "%.*f", decimals, value);
  text_ += number;
  return *this;
}

Writer& Writer::Bool(std::string_view key, bool value) {
  Key(key);
  text_ += value ? "true" : "false";
  return *this;
}

Writer& Writer::Null(std::string_view key) {
  Key(key);
  text_ += "null";
  return *this;
}

}  // namespace json
