/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    memloupe-allocbench: what one malloc plus free costs, in four threads at
    once with 20 frames on every stack. Run it plain and under `memloupe`; the
    difference of the two figures is the recorder's cost per pair
    (bench/record-bench.sh does both).

        memloupe-allocbench [PAIRS_PER_THREAD]

    Prints the pairs done and the wall time per pair over all threads.
*/

#include <pthread.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#if defined(__clang__)
#define BENCH_FRAME __attribute__((noinline))
#else
#define BENCH_FRAME __attribute__((noipa))
#endif

namespace
{
constexpr int Threads = 4;
constexpr int Depth = 20;
long g_pairs = 200000;
pthread_barrier_t g_start;

BENCH_FRAME void allocateAndFree(long pairs)
{
    for (long i = 0; i < pairs; ++i) {
        void *block = malloc(16 + static_cast<size_t>(i % 64) * 8);
        asm volatile("" : : "g"(block) : "memory");
        free(block);
    }
}

// each frame a real call: the recorder unwinds all of them for every event
BENCH_FRAME void descend(int depth, long pairs)
{
    if (depth > 1) {
        descend(depth - 1, pairs);
    } else {
        allocateAndFree(pairs);
    }
    asm volatile("" ::: "memory");
}

void *worker(void *)
{
    pthread_barrier_wait(&g_start);
    // main and the thread entry are frames too
    descend(Depth - 3, g_pairs);
    return nullptr;
}
}

int main(int argc, char **argv)
{
    if (argc > 1) {
        g_pairs = strtol(argv[1], nullptr, 10);
        if (g_pairs <= 0) {
            fprintf(stderr, "usage: %s [PAIRS_PER_THREAD]\n", argv[0]);
            return 2;
        }
    }
    pthread_barrier_init(&g_start, nullptr, Threads + 1);
    pthread_t threads[Threads];
    for (auto &thread : threads) {
        pthread_create(&thread, nullptr, worker, nullptr);
    }
    const auto start = std::chrono::steady_clock::now();
    pthread_barrier_wait(&g_start);
    for (auto thread : threads) {
        pthread_join(thread, nullptr);
    }
    const auto elapsed = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
    const long total = g_pairs * Threads;
    printf("pairs %ld ns/pair %.1f\n", total, elapsed / static_cast<double>(total));
    return 0;
}
