// Each dongle's target keyboard layout and typing pace: remembered per dongle in the settings file
// beside the nickname file, chosen from the dongle's context menu or in the Type text dialog.
#include <QTimer>

#include "app/TypingDialog.h"
#include "app/TypingSettings.h"
#include "app/UnitMain.h"

std::filesystem::path TFormCorvastelPc::TypingSettingsPath() const {
    return TypingSettingsFile(NicknameFilePath.empty() ? NicknameFileLocation() : NicknameFilePath);
}

TTypingSettings TFormCorvastelPc::TypingSettingsOf(const std::string& Address) {
    QString problem;
    TTypingSettings settings = ReadTypingSettings(TypingSettingsPath(), Address, &problem);
    if (!problem.isEmpty()) {
        SetNotice(TNotice::Typing, problem);
    }
    return settings;
}

bool TFormCorvastelPc::StoreTypingSettings(const std::string& Address, const TTypingSettings& Settings) {
    QString problem;
    if (ReadTypingSettings(TypingSettingsPath(), Address, &problem) == Settings && problem.isEmpty()) {
        return true;  // nothing changed: the file is left alone
    }
    QString error;
    if (!WriteTypingSettings(TypingSettingsPath(), Address, Settings, &error)) {
        SetNotice(TNotice::Typing,
                  QStringLiteral("The layout and pace of %1 are used now but not remembered: %2")
                      .arg(DongleLabel(Address), error));
        return false;
    }
    return true;
}

std::shared_ptr<const TLayoutKeys> TFormCorvastelPc::LayoutKeysOf(const std::string& Name, QString* Error,
                                                                  TTargetSystem System) {
    std::string error;
    std::shared_ptr<const TLayoutKeys> keys = FLayoutKeys.Of(Name, System, &error);
    if (!keys) {
        *Error = QString::fromStdString(error);
    }
    return keys;
}

void TFormCorvastelPc::ChooseTypingSettings(int Slot) {
    if (Slot < 0 || Slot >= FoundDeviceCount) {
        return;
    }
    const std::string address = FoundDevices[Slot]->Address();
    TTypingSettings settings = TypingSettingsOf(address);
    const QString title = QStringLiteral("Keyboard layout of %1").arg(DongleLabel(address));
    if (!SettingsQuery(title, settings)) {
        return;
    }
    QString error;
    if (!LayoutKeysOf(settings.Layout, &error)) {
        SetNotice(TNotice::Typing, QStringLiteral("The layout \u201C%1\u201D cannot be used: %2")
                                       .arg(QString::fromStdString(settings.Layout), error));
        return;
    }
    if (StoreTypingSettings(address, settings)) {
        SetNotice(TNotice::Typing, QStringLiteral("%1 types on the \u201C%2\u201D layout (%3), pace %4.")
                                       .arg(DongleLabel(address), QString::fromStdString(settings.Layout),
                                            SystemText(settings.System), PaceText(settings.PaceMs)));
    }
    FTypingNoticeTimer->start();
}
