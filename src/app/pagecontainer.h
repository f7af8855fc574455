#pragma once

#include <QStackedWidget>

// A page container laid out like a tab container whose tab row lies hidden under the selector
// placed over it: page places are measured from a client area 4 px right of and 24 px below the
// container's corner, 4 px inside its other edges. The selector alone decides the page.
class PageContainer : public QStackedWidget {
    Q_OBJECT

public:
    static constexpr int kSideInset = 4;
    static constexpr int kTopInset = 24;

    explicit PageContainer(QWidget* parent = nullptr) : QStackedWidget(parent) {
        setContentsMargins(kSideInset, kTopInset, kSideInset, kSideInset);
    }
};
