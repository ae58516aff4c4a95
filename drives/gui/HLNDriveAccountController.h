#pragma once

#include "drives/HLNUnseenSpace.h"

#include <QObject>
#include <QString>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class HLNSpaceBar;
class QLabel;
class QMainWindow;
class QMenu;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

// The window that accounts for every byte of one drive: a bar splitting
// the drive's size, then one line a part (counted in folders, deleted but
// still open, hidden beneath mount points, unreadable, kept by the file
// system, reserved for the administrator, available) with its bytes and
// its share, and the items each part is made of. The account is made on a
// thread of its own and made again by Refresh. Rows act only where it is
// safe: Reveal for a mount point, Copy for a process's PID. Nothing here
// kills, unmounts or deletes.
//
// Ownership: one window a mount point, which lives until it is closed and
// then deletes its controller. Main thread only.
class HLNDriveAccountController : public QObject {
    Q_OBJECT
public:
    // Opens the window for the drive mounted at mountPoint, or brings the
    // one already open to the front.
    static HLNDriveAccountController* openForMount(const std::string& mountPoint);
    // The window open for that mount point, if any.
    static HLNDriveAccountController* controllerForMount(const std::string& mountPoint);

    // The folders' total of a complete tree shown in an open window on the
    // mount point: the drive list cannot see those windows, so the
    // application installs this. Without one, or without an answer, the
    // folders are sized here.
    using CountedSource = std::function<std::optional<uint64_t>(const std::string& mountPoint)>;
    static void setCountedSource(CountedSource source);
    // Shows a path in the file manager; installed by the application.
    using Revealer = std::function<void(const std::string& path)>;
    static void setRevealer(Revealer revealer);

    // Makes the account again: /proc and the drive's figures re-read.
    void refresh();
    bool isAccounting() const { return static_cast<bool>(_job); }
    const std::optional<HLNUnseenSpace::Account>& account() const { return _account; }
    const std::string& mountPoint() const { return _mountPoint; }

    QMainWindow* window() const { return _window; }
    QTreeWidget* lineList() const { return _lines; }
    HLNSpaceBar* bar() const { return _bar; }
    QLabel* statusLabel() const { return _status; }
    QPushButton* refreshButton() const { return _refreshButton; }
    // The context menu for a row: Reveal, Copy PID, or null when the row
    // offers nothing.
    QMenu* contextMenuForItem(QTreeWidgetItem* item);

    // The line titles, in the order shown.
    static QString titleForCategory(const std::string& category);

    ~HLNDriveAccountController() override;

signals:
    // An account arrived and is shown (or failed: account() is then empty).
    void accounted();

private:
    explicit HLNDriveAccountController(std::string mountPoint);
    struct Job;
    void _buildWindow();
    void _show(std::optional<HLNUnseenSpace::Account> account, const QString& error);
    void _fillLines(const HLNUnseenSpace::Account& account);

    std::string _mountPoint;
    std::optional<HLNUnseenSpace::Account> _account;
    std::shared_ptr<Job> _job;      // the account being made, if any
    QMainWindow* _window = nullptr; // deletes this controller when it goes
    HLNSpaceBar* _bar = nullptr;
    QTreeWidget* _lines = nullptr;
    QLabel* _status = nullptr;
    QPushButton* _refreshButton = nullptr;
    QMenu* _menu = nullptr;
};
