/* SPDX-FileCopyrightText: 2026 memloupe developers
 SPDX-License-Identifier: GPL-2.0-or-later */

// A long-running program for `memloupe --pid`, stepped through standard
// input so that a test knows what it did while it was recorded.
//
//   memloupe_attachtarget            commands on stdin, one per line:
//     phase N   allocates in a known pattern (below), answers "phase N done"
//     plugin PATH N  dlopens PATH (the preload tests' module) and has its
//               memloupe_module_allocate allocate N blocks of 77 bytes,
//               which are freed again; answers "plugin done"
//     quit      frees what is left, prints "bye SUM" and exits with status 3
//   memloupe_attachtarget --threads N
//     N threads allocate and free as fast as they can until stdin ends or
//     says "quit"; prints "threads N operations M" and exits with status 0
//
// Phase N, in the main thread (the counts the tests expect), with B = 100 * N + 7:
//   - frees the blocks the previous phase left (allocated before, freed now)
//   - keepBlocks(): a vector of B pointers, B blocks of 1000 + N bytes from
//     malloc in allocateBlock(), the vector that keeps them for the next
//     phase (B pointers reserved); then the even-numbered blocks are freed:
//     B / 2 blocks and the second vector are still live at the end
//   - temporaries(): 10 * N new int[4], each deleted at once
//   - growOne(): calloc(1, 50) grown with realloc to 5000 bytes, then freed:
//     both blocks go away right after they come (temporary)
//   allocations: B + 2 + 10 * N + 2; temporary: 10 * N + 2;
//   leaked at the end of the phase: (B / 2) * (1000 + N) + 8 * B bytes

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <string>
#include <thread>
#include <vector>

namespace
{
std::vector<void *> g_kept;
unsigned long g_sum = 0;

__attribute__((noinline)) void *allocateBlock(size_t size)
{
    void *block = malloc(size);
    memset(block, 1, size);
    return block;
}

__attribute__((noinline)) void keepBlocks(int phase)
{
    const int count = 100 * phase + 7;
    std::vector<void *> blocks(size_t(count), nullptr);
    for (int i = 0; i < count; ++i) {
        blocks[size_t(i)] = allocateBlock(size_t(1000 + phase));
    }
    // between the blocks and their frees: the first free is no temporary
    g_kept.reserve(size_t(count));
    for (int i = 0; i < count; ++i) {
        if (i % 2 == 0) {
            free(blocks[size_t(i)]);
        } else {
            g_kept.push_back(blocks[size_t(i)]);
        }
    }
}

__attribute__((noinline)) void temporaries(int phase)
{
    for (int i = 0; i < 10 * phase; ++i) {
        auto *values = new int[4];
        values[0] = i;
        g_sum += unsigned(values[0]);
        delete[] values;
    }
}

__attribute__((noinline)) void growOne()
{
    auto *block = static_cast<char *>(calloc(1, 50));
    block = static_cast<char *>(realloc(block, 5000));
    block[4999] = 1;
    g_sum += unsigned(block[4999]);
    free(block);
}

void runPhase(int phase)
{
    std::vector<void *> previous;
    previous.swap(g_kept);
    for (void *block : previous) {
        free(block);
    }
    keepBlocks(phase);
    temporaries(phase);
    growOne();
}

bool runPlugin(const char *path, int count)
{
    void *module = dlopen(path, RTLD_NOW);
    using AllocateFn = void *(*)(size_t);
    auto allocate = module ? reinterpret_cast<AllocateFn>(dlsym(module, "memloupe_module_allocate")) : nullptr;
    if (!allocate) {
        return false;
    }
    for (int i = 0; i < count; ++i) {
        free(allocate(77));
    }
    return true;
}

int runThreads(int count)
{
    std::atomic<bool> stop{false};
    std::atomic<unsigned long> operations{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < count; ++t) {
        threads.emplace_back([&stop, &operations, t] {
            std::vector<void *> live(64, nullptr);
            unsigned seed = unsigned(t) * 7919u + 1;
            unsigned long done = 0;
            while (!stop.load(std::memory_order_relaxed)) {
                seed = seed * 1103515245u + 12345u;
                const size_t slot = (seed >> 8) % live.size();
                free(live[slot]);
                live[slot] = (seed & 1) ? malloc(16 + (seed >> 20) % 2000) : static_cast<void *>(new char[24]);
                if ((seed & 1) == 0) {
                    // new[] blocks go back through delete[] below, not free
                    delete[] static_cast<char *>(live[slot]);
                    live[slot] = nullptr;
                }
                ++done;
            }
            for (void *block : live) {
                free(block);
            }
            operations += done;
        });
    }
    std::string line;
    char buffer[256];
    while (fgets(buffer, sizeof(buffer), stdin) && strncmp(buffer, "quit", 4) != 0) { }
    stop = true;
    for (auto &thread : threads) {
        thread.join();
    }
    printf("threads %d operations %lu\n", count, operations.load());
    return 0;
}
}

int main(int argc, char **argv)
{
    if (argc == 3 && strcmp(argv[1], "--threads") == 0) {
        return runThreads(atoi(argv[2]));
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    char buffer[256];
    while (fgets(buffer, sizeof(buffer), stdin)) {
        int phase = 0;
        if (sscanf(buffer, "phase %d", &phase) == 1 && phase > 0 && phase < 1000) {
            runPhase(phase);
            printf("phase %d done\n", phase);
        } else if (char path[200]; sscanf(buffer, "plugin %199s %d", path, &phase) == 2) {
            if (runPlugin(path, phase)) {
                printf("plugin done\n");
            } else {
                printf("plugin failed: %s\n", dlerror());
            }
        } else if (strncmp(buffer, "quit", 4) == 0) {
            break;
        }
    }
    for (void *block : g_kept) {
        free(block);
    }
    printf("bye %lu\n", g_sum);
    return 3;
}
