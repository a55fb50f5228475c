// Compressed and printable text: the six-bit codec and the decompression of a compressed text
// through the process-wide zlib binding.
#include "FuzzInput.h"

#include <string.h>

#include <vector>

#include "Compressor.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Input in = fuzz::Prepare(data, size);
    const std::string& bytes = in.bytes;

    // The codec: every text decodes to its stated length, and encoding any bytes decodes back.
    int n = (int)bytes.size();
    int decodedLength = ZqCompressor::DecodedLength(n);
    FUZZ_CHECK(decodedLength >= 0);
    std::vector<unsigned char> decoded((size_t)decodedLength + 1);
    ZqCompressor::DecodePrintable(bytes.data(), n, decoded.data());
    DynamicString encoded;
    fuzz::Answer([&] {
        ZqCompressor::EncodePrintable(reinterpret_cast<const unsigned char*>(bytes.data()), n, encoded);
        int m = encoded.GetByteLength();
        FUZZ_CHECK(ZqCompressor::DecodedLength(m) >= n);
        std::vector<unsigned char> back((size_t)ZqCompressor::DecodedLength(m) + 1);
        ZqCompressor::DecodePrintable(encoded.GetString(), m, back.data());
        FUZZ_CHECK(memcmp(back.data(), bytes.data(), bytes.size()) == 0);
    });

    // A compressed text as the configuration reader meets it.
    DynamicString text(in.Text());
    ZqCompressor::IsCompressedString(text);
    fuzz::Answer([&] {
        DynamicString plain;
        ZqCompressor::Global().CompressedStringToString(text, plain);
    });
    fuzz::Answer([&] {
        StaticString<64> plain;
        ZqCompressor::Global().CompressedStringToString(text, plain);
        FUZZ_CHECK(plain.GetByteLength() <= 64);
    });
    // The decoded bytes straight into the header and zlib.
    fuzz::Answer([&] { ZqCompressor::UncompressSize(decoded.data(), decodedLength); });
    return 0;
}
