// A strict check that a line is one JSON value (RFC 8259): what a reader in
// any language would accept, including that strings are valid UTF-8.
#pragma once

#include <cctype>
#include <cstddef>
#include <string>

namespace qur::testing {

class JsonCheck {
 public:
  static bool isValid(const std::string& text) {
    JsonCheck check(text);
    check.space();
    if (!check.value(0)) return false;
    check.space();
    return check._at == text.size();
  }

 private:
  explicit JsonCheck(const std::string& text) : _text(text) {}

  bool value(int depth) {
    if (depth > 64 || _at >= _text.size()) return false;
    switch (_text[_at]) {
      case '{':
        return object(depth);
      case '[':
        return array(depth);
      case '"':
        return string();
      case 't':
        return literal("true");
      case 'f':
        return literal("false");
      case 'n':
        return literal("null");
      default:
        return number();
    }
  }

  bool object(int depth) {
    ++_at;
    space();
    if (peek('}')) return ++_at, true;
    for (;;) {
      space();
      if (!string()) return false;
      space();
      if (!peek(':')) return false;
      ++_at;
      space();
      if (!value(depth + 1)) return false;
      space();
      if (peek('}')) return ++_at, true;
      if (!peek(',')) return false;
      ++_at;
    }
  }

  bool array(int depth) {
    ++_at;
    space();
    if (peek(']')) return ++_at, true;
    for (;;) {
      space();
      if (!value(depth + 1)) return false;
      space();
      if (peek(']')) return ++_at, true;
      if (!peek(',')) return false;
      ++_at;
    }
  }

  bool string() {
    if (!peek('"')) return false;
    ++_at;
    while (_at < _text.size()) {
      const auto c = static_cast<unsigned char>(_text[_at]);
      if (c == '"') return ++_at, true;
      if (c < 0x20) return false;
      if (c == '\\') {
        if (++_at >= _text.size()) return false;
        const char e = _text[_at];
        if (e == 'u') {
          for (int k = 1; k <= 4; ++k) {
            if (_at + k >= _text.size() ||
                !std::isxdigit(static_cast<unsigned char>(_text[_at + k])))
              return false;
          }
          _at += 5;
        } else if (std::string("\"\\/bfnrt").find(e) != std::string::npos) {
          ++_at;
        } else {
          return false;
        }
        continue;
      }
      if (!utf8()) return false;
    }
    return false;
  }

  bool utf8() {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(_text[i]); };
    const unsigned char lead = byte(_at);
    std::size_t length = 0;
    unsigned code = 0, minimum = 0;
    if (lead < 0x80) return ++_at, true;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2, code = lead & 0x1F, minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3, code = lead & 0x0F, minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4, code = lead & 0x07, minimum = 0x10000;
    } else {
      return false;
    }
    if (_at + length > _text.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      if ((byte(_at + k) & 0xC0) != 0x80) return false;
      code = (code << 6) | (byte(_at + k) & 0x3F);
    }
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    _at += length;
    return true;
  }

  bool number() {
    const std::size_t start = _at;
    if (peek('-')) ++_at;
    if (peek('0')) {
      ++_at;
    } else if (!digits()) {
      return false;
    }
    if (peek('.')) {
      ++_at;
      if (!digits()) return false;
    }
    if (peek('e') || peek('E')) {
      ++_at;
      if (peek('+') || peek('-')) ++_at;
      if (!digits()) return false;
    }
    return _at > start;
  }

  bool digits() {
    const std::size_t start = _at;
    while (_at < _text.size() && std::isdigit(static_cast<unsigned char>(_text[_at]))) ++_at;
    return _at > start;
  }

  bool literal(const char* word) {
    const std::string w(word);
    if (_text.compare(_at, w.size(), w) != 0) return false;
    _at += w.size();
    return true;
  }

  bool peek(char c) const { return _at < _text.size() && _text[_at] == c; }
  void space() {
    while (_at < _text.size() && std::string(" \t\r\n").find(_text[_at]) != std::string::npos)
      ++_at;
  }

  const std::string& _text;
  std::size_t _at = 0;
};

}  // namespace qur::testing
