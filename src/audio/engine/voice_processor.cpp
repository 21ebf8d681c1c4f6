#include "audio/engine/voice_processor.h"

#include <pthread.h>
#include <sched.h>

#include <webrtc/modules/audio_processing/include/audio_processing.h>
#include <chrono>
#include <cmath>
#include <cstdlib>

#include "audio/pcm_format_converter.h"

namespace qur {
namespace {

// A second of engine audio in each ring: room for a processing thread that
// was held up, without letting latency pile up behind it.
constexpr std::int32_t kRingBytes = 262144;
constexpr auto kPollPeriod = std::chrono::milliseconds(1);

AudioBufferList* createList(void* data, UInt32 channels) {
  auto* list = static_cast<AudioBufferList*>(std::calloc(1, audioBufferListHeaderSize(1)));
  list->mNumberBuffers = 1;
  list->mBuffers[0].mNumberChannels = channels;
  list->mBuffers[0].mData = data;
  return list;
}

AudioStreamBasicDescription processingFormat() {
  return makeLinearPCMFormat(VoiceProcessor::kProcessingRate, 1, true);
}

}  // namespace

std::unique_ptr<VoiceProcessor> VoiceProcessor::create(
    const AudioStreamBasicDescription& engineFormat, const VoiceProcessingSettings& settings,
    std::string* error) {
  std::unique_ptr<VoiceProcessor> processor(new VoiceProcessor);
  processor->_settings = settings;
  if (!processor->setUp(engineFormat, error)) return nullptr;
  return processor;
}

bool VoiceProcessor::setUp(const AudioStreamBasicDescription& engineFormat, std::string* error) {
  const auto fail = [error](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  if (engineFormat.mFormatID != kAudioFormatLinearPCM || isFloatFormat(engineFormat) ||
      isNonInterleaved(engineFormat) || engineFormat.mBitsPerChannel != 16 ||
      engineFormat.mChannelsPerFrame < 1 || engineFormat.mChannelsPerFrame > 2) {
    return fail("voice processing needs interleaved 16-bit mono or stereo audio");
  }
  _engineFormat = engineFormat;
  _frameBytes = engineFormat.mBytesPerFrame;

  // The resamplers see mono 16-bit audio at the engine rate: the channels
  // are mixed and spread here, far cheaper than through their own paths.
  const AudioStreamBasicDescription mono = makeLinearPCMFormat(engineFormat.mSampleRate, 1);
  _captureIn = PCMFormatConverter::create(mono, processingFormat());
  _referenceIn = PCMFormatConverter::create(mono, processingFormat());
  _captureOut = PCMFormatConverter::create(processingFormat(), mono);
  if (!_captureIn || !_referenceIn || !_captureOut) return fail("no resampler for the formats");
  if (!circularBufferSetUp(&_captureRing, kRingBytes) ||
      !circularBufferSetUp(&_referenceRing, kRingBytes) ||
      !circularBufferSetUp(&_processedRing, kRingBytes)) {
    return fail("cannot map the voice processing rings");
  }
  _nearBlock.assign(kBlockFrames, 0.0f);
  _farBlock.assign(kBlockFrames, 0.0f);
  _processedBlock.assign(kBlockFrames, 0.0f);
  _outputScratch.assign(size_t(kChunkFrames) * engineFormat.mChannelsPerFrame, 0);
  _monoScratch.assign(kChunkFrames, 0);
  const double leadIn =
      std::ceil((_captureIn->lookAheadFrames() + 1.0) / _captureIn->sampleRateRatio());
  _leadIn.assign(size_t(leadIn), 0);
  _feedList = createList(_monoScratch.data(), 1);
  _nearList = createList(_nearBlock.data(), 1);
  _farList = createList(_farBlock.data(), 1);
  _processedList = createList(_processedBlock.data(), 1);
  _outputList = createList(_monoScratch.data(), 1);

  webrtc::Config config;
  // Speaker and microphone latencies of desktop devices are neither small
  // nor known exactly: a longer filter and the canceller's own delay
  // estimate cover them.
  config.Set<webrtc::ExtendedFilter>(new webrtc::ExtendedFilter(true));
  config.Set<webrtc::DelayAgnostic>(new webrtc::DelayAgnostic(true));
  _library = webrtc::AudioProcessing::Create(config);
  if (!_library) return fail("the audio processing library could not be created");
  webrtc::ProcessingConfig streams;
  for (auto& stream : streams.streams) stream = webrtc::StreamConfig(kProcessingRate, 1);
  if (const int status = _library->Initialize(streams); status != 0) {
    return fail("the audio processing library refused its format (" + std::to_string(status) + ")");
  }
  int status = _library->echo_cancellation()->Enable(_settings.echoCancellation);
  if (_settings.echoCancellation) {
    // The linear filter removes the echo; a gentle suppressor after it keeps
    // the near end audible while both sides talk.
    status |= _library->echo_cancellation()->set_suppression_level(
        webrtc::EchoCancellation::kLowSuppression);
  }
  status |= _library->noise_suppression()->set_level(webrtc::NoiseSuppression::kHigh);
  status |= _library->noise_suppression()->Enable(_settings.noiseSuppression);
  status |= _library->high_pass_filter()->Enable(_settings.highPassFilter);
  if (status != 0) return fail("the audio processing library refused its settings");
  _deviceDelay = std::max(0.0, _settings.deviceDelaySeconds);
  _streamDelayMs = int(std::lround(_deviceDelay * 1000.0));
  _shownDelayMs = _streamDelayMs;
  return true;
}

VoiceProcessor::~VoiceProcessor() {
  stop();
  delete _library;
  circularBufferTearDown(&_captureRing);
  circularBufferTearDown(&_referenceRing);
  circularBufferTearDown(&_processedRing);
  std::free(_feedList);
  std::free(_nearList);
  std::free(_farList);
  std::free(_processedList);
  std::free(_outputList);
}

std::string VoiceProcessor::description() const {
  std::string text;
  const auto add = [&text](bool on, const char* what) {
    if (!on) return;
    if (!text.empty()) text += ", ";
    text += what;
  };
  add(_settings.echoCancellation, "echo cancellation");
  add(_settings.noiseSuppression, "noise suppression");
  add(_settings.highPassFilter, "high-pass filter");
  return text.empty() ? "nothing" : text;
}

void VoiceProcessor::start() {
  stop();
  reset();
  if (!_settings.dedicatedThread) return;
  _running = true;
  _thread = std::thread([this] { processingThread(); });
}

void VoiceProcessor::stop() {
  _running = false;
  if (_thread.joinable()) _thread.join();
}

// No cycle and no processing thread runs here: this thread may act as both
// ends of every ring.
void VoiceProcessor::reset() {
  circularBufferDiscardAll(&_captureRing);
  circularBufferDiscardAll(&_referenceRing);
  circularBufferDiscardAll(&_processedRing);
  _captureIn->reset();
  _referenceIn->reset();
  _captureOut->reset();
  _primed = false;
  _smoothedDelayMs = -1;
  // Downsampling makes the resampler wait for input well past the block it
  // is asked for. Silence fed ahead of the first cycle lets every cycle's
  // audio complete its block at once instead of a cycle later.
  _feedList->mBuffers[0].mData = _leadIn.data();
  _feedList->mBuffers[0].mDataByteSize = UInt32(_leadIn.size() * sizeof(int16_t));
  _captureIn->feedSamplesFromAudioBufferList(_feedList, nullptr);
  _referenceIn->feedSamplesFromAudioBufferList(_feedList, nullptr);
  _latencyFrames = int64_t(_leadIn.size());
}

void VoiceProcessor::processingThread() {
  pthread_setname_np(pthread_self(), "qur-voice");
  // Real-time priority where the system grants it; an ordinary thread keeps
  // up too, with a little more jitter.
  sched_param param{};
  param.sched_priority = std::max(1, sched_get_priority_min(SCHED_FIFO) + 1);
  pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
  auto next = std::chrono::steady_clock::now();
  while (_running.load(std::memory_order_acquire)) {
    processPending();
    next += kPollPeriod;
    const auto now = std::chrono::steady_clock::now();
    if (next < now) next = now;
    std::this_thread::sleep_until(next);
  }
}

}  // namespace qur
