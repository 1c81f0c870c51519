/* SPDX-FileCopyrightText: 2026 memloupe developers
 SPDX-License-Identifier: GPL-2.0-or-later */

#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <zlib.h>
#include <zstd.h>

#include "analyze/traceformat.h"

// The text of one trace file, compressed as its name says. Records are
// appended into a large buffer that is compressed and written in big pieces,
// so that a heap event costs a few byte stores. A failed write is reported
// once through failed()/error(); everything after it is discarded, so that
// the caller can go on draining the recorded program.
class TraceWriter
{
public:
    TraceWriter() = default;
    ~TraceWriter();
    TraceWriter(const TraceWriter &) = delete;
    TraceWriter &operator=(const TraceWriter &) = delete;

    // Creates (truncates) the file; false with error() set if that fails.
    bool open(const std::string &path, int zstdLevel = 3);
    // Flushes and closes; false if anything was lost.
    bool finish();

    bool failed() const
    {
        return m_failed;
    }
    const std::string &error() const
    {
        return m_error;
    }
    uint64_t fileSize() const
    {
        return m_fileBytes;
    }

    void put(char c)
    {
        reserve(1);
        m_buffer[m_used++] = c;
    }
    void put(const char *data, size_t length)
    {
        if (length > ChunkSize) {
            flushBuffer(false);
            writeCompressed(data, length, false);
            return;
        }
        reserve(length);
        std::memcpy(m_buffer.data() + m_used, data, length);
        m_used += length;
    }
    void put(const std::string &text)
    {
        put(text.data(), text.size());
    }
    // " %x" of the value, the field form of every record.
    void putHexField(uint64_t value)
    {
        reserve(18);
        char *out = m_buffer.data() + m_used;
        *out++ = ' ';
        m_used += 1 + writeHex(out, value);
    }
    // One record of a type letter and hex fields, with its line feed.
    void record(char type, uint64_t a)
    {
        put(type);
        putHexField(a);
        put('\n');
    }
    void record(char type, uint64_t a, uint64_t b)
    {
        put(type);
        putHexField(a);
        putHexField(b);
        put('\n');
    }

private:
    static constexpr size_t ChunkSize = size_t(1) << 20;

    static size_t writeHex(char *out, uint64_t value)
    {
        static const char digits[] = "0123456789abcdef";
        int count = 1;
        for (uint64_t rest = value >> 4; rest; rest >>= 4) {
            ++count;
        }
        for (int i = count - 1; i >= 0; --i) {
            out[i] = digits[value & 0xf];
            value >>= 4;
        }
        return size_t(count);
    }
    void reserve(size_t length)
    {
        if (m_used + length > m_buffer.size()) {
            flushBuffer(false);
        }
    }
    void flushBuffer(bool end);
    void writeCompressed(const char *data, size_t length, bool end);
    void writeFile(const char *data, size_t length);
    void fail(const std::string &what, int error);

    std::vector<char> m_buffer;
    size_t m_used = 0;
    std::vector<char> m_compressed;
    TraceFormat::Compression m_compression = TraceFormat::Compression::None;
    ZSTD_CCtx *m_zstd = nullptr;
    z_stream m_zlib{};
    bool m_zlibOpen = false;
    int m_fd = -1;
    uint64_t m_fileBytes = 0;
    bool m_failed = false;
    std::string m_error;
};
