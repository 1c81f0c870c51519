/* SPDX-FileCopyrightText: 2026 memloupe developers
 SPDX-License-Identifier: GPL-2.0-or-later */

// Cost of recording one malloc+free pair: N threads each run a malloc/free
// loop at the bottom of a call chain of a given depth, once without the
// preload library and once with it (the ring drained by this process).
//
//   memloupe_preload_bench [threads] [depth] [pairs per thread]

#include "ringreader.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <libgen.h>
#include <unistd.h>

namespace
{

volatile size_t g_sink;

__attribute__((noinline)) void leaf(long pairs)
{
    for (long i = 0; i < pairs; ++i) {
        void *p = malloc(32 + (i & 63));
        g_sink = reinterpret_cast<size_t>(p);
        free(p);
    }
}

__attribute__((noinline)) void descend(int depth, long pairs)
{
    if (depth <= 1) {
        leaf(pairs);
    } else {
        descend(depth - 1, pairs);
    }
    g_sink = g_sink + 1; // not a tail call: every level keeps its frame
}

double runWorkers(int threads, int depth, long pairs)
{
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back(descend, depth, pairs);
    }
    for (auto &worker : workers) {
        worker.join();
    }
    const std::chrono::duration<double, std::nano> elapsed = std::chrono::steady_clock::now() - start;
    return elapsed.count() / double(threads * pairs);
}

std::string ownDirectory()
{
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    path[n > 0 ? n : 0] = 0;
    return dirname(path);
}

}

int main(int argc, char **argv)
{
    if (argc > 1 && std::string(argv[1]) == "--worker") {
        const double ns = runWorkers(std::atoi(argv[2]), std::atoi(argv[3]), std::atol(argv[4]));
        std::printf("%.1f\n", ns);
        return 0;
    }
    const std::string threads = argc > 1 ? argv[1] : "4";
    const std::string depth = argc > 2 ? argv[2] : "20";
    const std::string pairs = argc > 3 ? argv[3] : "1000000";
    const std::string self = ownDirectory() + "/memloupe_preload_bench";
    const std::string library = ownDirectory() + "/libmemloupe_preload.so";

    // the worker prints its figure on stdout: collect it through a pipe
    auto run = [&](bool preload) {
        int fds[2];
        if (pipe(fds) != 0) {
            return std::string("?");
        }
        PreloadRing::Launcher launcher;
        launcher.keepBytes = false;
        const std::vector<std::string> args = {self, "--worker", threads, depth, pairs};
        pid_t pid;
        if (preload) {
            const int saved = dup(1);
            dup2(fds[1], 1);
            pid = launcher.start(library, args);
            dup2(saved, 1);
            close(saved);
        } else {
            pid = fork();
            if (pid == 0) {
                dup2(fds[1], 1);
                execv(self.c_str(),
                      const_cast<char **>(
                          std::vector<const char *>{args[0].c_str(), args[1].c_str(), args[2].c_str(), args[3].c_str(), args[4].c_str(), nullptr}.data()));
                _exit(127);
            }
        }
        close(fds[1]);
        const int status = launcher.wait(pid, 600000);
        char out[64] = {};
        const ssize_t n = read(fds[0], out, sizeof(out) - 1);
        close(fds[0]);
        std::string figure = n > 0 ? std::string(out, size_t(n) - 1) : "?";
        if (preload) {
            uint64_t bytes = 0;
            for (const auto &stream : launcher.streams) {
                bytes += stream->drained;
            }
            figure += " ns (" + std::to_string(bytes) + " ring bytes, " + std::to_string(launcher.streams.size()) + " stream(s), status "
                + std::to_string(status) + ")";
        } else {
            figure += " ns";
        }
        return figure;
    };

    std::printf("threads %s, depth %s, %s pairs per thread\n", threads.c_str(), depth.c_str(), pairs.c_str());
    std::printf("without recording: %s per malloc+free\n", run(false).c_str());
    std::printf("recorded:          %s per malloc+free\n", run(true).c_str());
    return 0;
}
