#include "app/FormControls.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QEvent>
#include <QHelpEvent>
#include <QPainter>
#include <QPixmap>
#include <QStyle>
#include <QSvgRenderer>
#include <QTextDocument>
#include <QTextLayout>
#include <QToolTip>
#include <QWidget>

#include <algorithm>
#include <memory>
#include <stdexcept>

namespace {
constexpr int ImageIndexRole = Qt::UserRole + 0x100;
constexpr int PanelGap = 2;

QPixmap RenderSvg(QSvgRenderer& renderer, QSize size, qreal ratio) {
    QPixmap pixmap(size * ratio);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    renderer.render(&painter);
    painter.end();
    pixmap.setDevicePixelRatio(ratio);
    return pixmap;
}

std::unique_ptr<QSvgRenderer> LoadSvg(const QString& path) {
    auto renderer = std::make_unique<QSvgRenderer>(path);
    if (!renderer->isValid()) {
        throw std::runtime_error("Unable to load the picture " + path.toStdString());
    }
    return renderer;
}
}  // namespace

TStatusBar::TStatusBar(const std::vector<int>& panelWidths, QWidget* parent)
    : QFrame(parent), FWidths(panelWidths) {
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::Button);
    for (std::size_t i = 0; i < FWidths.size(); ++i) {
        auto* panel = new QLabel(this);
        panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        panel->setLineWidth(1);
        panel->setIndent(3);
        panel->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        // Panels show what dongles and files said too: never as markup.
        panel->setTextFormat(Qt::PlainText);
        FPanels.push_back(panel);
    }
    FWrapped.resize(FPanels.size());
    PlacePanels();
}

QStringList WrapToLines(const QString& text, const QFont& font, int width, int maxLines) {
    QStringList lines;
    if (text.isEmpty() || maxLines <= 0) {
        return lines;
    }
    QTextLayout layout(text, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    std::vector<std::pair<int, int>> spans;
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(width);
        spans.emplace_back(line.textStart(), line.textLength());
    }
    layout.endLayout();
    const QFontMetrics metrics(font);
    for (std::size_t i = 0; i < spans.size() && static_cast<int>(i) < maxLines; ++i) {
        const bool last = static_cast<int>(i) + 1 == maxLines && i + 1 < spans.size();
        // The last line shown takes the rest of the text, cut to fit.
        QString line = last ? text.mid(spans[i].first) : text.mid(spans[i].first, spans[i].second);
        line = line.trimmed();
        if (last || metrics.horizontalAdvance(line) > width) {
            line = metrics.elidedText(line, Qt::ElideRight, width);
        }
        lines << line;
    }
    return lines;
}

QString TStatusBar::PanelText(int index) const {
    return FPanels.at(static_cast<std::size_t>(index))->text();
}

void TStatusBar::SetPanelText(int index, const QString& text) {
    FWrapped.at(static_cast<std::size_t>(index)) = {};
    FPanels.at(static_cast<std::size_t>(index))->setFont(font());
    FPanels.at(static_cast<std::size_t>(index))->setText(text);
}

void TStatusBar::SetPanelWrapped(int index, const QString& text, int maxLines) {
    FWrapped.at(static_cast<std::size_t>(index)) = {text, maxLines};
    FitWrapped(static_cast<std::size_t>(index));
}

void TStatusBar::FitWrapped(std::size_t index) {
    const TWrapped& wrapped = FWrapped.at(index);
    QLabel* panel = FPanels.at(index);
    if (wrapped.MaxLines == 0) {
        return;
    }
    const QRect area = panel->contentsRect().adjusted(panel->indent() + 1, 0, -panel->indent() - 1, 0);
    // The panel's own font first; a point or two smaller where the text needs a second line that
    // would not fit in the panel's height otherwise.
    QFont chosen = font();
    QStringList lines;
    bool haveFallback = false;
    for (const qreal less : {0.0, 1.0, 1.5}) {
        QFont candidate = font();
        if (less > 0) {
            candidate.setPointSizeF(font().pointSizeF() - less);
        }
        const int fits = std::max(1, area.height() / QFontMetrics(candidate).lineSpacing());
        const int maxLines = std::min(wrapped.MaxLines, fits);
        if (WrapToLines(wrapped.Text, candidate, area.width(), 1000).size() <= maxLines) {
            chosen = candidate;
            lines = WrapToLines(wrapped.Text, candidate, area.width(), maxLines);
            haveFallback = false;
            break;
        }
        // Too long in any size: cut, in the largest size that shows every line it can.
        if (!haveFallback && (maxLines == wrapped.MaxLines || less == 1.5)) {
            chosen = candidate;
            lines = WrapToLines(wrapped.Text, candidate, area.width(), maxLines);
            haveFallback = true;
        }
    }
    panel->setFont(chosen);
    panel->setText(lines.join(QLatin1Char('\n')));
}

void TStatusBar::SetPanelToolTip(int index, const QString& text) {
    FPanels.at(static_cast<std::size_t>(index))->setToolTip(ToolTipText(text));
}

QString TStatusBar::PanelToolTip(int index) const {
    return FPanels.at(static_cast<std::size_t>(index))->toolTip();
}

QRect TStatusBar::PanelRect(int index) const {
    return FPanels.at(static_cast<std::size_t>(index))->geometry();
}

void TStatusBar::resizeEvent(QResizeEvent* event) {
    QFrame::resizeEvent(event);
    PlacePanels();
}

void TStatusBar::PlacePanels() {
    int left = 0;
    for (std::size_t i = 0; i < FPanels.size(); ++i) {
        const bool last = i + 1 == FPanels.size();
        const int width = last ? std::max(FWidths[i], this->width() - left) : FWidths[i];
        FPanels[i]->setGeometry(left, PanelGap, width - PanelGap, height() - PanelGap);
        left += width;
    }
    for (std::size_t i = 0; i < FWrapped.size(); ++i) {
        FitWrapped(i);
    }
}

int TImageList::AddSvg(const QString& path) {
    const auto renderer = LoadSvg(path);
    QIcon icon;
    // Both ratios, so a list on a scaled monitor shows crisp pictures.
    for (qreal ratio : {1.0, 1.5, 2.0}) {
        icon.addPixmap(RenderSvg(*renderer, FSize, ratio));
    }
    FIcons.push_back(icon);
    return Count() - 1;
}

QIcon TImageList::Icon(int index) const {
    if (index < 0 || index >= Count()) {
        return {};
    }
    return FIcons[static_cast<std::size_t>(index)];
}

QString ToolTipText(const QString& plain) {
    if (plain.isEmpty()) {
        return {};
    }
    // Rich text wraps: Qt sizes a rich-text tooltip to about 80 characters.
    return Qt::convertFromPlainText(plain, Qt::WhiteSpaceNormal);
}

QIcon IconFromSvg(const QString& path, std::initializer_list<int> sizes) {
    const auto renderer = LoadSvg(path);
    QIcon icon;
    for (int edge : sizes) {
        icon.addPixmap(RenderSvg(*renderer, QSize(edge, edge), 1.0));
    }
    return icon;
}

void SetItemImageIndex(QListWidgetItem* item, const TImageList& images, int index) {
    item->setData(ImageIndexRole, index);
    item->setIcon(images.Icon(index));
}

int ItemImageIndex(const QListWidgetItem* item) {
    const QVariant value = item->data(ImageIndexRole);
    return value.isValid() ? value.toInt() : -1;
}

TControlPlacer::TControlPlacer(QWidget* parent, QSize designSize)
    : QObject(parent), FParent(parent), FDesignSize(designSize) {
    parent->installEventFilter(this);
}

void TControlPlacer::Place(QWidget* control, QRect bounds, unsigned anchors) {
    FControls.push_back({control, bounds, anchors, false, 0});
    control->setGeometry(bounds);
}

void TControlPlacer::PlaceAutoSize(QLabel* label, QRect bounds, int maxWidth) {
    FControls.push_back({label, bounds, DefaultAnchors, true, maxWidth});
    label->setGeometry(bounds);
}

void TControlPlacer::FitAutoSize() {
    for (const TPlaced& placed : FControls) {
        if (placed.AutoSize) {
            auto* label = static_cast<QLabel*>(placed.Control);
            const int width = label->sizeHint().width();
            label->resize(placed.MaxWidth > 0 ? std::min(width, placed.MaxWidth) : width,
                          placed.Bounds.height());
        }
    }
}

bool TControlPlacer::eventFilter(QObject* watched, QEvent* event) {
    if (watched == FParent) {
        switch (event->type()) {
            case QEvent::Resize:
                Arrange();
                break;
            // A label whose text changed asks its parent for a new layout (while shown); so does
            // showing the parent the first time.
            case QEvent::LayoutRequest:
            case QEvent::Show:
                FitAutoSize();
                break;
            default:
                break;
        }
    }
    return QObject::eventFilter(watched, event);
}

void TControlPlacer::Arrange() {
    const int dw = FParent->width() - FDesignSize.width();
    const int dh = FParent->height() - FDesignSize.height();
    for (const TPlaced& placed : FControls) {
        QRect r = placed.Bounds;
        if (placed.AutoSize) {
            continue;
        }
        if ((placed.Anchors & akRight) != 0) {
            if ((placed.Anchors & akLeft) != 0) {
                r.setWidth(r.width() + dw);
            } else {
                r.translate(dw, 0);
            }
        }
        if ((placed.Anchors & akBottom) != 0) {
            if ((placed.Anchors & akTop) != 0) {
                r.setHeight(r.height() + dh);
            } else {
                r.translate(0, dh);
            }
        }
        placed.Control->setGeometry(r);
    }
    FitAutoSize();
}

QLabel* NewNoteLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    return label;
}

QVBoxLayout* StartSettingsDialog(QDialog& dialog, const QString& name, const QString& title,
                                 const QString& note) {
    dialog.setObjectName(name);
    dialog.setWindowTitle(title);
    // Modal to the window only: the tray stays usable meanwhile (CorvastelApplication.h).
    dialog.setWindowModality(Qt::WindowModal);
    auto* layout = new QVBoxLayout(&dialog);
    layout->addWidget(NewNoteLabel(note, &dialog));
    return layout;
}

void AddOkCancelButtons(QDialog& dialog, QBoxLayout& layout) {
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout.addWidget(buttons);
}

QString TElidedLabel::ShownText() const {
    return fontMetrics().elidedText(text(), Qt::ElideRight, contentsRect().width());
}

void TElidedLabel::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    style()->drawItemText(&painter, contentsRect(), static_cast<int>(alignment()) | Qt::TextSingleLine,
                          palette(), isEnabled(), ShownText(), foregroundRole());
}

bool TElidedLabel::event(QEvent* event) {
    if (event->type() == QEvent::ToolTip && Elided()) {
        // Rich text both (the label's own tooltip is made by ToolTipText): the text, which may be a
        // dongle's, escaped as plain text.
        QToolTip::showText(static_cast<QHelpEvent*>(event)->globalPos(), ToolTipText(text()) + toolTip(),
                           this);
        return true;
    }
    return QLabel::event(event);
}
