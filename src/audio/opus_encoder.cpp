#include "audio/opus_encoder.h"

#include <opus/opus.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <thread>

#include "audio/audio_buffer_list.h"
#include "audio/pcm_format_converter.h"
#include "audio/run_loop_thread.h"
#include "log/log.h"
#include "log/thread_role.h"

namespace qur {

namespace {
// Prefix of the poll thread's name.
constexpr const char* kApplicationIdentifier = "org.qur.wtalkie";
}  // namespace

// With loss reported, the bitrate leaves libopus room for the redundant copy
// of each frame; narrowband keeps that room affordable (and is what 8 kbit/s
// gives anyway).
constexpr std::int32_t kBitrateWithRedundancy = 20000;
constexpr std::int32_t kBitrateWithHeavyLoss = 24000;
constexpr int kHeavyLossPercent = 5;
constexpr int kMaxExpectedLossPercent = 30;

std::shared_ptr<OpusEncoder> OpusEncoder::create(const AudioStreamBasicDescription& inputFormat,
                                                 CircularBuffer* outputBuffer) {
  std::shared_ptr<OpusEncoder> encoder(new OpusEncoder());
  if (!encoder->setUp(inputFormat, outputBuffer, kFramesPerPacket, false)) return nullptr;
  return encoder;
}

std::shared_ptr<OpusEncoder> OpusEncoder::create(const AudioStreamBasicDescription& inputFormat,
                                                 int frameMilliseconds) {
  const bool known =
      std::find(std::begin(kFrameMillisecondChoices), std::end(kFrameMillisecondChoices),
                frameMilliseconds) != std::end(kFrameMillisecondChoices);
  if (!known) {
    QUR_LOG_ERROR("Opus frames of %d ms are not possible (10, 20, 40 or 60)", frameMilliseconds);
    return nullptr;
  }
  std::shared_ptr<OpusEncoder> encoder(new OpusEncoder());
  const auto frames = UInt32(kSampleRate / 1000 * UInt32(frameMilliseconds));
  if (!encoder->setUp(inputFormat, nullptr, frames, true)) return nullptr;
  return encoder;
}

std::shared_ptr<OpusEncoder> OpusEncoder::create(const AudioStreamBasicDescription& inputFormat) {
  return create(inputFormat, nullptr);
}

bool OpusEncoder::setUp(const AudioStreamBasicDescription& inputFormat,
                        CircularBuffer* outputBuffer, UInt32 framesPerPacket,
                        bool forwardErrorCorrection) {
  _runState.store(kIdle);
  _inputAudioDescription = inputFormat;
  _encoderAudioDescription = codecAudioDescription();
  _sampleRate = kSampleRate;
  _channels = kChannels;
  _framesPerPacket = framesPerPacket;
  _forwardErrorCorrection = forwardErrorCorrection;

  _formatConverter = PCMFormatConverter::create(_inputAudioDescription, _encoderAudioDescription);
  if (!_formatConverter) return false;

  int error = OPUS_OK;
  _encoder = opus_encoder_create(static_cast<opus_int32>(_sampleRate), static_cast<int>(_channels),
                                 OPUS_APPLICATION_VOIP, &error);
  if (error != OPUS_OK || !_encoder) {
    QUR_LOG_ERROR("Opus encoder init failed with %s (%d)", opus_strerror(error), error);
    _encoder = nullptr;
    return false;
  }
  opus_encoder_ctl(_encoder, OPUS_SET_BITRATE(kBitrate));
  opus_encoder_ctl(_encoder, OPUS_SET_COMPLEXITY(kComplexity));
  if (_forwardErrorCorrection) {
    opus_encoder_ctl(_encoder, OPUS_SET_INBAND_FEC(1));
    opus_encoder_ctl(_encoder, OPUS_SET_MAX_BANDWIDTH(OPUS_BANDWIDTH_NARROWBAND));
  }

  circularBufferSetUp(&_inputBuffer, kInputBufferBytes);
  if (outputBuffer) {
    _outputBuffer = outputBuffer;
  } else {
    _outputBuffer = new CircularBuffer();
    circularBufferSetUp(_outputBuffer, kOutputBufferBytes);
    _ownsOutputBuffer = true;
  }

  _encoderAudioBufferList =
      audioBufferListCreateForFormat(_encoderAudioDescription, _framesPerPacket);
  _currentlyEncodingPacket = opusPacketCreate(kMaxPacketBytes);

  // The timer holds the encoder weakly: an encoder that goes away stops its
  // thread in the destructor instead of being kept alive by it.
  _bufferPollThread = std::make_unique<RunLoopThread>();
  _bufferPollThread->setName(std::string(kApplicationIdentifier) + ".OpusEncoderBufferPollThread");
  _bufferPollThread->start();
  std::weak_ptr<OpusEncoder> weakSelf = weak_from_this();
  _bufferPollTimer = RunLoopTimer::create(
      std::chrono::nanoseconds(secondsToHostTicks(kPollInterval)), true, [weakSelf] {
        if (auto self = weakSelf.lock()) self->pollBuffer();
      });
  _bufferPollThread->attachTimer(_bufferPollTimer);

  _referenceTime.store(hostTimeNow());
  _currentSessionNumber = 0;
  _currentPacketNumber = 0;
  return true;
}

OpusEncoder::~OpusEncoder() {
  if (_bufferPollTimer) _bufferPollTimer->invalidate();
  if (_bufferPollThread) _bufferPollThread->stop();
  _bufferPollThread.reset();
  if (_encoder) opus_encoder_destroy(_encoder);
  circularBufferTearDown(&_inputBuffer);
  if (_encoderAudioBufferList) audioBufferListFree(_encoderAudioBufferList);
  if (_currentlyEncodingPacket) opusPacketFree(_currentlyEncodingPacket);
  if (_ownsOutputBuffer && _outputBuffer) {
    circularBufferTearDown(_outputBuffer);
    delete _outputBuffer;
  }
}

std::shared_ptr<OpusEncoderDelegate> OpusEncoder::delegate() const {
  std::lock_guard<std::mutex> lock(_delegateMutex);
  return _delegate.lock();
}

void OpusEncoder::setDelegate(std::weak_ptr<OpusEncoderDelegate> delegate) {
  std::lock_guard<std::mutex> lock(_delegateMutex);
  _delegate = std::move(delegate);
}

void OpusEncoder::notifyStatus(bool encoding) {
  if (auto d = delegate()) d->encoderDidChangeItsEncodingStatusTo(*this, encoding);
}

void OpusEncoder::setLinkConditions(double lossFraction) {
  if (!_forwardErrorCorrection) return;
  const int percent =
      std::clamp(int(std::ceil(lossFraction * 100.0 - 1e-9)), 0, kMaxExpectedLossPercent);
  _requestedLossPercent.store(percent, std::memory_order_relaxed);
  _requestedBitrate.store(percent == 0                   ? kBitrate
                          : percent <= kHeavyLossPercent ? kBitrateWithRedundancy
                                                         : kBitrateWithHeavyLoss,
                          std::memory_order_relaxed);
}

void OpusEncoder::pollBuffer() {
  QUR_ASSERT_NOT_THREAD(ThreadRole::Audio);
  std::int32_t stored = 0;
  circularBufferReadPointer(_outputBuffer, &stored);
  if (stored == 0) return;
  if (auto d = delegate()) d->encoderHasNewPacketsInBuffer(*this, _outputBuffer);
}

void OpusEncoder::startEncoding() {
  QUR_ASSERT_NOT_THREAD(ThreadRole::Audio);
  std::lock_guard<std::mutex> lock(_controlMutex);
  _referenceTime.store(hostTimeNow(), std::memory_order_relaxed);
  // Publishes the counters and the reset state along with the flag.
  _runState.store(kEncoding, std::memory_order_seq_cst);
  notifyStatus(true);
}

void OpusEncoder::shutOutAudioThread() {
  _runState.store(kIdle, std::memory_order_seq_cst);
  // The audio thread flags itself before it reads the state, so once the flag
  // is seen clear here any later cycle sees kIdle and leaves at once.
  while (_audioThreadInside.load(std::memory_order_seq_cst) != 0) std::this_thread::yield();
}

void OpusEncoder::stopEncoding() {
  QUR_ASSERT_NOT_THREAD(ThreadRole::Audio);
  std::lock_guard<std::mutex> lock(_controlMutex);
  shutOutAudioThread();
  flushRemainingAudioInBuffer();
  // The last packets leave through the poll thread, the ring's only consumer.
  _bufferPollThread->performBlockAndWait([this] { pollBuffer(); });
  ++_currentSessionNumber;
  _currentPacketNumber = 0;
  opus_encoder_ctl(_encoder, OPUS_RESET_STATE);
  notifyStatus(false);
}

void OpusEncoder::flushRemainingAudioInBuffer() {
  // While encoding the audio thread owns the converter.
  if (_runState.load(std::memory_order_seq_cst) == kEncoding) return;
  processInput(this, true);
  pcmFormatConverterReset(_formatConverter.get());
}

void OpusEncoder::reset() {
  QUR_ASSERT_NOT_THREAD(ThreadRole::Audio);
  if (isEncoding()) stopEncoding();
  std::lock_guard<std::mutex> lock(_controlMutex);
  _currentSessionNumber = 0;
}

}  // namespace qur
