#include "audio/opus_decoder.h"

#include <opus/opus.h>

#include "audio/audio_buffer_list.h"
#include "audio/opus_packet.h"
#include "audio/pcm_format_converter.h"
#include "audio/realtime_logger.h"
#include "log/log.h"

namespace qur {

std::shared_ptr<OpusDecoder> OpusDecoder::create(const AudioStreamBasicDescription& outputFormat,
                                                 CircularBuffer* inputBuffer) {
  std::shared_ptr<OpusDecoder> decoder(new OpusDecoder());
  if (!decoder->setUp(outputFormat, inputBuffer)) return nullptr;
  return decoder;
}

std::shared_ptr<OpusDecoder> OpusDecoder::create(const AudioStreamBasicDescription& outputFormat) {
  return create(outputFormat, nullptr);
}

bool OpusDecoder::setUp(const AudioStreamBasicDescription& outputFormat,
                        CircularBuffer* inputBuffer) {
  _outputAudioDescription = outputFormat;
  _codecAudioDescription = qur::codecAudioDescription();
  if (inputBuffer) {
    _inputBuffer.store(inputBuffer, std::memory_order_release);
  } else {
    auto* ring = new CircularBuffer();
    circularBufferSetUp(ring, kInputBufferBytes);
    _ownsInputBuffer = true;
    _inputBuffer.store(ring, std::memory_order_release);
  }

  int error = OPUS_OK;
  _decoder =
      opus_decoder_create(static_cast<opus_int32>(_codecAudioDescription.mSampleRate),
                          static_cast<int>(_codecAudioDescription.mChannelsPerFrame), &error);
  if (error != OPUS_OK || !_decoder) {
    QUR_LOG_ERROR("Opus decoder init failed with %s(%d)", opus_strerror(error), error);
    _decoder = nullptr;
    return false;
  }

  _converterInputBufferList =
      audioBufferListCreateForFormat(_codecAudioDescription, kConverterBufferFrames);
  _converterOutputBufferList =
      audioBufferListCreateForFormat(_outputAudioDescription, kConverterBufferFrames);
  _converterOutputBufferListByteCapacity =
      kConverterBufferFrames * _outputAudioDescription.mBytesPerFrame;
  _formatConverter = PCMFormatConverter::create(_codecAudioDescription, _outputAudioDescription);
  if (!_formatConverter) return false;
  circularBufferSetUp(&_outputBuffer, kOutputBufferBytes);
  _realtimeThreadLogger = std::make_unique<RealtimeThreadLogger>();
  _realtimeLog = _realtimeThreadLogger->loggerBlock();
  // The receiver's "no session yet": audio of a transmission joined midway
  // and its end signal play, and the first counted session 0 follows it.
  _currentSessionNumber = 0xFFFFFFFFu;
  return true;
}

OpusDecoder::~OpusDecoder() {
  if (_decoder) opus_decoder_destroy(_decoder);
  circularBufferTearDown(&_outputBuffer);
  if (_converterInputBufferList) audioBufferListFree(_converterInputBufferList);
  if (_converterOutputBufferList) audioBufferListFree(_converterOutputBufferList);
  if (_ownsInputBuffer) {
    CircularBuffer* ring = _inputBuffer.load();
    circularBufferTearDown(ring);
    delete ring;
  }
}

bool OpusDecoder::isDrained() const {
  // Only the fill counts: the other fields belong to the ring's two ends.
  return circularBufferFillCount(inputBuffer()) == 0 &&
         circularBufferFillCount(&_outputBuffer) == 0 &&
         _playoutIdle.load(std::memory_order_acquire);
}

void OpusDecoder::enablePlayout(double ceilingSeconds) {
  if (!_playout) _playout = std::make_unique<PlayoutBuffer>(ceilingSeconds);
}

PlayoutStatistics OpusDecoder::playoutStatistics() const {
  return _playout ? _playout->statistics() : PlayoutStatistics{};
}

}  // namespace qur
