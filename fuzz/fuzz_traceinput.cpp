/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    Fuzz target for reading trace files from disk: the decompression thread, the
    block hand-over and the splitting of lines across blocks. The first byte
    picks the file name suffix (plain, ".gz" or ".zst"), the rest is the file.
    The file lives in memory-backed storage when the system has it.
*/

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include <boost/iostreams/device/array.hpp>
#include <boost/iostreams/filtering_stream.hpp>

#include "analyze/accumulatedtracedata.h"
#include "analyze/bytecounter.h"

namespace
{
void check(bool condition)
{
    // a broken invariant is a finding like any memory error
    if (!condition) {
        abort();
    }
}

class NullData : public AccumulatedTraceData
{
public:
    void handleTimeStamp(int64_t, int64_t, bool, ParsePass) override
    {
    }
    void handleAllocation(const AllocationInfo &, AllocationInfoIndex) override
    {
    }
    void handleDebuggee(const char *) override
    {
    }
};

bool sameCost(const AllocationData &lhs, const AllocationData &rhs)
{
    return lhs.allocations == rhs.allocations && lhs.temporary == rhs.temporary && lhs.leaked == rhs.leaked && lhs.peak == rhs.peak;
}

// A plain file read from disk takes the input's fast path for event lines; the
// same text read from memory goes through the tokenizer alone. Both passes must
// come out the same.
void checkLikeTokenizer(const std::string &path, const uint8_t *text, std::size_t size)
{
    NullData fromFile;
    const bool fileOk = fromFile.read(path, AccumulatedTraceData::FirstPass, false) && fromFile.read(path, AccumulatedTraceData::SecondPass, false);

    NullData fromStream;
    bool streamOk = true;
    for (const auto pass : {AccumulatedTraceData::FirstPass, AccumulatedTraceData::SecondPass}) {
        boost::iostreams::filtering_istream in;
        in.push(ByteCounter());
        in.push(ByteCounter());
        in.push(boost::iostreams::array_source(reinterpret_cast<const char *>(text), size));
        streamOk = streamOk && fromStream.read(in, pass, false);
    }

    check(fileOk == streamOk);
    check(sameCost(fromFile.totalCost, fromStream.totalCost));
    check(fromFile.allocationInfos.size() == fromStream.allocationInfos.size());
    check(fromFile.allocations.size() == fromStream.allocations.size());
    for (std::size_t i = 0; i < fromFile.allocations.size(); ++i) {
        check(sameCost(fromFile.allocations[i], fromStream.allocations[i]));
    }
    check(fromFile.totalTime == fromStream.totalTime);
}

std::string basePath()
{
    const char *dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    return std::string(dir) + "/memloupe-fuzz-" + std::to_string(getpid());
}
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    if (size < 1) {
        return 0;
    }
    static const std::string base = basePath();
    static const char *const suffixes[] = {"", ".gz", ".zst"};
    const std::string path = base + suffixes[data[0] % 3];

    FILE *file = fopen(path.c_str(), "wb");
    check(file != nullptr);
    check(fwrite(data + 1, 1, size - 1, file) == size - 1);
    check(fclose(file) == 0);

    NullData trace;
    trace.read(path, AccumulatedTraceData::FirstPass, false);
    const auto &state = trace.parsingState;
    check(state.fileSize == static_cast<int64_t>(size - 1));
    check(state.readCompressedByte >= 0 && state.readCompressedByte <= state.fileSize);
    check(state.readUncompressedByte >= 0);
    if (data[0] % 3 == 0) {
        check(state.readUncompressedByte <= state.readCompressedByte);
        checkLikeTokenizer(path, data + 1, size - 1);
    }
    unlink(path.c_str());
    return 0;
}
