// Pieces shared by the command-line program's commands: option parsing,
// user-facing messages, a log watcher that counts reported input errors.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audio/audio_buffer_list.h"
#include "log/log.h"

namespace qur {
class AudioEngine;
class OpusPlaythroughStream;
}  // namespace qur

namespace qur::cli {

// Exit statuses.
inline constexpr int kExitOK = 0;
inline constexpr int kExitFailure = 1;  // bad or missing input, a device or chain failure
inline constexpr int kExitUsage = 2;    // unknown command or option

// "--name value" options and positional arguments of one command.
struct ParsedArguments {
  std::map<std::string, std::string> options;
  std::vector<std::string> positional;
  bool help = false;
};

// Options listed in `valued` take a value; `flags` take none. Anything else
// starting with "-" is an error (message in *error).
bool parseArguments(const std::vector<std::string>& args, const std::vector<std::string>& valued,
                    const std::vector<std::string>& flags, ParsedArguments* parsed,
                    std::string* error);

// What every command does first: parses its arguments (every command also
// takes --verbose, which installLoggers() follows), printing
// a usage error (pointing at "<command> --help") or the help text. Returns
// the exit status to end with then, or nullopt to go on. Positional
// arguments are refused unless the command takes some.
std::optional<int> parseCommandArguments(const std::string& command,
                                         const std::vector<std::string>& args,
                                         const std::vector<std::string>& valued, const char* help,
                                         bool takesPositional, ParsedArguments* parsed,
                                         const std::vector<std::string>& flags = {});

// "qur-wtalkie-cli: <message>" on standard error.
void printError(const std::string& message);

// Counts error lines the program logs while it reads outside input (corrupt
// frames, malformed messages); the console logger prints them as well.
class ErrorCounter : public Logger {
 public:
  void logMessage(const LogMessage& message) override;
  int errors() const { return _errors.load(); }

 private:
  std::atomic<int> _errors{0};
};

// Installs the system-log logger, the console logger with --verbose, and
// an error counter; returns the counter.
std::shared_ptr<ErrorCounter> installLoggers();

// Whether a file can be opened for reading; *reason says why not.
bool readableFile(const std::string& path, std::string* reason);
// Whether a file can be created or truncated for writing.
bool writableFile(const std::string& path, std::string* reason);

// A microphone file in the engine format, with its length in frames. Null
// (after printing why) when it cannot be read or decoded or holds no audio.
AudioBufferListPtr readMicrophoneFile(const std::string& path, std::uint64_t* frames);
// Whether the speaker file can be written; prints why not.
bool checkSpeakerFile(const std::string& path);

// The loopback voice chain over the engine; null after printing why.
std::unique_ptr<OpusPlaythroughStream> createVoiceChain(std::shared_ptr<AudioEngine> engine);
// One line for each feedback sound that is missing, naming the path searched;
// the walkie-talkie runs without it.
void reportMissingSounds();

int loopbackCommand(const std::vector<std::string>& args);
int playWireCommand(const std::vector<std::string>& args);

}  // namespace qur::cli
