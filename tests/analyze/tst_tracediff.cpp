/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "testutils.h"

namespace
{
const char RecursionMessage[] = "Trace recursion detected - corrupt data file?";

AllocationData costOf(const Allocation &allocation)
{
    return allocation;
}

// Fills the tables of a data object directly, for shapes a file would not
// easily produce.
struct TableBuilder {
    explicit TableBuilder(AccumulatedTraceData *data)
        : data(data)
    {
    }

    StringIndex string(const std::string &text)
    {
        data->strings.push_back(text);
        return makeIndex<StringIndex>(static_cast<uint32_t>(data->strings.size()));
    }

    IpIndex ip(uint64_t address, StringIndex module, StringIndex function, StringIndex file, int line, std::vector<Frame> inlined = {})
    {
        InstructionPointer ip;
        ip.instructionPointer = address;
        ip.moduleIndex = {module};
        ip.frame.functionIndex = {function};
        ip.frame.fileIndex = {file};
        ip.frame.line = line;
        ip.inlined = std::move(inlined);
        data->instructionPointers.push_back(ip);
        return makeIndex<IpIndex>(static_cast<uint32_t>(data->instructionPointers.size()));
    }

    TraceIndex trace(IpIndex ip, TraceIndex parent = {})
    {
        data->traces.push_back({ip, parent});
        return makeIndex<TraceIndex>(static_cast<uint32_t>(data->traces.size()));
    }

    void allocation(TraceIndex trace, const AllocationData &costs)
    {
        Allocation allocation;
        static_cast<AllocationData &>(allocation) = costs;
        allocation.traceIndex = trace;
        data->allocations.push_back(allocation);
        data->totalCost += costs;
    }

    AccumulatedTraceData *data;
};

Frame frame(StringIndex function, StringIndex file, int line)
{
    Frame frame;
    frame.functionIndex = {function};
    frame.fileIndex = {file};
    frame.line = line;
    return frame;
}

std::string text(const AccumulatedTraceData &data, StringIndex index)
{
    if (!index || index.index > data.strings.size()) {
        return {};
    }
    return data.strings[index.index - 1];
}

// The source locations of a call stack, innermost first, spelled out so that
// stacks of two data objects with their own numbering can be compared.
std::vector<std::string> describeStack(const AccumulatedTraceData &data, TraceIndex index)
{
    std::vector<std::string> ret;
    // bounded: a corrupt parent chain may loop
    while (index && ret.size() <= data.traces.size()) {
        const auto node = data.findTrace(index);
        const auto &ip = data.findIp(node.ipIndex);
        ret.push_back(text(data, ip.moduleIndex) + "|" + text(data, ip.frame.functionIndex) + "|" + text(data, ip.frame.fileIndex) + ":"
                      + std::to_string(ip.frame.line));
        index = node.parentIndex;
    }
    return ret;
}

std::vector<std::string> functionNames(const AccumulatedTraceData &data, TraceIndex index)
{
    std::vector<std::string> ret;
    while (index && ret.size() <= data.traces.size()) {
        const auto node = data.findTrace(index);
        ret.push_back(text(data, data.findIp(node.ipIndex).frame.functionIndex));
        index = node.parentIndex;
    }
    return ret;
}

// The allocations whose call stack has exactly these function names, innermost first.
std::vector<const Allocation *> allocationsFor(const AccumulatedTraceData &data, const std::vector<std::string> &names)
{
    std::vector<const Allocation *> ret;
    for (const auto &allocation : data.allocations) {
        if (functionNames(data, allocation.traceIndex) == names) {
            ret.push_back(&allocation);
        }
    }
    return ret;
}

std::size_t countOccurrences(const std::string &haystack, const std::string &needle)
{
    std::size_t count = 0;
    for (auto pos = haystack.find(needle); pos != std::string::npos; pos = haystack.find(needle, pos + needle.size())) {
        ++count;
    }
    return count;
}

const std::string Header = "v 10500 3\nX ./app --run\n";

// main > compute (16 bytes: one temporary, one leaked) and
// main > compute > leakyHelper (twice 64 bytes, leaked)
const std::string CurrentTrace = Header + "I 1000 4000\n" + s("main") + s("/usr/bin/app") + s("app.cpp") + s("compute") + s("leakyHelper")
    + "i 401000 2 1 3 a\ni 401100 2 4 3 14\ni 401200 2 5 3 1e\n"
      "t 1 0\nt 2 1\nt 3 2\n"
      "a 10 2\na 40 3\n"
      "c 5\n+ 0\n- 0\n+ 1\n+ 1\nc a\nR 20\n+ 0\nc 14\n";

// The same program as seen by an older run: other string numbering, other
// addresses, main > compute once (16 bytes) and a path main > oldPath that the
// current run no longer takes (twice 8 bytes).
const std::string BaseTrace = Header + "I 1000 3000\n" + s("app.cpp") + s("/usr/bin/app") + s("compute") + s("main") + s("oldPath")
    + "i 501000 2 4 1 a\ni 501100 2 3 1 14\ni 501300 2 5 1 28\n"
      "t 1 0\nt 2 1\nt 3 1\n"
      "a 10 2\na 8 3\n"
      "c 3\n+ 0\n+ 1\n+ 1\nc 7\nR 18\n";

// Two nodes that are each other's parent, and two more whose stacks run into them.
const std::string LoopTrace = Header + s("main") + s("loop") + s("tail") + s("other")
    + "i 10 0 1 0 1\ni 20 0 2 0 2\ni 30 0 3 0 3\ni 40 0 4 0 4\n"
      "t 1 2\nt 2 1\nt 3 1\nt 4 1\n"
      "a 10 1\na 20 3\na 40 4\n"
      "+ 0\n+ 1\n+ 2\n";
}

class TestTraceDiff : public QObject
{
    Q_OBJECT

private:
    bool readTrace(AccumulatedTraceData *data, const std::string &contents)
    {
        const auto path = m_dir.filePath(QStringLiteral("trace%1").arg(m_fileCount++)).toStdString();
        return writeTraceFile(path, contents, Compression::None) && data->read(path, false);
    }

    QTemporaryDir m_dir;
    int m_fileCount = 0;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
    }

    void testLookupOutOfRange()
    {
        RecordingData data;
        const auto &none = data.findIp(makeIndex<IpIndex>(1));
        QCOMPARE(none.instructionPointer, uint64_t(0));

        TableBuilder builder(&data);
        const auto fn = builder.string("fn");
        const auto first = builder.ip(0x10, fn, fn, fn, 3, {frame(fn, fn, 4)});
        const auto second = builder.ip(0x20, fn, fn, fn, 5);
        const auto trace = builder.trace(second, builder.trace(first));

        for (const auto index : {0u, 3u, 0xffffffffu}) {
            const auto &ip = data.findIp(makeIndex<IpIndex>(index));
            QCOMPARE(ip.instructionPointer, uint64_t(0));
            QVERIFY(!ip.moduleIndex);
            QVERIFY(!ip.frame.functionIndex);
            QVERIFY(!ip.frame.fileIndex);
            QCOMPARE(ip.frame.line, 0);
            QVERIFY(ip.inlined.empty());
            // every miss shares one constant, not an entry of the table
            QCOMPARE(&ip, &none);
        }
        QCOMPARE(data.findIp(second).instructionPointer, uint64_t(0x20));
        QCOMPARE(data.findIp(first).inlined.size(), std::size_t(1));

        for (const auto index : {0u, 3u, 0xffffffffu}) {
            const auto node = data.findTrace(makeIndex<TraceIndex>(index));
            QVERIFY(!node.ipIndex);
            QVERIFY(!node.parentIndex);
        }
        QCOMPARE(data.findTrace(trace).ipIndex, second);
        QCOMPARE(data.findTrace(trace).parentIndex.index, 1u);
    }

    void testMapToAllocationIndex()
    {
        RecordingData data;
        QCOMPARE(data.mapToAllocationIndex(makeIndex<TraceIndex>(5)).index, 0u);
        QCOMPARE(data.mapToAllocationIndex(makeIndex<TraceIndex>(3)).index, 1u);
        QCOMPARE(data.mapToAllocationIndex(makeIndex<TraceIndex>(5)).index, 0u);
        QCOMPARE(data.mapToAllocationIndex(makeIndex<TraceIndex>(3)).index, 1u);
        QCOMPARE(data.allocations.size(), std::size_t(2));

        // fill in below, between and above the known indices; the empty stack
        // is a call stack of its own
        QCOMPARE(data.mapToAllocationIndex(makeIndex<TraceIndex>(4)).index, 2u);
        QCOMPARE(data.mapToAllocationIndex(makeIndex<TraceIndex>(0)).index, 3u);
        QCOMPARE(data.mapToAllocationIndex(makeIndex<TraceIndex>(9)).index, 4u);
        QCOMPARE(data.mapToAllocationIndex(makeIndex<TraceIndex>(1)).index, 5u);
        QCOMPARE(data.mapToAllocationIndex(makeIndex<TraceIndex>(0)).index, 3u);
        QCOMPARE(data.mapToAllocationIndex(makeIndex<TraceIndex>(4)).index, 2u);
        QCOMPARE(data.mapToAllocationIndex(makeIndex<TraceIndex>(9)).index, 4u);
        QCOMPARE(data.mapToAllocationIndex(makeIndex<TraceIndex>(5)).index, 0u);
        QCOMPARE(data.allocations.size(), std::size_t(6));

        data.sortTraceIndexMap();
        std::vector<uint32_t> traces;
        for (const auto &entry : data.traceIndexToAllocationIndex) {
            traces.push_back(entry.first.index);
            QCOMPARE(data.allocations[entry.second.index].traceIndex, entry.first);
        }
        QCOMPARE(traces, std::vector<uint32_t>({0, 1, 3, 4, 5, 9}));
        for (const auto &allocation : data.allocations) {
            QCOMPARE(costOf(allocation), AllocationData());
        }

        // call stacks met in scrambled order, again and again, and the mapping
        // sorted in between: every stack keeps the number of its first use
        RecordingData scrambled;
        std::map<uint32_t, uint32_t> expected;
        uint32_t state = 12345;
        for (int round = 0; round < 3; ++round) {
            for (int i = 0; i < 2000; ++i) {
                state = state * 1103515245u + 12345u;
                const uint32_t trace = (state >> 8) % 700;
                const auto inserted = expected.insert({trace, static_cast<uint32_t>(expected.size())});
                QCOMPARE(scrambled.mapToAllocationIndex(makeIndex<TraceIndex>(trace)).index, inserted.first->second);
            }
            scrambled.sortTraceIndexMap();
            QCOMPARE(scrambled.traceIndexToAllocationIndex.size(), expected.size());
            auto entry = scrambled.traceIndexToAllocationIndex.begin();
            for (const auto &pair : expected) {
                QCOMPARE(entry->first.index, pair.first);
                QCOMPARE(entry->second.index, pair.second);
                ++entry;
            }
        }
        QCOMPARE(scrambled.allocations.size(), expected.size());

        RecordingData empty;
        QCOMPARE(empty.mapToAllocationIndex(makeIndex<TraceIndex>(0)).index, 0u);
        QCOMPARE(empty.mapToAllocationIndex(makeIndex<TraceIndex>(0)).index, 0u);
        QCOMPARE(empty.mapToAllocationIndex(makeIndex<TraceIndex>(1)).index, 1u);
        QCOMPARE(empty.allocations.size(), std::size_t(2));
    }

    void testStopIndices()
    {
        RecordingData data;
        QVERIFY(readTrace(&data,
                          Header + s("main") + s("operator new(unsigned long)") + s("__libc_start_main") + s("main")
                              + s("__static_initialization_and_destruction_0") + s("mainly")));
        QVERIFY(data.isStopIndex(makeIndex<StringIndex>(1)));
        QVERIFY(!data.isStopIndex(makeIndex<StringIndex>(2)));
        QVERIFY(data.isStopIndex(makeIndex<StringIndex>(3)));
        // each name stops only at its first occurrence
        QVERIFY(!data.isStopIndex(makeIndex<StringIndex>(4)));
        QVERIFY(data.isStopIndex(makeIndex<StringIndex>(5)));
        QVERIFY(!data.isStopIndex(makeIndex<StringIndex>(6)));
        QVERIFY(!data.isStopIndex(makeIndex<StringIndex>(0)));
    }

    void testDiffAgainstSameData()
    {
        RecordingData current;
        RecordingData again;
        QVERIFY(readTrace(&current, CurrentTrace));
        QVERIFY(readTrace(&again, CurrentTrace));
        QCOMPARE(current.allocations.size(), std::size_t(2));
        QCOMPARE(current.totalCost, cost(4, 1, 144, 144));

        current.diff(again);
        QVERIFY(current.allocations.empty());
        QCOMPARE(current.totalCost, AllocationData());
        QCOMPARE(current.totalTime, int64_t(0));
        QCOMPARE(current.peakRSS, int64_t(0));
        QCOMPARE(current.systemInfo.pages, int64_t(0));
        // the page size stays, so byte figures of the difference are not all 0
        QCOMPARE(current.systemInfo.pageSize, int64_t(0x1000));
        QCOMPARE(current.peakTime, int64_t(10));
        QCOMPARE(current.strings, again.strings);

        // the very same object as its own base
        RecordingData self;
        QVERIFY(readTrace(&self, CurrentTrace));
        self.diff(self);
        QVERIFY(self.allocations.empty());
        QCOMPARE(self.totalCost, AllocationData());
        QCOMPARE(self.strings, again.strings);
    }

    void testDiffOfPageCounts()
    {
        // counts of a base with another page size are taken in this data's pages
        RecordingData current;
        current.systemInfo = {100, 0x1000};
        current.peakRSS = 50;
        RecordingData base;
        base.systemInfo = {30, 0x2000};
        base.peakRSS = 10;
        current.diff(base);
        QCOMPARE(current.systemInfo.pageSize, int64_t(0x1000));
        QCOMPARE(current.systemInfo.pages, int64_t(100 - 60));
        QCOMPARE(current.peakRSS, int64_t(50 - 20));

        // a file without machine information takes the base's page size
        RecordingData bare;
        bare.diff(base);
        QCOMPARE(bare.systemInfo.pageSize, int64_t(0x2000));
        QCOMPARE(bare.systemInfo.pages, int64_t(-30));
        QCOMPARE(bare.peakRSS, int64_t(-10));
    }

    void testDiffAgainstBase()
    {
        RecordingData current;
        RecordingData base;
        QVERIFY(readTrace(&current, CurrentTrace));
        QVERIFY(readTrace(&base, BaseTrace));
        QCOMPARE(base.totalCost, cost(3, 0, 32, 32));
        const auto baseOnly = allocationsFor(base, {"oldPath", "main"});
        QCOMPARE(baseOnly.size(), std::size_t(1));
        const auto baseOnlyStack = describeStack(base, baseOnly.front()->traceIndex);
        const auto ipCount = current.instructionPointers.size();

        current.diff(base);

        QCOMPARE(current.totalCost, cost(1, 1, 112, 112));
        QCOMPARE(current.totalTime, int64_t(21 - 8));
        QCOMPARE(current.peakRSS, int64_t(0x20 - 0x18));
        QCOMPARE(current.systemInfo.pages, int64_t(0x1000));
        QCOMPARE(current.systemInfo.pageSize, int64_t(0x1000));
        QCOMPARE(current.peakTime, int64_t(10));

        QCOMPARE(current.allocations.size(), std::size_t(3));
        const auto common = allocationsFor(current, {"compute", "main"});
        QCOMPARE(common.size(), std::size_t(1));
        QCOMPARE(costOf(*common.front()), cost(1, 1, 0, 0));
        const auto currentOnly = allocationsFor(current, {"leakyHelper", "compute", "main"});
        QCOMPARE(currentOnly.size(), std::size_t(1));
        QCOMPARE(costOf(*currentOnly.front()), cost(2, 0, 128, 128));

        const auto copied = allocationsFor(current, {"oldPath", "main"});
        QCOMPARE(copied.size(), std::size_t(1));
        QCOMPARE(costOf(*copied.front()), cost(-2, 0, -16, -16));
        QCOMPARE(describeStack(current, copied.front()->traceIndex), baseOnlyStack);

        // main is known by location, only oldPath is new; only its text is appended
        QCOMPARE(current.instructionPointers.size(), ipCount + 1);
        QCOMPARE(current.strings, std::vector<std::string>({"main", "/usr/bin/app", "app.cpp", "compute", "leakyHelper", "oldPath"}));
        const auto outer = current.findTrace(current.findTrace(copied.front()->traceIndex).parentIndex);
        QCOMPARE(current.findIp(outer.ipIndex).instructionPointer, uint64_t(0x401000));

        // the base's own costs stay available, on this object's call stacks:
        // the common stack on the current run's, the base-only one on its copy
        AllocationData baseSum;
        for (const auto &kept : current.diffBaseAllocations) {
            baseSum += kept;
            if (kept.traceIndex.index == common.front()->traceIndex.index) {
                QCOMPARE(costOf(kept), cost(1, 0, 16, 16));
            } else {
                QCOMPARE(kept.traceIndex.index, copied.front()->traceIndex.index);
                QCOMPARE(costOf(kept), cost(2, 0, 16, 16));
            }
        }
        QCOMPARE(baseSum, base.totalCost);
        QCOMPARE(current.diffBaseAllocations.size(), std::size_t(2));

        // a suppression takes the leak out of the base's figures too
        current.suppressions.push_back({"oldPath", 0, 0});
        current.applyLeakSuppressions();
        for (const auto &kept : current.diffBaseAllocations) {
            QCOMPARE(kept.leaked, kept.traceIndex.index == copied.front()->traceIndex.index ? int64_t(0) : int64_t(16));
        }
    }

    void testStacksDifferingOnlyInAddresses()
    {
        RecordingData current;
        TableBuilder own(&current);
        const auto lib = own.string("libfoo.so");
        const auto f = own.string("f");
        const auto file = own.string("f.cpp");
        const auto main = own.string("main");
        const auto mainA = own.trace(own.ip(0x10, lib, main, file, 1));
        const auto mainB = own.trace(own.ip(0x40, lib, main, file, 1));
        own.allocation(own.trace(own.ip(0x20, lib, f, file, 2), mainA), cost(1, 0, 10, 10));
        own.allocation(own.trace(own.ip(0x30, lib, f, file, 2), mainB), cost(2, 1, 20, 5));
        own.allocation(mainA, cost(3, 0, 0, 0));
        // same function, other line or other module: different locations
        own.allocation(own.trace(own.ip(0x50, lib, f, file, 3), mainB), cost(1, 0, 1, 1));
        own.allocation(own.trace(own.ip(0x60, file, f, file, 2), mainA), cost(1, 0, 2, 2));
        own.allocation({}, cost(1, 0, 0, 0));

        RecordingData base;
        TableBuilder other(&base);
        const auto baseFile = other.string("f.cpp");
        const auto baseMain = other.string("main");
        const auto baseF = other.string("f");
        const auto baseLib = other.string("libfoo.so");
        const auto baseRoot = other.trace(other.ip(0x99, baseLib, baseMain, baseFile, 1));
        other.allocation(other.trace(other.ip(0x77, baseLib, baseF, baseFile, 2), baseRoot), cost(1, 1, 30, 15));
        other.allocation({}, cost(1, 0, 0, 0));

        current.diff(base);

        // the two f-under-main stacks merged, then matched the base's; the rest stayed apart
        std::map<std::string, AllocationData> costs;
        for (const auto &allocation : current.allocations) {
            const auto stack = describeStack(current, allocation.traceIndex);
            costs[stack.empty() ? std::string() : stack.front()] += allocation;
        }
        QCOMPARE(costs.size(), current.allocations.size());
        QCOMPARE(costs.size(), std::size_t(4));
        QCOMPARE(costs["libfoo.so|f|f.cpp:2"], cost(2, 0, 0, 0));
        QCOMPARE(costs["libfoo.so|f|f.cpp:3"], cost(1, 0, 1, 1));
        QCOMPARE(costs["f.cpp|f|f.cpp:2"], cost(1, 0, 2, 2));
        QCOMPARE(costs["libfoo.so|main|f.cpp:1"], cost(3, 0, 0, 0));
        // nothing of the base was new
        QCOMPARE(current.strings.size(), std::size_t(4));
        QCOMPARE(current.instructionPointers.size(), std::size_t(6));
        QCOMPARE(current.traces.size(), std::size_t(6));
    }

    void testInlinedFramesDoNotTakePart()
    {
        RecordingData current;
        TableBuilder own(&current);
        const auto fn = own.string("fn");
        const auto file = own.string("fn.cpp");
        const auto g = own.string("g");
        own.allocation(own.trace(own.ip(0x10, {}, fn, file, 1, {frame(g, file, 5)})), cost(1, 0, 8, 8));
        own.allocation(own.trace(own.ip(0x20, {}, fn, file, 1)), cost(1, 0, 8, 8));

        RecordingData base;
        TableBuilder other(&base);
        const auto h = other.string("h");
        const auto baseFn = other.string("fn");
        const auto baseFile = other.string("fn.cpp");
        other.allocation(other.trace(other.ip(0x30, {}, baseFn, baseFile, 1, {frame(h, baseFile, 9), frame(h, h, 1)})), cost(1, 0, 4, 4));

        current.diff(base);
        QCOMPARE(current.allocations.size(), std::size_t(1));
        QCOMPARE(costOf(current.allocations.front()), cost(1, 0, 12, 12));
        QCOMPARE(current.instructionPointers.size(), std::size_t(2));
    }

    void testStringRemapping()
    {
        RecordingData current;
        TableBuilder own(&current);
        own.string("a");

        RecordingData base;
        TableBuilder other(&base);
        const auto x = other.string("x");
        const auto y = other.string("y");
        const auto xAgain = other.string("x");
        const auto a = other.string("a");
        // one past the end of the table
        const auto beyond = makeIndex<StringIndex>(5);
        // the same location, once through each copy of "x"
        const auto first = other.trace(other.ip(0x10, y, x, a, 1, {frame(xAgain, beyond, 2)}));
        const auto second = other.trace(other.ip(0x20, y, xAgain, a, 1));
        other.allocation(first, cost(1, 0, 1, 1));
        other.allocation(second, cost(1, 0, 2, 2));
        other.allocation(other.trace(other.ip(0x30, {}, beyond, a, 7), first), cost(1, 0, 4, 4));

        current.diff(base);

        QCOMPARE(current.strings, std::vector<std::string>({"a", "x", "y"}));
        QCOMPARE(current.allocations.size(), std::size_t(2));
        const auto merged = allocationsFor(current, {"x"});
        QCOMPARE(merged.size(), std::size_t(1));
        QCOMPARE(costOf(*merged.front()), cost(-2, 0, -3, -3));
        const auto &ip = current.findIp(current.findTrace(merged.front()->traceIndex).ipIndex);
        QCOMPARE(text(current, ip.moduleIndex), std::string("y"));
        QCOMPARE(text(current, ip.frame.fileIndex), std::string("a"));
        QCOMPARE(ip.inlined.size(), std::size_t(1));
        QCOMPARE(ip.inlined.front().functionIndex, ip.frame.functionIndex);
        QVERIFY(!ip.inlined.front().fileIndex);

        const auto unknown = allocationsFor(current, {"", "x"});
        QCOMPARE(unknown.size(), std::size_t(1));
        const auto &unknownIp = current.findIp(current.findTrace(unknown.front()->traceIndex).ipIndex);
        QVERIFY(!unknownIp.frame.functionIndex);
        QCOMPARE(unknownIp.frame.line, 7);
        QCOMPARE(current.instructionPointers.size(), std::size_t(2));
    }

    void testBaseOnlyStacksStayFindable()
    {
        RecordingData current;
        RecordingData base;
        TableBuilder other(&base);
        const auto b = other.string("b");
        const auto a = other.string("a");
        const auto c = other.string("c");
        other.allocation(other.trace(other.ip(0x30, {}, c, {}, 0)), cost(1, 0, 1, 1));
        other.allocation(other.trace(other.ip(0x10, {}, a, {}, 0)), cost(1, 0, 2, 2));
        other.allocation(other.trace(other.ip(0x20, {}, b, {}, 0)), cost(1, 0, 4, 4));
        // the base's own stacks are not merged: this one must find the copy of the second
        other.allocation(other.trace(other.ip(0x11, {}, a, {}, 0)), cost(1, 0, 8, 8));

        current.diff(base);
        QCOMPARE(current.allocations.size(), std::size_t(3));
        const auto merged = allocationsFor(current, {"a"});
        QCOMPARE(merged.size(), std::size_t(1));
        QCOMPARE(costOf(*merged.front()), cost(-2, 0, -10, -10));
    }

    void testCorruptIndices()
    {
        // a node naming an ip beyond the table, a node whose parent is beyond
        // the table and an allocation info naming a trace beyond the table
        const std::string tables = "t 1 0\nt 2 1\nt 9 1\nt 1 40\na 8 2\na 8 3\na 8 4\na 8 50\n+ 0\n+ 1\n+ 2\n+ 3\n";
        // ... and an ip naming strings beyond the table
        const std::string corrupt = Header + s("main") + "i 10 0 1 0 1\n" + "i 20 63 63 63 2 70 71 3\n" + tables;

        {
            // such stacks still cancel out against themselves
            const std::string corruptTables = Header + s("main") + "i 10 0 1 0 1\n" + "i 20 0 1 0 2\n" + tables;
            RecordingData current;
            RecordingData base;
            QVERIFY(readTrace(&current, corruptTables));
            QVERIFY(readTrace(&base, corruptTables));
            QCOMPARE(current.allocations.size(), std::size_t(4));
            current.diff(base);
            QVERIFY(current.allocations.empty());
            QCOMPARE(current.totalCost, AllocationData());
        }
        {
            RecordingData current;
            RecordingData empty;
            QVERIFY(readTrace(&current, corrupt));
            current.diff(empty);
            QCOMPARE(current.allocations.size(), std::size_t(4));
            for (const auto &allocation : current.allocations) {
                QCOMPARE(costOf(allocation), cost(1, 0, 8, 8));
            }
        }
        {
            // copied into an object that has none of it
            RecordingData current;
            RecordingData base;
            QVERIFY(readTrace(&base, corrupt));
            current.diff(base);
            QCOMPARE(current.allocations.size(), std::size_t(4));
            QCOMPARE(current.strings, std::vector<std::string>({"main"}));
            for (const auto &ip : current.instructionPointers) {
                QVERIFY(ip.moduleIndex.index <= 1);
                QVERIFY(ip.frame.functionIndex.index <= 1);
                QVERIFY(ip.frame.fileIndex.index <= 1);
                for (const auto &inlined : ip.inlined) {
                    QVERIFY(!inlined.functionIndex);
                    QVERIFY(!inlined.fileIndex);
                }
            }
            for (std::size_t i = 0; i < current.traces.size(); ++i) {
                QVERIFY(current.traces[i].ipIndex.index <= current.instructionPointers.size());
                // copies keep parents before their children
                QVERIFY(current.traces[i].parentIndex.index <= i);
            }
            for (const auto &allocation : current.allocations) {
                QCOMPARE(costOf(allocation), cost(-1, 0, -8, -8));
                QVERIFY(allocation.traceIndex.index <= current.traces.size());
            }
            QCOMPARE(allocationsFor(current, {"", "main"}).size(), std::size_t(2));
            QCOMPARE(allocationsFor(current, {"main", ""}).size(), std::size_t(1));
            QCOMPARE(allocationsFor(current, {""}).size(), std::size_t(1));
        }
    }

    void testTraceLoopInCurrent()
    {
        RecordingData current;
        QVERIFY(readTrace(&current, LoopTrace));
        RecordingData empty;

        StderrCapture capture;
        current.diff(empty);
        const auto output = capture.finish();
        QCOMPARE(countOccurrences(output, RecursionMessage), std::size_t(1));

        // the frames leading into the loop are part of the stacks: no merge
        std::vector<int64_t> leaked;
        for (const auto &allocation : current.allocations) {
            leaked.push_back(allocation.leaked);
        }
        std::sort(leaked.begin(), leaked.end());
        QCOMPARE(leaked, std::vector<int64_t>({16, 32, 64}));
    }

    void testTraceLoopInBase()
    {
        RecordingData current;
        RecordingData base;
        QVERIFY(readTrace(&current, CurrentTrace));
        QVERIFY(readTrace(&base, LoopTrace));

        StderrCapture capture;
        current.diff(base);
        const auto output = capture.finish();
        QCOMPARE(countOccurrences(output, RecursionMessage), std::size_t(1));

        // the copies end where the chain starts to repeat
        const auto fromMain = allocationsFor(current, {"main", "loop"});
        QCOMPARE(fromMain.size(), std::size_t(1));
        QCOMPARE(costOf(*fromMain.front()), cost(-1, 0, -16, -16));
        const auto fromTail = allocationsFor(current, {"tail", "main", "loop"});
        QCOMPARE(fromTail.size(), std::size_t(1));
        QCOMPARE(costOf(*fromTail.front()), cost(-1, 0, -32, -32));
        const auto fromOther = allocationsFor(current, {"other", "main", "loop"});
        QCOMPARE(fromOther.size(), std::size_t(1));
        QCOMPARE(costOf(*fromOther.front()), cost(-1, 0, -64, -64));
        QCOMPARE(current.allocations.size(), std::size_t(5));
    }
};

QTEST_GUILESS_MAIN(TestTraceDiff)

#include "tst_tracediff.moc"
