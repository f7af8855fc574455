#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>
#include <functional>
#include <memory>

namespace thermavo {

class IntegerField;

// Delay before step stepIndex of a held arrow: 0 for the first, 200 ms for the second, then
// 10 ms less for each further step, down to 0.
int repeatDelayMs(int stepIndex);

// An up arrow over a down arrow that steps an integer field by one, as if the user had
// changed it. It never takes the keyboard focus; pressing an arrow first moves the focus into
// the field, and does nothing more when the control being left keeps it.
class SpinButton : public QWidget {
    Q_OBJECT
    // The object name of the field it steps, looked up in its window when an arrow is pressed.
    Q_PROPERTY(QString field READ field WRITE setField)

public:
    // Paces a held arrow: calls due once after delayMs unless stopped or started anew.
    class Scheduler {
    public:
        virtual ~Scheduler() = default;
        virtual void start(int delayMs, std::function<void()> due) = 0;
        virtual void stop() = 0;
    };

    static constexpr int kWidth = 16;
    static constexpr int kHeight = 21;

    explicit SpinButton(QWidget* parent = nullptr);
    ~SpinButton() override;

    QString field() const { return m_fieldName; }
    void setField(const QString& objectName);
    // Binds a field directly instead of by name.
    void setFieldWidget(IntegerField* field);

    // The default runs a single-shot timer on the window thread.
    void setScheduler(std::unique_ptr<Scheduler> scheduler);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    IntegerField* resolveField();
    void repeatStep();
    void release();
    QRect upperArrow() const;
    QRect lowerArrow() const;

    QString m_fieldName;
    QPointer<IntegerField> m_field;
    std::unique_ptr<Scheduler> m_scheduler;
    // +1 or -1 while an arrow is held, 0 otherwise.
    int m_heldDirection = 0;
    int m_stepIndex = 0;
};

} // namespace thermavo
