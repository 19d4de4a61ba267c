#include "support/about_links.h"

#include "support/wuURLEncode.h"

namespace {

constexpr std::string_view kDonationAccount = "donate@example.org";

std::string DonationPageBase() {
    return "https://www.paypal.com/cgi-bin/webscr?cmd=_donations&business=" +
           URLEncode(kDonationAccount) + "&item_name=";
}

// Both pages take euros; only the page's language differs.
std::string DonationTail(bool german) {
    return std::string("&no_shipping=0&no_note=1&tax=0&currency_code=EUR&lc=") +
           (german ? "DE" : "US") + "&bn=PP%2dDonationsBF&charset=UTF%2d8";
}

} // namespace

std::string MailLink(std::string_view email, std::string_view productName) {
    return "mailto:" + std::string(email) + "?subject=" + URLEncode(productName);
}

std::string DonationLink(std::string_view productName, bool german) {
    return DonationPageBase() + URLEncode(productName) + DonationTail(german);
}
