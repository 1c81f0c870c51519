/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

#include "traceoutput.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include <zlib.h>
#include <zstd.h>

namespace
{
constexpr std::size_t BUFFER_SIZE = 4 * 1024 * 1024;
constexpr std::size_t COMPRESSED_CHUNK = 1024 * 1024;

// Owns the FILE (unless it is standard output) and remembers the first error.
class FileTarget
{
public:
    FileTarget(std::FILE *file, std::string name)
        : m_file(file)
        , m_name(std::move(name))
    {
    }

    ~FileTarget()
    {
        close();
    }

    FileTarget(const FileTarget &) = delete;
    FileTarget &operator=(const FileTarget &) = delete;

    bool write(const char *data, std::size_t size)
    {
        if (!m_error.empty()) {
            return false;
        }
        if (size && std::fwrite(data, 1, size, m_file) != size) {
            fail(errno);
            return false;
        }
        return true;
    }

    bool close()
    {
        if (!m_file) {
            return m_error.empty();
        }
        const bool isStdout = m_file == stdout;
        const int result = isStdout ? std::fflush(m_file) : std::fclose(m_file);
        m_file = nullptr;
        if (result != 0 && m_error.empty()) {
            fail(errno);
        }
        return m_error.empty();
    }

    void fail(int error)
    {
        m_error = "cannot write " + m_name + ": " + std::strerror(error);
    }

    void failWith(std::string message)
    {
        if (m_error.empty()) {
            m_error = std::move(message);
        }
    }

    const std::string &error() const
    {
        return m_error;
    }

private:
    std::FILE *m_file;
    std::string m_name;
    std::string m_error;
};

class PlainSink : public OutputSink
{
public:
    explicit PlainSink(std::unique_ptr<FileTarget> target)
        : m_target(std::move(target))
    {
    }

    bool write(const char *data, std::size_t size) override
    {
        return m_target->write(data, size);
    }

    bool finish() override
    {
        return m_target->close();
    }

    std::string errorString() const override
    {
        return m_target->error();
    }

private:
    std::unique_ptr<FileTarget> m_target;
};

// A compressor in front of the file: the compressors differ only in how they
// push bytes through their library.
class CompressingSink : public OutputSink
{
public:
    bool write(const char *data, std::size_t size) override
    {
        return m_ready && pump(data, size, false);
    }

    bool finish() override
    {
        const bool ok = m_ready && pump(nullptr, 0, true);
        return m_target->close() && ok;
    }

    std::string errorString() const override
    {
        return m_target->error();
    }

    bool ready() const
    {
        return m_ready;
    }

protected:
    explicit CompressingSink(std::unique_ptr<FileTarget> target)
        : m_target(std::move(target))
    {
    }

    // compresses @p size bytes, and with @p end everything still held
    virtual bool pump(const char *data, std::size_t size, bool end) = 0;

    std::unique_ptr<FileTarget> m_target;
    bool m_ready = false;
};

class GzipSink : public CompressingSink
{
public:
    GzipSink(std::unique_ptr<FileTarget> target, int level)
        : CompressingSink(std::move(target))
        , m_out(COMPRESSED_CHUNK)
    {
        m_stream = {};
        // window bits 15 + 16: a gzip header and trailer instead of a raw zlib stream
        m_ready = deflateInit2(&m_stream, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) == Z_OK;
        if (!m_ready) {
            m_target->failWith("cannot initialise the gzip compressor at level " + std::to_string(level));
        }
    }

    ~GzipSink() override
    {
        if (m_ready) {
            deflateEnd(&m_stream);
        }
    }

private:
    bool pump(const char *data, std::size_t size, bool end) override
    {
        const int flush = end ? Z_FINISH : Z_NO_FLUSH;
        // zlib counts in 32-bit words; feed large buffers in pieces
        while (true) {
            const std::size_t piece = std::min<std::size_t>(size, 1u << 30);
            m_stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data));
            m_stream.avail_in = static_cast<uInt>(piece);
            const int pieceFlush = piece == size ? flush : Z_NO_FLUSH;
            int result = Z_OK;
            do {
                m_stream.next_out = reinterpret_cast<Bytef *>(m_out.data());
                m_stream.avail_out = static_cast<uInt>(m_out.size());
                result = deflate(&m_stream, pieceFlush);
                if (result == Z_STREAM_ERROR) {
                    m_target->failWith("gzip compression failed");
                    return false;
                }
                if (!m_target->write(m_out.data(), m_out.size() - m_stream.avail_out)) {
                    return false;
                }
            } while (m_stream.avail_out == 0 || (pieceFlush == Z_FINISH && result != Z_STREAM_END));
            data += piece;
            size -= piece;
            if (size == 0) {
                return true;
            }
        }
    }

    std::vector<char> m_out;
    z_stream m_stream;
};

class ZstdSink : public CompressingSink
{
public:
    ZstdSink(std::unique_ptr<FileTarget> target, int level)
        : CompressingSink(std::move(target))
        , m_context(ZSTD_createCCtx())
        , m_out(ZSTD_CStreamOutSize())
    {
        m_ready = m_context && !ZSTD_isError(ZSTD_CCtx_setParameter(m_context, ZSTD_c_compressionLevel, level))
            && !ZSTD_isError(ZSTD_CCtx_setParameter(m_context, ZSTD_c_checksumFlag, 1));
        if (!m_ready) {
            m_target->failWith("cannot initialise the zstd compressor at level " + std::to_string(level));
        }
    }

    ~ZstdSink() override
    {
        ZSTD_freeCCtx(m_context);
    }

private:
    bool pump(const char *data, std::size_t size, bool end) override
    {
        const ZSTD_EndDirective mode = end ? ZSTD_e_end : ZSTD_e_continue;
        ZSTD_inBuffer in = {data, size, 0};
        while (true) {
            ZSTD_outBuffer out = {m_out.data(), m_out.size(), 0};
            const std::size_t remaining = ZSTD_compressStream2(m_context, &out, &in, mode);
            if (ZSTD_isError(remaining)) {
                m_target->failWith(std::string("zstd compression failed: ") + ZSTD_getErrorName(remaining));
                return false;
            }
            if (!m_target->write(m_out.data(), out.pos)) {
                return false;
            }
            const bool done = mode == ZSTD_e_end ? remaining == 0 : in.pos == in.size;
            if (done) {
                return true;
            }
        }
    }

    ZSTD_CCtx *m_context;
    std::vector<char> m_out;
};

// a compressor that could not be set up gives its error instead of a sink
std::unique_ptr<OutputSink> readySink(std::unique_ptr<CompressingSink> sink, std::string *error)
{
    if (!sink->ready()) {
        *error = sink->errorString();
        return nullptr;
    }
    return sink;
}
}

OutputSink::~OutputSink() = default;

std::unique_ptr<OutputSink> openOutputSink(const std::string &path, int level, std::string *error)
{
    std::unique_ptr<FileTarget> target;
    if (path.empty()) {
        target = std::make_unique<FileTarget>(stdout, std::string("standard output"));
    } else {
        std::FILE *file = std::fopen(path.c_str(), "wb");
        if (!file) {
            *error = "cannot create " + path + ": " + std::strerror(errno);
            return nullptr;
        }
        target = std::make_unique<FileTarget>(file, path);
    }

    switch (compressionForPath(path)) {
    // level 1: compression speed matters more than size for generated data
    case OutputCompression::Gzip:
        return readySink(std::make_unique<GzipSink>(std::move(target), level ? level : 1), error);
    case OutputCompression::Zstd:
        return readySink(std::make_unique<ZstdSink>(std::move(target), level ? level : 1), error);
    case OutputCompression::None:
        break;
    }
    return std::make_unique<PlainSink>(std::move(target));
}

TraceOutput::TraceOutput(OutputSink *sink)
    : m_sink(sink)
    , m_buffer(new char[BUFFER_SIZE])
    , m_pos(m_buffer.get())
    , m_flushAt(m_buffer.get() + BUFFER_SIZE - MAX_RECORD_SIZE)
{
}

TraceOutput::~TraceOutput() = default;

void TraceOutput::putText(const char *text, std::size_t size)
{
    std::memcpy(m_pos, text, size);
    m_pos += size;
}

void TraceOutput::flush()
{
    const auto size = static_cast<std::size_t>(m_pos - m_buffer.get());
    if (!m_failed && !m_sink->write(m_buffer.get(), size)) {
        m_failed = true;
    }
    m_flushed += size;
    m_pos = m_buffer.get();
}

bool TraceOutput::finish()
{
    flush();
    if (!m_sink->finish()) {
        m_failed = true;
    }
    return !m_failed;
}
