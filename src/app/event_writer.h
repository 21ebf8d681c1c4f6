// Where the run command's events go: one JSON object per line, or a line of
// text with the status line kept below it on a terminal. Every thread that
// reports writes through the one writer.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace qur {

// A terminal that shows event lines above an editing prompt and a status
// row (the command-line program's line editor). Every call from any thread.
class EventConsole {
 public:
  virtual ~EventConsole() = default;
  virtual void print(const std::string& text) = 0;
  virtual void setStatus(const std::string& status) = 0;
  virtual void setPrompt(const std::string& prompt) = 0;
  // Gives the terminal back; later prints go straight to it.
  virtual void stop() = 0;
};

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

// Lines for standard output wait in a bounded queue that a thread of the
// writer's own writes out: a reader that stops reading holds
// up that thread only, never the caller, and past kMaxWaitingBytes the
// oldest waiting lines are dropped; the next line written says how many.
class EventWriter {
 public:
  static constexpr std::size_t kMaxWaitingBytes = 1024 * 1024;
  // How long finish() waits for a reader to take what is left.
  static constexpr std::chrono::milliseconds kFinishWait{250};

  // With a console, text goes above its prompt and the status into its
  // status row; without one the status is not shown.
  EventWriter(bool json, std::shared_ptr<EventConsole> console = nullptr);
  ~EventWriter();
  EventWriter(const EventWriter&) = delete;
  EventWriter& operator=(const EventWriter&) = delete;

  // fields: pre-rendered JSON members ("\"peer\":\"A\""); text: the human
  // form (nothing is printed for an empty one). Any thread.
  void event(const std::string& name, const std::string& fields, const std::string& text);
  void setStatus(const std::string& status);
  // The text before the typed command, on a terminal.
  void setPrompt(const std::string& prompt);
  // Gives the terminal back (the editor stops) and lets waiting lines out
  // for up to kFinishWait. Any thread but the editor's.
  void finish();

  bool json() const { return _json; }
  // Whether a person types at an editing prompt.
  bool interactive() const { return _editor != nullptr; }
  // Lines dropped so far because nobody read them. Any thread.
  std::uint64_t dropped() const;

  struct Output;

 private:
  std::string jsonLine(const std::string& name, const std::string& fields) const;

  std::mutex _mutex;
  const bool _json;
  const std::shared_ptr<EventConsole> _editor;
  const std::chrono::steady_clock::time_point _start = std::chrono::steady_clock::now();
  std::shared_ptr<Output> _output;  // null when text goes to a console
};

}  // namespace qur
