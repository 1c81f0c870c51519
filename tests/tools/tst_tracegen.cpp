/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    The trace generator checked against the project's own reader: every format
    and compression reads without a diagnostic and yields exactly the totals the
    generator counted itself, the heap events do not depend on the format, and
    the output is reproducible from the seed.
*/

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <map>
#include <memory>
#include <sstream>

#include "options.h"
#include "testutils.h"

namespace
{
struct Run {
    int exitCode = -1;
    QByteArray standardOutput;
    QByteArray standardError;
};

Run runGenerator(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral(TRACEGEN_EXECUTABLE), arguments);
    Run run;
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit) {
        return run;
    }
    run.exitCode = process.exitCode();
    run.standardOutput = process.readAllStandardOutput();
    run.standardError = process.readAllStandardError();
    return run;
}

// "name value" lines of --stats, the value decimal; a name may contain blanks
std::map<std::string, uint64_t> parseStats(const QByteArray &text)
{
    std::map<std::string, uint64_t> stats;
    std::istringstream in(text.toStdString());
    std::string line;
    while (std::getline(in, line)) {
        const auto blank = line.rfind(' ');
        if (blank != std::string::npos) {
            stats[line.substr(0, blank)] = std::stoull(line.substr(blank + 1));
        }
    }
    return stats;
}

struct Reading {
    bool ok = false;
    std::string diagnostics;
    std::unique_ptr<RecordingData> data = std::make_unique<RecordingData>();
};

Reading readTrace(const QString &path)
{
    Reading reading;
    reading.data->filterParameters.disableBuiltinSuppressions = true;
    StderrCapture capture;
    reading.ok = reading.data->read(path.toStdString(), false);
    reading.diagnostics = capture.finish();
    return reading;
}

QByteArray fileContents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList smallTrace(int seed, int format, const QString &output)
{
    return {QStringLiteral("--seed"),
            QString::number(seed),
            QStringLiteral("--allocations"),
            QStringLiteral("20000"),
            QStringLiteral("--stacks"),
            QStringLiteral("3000"),
            QStringLiteral("--format"),
            QString::number(format),
            QStringLiteral("--output"),
            output,
            QStringLiteral("--stats")};
}
}

class TestTraceGen : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
    }

    void readerAgreesInEveryFormatAndCompression()
    {
        std::unique_ptr<RecordingData> reference;
        for (int format = 0; format <= 3; ++format) {
            for (const char *suffix : {"", ".gz", ".zst"}) {
                const QString path = m_dir.filePath(QStringLiteral("agree-%1.trace%2").arg(format).arg(QLatin1String(suffix)));
                const QString context = QStringLiteral("format %1%2").arg(format).arg(QLatin1String(suffix));
                const Run run = runGenerator(smallTrace(7, format, path));
                QVERIFY2(run.exitCode == 0, qPrintable(context + QLatin1Char(' ') + QString::fromLocal8Bit(run.standardError)));
                auto stats = parseStats(run.standardError);

                Reading reading = readTrace(path);
                QVERIFY2(reading.ok, qPrintable(context));
                QVERIFY2(reading.diagnostics.empty(), qPrintable(context + QLatin1Char(' ') + QString::fromStdString(reading.diagnostics)));
                const RecordingData &data = *reading.data;

                // what the reader counted is what the generator meant to write
                QCOMPARE(uint64_t(data.totalCost.allocations), stats["allocations"]);
                QCOMPARE(uint64_t(data.totalCost.temporary), stats["temporary"]);
                QCOMPARE(uint64_t(data.totalCost.leaked), stats["leaked"]);
                QCOMPARE(uint64_t(data.totalCost.peak), stats["peak"]);
                QCOMPARE(uint64_t(data.traces.size()), stats["traces"]);
                QCOMPARE(uint64_t(data.instructionPointers.size()), stats["ips"]);
                QCOMPARE(uint64_t(data.strings.size()), stats["strings"]);
                QCOMPARE(uint64_t(data.totalTime), stats["last time stamp"] + 1);
                QCOMPARE(uint64_t(data.allocationCalls.size()), stats["allocations"]);

                QVERIFY(data.totalCost.allocations > 20000);
                QVERIFY(data.totalCost.temporary > 0);
                QVERIFY(data.totalCost.leaked > 0);
                QVERIFY(data.totalCost.peak > data.totalCost.leaked);
                QVERIFY(data.peakTime > 0 && data.peakTime < data.totalTime);
                QVERIFY(data.peakRSS > 0);
                QCOMPARE(data.systemInfo.pageSize, int64_t(4096));
                QCOMPARE(data.debuggees.size(), std::size_t(1));

                if (!reference) {
                    reference = std::move(reading.data);
                    continue;
                }
                // the heap events do not depend on the format
                QCOMPARE(data.totalCost.allocations, reference->totalCost.allocations);
                QVERIFY(data.totalCost == reference->totalCost);
                QCOMPARE(data.peakTime, reference->peakTime);
                QCOMPARE(data.peakRSS, reference->peakRSS);
                QCOMPARE(data.strings, reference->strings);
                QCOMPARE(data.allocationInfos.size(), reference->allocationInfos.size());
                QCOMPARE(data.allocations.size(), reference->allocations.size());
                for (std::size_t i = 0; i < data.allocations.size(); ++i) {
                    QCOMPARE(data.allocations[i].traceIndex.index, reference->allocations[i].traceIndex.index);
                    QVERIFY2(data.allocations[i] == reference->allocations[i], qPrintable(context));
                }
            }
        }
    }

    void traceHasTheShapeOfARealProgram()
    {
        const QString path = m_dir.filePath(QStringLiteral("shape.zst"));
        QCOMPARE(runGenerator(smallTrace(11, 3, path)).exitCode, 0);
        Reading reading = readTrace(path);
        QVERIFY(reading.ok);
        RecordingData &data = *reading.data;

        // call stacks end in main, and operator new frames were there to skip
        QVERIFY(std::any_of(data.stopIndices.begin(), data.stopIndices.end(), [&](StringIndex index) {
            return data.strings[index.index - 1] == "main";
        }));
        QVERIFY(!data.opNewIpIndices.empty());
        QVERIFY(std::any_of(data.instructionPointers.begin(), data.instructionPointers.end(), [](const InstructionPointer &ip) {
            return !ip.inlined.empty();
        }));
        for (std::size_t i = 0; i < data.traces.size(); ++i) {
            QVERIFY(data.traces[i].parentIndex.index <= i);
        }
        // time passes in steps of a few milliseconds
        std::vector<int64_t> steps;
        for (const auto &call : data.timeStamps) {
            if (call.pass == AccumulatedTraceData::SecondPass && !call.isFinal) {
                QVERIFY(call.newStamp > call.oldStamp);
                steps.push_back(call.newStamp - call.oldStamp);
            }
        }
        QVERIFY(steps.size() > 2);
        std::sort(steps.begin(), steps.end());
        QVERIFY(steps[steps.size() / 2] >= 2 && steps[steps.size() / 2] <= 10);
        // leaks spread over more than one call stack
        const auto leakingStacks = std::count_if(data.allocations.begin(), data.allocations.end(), [](const Allocation &allocation) {
            return allocation.leaked > 0;
        });
        QVERIFY(leakingStacks > 1);

        // the embedded suppression names a function whose blocks leak
        QCOMPARE(data.suppressions.size(), std::size_t(1));
        const int64_t leaked = data.totalCost.leaked;
        data.applyLeakSuppressions();
        QVERIFY(data.totalLeakedSuppressed > 0);
        QCOMPARE(data.totalCost.leaked + data.totalLeakedSuppressed, leaked);
    }

    void outputIsReproducible()
    {
        for (const char *suffix : {"", ".gz", ".zst"}) {
            const QString first = m_dir.filePath(QStringLiteral("first%1").arg(QLatin1String(suffix)));
            const QString second = m_dir.filePath(QStringLiteral("second%1").arg(QLatin1String(suffix)));
            const QString other = m_dir.filePath(QStringLiteral("other%1").arg(QLatin1String(suffix)));
            QCOMPARE(runGenerator(smallTrace(5, 0, first)).exitCode, 0);
            QCOMPARE(runGenerator(smallTrace(5, 0, second)).exitCode, 0);
            QCOMPARE(runGenerator(smallTrace(6, 0, other)).exitCode, 0);
            const QByteArray bytes = fileContents(first);
            QVERIFY(!bytes.isEmpty());
            QVERIFY(bytes == fileContents(second));
            QVERIFY(bytes != fileContents(other));
        }

        // without an output file the same text goes to standard output
        QStringList arguments = smallTrace(5, 0, QString());
        arguments.removeAt(arguments.indexOf(QStringLiteral("--output")) + 1);
        arguments.removeOne(QStringLiteral("--output"));
        const Run toStdout = runGenerator(arguments);
        QCOMPARE(toStdout.exitCode, 0);
        QVERIFY(toStdout.standardOutput == fileContents(m_dir.filePath(QStringLiteral("first"))));
    }

    void sizeLimitIsApproximatelyMet_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QString>("suffix");
        // the larger ones span several output buffers and compressor calls
        QTest::newRow("format 3, 600K, plain") << 3 << qint64(600 * 1024) << QString();
        QTest::newRow("format 0, 600K, gzip") << 0 << qint64(600 * 1024) << QStringLiteral(".gz");
        QTest::newRow("format 1, 12M, zstd") << 1 << qint64(12 * 1024 * 1024) << QStringLiteral(".zst");
        QTest::newRow("format 0, 12M, gzip") << 0 << qint64(12 * 1024 * 1024) << QStringLiteral(".gz");
    }

    void sizeLimitIsApproximatelyMet()
    {
        QFETCH(int, format);
        QFETCH(qint64, size);
        QFETCH(QString, suffix);
        const QString path = m_dir.filePath(QStringLiteral("sized-%1-%2%3").arg(format).arg(size).arg(suffix));
        const Run run = runGenerator({QStringLiteral("--size"),
                                      QString::number(size),
                                      QStringLiteral("--stacks"),
                                      QStringLiteral("2000"),
                                      QStringLiteral("--format"),
                                      QString::number(format),
                                      QStringLiteral("--output"),
                                      path,
                                      QStringLiteral("--stats")});
        QCOMPARE(run.exitCode, 0);
        auto stats = parseStats(run.standardError);
        const auto written = qint64(stats["bytes"]);
        QVERIFY2(written > size * 95 / 100 && written < size * 105 / 100, qPrintable(QString::number(written)));
        if (suffix.isEmpty()) {
            QCOMPARE(QFile(path).size(), written);
        } else {
            QVERIFY(QFile(path).size() < written / 3);
        }

        Reading reading = readTrace(path);
        QVERIFY(reading.ok);
        QVERIFY2(reading.diagnostics.empty(), reading.diagnostics.c_str());
        const RecordingData &data = *reading.data;
        QCOMPARE(data.parsingState.readUncompressedByte, written);
        QCOMPARE(uint64_t(data.totalCost.allocations), stats["allocations"]);
        QCOMPARE(uint64_t(data.totalCost.temporary), stats["temporary"]);
        QCOMPARE(uint64_t(data.totalCost.leaked), stats["leaked"]);
        QCOMPARE(uint64_t(data.totalCost.peak), stats["peak"]);
    }

    void badCommandLinesAreRefused_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        const QString gz = QStringLiteral("--output=") + QDir::tempPath() + QStringLiteral("/memloupe-tracegen-unused.gz");
        QTest::newRow("unknown option") << QStringList{QStringLiteral("--sed"), QStringLiteral("1")} << 2;
        QTest::newRow("missing value") << QStringList{QStringLiteral("--seed")} << 2;
        QTest::newRow("bad size") << QStringList{QStringLiteral("--size"), QStringLiteral("12X")} << 2;
        QTest::newRow("format 4") << QStringList{QStringLiteral("--format=4")} << 2;
        QTest::newRow("too few stacks") << QStringList{QStringLiteral("--stacks"), QStringLiteral("10")} << 2;
        QTest::newRow("level without compression") << QStringList{QStringLiteral("--level"), QStringLiteral("3")} << 2;
        QTest::newRow("level out of range") << QStringList{gz, QStringLiteral("--level=99")} << 1;
        QTest::newRow("unwritable output") << QStringList{QStringLiteral("--output"), QStringLiteral("/nonexistent-dir/trace.zst")} << 1;
    }

    void badCommandLinesAreRefused()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        const Run run = runGenerator(arguments);
        QCOMPARE(run.exitCode, exitCode);
        QVERIFY(run.standardOutput.isEmpty());
        QVERIFY(run.standardError.startsWith("memloupe-tracegen: "));
    }

    void byteSizes_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<quint64>("expected");
        QTest::newRow("plain") << QStringLiteral("4096") << true << quint64(4096);
        QTest::newRow("kibibytes") << QStringLiteral("3k") << true << quint64(3072);
        QTest::newRow("mebibytes") << QStringLiteral("100M") << true << quint64(100) * 1024 * 1024;
        QTest::newRow("gibibytes") << QStringLiteral("1G") << true << (quint64(1) << 30);
        QTest::newRow("tebibytes") << QStringLiteral("2t") << true << (quint64(2) << 40);
        QTest::newRow("empty") << QString() << false << quint64(0);
        QTest::newRow("suffix only") << QStringLiteral("M") << false << quint64(0);
        QTest::newRow("zero") << QStringLiteral("0") << false << quint64(0);
        QTest::newRow("negative") << QStringLiteral("-5") << false << quint64(0);
        QTest::newRow("unknown suffix") << QStringLiteral("12X") << false << quint64(0);
        QTest::newRow("two suffixes") << QStringLiteral("1MB") << false << quint64(0);
        QTest::newRow("overflow by suffix") << QStringLiteral("17179869184G") << false << quint64(0);
        QTest::newRow("overflow by digits") << QStringLiteral("18446744073709551616") << false << quint64(0);
    }

    void byteSizes()
    {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QFETCH(quint64, expected);
        uint64_t size = 7;
        QCOMPARE(parseByteSize(text.toStdString(), &size), valid);
        QCOMPARE(quint64(size), valid ? expected : quint64(7));
    }

private:
    QTemporaryDir m_dir;
};

QTEST_GUILESS_MAIN(TestTraceGen)

#include "tst_tracegen.moc"
