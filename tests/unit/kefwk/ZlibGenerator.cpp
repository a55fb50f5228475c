#include "ZlibGenerator.h"

#include <zlib.h>

#include <stdexcept>
#include <vector>

namespace gen {

std::string Zlib(const std::string& plain)
{
    uLongf size = compressBound((uLong)plain.size());
    std::vector<Bytef> out(size);
    if (compress2(out.data(), &size, reinterpret_cast<const Bytef*>(plain.data()), (uLong)plain.size(), 9) != Z_OK)
        throw std::runtime_error("zlib compress2 failed");
    return std::string(reinterpret_cast<const char*>(out.data()), size);
}

std::string CompressedBytes(const std::string& plain, uint32_t claimedLength, uint32_t magic)
{
    std::string out;
    for (uint32_t word : {magic, claimedLength})
        for (int i = 0; i < 4; ++i)
            out += (char)(word >> (8 * i) & 0xFF);
    return out + Zlib(plain);
}

std::string Printable(const std::string& bytes)
{
    // Written bit by bit from the format's description, unlike the product's grouped loop.
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        size_t n = std::min<size_t>(3, bytes.size() - i);
        int top = 0;
        std::string low;
        for (size_t k = 0; k < n; ++k) {
            unsigned char b = (unsigned char)bytes[i + k];
            if (b & 0x80) top |= 1 << (5 - 2 * k);
            if (b & 0x40) top |= 1 << (4 - 2 * k);
            low += (char)(0x30 + (b & 0x3F));
        }
        out += (char)(0x30 + top);
        out += low;
    }
    return out;
}

}  // namespace gen
