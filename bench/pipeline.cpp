/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    How close reading a trace comes to the cost of merely decompressing it.

    For every trace it measures, side by side: decompressing the file once with
    the reader's library and buffer sizes while discarding the bytes (the floor
    any reading pass is held against), one reader pass with hooks that do
    nothing, the whole analysis up to finished() and its peak resident memory,
    and the longest stall of the GUI event loop while the real main window loads
    the file. The analysis and the window each run in a child process of their
    own, so that the peak memory and the event loop belong to them alone.

    Not a test: the figures depend on the machine and on whatever else runs on it.
*/

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <zlib.h>
#include <zstd.h>

#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTabWidget>
#include <QTimer>

#include <ThreadWeaver/Queue>

#include "analyze/accumulatedtracedata.h"
#include "analyze/gui/analysis/analysisrun.h"
#include "analyze/gui/app/mainwindow.h"
#include "analyze/traceinput.h"

namespace
{
// the reader's sizes (traceinput.cpp): the floor is only fair with the same ones
constexpr std::size_t READ_SIZE = 1 << 18;
constexpr std::size_t BLOCK_SIZE = 1 << 20;

// the event-loop heartbeat of the window probe
constexpr int HEARTBEAT_MS = 10;
constexpr double STALL_TARGET_MS = 100;

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

ssize_t readSome(int fd, char *buffer, std::size_t size)
{
    for (;;) {
        const ssize_t n = ::read(fd, buffer, size);
        if (n >= 0 || errno != EINTR) {
            return n;
        }
    }
}

struct Decompressed {
    bool ok = false;
    double seconds = 0;
    int64_t compressedBytes = 0;
    int64_t uncompressedBytes = 0;
};

// Decompresses @p path once on this thread and throws the text away.
Decompressed decompressOnce(const std::string &path)
{
    Decompressed result;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return result;
    }
    std::vector<char> input(READ_SIZE);
    std::vector<char> output(BLOCK_SIZE);
    const auto compression = TraceInput::compressionFor(path);
    const auto start = Clock::now();
    bool ok = true;

    if (compression == TraceInput::Compression::Gzip) {
        z_stream stream = {};
        ok = inflateInit2(&stream, 15 + 16) == Z_OK;
        bool memberDone = false;
        std::size_t used = 0;
        while (ok) {
            if (stream.avail_in == 0) {
                const ssize_t n = readSome(fd, input.data(), input.size());
                if (n <= 0) {
                    ok = n == 0 && memberDone;
                    break;
                }
                result.compressedBytes += n;
                stream.next_in = reinterpret_cast<Bytef *>(input.data());
                stream.avail_in = static_cast<uInt>(n);
            }
            if (memberDone) {
                inflateReset(&stream);
                memberDone = false;
            }
            stream.next_out = reinterpret_cast<Bytef *>(output.data() + used);
            stream.avail_out = static_cast<uInt>(BLOCK_SIZE - used);
            const int ret = inflate(&stream, Z_NO_FLUSH);
            const std::size_t filled = BLOCK_SIZE - stream.avail_out;
            result.uncompressedBytes += static_cast<int64_t>(filled - used);
            used = filled == BLOCK_SIZE ? 0 : filled;
            if (ret == Z_STREAM_END) {
                memberDone = true;
            } else if (ret != Z_OK && ret != Z_BUF_ERROR) {
                ok = false;
            }
        }
        inflateEnd(&stream);
    } else if (compression == TraceInput::Compression::Zstd) {
        ZSTD_DStream *stream = ZSTD_createDStream();
        ok = stream != nullptr;
        std::size_t used = 0;
        size_t lastRet = 0;
        ZSTD_inBuffer in = {input.data(), 0, 0};
        while (ok) {
            if (in.pos == in.size) {
                const ssize_t n = readSome(fd, input.data(), input.size());
                if (n <= 0) {
                    ok = n == 0 && lastRet == 0;
                    break;
                }
                result.compressedBytes += n;
                in = {input.data(), static_cast<std::size_t>(n), 0};
            }
            ZSTD_outBuffer out = {output.data() + used, BLOCK_SIZE - used, 0};
            lastRet = ZSTD_decompressStream(stream, &out, &in);
            if (ZSTD_isError(lastRet)) {
                ok = false;
                break;
            }
            result.uncompressedBytes += static_cast<int64_t>(out.pos);
            used += out.pos;
            if (used == BLOCK_SIZE) {
                used = 0;
            }
        }
        ZSTD_freeDStream(stream);
    } else {
        for (;;) {
            const ssize_t n = readSome(fd, output.data(), output.size());
            if (n <= 0) {
                ok = n == 0;
                break;
            }
            result.compressedBytes += n;
            result.uncompressedBytes += n;
        }
    }
    result.seconds = secondsSince(start);
    result.ok = ok;
    ::close(fd);
    return result;
}

// Reads the file once so that every timed run finds it in the page cache.
void warmPageCache(const std::string &path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    std::vector<char> buffer(BLOCK_SIZE);
    while (readSome(fd, buffer.data(), buffer.size()) > 0) { }
    ::close(fd);
}

class NullData : public AccumulatedTraceData
{
public:
    void handleTimeStamp(int64_t, int64_t, bool, ParsePass) override
    {
    }
    void handleAllocation(const AllocationInfo &, AllocationInfoIndex) override
    {
    }
    void handleDebuggee(const char *) override
    {
    }
};

template<typename T>
int64_t vectorBytes(const std::vector<T> &vector)
{
    return static_cast<int64_t>(vector.capacity() * sizeof(T));
}

// What the tables and the per-call-stack costs hold: the memory any analysis
// of the file needs at the least.
int64_t tableBytes(const AccumulatedTraceData &data)
{
    int64_t bytes = vectorBytes(data.strings);
    const std::string shortString;
    for (const auto &string : data.strings) {
        // short strings live inside the std::string itself
        if (string.capacity() > shortString.capacity()) {
            bytes += static_cast<int64_t>(string.capacity() + 1);
        }
    }
    bytes += vectorBytes(data.instructionPointers);
    for (const auto &ip : data.instructionPointers) {
        bytes += vectorBytes(ip.inlined);
    }
    bytes += vectorBytes(data.traces);
    bytes += vectorBytes(data.allocationInfos);
    bytes += vectorBytes(data.allocations);
    bytes += vectorBytes(data.traceIndexToAllocationIndex);
    return bytes;
}

struct ReaderPass {
    bool ok = false;
    double firstSeconds = 0;
    double secondSeconds = 0;
    int64_t tableBytes = 0;
    // the event log the first pass took down, which the second pass read
    uint64_t logBytes = 0;
    int64_t logEvents = 0;
};

ReaderPass readerPass(const std::string &path)
{
    ReaderPass result;
    NullData data;
    auto start = Clock::now();
    if (!data.read(path, AccumulatedTraceData::FirstPass, false)) {
        return result;
    }
    result.firstSeconds = secondsSince(start);
    start = Clock::now();
    if (!data.read(path, AccumulatedTraceData::SecondPass, false)) {
        return result;
    }
    result.secondSeconds = secondsSince(start);
    result.tableBytes = tableBytes(data);
    result.logBytes = data.eventLogSize();
    result.logEvents = data.eventLogEvents();
    result.ok = true;
    return result;
}

// ---- child processes ------------------------------------------------------

// The analysis as the window runs it, on a bare event loop; prints the time
// from parse() to the bottom-up result and to finished(), then that of a
// reparse of the middle third of the run, as a selected time range makes one.
int runPipelineChild(int argc, char **argv, const QString &path)
{
    QCoreApplication app(argc, argv);
    Parser parser;
    QElapsedTimer timer;
    bool reparsing = false;
    QObject::connect(&parser, &Parser::bottomUpDataAvailable, &app, [&]() {
        if (!reparsing) {
            printf("bottom_up_seconds %.6f\n", static_cast<double>(timer.nsecsElapsed()) / 1e9);
        }
    });
    int status = 1;
    timer.start();
    const auto run = runAnalysis(parser, path, QString(), FilterParameters());
    if (run.finished) {
        printf("pipeline_seconds %.6f\n", static_cast<double>(timer.nsecsElapsed()) / 1e9);
        // the peak of the analysis itself, its results kept as the window keeps
        // them; the reparse below then holds two sets of results at once
        struct rusage usage = {};
        getrusage(RUSAGE_SELF, &usage);
        printf("analysis_max_rss_kib %ld\n", usage.ru_maxrss);
        fflush(stdout);
        reparsing = true;
        FilterParameters window;
        window.minTime = run.summary.totalTime / 3;
        window.maxTime = 2 * run.summary.totalTime / 3;
        timer.start();
        if (rerunAnalysis(parser, window).finished) {
            printf("reparse_seconds %.6f\n", static_cast<double>(timer.nsecsElapsed()) / 1e9);
            status = 0;
        }
    }
    ThreadWeaver::Queue::instance()->finish();
    fflush(stdout);
    return status;
}

// Times every event the event loop delivers itself (not the ones sent from
// inside another event's handling), so that a stall can be pinned on what the
// loop was busy with: the window's handler of one result, a layout, a paint.
class ProbeApplication : public QApplication
{
public:
    using QApplication::QApplication;

    struct Delivery {
        int64_t startNs = 0;
        int64_t durationNs = 0;
        // of the GUI thread: on a busy machine the wall time is mostly waiting for a core
        int64_t cpuNs = 0;
        QEvent::Type type = QEvent::None;
        std::string receiver;
        // the result the window took in during this delivery, if any
        const char *result = nullptr;
    };

    bool notify(QObject *receiver, QEvent *event) override
    {
        if (m_depth > 0 || !clock.isValid()) {
            return QApplication::notify(receiver, event);
        }
        const QEvent::Type type = event->type();
        // the receiver may be gone afterwards
        const char *className = receiver->metaObject()->className();
        const QString objectName = receiver->objectName();
        const int64_t start = clock.nsecsElapsed();
        const int64_t cpuStart = threadCpuNs();
        currentResult = nullptr;
        ++m_depth;
        const bool accepted = QApplication::notify(receiver, event);
        --m_depth;
        const int64_t duration = clock.nsecsElapsed() - start;
        const int64_t cpu = threadCpuNs() - cpuStart;
        if (currentResult) {
            handlers.push_back({currentResult, duration, cpu});
        }
        if (duration >= slowNs) {
            std::string name = className;
            if (!objectName.isEmpty()) {
                name += " \"" + objectName.toStdString() + '"';
            }
            slow.push_back({start, duration, cpu, type, name, currentResult});
        }
        return accepted;
    }

    QElapsedTimer clock;
    // what counts as a slow delivery for the log
    int64_t slowNs = 10 * 1000 * 1000;
    std::vector<Delivery> slow;
    // The parser relays each result on the GUI thread and the window's handlers
    // run right inside that delivery; the probe names the result here.
    const char *currentResult = nullptr;
    struct Handling {
        const char *result;
        int64_t durationNs;
        int64_t cpuNs;
    };
    // the delivery of each result, window's handling included, in the order they came
    std::vector<Handling> handlers;

private:
    static int64_t threadCpuNs()
    {
        timespec now = {};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
    }

    int m_depth = 0;
};

// The real main window loading the file offscreen, with a heartbeat timer that
// measures how long the event loop goes without turning. Once the flame graph
// tab can be shown it is made current, so that its build lands during the load
// as well: the heavier of what a user may look at while waiting.
int runWindowChild(int argc, char **argv, const QString &path)
{
    ProbeApplication app(argc, argv);
    MainWindow window;
    window.resize(1200, 800);
    window.show();
    auto *tabs = window.findChild<QTabWidget *>(QStringLiteral("tabWidget"));
    auto *flameGraph = tabs ? tabs->findChild<QWidget *>(QStringLiteral("flameGraphTab")) : nullptr;
    if (!tabs || !flameGraph) {
        fprintf(stderr, "the main window has no tab widget or flame graph tab\n");
        return 1;
    }

    QElapsedTimer &clock = app.clock;
    int64_t lastTick = 0;
    int64_t longestGap = 0;
    int64_t longestGapAt = 0;
    int gapsOverTarget = 0;
    // after the load, a reparse of the middle third as a selection on a chart
    // makes it: the window takes in a second set of results and lets go of the
    // first
    bool reparsing = false;
    int64_t reparseLongestGap = 0;
    int64_t totalTime = 0;
    // the last result the window took in: handling it is inside any stall that
    // ends at the next tick
    const char *lastResult = "none";
    const char *longestGapAfter = "none";
    QTimer heartbeat;
    heartbeat.setTimerType(Qt::PreciseTimer);
    heartbeat.setInterval(HEARTBEAT_MS);
    QObject::connect(&heartbeat, &QTimer::timeout, &app, [&]() {
        const int64_t now = clock.nsecsElapsed();
        const int64_t gap = now - lastTick;
        if (reparsing) {
            reparseLongestGap = std::max(reparseLongestGap, gap);
        } else if (gap > longestGap) {
            longestGap = gap;
            longestGapAt = now;
            longestGapAfter = lastResult;
        }
        if (static_cast<double>(gap) / 1e6 > STALL_TARGET_MS) {
            ++gapsOverTarget;
        }
        lastTick = now;
    });

    int status = 1;
    double loadSeconds = 0;
    QTimer::singleShot(0, &app, [&]() {
        clock.start();
        lastTick = 0;
        heartbeat.start();
        window.loadFile(path);
        // loading replaces the window's parser; its signals arrive queued, so
        // connecting now misses none of them
        auto *parser = window.findChild<Parser *>();
        if (!parser) {
            fprintf(stderr, "the main window has no parser\n");
            app.quit();
            return;
        }
        // connected after the window's own handlers, so each runs right after the
        // window handled the result
        const auto note = [&](auto signal, const char *name) {
            QObject::connect(parser, signal, &app, [&lastResult, &app, name]() {
                lastResult = name;
                app.currentResult = name;
            });
        };
        note(&Parser::summaryAvailable, "summary");
        note(&Parser::bottomUpDataAvailable, "bottom-up tree");
        note(&Parser::sizeHistogramDataAvailable, "size histogram");
        note(&Parser::callerCalleeDataAvailable, "caller/callee");
        note(&Parser::consumedChartDataAvailable, "consumed chart");
        note(&Parser::allocationsChartDataAvailable, "allocations chart");
        note(&Parser::temporaryChartDataAvailable, "temporary chart");
        note(&Parser::finished, "finished");
        QObject::connect(parser, &Parser::topDownDataAvailable, &app, [&]() {
            lastResult = "top-down tree, flame graph tab shown";
            app.currentResult = lastResult;
            QElapsedTimer showTimer;
            showTimer.start();
            tabs->setCurrentWidget(flameGraph);
            fprintf(stderr, "making the flame graph tab current took %.1f ms\n", static_cast<double>(showTimer.nsecsElapsed()) / 1e6);
        });
        QObject::connect(parser, &Parser::summaryAvailable, &app, [&](const SummaryData &summary) {
            if (!reparsing) {
                totalTime = summary.totalTime;
            }
        });
        QObject::connect(parser, &Parser::finished, &app, [&, parser]() {
            if (reparsing) {
                status = 0;
                QTimer::singleShot(1000, &app, &QCoreApplication::quit);
                return;
            }
            loadSeconds = static_cast<double>(clock.nsecsElapsed()) / 1e9;
            // the flame graph's build may still come back after finished()
            QTimer::singleShot(1000, &app, [&, parser]() {
                reparsing = true;
                window.reparse(totalTime / 3, 2 * totalTime / 3);
                if (!parser->isRunning()) {
                    fprintf(stderr, "the window did not start the reparse\n");
                    app.quit();
                }
            });
        });
        QObject::connect(parser, &Parser::failedToOpen, &app, [&]() {
            app.quit();
        });
    });
    app.exec();
    heartbeat.stop();
    ThreadWeaver::Queue::instance()->finish();

    printf("window_load_seconds %.6f\n", loadSeconds);
    printf("longest_stall_ms %.3f\n", static_cast<double>(longestGap) / 1e6);
    printf("reparse_longest_stall_ms %.3f\n", static_cast<double>(reparseLongestGap) / 1e6);
    printf("longest_stall_at_seconds %.3f\n", static_cast<double>(longestGapAt) / 1e9);
    printf("stalls_over_target %d\n", gapsOverTarget);
    // not numbers: they go to the log, not into the table
    fprintf(stderr, "longest stall came after: %s\n", longestGapAfter);
    fprintf(stderr, "the window's handling of each result (ms, wall and GUI thread CPU):\n");
    for (const auto &handler : app.handlers) {
        fprintf(stderr, "  %-40s %8.1f %8.1f\n", handler.result, static_cast<double>(handler.durationNs) / 1e6, static_cast<double>(handler.cpuNs) / 1e6);
    }
    fprintf(stderr, "deliveries of %.0f ms or more (start s, wall ms, CPU ms, event type, receiver):\n", static_cast<double>(app.slowNs) / 1e6);
    for (const auto &delivery : app.slow) {
        fprintf(stderr,
                "  %7.3f %8.1f %8.1f %4d %s%s%s\n",
                static_cast<double>(delivery.startNs) / 1e9,
                static_cast<double>(delivery.durationNs) / 1e6,
                static_cast<double>(delivery.cpuNs) / 1e6,
                static_cast<int>(delivery.type),
                delivery.receiver.c_str(),
                delivery.result ? ": " : "",
                delivery.result ? delivery.result : "");
    }
    fflush(stdout);
    return status;
}

struct ChildResult {
    bool ok = false;
    std::map<std::string, double> values;
    // kibibytes, as getrusage reports it
    long maxRssKiB = 0;
};

// Runs this program again as a child with @p mode; its "name value" lines come
// back through a pipe and wait4 gives the child's own peak resident size.
ChildResult
runChild(const std::string &self, const char *mode, const std::string &path, const std::vector<std::pair<std::string, std::string>> &environment = {})
{
    ChildResult result;
    int fds[2];
    if (pipe(fds) != 0) {
        perror("pipe");
        return result;
    }
    const pid_t pid = fork();
    if (pid < 0) {
        perror("fork");
        ::close(fds[0]);
        ::close(fds[1]);
        return result;
    }
    if (pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        ::close(fds[0]);
        ::close(fds[1]);
        for (const auto &variable : environment) {
            setenv(variable.first.c_str(), variable.second.c_str(), 1);
        }
        execl(self.c_str(), self.c_str(), mode, path.c_str(), static_cast<char *>(nullptr));
        perror("exec");
        _exit(127);
    }
    ::close(fds[1]);
    std::string output;
    char buffer[4096];
    for (;;) {
        const ssize_t n = readSome(fds[0], buffer, sizeof(buffer));
        if (n <= 0) {
            break;
        }
        output.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    int status = 0;
    struct rusage usage = {};
    while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) { }
    result.maxRssKiB = usage.ru_maxrss;
    result.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;

    std::size_t lineStart = 0;
    while (lineStart < output.size()) {
        std::size_t lineEnd = output.find('\n', lineStart);
        if (lineEnd == std::string::npos) {
            lineEnd = output.size();
        }
        const std::string line = output.substr(lineStart, lineEnd - lineStart);
        const auto blank = line.find(' ');
        if (blank != std::string::npos) {
            result.values[line.substr(0, blank)] = std::strtod(line.c_str() + blank + 1, nullptr);
        }
        lineStart = lineEnd + 1;
    }
    return result;
}

// ---- the parent ----------------------------------------------------------

struct TraceResult {
    std::string path;
    TraceInput::Compression compression = TraceInput::Compression::None;
    bool ok = true;
    int64_t compressedBytes = 0;
    int64_t uncompressedBytes = 0;
    int64_t tableBytes = 0;
    std::vector<double> decompress;
    std::vector<double> firstPass;
    std::vector<double> secondPass;
    std::vector<double> pipeline;
    std::vector<double> bottomUp;
    std::vector<double> reparse;
    uint64_t logBytes = 0;
    int64_t logEvents = 0;
    long peakRssKiB = 0;
    // up to the end of the analysis, before the reparse
    long analysisPeakRssKiB = 0;
    std::vector<double> stallMs;
    std::vector<double> reparseStallMs;
    int stallsOverTarget = 0;
};

double best(const std::vector<double> &values)
{
    return values.empty() ? 0 : *std::min_element(values.begin(), values.end());
}

double worst(const std::vector<double> &values)
{
    return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

const char *compressionName(TraceInput::Compression compression)
{
    switch (compression) {
    case TraceInput::Compression::Gzip:
        return "gzip";
    case TraceInput::Compression::Zstd:
        return "zstd";
    case TraceInput::Compression::None:
        break;
    }
    return "plain";
}

std::string fileName(const std::string &path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Decompression, a reader pass and the whole analysis, once each.
bool measureAnalysis(const std::string &self, const std::string &path, TraceResult *result)
{
    const auto decompressed = decompressOnce(path);
    if (!decompressed.ok) {
        fprintf(stderr, "%s: cannot decompress\n", path.c_str());
        return result->ok = false;
    }
    result->decompress.push_back(decompressed.seconds);
    result->compressedBytes = decompressed.compressedBytes;
    result->uncompressedBytes = decompressed.uncompressedBytes;

    const auto pass = readerPass(path);
    if (!pass.ok) {
        fprintf(stderr, "%s: the reader failed\n", path.c_str());
        return result->ok = false;
    }
    result->firstPass.push_back(pass.firstSeconds);
    result->secondPass.push_back(pass.secondSeconds);
    result->tableBytes = pass.tableBytes;
    result->logBytes = pass.logBytes;
    result->logEvents = pass.logEvents;

    const auto pipeline = runChild(self, "--child-pipeline", path);
    if (!pipeline.ok || !pipeline.values.count("pipeline_seconds")) {
        fprintf(stderr, "%s: the analysis did not finish\n", path.c_str());
        return result->ok = false;
    }
    result->pipeline.push_back(pipeline.values.at("pipeline_seconds"));
    result->bottomUp.push_back(pipeline.values.count("bottom_up_seconds") ? pipeline.values.at("bottom_up_seconds") : 0);
    result->reparse.push_back(pipeline.values.count("reparse_seconds") ? pipeline.values.at("reparse_seconds") : 0);
    result->peakRssKiB = std::max(result->peakRssKiB, pipeline.maxRssKiB);
    if (pipeline.values.count("analysis_max_rss_kib")) {
        result->analysisPeakRssKiB = std::max(result->analysisPeakRssKiB, static_cast<long>(pipeline.values.at("analysis_max_rss_kib")));
    }
    return true;
}

// One load of the file into the window, with its longest event-loop stall.
bool measureWindow(const std::string &self, const std::string &path, TraceResult *result)
{
    char configHome[] = "/tmp/memloupe-bench-config-XXXXXX";
    if (!mkdtemp(configHome)) {
        perror("mkdtemp");
        return result->ok = false;
    }
    // the window saves its layout on close; keep that away from the user's settings
    const auto probe = runChild(self, "--child-window", path, {{"QT_QPA_PLATFORM", "offscreen"}, {"XDG_CONFIG_HOME", configHome}});
    const std::string cleanup = std::string("rm -rf '") + configHome + "'";
    if (system(cleanup.c_str()) != 0) {
        fprintf(stderr, "could not remove %s\n", configHome);
    }
    if (!probe.ok || !probe.values.count("longest_stall_ms")) {
        fprintf(stderr, "%s: the window did not finish loading\n", path.c_str());
        return result->ok = false;
    }
    result->stallMs.push_back(probe.values.at("longest_stall_ms"));
    result->reparseStallMs.push_back(probe.values.count("reparse_longest_stall_ms") ? probe.values.at("reparse_longest_stall_ms") : 0);
    result->stallsOverTarget += static_cast<int>(probe.values.at("stalls_over_target"));
    fprintf(stderr,
            "%s: longest stall %.1f ms, %.1f s into the load; %.1f ms in the reparse\n",
            fileName(path).c_str(),
            probe.values.at("longest_stall_ms"),
            probe.values.at("longest_stall_at_seconds"),
            result->reparseStallMs.back());
    return true;
}

enum class Parts {
    All,
    NoWindow,
    WindowOnly,
};

TraceResult measure(const std::string &self, const std::string &path, int repeat, Parts parts)
{
    TraceResult result;
    result.path = path;
    result.compression = TraceInput::compressionFor(path);
    warmPageCache(path);
    for (int run = 0; run < repeat && result.ok; ++run) {
        fprintf(stderr, "%s: run %d of %d\n", fileName(path).c_str(), run + 1, repeat);
        if (parts != Parts::WindowOnly && !measureAnalysis(self, path, &result)) {
            break;
        }
        if (parts != Parts::NoWindow && !measureWindow(self, path, &result)) {
            break;
        }
    }
    return result;
}

std::string runsText(const std::vector<double> &values, const char *format)
{
    std::string text;
    for (double value : values) {
        char buffer[64];
        snprintf(buffer, sizeof(buffer), format, value);
        if (!text.empty()) {
            text += ' ';
        }
        text += buffer;
    }
    return text;
}

void printTable(const std::vector<TraceResult> &results)
{
    constexpr double MiB = 1024.0 * 1024.0;
    const int labelWidth = 38;
    const int columnWidth = 22;
    auto row = [&](const char *label, auto cell) {
        printf("%-*s", labelWidth, label);
        for (const auto &result : results) {
            printf(" %*s", columnWidth, cell(result).c_str());
        }
        printf("\n");
    };
    auto number = [](const char *format, double value) {
        char buffer[64];
        snprintf(buffer, sizeof(buffer), format, value);
        return std::string(buffer);
    };

    row("trace", [](const TraceResult &r) {
        return fileName(r.path);
    });
    row("compression", [](const TraceResult &r) {
        return std::string(compressionName(r.compression));
    });
    row("runs", [&](const TraceResult &r) {
        return number("%.0f", static_cast<double>(std::max(r.decompress.size(), r.stallMs.size())));
    });
    // none of these with only the window measured
    const bool analysis = std::any_of(results.begin(), results.end(), [](const TraceResult &r) {
        return !r.pipeline.empty();
    });
    if (analysis) {
        row("compressed (MiB)", [&](const TraceResult &r) {
            return number("%.1f", static_cast<double>(r.compressedBytes) / MiB);
        });
        row("uncompressed (MiB)", [&](const TraceResult &r) {
            return number("%.1f", static_cast<double>(r.uncompressedBytes) / MiB);
        });
        row("decompress once (s, best)", [&](const TraceResult &r) {
            return number("%.3f", best(r.decompress));
        });
        row("first reader pass (s, best)", [&](const TraceResult &r) {
            return number("%.3f", best(r.firstPass));
        });
        row("reader pass (s, best)", [&](const TraceResult &r) {
            return number("%.3f", best(r.secondPass));
        });
        row("pipeline to finished (s, best)", [&](const TraceResult &r) {
            return number("%.3f", best(r.pipeline));
        });
        row("pass / decompress", [&](const TraceResult &r) {
            return number("%.2f", best(r.secondPass) / best(r.decompress));
        });
        row("  target", [](const TraceResult &r) {
            return std::string(r.compression == TraceInput::Compression::Zstd ? "<= 1.5" : r.compression == TraceInput::Compression::Gzip ? "<= 1.2" : "-");
        });
        row("pipeline / (3 x decompress)", [&](const TraceResult &r) {
            return number("%.2f", best(r.pipeline) / (3 * best(r.decompress)));
        });
        row("  target", [](const TraceResult &r) {
            return std::string(r.compression == TraceInput::Compression::Zstd ? "<= 1.3" : "-");
        });
        row("first bottom-up (s, best)", [&](const TraceResult &r) {
            return number("%.3f", best(r.bottomUp));
        });
        row("reparse middle third (s, best)", [&](const TraceResult &r) {
            return number("%.3f", best(r.reparse));
        });
        row("pipeline / decompress (<= 2.5)", [&](const TraceResult &r) {
            return number("%.2f", best(r.pipeline) / best(r.decompress));
        });
        row("bottom-up / decompress (<= 2.0)", [&](const TraceResult &r) {
            return number("%.2f", best(r.bottomUp) / best(r.decompress));
        });
        row("reparse / decompress (<= 0.7)", [&](const TraceResult &r) {
            return number("%.2f", best(r.reparse) / best(r.decompress));
        });
        row("event log (MiB)", [&](const TraceResult &r) {
            return number("%.1f", static_cast<double>(r.logBytes) / (1024.0 * 1024.0));
        });
        row("log bytes / event (<= 2.5)", [&](const TraceResult &r) {
            return number("%.2f", r.logEvents ? static_cast<double>(r.logBytes) / static_cast<double>(r.logEvents) : 0.0);
        });
        row("peak RSS / uncompressed (<= 0.6)", [&](const TraceResult &r) {
            return number("%.2f", static_cast<double>(r.analysisPeakRssKiB) * 1024.0 / static_cast<double>(r.uncompressedBytes));
        });
        row("  with the reparse, two results held", [&](const TraceResult &r) {
            return number("%.2f", static_cast<double>(r.peakRssKiB) * 1024.0 / static_cast<double>(r.uncompressedBytes));
        });
        row("analysis peak RSS (MiB)", [&](const TraceResult &r) {
            return number("%.1f", static_cast<double>(r.analysisPeakRssKiB) / 1024.0);
        });
        row("with the reparse peak RSS (MiB)", [&](const TraceResult &r) {
            return number("%.1f", static_cast<double>(r.peakRssKiB) / 1024.0);
        });
        row("tables + per-stack costs (MiB)", [&](const TraceResult &r) {
            return number("%.1f", static_cast<double>(r.tableBytes) / MiB);
        });
        row("peak RSS / tables (target < 2)", [&](const TraceResult &r) {
            return r.tableBytes ? number("%.2f", static_cast<double>(r.peakRssKiB) * 1024.0 / static_cast<double>(r.tableBytes)) : std::string("-");
        });
    }
    if (std::any_of(results.begin(), results.end(), [](const TraceResult &r) {
            return !r.stallMs.empty();
        })) {
        row("window: longest stall (ms, worst)", [&](const TraceResult &r) {
            return number("%.1f", worst(r.stallMs));
        });
        row("  in the reparse (ms, worst)", [&](const TraceResult &r) {
            return number("%.1f", worst(r.reparseStallMs));
        });
        row("window: stalls > 100 ms (all runs)", [&](const TraceResult &r) {
            return number("%.0f", static_cast<double>(r.stallsOverTarget));
        });
    }
    printf("\nevery run (s):\n");
    for (const auto &r : results) {
        printf("%s\n", fileName(r.path).c_str());
        if (analysis) {
            printf("  decompress: %s\n", runsText(r.decompress, "%.3f").c_str());
            printf("  first pass: %s\n", runsText(r.firstPass, "%.3f").c_str());
            printf("  reader pass: %s\n", runsText(r.secondPass, "%.3f").c_str());
            printf("  pipeline:   %s\n", runsText(r.pipeline, "%.3f").c_str());
            printf("  bottom-up:  %s\n", runsText(r.bottomUp, "%.3f").c_str());
            printf("  reparse:    %s\n", runsText(r.reparse, "%.3f").c_str());
        }
        if (!r.stallMs.empty()) {
            printf("  stall (ms): %s\n", runsText(r.stallMs, "%.1f").c_str());
        }
    }
}

// Writes a zstd and a gzip trace of @p size into a fresh directory with the
// generator built beside this program.
bool generate(const std::string &self, const std::string &size, std::string *directory, std::vector<std::string> *paths)
{
    const auto slash = self.rfind('/');
    const std::string generator = (slash == std::string::npos ? std::string(".") : self.substr(0, slash)) + "/memloupe-tracegen";
    const char *tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/memloupe-bench-XXXXXX";
    if (!mkdtemp(pattern.data())) {
        perror("mkdtemp");
        return false;
    }
    *directory = pattern;
    for (const char *suffix : {".zst", ".gz"}) {
        const std::string output = *directory + "/memloupe.bench" + suffix;
        fprintf(stderr, "generating %s (%s)\n", output.c_str(), size.c_str());
        const pid_t pid = fork();
        if (pid == 0) {
            execl(generator.c_str(), generator.c_str(), "--size", size.c_str(), "--output", output.c_str(), static_cast<char *>(nullptr));
            perror(generator.c_str());
            _exit(127);
        }
        int status = 0;
        if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            fprintf(stderr, "generating %s failed\n", output.c_str());
            return false;
        }
        paths->push_back(output);
    }
    return true;
}

void usage(const char *program)
{
    fprintf(stderr,
            "usage: %s [--repeat N] [--no-window | --window-only] (--generate SIZE | TRACE...)\n"
            "  --generate SIZE  write a .zst and a .gz trace of SIZE (e.g. 1G, 100M) into a\n"
            "                   temporary directory, measure both, then delete them\n"
            "  --repeat N       runs per trace (default 1); the table shows the best\n"
            "  --no-window      skip the event-loop probe of the main window\n"
            "  --window-only    run the event-loop probe of the main window alone; its log\n"
            "                   tells how long the window took over each result\n",
            program);
}

std::string selfPath(const char *argv0)
{
    char buffer[4096];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
    if (n <= 0) {
        return argv0;
    }
    return std::string(buffer, static_cast<std::size_t>(n));
}
}

int main(int argc, char **argv)
{
    if (argc == 3 && strcmp(argv[1], "--child-pipeline") == 0) {
        return runPipelineChild(argc, argv, QString::fromLocal8Bit(argv[2]));
    }
    if (argc == 3 && strcmp(argv[1], "--child-window") == 0) {
        return runWindowChild(argc, argv, QString::fromLocal8Bit(argv[2]));
    }

    int repeat = 1;
    Parts parts = Parts::All;
    std::string generateSize;
    std::vector<std::string> paths;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--repeat" && i + 1 < argc) {
            repeat = std::max(1, atoi(argv[++i]));
        } else if (argument == "--generate" && i + 1 < argc) {
            generateSize = argv[++i];
        } else if (argument == "--no-window") {
            parts = Parts::NoWindow;
        } else if (argument == "--window-only") {
            parts = Parts::WindowOnly;
        } else if (argument.compare(0, 2, "--") == 0) {
            usage(argv[0]);
            return 2;
        } else {
            paths.push_back(argument);
        }
    }
    if (paths.empty() == generateSize.empty()) {
        usage(argv[0]);
        return 2;
    }

    const std::string self = selfPath(argv[0]);
    std::string generatedDirectory;
    if (!generateSize.empty() && !generate(self, generateSize, &generatedDirectory, &paths)) {
        return 1;
    }

    std::vector<TraceResult> results;
    bool ok = true;
    for (const auto &path : paths) {
        results.push_back(measure(self, path, repeat, parts));
        ok = ok && results.back().ok;
    }

    if (!generatedDirectory.empty()) {
        for (const auto &path : paths) {
            unlink(path.c_str());
        }
        rmdir(generatedDirectory.c_str());
    }

    printTable(results);
    return ok ? 0 : 1;
}
