#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Writes an 8-bit RGB image, rows top to bottom, as an uncompressed PNG file.
// Returns false when the file cannot be written.
bool WritePng(const std::string &path, int width, int height, const std::vector<std::uint8_t> &rgb);
