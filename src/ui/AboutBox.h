#pragma once

#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <array>
#include <optional>
#include <string>

#include "ui/LinkLabel.h"

// The file version the build gives the executable: four numbers, or none.
using FileVersion = std::optional<std::array<int, 4>>;
FileVersion BuildFileVersion();
// "%d.%d.%d.%d" of the file version; "(未定義)" when there is none.
std::string GetFileVersionText(const FileVersion& version = BuildFileVersion());

// The address the build gives for enquiries; empty when it gives none.
QString BuildContactAddress();

// The version information dialog.
class AboutBox final : public QDialog {
    Q_OBJECT
  public:
    static constexpr const char* kRightsNotice = "Copyright (C) 2026 The Tessaroven developers";

    // Without an address the enquiry line and its link are left out.
    explicit AboutBox(QWidget* parent = nullptr, const QString& address = BuildContactAddress());

    QLabel* productNameLabel = nullptr;
    QLabel* versionCaption = nullptr;  // "Version"
    QLabel* versionLabel = nullptr;
    QLabel* contactCaption = nullptr;  // "御問い合わせ"
    QLabel* commentsLabel = nullptr;
    LinkLabel* linkLabel = nullptr;
    QPushButton* okButton = nullptr;

  public slots:
    void OpenLink();

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    QString m_address;
};

extern AboutBox* aboutBox;
