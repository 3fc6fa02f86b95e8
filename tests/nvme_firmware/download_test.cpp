// DownloadFW and FWCommit on the four NVMe paths, checked through what reached the simulated
// drive, the request bytes in the trace, the progress posts and the log.
#include "firmware_fixture.h"

#include <algorithm>

namespace {

uint32_t Dword(const std::vector<uint8_t>& entry, int n) {
    return Le32At(entry, 4 * n);
}

uint64_t Le64At(const std::vector<uint8_t>& bytes, size_t offset) {
    return Le32At(bytes, offset) | (static_cast<uint64_t>(Le32At(bytes, offset + 4)) << 32);
}

// The refusal of the nth firmware piece on a path, armed where that path's request is decided.
sim::Fault NthPieceRefused(const std::string& path, uint32_t nth) {
    sim::Fault f;
    f.nth = nth;
    if (path == "nvme") {
        f.ioctl = kIoctlStorageFirmwareDownload;
    } else if (path == "rst") {
        f.ioctl = kIoctlScsiMiniport;
    } else if (path == "asmedia") {
        f.cdb_prefix = {0xEA, 0x5A, 0x81}; // the data phase that carries the piece
    } else {
        f.cdb_prefix = {0xA1, 0x83};
    }
    return f;
}

class EveryPath : public FirmwareTest, public testing::WithParamInterface<const char*> {};

TEST_P(EveryPath, TenThousandBytesGoAsThreePiecesAndPost40And80) {
    Open(GetParam());
    const std::vector<uint8_t> image = Pattern(10000);
    ASSERT_EQ(DownloadFW(Context(), Handle(), image.data(), 10000), 1);

    const auto pieces = Executed(0x11);
    ASSERT_EQ(pieces.size(), 3u);
    const uint32_t numd[] = {1023, 1023, 451}, ofst[] = {0, 1024, 2048};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(Dword(pieces[i], 1), 0u) << "NSID of piece " << i;
        EXPECT_EQ(Dword(pieces[i], 10), numd[i]) << "NUMD of piece " << i;
        EXPECT_EQ(Dword(pieces[i], 11), ofst[i]) << "OFST of piece " << i;
    }
    EXPECT_EQ(sim::NvmeFirmware(Name()).download, image);
    EXPECT_EQ(Posts(), (std::vector<intptr_t>{40, 80}));
    EXPECT_EQ(LogLines(),
              (std::vector<std::u16string>{u"DownloadFW IN", u"DownloadFW  40%", u"DownloadFW  80%",
                                           u"DownloadFW Success OUT"}));
}

TEST_P(EveryPath, SmallImagesPostNothingAndAnEmptyOneSendsNothing) {
    for (uint32_t size : {4096u, 1u, 0u}) {
        SCOPED_TRACE(size);
        Open(GetParam());
        sim::ClearMessages();
        const std::vector<uint8_t> image = Pattern(size == 0 ? 1 : size);
        ASSERT_EQ(DownloadFW(Context(), Handle(), image.data(), size), 1);
        EXPECT_TRUE(Posts().empty());
        EXPECT_EQ(LogLines(),
                  (std::vector<std::u16string>{u"DownloadFW IN", u"DownloadFW Success OUT"}));
        EXPECT_EQ(Executed(0x11).size(), size == 0 ? 0u : 1u);
        if (size == 0) {
            EXPECT_TRUE(sim::Current().Trace().empty());
        }
    }
}

TEST_P(EveryPath, ALastPieceNotAMultipleOf4GoesWithItsExactLength) {
    Open(GetParam());
    const std::vector<uint8_t> image = Pattern(4099);
    ASSERT_EQ(DownloadFW(Context(), Handle(), image.data(), 4099), 1);
    const auto pieces = Executed(0x11);
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_EQ(Dword(pieces[1], 10), 0u) << "3 bytes: NUMD (3 - 1) / 4";
    EXPECT_EQ(Dword(pieces[1], 11), 1024u);
    EXPECT_EQ(sim::NvmeFirmware(Name()).download, image);
}

TEST_P(EveryPath, AFailingSecondPieceGivesMinus4AndNoThirdPiece) {
    Open(GetParam());
    sim::Current().AddFault(NthPieceRefused(GetParam(), 2));
    const std::vector<uint8_t> image = Pattern(10000);
    EXPECT_EQ(DownloadFW(Context(), Handle(), image.data(), 10000), -4);
    EXPECT_EQ(Executed(0x11).size(), 1u);
    EXPECT_EQ(Posts(), (std::vector<intptr_t>{40})) << "posted before the second piece";
    EXPECT_EQ(LogLines(), (std::vector<std::u16string>{u"DownloadFW IN", u"DownloadFW  40%"}));
}

TEST_P(EveryPath, CommitOfSlot1Action1StagesTheDownloadedImage) {
    Open(GetParam());
    const std::vector<uint8_t> image = sim::MakeFirmwareImage({});
    ASSERT_EQ(DownloadFW(Context(), Handle(), image.data(), static_cast<uint32_t>(image.size())),
              1);
    capture_.Clear();
    ASSERT_EQ(FWCommit(Context(), Handle(), 1, 1), 1);
    const auto commits = Executed(0x10);
    ASSERT_EQ(commits.size(), 1u);
    EXPECT_EQ(Dword(commits[0], 10), 9u);
    EXPECT_EQ(Dword(commits[0], 1), 0u);
    EXPECT_EQ(LogLines(),
              (std::vector<std::u16string>{u"FW Commit IN", u"FW Commit Success OUT "}));
    const sim::NvmeFirmwareState state = sim::NvmeFirmware(Name());
    EXPECT_EQ(state.staged, image);
    EXPECT_TRUE(state.download.empty());
}

INSTANTIATE_TEST_SUITE_P(Paths, EveryPath, testing::ValuesIn(kNvmePaths));

using Download = FirmwareTest;

TEST_F(Download, AnInboxPieceIsOneStorageFirmwareDownloadOf4136Bytes) {
    Open("nvme");
    const std::vector<uint8_t> image = Pattern(4096 + 100);
    ASSERT_EQ(DownloadFW(Context(), Handle(), image.data(), 4196), 1);
    const auto requests = TraceOf(kIoctlStorageFirmwareDownload);
    ASSERT_EQ(requests.size(), 2u);
    const uint32_t sizes[] = {4136, 140};
    const uint64_t offsets[] = {0, 4096};
    for (size_t i = 0; i < 2; ++i) {
        const std::vector<uint8_t>& in = requests[i].in;
        ASSERT_EQ(in.size(), sizes[i]) << "input length = Size";
        EXPECT_EQ(Le32At(in, 0), 40u) << "Version";
        EXPECT_EQ(Le32At(in, 4), sizes[i]) << "Size";
        EXPECT_EQ(Le32At(in, 8), 1u) << "Flags: controller";
        EXPECT_EQ(in[12], 1) << "Slot";
        EXPECT_EQ(in[13] | in[14] | in[15], 0);
        EXPECT_EQ(Le64At(in, 16), offsets[i]) << "Offset";
        EXPECT_EQ(Le64At(in, 24), sizes[i] - 40u) << "BufferSize";
        EXPECT_TRUE(std::equal(in.begin() + 32, in.begin() + 32 + (sizes[i] - 40),
                               image.begin() + static_cast<long>(offsets[i])));
        EXPECT_TRUE(std::all_of(in.begin() + 32 + (sizes[i] - 40), in.end(),
                                [](uint8_t b) { return b == 0; }));
    }
}

TEST_F(Download, AnRstPieceIsA4184ByteIntelFwRequest) {
    Open("rst");
    const std::vector<uint8_t> image = Pattern(8192);
    ASSERT_EQ(DownloadFW(Context(), Handle(), image.data(), 8192), 1);
    const auto requests = TraceOf(kIoctlScsiMiniport);
    ASSERT_EQ(requests.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        const std::vector<uint8_t>& in = requests[i].in;
        ASSERT_EQ(in.size(), 4184u);
        EXPECT_EQ(requests[i].path, "\\\\.\\scsi1:");
        std::vector<uint8_t> expected(88, 0);
        auto put = [&](size_t at, uint32_t v) {
            for (int b = 0; b < 4; ++b)
                expected[at + b] = static_cast<uint8_t>(v >> (8 * b));
        };
        put(0, 28);
        std::memcpy(&expected[4], "IntelFw ", 8);
        put(12, 200);
        put(16, 0xF0000040u);
        put(24, 4156);
        expected[28] = 1;
        expected[29] = static_cast<uint8_t>(Context()->iPathId);
        const uint32_t block[] = {1, 24, 2, 1, 56, 4128, 2, 32};
        for (int w = 0; w < 8; ++w)
            put(32 + 4 * w, block[w]);
        put(64, static_cast<uint32_t>(4096 * i)); // image offset, 64-bit
        put(72, 4096);                            // buffer size, 64-bit
        expected[80] = 0xFF;
        EXPECT_EQ(sim::Hex(std::vector<uint8_t>(in.begin(), in.begin() + 88)), sim::Hex(expected))
            << "piece " << i;
        EXPECT_TRUE(
            std::equal(in.begin() + 88, in.end(), image.begin() + static_cast<long>(4096 * i)));
    }
}

TEST_F(Download, BridgePiecesAreThreePassThroughCommands) {
    const std::vector<uint8_t> image = Pattern(4096);
    struct Case {
        const char* path;
        std::vector<std::string> cdbs;
        std::vector<uint8_t> dataIn;
        std::vector<uint32_t> lengths;
    };
    const Case cases[] = {
        {"asmedia",
         {"ea5a8000020000000000000000400000", "ea5a8100020000000000000010000000",
          "eb5a8200020000000000000000100000"},
         {kScsiIoctlDataOut, kScsiIoctlDataOut, kScsiIoctlDataIn},
         {64, 4096, 16}},
        {"jmicron",
         {"a1800000020000000000000000000000", "a1830000100000000000000000000000",
          "a18f0000020000000000000000000000"},
         {kScsiIoctlDataOut, kScsiIoctlDataOut, kScsiIoctlDataIn},
         {512, 4096, 512}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        Open(c.path);
        ASSERT_EQ(DownloadFW(Context(), Handle(), image.data(), 4096), 1);
        const auto requests = TraceOf(kIoctlScsiPassThroughDirect);
        ASSERT_EQ(requests.size(), 3u);
        for (size_t i = 0; i < 3; ++i) {
            const SentSptd s = DecodeSptd(requests[i]);
            EXPECT_EQ(sim::Hex(s.cdb), c.cdbs[i]);
            EXPECT_EQ(s.dataIn, c.dataIn[i]);
            EXPECT_EQ(s.transferLength, c.lengths[i]);
            EXPECT_EQ(s.cdbLength, 16);
            EXPECT_EQ(s.senseLength, 24);
            EXPECT_EQ(Le32At(requests[i].in, kPassThroughLayoutNative.sptdDataTransferLength + 4),
                      10u)
                << "TimeOutValue";
        }
        EXPECT_EQ(*requests[1].data_out, image);
        if (std::string(c.path) == "jmicron") {
            const std::vector<uint8_t>& block = *requests[0].data_out;
            EXPECT_EQ(std::string(block.begin(), block.begin() + 4), "NVME");
            EXPECT_EQ(block[8], 0x11);
            EXPECT_EQ(Le32At(block, 8 + 40), 1023u);
        }
        EXPECT_EQ(sim::Current().BridgeSequenceErrors(c.path), 0);
    }
}

TEST_F(Download, ARequestBufferThatCannotBeHadGivesMinus4AndSendsNothing) {
    const std::vector<uint8_t> image = Pattern(100);
    for (const char* path : {"nvme", "rst"}) {
        SCOPED_TRACE(path);
        Open(path);
        sim::Current().FailPageAllocs(1);
        EXPECT_EQ(DownloadFW(Context(), Handle(), image.data(), 100), -4);
        EXPECT_TRUE(sim::Current().Trace().empty());
    }
    sim::Current().FailPageAllocs(1);
    EXPECT_EQ(FWCommit(Context(), Handle(), 1, 1), -4);
    EXPECT_TRUE(sim::Current().Trace().empty());
}

TEST_F(Download, ATypeOutsideTheNvmePathsGivesMinus5AndSendsNothing) {
    Open("nvme");
    TransportContext sata{kCmdSata, PLAT_INVALID_HANDLE, 0};
    const std::vector<uint8_t> image = Pattern(10000);
    EXPECT_EQ(DownloadFW(&sata, Handle(), image.data(), 10000), -5);
    EXPECT_EQ(FWCommit(&sata, Handle(), 1, 1), -5);
    EXPECT_TRUE(sim::Current().Trace().empty());
    EXPECT_TRUE(Posts().empty());
    EXPECT_EQ(LogLines(), (std::vector<std::u16string>{u"DownloadFW IN", u"FW Commit IN"}));
}

using Commit = FirmwareTest;

TEST_F(Commit, BridgesSendTheCommitWithAnEmptyUnspecifiedDataPhase) {
    const std::pair<const char*, const char*> cases[] = {
        {"asmedia", "eb5a8100000000000000000000000000"},
        {"jmicron", "a1810000000000000000000000000000"},
    };
    for (const auto& [path, dataCdb] : cases) {
        SCOPED_TRACE(path);
        Open(path);
        ASSERT_EQ(FWCommit(Context(), Handle(), 1, 1), 1);
        const auto requests = TraceOf(kIoctlScsiPassThroughDirect);
        ASSERT_EQ(requests.size(), 3u);
        const SentSptd data = DecodeSptd(requests[1]);
        EXPECT_EQ(sim::Hex(data.cdb), dataCdb);
        EXPECT_EQ(data.dataIn, kScsiIoctlDataUnspecified);
        EXPECT_EQ(data.transferLength, 0u);
        ASSERT_EQ(Executed(0x10).size(), 1u);
        EXPECT_EQ(Dword(Executed(0x10)[0], 10), 9u);
    }
}

TEST_F(Commit, AFaultOnTheCommitOpcodeRefusesItOnEveryPath) {
    for (const char* path : {"asmedia", "jmicron", "nvme", "rst"}) {
        SCOPED_TRACE(path);
        Open(path);
        sim::Fault f;
        f.nvme_opcode = 0x10;
        sim::Current().AddFault(f);
        EXPECT_EQ(FWCommit(Context(), Handle(), 1, 1), -4);
        size_t refused = 0;
        for (const auto& r : sim::Current().Trace())
            if (r.note == "refused by fault") ++refused;
        EXPECT_EQ(refused, 1u);
        EXPECT_TRUE(Executed(0x10).empty()) << "the refused commit reached the drive";
        sim::Current().ClearFaults();
    }
}

TEST_F(Commit, InboxFlagsFollowTheCommitAction) {
    struct Case {
        uint32_t slot, action, flags;
    };
    for (const Case& c : {Case{1, 1, 1u}, Case{2, 2, 0x80000001u}, Case{1, 3, 0x80000001u}}) {
        SCOPED_TRACE(c.action);
        Open("nvme");
        FWCommit(Context(), Handle(), c.slot, c.action);
        const auto requests = TraceOf(kIoctlStorageFirmwareActivate);
        ASSERT_EQ(requests.size(), 1u);
        const std::vector<uint8_t>& in = requests[0].in;
        ASSERT_EQ(in.size(), 16u);
        EXPECT_EQ(Le32At(in, 0), 16u) << "Version";
        EXPECT_EQ(Le32At(in, 4), 16u) << "Size";
        EXPECT_EQ(Le32At(in, 8), c.flags);
        EXPECT_EQ(in[12], c.slot);
        EXPECT_EQ(in[13] | in[14] | in[15], 0);
    }
}

TEST_F(Commit, AnInboxActivateFailingWith197127CountsAsSuccessAnotherErrorAsMinus4) {
    Open("nvme");
    const std::vector<uint8_t> image = sim::MakeFirmwareImage({});
    ASSERT_EQ(DownloadFW(Context(), Handle(), image.data(), static_cast<uint32_t>(image.size())),
              1);
    sim::Fault pending;
    pending.nvme_opcode = 0x10;
    pending.error = 197127;
    sim::Current().AddFault(pending);
    capture_.Clear();
    EXPECT_EQ(FWCommit(Context(), Handle(), 1, 1), 1);
    EXPECT_EQ(LogLines(),
              (std::vector<std::u16string>{u"FW Commit IN", u"FW Commit Success OUT "}));
    EXPECT_EQ(TraceOf(kIoctlStorageFirmwareActivate).at(0).error, 197127u);
    EXPECT_EQ(sim::NvmeFirmware("nvme").staged, image) << "the commit reached the drive";

    sim::Fault refused;
    refused.ioctl = kIoctlStorageFirmwareActivate;
    refused.error = 1117;
    sim::Current().AddFault(refused);
    capture_.Clear();
    EXPECT_EQ(FWCommit(Context(), Handle(), 1, 1), -4);
    EXPECT_EQ(LogLines(), (std::vector<std::u16string>{u"FW Commit IN"}));
}

TEST_F(Commit, TheRstActivateIsA4184ByteIntelFwRequestForSlot1) {
    Open("rst");
    ASSERT_EQ(FWCommit(Context(), Handle(), 2, 3), 1) << "slot and action are not passed";
    const auto requests = TraceOf(kIoctlScsiMiniport);
    ASSERT_EQ(requests.size(), 1u);
    const std::vector<uint8_t>& in = requests[0].in;
    ASSERT_EQ(in.size(), 4184u);
    std::vector<uint8_t> expected(4184, 0);
    auto put = [&](size_t at, uint32_t v) {
        for (int b = 0; b < 4; ++b)
            expected[at + b] = static_cast<uint8_t>(v >> (8 * b));
    };
    put(0, 28);
    std::memcpy(&expected[4], "IntelFw ", 8);
    put(12, 200);
    put(16, 0xF0000040u);
    put(24, 4156);
    expected[28] = 1;
    expected[29] = static_cast<uint8_t>(Context()->iPathId);
    const uint32_t words[] = {1, 24, 3, 1, 56, 12, 1, 12};
    for (int w = 0; w < 8; ++w)
        put(32 + 4 * w, words[w]);
    expected[64] = 1;
    put(68, 5);
    put(72, 7);
    EXPECT_EQ(sim::Hex(in), sim::Hex(expected));
    ASSERT_EQ(Executed(0x10).size(), 1u);
    EXPECT_EQ(Dword(Executed(0x10)[0], 10), 9u);
}

TEST_F(Commit, ARefusedRstActivateGivesMinus4) {
    Open("rst");
    sim::Fault f;
    f.ioctl = kIoctlScsiMiniport;
    sim::Current().AddFault(f);
    EXPECT_EQ(FWCommit(Context(), Handle(), 1, 1), -4);
    EXPECT_EQ(LogLines(), (std::vector<std::u16string>{u"FW Commit IN"}));
}

} // namespace
