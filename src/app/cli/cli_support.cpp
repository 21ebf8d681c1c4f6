#include "app/cli/cli_support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>

#include "app/file_microphone.h"
#include "app/playthrough_loopback.h"
#include "audio/engine/audio_engine.h"
#include "audio/media_reader.h"
#include "audio/sound_resources.h"

namespace qur::cli {

namespace {
bool gVerbose = false;
}  // namespace

bool parseArguments(const std::vector<std::string>& args, const std::vector<std::string>& valued,
                    const std::vector<std::string>& flags, ParsedArguments* parsed,
                    std::string* error) {
  auto contains = [](const std::vector<std::string>& list, const std::string& name) {
    for (const auto& item : list) {
      if (item == name) return true;
    }
    return false;
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      parsed->help = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      std::string name = arg;
      std::string value;
      bool hasValue = false;
      if (const auto eq = arg.find('='); eq != std::string::npos) {
        name = arg.substr(0, eq);
        value = arg.substr(eq + 1);
        hasValue = true;
      }
      if (contains(valued, name)) {
        if (!hasValue) {
          if (i + 1 >= args.size()) {
            *error = "option " + name + " needs a value";
            return false;
          }
          value = args[++i];
        }
        parsed->options[name] = value;
      } else if (contains(flags, name) && !hasValue) {
        parsed->options[name] = "1";
      } else {
        *error = "unknown option ";
        error->append(arg);
        return false;
      }
    } else {
      parsed->positional.push_back(arg);
    }
  }
  return true;
}

std::optional<int> parseCommandArguments(const std::string& command,
                                         const std::vector<std::string>& args,
                                         const std::vector<std::string>& valued, const char* help,
                                         bool takesPositional, ParsedArguments* parsed,
                                         const std::vector<std::string>& flags) {
  std::string error;
  std::vector<std::string> allFlags = flags;
  allFlags.push_back("--verbose");
  if (!parseArguments(args, valued, allFlags, parsed, &error)) {
    printError(error + " (try " + command + " --help)");
    return kExitUsage;
  }
  gVerbose = parsed->options.count("--verbose") != 0;
  if (parsed->help) {
    std::cout << help;
    return kExitOK;
  }
  if (!takesPositional && !parsed->positional.empty()) {
    printError("unexpected argument '" + parsed->positional.front() + "' (try " + command +
               " --help)");
    return kExitUsage;
  }
  return std::nullopt;
}

void printError(const std::string& message) {
  std::cerr << "qur-wtalkie-cli: " << message << std::endl;
}

void ErrorCounter::logMessage(const LogMessage& message) {
  if (message.flag != LogFlagError) return;
  // Underflow lines describe timing on the receive side, not bad input.
  if (message.message.rfind("Buffer underflow", 0) == 0) return;
  _errors.fetch_add(1);
}

std::shared_ptr<ErrorCounter> installLoggers() {
  // Log lines are for whoever debugs the program; users read the program's
  // own messages.
  addLogger(std::make_shared<SystemLogger>());
  if (gVerbose) addLogger(std::make_shared<ConsoleLogger>());
  auto counter = std::make_shared<ErrorCounter>();
  addLogger(counter);
  return counter;
}

bool readableFile(const std::string& path, std::string* reason) {
  struct stat info {};
  if (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
    *reason = "is a directory";
    return false;
  }
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) {
    *reason = fileErrorText(errno);
    return false;
  }
  std::fclose(file);
  return true;
}

bool writableFile(const std::string& path, std::string* reason) {
  std::FILE* file = std::fopen(path.c_str(), "ab");
  if (!file) {
    *reason = fileErrorText(errno);
    return false;
  }
  std::fclose(file);
  return true;
}

AudioBufferListPtr readMicrophoneFile(const std::string& path, std::uint64_t* frames) {
  std::string error;
  auto audio = FileMicrophone::load(path, frames, &error);
  if (!audio) printError(error);
  return audio;
}

bool checkSpeakerFile(const std::string& path) {
  std::string error;
  if (FileMicrophone::checkSpeakerFile(path, &error)) return true;
  printError(error);
  return false;
}

std::unique_ptr<OpusPlaythroughStream> createVoiceChain(std::shared_ptr<AudioEngine> engine) {
  auto chain = OpusPlaythroughStream::create(std::move(engine));
  if (chain) return chain;
  const std::string beep = soundResourceLocation("beep");
  if (access(beep.c_str(), R_OK) != 0) {
    printError("could not set up the voice chain: sound \"beep\" not found: " + beep);
  } else {
    printError("could not set up the voice chain");
  }
  return chain;
}

void reportMissingSounds() {
  for (const char* name : {"beep-short-high", "beep-short-low", "beep", "hangup"}) {
    const std::string path = soundResourceLocation(name);
    if (access(path.c_str(), R_OK) != 0) {
      printError(std::string("sound \"") + name + "\" not found: " + path + " (played without it)");
    }
  }
}

}  // namespace qur::cli
