// The hosting state of one screen-server connection, as the screen server reports it to the
// host in answer to the multi-query: which device it serves and whether it hosts it, is
// connected, is in the background and runs over USB. It travels as a property list of texts.
#pragma once

#include "platform/corefoundation/Value.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace foundation {

class QNBDisplayQuery {
public:
    using Text = std::optional<std::string>;

    // A record from its dictionary; null when there is no dictionary or any of the five texts
    // is absent or not a text (an empty text counts as present).
    static std::shared_ptr<QNBDisplayQuery> queryWithDictionary(const std::optional<cf::Value>& dictionary);
    // The records of a message, in order, skipping entries that make no record; nothing when
    // the message holds no array under its key or no record results.
    static std::optional<std::vector<std::shared_ptr<QNBDisplayQuery>>>
    queryArrayWithDictionary(const std::optional<cf::Value>& message);
    // The message for the records; null entries are skipped, and the array may be empty.
    static cf::Value dictionaryWithQueries(const std::vector<std::shared_ptr<QNBDisplayQuery>>& queries);

    // Field readers over a record dictionary: a text field is the text under its key, nothing
    // when absent or of another kind; a flag is the boolean reading of a text or number and
    // NO for anything else.
    static Text serviceKeyWithDictionary(const cf::Value& dictionary);
    static Text hostNameWithDictionary(const cf::Value& dictionary);
    static Text displayNameWithDictionary(const cf::Value& dictionary);
    static Text deviceIdentifierWithDictionary(const cf::Value& dictionary);
    static Text addressIdentifierWithDictionary(const cf::Value& dictionary);
    static bool hostedWithDictionary(const cf::Value& dictionary);
    static bool connectedWithDictionary(const cf::Value& dictionary);
    static bool updatingWithDictionary(const cf::Value& dictionary);
    static bool hasUSBMechanismWithDictionary(const cf::Value& dictionary);

    // All nine keys, texts only: "" for an absent text, "YES"/"NO" for the flags.
    cf::Value propertyListDictionary() const;
    std::string description() const;

    const Text& serviceKey() const { return m_serviceKey; }
    void setServiceKey(Text value) { m_serviceKey = std::move(value); }
    const Text& hostName() const { return m_hostName; }
    void setHostName(Text value) { m_hostName = std::move(value); }
    const Text& displayName() const { return m_displayName; }
    void setDisplayName(Text value) { m_displayName = std::move(value); }
    const Text& deviceIdentifier() const { return m_deviceIdentifier; }
    void setDeviceIdentifier(Text value) { m_deviceIdentifier = std::move(value); }
    const Text& addressIdentifier() const { return m_addressIdentifier; }
    void setAddressIdentifier(Text value) { m_addressIdentifier = std::move(value); }
    bool hosted() const { return m_hosted; }
    void setHosted(bool value) { m_hosted = value; }
    bool connected() const { return m_connected; }
    void setConnected(bool value) { m_connected = value; }
    bool background() const { return m_background; }
    void setBackground(bool value) { m_background = value; }
    bool hasUSBMechanism() const { return m_hasUSBMechanism; }
    void setHasUSBMechanism(bool value) { m_hasUSBMechanism = value; }

private:
    Text m_serviceKey;
    Text m_hostName;
    Text m_displayName;
    Text m_deviceIdentifier;
    Text m_addressIdentifier;
    bool m_hosted = false;
    bool m_connected = false;
    bool m_background = false;
    bool m_hasUSBMechanism = false;
};

} // namespace foundation
