// zlib's own uncompress as the floor of the compressed-form benchmarks.
#pragma once

#include <zlib.h>

#include <memory>

#include "BenchSupport.h"

namespace bench {

// Seconds zlib takes to decode stream into a block made for it, as a reader's text must be: the
// first touch of each fresh page is part of that cost (about 10 us a page on the machines here,
// Linux's own page faults, whatever the architecture), which a decode into a buffer already held
// does not pay. Negative when zlib fails.
inline double UncompressIntoNewBlock(const Bytef* stream, uLong streamSize, size_t plainSize) {
    uLongf outSize = static_cast<uLongf>(plainSize);
    double t0 = Seconds();
    std::unique_ptr<Bytef[]> fresh(new Bytef[plainSize + 1]);
    int rc = uncompress(fresh.get(), &outSize, stream, streamSize);
    fresh.reset();
    double seconds = Seconds() - t0;
    return rc == Z_OK && outSize == plainSize ? seconds : -1;
}

}  // namespace bench
