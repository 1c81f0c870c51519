/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    Times reader passes over a trace with hooks that do nothing, and counts the
    heap allocations made while the second pass runs: the per-line path must not
    allocate, so the count has to stay flat however large the trace is.
*/

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "analyze/accumulatedtracedata.h"

namespace
{
std::atomic<uint64_t> g_allocations{0};

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

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}
}

void *operator new(std::size_t size)
{
    ++g_allocations;
    if (void *ptr = std::malloc(size ? size : 1)) {
        return ptr;
    }
    throw std::bad_alloc();
}

void operator delete(void *ptr) noexcept
{
    std::free(ptr);
}

void operator delete(void *ptr, std::size_t) noexcept
{
    std::free(ptr);
}

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s TRACE\n", argv[0]);
        return 2;
    }
    const std::string path = argv[1];
    NullData data;

    auto start = std::chrono::steady_clock::now();
    if (!data.read(path, AccumulatedTraceData::FirstPass, false)) {
        return 1;
    }
    const double first = secondsSince(start);

    const uint64_t before = g_allocations.load();
    start = std::chrono::steady_clock::now();
    if (!data.read(path, AccumulatedTraceData::SecondPass, false)) {
        return 1;
    }
    const double second = secondsSince(start);
    const uint64_t allocationsInPass = g_allocations.load() - before;

    printf("file: %s\n", path.c_str());
    printf("compressed bytes: %lld, uncompressed bytes: %lld\n",
           static_cast<long long>(data.parsingState.readCompressedByte),
           static_cast<long long>(data.parsingState.readUncompressedByte));
    printf("allocation events: %lld, peak: %lld\n", static_cast<long long>(data.totalCost.allocations), static_cast<long long>(data.totalCost.peak));
    printf("temporary: %lld, leaked: %lld, total time: %lld\n",
           static_cast<long long>(data.totalCost.temporary),
           static_cast<long long>(data.totalCost.leaked),
           static_cast<long long>(data.totalTime));
    printf("strings: %zu, instruction pointers: %zu, trace nodes: %zu\n", data.strings.size(), data.instructionPointers.size(), data.traces.size());
    printf("first pass: %.3f s, second pass: %.3f s\n", first, second);
    printf("heap allocations during the second pass: %llu\n", static_cast<unsigned long long>(allocationsInPass));
    return 0;
}
