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

#include "admin/DataMaintenance.h"
#include "platform/MessageSink.h"
#include "storage/PrintDataFiles.h"
#include "storage/Registry.h"
#include "ui/MonthPanel.h"

// What the options dialog works on: the tray controller's print data files (data directory, record
// lock, reader), the settings store it saves the directory to, and how a folder is chosen.
struct OptionsContext {
    PrintDataFiles& files;
    Registry& registry;
    platform::MessageSink& sink;
    // Asks the user for a folder (title, folder to start in); empty when cancelled.
    std::function<QString(const QString&, const QString&)> chooseFolder;
};

// Options: move the data directory, see what is stored, delete the records up to a month.
class OptionsDialog final : public QDialog {
    Q_OBJECT
  public:
    explicit OptionsDialog(OptionsContext context, QWidget* parent = nullptr);

    QPushButton* okButton = nullptr;
    QPushButton* cancelButton = nullptr;
    QLineEdit* dataDirectoryEdit = nullptr;
    QPushButton* changeFolderButton = nullptr;
    QGroupBox* dataGroup = nullptr;
    QLineEdit* fileSizeEdit = nullptr;
    QLineEdit* firstDayEdit = nullptr;
    QLineEdit* lastDayEdit = nullptr;
    MonthPanel month;
    QLabel* purgeLabel = nullptr;
    QCheckBox* purgeCheck = nullptr;
    QLineEdit* fileCountEdit = nullptr;

    int SelectedMonthValue() const { return m_selectedMonth; }
    void ShowDataStatistics();

  public slots:
    void ChooseFolder();
    void DataDirectoryChanged();
    void PurgeToggled();
    void StepMonthClicked();
    void OkClicked();
    void CancelClicked();

  protected:
    void showEvent(QShowEvent* event) override;
    void reject() override;  // Esc and the close box cancel too

  private:
    void StepMonth(int delta);
    void ShowFolderInTitle(const QString& folder);
    bool ConfirmPurge(const std::string& dir);
    void ReportPurge(const std::string& dir, const PurgeReport& report);

    OptionsContext m_context;
    std::string m_savedDirectory;
    int m_selectedMonth = 0;
};

extern OptionsDialog* optionsDialog;
