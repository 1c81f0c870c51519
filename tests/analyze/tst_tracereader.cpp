/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "analyze/eventlog.h"
#include "testutils.h"

Q_DECLARE_METATYPE(std::string)
Q_DECLARE_METATYPE(Compression)

namespace
{
// a read that takes longer than this on a few kilobytes is as good as hung
constexpr qint64 READ_TIME_LIMIT_MS = 5000;

QStringList latin1List(std::initializer_list<const char *> items)
{
    QStringList result;
    for (const char *item : items) {
        result << QString::fromLatin1(item);
    }
    return result;
}

QStringList timeStampsOf(const RecordingData &data, AccumulatedTraceData::ParsePass pass)
{
    QStringList result;
    for (const auto &call : data.timeStamps) {
        if (call.pass == pass) {
            result << QStringLiteral("%1->%2%3").arg(call.oldStamp).arg(call.newStamp).arg(QLatin1String(call.isFinal ? " final" : ""));
        }
    }
    return result;
}

QList<uint> allocationCallIndices(const RecordingData &data)
{
    QList<uint> result;
    for (const auto &call : data.allocationCalls) {
        result << call.index.index;
    }
    return result;
}

std::string repeated(const std::string &text, int times)
{
    std::string result;
    for (int i = 0; i < times; ++i) {
        result += text;
    }
    return result;
}

const std::vector<std::string> SAMPLE_STRINGS = {"main", "operator new(unsigned long)", "foo", "bar", "/usr/bin/app", "app.cpp"};

// Two allocation infos, (16 bytes, trace 4) and (32 bytes, trace 5); traces 4 and 5
// are operator new called from foo and bar. The events reach the peak of 80 bytes
// at 20 ms, then the same total again at 30 ms with a different distribution.
struct SampleEvent {
    char type;
    int info;
    uint64_t value; // block address, or the time stamp of a 'c'
};
const std::vector<SampleEvent> SAMPLE_EVENTS = {
    {'+', 0, 0x1000},
    {'+', 1, 0x2000},
    {'-', 0, 0x1000},
    {'c', 0, 10},
    {'+', 0, 0x1000},
    {'-', 0, 0x1000},
    {'c', 0, 20},
    {'+', 1, 0x3000},
    {'+', 0, 0x4000},
    {'c', 0, 30},
    {'-', 1, 0x3000},
    {'+', 0, 0x5000},
    {'+', 0, 0x6000},
    {'c', 0, 40},
};
const uint64_t SAMPLE_SIZES[] = {0x10, 0x20};
const uint32_t SAMPLE_TRACES[] = {4, 5};

std::string sampleTrace(const std::string &versionLine, int format)
{
    std::string text = versionLine;
    text += "X ./app --flag x\n# a comment\n\n";
    for (const auto &string : SAMPLE_STRINGS) {
        text += stringRecord(format, string);
    }
    text += "I 1000 100\n";
    text += "i 401000 5 2 0 0\n"; // operator new
    text += "i 401100 5 3 6 a\n"; // foo, app.cpp:10
    text += "i 401200 5 4 6 14 3 6 15 1\n"; // bar app.cpp:20, inlined foo app.cpp:21, a stray field
    text += "i 401300 5 1 6 1e\n"; // main
    text += "t 4 0\nt 2 1\nt 3 1\nt 1 2\nt 1 3\n";
    if (format >= 1) {
        text += "a 10 4\na 20 5\n";
    }
    text += "R 30\n";
    for (const auto &event : SAMPLE_EVENTS) {
        if (event.type == 'c') {
            text += "c " + hex(event.value) + "\n";
        } else if (format == 0 && event.type == '+') {
            text += "+ " + hex(SAMPLE_SIZES[event.info]) + " " + hex(SAMPLE_TRACES[event.info]) + " " + hex(event.value) + "\n";
        } else if (format == 0) {
            text += "- " + hex(event.value) + "\n";
        } else {
            text += std::string(1, event.type) + " " + hex(event.info) + "\n";
        }
    }
    text += "R 50\nR 40\n";
    return text;
}
}

// Everything a sequence of passes leaves behind and hands to its hooks, as text.
std::string passesText(const RecordingData &data, bool withBytesRead = true)
{
    std::ostringstream out;
    out << "total " << costsText(data.totalCost).toStdString() << " peakTime " << data.peakTime << " peakRSS " << data.peakRSS << " time " << data.totalTime
        << " page " << data.systemInfo.pageSize << " pages " << data.systemInfo.pages << "\n";
    for (const auto &allocation : data.allocations) {
        out << "allocation " << allocation.traceIndex.index << " " << costsText(allocation).toStdString() << "\n";
    }
    for (const auto &call : data.timeStamps) {
        out << "stamp " << call.pass << " " << call.oldStamp << " " << call.newStamp << (call.isFinal ? " final" : "") << "\n";
    }
    for (const auto &call : data.allocationCalls) {
        out << "hook " << call.index.index << " " << call.info.size << " " << call.info.allocationIndex.index << "\n";
    }
    for (const auto &suppression : data.suppressions) {
        out << "suppression " << suppression.pattern << "\n";
    }
    for (const auto &debuggee : data.debuggees) {
        out << "debuggee " << debuggee << "\n";
    }
    out << "infos " << data.allocationInfos.size() << "\n";
    if (withBytesRead) {
        out << "read " << data.parsingState.readCompressedByte << " " << data.parsingState.readUncompressedByte << "\n";
    }
    return out.str();
}

class TestTraceReader : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    int m_fileCounter = 0;

    std::string newPath(Compression compression)
    {
        return m_dir.path().toStdString() + "/trace" + std::to_string(++m_fileCounter) + suffixFor(compression);
    }

    // Empty on failure, so callers can QVERIFY the result.
    std::string writeTrace(const std::string &contents, Compression compression = Compression::None)
    {
        const auto path = newPath(compression);
        return writeTraceFile(path, contents, compression) ? path : std::string();
    }

    static void addCompressionColumn()
    {
        QTest::addColumn<Compression>("compression");
    }

    static void verifySampleCosts(const RecordingData &data, bool afterThirdPass)
    {
        QCOMPARE(costsText(data.totalCost), costsText(7, 1, 0x50, 0x50));
        QCOMPARE(data.peakTime, int64_t(20));
        QCOMPARE(data.allocations.size(), std::size_t(2));
        QCOMPARE(data.allocations[0].traceIndex.index, 4u);
        QCOMPARE(data.allocations[1].traceIndex.index, 5u);
        // the second pass snapshots the live bytes at the first-pass peak
        // (20 ms), not at the later moment with the same total
        QCOMPARE(costsText(data.allocations[0]), costsText(5, 1, 0x30, afterThirdPass ? 0 : 0x10));
        QCOMPARE(costsText(data.allocations[1]), costsText(2, 0, 0x20, afterThirdPass ? 0 : 0x40));
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
    }

    void testFormats_data()
    {
        QTest::addColumn<std::string>("versionLine");
        QTest::addColumn<int>("format");
        addCompressionColumn();

        const std::vector<std::pair<const char *, Compression>> compressions = {{"plain", Compression::None},
                                                                                {"gzip", Compression::Gzip},
                                                                                {"zstd", Compression::Zstd}};
        for (const auto &compression : compressions) {
            auto row = [&](const char *name, const char *versionLine, int format) {
                QTest::addRow("%s %s", name, compression.first) << std::string(versionLine) << format << compression.second;
            };
            row("format 0 without version", "", 0);
            // another program version without a format number does not imply format 1
            row("format 0 other program version", "v 10100\n", 0);
            row("format 1 implied by program version", "v 10200\n", 1);
            row("format 1", "v 10500 1\n", 1);
            row("format 2", "v 10500 2\n", 2);
            row("format 3", "v 10500 3\n", 3);
        }
    }

    void testFormats()
    {
        QFETCH(std::string, versionLine);
        QFETCH(int, format);
        QFETCH(Compression, compression);

        const auto text = sampleTrace(versionLine, format);
        const auto path = writeTrace(text, compression);
        QVERIFY(!path.empty());

        RecordingData data;
        StderrCapture capture;
        QVERIFY(data.read(path, false));
        QCOMPARE(capture.finish(), std::string());

        QCOMPARE(data.strings, SAMPLE_STRINGS);
        QCOMPARE(data.stopIndices.size(), std::size_t(1));
        QCOMPARE(data.stopIndices[0].index, 1u);
        QCOMPARE(data.opNewIpIndices.size(), std::size_t(1));
        QCOMPARE(data.opNewIpIndices[0].index, 1u);

        QCOMPARE(data.instructionPointers.size(), std::size_t(4));
        const auto &bar = data.instructionPointers[2];
        QCOMPARE(bar.instructionPointer, uint64_t(0x401200));
        QCOMPARE(bar.moduleIndex.index, 5u);
        QCOMPARE(bar.frame.functionIndex.index, 4u);
        QCOMPARE(bar.frame.fileIndex.index, 6u);
        QCOMPARE(bar.frame.line, 20);
        QCOMPARE(bar.inlined.size(), std::size_t(1));
        QCOMPARE(bar.inlined[0].functionIndex.index, 3u);
        QCOMPARE(bar.inlined[0].line, 21);

        // operator new is charged to its caller
        QCOMPARE(data.traces.size(), std::size_t(5));
        QCOMPARE(data.traces[3].ipIndex.index, 2u);
        QCOMPARE(data.traces[3].parentIndex.index, 1u);
        QCOMPARE(data.traces[4].ipIndex.index, 3u);
        QCOMPARE(data.traces[4].parentIndex.index, 1u);

        QCOMPARE(data.allocationInfos.size(), std::size_t(2));
        QCOMPARE(data.allocationInfos[0].size, uint64_t(0x10));
        QCOMPARE(data.allocationInfos[0].allocationIndex.index, 0u);
        QCOMPARE(data.allocationInfos[1].size, uint64_t(0x20));
        QCOMPARE(data.allocationInfos[1].allocationIndex.index, 1u);

        verifySampleCosts(data, false);
        if (QTest::currentTestFailed()) {
            return;
        }
        QCOMPARE(data.totalTime, int64_t(41));
        QCOMPARE(data.filterParameters.maxTime, int64_t(41));
        QCOMPARE(data.peakRSS, int64_t(0x50));
        QCOMPARE(data.systemInfo.pageSize, int64_t(0x1000));
        QCOMPARE(data.systemInfo.pages, int64_t(0x100));
        QVERIFY(!data.fromAttached);

        const QStringList stamps = latin1List({"0->10", "10->20", "20->30", "30->40", "40->41 final"});
        QCOMPARE(timeStampsOf(data, AccumulatedTraceData::FirstPass), stamps);
        QCOMPARE(timeStampsOf(data, AccumulatedTraceData::SecondPass), stamps);
        QCOMPARE(allocationCallIndices(data), (QList<uint>{0, 1, 0, 1, 0, 0, 0}));
        for (const auto &call : data.allocationCalls) {
            QCOMPARE(call.info.size, data.allocationInfos[call.index.index].size);
            QCOMPARE(call.info.allocationIndex, data.allocationInfos[call.index.index].allocationIndex);
        }
        QCOMPARE(data.debuggees, std::vector<std::string>{"./app --flag x"});

        const auto fileSize = QFileInfo(QString::fromStdString(path)).size();
        QCOMPARE(data.parsingState.fileSize, fileSize);
        QCOMPARE(data.parsingState.readCompressedByte, fileSize);
        QCOMPARE(data.parsingState.readUncompressedByte, int64_t(text.size()));
        QCOMPARE(data.parsingState.pass, AccumulatedTraceData::SecondPass);
        QVERIFY(!data.parsingState.reparsing);

        // a third pass recounts everything but takes no peak snapshot
        QVERIFY(data.read(path, AccumulatedTraceData::ThirdPass, false));
        verifySampleCosts(data, true);
        if (QTest::currentTestFailed()) {
            return;
        }
        QCOMPARE(data.allocationInfos.size(), std::size_t(2));
        QCOMPARE(data.debuggees.size(), std::size_t(2));

        // a reparse reads no tables and keeps the run's length
        data.timeStamps.clear();
        data.allocationCalls.clear();
        QVERIFY(data.read(path, true));
        verifySampleCosts(data, false);
        if (QTest::currentTestFailed()) {
            return;
        }
        QCOMPARE(data.strings.size(), SAMPLE_STRINGS.size());
        QCOMPARE(data.instructionPointers.size(), std::size_t(4));
        QCOMPARE(data.traces.size(), std::size_t(5));
        QCOMPARE(data.allocationInfos.size(), std::size_t(2));
        QCOMPARE(data.totalTime, int64_t(41));
        QCOMPARE(data.debuggees.size(), std::size_t(2));
        QCOMPARE(allocationCallIndices(data), (QList<uint>{0, 1, 0, 1, 0, 0, 0}));
        QVERIFY(data.parsingState.reparsing);
    }

    void testFinalLineBreak_data()
    {
        QTest::addColumn<bool>("finalLineBreak");
        addCompressionColumn();
        for (bool lineBreak : {true, false}) {
            const char *name = lineBreak ? "line break" : "no line break";
            QTest::addRow("%s plain", name) << lineBreak << Compression::None;
            QTest::addRow("%s gzip", name) << lineBreak << Compression::Gzip;
            QTest::addRow("%s zstd", name) << lineBreak << Compression::Zstd;
        }
    }

    void testFinalLineBreak()
    {
        QFETCH(bool, finalLineBreak);
        QFETCH(Compression, compression);

        // the last record must count either way
        std::string text = "v 10500 2\na 10 1\n+ 0\n+ 0\nc 5\n- 0";
        if (finalLineBreak) {
            text += "\n";
        }
        const auto path = writeTrace(text, compression);
        QVERIFY(!path.empty());
        RecordingData data;
        StderrCapture capture;
        QVERIFY(data.read(path, false));
        QCOMPARE(capture.finish(), std::string());
        QCOMPARE(costsText(data.totalCost), costsText(2, 1, 0x10, 0x20));
        QCOMPARE(data.totalTime, int64_t(6));
        QCOMPARE(data.parsingState.readUncompressedByte, int64_t(text.size()));
    }

    void testProgressWithinBlocks_data()
    {
        addCompressionColumn();
        QTest::newRow("plain") << Compression::None;
        QTest::newRow("gzip") << Compression::Gzip;
        QTest::newRow("zstd") << Compression::Zstd;
    }

    void testProgressWithinBlocks()
    {
        QFETCH(Compression, compression);

        // a few MB of text in few decompression blocks: progress must still move
        // on at every time stamp, never back, and end at the file size
        std::string text = "v 10500 3\na 10 1\n";
        for (int stamp = 1; stamp <= 20000; ++stamp) {
            text += "c " + hex(stamp) + "\n";
            for (int i = 0; i < 10; ++i) {
                text += "+ 0\n- 0\n";
            }
        }
        const auto path = writeTrace(text, compression);
        QVERIFY(!path.empty());

        struct ProgressData : RecordingData {
            void handleTimeStamp(int64_t oldStamp, int64_t newStamp, bool isFinal, ParsePass pass) override
            {
                compressed.push_back(parsingState.readCompressedByte);
                RecordingData::handleTimeStamp(oldStamp, newStamp, isFinal, pass);
            }
            std::vector<int64_t> compressed;
        } data;
        QVERIFY(data.read(path, AccumulatedTraceData::FirstPass, false));
        QVERIFY(std::is_sorted(data.compressed.begin(), data.compressed.end()));
        const auto distinct = std::unique(data.compressed.begin(), data.compressed.end()) - data.compressed.begin();
        QVERIFY2(distinct > 1000, std::to_string(distinct).c_str());
        QCOMPARE(data.parsingState.readCompressedByte, data.parsingState.fileSize);
    }

    void testEmptyFile_data()
    {
        addCompressionColumn();
        QTest::newRow("plain") << Compression::None;
        QTest::newRow("gzip") << Compression::Gzip;
        QTest::newRow("zstd") << Compression::Zstd;
    }

    void testEmptyFile()
    {
        QFETCH(Compression, compression);

        const auto path = writeTrace(std::string(), compression);
        QVERIFY(!path.empty());
        RecordingData data;
        StderrCapture capture;
        QVERIFY(data.read(path, false));
        QCOMPARE(capture.finish(), std::string());
        QCOMPARE(data.totalTime, int64_t(1));
        QCOMPARE(costsText(data.totalCost), costsText(0, 0, 0, 0));
        QCOMPARE(timeStampsOf(data, AccumulatedTraceData::FirstPass), latin1List({"0->1 final"}));
        QCOMPARE(timeStampsOf(data, AccumulatedTraceData::SecondPass), latin1List({"0->1 final"}));
        QCOMPARE(data.parsingState.fileSize, QFileInfo(QString::fromStdString(path)).size());
    }

    void testUnopenable_data()
    {
        QTest::addColumn<std::string>("name");
        QTest::addColumn<bool>("isDirectory");
        QTest::newRow("missing plain") << std::string("missing-trace") << false;
        QTest::newRow("missing gzip") << std::string("missing-trace.gz") << false;
        QTest::newRow("missing zstd") << std::string("missing-trace.zst") << false;
        QTest::newRow("directory") << std::string("directory") << true;
        QTest::newRow("directory with suffix") << std::string("directory.gz") << true;
    }

    void testUnopenable()
    {
        QFETCH(std::string, name);
        QFETCH(bool, isDirectory);

        const std::string path = m_dir.path().toStdString() + "/" + name;
        if (isDirectory) {
            QVERIFY(QDir().mkpath(QString::fromStdString(path)));
        }

        RecordingData data;
        StderrCapture capture;
        QVERIFY(!data.read(path, false));
        QVERIFY(!data.read(path, AccumulatedTraceData::SecondPass, true));
        QCOMPARE(capture.finish(), repeated("Failed to open memloupe log file: " + path + "\n", 2));
        QVERIFY(data.timeStamps.empty());
    }

    void testTooNewFormat_data()
    {
        QTest::addColumn<std::string>("versionLine");
        QTest::addColumn<std::string>("message");
        const std::string tail = "\nThis is not compatible with this build of memloupe (version 10500), which can read file format version 3 and below\n";
        QTest::newRow("format 4") << std::string("v 10600 4") << "The data file has version 4 and was written by memloupe version 10600)" + tail;
        QTest::newRow("numbers in hex") << std::string("v 1 1a") << "The data file has version 1a and was written by memloupe version 1)" + tail;
    }

    void testTooNewFormat()
    {
        QFETCH(std::string, versionLine);
        QFETCH(std::string, message);

        const auto path = writeTrace("X app\n" + versionLine + "\nc 5\n");
        QVERIFY(!path.empty());
        RecordingData data;
        StderrCapture capture;
        QVERIFY(!data.read(path, false));
        // the first pass fails, so no second pass runs
        QCOMPARE(capture.finish(), message);
        QVERIFY(data.timeStamps.empty());
    }

    void testDiagnostics_data()
    {
        QTest::addColumn<bool>("formatZero");
        QTest::addColumn<std::string>("badLine");
        QTest::addColumn<std::string>("message");
        QTest::addColumn<int>("reports");
        QTest::addColumn<QString>("kinds");

        // records read in every pass report in every pass; table records once
        auto row = [](const char *name, bool formatZero, const char *badLine, const std::string &message, int reports) {
            // what the message says, as kinds of diagnostics
            QStringList kinds;
            if (message.find("unexpected non-hex char") != std::string::npos) {
                kinds << QString::fromLatin1(TraceDiagnostics::key(TraceDiagnostics::UnreadableNumber));
            }
            if (message.find("failed to parse line: Z") != std::string::npos) {
                kinds << QString::fromLatin1(TraceDiagnostics::key(TraceDiagnostics::UnknownRecord));
            } else if (message.find("failed to parse line") != std::string::npos) {
                kinds << QString::fromLatin1(TraceDiagnostics::key(TraceDiagnostics::UnreadableRecord));
            }
            if (message.find("Failed to read time stamp") != std::string::npos) {
                kinds << QString::fromLatin1(TraceDiagnostics::key(TraceDiagnostics::UnreadableTimeStamp));
            }
            if (message.find("out of bounds") != std::string::npos) {
                kinds << QString::fromLatin1(TraceDiagnostics::key(TraceDiagnostics::IndexOutOfBounds));
            }
            QTest::newRow(name) << formatZero << std::string(badLine) << message << reports << kinds.join(QLatin1Char(' '));
        };
        row("unknown record", false, "Z 1", "failed to parse line: Z 1\n", 2);
        row("allocation non-hex", false, "+ g", "unexpected non-hex char: 103 2\nfailed to parse line: + g 314\n", 2);
        row("allocation without index", false, "+", "failed to parse line: + 314\n", 2);
        row("allocation out of bounds", false, "+ 7", "allocation index out of bounds: 7, maximum is: 2\n", 2);
        row("allocation just out of bounds", false, "+ 2", "allocation index out of bounds: 2, maximum is: 2\n", 2);
        row("free out of bounds", false, "- 7", "allocation index out of bounds: 7, maximum is: 2\n", 2);
        row("free just out of bounds", false, "- 2", "allocation index out of bounds: 2, maximum is: 2\n", 2);
        row("free without index", false, "-", "failed to parse line: -\n", 2);
        row("free non-hex", false, "- x", "unexpected non-hex char: 120 2\nfailed to parse line: - x\n", 2);
        row("time stamp non-hex", false, "c x", "unexpected non-hex char: 120 2\nFailed to read time stamp: c x\n", 2);
        row("time stamp missing", false, "c", "Failed to read time stamp: c\n", 2);
        row("allocation info short", false, "a 10", "failed to parse line: a 10\n", 1);
        row("allocation info non-hex", false, "a 1x 1", "unexpected non-hex char: 120 3\nfailed to parse line: a 1x 1\n", 1);
        row("trace non-hex", false, "t 1 x", "unexpected non-hex char: 120 4\n", 1);
        row("instruction pointer non-hex", false, "i 1 G", "unexpected non-hex char: 71 4\n", 1);
        row("system info non-hex", false, "I 1000 x", "unexpected non-hex char: 120 7\n", 2);
        row("resident size non-hex", false, "R x", "unexpected non-hex char: 120 2\n", 2);
        row("format 0 allocation short", true, "+ 10 1", "failed to parse line: + 10 1 327\n", 2);
        row("format 0 allocation non-hex", true, "+ 10 1 zz", "unexpected non-hex char: 122 7\nfailed to parse line: + 10 1 zz 327\n", 2);
        row("format 0 free non-hex", true, "- zz", "unexpected non-hex char: 122 2\nfailed to parse line: - zz\n", 2);
        row("format 0 free without address", true, "-", "failed to parse line: -\n", 2);
        row("format 0 free of unknown block", true, "- ff", "", 0);
        row("version non-hex", true, "v 10500 2X", "unexpected non-hex char: 88 9\n", 2);
    }

    void testDiagnostics()
    {
        QFETCH(bool, formatZero);
        QFETCH(std::string, badLine);
        QFETCH(std::string, message);
        QFETCH(int, reports);
        QFETCH(QString, kinds);

        // the bad line stands between an allocation and its release: skipping it
        // must neither change the costs nor break the temporary rule
        const std::string text =
            formatZero ? "+ 20 2 b0\n+ 10 1 a0\n" + badLine + "\n- a0\nc 5\n" : "v 10500 2\na 10 1\na 20 2\n+ 1\n+ 0\n" + badLine + "\n- 0\nc 5\n";
        const auto path = writeTrace(text);
        QVERIFY(!path.empty());

        RecordingData data;
        StderrCapture capture;
        QVERIFY(data.read(path, false));
        QCOMPARE(capture.finish(), repeated(message, reports));
        QCOMPARE(costsText(data.totalCost), costsText(2, 1, 0x20, 0x30));
        QCOMPARE(data.totalTime, int64_t(6));
        QCOMPARE(data.allocationInfos.size(), std::size_t(2));

        // each kind once, from the first pass only, at the bad line
        const int64_t badLineNumber = formatZero ? 3 : 6;
        QStringList found;
        for (int kind = 0; kind < TraceDiagnostics::NumKinds; ++kind) {
            const auto &entry = data.diagnostics.entries[static_cast<std::size_t>(kind)];
            if (entry.count == 0) {
                continue;
            }
            found << QString::fromLatin1(TraceDiagnostics::key(static_cast<TraceDiagnostics::Kind>(kind)));
            QCOMPARE(entry.count, int64_t(1));
            QCOMPARE(entry.samples.size(), std::size_t(1));
            QCOMPARE(entry.samples[0].lineNumber, badLineNumber);
            QCOMPARE(entry.samples[0].line, badLine);
        }
        QCOMPARE(found.join(QLatin1Char(' ')), kinds);
    }

    // Many bad lines of every kind, some in the fast path's runs of event lines:
    // counted in full, the first few kept with their line numbers, and neither a
    // second pass nor a reparse counts them again.
    void testDiagnosticsAsData_data()
    {
        addCompressionColumn();
        QTest::newRow("plain") << Compression::None;
        QTest::newRow("gzip") << Compression::Gzip;
        QTest::newRow("zstd") << Compression::Zstd;
    }

    void testDiagnosticsAsData()
    {
        QFETCH(Compression, compression);

        std::string text = "v 10500 2\na 10 1\na 20 2\n";
        int64_t lineNumber = 3;
        std::vector<std::pair<TraceDiagnostics::Kind, int64_t>> expected;
        const auto add = [&](const std::string &line, std::initializer_list<TraceDiagnostics::Kind> kinds) {
            text += line + "\n";
            ++lineNumber;
            for (auto kind : kinds) {
                expected.push_back({kind, lineNumber});
            }
        };
        for (int round = 0; round < 5; ++round) {
            // long runs of good event lines between the bad ones
            for (int i = 0; i < 500; ++i) {
                add("+ " + hex(i % 2), {});
                add("- " + hex(i % 2), {});
            }
            add("Z " + std::to_string(round), {TraceDiagnostics::UnknownRecord});
            add("+ " + hex(0x70 + round), {TraceDiagnostics::IndexOutOfBounds});
            add("- " + hex(0x20 + round), {TraceDiagnostics::IndexOutOfBounds});
            add("+ q", {TraceDiagnostics::UnreadableNumber, TraceDiagnostics::UnreadableRecord});
            add("-", {TraceDiagnostics::UnreadableRecord});
            add("a 10", {TraceDiagnostics::UnreadableRecord});
            add("c", {TraceDiagnostics::UnreadableTimeStamp});
            add("c y", {TraceDiagnostics::UnreadableNumber, TraceDiagnostics::UnreadableTimeStamp});
            add("R z", {TraceDiagnostics::UnreadableNumber});
            add("c " + hex(10 * (round + 1)), {});
        }
        const auto path = writeTrace(text, compression);
        QVERIFY(!path.empty());

        RecordingData data;
        StderrCapture capture;
        QVERIFY(data.read(path, false));
        const auto firstOutput = capture.finish();
        QVERIFY(!firstOutput.empty());
        QCOMPARE(data.totalCost.allocations, int64_t(5 * 500));

        const auto verify = [&]() {
            for (int kind = 0; kind < TraceDiagnostics::NumKinds; ++kind) {
                std::vector<int64_t> lines;
                for (const auto &entry : expected) {
                    if (entry.first == kind) {
                        lines.push_back(entry.second);
                    }
                }
                const auto &entry = data.diagnostics.entries[static_cast<std::size_t>(kind)];
                const auto name = TraceDiagnostics::key(static_cast<TraceDiagnostics::Kind>(kind));
                QVERIFY2(entry.count == int64_t(lines.size()), name);
                QVERIFY2(entry.samples.size() == std::min(lines.size(), TraceDiagnostics::MaxSamples), name);
                for (std::size_t i = 0; i < entry.samples.size(); ++i) {
                    QVERIFY2(entry.samples[i].lineNumber == lines[i], name);
                    // the sample is the line the number names
                    const auto &sample = entry.samples[i].line;
                    std::size_t start = 0;
                    for (int64_t l = 1; l < lines[i]; ++l) {
                        start = text.find('\n', start) + 1;
                    }
                    QVERIFY2(sample == text.substr(start, text.find('\n', start) - start), name);
                }
            }
        };
        verify();
        if (QTest::currentTestFailed()) {
            return;
        }

        StderrCapture later;
        QVERIFY(data.read(path, AccumulatedTraceData::ThirdPass, true));
        QVERIFY(data.read(path, true));
        later.finish();
        verify();
        if (QTest::currentTestFailed()) {
            return;
        }
        // a new read starts afresh instead of adding to the last one (the
        // tables read twice make the messages name other maxima)
        StderrCapture again;
        QVERIFY(data.read(path, false));
        const auto againOutput = again.finish();
        QCOMPARE(std::count(againOutput.begin(), againOutput.end(), '\n'), std::count(firstOutput.begin(), firstOutput.end(), '\n'));
        verify();
    }

    // The later passes and reparses read the event log the first pass took
    // down; with a budget too small for it they read the file again. Both must
    // give the same costs, hook calls and standard error, on good and bad lines
    // of every format, whole and in windows.
    void testEventLogLikeText_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<bool>("hostile");
        addCompressionColumn();
        const std::vector<std::pair<const char *, Compression>> compressions = {{"plain", Compression::None},
                                                                                {"gzip", Compression::Gzip},
                                                                                {"zstd", Compression::Zstd}};
        for (const auto &compression : compressions) {
            for (int format = 0; format <= 3; ++format) {
                for (bool hostile : {false, true}) {
                    QTest::addRow("format %d %s %s", format, hostile ? "hostile" : "clean", compression.first) << format << hostile << compression.second;
                }
            }
        }
    }

    void testEventLogLikeText()
    {
        QFETCH(int, format);
        QFETCH(bool, hostile);
        QFETCH(Compression, compression);

        std::string text = format == 0 ? std::string() : "v 10500 " + hex(format) + "\n";
        text += "X ./app\nI 1000 100\nS leak:bar\n";
        for (const auto &string : SAMPLE_STRINGS) {
            text += stringRecord(format, string);
        }
        text += "i 401000 5 2 0 0\ni 401100 5 3 6 a\ni 401200 5 4 6 14\ni 401300 5 1 6 1e\n";
        text += "t 4 0\nt 2 1\nt 3 1\nt 1 2\nt 1 3\n";
        const int infos = 6;
        if (format >= 1) {
            for (int i = 0; i < infos; ++i) {
                text += "a " + hex(0x10 * (i + 1)) + " " + hex(4 + i % 2) + "\n";
            }
        }
        uint32_t random = 4711;
        std::vector<std::pair<int, uint64_t>> live;
        uint64_t nextAddress = 0x1000;
        int64_t stamp = 0;
        // enough for a log of several chunks, so that windows step over some
        for (int i = 0; i < 120000; ++i) {
            random = random * 1103515245u + 12345u;
            const auto choice = (random >> 16) % 16;
            if (choice < 8 || live.empty()) {
                const int info = static_cast<int>((random >> 8) % infos);
                const auto address = nextAddress;
                nextAddress += 0x10;
                live.push_back({info, address});
                if (format == 0) {
                    text += "+ " + hex(0x10 * (info + 1)) + " " + hex(4 + info % 2) + " " + hex(address) + "\n";
                } else {
                    text += "+ " + hex(info) + "\n";
                }
            } else if (choice < 14) {
                const auto at = (random >> 4) % live.size();
                const auto freed = live[at];
                live.erase(live.begin() + static_cast<std::ptrdiff_t>(at));
                text += format == 0 ? "- " + hex(freed.second) + "\n" : "- " + hex(static_cast<uint64_t>(freed.first)) + "\n";
            } else if (choice == 14) {
                stamp += (random >> 20) % 5 + 1;
                text += "c " + hex(static_cast<uint64_t>(stamp)) + "\n";
            } else {
                text += "R " + hex((random >> 12) % 4096) + "\n";
            }
            if (hostile && i % 997 == 0) {
                static const char *const badLines[] =
                    {"Z 1", "+ g", "+", "+ 77", "- 66", "-", "- x", "c x", "c", "R x", "I 1000 x", "a 10", "v 10500 2X", "+ 10 1", "- zz"};
                text += std::string(badLines[(i / 997) % 15]) + "\n";
            }
        }
        const auto path = writeTrace(text, compression);
        QVERIFY(!path.empty());

        // whole, then reparsed in windows: the middle, the start, and the end with suppressions off
        const auto run = [&](std::string *output) {
            RecordingData data;
            StderrCapture capture;
            std::string result;
            QVERIFY(data.read(path, false));
            QVERIFY(data.read(path, AccumulatedTraceData::ThirdPass, true));
            result += passesText(data);
            const auto total = data.totalTime;
            const std::vector<std::pair<int64_t, int64_t>> windows = {{total / 3, 2 * total / 3}, {0, total / 4}, {total / 2, total}};
            for (const auto &window : windows) {
                data.timeStamps.clear();
                data.allocationCalls.clear();
                data.filterParameters.minTime = window.first;
                data.filterParameters.maxTime = window.second;
                data.filterParameters.disableEmbeddedSuppressions = window.first == total / 2;
                QVERIFY(data.read(path, true));
                QVERIFY(data.read(path, AccumulatedTraceData::ThirdPass, true));
                // a pass that stops at the end of its window has read less of the
                // file; the log knows only what the whole file was
                result += passesText(data, false);
            }
            result += "stderr\n" + capture.finish();
            *output = result;
        };
        std::string fromLog;
        run(&fromLog);
        if (QTest::currentTestFailed()) {
            return;
        }
        std::string fromText;
        {
            EventLogBudget budget("1");
            run(&fromText);
        }
        if (QTest::currentTestFailed()) {
            return;
        }
        const std::string fallback = "memloupe: the event log would exceed 1 MB; reading the file again for each pass\n";
        const auto at = fromText.find(fallback);
        QVERIFY(at != std::string::npos);
        fromText.erase(at, fallback.size());
        QVERIFY(fromText.find(fallback) == std::string::npos);
        QVERIFY(fromLog.find("hook ") != std::string::npos);
        if (fromLog != fromText) {
            // the first difference, readable
            std::size_t at = 0;
            while (at < fromLog.size() && at < fromText.size() && fromLog[at] == fromText[at]) {
                ++at;
            }
            const auto lineStart = fromLog.rfind('\n', at) == std::string::npos ? 0 : fromLog.rfind('\n', at) + 1;
            QCOMPARE(QString::fromStdString(fromLog.substr(lineStart, 200)), QString::fromStdString(fromText.substr(lineStart, 200)));
        }
        QCOMPARE(fromLog.size(), fromText.size());
    }

    // A compressed file cut in half, or damaged in the middle: the read keeps
    // what came before, and says once what happened to the file.
    void testDamagedCompressedInput_data()
    {
        addCompressionColumn();
        QTest::addColumn<bool>("corrupt");
        QTest::newRow("gzip truncated") << Compression::Gzip << false;
        QTest::newRow("zstd truncated") << Compression::Zstd << false;
        QTest::newRow("gzip corrupt") << Compression::Gzip << true;
        QTest::newRow("zstd corrupt") << Compression::Zstd << true;
    }

    void testDamagedCompressedInput()
    {
        QFETCH(Compression, compression);
        QFETCH(bool, corrupt);

        std::string text = "v 10500 2\nX app\na 10 1\na 20 2\n";
        uint32_t random = 99;
        for (int i = 0; i < 200000; ++i) {
            random = random * 1103515245u + 12345u;
            text += "+ " + hex((random >> 16) % 2) + "\n";
            if (i % 100 == 0) {
                text += "c " + hex(i + 1) + "\n";
            }
        }
        const auto fullPath = writeTrace(text, compression);
        QVERIFY(!fullPath.empty());
        std::string bytes;
        {
            std::ifstream in(fullPath, std::ios_base::binary);
            std::stringstream buffer;
            buffer << in.rdbuf();
            bytes = buffer.str();
        }
        QVERIFY(bytes.size() > 1000);
        if (corrupt) {
            for (std::size_t i = bytes.size() / 2; i < bytes.size() / 2 + 64; ++i) {
                bytes[i] = static_cast<char>(bytes[i] ^ 0x5a);
            }
        } else {
            bytes.resize(bytes.size() / 2);
        }
        const auto path = newPath(compression);
        {
            std::ofstream out(path, std::ios_base::binary | std::ios_base::trunc);
            out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        }

        RecordingData data;
        StderrCapture capture;
        QVERIFY(data.read(path, false));
        QVERIFY(data.read(path, AccumulatedTraceData::ThirdPass, true));
        const auto output = capture.finish();
        QVERIFY2(data.totalCost.allocations > 0, output.c_str());
        QVERIFY(data.totalCost.allocations < 200000);
        const auto damaged = corrupt ? TraceDiagnostics::CorruptInput : TraceDiagnostics::TruncatedInput;
        const auto other = corrupt ? TraceDiagnostics::TruncatedInput : TraceDiagnostics::CorruptInput;
        QCOMPARE(data.diagnostics.count(damaged), int64_t(1));
        QCOMPARE(data.diagnostics.count(other), int64_t(0));
        // the damage is after the lines read, and is not a line that could not be read
        const auto &sample = data.diagnostics.entries[damaged].samples.at(0);
        QVERIFY(sample.lineNumber > 1000);
        if (!corrupt) {
            // damaged deflate data may come out as garbage text before the decoder notices
            QCOMPARE(data.diagnostics.unreadableLines(), int64_t(0));
        }
        if (corrupt) {
            // damaged text may come out before the decoder notices
            const std::string message = "the file is damaged: decompression failed after ";
            const auto at = output.find(message);
            QVERIFY2(at != std::string::npos, output.c_str());
            QCOMPARE(output.rfind(message), at);
            const auto lineEnd = output.find('\n', at);
            QVERIFY(lineEnd != std::string::npos);
            const auto bytesText = output.substr(at + message.size(), lineEnd + 1 - at - message.size());
            const auto count = std::stoll(bytesText);
            QVERIFY(count > 0);
            QVERIFY(count <= int64_t(bytes.size()));
            QCOMPARE(bytesText, std::to_string(count) + " bytes\n");
        } else {
            QCOMPARE(output, std::string("the file ends early: it may have been cut off while it was written\n"));
        }
    }

    // The log's numbers are written and read three bytes at a time without
    // branching on their length; every length must come back, at every byte
    // boundary of the encoding, and the release of the last allocation only
    // where it names the allocation just before it in the same chunk.
    void testEventLogNumbers()
    {
        EventLog log(uint64_t(1) << 30);
        std::vector<uint64_t> values;
        for (int bits = 0; bits <= 64; ++bits) {
            const uint64_t power = bits == 64 ? 0 : uint64_t(1) << bits;
            for (uint64_t value : {power - 1, power, power + 1}) {
                values.push_back(value);
            }
        }
        for (auto value : values) {
            QVERIFY(log.appendResidentSetSize(static_cast<int64_t>(value)));
        }
        // index 7 allocated and released twice: both releases name the chunk's
        // last allocation record; then releases of other indices
        const std::vector<std::pair<EventLog::Kind, uint32_t>> events = {{EventLog::Allocation, 7},
                                                                         {EventLog::Deallocation, 7},
                                                                         {EventLog::Deallocation, 7},
                                                                         {EventLog::Deallocation, 8},
                                                                         {EventLog::Allocation, 0x12345},
                                                                         {EventLog::Deallocation, 0x12345},
                                                                         {EventLog::Deallocation, 0xffffffffu}};
        for (const auto &event : events) {
            QVERIFY(log.appendEvent(event.first, event.second));
        }
        log.finish(0, 0, 0);
        QCOMPARE(log.chunks().size(), std::size_t(1));
        const uint8_t *position = log.chunks().front().data.get();
        const uint8_t *const end = position + log.chunks().front().size;
        for (auto value : values) {
            QCOMPARE(EventLog::readVarint(position), uint64_t((EventLog::ResidentSetSize << 2) | EventLog::Other));
            QCOMPARE(EventLog::readVarint(position), value);
        }
        uint32_t lastAllocation = 0;
        std::size_t releases = 0;
        for (const auto &event : events) {
            const auto value = EventLog::readVarint(position);
            if (value == EventLog::RELEASE_OF_LAST_ALLOCATION) {
                ++releases;
                QCOMPARE(event.first, EventLog::Deallocation);
                QCOMPARE(lastAllocation, event.second);
                continue;
            }
            QCOMPARE(static_cast<uint32_t>(value & 3u), static_cast<uint32_t>(event.first));
            QCOMPARE(static_cast<uint32_t>(value >> 2), event.second);
            if (event.first == EventLog::Allocation) {
                lastAllocation = event.second;
            }
        }
        // every release of the last allocation takes its one byte
        QCOMPARE(releases, std::size_t(3));
        QVERIFY(position == end);
    }

    // Full chunks are compressed while the next fills, and a reader gives the
    // records back whether it reads every chunk, steps over some, or goes
    // back; a small log stays as it is. Repetitive events, as programs make
    // them, must take a fraction of their records.
    void testEventLogChunksCompressed()
    {
        EventLog log(uint64_t(1) << 30);
        uint32_t random = 4711;
        std::vector<uint32_t> indices;
        for (int i = 0; i < 600000; ++i) {
            random = random * 1103515245u + 12345u;
            // a loop over a few call sites, with now and then a rare one
            const uint32_t index = (random >> 16) % 64 == 0 ? (random >> 8) % 100000 : i % 5 * 1000;
            indices.push_back(index);
            QVERIFY(log.appendEvent(EventLog::Allocation, index));
        }
        log.finish(0, 0, 0);
        const auto &chunks = log.chunks();
        QVERIFY(chunks.size() > 4);
        std::size_t compressedChunks = 0;
        for (const auto &chunk : chunks) {
            compressedChunks += chunk.compressed != nullptr;
            // a chunk keeps its records or its compressed form, not both
            QVERIFY((chunk.compressed != nullptr) != (chunk.data != nullptr));
        }
        QCOMPARE(compressedChunks, chunks.size());
        QVERIFY(log.memory() * 3 < log.size());

        // the index of each chunk's first record in indices
        std::vector<std::size_t> firstIndex;
        {
            EventLog::Reader reader(log);
            std::size_t at = 0;
            for (std::size_t chunk = 0; chunk < chunks.size(); ++chunk) {
                firstIndex.push_back(at);
                const uint8_t *position = reader.records(chunk);
                QVERIFY(position);
                const uint8_t *const end = position + chunks[chunk].size;
                while (position < end) {
                    QVERIFY(at < indices.size());
                    QCOMPARE(static_cast<uint32_t>(EventLog::readVarint(position) >> 2), indices[at]);
                    ++at;
                }
                QVERIFY(position == end);
            }
            QCOMPARE(at, indices.size());
        }
        // out of order: the prefetched chunk is not the one asked for
        EventLog::Reader reader(log);
        for (std::size_t chunk : {std::size_t(2), std::size_t(0), chunks.size() - 1, std::size_t(3), std::size_t(4), std::size_t(1)}) {
            const uint8_t *position = reader.records(chunk);
            QVERIFY(position);
            QCOMPARE(static_cast<uint32_t>(EventLog::readVarint(position) >> 2), indices[firstIndex[chunk]]);
        }

        EventLog small(uint64_t(1) << 30);
        QVERIFY(small.appendEvent(EventLog::Allocation, 3));
        small.finish(0, 0, 0);
        QCOMPARE(small.chunks().size(), std::size_t(1));
        QVERIFY(small.chunks().front().data != nullptr);
        EventLog::Reader smallReader(small);
        const uint8_t *position = smallReader.records(0);
        QVERIFY(position);
        QCOMPARE(EventLog::readVarint(position), uint64_t(3 << 2));
    }

    void testTemporaryRule_data()
    {
        QTest::addColumn<bool>("formatZero");
        QTest::addColumn<std::string>("events");
        QTest::addColumn<int>("temporary");
        QTest::addColumn<int>("allocations");
        QTest::addColumn<int>("leaked");

        auto row = [](const char *name, bool formatZero, const char *events, int temporary, int allocations, int leaked) {
            QTest::newRow(name) << formatZero << std::string(events) << temporary << allocations << leaked;
        };
        row("other records in between", false, "+ 0\nc 5\nt 1 0\ni 10 0\ns x\nX app\nR 10\nI 1 1\n# c\n\n- 0\n", 1, 1, 0);
        row("other allocation in between", false, "+ 0\n+ 1\n- 0\n", 0, 2, 0x20);
        row("same allocation info twice", false, "+ 0\n+ 0\n- 0\n", 1, 2, 0x10);
        row("second free is not pending", false, "+ 0\n- 0\n- 0\n", 1, 1, -0x10);
        row("free of another info", false, "+ 0\n- 1\n", 0, 1, -0x10);
        row("out of bounds free in between", false, "+ 0\n- 5\n- 0\n", 1, 1, 0);
        row("out of bounds allocation in between", false, "+ 0\n+ 5\n- 0\n", 1, 1, 0);
        row("format 0 other records in between", true, "+ 10 1 100\nc 5\nt 1 0\ni 10 0\ns x\n- 100\n", 1, 1, 0);
        row("format 0 P Q free P", true, "+ 10 1 100\n+ 10 1 200\n- 100\n", 0, 2, 0x10);
        row("format 0 P Q free Q free P", true, "+ 10 1 100\n+ 10 1 200\n- 200\n- 100\n", 1, 2, 0);
        row("format 0 unknown free in between", true, "+ 10 1 100\n- 300\n- 100\n", 1, 1, 0);
        row("format 0 address reused", true, "+ 10 1 100\n- 100\n+ 10 1 100\n- 100\n", 2, 2, 0);
    }

    void testTemporaryRule()
    {
        QFETCH(bool, formatZero);
        QFETCH(std::string, events);
        QFETCH(int, temporary);
        QFETCH(int, allocations);
        QFETCH(int, leaked);

        const std::string header = formatZero ? "" : "v 10500 2\na 10 1\na 20 2\n";
        const auto path = writeTrace(header + events);
        QVERIFY(!path.empty());
        RecordingData data;
        StderrCapture capture;
        QVERIFY(data.read(path, false));
        capture.finish();
        QCOMPARE(data.totalCost.temporary, int64_t(temporary));
        QCOMPARE(data.totalCost.allocations, int64_t(allocations));
        QCOMPARE(data.totalCost.leaked, int64_t(leaked));
        int64_t perAllocation = 0;
        for (const auto &allocation : data.allocations) {
            perAllocation += allocation.temporary;
        }
        QCOMPARE(perAllocation, int64_t(temporary));
    }

    // A cancelled read gives up within a few thousand lines, in the file and in
    // the event log, and the data still serves a later reparse.
    void testCancelledRead()
    {
        std::string text = "v 10500 2\na 10 1\n";
        constexpr int STAMPS = 100000;
        for (int stamp = 1; stamp <= STAMPS; ++stamp) {
            text += "+ 0\n- 0\nc " + hex(stamp) + "\n";
        }
        const auto path = writeTrace(text);
        QVERIFY(!path.empty());

        // cancels once the pass has seen a number of time stamps
        struct CancellingData : RecordingData {
            void handleTimeStamp(int64_t oldStamp, int64_t newStamp, bool isFinalTimeStamp, ParsePass pass) override
            {
                RecordingData::handleTimeStamp(oldStamp, newStamp, isFinalTimeStamp, pass);
                if (++seen == cancelAfter) {
                    flag.store(true);
                }
            }
            std::atomic<bool> flag{false};
            int seen = 0;
            int cancelAfter = -1;
        };
        const auto finalStamps = [](const RecordingData &data) {
            return std::count_if(data.timeStamps.begin(), data.timeStamps.end(), [](const RecordingData::TimeStampCall &call) {
                return call.isFinal;
            });
        };

        CancellingData data;
        data.cancelRequest = &data.flag;
        data.cancelAfter = 10;
        QVERIFY(!data.read(path, false));
        // one look every 4096 lines
        QVERIFY2(data.timeStamps.size() <= 10 + 4096, qPrintable(QString::number(data.timeStamps.size())));
        QCOMPARE(finalStamps(data), 0);

        // a whole read takes down the event log; a reparse from it gives up too
        data.flag = false;
        data.cancelAfter = -1;
        data.timeStamps.clear();
        QVERIFY(data.read(path, false));
        QVERIFY(data.eventLogSize() > 0);
        const auto wholeCost = costsText(data.totalCost);
        QCOMPARE(wholeCost, costsText(STAMPS, STAMPS, 0, 0x10));
        data.timeStamps.clear();
        data.seen = 0;
        data.cancelAfter = 10;
        QVERIFY(!data.read(path, true));
        QVERIFY(data.timeStamps.size() < std::size_t(STAMPS));
        QCOMPARE(finalStamps(data), 0);

        // and the next reparse charges everything again
        data.flag = false;
        data.cancelAfter = -1;
        QVERIFY(data.read(path, true));
        QCOMPARE(costsText(data.totalCost), wholeCost);

        // a flag set before the read stops it before any time stamp
        data.flag = true;
        data.timeStamps.clear();
        QVERIFY(!data.read(path, true));
        QVERIFY(data.timeStamps.empty());
    }

    void testTimeWindow()
    {
        const auto path = writeTrace(
            "v 10500 2\na 10 1\na 20 2\n"
            "+ 0\nc 5\n+ 1\n" // before the window
            "c a\n+ 0\n- 1\n" // frees a block allocated before the window
            "c 14\n- 0\n+ 0\n"
            "c 1e\n+ 1\n" // after the stamp that closes the window
            "c 28\n");
        QVERIFY(!path.empty());

        RecordingData data;
        QVERIFY(data.read(path, false));
        QCOMPARE(data.totalTime, int64_t(41));
        QCOMPARE(costsText(data.totalCost), costsText(5, 0, 0x40, 0x40));

        data.timeStamps.clear();
        data.allocationCalls.clear();
        data.filterParameters.minTime = 10;
        data.filterParameters.maxTime = 30;
        QVERIFY(data.read(path, true));
        const QStringList window = latin1List({"5->10", "10->20", "20->30", "30->31 final"});
        QCOMPARE(timeStampsOf(data, AccumulatedTraceData::FirstPass), window);
        QCOMPARE(timeStampsOf(data, AccumulatedTraceData::SecondPass), window);
        QCOMPARE(allocationCallIndices(data), (QList<uint>{0, 0}));
        // releases of blocks from before the window make the balance negative
        QCOMPARE(costsText(data.totalCost), costsText(2, 0, -0x10, 0x10));
        QCOMPARE(data.peakTime, int64_t(10));
        QCOMPARE(costsText(data.allocations[0]), costsText(2, 0, 0x10, 0x10));
        QCOMPARE(costsText(data.allocations[1]), costsText(0, 0, -0x20, 0));
        QCOMPARE(data.totalTime, int64_t(41));
        QCOMPARE(data.filterParameters.maxTime, int64_t(30));

        // a stamp beyond the window ends the pass without being handled
        data.timeStamps.clear();
        data.allocationCalls.clear();
        data.filterParameters.minTime = 0;
        data.filterParameters.maxTime = 25;
        QVERIFY(data.read(path, true));
        QCOMPARE(timeStampsOf(data, AccumulatedTraceData::SecondPass), latin1List({"0->5", "5->10", "10->20", "30->31 final"}));
        QCOMPARE(allocationCallIndices(data), (QList<uint>{0, 1, 0, 0}));
        QCOMPARE(costsText(data.totalCost), costsText(4, 0, 0x20, 0x40));
    }

    void testAllocationHookOrder()
    {
        // the hook sees the event in its call stack's costs but not yet in the totals
        class OrderData : public RecordingData
        {
        public:
            void handleAllocation(const AllocationInfo &info, AllocationInfoIndex index) override
            {
                RecordingData::handleAllocation(info, index);
                seen.push_back({allocations[info.allocationIndex.index].allocations, totalCost.allocations});
            }
            std::vector<std::pair<int64_t, int64_t>> seen;
        };

        const auto path = writeTrace("v 10500 2\na 10 1\na 20 2\n+ 0\n+ 1\n+ 0\n");
        QVERIFY(!path.empty());
        OrderData data;
        QVERIFY(data.read(path, false));
        const std::vector<std::pair<int64_t, int64_t>> expected = {{1, 0}, {1, 1}, {2, 2}};
        QCOMPARE(data.seen, expected);
    }

    void testPrefetchHook()
    {
        // the hook announces, ahead of their accounting, the very events the
        // allocation hook then sees, in the same order; the first pass has none
        class PrefetchData : public RecordingData
        {
        public:
            void prefetchAllocations(const AllocationInfoIndex *indices, std::size_t count) override
            {
                QVERIFY(count > 0);
                for (std::size_t i = 0; i < count; ++i) {
                    announced.push_back(indices[i].index);
                }
                announcedBeforeCharged = announcedBeforeCharged && announced.size() > charged;
            }
            void handleAllocation(const AllocationInfo &info, AllocationInfoIndex index) override
            {
                RecordingData::handleAllocation(info, index);
                ++charged;
            }
            std::vector<uint32_t> announced;
            std::size_t charged = 0;
            bool announcedBeforeCharged = true;
        };

        std::string text = "v 10500 3\na 10 1\na 20 2\n";
        std::vector<uint32_t> events;
        for (uint32_t i = 0; i < 100; ++i) {
            // an index out of bounds is announced too, and then reported
            const uint32_t index = i == 50 ? 7 : i % 2;
            text += (i % 3 == 2 ? "- " : "+ ") + hex(index) + "\n";
            events.push_back(index);
            if (i == 70) {
                text += "c 5\n";
            }
        }
        const auto path = writeTrace(text);
        QVERIFY(!path.empty());
        PrefetchData data;
        StderrCapture capture;
        QVERIFY(data.read(path, AccumulatedTraceData::FirstPass, false));
        QVERIFY(data.announced.empty());
        QVERIFY(data.read(path, AccumulatedTraceData::SecondPass, false));
        // once per pass
        QCOMPARE(capture.finish(),
                 std::string("allocation index out of bounds: 7, maximum is: 2\n"
                             "allocation index out of bounds: 7, maximum is: 2\n"));
        QCOMPARE(data.announced, events);
        QVERIFY(data.announcedBeforeCharged);
        QVERIFY(data.charged > 0);
    }

    void testFormatZeroPassesAndWindows()
    {
        const auto path = writeTrace(
            "+ 10 1 a00\nc 5\n+ 20 2 b00\n"
            "c a\n+ 10 1 a01\n- b00\n" // block from before the window: unknown inside it
            "c 14\n- a00\n+ 10 1 a02\n- a01\n"
            "c 1e\n+ 20 2 b01\n"
            "c 28\n+ 30 1 c00\n");
        QVERIFY(!path.empty());

        RecordingData data;
        QVERIFY(data.read(path, false));
        QCOMPARE(costsText(data.totalCost), costsText(6, 0, 0x60, 0x60));
        QCOMPARE(data.allocationInfos.size(), std::size_t(3));
        QCOMPARE(data.allocationInfos[2].size, uint64_t(0x30));
        QCOMPARE(data.allocationInfos[2].allocationIndex.index, 0u);
        QCOMPARE(allocationCallIndices(data), (QList<uint>{0, 1, 0, 0, 1, 2}));
        QCOMPARE(costsText(data.allocations[0]), costsText(4, 0, 0x40, 0x40));
        QCOMPARE(costsText(data.allocations[1]), costsText(2, 0, 0x20, 0x20));

        QVERIFY(data.read(path, AccumulatedTraceData::ThirdPass, false));
        QCOMPARE(data.allocationInfos.size(), std::size_t(3));
        QCOMPARE(costsText(data.allocations[0]), costsText(4, 0, 0x40, 0));

        data.allocationCalls.clear();
        data.filterParameters.minTime = 10;
        data.filterParameters.maxTime = 30;
        QVERIFY(data.read(path, true));
        QCOMPARE(data.allocationInfos.size(), std::size_t(3));
        QCOMPARE(allocationCallIndices(data), (QList<uint>{0, 0}));
        QCOMPARE(costsText(data.totalCost), costsText(2, 0, 0x10, 0x20));
        QCOMPARE(costsText(data.allocations[0]), costsText(2, 0, 0x10, 0x20));
        QCOMPARE(costsText(data.allocations[1]), costsText(0, 0, 0, 0));

        // a window that starts with the second kind of allocation must still
        // charge it to that kind, not to whatever comes first in the window
        data.allocationCalls.clear();
        data.filterParameters.minTime = 30;
        data.filterParameters.maxTime = 50;
        QVERIFY(data.read(path, true));
        QCOMPARE(data.allocationInfos.size(), std::size_t(3));
        QCOMPARE(allocationCallIndices(data), (QList<uint>{1, 2}));
        QCOMPARE(data.allocationCalls[0].info.size, uint64_t(0x20));
        QCOMPARE(data.allocationCalls[0].info.allocationIndex.index, 1u);
        QCOMPARE(data.allocationCalls[1].info.size, uint64_t(0x30));
        QCOMPARE(costsText(data.totalCost), costsText(2, 0, 0x50, 0x50));
        QCOMPARE(costsText(data.allocations[0]), costsText(1, 0, 0x30, 0x30));
        QCOMPARE(costsText(data.allocations[1]), costsText(1, 0, 0x20, 0x20));
    }

    void testOperatorNewFrames()
    {
        const auto path = writeTrace(
            "v 10500 2\n"
            "s operator new(unsigned long)\ns operator new[](unsigned long)\n"
            "s operator new(unsigned int)\ns operator new[](unsigned int)\n"
            "s main\ns foo\n"
            "s operator new(unsigned long)\n" // each name is recognised once only
            "s main\ns __libc_start_main\ns __static_initialization_and_destruction_0\n"
            "i 10 0 1 0 0\ni 20 0 2 0 0\ni 30 0 3 0 0\ni 40 0 4 0 0\n"
            "i 50 0 6 0 0\ni 60 0 5 0 0\n"
            "i 70 0 7 0 0\n"
            "i 80 0 6 0 0 1 0 0\n" // an inlined operator does not make the address one
            "t 6 0\nt 5 1\n"
            "t 4 2\nt 3 3\nt 2 4\nt 1 5\n" // nested operators below foo
            "t 1 0\n" // an operator without caller
            "t 7 2\nt 8 2\nt 1 8\n");
        QVERIFY(!path.empty());

        RecordingData data;
        QVERIFY(data.read(path, false));
        std::vector<uint> opNew;
        for (auto index : data.opNewIpIndices) {
            opNew.push_back(index.index);
        }
        QCOMPARE(opNew, (std::vector<uint>{1, 2, 3, 4}));
        std::vector<uint> stops;
        for (auto index : data.stopIndices) {
            stops.push_back(index.index);
        }
        QCOMPARE(stops, (std::vector<uint>{5, 9, 10}));

        QStringList traces;
        for (const auto &node : data.traces) {
            traces << QStringLiteral("%1/%2").arg(node.ipIndex.index).arg(node.parentIndex.index);
        }
        QCOMPARE(traces, latin1List({"6/0", "5/1", "5/1", "5/1", "5/1", "5/1", "0/0", "7/2", "8/2", "7/2"}));
    }

    void testOperatorNewOutOfOrder()
    {
        // Trace nodes written before the address is known to be an operator stay
        // unresolved; later nodes must walk the whole operator chain, and must
        // not spin when that chain loops.
        const auto chainPath = writeTrace(
            "s operator new(unsigned long)\ns foo\n"
            "t 2 0\nt 1 1\nt 1 2\n"
            "i 10 0 1 0 0\ni 20 0 2 0 0\n"
            "t 1 3\n");
        const auto loopPath = writeTrace(
            "s operator new(unsigned long)\n"
            "t 1 2\nt 1 1\n"
            "i 10 0 1 0 0\n"
            "t 1 2\nt 1 1\n"
            "+ 8 3 100\n");
        QVERIFY(!chainPath.empty());
        QVERIFY(!loopPath.empty());

        RecordingData chain;
        QVERIFY(chain.read(chainPath, false));
        QCOMPARE(chain.traces.size(), std::size_t(4));
        QCOMPARE(chain.traces[3].ipIndex.index, 2u);
        QCOMPARE(chain.traces[3].parentIndex.index, 0u);

        RecordingData loop;
        QElapsedTimer timer;
        timer.start();
        QVERIFY(loop.read(loopPath, false));
        QVERIFY(timer.elapsed() < READ_TIME_LIMIT_MS);
        QCOMPARE(loop.traces.size(), std::size_t(4));
        for (std::size_t i = 2; i < loop.traces.size(); ++i) {
            QVERIFY(loop.traces[i].ipIndex.index != 1);
        }
        QCOMPARE(loop.totalCost.allocations, int64_t(1));
    }

    void testDuplicatedDebuggee()
    {
        const auto path = writeTrace("X first\nc 1\nX second\nc 2\n");
        QVERIFY(!path.empty());
        const std::string message = "Duplicated debuggee entry - corrupt data file?\n";

        RecordingData data;
        StderrCapture capture;
        QVERIFY(!data.read(path, false));
        QCOMPARE(capture.finish(), message);
        QVERIFY(data.debuggees.empty());
        // the pass ends at once: no final time stamp
        QCOMPARE(timeStampsOf(data, AccumulatedTraceData::FirstPass), latin1List({"0->1"}));

        using Pass = AccumulatedTraceData::ParsePass;
        for (auto pass : {Pass::FirstPass, Pass::SecondPass, Pass::ThirdPass}) {
            for (bool reparse : {false, true}) {
                StderrCapture passCapture;
                QVERIFY(!data.read(path, pass, reparse));
                QCOMPARE(passCapture.finish(), message);
            }
        }
        // the first debuggee line is still reported before the duplicate is found
        QCOMPARE(data.debuggees, (std::vector<std::string>{"first", "first"}));
    }

    void testDebuggeeOutsideFirstPass()
    {
        const auto path = writeTrace("X ./app  two  blanks\n");
        QVERIFY(!path.empty());
        RecordingData data;
        QVERIFY(data.read(path, AccumulatedTraceData::FirstPass, false));
        QVERIFY(data.debuggees.empty());
        QVERIFY(data.read(path, AccumulatedTraceData::SecondPass, false));
        QCOMPARE(data.debuggees, std::vector<std::string>{"./app  two  blanks"});
        QVERIFY(data.read(path, AccumulatedTraceData::ThirdPass, false));
        QCOMPARE(data.debuggees.size(), std::size_t(2));
        QVERIFY(data.read(path, true));
        QVERIFY(data.read(path, AccumulatedTraceData::ThirdPass, true));
        QCOMPARE(data.debuggees.size(), std::size_t(2));
    }

    void testEmptyTexts()
    {
        const auto plainPath = writeTrace("v 10500 2\ns\ns \ns x y\nX\nS\nS \n");
        const auto sizedPath = writeTrace("v 10500 3\ns\ns 9 ab\ns 0\ns 3 x y\n");
        QVERIFY(!plainPath.empty());
        QVERIFY(!sizedPath.empty());

        RecordingData plain;
        plain.filterParameters.disableBuiltinSuppressions = true;
        StderrCapture capture;
        QVERIFY(plain.read(plainPath, false));
        QCOMPARE(plain.strings, (std::vector<std::string>{"", "", "x y"}));
        QCOMPARE(plain.debuggees, std::vector<std::string>{""});
        QVERIFY(plain.suppressions.empty());

        RecordingData sized;
        QVERIFY(sized.read(sizedPath, false));
        QCOMPARE(sized.strings, (std::vector<std::string>{"", "", "", "x y"}));
        QCOMPARE(capture.finish(), std::string());
    }

    void testSuppressions_data()
    {
        QTest::addColumn<bool>("disableBuiltin");
        QTest::addColumn<bool>("disableEmbedded");
        QTest::newRow("all") << false << false;
        QTest::newRow("no built-in") << true << false;
        QTest::newRow("no embedded") << false << true;
        QTest::newRow("user only") << true << true;
    }

    void testSuppressions()
    {
        QFETCH(bool, disableBuiltin);
        QFETCH(bool, disableEmbedded);

        const auto path = writeTrace("S leak:foo\nc 1\nS   leak:bar  \nS # a comment\nS leak:\n");
        QVERIFY(!path.empty());

        std::vector<std::string> expected;
        if (!disableBuiltin) {
            for (const auto &suppression : builtinSuppressions()) {
                expected.push_back(suppression.pattern);
            }
        }
        expected.push_back("user1");
        expected.push_back("user2");
        if (!disableEmbedded) {
            expected.push_back("foo");
            expected.push_back("bar");
        }

        RecordingData data;
        data.filterParameters.suppressions = {"user1", "user2"};
        data.filterParameters.disableBuiltinSuppressions = disableBuiltin;
        data.filterParameters.disableEmbeddedSuppressions = disableEmbedded;
        auto patterns = [&data]() {
            std::vector<std::string> result;
            for (const auto &suppression : data.suppressions) {
                result.push_back(suppression.pattern);
            }
            return result;
        };

        QVERIFY(data.read(path, false));
        QCOMPARE(patterns(), expected);

        // a reparse starts the list afresh: no stale counters, no duplicates
        for (auto &suppression : data.suppressions) {
            suppression.matches = 3;
            suppression.leaked = 5;
        }
        data.suppressions.push_back({"stale", 1, 1});
        QVERIFY(data.read(path, true));
        QCOMPARE(patterns(), expected);
        for (const auto &suppression : data.suppressions) {
            QCOMPARE(suppression.matches, int64_t(0));
            QCOMPARE(suppression.leaked, int64_t(0));
        }
    }

    void testAttached()
    {
        const auto path = writeTrace("v 10500 2\na 10 1\n+ 0\nA\n+ 0\nc 5\n");
        QVERIFY(!path.empty());
        RecordingData data;
        QVERIFY(data.read(path, AccumulatedTraceData::FirstPass, false));
        QVERIFY(data.fromAttached);
        // what happened before attaching does not count
        QCOMPARE(costsText(data.totalCost), costsText(1, 0, 0x10, 0x10));
    }

    void testBrokenCompressedFiles_data()
    {
        addCompressionColumn();
        QTest::newRow("gzip") << Compression::Gzip;
        QTest::newRow("zstd") << Compression::Zstd;
    }

    void testBrokenCompressedFiles()
    {
        QFETCH(Compression, compression);

        // enough varied events that the compressed stream spans many blocks
        std::string text = "v 10500 2\nX app\n";
        for (int i = 0; i < 8; ++i) {
            text += "a " + hex(0x10 * (i + 1)) + " " + hex(i + 1) + "\n";
        }
        const int events = 60000;
        uint32_t random = 12345;
        int64_t stamp = 0;
        for (int i = 0; i < events; ++i) {
            random = random * 1103515245u + 12345u;
            const auto info = (random >> 16) % 8;
            text += "+ " + hex(info) + "\n";
            if ((random >> 8) % 3 == 0) {
                text += "- " + hex(info) + "\n";
            }
            if (i % 50 == 0) {
                stamp += (random >> 20) % 7 + 1;
                text += "c " + hex(stamp) + "\n";
            }
        }

        const auto fullPath = writeTrace(text, compression);
        QVERIFY(!fullPath.empty());
        std::string compressed;
        {
            std::ifstream in(fullPath, std::ios_base::binary);
            std::stringstream buffer;
            buffer << in.rdbuf();
            compressed = buffer.str();
        }
        QVERIFY(compressed.size() > 1000);

        RecordingData full;
        QVERIFY(full.read(fullPath, false));
        QCOMPARE(full.totalCost.allocations, int64_t(events));
        QCOMPARE(full.parsingState.readCompressedByte, int64_t(compressed.size()));
        QCOMPARE(full.parsingState.readUncompressedByte, int64_t(text.size()));

        struct BrokenRead {
            int64_t firstPassAllocations = -1;
            int64_t secondPassAllocations = -1;
        };
        auto readBroken = [&](const std::string &contents, BrokenRead *result) {
            const auto path = newPath(compression);
            {
                std::ofstream out(path, std::ios_base::binary | std::ios_base::trunc);
                out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
            }
            RecordingData data;
            StderrCapture capture;
            QElapsedTimer timer;
            timer.start();
            const bool firstOk = data.read(path, AccumulatedTraceData::FirstPass, false);
            result->firstPassAllocations = data.totalCost.allocations;
            const bool secondOk = data.read(path, AccumulatedTraceData::SecondPass, false);
            result->secondPassAllocations = data.totalCost.allocations;
            const auto elapsed = timer.elapsed();
            capture.finish();
            QVERIFY2(firstOk && secondOk, path.c_str());
            QVERIFY2(elapsed < READ_TIME_LIMIT_MS, path.c_str());
            QCOMPARE(data.parsingState.fileSize, int64_t(contents.size()));
            QVERIFY(data.parsingState.readCompressedByte <= int64_t(contents.size()));
        };

        std::vector<std::size_t> cuts = {1, 4, 10, 18};
        for (int eighth = 1; eighth < 8; ++eighth) {
            cuts.push_back(compressed.size() * eighth / 8);
        }
        // for gzip these cut into the eight-byte trailer only
        for (std::size_t back : {8, 4, 1}) {
            cuts.push_back(compressed.size() - back);
        }
        int64_t previous = 0;
        bool partial = false;
        for (auto cut : cuts) {
            BrokenRead result;
            readBroken(compressed.substr(0, cut), &result);
            if (QTest::currentTestFailed()) {
                return;
            }
            const auto where = QStringLiteral("cut at %1 of %2").arg(cut).arg(compressed.size());
            // everything decompressed before the cut is read: a longer prefix never yields fewer events
            QVERIFY2(result.firstPassAllocations >= previous, qPrintable(where));
            QVERIFY2(result.firstPassAllocations <= events, qPrintable(where));
            if (compression == Compression::Gzip) {
                // The fragment of the line the damage cut through is dropped; read
                // as a time stamp it would end the second pass early.
                QCOMPARE(result.secondPassAllocations, result.firstPassAllocations);
            }
            partial = partial || (result.firstPassAllocations > 0 && result.firstPassAllocations < events);
            previous = result.firstPassAllocations;
        }
        QVERIFY(partial);
        if (compression == Compression::Gzip) {
            // losing only the trailer costs at most the text of the last refill
            QVERIFY(previous > events - 100);
        }

        std::string corrupt = compressed;
        for (std::size_t i = corrupt.size() / 2; i < corrupt.size() / 2 + 16; ++i) {
            corrupt[i] = static_cast<char>(corrupt[i] ^ 0x55);
        }
        BrokenRead result;
        readBroken(corrupt, &result);
        if (QTest::currentTestFailed()) {
            return;
        }
        QVERIFY(result.firstPassAllocations < events);
    }
};

QTEST_GUILESS_MAIN(TestTraceReader)

#include "tst_tracereader.moc"
