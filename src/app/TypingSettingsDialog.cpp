// Choosing a dongle's keyboard layout and pace: the chooser both the Type text dialog and the
// dongle's own settings dialog show.
#include <QComboBox>
#include <QDialog>
#include <QFormLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>
#include <vector>

#include "app/FormControls.h"
#include "app/TypingDialog.h"
#include "layout/XkbLayout.h"

namespace {

// The machine's layouts, by description; read once, the data does not change while the app runs.
const std::vector<TLayoutChoice>& LayoutChoices() {
    static const std::vector<TLayoutChoice> choices = [] {
        std::vector<TLayoutChoice> all = AvailableLayouts();
        std::stable_sort(all.begin(), all.end(), [](const TLayoutChoice& a, const TLayoutChoice& b) {
            return QString::fromStdString(a.Description)
                       .localeAwareCompare(QString::fromStdString(b.Description)) < 0;
        });
        return all;
    }();
    return choices;
}

// A combo box on a new row of the form, beside a label whose mnemonic focuses it; name: what tests
// find it by.
QComboBox* AddComboRow(QFormLayout& form, const QString& name, const QString& label, const QString& toolTip,
                       const QString& accessibleName) {
    auto* combo = new QComboBox(form.parentWidget());
    combo->setObjectName(name);
    combo->setToolTip(toolTip);
    combo->setAccessibleName(accessibleName);
    auto* comboLabel = new QLabel(label, form.parentWidget());
    comboLabel->setBuddy(combo);
    form.addRow(comboLabel, combo);
    return combo;
}

}  // namespace

TTypingSettingsBox::TTypingSettingsBox(QWidget* Parent, const TTypingSettings& Settings) : QWidget(Parent) {
    auto* form = new QFormLayout(this);
    form->setContentsMargins(0, 0, 0, 0);
    Layout = AddComboRow(
        *form, QStringLiteral("TypingLayout"), QStringLiteral("Target's keyboard &layout:"),
        QStringLiteral("The keyboard layout the target computer uses: the text is typed with the keys that "
                       "make each character there (type a name to jump to it)"),
        QStringLiteral("Target keyboard layout"));
    // Some descriptions are long; the list shows them in full when it opens.
    Layout->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    Layout->setMinimumContentsLength(28);
    bool found = false;
    for (const TLayoutChoice& choice : LayoutChoices()) {
        const QString name = QString::fromStdString(choice.Name);
        Layout->addItem(QStringLiteral("%1 \u2014 %2").arg(QString::fromStdString(choice.Description), name),
                        name);
        found = found || choice.Name == Settings.Layout;
    }
    if (!found) {
        // Remembered, but not in this machine's list (or no list at all): still shown as chosen.
        const QString name = QString::fromStdString(Settings.Layout);
        Layout->insertItem(0, name, name);
    }
    Layout->setCurrentIndex(std::max(0, Layout->findData(QString::fromStdString(Settings.Layout))));

    System = AddComboRow(
        *form, QStringLiteral("TypingSystem"), QStringLiteral("Target's &system:"),
        QStringLiteral("The target's operating system: its layouts make different characters with dead keys "
                       "and AltGr, and it has its own way to enter a character by its code"),
        QStringLiteral("Target operating system"));
    for (const TTargetSystem system : {TTargetSystem::Linux, TTargetSystem::Windows, TTargetSystem::Mac}) {
        System->addItem(SystemText(system), static_cast<int>(system));
    }
    System->setCurrentIndex(std::max(0, System->findData(static_cast<int>(Settings.System))));

    Pace =
        AddComboRow(*form, QStringLiteral("TypingPace"), QStringLiteral("&Pace:"),
                    QStringLiteral("Slower for targets that miss keys coming fast (firmware setup screens)"),
                    QStringLiteral("Typing pace"));
    for (const int pace : TypingPaces) {
        Pace->addItem(PaceText(pace), pace);
    }
    Pace->setCurrentIndex(std::max(0, Pace->findData(Settings.PaceMs)));

    Entry = AddComboRow(*form, QStringLiteral("TypingEntry"), QStringLiteral("&Characters it lacks:"),
                        QStringLiteral("Characters the layout cannot type can be entered by their code, "
                                       "where the target's system is set up for it (the app cannot see "
                                       "whether it is)"),
                        QStringLiteral("Characters the layout lacks"));
    for (const TUnicodeEntry entry :
         {TUnicodeEntry::Off, TUnicodeEntry::Linux, TUnicodeEntry::Windows, TUnicodeEntry::Mac}) {
        Entry->addItem(EntryText(entry), static_cast<int>(entry));
    }
    Entry->setCurrentIndex(std::max(0, Entry->findData(static_cast<int>(Settings.Entry))));
    // Entering by code follows the system chosen: another system's method would type its keys as text.
    connect(System, &QComboBox::currentIndexChanged, this, [this] {
        if (static_cast<TUnicodeEntry>(Entry->currentData().toInt()) != TUnicodeEntry::Off) {
            const auto system = static_cast<TTargetSystem>(System->currentData().toInt());
            Entry->setCurrentIndex(std::max(0, Entry->findData(static_cast<int>(EntryOfSystem(system)))));
        }
    });
    form->addRow(QString(), NewNoteLabel(QStringLiteral("Entering a character by its code works only where "
                                                        "the target's system is set up for that method."),
                                         this));
}

TTypingSettings TTypingSettingsBox::Settings() const {
    TTypingSettings settings;
    settings.Layout = Layout->currentData().toString().toStdString();
    settings.System = static_cast<TTargetSystem>(System->currentData().toInt());
    settings.PaceMs = Pace->currentData().toInt();
    settings.Entry = static_cast<TUnicodeEntry>(Entry->currentData().toInt());
    return settings;
}

bool TypingSettingsDialog(QWidget* Parent, const QString& Title, TTypingSettings& Settings) {
    QDialog dialog(Parent);
    QVBoxLayout* layout = StartSettingsDialog(
        dialog, QStringLiteral("TypingSettingsDialog"), Title,
        QStringLiteral("Typing a text into this dongle uses the target's layout and this pace. "
                       "Pass-through is not affected: it sends key positions, and the target's own "
                       "layout makes them characters."));
    auto* box = new TTypingSettingsBox(&dialog, Settings);
    layout->addWidget(box);
    AddOkCancelButtons(dialog, *layout);
    dialog.setMinimumWidth(480);
    box->Layout->setFocus();
    if (dialog.exec() != QDialog::Accepted) {
        return false;
    }
    Settings = box->Settings();
    return true;
}
