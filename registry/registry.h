// The program's only contact with the Windows registry: five stateless
// operations that take the root key from the caller and report nothing.
#pragma once

#include <windows.h>

#include <string>

void CreateRegKey(HKEY rootKey, const char *subKeyPath);

void WriteRegString(HKEY rootKey, const char *subKeyPath, const char *valueName,
                    const std::string &value);

// Returns the stored bytes up to the first zero byte (all of them when the
// value fills the whole 1024-byte buffer without one), whatever the value's
// type; the empty text when the platform delivers nothing.
std::string ReadRegString(HKEY rootKey, const char *subKeyPath, const char *valueName);

void WriteRegDWord(HKEY rootKey, const char *subKeyPath, const char *valueName, DWORD value);

void DeleteRegKey(HKEY rootKey, const char *subKeyPath);
