#pragma once

// One of the window's two device lists, kept in step with the MIDI service while the program
// runs. The list shows what the service offers now; the chosen device stays the choice while it
// is absent (shown as an extra, greyed item) and is connected as soon as it is there again. A
// port whose device has gone is closed and its notes are released.

#include "app/device_choice.h"
#include "platform/midi_service.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class MidiService;
class QComboBox;
class QString;
class TVMidiKeys;

class DeviceList {
public:
    enum class Direction { Input, Output };

    // Item 0 of box is the no-device item and stays as it is; the rest belongs to this list.
    DeviceList(Direction direction, QComboBox& box, TVMidiKeys& keys, MidiService& midi);

    // The choice the settings hold: a device's name, letter case ignored; empty for none. Of
    // several devices with that name, the first. Update then connects it and lists it.
    void RestoreChoice(const std::string& name);
    // The user picked an item: the device it stands for, at its place among devices of the
    // same name. A device that will not open sends the choice back to no device.
    void UserChose();
    // What follows the name of the program's own port, in the window's language.
    void SetOwnPortSuffix(std::string_view suffix);
    // The service's devices, ports or system changed. Returns what was done to the port.
    DeviceStep Update();

    // The chosen device's name as the service gives it, byte for byte; empty for none.
    const std::string& Chosen() const { return chosen_; }
    // The same as the list shows it, in UTF-8.
    std::string ChosenCaption() const;
    DeviceState State() const { return state_; }

private:
    // Relists the devices from a fresh count and selects the choice, adding it as a marked
    // item when it is absent.
    void Refill();
    std::vector<std::string> CountDevices();
    // The place of the chosen device in the last count, if it is there.
    std::optional<std::size_t> ChosenPlace() const;
    bool Listed() const { return ChosenPlace().has_value(); }
    QString Caption(const std::string& name) const;
    void ClosePort();
    // False when the device would not open.
    bool OpenChosen();
    bool PortOpen() const;
    MMRESULT PortStatus() const;
    DeviceStep Settle();

    const Direction direction_;
    QComboBox& box_;
    TVMidiKeys& keys_;
    MidiService& midi_;
    // The devices of the last count, in the service's order: for the output the first is
    // device -1, the mapper.
    std::vector<std::string> devices_;
    std::string chosen_;
    // Which of the devices named chosen_ is chosen, counted from 0 in the service's order.
    std::size_t chosenOccurrence_ = 0;
    std::string ownPortSuffix_{kOwnPortCaptionSuffix};
    DeviceState state_ = DeviceState::None;
    bool reopened_ = false;
};
