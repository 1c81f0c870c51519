/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    Buffered text output of the trace generator: records are formatted straight
    into one large buffer which goes to a plain, gzip or zstd sink in big chunks.
    Formatting a number must cost a handful of instructions, since a large trace
    holds a hundred million of them.
*/

#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "analyze/traceformat.h"

class OutputSink
{
public:
    virtual ~OutputSink();
    virtual bool write(const char *data, std::size_t size) = 0;
    // Writes whatever the compressor still holds and closes the file.
    virtual bool finish() = 0;
    virtual std::string errorString() const = 0;
};

using OutputCompression = TraceFormat::Compression;
using TraceFormat::compressionForPath;

// Opens @p path, or standard output when it is empty (plain text only).
// @p level 0 picks the default level of the compressor. Returns null and sets
// @p error when the file cannot be created or the compressor refuses the level.
std::unique_ptr<OutputSink> openOutputSink(const std::string &path, int level, std::string *error);

class TraceOutput
{
public:
    explicit TraceOutput(OutputSink *sink);
    ~TraceOutput();
    TraceOutput(const TraceOutput &) = delete;
    TraceOutput &operator=(const TraceOutput &) = delete;

    void put(char c)
    {
        *m_pos++ = c;
    }

    // Lower-case hex without prefix, as the reader expects.
    void putHex(uint64_t value)
    {
        static constexpr char digits[] = "0123456789abcdef";
        const int count = value ? (67 - __builtin_clzll(value)) / 4 : 1;
        char *const end = m_pos + count;
        char *it = end;
        do {
            *--it = digits[value & 0xf];
            value >>= 4;
        } while (value);
        m_pos = end;
    }

    // A record character and its blank.
    void startRecord(char type)
    {
        m_pos[0] = type;
        m_pos[1] = ' ';
        m_pos += 2;
    }

    // @p size must stay well below the buffer's slack (see MAX_RECORD_SIZE).
    void putText(const char *text, std::size_t size);

    void endRecord()
    {
        *m_pos++ = '\n';
        if (m_pos >= m_flushAt) {
            flush();
        }
    }

    // Uncompressed bytes produced so far, buffered ones included.
    uint64_t written() const
    {
        return m_flushed + static_cast<uint64_t>(m_pos - m_buffer.get());
    }

    bool failed() const
    {
        return m_failed;
    }

    // Flushes the buffer and finishes the sink; false on any write error.
    bool finish();

    // Longest record a caller may format between two endRecord() calls.
    static constexpr std::size_t MAX_RECORD_SIZE = 64 * 1024;

private:
    void flush();

    OutputSink *m_sink;
    std::unique_ptr<char[]> m_buffer;
    char *m_pos;
    char *m_flushAt;
    uint64_t m_flushed = 0;
    bool m_failed = false;
};
