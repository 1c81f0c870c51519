/*
    The trace file reader: one pass over the line-oriented trace format.
*/

#include "accumulatedtracedata.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <limits>
#include <string_view>

#include "util/linereader.h"
#include "util/pointermap.h"

#include "bytecounter.h"
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

bool AccumulatedTraceData::read(const std::string &inputFile, bool isReparsing)
{
    return read(inputFile, FirstPass, isReparsing) && read(inputFile, SecondPass, isReparsing);
}

bool AccumulatedTraceData::read(const std::string &inputFile, ParsePass pass, bool isReparsing)
{
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
    return readLines(*input, pass, isReparsing);
}

bool AccumulatedTraceData::read(boost::iostreams::filtering_istream &in, ParsePass pass, bool isReparsing)
{
    StreamSource source(in);
    return readLines(source, pass, isReparsing);
}

template<typename LineSource>
bool AccumulatedTraceData::readLines(LineSource &source, ParsePass pass, bool isReparsing)
{
    const bool readTables = pass == FirstPass && !isReparsing;
    // the one pass that sees every line keeps what it reports as data too
    const bool collectDiagnostics = readTables;
    if (collectDiagnostics) {
        diagnostics.clear();
    }
    // 1-based number of the current line of the decompressed text
    int64_t lineNumber = 0;

    const int64_t lastPeakCost = pass != FirstPass ? totalCost.peak : 0;
    const int64_t lastPeakTime = pass != FirstPass ? peakTime : 0;
    totalCost.clearCost();
    peakTime = 0;

    if (pass == FirstPass) {
        if (filterParameters.disableBuiltinSuppressions) {
            suppressions.clear();
        } else {
            suppressions = builtinSuppressions();
        }
        for (const auto &pattern : filterParameters.suppressions) {
            suppressions.push_back({pattern, 0, 0});
        }
    }

    for (auto &allocation : allocations) {
        allocation.clearCost();
    }
    peakRSS = 0;
    uint32_t fileVersion = 0;
    bool debuggeeEncountered = false;
    bool inFilteredTime = filterParameters.minTime == 0;
    // the pending allocation of the temporary rule: an allocation-info index, or
    // for format 0 a block address
    bool hasPendingAllocation = false;
    uint64_t lastAllocationPtr = 0;

    if (readTables) {
        m_formatZeroInfos.reset();
    }
    std::unique_ptr<PointerMap> pointers;

    parsingState.pass = pass;
    parsingState.reparsing = isReparsing;
    parsingState.timestamp = 0;

    std::array<std::string_view, 4> opNewStrings = {"operator new(unsigned long)",
                                                    "operator new[](unsigned long)",
                                                    "operator new(unsigned int)",
                                                    "operator new[](unsigned int)"};
    std::size_t opNewStringsLeft = opNewStrings.size();
    std::array<std::string_view, 3> stopStrings = {"main", "__libc_start_main", "__static_initialization_and_destruction_0"};
    std::size_t stopStringsLeft = stopStrings.size();
    std::vector<StringIndex> opNewStrIndices;

    const auto isOpNewIp = [this](IpIndex ipIndex) {
        return std::find(opNewIpIndices.begin(), opNewIpIndices.end(), ipIndex) != opNewIpIndices.end();
    };

    int64_t timeStamp = 0;
    LineReader reader;

    // The byte counts are only looked at from the hooks and after the pass, so
    // they are brought up to date there rather than for every line: on short
    // event lines the interpolation costs as much as tokenizing.
    const auto updateParsingState = [&]() {
        parsingState.readCompressedByte = source.compressedBytes();
        parsingState.readUncompressedByte = source.uncompressedBytes();
        parsingState.timestamp = timeStamp;
    };

    // The accounting of '+' and '-' records, shared by the tokenizing path and
    // the input's fast path for index-only event lines.
    const auto chargeAllocation = [&](const AllocationInfo &info, AllocationInfoIndex infoIndex) {
        hasPendingAllocation = true;
        if (pass != FirstPass) {
            auto &allocation = allocations[info.allocationIndex.index];
            addSize(allocation.leaked, info.size);
            ++allocation.allocations;
            handleAllocation(info, infoIndex);
        }

        ++totalCost.allocations;
        addSize(totalCost.leaked, info.size);
        if (totalCost.leaked > totalCost.peak) {
            totalCost.peak = totalCost.leaked;
            peakTime = timeStamp;
            if (pass == SecondPass && totalCost.peak == lastPeakCost && timeStamp == lastPeakTime) {
                // the moment of the overall peak found by the first pass
                for (auto &allocation : allocations) {
                    allocation.peak = allocation.leaked;
                }
            }
        }
    };
    const auto diagnose = [&](TraceDiagnostics::Kind kind, std::string_view line) {
        if (collectDiagnostics) {
            diagnostics.add(kind, lineNumber, line);
        }
    };
    // the fast path hands out no line: it is written again as the tokenizer would have found it
    const auto eventLineText = [](char mode, AllocationInfoIndex infoIndex) {
        char text[16];
        const int length = snprintf(text, sizeof(text), "%c %x", mode, infoIndex.index);
        return std::string(text, static_cast<std::size_t>(std::max(length, 0)));
    };
    const auto reportIndexOutOfBounds = [&](char mode, AllocationInfoIndex infoIndex) {
        fprintf(stderr, "allocation index out of bounds: %u, maximum is: %zu\n", infoIndex.index, allocationInfos.size());
        fflush(stderr);
        if (collectDiagnostics) {
            diagnose(TraceDiagnostics::IndexOutOfBounds, eventLineText(mode, infoIndex));
        }
    };
    const auto allocateIndexed = [&](AllocationInfoIndex infoIndex) {
        if (infoIndex.index >= allocationInfos.size()) {
            reportIndexOutOfBounds(TraceFormat::Record::Allocation, infoIndex);
            return;
        }
        lastAllocationPtr = infoIndex.index;
        chargeAllocation(allocationInfos[infoIndex.index], infoIndex);
    };
    const auto chargeRelease = [&](AllocationInfoIndex infoIndex, bool temporary) {
        hasPendingAllocation = false;
        const auto &info = allocationInfos[infoIndex.index];
        subtractSize(totalCost.leaked, info.size);
        if (temporary) {
            ++totalCost.temporary;
        }
        if (pass != FirstPass) {
            auto &allocation = allocations[info.allocationIndex.index];
            subtractSize(allocation.leaked, info.size);
            if (temporary) {
                ++allocation.temporary;
            }
        }
    };
    const auto releaseIndexed = [&](AllocationInfoIndex infoIndex) {
        if (infoIndex.index >= allocationInfos.size()) {
            reportIndexOutOfBounds(TraceFormat::Record::Deallocation, infoIndex);
            return;
        }
        chargeRelease(infoIndex, hasPendingAllocation && lastAllocationPtr == infoIndex.index);
    };

    // Event lines come in long runs and charge entries spread over tables larger
    // than the caches. They are decoded a batch at a time and the entries they
    // charge are fetched ahead of the accounting, which then finds them at hand
    // instead of waiting for memory line by line. The accounting itself keeps
    // the order of the lines.
    constexpr std::size_t BATCH_SIZE = 32;
    std::array<char, BATCH_SIZE> batchModes;
    std::array<AllocationInfoIndex, BATCH_SIZE> batchIndices;
    // lineNumber is that of the batch's last line
    const auto processBatch = [&](std::size_t count) {
        const int64_t lastLine = lineNumber;
        const auto infoCount = allocationInfos.size();
        if (pass != FirstPass) {
            for (std::size_t i = 0; i < count; ++i) {
                const auto index = batchIndices[i].index;
                if (index < infoCount) {
                    __builtin_prefetch(allocations.data() + allocationInfos[index].allocationIndex.index, 1);
                }
            }
            prefetchAllocations(batchIndices.data(), count);
        }
        for (std::size_t i = 0; i < count; ++i) {
            lineNumber = lastLine - static_cast<int64_t>(count - 1 - i);
            if (batchModes[i] == TraceFormat::Record::Allocation) {
                allocateIndexed(batchIndices[i]);
            } else {
                releaseIndexed(batchIndices[i]);
            }
        }
    };

    std::string_view line;
    while (timeStamp < filterParameters.maxTime) {
        if (fileVersion >= TraceFormat::FirstIndexedFileFormat) {
            std::size_t count = 0;
            const auto lastInfo = allocationInfos.empty() ? 0 : allocationInfos.size() - 1;
            while (count < BATCH_SIZE && source.nextEventLine(&batchModes[count], &batchIndices[count].index)) {
                __builtin_prefetch(allocationInfos.data() + std::min<std::size_t>(batchIndices[count].index, lastInfo));
                ++count;
            }
            if (count) {
                lineNumber += static_cast<int64_t>(count);
                if (inFilteredTime) {
                    processBatch(count);
                }
                continue;
            }
        }
        if (!source.nextLine(&line)) {
            break;
        }
        ++lineNumber;
        reader.setLine(line.data(), line.size());
        const auto nonHexBefore = reader.nonHexReports();

        switch (reader.mode()) {
        case TraceFormat::Record::TimeStamp: {
            int64_t newStamp = 0;
            if (!(reader >> newStamp)) {
                reportLine("Failed to read time stamp: ", reader.line());
                diagnose(TraceDiagnostics::UnreadableTimeStamp, reader.line());
                break;
            }
            if (newStamp < filterParameters.minTime) {
                inFilteredTime = false;
                timeStamp = newStamp;
            } else if (newStamp > filterParameters.maxTime) {
                timeStamp = newStamp;
                // leaves the loop: the window has ended
                continue;
            } else {
                updateParsingState();
                handleTimeStamp(timeStamp, newStamp, false, pass);
                inFilteredTime = true;
                timeStamp = newStamp;
            }
            break;
        }
        case TraceFormat::Record::Allocation: {
            if (!inFilteredTime) {
                break;
            }
            if (fileVersion >= TraceFormat::FirstIndexedFileFormat) {
                AllocationInfoIndex infoIndex;
                if (!(reader >> infoIndex)) {
                    reportLine("failed to parse line: ", reader.line(), " 314");
                    diagnose(TraceDiagnostics::UnreadableRecord, reader.line());
                    break;
                }
                allocateIndexed(infoIndex);
            } else {
                uint64_t size = 0;
                TraceIndex traceIndex;
                uint64_t ptr = 0;
                if (!(reader >> size) || !(reader >> traceIndex) || !(reader >> ptr)) {
                    reportLine("failed to parse line: ", reader.line(), " 327");
                    diagnose(TraceDiagnostics::UnreadableRecord, reader.line());
                    break;
                }
                if (!m_formatZeroInfos) {
                    m_formatZeroInfos = std::make_unique<AllocationInfoSet>();
                }
                AllocationInfo info;
                AllocationInfoIndex infoIndex;
                if (m_formatZeroInfos->add(size, traceIndex, &infoIndex)) {
                    info.size = size;
                    info.allocationIndex = mapToAllocationIndex(traceIndex);
                    allocationInfos.push_back(info);
                } else {
                    info = allocationInfos[infoIndex.index];
                }
                if (!pointers) {
                    pointers = std::make_unique<PointerMap>();
                }
                pointers->addPointer(ptr, infoIndex);
                lastAllocationPtr = ptr;
                chargeAllocation(info, infoIndex);
            }
            break;
        }
        case TraceFormat::Record::Deallocation: {
            if (!inFilteredTime) {
                break;
            }
            if (fileVersion >= TraceFormat::FirstIndexedFileFormat) {
                AllocationInfoIndex infoIndex;
                if (!(reader >> infoIndex)) {
                    reportLine("failed to parse line: ", reader.line());
                    diagnose(TraceDiagnostics::UnreadableRecord, reader.line());
                    break;
                }
                releaseIndexed(infoIndex);
            } else {
                uint64_t ptr = 0;
                if (!(reader >> ptr)) {
                    reportLine("failed to parse line: ", reader.line());
                    diagnose(TraceDiagnostics::UnreadableRecord, reader.line());
                    break;
                }
                const auto taken = pointers ? pointers->takePointer(ptr) : std::make_pair(AllocationInfoIndex(), false);
                if (!taken.second || taken.first.index >= allocationInfos.size()) {
                    // freed before the profiler attached or before the time window
                    break;
                }
                chargeRelease(taken.first, hasPendingAllocation && lastAllocationPtr == ptr);
            }
            break;
        }
        case TraceFormat::Record::ResidentSetSize: {
            if (!inFilteredTime) {
                break;
            }
            int64_t rss = 0;
            if (reader >> rss) {
                peakRSS = std::max(peakRSS, rss);
            }
            break;
        }
        case TraceFormat::Record::SystemInfo:
            // a failed read keeps the previous value
            (reader >> systemInfo.pageSize) && (reader >> systemInfo.pages);
            break;
        case TraceFormat::Record::Version: {
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
            if (debuggeeEncountered) {
                reportMessage("Duplicated debuggee entry - corrupt data file?");
                updateParsingState();
                return false;
            }
            debuggeeEncountered = true;
            if (pass != FirstPass && !isReparsing) {
                // the hook takes a terminated string; this happens once per pass
                const std::string command(reader.restOfLine());
                handleDebuggee(command.c_str());
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
            strings.push_back(std::move(string));
            StringIndex index;
            index.index = static_cast<uint32_t>(strings.size());
            const auto &added = strings.back();
            if (opNewStringsLeft && takeName(opNewStrings, opNewStringsLeft, added)) {
                opNewStrIndices.push_back(index);
            } else if (stopStringsLeft && takeName(stopStrings, stopStringsLeft, added)) {
                stopIndices.push_back(index);
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
            std::size_t steps = traces.size() + 1;
            while (isOpNewIp(node.ipIndex)) {
                if (steps-- == 0) {
                    node = {};
                    break;
                }
                node = findTrace(node.parentIndex);
            }
            traces.push_back(node);
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
            instructionPointers.push_back(std::move(ip));
            if (isOpNew) {
                IpIndex index;
                index.index = static_cast<uint32_t>(instructionPointers.size());
                opNewIpIndices.push_back(index);
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
            allocationInfos.push_back({size, mapToAllocationIndex(traceIndex)});
            break;
        }
        case TraceFormat::Record::Attached:
            if (readTables) {
                totalCost.clearCost();
                fromAttached = true;
            }
            break;
        case TraceFormat::Record::Suppression:
            if (pass == FirstPass && !filterParameters.disableEmbeddedSuppressions) {
                auto pattern = parseSuppression(std::string(reader.restOfLine()));
                if (!pattern.empty()) {
                    suppressions.push_back({std::move(pattern), 0, 0});
                }
            }
            break;
        case TraceFormat::Record::Comment:
            break;
        default:
            reportLine("failed to parse line: ", reader.line());
            diagnose(TraceDiagnostics::UnknownRecord, reader.line());
            break;
        }
        if (collectDiagnostics && reader.nonHexReports() != nonHexBefore) {
            diagnose(TraceDiagnostics::UnreadableNumber, reader.line());
        }
    }

    updateParsingState();
    if (collectDiagnostics && source.ending() != TraceInput::Ending::Clean) {
        // after the last line handed out, where the damage is
        ++lineNumber;
        if (source.ending() == TraceInput::Ending::Truncated) {
            diagnose(TraceDiagnostics::TruncatedInput, std::string_view());
            reportMessage("the file ends early: it may have been cut off while it was written");
        } else {
            diagnose(TraceDiagnostics::CorruptInput, std::string_view());
            fprintf(stderr, "the file is damaged: decompression failed after %lld bytes\n", static_cast<long long>(source.compressedBytes()));
            fflush(stderr);
        }
    }
    // saturate: a corrupt last time stamp must not overflow
    const int64_t endStamp = timeStamp < std::numeric_limits<int64_t>::max() ? timeStamp + 1 : timeStamp;
    if (readTables) {
        sortTraceIndexMap();
        totalTime = endStamp;
        filterParameters.maxTime = totalTime;
    }
    handleTimeStamp(timeStamp, endStamp, true, pass);
    return true;
}
