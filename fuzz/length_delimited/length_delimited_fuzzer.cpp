// An arbitrary byte stream into the length-delimited reader, feeding a wire
// message source. The first byte picks how many bytes each read may return,
// so the same frames are also cut at every possible place.
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "wire/length_delimited_input_stream.h"
#include "wire/wire_message_stream.h"

namespace {

class Counter : public qur::StreamSourceDelegate {
 public:
  void gotMessage(qur::ByteMessage message) override {
    if (message.size() > qur::kLengthDelimitedMaxPayload) std::abort();
    ++messages;
    bytes += message.size();
    source->gotMessage(message);
  }
  std::shared_ptr<qur::WireMessageStreamSource> source =
      std::make_shared<qur::WireMessageStreamSource>();
  std::size_t messages = 0;
  std::size_t bytes = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t readLimit = data[0] % 17;  // 0: no limit
  auto stream = std::make_shared<qur::MemoryInputStream>(data + 1, size - 1, readLimit);
  stream->open();
  qur::LengthDelimitedInputStream reader(stream);
  auto counter = std::make_shared<Counter>();
  reader.setDelegate(counter);
  reader.pollStream();
  // The reader runs to the end of the stream, and frames never hold more
  // than the stream carried.
  if (reader.bytesReadTotal() != size - 1) std::abort();
  if (counter->bytes + 4 * counter->messages > size - 1) std::abort();
  if (stream->streamStatus() != qur::StreamState::AtEnd) std::abort();
  return 0;
}
