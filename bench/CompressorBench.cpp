// Decoding a 10 MB compressed text with the compressor, against zlib's own uncompress of the
// same zlib stream as the floor. Prints medians of several runs and the ratio.
#include <windows.h>
#include <zlib.h>

#include <stdio.h>

#include <algorithm>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "Compressor.h"
#include "ZlibFloor.h"
#include "KEException.h"

namespace {

using bench::Median;
using bench::Seconds;

}  // namespace

int main()
{
    std::string plain = bench::ConfigurationText(10u * 1024 * 1024);

    uLongf streamSize = compressBound((uLong)plain.size());
    std::vector<Bytef> stream(streamSize);
    compress2(stream.data(), &streamSize, reinterpret_cast<const Bytef*>(plain.data()), (uLong)plain.size(), 6);
    std::vector<unsigned char> bytes = {0x50, 0x4D, 0x43, 0x5A};
    for (int i = 0; i < 4; ++i)
        bytes.push_back((unsigned char)(plain.size() >> (8 * i)));
    bytes.insert(bytes.end(), stream.begin(), stream.begin() + streamSize);
    DynamicString encoded;
    ZqCompressor::EncodePrintable(bytes.data(), (int)bytes.size(), encoded);

    const int runs = 7;
    std::vector<double> ours, floor, freshFloor;
    std::vector<Bytef> out(plain.size() + 1);
    try {
        for (int r = 0; r < runs; ++r) {
            DynamicString text;
            double t0 = Seconds();
            ZqCompressor::Global().CompressedStringToString(encoded, text);
            ours.push_back(Seconds() - t0);
            if (text.GetByteLength() != (int)plain.size()) {
                fprintf(stderr, "wrong length\n");
                return 1;
            }

            uLongf outSize = (uLongf)plain.size();
            t0 = Seconds();
            int rc = uncompress(out.data(), &outSize, stream.data(), streamSize);
            floor.push_back(Seconds() - t0);
            if (rc != Z_OK || outSize != plain.size()) {
                fprintf(stderr, "zlib failed\n");
                return 1;
            }
            double fresh = bench::UncompressIntoNewBlock(stream.data(), streamSize, plain.size());
            if (fresh < 0) return 1;
            freshFloor.push_back(fresh);
        }
    } catch (const KEException& e) {
        fprintf(stderr, "KEException %d in %s\n", e.GetErrorCode(), e.GetFunction());
        return 1;
    }
    double mb = plain.size() / (1024.0 * 1024.0);
    printf("plain %.1f MB, zlib stream %.2f MB, printable text %.2f MB, %d runs\n", mb,
           streamSize / (1024.0 * 1024.0), encoded.GetByteLength() / (1024.0 * 1024.0), runs);
    printf("CompressedStringToString  median %.1f ms  %.0f MB/s\n", Median(ours) * 1e3, mb / Median(ours));
    printf("zlib uncompress (floor)   median %.1f ms  %.0f MB/s\n", Median(floor) * 1e3, mb / Median(floor));
    printf("zlib into a new block     median %.1f ms  %.0f MB/s\n", Median(freshFloor) * 1e3, mb / Median(freshFloor));
    printf("ratio to floor  %.2f, to a new block's  %.2f\n", Median(ours) / Median(floor), Median(ours) / Median(freshFloor));
    return 0;
}
