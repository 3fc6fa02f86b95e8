// The ATA command transport: ATA pass-through registers, SAT command blocks and the route
// each SATA path takes, checked through the simulator's trace.
#include "fixture.h"

#include "sata/ata_transport.h"

#include <algorithm>

namespace {

sim::DriveOnPath Sata(const char* path) {
    sim::DriveOnPath d;
    d.path = path;
    d.number = 1;
    d.name = path;
    return d;
}

sim::Machine& LoadSata(const char* path, bool ataPassThrough = true) {
    sim::Json m = sim::TypicalMachine({Sata(path)});
    if (!ataPassThrough)
        for (auto& node : m["nodes"])
            if (node.contains("disk")) node["disk"]["ata_pass_through"] = false;
    return sim::Load(m.dump());
}

// Registers of an ATA pass-through request as sent.
struct SentAta {
    uint16_t length, flags;
    uint32_t transferLength;
    uintptr_t dataBuffer;
    std::vector<uint8_t> previous, current;
};
SentAta DecodeAta(const sim::TraceRecord& r) {
    const PassThroughLayout& l = kPassThroughLayoutNative;
    SentAta a;
    a.length = static_cast<uint16_t>(r.in.at(0) | (r.in.at(1) << 8));
    a.flags = static_cast<uint16_t>(r.in.at(2) | (r.in.at(3) << 8));
    a.transferLength = Le32At(r.in, l.aptdDataTransferLength);
    a.dataBuffer = 0;
    for (int i = static_cast<int>(l.pointerSize) - 1; i >= 0; --i)
        a.dataBuffer = (a.dataBuffer << 8) | r.in.at(l.aptdDataBuffer + i);
    a.previous.assign(r.in.begin() + l.aptdPreviousTaskFile,
                      r.in.begin() + l.aptdPreviousTaskFile + 8);
    a.current.assign(r.in.begin() + l.aptdCurrentTaskFile,
                     r.in.begin() + l.aptdCurrentTaskFile + 8);
    return a;
}

TEST(AtaRoute, IdentifyOnASataPortGoesThroughAtaPassThrough) {
    LoadSata("sata");
    OpenedDrive drive(1, true);
    ASSERT_EQ(drive.context.iCmdType, 16);
    sim::Current().ClearTrace();
    std::vector<uint8_t> data(512, 0xCC);
    ASSERT_EQ(AtaIdentify(&drive.context, drive.handle, data.data(), 512), 1);
    EXPECT_EQ(data, sim::Current().DrivePage("sata", "identify_device"));
    auto r = TraceOf(kIoctlAtaPassThroughDirect);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_TRUE(TraceOf(kIoctlScsiPassThroughDirect).empty());
    ASSERT_EQ(r[0].in.size(), kPassThroughLayoutNative.aptdSize);
    SentAta a = DecodeAta(r[0]);
    EXPECT_EQ(a.length, kPassThroughLayoutNative.aptdSize);
    EXPECT_EQ(a.flags, 0x3);
    EXPECT_EQ(a.transferLength, 512u);
    EXPECT_EQ(a.dataBuffer % 16, 0u);
    EXPECT_EQ(Le32At(r[0].in, 12), 60u); // TimeOutValue
    EXPECT_EQ(sim::Hex(a.previous), "0000000000000000");
    EXPECT_EQ(sim::Hex(a.current), "00010000004"
                                   "0ec00");
    EXPECT_EQ(sim::Current().PageAllocCount(), 0);
}

TEST(AtaRoute, TheStatusRegisterDecidesTheAtaRoute) {
    struct Case {
        uint8_t status;
        int32_t result;
    } cases[] = {{0x51, 0}, {0x58, 0}, {0x50, 1}, {0x41, 0}, {0x08, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.status));
        LoadSata("sata");
        OpenedDrive drive(1, true);
        sim::Fault f;
        f.ioctl = kIoctlAtaPassThroughDirect;
        f.ata_command = 0xEC;
        f.action = sim::Fault::Action::AtaStatus;
        f.status = c.status;
        sim::Current().AddFault(f);
        std::vector<uint8_t> data(512, 0xCC);
        EXPECT_EQ(IO_ATA_PassThrough(drive.handle, 0xEC, 0, 0x3, 0, 0, data.data(), 512), c.result);
        // Data is copied back only after a successful command.
        if (c.result == 0) {
            EXPECT_TRUE(std::all_of(data.begin(), data.end(), [](uint8_t b) { return b == 0xCC; }));
        }
        EXPECT_EQ(sim::Current().PageAllocCount(), 0);
    }
}

TEST(AtaRoute, AFailedAtaCommandOnASataPortIsSentAgainOverSat) {
    LoadSata("sata");
    OpenedDrive drive(1, true);
    sim::Fault f;
    f.ioctl = kIoctlAtaPassThroughDirect;
    f.action = sim::Fault::Action::AtaStatus;
    f.status = 0x51;
    sim::Current().AddFault(f);
    sim::Current().ClearTrace();
    std::vector<uint8_t> data(512);
    EXPECT_EQ(AtaIdentify(&drive.context, drive.handle, data.data(), 512), 1);
    auto trace = sim::Current().Trace();
    ASSERT_EQ(trace.size(), 2u);
    EXPECT_EQ(trace[0].ioctl, kIoctlAtaPassThroughDirect);
    EXPECT_EQ(trace[1].ioctl, kIoctlScsiPassThroughDirect);
    EXPECT_EQ(data, sim::Current().DrivePage("sata", "identify_device"));
}

TEST(AtaRoute, Type16FallsBackToSatWhenAtaPassThroughIsRefused) {
    LoadSata("sata", false);
    OpenedDrive drive(1, true);
    sim::Current().ClearTrace();
    std::vector<uint8_t> data(512);
    EXPECT_EQ(AtaIdentify(&drive.context, drive.handle, data.data(), 512), 1);
    auto trace = sim::Current().Trace();
    ASSERT_EQ(trace.size(), 2u);
    EXPECT_EQ(trace[0].ioctl, kIoctlAtaPassThroughDirect);
    EXPECT_FALSE(trace[0].ok);
    EXPECT_EQ(trace[1].ioctl, kIoctlScsiPassThroughDirect);
    EXPECT_TRUE(trace[1].ok);
    EXPECT_EQ(data, sim::Current().DrivePage("sata", "identify_device"));
}

TEST(AtaRoute, SataBehindUsbOrSasNeverSendsAtaPassThrough) {
    for (const char* path : {"sata-usb", "sata-scsi"}) {
        SCOPED_TRACE(path);
        LoadSata(path);
        OpenedDrive drive(1, true);
        ASSERT_EQ(drive.context.iCmdType, std::string(path) == "sata-usb" ? 17 : 18);
        std::vector<uint8_t> data(4096);
        EXPECT_EQ(AtaIdentify(&drive.context, drive.handle, data.data(), 512), 1);
        EXPECT_EQ(
            AtaCmd(drive.context.iCmdType, drive.handle, 0xC3, 3, 0x3, 0, 0, data.data(), 4096), 1);
        EXPECT_EQ(data, sim::Current().DrivePage(path, "vendor_info"));
        // A failing command is not retried on another route either.
        sim::Fault f;
        f.ata_command = 0xC3;
        sim::Current().AddFault(f);
        EXPECT_EQ(
            AtaCmd(drive.context.iCmdType, drive.handle, 0xC3, 4, 0x3, 0, 0, data.data(), 4096), 0);
        EXPECT_TRUE(TraceOf(kIoctlAtaPassThroughDirect).empty());
    }
}

TEST(AtaRoute, ACommandTheDriveRejectsFailsOnBothRoutesAndReachesItTwice) {
    std::vector<uint8_t> data(4096, 0xCC);
    {
        LoadSata("sata");
        OpenedDrive drive(1, true);
        sim::Current().ClearTrace();
        EXPECT_EQ(AtaCmd(16, drive.handle, 0xC3, 9, 0x3, 0, 0, data.data(), 4096), 0);
        auto trace = sim::Current().Trace();
        ASSERT_EQ(trace.size(), 2u);
        EXPECT_EQ(trace[0].ata_status, 0x51);
        EXPECT_EQ(trace[1].scsi_status, 2); // the SAT answer: check condition
        EXPECT_EQ(sim::Current().ExecutedCommands("sata").size(), 2u);
    }
    // Behind USB the SAT check condition is the failure.
    LoadSata("sata-usb");
    OpenedDrive usb(1, true);
    EXPECT_EQ(AtaCmd(17, usb.handle, 0xC3, 9, 0x3, 0, 0, data.data(), 4096), 0);
    EXPECT_EQ(AtaCmd(17, usb.handle, 0xC3, 3, 0x3, 0, 0, data.data(), 4096), 1);
}

TEST(SatBlock, IdentifyIsTheTwelveByteBlockWithDataIn) {
    LoadSata("sata-usb");
    OpenedDrive drive(1, true);
    sim::Current().ClearTrace();
    std::vector<uint8_t> data(512);
    ASSERT_EQ(IO_SAT_PassThrough(drive.handle, 0xEC, 0, 0x3, 0, 0, data.data(), 512), 1);
    auto r = TraceOf(kIoctlScsiPassThroughDirect);
    ASSERT_EQ(r.size(), 1u);
    ASSERT_EQ(r[0].in.size(), kSptdRequestSize);
    SentSptd s = DecodeSptd(r[0]);
    EXPECT_EQ(s.length, kPassThroughLayoutNative.sptdSize);
    EXPECT_EQ(s.cdbLength, 12);
    EXPECT_EQ(s.senseLength, 64);
    EXPECT_EQ(s.senseOffset, kSptdSenseOffset);
    EXPECT_EQ(s.dataIn, 1);
    EXPECT_EQ(s.transferLength, 512u);
    EXPECT_EQ(Le32At(r[0].in, 16), 60u);
    EXPECT_EQ(sim::Hex(s.cdb), "a1080e00010000004"
                               "0ec000000000000");
    EXPECT_EQ(data, sim::Current().DrivePage("sata-usb", "identify_device"));
}

TEST(SatBlock, DownloadMicrocodeChunkAndNoDataBlocks) {
    LoadSata("sata-scsi");
    OpenedDrive drive(1, true);
    std::vector<uint8_t> chunk(4096, 0x77);
    // The drive takes segments in order: the first one opens the download.
    ASSERT_EQ(IO_SAT_PassThrough(drive.handle, 0x92, 3, 0x5, 0, 0, chunk.data(), 4096), 1);
    sim::Current().ClearTrace();
    ASSERT_EQ(IO_SAT_PassThrough(drive.handle, 0x92, 3, 0x5, 8 * 256, 0, chunk.data(), 4096), 1);
    ASSERT_EQ(IO_SAT_PassThrough(drive.handle, 0xE7, 0, 0x1, 0, 0, nullptr, 0), 1);
    auto r = TraceOf(kIoctlScsiPassThroughDirect);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(sim::Hex(DecodeSptd(r[0]).cdb), "a10a0603080008004"
                                              "092000000000000");
    EXPECT_EQ(DecodeSptd(r[0]).dataIn, 0);
    EXPECT_EQ(*r[0].data_out, chunk);
    EXPECT_EQ(sim::Hex(DecodeSptd(r[1]).cdb), "a1060000000000004"
                                              "0e7000000000000");
    EXPECT_EQ(DecodeSptd(r[1]).dataIn, 2);
}

// The SAS adapter refuses data buffers off its 4-byte alignment, and a caller's buffer may sit
// anywhere: the SAT route moves it through an aligned bounce buffer, both ways.
TEST(SatBlock, AnUnalignedCallerBufferStillWorksBehindTheSasAdapter) {
    LoadSata("sata-scsi");
    OpenedDrive drive(1, true);
    sim::Current().ClearTrace();
    std::vector<uint8_t> storage(4096 + 16, 0);
    for (size_t shift : {1, 2, 3, 6}) {
        SCOPED_TRACE(shift);
        uint8_t* data = storage.data() + shift;
        ASSERT_EQ(AtaCmd(18, drive.handle, 0xEC, 0, 0x3, 0, 0, data, 512), 1);
        EXPECT_EQ(std::vector<uint8_t>(data, data + 512),
                  sim::Current().DrivePage("sata-scsi", "identify_device"));
        std::vector<uint8_t> record(4096);
        for (size_t i = 0; i < record.size(); ++i)
            record[i] = static_cast<uint8_t>(i * 13 + shift);
        std::copy(record.begin(), record.end(), data);
        ASSERT_EQ(AtaCmd(18, drive.handle, 0xC2, 1, 0x5, 0, 0, data, 4096), 1);
        EXPECT_EQ(sim::Current().DrivePage("sata-scsi", "config_record"), record);
    }
    for (const auto& r : TraceOf(kIoctlScsiPassThroughDirect)) {
        EXPECT_TRUE(r.ok) << r.note;
        EXPECT_EQ(r.scsi_status, 0);
    }
    EXPECT_EQ(sim::Current().PageAllocCount(), 0);
    // Without a bounce buffer to be had, the request is not sent at all.
    sim::Current().ClearTrace();
    sim::Current().FailPageAllocs(1);
    EXPECT_EQ(AtaCmd(18, drive.handle, 0xEC, 0, 0x3, 0, 0, storage.data() + 1, 512), 0);
    EXPECT_TRUE(TraceOf(kIoctlScsiPassThroughDirect).empty());
    EXPECT_EQ(sim::Current().PageAllocCount(), 0);
}

TEST(AtaRegisters, DownloadMicrocodeRegistersOnTheAtaRoute) {
    LoadSata("sata");
    OpenedDrive drive(1, true);
    std::vector<uint8_t> chunk(4096, 0x33);
    // The drive takes segments in order: the first one opens the download.
    ASSERT_EQ(AtaCmd(16, drive.handle, 0x92, 3, 0x5, 0, 0, chunk.data(), 4096), 1);
    sim::Current().ClearTrace();
    ASSERT_EQ(AtaCmd(16, drive.handle, 0x92, 3, 0x5, 8 * 256, 0, chunk.data(), 4096), 1);
    auto r = TraceOf(kIoctlAtaPassThroughDirect);
    ASSERT_EQ(r.size(), 1u);
    SentAta a = DecodeAta(r[0]);
    EXPECT_EQ(a.flags, 0x5);
    EXPECT_EQ(sim::Hex(a.current), "0308000800"
                                   "409200");
    EXPECT_EQ(*r[0].data_out, chunk);
}

TEST(AtaRegisters, A48BitOpcodeSplitsItsLbaAcrossBothTaskFiles) {
    LoadSata("sata");
    OpenedDrive drive(1, true);
    sim::Current().ClearTrace();
    std::vector<uint8_t> data(512);
    IO_ATA_PassThrough(drive.handle, 0x25, 0, 0x3, 0x789ABCu, 0, data.data(), 512);
    auto r = TraceOf(kIoctlAtaPassThroughDirect);
    ASSERT_EQ(r.size(), 1u);
    SentAta a = DecodeAta(r[0]);
    EXPECT_EQ(a.flags, 0x3 | 0x8);
    EXPECT_EQ(a.current[2], 0xBC);
    EXPECT_EQ(a.current[3], 0x9A);
    EXPECT_EQ(a.current[4], 0x78);
    EXPECT_EQ(a.current[5], 0x40);
    EXPECT_EQ(a.previous[2], 0x00);
    sim::Current().ClearTrace();
    // LBA 0x123456789ABC.
    IO_ATA_PassThrough(drive.handle, 0x25, 0, 0x3, 0x56789ABCu, 0x1234u, data.data(), 512);
    a = DecodeAta(TraceOf(kIoctlAtaPassThroughDirect).at(0));
    EXPECT_EQ(sim::Hex(a.current), "000"
                                   "1bc9a78402500");
    EXPECT_EQ(sim::Hex(a.previous), "0000563412000000");
    sim::Current().ClearTrace();
    IO_SAT_PassThrough(drive.handle, 0x25, 0, 0x3, 0x56789ABCu, 0x1234u, data.data(), 512);
    SentSptd s = DecodeSptd(TraceOf(kIoctlScsiPassThroughDirect).at(0));
    EXPECT_EQ(s.cdbLength, 16);
    EXPECT_EQ(sim::Hex(s.cdb), "85090e000000015"
                               "6bc349a12784025"
                               "00");
}

TEST(AtaRegisters, A28BitCommandCarriesLbaBits24To27InTheDeviceRegister) {
    LoadSata("sata");
    OpenedDrive drive(1, true);
    sim::Current().ClearTrace();
    std::vector<uint8_t> data(1000);
    IO_ATA_PassThrough(drive.handle, 0xC8, 0, 0x3, 0x0ABCDEF1u, 0, data.data(), 1000);
    SentAta a = DecodeAta(TraceOf(kIoctlAtaPassThroughDirect).at(0));
    EXPECT_EQ(a.current[1], 1);         // whole blocks of a 1000-byte transfer
    EXPECT_EQ(a.transferLength, 1000u); // while the full length moves
    EXPECT_EQ(a.current[5], 0x40 | 0x0A);
}

} // namespace
