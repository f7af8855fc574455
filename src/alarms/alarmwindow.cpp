#include "alarms/alarmwindow.h"

#include "alarms/alarmtext.h"
#include "ui_alarmwindow.h"

#include <QHeaderView>

namespace thermavo::alarms {

namespace {

enum Column { Name, High, Low, Hysteresis, Delay, NoData };

QString text(const std::string& value) {
    return QString::fromStdString(value);
}

QString momentText(const std::optional<Moment>& moment) {
    return moment ? text(localDateTime(*moment)) : QString();
}

} // namespace

AlarmWindow::AlarmWindow(Actions actions, char decimal, QWidget* parent)
    : QWidget(parent, Qt::Window), m_ui(std::make_unique<Ui::AlarmWindow>()),
      m_actions(std::move(actions)), m_decimal(decimal) {
    m_ui->setupUi(this);
    m_ui->StateTable->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    m_ui->PausedLabel->setStyleSheet(QStringLiteral("font-weight: bold"));
    m_ui->SoundLabel->hide();
    connect(m_ui->AcknowledgeButton, &QPushButton::clicked, this, [this] {
        const QList<QTableWidgetItem*> selected = m_ui->StateTable->selectedItems();
        if (!selected.isEmpty())
            m_actions.acknowledge(selected.first()->data(Qt::UserRole).toInt());
    });
    connect(m_ui->AcknowledgeAllButton, &QPushButton::clicked, this,
            [this] { m_actions.acknowledgeAll(); });
    connect(m_ui->SettingsTable, &QTableWidget::itemChanged, this, &AlarmWindow::validate);
    for (QLineEdit* edit : {m_ui->BoardLostEdit, m_ui->NoReplyEdit})
        connect(edit, &QLineEdit::textChanged, this, &AlarmWindow::validate);
    connect(m_ui->ApplyButton, &QPushButton::clicked, this, &AlarmWindow::applyTyped);
    connect(m_ui->ChooseFolderButton, &QPushButton::clicked, this, [this] {
        const QString folder = m_actions.chooseFolder(m_ui->LogFolderEdit->text());
        if (!folder.isEmpty())
            m_ui->LogFolderEdit->setText(folder);
    });
}

AlarmWindow::~AlarmWindow() = default;

void AlarmWindow::showStates(const AlarmRules& rules) {
    m_ui->PausedLabel->setVisible(rules.paused());
    const int selected =
        m_ui->StateTable->currentRow() >= 0
            ? m_ui->StateTable->item(m_ui->StateTable->currentRow(), 0)->data(Qt::UserRole).toInt()
            : -1;
    m_ui->StateTable->setRowCount(0);
    for (int alarm = 0; alarm < kAlarmCount; ++alarm) {
        if (!rules.configured(alarm) && !rules.needsAttention(alarm))
            continue;
        const AlarmStatus& status = rules.status(alarm);
        const int row = m_ui->StateTable->rowCount();
        m_ui->StateTable->insertRow(row);
        QString state = QString::fromLatin1(stateText(status.state));
        if (status.fromPreviousRun)
            state += QStringLiteral(" (previous run)");
        QString worst;
        if (status.worst) {
            const Kind kind = kindOf(alarm);
            worst =
                kind == Kind::High || kind == Kind::Low
                    ? text(oneDecimal(*status.worst, m_decimal)) + QStringLiteral(" °C")
                    : QString::number(static_cast<long long>(*status.worst)) + QStringLiteral(" s");
        }
        const QStringList cells{
            text(alarmSubject(rules.settings(), alarm)),
            text(conditionText(rules.settings(), alarm, status.cause, m_decimal)),
            state,
            status.state == State::Normal ? QString() : momentText(status.since),
            worst,
            momentText(status.acknowledged)};
        for (int column = 0; column < cells.size(); ++column) {
            auto* item = new QTableWidgetItem(cells[column]);
            item->setData(Qt::UserRole, alarm);
            m_ui->StateTable->setItem(row, column, item);
        }
        if (alarm == selected)
            m_ui->StateTable->selectRow(row);
    }
}

void AlarmWindow::showSoundProblem(const QString& reason) {
    m_ui->SoundLabel->setText(QStringLiteral("No sound: %1").arg(reason));
    m_ui->SoundLabel->setVisible(!reason.isEmpty());
}

void AlarmWindow::addEvent(const QString& line) {
    constexpr int kRecentEvents = 200;
    m_ui->EventList->insertItem(0, line);
    while (m_ui->EventList->count() > kRecentEvents)
        delete m_ui->EventList->takeItem(m_ui->EventList->count() - 1);
}

void AlarmWindow::showSettings(const AlarmSettings& settings) {
    m_shown = settings;
    const QSignalBlocker blocker(m_ui->SettingsTable);
    const auto number = [this](const std::optional<double>& value) {
        return value ? text(numberText(*value)).replace(QLatin1Char('.'), QLatin1Char(m_decimal))
                     : QString();
    };
    for (int channel = 0; channel < kAlarmChannels; ++channel) {
        const ChannelAlarms& alarms = settings.channels.at(static_cast<size_t>(channel));
        const QStringList cells{text(alarms.name),
                                number(alarms.high),
                                number(alarms.low),
                                number(alarms.hysteresis),
                                QString::number(alarms.delay),
                                alarms.noDataSeconds ? QString::number(*alarms.noDataSeconds)
                                                     : QString()};
        for (int column = 0; column < cells.size(); ++column)
            m_ui->SettingsTable->setItem(channel, column, new QTableWidgetItem(cells[column]));
    }
    const auto seconds = [](const std::optional<int>& value) {
        return value ? QString::number(*value) : QString();
    };
    m_ui->BoardLostEdit->setText(seconds(settings.boardLostSeconds));
    m_ui->NoReplyEdit->setText(seconds(settings.noReplySeconds));
    m_ui->ProgramEdit->setText(text(settings.program));
    m_ui->LogFolderEdit->setText(text(settings.logFolder));
    m_ui->LatchBox->setChecked(settings.latch);
    m_ui->SoundBox->setChecked(settings.sound);
    validate();
}

std::optional<AlarmSettings> AlarmWindow::typedSettings(QString& error) const {
    AlarmSettings settings = m_shown;
    const auto cell = [this](int row, int column) {
        const QTableWidgetItem* item = m_ui->SettingsTable->item(row, column);
        QString value = item != nullptr ? item->text().trimmed() : QString();
        return value.replace(QLatin1Char(m_decimal), QLatin1Char('.')).toStdString();
    };
    const auto seconds = [&error](const std::string& typed, const QString& what,
                                  std::optional<int>& value) {
        value.reset();
        if (QString::fromStdString(typed).trimmed().isEmpty())
            return true;
        value = parseInteger(typed);
        if (!value || *value < 1 || *value > kLargestSeconds) {
            error = QStringLiteral("%1: \"%2\" is no number of seconds from 1 to %3.")
                        .arg(what, QString::fromStdString(typed))
                        .arg(kLargestSeconds);
            return false;
        }
        return true;
    };
    for (int channel = 0; channel < kAlarmChannels; ++channel) {
        ChannelAlarms& alarms = settings.channels.at(static_cast<size_t>(channel));
        const QString row = QStringLiteral("T%1").arg(channel + 1);
        const QTableWidgetItem* nameItem = m_ui->SettingsTable->item(channel, Name);
        alarms.name =
            nameItem != nullptr ? nameItem->text().simplified().toStdString() : std::string();
        std::optional<std::string> message = limitError(cell(channel, High), alarms.high);
        if (!message)
            message = limitError(cell(channel, Low), alarms.low);
        if (!message)
            message = limitsError(alarms.low, alarms.high);
        if (message) {
            error = row + QStringLiteral(": ") + QString::fromStdString(*message);
            return std::nullopt;
        }
        const auto hysteresis = parseNumber(cell(channel, Hysteresis));
        if (!hysteresis || *hysteresis < 0 || *hysteresis > kLargestHysteresis) {
            error = row + QStringLiteral(": the hysteresis must be a number from 0 to %1 °C.")
                              .arg(kLargestHysteresis);
            return std::nullopt;
        }
        alarms.hysteresis = *hysteresis;
        const auto delay = parseInteger(cell(channel, Delay));
        if (!delay || *delay < 1 || *delay > kLargestDelay) {
            error = row + QStringLiteral(": the delay must be a number of samples from 1 to %1.")
                              .arg(kLargestDelay);
            return std::nullopt;
        }
        alarms.delay = *delay;
        if (!seconds(cell(channel, NoData), row + QStringLiteral(" no data"), alarms.noDataSeconds))
            return std::nullopt;
        if (const auto tooShort = noDataError(alarms.noDataSeconds, m_interval)) {
            error = row + QStringLiteral(": ") + QString::fromStdString(*tooShort);
            return std::nullopt;
        }
    }
    if (!seconds(m_ui->BoardLostEdit->text().toStdString(), QStringLiteral("Board lost"),
                 settings.boardLostSeconds) ||
        !seconds(m_ui->NoReplyEdit->text().toStdString(), QStringLiteral("No reply"),
                 settings.noReplySeconds))
        return std::nullopt;
    settings.program = m_ui->ProgramEdit->text().trimmed().toStdString();
    settings.logFolder = m_ui->LogFolderEdit->text().trimmed().toStdString();
    settings.latch = m_ui->LatchBox->isChecked();
    settings.sound = m_ui->SoundBox->isChecked();
    error.clear();
    return settings;
}

void AlarmWindow::validate() {
    QString error;
    const bool good = typedSettings(error).has_value();
    m_ui->SettingsMessage->setText(error);
    m_ui->SettingsMessage->setStyleSheet(good ? QString() : QStringLiteral("color: #b00000"));
    m_ui->ApplyButton->setEnabled(good);
}

void AlarmWindow::applyTyped() {
    QString error;
    const std::optional<AlarmSettings> settings = typedSettings(error);
    if (settings)
        error = m_actions.apply(*settings);
    m_ui->SettingsMessage->setText(error.isEmpty() ? QStringLiteral("Applied.") : error);
}

} // namespace thermavo::alarms
