#pragma once

// The per-user registry: keys named by paths below HKEY_CURRENT_USER, each holding named
// values of 32-bit integers or text. The window keeps its settings there.

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

// A value that is not of the type asked for, or a change that cannot be kept. The message names
// the value or the file and says what is wrong.
class RegistryError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The registry for one operation: created for it and released at its end. Other programs'
// changes wait until it is released, so that what it reads and what it writes belong together.
// At most one key is open at a time.
class RegistryAccess {
public:
    virtual ~RegistryAccess() = default;

    // Opens the key at path, counted from HKEY_CURRENT_USER ("\Software\Varnholm\klavio"),
    // creating it and the keys above it when canCreate is set. False when there is no such key,
    // or when path is no key name (an empty name between two backslashes).
    virtual bool OpenKey(const std::string& path, bool canCreate) = 0;
    // Keeps the changes made so far, even when no key is open. Throws RegistryError when they
    // cannot be kept.
    virtual void CloseKey() = 0;

    // The empty name is the key's unnamed default value.
    virtual bool ValueExists(const std::string& name) = 0;
    // Throw RegistryError when no key is open, the value is missing, or it is of another type.
    virtual std::int32_t ReadInteger(const std::string& name) = 0;
    virtual std::string ReadString(const std::string& name) = 0;
    // A value of that name is replaced whatever its type. Throw RegistryError when no key is
    // open, or when the name or the text holds a line break or a zero byte.
    virtual void WriteInteger(const std::string& name, std::int32_t value) = 0;
    virtual void WriteString(const std::string& name, const std::string& value) = 0;
    void WriteBool(const std::string& name, bool value) { WriteInteger(name, value ? 1 : 0); }
    // The names of the open key's values in the order they were first written, without the
    // unnamed default value.
    virtual std::vector<std::string> GetValueNames() = 0;
    // Deletes the key at path (counted from HKEY_CURRENT_USER) with its values and every key
    // below it. False when there was no such key.
    virtual bool DeleteKey(const std::string& path) = 0;
};

class RegistryService {
public:
    virtual ~RegistryService() = default;
    // Never null.
    virtual std::unique_ptr<RegistryAccess> Access() = 0;
};
