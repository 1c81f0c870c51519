/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    The start-up steps of memloupe_gui that depend on the environment: the
    packed icon theme looked up beside the executable, and the rewrite of the
    library search path.
*/

#include <QDir>
#include <QFile>
#include <QIcon>
#include <QResource>
#include <QTemporaryDir>
#include <QTest>

#include "guistartup.h"

namespace
{
const QString MOUNT_POINT = QStringLiteral("/icons/kf5_rcc_theme");
const QString SYSTEM_RCC = QStringLiteral("/usr/share/icons/breeze/breeze-icons.rcc");
}

class TestGuiStartup : public QObject
{
    Q_OBJECT

private:
    // An installation prefix with bin/ and, when @p rcc is given, that file at
    // the place of the packed icons. Returns the bin directory.
    QString makePrefix(const QString &rcc)
    {
        const QString bin = m_prefix.path() + QLatin1String("/bin");
        const QString icons = m_prefix.path() + QLatin1String("/share/icons/breeze");
        if (!QDir().mkpath(bin) || !QDir().mkpath(icons)) {
            return {};
        }
        m_rcc = icons + QLatin1String("/breeze-icons.rcc");
        if (!rcc.isEmpty() && !QFile::link(rcc, m_rcc)) {
            return {};
        }
        return bin;
    }

    // the path as the program forms it, through bin/..
    static QString lookedUpPath(const QString &bin)
    {
        return bin + QLatin1String("/../share/icons/breeze/breeze-icons.rcc");
    }

    QTemporaryDir m_prefix;
    QString m_rcc;
    QString m_originalTheme;

private Q_SLOTS:
    void init()
    {
        QVERIFY(m_prefix.isValid());
        m_originalTheme = QIcon::themeName();
        QIcon::setThemeName(QStringLiteral("hicolor"));
    }

    void cleanup()
    {
        // both spellings: the program registers the path through bin/..
        QResource::unregisterResource(m_rcc, MOUNT_POINT);
        QResource::unregisterResource(lookedUpPath(m_prefix.path() + QLatin1String("/bin")), MOUNT_POINT);
        QIcon::setThemeName(m_originalTheme);
        QDir(m_prefix.path()).removeRecursively();
        QDir().mkpath(m_prefix.path());
    }

    void missingIconsOnlyWarn()
    {
        const QString bin = makePrefix({});
        QVERIFY(!bin.isEmpty());

        QTest::ignoreMessage(QtWarningMsg, qPrintable(QLatin1String("cannot find icons rcc: ") + lookedUpPath(bin)));
        initRCCIconTheme(bin);

        QCOMPARE(QIcon::themeName(), QStringLiteral("hicolor"));
        QVERIFY(!QFile::exists(QLatin1Char(':') + MOUNT_POINT));
    }

    void brokenIconsAreNotMounted_data()
    {
        QTest::addColumn<QString>("rcc");
        QTest::addColumn<bool>("isResourceFile");

        QTest::newRow("not a resource file") << QStringLiteral(MEMLOUPE_NOT_AN_RCC) << false;
        QTest::newRow("resource file without index.theme") << QStringLiteral(MEMLOUPE_NOINDEX_RCC) << true;
    }

    void brokenIconsAreNotMounted()
    {
        QFETCH(QString, rcc);
        QFETCH(bool, isResourceFile);
        const QString bin = makePrefix(rcc);
        QVERIFY(!bin.isEmpty());

        if (!isResourceFile) {
            QTest::ignoreMessage(QtWarningMsg, qPrintable(QLatin1String("Invalid rcc file: ") + lookedUpPath(bin)));
        }
        QTest::ignoreMessage(QtWarningMsg, qPrintable(QLatin1String("No index.theme found in ") + lookedUpPath(bin)));
        initRCCIconTheme(bin);

        // nothing of the file stays reachable under the theme's mount point
        QVERIFY(!QFile::exists(QLatin1Char(':') + MOUNT_POINT + QLatin1String("/noindex.txt")));
        QVERIFY(!QFile::exists(QLatin1Char(':') + MOUNT_POINT));
        // once the file is there the theme is switched, mounted or not
        QCOMPARE(QIcon::themeName(), QStringLiteral("kf5_rcc_theme"));
    }

    void debianPackedIconsBecomeTheTheme()
    {
        if (!QFile::exists(SYSTEM_RCC)) {
            QSKIP("breeze-icon-theme-rcc is not installed");
        }
        // the place the Debian package chose is the one a program in /usr/bin looks at
        QCOMPARE(QFileInfo(lookedUpPath(QStringLiteral("/usr/bin"))).canonicalFilePath(), SYSTEM_RCC);

        const QString bin = makePrefix(SYSTEM_RCC);
        QVERIFY(!bin.isEmpty());
        initRCCIconTheme(bin);

        QCOMPARE(QIcon::themeName(), QStringLiteral("kf5_rcc_theme"));
        QVERIFY(QFile::exists(QLatin1Char(':') + MOUNT_POINT + QLatin1String("/index.theme")));
        const QIcon icon = QIcon::fromTheme(QStringLiteral("document-open"));
        QVERIFY(!icon.isNull());
        QVERIFY(!icon.pixmap(22, 22).isNull());
    }

    void libraryPathLosesItsFirstEntry_data()
    {
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<QByteArray>("expected");

        QTest::newRow("three entries") << QByteArray("/a:/b:/c") << QByteArray("/b:/c");
        QTest::newRow("one entry") << QByteArray("/a") << QByteArray("/a");
        QTest::newRow("empty first entry") << QByteArray(":/b") << QByteArray("/b");
        QTest::newRow("trailing colon") << QByteArray("/a:") << QByteArray("");
        QTest::newRow("empty") << QByteArray("") << QByteArray("");
    }

    void libraryPathLosesItsFirstEntry()
    {
        QFETCH(QByteArray, path);
        QFETCH(QByteArray, expected);

        QCOMPARE(withoutFirstLibraryPath(path), expected);

        qputenv("LD_LIBRARY_PATH", path);
        dropFirstLibraryPath();
        QCOMPARE(qgetenv("LD_LIBRARY_PATH"), expected);
    }

    void unsetLibraryPathBecomesEmpty()
    {
        qunsetenv("LD_LIBRARY_PATH");
        dropFirstLibraryPath();
        QVERIFY(qEnvironmentVariableIsSet("LD_LIBRARY_PATH"));
        QVERIFY(qEnvironmentVariableIsEmpty("LD_LIBRARY_PATH"));
    }
};

QTEST_MAIN(TestGuiStartup)

#include "tst_guistartup.moc"
