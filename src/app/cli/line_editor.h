// The run command's terminal face: an editing prompt (history, cursor keys,
// the user's ~/.editrc) under a status row, with event lines printed above
// both. Whatever arrives while the user types is printed above, and the
// status row and the half-typed line are drawn again below it, so nothing
// overwrites the input. The status row is cut to the terminal's width and
// never wraps.
//
// The editor owns the terminal while it runs: its own thread reads the keys,
// and only that thread writes to the terminal; other threads hand it text.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "app/event_writer.h"

namespace qur::cli {

class LineEditor : public EventConsole {
 public:
  struct Handlers {
    // A finished line (UTF-8). Editor thread.
    std::function<void(const std::string&)> line;
    // The talk key: Ctrl-T anywhere, or Space on an empty line. Editor thread.
    std::function<void()> talkKey;
    // End of input (Ctrl-D on an empty line). Editor thread.
    std::function<void()> ended;
  };

  // Main thread, before any other thread writes to the terminal. Null when
  // the terminal cannot be edited on (the caller then reads lines plainly).
  static std::unique_ptr<LineEditor> start(Handlers handlers);
  ~LineEditor() override;  // stop()s
  LineEditor(const LineEditor&) = delete;
  LineEditor& operator=(const LineEditor&) = delete;

  // Any thread: lines to show above the prompt (newlines split them).
  void print(const std::string& text) override;
  // Any thread: the status row's text; redrawn when it changes.
  void setStatus(const std::string& status) override;
  // Any thread: the prompt before the typed text.
  void setPrompt(const std::string& prompt) override;
  // Any thread but the editor's: clears the status row and the prompt,
  // prints what is still pending, gives the terminal back and waits for the
  // editor thread. Later print() calls write straight to the terminal.
  void stop() override;

  class Impl;

 private:
  explicit LineEditor(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> _impl;
};

// Display columns of UTF-8 text (wide characters count two), and the text
// cut to at most `columns` of them, with "…" when something was cut.
std::size_t displayColumns(const std::string& text);
std::string fitToColumns(const std::string& text, std::size_t columns);

}  // namespace qur::cli
