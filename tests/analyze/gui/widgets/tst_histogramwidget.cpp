/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    Histogram widget over real analysis results: which model columns each of
    its two bar diagrams gets, and what gets drawn.
*/

#include <set>

#include <KChartBarDiagram>
#include <KChartCartesianAxis>
#include <KChartCartesianCoordinatePlane>
#include <KChartChart>

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QLocale>
#include <QTest>

#include "analyze/gui/models/histogrammodel.h"
#include "analyze/gui/widgets/histogramwidget.h"

#include "charttrace.h"

namespace
{
// size classes of the sample trace
enum Row {
    UpTo8 = 0,
    UpTo32 = 2,
    UpTo128 = 4,
    Above1K = 8,
};

QList<KChart::BarDiagram *> barDiagrams(const HistogramWidget &widget)
{
    QList<KChart::BarDiagram *> diagrams;
    const auto all = widget.findChild<KChart::Chart *>()->coordinatePlane()->diagrams();
    for (auto *diagram : all) {
        diagrams.append(qobject_cast<KChart::BarDiagram *>(diagram));
    }
    return diagrams;
}

qint64 value(const QAbstractItemModel *model, int row, int column)
{
    return model->data(model->index(row, column)).value<qint64>();
}
}

class TestHistogramWidget : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    ChartTrace::Results m_results;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        ChartTrace::Analysis analysis;
        m_results = analysis.run(m_dir);
        QVERIFY(m_results.finished);
        QCOMPARE(m_results.histogram.rows.size(), 9);
    }

    void diagramsSplitTotalAndFunctions()
    {
        HistogramModel model;
        HistogramWidget widget;
        widget.setModel(&model);
        model.resetData(m_results.histogram);

        const auto diagrams = barDiagrams(widget);
        QCOMPARE(diagrams.size(), 2);
        auto *total = diagrams.at(0);
        auto *detailed = diagrams.at(1);
        QVERIFY(total && detailed);
        QCOMPARE(total->type(), KChart::BarDiagram::Normal);
        QCOMPARE(detailed->type(), KChart::BarDiagram::Stacked);

        const auto *totalModel = total->model();
        const auto *detailedModel = detailed->model();
        QCOMPARE(totalModel->rowCount(), 9);
        QCOMPARE(detailedModel->rowCount(), 9);
        QCOMPARE(totalModel->columnCount(), 1);
        QCOMPARE(detailedModel->columnCount(), HistogramRow::NUM_COLUMNS - 1);

        // 17..32 bytes: parse_input 400x (24B), make_temp 200x (20B)
        QCOMPARE(value(totalModel, UpTo32, 0), qint64(600));
        QCOMPARE(value(detailedModel, UpTo32, 0), qint64(400));
        QCOMPARE(value(detailedModel, UpTo32, 1), qint64(200));
        QCOMPARE(value(detailedModel, UpTo32, 2), qint64(0));
        QCOMPARE(value(totalModel, UpTo8, 0), qint64(200));
        QCOMPARE(value(totalModel, UpTo128, 0), qint64(200));
        QCOMPARE(value(totalModel, Above1K, 0), qint64(100));
        QCOMPARE(value(detailedModel, Above1K, 0), qint64(100));
        QVERIFY(detailedModel->data(detailedModel->index(UpTo32, 0), Qt::ToolTipRole).toString().contains(QLatin1String("parse_input")));

        // the size classes label the rows, which the bottom axis shows
        QCOMPARE(totalModel->headerData(Above1K, Qt::Vertical).toString(), QStringLiteral("more than 1KB"));
        const auto axes = total->axes();
        QCOMPARE(axes.size(), 2);
        QCOMPARE(axes.at(0)->titleText(), QStringLiteral("Requested Allocation Size"));
        QCOMPARE(axes.at(1)->titleText(), QStringLiteral("Number of Allocations"));
        // counts are grouped as the locale groups them, as in the tables and tooltips
        const QLocale saved;
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        QCOMPARE(axes.at(1)->customizedLabel(QStringLiteral("2500")), QStringLiteral("2,500"));
        QCOMPARE(axes.at(1)->customizedLabel(QStringLiteral("2.5e+06")), QStringLiteral("2,500,000"));
        QCOMPARE(axes.at(1)->customizedLabel(QStringLiteral("2.5")), QStringLiteral("2.5"));
        QLocale::setDefault(saved);
        QVERIFY(detailed->axes().isEmpty());

        // the diagrams follow the model
        model.clearData();
        QCOMPARE(totalModel->rowCount(), 0);
        QCOMPARE(detailedModel->rowCount(), 0);
        model.resetData(m_results.histogram);
        QCOMPARE(detailedModel->rowCount(), 9);
    }

    void renderHistogram()
    {
        HistogramModel model;
        HistogramWidget widget;
        widget.setModel(&model);
        model.resetData(m_results.histogram);
        widget.resize(900, 450);
        widget.show();
        QVERIFY(QTest::qWaitForWindowExposed(&widget));
        widget.grab();
        const QImage image = widget.grab().toImage();

        const QString outDir = QDir::temp().filePath(QStringLiteral("memloupe-chart-images"));
        QVERIFY(QDir().mkpath(outDir));
        QVERIFY(image.save(QDir(outDir).filePath(QStringLiteral("histogram.png"))));

        auto *chart = widget.findChild<KChart::Chart *>();
        const QRect plot = chart->coordinatePlane()->geometry().translated(chart->pos()).adjusted(2, 2, -2, -2);
        QVERIFY(plot.width() > 300 && plot.height() > 150);

        // The stacked function bars cover the total bars, which are as high
        // when a class has no more than ten functions.
        const auto colorsIn = [&plot](const QImage &image) {
            std::set<QRgb> colors;
            for (int y = plot.top(); y <= plot.bottom(); ++y) {
                for (int x = plot.left(); x <= plot.right(); ++x) {
                    colors.insert(image.pixel(x, y));
                }
            }
            return colors;
        };
        const auto brushColor = [&model](int column) {
            return model.data(model.index(0, column), KChart::DatasetBrushRole).value<QBrush>().color().rgb();
        };
        const auto colors = colorsIn(image);
        QVERIFY(colors.size() > 8);
        QVERIFY(colors.count(brushColor(1)));
        QVERIFY(colors.count(brushColor(2)));
        QVERIFY(!colors.count(brushColor(3)));

        barDiagrams(widget).at(1)->setHidden(true);
        const QImage totalOnly = widget.grab().toImage();
        QVERIFY(totalOnly.save(QDir(outDir).filePath(QStringLiteral("histogram-total.png"))));
        const auto totalColors = colorsIn(totalOnly);
        QVERIFY(totalColors.count(brushColor(0)));
        QVERIFY(!totalColors.count(brushColor(1)));
    }
};

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    // texts are compared with their untranslated source
    qputenv("LANGUAGE", "C");
    qputenv("LC_ALL", "C");
    QLocale::setDefault(QLocale::c());
    QApplication app(argc, argv);
    TestHistogramWidget test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_histogramwidget.moc"
