// fwrenew-inflate-ceiling ARCHIVE [OUTPUT-BUFFER-BYTES]: reads the whole archive into memory
// and inflates every deflated item with zlib (raw deflate into an output buffer of the given
// size, default 16384 as the reader's, output discarded); stored items are copied once through
// the same buffer. No CRC, no files: the ceiling for any extraction of the same archive with
// that buffer. Prints the number of bytes produced.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#include <zlib.h>

namespace {
uint32_t Le16(const uint8_t* p) {
    return p[0] | (p[1] << 8);
}
uint32_t Le32(const uint8_t* p) {
    return Le16(p) | (Le16(p + 2) << 16);
}
} // namespace

int main(int argc, char** argv) {
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: fwrenew-inflate-ceiling ARCHIVE [OUTPUT-BUFFER-BYTES]\n");
        return 2;
    }
    size_t outSize = argc == 3 ? std::strtoul(argv[2], nullptr, 10) : 16384;
    if (outSize < 1024) outSize = 1024;
    std::vector<uint8_t> outBuffer(outSize);
    uint8_t* out = outBuffer.data();
    std::FILE* f = std::fopen(argv[1], "rb");
    if (f == nullptr) return 2;
    std::fseek(f, 0, SEEK_END);
    std::vector<uint8_t> zip(static_cast<size_t>(std::ftell(f)));
    std::fseek(f, 0, SEEK_SET);
    if (std::fread(zip.data(), 1, zip.size(), f) != zip.size()) return 2;
    std::fclose(f);
    size_t end = zip.size() < 22 ? std::string::npos : zip.size() - 22;
    while (end != std::string::npos && Le32(&zip[end]) != 0x06054B50)
        end = end ? end - 1 : std::string::npos;
    if (end == std::string::npos) return 2;
    uint32_t count = Le16(&zip[end + 10]);
    size_t cd = Le32(&zip[end + 16]);
    uint64_t produced = 0;
    z_stream z{};
    inflateInit2(&z, -MAX_WBITS);
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* c = &zip[cd];
        uint32_t method = Le16(c + 10), csize = Le32(c + 20);
        size_t local = Le32(c + 42);
        cd += 46 + Le16(c + 28) + Le16(c + 30) + Le16(c + 32);
        const uint8_t* data = &zip[local + 30 + Le16(&zip[local + 26]) + Le16(&zip[local + 28])];
        if (method == 0) {
            for (uint32_t off = 0; off < csize; off += outSize) {
                uint32_t n = csize - off < outSize ? csize - off : outSize;
                std::memcpy(out, data + off, n);
                produced += n;
            }
            continue;
        }
        inflateReset(&z);
        z.next_in = const_cast<uint8_t*>(data);
        z.avail_in = csize;
        int r;
        do {
            z.next_out = out;
            z.avail_out = outSize;
            r = inflate(&z, Z_NO_FLUSH);
            produced += outSize - z.avail_out;
        } while (r == Z_OK);
        if (r != Z_STREAM_END) return 1;
    }
    inflateEnd(&z);
    std::printf("%llu\n", static_cast<unsigned long long>(produced));
    return 0;
}
