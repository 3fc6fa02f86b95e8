// The drive list and the drive details.
#include "app.h"

#include "base/format.h"
#include "base/log.h"
#include "base/text.h"
#include "disk/enumerate.h"
#include "disk/rediscover.h"
#include "platform/thread.h"

#include <cstring>
#include <initializer_list>

namespace {

const char16_t* const kPcieSpeed[] = {
    u"",
    u"PCIE Gen1 Signaling Speed (2.5 Gbps)",
    u"PCIE Gen2 Signaling Speed (5.0 Gbps)",
    u"PCIE Gen3 Signaling Speed (8.0 Gbps)",
    u"PCIE Gen4 Signaling Speed (16.0 Gbps)",
};
const char16_t* const kSataSpeed[] = {
    u"",
    u"Serial ATA Gen1 Signaling Speed (1.5 Gbps)",
    u"Serial ATA Gen2 Signaling Speed (3.0 Gbps)",
    u"Serial ATA Gen3 Signaling Speed (6.0 Gbps)",
};

template <size_t N> const char16_t* SpeedText(const char16_t* const (&table)[N], uint32_t code) {
    return code < N ? table[code] : u"";
}

// A record that holds a drive (a cleared record, from a failed re-discovery, holds none).
bool HoldsDrive(const DriveInfo& record) {
    return record.DevicePath[0] != 0;
}

} // namespace

void FormatDriveLine(const DriveInfo* record, char16_t* line, size_t cap) {
    if (record->bRaw == 1)
        Format(line, cap, u"%s (RAW)", record->DiskModel);
    else
        Format(line, cap, u"%s [%s]", record->DiskModel, record->DriveLetters);
}

void FormatInterfaceText(const DriveInfo* record, char16_t* text, size_t cap) {
    switch (record->iCmdType) {
    case kCmdAsmedia:
        Format(text, cap, u"ASMedia Bridge NVME to USB-%d", static_cast<int32_t>(record->iPort % 100));
        break;
    case kCmdJmicron:
        Format(text, cap, u"JMicron Bridge NVME to USB-%d", static_cast<int32_t>(record->iPort % 100));
        break;
    case kCmdInboxNvme:
        Format(text, cap, u"%s x %d", SpeedText(kPcieSpeed, record->iLinkSpeed),
               static_cast<int32_t>(record->iLinkWidth));
        break;
    case kCmdRst:
        Format(text, cap, u"Intel Rapid Storage Technology");
        break;
    case kCmdSata:
    case kCmdSataUsb:
    case kCmdSataScsi:
        Format(text, cap, u"%s", SpeedText(kSataSpeed, record->iLinkSpeed));
        break;
    default:
        // Discovery never lists another transport; show nothing rather than a guess.
        text[0] = 0;
        break;
    }
}

int32_t IsDriveSupported(const DriveInfo* record, const char16_t* modelList, const char16_t* socId) {
    if (modelList[0] != 0) {
        LogLine(u"%s, %s", record->DiskModel, modelList);
        char16_t item[kDriveText + 2];
        Format(item, kDriveText + 2, u";%s;", record->DiskModel);
        if (!ContainsNoCase(modelList, item)) return 0;
    }
    if (WCompare(socId, u"*") == 0) return 1;
    if (WCompare(socId, u"TALVORIX") == 0 && record->iVendorCode != 0) return 1;
    char16_t code[16];
    FormatInto(code, u"%04X", record->iVendorCode);
    return WCompare(code, socId) == 0 ? 1 : 0;
}

void ShowDriveDetails(PlatWindow window, const DriveInfo* record) {
    PlatSetItemText(window, IDC_MODEL, record->DiskModel);
    PlatSetItemText(window, IDC_SERIAL, record->DiskSerial);
    PlatSetItemText(window, IDC_FIRMWARE, record->DiskFwVersion);
    char16_t text[260];
    FormatInto(text, u"%d GB", static_cast<int32_t>(record->iCapacityGB));
    PlatSetItemText(window, IDC_CAPACITY, text);
    FormatInterfaceText(record, text, 260);
    PlatSetItemText(window, IDC_INTERFACE, text);
}

void RefreshDriveList(PlatWindow window, int32_t initial) {
    if (PlatInterlockedExchange(&g_bRefreshBusy, 1) == 1) return;

    DriveInfo selected;
    SelDriveRead(&selected);
    char16_t previous[kDriveText + 32] = {};
    if (!initial) FormatDriveLine(&selected, previous, kDriveText + 32);

    g_App.nDriveCount = static_cast<uint32_t>(g_App.bIsSATA ? EnumerateSataDrives(g_App.aDrives, kMaxDrives)
                                                            : EnumerateNvmeDrives(g_App.aDrives, kMaxDrives));
    PlatListReset(window, IDC_DRIVE_COMBO);
    int32_t shown = 0;
    int32_t selection = 0;
    bool matched = false;
    for (uint32_t i = 0; i < g_App.nDriveCount; ++i) {
        const DriveInfo& record = g_App.aDrives[i];
        if (!IsDriveSupported(&record, g_App.szModelList, g_App.szSocId)) continue;
        char16_t line[kDriveText + 32];
        FormatDriveLine(&record, line, kDriveText + 32);
        int32_t at = PlatListAdd(window, IDC_DRIVE_COMBO, line);
        PlatListSetData(window, IDC_DRIVE_COMBO, at, static_cast<intptr_t>(i));
        // The same drive is found again by its path kind and port, and only when the selected
        // record still holds a drive: a cleared record's port 0 is a common SATA port.
        if (!matched && HoldsDrive(selected) && record.iCmdType == selected.iCmdType &&
            record.iPort == selected.iPort) {
            selected = record;
            SelDrivePublish(record);
            selection = at;
            matched = true;
        }
        ++shown;
    }

    const bool working = IsWorkerRunning() != 0;
    if (shown > 0 && !working) {
        PlatListSetSelection(window, IDC_DRIVE_COMBO, selection);
        intptr_t index = PlatListGetData(window, IDC_DRIVE_COMBO, selection);
        if (index >= 0 && index < static_cast<intptr_t>(g_App.nDriveCount))
            ShowDriveDetails(window, &g_App.aDrives[index]);
        if (!matched) PlatSetItemText(window, IDC_STATUS, u"");
        PlatEnableItem(window, IDC_RUN, 1);
    }
    if (shown > 0 && working && matched) {
        PlatListSetSelection(window, IDC_DRIVE_COMBO, selection);
        ShowDriveDetails(window, &selected);
    }
    if (working && !matched) {
        char16_t line[kDriveText + 48];
        Format(line, kDriveText + 48, u"%s - Disconnect", previous);
        int32_t at = PlatListAdd(window, IDC_DRIVE_COMBO, line);
        PlatListSetData(window, IDC_DRIVE_COMBO, at, static_cast<intptr_t>(g_App.nDriveCount));
        PlatListSetSelection(window, IDC_DRIVE_COMBO, at);
    }
    if (shown == 0 && !working) {
        for (int32_t id : {IDC_MODEL, IDC_SERIAL, IDC_INTERFACE, IDC_FIRMWARE, IDC_CAPACITY, IDC_STATUS})
            PlatSetItemText(window, id, u"");
        PlatEnableItem(window, IDC_RUN, 0);
    }
    PlatInterlockedExchange(&g_bRefreshBusy, 0);
}

void OnDriveSelected(PlatWindow window) {
    int32_t line = PlatListGetSelection(window, IDC_DRIVE_COMBO);
    intptr_t index = line < 0 ? -1 : PlatListGetData(window, IDC_DRIVE_COMBO, line);
    DriveInfo record;
    if (line < 0 || index < 0) {
        ClearDriveInfo(&record);
        SelDrivePublish(record);
        return;
    }
    // The "- Disconnect" line names no record: it stands for a drive that is gone.
    if (index < static_cast<intptr_t>(g_App.nDriveCount))
        record = g_App.aDrives[index];
    else
        ClearDriveInfo(&record);
    if (HoldsDrive(record)) GetDiskInfoByPortID(&record, 30, static_cast<uint8_t>(g_App.bIsSATA != 0));
    SelDrivePublish(record);
    ShowDriveDetails(window, &record);
    PlatSetItemText(window, IDC_STATUS, u"");
    PlatProgressSetPos(window, IDC_PROGRESS, 0);
}
