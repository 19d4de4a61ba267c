#pragma once

// The two links of the About page. Plain functions over 8-bit text.

#include <string>
#include <string_view>

// "mailto:" + the address as it is + "?subject=" + the encoded product name.
std::string MailLink(std::string_view email, std::string_view productName);

// The payment service's donation page for the product: the encoded product name is the item
// name, and the page speaks German or, for every other language, English (lc=DE or lc=US).
std::string DonationLink(std::string_view productName, bool german);
