// Saves the programs and the backup list dialog, filled with sample lists, as PNG files.
#include "kestrun/ui/backup_dlg.h"
#include "kestrun/ui/list_prompts.h"
#include "kestrun/ui/programs_dlg.h"
#include "platform/offscreen_font.h"
#include "platform/path_rules.h"

#include <QApplication>
#include <QDir>
#include <QPixmap>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: ui_lists_screenshots <folder>\n");
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    kestrun::useInstalledFontOffscreen();
    const QDir folder(QString::fromLocal8Bit(argv[1]));
    QDir().mkpath(folder.path());
    kestrun::QtListPrompts prompts;

    // Sample lists as the system spells its paths.
    const bool windows = kestrun::pathSeparator() == '\\';
    const auto pick = [windows](const char* posix, const char* win32) {
        return std::string(windows ? win32 : posix);
    };
    kestrun::ProgramList programs(3);
    programs[0].text = pick("/opt/Plenart/ZLM_Server/Zelmo_serv.exe?m",
                            "C:\\Program Files\\Plenart\\ZLM_Server\\Zelmo_serv.exe?m");
    programs[1].text = pick("/usr/local/bin/report?n--daily", "C:\\Tools\\report.exe?n--daily");
    programs[1].mode = kestrun::ProgramMode::Daily;
    programs[1].dailyTime = 27000;
    programs[2].text = pick("/opt/tools/sync.jar?m", "C:\\Tools\\sync.jar?m");
    programs[2].mode = kestrun::ProgramMode::Periodic;
    programs[2].period = 30;
    programs[2].disabled = true;
    kestrun::CProgramsDlg programsDlg(
        programs, kestrun::LocalDateTime::fromFields(2024, 3, 4, 9, 41, 0), prompts);
    programsDlg.show();
    const bool programsSaved = programsDlg.grab().save(folder.filePath("programs.png"));

    kestrun::BackupList include{
        {pick("/home/office/Documents", "C:\\Users\\office\\Documents"), 1, 0},
        {pick("/srv/db/dump.sql", "D:\\db\\dump.sql"), 0, 1},
        {pick("/home/office/Mail", "C:\\Users\\office\\Mail"), 2, 0}};
    kestrun::BackupList exclude{
        {pick("/home/office/Documents/tmp", "C:\\Users\\office\\Documents\\tmp"), 0, 0}};
    kestrun::CBackupDlg backupDlg(include, exclude, prompts);
    backupDlg.show();
    const bool backupSaved = backupDlg.grab().save(folder.filePath("backup.png"));
    return programsSaved && backupSaved ? 0 : 1;
}
