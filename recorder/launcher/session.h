/* SPDX-FileCopyrightText: 2026 memloupe developers
 SPDX-License-Identifier: GPL-2.0-or-later */

#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>

// Where the trace of each recorded process image goes.
struct OutputNaming {
    std::string mainOutput; // the program's first image
    std::string directory; // others: DIRECTORY/memloupe.APP.PID[.N]SUFFIX
    std::string suffix;
    bool recordChildren = false;
};

// The finished trace of one process image.
struct StreamResult {
    pid_t pid = 0;
    std::string path;
    uint64_t fileSize = 0;
    uint64_t allocations = 0;
    bool created = false;
    bool complete = true;
    std::string problem; // why it is incomplete
};

// The launcher's receiving side: a Unix socket in a private directory, and
// one thread per connected process image that drains its ring into a trace.
// The threads run on whatever core the recorded program leaves free.
class Session
{
public:
    explicit Session(OutputNaming naming);
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    bool listen(std::string *error);
    const std::string &socketPath() const
    {
        return m_socketPath;
    }
    int listenDescriptor() const
    {
        return m_listenFd;
    }
    void setProgramPid(pid_t pid, const std::string &mainOutput);
    // The program's own pid is gone from the process table (reaped).
    void programReaped();

    // Accepts every connection waiting on the socket.
    void acceptPending();
    bool everyStreamFinished();
    std::vector<pid_t> runningPids();
    // Ends every stream now, with what its ring holds so far.
    void finishAll();
    // Asks the recorder of every attached process to switch itself off;
    // each stream ends when its recorder confirms.
    void detachAll();
    const std::string &directory() const
    {
        return m_directory;
    }
    // Waits for the threads; the results in the order the images connected.
    std::vector<StreamResult> join();

private:
    struct Stream;
    void run(Stream *stream);
    bool receiveHello(Stream *stream);
    std::string outputFor(pid_t pid, const std::string &executable);

    OutputNaming m_naming;
    std::string m_directory;
    std::string m_socketPath;
    int m_listenFd = -1;
    std::atomic<pid_t> m_programPid{0};
    std::atomic<bool> m_programReaped{false};
    std::mutex m_mutex;
    std::list<std::unique_ptr<Stream>> m_streams;
    std::vector<std::string> m_usedOutputs;
    bool m_mainOutputTaken = false;
    std::atomic<bool> m_finishAll{false};
    std::atomic<bool> m_detachAll{false};
};
