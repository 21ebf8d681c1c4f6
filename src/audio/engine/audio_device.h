// The audio I/O layer under the engine: something that calls the engine once
// per hardware cycle on a real-time thread with microphone frames to read and
// speaker frames to fill. Three backends exist: the desktop's sound server
// (libpulse; the default wherever a server answers), PortAudio (plain ALSA
// or JACK) and a virtual device with its own clock (tests, offline processing).
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
  // Audio thread, before a cycle; allocation- and lock-free. What the device
  // measures now: how long ago the cycle's first microphone frame was
  // recorded, and how long until its first speaker frame is heard. Devices
  // that know only fixed figures never call it.
  virtual void audioDeviceLatencies(double inputSeconds, double outputSeconds) {
    (void)inputSeconds;
    (void)outputSeconds;
  }
};

// What a device with separate capture and playback streams counts since it
// was last opened. Any thread may read it.
struct AudioDeviceStatistics {
  uint64_t captureUnderruns = 0;      // cycles the microphone had nothing for
  uint64_t droppedCaptureFrames = 0;  // a backlog thrown away rather than heard late
  uint64_t playbackUnderflows = 0;    // the speaker ran out of our audio
  uint64_t captureOverflows = 0;      // microphone audio lost before it reached us
  double captureRateRatio = 1.0;      // capture frames taken per frame handed on
  double captureDrift = 0.0;          // the capture clock against the playback clock
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
  // Zero for devices with one clock for both directions.
  virtual AudioDeviceStatistics statistics() const { return {}; }
  // Whether cycles come in real time. A stalled real-time device counts as lost.
  virtual bool isRealTime() const { return true; }
  // Whether cycles come from a thread of the device's own. A device driven
  // by its user's thread (the virtual device's manual clock) never runs
  // concurrently with that user's calls into the engine.
  virtual bool hasOwnThread() const { return true; }
};

// Which device the engine opens, from a configuration string:
//   "" or "auto"           the sound server's default sink and source when a
//                          server answers, else the default PortAudio devices
//   "pulse"                the sound server's default sink and source
//   "pulse:NAME"           the sink and source whose name or description is,
//                          or contains, NAME
//   "portaudio"            the default PortAudio devices
//   "portaudio:NAME"       the PortAudio device whose name contains NAME
//   "virtual"              a real-time virtual device (silent microphone)
//   "virtual:fast"         a free-running virtual device
// Options may follow after a comma: "portaudio,buffer=441" sets the hardware
// buffer size in frames.
struct AudioDeviceChoice {
  enum class Kind { Automatic, Pulse, PortAudio, Virtual };
  Kind kind = Kind::Automatic;
  std::string deviceName;
  uint32_t framesPerBuffer = 441;
  bool freeRunning = false;
};

// Parses a choice string; nullopt (with a reason) for anything it does not know.
std::optional<AudioDeviceChoice> parseAudioDeviceChoice(const std::string& text,
                                                        std::string* error = nullptr);
// The environment variable naming the device when no option is given.
inline constexpr const char* kAudioDeviceEnvironmentVariable = "QUR_WTALKIE_AUDIO";
// The choice from QUR_WTALKIE_AUDIO, or the automatic one when unset or invalid.
AudioDeviceChoice audioDeviceSpecFromEnvironment();
// Not on the audio thread: the automatic choice asks whether a sound server
// answers. Device names are looked up when the device opens.
std::unique_ptr<AudioDevice> createAudioDevice(const AudioDeviceChoice& choice);
// The device for separately chosen speaker and microphone names (empty: the
// default), on the sound server when one answers, else PortAudio.
std::unique_ptr<AudioDevice> createAudioDevice(const std::string& outputName,
                                               const std::string& inputName);

// A sound device for a device picker. Sound-server devices have a
// description for people and a name the server knows them by; PortAudio's
// have a name only.
struct AudioDeviceInfo {
  std::string name;
  int inputChannels = 0;
  int outputChannels = 0;
  bool isDefaultInput = false;
  bool isDefaultOutput = false;
  std::string description;

  const std::string& label() const { return description.empty() ? name : description; }
};
using PortAudioDeviceInfo = AudioDeviceInfo;

// Any thread but the audio thread; empty when PortAudio cannot start.
std::vector<AudioDeviceInfo> portAudioDevices();
// The devices createAudioDevice(output, input) picks from: the sound
// server's when one answers, else PortAudio's.
std::vector<AudioDeviceInfo> soundDevices();

// Names of the PortAudio devices for users, one line per device with its
// input and output channel counts.
std::vector<std::string> listPortAudioDevices();

}  // namespace qur
