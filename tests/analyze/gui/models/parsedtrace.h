/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    A small hand-written trace and a helper that runs the whole analysis over it,
    so the caller/callee, chart and histogram model tests see real results.
*/

#pragma once

#include <cstdio>
#include <string>

#include <QTemporaryDir>

#include "analyze/gui/analysis/analysisrun.h"
#include "analyze/gui/analysis/resultdata.h"
#include "testutils.h"

namespace ParsedTrace
{
// Tables shared by the sample and its diff base.
// strings: 1 /usr/bin/app, 2 main, 3 foo, 4 bar, 5 /src/app.cpp, 6 baz, 7 /usr/lib/libother.so
// ips:     1 main :10, 2 foo :20, 3 bar :30, 4 baz :40, 5 foo in libother :50, 6 foo :21
// traces:  1 main, 2 main>foo, 3 main>foo>bar, 4 main>baz, 5 main>foo(libother), 6 main>foo>foo(line 21)
// infos:   0 16B trace 2, 1 2048B trace 3, 2 8B trace 4, 3 33B trace 6, 4 34B trace 6, 5 64B trace 5
inline std::string tables()
{
    std::string text = "v 10500 3\nX ./app\n";
    const std::string strings[] = {"/usr/bin/app", "main", "foo", "bar", "/src/app.cpp", "baz", "/usr/lib/libother.so"};
    for (const std::string &name : strings) {
        text += s(name);
    }
    text += "i 1000 1 2 5 a\ni 1100 1 3 5 14\ni 1200 1 4 5 1e\ni 1300 1 6 5 28\ni 2000 7 3 5 32\ni 1110 1 3 5 15\n";
    text += "t 1 0\nt 2 1\nt 3 2\nt 4 1\nt 5 1\nt 6 2\n";
    text += "a 10 2\na 800 3\na 8 4\na 21 6\na 22 6\na 40 5\n";
    return text;
}

// Per call stack (allocations / temporary / leaked / peak): main>foo 2/1/16/16, main>foo>bar 1/0/0/2048,
// main>baz 2/1/8/8, main>foo>foo 3/0/101/101, main>foo(libother) 1/1/0/64; totals 9/3/125/2237.
// Chart samples at 0 (origin), 10, 20, 30, 40 and 41 (end); allocations so far 0, 0, 4, 8, 9, 9.
inline std::string sampleTrace()
{
    return tables() + "c a\n+ 0\n+ 1\n+ 2\n- 2\n+ 2\nc 14\n+ 3\n+ 4\n+ 4\n+ 5\n- 5\nc 1e\n- 1\n+ 0\n- 0\nc 28\n";
}

// Only bar allocates here (4/1/2048/8192), so in a diff against it bar has -3/-1/-2048/-6144.
inline std::string diffBaseTrace()
{
    return tables() + "c a\n+ 1\n+ 1\n+ 1\n+ 1\n- 1\n- 1\n- 1\nc 14\n";
}

struct Results {
    bool finished = false;
    bool failed = false;
    CallerCalleeResults callerCallee;
    ChartData consumed;
    ChartData allocations;
    ChartData temporary;
    HistogramData histogram;
};

// Writes the trace (and the optional diff base) into dir and runs the full analysis on it.
inline Results analyze(const QTemporaryDir &dir, const std::string &trace, const std::string &diffBase = {})
{
    Results results;
    const QString path = dir.filePath(QStringLiteral("memloupe.app.1"));
    const QString basePath = diffBase.empty() ? QString() : dir.filePath(QStringLiteral("memloupe.app.2"));
    if (!writeTraceFile(path.toStdString(), trace, Compression::None)
        || (!diffBase.empty() && !writeTraceFile(basePath.toStdString(), diffBase, Compression::None))) {
        results.failed = true;
        return results;
    }

    Parser parser;
    const auto run = runAnalysis(parser, path, basePath, FilterParameters(), Parser::StopAfter::Finished, 20000);
    results.finished = run.finished;
    results.failed = run.failed;
    results.callerCallee = run.callerCallee;
    results.consumed = run.consumed;
    results.allocations = run.allocations;
    results.temporary = run.temporary;
    results.histogram = run.histogram;
    return results;
}

// string indices of the tables above
enum StringId : uint32_t { AppModule = 1, MainFunction = 2, FooFunction = 3, BarFunction = 4, SourceFile = 5, BazFunction = 6, OtherModule = 7 };

inline Symbol symbol(uint32_t function, uint32_t module = AppModule)
{
    Symbol result;
    result.functionId.index = function;
    result.moduleId.index = module;
    return result;
}

inline FileLine fileLine(int line)
{
    FileLine result;
    result.fileId.index = SourceFile;
    result.line = line;
    return result;
}
}
