// Where the run command's events go: one JSON object per line, or a line of
// text with the status line kept below it on a terminal. Every thread that
// reports writes through the one writer.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>

namespace qur::cli {

class LineEditor;

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
  // With an editor, text goes above its prompt and the status into its
  // status row; without one the status is not shown.
  EventWriter(bool json, std::shared_ptr<LineEditor> editor);

  // fields: pre-rendered JSON members ("\"peer\":\"A\""); text: the human
  // form (nothing is printed for an empty one). Any thread.
  void event(const std::string& name, const std::string& fields, const std::string& text);
  void setStatus(const std::string& status);
  // The text before the typed command, on a terminal.
  void setPrompt(const std::string& prompt);
  // Gives the terminal back (the editor stops). Any thread but the editor's.
  void finish();

  bool json() const { return _json; }
  // Whether a person types at an editing prompt.
  bool interactive() const { return _editor != nullptr; }

 private:
  std::mutex _mutex;
  const bool _json;
  const std::shared_ptr<LineEditor> _editor;
  const std::chrono::steady_clock::time_point _start = std::chrono::steady_clock::now();
};

}  // namespace qur::cli
