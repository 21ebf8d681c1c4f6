#include "audio/pcm_format_converter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "audio/audio_buffer_list.h"
#include "support/alloc_guard.h"
#include "support/log_capture.h"

namespace qur {
namespace {

constexpr double kPi = 3.14159265358979323846;

// Interleaved int16 stereo signal held in memory, handed to the converter in
// chunks through a one-buffer list.
struct Stereo16 {
  std::vector<std::int16_t> samples;  // interleaved L R
  std::size_t frames() const { return samples.size() / 2; }
};

Stereo16 sine(double rate, double hz, double seconds, double amplitude) {
  Stereo16 s;
  const auto n = std::size_t(rate * seconds);
  s.samples.resize(n * 2);
  for (std::size_t i = 0; i < n; ++i) {
    const auto v = std::int16_t(std::lrint(amplitude * std::sin(2 * kPi * hz * double(i) / rate)));
    s.samples[2 * i] = v;
    s.samples[2 * i + 1] = std::int16_t(-v);
  }
  return s;
}

void feed(PCMFormatConverter& c, const std::int16_t* frames, UInt32 count,
          const AudioTimeStamp* ts = nullptr) {
  AudioBufferList list{};
  list.mNumberBuffers = 1;
  list.mBuffers[0] = AudioBuffer{2, count * 4, const_cast<std::int16_t*>(frames)};
  pcmFormatConverterFeed(&c, &list, ts);
}

// Fetches into the end of out; returns the frames delivered.
UInt32 fetch(PCMFormatConverter& c, std::vector<std::int16_t>& out, UInt32 frames) {
  const std::size_t start = out.size();
  out.resize(start + std::size_t(frames) * 2);
  AudioBufferList list{};
  list.mNumberBuffers = 1;
  list.mBuffers[0] = AudioBuffer{2, frames * 4, out.data() + start};
  EXPECT_EQ(pcmFormatConverterFetch(&c, &list, frames), noErr);
  const UInt32 got = list.mBuffers[0].mDataByteSize / 4;
  out.resize(start + std::size_t(got) * 2);
  return got;
}

// Runs a whole signal through a converter the way the codec does: irregular
// chunks in, the cautious estimate out after each, the rest at the end.
Stereo16 convert(PCMFormatConverter& c, const Stereo16& in, std::mt19937& rng, UInt32 maxChunk) {
  Stereo16 out;
  std::size_t pos = 0;
  while (pos < in.frames()) {
    const auto n = UInt32(std::min<std::size_t>(1 + rng() % maxChunk, in.frames() - pos));
    feed(c, &in.samples[2 * pos], n);
    pos += n;
    if (const UInt32 a = pcmFormatConverterAvailableOutputSamples(&c)) fetch(c, out.samples, a);
  }
  UInt32 rest = 0;
  std::vector<std::int16_t> tail(std::size_t(pcmFormatConverterAllAvailableOutputSamples(&c)) * 2);
  AudioBufferList list{};
  list.mNumberBuffers = 1;
  list.mBuffers[0] = AudioBuffer{2, UInt32(tail.size() * 2), tail.data()};
  EXPECT_EQ(pcmFormatConverterFetchAll(&c, &list, &rest), noErr);
  out.samples.insert(out.samples.end(), tail.begin(), tail.begin() + std::ptrdiff_t(rest) * 2);
  return out;
}

double rms(const std::int16_t* s, std::size_t frames, int channel) {
  double sum = 0;
  for (std::size_t i = 0; i < frames; ++i) sum += double(s[2 * i + channel]) * s[2 * i + channel];
  return std::sqrt(sum / double(frames));
}

// Frequency from rising zero crossings over a span of the left channel.
double frequency(const std::int16_t* s, std::size_t frames, double rate) {
  std::size_t first = 0, last = 0, count = 0;
  for (std::size_t i = 1; i < frames; ++i) {
    if (s[2 * (i - 1)] < 0 && s[2 * i] >= 0) {
      if (count == 0) first = i;
      last = i;
      ++count;
    }
  }
  return count > 1 ? double(count - 1) * rate / double(last - first) : 0;
}

TEST(PCMFormatConverter, EstimatesFollowStoredInput) {
  auto c = PCMFormatConverter::create(engineAudioDescription(), codecAudioDescription());
  ASSERT_NE(c, nullptr);
  EXPECT_FLOAT_EQ(c->sampleRateRatio(), 1.0884354f);
  std::vector<std::int16_t> silence(4410 * 2, 0);
  EXPECT_EQ(c->availableOutputSamples(), 0u);
  feed(*c, silence.data(), 4410);
  EXPECT_EQ(c->allAvailableOutputSamples(), 4800u);
  // The cautious estimate holds back the resampler's look-ahead and no more.
  const UInt32 cautious = c->availableOutputSamples();
  EXPECT_LT(cautious, 4800u);
  EXPECT_GE(double(cautious), 4800 - c->lookAheadFrames() - 2);
  // A store shorter than the look-ahead is held back whole.
  c->reset();
  const auto few = UInt32(c->lookAheadFrames() / c->sampleRateRatio());
  ASSERT_GT(few, 1u);
  feed(*c, silence.data(), few);
  EXPECT_EQ(c->availableOutputSamples(), 0u);
  EXPECT_GT(c->allAvailableOutputSamples(), 0u);
}

TEST(PCMFormatConverter, FetchBeyondInputEndsInSilence) {
  auto c = PCMFormatConverter::create(engineAudioDescription(), codecAudioDescription());
  ASSERT_NE(c, nullptr);
  const Stereo16 tone = sine(44100, 1000, 100.0 / 44100, 20000);
  feed(*c, tone.samples.data(), 100);
  std::vector<std::int16_t> out;
  ASSERT_EQ(fetch(*c, out, 2880), 2880u);
  EXPECT_GT(rms(out.data(), 1000, 0), 500.0);  // the tone is in the head
  for (std::size_t i = 1500 * 2; i < out.size(); ++i) ASSERT_EQ(out[i], 0) << i;
  AudioTimeStamp ts{};
  ts.mSampleTime = 5;
  EXPECT_FALSE(pcmFormatConverterNextInputTimestamp(c.get(), &ts));
  EXPECT_EQ(ts.mSampleTime, 0);
}

TEST(PCMFormatConverter, ResetDropsInputAndHistory) {
  auto c = PCMFormatConverter::create(codecAudioDescription(), engineAudioDescription());
  ASSERT_NE(c, nullptr);
  const Stereo16 tone = sine(48000, 1000, 0.2, 25000);
  feed(*c, tone.samples.data(), UInt32(tone.frames()));
  std::vector<std::int16_t> out;
  fetch(*c, out, c->availableOutputSamples());
  ASSERT_GT(c->allAvailableOutputSamples(), 0u);
  pcmFormatConverterReset(c.get());
  EXPECT_EQ(c->availableOutputSamples(), 0u);
  EXPECT_EQ(c->allAvailableOutputSamples(), 0u);
  AudioTimeStamp ts{};
  ts.mHostTime = 9;
  EXPECT_FALSE(c->nextInputTimestamp(&ts));
  EXPECT_EQ(ts.mHostTime, 0u);
  // Nothing of the tone that was inside the resampler comes out afterwards.
  out.clear();
  fetch(*c, out, 8192);
  for (std::size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], 0) << i;
}

TEST(PCMFormatConverter, TimestampsTrackTheFirstUnconvertedFrame) {
  auto c = PCMFormatConverter::create(engineAudioDescription(), codecAudioDescription());
  ASSERT_NE(c, nullptr);
  std::mt19937 rng(7);
  std::vector<std::int16_t> chunk(4000 * 2, 100);
  double fed = 0;
  std::vector<std::int16_t> out;
  for (int i = 0; i < 200; ++i) {
    const UInt32 n = 1 + rng() % 1500;
    AudioTimeStamp ts{};
    ts.mSampleTime = fed;
    ts.mHostTime = UInt64(fed / 44100 * 1e9);
    ts.mFlags = kAudioTimeStampSampleTimeValid | kAudioTimeStampHostTimeValid;
    feed(*c, chunk.data(), n, &ts);
    fed += n;
    if (const UInt32 a = c->availableOutputSamples()) fetch(*c, out, a);
    AudioTimeStamp next{};
    const UInt32 stored = c->allAvailableOutputSamples() == 0
                              ? 0
                              : UInt32(std::lround(c->allAvailableOutputSamples() / 1.0884354));
    ASSERT_TRUE(c->nextInputTimestamp(&next));
    // Partially converted records moved their time on to their first
    // unconverted frame: time + what is still stored = everything fed.
    EXPECT_NEAR(next.mSampleTime + stored, fed, 2.0) << i;
    EXPECT_NEAR(double(next.mHostTime), next.mSampleTime / 44100 * 1e9, 1e4) << i;
  }
  // Without a timestamp the record carries zeros, which no dequeue moves.
  c->reset();
  feed(*c, chunk.data(), 3000);
  fetch(*c, out, 1000);
  AudioTimeStamp next{};
  ASSERT_TRUE(c->nextInputTimestamp(&next));
  EXPECT_EQ(next.mSampleTime, 0);
  EXPECT_EQ(next.mHostTime, 0u);
  EXPECT_EQ(next.mFlags, 0u);
}

// A constant input must come out constant once the filter has settled: any
// silence spliced in by a starved resampler shows as a dip.
void expectNoSilenceSpliced(double inRate, double outRate, UInt32 maxChunk, unsigned seed) {
  auto c =
      PCMFormatConverter::create(makeLinearPCMFormat(inRate, 2), makeLinearPCMFormat(outRate, 2));
  ASSERT_NE(c, nullptr);
  std::mt19937 rng(seed);
  std::vector<std::int16_t> level(10000 * 2, 12000);
  std::vector<std::int16_t> out;
  for (UInt32 fed = 0; fed < 60000;) {
    const UInt32 n = 1 + rng() % maxChunk;
    feed(*c, level.data(), n);
    fed += n;
    if (const UInt32 a = c->availableOutputSamples()) fetch(*c, out, a);
  }
  ASSERT_GT(double(out.size()), 2 * 50000 * outRate / inRate);
  for (std::size_t i = 2 * 3000; i < out.size(); ++i) {
    ASSERT_NEAR(out[i], 12000, 300)
        << "frame " << i / 2 << " seed " << seed << " chunk " << maxChunk;
  }
}

TEST(PCMFormatConverter, CautiousPullsNeverRunIntoSilence) {
  for (unsigned seed = 1; seed <= 3; ++seed) {
    for (UInt32 maxChunk : {5u, 300u, 3000u, 9000u}) {
      expectNoSilenceSpliced(44100, 48000, maxChunk, seed);
      expectNoSilenceSpliced(48000, 44100, maxChunk, seed);
      expectNoSilenceSpliced(48000, 16000, maxChunk, seed);
      expectNoSilenceSpliced(16000, 48000, maxChunk, seed);
    }
  }
}

TEST(PCMFormatConverter, RoundTripKeepsFrequencyAndLevel) {
  auto up = PCMFormatConverter::create(engineAudioDescription(), codecAudioDescription());
  auto down = PCMFormatConverter::create(codecAudioDescription(), engineAudioDescription());
  ASSERT_NE(up, nullptr);
  ASSERT_NE(down, nullptr);
  std::mt19937 rng(3);
  const Stereo16 in = sine(44100, 1000, 1.0, 16000);
  const Stereo16 mid = convert(*up, in, rng, 1024);
  const Stereo16 back = convert(*down, mid, rng, 2880);
  EXPECT_NEAR(double(mid.frames()), 48000.0, 48000 * 0.03);
  EXPECT_NEAR(double(back.frames()), 44100.0, 44100 * 0.03);
  // Judge the middle, away from the start and end transients.
  const std::int16_t* m = &mid.samples[2 * 8000];
  const std::int16_t* b = &back.samples[2 * 8000];
  EXPECT_NEAR(frequency(m, 30000, 48000), 1000.0, 1.0);
  EXPECT_NEAR(frequency(b, 28000, 44100), 1000.0, 1.0);
  const double expected = 16000 / std::sqrt(2.0);
  for (int ch = 0; ch < 2; ++ch) {
    EXPECT_NEAR(20 * std::log10(rms(m, 30000, ch) / expected), 0.0, 0.2);
    EXPECT_NEAR(20 * std::log10(rms(b, 28000, ch) / expected), 0.0, 0.2);
  }
}

// Other shapes: float and split buffers, mono on either side.
struct ShapeCase {
  AudioStreamBasicDescription in, out;
};

std::vector<float> renderChannel(const AudioBufferList* list, const AudioStreamBasicDescription& f,
                                 UInt32 channel, UInt32 frames) {
  std::vector<float> v(frames);
  const bool split = isNonInterleaved(f);
  const auto* base = static_cast<const std::uint8_t*>(list->mBuffers[split ? channel : 0].mData);
  const UInt32 sb = isFloatFormat(f) ? 4 : 2;
  for (UInt32 i = 0; i < frames; ++i) {
    const std::uint8_t* p = base + (split ? i : i * f.mChannelsPerFrame + channel) * sb;
    if (sb == 4) {
      std::memcpy(&v[i], p, 4);
    } else {
      std::int16_t s;
      std::memcpy(&s, p, 2);
      v[i] = float(s) / 32768.0f;
    }
  }
  return v;
}

void writeChannel(AudioBufferList* list, const AudioStreamBasicDescription& f, UInt32 channel,
                  const std::vector<float>& v) {
  const bool split = isNonInterleaved(f);
  auto* base = static_cast<std::uint8_t*>(list->mBuffers[split ? channel : 0].mData);
  const UInt32 sb = isFloatFormat(f) ? 4 : 2;
  for (std::size_t i = 0; i < v.size(); ++i) {
    std::uint8_t* p = base + (split ? i : i * f.mChannelsPerFrame + channel) * sb;
    if (sb == 4) {
      std::memcpy(p, &v[i], 4);
    } else {
      const auto s = std::int16_t(std::lrint(v[i] * 32767.0f));
      std::memcpy(p, &s, 2);
    }
  }
}

TEST(PCMFormatConverter, ConvertsFloatSplitAndMonoShapes) {
  const ShapeCase cases[] = {
      {makeLinearPCMFormat(48000, 2, true, false), makeLinearPCMFormat(44100, 2, true, false)},
      {makeLinearPCMFormat(44100, 2), makeLinearPCMFormat(48000, 2, true, false)},
      {makeLinearPCMFormat(44100, 1), makeLinearPCMFormat(48000, 2)},
      {makeLinearPCMFormat(48000, 2, true, true), makeLinearPCMFormat(44100, 1, true)},
  };
  for (const ShapeCase& sc : cases) {
    SCOPED_TRACE(::testing::Message() << sc.in.mSampleRate << "/" << sc.in.mChannelsPerFrame << "/"
                                      << sc.in.mFormatFlags << " -> " << sc.out.mSampleRate << "/"
                                      << sc.out.mChannelsPerFrame << "/" << sc.out.mFormatFlags);
    auto c = PCMFormatConverter::create(sc.in, sc.out);
    ASSERT_NE(c, nullptr);
    const UInt32 inFrames = UInt32(sc.in.mSampleRate / 2);  // half a second
    AudioBufferListPtr in(audioBufferListCreateForFormat(sc.in, inFrames));
    std::vector<float> left(inFrames), right(inFrames);
    for (UInt32 i = 0; i < inFrames; ++i) {
      left[i] = 0.5f * float(std::sin(2 * kPi * 1000 * i / sc.in.mSampleRate));
      right[i] = 0.25f * float(std::sin(2 * kPi * 1000 * i / sc.in.mSampleRate));
    }
    writeChannel(in.get(), sc.in, 0, left);
    if (sc.in.mChannelsPerFrame > 1) writeChannel(in.get(), sc.in, 1, right);
    c->feedSamplesFromAudioBufferList(in.get(), nullptr);

    const UInt32 outFrames = c->availableOutputSamples();
    ASSERT_GT(outFrames, 10000u);
    AudioBufferListPtr out(audioBufferListCreateForFormat(sc.out, outFrames));
    ASSERT_EQ(c->fetchIntoAudioBufferList(out.get(), outFrames), noErr);
    for (UInt32 i = 0; i < out->mNumberBuffers; ++i) {
      EXPECT_EQ(out->mBuffers[i].mDataByteSize, outFrames * sc.out.mBytesPerFrame);
    }
    const UInt32 skip = 2000;
    const UInt32 span = outFrames - skip;
    for (UInt32 ch = 0; ch < sc.out.mChannelsPerFrame; ++ch) {
      const auto v = renderChannel(out.get(), sc.out, ch, outFrames);
      double sum = 0;
      int crossings = 0;
      for (UInt32 i = skip; i < outFrames; ++i) {
        sum += double(v[i]) * v[i];
        if (i > skip && v[i - 1] < 0 && v[i] >= 0) ++crossings;
      }
      const double level = std::sqrt(sum / span) * std::sqrt(2.0);
      double expected = 0.5;
      if (sc.in.mChannelsPerFrame == 2 && sc.out.mChannelsPerFrame == 2 && ch == 1) expected = 0.25;
      if (sc.in.mChannelsPerFrame == 2 && sc.out.mChannelsPerFrame == 1) expected = 0.375;
      EXPECT_NEAR(level, expected, expected * 0.02) << "channel " << ch;
      EXPECT_NEAR(crossings, 1000.0 * span / sc.out.mSampleRate, 2.0) << "channel " << ch;
    }
  }
}

TEST(PCMFormatConverter, RejectsWhatItCannotConvert) {
  testing::LogCapture capture;
  OSStatus status = noErr;
  auto big = makeLinearPCMFormat(44100, 2);
  big.mFormatFlags |= kAudioFormatFlagIsBigEndian;
  EXPECT_EQ(PCMFormatConverter::create(big, codecAudioDescription(), &status), nullptr);
  EXPECT_EQ(status, kPCMFormatConverterErrFormatNotSupported);
  EXPECT_TRUE(capture.contains(
      "initWithInputFormat:outputFormat:: AudioConverterNew failed with 1718449215 (fmt?)"))
      << (capture.lines().empty() ? std::string() : capture.lines().back());
  auto wide = makeLinearPCMFormat(48000, 6);
  EXPECT_EQ(PCMFormatConverter::create(wide, codecAudioDescription(), &status), nullptr);
  auto zeroRate = makeLinearPCMFormat(0, 2);
  EXPECT_EQ(PCMFormatConverter::create(zeroRate, codecAudioDescription(), &status), nullptr);
  auto int24 = makeLinearPCMFormat(48000, 2);
  int24.mBitsPerChannel = 24;
  EXPECT_EQ(PCMFormatConverter::create(int24, codecAudioDescription(), &status), nullptr);
  EXPECT_EQ(capture.count("AudioConverterNew failed"), 4);

  auto c = PCMFormatConverter::create(engineAudioDescription(), codecAudioDescription());
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->fetchIntoAudioBufferList(nullptr, 10), kPCMFormatConverterErrBadBufferList);
  // A list smaller than the request receives what fits.
  std::vector<std::int16_t> small(100 * 2);
  AudioBufferList list{};
  list.mNumberBuffers = 1;
  list.mBuffers[0] = AudioBuffer{2, 400, small.data()};
  EXPECT_EQ(c->fetchIntoAudioBufferList(&list, 2880), noErr);
  EXPECT_EQ(list.mBuffers[0].mDataByteSize, 400u);
  // Input of the wrong shape is dropped rather than misread.
  AudioBufferListPtr split(audioBufferListCreate(2, 2, false, 100));
  c->feedSamplesFromAudioBufferList(split.get(), nullptr);
  EXPECT_EQ(c->allAvailableOutputSamples(), 0u);
}

TEST(PCMFormatConverter, AudioThreadFunctionsAllocateNothing) {
  auto enc = PCMFormatConverter::create(engineAudioDescription(), codecAudioDescription());
  auto dec = PCMFormatConverter::create(codecAudioDescription(),
                                        makeLinearPCMFormat(44100, 2, true, false));
  ASSERT_NE(enc, nullptr);
  ASSERT_NE(dec, nullptr);
  const Stereo16 tone = sine(44100, 440, 1.0, 12000);
  std::vector<std::int16_t> packet(40000 * 2);
  AudioBufferList out{};
  out.mNumberBuffers = 1;
  AudioBufferListPtr splitOut(audioBufferListCreateForFormat(dec->outputFormat(), 40000));
  std::mt19937 rng(11);
  std::size_t allocations = 0;
  {
    testing::AllocationGuard guard;
    std::size_t pos = 0;
    for (int round = 0; round < 300; ++round) {
      const UInt32 n = 1 + rng() % 2000;
      if (pos + n > tone.frames()) pos = 0;
      feed(*enc, &tone.samples[2 * pos], n);
      pos += n;
      while (pcmFormatConverterAvailableOutputSamples(enc.get()) >= 2880) {
        AudioTimeStamp ts;
        pcmFormatConverterNextInputTimestamp(enc.get(), &ts);
        out.mBuffers[0] = AudioBuffer{2, 2880 * 4, packet.data()};
        pcmFormatConverterFetch(enc.get(), &out, 2880);
        feed(*dec, packet.data(), 2880);
        for (UInt32 b = 0; b < 2; ++b) splitOut->mBuffers[b].mDataByteSize = 40000 * 4;
        pcmFormatConverterFetch(dec.get(), splitOut.get(),
                                pcmFormatConverterAvailableOutputSamples(dec.get()));
      }
      if (round % 7 == 3) {
        // Odd sizes, past the end of the input too.
        for (UInt32 b = 0; b < 2; ++b) splitOut->mBuffers[b].mDataByteSize = 40000 * 4;
        pcmFormatConverterFetch(dec.get(), splitOut.get(), 1 + rng() % 40000);
      }
      if (round % 50 == 49) {
        // A session end: drain everything, then start clean.
        UInt32 frames = 0;
        out.mBuffers[0] = AudioBuffer{2, UInt32(packet.size() * 2), packet.data()};
        pcmFormatConverterFetchAll(enc.get(), &out, &frames);
        for (UInt32 b = 0; b < 2; ++b) splitOut->mBuffers[b].mDataByteSize = 40000 * 4;
        pcmFormatConverterFetchAll(dec.get(), splitOut.get(), &frames);
        pcmFormatConverterReset(enc.get());
        pcmFormatConverterReset(dec.get());
      }
    }
    // A fetch far larger than any seen before still stays in place.
    for (UInt32 b = 0; b < 2; ++b) splitOut->mBuffers[b].mDataByteSize = 40000 * 4;
    pcmFormatConverterFetch(dec.get(), splitOut.get(), 40000);
    allocations = guard.allocations();
  }
  EXPECT_EQ(allocations, 0u);
}

// A stream through converters of any rate pair and sample type: a tone fed
// in odd blocks, fetched with the cautious estimate as it comes.
struct RatePair {
  double in, out;
};
constexpr RatePair kRatePairs[] = {{44100, 48000}, {48000, 44100}, {48000, 16000}, {16000, 48000}};
constexpr double kToneHz = 200;

double toneAt(double seconds) {
  return 0.5 * std::sin(2 * kPi * kToneHz * seconds);
}

class Stream {
 public:
  Stream(const AudioStreamBasicDescription& in, const AudioStreamBasicDescription& out)
      : in_(in), out_(out), converter_(PCMFormatConverter::create(in, out)) {}
  PCMFormatConverter* converter() { return converter_.get(); }
  const std::vector<float>& output() const { return output_; }

  // Feeds the next n frames of the tone, stamped with their sample time.
  void feed(UInt32 n) {
    AudioBufferListPtr list(audioBufferListCreateForFormat(in_, n));
    std::vector<float> v(n);
    for (UInt32 i = 0; i < n; ++i) v[i] = float(toneAt(double(fed_ + i) / in_.mSampleRate));
    for (UInt32 ch = 0; ch < in_.mChannelsPerFrame; ++ch) writeChannel(list.get(), in_, ch, v);
    AudioTimeStamp ts{};
    ts.mSampleTime = double(fed_);
    ts.mHostTime = secondsToHostTicks(double(fed_) / in_.mSampleRate);
    ts.mFlags = kAudioTimeStampSampleHostTimeValid;
    pcmFormatConverterFeed(converter_.get(), list.get(), &ts);
    fed_ += n;
  }
  // Fetches n frames; channel 0 goes to the output.
  void fetch(UInt32 n) {
    if (n == 0) return;
    AudioBufferListPtr list(audioBufferListCreateForFormat(out_, n));
    ASSERT_EQ(pcmFormatConverterFetch(converter_.get(), list.get(), n), noErr);
    ASSERT_EQ(list->mBuffers[0].mDataByteSize, n * out_.mBytesPerFrame);
    const auto v = renderChannel(list.get(), out_, 0, n);
    output_.insert(output_.end(), v.begin(), v.end());
  }
  void drain() {
    const UInt32 n = pcmFormatConverterAllAvailableOutputSamples(converter_.get());
    AudioBufferListPtr list(audioBufferListCreateForFormat(out_, n + 1));
    UInt32 got = 0;
    ASSERT_EQ(pcmFormatConverterFetchAll(converter_.get(), list.get(), &got), noErr);
    ASSERT_EQ(got, n);
    const auto v = renderChannel(list.get(), out_, 0, got);
    output_.insert(output_.end(), v.begin(), v.end());
  }
  UInt64 fed() const { return fed_; }

 private:
  AudioStreamBasicDescription in_, out_;
  std::unique_ptr<PCMFormatConverter> converter_;
  std::vector<float> output_;
  UInt64 fed_ = 0;
};

AudioStreamBasicDescription streamFormat(double rate, bool isFloat, bool input) {
  // Float output goes to split buffers, to cover that path as well.
  return makeLinearPCMFormat(rate, 2, isFloat, !(isFloat && !input));
}

TEST(PCMFormatConverterDrain, EveryFedFrameComesOutWithItsTail) {
  for (const RatePair& pair : kRatePairs) {
    for (bool isFloat : {false, true}) {
      SCOPED_TRACE(::testing::Message()
                   << pair.in << " -> " << pair.out << (isFloat ? " float" : " int16"));
      Stream stream(streamFormat(pair.in, isFloat, true), streamFormat(pair.out, isFloat, false));
      ASSERT_NE(stream.converter(), nullptr);
      std::mt19937 rng(unsigned(pair.in + pair.out) + isFloat);
      const auto total = UInt64(pair.in * 0.3) + 37;
      while (stream.fed() < total) {
        stream.feed(
            UInt32(std::min<UInt64>(1 + rng() % UInt32(pair.in / 50), total - stream.fed())));
        stream.fetch(pcmFormatConverterAvailableOutputSamples(stream.converter()));
      }
      stream.drain();
      EXPECT_EQ(pcmFormatConverterAllAvailableOutputSamples(stream.converter()), 0u);
      const std::vector<float>& out = stream.output();
      const double expected = double(total) * pair.out / pair.in;
      EXPECT_NEAR(double(out.size()), std::round(expected), 2.0);

      // Sample for sample the tone, in place: nothing dropped, repeated or
      // delayed, from the first frame to the last 10 ms.
      const auto tenMs = std::size_t(pair.out / 100);
      ASSERT_GT(out.size(), 3 * tenMs);
      double worst = 0;
      for (std::size_t k = tenMs; k + tenMs < out.size(); ++k) {
        worst = std::max(worst, std::fabs(out[k] - toneAt(double(k) / pair.out)));
      }
      EXPECT_LT(worst, 0.05);
      double tail = 0;
      for (std::size_t k = out.size() - tenMs; k < out.size(); ++k) tail += double(out[k]) * out[k];
      EXPECT_GT(std::sqrt(tail / double(tenMs)), 0.7 * 0.5 / std::sqrt(2.0)) << "the last 10 ms";
    }
  }
}

TEST(PCMFormatConverterDrain, NextTimestampNamesTheInputOfTheNextOutputFrame) {
  for (const RatePair& pair : kRatePairs) {
    SCOPED_TRACE(::testing::Message() << pair.in << " -> " << pair.out);
    Stream stream(streamFormat(pair.in, false, true), streamFormat(pair.out, false, false));
    PCMFormatConverter* c = stream.converter();
    ASSERT_NE(c, nullptr);
    const double ratio = pair.out / pair.in;
    std::mt19937 rng(5);
    auto check = [&] {
      AudioTimeStamp ts{};
      ASSERT_TRUE(pcmFormatConverterNextInputTimestamp(c, &ts));
      const double input = double(stream.output().size()) / ratio;
      ASSERT_NEAR(ts.mSampleTime, input, 2.0) << "after " << stream.output().size() << " out";
      ASSERT_NEAR(hostTicksToSeconds(ts.mHostTime), ts.mSampleTime / pair.in, 1e-6);
    };
    while (stream.fed() < UInt64(pair.in)) {
      stream.feed(1 + rng() % UInt32(pair.in / 40));
      // Fetches of any size up to the cautious estimate, checked before each.
      for (UInt32 a = c->availableOutputSamples(); a > 0; a = c->availableOutputSamples()) {
        check();
        stream.fetch(1 + rng() % a);
      }
    }
    // The drain: the timestamp follows the resampler's stored input to its end.
    for (UInt32 a = c->allAvailableOutputSamples(); a > 0; a = c->allAvailableOutputSamples()) {
      check();
      stream.fetch(std::min<UInt32>(a, 1 + rng() % 300));
    }
    EXPECT_NEAR(double(stream.output().size()), double(stream.fed()) * ratio, 2.0);
    AudioTimeStamp ts{};
    ts.mSampleTime = 3;
    EXPECT_FALSE(c->nextInputTimestamp(&ts));
    EXPECT_EQ(ts.mSampleTime, 0);
  }
}

TEST(PCMFormatConverterDrain, CautiousEstimateHoldsBackOnlyTheLookAhead) {
  for (const RatePair& pair : kRatePairs) {
    SCOPED_TRACE(::testing::Message() << pair.in << " -> " << pair.out);
    Stream stream(streamFormat(pair.in, false, true), streamFormat(pair.out, false, false));
    PCMFormatConverter* c = stream.converter();
    ASSERT_NE(c, nullptr);
    std::mt19937 rng(9);
    while (stream.fed() < UInt64(pair.in / 2)) {
      stream.feed(1 + rng() % UInt32(pair.in / 40));
      const UInt32 all = c->allAvailableOutputSamples();
      const UInt32 cautious = c->availableOutputSamples();
      if (all > c->lookAheadFrames() + 2) {
        ASSERT_GE(double(cautious) + c->lookAheadFrames() + 2, double(all));
      }
      ASSERT_LE(cautious, all);
      stream.fetch(cautious);
    }
    // A fixed reserve of 1024 input frames and 10 % cost some 30 ms; the
    // measured look-ahead stays well within that.
    EXPECT_LT(c->lookAheadFrames(), 0.025 * pair.out);
  }
}

}  // namespace
}  // namespace qur
