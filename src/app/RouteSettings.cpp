#include "app/RouteSettings.h"

#include <QButtonGroup>
#include <QDialog>
#include <QLabel>
#include <QRadioButton>
#include <QSettings>
#include <QVBoxLayout>

#include <string>

#include "app/FormControls.h"
#include "app/TypingSettings.h"

namespace {

constexpr char RouteGroup[] = "Route";
constexpr char LeaderKey[] = "Leader";
// A value longer than any leader's name is not shown back to the user whole.
constexpr int ShownValueChars = 40;

QString FileText(const std::filesystem::path& File) {
    return QString::fromStdU16String(File.u16string());
}

QString Latin1(std::string_view text) {
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

TRouteLeader ReadRouteLeader(const std::filesystem::path& File, QString* Problem) {
    if (Problem != nullptr) {
        Problem->clear();
    }
    if (!SettingsFileReadable(File, Problem)) {
        if (Problem != nullptr) {
            *Problem +=
                QStringLiteral(" %1 is used to switch dongles.").arg(RouteLeaderText(DefaultRouteLeader));
        }
        return DefaultRouteLeader;
    }
    QSettings file(FileText(File), QSettings::IniFormat);
    const QString value =
        file.value(QStringLiteral("%1/%2").arg(QLatin1String(RouteGroup), QLatin1String(LeaderKey)))
            .toString();
    if (value.isEmpty()) {
        return DefaultRouteLeader;
    }
    if (const auto leader = RouteLeaderFromKey(value.toStdString())) {
        return *leader;
    }
    if (Problem != nullptr) {
        QString shown = value.left(ShownValueChars);
        // The file's text is shown as typed, but never as a line break or a control character.
        for (QChar& c : shown) {
            if (c.category() == QChar::Other_Control || c.category() == QChar::Other_Format) {
                c = QChar(0xFFFD);
            }
        }
        if (value.size() > ShownValueChars) {
            shown += QChar(0x2026);
        }
        *Problem = QStringLiteral(
                       "The route leader \"%1\" in %2 is not one this program knows; %3 is used. "
                       "Choose one under Settings\u2026 in the device list's menu.")
                       .arg(shown, FileText(File), RouteLeaderText(DefaultRouteLeader));
    }
    return DefaultRouteLeader;
}

bool WriteRouteLeader(const std::filesystem::path& File, TRouteLeader Leader, QString* Error) {
    QString problem;
    if (!SettingsFileReadable(File, &problem)) {
        *Error = problem;
        return false;
    }
    QSettings file(FileText(File), QSettings::IniFormat);
    file.beginGroup(QLatin1String(RouteGroup));
    file.setValue(QLatin1String(LeaderKey), Latin1(RouteLeaderKey(Leader)));
    file.endGroup();
    return SyncSettingsFile(file, File, Error);
}

QString RouteLeaderText(TRouteLeader Leader) {
    return Latin1(RouteLeaderName(Leader)) + QStringLiteral(" twice");
}

QString RouteLeaderEffect(TRouteLeader Leader) {
    switch (Leader) {
        case TRouteLeader::ScrollLock:
            return QStringLiteral(
                "The targets get two Scroll Lock taps: their Scroll Lock light goes on and off "
                "again. A hardware switch on the same desk may listen for Scroll Lock too.");
        case TRouteLeader::RightCtrl:
            return QStringLiteral(
                "The targets get two taps of Right Ctrl. A Ctrl tap on its own does nothing, "
                "except in a program that gives a double Ctrl tap a command of its own.");
        case TRouteLeader::RightAlt:
            return QStringLiteral(
                "The targets get two taps of Right Alt. Where it is AltGr nothing happens; "
                "elsewhere the first tap may move a program's focus to its menu bar and the "
                "second moves it back.");
        case TRouteLeader::Pause:
            return QStringLiteral(
                "The targets get two taps of Pause: nothing in most programs; a text console "
                "may hold its output until the next key. Laptops often have Pause only "
                "through Fn.");
        case TRouteLeader::RightShift:
            return QStringLiteral(
                "The targets get two taps of Right Shift. A Shift tap on its own does "
                "nothing, except in a program that gives a double Shift tap a command of "
                "its own (some code editors open a search).");
    }
    return {};
}

bool RouteSettingsDialog(QWidget* Parent, TRouteLeader& Leader) {
    QDialog dialog(Parent);
    QVBoxLayout* layout = StartSettingsDialog(
        dialog, QStringLiteral("RouteSettingsDialog"), QStringLiteral("Settings"),
        QStringLiteral("Switch where input goes from the keyboard during pass-through: tap this key twice "
                       "within half a second, then within a second a digit (1 to 9: the dongle with that "
                       "number, shown on its list item; 0: every dongle)."));
    auto* group = new QButtonGroup(&dialog);
    for (const TRouteLeader leader : RouteLeaders) {
        auto* button = new QRadioButton(RouteLeaderText(leader), &dialog);
        button->setObjectName(Latin1(RouteLeaderKey(leader)));
        button->setChecked(leader == Leader);
        group->addButton(button, static_cast<int>(leader));
        layout->addWidget(button);
    }
    auto* effect = NewNoteLabel(QString(), &dialog);
    effect->setObjectName(QStringLiteral("LeaderEffect"));
    effect->setMinimumWidth(380);
    auto* sticky =
        NewNoteLabel(QStringLiteral("On a target with sticky keys turned on, a modifier tapped twice "
                                    "stays held there: choose Scroll Lock or Pause for it."),
                     &dialog);
    const auto showEffect = [effect, sticky](int id) {
        const auto leader = static_cast<TRouteLeader>(id);
        effect->setText(RouteLeaderEffect(leader));
        sticky->setVisible(RouteLeaderIsModifier(leader));
    };
    showEffect(static_cast<int>(Leader));
    QObject::connect(group, &QButtonGroup::idClicked, &dialog, showEffect);
    layout->addWidget(effect);
    layout->addWidget(sticky);
    AddOkCancelButtons(dialog, *layout);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    if (dialog.exec() != QDialog::Accepted || group->checkedId() < 0) {
        return false;
    }
    Leader = static_cast<TRouteLeader>(group->checkedId());
    return true;
}
