// Bridge command sequences sent from two threads at once: each drive must receive whole,
// unmixed three-phase sequences.
#include "fixture.h"

#include "nvme/nvme_transport.h"
#include "platform/thread.h"

#include <atomic>
#include <memory>
#include <vector>

namespace {

constexpr int kRounds = 40;

struct Worker {
    std::atomic<int> failures{0};
};

uint32_t IssueCommands(void* argument) {
    auto* worker = static_cast<Worker*>(argument);
    OpenedDrive asmedia(1);
    OpenedDrive jmicron(2);
    std::vector<uint8_t> reply(4096);
    for (int i = 0; i < kRounds; ++i) {
        for (OpenedDrive* d : {&asmedia, &jmicron}) {
            if (NVMeAdminCmd(&d->context, d->handle, kDirFromDrive, 0xE6, 3, 0, kVendorSigDword14,
                             kVendorSigDword15, reply.data(), 4096) != 1 ||
                reply[0] != 0x5A)
                ++worker->failures;
            uint8_t status = 0;
            if (NVMeIdentify(&d->context, d->handle, 1, 0, reply.data(), 4096, &status) != 1 ||
                status != 0)
                ++worker->failures;
        }
    }
    return 0;
}

// The phase of a bridge request by its CDB: 0 command, 1 data, 2 completion, -1 anything else.
int Phase(const std::vector<uint8_t>& cdb) {
    if (cdb.size() < 3) return -1;
    if ((cdb[0] == 0xEA || cdb[0] == 0xEB) && cdb[1] == 0x5A && cdb[2] >= 0x80 && cdb[2] <= 0x82)
        return cdb[2] - 0x80;
    if (cdb[0] == 0xA1 && cdb[1] == 0x80) return 0;
    if (cdb[0] == 0xA1 && cdb[1] >= 0x81 && cdb[1] <= 0x83) return 1;
    if (cdb[0] == 0xA1 && cdb[1] == 0x8F) return 2;
    return -1;
}

TEST(BridgeThreads, EachDriveReceivesWholeUnmixedSequences) {
    LoadDrives({DriveAt("asmedia", 1, "asmedia"), DriveAt("jmicron", 2, "jmicron")});
    Worker first, second;
    PlatHandle t1 = PlatCreateThread(IssueCommands, &first);
    PlatHandle t2 = PlatCreateThread(IssueCommands, &second);
    ASSERT_NE(t1, nullptr);
    ASSERT_NE(t2, nullptr);
    EXPECT_EQ(PlatWaitThread(t1, PLAT_WAIT_INFINITE), 1);
    EXPECT_EQ(PlatWaitThread(t2, PLAT_WAIT_INFINITE), 1);
    PlatCloseThread(t1);
    PlatCloseThread(t2);
    EXPECT_EQ(first.failures.load(), 0);
    EXPECT_EQ(second.failures.load(), 0);

    for (const char* drive : {"asmedia", "jmicron"}) {
        SCOPED_TRACE(drive);
        EXPECT_EQ(sim::Current().BridgeSequenceErrors(drive), 0);
        int expected = 0; // the phase the next sequence request must be
        int sequences = 0;
        for (const auto& r : sim::Current().TraceFor(drive)) {
            if (r.ioctl != kIoctlScsiPassThroughDirect) continue;
            const int phase = Phase(r.cdb);
            if (phase < 0) {
                // A single request (INQUIRY, information read, ASMedia Identify) never falls
                // inside a sequence.
                EXPECT_EQ(expected, 0) << "seq " << r.seq;
                continue;
            }
            ASSERT_EQ(phase, expected) << "seq " << r.seq;
            expected = (expected + 1) % 3;
            if (expected == 0) ++sequences;
        }
        EXPECT_EQ(expected, 0);
        // Two threads; each sends a vendor read per round, and on JMicron its Identify too.
        EXPECT_EQ(sequences, std::string(drive) == "jmicron" ? 4 * kRounds : 2 * kRounds);
    }
    EXPECT_EQ(sim::Current().OpenHandleCount(), 0);
}

// One drive's commands sent on one handle of it from a thread of its own; both threads start
// their commands together, so that their sequences overlap in time.
constexpr int kHandleRounds = 200;
struct OnHandle {
    const OpenedDrive* drive;
    std::atomic<int>* started;
    std::atomic<int> failures{0};
};

uint32_t IssueOnHandle(void* argument) {
    auto* on = static_cast<OnHandle*>(argument);
    std::vector<uint8_t> reply(4096);
    on->started->fetch_add(1);
    while (on->started->load() < 2) {
    }
    for (int i = 0; i < kHandleRounds; ++i)
        if (NVMeAdminCmd(&on->drive->context, on->drive->handle, kDirFromDrive, 0xE6, 3, 0,
                         kVendorSigDword14, kVendorSigDword15, reply.data(), 4096) != 1 ||
            reply[0] != 0x5A)
            ++on->failures;
    return 0;
}

TEST(BridgeThreads, TwoHandlesOfOneDriveExcludeEachOtherHoweverManyWereOpened) {
    // The worker's handle stays open while the drive is classified again and again (each
    // classification binds a handle and closing it unbinds it), or while more handles are open
    // at once than the lock has binding slots. Then a new handle of the same drive and the
    // worker's handle send commands from two threads: every sequence must arrive whole.
    struct {
        const char* what;
        int cycles; // classifications opened and closed while the worker's handle is open
        int held;   // further handles of the drive kept open meanwhile
    } cases[] = {
        {"100 classifications opened and closed", 100, 0},
        {"70 more handles open at once", 0, 70},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        LoadDrives({DriveAt("jmicron", 2, "jmicron")});
        {
            OpenedDrive worker(2);
            ASSERT_EQ(worker.context.iCmdType, kCmdJmicron);
            for (int i = 0; i < c.cycles; ++i) {
                OpenedDrive probe(2);
                ASSERT_EQ(probe.context.iCmdType, kCmdJmicron);
            }
            std::vector<std::unique_ptr<OpenedDrive>> held;
            for (int i = 0; i < c.held; ++i) {
                held.push_back(std::make_unique<OpenedDrive>(2));
                ASSERT_EQ(held.back()->context.iCmdType, kCmdJmicron);
            }
            OpenedDrive dialog(2);
            ASSERT_EQ(dialog.context.iCmdType, kCmdJmicron);
            sim::Current().ClearTrace();

            std::atomic<int> started{0};
            OnHandle first{&worker, &started}, second{&dialog, &started};
            PlatHandle t1 = PlatCreateThread(IssueOnHandle, &first);
            PlatHandle t2 = PlatCreateThread(IssueOnHandle, &second);
            ASSERT_NE(t1, nullptr);
            ASSERT_NE(t2, nullptr);
            EXPECT_EQ(PlatWaitThread(t1, PLAT_WAIT_INFINITE), 1);
            EXPECT_EQ(PlatWaitThread(t2, PLAT_WAIT_INFINITE), 1);
            PlatCloseThread(t1);
            PlatCloseThread(t2);
            EXPECT_EQ(first.failures.load(), 0);
            EXPECT_EQ(second.failures.load(), 0);
        }
        EXPECT_EQ(sim::Current().BridgeSequenceErrors("jmicron"), 0);
        int expected = 0;
        int sequences = 0;
        for (const auto& r : sim::Current().TraceFor("jmicron")) {
            if (r.ioctl != kIoctlScsiPassThroughDirect) continue;
            const int phase = Phase(r.cdb);
            ASSERT_EQ(phase, expected) << "seq " << r.seq;
            expected = (expected + 1) % 3;
            if (expected == 0) ++sequences;
        }
        EXPECT_EQ(sequences, 2 * kHandleRounds);
        EXPECT_EQ(sim::Current().OpenHandleCount(), 0);
    }
}

} // namespace
