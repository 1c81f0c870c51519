/* SPDX-FileCopyrightText: 2026 memloupe developers
 SPDX-License-Identifier: GPL-2.0-or-later */

#include "launcher/tracewriter.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

TraceWriter::~TraceWriter()
{
    if (m_fd >= 0) {
        finish();
    }
    if (m_zstd) {
        ZSTD_freeCCtx(m_zstd);
    }
    if (m_zlibOpen) {
        deflateEnd(&m_zlib);
    }
}

bool TraceWriter::open(const std::string &path, int zstdLevel)
{
    m_compression = TraceFormat::compressionForPath(path);
    m_fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (m_fd < 0) {
        fail("cannot create", errno);
        return false;
    }
    m_buffer.resize(ChunkSize);
    switch (m_compression) {
    case TraceFormat::Compression::Zstd:
        m_zstd = ZSTD_createCCtx();
        ZSTD_CCtx_setParameter(m_zstd, ZSTD_c_compressionLevel, zstdLevel);
        m_compressed.resize(ZSTD_CStreamOutSize() * 4);
        break;
    case TraceFormat::Compression::Gzip:
        // 15 + 16: a gzip header and trailer rather than a raw zlib stream
        if (deflateInit2(&m_zlib, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
            fail("cannot start gzip compression for", 0);
            return false;
        }
        m_zlibOpen = true;
        m_compressed.resize(ChunkSize);
        break;
    case TraceFormat::Compression::None:
        break;
    }
    return true;
}

void TraceWriter::fail(const std::string &what, int error)
{
    if (m_failed) {
        return;
    }
    m_failed = true;
    m_error = what;
    if (error) {
        m_error += std::string(": ") + strerror(error);
    }
}

void TraceWriter::writeFile(const char *data, size_t length)
{
    while (length && !m_failed) {
        const auto written = ::write(m_fd, data, length);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            fail("writing failed", errno);
            return;
        }
        data += written;
        length -= size_t(written);
        m_fileBytes += uint64_t(written);
    }
}

void TraceWriter::writeCompressed(const char *data, size_t length, bool end)
{
    if (m_failed || m_fd < 0) {
        return;
    }
    switch (m_compression) {
    case TraceFormat::Compression::None:
        writeFile(data, length);
        break;
    case TraceFormat::Compression::Zstd: {
        ZSTD_inBuffer input{data, length, 0};
        for (;;) {
            ZSTD_outBuffer output{m_compressed.data(), m_compressed.size(), 0};
            const size_t left = ZSTD_compressStream2(m_zstd, &output, &input, end ? ZSTD_e_end : ZSTD_e_continue);
            if (ZSTD_isError(left)) {
                fail(std::string("zstd compression failed: ") + ZSTD_getErrorName(left), 0);
                return;
            }
            writeFile(m_compressed.data(), output.pos);
            if (m_failed || (end ? left == 0 : input.pos == input.size)) {
                break;
            }
        }
        break;
    }
    case TraceFormat::Compression::Gzip: {
        m_zlib.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data));
        m_zlib.avail_in = uInt(length);
        for (;;) {
            m_zlib.next_out = reinterpret_cast<Bytef *>(m_compressed.data());
            m_zlib.avail_out = uInt(m_compressed.size());
            const int result = deflate(&m_zlib, end ? Z_FINISH : Z_NO_FLUSH);
            if (result == Z_STREAM_ERROR) {
                fail("gzip compression failed", 0);
                return;
            }
            writeFile(m_compressed.data(), m_compressed.size() - m_zlib.avail_out);
            if (m_failed || (end ? result == Z_STREAM_END : (m_zlib.avail_in == 0 && m_zlib.avail_out != 0))) {
                break;
            }
        }
        break;
    }
    }
}

void TraceWriter::flushBuffer(bool end)
{
    writeCompressed(m_buffer.data(), m_used, end);
    m_used = 0;
}

bool TraceWriter::finish()
{
    if (m_fd < 0) {
        return !m_failed;
    }
    flushBuffer(true);
    if (::close(m_fd) != 0 && !m_failed) {
        fail("closing failed", errno);
    }
    m_fd = -1;
    return !m_failed;
}
