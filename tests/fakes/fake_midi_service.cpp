#include "tests/fakes/fake_midi_service.h"

#include "formats/midi_stream.h"
#include "platform/midi_events.h"
#include "platform/midi_headers.h"

#include <cstdio>

namespace {

std::string Hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", value);
    return text;
}

} // namespace

void FakeMidiService::CompleteLongMessages() {
    while (!queued_.empty()) {
        const Queued done = queued_.front();
        queued_.pop_front();
        MarkMidiHeaderDone(done.header);
        const auto output = outputs_.find(done.handle);
        if (output != outputs_.end())
            PostMidiOutDone(output->second, done.header);
    }
}

void FakeMidiService::ReturnQueued(HMIDIOUT handle) {
    std::deque<Queued> others;
    std::deque<Queued> mine;
    for (const Queued& queued : queued_)
        (queued.handle == handle ? mine : others).push_back(queued);
    queued_ = mine;
    CompleteLongMessages();
    queued_ = others;
}

void FakeMidiService::Inject(std::uint32_t message) {
    for (auto& [handle, input] : inputs_)
        if (input.started)
            PostMidiInData(input.receiver, message);
}

int FakeMidiService::midiOutGetNumDevs() {
    Record("midiOutGetNumDevs");
    return static_cast<int>(outputDevices.size());
}

MMRESULT FakeMidiService::midiOutGetDevCaps(int device, std::string& name) {
    Record("midiOutGetDevCaps " + std::to_string(device));
    if (device == MIDI_MAPPER) {
        name = mapperName;
        return MMSYSERR_NOERROR;
    }
    if (device < 0 || device >= static_cast<int>(outputDevices.size()))
        return MMSYSERR_BADDEVICEID;
    name = outputDevices[static_cast<std::size_t>(device)];
    return MMSYSERR_NOERROR;
}

MMRESULT FakeMidiService::midiOutOpen(HMIDIOUT& handle, int device, QObject* receiver) {
    Record("midiOutOpen " + std::to_string(device));
    if (device < MIDI_MAPPER || device >= static_cast<int>(outputDevices.size()))
        return MMSYSERR_BADDEVICEID;
    if (outOpenResult != MMSYSERR_NOERROR)
        return outOpenResult;
    handle = nextHandle_++;
    outputs_[handle] = receiver;
    return MMSYSERR_NOERROR;
}

MMRESULT FakeMidiService::midiOutShortMsg(HMIDIOUT handle, std::uint32_t message) {
    Record("midiOutShortMsg " + Hex(message));
    if (!outputs_.count(handle))
        return MMSYSERR_INVALHANDLE;
    if (shortMsgResult == MMSYSERR_NOERROR)
        shortMessages.push_back(message);
    return shortMsgResult;
}

MMRESULT FakeMidiService::midiOutPrepareHeader(HMIDIOUT handle, MIDIHDR* header) {
    Record("midiOutPrepareHeader");
    if (!outputs_.count(handle))
        return MMSYSERR_INVALHANDLE;
    if (header == nullptr)
        return MMSYSERR_INVALPARAM;
    if (prepareResult != MMSYSERR_NOERROR)
        return prepareResult;
    header->dwFlags |= MHDR_PREPARED;
    prepared_[header] = handle;
    return MMSYSERR_NOERROR;
}

MMRESULT FakeMidiService::midiOutLongMsg(HMIDIOUT handle, MIDIHDR* header) {
    Record("midiOutLongMsg");
    if (!outputs_.count(handle))
        return MMSYSERR_INVALHANDLE;
    if (header == nullptr || !prepared_.count(header))
        return MIDIERR_UNPREPARED;
    if (longMsgResult != MMSYSERR_NOERROR)
        return longMsgResult;
    // Like the real services: a stream that does not split into whole messages is refused.
    if (!SplitMidiStream(header->lpData, header->dwBufferLength).complete)
        return MMSYSERR_INVALPARAM;
    longMessages.emplace_back(header->lpData, header->lpData + header->dwBufferLength);
    MarkMidiHeaderQueued(header);
    queued_.push_back({handle, header});
    return MMSYSERR_NOERROR;
}

MMRESULT FakeMidiService::midiOutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header) {
    Record("midiOutUnprepareHeader");
    const auto prepared = prepared_.find(header);
    if (!outputs_.count(handle) || prepared == prepared_.end() || prepared->second != handle)
        return MMSYSERR_INVALHANDLE;
    const MMRESULT result = UnprepareMidiHeader(header);
    if (result == MMSYSERR_NOERROR)
        prepared_.erase(prepared);
    return result;
}

MMRESULT FakeMidiService::midiOutReset(HMIDIOUT handle) {
    Record("midiOutReset");
    if (!outputs_.count(handle))
        return MMSYSERR_INVALHANDLE;
    ReturnQueued(handle);
    return MMSYSERR_NOERROR;
}

MMRESULT FakeMidiService::midiOutClose(HMIDIOUT handle) {
    Record("midiOutClose");
    if (!outputs_.count(handle))
        return MMSYSERR_INVALHANDLE;
    for (const Queued& queued : queued_)
        if (queued.handle == handle)
            return MIDIERR_STILLPLAYING;
    outputs_.erase(handle);
    // Headers still prepared for the closed port can never be unprepared through it.
    std::erase_if(prepared_, [handle](const auto& entry) { return entry.second == handle; });
    return MMSYSERR_NOERROR;
}

int FakeMidiService::midiInGetNumDevs() {
    Record("midiInGetNumDevs");
    return static_cast<int>(inputDevices.size());
}

MMRESULT FakeMidiService::midiInGetDevCaps(int device, std::string& name) {
    Record("midiInGetDevCaps " + std::to_string(device));
    if (device < 0 || device >= static_cast<int>(inputDevices.size()))
        return MMSYSERR_BADDEVICEID;
    name = inputDevices[static_cast<std::size_t>(device)];
    return MMSYSERR_NOERROR;
}

MMRESULT FakeMidiService::midiInOpen(HMIDIIN& handle, int device, QObject* receiver) {
    Record("midiInOpen " + std::to_string(device));
    if (device < 0 || device >= static_cast<int>(inputDevices.size()))
        return MMSYSERR_BADDEVICEID;
    if (inOpenResult != MMSYSERR_NOERROR)
        return inOpenResult;
    handle = nextHandle_++;
    inputs_[handle] = Input{receiver, false};
    return MMSYSERR_NOERROR;
}

MMRESULT FakeMidiService::midiInStart(HMIDIIN handle) {
    Record("midiInStart");
    const auto input = inputs_.find(handle);
    if (input == inputs_.end())
        return MMSYSERR_INVALHANDLE;
    if (inStartResult != MMSYSERR_NOERROR)
        return inStartResult;
    input->second.started = true;
    return MMSYSERR_NOERROR;
}

MMRESULT FakeMidiService::midiInStop(HMIDIIN handle) {
    Record("midiInStop");
    const auto input = inputs_.find(handle);
    if (input == inputs_.end())
        return MMSYSERR_INVALHANDLE;
    input->second.started = false;
    return MMSYSERR_NOERROR;
}

MMRESULT FakeMidiService::midiInReset(HMIDIIN handle) {
    Record("midiInReset");
    return inputs_.count(handle) ? MMSYSERR_NOERROR : MMSYSERR_INVALHANDLE;
}

MMRESULT FakeMidiService::midiInClose(HMIDIIN handle) {
    Record("midiInClose");
    return inputs_.erase(handle) ? MMSYSERR_NOERROR : MMSYSERR_INVALHANDLE;
}

void FakeMidiService::AnnounceChange() {
    PostMidiDevicesChanged(watcher_);
}

MMRESULT FakeMidiService::midiOutGetStatus(HMIDIOUT handle) {
    return outputs_.count(handle) ? outStatus : MMSYSERR_INVALHANDLE;
}

MMRESULT FakeMidiService::midiInGetStatus(HMIDIIN handle) {
    return inputs_.count(handle) ? inStatus : MMSYSERR_INVALHANDLE;
}
