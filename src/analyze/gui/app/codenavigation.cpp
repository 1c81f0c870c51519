/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

#include "analyze/gui/app/codenavigation.h"

#include <algorithm>

#include <QStandardPaths>

#include <KLocalizedString>
#include <KShell>

namespace
{
QString substitutePlaceholders(const QString &word, const QString &filePath, const QString &line, const QString &column)
{
    // one pass, so a path holding "%l" keeps it
    QString result;
    result.reserve(word.size());
    for (int i = 0; i < word.size(); ++i) {
        if (word.at(i) == QLatin1Char('%') && i + 1 < word.size()) {
            const auto next = word.at(i + 1);
            if (next == QLatin1Char('f')) {
                result += filePath;
                ++i;
                continue;
            } else if (next == QLatin1Char('l')) {
                result += line;
                ++i;
                continue;
            } else if (next == QLatin1Char('c')) {
                result += column;
                ++i;
                continue;
            }
        }
        result += word.at(i);
    }
    return result;
}
}

namespace CodeNavigation
{
IdeSettings ideSettings(int ide)
{
    switch (ide) {
    case KDevelop:
        return {QStringLiteral("kdevelop"), QStringLiteral("%f:%l:%c"), i18n("KDevelop")};
    case Kate:
        return {QStringLiteral("kate"), QStringLiteral("%f --line %l --column %c"), i18n("Kate")};
    case KWrite:
        return {QStringLiteral("kwrite"), QStringLiteral("%f --line %l --column %c"), i18n("KWrite")};
    case GEdit:
        return {QStringLiteral("gedit"), QStringLiteral("%f +%l:%c"), i18n("gedit")};
    case QtCreator:
        return {QStringLiteral("qtcreator"), QStringLiteral("-client %f:%l"), i18n("Qt Creator")};
    default:
        return {QStringLiteral("gvim"), QStringLiteral("%f +%l"), i18n("gvim")};
    }
}

int firstAvailableIde()
{
    for (int ide = 0; ide < LAST_IDE; ++ide) {
        if (!QStandardPaths::findExecutable(ideSettings(ide).app).isEmpty()) {
            return ide;
        }
    }
    return -1;
}

QStringList commandLine(const QString &command, const QString &filePath, int lineNumber, int columnNumber)
{
    KShell::Errors error = KShell::NoError;
    auto words = KShell::splitArgs(command, KShell::NoOptions, &error);
    if (error != KShell::NoError || words.isEmpty() || words.first().isEmpty()) {
        return {};
    }
    const auto line = QString::number(std::max(1, lineNumber));
    const auto column = QString::number(std::max(1, columnNumber));
    for (auto &word : words) {
        word = substitutePlaceholders(word, filePath, line, column);
    }
    return words;
}
}
