#include "drives/gui/HLNDriveAccountController.h"

#include "drives/gui/HLNSpaceBar.h"
#include "toolkit/TFMainThread.h"
#include "toolkit/TFString.h"

#include <QApplication>
#include <QClipboard>
#include <QCoreApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QPointer>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <map>
#include <thread>

namespace {

constexpr int kPathRole = Qt::UserRole + 1;     // a mount point to reveal
constexpr int kPidRole = Qt::UserRole + 2;      // a process to copy
constexpr int kCategoryRole = Qt::UserRole + 3; // the line's category

QString localized(const char* text) {
    return QCoreApplication::translate("HLNDriveAccountController", text);
}

QString displayText(const std::string& bytes) {
    return TFString::displayStringForName(bytes);
}

QString bytesText(uint64_t bytes) {
    return QString::fromStdString(TFString::abbreviatedStringForBytes(bytes));
}

QString shareText(uint64_t bytes, uint64_t size) {
    if (size == 0)
        return QString();
    return QString::number(static_cast<double>(bytes) * 100.0 / static_cast<double>(size), 'f', 1) +
           " %";
}

QColor colorForCategory(const std::string& category) {
    static const std::map<std::string, QColor> colors = {
        {"counted", QColor("#4a86c8")},    {"deleted-open", QColor("#d0463c")},
        {"hidden", QColor("#e8a33a")},     {"filesystem", QColor("#8a6bbf")},
        {"reserved", QColor("#8c8c8c")},   {"available", QColor("#7cc070")},
        {"unreadable", QColor("#c8c8c8")},
    };
    auto it = colors.find(category);
    return it == colors.end() ? QColor(Qt::gray) : it->second;
}

QIcon swatch(const QColor& color) {
    QPixmap pixmap(12, 12);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.fillRect(QRect(1, 1, 10, 10), color);
    painter.setPen(color.darker(140));
    painter.drawRect(QRect(1, 1, 9, 9));
    return QIcon(pixmap);
}

std::map<std::string, HLNDriveAccountController*>& openControllers() {
    static std::map<std::string, HLNDriveAccountController*> map;
    return map;
}
HLNDriveAccountController::CountedSource& countedSource() {
    static HLNDriveAccountController::CountedSource source;
    return source;
}
HLNDriveAccountController::Revealer& revealer() {
    static HLNDriveAccountController::Revealer reveal;
    return reveal;
}

} // namespace

struct HLNDriveAccountController::Job {
    std::atomic<bool> cancel{false};
};

void HLNDriveAccountController::setCountedSource(CountedSource source) {
    countedSource() = std::move(source);
}

void HLNDriveAccountController::setRevealer(Revealer reveal) {
    revealer() = std::move(reveal);
}

HLNDriveAccountController* HLNDriveAccountController::controllerForMount(const std::string& mount) {
    auto it = openControllers().find(mount);
    return it == openControllers().end() ? nullptr : it->second;
}

HLNDriveAccountController* HLNDriveAccountController::openForMount(const std::string& mountPoint) {
    HLNDriveAccountController* controller = controllerForMount(mountPoint);
    if (!controller) {
        controller = new HLNDriveAccountController(mountPoint);
        controller->refresh();
    }
    controller->_window->show();
    controller->_window->raise();
    controller->_window->activateWindow();
    return controller;
}

HLNDriveAccountController::HLNDriveAccountController(std::string mountPoint)
    : _mountPoint(std::move(mountPoint)) {
    openControllers()[_mountPoint] = this;
    _buildWindow();
}

HLNDriveAccountController::~HLNDriveAccountController() {
    if (_job)
        _job->cancel = true; // its answer finds no one and is dropped
    auto it = openControllers().find(_mountPoint);
    if (it != openControllers().end() && it->second == this)
        openControllers().erase(it);
    if (_window) {
        QObject::disconnect(_window, nullptr, this, nullptr);
        delete _window;
    }
}

QString HLNDriveAccountController::titleForCategory(const std::string& category) {
    if (category == "counted")
        return localized("Counted in folders");
    if (category == "deleted-open")
        return localized("Deleted but still open");
    if (category == "hidden")
        return localized("Hidden beneath mount points");
    if (category == "unreadable")
        return localized("Unreadable");
    if (category == "filesystem")
        return localized("Kept by the file system");
    if (category == "reserved")
        return localized("Reserved for the administrator");
    if (category == "available")
        return localized("Available");
    return QString::fromStdString(category);
}

void HLNDriveAccountController::_buildWindow() {
    _window = new QMainWindow;
    _window->setObjectName("DriveAccount");
    _window->setAttribute(Qt::WA_DeleteOnClose);
    _window->setWindowTitle(localized("Account for %1").arg(displayText(_mountPoint)));
    _window->resize(640, 420);
    auto* content = new QWidget(_window);
    _window->setCentralWidget(content);

    _bar = new HLNSpaceBar(content);
    _bar->setObjectName("spaceBar");
    _lines = new QTreeWidget(content);
    _lines->setObjectName("lineList");
    _lines->setColumnCount(3);
    _lines->setHeaderLabels({localized("Part"), localized("Bytes"), localized("Share")});
    _lines->headerItem()->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
    _lines->headerItem()->setTextAlignment(2, Qt::AlignRight | Qt::AlignVCenter);
    _lines->header()->setStretchLastSection(false);
    _lines->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    _lines->setColumnWidth(1, 110);
    _lines->setColumnWidth(2, 70);
    _lines->setSelectionMode(QAbstractItemView::SingleSelection);
    _lines->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(_lines, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        if (QMenu* menu = contextMenuForItem(_lines->itemAt(at)))
            menu->popup(_lines->viewport()->mapToGlobal(at));
    });

    _status = new QLabel(content);
    _status->setObjectName("statusLabel");
    _status->setWordWrap(true);
    _refreshButton = new QPushButton(localized("Refresh"), content);
    _refreshButton->setObjectName("refreshButton");
    connect(_refreshButton, &QPushButton::clicked, this, &HLNDriveAccountController::refresh);

    auto* bottom = new QHBoxLayout;
    bottom->addWidget(_status, 1);
    bottom->addWidget(_refreshButton);
    auto* layout = new QVBoxLayout(content);
    layout->addWidget(_bar);
    layout->addWidget(_lines, 1);
    layout->addLayout(bottom);

    connect(_window, &QObject::destroyed, this, [this] {
        _window = nullptr;
        // Gone from the list at once: opening the drive again makes a new window.
        auto it = openControllers().find(_mountPoint);
        if (it != openControllers().end() && it->second == this)
            openControllers().erase(it);
        deleteLater();
    });
}

QMenu* HLNDriveAccountController::contextMenuForItem(QTreeWidgetItem* item) {
    if (!item)
        return nullptr;
    const QVariant path = item->data(0, kPathRole);
    const QVariant pid = item->data(0, kPidRole);
    if (!path.isValid() && !pid.isValid())
        return nullptr;
    delete _menu;
    _menu = new QMenu(_window);
    _menu->setObjectName("lineContextMenu");
    if (path.isValid()) {
        const std::string where = path.toByteArray().toStdString();
        QAction* reveal = _menu->addAction(localized("Reveal in File Manager"));
        reveal->setObjectName("reveal");
        reveal->setEnabled(static_cast<bool>(revealer()));
        connect(reveal, &QAction::triggered, this, [where] {
            if (revealer())
                revealer()(where);
        });
    }
    if (pid.isValid()) {
        const QString number = QString::number(pid.toLongLong());
        QAction* copy = _menu->addAction(localized("Copy PID %1").arg(number));
        copy->setObjectName("copyPid");
        connect(copy, &QAction::triggered, this,
                [number] { QApplication::clipboard()->setText(number); });
    }
    return _menu;
}

void HLNDriveAccountController::refresh() {
    if (_job)
        _job->cancel = true;
    auto job = std::make_shared<Job>();
    _job = job;
    _refreshButton->setEnabled(false);
    _status->setText(localized("Accounting for every byte…"));
    // Asked here, on the main thread, where the windows are.
    std::optional<uint64_t> counted;
    if (countedSource())
        counted = countedSource()(_mountPoint);
    QPointer<HLNDriveAccountController> self(this);
    std::thread([job, self, counted, mountPoint = _mountPoint] {
        HLNUnseenSpace::Options options;
        options.counted = counted;
        options.cancel = &job->cancel;
        std::string error;
        std::optional<HLNUnseenSpace::Account> account =
            HLNUnseenSpace::accountForMount(mountPoint, options, &error);
        TFMainThread::perform([job, self, account = std::move(account), error]() mutable {
            if (!self || self->_job != job)
                return; // closed, or asked again meanwhile
            self->_job.reset();
            self->_show(std::move(account), QString::fromStdString(error));
        });
    }).detach();
}

void HLNDriveAccountController::_show(std::optional<HLNUnseenSpace::Account> account,
                                      const QString& error) {
    _refreshButton->setEnabled(true);
    _account = std::move(account);
    if (!_account) {
        _lines->clear();
        _bar->setParts({});
        _status->setText(
            localized("Could not account for %1: %2").arg(displayText(_mountPoint), error));
        emit accounted();
        return;
    }
    _fillLines(*_account);
    const HLNUnseenSpace::Account& a = *_account;
    std::vector<HLNSpaceBar::Part> parts;
    for (const auto& [category, bytes] :
         std::vector<std::pair<std::string, uint64_t>>{{"counted", a.counted},
                                                       {"deleted-open", a.deletedOpen},
                                                       {"hidden", a.hidden},
                                                       {"filesystem", a.filesystem},
                                                       {"reserved", a.reserved},
                                                       {"available", a.available}})
        parts.push_back({titleForCategory(category), bytes, colorForCategory(category)});
    _bar->setParts(std::move(parts));
    QString status = localized("%1 in all, the drive's size; %2 used but in no folder.")
                         .arg(bytesText(a.size), bytesText(a.unseen()));
    if (a.countedBeyondUsed)
        status += " " + localized("The open window counts %1 more than is used (a file with "
                                  "several names counts once a name there).")
                            .arg(bytesText(a.countedBeyondUsed));
    _status->setText(status);
    emit accounted();
}

void HLNDriveAccountController::_fillLines(const HLNUnseenSpace::Account& a) {
    const QSignalBlocker quiet(_lines);
    _lines->clear();
    auto line = [&](const std::string& category, uint64_t bytes, QString title = QString()) {
        auto* item = new QTreeWidgetItem(_lines);
        item->setData(0, kCategoryRole, QString::fromStdString(category));
        item->setIcon(0, swatch(colorForCategory(category)));
        item->setText(0, title.isEmpty() ? titleForCategory(category) : title);
        item->setText(1, bytesText(bytes));
        item->setToolTip(1, localized("%1 bytes").arg(bytes));
        item->setText(2, shareText(bytes, a.size));
        item->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
        item->setTextAlignment(2, Qt::AlignRight | Qt::AlignVCenter);
        QFont bold = item->font(0);
        bold.setBold(true);
        item->setFont(0, bold);
        return item;
    };
    auto entry = [&](QTreeWidgetItem* parent, const QString& text, std::optional<uint64_t> bytes) {
        auto* item = new QTreeWidgetItem(parent);
        item->setText(0, text);
        item->setToolTip(0, text);
        if (bytes) {
            item->setText(1, bytesText(*bytes));
            item->setToolTip(1, localized("%1 bytes").arg(*bytes));
            item->setText(2, shareText(*bytes, a.size));
        }
        item->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
        item->setTextAlignment(2, Qt::AlignRight | Qt::AlignVCenter);
        return item;
    };
    auto note = [&](QTreeWidgetItem* parent, const QString& text) {
        QTreeWidgetItem* item = entry(parent, text, std::nullopt);
        QFont italic = item->font(0);
        italic.setItalic(true);
        item->setFont(0, italic);
        item->setFlags(Qt::ItemIsEnabled);
        return item;
    };

    line("counted", a.counted,
         a.countedFromWindow ? localized("Counted in folders (from the open window)") : QString());

    QTreeWidgetItem* deleted = line("deleted-open", a.deletedOpen);
    note(deleted, a.everyProcess ? localized("Every process was read.")
                                 : localized("Only your own processes were read; running as "
                                             "administrator would read every process."));
    for (const HLNUnseenSpace::DeletedFile& file : a.deletedFiles) {
        QString text = localized("%1 (%2, PID %3)")
                           .arg(displayText(file.path), displayText(file.processName))
                           .arg(file.pid);
        if (!file.otherHolders.empty()) {
            QStringList others;
            for (pid_t pid : file.otherHolders)
                others << QString::number(pid);
            text += " " + localized("also held by PID %1").arg(others.join(", "));
        }
        QTreeWidgetItem* item = entry(deleted, text, file.bytes);
        item->setData(0, kPidRole, static_cast<qlonglong>(file.pid));
    }

    QTreeWidgetItem* hidden = line("hidden", a.hidden);
    if (a.hiddenMounts.empty())
        note(hidden, localized("No drive is mounted inside this one."));
    for (const HLNUnseenSpace::HiddenMount& mount : a.hiddenMounts) {
        QTreeWidgetItem* item;
        if (mount.measured) {
            item = entry(hidden, displayText(mount.mountPoint), mount.bytes);
        } else {
            item = entry(hidden,
                         localized("%1: %2; to measure it, run: %3")
                             .arg(displayText(mount.mountPoint),
                                  QString::fromStdString(HLNUnseenSpace::notMeasuredText(mount)),
                                  displayText(HLNUnseenSpace::commandToMeasure(a.mountPoint))),
                         std::nullopt);
        }
        item->setData(0, kPathRole, QByteArray::fromStdString(mount.mountPoint));
    }

    QTreeWidgetItem* unreadable = line("unreadable", 0);
    const size_t folders = a.unreadableFolders.size();
    unreadable->setText(1, a.countedFromWindow ? QString()
                           : folders == 0      ? localized("none")
                           : folders == 1      ? localized("1 folder")
                                               : localized("%1 folders").arg(folders));
    unreadable->setText(2, QString());
    if (a.countedFromWindow)
        note(unreadable, localized("Not looked for: the folders were counted by the open window."));
    else if (!a.unreadableFolders.empty())
        note(unreadable, localized("What they hold is counted as kept by the file system; "
                                   "running as administrator would count them."));
    for (const std::string& folder : a.unreadableFolders)
        entry(unreadable, displayText(folder), std::nullopt);

    line("filesystem", a.filesystem);
    line("reserved", a.reserved);
    line("available", a.available);
    for (int i = 0; i < _lines->topLevelItemCount(); ++i)
        if (_lines->topLevelItem(i)->childCount() <= 8)
            _lines->topLevelItem(i)->setExpanded(true);
}
