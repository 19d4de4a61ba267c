#pragma once

// The user's language as a test sets it, counting how often the program asked.

#include "platform/user_language.h"

class FakeUserLanguage final : public UserLanguage {
public:
    LANGID langId = 0x0409;
    int asked = 0;

    LANGID GetUserDefaultLangID() override {
        ++asked;
        return langId;
    }
};
