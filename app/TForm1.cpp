#include "app/TForm1.h"

#include "app/Pictures.h"
#include "archive/StartupSettings.h"
#include "archive/TZipControl.h"
#include "dbserver/StatementText.h"
#include "fsutil/Ini.h"
#include "fsutil/Paths.h"
#include "fsutil/Utf.h"

#include <QApplication>
#include <QCloseEvent>
#include <QProxyStyle>
#include <QResizeEvent>
#include <QScreen>

TForm1* Form1 = nullptr;

using dbserver::sqlLiteralBody;

namespace {

std::string text(const QLineEdit* edit) {
    return edit->text().toStdString();
}
QString qtext(const std::string& text) {
    return QString::fromStdString(text);
}

// Draws a password edit's hidden characters as "*", as the stored layout asks.
class PasswordStars final : public QProxyStyle {
  public:
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returned) const override {
        if (hint == SH_LineEdit_PasswordCharacter) return '*';
        return QProxyStyle::styleHint(hint, option, widget, returned);
    }
};

// Restores the window's cursor when a command step ends, however it ends.
class WindowCursor {
  public:
    explicit WindowCursor(QWidget& window) : window_(window) { window_.setCursor(crSQLWait()); }
    ~WindowCursor() { window_.unsetCursor(); }
    WindowCursor(const WindowCursor&) = delete;
    WindowCursor& operator=(const WindowCursor&) = delete;

  private:
    QWidget& window_;
};

class ApplicationCursor {
  public:
    ApplicationCursor() { QGuiApplication::setOverrideCursor(crSQLWait()); }
    ~ApplicationCursor() { QGuiApplication::restoreOverrideCursor(); }
    ApplicationCursor(const ApplicationCursor&) = delete;
    ApplicationCursor& operator=(const ApplicationCursor&) = delete;
};

// Compares in a time that depends on the code's length only, so it tells nothing about how much was right.
bool sameBytes(const std::string& typed, const std::string& code) {
    size_t difference = typed.size() ^ code.size();
    for (size_t i = 0; i < code.size(); ++i)
        difference |= static_cast<unsigned char>((i < typed.size() ? typed[i] : 0) ^ code[i]);
    return difference == 0;
}

// Empties the progress bar when an archive operation ends, however it ends.
class ProgressReset {
  public:
    explicit ProgressReset(QProgressBar& bar) : bar_(bar) {}
    ~ProgressReset() { bar_.setValue(0); }
    ProgressReset(const ProgressReset&) = delete;
    ProgressReset& operator=(const ProgressReset&) = delete;

  private:
    QProgressBar& bar_;
};

class CommandError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

constexpr const char* kBusyMessage = "A compression or extraction is still running. Wait until it has "
                                     "finished before you start another command.";

} // namespace

bool TOpenDialog::Execute(IDialogs& dialogs) {
    const auto chosen = dialogs.openFile({FileName, InitialDir, Filter});
    if (!chosen) return false;
    std::string name = *chosen;
    const size_t base = name.find_last_of("/\\");
    const std::string file = base == std::string::npos ? name : name.substr(base + 1);
    if (!file.empty() && file.find('.') == std::string::npos && !DefaultExt.empty()) name += "." + DefaultExt;
    FileName = name;
    return true;
}

TForm1::TForm1(TForm1Parts parts)
    : dialogs_(parts.dialogs ? std::move(parts.dialogs) : std::make_unique<QtDialogs>(this)),
      programFolder_(parts.programFolder.empty() ? fsutil::programFolder() : parts.programFolder) {
    Form1 = this;
    xZip = parts.zip ? std::move(parts.zip) : std::make_unique<archive::TZipControl>();
    setupUi(this);
    SpeedButton1->setIcon(folderTreeGlyph());
    AbortSb->setIcon(abortGlyph());
    AbortSb->setIconSize(QSize(13, 13));
    Panel1Caption->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    auto* stars = new PasswordStars;
    stars->setParent(this);
    edtPwd->setStyle(stars);

    dbqry1.Connection = &con1;
    dbqry1.DatabaseName = "con1";
    dbqry1.TableOptions.RightsCheck = false;
    DbQuery1.Connection = &con1;
    DbQuery1.DatabaseName = "con1";
    DbQuery1.TableOptions.RightsCheck = false;
    DbTableMCompany.Connection = &DbConnection2;
    DbTableMCompany.TableName = "MCOMPANY";
    DbTableMCompany.IndexFieldNames = "COMPANY_CODE";
    DbTableMCompany.TableOptions.RightsCheck = false;

    Timer1 = new QTimer(this);
    Timer1->setInterval(2000);

    connect(SpeedButton1, &QToolButton::clicked, this,
            [this] { guarded([this] { SpeedButton1Click(SpeedButton1); }); });
    connect(btn2, &QPushButton::clicked, this, [this] { guarded([this] { btn2Click(btn2); }); });
    connect(btnRestore_btn1, &QPushButton::clicked, this,
            [this] { guarded([this] { btnRestore_btn1Click(btnRestore_btn1); }); });
    connect(Timer1, &QTimer::timeout, this, [this] { guarded([this] { Timer1Timer(Timer1); }); });
    connect(AbortSb, &QToolButton::clicked, this, [this] { guarded([this] { AbortSbClick(AbortSb); }); });
    xZip->OnFileStatus = [this](archive::IZipControl& sender, const std::u16string& name, std::int32_t size,
                                std::int32_t compressed, std::int32_t processed, std::int16_t percent,
                                std::int16_t ratio, bool completed) {
        guarded(
            [&] { xZipFileStatus(sender, name, size, compressed, processed, percent, ratio, completed); });
    };
    xZip->OnProgress = [this](archive::IZipControl&, std::uint64_t done, std::uint64_t total) {
        ProgressBar1->setValue(total == 0 ? 100 : static_cast<int>(done * 100 / total));
        QCoreApplication::processEvents(); // the abort button stays live during long files
    };

    guarded([this] { FormCreate(this); });
}

TForm1::~TForm1() {
    if (Form1 == this) Form1 = nullptr;
}

void TForm1::guarded(const std::function<void()>& handler) {
    try {
        handler();
    } catch (const std::exception& error) {
        HandleException(error);
    }
}

void TForm1::HandleException(const std::exception& error) {
    dialogs_->errorBox(errorBoxText(error.what()));
}

void TForm1::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (focusGiven_) return;
    focusGiven_ = true;
    if (QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    btnRestore_btn1->setFocus();
}

void TForm1::closeEvent(QCloseEvent* event) {
    // The automatic backup closes the window itself when it has finished; until then the window stays.
    if (autoBackupRunning_) {
        event->ignore();
        return;
    }
    QWidget::closeEvent(event);
}

void TForm1::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    // The three bottom panels follow the lower edge and take the whole width.
    const int width = event->size().width();
    int bottom = event->size().height();
    for (QFrame* panel : {pnl1, StatusPn, Panel3}) {
        bottom -= panel->height();
        panel->setGeometry(0, bottom, width, panel->height());
    }
    Panel1->setGeometry(4, 4, width - 8, StatusPn->height() - 8);
    Bevel1->setGeometry(4, 4, width - 8, Bevel1->height());
}

void TForm1::FormCreate(QObject*) {
    using namespace archive::dispid;
    DataEdit1->setText("C:\\TEMP\\ABC.ZIP");
    for (const auto& [id, value] : archive::startupSettings(fsutil::toUtf16(fixed::kPassword)))
        xZip->SetProperty(id, value);
    xZip->CheckLibraries();
    xZip->ResetStatistics();
    xZip->ClearLastResult();
}

void TForm1::SpeedButton1Click(QObject*) {
    OpenDialog1.FileName = DataEdit1->text().toStdString();
    if (OpenDialog1.Execute(*dialogs_)) DataEdit1->setText(qtext(OpenDialog1.FileName));
}

void TForm1::xZipFileStatus(archive::IZipControl& ASender, const std::u16string& sFilename, std::int32_t,
                            std::int32_t, std::int32_t lBytesProcessed, std::int16_t, std::int16_t, bool) {
    if (lBytesProcessed == 0) {
        const std::int32_t operation = ASender.ActiveOperation();
        if (operation == archive::zoZip)
            StatusLb->setText(QString::fromStdU16String(u"Zipping " + sFilename));
        else if (operation == archive::zoUnzip)
            StatusLb->setText(QString::fromStdU16String(u"Unzipping " + sFilename));
    }
    QCoreApplication::processEvents();
}

void TForm1::setStatus(const std::string& status) {
    StatusLb->setText(qtext(status));
}

bool TForm1::refuseWhileArchiveBusy() {
    if (xZip->ActiveOperation() == archive::zoNone) return false;
    dialogs_->plainMessage(kBusyMessage);
    return true;
}

void TForm1::btn2Click(QObject*) {
    if (refuseWhileArchiveBusy()) return;
    {
        Animate1->setVisible(true);
        WindowCursor cursor(*this);
        struct HideAnimation {
            QWidget* animation;
            explicit HideAnimation(QWidget* shown) : animation(shown) {}
            ~HideAnimation() { animation->setVisible(false); }
            HideAnimation(const HideAnimation&) = delete;
            HideAnimation& operator=(const HideAnimation&) = delete;
        } hideAnimation(Animate1);
        con1.setIsConnected(false);
        con1.setConnectPath(text(edtDatabaselbledt2));
        con1.Password = fixed::kPassword;
        con1.Username = fixed::kServerUser;
        con1.setIsConnected(true);
        dbqry1.SQL.Clear();
        dbqry1.SQL.Add("EXECUTE PROCEDURE sp_BackupDatabase('" + sqlLiteralBody(text(edtBackup)) +
                       "', NULL )");
        dbqry1.ExecSQL();
    }
    if (ZipClick(this)) dialogs_->plainMessage("- Backup database completed -");
}

bool TForm1::ZipClick(QObject*) {
    const std::string zipName = text(DataEdit1);
    if (fsutil::fileExists(zipName) &&
        !dialogs_->warningQuestion("Zip file already exists,Do you wish to overwrite it?"))
        return true;
    // The old zip stays until the new one is complete: the component replaces it in one rename.
    xZip->SetProperty(archive::dispid::ZipFilename, fsutil::toUtf16(zipName));
    xZip->SetProperty(archive::dispid::FilesToProcess, fsutil::toUtf16(text(edtBackup) + "\\*.*"));
    setStatus("Adding selected files.");
    if (!runArchiveOperation(&archive::IZipControl::ZipFiles)) return false;
    dialogs_->information("Add operation completed. ");
    return true;
}

void TForm1::btnRestore_btn1Click(QObject* Sender) {
    if (refuseWhileArchiveBusy()) return;
    if (!sameBytes(text(edtPwd), fixed::kRestoreAccessCode)) throw CommandError("Invalid Password!");
    if (edtComID->text().isEmpty()) throw CommandError("Please input the company code!");
    if (!ExtractClick(Sender)) return; // a failed extraction may leave a broken image: never restore it
    {
        WindowCursor cursor(*this);
        con1.setIsConnected(false);
        const std::string imageDictionary = text(edtBackup) + text(edtComID) + ".add";
        const std::string databasePath = text(edtDatabaselbledt2);
        con1.setConnectPath(imageDictionary);
        con1.Password = fixed::kPassword;
        con1.Username = fixed::kServerUser;
        dbqry1.SQL.Clear();
        dbqry1.SQL.Add("EXECUTE PROCEDURE sp_RestoreDatabase('" + sqlLiteralBody(imageDictionary) + "','" +
                       fixed::kPassword + "','" + sqlLiteralBody(databasePath) + "', NULL )");
        dbqry1.ExecSQL();
    }
    dialogs_->plainMessage("- Restore database completed -");
    close();
}

bool TForm1::ExtractClick(QObject*) {
    xZip->SetProperty(archive::dispid::ZipFilename, fsutil::toUtf16(text(DataEdit1)));
    const std::string zipName =
        fsutil::toUtf8(std::get<std::u16string>(xZip->GetProperty(archive::dispid::ZipFilename)));
    if (!fsutil::fileExists(zipName)) {
        dialogs_->plainMessage("Backup file " + text(DataEdit1) + " is not exist in Drive !");
        // A mistyped zip name must not silently bring back a stale image over the live data.
        return dialogs_->warningQuestion("Restore the database from the backup image already in the folder " +
                                             text(edtBackup) + " instead? This replaces the live database " +
                                             text(edtDatabaselbledt2) + " with that image.",
                                         DefaultAnswer::No);
    }
    xZip->SetProperty(archive::dispid::UnzipToFolder, fsutil::toUtf16(text(edtBackup)));
    setStatus("Extracting selected files.");
    return runArchiveOperation(&archive::IZipControl::UnzipFiles);
}

bool TForm1::runArchiveOperation(std::int32_t (archive::IZipControl::*operation)()) {
    const std::int32_t code = [&] {
        ProgressReset reset(*ProgressBar1);
        return ((*xZip).*operation)();
    }();
    if (code != 0) dialogs_->plainMessage(fsutil::toUtf8(xZip->DescribeResult(0, code)));
    return code == 0;
}

void TForm1::AbortSbClick(QObject*) {
    xZip->Abort();
}

void TForm1::Timer1Timer(QObject*) {
    Timer1->stop();
    AutoBackup();
}

void TForm1::AutoBackup() {
    struct Running {
        bool& flag;
        explicit Running(bool& f) : flag(f) { flag = true; }
        ~Running() { flag = false; }
        Running(const Running&) = delete;
        Running& operator=(const Running&) = delete;
    } running(autoBackupRunning_);
    const std::string folder = programFolder_;
    const std::string root =
        fsutil::readIniString(fsutil::resolve(folder + "KORVA.ini").string(), "BACKUP", "BACKUP_FOLDER", "");
    for (QWidget* control : std::initializer_list<QWidget*>{SpeedButton1, btnRestore_btn1, DataEdit1, Label1,
                                                            Label2, Label4, edtPwd})
        control->setVisible(false);
    DbConnection2.setIsConnected(false);
    DbConnection2.setConnectPath(folder);
    DbConnection2.setIsConnected(true);
    DbTableMCompany.Open();
    while (!DbTableMCompany.Eof()) {
        const std::string code = DbTableMCompany.FieldByName("COMPANY_code").AsString;
        const std::string databasePath = folder + "COMPANY\\" + code + "\\" + code + ".ADD";
        const std::string backupImageFolder = root + "\\" + code;
        edtBackup->setText(qtext(backupImageFolder));
        edtDatabaselbledt2->setText(qtext(databasePath));
        edtComID->setText(qtext(code));
        QCoreApplication::processEvents();
        BackupCompany(databasePath, backupImageFolder);
        DbTableMCompany.Next();
    }
    AutoBackupCompleted = true;
    autoBackupRunning_ = false;
    close();
}

void TForm1::BackupCompany(std::string databasePath, std::string backupImageFolder) {
    Animate1->setActive(true);
    ApplicationCursor cursor;
    con1.setIsConnected(false);
    con1.setConnectPath(databasePath);
    con1.Password = fixed::kPassword;
    con1.Username = fixed::kServerUser;
    con1.setIsConnected(true);
    dbqry1.SQL.Clear();
    dbqry1.SQL.Add("EXECUTE PROCEDURE sp_BackupDatabase('" + sqlLiteralBody(backupImageFolder) + "', NULL )");
    dbqry1.ExecSQL();
}
