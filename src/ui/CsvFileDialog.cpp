#include "ui/CsvFileDialog.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QSaveFile>

namespace {

QString& LastFolder() {
    static QString folder;
    return folder;
}

}  // namespace

QString AskCsvPath(QWidget* parent, const QString& suggestedName) {
    const QString folder = LastFolder().isEmpty() ? QDir::homePath() : LastFolder();
    QFileDialog dialog(parent, QString::fromUtf8("CSVファイルに保存"),
                       QDir(folder).filePath(SafeFileName(suggestedName)),
                       QString::fromUtf8("CSVファイル (*.csv);;すべてのファイル (*)"));
    dialog.setObjectName(QStringLiteral("csvFileDialog"));
    // The desktop's own dialog speaks the desktop's language; this one is always Japanese.
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setDefaultSuffix(QStringLiteral("csv"));
    dialog.setLabelText(QFileDialog::LookIn, QString::fromUtf8("保存する場所:"));
    dialog.setLabelText(QFileDialog::FileName, QString::fromUtf8("ファイル名:"));
    dialog.setLabelText(QFileDialog::FileType, QString::fromUtf8("ファイルの種類:"));
    dialog.setLabelText(QFileDialog::Accept, QString::fromUtf8("保存"));
    dialog.setLabelText(QFileDialog::Reject, QString::fromUtf8("キャンセル"));
    // Modal to its window only, so that the tray menu stays available meanwhile.
    dialog.setWindowModality(Qt::WindowModal);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return {};
    }
    const QString path = dialog.selectedFiles().front();
    LastFolder() = QFileInfo(path).absolutePath();
    return path;
}

QString SafeFileName(QString name) {
    for (QChar& c : name) {
        if (c < QChar(0x20) || QStringLiteral("/\\:*?\"<>|").contains(c)) {
            c = QLatin1Char('_');
        }
    }
    return name;
}

bool WriteCsvFile(const QString& path, const std::function<bool(std::string&)>& nextPiece,
                  platform::MessageSink& sink) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    QSaveFile file(path);
    bool ok = file.open(QIODevice::WriteOnly);
    std::string piece;
    while (ok && nextPiece(piece)) {
        ok = file.write(piece.data(), static_cast<qint64>(piece.size())) ==
             static_cast<qint64>(piece.size());
        piece.clear();
    }
    ok = ok && file.commit();
    const QString error = file.errorString();
    if (!ok) {
        file.cancelWriting();
    }
    QApplication::restoreOverrideCursor();
    if (!ok) {
        sink.Show(QString::fromUtf8("CSVファイルを保存できませんでした。\n%1\n%2")
                      .arg(path, error)
                      .toLocal8Bit()
                      .toStdString(),
                  "Tessaroven Error", platform::kIconStop);
    }
    return ok;
}
