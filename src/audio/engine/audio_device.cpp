#include "audio/engine/audio_device.h"

#include <cstdlib>

#include "audio/engine/portaudio_device.h"
#include "audio/engine/pulse_device.h"
#include "audio/engine/virtual_device.h"
#include "log/log.h"

namespace qur {

std::optional<AudioDeviceChoice> parseAudioDeviceChoice(const std::string& text,
                                                        std::string* error) {
  AudioDeviceChoice choice;
  std::string head = text;
  std::string options;
  if (const size_t comma = text.find(','); comma != std::string::npos) {
    head = text.substr(0, comma);
    options = text.substr(comma + 1);
  }
  std::string kind = head;
  std::string argument;
  if (const size_t colon = head.find(':'); colon != std::string::npos) {
    kind = head.substr(0, colon);
    argument = head.substr(colon + 1);
  }
  if (kind.empty() || kind == "auto") {
    choice.kind = AudioDeviceChoice::Kind::Automatic;
    if (!argument.empty()) {
      if (error) *error = "'auto' takes no device name (use pulse:NAME or portaudio:NAME)";
      return std::nullopt;
    }
  } else if (kind == "pulse") {
    choice.kind = AudioDeviceChoice::Kind::Pulse;
    choice.deviceName = argument;
  } else if (kind == "portaudio") {
    choice.kind = AudioDeviceChoice::Kind::PortAudio;
    choice.deviceName = argument;
  } else if (kind == "virtual") {
    choice.kind = AudioDeviceChoice::Kind::Virtual;
    if (argument == "fast") {
      choice.freeRunning = true;
    } else if (!argument.empty() && argument != "realtime") {
      if (error) *error = "unknown virtual clock '" + argument + "' (use realtime or fast)";
      return std::nullopt;
    }
  } else {
    if (error)
      *error =
          "unknown audio device '" + kind + "' (use pulse[:NAME], portaudio[:NAME] or virtual)";
    return std::nullopt;
  }
  while (!options.empty()) {
    const size_t comma = options.find(',');
    const std::string option = options.substr(0, comma);
    options = comma == std::string::npos ? std::string() : options.substr(comma + 1);
    if (option.rfind("buffer=", 0) == 0) {
      char* end = nullptr;
      const unsigned long frames = std::strtoul(option.c_str() + 7, &end, 10);
      if (!end || *end != '\0' || frames < 16 || frames > 4096) {
        if (error) *error = "buffer size must be 16 to 4096 frames";
        return std::nullopt;
      }
      choice.framesPerBuffer = static_cast<uint32_t>(frames);
    } else if (!option.empty()) {
      if (error) *error = "unknown audio device option '" + option + "'";
      return std::nullopt;
    }
  }
  return choice;
}

AudioDeviceChoice audioDeviceSpecFromEnvironment() {
  const char* value = std::getenv(kAudioDeviceEnvironmentVariable);
  if (!value || !*value) return AudioDeviceChoice{};
  std::string error;
  if (auto choice = parseAudioDeviceChoice(value, &error)) return *choice;
  QUR_LOG_ERROR("Engine: ignoring %s: %s", kAudioDeviceEnvironmentVariable, error.c_str());
  return AudioDeviceChoice{};
}

std::unique_ptr<AudioDevice> createAudioDevice(const AudioDeviceChoice& choice) {
  switch (choice.kind) {
    case AudioDeviceChoice::Kind::Virtual: {
      VirtualDeviceOptions options;
      options.clock = choice.freeRunning ? VirtualDeviceOptions::Clock::FreeRunning
                                         : VirtualDeviceOptions::Clock::RealTime;
      options.framesPerBuffer = choice.framesPerBuffer;
      return std::make_unique<VirtualDevice>(options);
    }
    case AudioDeviceChoice::Kind::Pulse:
      return std::make_unique<PulseDevice>(choice.deviceName, choice.framesPerBuffer,
                                           choice.deviceName);
    case AudioDeviceChoice::Kind::PortAudio:
      return std::make_unique<PortAudioDevice>(choice.deviceName, choice.framesPerBuffer);
    case AudioDeviceChoice::Kind::Automatic:
      break;
  }
  if (pulseServerAnswers())
    return std::make_unique<PulseDevice>(std::string(), choice.framesPerBuffer);
  return std::make_unique<PortAudioDevice>(std::string(), choice.framesPerBuffer);
}

std::unique_ptr<AudioDevice> createAudioDevice(const std::string& outputName,
                                               const std::string& inputName) {
  if (pulseServerAnswers()) return std::make_unique<PulseDevice>(outputName, 441, inputName);
  return std::make_unique<PortAudioDevice>(outputName, 441, inputName);
}

std::vector<AudioDeviceInfo> soundDevices() {
  auto devices = pulseDevices();
  return devices.empty() ? portAudioDevices() : devices;
}

}  // namespace qur
