#pragma once
// Deterministic frame payloads served by the app simulator, and the check that
// lets a receiver prove it got every byte of every frame in order.
//
// Layout of the frame with sequence number `seq` and `size` bytes:
//   size >= 8: bytes 0-7 hold `seq`, little-endian; every byte i >= 8 (the
//              filler) is (f * 31 + i) & 0xff, where f is the XOR of the eight
//              bytes of `seq` (so f == seq for seq < 256, and damage to any one
//              byte of the number changes the filler it must match).
//   size 1-7:  there is no room for the sequence number; every byte i is
//              (seq * 31 + i) & 0xff, so such a frame identifies its sequence
//              number only modulo 256 (31 is odd, hence invertible mod 256).
//   A frame of 1 or of exactly 8 bytes has no filler to check: every value is
//   valid, and damage to it shows only as a different sequence number.
//   size 0:    not a frame; VerifyFrame rejects it.
// The filler depends on the sequence number, so a frame delivered with another
// frame's body, shifted or with a byte flipped fails the check. A prefix of a
// frame is itself a valid (shorter) frame: receivers compare the size they got
// with the size they expected.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kvx_sim {

// Bytes at the start of a frame that carry the sequence number.
constexpr size_t kFrameSequenceBytes = 8;

// Writes the frame `seq` of `size` bytes into `data` (which holds `size` bytes).
// Fast enough for frames of tens of megabytes (the filler repeats every 256
// bytes and is copied in doubling blocks).
void FillFrame(uint64_t seq, uint8_t* data, size_t size);

// The same, as a new vector.
std::vector<uint8_t> MakeFrame(uint64_t seq, size_t size);

// True when `data` is exactly a frame of the layout above. `seq` (may be null)
// receives the frame's sequence number: the full value for frames of 8 bytes or
// more, the value modulo 256 for shorter frames; 0 when the check fails.
bool VerifyFrame(const uint8_t* data, size_t size, uint64_t* seq);

}  // namespace kvx_sim
