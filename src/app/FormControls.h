#pragma once
// Small pieces the window is built from that Qt Widgets has in another shape: a status bar made of
// fixed-width panels, an image list of same-sized pictures drawn from SVG, and controls placed at
// fixed positions that follow their parent's edges (anchors) or grow with their text (auto size).

#include <QFrame>
#include <QIcon>
#include <QLabel>
#include <QListWidgetItem>
#include <QObject>
#include <QRect>
#include <QSize>
#include <QString>

#include <vector>

// A status bar of panels laid side by side; each panel keeps its width except the last, which
// reaches to the right edge.
class TStatusBar : public QFrame {
  public:
    TStatusBar(const std::vector<int>& panelWidths, QWidget* parent);

    int PanelCount() const { return static_cast<int>(FPanels.size()); }
    QString PanelText(int index) const;
    void SetPanelText(int index, const QString& text);
    void SetPanelToolTip(int index, const QString& text);
    QString PanelToolTip(int index) const;
    // Position of a panel in the status bar's coordinates.
    QRect PanelRect(int index) const;

  protected:
    void resizeEvent(QResizeEvent* event) override;

  private:
    void PlacePanels();
    std::vector<int> FWidths;
    std::vector<QLabel*> FPanels;
};

// Same-sized pictures referred to by index, rendered from SVG for the screen's pixel ratio.
class TImageList {
  public:
    explicit TImageList(QSize size) : FSize(size) {}
    // Adds a picture; returns its index.
    int AddSvg(const QString& path);
    int Count() const { return static_cast<int>(FIcons.size()); }
    QSize Size() const { return FSize; }
    QIcon Icon(int index) const;

  private:
    QSize FSize;
    std::vector<QIcon> FIcons;
};

// Renders an SVG into an icon holding one image per given edge length (a window icon).
QIcon IconFromSvg(const QString& path, std::initializer_list<int> sizes);

// The image index of a list item, which the items keep beside their icon.
void SetItemImageIndex(QListWidgetItem* item, const TImageList& images, int index);
int ItemImageIndex(const QListWidgetItem* item);

enum TAnchor : unsigned {
    akLeft = 1,
    akTop = 2,
    akRight = 4,
    akBottom = 8,
};
inline constexpr unsigned DefaultAnchors = akLeft | akTop;

// Keeps the controls of one parent where their anchors say when the parent's size differs from the
// size they were placed in, and sizes auto-size labels to their text (their left and top stay).
class TControlPlacer : public QObject {
  public:
    // designSize: the parent's size the control positions refer to.
    TControlPlacer(QWidget* parent, QSize designSize);

    void Place(QWidget* control, QRect bounds, unsigned anchors = DefaultAnchors);
    void PlaceAutoSize(QLabel* label, QRect bounds);
    // Sizes the auto-size labels to their current text.
    void FitAutoSize();

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    struct TPlaced {
        QWidget* Control;
        QRect Bounds;
        unsigned Anchors;
        bool AutoSize;
    };
    void Arrange();

    QWidget* FParent;
    QSize FDesignSize;
    std::vector<TPlaced> FControls;
};
