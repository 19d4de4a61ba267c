#pragma once

#include "platform/user_language.h"

// The language of the user's desktop: the locale.conf its settings write, read anew at every
// ask so that a change made while the program runs is followed, else the process environment.
class LinuxUserLanguage final : public UserLanguage {
public:
    LANGID GetUserDefaultLangID() override;
};
