#pragma once

#include <QCheckBox>
#include <QDialog>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QToolButton>
#include <functional>

#include "platform/MessageSink.h"
#include "storage/Dmregistry.h"
#include "storage/PrintDataFiles.h"

// What the options dialog works on: the main form's print data files (data directory, record
// lock, reader), the settings store it saves the directory to, and how a folder is chosen.
struct OptionContext {
    PrintDataFiles& files;
    TdmRegistryCtl& registry;
    platform::MessageSink& sink;
    // Asks the user for a folder (title, folder to start in); empty when cancelled.
    std::function<QString(const QString&, const QString&)> chooseFolder;
};

// Options: move the data directory, see what is stored, delete the records up to a month.
class TdlgOption final : public QDialog {
    Q_OBJECT
  public:
    explicit TdlgOption(OptionContext context, QWidget* parent = nullptr);

    QPushButton* OKBtn = nullptr;
    QPushButton* CancelBtn = nullptr;
    QLineEdit* ledDataDirectoryName = nullptr;
    QPushButton* Button1 = nullptr;
    QGroupBox* GroupBox1 = nullptr;
    QLineEdit* ledFileSize = nullptr;
    QLineEdit* ledStartDay = nullptr;
    QLineEdit* ledEndDay = nullptr;
    QFrame* pnlYaerMonth = nullptr;
    QLabel* lblYearMonth = nullptr;  // the month panel's caption
    QToolButton* BitBtn1 = nullptr;
    QToolButton* BitBtn2 = nullptr;
    QLabel* Label2 = nullptr;
    QCheckBox* CheckBox1 = nullptr;
    QLineEdit* ledFileCount = nullptr;

    int SelectedMonthValue() const { return m_selectedMonth; }
    void ShowDataStatistics();

  public slots:
    void Button1Click();
    void ledDataDirectoryNameChange();
    void CheckBox1Click();
    void BitBtn1Click();
    void OKBtnClick();
    void CancelBtnClick();

  protected:
    void showEvent(QShowEvent* event) override;  // FormShow
    void reject() override;                      // Esc and the close box cancel too

  private:
    void StepMonth(int delta);
    void ShowFolderInTitle(const QString& folder);

    OptionContext m_context;
    std::string m_savedDirectory;
    int m_selectedMonth = 0;
};

extern TdlgOption* dlgOption;
