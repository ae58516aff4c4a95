#include "toolkit/gui/TSUMessageOfTheDay.h"

#include "toolkit/TFPreference.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QMessageBox>
#include <QStringList>
#include <cstdlib>

namespace {
constexpr const char* kFileName = "message-of-the-day.txt";
// Message files are short; a larger one is not a message.
constexpr qint64 kMaximumSize = 64 * 1024;
} // namespace

TSUMessageOfTheDay& TSUMessageOfTheDay::sharedMessageOfTheDay() {
    static TSUMessageOfTheDay shared;
    return shared;
}

std::vector<std::string> TSUMessageOfTheDay::defaultMessagePaths() {
    std::vector<std::string> paths;
    QString appDir = QCoreApplication::applicationDirPath();
    if (!appDir.isEmpty())
        paths.push_back((appDir + "/../share/hollin/" + kFileName).toStdString());
    paths.push_back(std::string(HOLLIN_DATADIR) + "/" + kFileName);
    paths.push_back(std::string(HOLLIN_SOURCE_RESOURCES) + "/" + kFileName);
    return paths;
}

std::optional<QString> TSUMessageOfTheDay::_readMessage() const {
    std::vector<std::string> candidates =
        _path.empty() ? defaultMessagePaths() : std::vector<std::string>{_path};
    for (const std::string& path : candidates) {
        QFile file(QString::fromStdString(path));
        if (!file.open(QIODevice::ReadOnly) || file.size() > kMaximumSize)
            continue;
        QString text = QString::fromUtf8(file.readAll()).trimmed();
        if (text.isEmpty())
            return std::nullopt;
        return text;
    }
    return std::nullopt;
}

bool TSUMessageOfTheDay::checkMessageOfTheDay() {
    const char* off = std::getenv("HOLLIN_NO_MOTD");
    if (off && *off)
        return false;
    std::optional<QString> text = _readMessage();
    if (!text)
        return false;

    QString digest = QString::fromLatin1(
        QCryptographicHash::hash(text->toUtf8(), QCryptographicHash::Sha256).toHex());
    QString shownText =
        QString::fromStdString(TFPreference::preferenceForKey(kShownMessagesKey).stringValue());
    QStringList shown = shownText.split(' ', Qt::SkipEmptyParts);
    if (shown.contains(digest))
        return false;
    shown.append(digest);
    TFPreference::setString(kShownMessagesKey, shown.join(' ').toStdString());

    auto* box =
        new QMessageBox(QMessageBox::Information,
                        QCoreApplication::translate("TSUMessageOfTheDay", "Message of the Day"),
                        *text, QMessageBox::Ok);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setModal(false);
    box->show();
    _box = box;
    return true;
}
