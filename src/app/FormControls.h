#pragma once
// Small pieces the window is built from that Qt Widgets has in another shape: a status bar made of
// fixed-width panels, an image list of same-sized pictures drawn from SVG, and controls placed at
// fixed positions that follow their parent's edges (anchors) or grow with their text (auto size).

#include <QBoxLayout>
#include <QDialog>
#include <QFrame>
#include <QIcon>
#include <QLabel>
#include <QListWidgetItem>
#include <QObject>
#include <QRect>
#include <QSize>
#include <QString>
#include <QStringList>

#include <vector>

// A one-line label that never cuts its text through a letter: where the text is wider than the
// label, it shows as much as fits followed by "…", and hovering it shows the whole text (before the
// label's own tooltip, if it has one). text() stays the whole text; its size hint is the whole
// text's, so an auto-sized label grows up to its limit and elides beyond it.
class TElidedLabel : public QLabel {
  public:
    using QLabel::QLabel;
    // The text as drawn now.
    QString ShownText() const;
    bool Elided() const { return ShownText() != text(); }

  protected:
    void paintEvent(QPaintEvent* event) override;
    bool event(QEvent* event) override;
};

// A status bar of panels laid side by side; each panel keeps its width except the last, which
// reaches to the right edge.
class TStatusBar : public QFrame {
  public:
    TStatusBar(const std::vector<int>& panelWidths, QWidget* parent);

    int PanelCount() const { return static_cast<int>(FPanels.size()); }
    QString PanelText(int index) const;
    void SetPanelText(int index, const QString& text);
    // Shows text in the panel on up to maxLines lines, broken between words, the font made a little
    // smaller where that lets it fit; what still does not fit is cut with an ellipsis. PanelText
    // gives the lines as shown, joined by line breaks.
    void SetPanelWrapped(int index, const QString& text, int maxLines);
    void SetPanelToolTip(int index, const QString& text);
    QString PanelToolTip(int index) const;
    // Position of a panel in the status bar's coordinates.
    QRect PanelRect(int index) const;

  protected:
    void resizeEvent(QResizeEvent* event) override;

  private:
    void PlacePanels();
    void FitWrapped(std::size_t index);
    std::vector<int> FWidths;
    std::vector<QLabel*> FPanels;
    struct TWrapped {
        QString Text;
        int MaxLines = 0;  // 0: the panel shows its text as set
    };
    std::vector<TWrapped> FWrapped;
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

// text broken into at most maxLines lines of width (between words where it can), the last cut with
// an ellipsis when the rest does not fit.
QStringList WrapToLines(const QString& text, const QFont& font, int width, int maxLines);

// A tooltip for a plain text: shown as plain text (never as markup), kept to lines of a readable
// width (a tooltip of plain text is otherwise one line as long as the text), line breaks kept.
QString ToolTipText(const QString& plain);

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
    // maxWidth: the label grows no wider (a long text is cut at the control beside it); 0: no limit.
    void PlaceAutoSize(QLabel* label, QRect bounds, int maxWidth = 0);
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
        int MaxWidth = 0;
    };
    void Arrange();

    QWidget* FParent;
    QSize FDesignSize;
    std::vector<TPlaced> FControls;
};

// A label of plain text (never read as markup: the text may come from a dongle or a file) broken
// into lines to fit its width.
QLabel* NewNoteLabel(const QString& text, QWidget* parent);

// Names and titles a settings dialog and lays it out top to bottom, opening with a note on what it
// sets; returns the layout, which the dialog owns, for the rest.
QVBoxLayout* StartSettingsDialog(QDialog& dialog, const QString& name, const QString& title,
                                 const QString& note);

// The OK and Cancel buttons at the foot of a settings dialog: OK accepts it, Cancel rejects it.
void AddOkCancelButtons(QDialog& dialog, QBoxLayout& layout);
