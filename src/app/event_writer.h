// Where the run command's events go: one JSON object per line, or a line of
// text with the status line kept below it on a terminal. Every thread that
// reports writes through the one writer.
#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>

namespace qur {

// Text from outside (typed commands, peer names) made safe to show: invalid
// UTF-8 becomes U+FFFD and control characters (but newlines, if kept)
// become '?', so no terminal acts on them.
std::string printableText(const std::string& text, bool keepNewlines = false);
// A JSON string literal: invalid UTF-8 becomes U+FFFD, control characters
// are escaped, so every reader accepts the line.
std::string jsonString(const std::string& text);
// At most maxCharacters characters of the text, cut at a character
// boundary, with "…" when something was cut.
std::string shortened(const std::string& text, std::size_t maxCharacters = 40);

class EventWriter {
 public:
  // statusLine: keep the status on the terminal's last line.
  EventWriter(bool json, bool statusLine);

  // fields: pre-rendered JSON members ("\"peer\":\"A\""); text: the human
  // form (nothing is printed for an empty one). Any thread.
  void event(const std::string& name, const std::string& fields, const std::string& text);
  void setStatus(const std::string& status);
  // Ends the status line. Any thread.
  void finish();

  bool json() const { return _json; }

 private:
  std::mutex _mutex;
  const bool _json;
  const bool _statusLine;
  const std::chrono::steady_clock::time_point _start = std::chrono::steady_clock::now();
  std::string _status;
};

}  // namespace qur
