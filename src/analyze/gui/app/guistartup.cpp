/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

#include "analyze/gui/app/guistartup.h"
#include "startuplog.h"

#include <QFile>
#include <QIcon>
#include <QResource>
#include <QString>
#include <QtGlobal>

#include <KIconTheme>

void initRCCIconTheme(const QString &applicationDirPath)
{
    // A bundle or an install under /usr ships the breeze icons as one packed file
    // beside the program, so the views have their icons on desktops without the
    // breeze theme (and under a bare X server).
    const QString iconThemeRcc = applicationDirPath + QLatin1String("/../share/icons/breeze/breeze-icons.rcc");
    if (!QFile::exists(iconThemeRcc)) {
        qCWarning(MEMLOUPE_STARTUP, "cannot find icons rcc: %ls", qUtf16Printable(iconThemeRcc));
        return;
    }

    const QString iconThemeName = QStringLiteral("kf5_rcc_theme");
    const QString iconSubdir = QLatin1String("/icons/") + iconThemeName;
    if (!QResource::registerResource(iconThemeRcc, iconSubdir)) {
        qCWarning(MEMLOUPE_STARTUP, "Invalid rcc file: %ls", qUtf16Printable(iconThemeRcc));
    }

    // Qt looks for themes below ":/icons" too; without an index the mounted
    // files are no theme and only shadow whatever else is mounted there.
    if (!QFile::exists(QLatin1Char(':') + iconSubdir + QLatin1String("/index.theme"))) {
        qCWarning(MEMLOUPE_STARTUP, "No index.theme found in %ls", qUtf16Printable(iconThemeRcc));
        QResource::unregisterResource(iconThemeRcc, iconSubdir);
    }

    QIcon::setThemeName(iconThemeName);
    // KIconLoader would otherwise keep following the desktop's theme
    KIconTheme::forceThemeForTests(iconThemeName);
}

QByteArray withoutFirstLibraryPath(const QByteArray &libraryPath)
{
    const int colon = libraryPath.indexOf(':');
    if (colon < 0) {
        return libraryPath;
    }
    return libraryPath.mid(colon + 1);
}

void dropFirstLibraryPath()
{
    // A bundle's launcher puts its own library directory in front of the
    // search path. The editors and file handlers started from the window must
    // run with the libraries of the system, not with the bundle's.
    qputenv("LD_LIBRARY_PATH", withoutFirstLibraryPath(qgetenv("LD_LIBRARY_PATH")));
}
