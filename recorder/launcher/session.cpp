/* SPDX-FileCopyrightText: 2026 memloupe developers
 SPDX-License-Identifier: GPL-2.0-or-later */

#include "launcher/session.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <climits>

#include <fcntl.h>
#include <linux/futex.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include "common/protocol.h"
#include "launcher/streamconverter.h"
#include "launcher/tracewriter.h"

using namespace MemloupeProtocol;

namespace
{
// A connection that does not say hello within this time is not one of ours.
constexpr int HelloTimeoutMs = 5000;
constexpr uint64_t MaxRingCapacity = uint64_t(1) << 34;
// Records converted before the tail moves on, so a writer waiting for room
// never waits for a whole ring's worth of symbolisation.
constexpr uint64_t TailStep = 256 * 1024;
constexpr int DetachTimeoutSeconds = 5;

std::string baseName(const std::string &path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool processGone(pid_t pid)
{
    if (kill(pid, 0) != 0 && errno == ESRCH) {
        return true;
    }
    char path[64];
    snprintf(path, sizeof(path), "/proc/%d/stat", int(pid));
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return errno == ENOENT;
    }
    char text[512];
    const auto length = read(fd, text, sizeof(text) - 1);
    close(fd);
    if (length <= 0) {
        return false;
    }
    text[length] = '\0';
    // the command name may hold blanks and parentheses; the state follows the last ')'
    const char *close = strrchr(text, ')');
    return close && close[1] == ' ' && (close[2] == 'Z' || close[2] == 'X');
}

bool readFully(int fd, char *data, size_t length)
{
    while (length) {
        pollfd waiting{fd, POLLIN, 0};
        if (poll(&waiting, 1, HelloTimeoutMs) <= 0) {
            return false;
        }
        const auto received = recv(fd, data, length, 0);
        if (received <= 0) {
            if (received < 0 && errno == EINTR) {
                continue;
            }
            return false;
        }
        data += received;
        length -= size_t(received);
    }
    return true;
}
}

struct Session::Stream {
    int socketFd = -1;
    int ringFd = -1;
    Hello hello{};
    std::string executable;
    std::string commandLine;
    void *mapping = nullptr;
    size_t mappingSize = 0;
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> detachRequested{false};
    std::atomic<bool> finished{false};
    bool recorded = false;
    StreamResult result;
    std::thread thread;

    ~Stream()
    {
        if (mapping) {
            munmap(mapping, mappingSize);
        }
        if (ringFd >= 0) {
            close(ringFd);
        }
        if (socketFd >= 0) {
            close(socketFd);
        }
    }
};

Session::Session(OutputNaming naming)
    : m_naming(std::move(naming))
{
}

Session::~Session()
{
    finishAll();
    join();
    if (m_listenFd >= 0) {
        close(m_listenFd);
    }
    if (!m_socketPath.empty()) {
        unlink(m_socketPath.c_str());
    }
    if (!m_directory.empty()) {
        rmdir(m_directory.c_str());
    }
}

bool Session::listen(std::string *error)
{
    // a private directory: nobody else can connect, and no name clashes
    std::string base = "/tmp";
    if (const char *tmp = getenv("TMPDIR"); tmp && tmp[0] == '/' && strlen(tmp) < 60) {
        base = tmp;
    }
    std::string pattern = base + "/memloupe-XXXXXX";
    if (!mkdtemp(&pattern[0])) {
        *error = "cannot create a temporary directory in " + base + ": " + strerror(errno);
        return false;
    }
    m_directory = pattern;
    const std::string path = m_directory + "/socket";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof(address.sun_path)) {
        *error = "the socket path " + path + " is too long";
        return false;
    }
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    m_listenFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_listenFd < 0 || bind(m_listenFd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0) {
        *error = std::string("cannot create the socket: ") + strerror(errno);
        return false;
    }
    m_socketPath = path;
    if (::listen(m_listenFd, 64) != 0) {
        *error = std::string("cannot listen on the socket: ") + strerror(errno);
        return false;
    }
    return true;
}

void Session::setProgramPid(pid_t pid, const std::string &mainOutput)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_programPid = pid;
    m_naming.mainOutput = mainOutput;
}

void Session::programReaped()
{
    m_programReaped = true;
}

void Session::acceptPending()
{
    for (;;) {
        const int fd = accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) {
                continue;
            }
            return;
        }
        auto stream = std::make_unique<Stream>();
        stream->socketFd = fd;
        Stream *raw = stream.get();
        std::lock_guard<std::mutex> lock(m_mutex);
        m_streams.push_back(std::move(stream));
        raw->thread = std::thread(&Session::run, this, raw);
    }
}

bool Session::everyStreamFinished()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::all_of(m_streams.begin(), m_streams.end(), [](const std::unique_ptr<Stream> &stream) {
        return stream->finished.load();
    });
}

std::vector<pid_t> Session::runningPids()
{
    std::vector<pid_t> pids;
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto &stream : m_streams) {
        if (!stream->finished && stream->recorded) {
            pids.push_back(stream->hello.pid);
        }
    }
    return pids;
}

void Session::finishAll()
{
    m_finishAll = true;
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto &stream : m_streams) {
        stream->stopRequested = true;
    }
}

void Session::detachAll()
{
    m_detachAll = true;
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto &stream : m_streams) {
        stream->detachRequested = true;
    }
}

std::vector<StreamResult> Session::join()
{
    std::vector<StreamResult> results;
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto &stream : m_streams) {
        if (stream->thread.joinable()) {
            stream->thread.join();
        }
        if (stream->recorded) {
            results.push_back(stream->result);
        }
    }
    m_streams.clear();
    return results;
}

bool Session::receiveHello(Stream *stream)
{
    pollfd waiting{stream->socketFd, POLLIN, 0};
    if (poll(&waiting, 1, HelloTimeoutMs) <= 0) {
        return false;
    }
    char control[CMSG_SPACE(sizeof(int))] = {};
    iovec part{&stream->hello, sizeof(Hello)};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof(control);
    ssize_t received;
    do {
        received = recvmsg(stream->socketFd, &message, MSG_CMSG_CLOEXEC);
    } while (received < 0 && errno == EINTR);
    if (received <= 0) {
        return false;
    }
    for (cmsghdr *header = CMSG_FIRSTHDR(&message); header; header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_RIGHTS && header->cmsg_len >= CMSG_LEN(sizeof(int))) {
            memcpy(&stream->ringFd, CMSG_DATA(header), sizeof(int));
        }
    }
    auto *helloBytes = reinterpret_cast<char *>(&stream->hello);
    if (size_t(received) < sizeof(Hello) && !readFully(stream->socketFd, helloBytes + received, sizeof(Hello) - size_t(received))) {
        return false;
    }
    const Hello &hello = stream->hello;
    if (stream->ringFd < 0 || memcmp(hello.magic, HelloMagic, sizeof(HelloMagic)) != 0 || hello.version != Version || hello.exeLength > (1u << 16)
        || hello.cmdlineLength > (1u << 24)) {
        return false;
    }
    stream->executable.resize(hello.exeLength);
    stream->commandLine.resize(hello.cmdlineLength);
    if (!readFully(stream->socketFd, &stream->executable[0], hello.exeLength) || !readFully(stream->socketFd, &stream->commandLine[0], hello.cmdlineLength)) {
        return false;
    }
    while (!stream->commandLine.empty() && stream->commandLine.back() == '\0') {
        stream->commandLine.pop_back();
    }

    // map the header first: the capacity says how much to map
    struct stat status;
    if (fstat(stream->ringFd, &status) != 0 || uint64_t(status.st_size) < RingDataOffset) {
        return false;
    }
    void *headerMapping = mmap(nullptr, RingDataOffset, PROT_READ, MAP_SHARED, stream->ringFd, 0);
    if (headerMapping == MAP_FAILED) {
        return false;
    }
    const auto *ring = static_cast<const RingHeader *>(headerMapping);
    const uint64_t capacity = ring->capacity;
    const bool valid = ring->magic == RingMagic && ring->version == Version && capacity && (capacity & (capacity - 1)) == 0 && capacity <= MaxRingCapacity;
    munmap(headerMapping, RingDataOffset);
    // a file shorter than the ring would turn a read of the missing part into SIGBUS
    if (!valid || uint64_t(status.st_size) < RingDataOffset + capacity) {
        return false;
    }
    stream->mappingSize = RingDataOffset + capacity;
    stream->mapping = mmap(nullptr, stream->mappingSize, PROT_READ | PROT_WRITE, MAP_SHARED, stream->ringFd, 0);
    if (stream->mapping == MAP_FAILED) {
        stream->mapping = nullptr;
        return false;
    }
    return true;
}

std::string Session::outputFor(pid_t pid, const std::string &executable)
{
    std::string path;
    if (pid == m_programPid && !m_mainOutputTaken) {
        m_mainOutputTaken = true;
        path = m_naming.mainOutput;
    } else {
        const std::string stem = m_naming.directory + "/memloupe." + baseName(executable) + "." + std::to_string(pid);
        path = stem + m_naming.suffix;
        for (int number = 1; std::find(m_usedOutputs.begin(), m_usedOutputs.end(), path) != m_usedOutputs.end(); ++number) {
            path = stem + "." + std::to_string(number) + m_naming.suffix;
        }
    }
    m_usedOutputs.push_back(path);
    return path;
}

void Session::run(Stream *stream)
{
    if (!receiveHello(stream)) {
        stream->finished = true;
        return;
    }
    const pid_t pid = stream->hello.pid;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_naming.recordChildren && pid != m_programPid) {
            stream->finished = true;
            return;
        }
        // a new image of a pid: the earlier one has exec'd and writes no more
        for (auto &other : m_streams) {
            if (other.get() != stream && other->recorded && other->hello.pid == pid) {
                other->stopRequested = true;
            }
        }
        stream->recorded = true;
        stream->result.pid = pid;
        stream->result.path = outputFor(pid, stream->executable);
        if (m_finishAll) {
            stream->stopRequested = true;
        }
        if (m_detachAll) {
            stream->detachRequested = true;
        }
    }

    TraceWriter writer;
    StreamResult &result = stream->result;
    result.created = writer.open(result.path);
    bool reportedFailure = false;
    if (!result.created) {
        fprintf(stderr, "memloupe: cannot create %s: %s; pid %d is not recorded\n", result.path.c_str(), writer.error().c_str(), int(pid));
        reportedFailure = true;
    }
    StreamConverter converter(&writer);
    converter.writeHeader(stream->commandLine.empty() ? stream->executable : stream->commandLine,
                          stream->hello.pageSize,
                          stream->hello.physicalPages,
                          (stream->hello.flags & HelloAttached) != 0);

    auto *ring = static_cast<RingHeader *>(stream->mapping);
    const auto *data = static_cast<const uint8_t *>(stream->mapping) + RingDataOffset;
    const uint64_t capacity = ring->capacity;
    uint64_t tail = ring->tail.load(std::memory_order_acquire);
    bool converting = true;
    bool reportedCorrupt = false;
    bool ending = false;
    auto lastCheck = std::chrono::steady_clock::now();
    bool detachSent = false;
    std::string unconfirmed;
    std::chrono::steady_clock::time_point detachDeadline;

    for (;;) {
        // at once, not when the ring is empty: a busy program never lets it be
        if (stream->detachRequested && !detachSent) {
            detachSent = true;
            detachDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(DetachTimeoutSeconds);
            ring->control.store(ControlDetach, std::memory_order_release);
            // shared, not private: the recorder's thread waits on its own mapping of the word
            syscall(SYS_futex, reinterpret_cast<uint32_t *>(&ring->control), FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
        }
        const uint64_t head = ring->head.load(std::memory_order_acquire);
        if (head != tail) {
            if (head - tail > capacity) {
                // a head the writer never wrote: nothing in the ring can be trusted
                converting = false;
                tail = head;
            }
            if (converting) {
                RingCursor cursor{data, capacity - 1, tail, head, false};
                while (converting && cursor.position < head) {
                    converting = converter.consume(&cursor, std::min(head, cursor.position + TailStep));
                    ring->tail.store(cursor.position, std::memory_order_release);
                }
            }
            // after a stop or corrupt data: keep the writer going, discard the rest
            tail = head;
            ring->tail.store(tail, std::memory_order_release);
            if (!reportedFailure && writer.failed()) {
                fprintf(stderr, "memloupe: %s: %s; the program runs on, the trace will be incomplete\n", result.path.c_str(), writer.error().c_str());
                reportedFailure = true;
            }
            if (converter.corrupt() && !reportedCorrupt) {
                fprintf(stderr, "memloupe: corrupt data from pid %d; its trace ends here\n", int(pid));
                reportedCorrupt = true;
            }
            continue;
        }
        if (ending) {
            break;
        }
        if (!converting || stream->stopRequested || ring->state.load(std::memory_order_acquire) == RingStopped) {
            // one more look: what was published before the stop
            ending = true;
            continue;
        }
        const auto now = std::chrono::steady_clock::now();
        if (detachSent && now > detachDeadline) {
            // a stopped process (SIGSTOP, a debugger) cannot answer; the
            // recorder switches itself off once it runs and finds us gone
            unconfirmed = "pid " + std::to_string(pid) + " did not confirm the end of recording";
            ending = true;
            continue;
        }
        if (now - lastCheck > std::chrono::milliseconds(10)) {
            lastCheck = now;
            if ((pid == m_programPid && m_programReaped) || processGone(pid)) {
                ending = true;
                continue;
            }
        }
        usleep(1000);
    }

    if (!converter.stopError().empty()) {
        fprintf(stderr, "memloupe: the recorder in pid %d stopped: %s\n", int(pid), converter.stopError().c_str());
    }
    writer.finish();
    result.fileSize = writer.fileSize();
    result.allocations = converter.allocations();
    if (writer.failed() || converter.corrupt() || !converter.stopError().empty()) {
        result.complete = false;
        result.problem = writer.failed() ? writer.error() : converter.corrupt() ? std::string("corrupt data") : converter.stopError();
    } else if (!unconfirmed.empty()) {
        result.complete = false;
        result.problem = unconfirmed;
    }
    if (!reportedFailure && writer.failed()) {
        fprintf(stderr, "memloupe: %s: %s\n", result.path.c_str(), writer.error().c_str());
    }
    stream->finished = true;
}
