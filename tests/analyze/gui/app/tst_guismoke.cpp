/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    The real memloupe_gui binary on an X server of the test's own: the command
    line, the refusal of an unreadable suppression file, and windows that reach
    their results page on the sample trace and close again cleanly.

    What the program shows is read from the testing aid of memloupe_gui
    (MEMLOUPE_GUI_PROBE, see gui.cpp): the number and titles of its windows,
    and whether every window shows its results.
*/

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace
{
struct GuiRun {
    bool finished = false;
    int exitCode = -1;
    QString out;
    QString err;

    // A sanitizer build's report on the program only changes its exit code:
    // say what it wrote to standard error as well.
    QByteArray exitText() const
    {
        return QStringLiteral("exit code %1, standard error:\n%2").arg(exitCode).arg(err).toLocal8Bit();
    }

    QStringList windowTitles() const
    {
        QStringList titles;
        const auto lines = out.split(QLatin1Char('\n'));
        for (const auto &line : lines) {
            if (line.startsWith(QLatin1String("window: "))) {
                titles.append(line.mid(8));
            }
        }
        return titles;
    }
};
}

class TestGuiSmoke : public QObject
{
    Q_OBJECT

private:
    enum class Display { Shown, None };

    GuiRun runGui(const QStringList &arguments, const QString &probe = {}, Display display = Display::Shown)
    {
        QProcess process;
        auto environment = QProcessEnvironment::systemEnvironment();
        if (display == Display::Shown) {
            environment.insert(QStringLiteral("DISPLAY"), m_display);
            // the suite runs with the offscreen platform; the program gets the real one
            environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        } else {
            for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
                environment.remove(QLatin1String(name));
            }
        }
        // the texts checked below are the untranslated ones
        environment.insert(QStringLiteral("LANGUAGE"), QStringLiteral("en_US"));
        environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
        // the windows save their layout on close: not into the user's settings
        environment.insert(QStringLiteral("HOME"), m_home.path());
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), m_home.path() + QLatin1String("/config"));
        environment.insert(QStringLiteral("XDG_DATA_HOME"), m_home.path() + QLatin1String("/data"));
        environment.insert(QStringLiteral("XDG_CACHE_HOME"), m_home.path() + QLatin1String("/cache"));
        environment.remove(QStringLiteral("MEMLOUPE_GUI_PROBE"));
        if (!probe.isEmpty()) {
            environment.insert(QStringLiteral("MEMLOUPE_GUI_PROBE"), probe);
        }
        process.setProcessEnvironment(environment);

        GuiRun run;
        process.start(QStringLiteral(MEMLOUPE_GUI_PATH), arguments);
        if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit) {
            qWarning() << "memloupe_gui did not exit normally:" << arguments << process.errorString();
            process.kill();
            process.waitForFinished();
        } else {
            run.finished = true;
            run.exitCode = process.exitCode();
        }
        run.out = QString::fromUtf8(process.readAllStandardOutput());
        run.err = QString::fromUtf8(process.readAllStandardError());
        return run;
    }

    QProcess m_xserver;
    QString m_display;
    QTemporaryDir m_home;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        QVERIFY2(QFile::exists(QStringLiteral(MEMLOUPE_SAMPLE_TRACE)), MEMLOUPE_SAMPLE_TRACE);

        const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
        QVERIFY2(!xvfb.isEmpty(), "Xvfb not found; scripts/install-deps.sh installs it");
        // -displayfd: the server takes the first free display itself and
        // writes its number, so parallel runs cannot pick the same one
        m_xserver.start(xvfb,
                        {QStringLiteral("-displayfd"),
                         QStringLiteral("1"),
                         QStringLiteral("-screen"),
                         QStringLiteral("0"),
                         QStringLiteral("1280x800x24"),
                         QStringLiteral("-nolisten"),
                         QStringLiteral("tcp")});
        QVERIFY(m_xserver.waitForStarted());
        QByteArray number;
        while (!number.contains('\n')) {
            QVERIFY2(m_xserver.waitForReadyRead(30000), "Xvfb did not report its display");
            number += m_xserver.readAllStandardOutput();
        }
        m_display = QLatin1Char(':') + QString::fromLatin1(number.trimmed());
    }

    void cleanupTestCase()
    {
        if (m_xserver.state() != QProcess::NotRunning) {
            m_xserver.terminate();
            m_xserver.waitForFinished();
        }
    }

    void commandLine()
    {
        const auto help = runGui({QStringLiteral("--help")});
        QVERIFY(help.finished);
        QVERIFY2(help.exitCode == 0, help.exitText().constData());
        QVERIFY2(help.out.contains(QLatin1String("Usage: ")), qPrintable(help.out));
        for (const auto *option : {"-d, --diff <<file>>",
                                   "-s, --suppressions <<file>>",
                                   "--disable-embedded-suppressions",
                                   "--disable-builtin-suppressions",
                                   "Base profile data to compare other files to.",
                                   "[FILE...]",
                                   "Files to load"}) {
            QVERIFY2(help.out.contains(QLatin1String(option)), option);
        }
        QVERIFY(help.windowTitles().isEmpty());

        const auto version = runGui({QStringLiteral("--version")});
        QVERIFY(version.finished);
        QVERIFY2(version.exitCode == 0, version.exitText().constData());
        QCOMPARE(version.out.trimmed(), QStringLiteral("memloupe_gui 1.5.0"));
    }

    // Help and version need no display: a terminal without one gets them too.
    void commandLineWithoutDisplay()
    {
        const auto help = runGui({QStringLiteral("--help")}, {}, Display::None);
        QVERIFY(help.finished);
        QVERIFY2(help.exitCode == 0, help.exitText().constData());
        QVERIFY2(help.out.contains(QLatin1String("-d, --diff <<file>>")), qPrintable(help.out));
        QVERIFY2(help.out.contains(QLatin1String("-v, --version")), qPrintable(help.out));
        QVERIFY2(!help.err.contains(QLatin1String("platform plugin")), qPrintable(help.err));

        for (const auto &option : {QStringLiteral("--version"), QStringLiteral("-v")}) {
            const auto version = runGui({option}, {}, Display::None);
            QVERIFY(version.finished);
            QVERIFY2(version.exitCode == 0, version.exitText().constData());
            QCOMPARE(version.out.trimmed(), QStringLiteral("memloupe_gui 1.5.0"));
        }
    }

    void unreadableSuppressionFileEndsTheProgram()
    {
        const QString missing = m_home.path() + QLatin1String("/no-such-suppressions.txt");
        const auto run = runGui({QStringLiteral("--suppressions"), missing, QStringLiteral(MEMLOUPE_SAMPLE_TRACE)}, QStringLiteral("windows"));
        QVERIFY(run.finished);
        QVERIFY2(run.exitCode == 1, run.exitText().constData());
        QVERIFY2(run.err.contains(QLatin1String("failed to open suppression file: ") + missing), qPrintable(run.err));
        // the testing aid runs in the event loop: no output, no window
        QVERIFY2(!run.out.contains(QLatin1String("windows:")), qPrintable(run.out));
    }

    void withoutFilesOneEmptyWindow()
    {
        const auto run = runGui({QStringLiteral("--diff"), QStringLiteral(MEMLOUPE_SAMPLE_TRACE)}, QStringLiteral("windows"));
        QVERIFY(run.finished);
        QVERIFY2(run.exitCode == 0, run.exitText().constData());
        QVERIFY2(run.out.contains(QLatin1String("windows: 1\n")), qPrintable(run.out));
        QCOMPARE(run.windowTitles().size(), 1);
        // nothing was loaded, so the title names no file
        QVERIFY2(!run.windowTitles().constFirst().contains(QLatin1String(".zst")), qPrintable(run.out));
    }

    void sampleReachesTheResults()
    {
        // a readable suppression file lets the program go on
        const QString suppressionFile = m_home.path() + QLatin1String("/suppressions.txt");
        QFile file(suppressionFile);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("# comment\nleak:vextor::io::FilterManager::splitPacket\n");
        file.close();

        const auto run = runGui({QStringLiteral("-s"), suppressionFile, QStringLiteral(MEMLOUPE_SAMPLE_TRACE)}, QStringLiteral("results"));
        QVERIFY2(run.finished, qPrintable(run.out + run.err));
        QVERIFY2(run.exitCode == 0, run.exitText().constData());
        QVERIFY2(run.out.contains(QLatin1String("windows: 1\n")), qPrintable(run.out));
        QCOMPARE(run.windowTitles().size(), 1);
        QVERIFY2(run.windowTitles().constFirst().contains(QLatin1String("memloupe.vextor.59132.zst")), qPrintable(run.out));
        QVERIFY2(run.out.contains(QLatin1String("results shown\n")), qPrintable(run.out + run.err));
    }

    void oneWindowPerFileWithTheSameBase()
    {
        // two files of their own names, each compared against the sample
        QStringList files;
        for (const auto *name : {"memloupe.first.1.zst", "memloupe.second.2.zst"}) {
            const QString path = m_home.path() + QLatin1Char('/') + QLatin1String(name);
            QFile::remove(path);
            QVERIFY(QFile::copy(QStringLiteral(MEMLOUPE_SAMPLE_TRACE), path));
            files.append(path);
        }

        const auto run = runGui({QStringLiteral("-d"), QStringLiteral(MEMLOUPE_SAMPLE_TRACE), files.at(0), files.at(1)}, QStringLiteral("results"));
        QVERIFY2(run.finished, qPrintable(run.out + run.err));
        QVERIFY2(run.exitCode == 0, run.exitText().constData());
        QVERIFY2(run.out.contains(QLatin1String("windows: 2\n")), qPrintable(run.out));

        auto titles = run.windowTitles();
        QCOMPARE(titles.size(), 2);
        titles.sort();
        QVERIFY2(titles.at(0).contains(QLatin1String("memloupe.first.1.zst")), qPrintable(titles.at(0)));
        QVERIFY2(titles.at(1).contains(QLatin1String("memloupe.second.2.zst")), qPrintable(titles.at(1)));
        for (const auto &title : qAsConst(titles)) {
            QVERIFY2(title.contains(QLatin1String("memloupe.vextor.59132.zst")), qPrintable(title));
        }
        QVERIFY2(run.out.contains(QLatin1String("results shown\n")), qPrintable(run.out + run.err));
    }
};

QTEST_GUILESS_MAIN(TestGuiSmoke)

#include "tst_guismoke.moc"
