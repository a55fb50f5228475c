// Reading a 10 MB configuration in each of its three forms, against zlib's own uncompress of
// the same zlib stream as the floor. Prints medians of several runs, MB/s and the ratios.
#include <windows.h>
#include <zlib.h>

#include <stdio.h>

#include <algorithm>
#include <string>
#include <vector>

#include "BenchSupport.h"
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

}  // namespace

int main()
{
    std::string plain = bench::ConfigurationText(10u * 1024 * 1024);
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
    struct Form { const char* name; std::string path; const std::string* bytes; std::vector<double> times; };
    Form forms[] = {
        {"plain text", std::string(temp) + "sarnik-bench-plain.ini", &plain, {}},
        {"QuelvaranBinaryText", std::string(temp) + "sarnik-bench-encoded.ini", &encoded, {}},
        {"QuelvaranBinary", std::string(temp) + "sarnik-bench-binary.ini", &binary, {}},
    };
    for (Form& form : forms) {
        if (!Write(form.path, *form.bytes)) {
            fprintf(stderr, "cannot write %s\n", form.path.c_str());
            return 1;
        }
    }

    const int runs = 5;
    std::vector<double> floor;
    std::vector<Bytef> out(plain.size() + 1);
    int status = 0;
    try {
        for (int r = 0; r < runs; ++r) {
            for (Form& form : forms) {
                double t0 = Seconds();
                IniObj ini{DynamicString(form.path.c_str())};
                form.times.push_back(Seconds() - t0);
                bool value = false;
                if (!ini.Get("Last", "Flag", value) || !value) {
                    fprintf(stderr, "%s: last item not read\n", form.name);
                    status = 1;
                }
            }
            uLongf outSize = (uLongf)plain.size();
            double t0 = Seconds();
            int rc = uncompress(out.data(), &outSize, stream.data(), streamSize);
            floor.push_back(Seconds() - t0);
            if (rc != Z_OK || outSize != plain.size()) {
                fprintf(stderr, "zlib failed\n");
                status = 1;
            }
        }
    } catch (const KEException& e) {
        fprintf(stderr, "KEException %d in %s: %s\n", e.GetErrorCode(), e.GetFunction(), e.GetDescription());
        status = 1;
    }
    for (Form& form : forms)
        DeleteFileA(form.path.c_str());
    if (status != 0)
        return status;

    double mb = plain.size() / (1024.0 * 1024.0);
    double base = Median(floor);
    printf("plain %.1f MB, zlib stream %.2f MB, encoded file %.2f MB, %d runs (medians)\n", mb,
           streamSize / (1024.0 * 1024.0), encoded.size() / (1024.0 * 1024.0), runs);
    printf("%-26s %8.1f ms %7.0f MB/s\n", "zlib uncompress (floor)", base * 1e3, mb / base);
    for (Form& form : forms) {
        double t = Median(form.times);
        printf("%-26s %8.1f ms %7.0f MB/s  ratio to floor %.1f\n", form.name, t * 1e3, mb / t, t / base);
    }
    return 0;
}
