#include "wire/length_delimited_output_stream.h"

#include <cstring>
#include <limits>

#include "log/log.h"

namespace qur {

LengthDelimitedOutputStream::LengthDelimitedOutputStream(std::shared_ptr<OutputStream> outputStream)
    : _outputStream(std::move(outputStream)) {
  circularBufferSetUp(&_streamBuffer, kLengthDelimitedOutputBufferSize);
  _bufferFlushTimer =
      RunLoopTimer::create(kLengthDelimitedFlushInterval, true, [this] { flushBuffer(); });
  _bufferFlushThread = std::make_unique<RunLoopThread>();
  _bufferFlushThread->setName("QURLengthDelimitedOutputStreamFlush");
  _bufferFlushThread->start();
  _bufferFlushThread->attachTimer(_bufferFlushTimer);
}

LengthDelimitedOutputStream::~LengthDelimitedOutputStream() {
  _bufferFlushTimer->invalidate();
  _bufferFlushThread.reset();  // joins: no flush runs past this point
  // Whatever the sender queued last (typically the stopped status) would
  // otherwise be lost with the ring.
  flushBuffer();
  circularBufferTearDown(&_streamBuffer);
}

bool LengthDelimitedOutputStream::writeMessage(ByteMessage message) {
  std::int32_t freeBytes = 0;
  auto* head = static_cast<std::uint8_t*>(circularBufferWritePointer(&_streamBuffer, &freeBytes));
  if (message.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max() - 4) ||
      head == nullptr || static_cast<std::size_t>(freeBytes) < message.size() + 4) {
    QUR_LOG_ERROR("OH NOES! Buffer full!");
    return false;
  }
  const auto length = static_cast<std::uint32_t>(message.size());
  head[0] = static_cast<std::uint8_t>(length >> 24);
  head[1] = static_cast<std::uint8_t>(length >> 16);
  head[2] = static_cast<std::uint8_t>(length >> 8);
  head[3] = static_cast<std::uint8_t>(length);
  if (length > 0) std::memcpy(head + 4, message.data(), length);
  circularBufferProduce(&_streamBuffer, static_cast<std::int32_t>(length + 4));
  return true;
}

void LengthDelimitedOutputStream::flushBuffer() {
  std::int32_t queued = 0;
  const auto* tail =
      static_cast<const std::uint8_t*>(circularBufferReadPointer(&_streamBuffer, &queued));
  if (tail == nullptr || queued == 0 || !_outputStream) return;

  std::int32_t written = 0;
  while (written < queued) {
    const std::ptrdiff_t n =
        _outputStream->write(tail + written, static_cast<std::size_t>(queued - written));
    if (n < 0) {
      if (!_writeFailing) {
        QUR_LOG_ERROR("Writing got error %s status %d", _outputStream->streamError().c_str(),
                      static_cast<int>(_outputStream->streamStatus()));
      }
      _writeFailing = true;
      break;
    }
    _writeFailing = false;
    if (n == 0) break;
    written += static_cast<std::int32_t>(n);
  }
  if (written > 0) circularBufferConsume(&_streamBuffer, written);
}

}  // namespace qur
