#include "app/error_funnel.h"
#include "tests/fakes/fake_error_box.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

struct TextCase {
    std::string message;
    std::string shown;
};

TEST(ErrorBoxText, AddsAFullStopOnlyAfterCharactersThatSortAfterIt) {
    const std::vector<TextCase> cases = {
        {"Invalid value", "Invalid value."},
        {"List index out of bounds (0)", "List index out of bounds (0)"}, // ')' < '.'
        {"Index 3", "Index 3."},
        {"Already done.", "Already done."},
        {"Stop!", "Stop!"},                      // '!' < '.'
        {"Range 1 -", "Range 1 -"},              // '-' is just below '.'
        {"Which one?", "Which one?."},           // '?' sorts after '.' and gets one too
        {"Ungültiges Menü", "Ungültiges Menü."}, // the last byte is 0xBC: unsigned, above '.'
        {"", ""},
    };
    for (const TextCase& c : cases)
        EXPECT_EQ(ErrorBoxText(c.message), c.shown) << "message: \"" << c.message << '"';
}

TEST(RunGuarded, ErrorInSecondStepSkipsThirdAndIsReportedOnce) {
    FakeErrorBox box;
    std::vector<int> ran;
    const bool completed = RunGuarded(
        [&] {
            ran.push_back(1);
            ran.push_back(2);
            throw std::runtime_error("Invalid registry value");
            ran.push_back(3);
        },
        box, "klavio");

    EXPECT_FALSE(completed);
    EXPECT_EQ(ran, (std::vector<int>{1, 2}));
    EXPECT_EQ(box.calls, (std::vector<FakeErrorBox::Call>{{"klavio", "Invalid registry value."}}));

    // The program goes on: the next handler runs to its end and reports nothing.
    EXPECT_TRUE(RunGuarded([&] { ran.push_back(4); }, box, "klavio"));
    EXPECT_EQ(ran, (std::vector<int>{1, 2, 4}));
    EXPECT_EQ(box.calls.size(), 1u);
}

TEST(RunGuarded, ReportsErrorsThatAreNoStandardExceptions) {
    FakeErrorBox box;
    EXPECT_FALSE(RunGuarded([] { throw 42; }, box, "klavio"));
    ASSERT_EQ(box.calls.size(), 1u);
    EXPECT_EQ(box.calls[0].caption, "klavio");
    EXPECT_FALSE(box.calls[0].text.empty());
}

} // namespace
