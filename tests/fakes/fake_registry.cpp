#include "tests/fakes/fake_registry.h"

#include "platform/hive_registry_access.h"

#include <algorithm>

namespace {

class FakeRegistryAccess final : public HiveRegistryAccess {
public:
    explicit FakeRegistryAccess(FakeRegistry& registry)
        : HiveRegistryAccess(registry.hive), registry_(registry) {
        ++registry_.openAccesses;
        Record("Access");
    }

    ~FakeRegistryAccess() override {
        try {
            StoreChanges();
        } catch (const RegistryError&) {
            Record("store failed");
        }
        --registry_.openAccesses;
        Record("Release");
    }

    bool OpenKey(const std::string& path, bool canCreate) override {
        Record("OpenKey " + path + (canCreate ? " create" : ""));
        const auto& refused = registry_.refusedKeys;
        if (std::find(refused.begin(), refused.end(), path) != refused.end())
            return false;
        return HiveRegistryAccess::OpenKey(path, canCreate);
    }
    void CloseKey() override {
        Record("CloseKey");
        HiveRegistryAccess::CloseKey();
    }
    bool ValueExists(const std::string& name) override {
        Record("ValueExists " + name);
        return HiveRegistryAccess::ValueExists(name);
    }
    std::int32_t ReadInteger(const std::string& name) override {
        Record("ReadInteger " + name);
        return HiveRegistryAccess::ReadInteger(name);
    }
    std::string ReadString(const std::string& name) override {
        Record("ReadString " + name);
        return HiveRegistryAccess::ReadString(name);
    }
    void WriteInteger(const std::string& name, std::int32_t value) override {
        Record("WriteInteger " + name + "=" + std::to_string(value));
        HiveRegistryAccess::WriteInteger(name, value);
    }
    void WriteString(const std::string& name, const std::string& value) override {
        Record("WriteString " + name + "=" + value);
        HiveRegistryAccess::WriteString(name, value);
    }
    std::vector<std::string> GetValueNames() override {
        Record("GetValueNames");
        return HiveRegistryAccess::GetValueNames();
    }
    bool DeleteKey(const std::string& path) override {
        Record("DeleteKey " + path);
        return HiveRegistryAccess::DeleteKey(path);
    }

private:
    void Store(const RegHive& hive) override {
        if (registry_.storeFails)
            throw RegistryError("settings not saved: the disk is full");
        registry_.hive = hive;
    }

    void Record(std::string call) { registry_.calls.push_back(std::move(call)); }

    FakeRegistry& registry_;
};

} // namespace

std::unique_ptr<RegistryAccess> FakeRegistry::Access() {
    return std::make_unique<FakeRegistryAccess>(*this);
}
