// Reads length-prefixed frames (4-byte big-endian length, then the message)
// from a byte stream and hands each one to its delegate as one byte message.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "audio/run_loop_thread.h"
#include "wire/byte_stream.h"
#include "wire/stream.h"

namespace qur {

// The largest frame a reader accepts; longer frames are skipped.
inline constexpr std::uint32_t kLengthDelimitedMaxPayload = 51200;
inline constexpr std::chrono::milliseconds kLengthDelimitedPollInterval{10};

// Reassembles one frame at a time across as many partial reads as the stream
// needs: first the 4 length bytes, then the payload.
class LengthDelimitedInputStreamPacket {
 public:
  LengthDelimitedInputStreamPacket();
  LengthDelimitedInputStreamPacket(const LengthDelimitedInputStreamPacket&) = delete;
  LengthDelimitedInputStreamPacket& operator=(const LengthDelimitedInputStreamPacket&) = delete;

  void startWritingToBuffer(std::uint8_t* buffer, std::size_t expectedBytes);
  void startWritingToLength();
  void startWritingToPayloadWithExpectedLength(std::size_t expectedBytes);
  void resetState();

  bool isCurrentlyReadingLength() const { return _currentItemBuffer == _lengthBuffer; }
  bool isCompleted() const { return _payloadRead; }
  // Part of a frame has been read but not all of it.
  bool isInsideFrame() const;
  // The completed payload, valid until resetState.
  std::optional<ByteMessage> payloadData() const;

  // One read from the stream into the current item (and, once the length is
  // complete, at once another into the payload). Returns the bytes read, 0
  // when nothing was read (end of stream), -1 on a read error (logged).
  std::ptrdiff_t readFromStream(InputStream& stream);

 private:
  std::size_t _bytesOfCurrentItemRead = 0;
  std::size_t _bytesOfCurrentItemLeft = 0;
  std::uint8_t* _currentItemBuffer = nullptr;
  std::uint8_t* _currentItemPosition = nullptr;
  bool _lengthRead = false;
  std::uint8_t _lengthInNetworkEndianness[4] = {};
  std::uint8_t* const _lengthBuffer = _lengthInNetworkEndianness;
  const std::size_t _expectedLengthLength = 4;
  bool _payloadRead = false;
  std::unique_ptr<std::uint8_t[]> _payloadBuffer;
  std::uint32_t _payloadLength = 0;
  // Bytes of an oversized frame still to be read and thrown away.
  std::uint64_t _bytesToSkip = 0;
};

// Polls its stream on the shared run-loop thread. A poll keeps reading frame
// after frame (the stream's read waits for data) until the stream ends, fails,
// or polling is stopped; the next poll takes stopPolling and startPolling.
class LengthDelimitedInputStream : public StreamSource {
 public:
  // The stream is opened by the caller.
  explicit LengthDelimitedInputStream(std::shared_ptr<InputStream> inputStream);
  // Stops polling. A poll blocked in a read finishes once that read returns,
  // without delivering anything more; close the stream to end it at once.
  ~LengthDelimitedInputStream() override;
  LengthDelimitedInputStream(const LengthDelimitedInputStream&) = delete;
  LengthDelimitedInputStream& operator=(const LengthDelimitedInputStream&) = delete;

  // Arranges one poll 10 ms from now, unless a poll timer already exists.
  void startPolling();
  // Drops the poll timer; a poll in progress ends after its current read.
  void stopPolling();
  // The reading loop; runs on the calling thread. Returns at once when
  // another poll is already reading.
  void pollStream();

  std::shared_ptr<StreamSourceDelegate> delegate() const override;
  void setDelegate(std::weak_ptr<StreamSourceDelegate> delegate) override;

  std::uint64_t bytesReadTotal() const;
  const std::shared_ptr<InputStream>& inputStream() const;

 private:
  struct Core;
  std::shared_ptr<Core> _core;
};

}  // namespace qur
