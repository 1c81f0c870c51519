/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    The folded-stack and speedscope writers over the trees of a real analysis
    run: the same stacks from either tree, names that cannot break a line
    apart, the two-column diff, and a device that refuses to be written.
*/

#include <QBuffer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include "analyze/gui/analysis/analysisrun.h"
#include "analyze/gui/analysis/exports.h"

#include "analysistestutils.h"

Q_DECLARE_METATYPE(Exports::Cost)

namespace
{
/*
    main (7 bytes, leaked) calls "parse;it" which calls alloc (two blocks of
    100 bytes, the second freed by the next heap event: temporary), and main
    calls an unnamed frame of libx.so.1 (10 bytes, temporary as well). The
    peak is 207 bytes, after the second 100-byte block.
*/
std::string trace(bool baseOnly = false)
{
    std::string text = "v 10500 3\nX ./app\n";
    for (const char *name : {"/usr/bin/app", "main", "parse;it", "alloc", "/usr/lib/libx.so.1"}) {
        text += s(name);
    }
    text += "i 1000 1 2\ni 1100 1 3\ni 1200 1 4\ni 2000 5 0\n";
    text += "t 1 0\nt 2 1\nt 3 2\nt 4 1\n";
    text += "a 64 3\na a 4\na 7 1\n";
    text += baseOnly ? "c 1\n+ 0\nc 2\n" : "c 1\n+ 0\n+ 1\n- 1\n+ 2\n+ 0\nc 2\n- 0\nc 3\n";
    return text;
}

AnalysisResults analyze(const QTemporaryDir &dir, const QString &name, const std::string &text)
{
    const auto path = dir.filePath(name);
    if (!writeTraceFile(path.toStdString(), text, Compression::None)) {
        return {};
    }
    Parser parser;
    return runAnalysis(parser, path, QString(), FilterParameters(), Parser::StopAfter::Finished, 20000);
}

QByteArray folded(const TreeData &tree, Exports::TreeDirection direction, Exports::Cost cost)
{
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    if (!Exports::writeFoldedStacks(&buffer, tree, direction, cost)) {
        return "write failed";
    }
    return buffer.data();
}
}

class TestExports : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_run = analyze(m_dir, QStringLiteral("memloupe.app.1"), trace());
        QVERIFY(m_run.finished);
    }

    void foldedFromEitherTree_data()
    {
        QTest::addColumn<Exports::Cost>("cost");
        QTest::addColumn<QByteArray>("expected");
        const QByteArray unnamed = "main;<unresolved function> in libx.so.1";
        QTest::newRow("peak") << Exports::Cost::Peak << QByteArray("main 7\nmain;parse,it;alloc 200\n");
        QTest::newRow("leaked") << Exports::Cost::Leaked << QByteArray("main 7\nmain;parse,it;alloc 100\n");
        QTest::newRow("allocations") << Exports::Cost::Allocations << QByteArray("main 1\n" + unnamed + " 1\nmain;parse,it;alloc 2\n");
        QTest::newRow("temporary") << Exports::Cost::Temporary << QByteArray(unnamed + " 1\nmain;parse,it;alloc 1\n");
    }

    void foldedFromEitherTree()
    {
        QFETCH(Exports::Cost, cost);
        QFETCH(QByteArray, expected);
        QCOMPARE(folded(m_run.bottomUp, Exports::TreeDirection::BottomUp, cost), expected);
        QCOMPARE(folded(m_run.topDown, Exports::TreeDirection::TopDown, cost), expected);
    }

    void diffHasBaseAndCurrentColumns()
    {
        const auto base = analyze(m_dir, QStringLiteral("memloupe.app.2"), trace(true));
        QVERIFY(base.finished);
        QBuffer buffer;
        buffer.open(QIODevice::WriteOnly);
        QVERIFY(Exports::writeFoldedStacksDiff(&buffer,
                                               base.topDown,
                                               Exports::TreeDirection::TopDown,
                                               m_run.bottomUp,
                                               Exports::TreeDirection::BottomUp,
                                               Exports::Cost::Allocations));
        QCOMPARE(buffer.data(), QByteArray("main 0 1\nmain;<unresolved function> in libx.so.1 0 1\nmain;parse,it;alloc 1 2\n"));
    }

    void refusedWriteFails()
    {
        QBuffer buffer;
        buffer.open(QIODevice::ReadOnly);
        QVERIFY(!Exports::writeFoldedStacks(&buffer, m_run.topDown, Exports::TreeDirection::TopDown, Exports::Cost::Peak));
        QVERIFY(!Exports::writeSpeedscope(&buffer, m_run.topDown, Exports::TreeDirection::TopDown, QStringLiteral("x")));
    }

    void speedscopeProfiles()
    {
        QBuffer buffer;
        buffer.open(QIODevice::WriteOnly);
        QVERIFY(Exports::writeSpeedscope(&buffer, m_run.bottomUp, Exports::TreeDirection::BottomUp, QStringLiteral("memloupe.app.1")));
        const auto file = QJsonDocument::fromJson(buffer.data()).object();
        QCOMPARE(file.value(QLatin1String("name")).toString(), QStringLiteral("memloupe.app.1"));
        QStringList frames;
        for (const auto &frame : file.value(QLatin1String("shared")).toObject().value(QLatin1String("frames")).toArray()) {
            frames.append(frame.toObject().value(QLatin1String("name")).toString());
        }
        frames.sort();
        QCOMPARE(
            frames,
            QStringList({QStringLiteral("<unresolved function> in libx.so.1"), QStringLiteral("alloc"), QStringLiteral("main"), QStringLiteral("parse,it")}));

        // each profile as "unit: stack=weight ..." with the frame names resolved
        const auto allFrames = file.value(QLatin1String("shared")).toObject().value(QLatin1String("frames")).toArray();
        QStringList profiles;
        for (const auto &value : file.value(QLatin1String("profiles")).toArray()) {
            const auto profile = value.toObject();
            QCOMPARE(profile.value(QLatin1String("type")).toString(), QStringLiteral("sampled"));
            const auto samples = profile.value(QLatin1String("samples")).toArray();
            const auto weights = profile.value(QLatin1String("weights")).toArray();
            QCOMPARE(samples.size(), weights.size());
            QString text =
                profile.value(QLatin1String("name")).toString() + QLatin1Char('/') + profile.value(QLatin1String("unit")).toString() + QLatin1Char(':');
            double sum = 0;
            for (int i = 0; i < samples.size(); ++i) {
                QStringList names;
                for (const auto &index : samples.at(i).toArray()) {
                    names.append(allFrames.at(index.toInt()).toObject().value(QLatin1String("name")).toString());
                }
                text += QLatin1Char(' ') + names.join(QLatin1Char('>')) + QLatin1Char('=') + QString::number(weights.at(i).toDouble());
                sum += weights.at(i).toDouble();
            }
            QCOMPARE(profile.value(QLatin1String("endValue")).toDouble(), sum);
            profiles.append(text);
        }
        QCOMPARE(profiles,
                 QStringList({QStringLiteral("Peak/bytes: main=7 main>parse,it>alloc=200"),
                              QStringLiteral("Leaked/bytes: main=7 main>parse,it>alloc=100"),
                              QStringLiteral("Allocations/none: main=1 main><unresolved function> in libx.so.1=1 main>parse,it>alloc=2"),
                              QStringLiteral("Temporary Allocations/none: main><unresolved function> in libx.so.1=1 main>parse,it>alloc=1")}));
    }

private:
    QTemporaryDir m_dir;
    AnalysisResults m_run;
};

MEMLOUPE_ANALYSIS_TEST_MAIN(TestExports)

#include "tst_exports.moc"
