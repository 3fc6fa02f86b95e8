// The archive reader over archives that other ZIP writers made: the 220-archive corpus of
// fixtures/zip-corpus (outcomes in its MANIFEST.tsv, contents in ITEMS.tsv) and the archives of
// fixtures/tools (Info-ZIP zip, Python's zipfile, bsdtar, 7z; contents in expected.tsv).
#include "package/archive.h"
#include "platform/files.h"
#include "zip_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <map>
#include <set>
#include <sstream>

using namespace ziptest;

namespace {

std::vector<std::vector<std::string>> ReadTsv(const fs::path& p) {
    std::vector<std::vector<std::string>> rows;
    std::ifstream in(p, std::ios::binary);
    std::string line;
    std::getline(in, line); // header
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::vector<std::string> cols;
        std::stringstream ss(line);
        std::string col;
        while (std::getline(ss, col, '\t'))
            cols.push_back(col);
        rows.push_back(cols);
    }
    return rows;
}

struct Expected {
    int index;
    std::string name;
    uint64_t size;
    uint32_t crc;
};

struct ItemOutcome {
    ArchiveResult result;
    std::string name; // cleaned, as extracted
    bool directory;
    bool written; // a file is at the name after extraction
    uint64_t size;
    uint32_t crc;
};

struct RunOutcome {
    bool opened = false;
    std::vector<ItemOutcome> items;
};

// Opens path, extracts every item under its own name into out and records what happened.
RunOutcome RunArchive(const fs::path& path, const fs::path& out, const char* password) {
    RunOutcome r;
    ArchiveHandle* a = OpenArchive(P(path).c_str(), password);
    if (a == nullptr) {
        EXPECT_EQ(LastArchiveResult(), ARC_NO_FILE);
        return r;
    }
    r.opened = true;
    fs::create_directories(out);
    EXPECT_EQ(SetExtractFolder(a, P(out).c_str()), ARC_OK);
    ArchiveItem item;
    EXPECT_EQ(GetArchiveItem(a, -1, &item), ARC_OK);
    int32_t count = item.index;
    for (int32_t i = 0; i < count; ++i) {
        ItemOutcome o{};
        o.result = GetArchiveItem(a, i, &item);
        if (o.result == ARC_OK) {
            o.name = Utf8(item.name);
            o.directory = (item.attributes & 0x10) != 0 ||
                          (!o.name.empty() && (o.name.back() == '/' || o.name.back() == '\\'));
            o.result = ExtractArchiveItem(a, i, item.name);
        }
        r.items.push_back(o);
    }
    EXPECT_EQ(CloseArchive(a), ARC_OK);
    // What is left at each name once every item has been tried.
    for (ItemOutcome& o : r.items) {
        std::string native = o.name;
        std::replace(native.begin(), native.end(), '\\', '/');
        fs::path file = out / fs::path(std::u8string(native.begin(), native.end()));
        std::error_code ec;
        if (o.name.empty() || o.directory || !fs::is_regular_file(file, ec)) continue;
        std::vector<uint8_t> data = ReadBytes(file);
        o.written = true;
        o.size = data.size();
        o.crc = Crc(data);
    }
    return r;
}

// Item names that the outcome text places after an ITEM-... class.
std::set<std::string> FailingNames(const std::string& text, const std::set<std::string>& names) {
    std::set<std::string> out;
    std::stringstream ss(text);
    std::string tok;
    bool inClass = false;
    while (ss >> tok) {
        if (tok.rfind("ITEM-", 0) == 0) {
            inClass = true;
            continue;
        }
        if (!inClass) continue;
        if (tok.front() == '"') continue; // a password
        while (!tok.empty() &&
               (tok.back() == ',' || tok.back() == '.' || tok.back() == ';' || tok.back() == ':'))
            tok.pop_back();
        if (names.count(tok))
            out.insert(tok);
        else
            inClass = false;
    }
    return out;
}

struct Tally {
    int archives = 0, refused = 0, okExact = 0, itemsOk = 0, itemsReported = 0;
    int okClass = 0, okClassExact = 0;
};

// Passwords of the archives that have traditionally encrypted items (README of the corpus).
const std::map<std::string, std::string> kPasswords = {
    {"libzip/encrypt.zip", "foo"},
    {"libzip/encrypt_plus_extra.zip", "foo"},
    {"libzip/encrypt_plus_extra_modified_c.zip", "foo"},
    {"libzip/encrypt_plus_extra_modified_l.zip", "foo"},
    {"libzip/encrypt-1234.zip", "1234"},
    {"libzip/empty-pkware.zip", "1"},
    {"libzip/encrypt-pkware-noentropy.zip", "no-entropy"},
    {"libzip/encrypt-pkware-noentropy-2.zip", "no-entropy"},
    {"libzip/broken.zip", "crypt"},
    {"minizip-ng/encrypted_pkcrypt.zip", "test123"},
};

// Archives the reader answers differently from the class their line starts with, each still
// safe: what is extracted is exact, the rest is reported.
const std::map<std::string, std::string> kDeviations = {
    // Opened although the end record's comment runs past the end: the items are intact and
    // extract exactly, as lenient readers list them.
    {"go/comment-truncated.zip", "opens"},
    {"libzip/incons-archive-comment-longer.zip", "opens"},
    // A central record is misread or missing after the first: the first item is intact and
    // exact, the walk ends with 0x700 at the record it cannot read.
    {"libzip/incons-central-file-comment-longer.zip", "opens"},
    {"libzip/incons-central-file-comment-shorter.zip", "opens"},
    {"libzip/incons-ef-central-size-wrong.zip", "opens"},
    {"libzip/incons-file-count-high.zip", "opens"},
    // The central directory's size or offset is off; the reader opens, then reports every item
    // it cannot find as corrupt (nothing is listed silently as good).
    {"go/test-badbase.zip", "opens, items fail"},
    {"go/test-baddirsz.zip", "opens, items fail"},
    {"libzip/incons-cdsize-small.zip", "opens, items fail"},
    {"libzip/incons-central-magic-bad.zip", "opens, items fail"},
    {"libzip/incons-central-magic-bad2.zip", "opens, items fail"},
    {"libzip/incons-file-count-overflow.zip", "opens, items fail"},
    // ZIP64 records are not interpreted: the classic end record lists no items.
    {"libzip/incons-eocd64.zip", "opens"},
    // Data descriptors are not read: the item is checked against its central record instead,
    // and its content is exact.
    {"libzip/incons-streamed.zip", "item ok"},
    {"libzip/incons-streamed-2.zip", "item ok"},
    // The local extra field is walked only for the timestamp block and never past its end;
    // a malformed block there does not touch the item's data, which is exact.
    {"libzip/incons-ef-local-id-size.zip", "item ok"},
    // Names holding control characters or characters Windows forbids (" * : < > ?) are refused
    // with 0x10000 on every build instead of being changed into another name; the archive's
    // other names extract.
    {"libzip/test-cp437.zip", "names refused"},
    {"libzip/test-cp437-comment-utf-8.zip", "names refused"},
};

bool OkClass(const std::string& cls) {
    return cls == "OK" || cls == "OK-EMPTY" || cls == "OK-WARN" || cls == "NAME-CLEAN" ||
           cls == "SYMLINK" || cls == "NAME-ENCODING";
}

TEST(ArchiveCorpusTest, EveryArchiveOfTheCorpus) {
    const fs::path corpus = Fixtures() / "zip-corpus";
    std::map<std::string, std::vector<Expected>> items;
    for (auto& row : ReadTsv(corpus / "ITEMS.tsv")) {
        ASSERT_GE(row.size(), 6u);
        items[row[0]].push_back({std::stoi(row[1]), row[2], std::stoull(row[4]),
                                 static_cast<uint32_t>(std::stoul(row[5], nullptr, 16))});
    }
    auto manifest = ReadTsv(corpus / "MANIFEST.tsv");
    ASSERT_EQ(manifest.size(), 220u);
    Scratch scratch("corpus");
    Tally t;
    for (auto& row : manifest) {
        const std::string& file = row[0];
        const std::string& text = row[3];
        std::string cls = text.substr(0, text.find_first_of(" :"));
        SCOPED_TRACE(file + ": " + text.substr(0, 160));
        const std::vector<Expected>& want = items[file];
        std::set<std::string> names;
        for (auto& e : want)
            names.insert(e.name);
        std::set<std::string> failing = FailingNames(text, names);
        bool ambiguous = cls == "AMBIG" || text.find(" or ") != std::string::npos ||
                         text.rfind("OK-or-", 0) == 0 || cls == "ZIP64-SOFT";
        auto dev = kDeviations.find(file);
        std::string deviation = dev == kDeviations.end() ? "" : dev->second;

        RunOutcome r = RunArchive(corpus / file, scratch.path() / "out", nullptr);
        ++t.archives;
        if (!r.opened) ++t.refused;
        // Nothing outside the extract folder.
        for (auto& e : fs::directory_iterator(scratch.path()))
            EXPECT_EQ(e.path().filename(), "out");

        // Whatever is reported as extracted is exact; whatever failed left no data behind.
        bool allExact = r.opened;
        for (size_t i = 0; i < r.items.size(); ++i) {
            const ItemOutcome& o = r.items[i];
            const Expected* e = nullptr;
            for (auto& w : want)
                if (w.index == static_cast<int>(i)) e = &w;
            if (o.result == ARC_OK) {
                ++t.itemsOk;
                bool overwritten = false; // by a later item of the same name
                for (size_t k = i + 1; k < r.items.size(); ++k)
                    if (r.items[k].name == o.name && r.items[k].result == ARC_OK)
                        overwritten = true;
                if (e != nullptr && !o.directory && !overwritten) {
                    EXPECT_TRUE(o.written) << o.name;
                    EXPECT_EQ(o.size, e->size) << o.name;
                    EXPECT_EQ(o.crc, e->crc) << o.name;
                }
            } else {
                ++t.itemsReported;
                allExact = false;
                bool sameNameOk = false;
                for (auto& other : r.items)
                    if (&other != &o && other.name == o.name && other.result == ARC_OK)
                        sameNameOk = true;
                if (o.written && !sameNameOk) {
                    EXPECT_TRUE(o.result == ARC_PASSWORD && o.size == 0)
                        << o.name << " failed with 0x" << std::hex << o.result
                        << " but left a file";
                }
            }
        }
        if (allExact) ++t.okExact;
        if (OkClass(cls) && failing.empty() && file != "go/dupdir.zip") {
            ++t.okClass;
            if (allExact) ++t.okClassExact;
        }

        if (deviation == "names refused") {
            int refused = 0;
            for (auto& o : r.items) {
                EXPECT_TRUE(o.result == ARC_OK || o.result == ARC_BAD_ARGUMENTS) << o.name;
                if (o.result == ARC_BAD_ARGUMENTS) {
                    ++refused;
                    EXPECT_FALSE(o.written) << o.name;
                }
            }
            EXPECT_GT(refused, 0);
        }
        if (ambiguous) continue;
        if (cls.rfind("REFUSE-", 0) == 0) {
            if (deviation == "opens") continue;
            if (deviation == "opens, items fail") {
                for (auto& o : r.items)
                    EXPECT_NE(o.result, ARC_OK) << o.name;
                continue;
            }
            EXPECT_FALSE(r.opened);
            continue;
        }
        ASSERT_TRUE(r.opened);
        if (deviation != "opens, items fail" && !want.empty()) {
            EXPECT_EQ(r.items.size(), want.size());
        }
        for (auto& w : want) {
            if (w.index >= static_cast<int>(r.items.size())) continue;
            const ItemOutcome& o = r.items[static_cast<size_t>(w.index)];
            bool shouldFail =
                failing.count(w.name) || (!OkClass(cls) && failing.empty() && deviation.empty());
            if (file == "go/dupdir.zip" && (w.name == "a/b/" || w.name == "a/b/c"))
                shouldFail = true;
            if (shouldFail) {
                EXPECT_NE(o.result, ARC_OK) << w.name;
            } else {
                EXPECT_EQ(o.result, ARC_OK) << w.name << " 0x" << std::hex << o.result;
            }
        }

        auto pw = kPasswords.find(file);
        if (pw != kPasswords.end()) {
            // With the password every traditionally encrypted item comes out exact.
            scratch.Clear();
            fs::create_directories(scratch.path());
            RunOutcome withPw =
                RunArchive(corpus / file, scratch.path() / "out", pw->second.c_str());
            ASSERT_TRUE(withPw.opened);
            std::string passwordItems = text.substr(text.find("ITEM-PASSWORD"));
            for (auto& w : want) {
                if (passwordItems.find(w.name) == std::string::npos) continue;
                const ItemOutcome& o = withPw.items[static_cast<size_t>(w.index)];
                EXPECT_EQ(o.result, ARC_OK) << w.name;
                EXPECT_EQ(o.size, w.size) << w.name;
                EXPECT_EQ(o.crc, w.crc) << w.name;
            }
        }
        scratch.Clear();
        fs::create_directories(scratch.path());
    }
    std::cout << "corpus: " << t.archives << " archives run; " << t.okClassExact << " of "
              << t.okClass << " sound archives extracted exactly; " << t.okExact
              << " archives opened with every item exact; " << t.itemsOk
              << " items extracted exactly; " << t.refused << " archives refused at open; "
              << t.itemsReported << " damaged or unsupported items reported\n";
}

TEST(ArchiveToolsTest, ArchivesOfOtherWritersExtractExactly) {
    const fs::path dir = Fixtures() / "tools";
    std::map<std::string, std::vector<Expected>> want;
    std::map<std::string, std::string> modes;
    for (auto& row : ReadTsv(dir / "expected.tsv")) {
        want[row[0]].push_back({0, row[1], std::stoull(row[2]),
                                static_cast<uint32_t>(std::stoul(row[3], nullptr, 16))});
        modes[row[0] + "/" + row[1]] = row[4];
    }
    ASSERT_EQ(want.size(), 8u);
    Scratch scratch("tools");
    for (auto& [archive, entries] : want) {
        SCOPED_TRACE(archive);
        bool encrypted = archive == "infozip-encrypted.zip";
        RunOutcome r =
            RunArchive(dir / archive, scratch.path() / "out", encrypted ? "secret" : nullptr);
        ASSERT_TRUE(r.opened);
        ASSERT_EQ(r.items.size(), entries.size());
        for (size_t i = 0; i < entries.size(); ++i) {
            const ItemOutcome& o = r.items[i];
            EXPECT_EQ(o.result, ARC_OK) << o.name;
            EXPECT_EQ(o.name, entries[i].name);
            bool dir = entries[i].name.back() == '/';
            EXPECT_EQ(o.directory, dir) << o.name;
            if (!dir) {
                EXPECT_EQ(o.size, entries[i].size) << o.name;
                EXPECT_EQ(o.crc, entries[i].crc) << o.name;
            }
        }
        scratch.Clear();
        fs::create_directories(scratch.path());
        if (encrypted) {
            // Without the password, or with a wrong one, nothing is written but empty files.
            for (const char* pw : {static_cast<const char*>(nullptr), "wrong"}) {
                RunOutcome bad = RunArchive(dir / archive, scratch.path() / "out", pw);
                ASSERT_EQ(bad.items.size(), entries.size());
                for (size_t i = 0; i < entries.size(); ++i) {
                    const ItemOutcome& o = bad.items[i];
                    if (o.directory) continue;
                    // An empty file is stored without encryption.
                    if (entries[i].size > 0) {
                        EXPECT_EQ(o.result, ARC_PASSWORD) << o.name;
                    }
                    EXPECT_EQ(o.size, 0u) << o.name;
                }
                scratch.Clear();
                fs::create_directories(scratch.path());
            }
        }
    }

    // Python's Unix modes become Windows attributes.
    ArchiveHandle* a = OpenArchive(P(dir / "python-modes.zip").c_str(), nullptr);
    ASSERT_NE(a, nullptr);
    const std::pair<const char*, uint32_t> attrs[] = {
        {"rw.txt", 0x20},
        {"ro.txt", 0x21},
        {"folder/", 0x30},
        {"folder/inner.txt", 0x20},
        {"na\xc3\xafve-\xe6\x97\xa5\xe6\x9c\xac.txt", 0x20}};
    for (int32_t i = 0; i < 5; ++i) {
        ArchiveItem item;
        ASSERT_EQ(GetArchiveItem(a, i, &item), ARC_OK);
        EXPECT_EQ(Utf8(item.name), attrs[i].first);
        EXPECT_EQ(item.attributes, attrs[i].second) << attrs[i].first;
    }
    CloseArchive(a);
}

} // namespace
