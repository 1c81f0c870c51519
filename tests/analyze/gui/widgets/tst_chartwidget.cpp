/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    Chart widget over real analysis results: selection and its mirroring,
    dragging a range, tool and status tips, the filter menu, axes of a
    filtered run, the data-set limit, image export and what gets drawn.
*/

#include <functional>
#include <limits>
#include <memory>
#include <set>

#include <KChartCartesianAxis>
#include <KChartCartesianCoordinatePlane>
#include <KChartChart>
#include <KChartPlotter>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QLocale>
#include <QMainWindow>
#include <QMenu>
#include <QMouseEvent>
#include <QRubberBand>
#include <QSignalSpy>
#include <QSpinBox>
#include <QStatusBar>
#include <QTest>
#include <QTimer>

#include "analyze/gui/analysis/util.h"
#include "analyze/gui/models/chartmodel.h"
#include "analyze/gui/models/proxystyle.h"
#include "analyze/gui/widgets/chartwidget.h"

#include "charttrace.h"

namespace
{
struct Chart {
    std::unique_ptr<ChartWidget> widget;
    ChartModel *model = nullptr;

    KChart::Chart *chart() const
    {
        return widget->findChild<KChart::Chart *>();
    }
    KChart::CartesianCoordinatePlane *plane() const
    {
        return static_cast<KChart::CartesianCoordinatePlane *>(chart()->coordinatePlane());
    }
    KChart::Plotter *plotter(int i) const
    {
        return qobject_cast<KChart::Plotter *>(plane()->diagrams().value(i));
    }
    // the x position of time @p t in the chart's coordinates
    int xAt(float t) const
    {
        return qRound(plane()->translate(QPointF(t, 0)).x());
    }
};

Chart makeChart(ChartModel::Type type, const ChartData &data, const SummaryData &summary)
{
    Chart chart;
    chart.widget = std::make_unique<ChartWidget>();
    chart.model = new ChartModel(type, chart.widget.get());
    chart.widget->setModel(chart.model);
    chart.model->resetData(data);
    chart.widget->setSummaryData(summary);
    return chart;
}

// Shows the widget and has KChart lay it out, so positions can be translated.
bool showChart(const Chart &chart)
{
    chart.widget->resize(900, 450);
    chart.widget->show();
    if (!QTest::qWaitForWindowExposed(chart.widget.get())) {
        return false;
    }
    chart.widget->grab();
    return chart.plane()->geometry().width() > 100;
}

void sendMouse(QWidget *target, QEvent::Type type, int x, Qt::MouseButton button, Qt::MouseButtons buttons)
{
    const QPoint pos(x, target->height() / 2);
    QMouseEvent event(type, pos, target->mapToGlobal(pos), button, buttons, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &event);
}

// Runs @p action and returns the texts of the modal dialogs it opened, closing each.
QStringList modalTexts(const std::function<void()> &action)
{
    QStringList texts;
    QTimer timer;
    timer.setInterval(20);
    QObject::connect(&timer, &QTimer::timeout, [&texts]() {
        auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
        if (!dialog) {
            return;
        }
        const auto labels = dialog->findChildren<QLabel *>();
        for (auto *label : labels) {
            if (!label->text().isEmpty()) {
                texts.append(label->text());
            }
        }
        dialog->reject();
    });
    timer.start();
    action();
    return texts;
}

QCheckBox *checkBox(const QWidget &widget, const QString &text)
{
    const auto boxes = widget.findChildren<QCheckBox *>();
    for (auto *box : boxes) {
        if (box->text() == text) {
            return box;
        }
    }
    return nullptr;
}

int countPixels(const QImage &image, const QRect &area, const std::function<bool(const QColor &)> &matches)
{
    int count = 0;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            if (matches(image.pixelColor(x, y))) {
                ++count;
            }
        }
    }
    return count;
}

QStringList actionTexts(QMenu *menu)
{
    QStringList texts;
    const auto actions = menu->actions();
    for (auto *action : actions) {
        texts.append(action->text());
    }
    return texts;
}

QString table(const QString &start,
              const QString &end,
              const QString &delta,
              const QString &costName,
              const QString &startCost,
              const QString &endCost,
              const QString &costDelta)
{
    return QStringLiteral(
               "<qt><table cellpadding=2><tr><th></th><th>Start</th><th>End</th><th>Delta</th></tr>"
               "<tr><th>Time</th><td>%1</td><td>%2</td><td>%3</td></tr>"
               "<tr><th>%4</th><td>%5</td><td>%6</td><td>%7</td></tr></table></qt>")
        .arg(start, end, delta, costName, startCost, endCost, costDelta);
}

int countDistinctColors(const QImage &image, const QRect &area)
{
    std::set<QRgb> colors;
    for (int y = area.top(); y <= area.bottom(); y += 2) {
        for (int x = area.left(); x <= area.right(); x += 2) {
            colors.insert(image.pixel(x, y));
        }
    }
    return static_cast<int>(colors.size());
}
}

class TestChartWidget : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    ChartTrace::Results m_results;
    ChartTrace::Results m_filtered;

    const ChartData &chartData(ChartModel::Type type, const ChartTrace::Results &results) const
    {
        switch (type) {
        case ChartModel::Consumed:
            return results.consumed;
        case ChartModel::Allocations:
            return results.allocations;
        case ChartModel::Temporary:
            break;
        }
        return results.temporary;
    }

    Chart makeChart(ChartModel::Type type, bool filtered = false) const
    {
        const auto &results = filtered ? m_filtered : m_results;
        return ::makeChart(type, chartData(type, results), results.summary);
    }

private Q_SLOTS:
    void initTestCase()
    {
        qRegisterMetaType<ChartWidget::Range>("ChartWidget::Range");
        qRegisterMetaType<int64_t>("int64_t");
        QVERIFY(m_dir.isValid());
        ChartTrace::Analysis analysis;
        m_results = analysis.run(m_dir);
        QVERIFY(m_results.finished);
        // the origin, one sample per time stamp after 0, and the final one
        QCOMPARE(m_results.allocations.rows.size(), ChartTrace::STEPS + 1);
        m_filtered = analysis.rerun(500, 1500);
        QVERIFY(m_filtered.finished);
        QCOMPARE(m_filtered.summary.filterParameters.minTime, int64_t(500));
        QVERIFY(!m_filtered.allocations.rows.isEmpty());
    }

    void selectionIsMirroredWithoutEcho()
    {
        auto first = makeChart(ChartModel::Consumed);
        auto second = makeChart(ChartModel::Allocations);
        // as the main window wires its charts
        connect(first.widget.get(), &ChartWidget::selectionChanged, second.widget.get(), &ChartWidget::setSelection);
        connect(second.widget.get(), &ChartWidget::selectionChanged, first.widget.get(), &ChartWidget::setSelection);
        QSignalSpy firstSpy(first.widget.get(), &ChartWidget::selectionChanged);
        QSignalSpy secondSpy(second.widget.get(), &ChartWidget::selectionChanged);

        const ChartWidget::Range range = {250, 120};
        first.widget->setSelection(range);
        QCOMPARE(firstSpy.count(), 1);
        QCOMPARE(secondSpy.count(), 1);
        QCOMPARE(secondSpy.at(0).at(0).value<ChartWidget::Range>(), range);
        QVERIFY(second.widget->toolTip().contains(QLatin1String("<th>Allocations</th>")));

        // an equal range changes nothing; a different end does
        second.widget->setSelection(range);
        QCOMPARE(firstSpy.count(), 1);
        QCOMPARE(secondSpy.count(), 1);
        second.widget->setSelection({250, 121});
        QCOMPARE(firstSpy.count(), 2);
        QCOMPARE(secondSpy.count(), 2);
        QCOMPARE(firstSpy.at(1).at(0).value<ChartWidget::Range>(), (ChartWidget::Range{250, 121}));

        // what the window does when it clears its data
        first.widget->setSelection({-1, -1});
        QCOMPARE(secondSpy.count(), 3);
        QVERIFY(second.widget->toolTip().startsWith(QLatin1String("<qt>Shows number of memory allocations over time.")));

        ChartWidget withoutModel;
        QSignalSpy spy(&withoutModel, &ChartWidget::selectionChanged);
        withoutModel.setSelection(range);
        QVERIFY(spy.isEmpty());
        QVERIFY(withoutModel.toolTip().isEmpty());
    }

    void toolTip_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("selected");
        QTest::addColumn<QString>("description");

        // samples at 120 and 250 hold steps 0..11 and 0..24
        QTest::newRow("consumed") << int(ChartModel::Consumed)
                                  << table(QStringLiteral("120ms"),
                                           QStringLiteral("250ms"),
                                           QStringLiteral("130ms"),
                                           QStringLiteral("Consumed"),
                                           Util::formatBytes(4240 * 12 + 24),
                                           Util::formatBytes(4240 * 25 + 24),
                                           Util::formatBytes(4240 * 13))
                                  << QStringLiteral(
                                         "<qt>Shows the heap memory consumption over time.<br>Click and drag to select a time "
                                         "range for filtering.</qt>");
        QTest::newRow("allocations") << int(ChartModel::Allocations)
                                     << table(QStringLiteral("120ms"),
                                              QStringLiteral("250ms"),
                                              QStringLiteral("130ms"),
                                              QStringLiteral("Allocations"),
                                              QStringLiteral("72"),
                                              QStringLiteral("150"),
                                              QStringLiteral("78"))
                                     << QStringLiteral(
                                            "<qt>Shows number of memory allocations over time.<br>Click and drag to select a time "
                                            "range for filtering.</qt>");
        QTest::newRow("temporary") << int(ChartModel::Temporary)
                                   << table(QStringLiteral("120ms"),
                                            QStringLiteral("250ms"),
                                            QStringLiteral("130ms"),
                                            QStringLiteral("Temporary Allocations"),
                                            QStringLiteral("12"),
                                            QStringLiteral("25"),
                                            QStringLiteral("13"))
                                   << QStringLiteral(
                                          "<qt>Shows number of temporary memory allocations over time. A temporary allocation is "
                                          "one that is followed immediately by its corresponding deallocation, without other "
                                          "allocations happening in-between.<br>Click and drag to select a time range for "
                                          "filtering.</qt>");
    }

    void toolTip()
    {
        QFETCH(int, type);
        QFETCH(QString, selected);
        QFETCH(QString, description);

        auto chart = makeChart(static_cast<ChartModel::Type>(type));
        QCOMPARE(chart.widget->toolTip(), description);

        // dragged from right to left: the table still runs from the earlier time
        chart.widget->setSelection({250.7f, 120.2f});
        QCOMPARE(chart.widget->toolTip(), selected);

        // a click without a drag
        chart.widget->setSelection({300, 300});
        QCOMPARE(chart.widget->toolTip(), description);
    }

    void statusTip()
    {
        QMainWindow window;
        // the status bar has to exist before the widget's status tip events arrive
        window.statusBar();
        auto chart = makeChart(ChartModel::Allocations);
        auto *widget = chart.widget.release();
        window.setCentralWidget(widget);

        const auto maxTime = m_results.summary.filterParameters.maxTime;
        const QString generic = QStringLiteral("Click and drag to select time range for filtering.");

        widget->updateStatusTip(1000);
        const QString at1000 = QStringLiteral("T = 01.000s, Allocations: 600. Click and drag to select time range for filtering.");
        QCOMPARE(widget->statusTip(), at1000);
        QCOMPARE(window.statusBar()->currentMessage(), at1000);

        widget->updateStatusTip(-1);
        QCOMPARE(widget->statusTip(), generic);
        QCOMPARE(window.statusBar()->currentMessage(), generic);

        // the last time stamp still belongs to the data, one past it does not
        widget->updateStatusTip(maxTime);
        QCOMPARE(widget->statusTip(),
                 QStringLiteral("T = %1, Allocations: 1100. Click and drag to select time range for filtering.").arg(Util::formatTime(maxTime)));
        widget->updateStatusTip(maxTime + 1);
        QCOMPARE(widget->statusTip(), generic);

        widget->updateStatusTip(0);
        QCOMPARE(widget->statusTip(), QStringLiteral("T = 0ms, Allocations: 0. Click and drag to select time range for filtering."));

        auto consumed = makeChart(ChartModel::Consumed);
        consumed.widget->updateStatusTip(105);
        QCOMPARE(consumed.widget->statusTip(),
                 QStringLiteral("T = 105ms, Consumed: %1. Click and drag to select time range for filtering.").arg(Util::formatBytes(4240 * 10 + 24)));
        auto temporary = makeChart(ChartModel::Temporary);
        temporary.widget->updateStatusTip(105);
        QCOMPARE(temporary.widget->statusTip(), QStringLiteral("T = 105ms, Temporary Allocations: 10. Click and drag to select time range for filtering."));
    }

    void mouseDragSelectsRange()
    {
        auto chart = makeChart(ChartModel::Allocations);
        QVERIFY(showChart(chart));
        auto *kchart = chart.chart();
        auto *band = chart.widget->findChild<QRubberBand *>();
        QVERIFY(band);
        QCOMPARE(band->metaObject()->className(), "ChartRubberBand");
        QVERIFY(!band->isVisible());

        QSignalSpy spy(chart.widget.get(), &ChartWidget::selectionChanged);
        const int x1 = chart.xAt(1500);
        const int x2 = chart.xAt(400);
        QVERIFY(x1 > x2 + 100);
        const float t1 = float(chart.plane()->translateBack(QPointF(x1, 0)).x());
        const float t2 = float(chart.plane()->translateBack(QPointF(x2, 0)).x());

        const QImage before = kchart->grab().toImage();
        sendMouse(kchart, QEvent::MouseButtonPress, x1, Qt::LeftButton, Qt::LeftButton);
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.last().at(0).value<ChartWidget::Range>(), (ChartWidget::Range{t1, t1}));
        QCOMPARE(kchart->cursor().shape(), Qt::SizeHorCursor);

        sendMouse(kchart, QEvent::MouseMove, x2, Qt::NoButton, Qt::LeftButton);
        QCOMPARE(spy.count(), 2);
        QCOMPARE(spy.last().at(0).value<ChartWidget::Range>(), (ChartWidget::Range{t1, t2}));
        QVERIFY(band->isVisible());
        QVERIFY(qAbs(band->geometry().left() - (x2 + kchart->x())) <= 1);
        QVERIFY(qAbs(band->geometry().right() - (x1 + kchart->x())) <= 1);

        // While dragging the chart shows what it looked like at the press,
        // even when the data changes under it.
        chart.model->clearData();
        QCOMPARE(kchart->grab().toImage(), before);

        sendMouse(kchart, QEvent::MouseButtonRelease, x2, Qt::LeftButton, Qt::NoButton);
        QCOMPARE(spy.count(), 2);
        QCOMPARE(kchart->cursor().shape(), Qt::IBeamCursor);
        QVERIFY(kchart->grab().toImage() != before);

        // moving without a button only updates the status tip
        sendMouse(kchart, QEvent::MouseMove, x1, Qt::NoButton, Qt::NoButton);
        QCOMPARE(spy.count(), 2);
        QVERIFY(chart.widget->statusTip().startsWith(QLatin1String("T = ")));

        // a click without a drag clears the selection and hides the band
        sendMouse(kchart, QEvent::MouseButtonPress, x1, Qt::LeftButton, Qt::LeftButton);
        sendMouse(kchart, QEvent::MouseButtonRelease, x1, Qt::LeftButton, Qt::NoButton);
        QVERIFY(spy.last().at(0).value<ChartWidget::Range>().isEmpty());
        QVERIFY(!band->isVisible());
    }

    void contextMenuByState()
    {
        auto unfiltered = makeChart(ChartModel::Consumed);
        QSignalSpy unfilteredSpy(unfiltered.widget.get(), &ChartWidget::filterRequested);
        {
            QMenu menu;
            unfiltered.widget->fillContextMenu(&menu);
            QVERIFY(menu.isEmpty());
        }
        unfiltered.widget->setSelection({250.9f, 120.4f});
        {
            QMenu menu;
            unfiltered.widget->fillContextMenu(&menu);
            QCOMPARE(actionTexts(&menu), QStringList{QStringLiteral("Filter In On Selection")});
            menu.actions().at(0)->trigger();
            QCOMPARE(unfilteredSpy.count(), 1);
            QCOMPARE(unfilteredSpy.at(0).at(0).value<int64_t>(), int64_t(120));
            QCOMPARE(unfilteredSpy.at(0).at(1).value<int64_t>(), int64_t(250));
        }

        auto filtered = makeChart(ChartModel::Consumed, true);
        QSignalSpy filteredSpy(filtered.widget.get(), &ChartWidget::filterRequested);
        {
            QMenu menu;
            filtered.widget->fillContextMenu(&menu);
            QCOMPARE(actionTexts(&menu), QStringList{QStringLiteral("Reset Filter")});
            menu.actions().at(0)->trigger();
            QCOMPARE(filteredSpy.count(), 1);
            QCOMPARE(filteredSpy.at(0).at(0).value<int64_t>(), int64_t(0));
            QCOMPARE(filteredSpy.at(0).at(1).value<int64_t>(), std::numeric_limits<int64_t>::max());
        }
        filtered.widget->setSelection({700, 900});
        {
            QMenu menu;
            filtered.widget->fillContextMenu(&menu);
            QCOMPARE(actionTexts(&menu), (QStringList{QStringLiteral("Filter In On Selection"), QStringLiteral("Reset Filter")}));
            menu.actions().at(0)->trigger();
            QCOMPARE(filteredSpy.last().at(0).value<int64_t>(), int64_t(700));
            QCOMPARE(filteredSpy.last().at(1).value<int64_t>(), int64_t(900));
        }

        ChartWidget withoutModel;
        QMenu menu;
        withoutModel.fillContextMenu(&menu);
        QVERIFY(menu.isEmpty());
    }

    void axesOfFilteredRun()
    {
        auto unfiltered = makeChart(ChartModel::Consumed);
        const auto unfilteredAxes = unfiltered.plotter(0)->axes();
        QCOMPARE(unfilteredAxes.size(), 2);
        QCOMPARE(unfilteredAxes.at(0)->titleText(), QStringLiteral("Elapsed Time"));
        QCOMPARE(unfilteredAxes.at(1)->titleText(), QStringLiteral("Memory Consumed"));
        QCOMPARE(unfilteredAxes.at(0)->customizedLabel(QStringLiteral("1500")), QStringLiteral("01.500s"));
        QCOMPARE(unfilteredAxes.at(1)->customizedLabel(QStringLiteral("2500")), Util::formatBytes(2500));
        // large values may arrive in exponent notation
        QCOMPARE(unfilteredAxes.at(1)->customizedLabel(QStringLiteral("2.5e+06")), Util::formatBytes(2500000));

        auto filtered = makeChart(ChartModel::Allocations, true);
        const auto maxTime = m_filtered.summary.filterParameters.maxTime;
        const auto axes = filtered.plotter(0)->axes();
        QCOMPARE(axes.size(), 2);
        QCOMPARE(axes.at(0)->titleText(),
                 QStringLiteral("Elapsed Time (filtered from 500ms to %1, Δ%2)").arg(Util::formatTime(maxTime), Util::formatTime(maxTime - 500)));
        QCOMPARE(axes.at(1)->titleText(), QStringLiteral("Memory Allocations (filtered delta)"));
        QCOMPARE(axes.at(0)->customizedLabel(QStringLiteral("1500")), QStringLiteral("01.500s\n01.000s"));
        // counts are not sizes
        QCOMPARE(axes.at(1)->customizedLabel(QStringLiteral("2500")), QStringLiteral("2500"));
        // but grouped as the locale groups numbers
        const QLocale saved;
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        QCOMPARE(axes.at(1)->customizedLabel(QStringLiteral("2500")), QStringLiteral("2,500"));
        QLocale::setDefault(saved);

        // a minimal chart has no axes to label
        ChartWidget minimal;
        minimal.setModel(new ChartModel(ChartModel::Consumed, &minimal), true);
        QVERIFY(static_cast<KChart::AbstractCartesianDiagram *>(minimal.findChild<KChart::Chart *>()->coordinatePlane()->diagrams().at(0))->axes().isEmpty());

        // The axes follow the summary of the latest run, but only once its
        // series are in: until then the old series are drawn on their own axes.
        // First the order of a run: the summary, then the series.
        filtered.model->clearData();
        filtered.widget->setSummaryData(m_filtered.summary);
        filtered.model->resetData(m_filtered.allocations);
        filtered.widget->setSummaryData(m_results.summary);
        QCOMPARE(axes.at(1)->titleText(), QStringLiteral("Memory Allocations (filtered delta)"));
        QCOMPARE(axes.at(0)->customizedLabel(QStringLiteral("1500")), QStringLiteral("01.500s\n01.000s"));
        filtered.model->resetData(m_results.allocations);
        QCOMPARE(axes.at(0)->titleText(), QStringLiteral("Elapsed Time"));
        QCOMPARE(axes.at(1)->titleText(), QStringLiteral("Memory Allocations"));
        QCOMPARE(axes.at(0)->customizedLabel(QStringLiteral("1500")), QStringLiteral("01.500s"));
        // an empty chart has nothing drawn on the old axes: they change at once
        filtered.model->clearData();
        filtered.widget->setSummaryData(m_filtered.summary);
        QCOMPARE(axes.at(1)->titleText(), QStringLiteral("Memory Allocations (filtered delta)"));
    }

    void selectionEndsWithItsTimeRange()
    {
        auto chart = makeChart(ChartModel::Consumed);
        QSignalSpy changed(chart.widget.get(), &ChartWidget::selectionChanged);
        chart.widget->setSelection({600, 1200});
        QCOMPARE(changed.size(), 1);

        // a run of the same range (a suppression switched) keeps the selection
        chart.widget->setSummaryData(m_results.summary);
        QCOMPARE(changed.size(), 1);
        auto menu = std::make_unique<QMenu>();
        chart.widget->fillContextMenu(menu.get());
        QVERIFY(actionTexts(menu.get()).contains(QStringLiteral("Filter In On Selection")));

        // a run of another range: the selection meant times of the old axis
        chart.widget->setSummaryData(m_filtered.summary);
        QCOMPARE(changed.size(), 2);
        QVERIFY(changed.last().at(0).value<ChartWidget::Range>().isEmpty());
        menu = std::make_unique<QMenu>();
        chart.widget->fillContextMenu(menu.get());
        QCOMPARE(actionTexts(menu.get()), QStringList{QStringLiteral("Reset Filter")});
    }

    void plottersAndDataSetLimit()
    {
        auto chart = makeChart(ChartModel::Consumed);
        QCOMPARE(chart.plane()->diagrams().size(), 2);
        auto *total = chart.plotter(0);
        auto *detailed = chart.plotter(1);
        QVERIFY(total && detailed);
        QCOMPARE(total->type(), KChart::Plotter::Stacked);
        QCOMPARE(detailed->type(), KChart::Plotter::Stacked);
        // time and value of the total; of the three call sites with a peak
        QCOMPARE(total->model()->columnCount(), 2);
        QCOMPARE(detailed->model()->columnCount(), 6);
        QCOMPARE(total->model()->headerData(0, Qt::Horizontal).toString(), QStringLiteral("Total Memory Consumption"));
        QCOMPARE(detailed->model()->headerData(0, Qt::Horizontal).toString().trimmed(), QStringLiteral("grow_buffer"));

        auto *spinBox = chart.widget->findChild<QSpinBox *>();
        QVERIFY(spinBox);
        QCOMPARE(spinBox->value(), 10);
        spinBox->setValue(1);
        QCOMPARE(detailed->model()->columnCount(), 2);
        QCOMPARE(total->model()->columnCount(), 2);
        spinBox->setValue(0);
        QCOMPARE(detailed->model()->columnCount(), 0);
        spinBox->setValue(50);
        QCOMPARE(detailed->model()->columnCount(), 6);
    }

    void exportImages()
    {
        auto chart = makeChart(ChartModel::Consumed);
        QVERIFY(showChart(chart));
        const QString png = m_dir.filePath(QStringLiteral("chart.png"));
        const QString svg = m_dir.filePath(QStringLiteral("chart.svg"));

        QStringList messages = modalTexts([&]() {
            QVERIFY(chart.widget->saveImage(png));
            QVERIFY(chart.widget->saveImage(svg));
        });
        QVERIFY2(messages.isEmpty(), qPrintable(messages.join(QLatin1Char('\n'))));

        const QImage image(png);
        QCOMPARE(image.size(), chart.chart()->size());
        QVERIFY(countDistinctColors(image, image.rect()) > 8);

        QFile svgFile(svg);
        QVERIFY(svgFile.open(QIODevice::ReadOnly));
        const QByteArray svgText = svgFile.readAll();
        QVERIFY(svgText.contains("<svg"));
        // the plotted areas are paths, one at least per data set
        QVERIFY(svgText.count("<path") >= 4);

        const QString unwritable = m_dir.filePath(QStringLiteral("missing/chart.png"));
        messages = modalTexts([&]() {
            QVERIFY(!chart.widget->saveImage(unwritable));
        });
        QCOMPARE(messages, QStringList{QStringLiteral("Failed to save the image to %1").arg(unwritable)});
        QVERIFY(!QFile::exists(unwritable));

        // vector export fails silently
        messages = modalTexts([&]() {
            QVERIFY(!chart.widget->saveImage(m_dir.filePath(QStringLiteral("missing/chart.svg"))));
        });
        QVERIFY(messages.isEmpty());

        // the dialog names the chart: a chart in a tab has no window title
        QString dialogTitle;
        QTimer::singleShot(50, [&dialogTitle]() {
            if (auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget())) {
                dialogTitle = dialog->windowTitle();
                dialog->reject();
            }
        });
        chart.widget->saveAs();
        QCOMPARE(dialogTitle, QStringLiteral("Save Memory Consumed"));
    }

    void renderCharts_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("name");
        QTest::newRow("consumed") << int(ChartModel::Consumed) << QStringLiteral("consumed");
        QTest::newRow("allocations") << int(ChartModel::Allocations) << QStringLiteral("allocations");
        QTest::newRow("temporary") << int(ChartModel::Temporary) << QStringLiteral("temporary");
    }

    void renderCharts()
    {
        QFETCH(int, type);
        QFETCH(QString, name);

        auto chart = makeChart(static_cast<ChartModel::Type>(type));
        QVERIFY(showChart(chart));
        chart.widget->setSelection({600, 900});
        const QImage image = chart.widget->grab().toImage();

        const QString outDir = QDir::temp().filePath(QStringLiteral("memloupe-chart-images"));
        QVERIFY(QDir().mkpath(outDir));
        QVERIFY(image.save(QDir(outDir).filePath(name + QStringLiteral(".png"))));

        const QRect plot = chart.plane()->geometry().translated(chart.chart()->pos()).adjusted(2, 2, -2, -2);
        QVERIFY(countDistinctColors(image, image.rect()) > 20);

        // Call sites are drawn in hues from yellow over green to blue; the
        // total, red and mostly covered by them, shows once they are switched off.
        const auto reddish = [](const QColor &color) {
            return color.red() - color.green() > 30 && qAbs(color.green() - color.blue()) < 25;
        };
        const auto greenish = [](const QColor &color) {
            return color.green() - color.red() > 30;
        };
        QVERIFY(countPixels(image, plot, greenish) > 1000);
        QCheckBox *detailed = checkBox(*chart.widget, QStringLiteral("Show detailed cost graph"));
        QVERIFY(detailed);
        detailed->setChecked(false);
        // the band's blue would count as green
        chart.widget->setSelection({-1, -1});
        const QImage totalOnly = chart.widget->grab().toImage();
        QVERIFY(totalOnly.save(QDir(outDir).filePath(name + QStringLiteral("-total.png"))));
        QCOMPARE(countPixels(totalOnly, plot, greenish), 0);
        QVERIFY2(countPixels(totalOnly, plot, reddish) > 1000, qPrintable(QString::number(countPixels(totalOnly, plot, reddish))));

        // the selection band is half the highlight colour over the chart, across its whole height
        const int y = chart.chart()->y() + 2;
        const QColor background = image.pixelColor(chart.xAt(300) + chart.chart()->x(), y);
        const QColor highlight = chart.widget->palette().highlight().color();
        const QColor inBand = image.pixelColor(chart.xAt(750) + chart.chart()->x(), y);
        const auto blend = [](int under, int over) {
            return (under * 127 + over * 128) / 255;
        };
        QVERIFY(inBand != background);
        QVERIFY2(qAbs(inBand.red() - blend(background.red(), highlight.red())) <= 3 && qAbs(inBand.green() - blend(background.green(), highlight.green())) <= 3
                     && qAbs(inBand.blue() - blend(background.blue(), highlight.blue())) <= 3,
                 qPrintable(inBand.name() + QLatin1Char(' ') + background.name() + QLatin1Char(' ') + highlight.name()));
    }
};

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    // texts are compared with their untranslated source, numbers in the C locale
    qputenv("LANGUAGE", "C");
    qputenv("LC_ALL", "C");
    QLocale::setDefault(QLocale::c());
    QApplication app(argc, argv);
    // as in the application: the selection band is drawn filled
    QApplication::setStyle(new ProxyStyle);
    TestChartWidget test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_chartwidget.moc"
