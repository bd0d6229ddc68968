#include "interruption.h"

namespace {

HANDLE interruption = nullptr;

BOOL WINAPI OnConsoleControl(DWORD) {
    SetEvent(interruption);
    // The main thread ends the process once the run is wound up. Returning
    // would end it here and now for some events, and under Wine on qemu a
    // return from this thread crashes the process.
    Sleep(INFINITE);
    return TRUE;
}

} // namespace

HANDLE InterruptionEvent() {
    if (!interruption) {
        interruption = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    }
    return interruption;
}
