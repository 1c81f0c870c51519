/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    The demo's plugin, dlopen'ed at run time: its frames can only be resolved
    through the module record the recorder writes at the dlopen. The numbers
    are in demo.cpp.
*/

#include <cstdlib>

#if defined(__clang__)
#define DEMO_FRAME __attribute__((noinline, used))
#else
#define DEMO_FRAME __attribute__((noipa, used))
#endif

namespace
{
inline void escape(void *block)
{
    asm volatile("" : : "g"(block) : "memory");
}

void *volatile g_pluginLeak;
}

extern "C" {

DEMO_FRAME void demo_plugin_work()
{
    void *blocks[50];
    for (int i = 0; i < 50; ++i) {
        blocks[i] = malloc(40 + 8 * (i % 2)); // line: plugin-work
        escape(blocks[i]);
    }
    for (void *block : blocks) {
        free(block);
    }
}

DEMO_FRAME void demo_plugin_leak()
{
    g_pluginLeak = malloc(700); // line: plugin-leak
}

__attribute__((visibility("default"))) void memloupe_demo_plugin_run()
{
    demo_plugin_work();
    demo_plugin_leak();
}
}
