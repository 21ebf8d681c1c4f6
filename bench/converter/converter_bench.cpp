// 10 ms blocks of 44.1 kHz stereo int16 through the PCM format converter to
// 48 kHz, the way the encoder uses it (feed a block, fetch what is safely
// available), against the resampler called directly on the same blocks with
// the same settings. Prints the time ratio (converter / direct).
#include <soxr.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <vector>

#include "audio/pcm_format_converter.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint32_t kBlock = 441;
constexpr int kBlocks = 6000;  // one minute of audio

std::vector<std::int16_t> makeInput() {
  std::vector<std::int16_t> s(std::size_t(kBlock) * kBlocks * 2);
  for (std::size_t i = 0; i < s.size() / 2; ++i) {
    const double t = double(i) / 44100;
    s[2 * i] =
        std::int16_t(9000 * std::sin(2 * M_PI * 440 * t) + 3000 * std::sin(2 * M_PI * 3100 * t));
    s[2 * i + 1] = std::int16_t(8000 * std::sin(2 * M_PI * 660 * t));
  }
  return s;
}

double converterSeconds(const std::vector<std::int16_t>& input, std::size_t* frames) {
  auto c =
      qur::PCMFormatConverter::create(qur::engineAudioDescription(), qur::codecAudioDescription());
  std::vector<std::int16_t> out(8192 * 2);
  qur::AudioBufferList in{}, o{};
  in.mNumberBuffers = o.mNumberBuffers = 1;
  std::size_t produced = 0;
  const auto start = Clock::now();
  for (int b = 0; b < kBlocks; ++b) {
    in.mBuffers[0] = qur::AudioBuffer{
        2, kBlock * 4, const_cast<std::int16_t*>(&input[std::size_t(b) * kBlock * 2])};
    qur::pcmFormatConverterFeed(c.get(), &in, nullptr);
    const std::uint32_t n = qur::pcmFormatConverterAvailableOutputSamples(c.get());
    o.mBuffers[0] = qur::AudioBuffer{2, std::uint32_t(out.size() * 2), out.data()};
    qur::pcmFormatConverterFetch(c.get(), &o, n);
    produced += o.mBuffers[0].mDataByteSize / 4;
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  *frames = produced;
  return seconds;
}

double directSeconds(const std::vector<std::int16_t>& input, std::size_t* frames) {
  soxr_io_spec_t io = soxr_io_spec(SOXR_INT16_I, SOXR_INT16_I);
  io.flags |= SOXR_NO_DITHER;
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_LQ, 0);
  const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
  soxr_t s = soxr_create(44100, 48000, 2, nullptr, &io, &quality, &runtime);
  std::vector<std::int16_t> out(8192 * 2);
  std::size_t produced = 0;
  const auto start = Clock::now();
  for (int b = 0; b < kBlocks; ++b) {
    std::size_t idone = 0, odone = 0;
    soxr_process(s, &input[std::size_t(b) * kBlock * 2], kBlock, &idone, out.data(), 8192, &odone);
    produced += odone;
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  soxr_delete(s);
  *frames = produced;
  return seconds;
}

}  // namespace

int main() {
  const auto input = makeInput();
  double ours = 1e9, direct = 1e9;
  std::size_t oursFrames = 0, directFrames = 0;
  for (int round = 0; round < 7; ++round) {
    ours = std::min(ours, converterSeconds(input, &oursFrames));
    direct = std::min(direct, directSeconds(input, &directFrames));
  }
  const double ratio = ours / direct;
  std::printf("44.1 -> 48 kHz, %d blocks of %u frames, best of 7\n", kBlocks, kBlock);
  std::printf("converter %.2f ms (%zu frames out)  direct %.2f ms (%zu frames out)\n", ours * 1e3,
              oursFrames, direct * 1e3, directFrames);
  std::printf("ratio converter/direct %.3f  target <= 1.20 %s\n", ratio,
              ratio <= 1.2 ? "met" : "MISSED");
  return 0;
}
