// The audio I/O layer under the engine: something that calls the engine once
// per hardware cycle on a real-time thread with microphone frames to read and
// speaker frames to fill. Two backends exist: PortAudio (real devices) and a
// virtual device with its own clock (tests, offline processing).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qur {

// Frames cross the device boundary as interleaved signed 16-bit samples.
struct AudioDeviceFormat {
  double sampleRate = 44100.0;
  int channels = 2;
  bool inputEnabled = true;
};

class AudioDeviceClient {
 public:
  virtual ~AudioDeviceClient() = default;
  // Audio thread; allocation- and lock-free. `input` is null when the device
  // has no input; `output` must be filled completely (frames × channels).
  // hostTimeNs is steady_clock nanoseconds at the start of the cycle.
  virtual void audioDeviceCycle(const int16_t* input, int16_t* output, uint32_t frames,
                                uint64_t hostTimeNs) = 0;
};

class AudioDevice {
 public:
  virtual ~AudioDevice() = default;

  // Opens the device for the format and the client; returns false with a
  // reason when it cannot. Called from a non-real-time thread.
  virtual bool open(const AudioDeviceFormat& format, AudioDeviceClient* client,
                    std::string* error) = 0;
  // Starts and stops the cycles. After stop() returns the client is no
  // longer called.
  virtual bool start(std::string* error) = 0;
  virtual void stop() = 0;
  virtual void close() = 0;
  // Lets go of a lost device without waiting for its threads, which may hang
  // in a dead driver; afterwards the client is never called from them again
  // and the device can be opened anew.
  virtual void abandon() {
    stop();
    close();
  }

  // Housekeeping the watchdog runs every 0.1 s (closing what a loss left
  // behind); it may block briefly, so never on the audio or main thread.
  virtual void tidy() {}

  // Whether the open device still works. A false answer while running means
  // the device was lost (unplugged, sound server gone, stream error).
  virtual bool isHealthy() const = 0;
  // Whether the opened stream has a working input side.
  virtual bool inputAvailable() const = 0;
  // Hardware input latency in seconds.
  virtual double inputLatency() const = 0;
  // Hardware output latency in seconds; with the input latency, the delay
  // the echo canceller starts from.
  virtual double outputLatency() const { return 0.0; }
  // Whether the engine cleans this device's microphone (echo cancellation,
  // noise suppression) unless told otherwise: real microphones hear their
  // speakers, a virtual one only what it is asked to.
  virtual bool voiceProcessingByDefault() const { return true; }
  // Frames per cycle that the device was opened with.
  virtual uint32_t framesPerBuffer() const = 0;
  // Cycles delivered since the last open; the engine's watchdog reads it.
  virtual uint64_t cycleCount() const = 0;
  // Human-readable name for log lines.
  virtual std::string name() const = 0;
  // Whether cycles come in real time. A stalled real-time device counts as lost.
  virtual bool isRealTime() const { return true; }
  // Whether cycles come from a thread of the device's own. A device driven
  // by its user's thread (the virtual device's manual clock) never runs
  // concurrently with that user's calls into the engine.
  virtual bool hasOwnThread() const { return true; }
};

// Which device the engine opens, from a configuration string:
//   "portaudio"            the default PortAudio devices
//   "portaudio:NAME"       the PortAudio device whose name contains NAME
//   "virtual"              a real-time virtual device (silent microphone)
//   "virtual:fast"         a free-running virtual device
// Options may follow after a comma: "portaudio,buffer=441" sets the hardware
// buffer size in frames.
struct AudioDeviceChoice {
  enum class Kind { PortAudio, Virtual };
  Kind kind = Kind::PortAudio;
  std::string deviceName;
  uint32_t framesPerBuffer = 441;
  bool freeRunning = false;
};

// Parses a choice string; nullopt (with a reason) for anything it does not know.
std::optional<AudioDeviceChoice> parseAudioDeviceChoice(const std::string& text,
                                                        std::string* error = nullptr);
// The environment variable naming the device when no option is given.
inline constexpr const char* kAudioDeviceEnvironmentVariable = "QUR_WTALKIE_AUDIO";
// The choice from QUR_WTALKIE_AUDIO, or the PortAudio default when unset or invalid.
AudioDeviceChoice audioDeviceSpecFromEnvironment();
std::unique_ptr<AudioDevice> createAudioDevice(const AudioDeviceChoice& choice);

// Names of the PortAudio devices for users, one line per device with its
// input and output channel counts.
std::vector<std::string> listPortAudioDevices();

// The PortAudio devices for a device picker. Any thread but the audio thread;
// empty when PortAudio cannot start.
struct PortAudioDeviceInfo {
  std::string name;
  int inputChannels = 0;
  int outputChannels = 0;
  bool isDefaultInput = false;
  bool isDefaultOutput = false;
};
std::vector<PortAudioDeviceInfo> portAudioDevices();

}  // namespace qur
