#include "platform/hive_registry_access.h"

#include <utility>
#include <variant>

namespace {

// A name is quoted whole only while it reads in one glance: a 64 KiB SysEx as a command is
// 196 KB of text.
constexpr std::size_t kMaxQuotedName = 60;

std::string Named(const std::string& name) {
    if (name.empty())
        return "the default value";
    if (name.size() <= kMaxQuotedName)
        return "value \"" + name + "\"";
    // Cut before a character, not inside one.
    std::size_t cut = kMaxQuotedName;
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80)
        --cut;
    return "value \"" + name.substr(0, cut) + "...\" (" + std::to_string(name.size()) + " bytes)";
}

} // namespace

bool HiveRegistryAccess::OpenKey(const std::string& path, bool canCreate) {
    // Changes made under the key open before wait for the next CloseKey: opening never fails
    // for a reason other than the key.
    openKey_.reset();
    foundKey_ = nullptr;
    RegKey* key = hive_.FindKey(path);
    if (!key && canCreate) {
        key = hive_.CreateKey(path);
        changed_ = changed_ || key;
    }
    if (key)
        openKey_ = key->Path();
    foundKey_ = key;
    return key != nullptr;
}

void HiveRegistryAccess::CloseKey() {
    openKey_.reset();
    foundKey_ = nullptr;
    StoreChanges();
}

void HiveRegistryAccess::StoreChanges() {
    if (!changed_)
        return;
    Store(hive_);
    changed_ = false;
}

RegKey* HiveRegistryAccess::OpenedKey(const std::string& forValue) {
    // The key may have been deleted since it was opened.
    if (!foundKey_ && openKey_)
        foundKey_ = hive_.FindKey(*openKey_);
    RegKey* key = foundKey_;
    if (!key)
        throw RegistryError("no key is open for " + Named(forValue));
    return key;
}

const RegValue& HiveRegistryAccess::ExistingValue(const std::string& name) {
    const RegValue* value = OpenedKey(name)->FindValue(name);
    if (!value)
        throw RegistryError("there is no " + Named(name) + " in \\" + *openKey_);
    return *value;
}

bool HiveRegistryAccess::ValueExists(const std::string& name) {
    const RegKey* key = openKey_ ? hive_.FindKey(*openKey_) : nullptr;
    return key && key->FindValue(name);
}

std::int32_t HiveRegistryAccess::ReadInteger(const std::string& name) {
    const auto* number = std::get_if<std::uint32_t>(&ExistingValue(name).data);
    if (!number)
        throw RegistryError(Named(name) + " in \\" + *openKey_ + " is not a 32-bit integer");
    // A dword is read as the signed integer with the same bits: ffffffff is -1.
    return static_cast<std::int32_t>(*number);
}

std::string HiveRegistryAccess::ReadString(const std::string& name) {
    const auto* text = std::get_if<std::string>(&ExistingValue(name).data);
    if (!text)
        throw RegistryError(Named(name) + " in \\" + *openKey_ + " is not text");
    return *text;
}

void HiveRegistryAccess::Write(RegValue value) {
    RegKey* key = OpenedKey(value.name);
    const std::string name = value.name;
    if (!key->SetValue(std::move(value)))
        throw RegistryError(
            Named(name) +
            " cannot be stored: a line break or a zero byte in its name or text, or a "
            "name longer than " +
            std::to_string(kMaxValueNameSize) + " bytes");
    changed_ = true;
}

void HiveRegistryAccess::WriteInteger(const std::string& name, std::int32_t value) {
    Write(RegValue{name, static_cast<std::uint32_t>(value)});
}

void HiveRegistryAccess::WriteString(const std::string& name, const std::string& value) {
    Write(RegValue{name, value});
}

std::vector<std::string> HiveRegistryAccess::GetValueNames() {
    std::vector<std::string> names;
    const RegKey* key = openKey_ ? hive_.FindKey(*openKey_) : nullptr;
    if (!key)
        return names;
    for (const RegValue* value : key->Values())
        if (!value->name.empty())
            names.push_back(value->name);
    return names;
}

bool HiveRegistryAccess::DeleteKey(const std::string& path) {
    foundKey_ = nullptr;
    const bool deleted = hive_.DeleteKey(path);
    changed_ = changed_ || deleted;
    return deleted;
}
