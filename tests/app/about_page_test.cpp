#include "app/Unit1.h"
#include "app/program_icon.h"
#include "app/uStuff.h"
#include "support/about_links.h"
#include "tests/app/form_helpers.h"
#include "tests/fakes/fake_platform.h"

#include <QFile>
#include <QLabel>
#include <QPixmap>
#include <QTabWidget>
#include <QTest>
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

class AboutPage : public testing::Test {
protected:
    ~AboutPage() override {
        // The remembered language belongs to the whole program: back to English for the next.
        platform.userLanguage.langId = 0x0409;
        InitLanguage(platform.userLanguage);
    }

    // Opens the window on a program file carrying `resource`, or nothing at all.
    void Open(const std::optional<VersionResource>& resource) {
        platform.version.blocks.clear();
        if (resource)
            platform.version.blocks[platform.program.executablePath] = BuildVersionBlock(*resource);
        form = std::make_unique<TklavioForm>(platform.Services());
        ShowForm(*form);
    }

    static VersionResource With(const char* name, const std::u16string& value) {
        VersionResource resource = FakeVersionService::KlavioResource();
        for (auto& [key, text] : resource.stringTables[0].values)
            if (key == name)
                text = value;
        return resource;
    }

    FakePlatform platform;
    std::unique_ptr<TklavioForm> form;
};

TEST_F(AboutPage, ShowsTheValuesOfTheProgramsOwnFile) {
    Open(FakeVersionService::KlavioResource());
    EXPECT_EQ(platform.version.calls.front(), "GetFileVersionInfoSizeA /usr/bin/klavio");
    EXPECT_EQ(form->windowTitle(), QStringLiteral("klavio"));
    EXPECT_EQ(form->NameVersionLabel->text(), QStringLiteral("klavio v1.0.1 (2)"));
    EXPECT_EQ(form->CopyrightLabel->text(), QStringLiteral("Copyright \u00A9 2026 Varnholm"));
    EXPECT_EQ(form->CopyrightLabel->toolTip(),
              QStringLiteral("mailto:klavio@example.org?subject=klavio"));
    for (const QLabel* label : {form->NameVersionLabel, form->ProductImage})
        EXPECT_EQ(label->toolTip(), QStringLiteral("https://www.example.org/klavio"));
    EXPECT_EQ(form->PayPalImage->toolTip().toStdString(), DonationLink("klavio", false));
    EXPECT_EQ(form->ProductImage->pixmap().deviceIndependentSize(), QSizeF(48, 48));
    EXPECT_TRUE(platform.errorBox.calls.empty());
}

TEST_F(AboutPage, CaptionAndLinksFollowTheValues) {
    struct Case {
        const char* name;
        std::u16string value;
        const char* caption;
        const char* mailLink;
        const char* itemName; // as it appears in the donation link
    };
    const std::vector<Case> cases = {
        {"ProductName", u"kla vio", "kla vio", "mailto:klavio@example.org?subject=kla%20vio",
         "&item_name=kla%20vio&"},
        {"ProductName", u"Kl\u00E4vio", "Kl\u00E4vio", "mailto:klavio@example.org?subject=Kl%E4vio",
         "&item_name=Kl%E4vio&"},
        {"Email", u"", "klavio", "mailto:?subject=klavio", "&item_name=klavio&"},
    };
    for (const Case& c : cases) {
        Open(With(c.name, c.value));
        const QString caption = QString::fromUtf8(c.caption);
        EXPECT_EQ(form->windowTitle(), caption);
        EXPECT_EQ(form->NameVersionLabel->text(), caption + QStringLiteral(" v1.0.1 (2)"));
        EXPECT_EQ(form->CopyrightLabel->toolTip(), QString::fromUtf8(c.mailLink));
        EXPECT_TRUE(form->PayPalImage->toolTip().contains(QString::fromUtf8(c.itemName)));
    }
    EXPECT_TRUE(platform.errorBox.calls.empty());
}

TEST_F(AboutPage, AFileWithoutTranslationIsReportedAndTheWindowStillComes) {
    VersionResource noTranslation = FakeVersionService::KlavioResource();
    noTranslation.translation.clear();
    // The version text is read before the first string, which raises the error.
    const std::vector<std::pair<std::optional<VersionResource>, const char*>> cases = {
        {std::nullopt, " v0.0.0 (0)"},
        {noTranslation, " v1.0.1 (2)"},
    };
    for (const auto& [resource, nameVersion] : cases) {
        platform.errorBox.calls.clear();
        Open(resource);
        EXPECT_EQ(platform.errorBox.calls,
                  (std::vector<FakeErrorBox::Call>{
                      {"klavio", "Listenindex \u00FCberschreitet das Maximum (0)"}}));
        EXPECT_TRUE(form->isVisible());
        EXPECT_EQ(form->windowTitle(), QString());
        EXPECT_EQ(form->NameVersionLabel->text(), QString::fromUtf8(nameVersion));
        EXPECT_EQ(form->CopyrightLabel->toolTip(), QStringLiteral("mailto:?subject="));
    }
}

TEST_F(AboutPage, OnlyTheDonationButtonOpensALink) {
    Open(FakeVersionService::KlavioResource());
    form->PageControl1->setCurrentWidget(form->AboutTabSheet);
    platform.shell.result = false; // a failed opener is not reported
    for (QLabel* label : {form->ProductImage, form->NameVersionLabel, form->CopyrightLabel,
                          form->About3Label, form->PayPalImage})
        QTest::mouseClick(label, Qt::LeftButton);
    QTest::mouseClick(form->PayPalImage, Qt::RightButton);
    EXPECT_EQ(platform.shell.calls,
              std::vector<std::string>{"open " + DonationLink("klavio", false)});
    EXPECT_TRUE(platform.errorBox.calls.empty());
}

TEST_F(AboutPage, OnlyTheDonationLinksLanguageFollowsTheUsersLanguage) {
    Open(FakeVersionService::KlavioResource());
    const QString mailLink = form->CopyrightLabel->toolTip();
    const QString nameVersion = form->NameVersionLabel->text();
    for (const auto& [language, german] :
         std::vector<std::pair<LANGID, bool>>{{0x0407, true}, {0x0C07, true}, {0x0409, false}}) {
        platform.userLanguage.langId = language;
        form->Timer1Timer();
        form->PayPalImageClick();
        EXPECT_EQ(platform.shell.calls.back(), "open " + DonationLink("klavio", german));
        EXPECT_EQ(form->CopyrightLabel->toolTip(), mailLink);
        EXPECT_EQ(form->NameVersionLabel->text(), nameVersion);
    }
}

// The program's pictures are read as PNG alone: a format guessed from the content loads every
// image plugin first. Seen only in a process of its own, as CTest runs each test.
TEST(ProgramIcon, EverySizeIsReadWithoutImagePlugins) {
    const auto pluginsMapped = [] {
        QFile maps(QStringLiteral("/proc/self/maps"));
        return maps.open(QIODevice::ReadOnly) && maps.readAll().contains("/imageformats/");
    };
    const bool mappedBefore = pluginsMapped();
    EXPECT_EQ(ProgramIcon().availableSizes(),
              (QList<QSize>{{16, 16}, {32, 32}, {48, 48}, {256, 256}}));
    EXPECT_TRUE(mappedBefore || !pluginsMapped());
}

} // namespace
