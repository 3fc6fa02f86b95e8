// The package archive reader. The archive is reached only through the platform's file calls:
// the central directory is stepped through record by record (no index is built), item data is
// read through one 16384-byte buffer per open item and delivered through the reader's
// 16384-byte extraction buffer.
#include "package/archive.h"

#include "base/bytes.h"
#include "base/format.h"
#include "base/text.h"
#include "platform/files.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <zlib.h>

namespace {

constexpr uint32_t kBufferSize = 16384;
constexpr uint32_t kPathUnits = 260;
constexpr uint32_t kNameBytes = 260;
constexpr uint32_t kEndRecordSize = 22;
constexpr uint32_t kCentralRecordSize = 46;
constexpr uint32_t kLocalHeaderSize = 30;
constexpr uint32_t kEndSearchWindow = 1028;
// The end record sits at most its own size plus the longest comment from the end of the file.
constexpr uint32_t kEndSearchReach = 0xFFFF + kEndRecordSize;
constexpr uint32_t kCentralSignature = 0x02014B50;
constexpr uint32_t kLocalSignature = 0x04034B50;
constexpr uint16_t kFlagEncrypted = 0x1;
constexpr uint16_t kFlagDataDescriptor = 0x8;
constexpr uint64_t kUnixEpochAsFileTime = 116444736000000000ull;

ArchiveResult g_lastResult = ARC_OK;

ArchiveResult Done(ArchiveResult code) {
    g_lastResult = code;
    return code;
}

// The archive file.
struct Source {
    bool isFile;
    bool canSeek;
    PlatHandle file;
    bool readError;
    int64_t startOffset; // file position at open; every seek adds it
    bool ownsHandle;
};

// The open data stream of one item.
struct ItemStream {
    uint8_t* readBuffer;  // the reader's, reused for every item
    z_stream* inflater;   // the reader's, reset for every deflated item
    uint64_t nextReadPos; // offset of the next compressed byte, within the archive
    uint32_t compressedLeft;
    uint32_t uncompressedLeft;
    uint32_t crc;
    uint32_t expectedCrc;
    uint16_t method;
    Source* source;
    int64_t bytesBefore;
    bool encrypted;
    uint32_t keys[3];
    uint32_t headerLeft; // encryption header bytes still to consume
    uint8_t checkByte;
    const uint8_t* in; // unconsumed bytes in readBuffer
    uint32_t inLeft;
};

struct CentralRecord {
    uint16_t versionMadeBy, versionNeeded, flags, method;
    uint32_t dosDateTime, crc, compressedSize, uncompressedSize;
    uint16_t nameLength, extraLength, commentLength, diskStart, internalAttributes;
    uint32_t externalAttributes, localHeaderOffset;
};

constexpr uint32_t kExtraAhead = 256;

struct LocalPlace {
    uint64_t extraStart;
    uint16_t extraLength;
    uint64_t dataStart;
    bool extraRead; // the extra field came with the header into extra
    uint8_t extra[kExtraAhead];
};

struct ItemSpan {
    uint32_t offset;
    uint32_t index;
};

struct ArchiveState {
    Source source;
    uint32_t itemCount;
    uint32_t commentLength;
    int64_t bytesBefore;
    uint32_t currentItem;
    uint64_t currentRecordOffset;
    bool currentValid;
    int64_t endRecordPos;
    uint32_t centralSize;
    uint32_t centralOffset;
    CentralRecord cur;
    ItemStream* stream;
    // One read buffer and one inflate state serve every item of the archive in turn (at most
    // one item stream is open at a time).
    uint8_t* streamBuffer;
    z_stream inflater;
    bool inflaterReady;
    // Every item's local header offset with its index, sorted by offset then index: an item
    // whose offset a lower index already uses, or whose data reaches the next item's local
    // header or the central directory, is refused. spanCount items were readable at open.
    ItemSpan* spans;
    uint32_t spanCount;
    // The local header of the item last built, so that opening its stream need not read it
    // again (the file is locked against writers while open).
    bool placeValid;
    uint32_t placeItem;
    LocalPlace place;
    // The current record's stored name (terminated when shorter than the buffer), read with it.
    uint8_t curName[kNameBytes];
};

// Reads exactly size bytes at pos, in one call where the file can seek.
bool ReadAt(Source* s, int64_t pos, void* buffer, uint32_t size) {
    if (!s->canSeek || pos < 0) return false;
    uint32_t done = 0;
    if (!PlatFileReadAt(s->file, s->startOffset + pos, buffer, size, &done) || done != size) {
        s->readError = true;
        return false;
    }
    return true;
}

// Reads up to size bytes at pos in one call; *done receives how many there were.
bool ReadUpTo(Source* s, int64_t pos, void* buffer, uint32_t size, uint32_t* done) {
    *done = 0;
    if (!s->canSeek || pos < 0) return false;
    if (!PlatFileReadAt(s->file, s->startOffset + pos, buffer, size, done)) {
        s->readError = true;
        return false;
    }
    return true;
}

// Searches backwards from the end of the file for the end-of-central-directory signature, in
// windows of 1028 bytes that overlap by 4. Returns its position, or -1.
int64_t FindEndRecord(Source* s) {
    int64_t size = PlatFileSeek(s->file, 0, PLAT_SEEK_END);
    if (size < 0) return -1;
    size -= s->startOffset;
    if (size < 0) return -1;
    uint32_t maxBack = size < kEndSearchReach ? static_cast<uint32_t>(size) : kEndSearchReach;
    uint8_t window[kEndSearchWindow];
    uint32_t back = 4;
    while (back < maxBack) {
        back = back + 1024 < maxBack ? back + 1024 : maxBack;
        int64_t start = size - back;
        uint32_t len = back < kEndSearchWindow ? back : kEndSearchWindow;
        if (!ReadAt(s, start, window, len)) return -1;
        for (int32_t i = static_cast<int32_t>(len) - 4; i >= 0; --i)
            if (window[i] == 0x50 && window[i + 1] == 0x4B && window[i + 2] == 0x05 &&
                window[i + 3] == 0x06)
                return start + i;
    }
    return -1;
}

// Reads the central record at the current offset with its name. A wrong signature or a short
// read marks the current item invalid.
bool ReadCentral(ArchiveState* a) {
    // The record and the name that follows it come in one read.
    uint8_t r[kCentralRecordSize + kNameBytes];
    a->currentValid = false;
    uint32_t got = 0;
    if (!ReadUpTo(&a->source, a->bytesBefore + static_cast<int64_t>(a->currentRecordOffset), r,
                  sizeof r, &got) ||
        got < kCentralRecordSize)
        return false;
    if (Le32(r) != kCentralSignature) return false;
    CentralRecord& c = a->cur;
    c.versionMadeBy = Le16(r + 4);
    c.versionNeeded = Le16(r + 6);
    c.flags = Le16(r + 8);
    c.method = Le16(r + 10);
    c.dosDateTime = Le32(r + 12);
    c.crc = Le32(r + 16);
    c.compressedSize = Le32(r + 20);
    c.uncompressedSize = Le32(r + 24);
    c.nameLength = Le16(r + 28);
    c.extraLength = Le16(r + 30);
    c.commentLength = Le16(r + 32);
    c.diskStart = Le16(r + 34);
    c.internalAttributes = Le16(r + 36);
    c.externalAttributes = Le32(r + 38);
    c.localHeaderOffset = Le32(r + 42);
    uint32_t n = c.nameLength < kNameBytes ? c.nameLength : kNameBytes;
    if (got < kCentralRecordSize + n) return false;
    std::memcpy(a->curName, r + kCentralRecordSize, n);
    if (n < kNameBytes) a->curName[n] = 0;
    a->currentValid = true;
    return true;
}

void GoToFirst(ArchiveState* a) {
    a->currentItem = 0;
    a->currentRecordOffset = a->centralOffset;
    ReadCentral(a);
}

// Steps through the central directory to index. A record that cannot be read ends the walk.
bool WalkTo(ArchiveState* a, uint32_t index) {
    if (index < a->currentItem) GoToFirst(a);
    while (a->currentItem < index) {
        if (!a->currentValid || a->currentItem + 1 >= a->itemCount) return false;
        a->currentRecordOffset +=
            kCentralRecordSize + a->cur.nameLength + a->cur.extraLength + a->cur.commentLength;
        ++a->currentItem;
        ReadCentral(a);
    }
    return a->currentValid;
}

// Reads every central record once, as the walk would step through them, and sorts the local
// header offsets. Stops at the first record that cannot be read: items from there on have no
// span and are refused (the walk cannot reach them either).
bool BuildSpans(ArchiveState* a) {
    a->spanCount = 0;
    if (a->itemCount == 0) return true;
    a->spans = static_cast<ItemSpan*>(std::malloc(sizeof(ItemSpan) * a->itemCount));
    if (a->spans == nullptr) return false;
    uint8_t* buf = static_cast<uint8_t*>(std::malloc(kBufferSize));
    if (buf == nullptr) return false;
    uint64_t bufStart = 0;
    uint32_t bufLen = 0;
    uint64_t pos = a->centralOffset;
    for (uint32_t i = 0; i < a->itemCount; ++i) {
        if (pos < bufStart || pos + kCentralRecordSize > bufStart + bufLen) {
            bufStart = pos;
            if (!ReadUpTo(&a->source, a->bytesBefore + static_cast<int64_t>(pos), buf, kBufferSize,
                          &bufLen))
                break;
            if (bufLen < kCentralRecordSize) break;
        }
        const uint8_t* r = buf + (pos - bufStart);
        if (Le32(r) != kCentralSignature) break;
        a->spans[i].offset = Le32(r + 42);
        a->spans[i].index = i;
        a->spanCount = i + 1;
        pos += kCentralRecordSize + Le16(r + 28) + Le16(r + 30) + Le16(r + 32);
    }
    std::free(buf);
    std::sort(a->spans, a->spans + a->spanCount, [](const ItemSpan& x, const ItemSpan& y) {
        return x.offset != y.offset ? x.offset < y.offset : x.index < y.index;
    });
    return true;
}

// True when the current item owns its local header (no lower index uses the same offset) and
// its data, ending at dataEnd, stays clear of the next item's local header and of the central
// directory. So no byte of the archive is inflated for two items, and the output of the whole
// archive is bounded by the sizes its central directory declares.
bool DataIsItsOwn(const ArchiveState* a, uint64_t dataEnd) {
    const uint32_t offset = a->cur.localHeaderOffset;
    if (a->currentItem >= a->spanCount) return false;
    const ItemSpan* begin = a->spans;
    const ItemSpan* end = begin + a->spanCount;
    const ItemSpan* first = std::lower_bound(
        begin, end, offset, [](const ItemSpan& x, uint32_t o) { return x.offset < o; });
    if (first == end || first->offset != offset || first->index != a->currentItem) return false;
    const ItemSpan* next = std::upper_bound(
        first, end, offset, [](uint32_t o, const ItemSpan& x) { return o < x.offset; });
    uint64_t limit = a->centralOffset;
    if (next != end && next->offset < limit) limit = next->offset;
    return dataEnd <= limit;
}

// Checks the current item's local header against its central record (and its stored name,
// when given).
bool CheckLocalHeader(ArchiveState* a, const uint8_t* name, LocalPlace* place) {
    // The header, its name and a short extra field come in one read.
    uint8_t h[kLocalHeaderSize + kNameBytes + kExtraAhead];
    const CentralRecord& c = a->cur;
    uint32_t got = 0;
    if (!ReadUpTo(&a->source, a->bytesBefore + static_cast<int64_t>(c.localHeaderOffset), h,
                  sizeof h, &got) ||
        got < kLocalHeaderSize)
        return false;
    if (Le32(h) != kLocalSignature) return false;
    uint16_t flags = Le16(h + 6);
    uint16_t method = Le16(h + 8);
    if (method != c.method || (method != 0 && method != 8)) return false;
    if (!(flags & kFlagDataDescriptor) &&
        (Le32(h + 14) != c.crc || Le32(h + 18) != c.compressedSize ||
         Le32(h + 22) != c.uncompressedSize))
        return false;
    if (Le16(h + 26) != c.nameLength) return false;
    // Both headers must name the same item.
    if (name != nullptr && c.nameLength > 0) {
        if (c.nameLength >= kNameBytes || got < kLocalHeaderSize + c.nameLength ||
            std::memcmp(h + kLocalHeaderSize, name, c.nameLength) != 0)
            return false;
    }
    // Stored data is as long as it is when unpacked (plus the encryption header): any other
    // pair of sizes cannot both be right.
    if (method == 0) {
        uint64_t expect =
            static_cast<uint64_t>(c.uncompressedSize) + ((c.flags & kFlagEncrypted) ? 12u : 0u);
        if (expect != c.compressedSize) return false;
    }
    uint16_t extraLength = Le16(h + 28);
    place->extraStart =
        static_cast<uint64_t>(c.localHeaderOffset) + kLocalHeaderSize + c.nameLength;
    place->extraLength = extraLength;
    place->dataStart = place->extraStart + extraLength;
    if (!DataIsItsOwn(a, place->dataStart + c.compressedSize)) return false;
    uint32_t extraAt = kLocalHeaderSize + c.nameLength;
    place->extraRead = extraLength <= kExtraAhead && got >= extraAt + extraLength;
    if (place->extraRead) std::memcpy(place->extra, h + extraAt, extraLength);
    return true;
}

// ---- Traditional PKWARE decryption ----

uint32_t CrcByte(uint32_t crc, uint8_t b) {
    static const z_crc_t* table = get_crc_table();
    return table[(crc ^ b) & 0xFF] ^ (crc >> 8);
}

void UpdateKeys(uint32_t* keys, uint8_t c) {
    keys[0] = CrcByte(keys[0], c);
    keys[1] = (keys[1] + (keys[0] & 0xFF)) * 134775813u + 1;
    keys[2] = CrcByte(keys[2], static_cast<uint8_t>(keys[1] >> 24));
}

uint8_t KeyStreamByte(const uint32_t* keys) {
    uint32_t t = (keys[2] & 0xFFFF) | 2;
    return static_cast<uint8_t>((t * (t ^ 1)) >> 8);
}

void Decrypt(uint32_t* keys, uint8_t* data, uint32_t size) {
    for (uint32_t i = 0; i < size; ++i) {
        data[i] = static_cast<uint8_t>(data[i] ^ KeyStreamByte(keys));
        UpdateKeys(keys, data[i]);
    }
}

// ---- Item streams ----

void CloseStream(ArchiveState* a) {
    ItemStream* s = a->stream;
    if (s == nullptr) return;
    delete s;
    a->stream = nullptr;
}

ArchiveResult OpenStream(ArchiveState* a, const char* password) {
    CloseStream(a);
    LocalPlace place{};
    if (a->placeValid && a->placeItem == a->currentItem)
        place = a->place;
    else if (!CheckLocalHeader(a, nullptr, &place))
        return ARC_CORRUPT;
    if (a->streamBuffer == nullptr) {
        a->streamBuffer = static_cast<uint8_t*>(std::malloc(kBufferSize));
        if (a->streamBuffer == nullptr) return ARC_NO_MEMORY;
    }
    const CentralRecord& c = a->cur;
    if (c.method == 8) {
        // One inflate state per reader: set up once, reset for every further item.
        if (!a->inflaterReady) {
            if (inflateInit2(&a->inflater, -MAX_WBITS) != Z_OK) return ARC_NO_MEMORY;
            a->inflaterReady = true;
        } else if (inflateReset(&a->inflater) != Z_OK) {
            return ARC_FLATE;
        }
    }
    auto* s = new (std::nothrow) ItemStream{};
    if (s == nullptr) return ARC_NO_MEMORY;
    s->readBuffer = a->streamBuffer;
    s->inflater = &a->inflater;
    s->method = c.method;
    s->compressedLeft = c.compressedSize;
    s->uncompressedLeft = c.uncompressedSize;
    s->crc = 0;
    s->expectedCrc = c.crc;
    s->nextReadPos = place.dataStart;
    s->source = &a->source;
    s->bytesBefore = a->bytesBefore;
    s->encrypted = (c.flags & kFlagEncrypted) != 0;
    if (s->encrypted) {
        s->headerLeft = 12;
        s->checkByte = (c.flags & kFlagDataDescriptor)
                           ? static_cast<uint8_t>((c.dosDateTime >> 8) & 0xFF)
                           : static_cast<uint8_t>(c.crc >> 24);
        s->keys[0] = 305419896u;
        s->keys[1] = 591751049u;
        s->keys[2] = 878082192u;
        for (const char* p = password; p != nullptr && *p != 0; ++p)
            UpdateKeys(s->keys, static_cast<uint8_t>(*p));
    }
    a->stream = s;
    return ARC_OK;
}

enum StreamStatus { STREAM_OK, STREAM_WRONG_PASSWORD, STREAM_ERROR };

// Refills the read buffer from the archive when it is empty and compressed bytes are left.
bool Refill(ItemStream* s) {
    if (s->inLeft > 0 || s->compressedLeft == 0) return true;
    uint32_t n = s->compressedLeft < kBufferSize ? s->compressedLeft : kBufferSize;
    if (!ReadAt(s->source, s->bytesBefore + static_cast<int64_t>(s->nextReadPos), s->readBuffer, n))
        return false;
    if (s->encrypted) Decrypt(s->keys, s->readBuffer, n);
    s->nextReadPos += n;
    s->compressedLeft -= n;
    s->in = s->readBuffer;
    s->inLeft = n;
    return true;
}

// Delivers up to wanted bytes of the item into out. *got receives the count; *end is set when
// the item's data is complete.
StreamStatus ReadStream(ItemStream* s, uint8_t* out, uint32_t wanted, uint32_t* got, bool* end) {
    *got = 0;
    *end = false;
    // The encryption header comes first, also for an item with nothing to deliver, so that a
    // wrong password is always reported.
    while (s->headerLeft > 0) {
        if (!Refill(s) || s->inLeft == 0) return STREAM_ERROR;
        while (s->headerLeft > 0 && s->inLeft > 0) {
            uint8_t b = *s->in++;
            --s->inLeft;
            if (--s->headerLeft == 0 && b != s->checkByte) return STREAM_WRONG_PASSWORD;
        }
    }
    if (s->uncompressedLeft == 0) {
        *end = true;
        return STREAM_OK;
    }
    if (wanted > s->uncompressedLeft) wanted = s->uncompressedLeft;
    while (*got < wanted) {
        if (s->method == 0 && !s->encrypted && s->inLeft == 0 && s->compressedLeft > 0) {
            // Stored data needs no staging: read it straight into the caller's space.
            uint32_t n = wanted - *got;
            if (n > s->compressedLeft) n = s->compressedLeft;
            if (!ReadAt(s->source, s->bytesBefore + static_cast<int64_t>(s->nextReadPos),
                        out + *got, n))
                return STREAM_ERROR;
            s->nextReadPos += n;
            s->compressedLeft -= n;
            s->crc = static_cast<uint32_t>(crc32(s->crc, out + *got, n));
            *got += n;
            s->uncompressedLeft -= n;
            if (s->uncompressedLeft == 0) {
                *end = true;
                break;
            }
            continue;
        }
        if (!Refill(s)) return STREAM_ERROR;
        uint32_t produced = 0;
        bool streamEnd = false;
        if (s->method == 0) {
            produced = s->inLeft < wanted - *got ? s->inLeft : wanted - *got;
            if (produced == 0) return STREAM_ERROR; // the stored data ran out
            std::memcpy(out + *got, s->in, produced);
            s->in += produced;
            s->inLeft -= produced;
        } else {
            z_stream& z = *s->inflater;
            z.next_in = const_cast<Bytef*>(s->in);
            z.avail_in = s->inLeft;
            z.next_out = out + *got;
            z.avail_out = wanted - *got;
            int r = inflate(&z, Z_SYNC_FLUSH);
            produced = (wanted - *got) - z.avail_out;
            s->in = z.next_in;
            s->inLeft = z.avail_in;
            if (r == Z_STREAM_END)
                streamEnd = true;
            else if (r != Z_OK)
                return STREAM_ERROR; // damaged data, or no progress is possible
        }
        s->crc = static_cast<uint32_t>(crc32(s->crc, out + *got, produced));
        *got += produced;
        bool allDelivered = produced == s->uncompressedLeft;
        s->uncompressedLeft -= produced;
        if (streamEnd || allDelivered) {
            *end = true;
            break;
        }
    }
    return STREAM_OK;
}

// ---- Names, attributes, times ----

bool StartsWith(const char16_t* text, const char16_t* prefix) {
    for (; *prefix != 0; ++text, ++prefix)
        if (*text != *prefix) return false;
    return true;
}

// Removes drive prefixes, leading separators and parent references from a stored name, so
// that what is left is a path inside the extract folder. Other characters are kept as they
// are: a name that Windows would misread is refused at extraction, never changed into
// another name.
void CleanName(char16_t* name) {
    static const char16_t* const kParents[] = {u"\\..\\", u"\\../", u"/../", u"/..\\"};
    for (;;) {
        char16_t* cut = nullptr;
        if (name[0] != 0 && name[1] == u':') {
            cut = name + 2;
        } else if (name[0] == u'\\' || name[0] == u'/') {
            cut = name + 1;
        } else if (StartsWith(name, u"../") || StartsWith(name, u"..\\")) {
            // A parent reference at the very start would lead out of the extract folder.
            cut = name + 3;
        } else {
            for (const char16_t* p : kParents) {
                const char16_t* hit = WFind(name, p);
                if (hit != nullptr) {
                    cut = name + (hit - name) + 4;
                    break;
                }
            }
        }
        if (cut == nullptr) break;
        std::memmove(name, cut, (WLen(cut) + 1) * sizeof(char16_t));
    }
}

uint32_t ItemAttributes(const CentralRecord& c) {
    uint32_t host = c.versionMadeBy >> 8;
    uint32_t a = c.externalAttributes;
    bool readOnly, hidden, system, directory, archive;
    if (host == 0 || host == 7 || host == 11 || host == 14) {
        readOnly = a & 0x1;
        hidden = a & 0x2;
        system = a & 0x4;
        directory = a & 0x10;
        archive = a & 0x20;
    } else {
        directory = a & 0x40000000u;
        readOnly = !(a & 0x00800000u);
        hidden = system = false;
        archive = true;
    }
    uint32_t out = 0;
    if (directory) out |= 0x10;
    if (archive) out |= 0x20;
    if (hidden) out |= 0x2;
    if (readOnly) out |= 0x1;
    if (system) out |= 0x4;
    return out;
}

uint64_t DosTimeToUtc(uint32_t dosDateTime) {
    uint16_t time = static_cast<uint16_t>(dosDateTime & 0xFFFF);
    uint16_t date = static_cast<uint16_t>(dosDateTime >> 16);
    PlatSystemTime st{};
    st.wYear = static_cast<uint16_t>(1980 + (date >> 9));
    st.wMonth = static_cast<uint16_t>((date >> 5) & 0xF);
    st.wDay = static_cast<uint16_t>(date & 0x1F);
    st.wHour = static_cast<uint16_t>(time >> 11);
    st.wMinute = static_cast<uint16_t>((time >> 5) & 0x3F);
    st.wSecond = static_cast<uint16_t>(2 * (time & 0x1F));
    uint64_t local = 0, utc = 0;
    if (!PlatSystemTimeToFileTime(&st, &local) || !PlatLocalFileTimeToFileTime(local, &utc))
        return 0;
    return utc;
}

// Applies the extended timestamp block ("UT") of a local extra field, if there is one.
void ApplyExtendedTimes(const uint8_t* extra, uint32_t length, ArchiveItem* item) {
    uint32_t pos = 0;
    while (pos + 4 <= length) {
        uint32_t size = Le16(extra + pos + 2);
        if (extra[pos] == 'U' && extra[pos + 1] == 'T') {
            uint32_t end = pos + 4 + size;
            if (end > length) end = length;
            uint32_t p = pos + 4;
            if (p >= end) return;
            uint8_t flags = extra[p++];
            uint64_t* targets[3] = {&item->lastWriteTime, &item->lastAccessTime,
                                    &item->creationTime};
            for (int bit = 0; bit < 3; ++bit) {
                if (!(flags & (1 << bit))) continue;
                if (p + 4 > end) return;
                int32_t unixTime = static_cast<int32_t>(Le32(extra + p));
                p += 4;
                *targets[bit] = static_cast<uint64_t>(static_cast<int64_t>(unixTime) * 10000000 +
                                                      static_cast<int64_t>(kUnixEpochAsFileTime));
            }
            return;
        }
        pos += 4 + size;
    }
}

// Walks to index and builds its record (without touching the cache).
ArchiveResult BuildItem(ArchiveState* a, int32_t index, ArchiveItem* item) {
    CloseStream(a);
    if (!WalkTo(a, static_cast<uint32_t>(index))) return ARC_CORRUPT;
    // The walk has just read the record and its name.
    const uint8_t* rawName = a->curName;
    const CentralRecord& c = a->cur;
    // A name that does not fit the name buffer is not handled.
    if (c.nameLength >= kNameBytes) return ARC_BAD_ARGUMENTS;
    // A NUL inside the stored name would silently cut it short.
    if (std::memchr(rawName, 0, c.nameLength) != nullptr) return ARC_CORRUPT;
    a->placeValid = false;
    LocalPlace& place = a->place;
    if (!CheckLocalHeader(a, rawName, &place)) return ARC_CORRUPT;
    a->placeValid = true;
    a->placeItem = a->currentItem;
    uint8_t* extra = nullptr;
    if (place.extraRead) {
        extra = place.extra;
    } else if (place.extraLength > 0) {
        extra = static_cast<uint8_t*>(std::malloc(place.extraLength));
        if (extra == nullptr) return ARC_NO_MEMORY;
        if (!a->source.canSeek ||
            !ReadAt(&a->source, a->bytesBefore + static_cast<int64_t>(place.extraStart), extra,
                    place.extraLength)) {
            std::free(extra);
            return ARC_READ_FAILED;
        }
    }
    std::memset(item, 0, sizeof(*item));
    item->index = static_cast<int32_t>(a->currentItem);
    PlatUtf8ToWide(reinterpret_cast<const char*>(rawName), c.nameLength, item->name, kPathUnits);
    CleanName(item->name);
    item->attributes = ItemAttributes(c);
    item->compressedSize = static_cast<int32_t>(c.compressedSize);
    item->uncompressedSize = static_cast<int32_t>(c.uncompressedSize);
    uint64_t t = DosTimeToUtc(c.dosDateTime);
    item->lastAccessTime = item->creationTime = item->lastWriteTime = t;
    if (place.extraLength > 4) ApplyExtendedTimes(extra, place.extraLength, item);
    if (!place.extraRead) std::free(extra);
    return ARC_OK;
}

} // namespace

// ---- The reader ----

struct ArchiveReader {
    ArchiveState* archive;
    int32_t openItem;
    ArchiveItem cachedItem;
    int32_t cachedIndex;
    char* password;
    uint8_t* extractBuffer;
    char16_t extractFolder[kPathUnits];
};

namespace {

bool IsSeparator(char16_t c) {
    return c == u'\\' || c == u'/';
}

// Copies folder into the reader's extract folder with a separator at its end; false when it
// does not fit.
bool PutExtractFolder(ArchiveReader* r, const char16_t* folder) {
    size_t n = WLen(folder);
    bool needSep = n > 0 && !IsSeparator(folder[n - 1]);
    if (n + (needSep ? 1 : 0) + 1 > kPathUnits) return false;
    WCopy(r->extractFolder, folder);
    if (needSep) WAppend(r->extractFolder, u"\\");
    return true;
}

void FreeReader(ArchiveReader* r) {
    if (r->archive != nullptr) {
        CloseStream(r->archive);
        if (r->archive->inflaterReady) inflateEnd(&r->archive->inflater);
        std::free(r->archive->streamBuffer);
        std::free(r->archive->spans);
        if (r->archive->source.ownsHandle) PlatFileClose(r->archive->source.file);
        delete r->archive;
    }
    std::free(r->password);
    std::free(r->extractBuffer);
    delete r;
}

ArchiveResult CheckHandle(const ArchiveHandle* h) {
    if (h == nullptr || h->reader == nullptr) return ARC_BAD_ARGUMENTS;
    if (h->kind != ARCHIVE_KIND_READER) return ARC_WRONG_KIND;
    return ARC_OK;
}

// Creates base (when given and missing), then every folder of path from the outermost in.
// Failures are not reported: the file creation that follows fails instead.
void EnsureFolders(const char16_t* base, const char16_t* path) {
    char16_t full[kPathUnits];
    if (base != nullptr && base[0] != 0 && PlatGetFileAttributes(base) == PLAT_INVALID_ATTRIBUTES)
        PlatCreateFolder(base);
    size_t n = WLen(path);
    if (n == 0) return;
    for (size_t i = 1; i <= n; ++i) {
        if (i < n && !IsSeparator(path[i])) continue;
        char16_t part[kPathUnits];
        size_t len = i < kPathUnits ? i : kPathUnits - 1;
        std::memcpy(part, path, len * sizeof(char16_t));
        part[len] = 0;
        if (Format(full, kPathUnits, u"%s%s", base ? base : u"", part) < 0) return;
        if (PlatGetFileAttributes(full) == PLAT_INVALID_ATTRIBUTES) PlatCreateFolder(full);
    }
}

// True when a relative target names a parent folder anywhere (a part made of dots and
// blanks with two dots or more, which Windows reads as ".."), so that it could lead out of
// the extract folder.
bool HasParentPart(const char16_t* target) {
    const char16_t* p = target;
    while (*p != 0) {
        const char16_t* q = p;
        int dots = 0;
        bool onlyDotsBlanks = true;
        for (; *q != 0 && !IsSeparator(*q); ++q) {
            if (*q == u'.')
                ++dots;
            else if (*q != u' ')
                onlyDotsBlanks = false;
        }
        if (onlyDotsBlanks && dots >= 2) return true;
        p = *q != 0 ? q + 1 : q;
    }
    return false;
}

char16_t AsciiUpper(char16_t c) {
    return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c;
}

// True when the part [begin, end) of a name (before its first dot, trailing blanks dropped)
// is a device name that Windows opens instead of a file, in any letter case: CON, PRN, AUX,
// NUL, COM0-9, LPT0-9 (also with a superscript 1, 2 or 3), CONIN$, CONOUT$.
bool IsDeviceName(const char16_t* begin, const char16_t* end) {
    const char16_t* stop = begin;
    while (stop < end && *stop != u'.')
        ++stop;
    while (stop > begin && stop[-1] == u' ')
        --stop;
    char16_t up[8];
    size_t n = static_cast<size_t>(stop - begin);
    if (n < 3 || n > 7) return false;
    for (size_t i = 0; i < n; ++i)
        up[i] = AsciiUpper(begin[i]);
    auto is = [&](const char16_t* word) {
        size_t k = 0;
        for (; word[k] != 0; ++k)
            if (k >= n || up[k] != word[k]) return false;
        return k == n;
    };
    if (is(u"CON") || is(u"PRN") || is(u"AUX") || is(u"NUL") || is(u"CONIN$") || is(u"CONOUT$"))
        return true;
    if (n == 4 && ((up[0] == u'C' && up[1] == u'O' && up[2] == u'M') ||
                   (up[0] == u'L' && up[1] == u'P' && up[2] == u'T'))) {
        char16_t d = up[3];
        return (d >= u'0' && d <= u'9') || d == u'\u00B9' || d == u'\u00B2' || d == u'\u00B3';
    }
    return false;
}

// True when Windows would not create the file or folder that the relative path seems to name:
// a device name in any component, a colon (a stream of another file), a component ending in a
// dot or a blank (Windows drops them, so "a." would write "a"), or a character Windows forbids
// in names (< > " | ? * and control characters). Empty components are left to the folder
// code. Refused on every build, so that what Linux extracts is what Windows extracts.
bool WindowsMisreads(const char16_t* path) {
    const char16_t* p = path;
    while (*p != 0) {
        const char16_t* q = p;
        for (; *q != 0 && !IsSeparator(*q); ++q) {
            char16_t c = *q;
            if (c < 0x20 || c == u':' || c == u'<' || c == u'>' || c == u'"' || c == u'|' ||
                c == u'?' || c == u'*')
                return true;
        }
        if (q > p && (q[-1] == u'.' || q[-1] == u' ')) return true;
        if (q > p && IsDeviceName(p, q)) return true;
        p = *q != 0 ? q + 1 : q;
    }
    return false;
}

// Opens the current item's stream and delivers all of its data to out (or nowhere when out is
// invalid), then checks its length and CRC-32. Sets the file times on success. The stream is
// left open for the caller to close.
ArchiveResult Unpack(ArchiveReader* r, int32_t index, PlatHandle out, const ArchiveItem* item) {
    ArchiveState* a = r->archive;
    ArchiveResult res = OpenStream(a, r->password);
    if (res != ARC_OK) return res;
    r->openItem = index;
    if (r->extractBuffer == nullptr)
        r->extractBuffer = static_cast<uint8_t*>(std::malloc(kBufferSize));
    if (r->extractBuffer == nullptr) return ARC_NO_MEMORY;
    bool complete = false;
    while (!complete) {
        uint32_t got = 0;
        StreamStatus st = ReadStream(a->stream, r->extractBuffer, kBufferSize, &got, &complete);
        if (st == STREAM_WRONG_PASSWORD) return ARC_PASSWORD;
        if (st != STREAM_OK || (got == 0 && !complete)) return ARC_FLATE;
        uint32_t put = 0;
        if (got > 0 && out != PLAT_INVALID_HANDLE &&
            (!PlatFileWrite(out, r->extractBuffer, got, &put) || put != got))
            return ARC_WRITE_FAILED;
    }
    // Data that is short of its declared size or fails its CRC-32 is corrupt.
    if (a->stream->uncompressedLeft != 0 || a->stream->crc != a->stream->expectedCrc)
        return ARC_CORRUPT;
    if (out != PLAT_INVALID_HANDLE)
        PlatFileSetTimes(out, &item->creationTime, &item->lastAccessTime, &item->lastWriteTime);
    return ARC_OK;
}

} // namespace

ArchiveHandle* OpenArchive(const char16_t* path, const char* password) {
    if (path == nullptr) {
        Done(ARC_NO_FILE);
        return nullptr;
    }
    auto* r = new (std::nothrow) ArchiveReader{};
    if (r == nullptr) {
        Done(ARC_NO_MEMORY);
        return nullptr;
    }
    r->openItem = -1;
    r->cachedIndex = -1;
    if (password != nullptr) {
        size_t n = std::strlen(password);
        r->password = static_cast<char*>(std::malloc(n + 1));
        if (r->password == nullptr) {
            FreeReader(r);
            Done(ARC_NO_MEMORY);
            return nullptr;
        }
        std::memcpy(r->password, password, n + 1);
    }
    char16_t cwd[kPathUnits];
    uint32_t got = PlatGetCurrentFolder(cwd, kPathUnits);
    if (got == 0 || got >= kPathUnits || !PutExtractFolder(r, cwd)) r->extractFolder[0] = 0;

    PlatHandle file = PlatFileOpenRead(path);
    if (file == PLAT_INVALID_HANDLE) {
        FreeReader(r);
        Done(ARC_NO_FILE);
        return nullptr;
    }
    auto* a = new (std::nothrow) ArchiveState{};
    if (a == nullptr) {
        PlatFileClose(file);
        FreeReader(r);
        Done(ARC_NO_MEMORY);
        return nullptr;
    }
    r->archive = a;
    a->source.isFile = true;
    a->source.file = file;
    a->source.ownsHandle = true;
    int64_t start = PlatFileSeek(file, 0, PLAT_SEEK_CURRENT);
    a->source.canSeek = start >= 0;
    a->source.startOffset = start >= 0 ? start : 0;

    bool ok = false;
    int64_t endPos = a->source.canSeek ? FindEndRecord(&a->source) : -1;
    uint8_t e[kEndRecordSize];
    if (endPos >= 0 && ReadAt(&a->source, endPos, e, kEndRecordSize)) {
        uint16_t thisDisk = Le16(e + 4), centralDisk = Le16(e + 6);
        uint16_t itemsHere = Le16(e + 8), itemsTotal = Le16(e + 10);
        a->centralSize = Le32(e + 12);
        a->centralOffset = Le32(e + 16);
        a->commentLength = Le16(e + 20);
        a->itemCount = itemsTotal;
        a->endRecordPos = endPos;
        uint64_t centralEnd = static_cast<uint64_t>(a->centralOffset) + a->centralSize;
        if (itemsHere == itemsTotal && thisDisk == 0 && centralDisk == 0 &&
            static_cast<uint64_t>(endPos + a->source.startOffset) >= centralEnd) {
            a->bytesBefore = endPos + a->source.startOffset - static_cast<int64_t>(centralEnd);
            a->source.startOffset = 0;
            ok = true;
        }
    }
    if (!ok) {
        FreeReader(r);
        Done(ARC_NO_FILE);
        return nullptr;
    }
    if (!BuildSpans(a)) {
        FreeReader(r);
        Done(ARC_NO_MEMORY);
        return nullptr;
    }
    GoToFirst(a);
    auto* h = new (std::nothrow) ArchiveHandle{};
    if (h == nullptr) {
        FreeReader(r);
        Done(ARC_NO_MEMORY);
        return nullptr;
    }
    h->kind = ARCHIVE_KIND_READER;
    h->reader = r;
    Done(ARC_OK);
    return h;
}

ArchiveResult SetExtractFolder(ArchiveHandle* handle, const char16_t* folder) {
    ArchiveResult check = CheckHandle(handle);
    if (check != ARC_OK) return Done(check);
    if (folder == nullptr || !PutExtractFolder(handle->reader, folder))
        return Done(ARC_BAD_ARGUMENTS);
    return Done(ARC_OK);
}

ArchiveResult GetArchiveItem(ArchiveHandle* handle, int32_t index, ArchiveItem* item) {
    if (item != nullptr) {
        item->index = 0;
        item->name[0] = 0;
        item->uncompressedSize = 0;
    }
    ArchiveResult check = CheckHandle(handle);
    if (check != ARC_OK) return Done(check);
    ArchiveReader* r = handle->reader;
    ArchiveState* a = r->archive;
    if (item == nullptr || index < -1 || index >= static_cast<int64_t>(a->itemCount))
        return Done(ARC_BAD_ARGUMENTS);
    CloseStream(a);
    r->openItem = -1;
    if (index == -1) {
        std::memset(item, 0, sizeof(*item));
        item->index = static_cast<int32_t>(a->itemCount);
        return Done(ARC_OK);
    }
    if (index == r->cachedIndex) {
        *item = r->cachedItem;
        return Done(ARC_OK);
    }
    ArchiveItem built;
    ArchiveResult res = BuildItem(a, index, &built);
    if (res != ARC_OK) return Done(res);
    *item = built;
    r->cachedItem = built;
    r->cachedIndex = index;
    return Done(ARC_OK);
}

ArchiveResult ExtractArchiveItem(ArchiveHandle* handle, int32_t index, const char16_t* target) {
    ArchiveResult check = CheckHandle(handle);
    if (check != ARC_OK) return Done(check);
    ArchiveReader* r = handle->reader;
    ArchiveState* a = r->archive;
    if (index < 0 || index >= static_cast<int64_t>(a->itemCount) || target == nullptr)
        return Done(ARC_BAD_ARGUMENTS);
    CloseStream(a);
    r->openItem = -1;
    ArchiveItem item;
    ArchiveResult res = ARC_OK;
    if (index == r->cachedIndex && a->currentItem == static_cast<uint32_t>(index) &&
        a->currentValid) {
        item = r->cachedItem; // just built by GetArchiveItem; the walk stands on it
    } else {
        res = BuildItem(a, index, &item);
        if (res != ARC_OK) return Done(res);
        r->cachedItem = item;
        r->cachedIndex = index;
    }

    // An empty target would name the extract folder itself; a relative one must stay inside it,
    // and no part of it may be a name that Windows reads as a device, a stream or another name.
    bool absolute = IsSeparator(target[0]) || (target[0] != 0 && target[1] == u':');
    if (target[0] == 0 || (!absolute && HasParentPart(target))) return Done(ARC_BAD_ARGUMENTS);
    if (WindowsMisreads(target[0] != 0 && target[1] == u':' ? target + 2 : target))
        return Done(ARC_BAD_ARGUMENTS);
    size_t targetLen = WLen(target);
    if (targetLen >= kPathUnits) return Done(ARC_BAD_ARGUMENTS);

    // A directory item, or an empty item whose name ends in a separator: make the folder.
    // Below the extract folder no link is followed; an absolute target is the caller's own.
    if ((item.attributes & PLAT_ATTR_DIRECTORY) ||
        (item.uncompressedSize == 0 && IsSeparator(target[targetLen - 1]))) {
        char16_t full[kPathUnits];
        if (Format(full, kPathUnits, u"%s%s", absolute ? u"" : r->extractFolder, target) < 0)
            return Done(ARC_BAD_ARGUMENTS);
        if (absolute) EnsureFolders(nullptr, target);
        int32_t why = PLAT_BELOW_FAILED;
        PlatHandle folder = PlatFolderOpenBelow(absolute ? target : r->extractFolder,
                                                absolute ? u"" : target, 1, &why);
        if (folder == PLAT_INVALID_HANDLE) return Done(ARC_NO_FILE); // a link, or a file in the way
        PlatFolderClose(folder);
        return Done(ARC_OK);
    }

    // Split after the last separator into a directory part (keeping it) and a file name.
    size_t split = 0;
    for (size_t i = 0; i < targetLen; ++i)
        if (IsSeparator(target[i])) split = i + 1;
    char16_t dirPart[kPathUnits];
    std::memcpy(dirPart, target, split * sizeof(char16_t));
    dirPart[split] = 0;
    const char16_t* fileName = target + split;
    bool dirAbsolute = IsSeparator(dirPart[0]) || (dirPart[0] != 0 && dirPart[1] == u':');
    char16_t outPath[kPathUnits];
    int32_t n;
    if (split == 0)
        n = Format(outPath, kPathUnits, u"%s%s%s", r->extractFolder, dirPart, fileName);
    else if (dirAbsolute)
        n = Format(outPath, kPathUnits, u"%s%s", dirPart, fileName);
    else
        n = Format(outPath, kPathUnits, u"%s%s%s", r->extractFolder, dirPart, fileName);
    if (n < 0 || fileName[0] == 0) return Done(ARC_BAD_ARGUMENTS);

    // The item's folder, reached without following a link below the extract folder (an
    // absolute directory part is the caller's own folder and is made as it stands).
    if (dirAbsolute) EnsureFolders(nullptr, dirPart);
    int32_t why = PLAT_BELOW_FAILED;
    PlatHandle folder = dirAbsolute ? PlatFolderOpenBelow(dirPart, u"", 0, &why)
                                    : PlatFolderOpenBelow(r->extractFolder, dirPart, 1, &why);
    if (folder == PLAT_INVALID_HANDLE) return Done(ARC_NO_FILE);
    // What is at the name now must be a file that Windows would let us replace, or nothing: a
    // link there is not followed and not replaced, and a read-only file stays.
    uint32_t there = PlatFolderEntry(folder, fileName);
    if (there != PLAT_ENTRY_NONE && there != PLAT_ENTRY_FILE) {
        PlatFolderClose(folder);
        return Done(ARC_NO_FILE);
    }
    // The item is written under a temporary name and takes its own name only once its length
    // and CRC-32 checked out: a failed item leaves no file of its own, and a file already at
    // the name stays as it was.
    char16_t tempName[64];
    PlatHandle out = PlatTempFileCreate(folder, tempName);
    if (out == PLAT_INVALID_HANDLE) {
        PlatFolderClose(folder);
        return Done(ARC_NO_FILE);
    }
    res = Unpack(r, index, out, &item);
    CloseStream(a);
    r->openItem = -1;
    if (res == ARC_OK) {
        // The rename can fail on Windows when another program holds the file of that name.
        if (PlatTempFileCommit(folder, out, tempName, fileName, item.attributes) != PLAT_BELOW_OK)
            res = ARC_WRITE_FAILED;
    } else if (PlatTempFileDiscard(folder, out, tempName) != PLAT_BELOW_OK) {
        // The folder now holds a stray temporary file: say so rather than the cause.
        res = ARC_WRITE_FAILED;
    }
    PlatFolderClose(folder);
    return Done(res);
}

ArchiveResult TestArchiveItem(ArchiveHandle* handle, int32_t index) {
    ArchiveResult check = CheckHandle(handle);
    if (check != ARC_OK) return Done(check);
    ArchiveReader* r = handle->reader;
    ArchiveState* a = r->archive;
    if (index < 0 || index >= static_cast<int64_t>(a->itemCount)) return Done(ARC_BAD_ARGUMENTS);
    CloseStream(a);
    r->openItem = -1;
    ArchiveItem item;
    ArchiveResult res = BuildItem(a, index, &item);
    if (res != ARC_OK) return Done(res);
    r->cachedItem = item;
    r->cachedIndex = index;
    if (!(item.attributes & PLAT_ATTR_DIRECTORY))
        res = Unpack(r, index, PLAT_INVALID_HANDLE, &item);
    CloseStream(a);
    r->openItem = -1;
    return Done(res);
}

bool IsArchiveReader(const ArchiveHandle* handle) {
    return handle != nullptr && handle->kind == ARCHIVE_KIND_READER;
}

ArchiveResult CloseArchive(ArchiveHandle* handle) {
    ArchiveResult check = CheckHandle(handle);
    if (check != ARC_OK) return Done(check);
    FreeReader(handle->reader);
    delete handle;
    return Done(ARC_OK);
}

ArchiveResult LastArchiveResult() {
    return g_lastResult;
}

const char16_t* ArchiveResultText(ArchiveResult code) {
    switch (code) {
    case 0x0:
        return u"Success";
    case 0x100:
        return u"Culdn't duplicate handle";
    case 0x200:
        return u"Couldn't create/open file";
    case 0x300:
        return u"Failed to allocate memory";
    case 0x400:
        return u"Error writing to file";
    case 0x500:
        return u"File not found in the zipfile";
    case 0x600:
        return u"Still more data to unzip";
    case 0x700:
        return u"Zipfile is corrupt or not a zipfile";
    case 0x800:
        return u"Error reading file";
    case 0x1000:
        return u"Correct password required";
    case 0x10000:
        return u"Caller: faulty arguments";
    case 0x20000:
        return u"Caller: can only get memory of a memory zipfile";
    case 0x30000:
        return u"Caller: not enough space allocated for memory zipfile";
    case 0x40000:
        return u"Caller: there was a previous error";
    case 0x50000:
        return u"Caller: additions to the zip have already been ended";
    case 0x60000:
        return u"Zip-bug: the anticipated size turned out wrong";
    case 0x70000:
        return u"Caller: the file had already been partially unzipped";
    case 0x80000:
        return u"Caller: mixing creation and opening of zip";
    case 0x1000000:
        return u"Zip-bug: internal initialisation not completed";
    case 0x2000000:
        return u"Zip-bug: trying to seek the unseekable";
    case 0x4000000:
        return u"Zip-bug: tried to change mind, but not allowed";
    case 0x5000000:
        return u"Zip-bug: an internal error during flation";
    default:
        return u"unknown zip result code";
    }
}
