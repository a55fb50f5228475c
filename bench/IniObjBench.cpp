// Reading a 1 MB and a 10 MB configuration in each of its three forms, against zlib's own
// uncompress of the same zlib stream as the floor. Prints medians of several runs, MB/s, the
// ratios to the floor, and how the time per megabyte changes from 1 MB to 10 MB.
#include <windows.h>
#include <zlib.h>

#include <stdio.h>

#include <algorithm>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "ZlibFloor.h"
#include "Compressor.h"
#include "INIOBJ.h"
#include "KEException.h"

namespace {

using bench::Median;
using bench::Seconds;

std::string Word(uint32_t v)
{
    std::string out;
    for (int i = 0; i < 4; ++i)
        out += (char)(v >> (8 * i) & 0xFF);
    return out;
}

bool Write(const std::string& path, const std::string& bytes)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

struct Figures {
    double mb;
    double floor;
    double freshFloor;
    double forms[3];
};

const char* const kFormNames[3] = {"plain text", "QuelvaranBinaryText", "QuelvaranBinary"};

// Reads a configuration of about size bytes in its three forms, runs times each, interleaved
// with zlib's uncompress of the same stream into a buffer it already holds (the floor). False
// when a read failed.
bool Measure(size_t size, int runs, Figures& figures)
{
    std::string plain = bench::ConfigurationText(size);
    plain += "[Last]\r\nFlag = True\r\n";

    uLongf streamSize = compressBound((uLong)plain.size());
    std::vector<Bytef> stream(streamSize);
    compress2(stream.data(), &streamSize, reinterpret_cast<const Bytef*>(plain.data()), (uLong)plain.size(), 6);
    std::string zlibStream(reinterpret_cast<const char*>(stream.data()), streamSize);

    std::string compressedText = Word(0x5A434D50) + Word((uint32_t)plain.size()) + zlibStream;
    DynamicString printable;
    ZqCompressor::EncodePrintable(reinterpret_cast<const unsigned char*>(compressedText.data()),
                                  (int)compressedText.size(), printable);
    std::string encoded = "QuelvaranBinaryText" + std::string(printable.GetString());
    std::string binary = "QuelvaranBinary" + std::string(5, '\0') + Word(32) + Word(0) +
                         Word((uint32_t)plain.size()) + zlibStream;

    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    struct Form { std::string path; const std::string* bytes; std::vector<double> times; };
    Form forms[] = {
        {std::string(temp) + "sarnik-bench-plain.ini", &plain, {}},
        {std::string(temp) + "sarnik-bench-encoded.ini", &encoded, {}},
        {std::string(temp) + "sarnik-bench-binary.ini", &binary, {}},
    };
    for (Form& form : forms) {
        if (!Write(form.path, *form.bytes)) {
            fprintf(stderr, "cannot write %s\n", form.path.c_str());
            return false;
        }
    }

    std::vector<double> floor, freshFloor;
    std::vector<Bytef> out(plain.size() + 1);
    bool ok = true;
    try {
        for (int r = 0; r < runs; ++r) {
            for (int f = 0; f < 3; ++f) {
                double t0 = Seconds();
                IniObj ini{DynamicString(forms[f].path.c_str())};
                forms[f].times.push_back(Seconds() - t0);
                bool value = false;
                if (!ini.Get("Last", "Flag", value) || !value) {
                    fprintf(stderr, "%s: last item not read\n", kFormNames[f]);
                    ok = false;
                }
            }
            uLongf outSize = (uLongf)plain.size();
            double t0 = Seconds();
            int rc = uncompress(out.data(), &outSize, stream.data(), streamSize);
            floor.push_back(Seconds() - t0);
            if (rc != Z_OK || outSize != plain.size()) {
                fprintf(stderr, "zlib failed\n");
                ok = false;
            }
            double fresh = bench::UncompressIntoNewBlock(stream.data(), streamSize, plain.size());
            if (fresh < 0) ok = false;
            freshFloor.push_back(fresh);
        }
    } catch (const KEException& e) {
        fprintf(stderr, "KEException %d in %s: %s\n", e.GetErrorCode(), e.GetFunction(), e.GetDescription());
        ok = false;
    }
    for (Form& form : forms)
        DeleteFileA(form.path.c_str());
    if (!ok)
        return false;

    figures.mb = plain.size() / (1024.0 * 1024.0);
    figures.floor = Median(floor);
    figures.freshFloor = Median(freshFloor);
    printf("plain %.1f MB, zlib stream %.2f MB, encoded file %.2f MB, %d runs (medians)\n", figures.mb,
           streamSize / (1024.0 * 1024.0), encoded.size() / (1024.0 * 1024.0), runs);
    printf("  %-26s %8.1f ms %7.0f MB/s\n", "zlib uncompress (floor)", figures.floor * 1e3, figures.mb / figures.floor);
    printf("  %-26s %8.1f ms %7.0f MB/s\n", "  into a new block", figures.freshFloor * 1e3,
           figures.mb / figures.freshFloor);
    for (int f = 0; f < 3; ++f) {
        double t = figures.forms[f] = Median(forms[f].times);
        printf("  %-26s %8.1f ms %7.0f MB/s  ratio to floor %.2f, to a new block's %.2f\n", kFormNames[f], t * 1e3,
               figures.mb / t, t / figures.floor, t / figures.freshFloor);
    }
    return true;
}

}  // namespace

int main()
{
    Figures small, large;
    if (!Measure(1u * 1024 * 1024, 15, small) || !Measure(10u * 1024 * 1024, 7, large))
        return 1;
    // Linear reading takes as long per megabyte at 10 MB as at 1 MB: 1.00. The raw figure moves
    // with the machine's load between the two measurements and with the caches (zlib's own is
    // printed for comparison); the second is taken against each size's own floor.
    printf("time per MB at 10 MB / at 1 MB       raw   against the floor\n");
    printf("  %-26s %8.2f\n", "zlib uncompress (floor)", (large.floor / large.mb) / (small.floor / small.mb));
    for (int f = 0; f < 3; ++f) {
        printf("  %-26s %8.2f %8.2f\n", kFormNames[f], (large.forms[f] / large.mb) / (small.forms[f] / small.mb),
               (large.forms[f] / large.floor) / (small.forms[f] / small.floor));
    }
    return 0;
}
