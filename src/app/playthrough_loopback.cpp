#include "app/playthrough_loopback.h"

#include "app/opus_stream_receiver.h"
#include "app/opus_streamer.h"
#include "audio/engine/audio_engine.h"
#include "audio/media_reader.h"
#include "audio/opus_decoder.h"
#include "audio/opus_encoder.h"
#include "audio/sound_resources.h"
#include "log/log.h"
#include "wire/playthrough_message_sink.h"
#include "wire/wire_message_stream.h"

namespace qur {

std::unique_ptr<OpusPlaythroughStream> OpusPlaythroughStream::create(
    std::shared_ptr<AudioEngine> engine) {
  const AudioStreamBasicDescription beepFormat = codecAudioDescription();
  const std::string path = soundResourcePath("beep", "caf");
  if (path.empty()) {
    QUR_LOG_ERROR("Sound \"beep\" not found: %s", soundResourceLocation("beep").c_str());
    return nullptr;
  }
  AudioBufferListPtr beep(MediaReader::createRawPCMOfAssetAtURL(path, &beepFormat));
  if (!beep) return nullptr;
  // Without an engine the chain is built for an all-zero format, as the
  // described chain does; no converter can work with that, so creation fails.
  const AudioStreamBasicDescription format =
      engine ? engine->audioDescription() : AudioStreamBasicDescription{};
  return create(std::move(engine), format, std::move(beep));
}

std::unique_ptr<OpusPlaythroughStream> OpusPlaythroughStream::create(
    std::shared_ptr<AudioEngine> engine, const AudioStreamBasicDescription& format,
    AudioBufferListPtr startSound) {
  if (!startSound) return nullptr;
  std::unique_ptr<OpusPlaythroughStream> stream(new OpusPlaythroughStream());
  stream->_audioController = std::move(engine);
  stream->_playthroughMessageSink = std::make_shared<PlaythroughMessageSink>();

  stream->_receivingBeeps = ReceivingBeeps::fromSound(std::move(startSound), kBeepGain);
  if (!stream->_receivingBeeps.end) return nullptr;

  if (!stream->_sendChain.setUp(format, stream->_playthroughMessageSink)) return nullptr;

  stream->_wireMessageSource = std::make_shared<WireMessageStreamSource>();
  stream->_playthroughMessageSink->setDelegate(stream->_wireMessageSource);

  stream->_opusDecoder = OpusDecoder::create(format);
  if (!stream->_opusDecoder) return nullptr;
  stream->_streamReceiver = OpusStreamReceiver::create(
      stream->_opusDecoder, stream->_wireMessageSource, stream->_receivingBeeps.start.get(),
      stream->_receivingBeeps.end.get());
  return stream;
}

OpusPlaythroughStream::~OpusPlaythroughStream() {
  // The encoder's poll thread may still be draining into the chain; stop it
  // before the sounds the receiver points at go away.
  _sendChain.reset();
}

}  // namespace qur
