/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    Hand-written traces for the tree, top-list, stack and suppression model
    tests, and the background analysis run over them as the main window runs it.
*/

#pragma once

#include <cstdio>
#include <string>

#include <QAbstractItemModel>
#include <QTemporaryDir>
#include <QTest>

#include "analyze/filterparameters.h"
#include "analyze/gui/analysis/analysisrun.h"

#include "testutils.h"

struct TreeAnalysis {
    SummaryData summary;
    TreeData bottomUp;
    TreeData topDown;
    bool finished = false;
};

// The location texts of the rows below @p parent, in row order.
inline QStringList rowTexts(const QAbstractItemModel &model, const QModelIndex &parent = {})
{
    QStringList texts;
    for (int row = 0; row < model.rowCount(parent); ++row) {
        texts.append(model.index(row, 0, parent).data().toString());
    }
    return texts;
}

inline QModelIndex findRow(const QAbstractItemModel &model, const QString &text, const QModelIndex &parent = {})
{
    const int row = rowTexts(model, parent).indexOf(text);
    return row < 0 ? QModelIndex() : model.index(row, 0, parent);
}

// "f in app" for each function f
inline QStringList inApp(std::initializer_list<const char *> functions)
{
    QStringList ret;
    for (const char *function : functions) {
        ret.append(QLatin1String(function) + QLatin1String(" in app"));
    }
    return ret;
}

// @p baseTrace, when given, is the diff base of @p trace.
inline TreeAnalysis analyzeTrace(const std::string &trace, const std::string &baseTrace = {}, const FilterParameters &filter = {})
{
    TreeAnalysis ret;
    QTemporaryDir dir;
    const auto path = dir.filePath(QStringLiteral("memloupe.app.1"));
    const auto basePath = baseTrace.empty() ? QString() : dir.filePath(QStringLiteral("memloupe.app.2"));
    if (!dir.isValid() || !writeTraceFile(path.toStdString(), trace, Compression::None)
        || (!basePath.isEmpty() && !writeTraceFile(basePath.toStdString(), baseTrace, Compression::None))) {
        return ret;
    }

    Parser parser;
    const auto run = runAnalysis(parser, path, basePath, filter, Parser::StopAfter::TopDownAndCallerCallee, 10000);
    ret.summary = run.summary;
    ret.bottomUp = run.bottomUp;
    ret.topDown = run.topDown;
    ret.finished = run.finished;
    return ret;
}

/*
    Bottom-up shape (allocating function first, callers below), all in app
    unless noted:
      c1 - c2 - c3 - c4 - c5 - c6 - c7 - c8     a chain of single callers, 64 bytes
      g - h - {k1, k2 (x.so), k3}               16, 32, 48 bytes
      malloc (x.so) - {p1, p2}                  100 and 200 bytes, the 200 freed after the peak
      solo<int>                                 1000 bytes, and one temporary allocation before
      function 0 (x.so), dup (/a/libb.so), dup (/z/liba.so): 8, 24, 40 bytes
    Totals: 11 allocations, 1 temporary, peak 1532, leaked 1332.
*/
inline std::string callTreeTrace()
{
    std::string strings = "v 10500 3\n";
    for (const char *text : {"/usr/lib/x.so",
                             "/opt/app/bin/app",
                             "c1",
                             "c2",
                             "c3",
                             "c4",
                             "c5",
                             "c6",
                             "c7",
                             "c8",
                             "g",
                             "h",
                             "k1",
                             "k2",
                             "k3",
                             "malloc",
                             "p1",
                             "p2",
                             "solo<int>",
                             "dup",
                             "/a/libb.so",
                             "/z/liba.so"}) {
        strings += s(text);
    }
    return strings
        // ip 1..8: c1..c8, 9: g, a: h, b..d: k1..k3, e: malloc, f, 10: p1, p2, 11: solo, 12: function 0, 13, 14: dup
        + "i 1000 2 3 0 0\ni 1001 2 4 0 0\ni 1002 2 5 0 0\ni 1003 2 6 0 0\ni 1004 2 7 0 0\ni 1005 2 8 0 0\ni 1006 2 9 0 0\n"
          "i 1007 2 a 0 0\ni 1008 2 b 0 0\ni 1009 2 c 0 0\ni 100a 2 d 0 0\ni 100b 1 e 0 0\ni 100c 2 f 0 0\ni 100d 1 10 0 0\n"
          "i 100e 2 11 0 0\ni 100f 2 12 0 0\ni 1010 2 13 0 0\ni 1011 1 0 0 0\ni 1012 15 14 0 0\ni 1013 16 14 0 0\n"
          // traces 1..8: c8 outermost down to c1
          "t 8 0\nt 7 1\nt 6 2\nt 5 3\nt 4 4\nt 3 5\nt 2 6\nt 1 7\n"
          // 9..b: k1..k3, c..e: h below each, f..11: g below each h
          "t b 0\nt c 0\nt d 0\nt a 9\nt a a\nt a b\nt 9 c\nt 9 d\nt 9 e\n"
          // 12, 13: p1, p2, 14, 15: malloc below each; 16: solo, 17: function 0, 18, 19: dup
          "t f 0\nt 10 0\nt e 12\nt e 13\nt 11 0\nt 12 0\nt 13 0\nt 14 0\n"
          "a 40 8\na 10 f\na 20 10\na 30 11\na 64 14\na c8 15\na 3e8 16\na 8 17\na 18 18\na 28 19\n"
          "c 1\n+ 6\n- 6\n+ 0\n+ 1\n+ 2\n+ 3\n+ 4\n+ 5\n+ 6\n+ 7\n+ 8\n+ 9\nc 2\n- 5\nc 3\n";
}

/*
    A diff, all live to the end: "shrinks" 4096 bytes once against 8192 once in
    the base; "grows" 2 x 4096 against 2048 once; "steady" 2048 against nothing.
    @p extra goes between the tables and the events of the newer file.
*/
inline std::string diffTrace(const std::string &extra = {}, bool base = false)
{
    return "v 10500 3\n" + s("/opt/app/bin/app") + s("shrinks") + s("grows") + s("steady")
        + "i 3000 1 2 0 0\ni 3001 1 3 0 0\ni 3002 1 4 0 0\nt 1 0\nt 2 0\nt 3 0\n" + extra
        + (base ? "a 2000 1\na 800 2\nc 1\n+ 0\n+ 1\nc 2\n" : "a 1000 1\na 1000 2\na 800 3\nc 1\n+ 0\n+ 1\n+ 1\n+ 2\nc 2\n");
}

inline TreeAnalysis analyzeDiff(const std::string &extra = {})
{
    return analyzeTrace(diffTrace(extra), diffTrace({}, true));
}
