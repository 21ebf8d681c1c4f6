// Whether an Opus packet carries a low-bitrate copy of the frame before it
// (in-band forward error correction), read from its first bits without
// decoding it. Pure function of outside bytes: any input is safe.
#pragma once

#include <cstdint>

namespace qur {

// Audio thread safe (no allocation, lock or system call). False for packets
// in the music mode, which carries no such copy, and for malformed ones.
bool opusPacketCarriesRedundancy(const std::uint8_t* data, std::uint32_t length);

}  // namespace qur
