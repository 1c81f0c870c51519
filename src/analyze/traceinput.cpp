/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

#include "traceinput.h"

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <zlib.h>
#include <zstd.h>

const char TraceInput::s_emptyBlock[TraceInput::BLOCK_PADDING] = {'\n'};

namespace
{
// large blocks keep the hand-over between the threads rare
constexpr std::size_t BLOCK_SIZE = 1 << 20;
constexpr std::size_t READ_SIZE = 1 << 18;
// blocks decompressed ahead of the parser
constexpr std::size_t QUEUE_DEPTH = 4;

// read() that retries on interruption; -1 on error
ssize_t readSome(int fd, char *buffer, std::size_t size)
{
    for (;;) {
        const ssize_t n = ::read(fd, buffer, size);
        if (n >= 0 || errno != EINTR) {
            return n;
        }
    }
}
}

TraceInput::Compression TraceInput::compressionFor(const std::string &path)
{
    return TraceFormat::compressionForPath(path);
}

std::unique_ptr<TraceInput> TraceInput::open(const std::string &path, std::string *reason)
{
    if (reason) {
        reason->clear();
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return {};
    }
    struct stat info;
    if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        // a directory opens fine but cannot be read
        ::close(fd);
        return {};
    }
    const int64_t fileSize = S_ISREG(info.st_mode) ? static_cast<int64_t>(info.st_size) : 0;
    const auto compression = compressionFor(path);
    std::string head;
    if (compression != Compression::None) {
        head.resize(4);
        std::size_t got = 0;
        while (got < head.size()) {
            const ssize_t n = readSome(fd, &head[got], head.size() - got);
            if (n <= 0) {
                break;
            }
            got += static_cast<std::size_t>(n);
        }
        head.resize(got);
        // a file shorter than the magic number that starts like it was cut off
        // and is read as such
        static const unsigned char gzipMagic[] = {0x1f, 0x8b};
        static const unsigned char zstdMagic[] = {0x28, 0xb5, 0x2f, 0xfd};
        const bool gzip = compression == Compression::Gzip;
        const auto *magic = gzip ? gzipMagic : zstdMagic;
        const std::size_t magicSize = gzip ? sizeof(gzipMagic) : sizeof(zstdMagic);
        bool expected = !head.empty() && memcmp(head.data(), magic, std::min(head.size(), magicSize)) == 0;
        if (!gzip && !expected && head.size() == 4) {
            // a skippable frame, magic 0x184d2a50 to 0x184d2a5f
            const auto byte = [&head](std::size_t i) {
                return static_cast<unsigned char>(head[i]);
            };
            expected = (byte(0) & 0xf0) == 0x50 && byte(1) == 0x2a && byte(2) == 0x4d && byte(3) == 0x18;
        }
        if (!expected) {
            ::close(fd);
            if (reason) {
                *reason = compression == Compression::Gzip ? "not a gzip file" : "not a zstd file";
            }
            return {};
        }
    }
    return std::unique_ptr<TraceInput>(new TraceInput(fd, compression, fileSize, std::move(head)));
}

TraceInput::TraceInput(int fd, Compression compression, int64_t fileSize, std::string head)
    : m_fd(fd)
    , m_compression(compression)
    , m_fileSize(fileSize)
    , m_head(std::move(head))
{
    m_producer = std::thread([this]() {
        produce();
    });
}

TraceInput::~TraceInput()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_condition.notify_all();
    m_producer.join();
    ::close(m_fd);
}

bool TraceInput::nextLineSlow(std::string_view *line)
{
    // the rest of the current block is the start of a line that goes on in the next one
    m_carry.clear();
    if (m_position < m_blockSize) {
        m_carry.assign(m_blockData + m_position, m_blockSize - m_position);
        m_position = m_blockSize;
    }
    for (;;) {
        if (!advanceBlock()) {
            // a file may end without a final line feed; a fragment cut off by damage is dropped
            if (!m_carry.empty() && m_ending == Ending::Clean) {
                *line = m_carry;
                return true;
            }
            m_carry.clear();
            return false;
        }
        const auto *end = static_cast<const char *>(memchr(m_blockData, '\n', m_blockSize));
        if (!end) {
            m_carry.append(m_blockData, m_blockSize);
            m_position = m_blockSize;
            continue;
        }
        const auto length = static_cast<std::size_t>(end - m_blockData);
        m_position = length + 1;
        if (m_carry.empty()) {
            *line = std::string_view(m_blockData, length);
        } else {
            m_carry.append(m_blockData, length);
            *line = m_carry;
        }
        return true;
    }
}

bool TraceInput::advanceBlock()
{
    if (m_ended) {
        return false;
    }
    m_blockStart += static_cast<int64_t>(m_blockSize);
    if (m_current) {
        recycle(std::move(m_current));
    }
    m_blockData = s_emptyBlock;
    m_blockSize = 0;
    m_position = 0;
    m_windowStart = NO_WINDOW;

    std::unique_lock<std::mutex> lock(m_mutex);
    m_condition.wait(lock, [this]() {
        return !m_full.empty() || m_producerDone;
    });
    if (m_full.empty()) {
        m_ended = true;
        m_ending = m_producerEnding;
        // trailing input that produced no text (a gzip trailer, an empty stream) counts too
        m_blockCompressedStart = std::max(m_producerConsumed, m_lastCompressedEnd);
        m_compressedPerByte = 0;
        return false;
    }
    m_current = std::move(m_full.front());
    m_full.pop_front();
    lock.unlock();
    m_condition.notify_all();

    m_blockData = m_current->data.data();
    m_blockSize = m_current->size;
    m_blockCompressedStart = m_lastCompressedEnd;
    m_lastCompressedEnd = std::max(m_current->compressedEnd, m_lastCompressedEnd);
    m_compressedPerByte = m_blockSize ? static_cast<double>(m_lastCompressedEnd - m_blockCompressedStart) / static_cast<double>(m_blockSize) : 0;
    return true;
}

void TraceInput::recycle(std::unique_ptr<Block> block)
{
    block->size = 0;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_free.push_back(std::move(block));
}

std::unique_ptr<TraceInput::Block> TraceInput::takeFreeBlock()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_condition.wait(lock, [this]() {
        return m_full.size() < QUEUE_DEPTH || m_stop;
    });
    if (m_stop) {
        return {};
    }
    if (!m_free.empty()) {
        auto block = std::move(m_free.back());
        m_free.pop_back();
        return block;
    }
    lock.unlock();
    auto block = std::make_unique<Block>();
    block->data.resize(BLOCK_SIZE + BLOCK_PADDING);
    return block;
}

bool TraceInput::publish(std::unique_ptr<Block> block)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stop) {
            return false;
        }
        if (block->size > 0) {
            block->data[block->size] = '\n';
            m_full.push_back(std::move(block));
        } else {
            m_free.push_back(std::move(block));
        }
    }
    m_condition.notify_all();
    return true;
}

void TraceInput::finish(Ending ending, int64_t consumed)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_producerDone = true;
        m_producerEnding = ending;
        m_producerConsumed = consumed;
    }
    m_condition.notify_all();
}

void TraceInput::produce()
{
    std::vector<char> input(m_compression == Compression::None ? 0 : std::max(READ_SIZE, m_head.size()));
    int64_t consumed = 0;

    auto block = takeFreeBlock();
    if (!block) {
        finish(Ending::Clean, consumed);
        return;
    }
    // hands the filled block over and starts the next; false once the reader stopped
    auto rotate = [&]() {
        block->compressedEnd = consumed;
        if (!publish(std::move(block))) {
            return false;
        }
        block = takeFreeBlock();
        return static_cast<bool>(block);
    };
    auto end = [&](Ending ending) {
        block->compressedEnd = consumed;
        publish(std::move(block));
        finish(ending, consumed);
    };
    // the bytes open() took to check the compression come first
    bool headPending = !m_head.empty();
    auto readInput = [&]() -> ssize_t {
        if (headPending) {
            headPending = false;
            memcpy(input.data(), m_head.data(), m_head.size());
            return static_cast<ssize_t>(m_head.size());
        }
        return readSome(m_fd, input.data(), input.size());
    };

    if (m_compression == Compression::None) {
        for (;;) {
            const ssize_t n = readSome(m_fd, block->data.data() + block->size, BLOCK_SIZE - block->size);
            if (n <= 0) {
                end(n < 0 ? Ending::Corrupt : Ending::Clean);
                return;
            }
            block->size += static_cast<std::size_t>(n);
            consumed += n;
            if (block->size == BLOCK_SIZE && !rotate()) {
                finish(Ending::Clean, consumed);
                return;
            }
        }
    }

    if (m_compression == Compression::Gzip) {
        z_stream stream = {};
        // 16: gzip framing only, as the file name promises
        if (inflateInit2(&stream, 15 + 16) != Z_OK) {
            end(Ending::Corrupt);
            return;
        }
        bool memberDone = false;
        Ending ending = Ending::Clean;
        for (;;) {
            if (stream.avail_in == 0) {
                const ssize_t n = readInput();
                if (n <= 0) {
                    // the end of the file must also be the end of a gzip member
                    if (n < 0) {
                        ending = Ending::Corrupt;
                    } else if (!memberDone) {
                        ending = Ending::Truncated;
                    }
                    break;
                }
                consumed += n;
                stream.next_in = reinterpret_cast<Bytef *>(input.data());
                stream.avail_in = static_cast<uInt>(n);
            }
            if (memberDone) {
                // concatenated gzip members make one text
                inflateReset(&stream);
                memberDone = false;
            }
            stream.next_out = reinterpret_cast<Bytef *>(block->data.data() + block->size);
            stream.avail_out = static_cast<uInt>(BLOCK_SIZE - block->size);
            const int ret = inflate(&stream, Z_NO_FLUSH);
            block->size = BLOCK_SIZE - stream.avail_out;
            if (ret == Z_STREAM_END) {
                memberDone = true;
            } else if (ret != Z_OK && ret != Z_BUF_ERROR) {
                ending = Ending::Corrupt;
                break;
            }
            if (block->size == BLOCK_SIZE) {
                consumed -= stream.avail_in;
                const bool goOn = rotate();
                consumed += stream.avail_in;
                if (!goOn) {
                    inflateEnd(&stream);
                    finish(Ending::Clean, consumed);
                    return;
                }
            }
        }
        inflateEnd(&stream);
        consumed -= stream.avail_in;
        end(ending);
        return;
    }

    ZSTD_DStream *stream = ZSTD_createDStream();
    if (!stream) {
        end(Ending::Corrupt);
        return;
    }
    size_t lastRet = 0;
    Ending ending = Ending::Clean;
    ZSTD_inBuffer in = {input.data(), 0, 0};
    for (;;) {
        if (in.pos == in.size) {
            const ssize_t n = readInput();
            if (n < 0) {
                ending = Ending::Corrupt;
                break;
            }
            if (n == 0) {
                // drain what the decoder still holds, then check that the last frame was complete
                for (;;) {
                    ZSTD_outBuffer out = {block->data.data() + block->size, BLOCK_SIZE - block->size, 0};
                    const size_t ret = ZSTD_decompressStream(stream, &out, &in);
                    if (ZSTD_isError(ret)) {
                        ending = Ending::Corrupt;
                        break;
                    }
                    block->size += out.pos;
                    if (out.pos == 0) {
                        // nothing was pending; a call without input after a complete
                        // frame only asks for the next frame's header
                        break;
                    }
                    lastRet = ret;
                    if (block->size == BLOCK_SIZE && !rotate()) {
                        ZSTD_freeDStream(stream);
                        finish(Ending::Clean, consumed);
                        return;
                    }
                }
                if (ending == Ending::Clean && lastRet != 0) {
                    ending = Ending::Truncated;
                }
                break;
            }
            consumed += n;
            in = {input.data(), static_cast<std::size_t>(n), 0};
        }
        // The decoder gives nothing of a call that fails: a call is kept to one
        // block of a frame, so that the text before damage is not lost with it.
        ZSTD_outBuffer out = {block->data.data() + block->size, std::min<std::size_t>(BLOCK_SIZE - block->size, ZSTD_BLOCKSIZE_MAX), 0};
        lastRet = ZSTD_decompressStream(stream, &out, &in);
        if (ZSTD_isError(lastRet)) {
            block->size += out.pos;
            ending = Ending::Corrupt;
            break;
        }
        block->size += out.pos;
        if (block->size == BLOCK_SIZE) {
            const auto pending = static_cast<int64_t>(in.size - in.pos);
            consumed -= pending;
            const bool goOn = rotate();
            consumed += pending;
            if (!goOn) {
                ZSTD_freeDStream(stream);
                finish(Ending::Clean, consumed);
                return;
            }
        }
    }
    ZSTD_freeDStream(stream);
    consumed -= static_cast<int64_t>(in.size - in.pos);
    end(ending);
}
