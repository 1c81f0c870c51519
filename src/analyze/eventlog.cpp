/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

#include "eventlog.h"

#include <system_error>

#include <zstd.h>

namespace
{
// zstd's fastest regular level: a chunk compresses in a third of the time the
// first pass takes to fill it, to about a third of its size
constexpr int COMPRESSION_LEVEL = 1;

std::shared_ptr<void> compressionContext()
{
    return std::shared_ptr<void>(ZSTD_createCCtx(), [](void *context) {
        ZSTD_freeCCtx(static_cast<ZSTD_CCtx *>(context));
    });
}

std::shared_ptr<void> decompressionContext()
{
    return std::shared_ptr<void>(ZSTD_createDCtx(), [](void *context) {
        ZSTD_freeDCtx(static_cast<ZSTD_DCtx *>(context));
    });
}

// Runs @p work on a thread of its own, or right here when no thread can be had.
template<typename Work>
auto beside(Work work) -> std::future<decltype(work())>
{
    try {
        return std::async(std::launch::async, work);
    } catch (const std::system_error &) {
        std::promise<decltype(work())> done;
        done.set_value(work());
        return done.get_future();
    }
}
}

EventLog::~EventLog()
{
    // the compression reads a chunk's records
    if (m_compression.valid()) {
        m_compression.wait();
    }
}

EventLog::Compressed EventLog::compress(void *context, std::size_t index, const uint8_t *records, std::size_t size, Scratch *scratch)
{
    Compressed result;
    result.index = index;
    if (!context) {
        return result;
    }
    // Compressed into the log's one scratch buffer, not a new one on this
    // thread: the large blocks that short-lived threads free stay behind in
    // their own arenas of the allocator.
    const std::size_t bound = ZSTD_compressBound(size);
    if (scratch->capacity < bound) {
        scratch->data.reset(new (std::nothrow) uint8_t[bound]);
        scratch->capacity = scratch->data ? bound : 0;
        if (!scratch->data) {
            return result;
        }
    }
    const std::size_t written = ZSTD_compressCCtx(static_cast<ZSTD_CCtx *>(context), scratch->data.get(), bound, records, size, COMPRESSION_LEVEL);
    // records that do not shrink stay as they are
    if (ZSTD_isError(written) || written >= size) {
        return result;
    }
    result.size = written;
    return result;
}

void EventLog::startCompression(std::size_t index)
{
    const auto &chunk = m_chunks[index];
    if (chunk.size < MIN_COMPRESSED_CHUNK || !chunk.data) {
        return;
    }
    if (!m_compressor) {
        m_compressor = compressionContext();
    }
    // the records do not move while the chunks vector grows: they are the
    // chunk's own allocation, which the writer no longer touches
    void *context = m_compressor.get();
    Scratch *scratch = &m_scratch;
    const uint8_t *records = chunk.data.get();
    const std::size_t size = chunk.size;
    m_compression = beside([context, index, records, size, scratch]() {
        return compress(context, index, records, size, scratch);
    });
}

void EventLog::installCompressed()
{
    if (!m_compression.valid()) {
        return;
    }
    const Compressed result = m_compression.get();
    if (!result.size) {
        return;
    }
    std::unique_ptr<uint8_t[]> compressed(new (std::nothrow) uint8_t[result.size]);
    if (!compressed) {
        return;
    }
    memcpy(compressed.get(), m_scratch.data.get(), result.size);
    auto &chunk = m_chunks[result.index];
    m_memory -= chunk.capacity + PADDING;
    m_memory += result.size;
    chunk.compressed = std::move(compressed);
    chunk.compressedSize = result.size;
    chunk.data.reset();
}

EventLog::Reader::Reader(const EventLog &log)
    : m_log(log)
{
}

EventLog::Reader::~Reader()
{
    // the prefetch writes into a buffer of this reader
    if (m_prefetch.valid()) {
        m_prefetch.wait();
    }
}

bool EventLog::Reader::decompress(std::size_t index, Buffer *buffer)
{
    const auto &chunk = m_log.m_chunks[index];
    // made by whichever decompression comes first: only one runs at a time
    if (!m_context) {
        m_context = decompressionContext();
        if (!m_context) {
            return false;
        }
    }
    if (buffer->capacity < chunk.size) {
        buffer->data.reset(new (std::nothrow) uint8_t[chunk.capacity + PADDING]);
        if (!buffer->data) {
            buffer->capacity = 0;
            return false;
        }
        buffer->capacity = chunk.capacity;
    }
    const std::size_t size =
        ZSTD_decompressDCtx(static_cast<ZSTD_DCtx *>(m_context.get()), buffer->data.get(), buffer->capacity, chunk.compressed.get(), chunk.compressedSize);
    if (ZSTD_isError(size) || size != chunk.size) {
        return false;
    }
    // the padding is read, never used
    memset(buffer->data.get() + size, 0, PADDING);
    return true;
}

const uint8_t *EventLog::Reader::records(std::size_t index)
{
    const auto &chunks = m_log.m_chunks;
    bool ready = false;
    if (m_prefetch.valid()) {
        const bool prefetched = m_prefetch.get();
        if (m_prefetchIndex == index && prefetched) {
            std::swap(m_current, m_next);
            ready = true;
        }
    }
    const auto &chunk = chunks[index];
    const uint8_t *records = chunk.data.get();
    if (!records) {
        if (!ready && !decompress(index, &m_current)) {
            return nullptr;
        }
        records = m_current.data.get();
    }
    // the chunk after this one, most likely read next, while this one is read
    const std::size_t next = index + 1;
    if (next < chunks.size() && !chunks[next].data) {
        m_prefetchIndex = next;
        m_prefetch = beside([this, next]() {
            return decompress(next, &m_next);
        });
    }
    return records;
}
