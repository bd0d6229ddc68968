#include "png.h"

#include <algorithm>
#include <array>
#include <fstream>

// Screenshots are small, so the image data goes into stored (uncompressed)
// deflate blocks: no compressor needed, and every viewer reads it.

namespace {

using Bytes = std::vector<std::uint8_t>;

std::uint32_t Crc32(const Bytes &data, std::size_t from) {
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> entries{};
        for (std::uint32_t n = 0; n < entries.size(); ++n) {
            std::uint32_t c = n;
            for (int bit = 0; bit < 8; ++bit) {
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            }
            entries[n] = c;
        }
        return entries;
    }();
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = from; i < data.size(); ++i) {
        crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    }
    return crc ^ 0xFFFFFFFFu;
}

std::uint32_t Adler32(const Bytes &data) {
    std::uint32_t a = 1;
    std::uint32_t b = 0;
    for (const std::uint8_t byte : data) {
        a = (a + byte) % 65521;
        b = (b + a) % 65521;
    }
    return (b << 16) | a;
}

void PutBigEndian(Bytes &out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

void PutChunk(Bytes &out, const char (&type)[5], const Bytes &content) {
    PutBigEndian(out, static_cast<std::uint32_t>(content.size()));
    const std::size_t typeStart = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), content.begin(), content.end());
    PutBigEndian(out, Crc32(out, typeStart));
}

Bytes ZlibStored(const Bytes &raw) {
    constexpr std::size_t maxBlock = 65535;
    Bytes out = {0x78, 0x01};
    std::size_t offset = 0;
    do {
        const std::size_t length = std::min(maxBlock, raw.size() - offset);
        const bool last = offset + length == raw.size();
        out.push_back(last ? 1 : 0);
        out.push_back(static_cast<std::uint8_t>(length));
        out.push_back(static_cast<std::uint8_t>(length >> 8));
        out.push_back(static_cast<std::uint8_t>(~length));
        out.push_back(static_cast<std::uint8_t>(~length >> 8));
        out.insert(out.end(), raw.begin() + offset, raw.begin() + offset + length);
        offset += length;
    } while (offset < raw.size());
    PutBigEndian(out, Adler32(raw));
    return out;
}

} // namespace

bool WritePng(const std::string &path, int width, int height,
              const std::vector<std::uint8_t> &rgb) {
    const std::size_t rowBytes = static_cast<std::size_t>(width) * 3;
    Bytes filtered;
    filtered.reserve((rowBytes + 1) * height);
    for (int row = 0; row < height; ++row) {
        filtered.push_back(0); // filter type: none
        const auto start = rgb.begin() + row * rowBytes;
        filtered.insert(filtered.end(), start, start + rowBytes);
    }

    Bytes header;
    PutBigEndian(header, static_cast<std::uint32_t>(width));
    PutBigEndian(header, static_cast<std::uint32_t>(height));
    header.insert(header.end(), {8, 2, 0, 0, 0}); // 8-bit RGB, no interlace

    Bytes file = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    PutChunk(file, "IHDR", header);
    PutChunk(file, "IDAT", ZlibStored(filtered));
    PutChunk(file, "IEND", {});

    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char *>(file.data()),
              static_cast<std::streamsize>(file.size()));
    return static_cast<bool>(out);
}
