// Nicknames of dongles.
#include <QCoreApplication>
#include <QInputDialog>
#include <QLineEdit>
#include <QListWidget>
#include <QStandardPaths>

#include "app/NicknameFile.h"
#include "app/UnitMain.h"

namespace {
constexpr char DefaultNickname[] = "CustomName";

std::filesystem::path PathOf(const QString& path) {
    return std::filesystem::path(path.toStdU16String());
}
}  // namespace

bool InputQueryDialog(QWidget* Parent, const QString& Title, const QString& Prompt, QString& Text) {
    QInputDialog dialog(Parent);
    dialog.setWindowTitle(Title);
    dialog.setLabelText(Prompt);
    dialog.setTextValue(Text);
    dialog.setWindowModality(Qt::WindowModal);  // the tray stays usable (CorvastelApplication.h)
    if (dialog.exec() != QDialog::Accepted) {
        return false;
    }
    Text = dialog.textValue();
    return true;
}

TNicknameFile& TFormCorvastelPc::Nicknames() {
    const std::filesystem::path path = NicknameFilePath.empty() ? NicknameFileLocation() : NicknameFilePath;
    if (!FNicknames || FNicknames->Path() != path) {
        FNicknames = std::make_unique<TNicknameFile>(path);
    }
    return *FNicknames;
}

std::string TFormCorvastelPc::ReadNickname(const std::string& Address) {
    TNicknameFile& file = Nicknames();
    std::string nickname = file.ReadNickname(Address);
    const QString problem = QString::fromStdString(file.ReadProblem());
    if (NoticeText(TNotice::NicknameFile) != problem) {
        // Whoever reads a nickname also shows whether the file could be used.
        SetNotice(TNotice::NicknameFile, problem);
    }
    return nickname;
}

void TFormCorvastelPc::WriteNickname(const std::string& Address, const std::string& Nickname) {
    Nicknames().WriteNickname(Address, Nickname);
}

std::filesystem::path NicknameFileLocation() {
    // Looked up on each use, like the file itself: a file put next to the executable is found at the
    // next read.
    return TNicknameFile::Locate(PathOf(QCoreApplication::applicationDirPath()),
                                 PathOf(QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation)));
}

void TFormCorvastelPc::BtnRenameClick(QObject* /*Sender*/) {
    if (SelectedDevice < 0 || SelectedDevice >= FoundDeviceCount) {
        return;
    }
    const int k = SelectedDevice;
    const std::string address = FoundDevices[k]->Address();

    std::string current = ReadNickname(address);
    if (current.empty()) {
        current = DefaultNickname;
    }
    QString text = QString::fromStdString(current);
    // Named, since the dialog covers the list: which dongle it is, and how to take a nickname away.
    const QString prompt = QStringLiteral("Nickname for %1:\n(leave it empty to remove the nickname)")
                               .arg(QString::fromStdString(DongleTitle(address)));
    if (!InputQuery(QString::fromUtf8(RenameCaption), prompt, text)) {
        return;
    }
    text = text.trimmed();  // the file keeps no blanks around a value either

    // Throws when the file cannot be written; the captions then keep their old text. An empty
    // nickname removes the entry: the dongle goes back to the name it advertises.
    WriteNickname(address, text.toStdString());
    // Queued Bluetooth events ran while the dialog was open; the slot must still be this dongle's.
    if (k >= FoundDeviceCount || FoundDevices[k]->Address() != address) {
        return;
    }
    const QString caption = FoundCaption(*FoundDevices[k]);
    if (SelectedDevice == k) {
        lbName->setText(caption);
    }
    if (QListWidgetItem* item = DeviceListView->item(k)) {
        item->setText(caption);
    }
    ShowRoute();  // the route names the dongle by its caption
    UpdateLinkNotices();
}
