#pragma once
// The program's one window: its controls, its components and the Backup, Restore and automatic backup
// commands.
#include "app/Dialogs.h"
#include "archive/IZipControl.h"
#include "archive/StartupSettings.h"
#include "dbserver/DbComponents.h"
#include "ui_TForm1.h"

#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>
#include <string>

// The open-file dialog's stored settings; shown through the dialog seam.
struct TOpenDialog {
    std::string DefaultExt = "ZIP";
    std::string Filter = "*.ZIP|*.ZIP";
    std::string InitialDir = "\\VELMORIS\\NW4";
    std::string FileName;

    // True when the operator confirmed a name; FileName then holds it, with "." + DefaultExt added when the
    // typed name has no extension.
    bool Execute(IDialogs& dialogs);
};

// What the window is built from; tests put in their own parts.
struct TForm1Parts {
    std::unique_ptr<IDialogs> dialogs;         // default: the real message boxes and file dialog
    std::unique_ptr<archive::IZipControl> zip; // default: TZipControl
    std::string programFolder;                 // default: the running executable's folder
};

class TForm1 : public QWidget, public Ui::TForm1 {
    Q_OBJECT
  public:
    explicit TForm1(TForm1Parts parts = {});
    ~TForm1() override;

    // Handlers of the stored layout's events.
    void FormCreate(QObject* Sender);
    void SpeedButton1Click(QObject* Sender);
    void xZipFileStatus(archive::IZipControl& ASender, const std::u16string& sFilename, std::int32_t lSize,
                        std::int32_t lCompressedSize, std::int32_t lBytesProcessed,
                        std::int16_t nBytesPercent, std::int16_t nCompressionRatio, bool bFileCompleted);
    void btn2Click(QObject* Sender);
    void btnRestore_btn1Click(QObject* Sender);
    void Timer1Timer(QObject* Sender);
    void AbortSbClick(QObject* Sender);

    // The commands' steps. ZipClick and ExtractClick return false when the archive reported a failure;
    // ExtractClick also when the zip is missing and the operator declined a restore from the image folder.
    bool ZipClick(QObject* Sender);
    bool ExtractClick(QObject* Sender);
    void AutoBackup();

    // The application's default error handler: the error box, then the program goes on.
    void HandleException(const std::exception& error);
    IDialogs& Dialogs() { return *dialogs_; }

    // Set when the automatic backup has backed up every company.
    bool AutoBackupCompleted = false;

    // Components, created with the window and living as long as it.
    std::unique_ptr<archive::IZipControl> xZip;
    dbserver::TDbConnection con1{"con1"};
    dbserver::TDbQuery dbqry1{"dbqry1"};
    dbserver::TDbConnection DbConnection1{"DbConnection1"};
    dbserver::TDbQuery DbQuery1{"DbQuery1"};
    dbserver::TDbConnection DbConnection2{"DbConnection2"};
    dbserver::TDbTable DbTableMCompany{"DbTableMCompany"};
    TOpenDialog OpenDialog1;
    QTimer* Timer1 = nullptr;

  protected:
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

  private:
    void BackupCompany(std::string databasePath, std::string backupImageFolder);
    // Runs a handler; an error escaping it goes to the default error handler.
    void guarded(const std::function<void()>& handler);
    bool refuseWhileArchiveBusy();
    // Runs a zip or unzip with the progress bar; a failure's text goes to a plain message. True on success.
    bool runArchiveOperation(std::int32_t (archive::IZipControl::*operation)());
    void setStatus(const std::string& text);

    std::unique_ptr<IDialogs> dialogs_;
    std::string programFolder_;
    bool focusGiven_ = false;
    bool autoBackupRunning_ = false;
};

// The main window, from the moment it is allocated until the program ends.
extern TForm1* Form1;

// The fixed values compiled into the program.
namespace fixed {
inline constexpr const char* kServerUser = "DBSYS";
inline constexpr const char* kPassword = archive::kFixedPassword;
inline constexpr const char* kRestoreAccessCode = "Qvort5807";
} // namespace fixed
