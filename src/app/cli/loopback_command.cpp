// qur-wtalkie-cli loopback: the whole voice chain on this machine.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <thread>

#include "app/cli/cli_support.h"
#include "app/opus_stream_receiver.h"
#include "app/opus_streamer.h"
#include "app/playthrough_loopback.h"
#include "audio/audio_buffer_list.h"
#include "audio/engine/audio_engine.h"
#include "audio/engine/virtual_device.h"
#include "audio/opus_decoder.h"
#include "audio/opus_encoder.h"
#include "signals/main_queue.h"
#include "wire/byte_stream.h"

namespace qur::cli {

namespace {

constexpr const char* kLoopbackHelp =
    "usage: qur-wtalkie-cli loopback --mic IN.wav --speaker OUT.wav [--wire OUT.wire]\n"
    "       qur-wtalkie-cli loopback --audio pulse[:NAME]|portaudio[:NAME]\n"
    "\n"
    "  --mic FILE      microphone input (any sound file libsndfile reads, any rate)\n"
    "  --speaker FILE  speaker output, written as a 44.1 kHz 16-bit stereo WAV\n"
    "  --wire FILE     also record the transmission as length-prefixed wire messages\n"
    "  --audio DEVICE  'pulse[:NAME]' (the sound server) or 'portaudio[:NAME]' to\n"
    "                  talk live; Enter starts and stops a transmission, Ctrl-D quits\n";

// How long the end of a transmission may take to play out.
constexpr auto kDrainTimeout = std::chrono::seconds(10);

// Microphone frames from memory, handed to the device's clock thread.
struct MicrophoneFeed {
  AudioBufferListPtr audio;
  std::uint64_t frames = 0;
  std::atomic<std::uint64_t> position{0};
  std::atomic<bool> ended{false};

  void fill(std::int16_t* samples, std::uint32_t count, int channels) {
    const auto* source = static_cast<const std::int16_t*>(audio->mBuffers[0].mData);
    const std::uint64_t at = position.load(std::memory_order_relaxed);
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::uint64_t frame = at + i;
      for (int c = 0; c < channels; ++c) {
        samples[i * channels + c] = frame < frames ? source[frame * 2 + (c % 2)] : 0;
      }
    }
    position.store(at + count, std::memory_order_relaxed);
    if (at + count >= frames) ended.store(true, std::memory_order_release);
  }
};

bool waitFor(MainLoop& loop, const std::function<bool()>& done, std::chrono::milliseconds limit) {
  return loop.runUntil(done, limit);
}

int liveLoopback(const std::string& deviceChoice, MainLoop& loop) {
  std::string error;
  auto choice = parseAudioDeviceChoice(deviceChoice, &error);
  if (!choice) {
    printError("unknown audio device '" + deviceChoice + "': " + error);
    return kExitUsage;
  }
  auto engine = std::make_shared<AudioEngine>(AudioEngine::interleaved16BitStereoAudioDescription(),
                                              true, false, createAudioDevice(*choice));
  auto chain = createVoiceChain(engine);
  if (!chain) return kExitFailure;
  engine->addInputReceiver(chain->opusEncoder());
  engine->addChannels({chain->opusDecoder()});
  if (!engine->start(&error)) {
    printError("could not start the audio device: " + error);
    return kExitFailure;
  }
  std::cout << "Live loopback on " << engine->device()->name()
            << ". Press Enter to start talking, Enter again to stop; Ctrl-D quits." << std::endl;

  std::atomic<bool> quit{false};
  std::thread keyboard([&] {
    std::string line;
    while (std::getline(std::cin, line)) {
      mainQueue().post([&] {
        auto& encoder = chain->opusEncoder();
        if (encoder->isEncoding()) {
          encoder->stopEncoding();
          std::cout << "(stopped)" << std::endl;
        } else {
          encoder->startEncoding();
          std::cout << "(talking; Enter to stop)" << std::endl;
        }
      });
    }
    quit.store(true);
    mainQueue().post([] {});
  });
  loop.runUntil([&] { return quit.load(); }, std::chrono::hours(24 * 365));
  keyboard.join();
  if (chain->opusEncoder()->isEncoding()) chain->opusEncoder()->stopEncoding();
  waitFor(
      loop, [&] { return chain->opusDecoder()->isDrained(); }, kDrainTimeout);
  engine->stop();
  engine->removeChannels({chain->opusDecoder()});
  engine->removeInputReceiver(chain->opusEncoder());
  return kExitOK;
}

}  // namespace

int loopbackCommand(const std::vector<std::string>& args) {
  ParsedArguments parsed;
  if (const auto status =
          parseCommandArguments("loopback", args, {"--mic", "--speaker", "--wire", "--audio"},
                                kLoopbackHelp, false, &parsed)) {
    return *status;
  }
  std::string error;
  auto errors = installLoggers();
  auto loop = std::make_shared<MainLoop>();
  setMainQueue(loop);

  const auto audio = parsed.options.find("--audio");
  if (audio != parsed.options.end() && audio->second != "virtual") {
    return liveLoopback(audio->second, *loop);
  }
  if (!parsed.options.count("--mic") || !parsed.options.count("--speaker")) {
    printError("loopback needs --mic IN.wav and --speaker OUT.wav, or --audio pulse");
    return kExitUsage;
  }
  const std::string micPath = parsed.options["--mic"];
  const std::string speakerPath = parsed.options["--speaker"];
  const std::string wirePath = parsed.options.count("--wire") ? parsed.options["--wire"] : "";

  const AudioStreamBasicDescription format = AudioEngine::interleaved16BitStereoAudioDescription();
  auto feed = std::make_shared<MicrophoneFeed>();
  feed->audio = readMicrophoneFile(micPath, &feed->frames);
  if (!feed->audio || !checkSpeakerFile(speakerPath)) return kExitFailure;

  VirtualDeviceOptions options;
  options.clock = VirtualDeviceOptions::Clock::RealTime;
  options.input = VirtualDeviceOptions::Input::Feed;
  options.feed = [feed](std::int16_t* samples, std::uint32_t frames, int channels) {
    feed->fill(samples, frames, channels);
  };
  options.output = VirtualDeviceOptions::Output::WavFile;
  options.outputFile = speakerPath;
  auto device = std::make_unique<VirtualDevice>(options);
  VirtualDevice* rawDevice = device.get();
  auto engine = std::make_shared<AudioEngine>(format, true, false, std::move(device));

  auto chain = createVoiceChain(engine);
  if (!chain) return kExitFailure;

  // The recording runs beside the loopback: a second encoder on the same
  // microphone, written through the streamer's byte-stream construction.
  std::shared_ptr<OpusEncoder> wireEncoder;
  std::shared_ptr<OpusStreamer> wireStreamer;
  if (!wirePath.empty()) {
    auto file = FileDescriptorOutputStream::toFile(wirePath);
    if (!file) {
      printError("cannot write wire file " + wirePath);
      return kExitFailure;
    }
    file->open();
    wireEncoder = OpusEncoder::create(format);
    wireStreamer = wireEncoder ? OpusStreamer::create(wireEncoder, file) : nullptr;
    if (!wireStreamer) {
      printError("could not set up the wire recording");
      return kExitFailure;
    }
    engine->addInputReceiver(wireEncoder);
  }
  engine->addInputReceiver(chain->opusEncoder());
  engine->addChannels({chain->opusDecoder()});

  // Encoding is on before the first microphone frame arrives.
  chain->opusEncoder()->startEncoding();
  if (wireEncoder) wireEncoder->startEncoding();
  if (!engine->start(&error)) {
    printError("could not start the audio device: " + error);
    return kExitFailure;
  }
  const double inputSeconds = double(feed->frames) / format.mSampleRate;
  const auto fileLimit = std::chrono::milliseconds(std::int64_t(inputSeconds * 1000) + 10000);
  if (!waitFor(
          *loop, [&] { return feed->ended.load(); }, fileLimit)) {
    printError("the audio device stopped delivering microphone frames");
  }
  chain->opusEncoder()->stopEncoding();
  if (wireEncoder) wireEncoder->stopEncoding();

  // Rendering goes on until the end sound has played out.
  auto decoder = chain->opusDecoder();
  const bool drained = waitFor(
      *loop, [&] { return decoder->sessionEndsPlayed() >= 1 && decoder->isDrained(); },
      kDrainTimeout);
  // One more device cycle writes the last rendered frames.
  const std::uint64_t cycles = rawDevice->cycleCount();
  waitFor(
      *loop, [&] { return rawDevice->cycleCount() > cycles + 2; }, std::chrono::seconds(1));
  engine->stop();
  engine->removeChannels({decoder});
  engine->removeInputReceiver(chain->opusEncoder());
  if (wireEncoder) engine->removeInputReceiver(wireEncoder);
  const double outputSeconds =
      double(rawDevice->cycleCount() * rawDevice->framesPerBuffer()) / format.mSampleRate;
  auto receiver = chain->streamReceiver();
  wireStreamer.reset();
  wireEncoder.reset();  // flushes the recording's last frames to the file
  loop->drain();

  std::cout << "loopback: " << micPath << " (" << inputSeconds << " s) -> " << speakerPath << " ("
            << outputSeconds << " s, 44.1 kHz 16-bit stereo); " << receiver->audioPacketsReceived()
            << " Opus packets in " << receiver->transmissionsStarted() << " transmission(s)";
  if (!wirePath.empty()) std::cout << "; wire recorded to " << wirePath;
  std::cout << std::endl;
  if (!drained) {
    printError("the end sound did not finish playing");
    return kExitFailure;
  }
  if (errors->errors() > 0) {
    printError(std::to_string(errors->errors()) +
               " error(s) on the way through the chain (--verbose shows them)");
    return kExitFailure;
  }
  return kExitOK;
}

}  // namespace qur::cli
