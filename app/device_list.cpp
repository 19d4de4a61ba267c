#include "app/device_list.h"

#include "keyboard/vmidikeys.h"
#include "platform/midi_service.h"

#include <QBrush>
#include <QColor>
#include <QComboBox>
#include <QStringList>
#include <QVariant>

#include <algorithm>

namespace {

// Marks the item of a chosen device that is absent.
constexpr int kAbsentRole = Qt::UserRole + 1;

bool SameName(const std::string& a, const std::string& b) {
    return QString::fromStdString(a).compare(QString::fromStdString(b), Qt::CaseInsensitive) == 0;
}

} // namespace

DeviceList::DeviceList(Direction direction, QComboBox& box, TVMidiKeys& keys, MidiService& midi)
    : direction_(direction), box_(box), keys_(keys), midi_(midi) {}

std::vector<std::string> DeviceList::CountDevices() {
    const bool output = direction_ == Direction::Output;
    const int count = output ? midi_.midiOutGetNumDevs() : midi_.midiInGetNumDevs();
    std::vector<std::string> names;
    // The mapper is there as long as the service is.
    for (int device = output ? MIDI_MAPPER : 0; device < count; ++device) {
        std::string name;
        // Listed under the caption the keyboard gives it, whatever the service calls it.
        if (device == MIDI_MAPPER) {
            names.emplace_back(TVMidiKeys::kMapperName);
            continue;
        }
        const MMRESULT result =
            output ? midi_.midiOutGetDevCaps(device, name) : midi_.midiInGetDevCaps(device, name);
        // A device without a name could not be told from the no-device item, nor stored.
        if (result != MMSYSERR_NOERROR || name.empty())
            break;
        names.push_back(std::move(name));
    }
    return names;
}

bool DeviceList::Listed() const {
    return std::find(devices_.begin(), devices_.end(), chosen_) != devices_.end();
}

void DeviceList::Refill() {
    // The items after the no-device item: every device, then the choice if it is absent.
    QStringList items;
    for (const std::string& name : devices_)
        items << QString::fromStdString(name);
    const bool absent = !chosen_.empty() && !Listed();
    if (absent)
        items << QString::fromStdString(chosen_);
    int selected = 0; // the no-device item
    if (!chosen_.empty()) {
        const auto listed = std::find(devices_.begin(), devices_.end(), chosen_);
        selected = 1 + static_cast<int>(listed - devices_.begin()); // the absent one comes last
    }
    // Most changes concern other programs' ports of another kind: an unchanged list is left
    // alone, so that a list the user has open does not change under the pointer.
    QStringList shown;
    for (int item = 1; item < box_.count(); ++item)
        shown << box_.itemText(item);
    const bool marked = box_.count() > 1 && box_.itemData(box_.count() - 1, kAbsentRole).toBool();
    if (shown != items || marked != absent) {
        // Items are replaced from code: no change handler runs.
        box_.setUpdatesEnabled(false);
        while (box_.count() > 1)
            box_.removeItem(box_.count() - 1);
        box_.addItems(items);
        if (absent) {
            box_.setItemData(box_.count() - 1, true, kAbsentRole);
            box_.setItemData(box_.count() - 1, QBrush(QColor(128, 128, 128)), Qt::ForegroundRole);
        }
        box_.setUpdatesEnabled(true);
    }
    if (box_.currentIndex() != selected)
        box_.setCurrentIndex(selected);
}

bool DeviceList::PortOpen() const {
    return direction_ == Direction::Output ? keys_.MidiOutEnabled() : keys_.MidiInEnabled();
}

MMRESULT DeviceList::PortStatus() const {
    return direction_ == Direction::Output ? keys_.MidiOutStatus() : keys_.MidiInStatus();
}

void DeviceList::ClosePort() {
    if (direction_ == Direction::Output) {
        // The note-offs may not arrive any more, but the keys show released and no note the
        // user holds goes on to the next device without its note-on.
        keys_.ReleaseHeldNotes();
        keys_.SetMidiOutEnabled(false);
    } else {
        keys_.SetMidiInEnabled(false);
        keys_.ReleaseIncomingNotes();
    }
}

bool DeviceList::OpenChosen() {
    const auto found = std::find(devices_.begin(), devices_.end(), chosen_);
    if (found == devices_.end())
        return false;
    const int index = static_cast<int>(found - devices_.begin());
    if (direction_ == Direction::Output) {
        keys_.SetMidiOutEnabled(false);
        keys_.SetMIDIOutDevice(MIDI_MAPPER + index);
        keys_.SetMidiOutEnabled(true);
        return keys_.MidiOutEnabled();
    }
    keys_.SetMidiInEnabled(false);
    keys_.SetMIDIInDevice(index);
    keys_.SetMidiInEnabled(true);
    return keys_.MidiInEnabled();
}

// Takes the step the facts call for and notes how the choice stands.
DeviceStep DeviceList::Settle() {
    DeviceFacts facts;
    facts.chosen = !chosen_.empty();
    facts.listed = Listed();
    facts.portOpen = PortOpen();
    facts.portStatus = facts.portOpen ? PortStatus() : MMSYSERR_INVALHANDLE;
    facts.systemRunning = midi_.midiSystemRunning();
    if (!facts.listed)
        reopened_ = false;
    facts.reopenedAlready = reopened_;
    const DeviceDecision decision = DecideDevice(facts);
    switch (decision.step) {
    case DeviceStep::Keep:
        break;
    case DeviceStep::Close:
        ClosePort();
        break;
    case DeviceStep::Reopen:
        ClosePort();
        reopened_ = true;
        [[fallthrough]];
    case DeviceStep::Open:
        if (!OpenChosen()) {
            state_ = facts.systemRunning ? DeviceState::Unavailable : DeviceState::NoSystem;
            return decision.step;
        }
        state_ = StateOfPort(PortStatus(), midi_.midiSystemRunning());
        return decision.step;
    }
    state_ = decision.state;
    return decision.step;
}

void DeviceList::Restore(const std::string& name) {
    devices_ = CountDevices();
    const auto listed =
        std::find_if(devices_.begin(), devices_.end(),
                     [&name](const std::string& device) { return SameName(device, name); });
    chosen_ = listed != devices_.end() ? *listed : name;
    Settle();
    Refill();
}

void DeviceList::UserChose() {
    const int item = box_.currentIndex();
    const bool absentItem = box_.itemData(item, kAbsentRole).toBool();
    const std::string picked = item <= 0 ? std::string() : box_.currentText().toStdString();
    if (picked == chosen_ && (PortOpen() || picked.empty()))
        return;
    if (PortOpen())
        ClosePort();
    chosen_ = picked;
    devices_ = CountDevices();
    Settle();
    // A listed device that is gone by now or will not open ends as no device, as always; the
    // absent choice stays as it is until its device comes.
    if (!absentItem && (state_ == DeviceState::Unavailable || state_ == DeviceState::NoSystem)) {
        chosen_.clear();
        state_ = DeviceState::None;
    }
    Refill();
}

DeviceStep DeviceList::Update() {
    devices_ = CountDevices();
    const DeviceStep step = Settle();
    Refill();
    return step;
}
