/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    Start-up steps of memloupe_gui that depend on where and how the program was
    started. They live apart from main() so that the tests can run them.
*/

#pragma once

#include <QByteArray>

class QString;

// Mounts the breeze icons packed into one resource file, found relative to the
// directory of the executable, and makes them the icon theme of Qt and of
// KIconThemes. A missing file only warns and leaves the icon theme alone.
void initRCCIconTheme(const QString &applicationDirPath);

// The search path without its first entry; a path without any ':' is returned as it is.
QByteArray withoutFirstLibraryPath(const QByteArray &libraryPath);

// LD_LIBRARY_PATH through withoutFirstLibraryPath; an unset variable ends up set and empty.
void dropFirstLibraryPath();
