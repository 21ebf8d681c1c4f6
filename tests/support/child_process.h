// A child process with pipes on its standard input and output, for tests
// that drive real programs line by line.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace qur::testing {

class ChildProcess {
 public:
  // Starts argv[0] (searched in PATH); stderr is inherited. Unless the test
  // chose one, each child gets its own fresh configuration folder
  // (QUR_WTALKIE_CONFIG_DIR), as a separate device has its own key.
  explicit ChildProcess(const std::vector<std::string>& argv);
  ~ChildProcess();  // kills it (SIGKILL) if still running, and reaps it
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool isRunning();
  pid_t pid() const { return _pid; }
  void writeLine(const std::string& line);
  // The next output line, or nullopt at the timeout or end of output.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout);
  // Reads lines until one satisfies the predicate; returns it (nullopt on
  // timeout). Every line read is kept in lines().
  std::optional<std::string> waitForLine(const std::function<bool(const std::string&)>& predicate,
                                         std::chrono::milliseconds timeout);
  // Waits for a line starting with the prefix.
  std::optional<std::string> waitForPrefix(const std::string& prefix,
                                           std::chrono::milliseconds timeout);
  const std::vector<std::string>& lines() const { return _lines; }
  void kill(int signal);
  // Closes its input and waits for it to end, reading its output meanwhile;
  // returns the exit status (-1 after killing it at the timeout).
  int closeAndWait(std::chrono::milliseconds timeout);
  // Waits for it to end with its input left open (killed at the timeout:
  // -1); returns the exit status.
  int waitForExit(std::chrono::milliseconds timeout);

  // Sends "quit", then closeAndWait: how our command-line programs end.
  int quit(std::chrono::milliseconds timeout) {
    writeLine("quit");
    return closeAndWait(timeout);
  }

 private:
  // Appends what arrives within the timeout to the buffer; false once the
  // output has ended.
  bool readOutput(std::chrono::milliseconds timeout);

  pid_t _pid = -1;
  int _in = -1;
  int _out = -1;
  std::string _buffer;
  std::vector<std::string> _lines;
  bool _reaped = false;
  std::string _configDir;  // ours to remove
  int _status = 0;
};

// Directory of the running test executable (where tools are built).
std::string executableDirectory();

}  // namespace qur::testing
