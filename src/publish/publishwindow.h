#pragma once

#include "publish/publishsettings.h"

#include <QWidget>
#include <functional>
#include <memory>

namespace Ui {
class PublishWindow;
}

namespace thermavo {

// Where the user sets publishing up: the broker, the names on it, and on or off. Apply hands the
// settings to the feature, which keeps them and connects anew.
class PublishWindow : public QWidget {
    Q_OBJECT

public:
    explicit PublishWindow(std::function<void(const PublishSettings&)> apply,
                           QWidget* parent = nullptr);
    ~PublishWindow() override;

    Ui::PublishWindow& ui() { return *m_ui; }

    void show(const PublishSettings& settings);
    PublishSettings settings() const;
    void setStatus(const QString& text);

private:
    void applyClicked();

    std::unique_ptr<Ui::PublishWindow> m_ui;
    std::function<void(const PublishSettings&)> m_apply;
};

} // namespace thermavo
