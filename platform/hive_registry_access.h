#pragma once

// The registry operations over a hive held in memory. A backend says where the hive comes from
// and where its changes go.

#include "formats/reg_file.h"
#include "platform/registry.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class HiveRegistryAccess : public RegistryAccess {
public:
    explicit HiveRegistryAccess(RegHive hive) : hive_(std::move(hive)) {}

    bool OpenKey(const std::string& path, bool canCreate) override;
    void CloseKey() override;
    bool ValueExists(const std::string& name) override;
    std::int32_t ReadInteger(const std::string& name) override;
    std::string ReadString(const std::string& name) override;
    void WriteInteger(const std::string& name, std::int32_t value) override;
    void WriteString(const std::string& name, const std::string& value) override;
    std::vector<std::string> GetValueNames() override;
    bool DeleteKey(const std::string& path) override;

    const RegHive& Hive() const { return hive_; }

protected:
    // Keeps the hive where it lasts, or throws RegistryError.
    virtual void Store(const RegHive& hive) = 0;
    // Stores what changed since the last time, if anything did. For CloseKey, and for the
    // destructors of backends, which cannot let an error out and must not lose a change
    // made without a CloseKey after it.
    void StoreChanges();

private:
    RegKey* OpenedKey(const std::string& forValue);
    const RegValue& ExistingValue(const std::string& name);
    void Write(RegValue value);

    RegHive hive_;
    std::optional<std::string> openKey_;
    // The open key, found once rather than at every value written; nullptr until then, and
    // again after a deletion, which may have taken it.
    RegKey* foundKey_ = nullptr;
    bool changed_ = false;
};
