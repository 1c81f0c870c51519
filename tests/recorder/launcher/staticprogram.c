/* SPDX-FileCopyrightText: 2026 memloupe developers
 SPDX-License-Identifier: GPL-2.0-or-later */

/* Linked statically: the dynamic loader never sees it, so the launcher must
   refuse it. With an argument it waits for its standard input to close, a
   running static process for `memloupe --pid` to refuse. */
#include <unistd.h>

int main(int argc, char **argv)
{
    (void)argv;
    if (argc > 1) {
        char byte;
        while (read(0, &byte, 1) > 0) { }
    }
    return 0;
}
