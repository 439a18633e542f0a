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
    // Moves the window beside a window of this size centred on the screen: to its right where
    // there is room, else to its left, else below it, else where it fits best.
    void PlaceBeside(QSize centred);

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
