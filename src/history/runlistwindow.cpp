#include "history/runlistwindow.h"

#include "history/storedrun.h"
#include "ui_runlistwindow.h"

#include <QDateTime>
#include <QHeaderView>
#include <QTimeZone>
#include <algorithm>

namespace thermavo {

RunListWindow::RunListWindow(QWidget* parent)
    : QWidget(parent, Qt::Window), m_ui(std::make_unique<Ui::RunListWindow>()) {
    m_ui->setupUi(this);
    m_ui->RunTable->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    connect(m_ui->RunTable, &QTableWidget::itemSelectionChanged, this,
            &RunListWindow::selectionChanged);
    connect(m_ui->RunTable, &QTableWidget::cellDoubleClicked, this,
            [this](int row) { emit openRun(runAt(row)); });
    connect(m_ui->OpenButton, &QPushButton::clicked, this, [this] {
        if (selectedRun() != 0)
            emit openRun(selectedRun());
    });
    connect(m_ui->DeleteButton, &QPushButton::clicked, this, [this] {
        if (deletable(selectedRun()))
            emit deleteRun(selectedRun());
    });
    selectionChanged();
}

RunListWindow::~RunListWindow() = default;

QString RunListWindow::localText(std::int64_t ms, std::int32_t utcOffsetSeconds) {
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::OffsetFromUTC, utcOffsetSeconds)
        .toString(QStringLiteral("d MMM yyyy hh:mm:ss"));
}

QString RunListWindow::endText(const runs::RunInfo& run, std::int64_t current) {
    if (run.id == current)
        return QStringLiteral("recording (this run)");
    switch (run.state) {
    case runs::RunState::Closed:
        return QStringLiteral("closed");
    case runs::RunState::Crashed:
        return QStringLiteral("crashed");
    case runs::RunState::Recording:
        break;
    }
    return QStringLiteral("recording (another program)");
}

void RunListWindow::setRuns(std::vector<runs::RunInfo> runs, std::int64_t current,
                            const QString& where) {
    std::reverse(runs.begin(), runs.end());
    m_runs = std::move(runs);
    m_current = current;
    m_ui->StoreLabel->setText(where);
    QTableWidget& table = *m_ui->RunTable;
    table.setRowCount(static_cast<int>(m_runs.size()));
    for (int row = 0; row < table.rowCount(); ++row) {
        const runs::RunInfo& run = m_runs[static_cast<std::size_t>(row)];
        const QStringList cells{localText(run.startMs, run.startOffset),
                                localText(run.endMs, run.endOffset),
                                QString::fromStdString(boardName(run.boardRow)),
                                QString::number(run.ticks), endText(run, current)};
        for (int column = 0; column < cells.size(); ++column)
            table.setItem(row, column, new QTableWidgetItem(cells[column]));
    }
    selectionChanged();
}

std::int64_t RunListWindow::runAt(int row) const {
    return row >= 0 && row < static_cast<int>(m_runs.size())
               ? m_runs[static_cast<std::size_t>(row)].id
               : 0;
}

std::int64_t RunListWindow::selectedRun() const {
    const QList<QTableWidgetSelectionRange> ranges = m_ui->RunTable->selectedRanges();
    return ranges.isEmpty() ? 0 : runAt(ranges.front().topRow());
}

void RunListWindow::selectionChanged() {
    const std::int64_t run = selectedRun();
    m_ui->OpenButton->setEnabled(run != 0);
    m_ui->DeleteButton->setEnabled(deletable(run));
}

bool RunListWindow::deletable(std::int64_t run) const {
    // A run still being recorded, here or by another program, stays.
    const auto found = std::find_if(m_runs.begin(), m_runs.end(),
                                    [run](const runs::RunInfo& info) { return info.id == run; });
    return found != m_runs.end() && run != m_current && found->state != runs::RunState::Recording;
}

} // namespace thermavo
