/* SPDX-FileCopyrightText: 2026 memloupe developers
 SPDX-License-Identifier: GPL-2.0-or-later */

// The launcher as a user runs it: a fake writer in the place of the preload
// library feeds it known records, and the trace it writes is checked line by
// line and through memloupe_report. Also every way it refuses to start.

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

namespace
{
struct Run {
    int exitCode = -1;
    QString errors;
};

Run runLauncher(const QStringList &arguments, const QString &workingDirectory, const QString &preload = QStringLiteral(MEMLOUPE_NOPRELOAD_PATH))
{
    QProcess process;
    auto environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("MEMLOUPE_PRELOAD_LIBRARY"), preload);
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(workingDirectory);
    process.start(QStringLiteral(MEMLOUPE_PATH), arguments);
    Run run;
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        run.errors = QStringLiteral("timed out");
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.errors = QString::fromLocal8Bit(process.readAllStandardError());
    return run;
}

QStringList traceLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

quint64 hex(const QString &text)
{
    return text.toULongLong(nullptr, 16);
}

// Every index a record uses was defined before it, `t` nodes come after
// their parents, no (parent, ip) pair twice, no block freed that is not live.
QString structureProblem(const QStringList &lines)
{
    quint64 strings = 0, ips = 0, traces = 0, infos = 0;
    QSet<QPair<quint64, quint64>> edges;
    QSet<quint64> live;
    QHash<quint64, int> liveCount;
    for (const auto &line : lines) {
        const auto fields = line.split(QLatin1Char(' '));
        const QChar type = line.at(0);
        if (type == QLatin1Char('s')) {
            ++strings;
            if (hex(fields.value(1)) != quint64(line.size() - fields.value(0).size() - fields.value(1).size() - 2)) {
                return QStringLiteral("string length: ") + line;
            }
        } else if (type == QLatin1Char('i')) {
            ++ips;
            for (int i = 2; i < fields.size(); ++i) {
                if ((i == 2 || (i - 3) % 3 != 2) && (hex(fields[i]) == 0 || hex(fields[i]) > strings)) {
                    return QStringLiteral("undefined string: ") + line;
                }
            }
            if (fields.size() < 3 || (fields.size() - 3) % 3 != 0) {
                return QStringLiteral("frame fields: ") + line;
            }
        } else if (type == QLatin1Char('t')) {
            const auto ip = hex(fields.value(1));
            const auto parent = hex(fields.value(2));
            if (ip == 0 || ip > ips || parent > traces || edges.contains({parent, ip})) {
                return QStringLiteral("trace node: ") + line;
            }
            edges.insert({parent, ip});
            ++traces;
        } else if (type == QLatin1Char('a')) {
            if (hex(fields.value(2)) > traces) {
                return QStringLiteral("allocation info: ") + line;
            }
            ++infos;
        } else if (type == QLatin1Char('+')) {
            if (hex(fields.value(1)) >= infos) {
                return QStringLiteral("allocation: ") + line;
            }
            ++liveCount[hex(fields.value(1))];
        } else if (type == QLatin1Char('-')) {
            if (liveCount.value(hex(fields.value(1))) <= 0) {
                return QStringLiteral("free of nothing live: ") + line;
            }
            --liveCount[hex(fields.value(1))];
        }
    }
    return {};
}

QJsonObject reportJson(const QString &path)
{
    QProcess process;
    // only the trace's own suppressions
    process.start(QStringLiteral(MEMLOUPE_REPORT_PATH), {QStringLiteral("--json"), QStringLiteral("--disable-builtin-suppressions"), path});
    if (!process.waitForFinished(60000) || process.exitCode() != 0) {
        return {};
    }
    return QJsonDocument::fromJson(process.readAllStandardOutput()).object();
}

QString costText(const QJsonObject &summary)
{
    const auto cost = summary.value(QLatin1String("cost")).toObject();
    QStringList parts;
    for (const char *key : {"allocations", "temporary", "leaked", "peak"}) {
        parts << QString::number(cost.value(QLatin1String(key)).toDouble());
    }
    return parts.join(QLatin1Char('/'));
}

QStringList filesIn(const QString &directory)
{
    return QDir(directory).entryList(QDir::Files | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name);
}
}

class TestLauncher : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
    }

    // stack deltas of two threads, the trie, frees of unknown and reused blocks, time, suppressions
    void convertsRecords()
    {
        const QString output = m_dir.filePath(QStringLiteral("deltas.txt"));
        const auto run =
            runLauncher({QStringLiteral("-o"), output, QStringLiteral(FAKEWRITER_PATH), QStringLiteral("deltas"), QStringLiteral("-o"), QStringLiteral("x")},
                        m_dir.path());
        QCOMPARE(run.exitCode, 0);
        QVERIFY2(run.errors.contains(QStringLiteral("8 allocations")), qPrintable(run.errors));
        const auto lines = traceLines(output);
        QVERIFY(lines.size() > 3);
        QCOMPARE(lines[0], QStringLiteral("v 10500 3"));
        // options after the program belong to the program
        QVERIFY2(lines[1].startsWith(QStringLiteral("X ")) && lines[1].endsWith(QStringLiteral("fakewriter deltas -o x")), qPrintable(lines[1]));
        QCOMPARE(lines[2], QStringLiteral("I 1000 1234"));
        const QStringList expected = {
            QStringLiteral("s 10 <unknown module>"),
            QStringLiteral("i 10 1"),
            QStringLiteral("t 1 0"),
            QStringLiteral("i 20 1"),
            QStringLiteral("t 2 1"),
            QStringLiteral("i 30 1"),
            QStringLiteral("t 3 2"),
            QStringLiteral("a 64 3"),
            QStringLiteral("+ 0"),
            // thread 2 shares the outermost frame
            QStringLiteral("i 40 1"),
            QStringLiteral("t 4 1"),
            QStringLiteral("a c8 4"),
            QStringLiteral("+ 1"),
            // thread 1 keeps two frames of its own last stack, not of thread 2's
            QStringLiteral("i 50 1"),
            QStringLiteral("t 5 2"),
            QStringLiteral("a 64 5"),
            QStringLiteral("+ 2"),
            // thread 2 repeats its stack: no new node, no new info
            QStringLiteral("+ 1"),
            // the free of 0x9999 was never allocated: dropped
            QStringLiteral("- 0"),
            // time only ascends
            QStringLiteral("c 5"),
            QStringLiteral("c 9"),
            // a block at a live address ends the old one first
            QStringLiteral("a 12c 5"),
            QStringLiteral("- 1"),
            QStringLiteral("+ 3"),
            QStringLiteral("R 40"),
            QStringLiteral("S leak:foo"),
            QStringLiteral("S leak:bar"),
            // after its end the thread starts from nothing
            QStringLiteral("t 2 0"),
            QStringLiteral("a 64 6"),
            QStringLiteral("+ 4"),
            QStringLiteral("a 8 0"),
            QStringLiteral("+ 5"),
            // an event without a stack does not replace the thread's last one
            QStringLiteral("t 3 6"),
            QStringLiteral("a 10 7"),
            QStringLiteral("+ 6"),
        };
        QCOMPARE(lines.mid(3), expected);
        QCOMPARE(structureProblem(lines), QString());

        const auto json = reportJson(output);
        QVERIFY(!json.isEmpty());
        const auto summary = json.value(QLatin1String("summary")).toObject();
        // 8 allocations, none temporary; freed 100 and the first 200 -> 724 left, the peak at the end
        QCOMPARE(costText(summary), QStringLiteral("8/0/724/724"));
        QCOMPARE(summary.value(QLatin1String("peakRSS")).toDouble(), double(0x40 * 4096));
        QStringList patterns;
        for (const auto &entry : summary.value(QLatin1String("suppressions")).toArray()) {
            patterns << entry.toObject().value(QLatin1String("pattern")).toString();
        }
        patterns.sort();
        QCOMPARE(patterns, (QStringList{QStringLiteral("bar"), QStringLiteral("foo")}));
    }

    // return addresses of the fake writer's own functions, inlined ones included
    void resolvesSymbols()
    {
        const QString output = m_dir.filePath(QStringLiteral("symbols.txt"));
        const auto run = runLauncher({QStringLiteral("-o"), output, QStringLiteral(FAKEWRITER_PATH), QStringLiteral("symbols")}, m_dir.path());
        QCOMPARE(run.exitCode, 0);
        const auto lines = traceLines(output);
        QCOMPARE(structureProblem(lines), QString());
        QStringList strings;
        QList<QStringList> ips;
        for (const auto &line : lines) {
            if (line.startsWith(QLatin1String("s "))) {
                strings << line.section(QLatin1Char(' '), 2);
            } else if (line.startsWith(QLatin1String("i "))) {
                ips << line.split(QLatin1Char(' '));
            }
        }
        auto text = [&strings](const QString &index) {
            return strings.value(int(hex(index)) - 1);
        };
        // outermost first: the plain function, then the address inside the inlined helper
        QCOMPARE(ips.size(), 3);
        QVERIFY2(text(ips[0][2]).endsWith(QLatin1String("memloupe_fakewriter")), qPrintable(text(ips[0][2])));
        QCOMPARE(ips[0].size(), 6);
        QCOMPARE(text(ips[0][3]), QStringLiteral("(anonymous namespace)::fakePlainFunction(int)"));
        QVERIFY(text(ips[0][4]).endsWith(QLatin1String("fakewriter.cpp")));
        QVERIFY(hex(ips[0][5]) > 0);

        QCOMPARE(ips[1].size(), 9);
        // no linkage name for an inlined function of an anonymous namespace: its scopes, from the DIE tree
        QCOMPARE(text(ips[1][3]), QStringLiteral("(anonymous namespace)::fakeInlinedHelper"));
        QVERIFY(text(ips[1][4]).endsWith(QLatin1String("fakewriter.cpp")));
        QVERIFY2(text(ips[1][6]).endsWith(QLatin1String("fakeOuterFunction(int)")), qPrintable(text(ips[1][6])));
        // the line of the inlined call lies in the outer function, before the helper's own line
        QVERIFY(hex(ips[1][8]) > hex(ips[1][5]));

        // the same address after its module was replaced: resolved against the new one
        QCOMPARE(ips[2][1], ips[0][1]);
        QCOMPARE(text(ips[2][2]), QStringLiteral("/nonexistent/replacement.so"));
        QCOMPARE(ips[2].size(), 3);
    }

    // a small ring wraps and the writer waits for room; the gzip and zstd outputs agree
    void drainsWrappingRing_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("zstd") << QStringLiteral("many.zst");
        QTest::newRow("gzip") << QStringLiteral("many.gz");
        QTest::newRow("plain") << QStringLiteral("many.txt");
    }
    void drainsWrappingRing()
    {
        QFETCH(QString, name);
        const QString output = m_dir.filePath(name);
        const int count = 20000;
        const auto run =
            runLauncher({QStringLiteral("-o"), output, QStringLiteral(FAKEWRITER_PATH), QStringLiteral("many"), QString::number(count)}, m_dir.path());
        QCOMPARE(run.exitCode, 0);
        QVERIFY2(run.errors.contains(QStringLiteral("20000 allocations")), qPrintable(run.errors));
        const auto json = reportJson(output);
        QVERIFY(!json.isEmpty());
        const auto summary = json.value(QLatin1String("summary")).toObject();
        qint64 leaked = 0;
        for (int i = count - 1000; i < count; ++i) {
            leaked += 1 + i % 7;
        }
        QCOMPARE(summary.value(QLatin1String("cost")).toObject().value(QLatin1String("allocations")).toDouble(), double(count));
        QCOMPARE(summary.value(QLatin1String("cost")).toObject().value(QLatin1String("leaked")).toDouble(), double(leaked));
        if (name.endsWith(QLatin1String(".txt"))) {
            QCOMPARE(structureProblem(traceLines(output)), QString());
        }
    }

    // the program's status is the launcher's, and a stream ends with its process
    void passesExitStatus_data()
    {
        QTest::addColumn<QString>("scenario");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("exit 3") << QStringLiteral("status") << 3;
        QTest::newRow("SIGTERM") << QStringLiteral("signal") << 128 + 15;
    }
    void passesExitStatus()
    {
        QFETCH(QString, scenario);
        QFETCH(int, exitCode);
        const QString output = m_dir.filePath(scenario + QStringLiteral(".txt"));
        const auto run = runLauncher({QStringLiteral("-o"), output, QStringLiteral(FAKEWRITER_PATH), scenario}, m_dir.path());
        QCOMPARE(run.exitCode, exitCode);
        const auto lines = traceLines(output);
        QCOMPARE(lines.filter(QRegularExpression(QStringLiteral("^\\+ "))).size(), 1);
        QCOMPARE(structureProblem(lines), QString());
    }

    // an exec gives the pid a second image, with its own file next to the first
    void recordsEachImage()
    {
        QTemporaryDir dir;
        const QString output = dir.filePath(QStringLiteral("first.txt"));
        const auto run = runLauncher({QStringLiteral("-o"), output, QStringLiteral(FAKEWRITER_PATH), QStringLiteral("exec")}, dir.path());
        QCOMPARE(run.exitCode, 0);
        const auto files = filesIn(dir.path());
        QCOMPARE(files.size(), 2);
        QVERIFY(files.contains(QStringLiteral("first.txt")));
        const QString second = files.value(files.indexOf(QStringLiteral("first.txt")) == 0 ? 1 : 0);
        QVERIFY2(QRegularExpression(QStringLiteral("^memloupe\\.memloupe_fakewriter\\.\\d+$")).match(second).hasMatch(), qPrintable(second));
        QCOMPARE(traceLines(output).filter(QRegularExpression(QStringLiteral("^\\+ "))).size(), 1);
        QCOMPARE(traceLines(dir.filePath(second)).filter(QRegularExpression(QStringLiteral("^\\+ "))).size(), 8);
        QVERIFY2(run.errors.count(QStringLiteral("memloupe: wrote ")) == 2, qPrintable(run.errors));
    }

    // refusals: the exit code, a message, and never a trace file left behind
    void refusesToStart_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("preload");

        const QString nopreload = QStringLiteral(MEMLOUPE_NOPRELOAD_PATH);
        const QString plain = m_dir.filePath(QStringLiteral("not-executable"));
        QFile file(plain);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("data\n");
        file.close();
        const QString script = m_dir.filePath(QStringLiteral("static-script"));
        QFile scriptFile(script);
        QVERIFY(scriptFile.open(QIODevice::WriteOnly));
        scriptFile.write("#!" STATIC_PROGRAM_PATH "\n");
        scriptFile.close();
        QVERIFY(scriptFile.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));

        QTest::newRow("not in PATH") << QStringList{QStringLiteral("memloupe-test-no-such-command")} << 127 << QStringLiteral("command not found") << nopreload;
        QTest::newRow("no such file") << QStringList{QStringLiteral("./no/such/program")} << 127 << QStringLiteral("No such file") << nopreload;
        QTest::newRow("not executable") << QStringList{plain} << 126 << QStringLiteral("Permission denied") << nopreload;
        QTest::newRow("directory") << QStringList{m_dir.path()} << 126 << QStringLiteral("directory") << nopreload;
        QTest::newRow("static") << QStringList{QStringLiteral(STATIC_PROGRAM_PATH)} << 1 << QStringLiteral("statically linked") << nopreload;
        QTest::newRow("script of a static interpreter") << QStringList{script} << 1 << QStringLiteral("statically linked") << nopreload;
        QTest::newRow("output directory missing") << QStringList{QStringLiteral("-o"),
                                                                 QStringLiteral("no-such-dir/out.zst"),
                                                                 QStringLiteral(FAKEWRITER_PATH),
                                                                 QStringLiteral("deltas")}
                                                  << 1 << QStringLiteral("cannot write") << nopreload;
        QTest::newRow("output below a file") << QStringList{QStringLiteral("-o"),
                                                            plain + QStringLiteral("/out.zst"),
                                                            QStringLiteral(FAKEWRITER_PATH),
                                                            QStringLiteral("deltas")}
                                             << 1 << QStringLiteral("cannot write") << nopreload;
        QTest::newRow("no preload library") << QStringList{QStringLiteral(FAKEWRITER_PATH), QStringLiteral("deltas")} << 1 << QStringLiteral("cannot find")
                                            << QStringLiteral("/nonexistent/libmemloupe_preload.so");
        QTest::newRow("unknown option") << QStringList{QStringLiteral("--frobnicate"), QStringLiteral(FAKEWRITER_PATH)} << 2 << QStringLiteral("unknown option")
                                        << nopreload;
        // the preload library ignored: the program's status, a warning, no file
        QTest::newRow("never connected") << QStringList{QStringLiteral(FAKEWRITER_PATH), QStringLiteral("exit"), QStringLiteral("5")} << 5
                                         << QStringLiteral("never connected") << nopreload;
    }
    void refusesToStart()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, message);
        QFETCH(QString, preload);
        QTemporaryDir work;
        const auto run = runLauncher(arguments, work.path(), preload);
        QCOMPARE(run.exitCode, exitCode);
        QVERIFY2(run.errors.contains(message), qPrintable(run.errors));
        QCOMPARE(filesIn(work.path()), QStringList());
    }

    void refusesSetUserId()
    {
        if (geteuid() != 0) {
            QSKIP("needs root to give a program another owner");
        }
        QTemporaryDir work;
        const QString copy = work.filePath(QStringLiteral("setuid-program"));
        QVERIFY(QFile::copy(QStringLiteral(FAKEWRITER_PATH), copy));
        QCOMPARE(chown(QFile::encodeName(copy).constData(), 65534, 65534), 0);
        QCOMPARE(chmod(QFile::encodeName(copy).constData(), 04755), 0);
        const auto run = runLauncher({copy, QStringLiteral("deltas")}, work.path());
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.errors.contains(QStringLiteral("set-user-id")), qPrintable(run.errors));
        QCOMPARE(filesIn(work.path()), QStringList{QStringLiteral("setuid-program")});
    }

    void defaultOutputName()
    {
        QTemporaryDir work;
        const auto run = runLauncher({QStringLiteral("--"), QStringLiteral(FAKEWRITER_PATH), QStringLiteral("deltas")}, work.path());
        QCOMPARE(run.exitCode, 0);
        const auto files = filesIn(work.path());
        QCOMPARE(files.size(), 1);
        QVERIFY2(QRegularExpression(QStringLiteral("^memloupe\\.memloupe_fakewriter\\.\\d+\\.zst$")).match(files[0]).hasMatch(), qPrintable(files[0]));
        QVERIFY2(run.errors.contains(QStringLiteral("open it with: memloupe_gui ") + files[0]), qPrintable(run.errors));
        const auto json = reportJson(work.filePath(files[0]));
        QCOMPARE(costText(json.value(QLatin1String("summary")).toObject()), QStringLiteral("8/0/724/724"));
    }

private:
    QTemporaryDir m_dir;
};

QTEST_GUILESS_MAIN(TestLauncher)

#include "tst_launcher.moc"
