/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    memloupe_demo: a program whose heap use is known to the byte, so that a
    recording of it can be checked number by number and opened as the sample
    of the analyser. Every allocating function is its own frame (extern "C" for
    plain names, no inlining or cloning, no sibling calls); each allocating
    line carries a "line:" marker that the end-to-end test looks up, so the
    numbers below stay true when lines move.

    What the demo's own functions do, in this order (about 50 ms in all):

      demo_inlined_allocations   1000 allocations through demo_inline_alloc,
                                 forced inline: the allocating line is in the
                                 helper, which must show up as a frame of its
                                 own above demo_inlined_allocations. Sizes
                                 16 + 8 * (i % 8), 44000 bytes; all freed.
      demo_temporary_loop        2000 allocations, each freed right away:
                                 2000 temporary. Sizes 24 + 8 * (i % 3).
      demo_realloc               realloc(NULL, 100), grow to 1000, shrink to
                                 10, realloc(p, 0) which frees; between them
                                 three malloc(8): 6 allocations, 0 temporary.
      demo_other_allocators      calloc(10, 12), posix_memalign(64, 256),
                                 aligned_alloc(128, 512), new int, new
                                 char[300]: 5 allocations, all freed after the
                                 last one, 0 temporary.
      demo_leak                  malloc(5000), never freed: 5000 bytes leaked.
      demo_suppressed_leak       malloc(3000), never freed, matched by the
                                 program's __lsan_default_suppressions.
      demo_peak                  16 blocks of 65536 + 64 * (i % 2) bytes held
                                 for 10 ms: the peak of the run, 1049088 bytes
                                 of it here (the leaks above add 8000).
      demo_thread_work_0..3      one per thread, four threads at once:
                                 100, 200, 300 and 400 allocations of
                                 48 + 16 * I + 8 * (i % 2) bytes, freed by
                                 demo_thread_main.
      demo_plugin_work           in the plugin, dlopen'ed from next to the
                                 executable: 50 allocations of 40 + 8 * (i % 2)
                                 bytes, freed.
      demo_plugin_leak           in the plugin: malloc(700), never freed.
      demo_forked_child          in a forked child only: 30 allocations of
                                 100 bytes, then _exit(0) without freeing. Not
                                 in the parent's trace; with --record-children
                                 the child's own trace has 30 allocations and
                                 3000 bytes leaked.

    Batches are freed first block first, and the first and the last block of
    each batch differ in size: the analyser counts a free as temporary when it
    comes right after an allocation of the same size and stack, whichever
    block it is.

    main allocates nothing itself. The C library adds a few allocations of its
    own (thread start, dlopen), which the test does not count on.

    The program writes nothing unless something fails (stdio would allocate).
*/

#include <dlfcn.h>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <new>

#if defined(__clang__)
#define DEMO_FRAME __attribute__((noinline, used))
#else
// noipa: no clones with other names (.constprop, .isra) and no call folding
#define DEMO_FRAME __attribute__((noipa, used))
#endif

namespace
{
// The compiler may drop a malloc whose block does not escape, or a malloc and
// free pair; this keeps every block observable without a call in between.
inline void escape(void *block)
{
    asm volatile("" : : "g"(block) : "memory");
}

void sleepMs(unsigned ms)
{
    usleep(ms * 1000);
}

void fail(const char *what)
{
    const char prefix[] = "memloupe_demo: ";
    ssize_t ignored = write(2, prefix, sizeof(prefix) - 1);
    ignored = write(2, what, strlen(what));
    ignored = write(2, "\n", 1);
    (void)ignored;
    _exit(1);
}

void *volatile g_leaked;
void *volatile g_suppressedLeak;
}

extern "C" {

// the build hides symbols by default; the recorder needs this one in the
// dynamic symbol table
__attribute__((visibility("default"))) const char *__lsan_default_suppressions()
{
    return "leak:demo_suppressed_leak\n";
}

static inline __attribute__((always_inline)) void *demo_inline_alloc(size_t size)
{
    return malloc(size); // line: inline-alloc
}

DEMO_FRAME void demo_inlined_allocations()
{
    void *blocks[1000];
    for (int i = 0; i < 1000; ++i) {
        blocks[i] = demo_inline_alloc(16 + 8 * (i % 8)); // line: inline-call
        escape(blocks[i]);
    }
    for (void *block : blocks) {
        free(block);
    }
}

DEMO_FRAME void demo_temporary_loop()
{
    for (int i = 0; i < 2000; ++i) {
        void *block = malloc(24 + 8 * (i % 3)); // line: temporary
        escape(block);
        free(block);
    }
}

DEMO_FRAME void demo_realloc()
{
    void *block = realloc(nullptr, 100); // line: realloc-null
    escape(block);
    void *a = malloc(8);
    escape(a);
    block = realloc(block, 1000); // line: realloc-grow
    escape(block);
    void *b = malloc(8);
    escape(b);
    block = realloc(block, 10); // line: realloc-shrink
    escape(block);
    void *c = malloc(8);
    escape(c);
    // glibc frees the block and returns NULL
    block = realloc(block, 0); // line: realloc-zero
    escape(block);
    free(block);
    free(a);
    free(b);
    free(c);
}

DEMO_FRAME void demo_other_allocators()
{
    void *zeroed = calloc(10, 12); // line: calloc
    escape(zeroed);
    void *aligned = nullptr;
    if (posix_memalign(&aligned, 64, 256) != 0) { // line: posix_memalign
        fail("posix_memalign failed");
    }
    escape(aligned);
    void *aligned2 = aligned_alloc(128, 512); // line: aligned_alloc
    escape(aligned2);
    int *object = new int(42); // line: new
    escape(object);
    char *array = new char[300]; // line: new-array
    escape(array);
    free(zeroed);
    free(aligned);
    free(aligned2);
    delete object;
    delete[] array;
}

DEMO_FRAME void demo_leak()
{
    g_leaked = malloc(5000); // line: leak
}

DEMO_FRAME void demo_suppressed_leak()
{
    g_suppressedLeak = malloc(3000); // line: suppressed-leak
}

DEMO_FRAME void demo_peak()
{
    void *blocks[16];
    for (int i = 0; i < 16; ++i) {
        blocks[i] = malloc(65536 + 64 * (i % 2)); // line: peak
        escape(blocks[i]);
    }
    sleepMs(10);
    for (void *block : blocks) {
        free(block);
    }
}

#define DEMO_THREAD_WORK(I)                                                                                                                                    \
    DEMO_FRAME void demo_thread_work_##I(void **blocks)                                                                                                        \
    {                                                                                                                                                          \
        for (int i = 0; i < (I + 1) * 100; ++i) {                                                                                                              \
            blocks[i] = malloc(48 + 16 * I + 8 * (i % 2));                                                                                                     \
            escape(blocks[i]);                                                                                                                                 \
        }                                                                                                                                                      \
    }
DEMO_THREAD_WORK(0) // line: thread-0
DEMO_THREAD_WORK(1) // line: thread-1
DEMO_THREAD_WORK(2) // line: thread-2
DEMO_THREAD_WORK(3) // line: thread-3

struct ThreadArgs {
    int index;
    pthread_barrier_t *barrier;
};

DEMO_FRAME void *demo_thread_main(void *argument)
{
    const auto *args = static_cast<const ThreadArgs *>(argument);
    void *blocks[400];
    // all four allocate at the same time: their events interleave in the ring
    pthread_barrier_wait(args->barrier);
    switch (args->index) {
    case 0:
        demo_thread_work_0(blocks);
        break;
    case 1:
        demo_thread_work_1(blocks);
        break;
    case 2:
        demo_thread_work_2(blocks);
        break;
    default:
        demo_thread_work_3(blocks);
        break;
    }
    for (int i = 0; i < (args->index + 1) * 100; ++i) {
        free(blocks[i]);
    }
    return nullptr;
}

DEMO_FRAME void demo_threads()
{
    pthread_barrier_t barrier;
    pthread_barrier_init(&barrier, nullptr, 4);
    pthread_t threads[4];
    ThreadArgs args[4];
    for (int i = 0; i < 4; ++i) {
        args[i] = {i, &barrier};
        if (pthread_create(&threads[i], nullptr, demo_thread_main, &args[i]) != 0) {
            fail("pthread_create failed");
        }
    }
    for (auto thread : threads) {
        pthread_join(thread, nullptr);
    }
    pthread_barrier_destroy(&barrier);
}

DEMO_FRAME void demo_plugin()
{
    // the plugin sits next to the executable, wherever the build tree is
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (length <= 0) {
        fail("cannot read /proc/self/exe");
    }
    path[length] = '\0';
    char *slash = strrchr(path, '/');
    const char name[] = MEMLOUPE_DEMO_PLUGIN_FILE;
    if (!slash || static_cast<size_t>(slash + 1 - path) + sizeof(name) > sizeof(path)) {
        fail("executable path too long");
    }
    memcpy(slash + 1, name, sizeof(name));
    // the handle stays open: the plugin's frames must be resolvable at the end
    void *handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        fail(dlerror());
    }
    auto run = reinterpret_cast<void (*)()>(dlsym(handle, "memloupe_demo_plugin_run"));
    if (!run) {
        fail(dlerror());
    }
    run();
}

DEMO_FRAME void demo_forked_child()
{
    for (int i = 0; i < 30; ++i) {
        escape(malloc(100)); // line: forked-child
    }
}

DEMO_FRAME void demo_fork()
{
    const pid_t child = fork();
    if (child < 0) {
        fail("fork failed");
    }
    if (child == 0) {
        demo_forked_child();
        _exit(0);
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fail("the forked child failed");
    }
}
}

int main()
{
    demo_inlined_allocations();
    sleepMs(5);
    demo_temporary_loop();
    sleepMs(5);
    demo_realloc();
    demo_other_allocators();
    demo_leak();
    demo_suppressed_leak();
    sleepMs(5);
    demo_peak();
    sleepMs(5);
    demo_threads();
    sleepMs(5);
    demo_plugin();
    sleepMs(5);
    demo_fork();
    sleepMs(5);
    return 0;
}
