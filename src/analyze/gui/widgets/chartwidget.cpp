/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

#include "analyze/gui/widgets/chartwidget.h"
#include "analyze/gui/widgets/countaxis.h"

#include <algorithm>
#include <limits>

#include <KChartBackgroundAttributes>
#include <KChartCartesianAxis>
#include <KChartCartesianCoordinatePlane>
#include <KChartChart>
#include <KChartGridAttributes>
#include <KChartLegend>
#include <KChartPlotter>
#include <KChartRelativePosition>
#include <KChartTextAttributes>

#include <KColorScheme>
#include <KLocalizedString>
#include <KMessageBox>

#include <QAction>
#include <QCheckBox>
#include <QCoreApplication>
#include <QCursor>
#include <QFileDialog>
#include <QFileInfo>
#include <QIcon>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QRubberBand>
#include <QSpinBox>
#include <QStatusTipEvent>
#include <QSvgGenerator>
#include <QToolBar>
#include <QToolTip>
#include <QVBoxLayout>

#include "analyze/gui/analysis/util.h"
#include "analyze/gui/models/chartmodel.h"
#include "analyze/gui/models/chartproxy.h"

namespace
{
// The model shows the total and ten call sites until told otherwise.
constexpr int DEFAULT_STACKED_DIAGRAMS = 10;

// KChart hands axis labels over as text; large values may come in exponent notation.
bool parseLabel(const QString &label, qint64 *value)
{
    bool ok = false;
    *value = label.toLongLong(&ok);
    if (ok) {
        return true;
    }
    const double number = label.toDouble(&ok);
    if (ok) {
        *value = static_cast<qint64>(number);
    }
    return ok;
}

bool isFilteredRun(const SummaryData &data)
{
    return data.filterParameters.minTime != 0 || data.filterParameters.maxTime < data.totalTime;
}

void setTextStyle(KChart::CartesianAxis *axis, const QColor &foreground, qreal pointSize)
{
    auto labels = axis->textAttributes();
    labels.setPen(QPen(foreground));
    labels.setFontSize(KChart::Measure(pointSize - 2, KChartEnums::MeasureCalculationModeAbsolute));
    axis->setTextAttributes(labels);

    auto title = axis->titleTextAttributes();
    title.setPen(QPen(foreground));
    title.setFontSize(KChart::Measure(pointSize + 2, KChartEnums::MeasureCalculationModeAbsolute));
    axis->setTitleTextAttributes(title);
}
}

class TimeAxis : public KChart::CartesianAxis
{
public:
    explicit TimeAxis(KChart::AbstractCartesianDiagram *diagram)
        : CartesianAxis(diagram)
    {
    }

    const QString customizedLabel(const QString &label) const override
    {
        qint64 time = 0;
        if (!parseLabel(label, &time)) {
            return label;
        }
        if (!isFilteredRun(m_summaryData)) {
            return Util::formatTime(time);
        }
        // the second line is the time since the start of the filtered range
        return Util::formatTime(time) + QLatin1Char('\n') + Util::formatTime(time - m_summaryData.filterParameters.minTime);
    }

    void setSummaryData(const SummaryData &data)
    {
        m_summaryData = data;
    }

private:
    SummaryData m_summaryData;
};

class SizeAxis : public KChart::CartesianAxis
{
public:
    explicit SizeAxis(KChart::AbstractCartesianDiagram *diagram)
        : CartesianAxis(diagram)
    {
    }

    const QString customizedLabel(const QString &label) const override
    {
        qint64 bytes = 0;
        if (!parseLabel(label, &bytes)) {
            return label;
        }
        return Util::formatBytes(bytes);
    }
};

// Its class name is what the application style looks for to draw it unmasked.
class ChartRubberBand : public QRubberBand
{
    Q_OBJECT
public:
    explicit ChartRubberBand(QWidget *parent)
        : QRubberBand(QRubberBand::Rectangle, parent)
    {
    }

protected:
    void paintEvent(QPaintEvent *event) override
    {
        const auto &brush = palette().highlight();
        if (brush != m_lastBrush) {
            m_lastBrush = brush;
            auto color = brush.color();
            color.setAlpha(128);
            m_cachedBrush = brush;
            m_cachedBrush.setColor(color);
        }
        QPainter painter(this);
        painter.fillRect(event->rect(), m_cachedBrush);
    }

private:
    QBrush m_lastBrush;
    QBrush m_cachedBrush;
};

ChartWidget::ChartWidget(QWidget *parent)
    : QWidget(parent)
    , m_stackedDiagrams(new QSpinBox(this))
    , m_chart(new KChart::Chart(this))
    , m_rubberBand(new ChartRubberBand(this))
{
    auto *toolBar = new QToolBar(this);
    toolBar->setObjectName(QStringLiteral("chartToolBar"));

    auto *exportButton = new QPushButton(i18n("Export As..."), toolBar);
    connect(exportButton, &QPushButton::released, this, &ChartWidget::saveAs);
    toolBar->addWidget(exportButton);
    toolBar->addSeparator();

    auto *showLegend = new QCheckBox(i18n("Show legend"), toolBar);
    showLegend->setChecked(false);
    connect(showLegend, &QCheckBox::toggled, this, [this](bool show) {
        setLegendShown(show);
    });
    toolBar->addWidget(showLegend);
    toolBar->addSeparator();

    auto *showTotal = new QCheckBox(i18n("Show total cost graph"), toolBar);
    showTotal->setChecked(true);
    connect(showTotal, &QCheckBox::toggled, this, [this](bool show) {
        if (m_totalPlotter) {
            m_totalPlotter->setHidden(!show);
            m_chart->update();
        }
    });
    toolBar->addWidget(showTotal);

    auto *showDetailed = new QCheckBox(i18n("Show detailed cost graph"), toolBar);
    showDetailed->setChecked(true);
    connect(showDetailed, &QCheckBox::toggled, this, [this](bool show) {
        if (m_detailedPlotter) {
            m_detailedPlotter->setHidden(!show);
            m_chart->update();
        }
    });
    toolBar->addWidget(showDetailed);
    toolBar->addSeparator();

    toolBar->addWidget(new QLabel(i18n("Stacked diagrams:"), toolBar));
    m_stackedDiagrams->setRange(0, 50);
    m_stackedDiagrams->setValue(DEFAULT_STACKED_DIAGRAMS);
    connect(m_stackedDiagrams, QOverload<int>::of(&QSpinBox::valueChanged), this, [this](int count) {
        if (m_model) {
            // the total is a data set of the model as well
            m_model->setMaximumDatasetCount(count + 1);
        }
    });
    toolBar->addWidget(m_stackedDiagrams);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(toolBar);
    layout->addWidget(m_chart);

    m_chart->setCursor(Qt::IBeamCursor);
    m_chart->setMouseTracking(true);
    m_chart->installEventFilter(this);
    m_chart->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_chart, &KChart::Chart::customContextMenuRequested, this, &ChartWidget::showContextMenu);

    auto *plane = coordinatePlane();
    plane->setAutoAdjustGridToZoom(true);
    // the samples of a filtered run start at the filter's start; so should the time axis
    plane->setXAxisStartAtZero(false);
    connect(plane, &KChart::AbstractCoordinatePlane::needUpdate, this, &ChartWidget::updateRubberBand);

    m_rubberBand->hide();
}

ChartWidget::~ChartWidget() = default;

KChart::CartesianCoordinatePlane *ChartWidget::coordinatePlane() const
{
    return static_cast<KChart::CartesianCoordinatePlane *>(m_chart->coordinatePlane());
}

bool ChartWidget::isFiltered() const
{
    return isFilteredRun(m_summaryData);
}

void ChartWidget::setModel(ChartModel *model, bool minimalMode)
{
    if (m_model || !model) {
        return;
    }
    m_model = model;

    auto *plane = coordinatePlane();
    const auto diagrams = plane->diagrams();
    for (auto *diagram : diagrams) {
        plane->takeDiagram(diagram);
        delete diagram;
    }

    const KColorScheme scheme(QPalette::Active, KColorScheme::Window);
    const QColor foreground = scheme.foreground(KColorScheme::NormalText).color();
    const qreal pointSize = font().pointSizeF();

    auto grid = plane->gridAttributes(Qt::Horizontal);
    grid.setAdjustBoundsToGrid(false, false);
    plane->setGridAttributes(Qt::Horizontal, grid);

    // Beside the plot, not over it: floating over the plane it covered the
    // start of the data. It is part of the chart's layout only while shown, so
    // that a hidden legend takes no room from the plot.
    m_legend = new KChart::Legend(m_chart);
    m_legend->hide();
    m_legend->setOrientation(Qt::Vertical);
    m_legend->setTitleText(QString());
    m_legend->setSortOrder(Qt::DescendingOrder);
    m_legend->setPosition(KChart::Position::East);
    m_legend->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    m_legend->setTextAlignment(Qt::AlignLeft);

    // the plane takes over the plotters and deletes them with the chart
    m_totalPlotter = new KChart::Plotter;
    m_totalPlotter->setAntiAliasing(true);
    auto *totalProxy = new ChartProxy(true, m_totalPlotter);
    totalProxy->setSourceModel(model);
    m_totalPlotter->setModel(totalProxy);
    m_totalPlotter->setType(KChart::Plotter::Stacked);

    if (!minimalMode) {
        m_bottomAxis = new TimeAxis(m_totalPlotter);
        m_bottomAxis->setPosition(KChart::CartesianAxis::Bottom);
        m_bottomAxis->setSummaryData(m_summaryData);
        setTextStyle(m_bottomAxis, foreground, pointSize);
        m_totalPlotter->addAxis(m_bottomAxis);

        if (model->type() == ChartModel::Consumed) {
            m_rightAxis = new SizeAxis(m_totalPlotter);
        } else {
            m_rightAxis = new CountAxis(m_totalPlotter);
        }
        m_rightAxis->setPosition(KChart::CartesianAxis::Right);
        setTextStyle(m_rightAxis, foreground, pointSize);
        m_totalPlotter->addAxis(m_rightAxis);
    }

    plane->addDiagram(m_totalPlotter);
    m_legend->addDiagram(m_totalPlotter);

    m_detailedPlotter = new KChart::Plotter;
    m_detailedPlotter->setAntiAliasing(true);
    m_detailedPlotter->setType(KChart::Plotter::Stacked);
    auto *detailedProxy = new ChartProxy(false, m_detailedPlotter);
    detailedProxy->setSourceModel(model);
    m_detailedPlotter->setModel(detailedProxy);
    plane->addDiagram(m_detailedPlotter);
    m_legend->addDiagram(m_detailedPlotter);

    connect(model, &QAbstractItemModel::modelReset, this, [this]() {
        if (m_pendingSummaryData) {
            const auto pending = std::move(m_pendingSummaryData);
            applySummaryData(*pending);
        }
        // series that come after a summary are that summary's run
        m_seriesOfShownSummary = m_hasSummary && m_model->rowCount() > 0;
    });

    // The model starts with its own default limit; bring it in line with the
    // spin box even when the value does not change and no signal fires.
    m_stackedDiagrams->setValue(DEFAULT_STACKED_DIAGRAMS);
    m_model->setMaximumDatasetCount(m_stackedDiagrams->value() + 1);

    if (minimalMode) {
        findChild<QToolBar *>(QStringLiteral("chartToolBar"))->hide();
    }

    updateToolTip();
    updateAxesTitle();
}

void ChartWidget::setLegendShown(bool show)
{
    if (!m_legend || show == m_chart->legends().contains(m_legend)) {
        return;
    }
    if (show) {
        m_chart->addLegend(m_legend);
        // adding the legend resets its font sizes, so its text settings come afterwards
        const KColorScheme scheme(QPalette::Active, KColorScheme::Window);
        KChart::BackgroundAttributes legendBackground;
        auto backgroundColor = scheme.background(KColorScheme::AlternateBackground).color();
        backgroundColor.setAlpha(200);
        legendBackground.setBrush(backgroundColor);
        legendBackground.setVisible(true);
        m_legend->setBackgroundAttributes(legendBackground);

        auto legendText = m_legend->textAttributes();
        legendText.setPen(QPen(scheme.foreground(KColorScheme::NormalText).color()));
        legendText.setFontSize(KChart::Measure(font().pointSizeF() - 2, KChartEnums::MeasureCalculationModeAbsolute));
        QFont legendFont(QStringLiteral("monospace"));
        legendFont.setStyleHint(QFont::TypeWriter);
        legendText.setFont(legendFont);
        m_legend->setTextAttributes(legendText);
        m_legend->show();
    } else {
        m_chart->takeLegend(m_legend);
        // still the chart's child, so that it goes with it
        m_legend->setParent(m_chart);
        m_legend->hide();
    }
    m_chart->update();
}

QSize ChartWidget::sizeHint() const
{
    return {400, 50};
}

void ChartWidget::setSummaryData(const SummaryData &data)
{
    const auto &oldFilter = m_summaryData.filterParameters;
    if (data.filterParameters.minTime != oldFilter.minTime || data.filterParameters.maxTime != oldFilter.maxTime) {
        // a range of the old time axis: on the new one it would cover something else
        setSelection(Range{});
    }
    if (m_model && m_model->rowCount() > 0 && m_seriesOfShownSummary) {
        // The series of the run before are still drawn: they keep their axes
        // until the new series replace them.
        m_pendingSummaryData = std::make_unique<SummaryData>(data);
        return;
    }
    applySummaryData(data);
}

void ChartWidget::applySummaryData(const SummaryData &data)
{
    m_pendingSummaryData.reset();
    m_hasSummary = true;
    m_summaryData = data;
    if (m_model) {
        updateAxesTitle();
    }
    if (m_bottomAxis) {
        m_bottomAxis->setSummaryData(data);
        m_bottomAxis->update();
    }
}

void ChartWidget::updateAxesTitle()
{
    if (!m_model || !m_bottomAxis) {
        return;
    }

    QString bottomTitle = i18n("Elapsed Time");
    QString rightTitle = m_model->typeString();
    if (isFiltered()) {
        const auto &filter = m_summaryData.filterParameters;
        bottomTitle = i18n("%1 (filtered from %2 to %3, Δ%4)",
                           bottomTitle,
                           Util::formatTime(filter.minTime),
                           Util::formatTime(filter.maxTime),
                           Util::formatTime(filter.maxTime - filter.minTime));
        rightTitle = i18n("%1 (filtered delta)", rightTitle);
    }
    m_bottomAxis->setTitleText(bottomTitle);
    m_rightAxis->setTitleText(rightTitle);
}

void ChartWidget::setSelection(const ChartWidget::Range &range)
{
    if (range == m_selection || !m_model) {
        return;
    }
    m_selection = range;
    updateToolTip();
    updateRubberBand();
    Q_EMIT selectionChanged(m_selection);
}

void ChartWidget::updateRubberBand()
{
    if (!m_model || m_selection.isEmpty()) {
        m_rubberBand->hide();
        return;
    }

    auto *plane = coordinatePlane();
    const int chartX = m_chart->x();
    const qreal x1 = plane->translate(QPointF(m_selection.start, 0)).x() + chartX;
    const qreal x2 = plane->translate(QPointF(m_selection.end, 0)).x() + chartX;
    const QRect band = QRect(QPoint(qRound(x1), 0), QPoint(qRound(x2), height() - 1)).normalized();
    m_rubberBand->setGeometry(band);
    m_rubberBand->show();
}

void ChartWidget::updateToolTip()
{
    if (!m_model) {
        return;
    }

    const float lo = std::min(m_selection.start, m_selection.end);
    const float hi = std::max(m_selection.start, m_selection.end);

    if (qFuzzyCompare(lo, hi)) {
        switch (m_model->type()) {
        case ChartModel::Consumed:
            setToolTip(
                i18n("<qt>Shows the heap memory consumption over time.<br>Click and drag to select a time range "
                     "for filtering.</qt>"));
            break;
        case ChartModel::Allocations:
            setToolTip(
                i18n("<qt>Shows number of memory allocations over time.<br>Click and drag to select a time range "
                     "for filtering.</qt>"));
            break;
        case ChartModel::Temporary:
            setToolTip(
                i18n("<qt>Shows number of temporary memory allocations over time. A temporary allocation is one "
                     "that is followed immediately by its corresponding deallocation, without other allocations "
                     "happening in-between.<br>Click and drag to select a time range for filtering.</qt>"));
            break;
        }
        return;
    }

    const auto start = static_cast<int64_t>(lo);
    const auto end = static_cast<int64_t>(hi);
    const qint64 startCost = m_model->totalCostAt(start);
    const qint64 endCost = m_model->totalCostAt(end);

    QString toolTip = QStringLiteral("<qt><table cellpadding=2>");
    toolTip += i18n("<tr><th></th><th>Start</th><th>End</th><th>Delta</th></tr>");
    toolTip += i18n("<tr><th>Time</th><td>%1</td><td>%2</td><td>%3</td></tr>",
                    Util::formatTime(start),
                    Util::formatTime(end),
                    Util::formatTime(static_cast<int64_t>(hi - lo)));
    switch (m_model->type()) {
    case ChartModel::Consumed:
        toolTip += i18n("<tr><th>Consumed</th><td>%1</td><td>%2</td><td>%3</td></tr>",
                        Util::formatBytes(startCost),
                        Util::formatBytes(endCost),
                        Util::formatBytes(endCost - startCost));
        break;
    case ChartModel::Allocations:
        toolTip += i18n("<tr><th>Allocations</th><td>%1</td><td>%2</td><td>%3</td></tr>", startCost, endCost, endCost - startCost);
        break;
    case ChartModel::Temporary:
        toolTip += i18n("<tr><th>Temporary Allocations</th><td>%1</td><td>%2</td><td>%3</td></tr>", startCost, endCost, endCost - startCost);
        break;
    }
    toolTip += QLatin1String("</table></qt>");
    setToolTip(toolTip);
}

void ChartWidget::updateStatusTip(int64_t time)
{
    if (!m_model) {
        return;
    }

    QString text;
    if (time < 0 || time > m_summaryData.filterParameters.maxTime) {
        text = i18n("Click and drag to select time range for filtering.");
    } else {
        const qint64 cost = m_model->totalCostAt(time);
        switch (m_model->type()) {
        case ChartModel::Consumed:
            text = i18n("T = %1, Consumed: %2. Click and drag to select time range for filtering.", Util::formatTime(time), Util::formatBytes(cost));
            break;
        case ChartModel::Allocations:
            text = i18n("T = %1, Allocations: %2. Click and drag to select time range for filtering.", Util::formatTime(time), cost);
            break;
        case ChartModel::Temporary:
            text = i18n("T = %1, Temporary Allocations: %2. Click and drag to select time range for filtering.", Util::formatTime(time), cost);
            break;
        }
    }
    setStatusTip(text);
    // the status tip property alone only shows on hover; the event reaches the window's status bar now
    QStatusTipEvent event(text);
    QCoreApplication::sendEvent(this, &event);
}

bool ChartWidget::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != m_chart || !m_model) {
        return QWidget::eventFilter(watched, event);
    }

    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
    case QEvent::MouseButtonRelease: {
        auto *mouseEvent = static_cast<QMouseEvent *>(event);
        const float time = static_cast<float>(coordinatePlane()->translateBack(mouseEvent->localPos()).x());
        const bool leftButton = mouseEvent->button() == Qt::LeftButton || (mouseEvent->buttons() & Qt::LeftButton);
        if (!leftButton) {
            if (event->type() == QEvent::MouseMove && mouseEvent->buttons() == Qt::NoButton) {
                updateStatusTip(static_cast<int64_t>(time));
            }
            break;
        }

        Range range = {m_selection.start, time};
        if (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonDblClick) {
            range.start = time;
            m_chart->setCursor(Qt::SizeHorCursor);
            m_cachedChart = m_chart->grab();
        } else if (event->type() == QEvent::MouseButtonRelease) {
            m_chart->setCursor(Qt::IBeamCursor);
            m_cachedChart = QPixmap();
        }
        setSelection(range);
        QToolTip::showText(mouseEvent->globalPos(), toolTip(), this);
        return true;
    }
    case QEvent::Paint:
        if (!m_cachedChart.isNull()) {
            // KChart would lay out and render every data point again for each mouse move
            QPainter painter(m_chart);
            painter.drawPixmap(m_chart->rect(), m_cachedChart);
            return true;
        }
        break;
    default:
        break;
    }
    return QWidget::eventFilter(watched, event);
}

void ChartWidget::fillContextMenu(QMenu *menu)
{
    if (!m_model) {
        return;
    }

    if (!m_selection.isEmpty()) {
        const auto minTime = static_cast<int64_t>(std::min(m_selection.start, m_selection.end));
        const auto maxTime = static_cast<int64_t>(std::max(m_selection.start, m_selection.end));
        auto *filterIn = menu->addAction(QIcon::fromTheme(QStringLiteral("timeline-use-zone-on")), i18n("Filter In On Selection"));
        connect(filterIn, &QAction::triggered, this, [this, minTime, maxTime]() {
            Q_EMIT filterRequested(minTime, maxTime);
        });
    }
    if (isFiltered()) {
        auto *reset = menu->addAction(QIcon::fromTheme(QStringLiteral("timeline-use-zone-off")), i18n("Reset Filter"));
        connect(reset, &QAction::triggered, this, [this]() {
            Q_EMIT filterRequested(0, std::numeric_limits<int64_t>::max());
        });
    }
}

void ChartWidget::showContextMenu()
{
    if (!m_model) {
        return;
    }
    auto *menu = new QMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    fillContextMenu(menu);
    if (menu->isEmpty()) {
        delete menu;
        return;
    }
    menu->popup(QCursor::pos());
}

void ChartWidget::saveAs()
{
    if (!m_model) {
        return;
    }
    const auto fileName =
        QFileDialog::getSaveFileName(this, i18n("Save %1", exportName()), QString(), i18n("Raster Image (*.png *.jpg *.tiff);;Vector Image (*.svg)"));
    if (fileName.isEmpty()) {
        return;
    }
    saveImage(fileName);
}

QString ChartWidget::exportName() const
{
    // a chart in a tab has no window title of its own
    if (!windowTitle().isEmpty() || !m_model) {
        return windowTitle();
    }
    return m_model->typeString();
}

bool ChartWidget::saveImage(const QString &fileName)
{
    if (!m_model) {
        return false;
    }

    if (QFileInfo(fileName).suffix().compare(QLatin1String("svg"), Qt::CaseInsensitive) == 0) {
        QSvgGenerator generator;
        generator.setFileName(fileName);
        generator.setSize(m_chart->size());
        generator.setViewBox(QRect(QPoint(0, 0), m_chart->size()));
        QPainter painter;
        if (!painter.begin(&generator)) {
            return false;
        }
        m_chart->paint(&painter, QRect(QPoint(0, 0), m_chart->size()));
        return painter.end();
    }

    if (!m_chart->grab().save(fileName)) {
        KMessageBox::error(this, i18n("Failed to save the image to %1", fileName));
        return false;
    }
    return true;
}

#include "chartwidget.moc"
