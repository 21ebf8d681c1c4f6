// qur-wtalkie-cli: the command-line face of the voice chain.
#include <iostream>
#include <string>
#include <vector>

#include "app/cli/cli_support.h"
#include "app/cli/run_command.h"
#include "audio/engine/audio_device.h"
#include "audio/engine/pulse_device.h"
#include "qur/version.h"

namespace {

void printUsage(std::ostream& out) {
  out << "usage: qur-wtalkie-cli <command> [options]\n"
         "       qur-wtalkie-cli --version\n"
         "\n"
         "commands:\n"
         "  loopback --mic IN.wav --speaker OUT.wav [--wire OUT.wire]\n"
         "      Sends the microphone file through the whole voice chain (Opus, wire\n"
         "      messages, jitter reserve, session sounds) at real-time pace and writes\n"
         "      what the speaker plays (44.1 kHz, 16-bit stereo). --wire also records\n"
         "      the transmission as length-prefixed wire messages.\n"
         "  loopback --audio pulse[:NAME]|portaudio[:NAME]\n"
         "      Hear yourself live: Enter starts and stops a transmission, Ctrl-D quits.\n"
         "  play-wire IN.wire --speaker OUT.wav\n"
         "      Plays a recorded wire stream through a receiver and decoder into OUT.wav.\n"
         "  run [--name NAME] [--audio pulse[:DEVICE]|portaudio[:DEVICE]|virtual]\n"
         "      [--mic IN.wav] [--speaker OUT.wav] [--accept ask|auto|never]\n"
         "      [--interface IFACE] [--events json] [--voice-processing on|off]\n"
         "      [--frame-ms MS]\n"
         "      The walkie-talkie: finds nearby devices, invites or accepts them and\n"
         "      talks; commands on standard input (see run --help).\n"
         "  devices\n"
         "      The sound devices, by the names --audio pulse:NAME and\n"
         "      --audio portaudio:NAME accept.\n"
         "  trust list | trust forget NAME\n"
         "      The keys accepted for each peer name (pinned at the first accepted\n"
         "      invitation); forget one so the next key for that name is asked about.\n"
         "  heard RECORDING.wav [--reference MIC.wav]\n"
         "      What a speaker recording holds: start sound, voice, end sound.\n"
         "\n"
         "Every command takes --help, and --verbose for internal log lines on\n"
         "standard error. Exit status: 0 success, 1 bad input or failure,\n"
         "2 usage error.\n";
}

int devicesCommand(const std::vector<std::string>& args) {
  qur::cli::ParsedArguments parsed;
  if (const auto status = qur::cli::parseCommandArguments(
          "devices", args, {},
          "usage: qur-wtalkie-cli devices\n\nLists the sound server's outputs and inputs by "
          "their descriptions, then the\nPortAudio devices with their input and output "
          "channels; any part of a name\nor description picks one: --audio pulse:NAME, "
          "--audio portaudio:NAME.\n",
          false, &parsed)) {
    return *status;
  }
  const auto server = qur::pulseDevices();
  const auto portAudio = qur::listPortAudioDevices();
  // The PortAudio listing holds one line of explanation when it cannot start.
  const bool havePortAudio =
      !portAudio.empty() && portAudio.front().find(" in, ") != std::string::npos;
  if (server.empty() && !havePortAudio) {
    qur::cli::printError("no sound devices" +
                         (portAudio.empty() ? std::string() : ": " + portAudio.front()) +
                         " (--audio virtual runs without hardware)");
    return qur::cli::kExitFailure;
  }
  if (!server.empty()) {
    std::cout << "sound server (the default; --audio pulse:NAME, any part of a name or "
                 "description):\n";
    for (const bool outputs : {true, false}) {
      std::cout << (outputs ? "  outputs:\n" : "  inputs:\n");
      for (const auto& device : server) {
        if ((outputs ? device.outputChannels : device.inputChannels) <= 0) continue;
        const bool isDefault = outputs ? device.isDefaultOutput : device.isDefaultInput;
        std::cout << "    " << device.label() << (isDefault ? " [default]" : "") << "  ("
                  << device.name << ")\n";
      }
    }
  }
  if (havePortAudio) {
    std::cout << "PortAudio" << (server.empty() ? " (the default)" : "")
              << " (--audio portaudio:NAME, any part of the name):\n";
    for (const auto& device : portAudio) std::cout << "  " << device << "\n";
  }
  std::cout << "without hardware: --audio virtual\n";
  return qur::cli::kExitOK;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) {
    printUsage(std::cerr);
    return qur::cli::kExitUsage;
  }
  const std::string command = args.front();
  args.erase(args.begin());
  if (command == "--help" || command == "-h" || command == "help") {
    printUsage(std::cout);
    return qur::cli::kExitOK;
  }
  if (command == "--version") {
    std::cout << "qur-wtalkie-cli " << qur::kVersion << "\n";
    return qur::cli::kExitOK;
  }
  if (command == "loopback") return qur::cli::loopbackCommand(args);
  if (command == "play-wire") return qur::cli::playWireCommand(args);
  if (command == "run") return qur::cli::runCommand(args);
  if (command == "heard") return qur::cli::heardCommand(args);
  if (command == "devices") return devicesCommand(args);
  if (command == "trust" || command == "--trust") return qur::cli::trustCommand(args);
  qur::cli::printError("unknown command '" + command + "' (try --help)");
  return qur::cli::kExitUsage;
}
