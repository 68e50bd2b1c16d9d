// checker.exe <mix-seed>: reads a PCM stream from standard input and compares every byte with
// what the simulated engine's mix of that seed delivers, packet after packet. Prints the bytes
// verified and the offset of the first difference (-1 for none); exits 1 on a difference.
#include "../sim_audio/packet_source.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <io.h>
#include <vector>

int main(int argc, char* argv[]) {
    _setmode(_fileno(stdin), _O_BINARY);
    const uint64_t seed = argc > 1 ? strtoull(argv[1], nullptr, 0) : 0;
    std::vector<unsigned char> input(1 << 20);
    uint64_t verified = 0;
    uint64_t index = 0, packetOffset = 0;
    MixPacket packet = MixPacketAt(seed, 0);
    for (;;) {
        const size_t got = fread(input.data(), 1, input.size(), stdin);
        if (got == 0) {
            break;
        }
        for (size_t i = 0; i < got; ++i) {
            while (packetOffset == BytesWritten(packet)) {
                packet = MixPacketAt(seed, ++index);
                packetOffset = 0;
            }
            const unsigned char expected = packet.kind == PacketKind::Data
                                               ? SampleByte(static_cast<uint32_t>(index + 1),
                                                            static_cast<uint32_t>(packetOffset))
                                               : 0;
            if (input[i] != expected) {
                printf("verified %llu first_difference %llu packet %llu\n",
                       static_cast<unsigned long long>(verified),
                       static_cast<unsigned long long>(verified),
                       static_cast<unsigned long long>(index));
                return 1;
            }
            ++packetOffset;
            ++verified;
        }
    }
    printf("verified %llu first_difference -1 packets %llu\n",
           static_cast<unsigned long long>(verified), static_cast<unsigned long long>(index));
    return 0;
}
