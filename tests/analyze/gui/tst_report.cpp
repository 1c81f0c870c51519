/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    memloupe_report end to end: exit status and output streams, and the JSON
    document for the sample trace in every file format and compression.
*/

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <fstream>

#include "testutils.h"
#include "tracefixture.h"

Q_DECLARE_METATYPE(Compression)

namespace
{
struct ReportRun {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

ReportRun runReport(const QStringList &arguments)
{
    ReportRun result;
    QProcess process;
    // the texts checked below are the untranslated ones
    auto environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LANGUAGE"), QStringLiteral("en_US"));
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(MEMLOUPE_REPORT_PATH), arguments);
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit) {
        qWarning() << "memloupe_report did not exit normally:" << arguments << process.errorString();
        process.kill();
        process.waitForFinished();
        return result;
    }
    result.exitCode = process.exitCode();
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

QByteArray compact(const QJsonValue &value)
{
    if (value.isObject()) {
        return QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact);
    }
    if (value.isArray()) {
        return QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact);
    }
    // wrap scalars so they serialise too
    return QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
}

QString costText(const QJsonValue &cost)
{
    const auto object = cost.toObject();
    // each key must be present: a missing one reads as "undefined", not as 0
    const auto field = [&object](const char *key) {
        const auto value = object.value(QLatin1String(key));
        return value.isDouble() ? QString::number(value.toDouble()) : QStringLiteral("undefined");
    };
    return QStringLiteral("%1/%2/%3/%4").arg(field("allocations"), field("temporary"), field("leaked"), field("peak"));
}

// function(cost)[children ...] per row, siblings separated by blanks
QString treeText(const QJsonArray &rows, bool withModules)
{
    QStringList parts;
    for (const auto &rowValue : rows) {
        const auto row = rowValue.toObject();
        QString text = row.value(QLatin1String("function")).toString();
        if (withModules) {
            text += QLatin1Char('|') + row.value(QLatin1String("module")).toString();
        }
        text += QLatin1Char('(') + costText(row.value(QLatin1String("cost"))) + QLatin1Char(')');
        const auto children = row.value(QLatin1String("children")).toArray();
        if (!children.isEmpty()) {
            text += QLatin1Char('[') + treeText(children, withModules) + QLatin1Char(']');
        }
        parts << text;
    }
    return parts.join(QLatin1Char(' '));
}

// function:cost for caller/callee edges
QString edgesText(const QJsonArray &edges)
{
    QStringList parts;
    for (const auto &edge : edges) {
        parts << edge.toObject().value(QLatin1String("function")).toString() + QLatin1Char(':') + costText(edge.toObject().value(QLatin1String("cost")));
    }
    return parts.join(QLatin1Char(' '));
}

QString suppressionsText(const QJsonArray &suppressions, int skipBuiltins)
{
    QStringList parts;
    for (int i = skipBuiltins; i < suppressions.size(); ++i) {
        const auto entry = suppressions.at(i).toObject();
        parts << QStringLiteral("%1:%2:%3")
                     .arg(entry.value(QLatin1String("pattern")).toString())
                     .arg(entry.value(QLatin1String("matches")).toDouble())
                     .arg(entry.value(QLatin1String("leaked")).toDouble());
    }
    return parts.join(QLatin1Char(' '));
}

// column 0 of every row as time:value
QString chartColumnZero(const QJsonObject &chart)
{
    QStringList parts;
    for (const auto &row : chart.value(QLatin1String("rows")).toArray()) {
        const auto object = row.toObject();
        parts
            << QStringLiteral("%1:%2").arg(object.value(QLatin1String("time")).toDouble()).arg(object.value(QLatin1String("cost")).toArray().at(0).toDouble());
    }
    return parts.join(QLatin1Char(' '));
}

QString chartLabels(const QJsonObject &chart)
{
    QStringList parts;
    for (const auto &label : chart.value(QLatin1String("labels")).toArray()) {
        const auto object = label.toObject();
        parts << QStringLiteral("%1=%2|%3")
                     .arg(object.value(QLatin1String("column")).toDouble())
                     .arg(object.value(QLatin1String("function")).toString(), object.value(QLatin1String("module")).toString());
    }
    return parts.join(QLatin1Char(' '));
}

const QString BUILTIN_COUNT_KEY = QStringLiteral("builtins");
constexpr int NUM_BUILTIN_SUPPRESSIONS = 7;
}

class TestReport : public QObject
{
    Q_OBJECT

private:
    QString writeTrace(const QString &name, const std::string &contents, Compression compression = Compression::None)
    {
        const QString path = m_dir.filePath(name + QString::fromStdString(suffixFor(compression)));
        if (!writeTraceFile(path.toStdString(), contents, compression)) {
            qFatal("cannot write fixture %s", qPrintable(path));
        }
        return path;
    }

    QString writeText(const QString &name, const std::string &contents)
    {
        const QString path = m_dir.filePath(name);
        std::ofstream(path.toStdString()) << contents;
        return path;
    }

    QJsonObject reportJson(const QStringList &arguments)
    {
        const auto run = runReport(QStringList{QStringLiteral("--json")} + arguments);
        if (run.exitCode != 0) {
            qWarning() << "exit" << run.exitCode << run.err;
            return {};
        }
        QJsonParseError error;
        const auto document = QJsonDocument::fromJson(run.out, &error);
        if (error.error != QJsonParseError::NoError) {
            qWarning() << "invalid JSON:" << error.errorString() << run.out.left(200);
            return {};
        }
        return document.object();
    }

    QTemporaryDir m_dir;
    QString m_sample;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_sample = writeTrace(QStringLiteral("sample"), TraceFixture::sampleTrace(3));
    }

    void exitStatus_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        // empty: stderr must stay empty; otherwise it must contain this text
        QTest::addColumn<QString>("stderrText");

        const QString missing = m_dir.filePath(QStringLiteral("no-such-trace.gz"));
        const QString tooNew = writeTrace(QStringLiteral("too-new"), "v 10500 4\n");
        const QString noSuppressions = m_dir.filePath(QStringLiteral("no-such.supp"));
        const auto failed = [](const QString &path) {
            return QStringLiteral("Failed to parse file %1.").arg(path);
        };

        QTest::newRow("json ok") << QStringList{QStringLiteral("--json"), m_sample} << 0 << QString();
        QTest::newRow("text ok") << QStringList{m_sample} << 0 << QString();
        QTest::newRow("equal time bounds")
            << QStringList{QStringLiteral("--min-time"), QStringLiteral("10"), QStringLiteral("--max-time"), QStringLiteral("10"), m_sample} << 0 << QString();

        QTest::newRow("missing file") << QStringList{QStringLiteral("--json"), missing} << 1 << failed(missing);
        QTest::newRow("missing file, text") << QStringList{missing} << 1 << failed(missing);
        QTest::newRow("missing diff base") << QStringList{QStringLiteral("--json"), QStringLiteral("--diff"), missing, m_sample} << 1 << failed(missing);
        QTest::newRow("format too new") << QStringList{QStringLiteral("--json"), tooNew} << 1 << failed(tooNew);
        QTest::newRow("unreadable suppression file") << QStringList{QStringLiteral("--json"), QStringLiteral("-s"), noSuppressions, m_sample} << 1
                                                     << noSuppressions;

        QTest::newRow("no file") << QStringList{QStringLiteral("--json")} << 2 << QString();
        QTest::newRow("two files") << QStringList{m_sample, m_sample} << 2 << QString();
        QTest::newRow("unknown option") << QStringList{QStringLiteral("--frobnicate"), m_sample} << 2 << QString();
        QTest::newRow("min above max") << QStringList{QStringLiteral("--json"),
                                                      QStringLiteral("--min-time"),
                                                      QStringLiteral("30"),
                                                      QStringLiteral("--max-time"),
                                                      QStringLiteral("10"),
                                                      m_sample}
                                       << 2 << QString();
        QTest::newRow("time not a number") << QStringList{QStringLiteral("--min-time"), QStringLiteral("ten"), m_sample} << 2 << QString();
        QTest::newRow("window with diff")
            << QStringList{QStringLiteral("--json"), QStringLiteral("--min-time"), QStringLiteral("5"), QStringLiteral("-d"), m_sample, m_sample} << 2
            << QString();
        QTest::newRow("max time with diff") << QStringList{QStringLiteral("--max-time"), QStringLiteral("5"), QStringLiteral("--diff"), m_sample, m_sample} << 2
                                            << QString();

        // limits and exports: a usage error names the option
        const auto option = [this](const char *name, const char *value) {
            return QStringList{QLatin1String(name), QLatin1String(value), m_sample};
        };
        QTest::newRow("size not a size") << option("--max-peak", "fast") << 2 << QStringLiteral("--max-peak: \"fast\" is not a size");
        QTest::newRow("negative size") << option("--max-leaked", "-1kB") << 2 << QStringLiteral("--max-leaked: \"-1kB\"");
        QTest::newRow("unknown unit") << option("--max-peak", "3parsecs") << 2 << QStringLiteral("--max-peak:");
        QTest::newRow("count with a unit") << option("--max-allocations", "5kB") << 2 << QStringLiteral("--max-allocations:");
        QTest::newRow("fractional count") << option("--max-temporary", "1.5") << 2 << QStringLiteral("--max-temporary:");
        QTest::newRow("percentage without diff") << option("--max-allocations", "+5%") << 2 << QStringLiteral("--max-allocations: a percentage");
        QTest::newRow("folded without cost") << QStringList{m_sample, QStringLiteral("--export-folded")} << 2 << QStringLiteral("--export-folded needs");
        QTest::newRow("folded without file") << QStringList{m_sample, QStringLiteral("--export-folded"), QStringLiteral("peak")} << 2
                                             << QStringLiteral("--export-folded needs");
        QTest::newRow("folded unknown cost") << QStringList{QStringLiteral("--export-folded"),
                                                            QStringLiteral("bytes"),
                                                            m_dir.filePath(QStringLiteral("x")),
                                                            m_sample}
                                             << 2 << QStringLiteral("--export-folded: \"bytes\"");
        QTest::newRow("speedscope of a diff")
            << QStringList{QStringLiteral("--export-speedscope"), m_dir.filePath(QStringLiteral("x")), QStringLiteral("-d"), m_sample, m_sample} << 2
            << QStringLiteral("--export-speedscope:");
        QTest::newRow("export into a directory") << QStringList{QStringLiteral("--export-folded"), QStringLiteral("peak"), m_dir.path(), m_sample} << 1
                                                 << QStringLiteral("Cannot write ") + m_dir.path();
        const QString noDir = m_dir.filePath(QStringLiteral("no-such-dir/out.json"));
        QTest::newRow("export into a missing directory")
            << QStringList{QStringLiteral("--export-speedscope"), noDir, m_sample} << 1 << QStringLiteral("Cannot write ") + noDir;
    }

    void exitStatus()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, stderrText);

        const auto run = runReport(arguments);
        QCOMPARE(run.exitCode, exitCode);
        const QString err = QString::fromUtf8(run.err);
        if (exitCode == 0) {
            QVERIFY2(!run.out.isEmpty(), "a report goes to stdout");
            QVERIFY2(err.isEmpty(), qPrintable(err));
        } else {
            QVERIFY2(run.out.isEmpty(), run.out.constData());
            QVERIFY2(!err.isEmpty(), "an error must be explained on stderr");
            if (!stderrText.isEmpty()) {
                QVERIFY2(err.contains(stderrText), qPrintable(err));
            }
        }
    }

    void sampleFieldByField()
    {
        const auto json = reportJson({m_sample});
        QVERIFY(!json.isEmpty());
        QCOMPARE(json.value(QLatin1String("schema")).toDouble(), 1.0);
        QCOMPARE(json.value(QLatin1String("file")).toString(), m_sample);
        QVERIFY(json.value(QLatin1String("diffBase")).isNull());

        const auto summary = json.value(QLatin1String("summary")).toObject();
        QCOMPARE(summary.value(QLatin1String("debuggee")).toString(), QStringLiteral("./app --run"));
        QCOMPARE(summary.value(QLatin1String("fromAttached")).toBool(true), false);
        QCOMPARE(summary.value(QLatin1String("totalTime")).toDouble(), 41.0);
        QCOMPARE(summary.value(QLatin1String("peakTime")).toDouble(), 20.0);
        QCOMPARE(summary.value(QLatin1String("peakRSS")).toDouble(), 3.0 * 4096);
        QCOMPARE(summary.value(QLatin1String("totalSystemMemory")).toDouble(), 16.0 * 4096);
        QCOMPARE(costText(summary.value(QLatin1String("cost"))), QStringLiteral("5/1/124/124"));
        QCOMPARE(summary.value(QLatin1String("totalLeakedSuppressed")).toDouble(-1), 0.0);
        QCOMPARE(compact(summary.value(QLatin1String("filter"))), QByteArray(R"({"maxTime":41,"minTime":0})"));
        const auto suppressions = summary.value(QLatin1String("suppressions")).toArray();
        QCOMPARE(suppressions.size(), NUM_BUILTIN_SUPPRESSIONS);
        QCOMPARE(compact(suppressions.at(0)), QByteArray(R"({"leaked":0,"matches":0,"pattern":"__nss_module_allocate"})"));

        QCOMPARE(treeText(json.value(QLatin1String("bottomUp")).toArray(), true),
                 QStringLiteral("alloc_a|/lib/libx.so(2/0/24/24)[helper|/usr/bin/app(2/0/24/24)"
                                "[main|/usr/bin/app(2/0/24/24)]] "
                                "alloc_b|/lib/libx.so(3/1/100/100)[main|/usr/bin/app(3/1/100/100)]"));
        QCOMPARE(treeText(json.value(QLatin1String("topDown")).toArray(), false),
                 QStringLiteral("main(5/1/124/124)[helper(2/0/24/24)[alloc_a(2/0/24/24)] alloc_b(3/1/100/100)]"));

        const auto callerCallee = json.value(QLatin1String("callerCallee")).toArray();
        QStringList functions;
        for (const auto &entry : callerCallee) {
            functions << entry.toObject().value(QLatin1String("function")).toString();
        }
        QCOMPARE(functions, (QStringList{QStringLiteral("alloc_a"), QStringLiteral("alloc_b"), QStringLiteral("helper"), QStringLiteral("main")}));
        const auto helper = callerCallee.at(2).toObject();
        QCOMPARE(helper.value(QLatin1String("module")).toString(), QStringLiteral("/usr/bin/app"));
        QCOMPARE(costText(helper.value(QLatin1String("inclusive"))), QStringLiteral("2/0/24/24"));
        QCOMPARE(costText(helper.value(QLatin1String("self"))), QStringLiteral("0/0/0/0"));
        QCOMPARE(edgesText(helper.value(QLatin1String("callers")).toArray()), QStringLiteral("main:2/0/24/24"));
        QCOMPARE(edgesText(helper.value(QLatin1String("callees")).toArray()), QStringLiteral("alloc_a:2/0/24/24"));
        const auto helperLocations = helper.value(QLatin1String("locations")).toArray();
        QCOMPARE(helperLocations.size(), 1);
        const auto helperLine = helperLocations.at(0).toObject();
        QCOMPARE(helperLine.value(QLatin1String("file")).toString(), QStringLiteral("app.cpp"));
        QCOMPARE(helperLine.value(QLatin1String("line")).toDouble(), 20.0);
        QCOMPARE(costText(helperLine.value(QLatin1String("inclusive"))), QStringLiteral("2/0/24/24"));
        QCOMPARE(costText(helperLine.value(QLatin1String("self"))), QStringLiteral("0/0/0/0"));
        const auto main = callerCallee.at(3).toObject();
        QCOMPARE(edgesText(main.value(QLatin1String("callers")).toArray()), QString());
        QCOMPARE(edgesText(main.value(QLatin1String("callees")).toArray()), QStringLiteral("alloc_b:3/1/100/100 helper:2/0/24/24"));
        const auto allocB = callerCallee.at(1).toObject();
        QCOMPARE(costText(allocB.value(QLatin1String("self"))), QStringLiteral("3/1/100/100"));
        QCOMPARE(costText(allocB.value(QLatin1String("inclusive"))), QStringLiteral("3/1/100/100"));

        // sizes 8, 16 and 3 x 100: classes up to "65B to 128B", the two between empty
        const auto histogram = json.value(QLatin1String("sizeHistogram")).toArray();
        QStringList labels;
        for (const auto &row : histogram) {
            labels << row.toObject().value(QLatin1String("label")).toString();
            QCOMPARE(row.toObject().value(QLatin1String("columns")).toArray().size(), 11);
        }
        QCOMPARE(labels,
                 (QStringList{QStringLiteral("0B to 8B"),
                              QStringLiteral("9B to 16B"),
                              QStringLiteral("17B to 32B"),
                              QStringLiteral("33B to 64B"),
                              QStringLiteral("65B to 128B")}));
        const auto class128 = histogram.at(4).toObject();
        QCOMPARE(class128.value(QLatin1String("size")).toDouble(), 128.0);
        const auto class128Columns = class128.value(QLatin1String("columns")).toArray();
        QCOMPARE(compact(class128Columns.at(0)), QByteArray(R"({"allocations":3,"function":"","module":"","totalAllocated":300})"));
        QCOMPARE(compact(class128Columns.at(1)), QByteArray(R"({"allocations":3,"function":"alloc_b","module":"/lib/libx.so","totalAllocated":300})"));
        QCOMPARE(compact(class128Columns.at(2)), QByteArray(R"({"allocations":0,"function":"","module":"","totalAllocated":0})"));
        const auto class32Columns = histogram.at(2).toObject().value(QLatin1String("columns")).toArray();
        QCOMPARE(class32Columns.at(0).toObject().value(QLatin1String("allocations")).toDouble(), 0.0);

        const auto charts = json.value(QLatin1String("charts")).toObject();
        const auto consumed = charts.value(QLatin1String("consumed")).toObject();
        const auto allocations = charts.value(QLatin1String("allocations")).toObject();
        const auto temporary = charts.value(QLatin1String("temporary")).toObject();
        // alloc_b weighs more than alloc_a in peak and in allocations; only alloc_b has temporaries
        QCOMPARE(chartLabels(consumed), QStringLiteral("0=| 1=alloc_b|/lib/libx.so 2=alloc_a|/lib/libx.so"));
        QCOMPARE(chartLabels(allocations), QStringLiteral("0=| 1=alloc_b|/lib/libx.so 2=alloc_a|/lib/libx.so"));
        QCOMPARE(chartLabels(temporary), QStringLiteral("0=| 1=alloc_b|/lib/libx.so"));
        // the interval is 41/500 ms, so every time stamp is sampled, plus the origin and the final one
        QCOMPARE(chartColumnZero(consumed), QStringLiteral("0:0 10:16 20:16 30:116 40:124 41:124"));
        QCOMPARE(chartColumnZero(allocations), QStringLiteral("0:0 10:1 20:2 30:4 40:5 41:5"));
        QCOMPARE(chartColumnZero(temporary), QStringLiteral("0:0 10:0 20:1 30:1 40:1 41:1"));
        const auto lastConsumed = consumed.value(QLatin1String("rows")).toArray().last().toObject();
        const auto lastCosts = lastConsumed.value(QLatin1String("cost")).toArray();
        QCOMPARE(lastCosts.size(), 21);
        QCOMPARE(lastCosts.at(1).toDouble(), 100.0);
        QCOMPARE(lastCosts.at(2).toDouble(), 24.0);
        QCOMPARE(lastCosts.at(3).toDouble(), 0.0);
        QCOMPARE(lastCosts.at(20).toDouble(), 0.0);
    }

    void sameResultsInEveryFormat_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<Compression>("compression");
        for (int format = 0; format <= 3; ++format) {
            QTest::addRow("format %d plain", format) << format << Compression::None;
            QTest::addRow("format %d gzip", format) << format << Compression::Gzip;
            QTest::addRow("format %d zstd", format) << format << Compression::Zstd;
        }
    }

    void sameResultsInEveryFormat()
    {
        QFETCH(int, format);
        QFETCH(Compression, compression);

        // the reference itself is checked by hand in sampleFieldByField
        const auto reference = reportJson({m_sample});
        QVERIFY(!reference.isEmpty());
        const QString path = writeTrace(QStringLiteral("format%1").arg(format), TraceFixture::sampleTrace(format), compression);
        const auto json = reportJson({path});
        QVERIFY(!json.isEmpty());
        QCOMPARE(json.value(QLatin1String("file")).toString(), path);
        QCOMPARE(costText(json.value(QLatin1String("summary")).toObject().value(QLatin1String("cost"))), QStringLiteral("5/1/124/124"));
        for (const char *key : {"schema", "diffBase", "summary", "bottomUp", "topDown", "callerCallee", "sizeHistogram", "charts"}) {
            const QLatin1String name(key);
            QVERIFY2(json.contains(name), key);
            QCOMPARE(compact(json.value(name)), compact(reference.value(name)));
        }
    }

    void timeWindow_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("filter");
        QTest::addColumn<QString>("cost");
        QTest::addColumn<double>("peakTime");
        QTest::addColumn<QString>("bottomUp");
        QTest::addColumn<QString>("allocationsChart");

        // from 15 to 35: the events at 20 and 30 only; the block freed at 20 was allocated
        // in the window, the one at 30 stays
        QTest::newRow("15 to 35") << QStringList{QStringLiteral("--min-time"), QStringLiteral("15"), QStringLiteral("--max-time"), QStringLiteral("35")}
                                  << QStringLiteral(R"({"maxTime":35,"minTime":15})") << QStringLiteral("3/0/108/108") << 20.0
                                  << QStringLiteral(
                                         "alloc_a(1/0/8/8)[helper(1/0/8/8)[main(1/0/8/8)]] "
                                         "alloc_b(2/0/100/100)[main(2/0/100/100)]")
                                  << QStringLiteral("15:0 20:0 30:2 41:3");
        // the window is clamped to the run: everything is in it again
        QTest::newRow("clamped") << QStringList{QStringLiteral("--min-time=-5"), QStringLiteral("--max-time"), QStringLiteral("1000")}
                                 << QStringLiteral(R"({"maxTime":41,"minTime":0})") << QStringLiteral("5/1/124/124") << 20.0
                                 << QStringLiteral(
                                        "alloc_a(2/0/24/24)[helper(2/0/24/24)[main(2/0/24/24)]] "
                                        "alloc_b(3/1/100/100)[main(3/1/100/100)]")
                                 << QStringLiteral("0:0 10:1 20:2 30:4 40:5 41:5");
        QTest::newRow("from 25") << QStringList{QStringLiteral("--min-time"), QStringLiteral("25")} << QStringLiteral(R"({"maxTime":41,"minTime":25})")
                                 << QStringLiteral("1/0/100/100")
                                 << 30.0
                                 // alloc_a's call stack is still known, it just costs nothing here
                                 << QStringLiteral(
                                        "alloc_a(0/0/0/0)[helper(0/0/0/0)[main(0/0/0/0)]] "
                                        "alloc_b(1/0/100/100)[main(1/0/100/100)]")
                                 << QStringLiteral("25:0 30:0 40:1 41:1");
    }

    void timeWindow()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, filter);
        QFETCH(QString, cost);
        QFETCH(double, peakTime);
        QFETCH(QString, bottomUp);
        QFETCH(QString, allocationsChart);

        const auto json = reportJson(arguments + QStringList{m_sample});
        QVERIFY(!json.isEmpty());
        const auto summary = json.value(QLatin1String("summary")).toObject();
        QCOMPARE(QString::fromUtf8(compact(summary.value(QLatin1String("filter")))), filter);
        QCOMPARE(summary.value(QLatin1String("totalTime")).toDouble(), 41.0);
        QCOMPARE(costText(summary.value(QLatin1String("cost"))), cost);
        QCOMPARE(summary.value(QLatin1String("peakTime")).toDouble(), peakTime);
        QCOMPARE(treeText(json.value(QLatin1String("bottomUp")).toArray(), false), bottomUp);
        const auto charts = json.value(QLatin1String("charts")).toObject();
        QCOMPARE(chartColumnZero(charts.value(QLatin1String("allocations")).toObject()), allocationsChart);
    }

    void diffAgainstItself()
    {
        const auto json = reportJson({QStringLiteral("-d"), m_sample, m_sample});
        QVERIFY(!json.isEmpty());
        QCOMPARE(json.value(QLatin1String("diffBase")).toString(), m_sample);
        const auto summary = json.value(QLatin1String("summary")).toObject();
        QCOMPARE(costText(summary.value(QLatin1String("cost"))), QStringLiteral("0/0/0/0"));
        QCOMPARE(json.value(QLatin1String("bottomUp")).toArray().size(), 0);
        QCOMPARE(json.value(QLatin1String("topDown")).toArray().size(), 0);
        // costs that cancel out are dropped in a diff
        QCOMPARE(json.value(QLatin1String("callerCallee")).toArray().size(), 0);
        QVERIFY(json.contains(QLatin1String("charts")));
        QVERIFY(json.value(QLatin1String("charts")).isNull());
    }

    void suppressions_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("embedded");
        QTest::addColumn<int>("builtins");
        QTest::addColumn<QString>("extraSuppressions");
        QTest::addColumn<double>("suppressed");
        QTest::addColumn<double>("leaked");

        const QString file = writeText(QStringLiteral("user.supp"), "# known leak\n\n  leak:alloc_b  \n");
        const QStringList userFile{QStringLiteral("-s"), file};
        const QLatin1String noBuiltin("--disable-builtin-suppressions");
        const QLatin1String noEmbedded("--disable-embedded-suppressions");

        QTest::newRow("user file") << userFile << false << NUM_BUILTIN_SUPPRESSIONS << QStringLiteral("alloc_b:1:100") << 100.0 << 24.0;
        QTest::newRow("user file, no builtins") << userFile + QStringList{noBuiltin} << false << 0 << QStringLiteral("alloc_b:1:100") << 100.0 << 24.0;
        // alloc_a is only ever called through helper
        QTest::newRow("embedded") << QStringList() << true << NUM_BUILTIN_SUPPRESSIONS << QStringLiteral("helper:1:24") << 24.0 << 100.0;
        QTest::newRow("embedded disabled") << QStringList{noEmbedded} << true << NUM_BUILTIN_SUPPRESSIONS << QString() << 0.0 << 124.0;
        QTest::newRow("user and embedded") << userFile + QStringList{noBuiltin} << true << 0 << QStringLiteral("alloc_b:1:100 helper:1:24") << 124.0 << 0.0;
    }

    void suppressions()
    {
        QFETCH(QStringList, arguments);
        QFETCH(bool, embedded);
        QFETCH(int, builtins);
        QFETCH(QString, extraSuppressions);
        QFETCH(double, suppressed);
        QFETCH(double, leaked);

        const QString trace = embedded ? writeTrace(QStringLiteral("embedded"), TraceFixture::sampleTrace(3) + "S leak:helper\n") : m_sample;
        const auto json = reportJson(arguments + QStringList{trace});
        QVERIFY(!json.isEmpty());
        const auto summary = json.value(QLatin1String("summary")).toObject();
        const auto list = summary.value(QLatin1String("suppressions")).toArray();
        QCOMPARE(list.size(), builtins + extraSuppressions.count(QLatin1Char(':')) / 2);
        if (builtins) {
            QCOMPARE(list.at(0).toObject().value(QLatin1String("pattern")).toString(), QStringLiteral("__nss_module_allocate"));
        }
        QCOMPARE(suppressionsText(list, builtins), extraSuppressions);
        QCOMPARE(summary.value(QLatin1String("totalLeakedSuppressed")).toDouble(), suppressed);
        const auto cost = summary.value(QLatin1String("cost")).toObject();
        QCOMPARE(cost.value(QLatin1String("leaked")).toDouble(), leaked);
        // suppressions move leaked bytes only
        QCOMPARE(cost.value(QLatin1String("allocations")).toDouble(), 5.0);
        QCOMPARE(cost.value(QLatin1String("peak")).toDouble(), 124.0);
    }

    // sample totals: 5 allocations, 1 temporary, 124 bytes leaked and peak; the
    // base lacks one leaked 100-byte block (4/1/24/124)
    void gates_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("stderrText");
        const QString base = writeTrace(QStringLiteral("base"), TraceFixture::sampleTrace(3, "alloc_a", false));

        QTest::newRow("each at its limit") << QStringList{QStringLiteral("--max-peak"),
                                                          QStringLiteral("124"),
                                                          QStringLiteral("--max-leaked"),
                                                          QStringLiteral("124B"),
                                                          QStringLiteral("--max-allocations"),
                                                          QStringLiteral("5"),
                                                          QStringLiteral("--max-temporary"),
                                                          QStringLiteral("+1"),
                                                          m_sample}
                                           << 0 << QString();
        QTest::newRow("every limit exceeded") << QStringList{QStringLiteral("--max-temporary"),
                                                             QStringLiteral("0"),
                                                             QStringLiteral("--max-peak"),
                                                             QStringLiteral("123"),
                                                             QStringLiteral("--max-leaked"),
                                                             QStringLiteral("0.1kB"),
                                                             QStringLiteral("--max-allocations"),
                                                             QStringLiteral("4"),
                                                             m_sample}
                                              << 3
                                              << QStringLiteral(
                                                     "memloupe: peak 124B exceeds the limit of 123\n"
                                                     "memloupe: leaked 124B exceeds the limit of 0.1kB\n"
                                                     "memloupe: allocations 5 exceeds the limit of 4\n"
                                                     "memloupe: temporary 1 exceeds the limit of 0\n");
        // kB is 1000 bytes, as sizes are printed; KiB 1024
        QTest::newRow("decimal units") << QStringList{QStringLiteral("--max-peak"), QStringLiteral("0.13kB"), m_sample} << 0 << QString();
        QTest::newRow("binary units") << QStringList{QStringLiteral("--max-peak"), QStringLiteral("0.122KiB"), m_sample} << 0 << QString();
        QTest::newRow("binary units exceeded") << QStringList{QStringLiteral("--max-peak"), QStringLiteral("0.122kB"), m_sample} << 3
                                               << QStringLiteral("memloupe: peak 124B exceeds the limit of 0.122kB\n");

        QTest::newRow("growth within") << QStringList{QStringLiteral("-d"),
                                                      base,
                                                      QStringLiteral("--max-leaked"),
                                                      QStringLiteral("100"),
                                                      QStringLiteral("--max-peak"),
                                                      QStringLiteral("0"),
                                                      m_sample}
                                       << 0 << QString();
        QTest::newRow("growth exceeded") << QStringList{QStringLiteral("-d"), base, QStringLiteral("--max-leaked"), QStringLiteral("99"), m_sample} << 3
                                         << QStringLiteral("memloupe: leaked growth +100B exceeds the limit of 99\n");
        // 100 bytes over the base's 24: +416.7%
        QTest::newRow("relative growth exceeded") << QStringList{QStringLiteral("-d"), base, QStringLiteral("--max-leaked"), QStringLiteral("+400%"), m_sample}
                                                  << 3 << QStringLiteral("memloupe: leaked growth +416.7% exceeds the limit of +400%\n");
        QTest::newRow("relative growth within") << QStringList{QStringLiteral("-d"),
                                                               base,
                                                               QStringLiteral("--max-leaked"),
                                                               QStringLiteral("417%"),
                                                               QStringLiteral("--max-allocations"),
                                                               QStringLiteral("+25%"),
                                                               m_sample}
                                                << 0 << QString();
        QTest::newRow("shrinking passes any percentage")
            << QStringList{QStringLiteral("-d"), m_sample, QStringLiteral("--max-leaked"), QStringLiteral("0%"), base} << 0 << QString();
    }

    // the same verdict for text and JSON output, the report on stdout either way
    void gates()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, stderrText);
        for (const auto &format : {QStringList(), QStringList{QStringLiteral("--json")}}) {
            const auto run = runReport(format + arguments);
            QCOMPARE(run.exitCode, exitCode);
            QCOMPARE(QString::fromUtf8(run.err), stderrText);
            QVERIFY(!run.out.isEmpty());
        }
    }

    void limitsInJson()
    {
        const auto plain = reportJson({m_sample});
        QVERIFY(!plain.isEmpty());
        QVERIFY(!plain.contains(QLatin1String("limits")));

        const auto run = runReport({QStringLiteral("--json"),
                                    QStringLiteral("--max-peak"),
                                    QStringLiteral("100"),
                                    QStringLiteral("--max-allocations"),
                                    QStringLiteral("5"),
                                    m_sample});
        QCOMPARE(run.exitCode, 3);
        const auto json = QJsonDocument::fromJson(run.out).object();
        QCOMPARE(json.value(QLatin1String("schema")).toDouble(), 1.0);
        QCOMPARE(costText(json.value(QLatin1String("summary")).toObject().value(QLatin1String("cost"))), QStringLiteral("5/1/124/124"));
        QCOMPARE(compact(json.value(QLatin1String("limits"))),
                 QByteArray(R"({"allocations":{"given":"5","limit":5,"measured":5,"of":"total","passed":true,"relative":false},)"
                            R"("peak":{"given":"100","limit":100,"measured":124,"of":"total","passed":false,"relative":false}})"));

        const QString base = writeTrace(QStringLiteral("base"), TraceFixture::sampleTrace(3, "alloc_a", false));
        const auto diff = reportJson({QStringLiteral("-d"), base, QStringLiteral("--max-leaked"), QStringLiteral("+500%"), m_sample});
        QCOMPARE(compact(diff.value(QLatin1String("limits"))),
                 QByteArray(R"({"leaked":{"given":"+500%","limit":500,"measured":416.6666667,"of":"growth","passed":true,"relative":true}})"));
    }

    // The folded lines of each cost add up to the report's totals; in a diff the
    // two columns to the base's and the current file's.
    void foldedRoundTrip()
    {
        const QString base = writeTrace(QStringLiteral("base"), TraceFixture::sampleTrace(3, "alloc_a", false));
        const auto totals = [this](const QString &file) {
            return reportJson({file}).value(QLatin1String("summary")).toObject().value(QLatin1String("cost")).toObject();
        };
        const auto sampleTotals = totals(m_sample);
        const auto baseTotals = totals(base);
        QVERIFY(!sampleTotals.isEmpty() && !baseTotals.isEmpty());

        for (const char *cost : {"peak", "leaked", "allocations", "temporary"}) {
            const QString plainPath = m_dir.filePath(QStringLiteral("%1.folded").arg(QLatin1String(cost)));
            const QString diffPath = m_dir.filePath(QStringLiteral("%1.diff.folded").arg(QLatin1String(cost)));
            QCOMPARE(runReport({QStringLiteral("--export-folded"), QLatin1String(cost), plainPath, m_sample}).exitCode, 0);
            QCOMPARE(runReport({QStringLiteral("--export-folded"), QLatin1String(cost), diffPath, QStringLiteral("-d"), base, m_sample}).exitCode, 0);

            const auto sums = [](const QString &path, int columns) {
                QVector<double> result(columns, 0);
                QFile file(path);
                if (!file.open(QIODevice::ReadOnly)) {
                    return QVector<double>();
                }
                for (const auto &line : file.readAll().split('\n')) {
                    if (line.isEmpty()) {
                        continue;
                    }
                    // frames hold blanks ("parse(char const*, int)"): the costs are the last fields
                    const auto fields = line.split(' ');
                    if (fields.size() < columns + 1 || fields.first().isEmpty()) {
                        return QVector<double>();
                    }
                    for (int i = 0; i < columns; ++i) {
                        result[i] += fields.at(fields.size() - columns + i).toDouble();
                    }
                }
                return result;
            };
            const auto expected = [cost](const QJsonObject &object) {
                return object.value(QLatin1String(cost)).toDouble();
            };
            QCOMPARE(sums(plainPath, 1), QVector<double>({expected(sampleTotals)}));
            QCOMPARE(sums(diffPath, 2), QVector<double>({expected(baseTotals), expected(sampleTotals)}));
        }
        // stacks the base lacks have 0 in its column
        QFile leaked(m_dir.filePath(QStringLiteral("leaked.diff.folded")));
        QVERIFY(leaked.open(QIODevice::ReadOnly));
        QCOMPARE(leaked.readAll(), QByteArray("main;alloc_b 0 100\nmain;helper;alloc_a 24 24\n"));
    }

    // The shape the speedscope schema asks for, checked by hand: shared frames,
    // sampled profiles whose samples index them, one weight per sample.
    void speedscopeShape()
    {
        const QString path = m_dir.filePath(QStringLiteral("sample.speedscope.json"));
        QCOMPARE(runReport({QStringLiteral("--export-speedscope"), path, m_sample}).exitCode, 0);
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QJsonParseError error;
        const auto root = QJsonDocument::fromJson(file.readAll(), &error).object();
        QCOMPARE(error.error, QJsonParseError::NoError);
        QCOMPARE(root.value(QLatin1String("$schema")).toString(), QStringLiteral("https://www.speedscope.app/file-format-schema.json"));
        const auto frames = root.value(QLatin1String("shared")).toObject().value(QLatin1String("frames")).toArray();
        QVERIFY(!frames.isEmpty());
        for (const auto &frame : frames) {
            QVERIFY(!frame.toObject().value(QLatin1String("name")).toString().isEmpty());
        }
        const auto totals = reportJson({m_sample}).value(QLatin1String("summary")).toObject().value(QLatin1String("cost")).toObject();
        const auto profiles = root.value(QLatin1String("profiles")).toArray();
        QStringList seen;
        for (const auto &value : profiles) {
            const auto profile = value.toObject();
            QCOMPARE(profile.value(QLatin1String("type")).toString(), QStringLiteral("sampled"));
            const auto unit = profile.value(QLatin1String("unit")).toString();
            QVERIFY2(unit == QLatin1String("bytes") || unit == QLatin1String("none"), qPrintable(unit));
            const auto samples = profile.value(QLatin1String("samples")).toArray();
            const auto weights = profile.value(QLatin1String("weights")).toArray();
            QCOMPARE(samples.size(), weights.size());
            double sum = 0;
            for (int i = 0; i < samples.size(); ++i) {
                const auto stack = samples.at(i).toArray();
                QVERIFY(!stack.isEmpty());
                for (const auto &index : stack) {
                    QVERIFY(index.isDouble() && index.toInt() >= 0 && index.toInt() < frames.size());
                }
                QVERIFY(weights.at(i).toDouble() > 0);
                sum += weights.at(i).toDouble();
            }
            QCOMPARE(profile.value(QLatin1String("startValue")).toDouble(-1), 0.0);
            QCOMPARE(profile.value(QLatin1String("endValue")).toDouble(), sum);
            seen << QStringLiteral("%1/%2=%3").arg(profile.value(QLatin1String("name")).toString(), unit).arg(sum);
        }
        QCOMPARE(seen,
                 QStringList({QStringLiteral("Peak/bytes=%1").arg(totals.value(QLatin1String("peak")).toDouble()),
                              QStringLiteral("Leaked/bytes=%1").arg(totals.value(QLatin1String("leaked")).toDouble()),
                              QStringLiteral("Allocations/none=%1").arg(totals.value(QLatin1String("allocations")).toDouble()),
                              QStringLiteral("Temporary Allocations/none=%1").arg(totals.value(QLatin1String("temporary")).toDouble())}));
    }

    // modules below 1 % of the allocations stay out of the text (the JSON has them all)
    void missingSymbolsText()
    {
        const QString trace = QFINDTESTDATA("../../data/missing-symbols.trace");
        QVERIFY(!trace.isEmpty());
        const auto text = QString::fromUtf8(runReport({trace}).out);
        const auto block = text.section(QStringLiteral("frames without symbols:\n"), 1).section(QStringLiteral("\n\n"), 0, 0).split(QLatin1Char('\n'));
        QCOMPARE(block.size(), 4);
        QCOMPARE(block.at(0), QStringLiteral("  libfoo.so.1: 67 % of its frames have no symbols — 20 % of the allocations"));
        const auto hint = block.mid(1).join(QLatin1Char(' '));
        QVERIFY2(hint.contains(QLatin1String("-dbgsym")) && hint.contains(QLatin1String("debuginfod")), qPrintable(hint));

        // a trace whose frames all have names has no such block
        QVERIFY(!QString::fromUtf8(runReport({m_sample}).out).contains(QLatin1String("without symbols")));
        QVERIFY(!reportJson({m_sample}).contains(QLatin1String("missingSymbols")));
    }
};

QTEST_GUILESS_MAIN(TestReport)

#include "tst_report.moc"
