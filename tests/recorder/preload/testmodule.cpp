/* SPDX-FileCopyrightText: 2026 memloupe developers
 SPDX-License-Identifier: GPL-2.0-or-later */

// Loaded with dlopen by the test program: its frames must be announced as a
// module before the allocation that carries them.

#include <cstdlib>

extern "C" __attribute__((visibility("default"), noinline)) void *memloupe_module_allocate(size_t size)
{
    void *block = malloc(size);
    asm volatile("" ::: "memory"); // keep the call a call, not a tail jump
    return block;
}
