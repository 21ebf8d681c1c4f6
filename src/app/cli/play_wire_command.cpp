// qur-wtalkie-cli play-wire: a recorded wire stream through the receive chain.
#include <atomic>
#include <chrono>
#include <iostream>
#include <thread>

#include "app/cli/cli_support.h"
#include "app/opus_stream_receiver.h"
#include "app/playthrough_loopback.h"
#include "audio/engine/audio_engine.h"
#include "audio/engine/virtual_device.h"
#include "audio/opus_decoder.h"
#include "audio/run_loop_thread.h"
#include "signals/main_queue.h"
#include "wire/byte_stream.h"
#include "wire/length_delimited_input_stream.h"
#include "wire/wire_message_stream.h"

namespace qur::cli {

namespace {

constexpr const char* kPlayWireHelp =
    "usage: qur-wtalkie-cli play-wire IN.wire --speaker OUT.wav\n"
    "\n"
    "  IN.wire         length-prefixed wire messages, as loopback --wire records them\n"
    "  --speaker FILE  speaker output, written as a 44.1 kHz 16-bit stereo WAV\n"
    "\n"
    "Corrupt frames are reported and skipped; the exit status is then 1.\n";

// Keeps the file reader from running ahead of playback: a file holds far more
// than the decoder's ring, and the reader would otherwise drop packets.
class PacedDelegate : public StreamSourceDelegate {
 public:
  PacedDelegate(std::shared_ptr<StreamSourceDelegate> next, std::shared_ptr<OpusDecoder> decoder)
      : _next(std::move(next)), _decoder(std::move(decoder)) {}

  void gotMessage(ByteMessage message) override {
    while (circularBufferFillCount(_decoder->inputBuffer()) > kAheadBytes && !_stop.load()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    _messages.fetch_add(1);
    _next->gotMessage(message);
  }
  std::uint64_t messages() const { return _messages.load(); }
  void stop() { _stop.store(true); }

 private:
  // About ten seconds of speech at 8 kbit/s.
  static constexpr std::int32_t kAheadBytes = 16384;
  std::shared_ptr<StreamSourceDelegate> _next;
  std::shared_ptr<OpusDecoder> _decoder;
  std::atomic<std::uint64_t> _messages{0};
  std::atomic<bool> _stop{false};
};

}  // namespace

int playWireCommand(const std::vector<std::string>& args) {
  ParsedArguments parsed;
  if (const auto status =
          parseCommandArguments("play-wire", args, {"--speaker"}, kPlayWireHelp, true, &parsed)) {
    return *status;
  }
  std::string error;
  if (parsed.positional.size() != 1 || !parsed.options.count("--speaker")) {
    printError("play-wire needs one IN.wire file and --speaker OUT.wav (try play-wire --help)");
    return kExitUsage;
  }
  const std::string wirePath = parsed.positional.front();
  const std::string speakerPath = parsed.options["--speaker"];
  auto errors = installLoggers();
  auto loop = std::make_shared<MainLoop>();
  setMainQueue(loop);

  std::string reason;
  if (!readableFile(wirePath, &reason)) {
    printError("cannot read wire file " + wirePath + ": " + reason);
    return kExitFailure;
  }
  if (!writableFile(speakerPath, &reason)) {
    printError("cannot write speaker file " + speakerPath + ": " + reason);
    return kExitFailure;
  }
  auto input = FileDescriptorInputStream::fromFile(wirePath);
  if (!input) {
    printError("cannot open wire file " + wirePath);
    return kExitFailure;
  }
  input->open();

  const AudioStreamBasicDescription format = AudioEngine::interleaved16BitStereoAudioDescription();
  VirtualDeviceOptions options;
  options.clock = VirtualDeviceOptions::Clock::RealTime;
  options.hasInput = false;
  options.output = VirtualDeviceOptions::Output::WavFile;
  options.outputFile = speakerPath;
  auto device = std::make_unique<VirtualDevice>(options);
  VirtualDevice* rawDevice = device.get();
  auto engine = std::make_shared<AudioEngine>(format, false, false, std::move(device));

  // The receive half of the loopback chain, with the same session sounds.
  auto chain = createVoiceChain(engine);
  if (!chain) return kExitFailure;
  auto decoder = chain->opusDecoder();
  auto receiver = chain->streamReceiver();
  engine->addChannels({decoder});
  if (!engine->start(&error)) {
    printError("could not start the audio device: " + error);
    return kExitFailure;
  }

  auto paced = std::make_shared<PacedDelegate>(chain->wireMessageSource(), decoder);
  auto reader = std::make_shared<LengthDelimitedInputStream>(input);
  reader->setDelegate(paced);
  auto runLoop = RunLoopThread::sharedInstance();
  runLoop->start();
  reader->startPolling();

  auto finishedReading = [&] {
    const auto state = input->streamStatus();
    return state == StreamState::AtEnd || state == StreamState::Error ||
           state == StreamState::Closed;
  };
  loop->runUntil(finishedReading, std::chrono::hours(24));
  // Let the poll that saw the end return before touching the receiver.
  runLoop->performBlockAndWait([] {});
  // A recording cut off in mid-transmission leaves its reserve queued.
  runLoop->performBlockAndWait([&] {
    if (receiver->packetsInBuffer() > 0) receiver->flushSession();
  });
  const bool drained =
      loop->runUntil([&] { return decoder->isDrained(); }, std::chrono::seconds(30));
  const std::uint64_t cycles = rawDevice->cycleCount();
  loop->runUntil([&] { return rawDevice->cycleCount() > cycles + 2; }, std::chrono::seconds(1));
  engine->stop();
  engine->removeChannels({decoder});
  reader->stopPolling();
  loop->drain();

  const double outputSeconds =
      double(rawDevice->cycleCount() * rawDevice->framesPerBuffer()) / format.mSampleRate;
  std::cout << "play-wire: " << wirePath << ": " << paced->messages() << " wire messages, "
            << receiver->audioPacketsReceived() << " Opus packets in "
            << receiver->transmissionsStarted() << " transmission(s) -> " << speakerPath << " ("
            << outputSeconds << " s, 44.1 kHz 16-bit stereo)" << std::endl;
  if (input->streamStatus() == StreamState::Error) {
    printError("reading " + wirePath + " failed: " + input->streamError());
    return kExitFailure;
  }
  if (errors->errors() > 0) {
    printError(std::to_string(errors->errors()) + " corrupt frame(s) or message(s) in " + wirePath +
               " were skipped");
    return kExitFailure;
  }
  if (!drained) {
    printError("playback did not finish");
    return kExitFailure;
  }
  return kExitOK;
}

}  // namespace qur::cli
