// What the simulated engine delivers, shared with the soak's checker so that both derive the
// same bytes from the same script without exchanging them.
#pragma once

#include <cstdint>

enum class PacketKind { Data, Silent, SilentNull, Null, Empty };

// The bytes of a data packet: a hash of its seed and byte index, so that line-end bytes occur
// and a lost, repeated or reordered packet shows.
inline uint8_t SampleByte(uint32_t seed, uint32_t index) {
    uint32_t x = seed * 2654435761u + index * 40503u;
    x ^= x >> 15;
    x *= 2246822519u;
    x ^= x >> 13;
    return static_cast<uint8_t>(x);
}

// A packet of a seeded random mix: mostly 10 ms of data, some of other sizes, silent packets
// with and without a buffer, empty ones, and now and then a failing size query or GetBuffer.
struct MixPacket {
    uint32_t frames;
    PacketKind kind;
    bool failSize, failBuffer;
};

inline uint64_t Scramble(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

inline MixPacket MixPacketAt(uint64_t seed, uint64_t index) {
    const uint64_t r = Scramble(Scramble(seed) ^ index);
    const unsigned roll = static_cast<unsigned>(r % 1000);
    const uint32_t frames = (r >> 20) % 4 == 0 ? 1 + static_cast<uint32_t>((r >> 24) % 2048) : 480;
    MixPacket packet = {frames, PacketKind::Data, false, false};
    if (roll < 80) {
        packet.kind = PacketKind::Silent;
    } else if (roll < 100) {
        packet.kind = PacketKind::SilentNull;
    } else if (roll < 120) {
        packet.kind = PacketKind::Empty;
    } else if (roll < 125) {
        packet.kind = PacketKind::Null;
    }
    packet.failSize = roll >= 990 && roll < 995;
    packet.failBuffer = roll >= 995;
    return packet;
}

// The bytes the pump must write for a packet: data as delivered, silence as zeros, nothing
// for a packet without data.
inline uint64_t BytesWritten(const MixPacket& packet) {
    return packet.kind == PacketKind::Null || packet.kind == PacketKind::Empty
               ? 0
               : static_cast<uint64_t>(packet.frames) * 8;
}
