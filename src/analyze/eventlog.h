/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

#pragma once

// What the passes after the first act on, taken down by the first pass: the
// trace's event lines as variable-length integers, a few bytes where the text
// has about seven, and every other line that a later pass reads as the text
// itself. A later pass or a reparse reads this instead of decompressing and
// tokenizing the file again.
//
// Every record starts with a LEB128 number whose two low bits are its kind:
// an allocation or deallocation of the newer formats with its allocation-info
// index above them, a time stamp as the zigzag difference to the last one, or
// another record whose kind follows in the bits above. The release of the
// block allocated last, the commonest deallocation, is one such record of a
// single byte. The log is kept in
// chunks; each knows the time stamps in it, so that a reparse of a window can
// step over the chunks before it.
//
// A full chunk is compressed with zstd on a thread of its own while the next
// one fills: the records repeat what the program did over and over, and
// compress to about a third, which is most of the analysis's memory on a big
// trace. A reader decompresses the next chunk while its caller replays one.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <future>
#include <memory>
#include <string_view>
#include <vector>

class EventLog
{
public:
    enum Kind : uint32_t {
        Allocation = 0,
        Deallocation = 1,
        TimeStamp = 2,
        Other = 3,
    };
    enum OtherKind : uint32_t {
        ResidentSetSize = 0,
        // a line to be read as text again
        Line = 1,
        // format 0: the allocation-info index the first pass gave the line and the block address
        FormatZeroAllocation = 2,
        FormatZeroDeallocation = 3,
    };

    struct Chunk {
        // the records, PADDING bytes after them readable; null once compressed
        std::unique_ptr<uint8_t[]> data;
        std::size_t size = 0;
        std::size_t capacity = 0;
        std::unique_ptr<uint8_t[]> compressed;
        std::size_t compressedSize = 0;
        // offset of the chunk in the whole log
        uint64_t start = 0;
        // the time stamp the first difference in the chunk refers to
        int64_t stampBefore = 0;
        int64_t lastStamp = 0;
        int64_t maxStamp = 0;
        bool hasStamps = false;
        bool hasLines = false;
    };

    // @p budget: the most bytes the log may take
    explicit EventLog(uint64_t budget)
        : m_budget(budget)
    {
    }

    ~EventLog();

    EventLog(const EventLog &) = delete;
    EventLog &operator=(const EventLog &) = delete;

    // The appenders return false once the log would exceed its budget; the log
    // is then empty and useless.
    bool appendEvent(Kind kind, uint32_t index)
    {
        if (m_position + MAX_VARINT > m_end && !grow(MAX_VARINT)) {
            return false;
        }
        // Most blocks freed soon are the one allocated last: one byte instead
        // of the three a large index takes. Selected, not branched on: which
        // events are such releases follows no pattern a branch could learn.
        const bool release = kind == Deallocation && m_hasLastAllocation && index == m_lastAllocation;
        const bool allocation = kind == Allocation;
        m_lastAllocation = allocation ? index : m_lastAllocation;
        m_hasLastAllocation = m_hasLastAllocation || allocation;
        writeVarint(release ? uint64_t(RELEASE_OF_LAST_ALLOCATION) : (uint64_t(index) << 2) | kind);
        return true;
    }

    bool appendTimeStamp(int64_t stamp)
    {
        if (m_position + MAX_VARINT > m_end && !grow(MAX_VARINT)) {
            return false;
        }
        const auto delta = static_cast<uint64_t>(stamp) - static_cast<uint64_t>(m_lastStamp);
        // zigzag: small steps back stay small; the shift keeps the top bit
        const uint64_t zigzag = (delta << 1) ^ static_cast<uint64_t>(static_cast<int64_t>(delta) >> 63);
        if (zigzag >> 62) {
            // too large for the two kind bits: written as another record
            writeVarint((uint64_t(TimeStampFull) << 2) | Other);
            writeVarint(static_cast<uint64_t>(stamp));
        } else {
            writeVarint((zigzag << 2) | TimeStamp);
        }
        m_lastStamp = stamp;
        auto &chunk = m_chunks.back();
        chunk.maxStamp = chunk.hasStamps ? std::max(chunk.maxStamp, stamp) : stamp;
        chunk.lastStamp = stamp;
        chunk.hasStamps = true;
        return true;
    }

    bool appendResidentSetSize(int64_t rss)
    {
        if (m_position + 2 * MAX_VARINT > m_end && !grow(2 * MAX_VARINT)) {
            return false;
        }
        writeVarint((uint64_t(ResidentSetSize) << 2) | Other);
        writeVarint(static_cast<uint64_t>(rss));
        return true;
    }

    bool appendFormatZeroAllocation(uint32_t infoIndex, uint64_t address)
    {
        if (m_position + 3 * MAX_VARINT > m_end && !grow(3 * MAX_VARINT)) {
            return false;
        }
        writeVarint((uint64_t(FormatZeroAllocation) << 2) | Other);
        writeVarint(infoIndex);
        writeVarint(address);
        return true;
    }

    bool appendFormatZeroDeallocation(uint64_t address)
    {
        if (m_position + 2 * MAX_VARINT > m_end && !grow(2 * MAX_VARINT)) {
            return false;
        }
        writeVarint((uint64_t(FormatZeroDeallocation) << 2) | Other);
        writeVarint(address);
        return true;
    }

    bool appendLine(std::string_view line)
    {
        const std::size_t needed = 2 * MAX_VARINT + line.size();
        if (m_position + needed > m_end && !grow(needed)) {
            return false;
        }
        writeVarint((uint64_t(Line) << 2) | Other);
        writeVarint(line.size());
        memcpy(m_position, line.data(), line.size());
        m_position += line.size();
        m_chunks.back().hasLines = true;
        return true;
    }

    // Ends the taking down: what the first pass had read, for the progress of
    // the passes that read the log.
    void finish(int64_t fileSize, int64_t compressedBytes, int64_t uncompressedBytes)
    {
        sealChunk();
        installCompressed();
        if (!m_chunks.empty()) {
            startCompression(m_chunks.size() - 1);
            installCompressed();
        }
        m_scratch = {};
        m_compressor.reset();
        m_position = m_end = nullptr;
        m_fileSize = fileSize;
        m_compressedBytes = compressedBytes;
        m_uncompressedBytes = uncompressedBytes;
    }

    uint64_t budget() const
    {
        return m_budget;
    }

    // the bytes the log holds: compressed chunks and the records of the others
    uint64_t memory() const
    {
        return m_memory;
    }

    // bytes taken by the records, uncompressed
    uint64_t size() const
    {
        if (m_chunks.empty()) {
            return 0;
        }
        const auto &last = m_chunks.back();
        const auto lastSize = m_position ? static_cast<std::size_t>(m_position - last.data.get()) : last.size;
        return last.start + lastSize;
    }

    int64_t fileSize() const
    {
        return m_fileSize;
    }
    int64_t compressedBytes() const
    {
        return m_compressedBytes;
    }
    int64_t uncompressedBytes() const
    {
        return m_uncompressedBytes;
    }

    const std::vector<Chunk> &chunks() const
    {
        return m_chunks;
    }

    // Gives the records of the chunks one after the other, the next one
    // decompressed while the caller reads one. One reader serves one thread.
    class Reader
    {
    public:
        explicit Reader(const EventLog &log);
        ~Reader();
        Reader(const Reader &) = delete;
        Reader &operator=(const Reader &) = delete;

        // The records of chunk @p index, PADDING readable bytes after them,
        // valid until the next call; null if they cannot be decompressed.
        const uint8_t *records(std::size_t index);

    private:
        struct Buffer {
            std::unique_ptr<uint8_t[]> data;
            std::size_t capacity = 0;
        };
        bool decompress(std::size_t index, Buffer *buffer);

        const EventLog &m_log;
        std::shared_ptr<void> m_context;
        Buffer m_current;
        Buffer m_next;
        std::future<bool> m_prefetch;
        std::size_t m_prefetchIndex = 0;
    };

    // longest LEB128 encoding of 64 bits
    static constexpr std::size_t MAX_VARINT = 10;
    // the bytes read past a record that a reader may load at once
    static constexpr std::size_t PADDING = 16;
    // a time stamp too far from the last one for the difference encoding
    static constexpr uint32_t TimeStampFull = 4;
    // a deallocation of the allocation info that the chunk's last allocation
    // record named; a chunk starts without one, so that a reader may start at
    // any chunk
    static constexpr uint32_t ReleaseOfLastAllocation = 5;
    static constexpr uint8_t RELEASE_OF_LAST_ALLOCATION = (ReleaseOfLastAllocation << 2) | Other;

    // Reads up to four bytes past the record's start, which the padding allows.
    static uint64_t readVarint(const uint8_t *&position)
    {
        // Event records take one to three bytes in no order: their length is
        // computed, not branched on.
        uint32_t word;
        memcpy(&word, position, sizeof(word));
        if ((word & 0x808080u) != 0x808080u) {
            const uint32_t more0 = (word >> 7) & 1u;
            const uint32_t more1 = (word >> 15) & 1u;
            const uint32_t length = 1 + more0 + (more0 & more1);
            const uint32_t value = (word & 0x7fu) | ((word >> 1) & 0x3f80u) | ((word >> 2) & 0x1fc000u);
            position += length;
            return value & ((1u << (7 * length)) - 1);
        }
        uint64_t value = *position++;
        if (value < 0x80) {
            return value;
        }
        value &= 0x7f;
        for (unsigned shift = 7;; shift += 7) {
            const uint64_t byte = *position++;
            value |= (byte & 0x7f) << shift;
            if (byte < 0x80 || shift >= 63) {
                return value;
            }
        }
    }

private:
    // Writes up to four bytes, fewer of which may count: every appender makes
    // room for MAX_VARINT bytes a number.
    void writeVarint(uint64_t value)
    {
        if (value < (uint64_t(1) << 21)) {
            const auto v = static_cast<uint32_t>(value);
            const uint32_t more0 = v >= 0x80u;
            const uint32_t more1 = v >= 0x4000u;
            const uint32_t word = (v & 0x7fu) | (more0 << 7) | ((v << 1) & 0x7f00u) | (more1 << 15) | ((v << 2) & 0x7f0000u);
            memcpy(m_position, &word, sizeof(word));
            m_position += 1 + more0 + more1;
            return;
        }
        while (value >= 0x80) {
            *m_position++ = static_cast<uint8_t>(value | 0x80);
            value >>= 7;
        }
        *m_position++ = static_cast<uint8_t>(value);
    }

    void sealChunk()
    {
        if (!m_chunks.empty()) {
            m_chunks.back().size = static_cast<std::size_t>(m_position - m_chunks.back().data.get());
        }
    }

    bool grow(std::size_t needed)
    {
        sealChunk();
        // Waiting for the chunk before the last makes what the log holds, and
        // so whether it stays within its budget, independent of the threads'
        // timing.
        installCompressed();
        const uint64_t used = size();
        // chunks grow with the log, so that a small trace takes little memory
        // and a large one few allocations
        std::size_t capacity = std::max<std::size_t>(MIN_CHUNK, std::min<uint64_t>(MAX_CHUNK, used / 8));
        capacity = std::max(capacity, needed);
        if (m_memory + capacity + PADDING > m_budget) {
            m_chunks.clear();
            m_chunks.shrink_to_fit();
            m_position = m_end = nullptr;
            m_memory = 0;
            return false;
        }
        if (!m_chunks.empty()) {
            startCompression(m_chunks.size() - 1);
        }
        Chunk chunk;
        chunk.data.reset(new uint8_t[capacity + PADDING]);
        // the padding is read, never used
        memset(chunk.data.get() + capacity, 0, PADDING);
        chunk.capacity = capacity;
        chunk.start = used;
        chunk.stampBefore = m_lastStamp;
        m_position = chunk.data.get();
        m_end = m_position + capacity;
        m_hasLastAllocation = false;
        m_chunks.push_back(std::move(chunk));
        m_memory += capacity + PADDING;
        return true;
    }

    // Compresses the sealed chunk @p index beside the writer; at most one
    // chunk is compressed at a time.
    void startCompression(std::size_t index);
    // Waits for the chunk being compressed and puts it in place of its records.
    void installCompressed();

    // where a chunk is compressed to, one chunk at a time
    struct Scratch {
        std::unique_ptr<uint8_t[]> data;
        std::size_t capacity = 0;
    };
    // what the compression of chunk index left in the scratch buffer; 0 bytes
    // when the chunk stays as it is
    struct Compressed {
        std::size_t index = 0;
        std::size_t size = 0;
    };
    static Compressed compress(void *context, std::size_t index, const uint8_t *records, std::size_t size, Scratch *scratch);

    static constexpr std::size_t MIN_CHUNK = 64 * 1024;
    static constexpr std::size_t MAX_CHUNK = 4 * 1024 * 1024;
    // smaller chunks are kept as they are: only the last one can be, and a
    // small log is not worth a thread
    static constexpr std::size_t MIN_COMPRESSED_CHUNK = 16 * 1024;

    const uint64_t m_budget;
    std::vector<Chunk> m_chunks;
    uint64_t m_memory = 0;
    // a ZSTD_CCtx, used by one compression at a time
    std::shared_ptr<void> m_compressor;
    Scratch m_scratch;
    std::future<Compressed> m_compression;
    uint8_t *m_position = nullptr;
    uint8_t *m_end = nullptr;
    int64_t m_lastStamp = 0;
    uint32_t m_lastAllocation = 0;
    bool m_hasLastAllocation = false;
    int64_t m_fileSize = 0;
    int64_t m_compressedBytes = 0;
    int64_t m_uncompressedBytes = 0;
};
