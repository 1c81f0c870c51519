/* SPDX-FileCopyrightText: 2026 memloupe developers
 SPDX-License-Identifier: GPL-2.0-or-later */

/* Linked statically: the dynamic loader never sees it, so the launcher must
   refuse it. */
int main(void)
{
    return 0;
}
