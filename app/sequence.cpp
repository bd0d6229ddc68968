#include "sequence.h"

#include "registry/registry.h"

#include <string>

namespace {

const HKEY root = HKEY_LOCAL_MACHINE;

constexpr char firstPassCreatePath[] = "";
constexpr char firstPassPath[] = "\\";
constexpr char firstPassValueName[] = "apa";
constexpr char firstPassText[] = "a";

constexpr char writtenKey[] = "WrittenKey";
constexpr char writtenStringName[] = "WrittenString";
constexpr char writtenStringText[] = "Teszt";
constexpr char writtenDWordName[] = "WrittenDWord";
constexpr DWORD writtenDWordValue = 1234;

constexpr char checkRegistryMessage[] = "Now check the registry";
constexpr char boxCaption[] = "";

void ShowBox(const char *text) {
    // Only OK can be pressed, so the answer says nothing.
    MessageBoxA(nullptr, text, boxCaption, MB_OK);
}

} // namespace

void RunRegistryExercise() {
    // First pass: write a text, read it back and show what came back.
    CreateRegKey(root, firstPassCreatePath);
    WriteRegString(root, firstPassPath, firstPassValueName, firstPassText);
    const std::string readBack = ReadRegString(root, firstPassPath, firstPassValueName);
    ShowBox(readBack.c_str());

    // Second pass: fill a key of our own, wait while the user looks, remove it.
    CreateRegKey(root, writtenKey);
    WriteRegString(root, writtenKey, writtenStringName, writtenStringText);
    WriteRegDWord(root, writtenKey, writtenDWordName, writtenDWordValue);
    ShowBox(checkRegistryMessage);
    DeleteRegKey(root, writtenKey);
}
