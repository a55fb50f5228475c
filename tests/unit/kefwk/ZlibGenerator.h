// Makes compressed test data with the distribution's zlib itself and an encoder of the test's
// own, so that the product's decoder is checked against an independent producer.
#pragma once

#include <stdint.h>

#include <string>

namespace gen {

// One zlib stream, as compress makes it.
std::string Zlib(const std::string& plain);
// Magic, claimed plain length, zlib stream.
std::string CompressedBytes(const std::string& plain, uint32_t claimedLength, uint32_t magic = 0x5A434D50);
inline std::string CompressedBytes(const std::string& plain)
{
    return CompressedBytes(plain, (uint32_t)plain.size());
}
// Six bits per character, '0' + value.
std::string Printable(const std::string& bytes);
inline std::string EncodedText(const std::string& plain) { return Printable(CompressedBytes(plain)); }

}  // namespace gen
