#include "support/about_links.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace {

TEST(MailLink, AddressAsItIsAndTheProductNameEncodedAsSubject) {
    const std::vector<std::tuple<const char*, const char*, const char*>> cases = {
        {"klavio@example.org", "klavio", "mailto:klavio@example.org?subject=klavio"},
        {"", "klavio", "mailto:?subject=klavio"},
        {"klavio@example.org", "kla vio", "mailto:klavio@example.org?subject=kla%20vio"},
        {"a b@example.org", "Kl\xE4vio", "mailto:a b@example.org?subject=Kl%E4vio"},
    };
    for (const auto& [email, product, link] : cases)
        EXPECT_EQ(MailLink(email, product), link);
}

TEST(DonationLink, ProductIsTheItemNameAndGermanDiffersOnlyInTheLanguageCode) {
    const std::string english = DonationLink("kla vio", false);
    EXPECT_EQ(english, "https://www.paypal.com/cgi-bin/webscr?cmd=_donations"
                       "&business=donate%40example.org&item_name=kla%20vio&no_shipping=0"
                       "&no_note=1&tax=0&currency_code=EUR&lc=US&bn=PP%2dDonationsBF"
                       "&charset=UTF%2d8");
    std::string german = DonationLink("kla vio", true);
    const std::size_t code = german.find("&lc=DE&");
    ASSERT_NE(code, std::string::npos);
    EXPECT_EQ(german.replace(code, 7, "&lc=US&"), english);
}

} // namespace
