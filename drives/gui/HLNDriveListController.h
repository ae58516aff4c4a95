#pragma once

#include "drives/HLNDrive.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QEvent;
class QHBoxLayout;
class QMenu;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;
class QWidget;

// Runs the drive list window: local drives at the top level and network
// drives under one "Network" group row, each with its icon, name, mount
// point, a bar of how much is used and its free, used and total bytes. The
// lists are rebuilt at creation, whenever the window becomes active and on
// updateDrives()/updateSelection(); the drive selected stays selected, and
// with none the first drive is. Double-click or Sweep opens a browser window
// on the drive's mount point. Main thread only.
class HLNDriveListController : public QObject {
    Q_OBJECT
public:
    enum class Classification { Local, Network, Skipped };

    // The one controller of the program; created on first use, never freed.
    static HLNDriveListController* sharedInstance();
    // Builds the lists once; the window is made by the first window() or
    // showWindow(). Tests make their own controllers; the program uses
    // sharedInstance().
    HLNDriveListController();
    ~HLNDriveListController() override;

    // Loads the window if needed, restores its frame, shows it and makes it
    // the active window.
    void showWindow();
    QWidget* window();
    bool isWindowLoaded() const { return _window != nullptr; }

    // Actions.
    void updateDrives();    // clear selection, rebuild, reload
    void updateSelection(); // the same
    void sizeSelectedDrive();
    // Opens the window that accounts for every byte of the selected drive.
    void accountSelectedDrive();

    // Which list a drive belongs in, by the first rule that holds.
    static Classification classifyDrive(const HLNDrive& drive);
    // The drive's row title: its display name, with its mount point added
    // when another drive shown has the same name.
    QString titleForDrive(const HLNDrive& drive) const;
    // "%@ free, %@ used, %@ total" filled with the abbreviated figures.
    static QString infoTextForDrive(const HLNDrive& drive);
    // The row's tooltip: the mount point, then used, free for users,
    // reserved for the system (when any) and total.
    static QString toolTipForDrive(const HLNDrive& drive);
    // The Sweep button's title for a drive, or for none.
    static QString sweepTitleForDrive(const HLNDrive* drive);
    // A localised format whose %@ placeholders are filled in order; text
    // put in is never scanned again.
    static QString formatWithObjects(const QString& format, const QStringList& objects);

    static constexpr const char* kNetworkItem = "Network";
    static constexpr const char* kFrameName = "Drive List";

    const std::vector<Ref<HLNDrive>>& localDrives() const { return _localDrives; }
    const std::vector<Ref<HLNDrive>>& networkDrives() const { return _networkDrives; }
    Ref<HLNDrive> selectedDrive() const;

    // Outlets, valid once the window is loaded.
    QTreeWidget* driveListOutlineView() const { return _driveListOutlineView; }
    QPushButton* sweepButton() const { return _sweepButton; }
    QPushButton* accountButton() const { return _accountButton; }
    // The rows' menu (Account for Drive…, Sweep), acting on the selection.
    QMenu* rowContextMenu() const { return _rowContextMenu; }
    // The unseen bytes shown for a drive: used but in no folder, as its last
    // account found; empty until the drive has been accounted for.
    static QString unseenTextForDrive(const HLNDrive& drive);
    // The column carrying an identifier ("name" or "info"), or -1.
    int columnForIdentifier(const QString& identifier) const;

    // What opens a browser window on a path. The drive list sits below the
    // browser and cannot make one: the application installs the opener, and
    // without one a Sweep opens nothing.
    using PathOpener = std::function<void(const std::string& path)>;
    void setPathOpener(PathOpener opener) { _opener = std::move(opener); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void _updateDrives();
    void _updateButtonsStatus();
    void _reloadData();
    void _loadWindow();
    void _saveFrame();
    void _fillItem(QTreeWidgetItem* item, const HLNDrive* drive);
    // The accounting controls and the "unseen" column, beside the rest.
    void _addAccountingControls(QWidget* content, QHBoxLayout* buttons);
    void _fillUnseenColumn();
    // Selects the drive mounted there, or else the first drive.
    void _selectDriveAt(const std::string& location);
    Ref<HLNDrive> _driveOfItem(const QTreeWidgetItem* item) const;
    class UsageBar;

    QTreeWidget* _driveListOutlineView = nullptr; // owned by _window
    QPushButton* _sweepButton = nullptr;          // owned by _window
    QPushButton* _accountButton = nullptr;        // owned by _window
    QMenu* _rowContextMenu = nullptr;             // owned by _window
    std::vector<Ref<HLNDrive>> _localDrives;
    std::vector<Ref<HLNDrive>> _networkDrives;
    std::unique_ptr<QWidget> _window;
    PathOpener _opener;
};
