/* SPDX-FileCopyrightText: 2026 memloupe developers
 SPDX-License-Identifier: GPL-2.0-or-later */

/* Loaded in place of the preload library: the launcher needs a library to
   put into LD_PRELOAD, the fake writer does the recording itself. */
int memloupe_test_nopreload = 1;
