#include "toolkit/TFPreference.h"

#include <QSettings>
#include <mutex>

namespace {
std::mutex registeredLock;
std::map<std::string, std::string>& registered() {
    static std::map<std::string, std::string> defaults;
    return defaults;
}
QSettings settings() {
    return QSettings(QSettings::IniFormat, QSettings::UserScope, "Hollin", "Hollin");
}
} // namespace

TFPreference TFPreference::preferenceForKey(const std::string& key) {
    return TFPreference(key);
}

bool TFPreference::exists() const {
    if (settings().contains(QString::fromStdString(_key)))
        return true;
    std::scoped_lock lock(registeredLock);
    return registered().count(_key) != 0;
}

std::string TFPreference::stringValue() const {
    QVariant v = settings().value(QString::fromStdString(_key));
    if (v.isValid())
        return v.toString().toStdString();
    std::scoped_lock lock(registeredLock);
    auto it = registered().find(_key);
    return it == registered().end() ? std::string() : it->second;
}

bool TFPreference::boolValue() const {
    std::string s = stringValue();
    return s == "true" || s == "1" || s == "yes" || s == "YES";
}

void TFPreference::setBool(const std::string& key, bool value) {
    settings().setValue(QString::fromStdString(key), value ? "true" : "false");
}

void TFPreference::setString(const std::string& key, const std::string& value) {
    settings().setValue(QString::fromStdString(key), QString::fromStdString(value));
}

void TFPreference::removeKey(const std::string& key) {
    settings().remove(QString::fromStdString(key));
}

void TFPreference::registerDefaults(const std::map<std::string, std::string>& defaults) {
    std::scoped_lock lock(registeredLock);
    for (const auto& [k, v] : defaults)
        registered().emplace(k, v);
}
