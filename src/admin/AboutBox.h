#pragma once

#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <array>
#include <optional>
#include <string>

// The file version the build gives the executable: four numbers, or none.
using FileVersion = std::optional<std::array<int, 4>>;
FileVersion BuildFileVersion();
// "%d.%d.%d.%d" of the file version; "(未定義)" when there is none.
std::string GetFileVersionText(const FileVersion& version = BuildFileVersion());

// A label that behaves as a web link: clicking it opens the address and leaves it purple.
class LinkLabel final : public QLabel {
    Q_OBJECT
  public:
    LinkLabel(const QString& address, QWidget* parent);

  signals:
    void clicked();

  protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
};

// The version information dialog.
class TAboutBox final : public QDialog {
    Q_OBJECT
  public:
    static constexpr const char* kAddress = "https://tessaroven.example/";
    static constexpr const char* kRightsNotice = "Copyright (C) 2026 The Tessaroven developers";

    explicit TAboutBox(QWidget* parent = nullptr);

    QLabel* ProductName = nullptr;
    QLabel* Version = nullptr;
    QLabel* Comments = nullptr;
    LinkLabel* Label1 = nullptr;
    QPushButton* OKButton = nullptr;

  public slots:
    void Label1Click();

  protected:
    void showEvent(QShowEvent* event) override;  // FormShow
};

extern TAboutBox* AboutBox;
