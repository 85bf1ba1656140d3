#pragma once

#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <functional>

// Asks for the current password, a new one twice, or both. It only collects what is typed: the
// command that opened it decides whether the entries will do.
class PasswordDialog final : public QDialog {
    Q_OBJECT
  public:
    // Which rows to show: 1 the current password, 2 the current and the new one, 3 the new one.
    enum Mode { kEnter = 1, kChange = 2, kSet = 3 };

    // mode is asked at every showing, so one dialog serves every command.
    explicit PasswordDialog(std::function<int()> mode, QWidget* parent = nullptr);

    QLabel* passwordLabel = nullptr;
    QLineEdit* passwordEdit = nullptr;
    QPushButton* okButton = nullptr;
    QPushButton* cancelButton = nullptr;
    QLabel* newPasswordLabel = nullptr;
    QLineEdit* newPasswordEdit = nullptr;
    QLabel* repeatPasswordLabel = nullptr;
    QLineEdit* repeatPasswordEdit = nullptr;

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    // Lays the dialog out for a mode; false (and nothing changed) for a mode it does not know.
    bool Arrange(int mode);

    std::function<int()> m_mode;
};

extern PasswordDialog* passwordDialog;
