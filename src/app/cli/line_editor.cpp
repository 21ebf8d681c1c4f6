#include "app/cli/line_editor.h"

#include <fcntl.h>
#include <histedit.h>
#include <langinfo.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <deque>
#include <mutex>
#include <thread>

#include "app/event_writer.h"

namespace qur::cli {

namespace {

// Keys the editor thread hands the editing library itself, to run our
// functions between keystrokes. C1 codes: typed ones are dropped on the way
// in, so a user can never send them.
constexpr wchar_t kHideKey = 0x81;     // clear the prompt and the input from the screen
constexpr wchar_t kShowKey = 0x82;     // print waiting lines, draw prompt and input again
constexpr wchar_t kRefreshKey = 0x83;  // redraw a changed status row or prompt

// Length of the UTF-8 sequence a lead byte starts; 0 for a stray byte.
std::size_t sequenceLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

// Decodes UTF-8, invalid bytes as U+FFFD; C1 controls are dropped.
std::wstring toWide(const std::string& text) {
  std::wstring out;
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = sequenceLength(lead);
    if (length == 0 || i + length > text.size()) {
      out += L'\uFFFD';
      ++i;
      continue;
    }
    std::uint32_t code = length == 1 ? lead : lead & (0xFF >> (length + 1));
    bool valid = true;
    for (std::size_t k = 1; k < length; ++k) {
      const auto byte = static_cast<unsigned char>(text[i + k]);
      if ((byte & 0xC0) != 0x80) valid = false;
      code = (code << 6) | (byte & 0x3F);
    }
    static const std::uint32_t minimum[] = {0, 0, 0x80, 0x800, 0x10000};
    if (!valid || code < minimum[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
      out += L'\uFFFD';
      ++i;
      continue;
    }
    if (code < 0x80 || code > 0x9F) out += wchar_t(code);
    i += length;
  }
  return out;
}

std::string toUtf8(const std::wstring& text) {
  std::string out;
  for (const wchar_t c : text) {
    const auto code = std::uint32_t(c);
    if (code < 0x80) {
      out += char(code);
    } else if (code < 0x800) {
      out += char(0xC0 | (code >> 6));
      out += char(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      out += char(0xE0 | (code >> 12));
      out += char(0x80 | ((code >> 6) & 0x3F));
      out += char(0x80 | (code & 0x3F));
    } else {
      out += char(0xF0 | (code >> 18));
      out += char(0x80 | ((code >> 12) & 0x3F));
      out += char(0x80 | ((code >> 6) & 0x3F));
      out += char(0x80 | (code & 0x3F));
    }
  }
  return out;
}

int columnsOf(wchar_t c) {
  const int width = wcwidth(c);
  return width < 0 ? 1 : width;
}

std::size_t terminalColumns() {
  winsize size{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

// Wide-character display widths need a UTF-8 character type; the program
// writes UTF-8 whatever the locale says.
void useUtf8Characters() {
  const char* set = std::setlocale(LC_CTYPE, "");
  if (!set || std::strcmp(nl_langinfo(CODESET), "UTF-8") != 0) {
    std::setlocale(LC_CTYPE, "C.UTF-8");
  }
}

void writeOut(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
}

}  // namespace

std::size_t displayColumns(const std::string& text) {
  std::size_t columns = 0;
  for (const wchar_t c : toWide(text)) columns += std::size_t(columnsOf(c));
  return columns;
}

std::string fitToColumns(const std::string& text, std::size_t columns) {
  if (displayColumns(text) <= columns) return text;
  if (columns == 0) return {};
  std::wstring out;
  std::size_t used = 0;
  for (const wchar_t c : toWide(text)) {
    const auto width = std::size_t(columnsOf(c));
    if (used + width > columns - 1) break;  // room for the ellipsis
    out += c;
    used += width;
  }
  return toUtf8(out) + "\xE2\x80\xA6";
}

class LineEditor::Impl {
 public:
  explicit Impl(Handlers handlers) : _handlers(std::move(handlers)) {}

  ~Impl() {
    if (_editLine) el_end(_editLine);
    if (_history) history_wend(_history);
    for (const int fd : {_wake[0], _wake[1], _resized}) {
      if (fd >= 0) close(fd);
    }
  }

  bool open() {
    useUtf8Characters();
    // Non-blocking: a full pipe is already a wake-up, and a writer holding
    // the lock must never wait on the editor thread.
    if (pipe2(_wake, O_NONBLOCK | O_CLOEXEC) != 0) return false;
    sigset_t winch;
    sigemptyset(&winch);
    sigaddset(&winch, SIGWINCH);
    // The caller blocks SIGWINCH in every thread; without that the
    // resizes go unnoticed until the next redraw, nothing worse.
    _resized = signalfd(-1, &winch, SFD_NONBLOCK | SFD_CLOEXEC);
    _editLine = el_init("qur-wtalkie-cli", stdin, stdout, stderr);
    if (!_editLine) return false;
    _history = history_winit();
    HistEventW event;
    history_w(_history, &event, H_SETSIZE, 500);
    history_w(_history, &event, H_SETUNIQUE, 1);
    el_wset(_editLine, EL_CLIENTDATA, this);
    el_wset(_editLine, EL_EDITOR, L"emacs");
    el_wset(_editLine, EL_HIST, history_w, _history);
    el_wset(_editLine, EL_PROMPT, &Impl::prompt);
    el_wset(_editLine, EL_GETCFN, &Impl::readKey);
    // The user's own bindings first: ours for the talk key and the
    // redraws must win.
    el_source(_editLine, nullptr);
    bind(L"qur-hide", &Impl::hideKey, std::wstring(1, kHideKey));
    bind(L"qur-show", &Impl::showKey, std::wstring(1, kShowKey));
    bind(L"qur-refresh", &Impl::refreshKey, std::wstring(1, kRefreshKey));
    bind(L"qur-enter", &Impl::enterKey, L"^M");
    bind(L"qur-enter", nullptr, L"^J");
    bind(L"qur-talk", &Impl::talkKey, L"^T");
    bind(L"qur-space", &Impl::spaceKey, L" ");
    _columns = terminalColumns();
    _thread = std::thread([this] { run(); });
    return true;
  }

  void print(const std::string& text) {
    std::lock_guard lock(_mutex);
    if (_finished) {
      writeOut(printableText(text, true) + "\n");
      std::fflush(stdout);
      return;
    }
    _waiting.push_back(text);
    wake();
  }

  void setStatus(const std::string& status) {
    std::lock_guard lock(_mutex);
    if (status == _status) return;
    _status = status;
    _redraw = true;
    wake();
  }

  void setPrompt(const std::string& prompt) {
    std::lock_guard lock(_mutex);
    if (prompt == _prompt) return;
    _prompt = prompt;
    _redraw = true;
    wake();
  }

  void stop() {
    {
      std::lock_guard lock(_mutex);
      if (_stopping) return;
      _stopping = true;
      wake();
    }
    if (_thread.joinable()) _thread.join();
    std::lock_guard lock(_mutex);
    for (const auto& text : _waiting) writeOut(printableText(text, true) + "\n");
    _waiting.clear();
    std::fflush(stdout);
    _finished = true;
  }

 private:
  void bind(const wchar_t* name, unsigned char (*function)(EditLine*, int),
            const std::wstring& key) {
    if (function) el_wset(_editLine, EL_ADDFN, name, L"", function);
    el_wset(_editLine, EL_BIND, key.c_str(), name, nullptr);
  }

  void wake() {
    const char byte = 1;
    [[maybe_unused]] const auto written = write(_wake[1], &byte, 1);
  }

  static Impl* self(EditLine* editLine) {
    void* data = nullptr;
    el_wget(editLine, EL_CLIENTDATA, &data);
    return static_cast<Impl*>(data);
  }

  // ---- the editor thread ---------------------------------------------------

  void run() {
    for (;;) {
      _hidden = false;
      composePrompt();
      int count = 0;
      const wchar_t* line = el_wgets(_editLine, &count);
      if (!line) break;
      if (!_committed) continue;
      _committed = false;
      if (!_line.empty()) {
        HistEventW event;
        history_w(_history, &event, H_ENTER, _line.c_str());
      }
      if (_handlers.line) _handlers.line(toUtf8(_line));
    }
    bool stopping;
    {
      std::lock_guard lock(_mutex);
      stopping = _stopping;
    }
    if (!stopping) {
      // Ctrl-D: the prompt stays, the program's last lines go below it.
      writeOut("\r\n");
      std::fflush(stdout);
      if (_handlers.ended) _handlers.ended();
    }
  }

  void composePrompt() {
    if (_hidden) {
      _shownPrompt.clear();
      return;
    }
    std::string status, prompt;
    {
      std::lock_guard lock(_mutex);
      status = _status;
      prompt = _prompt;
      _redraw = false;
    }
    // Exactly one row: the prompt line starts on the next, wherever the
    // terminal is at. Plain text, as the library redraws only what changed.
    status = fitToColumns(printableText(status), _columns);
    status += std::string(_columns - displayColumns(status), ' ');
    prompt = printableText(prompt);
    if (displayColumns(prompt) > _columns / 2) prompt = "> ";
    _shownPrompt = toWide(status + prompt);
  }

  static wchar_t* prompt(EditLine* editLine) { return self(editLine)->_shownPrompt.data(); }

  // Keys first; a redraw only between them, so a key's escape sequence is
  // never split by one of ours.
  static int readKey(EditLine* editLine, wchar_t* key) {
    Impl* impl = self(editLine);
    if (impl->_nextKey) {
      *key = impl->_nextKey;
      impl->_nextKey = 0;
      return 1;
    }
    for (;;) {
      if (impl->_ending) return 0;
      if (impl->takeTypedKey(key)) return 1;
      pollfd fds[3] = {
          {STDIN_FILENO, POLLIN, 0}, {impl->_wake[0], POLLIN, 0}, {impl->_resized, POLLIN, 0}};
      const int ready = poll(fds, impl->_resized >= 0 ? 3 : 2, -1);
      if (ready < 0) {
        if (errno == EINTR) continue;
        return -1;
      }
      if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
        char bytes[256];
        const ssize_t n = read(STDIN_FILENO, bytes, sizeof bytes);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return 0;
        impl->_typed.append(bytes, std::size_t(n));
        continue;
      }
      bool resized = false;
      if (impl->_resized >= 0 && (fds[2].revents & POLLIN)) {
        signalfd_siginfo info;
        while (read(impl->_resized, &info, sizeof info) == sizeof info) resized = true;
      }
      if (fds[1].revents & POLLIN) {
        char drained[64];
        [[maybe_unused]] const auto n = read(impl->_wake[0], drained, sizeof drained);
      }
      bool hide = resized, refresh = false;
      {
        std::lock_guard lock(impl->_mutex);
        if (impl->_stopping) impl->_ending = true;
        hide = hide || impl->_ending || !impl->_waiting.empty();
        refresh = impl->_redraw;
      }
      if (resized) {
        el_resize(editLine);
        impl->_columns = terminalColumns();
      }
      if (hide) {
        *key = kHideKey;
        return 1;
      }
      if (refresh) {
        *key = kRefreshKey;
        return 1;
      }
    }
  }

  // One whole character from what was typed, when there is one.
  bool takeTypedKey(wchar_t* key) {
    while (!_typed.empty()) {
      const std::size_t length = sequenceLength(static_cast<unsigned char>(_typed[0]));
      if (length > _typed.size()) return false;  // the rest is on its way
      const std::wstring decoded = toWide(_typed.substr(0, length ? length : 1));
      _typed.erase(0, length && decoded != L"\uFFFD" ? length : 1);
      if (decoded.empty()) continue;  // a C1 control
      *key = decoded[0];
      return true;
    }
    return false;
  }

  // Empties the input and the prompt, so the library's redisplay clears
  // every row they took and leaves the cursor where the prompt began.
  void hide(EditLine* editLine) {
    const LineInfoW* info = el_wline(editLine);
    _saved.assign(info->buffer, info->lastchar);
    _savedCursor = int(info->cursor - info->buffer);
    el_cursor(editLine, int(info->lastchar - info->cursor));
    if (!_saved.empty()) el_wdeletestr(editLine, int(_saved.size()));
    _hidden = true;
    composePrompt();
    _nextKey = kShowKey;
  }

  static unsigned char hideKey(EditLine* editLine, int) {
    self(editLine)->hide(editLine);
    return CC_REDISPLAY;
  }

  static unsigned char enterKey(EditLine* editLine, int) {
    Impl* impl = self(editLine);
    impl->hide(editLine);
    impl->_committing = true;
    return CC_REDISPLAY;
  }

  static unsigned char showKey(EditLine* editLine, int) {
    Impl* impl = self(editLine);
    std::deque<std::string> waiting;
    std::string prompt;
    {
      std::lock_guard lock(impl->_mutex);
      waiting.swap(impl->_waiting);
      prompt = impl->_prompt;
    }
    std::string out;
    for (const auto& text : waiting) {
      std::size_t begin = 0;
      const std::string shown = printableText(text, true);
      for (std::size_t end; (end = shown.find('\n', begin)) != std::string::npos; begin = end + 1) {
        out += "\r\033[K" + shown.substr(begin, end - begin) + "\r\n";
      }
      out += "\r\033[K" + shown.substr(begin) + "\r\n";
    }
    if (impl->_committing) {
      // The typed line stays in the scroll-back after its prompt; the
      // status row it was typed under does not.
      impl->_committing = false;
      impl->_committed = true;
      impl->_line = impl->_saved;
      out += "\r\033[K" + printableText(prompt + toUtf8(impl->_line)) + "\r\n";
      writeOut(out);
      std::fflush(stdout);
      el_winsertstr(editLine, L"\n");  // an empty line would read as the end of input
      return CC_NEWLINE;
    }
    writeOut(out);
    std::fflush(stdout);
    if (impl->_ending) return CC_REDISPLAY;
    impl->_hidden = false;
    impl->composePrompt();
    if (!impl->_saved.empty()) {
      el_winsertstr(editLine, impl->_saved.c_str());
      el_cursor(editLine, impl->_savedCursor - int(impl->_saved.size()));
    }
    return CC_REDISPLAY;
  }

  static unsigned char refreshKey(EditLine* editLine, int) {
    self(editLine)->composePrompt();
    return CC_REFRESH;
  }

  static unsigned char talkKey(EditLine* editLine, int) {
    Impl* impl = self(editLine);
    if (impl->_handlers.talkKey) impl->_handlers.talkKey();
    return CC_NORM;
  }

  static unsigned char spaceKey(EditLine* editLine, int) {
    const LineInfoW* info = el_wline(editLine);
    if (info->lastchar == info->buffer) return talkKey(editLine, ' ');
    el_winsertstr(editLine, L" ");
    return CC_REFRESH;
  }

  Handlers _handlers;
  EditLine* _editLine = nullptr;
  HistoryW* _history = nullptr;
  int _wake[2] = {-1, -1};
  int _resized = -1;
  std::thread _thread;

  std::mutex _mutex;  // guards what other threads hand over
  std::deque<std::string> _waiting;
  std::string _status;
  std::string _prompt = "> ";
  bool _redraw = false;
  bool _stopping = false;
  bool _finished = false;

  // Editor thread only.
  std::size_t _columns = 80;
  std::wstring _shownPrompt;
  std::string _typed;
  wchar_t _nextKey = 0;
  bool _hidden = false;
  bool _ending = false;
  std::wstring _saved;
  int _savedCursor = 0;
  bool _committing = false;
  bool _committed = false;
  std::wstring _line;
};

std::unique_ptr<LineEditor> LineEditor::start(Handlers handlers) {
  auto impl = std::make_unique<Impl>(std::move(handlers));
  if (!impl->open()) return nullptr;
  return std::unique_ptr<LineEditor>(new LineEditor(std::move(impl)));
}

LineEditor::LineEditor(std::unique_ptr<Impl> impl) : _impl(std::move(impl)) {}

LineEditor::~LineEditor() {
  stop();
}

void LineEditor::print(const std::string& text) {
  _impl->print(text);
}

void LineEditor::setStatus(const std::string& status) {
  _impl->setStatus(status);
}

void LineEditor::setPrompt(const std::string& prompt) {
  _impl->setPrompt(prompt);
}

void LineEditor::stop() {
  _impl->stop();
}

}  // namespace qur::cli
