#include "ui/microphone_test.h"

#include "app/playthrough_loopback.h"
#include "audio/engine/audio_engine.h"
#include "audio/opus_decoder.h"
#include "audio/opus_encoder.h"

namespace qur {

MicrophoneTest::MicrophoneTest(std::shared_ptr<AudioEngine> engine) : _engine(std::move(engine)) {}

MicrophoneTest::~MicrophoneTest() {
  stop();
}

bool MicrophoneTest::start() {
  if (_stream) return true;
  if (!_engine) return false;
  auto stream = OpusPlaythroughStream::create(_engine);
  if (!stream) return false;
  _engine->addInputReceiver(stream->opusEncoder());
  _engine->addChannels({stream->opusDecoder()});
  stream->opusEncoder()->startEncoding();
  _stream = std::move(stream);
  return true;
}

void MicrophoneTest::stop() {
  if (!_stream) return;
  // Stopping first sends the end beep's status down the chain.
  if (_stream->opusEncoder()->isEncoding()) _stream->opusEncoder()->stopEncoding();
  _engine->removeInputReceiver(_stream->opusEncoder());
  _engine->removeChannels({_stream->opusDecoder()});
  _stream.reset();
}

}  // namespace qur
