#pragma once

// The user's default interface language, asked of the desktop.

#include "formats/lang_id.h"

class UserLanguage {
public:
    virtual ~UserLanguage() = default;
    // Asked anew at every call: the user may change the language while the program runs.
    virtual LANGID GetUserDefaultLangID() = 0;
};
