/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <string>
#include <vector>

#include "analyze/suppressions.h"
#include "testutils.h"

namespace
{
// Fills the tables of a data object directly.
struct TableBuilder {
    explicit TableBuilder(AccumulatedTraceData *data)
        : data(data)
    {
    }

    StringIndex string(const std::string &text)
    {
        data->strings.push_back(text);
        return makeIndex<StringIndex>(static_cast<uint32_t>(data->strings.size()));
    }

    IpIndex ip(StringIndex module, StringIndex function, StringIndex file = {}, std::vector<Frame> inlined = {})
    {
        InstructionPointer ip;
        ip.instructionPointer = 0x1000 + data->instructionPointers.size();
        ip.moduleIndex = {module};
        ip.frame.functionIndex = {function};
        ip.frame.fileIndex = {file};
        ip.inlined = std::move(inlined);
        data->instructionPointers.push_back(ip);
        return makeIndex<IpIndex>(static_cast<uint32_t>(data->instructionPointers.size()));
    }

    TraceIndex trace(IpIndex ip, TraceIndex parent = {})
    {
        data->traces.push_back({ip, parent});
        return makeIndex<TraceIndex>(static_cast<uint32_t>(data->traces.size()));
    }

    void allocation(TraceIndex trace, const AllocationData &costs)
    {
        Allocation allocation;
        static_cast<AllocationData &>(allocation) = costs;
        allocation.traceIndex = trace;
        data->allocations.push_back(allocation);
        data->totalCost += costs;
    }

    void suppress(const std::string &pattern)
    {
        data->suppressions.push_back({pattern, 0, 0});
    }

    AccumulatedTraceData *data;
};

Frame frame(StringIndex function, StringIndex file)
{
    Frame frame;
    frame.functionIndex = {function};
    frame.fileIndex = {file};
    return frame;
}

std::vector<int64_t> suppressedBytes(const AccumulatedTraceData &data)
{
    std::vector<int64_t> ret;
    for (const auto &suppression : data.suppressions) {
        ret.push_back(suppression.leaked);
    }
    return ret;
}

std::vector<int64_t> matchCounts(const AccumulatedTraceData &data)
{
    std::vector<int64_t> ret;
    for (const auto &suppression : data.suppressions) {
        ret.push_back(suppression.matches);
    }
    return ret;
}

std::vector<AllocationData> costsOf(const AccumulatedTraceData &data)
{
    std::vector<AllocationData> ret;
    for (const auto &allocation : data.allocations) {
        ret.push_back(allocation);
    }
    return ret;
}

}

class TestSuppressions : public QObject
{
    Q_OBJECT

private:
    std::string writeFile(const std::string &contents)
    {
        const auto path = m_dir.filePath(QStringLiteral("file%1").arg(m_fileCount++)).toStdString();
        if (!writeTraceFile(path, contents, Compression::None)) {
            return {};
        }
        return path;
    }

    QTemporaryDir m_dir;
    int m_fileCount = 0;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
    }

    void testParseSuppression_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QByteArray>("pattern");
        QTest::addColumn<QByteArray>("message");

        QTest::newRow("comment") << QByteArray("# leak:foo") << QByteArray() << QByteArray();
        QTest::newRow("indented comment") << QByteArray("  \t#foo") << QByteArray() << QByteArray();
        QTest::newRow("empty") << QByteArray() << QByteArray() << QByteArray();
        QTest::newRow("white space only") << QByteArray(" \t\r\n\v\f") << QByteArray() << QByteArray();
        QTest::newRow("padded") << QByteArray("  leak:malloc_helper  ") << QByteArray("malloc_helper") << QByteArray();
        QTest::newRow("tab and carriage return") << QByteArray("\tleak:foo\r") << QByteArray("foo") << QByteArray();
        QTest::newRow("prefix alone") << QByteArray("leak:") << QByteArray() << QByteArray();
        QTest::newRow("prefix and blanks") << QByteArray("leak:  \t") << QByteArray() << QByteArray();
        QTest::newRow("blanks after prefix kept") << QByteArray("leak: two words") << QByteArray(" two words") << QByteArray();
        QTest::newRow("metacharacters") << QByteArray("leak:^lib*.so$") << QByteArray("^lib*.so$") << QByteArray();
        QTest::newRow("invalid") << QByteArray("foo") << QByteArray() << QByteArray("invalid suppression line: foo\n");
        QTest::newRow("invalid padded") << QByteArray("  foo bar \t") << QByteArray() << QByteArray("invalid suppression line: foo bar\n");
        QTest::newRow("upper case") << QByteArray("Leak:foo") << QByteArray() << QByteArray("invalid suppression line: Leak:foo\n");
        QTest::newRow("other sanitizer") << QByteArray("race:foo") << QByteArray() << QByteArray("invalid suppression line: race:foo\n");
        QTest::newRow("no colon") << QByteArray("leak") << QByteArray() << QByteArray("invalid suppression line: leak\n");
    }

    void testParseSuppression()
    {
        QFETCH(QByteArray, line);
        QFETCH(QByteArray, pattern);
        QFETCH(QByteArray, message);

        StderrCapture capture;
        const auto parsed = parseSuppression(line.toStdString());
        const auto output = capture.finish();
        QCOMPARE(parsed, pattern.toStdString());
        QCOMPARE(output, message.toStdString());
    }

    void testParseSuppressionFile()
    {
        const auto simple = writeFile("# comment\n\n  leak:malloc_helper  \nleak:\n");
        QVERIFY(!simple.empty());
        bool ok = false;
        StderrCapture capture;
        QCOMPARE(parseSuppressions(simple, &ok), std::vector<std::string>({"malloc_helper"}));
        QVERIFY(ok);
        QCOMPARE(capture.finish(), std::string());

        // an invalid line costs only itself; the last line needs no line feed
        const auto mixed = writeFile("foo\nleak:a\r\n#leak:b\nleak:c*d");
        QVERIFY(!mixed.empty());
        ok = false;
        StderrCapture mixedCapture;
        QCOMPARE(parseSuppressions(mixed, &ok), std::vector<std::string>({"a", "c*d"}));
        QVERIFY(ok);
        QCOMPARE(mixedCapture.finish(), std::string("invalid suppression line: foo\n"));
        QCOMPARE(parseSuppressions(mixed, nullptr), std::vector<std::string>({"a", "c*d"}));
    }

    void testUnreadableSuppressionFile()
    {
        const auto missing = m_dir.filePath(QStringLiteral("does-not-exist")).toStdString();
        bool ok = true;
        StderrCapture capture;
        QVERIFY(parseSuppressions(missing, &ok).empty());
        QVERIFY(!ok);
        QVERIFY(parseSuppressions(missing, nullptr).empty());
        QCOMPARE(capture.finish(), "failed to open suppression file: " + missing + "\n" + "failed to open suppression file: " + missing + "\n");

        // a directory opens on Linux, but cannot be read
        const auto directory = m_dir.path().toStdString();
        ok = true;
        StderrCapture directoryCapture;
        QVERIFY(parseSuppressions(directory, &ok).empty());
        QVERIFY(!ok);
        QCOMPARE(directoryCapture.finish(), "failed to open suppression file: " + directory + "\n");

        // no file given is not an error
        ok = false;
        StderrCapture emptyCapture;
        QVERIFY(parseSuppressions(std::string(), &ok).empty());
        QVERIFY(ok);
        QCOMPARE(emptyCapture.finish(), std::string());
    }

    void testBuiltinSuppressions()
    {
        const auto builtins = builtinSuppressions();
        std::vector<std::string> patterns;
        for (const auto &suppression : builtins) {
            patterns.push_back(suppression.pattern);
            QCOMPARE(suppression.matches, int64_t(0));
            QCOMPARE(suppression.leaked, int64_t(0));
        }
        QCOMPARE(
            patterns,
            std::vector<std::string>(
                {"__nss_module_allocate", "__gconv_read_conf", "__new_exitfn", "tzset_internal", "dl_open_worker", "g_main_context_new", "g_thread_self"}));
    }

    void testMatchesSuppression_data()
    {
        QTest::addColumn<QByteArray>("pattern");
        QTest::addColumn<QByteArray>("haystack");
        QTest::addColumn<bool>("matches");

        QTest::newRow("anchored start") << QByteArray("^__libc") << QByteArray("__libc_start_main") << true;
        QTest::newRow("anchored start, later occurrence") << QByteArray("^__libc") << QByteArray("x__libc") << false;
        QTest::newRow("anchored end") << QByteArray("init$") << QByteArray("static_init") << true;
        QTest::newRow("anchored end, not at end") << QByteArray("init$") << QByteArray("init_once") << false;
        QTest::newRow("star segment not retried") << QByteArray("a*b$") << QByteArray("aXbYb") << false;
        QTest::newRow("segment not retried") << QByteArray("abc$") << QByteArray("abcXabc") << false;
        QTest::newRow("both anchors") << QByteArray("^abc$") << QByteArray("abc") << true;
        QTest::newRow("both anchors, longer") << QByteArray("^abc$") << QByteArray("abcd") << false;
        QTest::newRow("both anchors, prefixed") << QByteArray("^abc$") << QByteArray("xabc") << false;
        QTest::newRow("substring") << QByteArray("leak") << QByteArray("my_leak_helper") << true;
        QTest::newRow("longer than haystack") << QByteArray("leak") << QByteArray("lea") << false;
        QTest::newRow("star in between") << QByteArray("a*c") << QByteArray("xabxc") << true;
        QTest::newRow("star keeps order") << QByteArray("c*a") << QByteArray("abc") << false;
        QTest::newRow("star then end") << QByteArray("a*$") << QByteArray("abc") << true;
        QTest::newRow("double star") << QByteArray("a**b") << QByteArray("ab") << true;
        QTest::newRow("star lifts anchor") << QByteArray("^*b") << QByteArray("ab") << true;
        QTest::newRow("text after end anchor ignored") << QByteArray("foo$bar") << QByteArray("xfoo") << true;
        QTest::newRow("stars around") << QByteArray("*foo*") << QByteArray("foo") << true;
        QTest::newRow("empty pattern") << QByteArray() << QByteArray("anything") << true;
        QTest::newRow("both empty") << QByteArray() << QByteArray() << true;
        QTest::newRow("equal") << QByteArray("operator new(unsigned long)") << QByteArray("operator new(unsigned long)") << true;
        QTest::newRow("equal with metacharacters") << QByteArray("a*b$") << QByteArray("a*b$") << true;
        QTest::newRow("empty haystack") << QByteArray("x") << QByteArray() << false;
        QTest::newRow("star, empty haystack") << QByteArray("*") << QByteArray() << false;
    }

    void testMatchesSuppression()
    {
        QFETCH(QByteArray, pattern);
        QFETCH(QByteArray, haystack);
        QFETCH(bool, matches);

        const auto patternString = pattern.toStdString();
        QCOMPARE(matchesSuppression(patternString, haystack.toStdString()), matches);
        QCOMPARE(patternString, pattern.toStdString());
    }

    void testOutermostMatchWins()
    {
        RecordingData data;
        TableBuilder builder(&data);
        const auto main = builder.trace(builder.ip({}, builder.string("main")));
        const auto f = builder.trace(builder.ip({}, builder.string("f")), main);
        const auto leakMe = builder.ip({}, builder.string("leak_me"));
        builder.allocation(builder.trace(leakMe, f), cost(1, 0, 100, 100));
        // the same function reached without main
        const auto other = builder.trace(builder.ip({}, builder.string("worker")));
        builder.allocation(builder.trace(leakMe, other), cost(1, 0, 7, 7));
        // list order must not decide
        builder.suppress("leak_me");
        builder.suppress("^main$");

        data.applyLeakSuppressions();
        QCOMPARE(suppressedBytes(data), std::vector<int64_t>({7, 100}));
        QCOMPARE(matchCounts(data), std::vector<int64_t>({1, 1}));
        QCOMPARE(data.totalLeakedSuppressed, int64_t(107));
        QCOMPARE(data.totalCost.leaked, int64_t(0));
    }

    void testSuppressedCosts()
    {
        RecordingData data;
        TableBuilder builder(&data);
        const auto init = builder.trace(builder.ip({}, builder.string("tzset_internal")));
        builder.allocation(init, cost(3, 1, 48, 40));
        builder.allocation(builder.trace(builder.ip({}, builder.string("freed_again")), init), cost(5, 5, 0, 16));
        builder.allocation(builder.trace(builder.ip({}, builder.string("real_leak"))), cost(2, 0, 10, 10));
        // the empty stack has no frame to match
        builder.allocation({}, cost(1, 0, 4, 4));
        data.suppressions = builtinSuppressions();
        const auto before = costsOf(data);

        data.applyLeakSuppressions();
        QCOMPARE(data.totalLeakedSuppressed, int64_t(48));
        QCOMPARE(data.suppressions[3].pattern, std::string("tzset_internal"));
        QCOMPARE(data.suppressions[3].leaked, int64_t(48));
        // the stack that leaked nothing still counts
        QCOMPARE(data.suppressions[3].matches, int64_t(2));
        QCOMPARE(data.totalCost, cost(11, 6, 14, 70));
        auto expected = before;
        expected[0].leaked = 0;
        QCOMPARE(costsOf(data), expected);

        // nothing is left to suppress, but the matches are counted again
        data.applyLeakSuppressions();
        QCOMPARE(data.totalLeakedSuppressed, int64_t(0));
        QCOMPARE(data.suppressions[3].leaked, int64_t(48));
        QCOMPARE(data.suppressions[3].matches, int64_t(4));
        QCOMPARE(data.totalCost, cost(11, 6, 14, 70));
        QCOMPARE(costsOf(data), expected);
        QCOMPARE(matchCounts(data), std::vector<int64_t>({0, 0, 0, 4, 0, 0, 0}));
    }

    void testNothingMatches()
    {
        RecordingData data;
        TableBuilder builder(&data);
        builder.allocation(builder.trace(builder.ip(builder.string("libapp.so"), builder.string("leaky"), builder.string("leaky.c"))), cost(1, 0, 32, 32));
        builder.suppress("^eaky");
        builder.suppress("leaky.h");
        const auto before = costsOf(data);
        data.totalLeakedSuppressed = 99;

        data.applyLeakSuppressions();
        QCOMPARE(data.totalLeakedSuppressed, int64_t(0));
        QCOMPARE(costsOf(data), before);
        QCOMPARE(data.totalCost, cost(1, 0, 32, 32));
        QCOMPARE(matchCounts(data), std::vector<int64_t>({0, 0}));

        data.suppressions.clear();
        data.totalLeakedSuppressed = 99;
        data.applyLeakSuppressions();
        QCOMPARE(data.totalLeakedSuppressed, int64_t(0));
        QCOMPARE(costsOf(data), before);
    }

    void testMatchThroughEveryFrameString()
    {
        RecordingData data;
        TableBuilder builder(&data);
        // the list in the reverse of the order in which an ip's strings are tried
        builder.suppress("sup_inline.h");
        builder.suppress("sup_inline_fn");
        builder.suppress("sup_file.c");
        builder.suppress("sup_function");
        builder.suppress("libsup.so");

        const auto module = builder.string("libsup.so");
        const auto function = builder.string("sup_function");
        const auto file = builder.string("sup_file.c");
        const auto inlineFunction = builder.string("sup_inline_fn");
        const auto inlineFile = builder.string("sup_inline.h");
        const auto otherModule = builder.string("libother.so");
        const auto plain = builder.string("plain");
        const auto plainFile = builder.string("plain.h");

        builder.allocation(builder.trace(builder.ip(module, function, file, {frame(inlineFunction, inlineFile)})), cost(1, 0, 1, 0));
        builder.allocation(builder.trace(builder.ip(otherModule, function, file, {frame(inlineFunction, inlineFile)})), cost(1, 0, 2, 0));
        builder.allocation(builder.trace(builder.ip(otherModule, plain, file, {frame(inlineFunction, inlineFile)})), cost(1, 0, 4, 0));
        // inlined frames in order, each function before its file
        builder.allocation(builder.trace(builder.ip(otherModule, plain, plainFile, {frame(plain, inlineFile), frame(inlineFunction, plainFile)})),
                           cost(1, 0, 8, 0));
        builder.allocation(builder.trace(builder.ip(otherModule, plain, plainFile, {frame(plain, plainFile), frame(inlineFunction, inlineFile)})),
                           cost(1, 0, 16, 0));
        builder.allocation(builder.trace(builder.ip(otherModule, plain, plainFile, {frame(plain, plainFile)})), cost(1, 0, 32, 0));

        data.applyLeakSuppressions();
        QCOMPARE(suppressedBytes(data), std::vector<int64_t>({8, 16, 4, 2, 1}));
        QCOMPARE(matchCounts(data), std::vector<int64_t>({1, 1, 1, 1, 1}));
        QCOMPARE(data.totalLeakedSuppressed, int64_t(31));
        QCOMPARE(data.totalCost.leaked, int64_t(32));
        QCOMPARE(data.allocations.back().leaked, int64_t(32));
    }

    void testCorruptIndices()
    {
        RecordingData data;
        TableBuilder builder(&data);
        const auto suppressed = builder.string("suppressed");
        const auto beyond = makeIndex<StringIndex>(40);
        const auto good = builder.trace(builder.ip({}, suppressed));
        // strings, ips and parents beyond their tables match nothing
        builder.allocation(builder.trace(builder.ip(beyond, beyond, beyond, {frame(beyond, beyond)})), cost(1, 0, 1, 0));
        builder.allocation(builder.trace(makeIndex<IpIndex>(30)), cost(1, 0, 2, 0));
        builder.allocation(builder.trace(makeIndex<IpIndex>(30), makeIndex<TraceIndex>(50)), cost(1, 0, 4, 0));
        builder.allocation(makeIndex<TraceIndex>(60), cost(1, 0, 8, 0));
        // below a matching frame, corrupt frames are still covered
        builder.allocation(builder.trace(makeIndex<IpIndex>(30), good), cost(1, 0, 16, 0));
        // a parent defined later is not known yet: the node's own frame decides
        const auto forward = makeIndex<TraceIndex>(static_cast<uint32_t>(data.traces.size() + 2));
        builder.allocation(builder.trace(builder.ip({}, builder.string("unmatched")), forward), cost(1, 0, 32, 0));
        builder.trace(builder.ip({}, suppressed));
        builder.suppress("suppressed");

        data.applyLeakSuppressions();
        QCOMPARE(suppressedBytes(data), std::vector<int64_t>({16}));
        QCOMPARE(data.totalCost.leaked, int64_t(47));
    }

    void testEmbeddedAndUserSuppressions()
    {
        const auto path = writeFile("v 10500 3\n" + s("main") + s("g_main_context_new") + s("myInit") + s("embeddedLeak") + s("realLeak")
                                    + "S leak:embeddedLeak\n"
                                      "i 1 0 1 0 0\ni 2 0 2 0 0\ni 3 0 3 0 0\ni 4 0 4 0 0\ni 5 0 5 0 0\n"
                                      "t 1 0\nt 2 1\nt 3 1\nt 4 1\nt 5 1\n"
                                      "a 20 2\na 10 3\na 8 4\na 4 5\n"
                                      "+ 0\n+ 1\n+ 2\n+ 3\n+ 1\n- 1\n");
        QVERIFY(!path.empty());
        RecordingData data;
        data.filterParameters.suppressions = {"myInit"};
        QVERIFY(data.read(path, false));
        QCOMPARE(data.suppressions.size(), std::size_t(9));
        QCOMPARE(data.suppressions[7].pattern, std::string("myInit"));
        QCOMPARE(data.suppressions[8].pattern, std::string("embeddedLeak"));
        QCOMPARE(data.totalCost.leaked, int64_t(0x3c));

        data.applyLeakSuppressions();
        QCOMPARE(suppressedBytes(data), std::vector<int64_t>({0, 0, 0, 0, 0, 0x20, 0, 0x10, 8}));
        QCOMPARE(matchCounts(data), std::vector<int64_t>({0, 0, 0, 0, 0, 1, 0, 1, 1}));
        QCOMPARE(data.totalLeakedSuppressed, int64_t(0x38));
        QCOMPARE(data.totalCost.leaked, int64_t(4));
        QCOMPARE(data.totalCost.allocations, int64_t(5));
    }
};

QTEST_GUILESS_MAIN(TestSuppressions)

#include "tst_suppressions.moc"
