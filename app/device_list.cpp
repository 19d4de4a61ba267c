#include "app/device_list.h"

#include "keyboard/vmidikeys.h"
#include "platform/midi_service.h"

#include <QBrush>
#include <QByteArray>
#include <QColor>
#include <QComboBox>
#include <QStringList>
#include <QVariant>

#include <algorithm>

namespace {

// Marks the item of a chosen device that is absent.
constexpr int kAbsentRole = Qt::UserRole + 1;

bool IsUtf8(const std::string& bytes) {
    return QString::fromStdString(bytes).toStdString() == bytes;
}

// Letter case aside for names that are text; a name that is no UTF-8 only matches itself.
bool SameDeviceName(const std::string& a, const std::string& b) {
    return a == b ||
           (IsUtf8(a) && IsUtf8(b) &&
            QString::fromStdString(a).compare(QString::fromStdString(b), Qt::CaseInsensitive) == 0);
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

std::optional<std::size_t> DeviceList::ChosenPlace() const {
    if (chosen_.empty())
        return std::nullopt;
    std::size_t seen = 0;
    for (std::size_t place = 0; place < devices_.size(); ++place)
        if (devices_[place] == chosen_ && seen++ == chosenOccurrence_)
            return place;
    return std::nullopt;
}

// A name that is no UTF-8 (JACK takes any bytes) shows a character per byte; the device keeps
// its bytes all the same. The own port's caption is shown in the window's language.
QString DeviceList::Caption(const std::string& name) const {
    const bool own = name.ends_with(kOwnPortCaptionSuffix);
    const std::string port =
        own ? name.substr(0, name.size() - kOwnPortCaptionSuffix.size()) : name;
    const QString caption = IsUtf8(port) ? QString::fromStdString(port)
                                         : QString::fromLatin1(QByteArray::fromStdString(port));
    return own ? caption + QString::fromStdString(ownPortSuffix_) : caption;
}

std::string DeviceList::ChosenCaption() const {
    return Caption(chosen_).toStdString();
}

void DeviceList::SetOwnPortSuffix(std::string_view suffix) {
    ownPortSuffix_ = suffix;
    Refill();
}

void DeviceList::Refill() {
    // The items after the no-device item: every device, then the choice if it is absent.
    QStringList items;
    for (const std::string& name : devices_)
        items << Caption(name);
    const std::optional<std::size_t> place = ChosenPlace();
    const bool absent = !chosen_.empty() && !place;
    if (absent)
        items << Caption(chosen_);
    int selected = 0;     // the no-device item
    if (!chosen_.empty()) // the absent one comes last
        selected = 1 + static_cast<int>(place.value_or(devices_.size()));
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
    const std::optional<std::size_t> place = ChosenPlace();
    if (!place)
        return false;
    const int index = static_cast<int>(*place);
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

void DeviceList::RestoreChoice(const std::string& name) {
    devices_ = CountDevices();
    const auto listed =
        std::find_if(devices_.begin(), devices_.end(),
                     [&name](const std::string& device) { return SameDeviceName(device, name); });
    chosen_ = listed != devices_.end() ? *listed : name;
    chosenOccurrence_ = 0;
}

void DeviceList::UserChose() {
    const int item = box_.currentIndex();
    const bool absentItem = box_.itemData(item, kAbsentRole).toBool();
    // The items stand for the devices of the last count, in its order; their texts may not
    // give back the names' bytes, and several may read the same.
    std::string picked = absentItem ? chosen_ : std::string();
    std::size_t occurrence = absentItem ? chosenOccurrence_ : 0;
    if (!absentItem && item >= 1 && static_cast<std::size_t>(item) <= devices_.size()) {
        const auto at = devices_.begin() + (item - 1);
        picked = *at;
        occurrence = static_cast<std::size_t>(std::count(devices_.begin(), at, picked));
    }
    if (picked == chosen_ && occurrence == chosenOccurrence_ && (PortOpen() || picked.empty()))
        return;
    if (PortOpen())
        ClosePort();
    chosen_ = picked;
    chosenOccurrence_ = occurrence;
    devices_ = CountDevices();
    Settle();
    // A listed device that is gone by now or will not open ends as no device, as always; the
    // absent choice stays as it is until its device comes.
    if (!absentItem && (state_ == DeviceState::Unavailable || state_ == DeviceState::NoSystem)) {
        chosen_.clear();
        chosenOccurrence_ = 0;
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
