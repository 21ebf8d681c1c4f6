// The voice chain's cost and delay, each beside a baseline measured in the
// same run:
//   - CPU per second of speech for the encode side (encoder callback,
//     conversion, packet drain, wire encoding) against bare libopus encoding
//     plus one soxr conversion 44.1 -> 48 kHz of the same audio;
//   - the same for the decode side (wire decoding, receiver, decoder render)
//     against bare libopus decoding plus one soxr conversion 48 -> 44.1 kHz;
//   - the steady-state delay of a click in the middle of a long loopback
//     transmission on a real-time virtual device, against the delay the
//     design implies (frame, two-packet reserve, Opus look-ahead, resampler
//     delays, and the start sound that plays ahead of the voice).
#include <opus.h>
#include <soxr.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "app/opus_stream_receiver.h"
#include "app/opus_streamer.h"
#include "app/playthrough_loopback.h"
#include "audio/audio_buffer_list.h"
#include "audio/engine/audio_engine.h"
#include "audio/engine/virtual_device.h"
#include "audio/opus_decoder.h"
#include "audio/opus_encoder.h"
#include "audio/pcm_format_converter.h"
#include "signals/main_queue.h"
#include "support/engine_test_support.h"
#include "support/wire_test_support.h"
#include "wire/stream.h"
#include "wire/wire_message_stream.h"

namespace {

using namespace qur;
using qur::OpusDecoder;
using qur::OpusEncoder;

constexpr double kEngineRate = 44100.0;
constexpr UInt32 kCycle = 441;
constexpr double kSpeechSeconds = 20.0;
constexpr int kRepeats = 3;

double processSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

double threadSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// Speech-like stereo at 44.1 kHz: a gliding harmonic voice with syllable
// envelopes, pauses and a little noise.
std::vector<std::int16_t> speechLike(double seconds) {
  const auto frames = std::size_t(seconds * kEngineRate);
  std::vector<std::int16_t> pcm(frames * 2);
  std::mt19937 random(7);
  std::normal_distribution<double> noise(0.0, 0.02);
  double phase = 0;
  for (std::size_t i = 0; i < frames; ++i) {
    const double t = double(i) / kEngineRate;
    const double f0 = 120 + 40 * std::sin(2 * M_PI * 0.7 * t) + 20 * std::sin(2 * M_PI * 3.1 * t);
    phase += 2 * M_PI * f0 / kEngineRate;
    double voice = 0;
    for (int h = 1; h <= 12; ++h) voice += std::sin(h * phase) / h * (h == 3 || h == 6 ? 2.0 : 1.0);
    const double syllable = std::max(0.0, std::sin(2 * M_PI * 2.3 * t));
    const double phrase = std::fmod(t, 4.0) < 3.2 ? 1.0 : 0.0;
    const double v = 0.15 * voice * syllable * phrase + noise(random) * (0.2 + syllable);
    pcm[2 * i] = pcm[2 * i + 1] = std::int16_t(std::clamp(v, -1.0, 1.0) * 32000);
  }
  return pcm;
}

// The resampler as the converter sets it up: low quality, 16-bit, no dither.
soxr_t makeSoxr(double from, double to) {
  soxr_error_t error = nullptr;
  soxr_io_spec_t io = soxr_io_spec(SOXR_INT16_I, SOXR_INT16_I);
  io.flags |= SOXR_NO_DITHER;
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_LQ, 0);
  return soxr_create(from, to, 2, &error, &io, &quality, nullptr);
}

// Group delay of the resampler in seconds: where an impulse comes out.
double resamplerDelay(double from, double to) {
  soxr_t soxr = makeSoxr(from, to);
  std::vector<std::int16_t> in(std::size_t(from / 10) * 2, 0), out(std::size_t(to / 5) * 2, 0);
  in[2 * 100] = in[2 * 100 + 1] = 30000;
  std::size_t used = 0, made = 0, total = 0;
  soxr_process(soxr, in.data(), in.size() / 2, &used, out.data(), out.size() / 2, &made);
  total = made;
  soxr_process(soxr, nullptr, 0, &used, out.data() + 2 * total, out.size() / 2 - total, &made);
  total += made;
  soxr_delete(soxr);
  std::size_t peak = 0;
  for (std::size_t i = 0; i < total; ++i) {
    if (std::abs(out[2 * i]) > std::abs(out[2 * peak])) peak = i;
  }
  return double(peak) / to - 100.0 / from;
}

struct EncodeRun {
  double seconds = 0;
  std::vector<std::vector<std::uint8_t>> messages;
};

EncodeRun encodeChain(const std::vector<std::int16_t>& pcm) {
  EncodeRun run;
  // Every wire message, kept as the decode side's input.
  auto sink = std::make_shared<testing::RecordingSink>();
  sink->messages.reserve(1000);
  auto encoder = OpusEncoder::create(AudioEngine::interleaved16BitStereoAudioDescription());
  auto streamer = OpusStreamer::create(encoder, std::make_shared<WireMessageStreamSink>(sink));
  AudioBufferListPtr cycle(audioBufferListCreate(2, 4, true, kCycle));
  const std::size_t cycles = pcm.size() / 2 / kCycle;
  const double start = processSeconds();
  encoder->startEncoding();
  for (std::size_t c = 0; c < cycles; ++c) {
    std::memcpy(cycle->mBuffers[0].mData, pcm.data() + c * kCycle * 2, kCycle * 4);
    cycle->mBuffers[0].mDataByteSize = kCycle * 4;
    OpusEncoder::receive(encoder.get(), nullptr, kCycle, cycle.get());
  }
  encoder->stopEncoding();
  run.seconds = processSeconds() - start;
  run.messages = std::move(sink->messages);
  return run;
}

double encodeBare(const std::vector<std::int16_t>& pcm) {
  int error = 0;
  ::OpusEncoder* opus = opus_encoder_create(48000, 2, OPUS_APPLICATION_VOIP, &error);
  opus_encoder_ctl(opus, OPUS_SET_BITRATE(8192));
  opus_encoder_ctl(opus, OPUS_SET_COMPLEXITY(7));
  soxr_t soxr = makeSoxr(kEngineRate, 48000);
  std::vector<std::int16_t> resampled(4096 * 2), frame(2880 * 2);
  std::size_t filled = 0;
  unsigned char packet[614];
  const std::size_t cycles = pcm.size() / 2 / kCycle;
  const double start = threadSeconds();
  for (std::size_t c = 0; c < cycles; ++c) {
    std::size_t used = 0, made = 0;
    soxr_process(soxr, pcm.data() + c * kCycle * 2, kCycle, &used, resampled.data(), 4096, &made);
    for (std::size_t i = 0; i < made; ++i) {
      frame[2 * filled] = resampled[2 * i];
      frame[2 * filled + 1] = resampled[2 * i + 1];
      if (++filled == 2880) {
        if (opus_encode(opus, frame.data(), 2880, packet, sizeof packet) < 0) break;
        filled = 0;
      }
    }
  }
  const double seconds = threadSeconds() - start;
  soxr_delete(soxr);
  opus_encoder_destroy(opus);
  return seconds;
}

AudioBufferListPtr beepLike() {
  const UInt32 frames = UInt32(0.14 * 48000);
  AudioBufferListPtr sound(audioBufferListCreateForFormat(codecAudioDescription(), frames));
  auto* s = static_cast<std::int16_t*>(sound->mBuffers[0].mData);
  for (UInt32 i = 0; i < frames; ++i) {
    s[2 * i] = s[2 * i + 1] = std::int16_t(8000 * std::sin(2 * M_PI * 900 * i / 48000.0));
  }
  return sound;
}

double decodeChain(const std::vector<std::vector<std::uint8_t>>& messages) {
  auto start = beepLike();
  AudioBufferListPtr end(audioBufferListCreateReversed(start.get(), 4));
  auto source = std::make_shared<WireMessageStreamSource>();
  auto decoder = OpusDecoder::create(AudioEngine::interleaved16BitStereoAudioDescription());
  auto receiver = OpusStreamReceiver::create(decoder, source, start.get(), end.get());
  AudioBufferListPtr out(audioBufferListCreate(2, 4, true, kCycle));
  auto render = [&] {
    out->mBuffers[0].mDataByteSize = kCycle * 4;
    OpusDecoder::render(decoder.get(), nullptr, kCycle, out.get());
  };
  const double begin = threadSeconds();
  for (const auto& m : messages) {
    source->gotMessage(ByteMessage(m.data(), m.size()));
    // Six cycles of 441 frames play one 60 ms packet.
    for (int c = 0; c < 6; ++c) render();
  }
  for (int c = 0; c < 200 && !decoder->isDrained(); ++c) render();
  return threadSeconds() - begin;
}

double decodeBare(const std::vector<std::vector<std::uint8_t>>& messages) {
  // The Opus payloads, taken out of the wire messages beforehand.
  std::vector<std::vector<std::uint8_t>> packets;
  auto source = std::make_shared<WireMessageStreamSource>();
  struct Collect : WireMessageStreamDelegate {
    std::vector<std::vector<std::uint8_t>>* out;
    void wireMessageStreamReceivedOpusPacket(WireMessageStreamSource&,
                                             const OpusPacket* p) override {
      out->emplace_back(p->data, p->data + p->dataLength);
    }
    void wireMessageStreamReceivedStreamStatus(WireMessageStreamSource&, int) override {}
  };
  auto collect = std::make_shared<Collect>();
  collect->out = &packets;
  source->setDelegate(collect);
  for (const auto& m : messages) source->gotMessage(ByteMessage(m.data(), m.size()));

  int error = 0;
  ::OpusDecoder* opus = opus_decoder_create(48000, 2, &error);
  soxr_t soxr = makeSoxr(48000, kEngineRate);
  std::vector<std::int16_t> pcm(5760 * 2), resampled(8192 * 2);
  const double begin = threadSeconds();
  for (const auto& p : packets) {
    const int n = opus_decode(opus, p.data(), opus_int32(p.size()), pcm.data(), 5760, 0);
    std::size_t used = 0, made = 0;
    if (n > 0) soxr_process(soxr, pcm.data(), std::size_t(n), &used, resampled.data(), 8192, &made);
  }
  const double seconds = threadSeconds() - begin;
  soxr_delete(soxr);
  opus_decoder_destroy(opus);
  return seconds;
}

// ---- Latency ----

struct LatencyResult {
  double measured = -1;
  double beepSeconds = 0;
};

// Onset: the first 1 ms window whose RMS reaches half the loudest window in
// [from, to) frames of the left channel.
long onset(const std::vector<std::int16_t>& stereo, std::size_t from, std::size_t to) {
  const std::size_t window = 44;
  to = std::min(to, stereo.size() / 2);
  std::vector<double> env;
  for (std::size_t at = from; at + window <= to; at += window) {
    double sum = 0;
    for (std::size_t i = 0; i < window; ++i)
      sum += double(stereo[2 * (at + i)]) * stereo[2 * (at + i)];
    env.push_back(std::sqrt(sum / window));
  }
  if (env.empty()) return -1;
  const double peak = *std::max_element(env.begin(), env.end());
  if (peak < 300) return -1;
  for (std::size_t w = 0; w < env.size(); ++w) {
    if (env[w] >= 0.5 * peak) return long(from + w * window);
  }
  return -1;
}

LatencyResult measureLatency() {
  LatencyResult result;
  constexpr double kTotal = 6.0, kClickAt = 3.0;
  const auto clickFrame = std::uint64_t(kClickAt * kEngineRate);
  std::atomic<std::uint64_t> fed{0};
  // A 5 ms burst at 1 kHz: short like a click, long enough to survive 8 kbit/s.
  auto click = [clickFrame](std::uint64_t f) {
    const bool inClick = f >= clickFrame && f < clickFrame + 220;
    return inClick ? std::int16_t(26000 *
                                  std::sin(2 * M_PI * 1000 * double(f - clickFrame) / kEngineRate))
                   : std::int16_t(0);
  };
  auto device = std::make_unique<VirtualDevice>(
      testing::fedRealTimeDeviceOptions(click, fed, UInt32((kTotal + 2) * kEngineRate)));
  VirtualDevice* raw = device.get();
  auto engine = std::make_shared<AudioEngine>(AudioEngine::interleaved16BitStereoAudioDescription(),
                                              true, false, std::move(device));
  auto chain = OpusPlaythroughStream::create(engine);
  if (!chain) {
    std::fprintf(stderr, "latency: the loopback chain could not be built (\"beep\" missing?)\n");
    return result;
  }
  result.beepSeconds = double(chain->startSound()->mBuffers[0].mDataByteSize / 4) / 48000.0;
  engine->addInputReceiver(chain->opusEncoder());
  engine->addChannels({chain->opusDecoder()});
  chain->opusEncoder()->startEncoding();
  std::string error;
  if (!engine->start(&error)) {
    std::fprintf(stderr, "latency: engine start failed: %s\n", error.c_str());
    return result;
  }
  while (fed.load() < std::uint64_t(kTotal * kEngineRate)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  chain->opusEncoder()->stopEncoding();
  for (int i = 0;
       i < 200 && !(chain->opusDecoder()->sessionEndsPlayed() && chain->opusDecoder()->isDrained());
       ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  engine->stop();
  engine->removeChannels({chain->opusDecoder()});
  engine->removeInputReceiver(chain->opusEncoder());

  // Input and output share the device clock: frame n in is frame n out.
  const auto out = raw->capturedOutput();
  const long heard = onset(out, clickFrame, clickFrame + std::size_t(1.0 * kEngineRate));
  std::vector<std::int16_t> in(out.size(), 0);
  for (std::uint64_t f = clickFrame; f < clickFrame + 220 && 2 * f + 1 < in.size(); ++f) {
    in[2 * f] = click(f);
  }
  const long spoken = onset(in, clickFrame, clickFrame + 1000);
  if (heard >= 0 && spoken >= 0) result.measured = double(heard - spoken) / kEngineRate;
  return result;
}

}  // namespace

int main() {
  auto loop = std::make_shared<MainLoop>();
  setMainQueue(loop);
  const auto pcm = speechLike(kSpeechSeconds);

  double encodeWhole = 1e9, encodeBase = 1e9, decodeWhole = 1e9, decodeBase = 1e9;
  std::vector<std::vector<std::uint8_t>> messages;
  for (int r = 0; r < kRepeats; ++r) {
    EncodeRun run = encodeChain(pcm);
    encodeWhole = std::min(encodeWhole, run.seconds);
    encodeBase = std::min(encodeBase, encodeBare(pcm));
    messages = std::move(run.messages);
  }
  for (int r = 0; r < kRepeats; ++r) {
    decodeWhole = std::min(decodeWhole, decodeChain(messages));
    decodeBase = std::min(decodeBase, decodeBare(messages));
  }
  std::printf("codec CPU per second of speech (%.0f s of speech-like audio, best of %d runs):\n",
              kSpeechSeconds, kRepeats);
  std::printf(
      "  encode side: chain %.3f ms/s, bare libopus+soxr %.3f ms/s, ratio %.2f (target <= 1.3)\n",
      1e3 * encodeWhole / kSpeechSeconds, 1e3 * encodeBase / kSpeechSeconds,
      encodeWhole / encodeBase);
  std::printf(
      "  decode side: chain %.3f ms/s, bare libopus+soxr %.3f ms/s, ratio %.2f (target <= 1.3)\n",
      1e3 * decodeWhole / kSpeechSeconds, 1e3 * decodeBase / kSpeechSeconds,
      decodeWhole / decodeBase);

  // The delay the design implies, from its constants.
  int error = 0;
  ::OpusEncoder* opus = opus_encoder_create(48000, 2, OPUS_APPLICATION_VOIP, &error);
  opus_int32 lookahead = 0;
  opus_encoder_ctl(opus, OPUS_GET_LOOKAHEAD(&lookahead));
  opus_encoder_destroy(opus);
  const double resampler = resamplerDelay(kEngineRate, 48000) + resamplerDelay(48000, kEngineRate);
  // Output each converter holds back until more input comes: its
  // resampler's look-ahead, as the converter measured it.
  auto lookAhead = [](double from, double to) {
    auto c = PCMFormatConverter::create(makeLinearPCMFormat(from, 2), makeLinearPCMFormat(to, 2));
    return c ? c->lookAheadFrames() / to : 0.0;
  };
  const double held = lookAhead(kEngineRate, 48000) + lookAhead(48000, kEngineRate);

  const LatencyResult latency = measureLatency();
  const double frame = qur::OpusEncoder::kFrameDuration;
  const double reserve = OpusStreamReceiver::kReservePackets * frame;
  const double backlog = std::max(0.0, latency.beepSeconds - frame);
  const double design = frame + reserve + lookahead / 48000.0 + resampler + held + backlog;
  std::printf("steady-state delay of a click in the middle of a 6 s loopback transmission:\n");
  std::printf(
      "  design: frame %.1f + reserve %.1f + Opus look-ahead %.1f + resampler %.1f"
      " + converter hold-back %.1f + start sound ahead of the voice %.1f = %.1f ms\n",
      1e3 * frame, 1e3 * reserve, 1e3 * lookahead / 48000.0, 1e3 * resampler, 1e3 * held,
      1e3 * backlog, 1e3 * design);
  if (latency.measured < 0) {
    std::printf("  measured: click not found in the output\n");
    return 1;
  }
  std::printf("  measured %.1f ms; difference %.1f ms (target < 20 ms)\n", 1e3 * latency.measured,
              1e3 * (latency.measured - design));
  return 0;
}
