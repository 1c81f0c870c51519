/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

#include <QTest>

#include "analyze/allocationdata.h"
#include "analyze/gui/analysis/locationdata.h"
#include "analyze/gui/analysis/resultdata.h"
#include "analyze/gui/analysis/util.h"

#include "analysistestutils.h"
#include "testutils.h"

using AnalysisTest::cost;

namespace
{
Symbol makeSymbol(uint32_t function, uint32_t module)
{
    return {makeIndex<FunctionIndex>(function), makeIndex<ModuleIndex>(module)};
}

FileLine makeFileLine(uint32_t file, int line)
{
    FileLine location;
    location.fileId = makeIndex<FileIndex>(file);
    location.line = line;
    return location;
}

// 1: module, 2: plain function, 3: function with markup characters, 4: source
// file, 5: file name with markup characters, 6: empty string
const QVector<QString> Strings = {QStringLiteral("/usr/bin/app"),
                                  QStringLiteral("main"),
                                  QStringLiteral("operator<<(int)"),
                                  QStringLiteral("/src/app/main.cpp"),
                                  QStringLiteral("/src/a&b/<x>.cpp"),
                                  QString()};
}

class TestUtil : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void testFormatTime_data()
    {
        QTest::addColumn<qint64>("ms");
        QTest::addColumn<QString>("expected");

        QTest::newRow("zero") << qint64(0) << QStringLiteral("0ms");
        QTest::newRow("below a second") << qint64(999) << QStringLiteral("999ms");
        QTest::newRow("negative below a second") << qint64(-5) << QStringLiteral("-5ms");
        QTest::newRow("one second") << qint64(1000) << QStringLiteral("01.000s");
        QTest::newRow("fraction") << qint64(1500) << QStringLiteral("01.500s");
        QTest::newRow("ms padded") << qint64(10007) << QStringLiteral("10.007s");
        QTest::newRow("below a minute") << qint64(59999) << QStringLiteral("59.999s");
        QTest::newRow("one minute") << qint64(60000) << QStringLiteral("1min00s");
        QTest::newRow("minute and a second") << qint64(61000) << QStringLiteral("1min01s");
        QTest::newRow("minute, ms dropped") << qint64(61999) << QStringLiteral("1min01s");
        QTest::newRow("one hour") << qint64(3600000) << QStringLiteral("1h00s");
        QTest::newRow("zero minutes skipped") << qint64(3600000 + 5000) << QStringLiteral("1h05s");
        QTest::newRow("hour, minute, second") << qint64(3661000) << QStringLiteral("1h1min01s");
        QTest::newRow("one day") << qint64(86400000) << QStringLiteral("1d00s");
        QTest::newRow("all units") << qint64(90061000) << QStringLiteral("1d1h1min01s");
        QTest::newRow("hours wrap at a day") << qint64(86400000 + 23 * 3600000) << QStringLiteral("1d23h00s");
        QTest::newRow("negative seconds") << qint64(-1500) << QStringLiteral("-01.500s");
        QTest::newRow("negative hours") << qint64(-3661000) << QStringLiteral("-1h1min01s");
    }

    void testFormatTime()
    {
        QFETCH(qint64, ms);
        QFETCH(QString, expected);
        QCOMPARE(Util::formatTime(ms), expected);
    }

    void testFormatCostRelative()
    {
        QCOMPARE(Util::formatCostRelative(1, 3), QStringLiteral("33.3"));
        QCOMPARE(Util::formatCostRelative(1, 1), QStringLiteral("100"));
        QCOMPARE(Util::formatCostRelative(1, 8), QStringLiteral("12.5"));
        QCOMPARE(Util::formatCostRelative(1, 10000000), QStringLiteral("1e-05"));
        QCOMPARE(Util::formatCostRelative(-1, 4), QStringLiteral("-25"));
        QCOMPARE(Util::formatCostRelative(1, 4, true), QStringLiteral("25%"));
        // no total: nothing to relate to, whatever the cost
        QCOMPARE(Util::formatCostRelative(5, 0), QString());
        QCOMPARE(Util::formatCostRelative(0, 0, true), QString());
    }

    void testFormatBytes()
    {
        for (qint64 bytes : {qint64(0), qint64(1), qint64(999), qint64(1000), qint64(1500), qint64(1500000), qint64(-2500), qint64(7300000000000)}) {
            const auto text = Util::formatBytes(bytes);
            QVERIFY2(!text.isEmpty(), qPrintable(QString::number(bytes)));
            QVERIFY2(!text.contains(QLatin1Char(' ')), qPrintable(text));
        }
        // powers of 1000, not 1024
        QCOMPARE(Util::formatBytes(1500000), QStringLiteral("1.5MB"));
        QCOMPARE(Util::formatBytes(-2500), QStringLiteral("-2.5kB"));
    }

    void testBasenameAndFormatString()
    {
        QCOMPARE(Util::basename(QStringLiteral("/usr/lib/libc.so.6")), QStringLiteral("libc.so.6"));
        QCOMPARE(Util::basename(QStringLiteral("app")), QStringLiteral("app"));
        QCOMPARE(Util::basename(QStringLiteral("/usr/lib/")), QString());
        QCOMPARE(Util::basename(QString()), QString());

        QCOMPARE(Util::formatString(QStringLiteral("x")), QStringLiteral("x"));
        QCOMPARE(Util::formatString(QString()), QStringLiteral("??"));
    }

    void testResultDataString()
    {
        const ResultData resultData({}, Strings);
        // 1-based: index 1 is the first entry
        QCOMPARE(resultData.string(makeIndex<StringIndex>(1)), QStringLiteral("/usr/bin/app"));
        QCOMPARE(resultData.string(makeIndex<FunctionIndex>(2)), QStringLiteral("main"));
        QCOMPARE(resultData.string(makeIndex<FileIndex>(4)), QStringLiteral("/src/app/main.cpp"));

        QCOMPARE(resultData.string(makeIndex<StringIndex>(0)), QString());
        QCOMPARE(resultData.string(makeIndex<ModuleIndex>(0)), QString());
        QCOMPARE(resultData.string(makeIndex<FileIndex>(0)), QString());
        QCOMPARE(resultData.string(makeIndex<FunctionIndex>(0)), QStringLiteral("<unresolved function>"));
        QCOMPARE(Util::unresolvedFunctionName(), QStringLiteral("<unresolved function>"));

        QCOMPARE(resultData.string(makeIndex<StringIndex>(7)), QString());
        QCOMPARE(resultData.string(makeIndex<FunctionIndex>(7)), QString());
        QCOMPARE(resultData.string(makeIndex<StringIndex>(0xffffffffu)), QString());

        const ResultData empty({}, {});
        QCOMPARE(empty.string(makeIndex<StringIndex>(1)), QString());
        QCOMPARE(empty.string(makeIndex<FunctionIndex>(0)), QStringLiteral("<unresolved function>"));
    }

    void testSymbolToString()
    {
        const ResultData resultData({}, Strings);
        QCOMPARE(Util::toString(makeSymbol(2, 1), resultData, Util::FormatType::Short), QStringLiteral("main in app"));
        QCOMPARE(Util::toString(makeSymbol(2, 1), resultData, Util::FormatType::Long),
                 QStringLiteral("symbol: <tt>main</tt><br/>binary: <tt>app (/usr/bin/app)</tt>"));

        // the short form is plain text, the long one html
        QCOMPARE(Util::toString(makeSymbol(3, 1), resultData, Util::FormatType::Short), QStringLiteral("operator<<(int) in app"));
        QCOMPARE(Util::toString(makeSymbol(3, 1), resultData, Util::FormatType::Long),
                 QStringLiteral("symbol: <tt>operator&lt;&lt;(int)</tt><br/>binary: <tt>app (/usr/bin/app)</tt>"));

        QCOMPARE(Util::toString(makeSymbol(0, 1), resultData, Util::FormatType::Short), QStringLiteral("<unresolved function> in app"));
        QCOMPARE(Util::toString(makeSymbol(0, 1), resultData, Util::FormatType::Long),
                 QStringLiteral("symbol: <tt>&lt;unresolved function&gt;</tt><br/>binary: <tt>app (/usr/bin/app)</tt>"));

        QCOMPARE(Util::toString(makeSymbol(2, 0), resultData, Util::FormatType::Short), QStringLiteral("main in "));
        QCOMPARE(Util::toString(makeSymbol(2, 0), resultData, Util::FormatType::Long), QStringLiteral("symbol: <tt>main</tt><br/>binary: <tt> ()</tt>"));
    }

    void testFileLineToString()
    {
        const ResultData resultData({}, Strings);
        QCOMPARE(Util::toString(makeFileLine(4, 42), resultData, Util::FormatType::Short), QStringLiteral("main.cpp:42"));
        QCOMPARE(Util::toString(makeFileLine(4, 42), resultData, Util::FormatType::Long), QStringLiteral("/src/app/main.cpp:42"));
        QCOMPARE(Util::toString(makeFileLine(4, 0), resultData, Util::FormatType::Short), QStringLiteral("main.cpp:0"));
        QCOMPARE(Util::toString(makeFileLine(4, -3), resultData, Util::FormatType::Long), QStringLiteral("/src/app/main.cpp:-3"));

        for (auto type : {Util::FormatType::Short, Util::FormatType::Long}) {
            // no file index, an empty file string, and an index past the table
            QCOMPARE(Util::toString(makeFileLine(0, 42), resultData, type), QStringLiteral("??"));
            QCOMPARE(Util::toString(makeFileLine(6, 42), resultData, type), QStringLiteral("??"));
            QCOMPARE(Util::toString(makeFileLine(99, 1), resultData, type), QStringLiteral("??"));
        }
    }

    void testSymbolTooltip()
    {
        const auto label = QStringLiteral("symbol: <tt>main</tt><br/>binary: <tt>app (/usr/bin/app)</tt>");

        // temporary and leaked have no total and are left out
        const ResultData resultData(cost(4, 0, 0, 8), Strings);
        QCOMPARE(Util::formatTooltip(makeSymbol(2, 1), cost(1, 3, 5, 2), resultData),
                 QStringLiteral("<qt>") + label + QStringLiteral("<hr/>Peak: 2<br/>&nbsp;&nbsp;25% out of 8 total")
                     + QStringLiteral("<hr/>Allocations: 1<br/>&nbsp;&nbsp;25% out of 4 total</qt>"));

        const ResultData allKinds(cost(10, 5, 40, 80), Strings);
        QCOMPARE(Util::formatTooltip(makeSymbol(2, 1), cost(1, 1, 4, -8), allKinds),
                 QStringLiteral("<qt>") + label + QStringLiteral("<hr/>Peak: -8<br/>&nbsp;&nbsp;-10% out of 80 total")
                     + QStringLiteral("<hr/>Leaked: 4<br/>&nbsp;&nbsp;10% out of 40 total")
                     + QStringLiteral("<hr/>Allocations: 1<br/>&nbsp;&nbsp;10% out of 10 total")
                     + QStringLiteral("<hr/>Temporary Allocations: 1<br/>&nbsp;&nbsp;20% out of 5 total</qt>"));

        const ResultData noTotals({}, Strings);
        const QString bare = QStringLiteral("<qt>") + label + QStringLiteral("</qt>");
        QCOMPARE(Util::formatTooltip(makeSymbol(2, 1), cost(1, 1, 1, 1), noTotals), bare);
        QCOMPARE(Util::formatTooltip(makeSymbol(2, 1), cost(1, 1, 1, 1), cost(2, 2, 2, 2), noTotals), bare);
    }

    void testSelfAndInclusiveTooltips()
    {
        const ResultData resultData(cost(8, 0, 0, 0), Strings);
        const auto costLines = QStringLiteral(
            "<hr/>Allocations (self): 1<br/>&nbsp;&nbsp;12.5% out of 8 total"
            "<br/>Allocations (inclusive): 4<br/>&nbsp;&nbsp;50% out of 8 total");

        QCOMPARE(Util::formatTooltip(makeSymbol(2, 1), cost(1, 0, 0, 0), cost(4, 0, 0, 0), resultData),
                 QStringLiteral("<qt>symbol: <tt>main</tt><br/>binary: <tt>app (/usr/bin/app)</tt>") + costLines + QStringLiteral("</qt>"));

        // the location label is the long form, html-escaped
        QCOMPARE(Util::formatTooltip(makeFileLine(5, 7), cost(1, 0, 0, 0), cost(4, 0, 0, 0), resultData),
                 QStringLiteral("<qt>/src/a&amp;b/&lt;x&gt;.cpp:7") + costLines + QStringLiteral("</qt>"));
        QCOMPARE(Util::formatTooltip(makeFileLine(0, 7), cost(1, 0, 0, 0), cost(4, 0, 0, 0), ResultData({}, Strings)),
                 QStringLiteral("<qt>") + QStringLiteral("??") + QStringLiteral("</qt>"));

        // kinds in the fixed order peak, leaked, allocations, temporary
        const ResultData allKinds(cost(10, 10, 10, 10), Strings);
        const auto tooltip = Util::formatTooltip(makeSymbol(2, 1), cost(1, 2, 3, 4), cost(5, 6, 7, 8), allKinds);
        const QStringList expectedLines = {
            QStringLiteral("Peak (self): 4"),
            QStringLiteral("Peak (inclusive): 8"),
            QStringLiteral("Leaked (self): 3"),
            QStringLiteral("Leaked (inclusive): 7"),
            QStringLiteral("Allocations (self): 1"),
            QStringLiteral("Allocations (inclusive): 5"),
            QStringLiteral("Temporary Allocations (self): 2"),
            QStringLiteral("Temporary Allocations (inclusive): 6"),
        };
        int position = 0;
        for (const auto &line : expectedLines) {
            const int found = tooltip.indexOf(line, position);
            QVERIFY2(found >= position, qPrintable(line + QLatin1String(" in ") + tooltip));
            position = found + line.size();
        }
        QCOMPARE(tooltip.count(QStringLiteral("<hr/>")), 4);
    }
};

MEMLOUPE_ANALYSIS_TEST_MAIN(TestUtil)

#include "tst_util.moc"
