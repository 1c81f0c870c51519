/* SPDX-FileCopyrightText: 2026 memloupe developers
 SPDX-License-Identifier: GPL-2.0-or-later */

// Plays the preload library's part towards the launcher with records chosen
// by the test, so that the launcher's conversion can be checked against an
// exact expected trace. Usage: memloupe_fakewriter SCENARIO [ARGS]

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "common/protocol.h"

using namespace MemloupeProtocol;

namespace
{
RingHeader *ring = nullptr;
uint8_t *ringData = nullptr;

class Record
{
public:
    explicit Record(RecordType type)
    {
        m_bytes.push_back(uint8_t(type));
    }
    Record &varint(uint64_t value)
    {
        do {
            uint8_t byte = value & 0x7f;
            value >>= 7;
            m_bytes.push_back(value ? (byte | 0x80) : byte);
        } while (value);
        return *this;
    }
    Record &bytes(const std::string &text)
    {
        varint(text.size());
        m_bytes.insert(m_bytes.end(), text.begin(), text.end());
        return *this;
    }
    // waits for room like the real writer, so a small ring wraps and blocks
    void send()
    {
        const uint64_t capacity = ring->capacity;
        const uint64_t head = ring->head.load(std::memory_order_relaxed);
        while (capacity - (head - ring->tail.load(std::memory_order_acquire)) < m_bytes.size()) {
            usleep(100);
        }
        for (size_t i = 0; i < m_bytes.size(); ++i) {
            ringData[(head + i) & (capacity - 1)] = m_bytes[i];
        }
        ring->head.store(head + m_bytes.size(), std::memory_order_release);
    }

private:
    std::vector<uint8_t> m_bytes;
};

void allocation(uint64_t thread, uint64_t size, uint64_t address, uint64_t keep, std::vector<uint64_t> innermostFirst)
{
    Record record(RecordAllocation);
    record.varint(thread).varint(size).varint(address).varint(keep).varint(innermostFirst.size());
    for (auto ip : innermostFirst) {
        record.varint(ip);
    }
    record.send();
}

void deallocation(uint64_t address)
{
    Record(RecordDeallocation).varint(address).send();
}

std::string readFile(const char *path)
{
    std::string text;
    const int fd = open(path, O_RDONLY);
    char buffer[4096];
    ssize_t got;
    while (fd >= 0 && (got = read(fd, buffer, sizeof(buffer))) > 0) {
        text.append(buffer, size_t(got));
    }
    if (fd >= 0) {
        close(fd);
    }
    return text;
}

void connectToLauncher(uint64_t capacity)
{
    const char *socketPath = getenv(SocketEnv);
    if (!socketPath) {
        fprintf(stderr, "fakewriter: no %s\n", SocketEnv);
        exit(70);
    }
    const int ringFd = memfd_create("memloupe-ring", MFD_CLOEXEC);
    if (ringFd < 0 || ftruncate(ringFd, off_t(RingDataOffset + capacity)) != 0) {
        exit(71);
    }
    void *mapping = mmap(nullptr, RingDataOffset + capacity, PROT_READ | PROT_WRITE, MAP_SHARED, ringFd, 0);
    if (mapping == MAP_FAILED) {
        exit(72);
    }
    ring = new (mapping) RingHeader();
    ring->magic = RingMagic;
    ring->version = Version;
    ring->capacity = capacity;
    ringData = static_cast<uint8_t *>(mapping) + RingDataOffset;

    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, socketPath, sizeof(address.sun_path) - 1);
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0) {
        exit(73);
    }
    char exe[4096];
    const auto exeLength = readlink("/proc/self/exe", exe, sizeof(exe));
    const std::string cmdline = readFile("/proc/self/cmdline");
    Hello hello{};
    memcpy(hello.magic, HelloMagic, sizeof(HelloMagic));
    hello.version = Version;
    hello.pid = getpid();
    hello.ppid = getppid();
    hello.pageSize = 4096;
    hello.physicalPages = 0x1234;
    hello.exeLength = uint32_t(exeLength);
    hello.cmdlineLength = uint32_t(cmdline.size());
    std::string payload(reinterpret_cast<const char *>(&hello), sizeof(hello));
    payload.append(exe, size_t(exeLength));
    payload += cmdline;
    iovec part{&payload[0], payload.size()};
    char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof(control);
    cmsghdr *header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    memcpy(CMSG_DATA(header), &ringFd, sizeof(int));
    if (sendmsg(fd, &message, MSG_NOSIGNAL) != ssize_t(payload.size())) {
        exit(74);
    }
    close(ringFd);
    // the socket stays open on purpose: the launcher must not rely on its EOF
}

void stop()
{
    Record(RecordStopped).varint(StopExit).bytes("").send();
    ring->state.store(RingStopped, std::memory_order_release);
}

// The executable's own module record, so that its return addresses resolve.
uint64_t sendOwnModule(uint64_t id)
{
    struct Found {
        uint64_t bias = 0;
        std::vector<std::pair<uint64_t, uint64_t>> segments;
    } found;
    dl_iterate_phdr(
        [](dl_phdr_info *info, size_t, void *data) {
            auto *found = static_cast<Found *>(data);
            if (info->dlpi_name && info->dlpi_name[0]) {
                return 0;
            }
            found->bias = info->dlpi_addr;
            for (int i = 0; i < info->dlpi_phnum; ++i) {
                if (info->dlpi_phdr[i].p_type == PT_LOAD) {
                    found->segments.push_back({info->dlpi_addr + info->dlpi_phdr[i].p_vaddr, info->dlpi_phdr[i].p_memsz});
                }
            }
            return 1;
        },
        &found);
    char exe[4096];
    const auto length = readlink("/proc/self/exe", exe, sizeof(exe));
    Record record(RecordModule);
    record.varint(id).varint(found.bias).varint(found.segments.size());
    for (auto segment : found.segments) {
        record.varint(segment.first).varint(segment.second);
    }
    record.bytes(std::string(exe, size_t(length))).bytes("");
    record.send();
    return found.segments.empty() ? 0 : found.segments.front().first;
}

// Functions whose return addresses the symbol checks expect by name.
__attribute__((noinline)) uint64_t returnAddress()
{
    return uint64_t(__builtin_extract_return_addr(__builtin_return_address(0)));
}

inline __attribute__((always_inline)) uint64_t fakeInlinedHelper()
{
    return returnAddress() + 0;
}

__attribute__((noinline, noclone)) uint64_t fakeOuterFunction(int depth)
{
    const uint64_t inner = fakeInlinedHelper();
    asm volatile("" ::: "memory");
    return depth ? inner : 0;
}

// differs from the one above, so that identical code folding keeps both
__attribute__((noinline, noclone)) uint64_t fakePlainFunction(int depth)
{
    const uint64_t address = returnAddress();
    asm volatile("" ::: "memory");
    return depth > 1 ? address + 1 : address;
}

// Two threads' stack deltas, frees of unknown and reused blocks, time,
// resident size and suppressions; every address outside any module.
void deltas()
{
    const uint64_t a = 0x10, b = 0x20, c = 0x30, d = 0x40, e = 0x50;
    allocation(1, 100, 0x1000, 0, {c, b, a});
    allocation(2, 200, 0x2000, 0, {d, a});
    allocation(1, 100, 0x3000, 2, {e});
    allocation(2, 200, 0x4000, 2, {});
    deallocation(0x9999);
    deallocation(0x1000);
    Record(RecordTime).varint(5).send();
    Record(RecordTime).varint(5).send();
    Record(RecordTime).varint(3).send();
    Record(RecordTime).varint(9).send();
    allocation(1, 300, 0x2000, 3, {});
    Record(RecordResidentSetSize).varint(0x40).send();
    Record(RecordSuppressions).bytes("leak:foo\n  leak:bar  \n# leak:commented\nother:x\nleak:\n").send();
    Record(RecordThreadEnd).varint(1).send();
    allocation(1, 100, 0x5000, 0, {b});
    // no stack at all: the thread's previous stack stays what the next delta refers to
    allocation(1, 8, 0x6000, 0, {});
    allocation(1, 16, 0x7000, 1, {c});
    stop();
}

void symbols()
{
    sendOwnModule(1);
    const uint64_t inlined = fakeOuterFunction(1);
    const uint64_t plain = fakePlainFunction(1);
    allocation(1, 32, 0x1000, 0, {inlined, plain});
    // the same range given to another file: the address must resolve anew
    Record(RecordModuleGone).varint(1).send();
    Record record(RecordModule);
    record.varint(2).varint(0).varint(1).varint(plain & ~uint64_t(0xfff)).varint(0x2000).bytes("/nonexistent/replacement.so").bytes("");
    record.send();
    allocation(1, 48, 0x2000, 0, {plain});
    stop();
}

// Enough records to wrap a small ring many times while the writer waits for room.
void many(uint64_t count)
{
    for (uint64_t i = 0; i < count; ++i) {
        const uint64_t address = 0x100000 + (i % 1000) * 16;
        if (i >= 1000) {
            deallocation(address);
        }
        allocation(1 + i % 3, 1 + i % 7, address, i % 4, {0x1000 + i % 5, 0x2000 + i % 11});
    }
    stop();
}
}

int main(int argc, char **argv)
{
    const std::string scenario = argc > 1 ? argv[1] : "";
    if (scenario == "exit") {
        // never connects: what the launcher does without a recorded image
        return argc > 2 ? atoi(argv[2]) : 0;
    }
    connectToLauncher(scenario == "many" ? 4096 : DefaultRingCapacity);
    if (scenario == "deltas") {
        deltas();
    } else if (scenario == "symbols") {
        symbols();
    } else if (scenario == "many") {
        many(argc > 2 ? strtoull(argv[2], nullptr, 10) : 20000);
    } else if (scenario == "signal") {
        allocation(1, 64, 0x1000, 0, {0x10});
        // no stop record: the stream must end because the process is gone
        raise(SIGTERM);
    } else if (scenario == "exec") {
        allocation(1, 64, 0x1000, 0, {0x10});
        // no stop record: the new image's hello must end this stream
        char self[] = "/proc/self/exe";
        char deltasArgument[] = "deltas";
        char *arguments[] = {argv[0], deltasArgument, nullptr};
        execv(self, arguments);
        return 75;
    } else if (scenario == "status") {
        allocation(1, 64, 0x1000, 0, {0x10});
        return 3;
    } else {
        fprintf(stderr, "fakewriter: unknown scenario %s\n", scenario.c_str());
        return 64;
    }
    return 0;
}
