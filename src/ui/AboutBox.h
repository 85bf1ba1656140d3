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

// The version information dialog.
class AboutBox final : public QDialog {
    Q_OBJECT
  public:
    static constexpr const char* kAddress = "https://tessaroven.example/";
    static constexpr const char* kRightsNotice = "Copyright (C) 2026 The Tessaroven developers";

    explicit AboutBox(QWidget* parent = nullptr);

    QLabel* productNameLabel = nullptr;
    QLabel* versionLabel = nullptr;
    QLabel* commentsLabel = nullptr;
    LinkLabel* linkLabel = nullptr;
    QPushButton* okButton = nullptr;

  public slots:
    void OpenLink();

  protected:
    void showEvent(QShowEvent* event) override;
};

extern AboutBox* aboutBox;
