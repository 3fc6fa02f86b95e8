// The application: its one state record, the main dialog, the package start-up, the drive
// list, the checks before an update, the update workers and the completion.
//
// Threads: the dialog's thread runs everything here except the two update workers, which talk
// to the dialog through WM_UPDATE_PROGRESS and WM_UPDATE_DONE and through RefreshDriveList.
#pragma once
#include "disk/drive_info.h"
#include "disk/transport.h"
#include "platform/dialog_host.h"
#include "platform/types.h"

#include <cstddef>
#include <cstdint>

// Control ids of dialog 102.
inline constexpr int32_t IDD_MAIN = 102;
inline constexpr int32_t IDC_RUN = 1;
inline constexpr int32_t IDC_CANCEL = 2;
inline constexpr int32_t IDC_DRIVE_COMBO = 500;
inline constexpr int32_t IDC_MODEL = 501;
inline constexpr int32_t IDC_SERIAL = 502;
inline constexpr int32_t IDC_INTERFACE = 503;
inline constexpr int32_t IDC_FIRMWARE = 504;
inline constexpr int32_t IDC_CAPACITY = 505;
inline constexpr int32_t IDC_STATUS = 510;
inline constexpr int32_t IDC_PROGRESS = 1003;
inline constexpr int32_t IDC_APP_ICON = 1004;
inline constexpr uint32_t IDI_APP = 105;
inline constexpr uint32_t IDR_PACKAGE = 1000;
inline constexpr char16_t kPackageResourceType[] = u"FWPACKAGEZIP";

// The worker's messages to the dialog.
inline constexpr uint32_t WM_UPDATE_PROGRESS = 32816; // WM_APP + 48
inline constexpr uint32_t WM_UPDATE_DONE = 32805;     // WM_APP + 37
// The refresh timer after device arrival or removal.
inline constexpr uintptr_t IDT_DEVICE_CHANGE = 1000;
inline constexpr uint32_t kDeviceChangeDelayMs = 2000;

inline constexpr int32_t kMaxDrives = 26;

// The one process-wide state record, cleared at start. Fields in this order.
struct AppState {
    PlatWindow hMainDlg;
    PlatHandle hWorkerThread; // non-zero while an update worker runs
    char16_t szTitle[260];
    char16_t szWorkDir[260];
    uint32_t nDriveCount;
    DriveInfo aDrives[kMaxDrives];
    DriveInfo stSelDrive; // the drive chosen in the list (read and written through SelDrive*)
    char16_t szSocId[64];
    char16_t szModelList[260];
    char16_t szFwVersionList[260];
    char16_t szNewVersion[64];
    char16_t szBeforeMessage[1024];
    char16_t szAfterMessage[1024];
    uint8_t byPowerCtrl;
    int32_t iInternalFWVersionCheckPart;
    int16_t nProgressLow;
    int16_t nProgressHigh;
    int32_t iLogDetail;
    int32_t bIsSATA;
};

extern AppState g_App;
// Guards RefreshDriveList against running twice at once (interlocked).
extern volatile int32_t g_bRefreshBusy;

// ---- Entry and main dialog ----
// The entry's steps after the platform start-up: clear the state, run dialog 102. Returns 0.
int32_t RunApplication();
intptr_t MainDialogProc(PlatWindow window, uint32_t message, uintptr_t wParam, intptr_t lParam);
void InitMainDialog(PlatWindow window);
void CenterWindow(PlatWindow window);
int32_t IsWorkerRunning();
int32_t MapProgress(int32_t percent);
void CleanWorkingFolder();

// stSelDrive is written by the worker and by a refresh on the dialog's thread: every access
// that can meet the other thread copies the whole record under one small lock, never held
// across a message.
void SelDriveRead(DriveInfo* out);
void SelDrivePublish(const DriveInfo& record);

// ---- Package and configuration ----
// 1 with the temporary folder (one trailing separator removed), 0 when it does not fit.
int32_t GetTempFolder(char16_t* buffer, size_t size);
int32_t PathExists(const char16_t* path);
// Creates the working folder, extracts the package and reads the configuration. 0 when the
// folders were refused (szWorkDir then stays empty and the title "Package Error").
int32_t StartPackage(PlatWindow window);
void ExtractPackage(const char16_t* type, uint32_t id, const char16_t* folder);
void UnzipAll(const char16_t* archive, const char16_t* folder, int32_t deleteArchive);
int32_t WriteWholeFile(const char16_t* path, const void* bytes, uint32_t count);
uint32_t ReadWholeFile(const char16_t* path, uint32_t count, void* buffer);
// Replaces every occurrence of pattern in text (capacity cap units) in place; the result is
// cut to the capacity and to the 999 units of the working buffers.
void ReplaceAll(char16_t* text, size_t cap, const char16_t* pattern, const char16_t* replacement);
// Stores ";value;" in list (capacity 260) when value is not empty. A value longer than the
// 257 units that fit loses its incomplete last item; when not one item fits, the list admits
// nothing (";;").
void StoreList(char16_t* list, const char16_t* value);
// The handle that keeps the working folder from being renamed or removed (for the tests).
PlatHandle WorkingFolderHold();
// Lets go of the working folder so that it can be removed.
void ReleaseWorkingFolder();

// ---- Drive list ----
void RefreshDriveList(PlatWindow window, int32_t initial);
void ShowDriveDetails(PlatWindow window, const DriveInfo* record);
void OnDriveSelected(PlatWindow window);
int32_t IsDriveSupported(const DriveInfo* record, const char16_t* modelList, const char16_t* socId);
// The list line of a record.
void FormatDriveLine(const DriveInfo* record, char16_t* line, size_t cap);
void FormatInterfaceText(const DriveInfo* record, char16_t* text, size_t cap);

// ---- Checks before an update ----
void OnRun(PlatWindow window);
int32_t FindFirmwareFile(const DriveInfo* record, char16_t* path, size_t cap);
int32_t CheckInternalVersion(const char16_t* driveVersion, int32_t parts, const char16_t* imagePath);
int32_t ReadImageVersion(const char16_t* imagePath, char16_t* version, size_t cap);
uint32_t ReadImageFtlBuildNum(const char16_t* imagePath);

// ---- Workers ----
// What the worker updates: the record and image that OnRun checked.
struct UpdateJob {
    DriveInfo drive;
    char16_t szImagePath[260];
};
typedef uint32_t (*WorkerProc)(void* slot);
int32_t StartWorker(PlatWindow window, PlatHandle* slot, WorkerProc proc, const UpdateJob* job);
uint32_t NvmeUpdateWorker(void* slot);
uint32_t SataUpdateWorker(void* slot);
int32_t FinishWorker(PlatHandle* slot, TransportContext* context, PlatHandle drive, int32_t result);
void SetProgressRange(int32_t low, int32_t high, int32_t position);
void WaitWithProgress(uint32_t milliseconds);

// ---- Completion ----
void OnUpdateDone(PlatWindow window, intptr_t result);
void ShutdownSystem(uint32_t flags);
