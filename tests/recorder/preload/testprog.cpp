/* SPDX-FileCopyrightText: 2026 memloupe developers
 SPDX-License-Identifier: GPL-2.0-or-later */

// Runs under the preload library; each mode produces a known pattern of
// allocations that the test checks in the recorded stream. Sizes are unusual
// numbers so that the program's and libc's own allocations do not count.

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <dlfcn.h>
#include <malloc.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern "C" const char *__lsan_default_suppressions()
{
    return "leak:memloupe_test_suppression\n";
}

namespace
{

volatile uintptr_t g_sink;
// through a volatile: the compiler must not see the impossible sizes
volatile size_t g_huge = SIZE_MAX / 2;

// the compiler may drop a malloc whose block never escapes
void keep(void *p)
{
    g_sink = reinterpret_cast<uintptr_t>(p);
}

void churn(size_t size)
{
    void *p = malloc(size);
    keep(p);
    free(p);
}

int pattern()
{
    std::vector<void *> blocks;
    for (int i = 0; i < 100; ++i) {
        blocks.push_back(malloc(100001 + size_t(i)));
        keep(blocks.back());
    }
    for (void *p : blocks) {
        free(p);
    }
    for (int i = 0; i < 7; ++i) {
        void *p = calloc(3, 44447);
        if (static_cast<unsigned char *>(p)[1000]) {
            return 2;
        }
        free(p);
    }
    free(nullptr);
    // free keeps errno: programs check it after cleanup
    errno = 4711;
    churn(100200);
    return errno == 4711 ? 0 : 3;
}

int reallocs()
{
    void *a = malloc(77001);
    void *b = realloc(a, 77002); // frees a, allocates b (maybe the same address)
    void *c = realloc(nullptr, 77003); // an allocation
    errno = 0;
    void *failed = realloc(b, g_huge); // fails: b stays valid, no event
    if (failed || errno != ENOMEM) {
        return 2;
    }
    void *gone = realloc(c, 0); // frees c on glibc
    if (gone) {
        return 3;
    }
    void *d = reallocarray(nullptr, 7, 11001); // 77007
    if (reallocarray(d, g_huge, 4) || errno != ENOMEM) {
        return 4;
    }
    void *e = nullptr;
    if (posix_memalign(&e, 4096, 77008) != 0 || reinterpret_cast<uintptr_t>(e) % 4096) {
        return 5;
    }
    void *f = aligned_alloc(256, 77056);
    void *g = memalign(128, 77009);
    void *h = valloc(77010);
    keep(f);
    keep(g);
    keep(h);
    free(b);
    free(d);
    free(e);
    free(f);
    free(g);
    free(h);
    return 0;
}

__attribute__((noinline)) void *chain3()
{
    void *p = malloc(54321);
    keep(p);
    asm volatile("" ::: "memory");
    return p;
}
__attribute__((noinline)) void *chain2()
{
    void *p = chain3();
    asm volatile("" ::: "memory");
    return p;
}
__attribute__((noinline)) void *chain1()
{
    void *p = chain2();
    asm volatile("" ::: "memory");
    return p;
}

int stack(const char *out)
{
    FILE *file = fopen(out, "w");
    if (!file) {
        return 2;
    }
    fprintf(file, "%p %p %p\n", reinterpret_cast<void *>(&chain1), reinterpret_cast<void *>(&chain2), reinterpret_cast<void *>(&chain3));
    fclose(file);
    for (int i = 0; i < 3; ++i) {
        free(chain1());
    }
    return 0;
}

int forks()
{
    churn(12345);
    const pid_t child = fork();
    if (child == 0) {
        for (int i = 0; i < 5; ++i) {
            churn(23456);
        }
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    // vfork-style: the child shares our memory until it runs /bin/true
    pid_t spawned = 0;
    char arg0[] = "true";
    char *spawnArgs[] = {arg0, nullptr};
    if (posix_spawn(&spawned, "/bin/true", nullptr, nullptr, spawnArgs, environ) != 0) {
        return 3;
    }
    int spawnStatus = 0;
    waitpid(spawned, &spawnStatus, 0);
    churn(12346);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 && WIFEXITED(spawnStatus) && WEXITSTATUS(spawnStatus) == 0 ? 0 : 2;
}

__attribute__((noinline)) void thrower(int depth, int i)
{
    std::string text(1000 + size_t(depth), 'x'); // freed while unwinding
    if (depth == 0) {
        throw std::runtime_error("thrown " + std::to_string(i));
    }
    thrower(depth - 1, i);
    keep(&text[0]);
}

int exceptions()
{
    int caught = 0;
    for (int i = 0; i < 200; ++i) {
        try {
            thrower(5, i);
        } catch (const std::runtime_error &error) {
            if (std::string(error.what()) == "thrown " + std::to_string(i)) {
                ++caught;
            }
        }
    }
    // the program's unwinder must still be libgcc's, not a preloaded copy
    Dl_info info{};
    void *raise = dlsym(RTLD_DEFAULT, "_Unwind_RaiseException");
    if (!raise || !dladdr(raise, &info) || !info.dli_fname || strstr(info.dli_fname, "libunwind")) {
        return 3;
    }
    return caught == 200 ? 0 : 2;
}

// far more records than the ring holds
int flood()
{
    for (int i = 0; i < 600000; ++i) {
        churn(1111);
    }
    return 0;
}

int closeFds()
{
    for (int fd = 0; fd < 1024; ++fd) {
        close(fd);
    }
    for (int i = 0; i < 10; ++i) {
        churn(31313);
    }
    return 0;
}

int threads()
{
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; ++t) {
        workers.emplace_back([t] {
            for (int i = 0; i < 20000; ++i) {
                void *p = malloc(4242 + size_t(t));
                keep(p);
                free(p);
            }
        });
    }
    for (auto &worker : workers) {
        worker.join();
    }
    return 0;
}

int modules(const char *library)
{
    for (int round = 0; round < 2; ++round) {
        void *handle = dlopen(library, RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            return 2;
        }
        auto allocate = reinterpret_cast<void *(*)(size_t)>(dlsym(handle, "memloupe_module_allocate"));
        if (!allocate) {
            return 3;
        }
        free(allocate(65432));
        dlclose(handle);
    }
    return 0;
}

}

int main(int argc, char **argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    const char *arg = argc > 2 ? argv[2] : "";
    if (mode == "pattern") {
        return pattern();
    } else if (mode == "realloc") {
        return reallocs();
    } else if (mode == "stack") {
        return stack(arg);
    } else if (mode == "fork") {
        return forks();
    } else if (mode == "exceptions") {
        return exceptions();
    } else if (mode == "flood") {
        return flood();
    } else if (mode == "closefds") {
        return closeFds();
    } else if (mode == "threads") {
        return threads();
    } else if (mode == "modules") {
        return modules(arg);
    }
    return 100;
}
