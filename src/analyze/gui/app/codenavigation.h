/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

// Opening a source location in an external editor: the built-in editors and
// the expansion of a command template into a program and its arguments.

#pragma once

#include <QString>
#include <QStringList>

namespace CodeNavigation
{
// The built-in editors, in the order the settings menu lists them; the value is
// what the configuration stores.
enum IDE {
    KDevelop = 0,
    Kate = 1,
    KWrite = 2,
    GEdit = 3,
    GVim = 4,
    QtCreator = 5,
    LAST_IDE = 6,
};

struct IdeSettings {
    // executable name, looked up on the search path
    QString app;
    // argument template with the placeholders %f, %l and %c
    QString args;
    QString name;
};

// Unknown values give the entry that needs nothing but a line number.
IdeSettings ideSettings(int ide);

// The first built-in editor installed on the search path, or -1 for none.
int firstAvailableIde();

// The program and arguments to run for @p command: split with shell quoting
// rules first, then each placeholder replaced inside its word, so a path with
// blanks or quotes never falls apart into several arguments. Empty when the
// command holds no word or cannot be split.
QStringList commandLine(const QString &command, const QString &filePath, int lineNumber, int columnNumber);
}
