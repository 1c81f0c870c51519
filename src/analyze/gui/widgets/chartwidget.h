/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    One cost series over time as a KChart plot: the total and the stacked
    per-function costs, a draggable time-range selection that the window
    mirrors across the charts and can re-run the analysis on, and image export.
*/

#pragma once

#include <memory>

#include <cstdint>

#include <QMetaType>
#include <QPixmap>
#include <QWidget>

#include "analyze/gui/analysis/summarydata.h"

class QMenu;
class QSpinBox;

namespace KChart
{
class Chart;
class Legend;
class Plotter;
class CartesianAxis;
class CartesianCoordinatePlane;
}

class ChartModel;
class ChartRubberBand;
class TimeAxis;

class ChartWidget : public QWidget
{
    Q_OBJECT
public:
    // Milliseconds on the data's time axis; the bounds may come in either order.
    struct Range {
        float start = -1;
        float end = -1;

        bool isEmpty() const
        {
            return start == end;
        }
        bool operator==(const Range &other) const
        {
            return start == other.start && end == other.end;
        }
        bool operator!=(const Range &other) const
        {
            return !(*this == other);
        }
    };

    explicit ChartWidget(QWidget *parent = nullptr);
    ~ChartWidget() override;

    // Only the first model counts; the widget does not take ownership.
    void setModel(ChartModel *model, bool minimalMode = false);

    QSize sizeHint() const override;

    // Writes the chart to @p fileName: SVG for the suffix "svg", otherwise a raster
    // image in the suffix's format. A failed raster export is reported to the user.
    bool saveImage(const QString &fileName);

    // Adds the filter actions that apply in the current state to @p menu; the
    // context menu is not shown at all when this adds nothing.
    void fillContextMenu(QMenu *menu);

    // What the export dialog calls the chart: its window title, or else the kind of chart.
    QString exportName() const;

public Q_SLOTS:
    void setSummaryData(const SummaryData &data);
    void setSelection(const ChartWidget::Range &range);
    void saveAs();
    void updateToolTip();
    void updateStatusTip(int64_t time);
    void updateAxesTitle();
    void updateRubberBand();

Q_SIGNALS:
    // Spelled out in full so that the meta type name matches its registration.
    void selectionChanged(const ChartWidget::Range &range);
    void filterRequested(int64_t minTime, int64_t maxTime);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    KChart::CartesianCoordinatePlane *coordinatePlane() const;
    bool isFiltered() const;
    void showContextMenu();
    void applySummaryData(const SummaryData &data);
    void setLegendShown(bool show);

    KChart::Plotter *m_totalPlotter = nullptr;
    KChart::Plotter *m_detailedPlotter = nullptr;
    QSpinBox *m_stackedDiagrams = nullptr;
    KChart::Chart *m_chart = nullptr;
    KChart::Legend *m_legend = nullptr;
    TimeAxis *m_bottomAxis = nullptr;
    KChart::CartesianAxis *m_rightAxis = nullptr;
    ChartModel *m_model = nullptr;
    ChartRubberBand *m_rubberBand = nullptr;
    Range m_selection;
    SummaryData m_summaryData;
    // the summary of a run whose series have not arrived yet
    std::unique_ptr<SummaryData> m_pendingSummaryData;
    bool m_hasSummary = false;
    // the model's series belong to m_summaryData, not to a run before it
    bool m_seriesOfShownSummary = false;
    // what the chart showed when a drag started; shown instead of re-rendering while dragging
    QPixmap m_cachedChart;
};

Q_DECLARE_METATYPE(ChartWidget::Range)
