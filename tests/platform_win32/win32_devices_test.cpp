// The real storage and device-tree seams: what can be checked on any Windows (or wine)
// without a particular disk.
#include "platform/devtree.h"
#include "platform/requests.h"
#include "platform/storage.h"
#include "platform/win32/devtree_detail.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

TEST(Win32Storage, AnAbsentDeviceCannotBeOpenedAndTellsWhy) {
    EXPECT_EQ(PlatDeviceOpen(u"\\\\.\\PhysicalDrive987"), PLAT_INVALID_HANDLE);
    const uint32_t error = PlatGetLastError();
    EXPECT_TRUE(error == kErrorFileNotFound || error == 3 /* path not found */) << error;
    PlatDeviceClose(PLAT_INVALID_HANDLE); // harmless
}

TEST(Win32Storage, RequestBuffersArePageAlignedAndZeroed) {
    auto* p = static_cast<uint8_t*>(PlatPageAlloc(4263));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 4096, 0u);
    for (int i = 0; i < 4263; ++i)
        ASSERT_EQ(p[i], 0) << i;
    p[4262] = 1;
    PlatPageFree(p);
    PlatPageFree(nullptr);
}

TEST(Win32DeviceTree, DetailSizesWithoutRoomForATerminatorGiveNoPath) {
    // The path starts at byte 4 of the detail block on both widths.
    struct {
        uint32_t required;
        uint32_t units;
    } cases[] = {
        {0, 0},           {3, 0},
        {4, 0},           {5, 0}, // no room for the terminator: never a path
        {6, 1},           {7, 1}, // the terminator alone; an odd byte is not counted
        {4 + 2 * 40, 40}, {0xFFFFFFFFu, (0xFFFFFFFFu - 4) / 2},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DetailPathUnits(c.required, 4), c.units) << c.required;
}

TEST(Win32DeviceTree, InterfaceSetsEnumerateAndEndCleanly) {
    PlatDevInfoSet set = PlatDevGetClassDevs(&kGuidDevInterfaceDisk,
                                             kDigcfPresent | kDigcfProfile | kDigcfDeviceInterface);
    ASSERT_NE(set, PLAT_INVALID_HANDLE);
    uint32_t index = 0;
    for (; index < 64 && PlatDevEnumInterface(set, &kGuidDevInterfaceDisk, index); ++index) {
        uint32_t units = 0;
        EXPECT_EQ(PlatDevGetInterfaceDetail(set, &kGuidDevInterfaceDisk, index, nullptr, 0, &units,
                                            nullptr),
                  0);
        EXPECT_GT(units, 1u);
        char16_t path[1024];
        PlatDevInst inst = 0;
        if (units <= 1024) {
            EXPECT_EQ(PlatDevGetInterfaceDetail(set, &kGuidDevInterfaceDisk, index, path, 1024,
                                                nullptr, &inst),
                      1);
            EXPECT_NE(inst, 0u);
        }
    }
    EXPECT_LT(index, 64u);
    PlatDevDestroyList(set);

    PlatDevInfoSet all = PlatDevGetClassDevs(nullptr, kDigcfPresent | kDigcfAllClasses);
    ASSERT_NE(all, PLAT_INVALID_HANDLE);
    PlatDevInst inst = 0;
    if (PlatDevEnumDevice(all, 0, &inst)) {
        char16_t id[260];
        EXPECT_EQ(PlatDevGetDeviceId(inst, id, 260), 1);
        uint32_t required = 0;
        char16_t tiny[1];
        // A property that does not fit reports its size and is not read.
        if (PlatDevGetRegistryProperty(all, inst, kSpdrpService, tiny, 0, &required) == 0 &&
            required > 0) {
            EXPECT_EQ(required % 2, 0u);
        }
    }
    PlatDevDestroyList(all);
}

} // namespace
