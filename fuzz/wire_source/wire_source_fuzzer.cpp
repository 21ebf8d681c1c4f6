// Arbitrary bytes as one received wire message. Whatever the source accepts
// must survive being sent again: a delivered packet, status or receiver
// report is re-encoded by our sink and must decode to the same values.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "wire/playthrough_message_sink.h"
#include "wire/wire_message_stream.h"

namespace {

using qur::OpusPacket;
using qur::WireMessageStreamSource;

struct Heard {
  bool packet = false;
  int status = -1;
  std::uint32_t numbers[4] = {};
  std::vector<std::uint8_t> data;
  bool reported = false;
  qur::ReceiverReport report;
  bool operator==(const Heard& o) const {
    return packet == o.packet && status == o.status &&
           std::memcmp(numbers, o.numbers, sizeof numbers) == 0 && data == o.data &&
           reported == o.reported && report == o.report;
  }
};

class Listener : public qur::WireMessageStreamDelegate {
 public:
  void wireMessageStreamReceivedOpusPacket(WireMessageStreamSource&,
                                           const OpusPacket* packet) override {
    if (packet->dataLength > qur::kWireMessageReceiveCapacity) std::abort();
    if (packet->kind != qur::OpusPacketKind::Audio || packet->audioBufferList) std::abort();
    heard.packet = true;
    heard.numbers[0] = packet->frameCount;
    heard.numbers[1] = packet->timestamp;
    heard.numbers[2] = packet->sessionNumber;
    heard.numbers[3] = packet->packetNumber;
    heard.data.assign(packet->data, packet->data + packet->dataLength);
    last = packet;
  }
  void wireMessageStreamReceivedStreamStatus(WireMessageStreamSource&, int status) override {
    if (status != 0 && status != 1) std::abort();
    heard.status = status;
  }
  void wireMessageStreamReceivedReceiverReport(WireMessageStreamSource&,
                                               const qur::ReceiverReport& report) override {
    if (report.lossPermille > 1000) std::abort();
    heard.reported = true;
    heard.report = report;
  }
  Heard heard;
  const OpusPacket* last = nullptr;
};

struct Harness {
  Harness() {
    source.setDelegate(listener);
    echoSource->setDelegate(echoListener);
    loopback->setDelegate(echoSource);
    source.statusSignal().subscribeNext([this](const int& s) {
      if (s != listener->heard.status) std::abort();
    });
  }
  WireMessageStreamSource source;
  std::shared_ptr<Listener> listener = std::make_shared<Listener>();
  std::shared_ptr<qur::PlaythroughMessageSink> loopback =
      std::make_shared<qur::PlaythroughMessageSink>();
  std::shared_ptr<WireMessageStreamSource> echoSource = std::make_shared<WireMessageStreamSource>();
  std::shared_ptr<Listener> echoListener = std::make_shared<Listener>();
  qur::WireMessageStreamSink echoSink{loopback};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Harness* h = new Harness;
  h->listener->heard = Heard{};
  h->echoListener->heard = Heard{};
  h->source.gotMessage(qur::ByteMessage(data, size));

  const Heard& heard = h->listener->heard;
  if (heard.packet) {
    // Re-send what was heard; payloads our encoder cannot fit are refused.
    qur::OpusPacketPtr packet = qur::makeOpusPacket(static_cast<std::uint32_t>(heard.data.size()));
    packet->frameCount = heard.numbers[0];
    packet->timestamp = heard.numbers[1];
    packet->sessionNumber = heard.numbers[2];
    packet->packetNumber = heard.numbers[3];
    packet->dataLength = static_cast<std::uint32_t>(heard.data.size());
    if (!heard.data.empty()) std::memcpy(packet->data, heard.data.data(), heard.data.size());
    const bool fits = heard.data.size() + 32 <= qur::kWireMessageBufferSize;
    const bool sent = h->echoSink.sendOpusPayload(packet.get());
    if (fits && !sent) std::abort();
    if (sent && !(h->echoListener->heard == heard)) std::abort();
  } else if (heard.status >= 0) {
    if (!h->echoSink.sendStreamStatus(heard.status)) std::abort();
    if (!(h->echoListener->heard == heard)) std::abort();
  } else if (heard.reported) {
    // A report that was accepted goes out again as the same figures.
    if (!h->echoSink.sendReceiverReport(heard.report)) std::abort();
    if (!(h->echoListener->heard == heard)) std::abort();
  }
  return 0;
}
