/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    Programs that make a recorder's life hard, one per argument; the trace of
    each must still be complete. The allocations each mode makes before it
    ends, none of them freed:

      segv        hostile_before_crash: 10 x 64 bytes, then a null pointer
                  store (SIGSEGV, exit status 139 through the launcher)
      closefds    hostile_before_close: 5 x 32 bytes; every descriptor closed;
                  hostile_after_close: 20 x 48 bytes; exit(0)
      sigkill     hostile_before_kill: 12 x 80 bytes, then SIGKILL to itself
                  (137)
      exceptions  100 throws through 8 frames of hostile_depth, each frame
                  holding a block of 24 bytes (800 allocations, all freed by
                  the unwinding) and the middle frame catching and
                  rethrowing; exit status 0 only if every throw arrived with
                  its value and every frame's clean-up ran
      exit3       hostile_before_exit: 7 x 96 bytes, then _exit(3)
*/

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#if defined(__clang__)
#define HOSTILE_FRAME __attribute__((noinline, used))
#else
#define HOSTILE_FRAME __attribute__((noipa, used))
#endif

namespace
{
void *volatile g_sink;

void keep(void *block)
{
    g_sink = block;
    asm volatile("" : : "g"(block) : "memory");
}

struct HostileError {
    int value;
};

int g_cleanups = 0;

struct Cleanup {
    ~Cleanup()
    {
        ++g_cleanups;
    }
};

struct FreeBlock {
    void operator()(void *block) const
    {
        free(block);
    }
};
}

extern "C" {

HOSTILE_FRAME void hostile_before_crash()
{
    for (int i = 0; i < 10; ++i) {
        keep(malloc(64));
    }
}

HOSTILE_FRAME void hostile_before_close()
{
    for (int i = 0; i < 5; ++i) {
        keep(malloc(32));
    }
}

HOSTILE_FRAME void hostile_after_close()
{
    for (int i = 0; i < 20; ++i) {
        keep(malloc(48));
    }
}

HOSTILE_FRAME void hostile_before_kill()
{
    for (int i = 0; i < 12; ++i) {
        keep(malloc(80));
    }
}

HOSTILE_FRAME void hostile_before_exit()
{
    for (int i = 0; i < 7; ++i) {
        keep(malloc(96));
    }
}

HOSTILE_FRAME void hostile_depth(int depth, int value)
{
    Cleanup cleanup;
    std::unique_ptr<void, FreeBlock> block(malloc(24));
    keep(block.get());
    if (depth == 0) {
        throw HostileError{value};
    }
    if (depth == 4) {
        // a handler half-way that must see the right exception and pass it on
        try {
            hostile_depth(depth - 1, value);
        } catch (const HostileError &error) {
            if (error.value != value) {
                abort();
            }
            throw;
        }
        return;
    }
    hostile_depth(depth - 1, value);
}
}

int main(int argc, char **argv)
{
    const char *mode = argc > 1 ? argv[1] : "";
    if (strcmp(mode, "segv") == 0) {
        hostile_before_crash();
        volatile int *volatile nowhere = nullptr;
        *nowhere = 1;
        return 0;
    }
    if (strcmp(mode, "closefds") == 0) {
        hostile_before_close();
        // covers the recorder's socket and anything else it kept open
        for (int fd = 0; fd < 1024; ++fd) {
            close(fd);
        }
        hostile_after_close();
        return 0;
    }
    if (strcmp(mode, "sigkill") == 0) {
        hostile_before_kill();
        kill(getpid(), SIGKILL);
        return 0;
    }
    if (strcmp(mode, "exceptions") == 0) {
        int caught = 0;
        for (int i = 0; i < 100; ++i) {
            try {
                hostile_depth(7, i);
            } catch (const HostileError &error) {
                if (error.value == i) {
                    ++caught;
                }
            }
        }
        printf("caught %d, cleanups %d\n", caught, g_cleanups);
        return caught == 100 && g_cleanups == 800 ? 0 : 1;
    }
    if (strcmp(mode, "exit3") == 0) {
        hostile_before_exit();
        _exit(3);
    }
    fprintf(stderr, "usage: %s segv|closefds|sigkill|exceptions|exit3\n", argv[0]);
    return 2;
}
