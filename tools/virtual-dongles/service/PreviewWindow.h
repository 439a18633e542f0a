#pragma once
// A small window that shows what each virtual target receives: typed text, pointer, buttons,
// wheel, keyboard LEDs and the last report. For the demo run; tests never open it.

#include <QTimer>
#include <QWidget>

#include <vector>

class QLabel;
class QPlainTextEdit;
class TBluezService;

class TPreviewWindow : public QWidget {
    Q_OBJECT
public:
    explicit TPreviewWindow(TBluezService& service);

private:
    struct TPanel {
        QString address;
        QLabel* title = nullptr;
        QPlainTextEdit* text = nullptr;
        QLabel* state = nullptr;
    };
    void Refresh();

    TBluezService& FService;
    std::vector<TPanel> FPanels;
    QTimer FTimer;
};
