// Building, encoding and decoding wire messages (the generated QURWireMessage
// structures) with nanopb. The Opus bytes never live in the structure: field
// 15 is streamed by callbacks straight from the sending packet record into
// the output buffer, and from the input straight into the receive packet.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "wire/stream.h"
#include "wire/wire.pb.h"

namespace qur {

// Size of the sender's reusable encode buffer; no message may exceed it.
inline constexpr std::size_t kWireMessageBufferSize = 51200;
// Data capacity of the receiver's packet record; longer payloads are refused.
inline constexpr std::uint32_t kWireMessageReceiveCapacity = 102400;

// A zeroed message carrying the packet's four numbers and, through the
// payload callback, its data. The packet must outlive the encoding.
void wireMessageMakeOpusPayload(QURWireMessage* message, const OpusPacket* packet);

// A zeroed message carrying the status. Returns false (message left empty)
// for any value other than 0 and 1.
bool wireMessageMakeStreamStatus(QURWireMessage* message, int status);

// A zeroed message carrying the report, every field present.
void wireMessageMakeReceiverReport(QURWireMessage* message, const ReceiverReport& report);

// The report a decoded message carries; false (with why) when it has none or
// a figure is out of range.
bool wireMessageReceiverReport(const QURWireMessage& message, ReceiverReport* report,
                               std::string* error = nullptr);

// Encodes into buffer. Returns the byte count, or -1 when the message does not
// fit (error then says why).
std::ptrdiff_t wireMessageEncode(const QURWireMessage* message, std::uint8_t* buffer,
                                 std::size_t capacity, std::string* error = nullptr);

// Decodes one complete byte message into message, streaming the payload into
// packet, whose data area holds capacity bytes. The message is reset first
// (presence flags false, numbers 0); the packet's header is not touched except
// for dataLength. Returns false for malformed input or a payload beyond the
// capacity, with error saying why.
bool wireMessageDecode(ByteMessage bytes, QURWireMessage* message, OpusPacket* packet,
                       std::uint32_t capacity, std::string* error = nullptr);

}  // namespace qur
