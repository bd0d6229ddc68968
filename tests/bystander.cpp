// A program of someone else's, as far as a run is concerned: it stands in
// the Wine prefix with a box open until it is closed, as a person's open
// document would. A run must leave it alone.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    MessageBoxA(nullptr, "Unsaved work", "bystander", MB_OK);
    return 0;
}
