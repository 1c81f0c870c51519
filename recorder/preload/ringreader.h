/* SPDX-FileCopyrightText: 2026 memloupe developers
 SPDX-License-Identifier: GPL-2.0-or-later */

#pragma once

// A minimal launcher side for the preload library's own test and benchmark:
// runs a program under the library, takes every hello and drains the rings.
// It keeps the raw bytes of each stream; decoding is the caller's business.

#include "protocol.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace PreloadRing
{

struct Stream {
    MemloupeProtocol::Hello hello{};
    std::string exe;
    std::string cmdline;
    int socket = -1;
    MemloupeProtocol::RingHeader *ring = nullptr;
    size_t mapSize = 0;
    std::vector<uint8_t> bytes;
    bool keepBytes = true;
    uint64_t drained = 0;

    ~Stream()
    {
        if (ring) {
            munmap(ring, mapSize);
        }
        if (socket >= 0) {
            close(socket);
        }
    }

    // copies what the writer published and hands the space back
    bool drain()
    {
        if (!ring) {
            return false;
        }
        const uint64_t head = ring->head.load(std::memory_order_acquire);
        const uint64_t tail = ring->tail.load(std::memory_order_relaxed);
        if (head == tail) {
            return false;
        }
        const uint64_t mask = ring->capacity - 1;
        auto data = reinterpret_cast<const uint8_t *>(ring) + MemloupeProtocol::RingDataOffset;
        if (keepBytes) {
            for (uint64_t p = tail; p != head; ++p) {
                bytes.push_back(data[p & mask]);
            }
        }
        drained += head - tail;
        ring->tail.store(head, std::memory_order_release);
        return true;
    }
};

class Launcher
{
public:
    Launcher()
    {
        char dir[] = "/tmp/memloupe-preload-XXXXXX";
        if (mkdtemp(dir)) {
            m_dir = dir;
            m_path = m_dir + "/socket";
        }
        m_listen = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", m_path.c_str());
        if (bind(m_listen, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0 || listen(m_listen, 64) != 0) {
            std::perror("memloupe test launcher: cannot listen");
        }
    }

    ~Launcher()
    {
        close(m_listen);
        unlink(m_path.c_str());
        rmdir(m_dir.c_str());
    }

    Launcher(const Launcher &) = delete;
    Launcher &operator=(const Launcher &) = delete;

    // keepBytes false: only count what arrives (the benchmark)
    bool keepBytes = true;
    // drain false: a launcher that stopped reading
    bool drain = true;
    std::vector<std::unique_ptr<Stream>> streams;

    // Starts argv with the library preloaded; extraEnv entries are NAME=VALUE.
    pid_t start(const std::string &library, const std::vector<std::string> &argv, const std::vector<std::string> &extraEnv = {})
    {
        const pid_t pid = fork();
        if (pid != 0) {
            return pid;
        }
        setenv(MemloupeProtocol::PreloadEnv, library.c_str(), 1);
        setenv(MemloupeProtocol::SocketEnv, m_path.c_str(), 1);
        setenv(MemloupeProtocol::PidEnv, std::to_string(getpid()).c_str(), 1);
        setenv(MemloupeProtocol::LauncherPidEnv, std::to_string(getppid()).c_str(), 1);
        unsetenv(MemloupeProtocol::RecordChildrenEnv);
        for (const auto &entry : extraEnv) {
            putenv(const_cast<char *>(entry.c_str()));
        }
        std::vector<char *> args;
        for (const auto &arg : argv) {
            args.push_back(const_cast<char *>(arg.c_str()));
        }
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }

    // Drains until pid has exited and every stream is empty; returns its
    // wait status, or -1 after timeoutMs.
    int wait(pid_t pid, int timeoutMs = 60000)
    {
        int status = -1;
        bool exited = false;
        int quietRounds = 0;
        for (int elapsed = 0; elapsed < timeoutMs;) {
            const bool busy = pump();
            if (!exited && waitpid(pid, &status, WNOHANG) == pid) {
                exited = true;
            }
            if (exited) {
                // children that outlive the parent get a little while
                if (!busy && ++quietRounds > 50) {
                    return status;
                }
            }
            if (!busy) {
                usleep(1000);
                ++elapsed;
            }
        }
        if (!exited) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        }
        return -1;
    }

    // one round of accepting and draining; true if anything arrived
    bool pump()
    {
        bool busy = false;
        for (;;) {
            const int fd = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) {
                break;
            }
            busy = true;
            receiveHello(fd);
        }
        for (auto &stream : streams) {
            busy = (drain && stream->drain()) || busy;
        }
        return busy;
    }

private:
    void receiveHello(int fd)
    {
        auto stream = std::make_unique<Stream>();
        stream->socket = fd;
        stream->keepBytes = keepBytes;
        pollfd p{fd, POLLIN, 0};
        poll(&p, 1, 5000);
        iovec iov{&stream->hello, sizeof(stream->hello)};
        union {
            cmsghdr header;
            char space[CMSG_SPACE(sizeof(int))];
        } control{};
        msghdr message{};
        message.msg_iov = &iov;
        message.msg_iovlen = 1;
        message.msg_control = control.space;
        message.msg_controllen = sizeof(control.space);
        const ssize_t n = recvmsg(fd, &message, MSG_CMSG_CLOEXEC | MSG_WAITALL);
        int memfd = -1;
        for (cmsghdr *c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) {
                std::memcpy(&memfd, CMSG_DATA(c), sizeof(int));
            }
        }
        if (n != ssize_t(sizeof(stream->hello)) || memfd < 0) {
            std::fprintf(stderr, "memloupe test launcher: bad hello (%zd bytes, fd %d)\n", n, memfd);
            if (memfd >= 0) {
                close(memfd);
            }
            return;
        }
        std::string rest(stream->hello.exeLength + stream->hello.cmdlineLength, '\0');
        size_t got = 0;
        while (got < rest.size()) {
            const ssize_t r = recv(fd, &rest[got], rest.size() - got, MSG_WAITALL);
            if (r <= 0) {
                break;
            }
            got += size_t(r);
        }
        stream->exe = rest.substr(0, stream->hello.exeLength);
        stream->cmdline = rest.substr(stream->hello.exeLength);
        void *first = mmap(nullptr, MemloupeProtocol::RingDataOffset, PROT_READ, MAP_SHARED, memfd, 0);
        if (first == MAP_FAILED) {
            close(memfd);
            return;
        }
        const uint64_t capacity = static_cast<MemloupeProtocol::RingHeader *>(first)->capacity;
        munmap(first, MemloupeProtocol::RingDataOffset);
        stream->mapSize = MemloupeProtocol::RingDataOffset + capacity;
        void *map = mmap(nullptr, stream->mapSize, PROT_READ | PROT_WRITE, MAP_SHARED, memfd, 0);
        close(memfd);
        if (map == MAP_FAILED) {
            return;
        }
        stream->ring = static_cast<MemloupeProtocol::RingHeader *>(map);
        streams.push_back(std::move(stream));
    }

    std::string m_dir;
    std::string m_path;
    int m_listen = -1;
};

}
