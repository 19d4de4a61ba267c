#include "app/application.h"
#include "tests/fakes/fake_error_box.h"

#include <QCoreApplication>
#include <QEvent>
#include <QTest>
#include <QWidget>
#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

namespace {

FakeErrorBox errorBox;

const QEvent::Type kBreak = static_cast<QEvent::Type>(QEvent::User + 1);
const QEvent::Type kCount = static_cast<QEvent::Type>(QEvent::User + 2);

// Throws from its handler for kBreak events and counts the kCount events it receives.
class Receiver : public QObject {
public:
    int counted = 0;

    bool event(QEvent* event) override {
        if (event->type() == kBreak)
            throw std::runtime_error("Broken handler");
        if (event->type() == kCount) {
            ++counted;
            return true;
        }
        return QObject::event(event);
    }
};

class ThrowingWidget : public QWidget {
protected:
    void mousePressEvent(QMouseEvent*) override { throw std::runtime_error("Cannot press here"); }
};

class Application : public testing::Test {
protected:
    void SetUp() override { errorBox.calls.clear(); }
};

TEST_F(Application, ErrorInASentEventIsReportedOnceAndEventsGoOn) {
    Receiver receiver;
    QEvent broken(kBreak);
    EXPECT_FALSE(QCoreApplication::sendEvent(&receiver, &broken));
    EXPECT_EQ(errorBox.calls, (std::vector<FakeErrorBox::Call>{{"klavio", "Broken handler."}}));

    QEvent counted(kCount);
    EXPECT_TRUE(QCoreApplication::sendEvent(&receiver, &counted));
    EXPECT_EQ(receiver.counted, 1);
    EXPECT_EQ(errorBox.calls.size(), 1u);
}

TEST_F(Application, ErrorInAPostedEventDoesNotStopTheEventsQueuedAfterIt) {
    Receiver receiver;
    QCoreApplication::postEvent(&receiver, new QEvent(kCount));
    QCoreApplication::postEvent(&receiver, new QEvent(kBreak));
    QCoreApplication::postEvent(&receiver, new QEvent(kCount));
    QCoreApplication::processEvents();
    EXPECT_EQ(receiver.counted, 2);
    EXPECT_EQ(errorBox.calls, (std::vector<FakeErrorBox::Call>{{"klavio", "Broken handler."}}));
}

TEST_F(Application, ErrorInAMouseHandlerIsReported) {
    ThrowingWidget widget;
    widget.resize(50, 50);
    widget.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&widget));
    QTest::mouseClick(&widget, Qt::LeftButton, {}, QPoint(10, 10));
    EXPECT_EQ(errorBox.calls, (std::vector<FakeErrorBox::Call>{{"klavio", "Cannot press here."}}));
}

} // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    // Tests never need a display; listing them at build time must not either.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    TApplication application(argc, argv, errorBox);
    return RUN_ALL_TESTS();
}
