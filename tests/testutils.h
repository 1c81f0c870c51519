/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    Shared helpers of the ingestion and analysis tests: fixture files written in
    every compression, a data object that records its hook calls, and capture of
    what the reader writes to standard error.
*/

#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <QString>
#include <QtGlobal>

#include "analyze/accumulatedtracedata.h"
#include "analyze/traceformat.h"

// The trace format's own compression kinds and their file name suffixes
// ("", ".gz", ".zst").
using Compression = TraceFormat::Compression;
using TraceFormat::suffixFor;

// Sets the event log's memory budget while alive; 1 byte makes every pass read the file.
class EventLogBudget
{
public:
    explicit EventLogBudget(const char *bytes)
    {
        qputenv("MEMLOUPE_EVENT_LOG_BUDGET", bytes);
    }
    ~EventLogBudget()
    {
        qunsetenv("MEMLOUPE_EVENT_LOG_BUDGET");
    }
    EventLogBudget(const EventLogBudget &) = delete;
    EventLogBudget &operator=(const EventLogBudget &) = delete;
};

// Lower-case hex without prefix, as the trace format writes numbers.
std::string hex(uint64_t value);

// A string record of file format 3: "s", the hex length and the text.
std::string s(const std::string &text);

// A string record as file format @p format writes it: with the hex length
// from format 3 on, without it before.
std::string stringRecord(int format, const std::string &text);

template<typename T>
T makeIndex(uint32_t value)
{
    T index;
    index.index = value;
    return index;
}

// A cost record from its four counts.
AllocationData cost(int64_t allocations, int64_t temporary, int64_t leaked, int64_t peak);

// How QCOMPARE prints a cost record.
char *toString(const AllocationData &cost);

// The four costs in one line, for readable comparisons.
QString costsText(const AllocationData &data);
QString costsText(int64_t allocations, int64_t temporary, int64_t leaked, int64_t peak);

// Writes @p contents to @p path compressed as asked; returns false on failure.
bool writeTraceFile(const std::string &path, const std::string &contents, Compression compression);

// Captures everything written to the standard error file descriptor while alive.
class StderrCapture
{
public:
    StderrCapture();
    ~StderrCapture();
    StderrCapture(const StderrCapture &) = delete;
    StderrCapture &operator=(const StderrCapture &) = delete;

    // Stops capturing (if still capturing) and returns what was written.
    std::string finish();

private:
    int m_savedFd = -1;
    std::string m_path;
    std::string m_output;
    bool m_active = false;
};

// A data object that records every hook call.
class RecordingData : public AccumulatedTraceData
{
public:
    struct TimeStampCall {
        int64_t oldStamp;
        int64_t newStamp;
        bool isFinal;
        ParsePass pass;
    };
    struct AllocationCall {
        AllocationInfo info;
        AllocationInfoIndex index;
    };

    void handleTimeStamp(int64_t oldStamp, int64_t newStamp, bool isFinalTimeStamp, ParsePass pass) override
    {
        timeStamps.push_back({oldStamp, newStamp, isFinalTimeStamp, pass});
    }

    void handleAllocation(const AllocationInfo &info, AllocationInfoIndex index) override
    {
        allocationCalls.push_back({info, index});
    }

    void handleDebuggee(const char *command) override
    {
        debuggees.emplace_back(command);
    }

    std::vector<TimeStampCall> timeStamps;
    std::vector<AllocationCall> allocationCalls;
    std::vector<std::string> debuggees;
};
