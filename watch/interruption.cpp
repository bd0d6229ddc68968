#include "interruption.h"

#include "win32.h"

namespace {

constexpr DWORD pollIntervalMs = 50;

HANDLE interruption = nullptr;
std::wstring stopFile;

BOOL WINAPI OnConsoleControl(DWORD) {
    SetEvent(interruption);
    // The main thread ends the process once the run is wound up. Returning
    // would end it here and now for some events, and under Wine on qemu a
    // return from this thread crashes the process.
    Sleep(INFINITE);
    return TRUE;
}

DWORD WINAPI WatchStopFile(void *) {
    while (GetFileAttributesW(stopFile.c_str()) == INVALID_FILE_ATTRIBUTES) {
        Sleep(pollIntervalMs);
    }
    SetEvent(interruption);
    return 0;
}

} // namespace

HANDLE InterruptionEvent(const std::optional<std::string> &file) {
    if (!interruption) {
        interruption = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        SetConsoleCtrlHandler(OnConsoleControl, TRUE);
        if (file) {
            stopFile = Wide(*file);
            if (const HANDLE thread =
                    CreateThread(nullptr, 0, WatchStopFile, nullptr, 0, nullptr)) {
                CloseHandle(thread);
            }
        }
    }
    return interruption;
}
