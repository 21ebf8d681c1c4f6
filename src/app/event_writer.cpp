#include "app/event_writer.h"

#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <thread>

namespace qur {

namespace {

constexpr const char* kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// Length of the valid UTF-8 sequence at text[i], 0 when it is not one.
std::size_t validSequenceLength(const std::string& text, std::size_t i) {
  const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
  const unsigned char lead = byte(i);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  std::uint32_t minimum = 0, code = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, minimum = 0x80, code = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, minimum = 0x800, code = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, minimum = 0x10000, code = lead & 0x07;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(i + k) & 0x3F);
  }
  // Overlong forms, surrogates and values past U+10FFFF are not text.
  if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

}  // namespace

std::string printableText(const std::string& text, bool keepNewlines) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = validSequenceLength(text, i);
    if (length == 0) {
      out += kReplacement;
      ++i;
      continue;
    }
    const auto lead = static_cast<unsigned char>(text[i]);
    if (length == 1 && lead == '\n' && keepNewlines) {
      out += '\n';
    } else if (length == 1 && (lead < 0x20 || lead == 0x7F)) {
      out += lead == '\t' ? ' ' : '?';
    } else if (length == 2 && lead == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
      out += '?';  // C1 controls: terminals act on some of them
    } else {
      out.append(text, i, length);
    }
    i += length;
  }
  return out;
}

std::string jsonString(const std::string& text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = validSequenceLength(text, i);
    if (length == 0) {
      out += kReplacement;
      ++i;
      continue;
    }
    const char c = text[i];
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
      out += escaped;
    } else {
      out.append(text, i, length);
    }
    i += length;
  }
  return out + "\"";
}

std::string shortened(const std::string& text, std::size_t maxCharacters) {
  std::size_t characters = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
    if (characters++ == maxCharacters) return text.substr(0, i) + "\xE2\x80\xA6";
  }
  return text;
}

// The queue between callers and standard output, and its writer thread.
// The thread owns a reference, so it may outlive the writer (blocked on a
// reader that never reads) without touching freed memory; it writes with
// write(2), so a blocked write holds no stdio lock the exit would wait for.
struct EventWriter::Output {
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::string> lines;
  std::size_t bytes = 0;
  std::uint64_t droppedSinceReport = 0;
  std::uint64_t droppedTotal = 0;
  bool writing = false;
  bool stopping = false;
  // Makes the line that tells of dropped lines, in the writer's format.
  std::function<std::string(std::uint64_t)> droppedLine;

  void push(std::string line) {
    {
      std::lock_guard lock(mutex);
      while (!lines.empty() && bytes + line.size() > kMaxWaitingBytes) {
        bytes -= lines.front().size();
        lines.pop_front();
        ++droppedSinceReport;
        ++droppedTotal;
      }
      bytes += line.size();
      lines.push_back(std::move(line));
    }
    changed.notify_all();
  }

  static void writeAll(const std::string& text) {
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
      const ssize_t n = ::write(STDOUT_FILENO, data, left);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;  // nobody to write to: the lines are lost either way
      data += n;
      left -= static_cast<std::size_t>(n);
    }
  }

  void run() {
    std::unique_lock lock(mutex);
    for (;;) {
      changed.wait(lock, [&] { return stopping || !lines.empty(); });
      if (lines.empty()) return;
      std::string batch;
      if (droppedSinceReport > 0) {
        batch = droppedLine(droppedSinceReport);
        droppedSinceReport = 0;
      }
      for (auto& line : lines) batch += line;
      lines.clear();
      bytes = 0;
      writing = true;
      lock.unlock();
      writeAll(batch);
      lock.lock();
      writing = false;
      changed.notify_all();
    }
  }
};

EventWriter::EventWriter(bool json, std::shared_ptr<EventConsole> console)
    : _json(json), _editor(std::move(console)) {
  if (_editor && !_json) return;
  _output = std::make_shared<Output>();
  // The report of dropped lines is a line of its own kind.
  _output->droppedLine = [this, json](std::uint64_t count) {
    const std::string n = std::to_string(count);
    return json ? jsonLine("events_dropped", "\"count\":" + n)
                : "(" + n + " event lines dropped: standard output was not read)\n";
  };
  std::thread([output = _output] { output->run(); }).detach();
}

EventWriter::~EventWriter() {
  if (!_output) return;
  {
    std::lock_guard lock(_output->mutex);
    _output->stopping = true;
    _output->droppedLine = [](std::uint64_t) { return std::string(); };
  }
  _output->changed.notify_all();
}

std::string EventWriter::jsonLine(const std::string& name, const std::string& fields) const {
  const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - _start).count();
  const long long wall = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.3f", t);
  std::string line = "{\"event\":" + jsonString(name) + ",\"t\":" + seconds +
                     ",\"time_ms\":" + std::to_string(wall);
  if (!fields.empty()) line += "," + fields;
  return line + "}\n";
}

void EventWriter::event(const std::string& name, const std::string& fields,
                        const std::string& text) {
  if (_json) {
    _output->push(jsonLine(name, fields));
    return;
  }
  if (text.empty()) return;
  if (_editor) {
    std::lock_guard lock(_mutex);
    return _editor->print(text);
  }
  _output->push(printableText(text, true) + "\n");
}

void EventWriter::setStatus(const std::string& status) {
  if (_editor) _editor->setStatus(status);
}

void EventWriter::setPrompt(const std::string& prompt) {
  if (_editor) _editor->setPrompt(prompt);
}

void EventWriter::finish() {
  if (_editor) _editor->stop();
  if (!_output) return;
  std::unique_lock lock(_output->mutex);
  _output->changed.wait_for(lock, kFinishWait,
                            [&] { return _output->lines.empty() && !_output->writing; });
}

std::uint64_t EventWriter::dropped() const {
  if (!_output) return 0;
  std::lock_guard lock(_output->mutex);
  return _output->droppedTotal;
}

}  // namespace qur
