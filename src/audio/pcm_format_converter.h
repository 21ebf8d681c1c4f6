// Linear PCM conversion (sample rate, and where needed sample type, channel
// count and interleaving) in a push-then-pull fashion suited to the audio
// thread: the owner feeds input buffers as they come, asks how many output
// frames can be had and fetches exactly the number it wants. Input waits in
// a ring of audio records; when the resampler wants more input than was fed,
// it is given silence, so a fetch always delivers the requested frames.
//
// Formats: linear PCM, packed, native endian, signed 16-bit integer or 32-bit
// float samples, interleaved or one buffer per channel, at any rates. Channel
// counts must match, or one side must be mono (mono is copied to every
// channel; several channels are averaged into mono).
//
// One user thread at a time; no locking inside. After construction nothing
// allocates: every function below may run on the audio thread.
#pragma once

#include <memory>
#include <vector>

#include "audio/audio_types.h"
#include "audio/circular_buffer.h"

struct soxr;

namespace qur {

// Status codes, printed like the platform's as four characters.
inline constexpr OSStatus kPCMFormatConverterErrFormatNotSupported = 0x666D743F;  // 'fmt?'
inline constexpr OSStatus kPCMFormatConverterErrResampler = 0x72736D70;           // 'rsmp'
inline constexpr OSStatus kPCMFormatConverterErrBadBufferList = -50;              // paramErr

class PCMFormatConverter {
 public:
  static constexpr UInt32 kConverterBufferBytes = 262144;
  static constexpr UInt32 kScratchFrames = 32768;

  // Null, after logging, when the formats cannot be converted; *status then
  // holds the reason.
  static std::unique_ptr<PCMFormatConverter> create(const AudioStreamBasicDescription& inputFormat,
                                                    const AudioStreamBasicDescription& outputFormat,
                                                    OSStatus* status = nullptr);
  ~PCMFormatConverter();
  PCMFormatConverter(const PCMFormatConverter&) = delete;
  PCMFormatConverter& operator=(const PCMFormatConverter&) = delete;

  // Stores every byte of every buffer with the timestamp (zero when null).
  // The input is lost when the ring is full or the list does not have the
  // input format's buffer count.
  void feedSamplesFromAudioBufferList(const AudioBufferList* list, const AudioTimeStamp* timestamp);
  // Output frames that can be fetched without the resampler running out of
  // fed input: what all input makes, less the resampler's look-ahead.
  UInt32 availableOutputSamples();
  // Output frames all fed input makes that have not been fetched yet: the
  // stored input, and what the resampler has read but not yet delivered.
  // Fetching them drains the resampler, padding its look-ahead with silence.
  UInt32 allAvailableOutputSamples();
  // Fills frameCount frames into list (buffer sizes set to their capacity by
  // the caller; they come back holding the bytes produced). A list smaller
  // than frameCount receives what fits.
  OSStatus fetchIntoAudioBufferList(AudioBufferList* list, UInt32 frameCount);
  // Fetches the full estimate; *frameCount receives the frames produced.
  OSStatus fetchAll(AudioBufferList* list, UInt32* frameCount);
  // Drops stored input and the resampler's history and look-ahead.
  void reset();
  // Timestamp of the input frame the next fetched output frame comes from,
  // counting input the resampler has read but not yet delivered. False (and
  // a zeroed timestamp) when no fed input is waiting.
  bool nextInputTimestamp(AudioTimeStamp* timestamp);
  // Output frames the resampler needs to have been fed beyond those it is
  // asked for: the gap between the two estimates. Measured, not assumed.
  double lookAheadFrames() const { return _lookAhead; }

  const AudioStreamBasicDescription& inputFormat() const { return _inputFormat; }
  const AudioStreamBasicDescription& outputFormat() const { return _outputFormat; }
  float sampleRateRatio() const { return _sampleRateRatio; }

 private:
  PCMFormatConverter() = default;
  OSStatus setUp();
  OSStatus pull(void* const* outputs, UInt32 frames, UInt32* produced);
  void flushResampler();
  void dropOwedSilence();
  double owedOutputFrames() const;
  double owedRealOutputFrames() const;
  static std::size_t inputProcedure(void* state, const void** data, std::size_t requested);

  UInt32 _silenceChunkFrames = kScratchFrames;  // silence handed out per request
  // Largest delay (output frames) seen when the resampler asked for input:
  // it cannot deliver output that close to the end of what it has read.
  double _lookAhead = 0;
  // Output frames of silence the resampler still owes from a flush; dropped
  // before the next fetch so fresh input starts at once.
  UInt32 _skipFrames = 0;
  // Input frames handed to the resampler in all, and the count they are
  // rounded up to when flushing (0: rates without a small common grid), so
  // that every flush leaves it at the same sub-frame phase.
  UInt64 _taken = 0;
  UInt32 _alignFrames = 0;
  bool _flushing = false;
  // Time of the frame after the last real input handed to the resampler,
  // and the input frames of silence it has been handed since.
  AudioTimeStamp _afterTaken{};
  double _trailingSilence = 0;

  AudioStreamBasicDescription _inputFormat{};
  AudioStreamBasicDescription _outputFormat{};
  float _sampleRateRatio = 0;
  soxr* _converter = nullptr;
  CircularBuffer _converterBuffer;
  AudioBufferList* _converterInputBuffer = nullptr;
  std::vector<std::uint8_t> _silenceBuffer;
  UInt32 _converterInputBufferCapacity = 0;

  // Shape of what the resampler sees.
  UInt32 _resamplerChannels = 0;
  bool _downmix = false;                    // several input channels averaged into mono
  bool _upmix = false;                      // mono output copied to every output channel
  std::vector<const void*> _inputPointers;  // per-channel pointers handed to the resampler
  std::vector<void*> _outputBase;           // per-channel start of the fetch's list
  std::vector<void*> _primeBase;            // per-channel start of _primeOutput
  std::vector<float> _monoInput;            // downmixed input
  bool _splitOutput = false;
  std::vector<std::uint8_t> _outputScratch;  // interleaved (or mono) output before splitting
  std::vector<std::uint8_t> _primeOutput;    // output sink while flushing
};

// Audio-thread twins of the methods.
void pcmFormatConverterFeed(PCMFormatConverter* converter, const AudioBufferList* list,
                            const AudioTimeStamp* timestamp);
UInt32 pcmFormatConverterAvailableOutputSamples(PCMFormatConverter* converter);
UInt32 pcmFormatConverterAllAvailableOutputSamples(PCMFormatConverter* converter);
OSStatus pcmFormatConverterFetch(PCMFormatConverter* converter, AudioBufferList* list,
                                 UInt32 frameCount);
OSStatus pcmFormatConverterFetchAll(PCMFormatConverter* converter, AudioBufferList* list,
                                    UInt32* frameCount);
void pcmFormatConverterReset(PCMFormatConverter* converter);
bool pcmFormatConverterNextInputTimestamp(PCMFormatConverter* converter, AudioTimeStamp* timestamp);

}  // namespace qur
