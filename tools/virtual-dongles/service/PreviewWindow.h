#pragma once
// A small window that shows what each virtual target receives: typed text, pointer, buttons,
// wheel, keyboard LEDs and the last report. For the demo run; tests never open it.

#include <QTimer>
#include <QWidget>

#include <vector>

class QBoxLayout;
class QLabel;
class QPlainTextEdit;
class TBluezService;

class TPreviewWindow : public QWidget {
    Q_OBJECT
  public:
    explicit TPreviewWindow(TBluezService& service);
    // Moves the window beside a window of this size centred on the screen, on any screen size: to
    // its right where there is room, else to its left, below or above it; where the dongles side by
    // side are too wide for any of those, they are stacked; where even that does not fit, the window
    // takes the largest room beside the other and is made to fit it.
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
    QBoxLayout* FRow = nullptr;
    std::vector<TPanel> FPanels;
    QTimer FTimer;
};
