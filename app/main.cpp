#include "sequence.h"

#include <windows.h>

#include <new>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    try {
        RunRegistryExercise();
    } catch (const std::bad_alloc &) {
        // No room for the read-back text: end quietly, but not as a success.
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    return 0;
}
