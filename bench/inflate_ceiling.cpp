// fwrenew-inflate-ceiling ARCHIVE: reads the whole archive into memory and inflates every
// deflated item with zlib (raw deflate, 64 KiB output buffer, output discarded); stored items
// are copied once. No CRC, no files: the ceiling for any extraction of the same archive.
// Prints the number of bytes produced.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>
#include <zlib.h>

namespace {
uint32_t Le16(const uint8_t* p) { return p[0] | (p[1] << 8); }
uint32_t Le32(const uint8_t* p) { return Le16(p) | (Le16(p + 2) << 16); }
} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fwrenew-inflate-ceiling ARCHIVE\n");
        return 2;
    }
    std::FILE* f = std::fopen(argv[1], "rb");
    if (f == nullptr) return 2;
    std::fseek(f, 0, SEEK_END);
    std::vector<uint8_t> zip(static_cast<size_t>(std::ftell(f)));
    std::fseek(f, 0, SEEK_SET);
    if (std::fread(zip.data(), 1, zip.size(), f) != zip.size()) return 2;
    std::fclose(f);
    size_t end = zip.size() < 22 ? std::string::npos : zip.size() - 22;
    while (end != std::string::npos && Le32(&zip[end]) != 0x06054B50) end = end ? end - 1 : std::string::npos;
    if (end == std::string::npos) return 2;
    uint32_t count = Le16(&zip[end + 10]);
    size_t cd = Le32(&zip[end + 16]);
    static uint8_t out[65536];
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
            for (uint32_t off = 0; off < csize; off += sizeof out) {
                uint32_t n = csize - off < sizeof out ? csize - off : sizeof out;
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
            z.avail_out = sizeof out;
            r = inflate(&z, Z_NO_FLUSH);
            produced += sizeof out - z.avail_out;
        } while (r == Z_OK);
        if (r != Z_STREAM_END) return 1;
    }
    inflateEnd(&z);
    std::printf("%llu\n", static_cast<unsigned long long>(produced));
    return 0;
}
