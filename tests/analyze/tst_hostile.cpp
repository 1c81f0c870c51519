/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    Trace and suppression files as they arrive from crashed or killed
    profilers, full disks, damaged copies and other program versions: every read
    ends, reports what the reader promises to report, and keeps what it could
    read.
*/

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <limits>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/iostreams/device/array.hpp>

#include "analyze/bytecounter.h"
#include "testutils.h"

Q_DECLARE_METATYPE(std::string)
Q_DECLARE_METATYPE(Compression)

namespace
{
// generous even under the sanitizers; a read that takes longer is as good as hung
constexpr qint64 TIME_LIMIT_MS = 20000;

constexpr std::size_t TEN_MB = 10 * 1024 * 1024;

std::string repeated(const std::string &text, int times)
{
    std::string result;
    for (int i = 0; i < times; ++i) {
        result += text;
    }
    return result;
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios_base::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

bool writeRaw(const std::string &path, const std::string &contents)
{
    std::ofstream out(path, std::ios_base::binary | std::ios_base::trunc);
    out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
    out.close();
    return static_cast<bool>(out);
}

// Deterministic noise that starts with neither the gzip nor the zstd magic.
std::string noise(std::size_t size, uint32_t seed)
{
    std::string bytes(size, '\0');
    for (auto &byte : bytes) {
        seed = seed * 1103515245u + 12345u;
        byte = static_cast<char>(seed >> 16);
    }
    bytes[0] = 'N';
    return bytes;
}

// One pass over text held in memory, through the same chain layout as a file.
bool readStream(AccumulatedTraceData *data, const std::string &text, AccumulatedTraceData::ParsePass pass)
{
    boost::iostreams::filtering_istream in;
    in.push(ByteCounter());
    in.push(ByteCounter());
    in.push(boost::iostreams::array_source(text.data(), text.size()));
    return data->read(in, pass, false);
}

// Writes @p contents into the FIFO at @p path once a reader has it open, and
// gives up after a while if none comes, so a reader that never opens the FIFO
// fails the test instead of hanging it.
class FifoWriter
{
public:
    FifoWriter(const std::string &path, const std::string &contents)
        : m_thread([this, path, contents]() {
            run(path, contents);
        })
    {
    }

    ~FifoWriter()
    {
        finish();
    }

    // Waits for the writer; true when it wrote everything.
    bool finish()
    {
        if (m_thread.joinable()) {
            m_thread.join();
        }
        return m_wroteAll;
    }

private:
    void run(const std::string &path, const std::string &contents)
    {
        int fd = -1;
        for (int attempt = 0; attempt < 2000 && fd < 0; ++attempt) {
            // without a reader, a non-blocking open fails with ENXIO instead of waiting
            fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0) {
                usleep(5000);
            }
        }
        if (fd < 0) {
            return;
        }
        fcntl(fd, F_SETFL, 0);
        std::size_t written = 0;
        while (written < contents.size()) {
            const auto n = ::write(fd, contents.data() + written, contents.size() - written);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                break;
            }
            written += static_cast<std::size_t>(n);
        }
        ::close(fd);
        m_wroteAll = written == contents.size();
    }

    std::atomic<bool> m_wroteAll{false};
    std::thread m_thread;
};

// A format-2 trace with one leaked and one temporary allocation of 0x10 bytes each.
const std::string SmallTrace =
    "v 10500 2\nX ./app\ns main\ni 1000 0 1\nt 1 0\na 10 1\n"
    "+ 0\n- 0\nc 2\n+ 0\nc 5\n";
}

class TestHostile : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    int m_fileCounter = 0;

    std::string newPath(const std::string &suffix)
    {
        return m_dir.path().toStdString() + "/hostile" + std::to_string(++m_fileCounter) + suffix;
    }

    std::string writeTrace(const std::string &contents, Compression compression)
    {
        const auto path = newPath(suffixFor(compression));
        return writeTraceFile(path, contents, compression) ? path : std::string();
    }

    static void addCompressionRows()
    {
        QTest::addColumn<Compression>("compression");
        QTest::newRow("plain") << Compression::None;
        QTest::newRow("gzip") << Compression::Gzip;
        QTest::newRow("zstd") << Compression::Zstd;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        // a FIFO whose reader is gone must fail the writer's write, not kill the test
        signal(SIGPIPE, SIG_IGN);
    }

    void testNoiseWithCompressedName_data()
    {
        QTest::addColumn<std::string>("suffix");
        QTest::addColumn<std::string>("prefix");
        QTest::newRow("gzip name") << std::string(".gz") << std::string();
        QTest::newRow("zstd name") << std::string(".zst") << std::string();
        // a valid header, then garbage: decompression starts and then fails
        QTest::newRow("gzip header") << std::string(".gz") << std::string("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03", 10);
        QTest::newRow("zstd header") << std::string(".zst") << std::string("\x28\xb5\x2f\xfd", 4);
    }

    void testNoiseWithCompressedName()
    {
        QFETCH(std::string, suffix);
        QFETCH(std::string, prefix);

        const auto path = newPath(suffix);
        const auto contents = prefix + noise(256 * 1024, 7);
        QVERIFY(writeRaw(path, contents));

        RecordingData data;
        StderrCapture capture;
        QElapsedTimer timer;
        timer.start();
        if (prefix.empty()) {
            // not compressed as the name says: read as nothing it would pass for an empty run
            QVERIFY(!data.read(path, false));
            QVERIFY(timer.elapsed() < TIME_LIMIT_MS);
            const std::string kind = suffix == ".gz" ? "gzip" : "zstd";
            QCOMPARE(capture.finish(), "Failed to open memloupe log file: " + path + ": not a " + kind + " file\n");
            QVERIFY(data.timeStamps.empty());
            QVERIFY(data.diagnostics.empty());
            return;
        }
        // a decompression error ends the pass like the end of the file does
        QVERIFY(data.read(path, false));
        QVERIFY(timer.elapsed() < TIME_LIMIT_MS);
        const auto output = capture.finish();
        QCOMPARE(data.parsingState.fileSize, int64_t(contents.size()));
        QVERIFY(data.parsingState.readCompressedByte <= int64_t(contents.size()));
        QCOMPARE(data.timeStamps.size(), std::size_t(2));
        QVERIFY(data.timeStamps.back().isFinal);
        // said once for the read, as the last line, though both passes met the damage
        const std::string damaged = "the file is damaged: decompression failed after ";
        const auto at = output.rfind(damaged);
        QVERIFY2(at != std::string::npos, output.c_str());
        QCOMPARE(output.find(damaged), at);
        QCOMPARE(output.back(), '\n');
        QCOMPARE(output.find('\n', at), output.size() - 1);
        QCOMPARE(data.diagnostics.count(TraceDiagnostics::CorruptInput), int64_t(1));
        QCOMPARE(data.diagnostics.count(TraceDiagnostics::TruncatedInput), int64_t(0));
    }

    // Names that promise a compression the bytes do not have; an empty file
    // without such a name is an empty run.
    void testNotCompressedAsNamed_data()
    {
        QTest::addColumn<std::string>("suffix");
        QTest::addColumn<std::string>("contents");
        QTest::addColumn<std::string>("reason");
        QTest::newRow("text named zst") << std::string(".zst") << std::string("v 10500 3\nc 5\n") << std::string("not a zstd file");
        QTest::newRow("text named gz") << std::string(".gz") << std::string("v 10500 3\nc 5\n") << std::string("not a gzip file");
        QTest::newRow("empty gz") << std::string(".gz") << std::string() << std::string("not a gzip file");
        QTest::newRow("empty zst") << std::string(".zst") << std::string() << std::string("not a zstd file");
        // shorter than the magic number, and not its start
        QTest::newRow("one byte gz") << std::string(".gz") << std::string("\x1e", 1) << std::string("not a gzip file");
        QTest::newRow("three bytes zst") << std::string(".zst") << std::string("\x28\xb5\x2e", 3) << std::string("not a zstd file");
        QTest::newRow("zstd named gz") << std::string(".gz") << std::string("\x28\xb5\x2f\xfd", 4) << std::string("not a gzip file");
        QTest::newRow("empty plain") << std::string(".txt") << std::string() << std::string();
    }

    void testNotCompressedAsNamed()
    {
        QFETCH(std::string, suffix);
        QFETCH(std::string, contents);
        QFETCH(std::string, reason);

        const auto path = newPath(suffix);
        QVERIFY(writeRaw(path, contents));
        RecordingData data;
        StderrCapture capture;
        const bool ok = data.read(path, false);
        const auto output = capture.finish();
        if (reason.empty()) {
            QVERIFY(ok);
            QCOMPARE(output, std::string());
            QCOMPARE(data.totalTime, int64_t(1));
            return;
        }
        QVERIFY(!ok);
        QCOMPARE(output, "Failed to open memloupe log file: " + path + ": " + reason + "\n");
        QVERIFY(data.timeStamps.empty());
        // a later pass or a reparse fails the same way
        StderrCapture again;
        QVERIFY(!data.read(path, AccumulatedTraceData::ThirdPass, true));
        QCOMPARE(again.finish(), output);
    }

    // Event lines of every shape, well-formed or not, many thousands of them so
    // that lines straddle the reader's blocks: reading the file must give what
    // the tokenizer gives for the same text, diagnostics included.
    void testEventLinesLikeTokenizer_data()
    {
        addCompressionRows();
    }

    void testEventLinesLikeTokenizer()
    {
        QFETCH(Compression, compression);

        std::string text = "v 10500 3\nX ./app\n" + s("main") + "\ni 1000 0 1\n";
        constexpr uint32_t INFOS = 300;
        for (uint32_t i = 1; i <= 40; ++i) {
            text += "t 1 " + hex(i - 1) + "\n";
        }
        for (uint32_t i = 0; i < INFOS; ++i) {
            text += "a " + hex(8 * (i % 17) + 1) + " " + hex(1 + i % 40) + "\n";
        }
        const std::vector<std::string> oddLines = {"+ 1A",
                                                   "+ 12345678a",
                                                   "- ",
                                                   "+ ",
                                                   "+ 3 ",
                                                   "+  3",
                                                   "- 3 7",
                                                   "-\t3",
                                                   "+ ffffffff",
                                                   "- 0000012b",
                                                   "+ 0g",
                                                   "+3",
                                                   "- 00000000",
                                                   "+ 12c",
                                                   "-",
                                                   "+ 000000012"};
        uint32_t state = 7;
        for (int i = 0; i < 600000; ++i) {
            state = state * 1103515245u + 12345u;
            const uint32_t pick = state >> 16;
            if (pick % 997 == 0) {
                text += oddLines[(pick / 997) % oddLines.size()] + "\n";
                continue;
            }
            if (pick % 331 == 0) {
                text += "c " + hex(static_cast<uint64_t>(i)) + "\n";
                continue;
            }
            // leading zeros give every length from one to eight digits
            std::string number = hex(pick % INFOS);
            number.insert(0, (pick >> 9) % (9 - number.size()), '0');
            if (pick % 50 == 1) {
                // a temporary allocation
                text += "+ " + number + "\n- " + number + "\n";
                continue;
            }
            text += (pick & 1 ? "+ " : "- ") + number + "\n";
        }
        QVERIFY(text.size() > 3 * 1024 * 1024);
        const auto path = writeTrace(text, compression);
        QVERIFY(!path.empty());

        RecordingData fromFile;
        StderrCapture fileCapture;
        QVERIFY(fromFile.read(path, AccumulatedTraceData::FirstPass, false));
        QVERIFY(fromFile.read(path, AccumulatedTraceData::SecondPass, false));
        const auto fileDiagnostics = fileCapture.finish();

        RecordingData fromStream;
        StderrCapture streamCapture;
        QVERIFY(readStream(&fromStream, text, AccumulatedTraceData::FirstPass));
        QVERIFY(readStream(&fromStream, text, AccumulatedTraceData::SecondPass));
        const auto streamDiagnostics = streamCapture.finish();

        QVERIFY(streamDiagnostics.find("allocation index out of bounds: 591751050") != std::string::npos);
        QVERIFY(streamDiagnostics.find("failed to parse line: + 1A 314") != std::string::npos);
        QCOMPARE(fileDiagnostics, streamDiagnostics);
        QCOMPARE(costsText(fromFile.totalCost), costsText(fromStream.totalCost));
        QVERIFY(fromFile.totalCost.allocations > 200000);
        QVERIFY(fromFile.totalCost.temporary > 0);
        QCOMPARE(fromFile.allocations.size(), fromStream.allocations.size());
        for (std::size_t i = 0; i < fromFile.allocations.size(); ++i) {
            QCOMPARE(costsText(fromFile.allocations[i]), costsText(fromStream.allocations[i]));
        }
        QCOMPARE(fromFile.allocationCalls.size(), fromStream.allocationCalls.size());
        for (std::size_t i = 0; i < fromFile.allocationCalls.size(); ++i) {
            QCOMPARE(fromFile.allocationCalls[i].index, fromStream.allocationCalls[i].index);
        }
        QCOMPARE(fromFile.totalTime, fromStream.totalTime);
        QCOMPARE(fromFile.parsingState.readUncompressedByte, int64_t(text.size()));
    }

    void testNoiseWithPlainName()
    {
        // without version and debuggee records, which may legitimately fail a read
        auto contents = noise(256 * 1024, 11);
        for (auto &byte : contents) {
            if (byte == 'v' || byte == 'X') {
                byte = 'N';
            }
        }
        const auto path = newPath(std::string());
        QVERIFY(writeRaw(path, contents));
        RecordingData data;
        StderrCapture capture;
        QElapsedTimer timer;
        timer.start();
        QVERIFY(data.read(path, false));
        QVERIFY(timer.elapsed() < TIME_LIMIT_MS);
        // every line of noise is some record or other; unknown ones are reported
        QVERIFY(capture.finish().find("failed to parse line: ") != std::string::npos);
        QCOMPARE(data.parsingState.readUncompressedByte, int64_t(256 * 1024));
    }

    void testLongLines_data()
    {
        addCompressionRows();
    }

    // Lines ten times the size of the reader's blocks, in every record kind that
    // keeps its text, reads a number from it or rejects it.
    void testLongLines()
    {
        QFETCH(Compression, compression);

        std::string longText(TEN_MB, 'x');
        for (std::size_t i = 0; i < longText.size(); i += 4099) {
            longText[i] = ' ';
        }
        const std::string longNumber(TEN_MB, '1');
        const std::string unknown = "Z" + std::string(TEN_MB, 'z');
        const std::string text = "v 10500 3\ns " + hex(longText.size()) + " " + longText + "\n" + unknown + "\nX " + longText + "\na 10 1\n+ " + longNumber
            + "\n+ 0\nc " + longNumber + "\n";
        const auto path = writeTrace(text, compression);
        QVERIFY(!path.empty());

        RecordingData data;
        StderrCapture capture;
        QVERIFY(data.read(path, false));
        // ten megabytes of 1s wrap to 0x11111111 in 32 bits
        const std::string perPass = "failed to parse line: " + unknown + "\nallocation index out of bounds: 286331153, maximum is: 1\n";
        QCOMPARE(capture.finish() == repeated(perPass, 2), true);
        QCOMPARE(data.strings.size(), std::size_t(1));
        QCOMPARE(data.strings.front() == longText, true);
        QCOMPARE(data.debuggees.size(), std::size_t(1));
        QCOMPARE(data.debuggees.front() == longText, true);
        QCOMPARE(costsText(data.totalCost), costsText(1, 0, 0x10, 0x10));
        QCOMPARE(data.totalTime, int64_t(0x1111111111111111 + 1));
        QCOMPARE(data.parsingState.readUncompressedByte, int64_t(text.size()));

        // the in-memory chain splits the same lines
        RecordingData streamed;
        StderrCapture streamCapture;
        QVERIFY(readStream(&streamed, text, AccumulatedTraceData::FirstPass));
        QCOMPARE(streamCapture.finish() == perPass, true);
        QCOMPARE(streamed.strings.size(), std::size_t(1));
        QCOMPARE(streamed.strings.front() == longText, true);
        QCOMPARE(streamed.totalCost.allocations, int64_t(1));
    }

    // The largest value of every index field, in every record that has one.
    void testLargestIndices()
    {
        const std::string text =
            "v 10500 2\n"
            "s main\n"
            "i ffffffffffffffff ffffffff ffffffff ffffffff ffffffff ffffffff ffffffff 7fffffff\n"
            "i 1000 0 1 0 0\n"
            "t ffffffff ffffffff\n"
            "t 2 ffffffff\n"
            "a ffffffff ffffffff\n"
            "a 10 2\n"
            "+ ffffffff\n"
            "- ffffffff\n"
            "+ 0\n"
            "+ 1\n"
            "c ffffffff\n"
            "R ffffffff\n"
            "I ffffffff ffffffff\n";
        const auto path = writeTrace(text, Compression::None);
        QVERIFY(!path.empty());

        RecordingData data;
        data.filterParameters.suppressions = {"main"};
        StderrCapture capture;
        QVERIFY(data.read(path, false));
        QCOMPARE(capture.finish(), repeated("allocation index out of bounds: 4294967295, maximum is: 2\n", 4));

        QCOMPARE(data.instructionPointers.size(), std::size_t(2));
        const auto &ip = data.instructionPointers.front();
        QCOMPARE(ip.instructionPointer, uint64_t(0xffffffffffffffff));
        QCOMPARE(ip.moduleIndex.index, 0xffffffffu);
        QCOMPARE(ip.frame.functionIndex.index, 0xffffffffu);
        QCOMPARE(ip.frame.line, -1);
        QCOMPARE(ip.inlined.size(), std::size_t(1));
        QCOMPARE(ip.inlined.front().line, 0x7fffffff);
        QCOMPARE(data.traces.size(), std::size_t(2));
        QCOMPARE(data.allocationInfos.size(), std::size_t(2));
        QCOMPARE(data.allocations.size(), std::size_t(2));
        QCOMPARE(costsText(data.totalCost), costsText(2, 0, 0x10000000f, 0x10000000f));
        QCOMPARE(data.totalTime, int64_t(0x100000000));
        QCOMPARE(data.peakRSS, int64_t(0xffffffff));
        QCOMPARE(data.systemInfo.pages, int64_t(0xffffffff));

        // lookups beyond the tables yield the empty records
        QCOMPARE(data.findIp(data.traces.front().ipIndex).instructionPointer, uint64_t(0));
        QCOMPARE(data.findTrace(data.traces.back().parentIndex).ipIndex.index, 0u);
        std::vector<TraceNode> chain;
        data.collectTrace(data.traces.back().parentIndex, &chain);
        QCOMPARE(chain.size(), std::size_t(1));
        QCOMPARE(chain.front().ipIndex.index, 0u);

        // only the stack through "main" is suppressed: out-of-range strings match nothing
        data.applyLeakSuppressions();
        QCOMPARE(data.totalLeakedSuppressed, int64_t(0x10));
        QCOMPARE(data.totalCost.leaked, int64_t(0xffffffff));

        // a diff of two reads of the file cancels every call stack
        RecordingData current;
        RecordingData base;
        StderrCapture diffCapture;
        QVERIFY(current.read(path, false));
        QVERIFY(base.read(path, false));
        diffCapture.finish();
        current.diff(base);
        QVERIFY(current.allocations.empty());
        QCOMPARE(costsText(current.totalCost), costsText(0, 0, 0, 0));
        QCOMPARE(current.totalTime, int64_t(0));
    }

    void testLargestIndicesFormatZero()
    {
        const auto path = writeTrace("+ ffffffffffffffff ffffffff ffffffffffffffff\n- ffffffffffffffff\n+ 10 ffffffff 0\nc 1\n", Compression::None);
        QVERIFY(!path.empty());
        RecordingData data;
        StderrCapture capture;
        QVERIFY(data.read(path, false));
        QCOMPARE(capture.finish(), std::string());
        QCOMPARE(data.allocations.size(), std::size_t(1));
        QCOMPARE(data.allocations.front().traceIndex.index, 0xffffffffu);
        // the absurd size wraps in the sums instead of overflowing them
        QCOMPARE(costsText(data.totalCost), costsText(2, 1, 0x10, 0x10));
        QCOMPARE(costsText(data.allocations.front()), costsText(2, 1, 0x10, 0x10));
    }

    // Sizes near the ends of the 64-bit range: the sums in the diff and in the
    // leak suppression wrap around like the reader's own. A sanitizer build
    // reports the overflow they would be otherwise.
    void testAbsurdSizes()
    {
        const auto path = writeTrace("v 10500 3\ns 5 leaky\ni 1 0 1 0 0\nt 1 0\na 8000000000000000 1\n+ 0\n", Compression::None);
        QVERIFY(!path.empty());
        RecordingData empty;
        RecordingData base;
        QVERIFY(empty.read(writeTrace(std::string(), Compression::None), false));
        QVERIFY(base.read(path, false));
        QCOMPARE(base.totalCost.leaked, std::numeric_limits<int64_t>::min());

        empty.diff(base);
        QCOMPARE(costsText(empty.totalCost), costsText(-1, 0, std::numeric_limits<int64_t>::min(), 0));
        QCOMPARE(empty.allocations.size(), std::size_t(1));
        QCOMPARE(empty.allocations.front().leaked, std::numeric_limits<int64_t>::min());

        const auto twoLeaks = writeTrace(
            "v 10500 3\ns 5 leaky\ni 1 0 1 0 0\nt 1 0\nt 1 1\n"
            "a 7fffffffffffffff 1\na 7fffffffffffffff 2\n+ 0\n+ 1\n",
            Compression::None);
        QVERIFY(!twoLeaks.empty());
        RecordingData data;
        data.filterParameters.suppressions = {"leaky"};
        QVERIFY(data.read(twoLeaks, false));
        data.applyLeakSuppressions();
        QCOMPARE(data.totalLeakedSuppressed, int64_t(-2));
        QCOMPARE(data.suppressions.back().matches, int64_t(2));
        QCOMPARE(data.totalCost.leaked, int64_t(0));
    }

    // A newer profiler's file, appended to an older one: what came before the
    // new version record is kept, the rest is refused.
    void testNewerFormatMidFile()
    {
        const auto path = writeTrace("v 10500 2\nX app\na 10 0\n+ 0\nc 5\nv ffffffff ffffffff\n+ 0\nc 9\n", Compression::Zstd);
        QVERIFY(!path.empty());
        RecordingData data;
        StderrCapture capture;
        QVERIFY(!data.read(path, false));
        QCOMPARE(capture.finish(),
                 std::string("The data file has version ffffffff and was written by memloupe version ffffffff)\n"
                             "This is not compatible with this build of memloupe (version 10500), which can read file format version 3 and below\n"));
        QCOMPARE(data.totalCost.allocations, int64_t(1));
        QVERIFY(data.timeStamps.size() == 1 && !data.timeStamps.front().isFinal);
    }

    void testFifo_data()
    {
        QTest::addColumn<Compression>("compression");
        QTest::addColumn<bool>("withEventLog");
        for (bool withLog : {true, false}) {
            const char *mode = withLog ? "event log" : "file again";
            QTest::addRow("plain %s", mode) << Compression::None << withLog;
            QTest::addRow("gzip %s", mode) << Compression::Gzip << withLog;
            QTest::addRow("zstd %s", mode) << Compression::Zstd << withLog;
        }
    }

    void testFifo()
    {
        QFETCH(Compression, compression);
        QFETCH(bool, withEventLog);

        const auto compressedPath = writeTrace(SmallTrace, compression);
        QVERIFY(!compressedPath.empty());
        const auto contents = readFile(compressedPath);
        const auto path = newPath(std::string("-fifo") + suffixFor(compression));
        QCOMPARE(mkfifo(path.c_str(), 0600), 0);

        std::unique_ptr<EventLogBudget> budget;
        if (!withEventLog) {
            budget = std::make_unique<EventLogBudget>("1");
        }
        RecordingData data;
        StderrCapture capture;
        QElapsedTimer timer;
        timer.start();
        {
            FifoWriter writer(path, contents);
            QVERIFY(data.read(path, AccumulatedTraceData::FirstPass, false));
            QVERIFY(writer.finish());
        }
        if (withEventLog) {
            // the later passes read the log: a FIFO gives its text only once
            QVERIFY(data.eventLogSize() > 0);
            QVERIFY(data.read(path, AccumulatedTraceData::SecondPass, false));
            QVERIFY(data.read(path, AccumulatedTraceData::ThirdPass, true));
        } else {
            // every pass opens the file anew, so every pass needs its own writer
            QCOMPARE(data.eventLogSize(), uint64_t(0));
            FifoWriter writer(path, contents);
            QVERIFY(data.read(path, AccumulatedTraceData::SecondPass, false));
            QVERIFY(writer.finish());
        }
        QVERIFY(timer.elapsed() < TIME_LIMIT_MS);
        QCOMPARE(capture.finish(),
                 withEventLog ? std::string() : std::string("memloupe: the event log would exceed 1 MB; reading the file again for each pass\n"));
        QCOMPARE(costsText(data.totalCost), costsText(2, 1, 0x10, 0x10));
        QCOMPARE(data.totalTime, int64_t(6));
        QCOMPARE(data.debuggees, std::vector<std::string>({"./app"}));
        // a FIFO has no size on disk
        QCOMPARE(data.parsingState.fileSize, int64_t(0));
        QCOMPARE(data.parsingState.readCompressedByte, int64_t(contents.size()));
        QCOMPARE(data.parsingState.readUncompressedByte, int64_t(SmallTrace.size()));
    }

    void testUnreadable()
    {
        if (geteuid() == 0) {
            QSKIP("running as root, which may read any file whatever its permissions");
        }
        const auto tracePath = writeTrace(SmallTrace, Compression::Gzip);
        QVERIFY(!tracePath.empty());
        const auto suppressionPath = newPath(".supp");
        QVERIFY(writeRaw(suppressionPath, "leak:main\n"));
        QCOMPARE(chmod(tracePath.c_str(), 0), 0);
        QCOMPARE(chmod(suppressionPath.c_str(), 0), 0);

        RecordingData data;
        bool ok = true;
        StderrCapture capture;
        QVERIFY(!data.read(tracePath, false));
        QVERIFY(parseSuppressions(suppressionPath, &ok).empty());
        QCOMPARE(capture.finish(), "Failed to open memloupe log file: " + tracePath + "\nfailed to open suppression file: " + suppressionPath + "\n");
        QVERIFY(!ok);
        QVERIFY(data.timeStamps.empty());
    }

    // A small loop at the end of a large trace table, with many call stacks
    // running into it: each stack costs about as much as it is long, not as
    // much as the table.
    void testTraceLoopInLargeTable()
    {
        const int unrelated = 200000;
        const int stacks = 3000;
        std::string text = "v 10500 3\ns 4 main\ns 4 loop\ni 10 0 1 0 1\ni 20 0 2 0 2\n";
        text += repeated("t 1 0\n", unrelated);
        const auto loopStart = unrelated + 1;
        // two nodes that are each other's parent
        text += "t 2 " + hex(loopStart + 1) + "\nt 2 " + hex(loopStart) + "\n";
        for (int i = 0; i < stacks; ++i) {
            text += "t 1 " + hex(loopStart) + "\n";
        }
        for (int i = 0; i < stacks; ++i) {
            text += "a " + hex(i + 1) + " " + hex(loopStart + 2 + i) + "\n";
        }
        for (int i = 0; i < stacks; ++i) {
            text += "+ " + hex(i) + "\n";
        }
        const auto path = writeTrace(text, Compression::Zstd);
        QVERIFY(!path.empty());

        RecordingData data;
        QVERIFY(data.read(path, false));
        QCOMPARE(data.allocations.size(), std::size_t(stacks));

        RecordingData empty;
        StderrCapture capture;
        QElapsedTimer timer;
        timer.start();
        data.diff(empty);
        QVERIFY2(timer.elapsed() < TIME_LIMIT_MS, qPrintable(QString::number(timer.elapsed())));
        QCOMPARE(capture.finish(), std::string("Trace recursion detected - corrupt data file?\n"));
        // the stacks differ only in their trace numbers, so they merge into one
        QCOMPARE(data.allocations.size(), std::size_t(1));
        QCOMPARE(costsText(data.allocations.front()), costsText(stacks, 0, int64_t(stacks) * (stacks + 1) / 2, int64_t(stacks) * (stacks + 1) / 2));

        // the stack ends just before the node that repeats
        std::vector<TraceNode> chain;
        TraceIndex index;
        index.index = static_cast<uint32_t>(loopStart + 2);
        data.collectTrace(index, &chain);
        QCOMPARE(chain.size(), std::size_t(3));
        QCOMPARE(chain[0].parentIndex.index, uint32_t(loopStart));
        QCOMPARE(chain[1].parentIndex.index, uint32_t(loopStart + 1));
        QCOMPARE(chain[2].parentIndex.index, uint32_t(loopStart));
    }
};

QTEST_GUILESS_MAIN(TestHostile)

#include "tst_hostile.moc"
