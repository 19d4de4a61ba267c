#pragma once

// The real window with the JACK service on a private server, its output on a peer "synth".

#include "app/Unit1.h"
#include "keyboard/vmidikeys.h"
#include "platform/linux/jack/jack_midi_service.h"
#include "tests/app/form_helpers.h"
#include "tests/fakes/fake_platform.h"
#include "tests/integration/jack_gtest.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

// Runs the window's events until condition holds, for five seconds at the most.
inline bool Eventually(const std::function<bool()>& condition) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 5000) {
        if (condition())
            return true;
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return condition();
}

class JackWindow : public testing::Test {
protected:
    // The window, as clientName, playing into synth:in; false when there is no JACK server to
    // play on, or the output did not open (which fails the test).
    bool Show(const std::string& clientName) {
        if (!StartJackForTest(server))
            return false;
        std::string whyNot;
        synth = JackPeer::Open("synth", whyNot);
        jack = OpenJackMidiService(clientName, whyNot);
        EXPECT_TRUE(synth && jack) << whyNot;
        if (!synth || !jack)
            return false;
        form = std::make_unique<TklavioForm>(platform.ServicesWith(*jack));
        ShowForm(*form);
        form->MidiOutDevComboBox->setCurrentIndex(form->MidiOutDevComboBox->findText("synth:in"));
        form->MidiOutDevComboBoxChange();
        EXPECT_TRUE(form->VMidiKeys1->MidiOutEnabled()) << "synth:in did not open";
        return form->VMidiKeys1->MidiOutEnabled();
    }

    JackTestServer server;
    std::unique_ptr<JackPeer> synth;
    std::unique_ptr<MidiService> jack;
    FakePlatform platform;
    std::unique_ptr<TklavioForm> form;
};
