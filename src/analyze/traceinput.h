/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    Delivers the decompressed text of a trace file as lines, with decompression
    running on a thread of its own: a pass then costs about the larger of
    decompressing and parsing instead of their sum. Lines are handed out as
    views into large blocks; only a line that straddles two blocks is copied.
*/

#pragma once

#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "traceformat.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

class TraceInput
{
public:
    using Compression = TraceFormat::Compression;

    // ".gz" -> gzip, ".zst" -> zstd, anything else is plain text.
    static Compression compressionFor(const std::string &path);

    // How the text ended: at the end of the input, at the end of a compressed
    // input that stopped in the middle of a zstd frame or gzip member, or at a
    // decompression or read error.
    enum class Ending {
        Clean,
        Truncated,
        Corrupt,
    };

    // Opens @p path for reading; a file that cannot be opened or is a directory
    // gives nullptr. So does a file whose first bytes are not those of the
    // compression its name promises: read as text that ended at once it would
    // pass for an empty run. Then @p reason, if given, says so; otherwise it is
    // left empty.
    static std::unique_ptr<TraceInput> open(const std::string &path, std::string *reason = nullptr);

    ~TraceInput();

    TraceInput(const TraceInput &) = delete;
    TraceInput &operator=(const TraceInput &) = delete;

    // The next line without its line feed; false at the end of the text. The
    // view stays valid until the next call. After a decompression error or a
    // truncated compressed stream the unterminated fragment the damage cut
    // through is not handed out.
    bool nextLine(std::string_view *line)
    {
        // every block ends in a line feed sentinel past its text, so the scan
        // needs no length check; landing on the sentinel means the line goes on
        // in the next block
        const char *start = m_blockData + m_position;
        const char *end = findLineFeed(start);
        const char *blockEnd = m_blockData + m_blockSize;
        if (end < blockEnd) {
            const auto length = static_cast<std::size_t>(end - start);
            *line = std::string_view(start, length);
            m_position += length + 1;
            return true;
        }
        return nextLineSlow(line);
    }

    // Takes the next line when it is an event line of the newer formats, a '+'
    // or '-', a blank and one lower-case hex index of one to eight digits, and
    // gives its record character and index; otherwise takes nothing. These lines
    // are nearly all of a trace and only a few bytes long. Their line feeds and
    // digits are classified 64 bytes at a time, so that finding where a line
    // ends, on which the start of the next depends, is a shift and a bit scan
    // rather than a vector load and compare per line.
    bool nextEventLine(char *mode, uint32_t *index)
    {
#if defined(__SSE2__)
        const std::size_t position = m_position;
        std::size_t offset = position - m_windowStart;
        // a position before the window wraps around to a large offset
        if (offset >= WINDOW_SIZE || !(m_windowLineFeeds >> offset)) {
            classifyWindow(position);
            offset = 0;
        }
        // a record character, a blank, 1 to 8 digits and the line feed; 64 when
        // the window holds no line feed
        const auto lineFeeds = m_windowLineFeeds >> offset;
        const auto length = static_cast<std::size_t>(lineFeeds ? __builtin_ctzll(lineFeeds) : WINDOW_SIZE);
        const char *start = m_blockData + position;
        uint16_t head;
        memcpy(&head, start, sizeof(head));
        // little-endian "+ " and "- "; one branch for all the conditions
        const bool eventHead = (head == 0x202b) | (head == 0x202d);
        if (!eventHead | (length - 3 > 7u) | (position + length >= m_blockSize)) {
            return false;
        }
        const auto digitCount = static_cast<unsigned>(length - 2);
        const uint64_t wanted = (uint64_t(1) << digitCount) - 1;
        if (((m_windowHexDigits >> (offset + 2)) & wanted) != wanted) {
            return false;
        }
        *mode = start[0];
        *index = parseHexDigits(start + 2, digitCount);
        m_position = position + length + 1;
        return true;
#else
        (void)mode;
        (void)index;
        return false;
#endif
    }

    // size of the file on disk (0 when it is not a regular file)
    int64_t fileSize() const
    {
        return m_fileSize;
    }

    // compressed bytes consumed to produce the text handed out so far; within a
    // block the count is interpolated, so that progress moves on smoothly
    int64_t compressedBytes() const
    {
        return m_blockCompressedStart + static_cast<int64_t>(static_cast<double>(m_position) * m_compressedPerByte);
    }

    // decompressed bytes handed out so far
    int64_t uncompressedBytes() const
    {
        return m_blockStart + static_cast<int64_t>(m_position);
    }

    // whether the text ended at a decompression error or a truncated stream
    bool failed() const
    {
        return m_ending != Ending::Clean;
    }

    // how the text ended; Clean until the end was reached
    Ending ending() const
    {
        return m_ending;
    }

    // bytes allocated past a block's text: the sentinel and room for the vector
    // loads of a classification window starting at its last byte
    static constexpr std::size_t BLOCK_PADDING = 64;

private:
    // The value of @p count (1 to 8) lower-case hex digits at @p digits, which
    // has 8 readable bytes. All digits are converted at once in one 64-bit word.
    static uint32_t parseHexDigits(const char *digits, unsigned count)
    {
        uint64_t word;
        memcpy(&word, digits, sizeof(word));
        // '0'..'9' keep their low nibble, 'a'..'f' (bit 6 set) gain 9 on theirs
        word = (word & 0x0f0f0f0f0f0f0f0full) + 9 * ((word >> 6) & 0x0101010101010101ull);
        // drop the bytes after the number; the last digit lands in the top byte
        word <<= 8 * (8 - count);
        // least significant digit first, then pack the nibbles pairwise
        word = __builtin_bswap64(word);
        word = (word | (word >> 4)) & 0x00ff00ff00ff00ffull;
        word = (word | (word >> 8)) & 0x0000ffff0000ffffull;
        word = (word | (word >> 16)) & 0x00000000ffffffffull;
        return static_cast<uint32_t>(word);
    }

#if defined(__SSE2__)
    // Marks the line feeds and lower-case hex digits among the 64 bytes from
    // @p start, which the padding past every block keeps readable.
    void classifyWindow(std::size_t start)
    {
        const char *data = m_blockData + start;
        uint64_t lineFeeds = 0;
        uint64_t hexDigits = 0;
        for (unsigned i = 0; i < WINDOW_SIZE / 16; ++i) {
            const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i *>(data + 16 * i));
            const __m128i lineFeed = _mm_cmpeq_epi8(chunk, _mm_set1_epi8('\n'));
            // signed compares: bytes from 0x80 up are negative and never digits
            const __m128i decimal = _mm_and_si128(_mm_cmpgt_epi8(chunk, _mm_set1_epi8('0' - 1)), _mm_cmplt_epi8(chunk, _mm_set1_epi8('9' + 1)));
            const __m128i letter = _mm_and_si128(_mm_cmpgt_epi8(chunk, _mm_set1_epi8('a' - 1)), _mm_cmplt_epi8(chunk, _mm_set1_epi8('f' + 1)));
            lineFeeds |= uint64_t(static_cast<uint16_t>(_mm_movemask_epi8(lineFeed))) << (16 * i);
            hexDigits |= uint64_t(static_cast<uint16_t>(_mm_movemask_epi8(_mm_or_si128(decimal, letter)))) << (16 * i);
        }
        m_windowStart = start;
        m_windowLineFeeds = lineFeeds;
        m_windowHexDigits = hexDigits;
    }
#endif

    static const char *findLineFeed(const char *start)
    {
#if defined(__SSE2__)
        const __m128i lineFeed = _mm_set1_epi8('\n');
        for (const char *p = start;; p += 16) {
            const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
            const int mask = _mm_movemask_epi8(_mm_cmpeq_epi8(chunk, lineFeed));
            if (mask) {
                return p + __builtin_ctz(static_cast<unsigned>(mask));
            }
        }
#else
        return static_cast<const char *>(rawmemchr(start, '\n'));
#endif
    }

    struct Block {
        std::vector<char> data;
        std::size_t size = 0;
        int64_t compressedEnd = 0;
    };

    TraceInput(int fd, Compression compression, int64_t fileSize, std::string head);

    bool nextLineSlow(std::string_view *line);
    // takes the next block from the producer; false at the end
    bool advanceBlock();
    void recycle(std::unique_ptr<Block> block);

    // producer side, on the decompression thread
    void produce();
    std::unique_ptr<Block> takeFreeBlock();
    bool publish(std::unique_ptr<Block> block);
    void finish(Ending ending, int64_t consumed);

    const int m_fd;
    const Compression m_compression;
    const int64_t m_fileSize;
    // the first bytes, read to check the compression, which a FIFO cannot give twice
    const std::string m_head;

    std::mutex m_mutex;
    std::condition_variable m_condition;
    std::deque<std::unique_ptr<Block>> m_full;
    std::vector<std::unique_ptr<Block>> m_free;
    bool m_producerDone = false;
    Ending m_producerEnding = Ending::Clean;
    bool m_stop = false;
    std::thread m_producer;

    // what the consumer scans before the first block and after the last
    static const char s_emptyBlock[BLOCK_PADDING];

    // consumer side
    std::unique_ptr<Block> m_current;
    const char *m_blockData = s_emptyBlock;
    std::size_t m_blockSize = 0;
    std::size_t m_position = 0;
    // the classification of the bytes from m_windowStart on, for the event lines
    static constexpr std::size_t WINDOW_SIZE = 64;
    static constexpr std::size_t NO_WINDOW = std::size_t(-1) / 2;
    std::size_t m_windowStart = NO_WINDOW;
    uint64_t m_windowLineFeeds = 0;
    uint64_t m_windowHexDigits = 0;
    int64_t m_blockStart = 0;
    int64_t m_blockCompressedStart = 0;
    int64_t m_lastCompressedEnd = 0;
    double m_compressedPerByte = 0;
    // what the producer had consumed when it finished; guarded by m_mutex
    int64_t m_producerConsumed = 0;
    std::string m_carry;
    bool m_ended = false;
    Ending m_ending = Ending::Clean;
};
