#pragma once

#include <map>
#include <string>

// User defaults, stored with QSettings (organisation and application
// "Hollin", INI under the XDG config folder). Defaults registered at start-up
// answer for keys the user never set. Main thread or any thread: QSettings
// is reentrant and each call uses its own instance.
class TFPreference {
public:
    static TFPreference preferenceForKey(const std::string& key);

    // An absent key (and no registered default) reads false.
    bool boolValue() const;
    // The stored text, or the registered default, or empty.
    std::string stringValue() const;
    bool exists() const;

    static void setBool(const std::string& key, bool value);
    static void setString(const std::string& key, const std::string& value);
    static void removeKey(const std::string& key);
    // Keys already registered keep their first default.
    static void registerDefaults(const std::map<std::string, std::string>& defaults);

private:
    explicit TFPreference(std::string key) : _key(std::move(key)) {}
    std::string _key;
};
