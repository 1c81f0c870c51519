/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    The trace file reader: one pass over the line-oriented trace format, or
    over the event log that the first pass took down of it.
*/

#include "accumulatedtracedata.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string_view>

#include <unistd.h>

#include "util/linereader.h"
#include "util/pointermap.h"

#include "bytecounter.h"
#include "eventlog.h"
#include "traceformat.h"
#include "traceinput.h"

namespace
{
constexpr uint32_t OWN_PROGRAM_VERSION = TraceFormat::ProgramVersion;
constexpr uint32_t NEWEST_FILE_FORMAT = TraceFormat::NewestFileFormat;
// a program version that stated no file format but wrote format 1
constexpr uint32_t FORMAT_ONE_PROGRAM_VERSION = TraceFormat::FormatOneProgramVersion;

void writeLine(std::string_view line)
{
    // lines may contain NUL bytes; print them in full
    fwrite(line.data(), 1, line.size(), stderr);
}

void reportLine(const char *prefix, std::string_view line, const char *suffix = "")
{
    fputs(prefix, stderr);
    writeLine(line);
    fputs(suffix, stderr);
    fputc('\n', stderr);
    fflush(stderr);
}

void reportMessage(const char *message)
{
    fputs(message, stderr);
    fputc('\n', stderr);
    fflush(stderr);
}

// Costs are signed, sizes unsigned: add in unsigned arithmetic so that absurd
// sizes from a corrupt file wrap instead of overflowing.
inline void addSize(int64_t &target, uint64_t size)
{
    target = wrappingAdd(target, static_cast<int64_t>(size));
}

inline void subtractSize(int64_t &target, uint64_t size)
{
    target = wrappingSubtract(target, static_cast<int64_t>(size));
}

// Line source over an input chain whose first and second-to-last components
// are byte counters; the reader's own files go through TraceInput instead.
class StreamSource
{
public:
    explicit StreamSource(boost::iostreams::filtering_istream &in)
        : m_in(in)
    {
        const auto chainLength = static_cast<int>(in.size());
        m_uncompressedCounter = chainLength > 0 ? in.component<ByteCounter>(0) : nullptr;
        m_compressedCounter = chainLength >= 2 ? in.component<ByteCounter>(chainLength - 2) : nullptr;
        m_line.reserve(1024);
    }

    // the stream has no fast path: every line goes through the tokenizer
    bool nextEventLine(char *, uint32_t *)
    {
        return false;
    }

    // a stream that breaks off is not told from one that ends
    TraceInput::Ending ending() const
    {
        return TraceInput::Ending::Clean;
    }

    bool nextLine(std::string_view *line)
    {
        if (!m_in.good()) {
            return false;
        }
        std::getline(m_in, m_line);
        *line = m_line;
        return true;
    }

    int64_t compressedBytes() const
    {
        return m_compressedCounter ? m_compressedCounter->count() : 0;
    }

    int64_t uncompressedBytes() const
    {
        return m_uncompressedCounter ? m_uncompressedCounter->count() : 0;
    }

private:
    boost::iostreams::filtering_istream &m_in;
    const ByteCounter *m_uncompressedCounter = nullptr;
    const ByteCounter *m_compressedCounter = nullptr;
    std::string m_line;
};

bool readFrame(LineReader &reader, Frame &frame)
{
    return reader >> frame.functionIndex && reader >> frame.fileIndex && reader >> frame.line;
}

template<std::size_t N>
bool takeName(std::array<std::string_view, N> &names, std::size_t &remaining, const std::string &name)
{
    auto end = names.begin() + remaining;
    auto it = std::find(names.begin(), end, std::string_view(name));
    if (it == end) {
        return false;
    }
    // each name matches once: move it out of the searched range
    std::rotate(it, it + 1, end);
    --remaining;
    return true;
}
}

// The state and the accounting of one pass, whichever source its lines come
// from: the text of the file, or the event log. A line that the log keeps as
// text goes through handleLine again, the same code the text path runs, and the
// log's events through the same charging methods; so the results of the two
// cannot drift apart.
class AccumulatedTraceData::PassReader
{
public:
    PassReader(AccumulatedTraceData &data, ParsePass pass, bool isReparsing, EventLog *recording)
        : d(data)
        , pass(pass)
        , isReparsing(isReparsing)
        , readTables(pass == FirstPass && !isReparsing)
        , collectDiagnostics(readTables)
        , log(recording)
        , lastPeakCost(pass != FirstPass ? data.totalCost.peak : 0)
        , lastPeakTime(pass != FirstPass ? data.peakTime : 0)
        , costs(pass == FirstPass ? data.allocations : data.chargedAllocations())
        , inFilteredTime(data.filterParameters.minTime == 0)
    {
        if (collectDiagnostics) {
            d.diagnostics.clear();
        }
        d.totalCost.clearCost();
        d.peakTime = 0;

        if (pass == FirstPass) {
            if (d.filterParameters.disableBuiltinSuppressions) {
                d.suppressions.clear();
            } else {
                d.suppressions = builtinSuppressions();
            }
            for (const auto &pattern : d.filterParameters.suppressions) {
                d.suppressions.push_back({pattern, 0, 0});
            }
        }

        for (auto &allocation : costs) {
            allocation.clearCost();
        }
        d.peakRSS = 0;
        if (readTables) {
            d.m_formatZeroInfos.reset();
        }

        d.parsingState.pass = pass;
        d.parsingState.reparsing = isReparsing;
        d.parsingState.timestamp = 0;
        d.parsingState.recordingEventLog = log != nullptr;
    }

    // where the source is, for the progress shown while a pass runs
    void setPosition(const void *source, int64_t (*compressed)(const void *), int64_t (*uncompressed)(const void *))
    {
        m_source = source;
        m_compressed = compressed;
        m_uncompressed = uncompressed;
    }

    // The byte counts are only looked at from the hooks and after the pass, so
    // they are brought up to date there rather than for every line: on short
    // event lines the interpolation costs as much as tokenizing.
    void updateParsingState()
    {
        d.parsingState.readCompressedByte = m_compressed(m_source);
        d.parsingState.readUncompressedByte = m_uncompressed(m_source);
        d.parsingState.timestamp = timeStamp;
    }

    void diagnose(TraceDiagnostics::Kind kind, std::string_view line)
    {
        if (collectDiagnostics) {
            d.diagnostics.add(kind, lineNumber, line);
        }
    }

    // The log would not fit its budget: this and every later pass read the file.
    void dropLog()
    {
        fprintf(stderr,
                "memloupe: the event log would exceed %llu MB; reading the file again for each pass\n",
                static_cast<unsigned long long>((log->budget() + (1 << 20) - 1) >> 20));
        fflush(stderr);
        log = nullptr;
        d.parsingState.recordingEventLog = false;
        d.parsingState.eventLogExceeded = true;
    }

    void recordLine(std::string_view line)
    {
        if (log && !log->appendLine(line)) {
            dropLog();
        }
    }

    void recordBatch(std::size_t count)
    {
        for (std::size_t i = 0; i < count; ++i) {
            const auto kind = batchModes[i] == TraceFormat::Record::Allocation ? EventLog::Allocation : EventLog::Deallocation;
            if (!log->appendEvent(kind, batchIndices[i].index)) {
                dropLog();
                return;
            }
        }
        events += static_cast<int64_t>(count);
    }

    // The accounting of '+' and '-' records, shared by the tokenizing path, the
    // input's fast path for index-only event lines and the event log.
    void chargeAllocation(const AllocationInfo &info, AllocationInfoIndex infoIndex)
    {
        hasPendingAllocation = true;
        if (pass != FirstPass) {
            auto &allocation = costs[info.allocationIndex.index];
            addSize(allocation.leaked, info.size);
            ++allocation.allocations;
            d.handleAllocation(info, infoIndex);
        }

        auto &totalCost = d.totalCost;
        ++totalCost.allocations;
        addSize(totalCost.leaked, info.size);
        if (totalCost.leaked > totalCost.peak) {
            totalCost.peak = totalCost.leaked;
            d.peakTime = timeStamp;
            if (pass == SecondPass && totalCost.peak == lastPeakCost && timeStamp == lastPeakTime) {
                // the moment of the overall peak found by the first pass
                for (auto &allocation : costs) {
                    allocation.peak = allocation.leaked;
                }
            }
        }
    }

    void reportIndexOutOfBounds(char mode, AllocationInfoIndex infoIndex)
    {
        fprintf(stderr, "allocation index out of bounds: %u, maximum is: %zu\n", infoIndex.index, d.allocationInfos.size());
        fflush(stderr);
        if (collectDiagnostics) {
            // the fast path hands out no line: it is written again as the tokenizer would have found it
            char text[16];
            const int length = snprintf(text, sizeof(text), "%c %x", mode, infoIndex.index);
            diagnose(TraceDiagnostics::IndexOutOfBounds, std::string_view(text, static_cast<std::size_t>(std::max(length, 0))));
        }
    }

    void allocateIndexed(AllocationInfoIndex infoIndex)
    {
        if (infoIndex.index >= d.allocationInfos.size()) {
            reportIndexOutOfBounds(TraceFormat::Record::Allocation, infoIndex);
            return;
        }
        lastAllocationPtr = infoIndex.index;
        chargeAllocation(d.allocationInfos[infoIndex.index], infoIndex);
    }

    void chargeRelease(AllocationInfoIndex infoIndex, bool temporary)
    {
        hasPendingAllocation = false;
        const auto &info = d.allocationInfos[infoIndex.index];
        subtractSize(d.totalCost.leaked, info.size);
        if (temporary) {
            ++d.totalCost.temporary;
        }
        if (pass != FirstPass) {
            auto &allocation = costs[info.allocationIndex.index];
            subtractSize(allocation.leaked, info.size);
            if (temporary) {
                ++allocation.temporary;
            }
        }
    }

    void releaseIndexed(AllocationInfoIndex infoIndex)
    {
        if (infoIndex.index >= d.allocationInfos.size()) {
            reportIndexOutOfBounds(TraceFormat::Record::Deallocation, infoIndex);
            return;
        }
        chargeRelease(infoIndex, hasPendingAllocation && lastAllocationPtr == infoIndex.index);
    }

    // format 0: a block at @p ptr of the allocation info @p infoIndex, which exists
    void allocateFormatZero(AllocationInfoIndex infoIndex, uint64_t ptr)
    {
        if (!pointers) {
            pointers = std::make_unique<PointerMap>();
        }
        pointers->addPointer(ptr, infoIndex);
        lastAllocationPtr = ptr;
        chargeAllocation(d.allocationInfos[infoIndex.index], infoIndex);
    }

    void releaseFormatZero(uint64_t ptr)
    {
        const auto taken = pointers ? pointers->takePointer(ptr) : std::make_pair(AllocationInfoIndex(), false);
        if (!taken.second || taken.first.index >= d.allocationInfos.size()) {
            // freed before the profiler attached or before the time window
            return;
        }
        chargeRelease(taken.first, hasPendingAllocation && lastAllocationPtr == ptr);
    }

    // Event lines come in long runs and charge entries spread over tables larger
    // than the caches. They are decoded a batch at a time and the entries they
    // charge are fetched ahead of the accounting, which then finds them at hand
    // instead of waiting for memory line by line. The accounting itself keeps
    // the order of the lines. lineNumber is that of the batch's last line.
    void processBatch(std::size_t count)
    {
        const auto infoCount = d.allocationInfos.size();
        if (pass != FirstPass) {
            for (std::size_t i = 0; i < count; ++i) {
                const auto index = batchIndices[i].index;
                if (index < infoCount) {
                    __builtin_prefetch(costs.data() + d.allocationInfos[index].allocationIndex.index, 1);
                }
            }
            d.prefetchAllocations(batchIndices.data(), count);
        }
        const int64_t lastLine = lineNumber;
        for (std::size_t i = 0; i < count; ++i) {
            lineNumber = lastLine - static_cast<int64_t>(count - 1 - i);
            if (batchModes[i] == TraceFormat::Record::Allocation) {
                allocateIndexed(batchIndices[i]);
            } else {
                releaseIndexed(batchIndices[i]);
            }
        }
    }

    void applyTimeStamp(int64_t newStamp)
    {
        if (newStamp < d.filterParameters.minTime) {
            inFilteredTime = false;
            timeStamp = newStamp;
        } else if (newStamp > d.filterParameters.maxTime) {
            // the pass ends: the window has ended
            timeStamp = newStamp;
        } else {
            updateParsingState();
            d.handleTimeStamp(timeStamp, newStamp, false, pass);
            inFilteredTime = true;
            timeStamp = newStamp;
        }
    }

    void applyResidentSetSize(int64_t rss)
    {
        if (inFilteredTime) {
            d.peakRSS = std::max(d.peakRSS, rss);
        }
    }

    // One line through the tokenizer; false when the pass must end as failed.
    bool handleLine(std::string_view line);

    // Ends a pass that read everything it was to read; false if it failed.
    bool finish(TraceInput::Ending ending, int64_t endCompressedBytes);

    AccumulatedTraceData &d;
    const ParsePass pass;
    const bool isReparsing;
    const bool readTables;
    const bool collectDiagnostics;
    // where the first pass takes down the event log; null in other passes
    EventLog *log;
    const int64_t lastPeakCost;
    const int64_t lastPeakTime;
    // the call stacks' costs this pass charges
    std::vector<Allocation> &costs;

    uint32_t fileVersion = 0;
    bool debuggeeEncountered = false;
    bool inFilteredTime;
    // the pending allocation of the temporary rule: an allocation-info index, or
    // for format 0 a block address
    bool hasPendingAllocation = false;
    uint64_t lastAllocationPtr = 0;
    std::unique_ptr<PointerMap> pointers;
    int64_t timeStamp = 0;
    // 1-based number of the current line of the decompressed text
    int64_t lineNumber = 0;
    // events taken down in the log
    int64_t events = 0;
    LineReader reader;

    std::array<std::string_view, 4> opNewStrings = {"operator new(unsigned long)",
                                                    "operator new[](unsigned long)",
                                                    "operator new(unsigned int)",
                                                    "operator new[](unsigned int)"};
    std::size_t opNewStringsLeft = opNewStrings.size();
    std::array<std::string_view, 3> stopStrings = {"main", "__libc_start_main", "__static_initialization_and_destruction_0"};
    std::size_t stopStringsLeft = stopStrings.size();
    std::vector<StringIndex> opNewStrIndices;

    static constexpr std::size_t BATCH_SIZE = 32;
    std::array<char, BATCH_SIZE> batchModes;
    std::array<AllocationInfoIndex, BATCH_SIZE> batchIndices;

private:
    bool isOpNewIp(IpIndex ipIndex) const
    {
        return std::find(d.opNewIpIndices.begin(), d.opNewIpIndices.end(), ipIndex) != d.opNewIpIndices.end();
    }

    const void *m_source = nullptr;
    int64_t (*m_compressed)(const void *) = nullptr;
    int64_t (*m_uncompressed)(const void *) = nullptr;
};

bool AccumulatedTraceData::PassReader::handleLine(std::string_view line)
{
    reader.setLine(line.data(), line.size());
    const auto nonHexBefore = reader.nonHexReports();

    switch (reader.mode()) {
    case TraceFormat::Record::TimeStamp: {
        int64_t newStamp = 0;
        if (!(reader >> newStamp)) {
            reportLine("Failed to read time stamp: ", reader.line());
            diagnose(TraceDiagnostics::UnreadableTimeStamp, reader.line());
            recordLine(line);
            break;
        }
        if (log) {
            if (!log->appendTimeStamp(newStamp)) {
                dropLog();
            } else {
                ++events;
            }
        }
        applyTimeStamp(newStamp);
        break;
    }
    case TraceFormat::Record::Allocation: {
        if (!inFilteredTime) {
            // unread here, so perhaps unreadable: a window of a reparse reads it as text
            recordLine(line);
            break;
        }
        if (fileVersion >= TraceFormat::FirstIndexedFileFormat) {
            AllocationInfoIndex infoIndex;
            if (!(reader >> infoIndex)) {
                reportLine("failed to parse line: ", reader.line(), " 314");
                diagnose(TraceDiagnostics::UnreadableRecord, reader.line());
                recordLine(line);
                break;
            }
            if (log) {
                if (!log->appendEvent(EventLog::Allocation, infoIndex.index)) {
                    dropLog();
                } else {
                    ++events;
                }
            }
            allocateIndexed(infoIndex);
        } else {
            uint64_t size = 0;
            TraceIndex traceIndex;
            uint64_t ptr = 0;
            if (!(reader >> size) || !(reader >> traceIndex) || !(reader >> ptr)) {
                reportLine("failed to parse line: ", reader.line(), " 327");
                diagnose(TraceDiagnostics::UnreadableRecord, reader.line());
                recordLine(line);
                break;
            }
            if (!d.m_formatZeroInfos) {
                d.m_formatZeroInfos = std::make_unique<AllocationInfoSet>();
            }
            AllocationInfoIndex infoIndex;
            if (d.m_formatZeroInfos->add(size, traceIndex, &infoIndex)) {
                AllocationInfo info;
                info.size = size;
                info.allocationIndex = d.mapToAllocationIndex(traceIndex);
                d.allocationInfos.push_back(info);
            }
            if (log) {
                if (!log->appendFormatZeroAllocation(infoIndex.index, ptr)) {
                    dropLog();
                } else {
                    ++events;
                }
            }
            allocateFormatZero(infoIndex, ptr);
        }
        break;
    }
    case TraceFormat::Record::Deallocation: {
        if (!inFilteredTime) {
            recordLine(line);
            break;
        }
        if (fileVersion >= TraceFormat::FirstIndexedFileFormat) {
            AllocationInfoIndex infoIndex;
            if (!(reader >> infoIndex)) {
                reportLine("failed to parse line: ", reader.line());
                diagnose(TraceDiagnostics::UnreadableRecord, reader.line());
                recordLine(line);
                break;
            }
            if (log) {
                if (!log->appendEvent(EventLog::Deallocation, infoIndex.index)) {
                    dropLog();
                } else {
                    ++events;
                }
            }
            releaseIndexed(infoIndex);
        } else {
            uint64_t ptr = 0;
            if (!(reader >> ptr)) {
                reportLine("failed to parse line: ", reader.line());
                diagnose(TraceDiagnostics::UnreadableRecord, reader.line());
                recordLine(line);
                break;
            }
            if (log) {
                if (!log->appendFormatZeroDeallocation(ptr)) {
                    dropLog();
                } else {
                    ++events;
                }
            }
            releaseFormatZero(ptr);
        }
        break;
    }
    case TraceFormat::Record::ResidentSetSize: {
        if (!inFilteredTime) {
            recordLine(line);
            break;
        }
        int64_t rss = 0;
        if (reader >> rss) {
            if (log && !log->appendResidentSetSize(rss)) {
                dropLog();
            }
            applyResidentSetSize(rss);
        } else {
            recordLine(line);
        }
        break;
    }
    case TraceFormat::Record::SystemInfo:
        recordLine(line);
        // a failed read keeps the previous value
        (reader >> d.systemInfo.pageSize) && (reader >> d.systemInfo.pages);
        break;
    case TraceFormat::Record::Version: {
        recordLine(line);
        uint32_t memloupeVersion = 0;
        bool hasFileVersion = false;
        fileVersion = 0;
        if (reader >> memloupeVersion) {
            hasFileVersion = reader >> fileVersion;
        }
        if (!hasFileVersion && memloupeVersion == FORMAT_ONE_PROGRAM_VERSION) {
            fileVersion = 1;
        } else if (fileVersion > NEWEST_FILE_FORMAT) {
            fprintf(stderr,
                    "The data file has version %x and was written by memloupe version %x)\n"
                    "This is not compatible with this build of memloupe (version %x), which can read file "
                    "format version %x and below\n",
                    fileVersion,
                    memloupeVersion,
                    OWN_PROGRAM_VERSION,
                    NEWEST_FILE_FORMAT);
            fflush(stderr);
            updateParsingState();
            return false;
        }
        reader.setExpectedSizedStrings(fileVersion >= TraceFormat::SizedStringsFileFormat);
        break;
    }
    case TraceFormat::Record::Debuggee:
        recordLine(line);
        if (debuggeeEncountered) {
            reportMessage("Duplicated debuggee entry - corrupt data file?");
            updateParsingState();
            return false;
        }
        debuggeeEncountered = true;
        if (pass != FirstPass && !isReparsing) {
            // the hook takes a terminated string; this happens once per pass
            const std::string command(reader.restOfLine());
            d.handleDebuggee(command.c_str());
        }
        break;
    case TraceFormat::Record::String: {
        if (!readTables) {
            break;
        }
        std::string string;
        if (reader.expectsSizedStrings()) {
            // an unreadable field leaves the string empty
            reader >> string;
        } else {
            string.assign(reader.restOfLine());
        }
        d.strings.push_back(std::move(string));
        StringIndex index;
        index.index = static_cast<uint32_t>(d.strings.size());
        const auto &added = d.strings.back();
        if (opNewStringsLeft && takeName(opNewStrings, opNewStringsLeft, added)) {
            opNewStrIndices.push_back(index);
        } else if (stopStringsLeft && takeName(stopStrings, stopStringsLeft, added)) {
            d.stopIndices.push_back(index);
        }
        break;
    }
    case TraceFormat::Record::Trace: {
        if (!readTables) {
            break;
        }
        TraceNode node;
        (reader >> node.ipIndex) && (reader >> node.parentIndex);
        // charge operator new to its caller; the bound guards against corrupt parent loops
        std::size_t steps = d.traces.size() + 1;
        while (isOpNewIp(node.ipIndex)) {
            if (steps-- == 0) {
                node = {};
                break;
            }
            node = d.findTrace(node.parentIndex);
        }
        d.traces.push_back(node);
        break;
    }
    case TraceFormat::Record::InstructionPointer: {
        if (!readTables) {
            break;
        }
        InstructionPointer ip;
        if ((reader >> ip.instructionPointer) && (reader >> ip.moduleIndex) && readFrame(reader, ip.frame)) {
            Frame inlined;
            while (readFrame(reader, inlined)) {
                ip.inlined.push_back(inlined);
                inlined = {};
            }
        }
        const bool isOpNew = std::find(opNewStrIndices.begin(), opNewStrIndices.end(), ip.frame.functionIndex) != opNewStrIndices.end();
        d.instructionPointers.push_back(std::move(ip));
        if (isOpNew) {
            IpIndex index;
            index.index = static_cast<uint32_t>(d.instructionPointers.size());
            d.opNewIpIndices.push_back(index);
        }
        break;
    }
    case TraceFormat::Record::AllocationInfo: {
        if (!readTables) {
            break;
        }
        uint64_t size = 0;
        TraceIndex traceIndex;
        if (!(reader >> size) || !(reader >> traceIndex)) {
            reportLine("failed to parse line: ", reader.line());
            diagnose(TraceDiagnostics::UnreadableRecord, reader.line());
            break;
        }
        d.allocationInfos.push_back({size, d.mapToAllocationIndex(traceIndex)});
        break;
    }
    case TraceFormat::Record::Attached:
        if (readTables) {
            d.totalCost.clearCost();
            d.fromAttached = true;
        }
        break;
    case TraceFormat::Record::Suppression:
        recordLine(line);
        if (pass == FirstPass && !d.filterParameters.disableEmbeddedSuppressions) {
            auto pattern = parseSuppression(std::string(reader.restOfLine()));
            if (!pattern.empty()) {
                d.suppressions.push_back({std::move(pattern), 0, 0});
            }
        }
        break;
    case TraceFormat::Record::Comment:
        break;
    default:
        recordLine(line);
        reportLine("failed to parse line: ", reader.line());
        diagnose(TraceDiagnostics::UnknownRecord, reader.line());
        break;
    }
    if (collectDiagnostics && reader.nonHexReports() != nonHexBefore) {
        diagnose(TraceDiagnostics::UnreadableNumber, reader.line());
    }
    return true;
}

bool AccumulatedTraceData::PassReader::finish(TraceInput::Ending ending, int64_t endCompressedBytes)
{
    updateParsingState();
    if (collectDiagnostics && ending != TraceInput::Ending::Clean) {
        // after the last line handed out, where the damage is
        ++lineNumber;
        if (ending == TraceInput::Ending::Truncated) {
            diagnose(TraceDiagnostics::TruncatedInput, std::string_view());
            reportMessage("the file ends early: it may have been cut off while it was written");
        } else {
            diagnose(TraceDiagnostics::CorruptInput, std::string_view());
            fprintf(stderr, "the file is damaged: decompression failed after %lld bytes\n", static_cast<long long>(endCompressedBytes));
            fflush(stderr);
        }
    }
    // saturate: a corrupt last time stamp must not overflow
    const int64_t endStamp = timeStamp < std::numeric_limits<int64_t>::max() ? timeStamp + 1 : timeStamp;
    if (readTables) {
        d.sortTraceIndexMap();
        d.totalTime = endStamp;
        d.filterParameters.maxTime = d.totalTime;
    }
    d.handleTimeStamp(timeStamp, endStamp, true, pass);
    return true;
}

// Reads the event log a chunk at a time, stepping over the chunks before a
// window that hold nothing a pass outside its window acts on.
class AccumulatedTraceData::LogSource
{
public:
    explicit LogSource(const EventLog &log)
        : m_log(log)
        , m_chunks(log.chunks())
    {
        m_total = log.size();
    }

    static int64_t compressed(const void *self)
    {
        const auto *source = static_cast<const LogSource *>(self);
        return source->interpolate(source->m_log.compressedBytes());
    }

    static int64_t uncompressed(const void *self)
    {
        const auto *source = static_cast<const LogSource *>(self);
        return source->interpolate(source->m_log.uncompressedBytes());
    }

    // the share @p total of the log read so far, for progress
    int64_t interpolate(int64_t total) const
    {
        if (m_total == 0) {
            return total;
        }
        const auto read = static_cast<double>(offset()) / static_cast<double>(m_total);
        return static_cast<int64_t>(read * static_cast<double>(total));
    }

    uint64_t offset() const
    {
        if (m_chunk >= m_chunks.size()) {
            return m_total;
        }
        return m_chunks[m_chunk].start + static_cast<uint64_t>(m_position - m_records);
    }

    const EventLog &m_log;
    const std::vector<EventLog::Chunk> &m_chunks;
    uint64_t m_total = 0;
    std::size_t m_chunk = 0;
    // of the chunk m_chunk
    const uint8_t *m_records = nullptr;
    const uint8_t *m_position = nullptr;
    const uint8_t *m_end = nullptr;
    int64_t m_lastStamp = 0;
};

uint64_t AccumulatedTraceData::eventLogSize() const
{
    return m_eventLog ? m_eventLog->memory() : 0;
}

bool AccumulatedTraceData::replay(const EventLog &log, PassReader &r)
{
    LogSource source(log);
    EventLog::Reader records(log);
    r.setPosition(&source, &LogSource::compressed, &LogSource::uncompressed);
    parsingState.fromEventLog = true;
    const auto &chunks = log.chunks();
    const int64_t minTime = filterParameters.minTime;
    const int64_t maxTime = filterParameters.maxTime;

    for (std::size_t chunkIndex = 0; chunkIndex < chunks.size() && r.timeStamp < maxTime; ++chunkIndex) {
        if (isCancelRequested()) {
            parsingState.fromEventLog = false;
            return false;
        }
        const auto &chunk = chunks[chunkIndex];
        source.m_chunk = chunkIndex;
        source.m_records = source.m_position = nullptr;
        if (!r.inFilteredTime && !chunk.hasLines && (!chunk.hasStamps || (chunk.maxStamp < minTime && chunk.maxStamp < maxTime))) {
            // before the window: its events are not charged, its time stamps only
            // move the clock
            if (chunk.hasStamps) {
                r.timeStamp = chunk.lastStamp;
            }
            continue;
        }
        const uint8_t *position = records.records(chunkIndex);
        if (!position) {
            reportMessage("memloupe: the event log cannot be decompressed");
            parsingState.fromEventLog = false;
            return false;
        }
        source.m_records = source.m_position = position;
        const uint8_t *const end = position + chunk.size;
        int64_t lastStamp = chunk.stampBefore;
        uint32_t lastAllocation = 0;
        while (position < end && r.timeStamp < maxTime) {
            source.m_position = position;
            const uint8_t head = *position;
            const uint32_t kind = head & 3u;
            if (kind <= EventLog::Deallocation || head == EventLog::RELEASE_OF_LAST_ALLOCATION) {
                // a run of events, as the text path batches its event lines
                std::size_t count = 0;
                const auto lastInfo = allocationInfos.empty() ? 0 : allocationInfos.size() - 1;
                do {
                    // selected, not branched on, as the log writes them
                    const uint64_t value = EventLog::readVarint(position);
                    const bool release = value == EventLog::RELEASE_OF_LAST_ALLOCATION;
                    const bool allocation = (value & 3u) == EventLog::Allocation;
                    const auto index = release ? lastAllocation : static_cast<uint32_t>(value >> 2);
                    lastAllocation = allocation ? index : lastAllocation;
                    r.batchModes[count] = allocation ? TraceFormat::Record::Allocation : TraceFormat::Record::Deallocation;
                    r.batchIndices[count].index = index;
                    __builtin_prefetch(allocationInfos.data() + std::min<std::size_t>(index, lastInfo));
                    ++count;
                } while (count < PassReader::BATCH_SIZE && position < end
                         && ((*position & 3u) <= EventLog::Deallocation || *position == EventLog::RELEASE_OF_LAST_ALLOCATION));
                if (r.inFilteredTime) {
                    r.processBatch(count);
                }
                continue;
            }
            const uint64_t value = EventLog::readVarint(position);
            if (kind == EventLog::TimeStamp) {
                const uint64_t zigzag = value >> 2;
                const uint64_t delta = (zigzag >> 1) ^ (0 - (zigzag & 1));
                lastStamp = static_cast<int64_t>(static_cast<uint64_t>(lastStamp) + delta);
                r.applyTimeStamp(lastStamp);
                continue;
            }
            switch (value >> 2) {
            case EventLog::ResidentSetSize:
                r.applyResidentSetSize(static_cast<int64_t>(EventLog::readVarint(position)));
                break;
            case EventLog::Line: {
                const auto length = static_cast<std::size_t>(EventLog::readVarint(position));
                const auto *text = reinterpret_cast<const char *>(position);
                position += length;
                if (!r.handleLine(std::string_view(text, length))) {
                    return false;
                }
                break;
            }
            case EventLog::FormatZeroAllocation: {
                AllocationInfoIndex infoIndex;
                infoIndex.index = static_cast<uint32_t>(EventLog::readVarint(position));
                const uint64_t ptr = EventLog::readVarint(position);
                if (r.inFilteredTime) {
                    r.allocateFormatZero(infoIndex, ptr);
                }
                break;
            }
            case EventLog::FormatZeroDeallocation: {
                const uint64_t ptr = EventLog::readVarint(position);
                if (r.inFilteredTime) {
                    r.releaseFormatZero(ptr);
                }
                break;
            }
            case EventLog::TimeStampFull:
                lastStamp = static_cast<int64_t>(EventLog::readVarint(position));
                r.applyTimeStamp(lastStamp);
                break;
            }
        }
    }
    source.m_chunk = chunks.size();
    r.updateParsingState();
    parsingState.readCompressedByte = log.compressedBytes();
    parsingState.readUncompressedByte = log.uncompressedBytes();
    const bool ok = r.finish(TraceInput::Ending::Clean, log.compressedBytes());
    parsingState.fromEventLog = false;
    return ok;
}

template<typename LineSource>
bool AccumulatedTraceData::readText(LineSource &source, PassReader &r, bool *reachedEnd)
{
    r.setPosition(
        &source,
        [](const void *self) {
            return static_cast<const LineSource *>(self)->compressedBytes();
        },
        [](const void *self) {
            return static_cast<const LineSource *>(self)->uncompressedBytes();
        });
    *reachedEnd = false;
    std::string_view line;
    // a step is one line or one batch of event lines
    constexpr uint32_t STEPS_BETWEEN_CANCEL_CHECKS = 4096;
    uint32_t steps = 0;
    while (r.timeStamp < filterParameters.maxTime) {
        if (++steps == STEPS_BETWEEN_CANCEL_CHECKS) {
            steps = 0;
            if (isCancelRequested()) {
                return false;
            }
        }
        if (r.fileVersion >= TraceFormat::FirstIndexedFileFormat) {
            std::size_t count = 0;
            const auto lastInfo = allocationInfos.empty() ? 0 : allocationInfos.size() - 1;
            while (count < PassReader::BATCH_SIZE && source.nextEventLine(&r.batchModes[count], &r.batchIndices[count].index)) {
                __builtin_prefetch(allocationInfos.data() + std::min<std::size_t>(r.batchIndices[count].index, lastInfo));
                ++count;
            }
            if (count) {
                r.lineNumber += static_cast<int64_t>(count);
                if (r.log) {
                    r.recordBatch(count);
                }
                if (r.inFilteredTime) {
                    r.processBatch(count);
                }
                continue;
            }
        }
        if (!source.nextLine(&line)) {
            *reachedEnd = true;
            break;
        }
        ++r.lineNumber;
        if (!r.handleLine(line)) {
            return false;
        }
    }
    return r.finish(source.ending(), source.compressedBytes());
}

namespace
{
// MEMLOUPE_EVENT_LOG_BUDGET in bytes, or a quarter of the physical memory
uint64_t eventLogBudget()
{
    if (const char *value = getenv("MEMLOUPE_EVENT_LOG_BUDGET")) {
        char *end = nullptr;
        const auto budget = strtoull(value, &end, 10);
        if (end != value && *end == '\0') {
            return budget;
        }
    }
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0) {
        return uint64_t(1) << 30;
    }
    return static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize) / 4;
}
}

bool AccumulatedTraceData::read(const std::string &inputFile, bool isReparsing)
{
    return read(inputFile, FirstPass, isReparsing) && read(inputFile, SecondPass, isReparsing);
}

bool AccumulatedTraceData::read(const std::string &inputFile, ParsePass pass, bool isReparsing)
{
    const bool fullRead = pass == FirstPass && !isReparsing;
    if (!fullRead && m_eventLog) {
        parsingState.fileSize = m_eventLog->fileSize();
        PassReader reader(*this, pass, isReparsing, nullptr);
        return replay(*m_eventLog, reader);
    }
    if (fullRead) {
        m_eventLog.reset();
        m_eventLogEvents = 0;
        parsingState.eventLogExceeded = false;
    }

    std::string reason;
    auto input = TraceInput::open(inputFile, &reason);
    if (!input) {
        if (reason.empty()) {
            reportLine("Failed to open memloupe log file: ", inputFile);
        } else {
            reportLine("Failed to open memloupe log file: ", inputFile, (": " + reason).c_str());
        }
        return false;
    }
    parsingState.fileSize = input->fileSize();
    std::unique_ptr<EventLog> log;
    if (fullRead) {
        log = std::make_unique<EventLog>(eventLogBudget());
    }
    PassReader reader(*this, pass, isReparsing, log.get());
    bool reachedEnd = false;
    const bool ok = readText(*input, reader, &reachedEnd);
    // a first pass that stopped at the end of its window has not seen what a
    // reparse of a later window reads
    if (ok && reachedEnd && reader.log) {
        log->finish(parsingState.fileSize, parsingState.readCompressedByte, parsingState.readUncompressedByte);
        m_eventLog = std::move(log);
        m_eventLogEvents = reader.events;
    }
    parsingState.recordingEventLog = false;
    return ok;
}

bool AccumulatedTraceData::read(boost::iostreams::filtering_istream &in, ParsePass pass, bool isReparsing)
{
    if (pass == FirstPass && !isReparsing) {
        // the log of another read would not be the text of this stream
        m_eventLog.reset();
        m_eventLogEvents = 0;
    }
    StreamSource source(in);
    PassReader reader(*this, pass, isReparsing, nullptr);
    bool reachedEnd = false;
    return readText(source, reader, &reachedEnd);
}
